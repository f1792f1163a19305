// Device open and close: openRawDevice, SIL_open_device, the open by name kind, the operating-system open, get_ext_data and the closes.
#include "sildopen_steps.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <pds/byteorder.h>
#include <pds/platform.h>
#include <pds/product_clients.h>
#include <pds/win_device_layouts.h>

#include "silbscsi.h"
#include "sildebug.h"
#include "sildopen_host.h"
#include "sildopen_sp.h"
#include "silfindd_check.h"
#include "silinitl.h"
#include "silinqut.h"
#include "silkorinq.h"

namespace {

constexpr std::uint32_t kTraceAttempt = 0x1000002;
constexpr std::uint32_t kTraceOpenFailed = 0xC00801;
constexpr std::string_view kServiceProcessorMark = "KORVWIN";
constexpr std::string_view kDasdPrefix = "/dev/dasd";
constexpr std::uint32_t kRadDeviceBit = 0x400;
constexpr std::uint32_t kRadWindow = 0x10000;
constexpr std::uint64_t kRadStartDistance = 3841;  // blocks before the end where the RAD area starts
constexpr std::uint32_t kRadModeNoOptions = 2;
// A driver that claims more pseudo devices than this is not believed beyond it.
constexpr std::uint32_t kMaxMultipathVolumes = 65536;

std::string_view name_of(const T_SIL_DEVICE* device) {
    return {device->name, strnlen(device->name, sizeof device->name)};
}

std::string lower_case(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return out;
}

bool lock_mode_set(const T_SIL_OPEN_INFO* open_info) {
    return open_info != nullptr && (open_info->perform_lock_operation == 1 || open_info->perform_lock_operation == 2);
}

void release_open_lock(T_SIL_DEVICE* device) {
    if (korvReleaseDeviceLockX(device, SIL_DEVICE_LOCK_OPEN) != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "korvReleaseDeviceLockX failed");
    }
}

void free_rad_buffer(T_SIL_DEVICE* device) {
    delete[] device->rad_buffer;
    device->rad_buffer = nullptr;
}

// The RAD facts of a high-end array device whose inquiry word flags it. 0 or SIL_ERR_RAD_BUFFER.
std::int32_t set_rad_facts(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS* options) {
    device->rad_device = 0;
    if (device->is_XMV_device == 0 || device->inquiry != 1 || device->inquiry_data == nullptr) return SIL_OK;
    const std::uint32_t word = pds::load_le32(kor_inq_bytes(device->inquiry_data).subspan(104, 4));
    if ((word & kRadDeviceBit) == 0) return SIL_OK;
    SIL_TRACE(SIL_TRACE_INFO, "RAD Device Found!");
    device->rad_device = 1;
    device->rad_window = kRadWindow;
    free_rad_buffer(device);
    if (options != nullptr) {
        device->rad_access_mode = options->rad_access_mode;
        device->rad_buffer_size = options->rad_access_mode == 1 ? options->rad_buffer_size : 0;
        if (options->rad_access_mode == 1) {
            device->rad_buffer = new (std::nothrow) unsigned char[device->rad_buffer_size]();
            if (device->rad_buffer == nullptr) {
                SIL_TRACE(SIL_TRACE_ERROR, "RAD buffer alloc failed");
                return SIL_ERR_RAD_BUFFER;
            }
        }
    } else {
        device->rad_buffer_size = 0;
        device->rad_access_mode = kRadModeNoOptions;
    }
    device->rad_start_block = static_cast<std::uint32_t>(device->num_blocks - kRadStartDistance);
    return SIL_OK;
}

}  // namespace

T_SIL_NAME_KIND sil_name_kind(const char* name) {
    const std::string_view text(name != nullptr ? name : "");
    const std::size_t mark = text.find(kServiceProcessorMark);
    if (mark != std::string_view::npos && mark + kServiceProcessorMark.size() == text.size()) {
        return T_SIL_NAME_KIND::service_processor;
    }
    if (text.find("==") != std::string_view::npos) return T_SIL_NAME_KIND::socket;
    if (text.starts_with("USERDEF")) return T_SIL_NAME_KIND::special_user;
    return T_SIL_NAME_KIND::os_device;
}

// ---- opening ----------------------------------------------------------------------------------

T_SIL_DEVICE* openRawDevice(const char* name, std::uint32_t open_mode_flags, T_SIL_OPEN_INFO* open_info,
                            std::uint64_t trace_ctx) {
    SIL_FUNCTION("openRawDevice");
    if (open_mode_flags != 0) SIL_TRACE(SIL_TRACE_INFO, "WARNING, open_mode_flags are set but overridden");
    auto* device = new (std::nothrow) T_SIL_DEVICE{};
    if (device == nullptr) {
        SIL_TRACE(SIL_TRACE_ERROR, "calloc of T_SIL_DEVICE failed");
        sil_function_scope_.result(SIL_ERR_NO_MEMORY);
        return nullptr;
    }
    T_SIL_OPEN_OPEN_OPTIONS options{};
    if (open_info != nullptr) {
        options.skip_inquiry = open_info->skip_inquiry;
        options.skip_readcap = open_info->skip_readcap;
        options.create_client = open_info->create_client;
        options.vexbased_flags = open_info->vexbased_flags;
        options.use_backend_inquiry_data = open_info->use_backend_inquiry_data;
        options.get_spoofed_inquiry_data = open_info->get_spoofed_inquiry_data;
    }
    if (open_raw_device_into(name, open_mode_flags, open_info, trace_ctx, &options, device) != 0) {
        // A failure after the operating-system open (RAD buffer, client) leaves a handle to close.
        SIL_closeAndFreeDevice(device);
        sil_function_scope_.result(SIL_ERR_FAILED);
        return nullptr;
    }
    return device;
}

std::int32_t SIL_open_device(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS* options) {
    SIL_FUNCTION("SIL_open_device");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    // The name is copied onto itself: take it out of the record first.
    const std::string name(name_of(device));
    SIL_RETURN(open_raw_device_into(name.c_str(), 0, nullptr, device->trace_ctx, options, device));
}

std::int32_t open_raw_device_into(const char* name, std::uint32_t open_mode_flags, T_SIL_OPEN_INFO* open_info,
                                  std::uint64_t trace_ctx, const T_SIL_OPEN_OPEN_OPTIONS* options,
                                  T_SIL_DEVICE* device) {
    SIL_FUNCTION("open_raw_device_into");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);

    if (sil_base_daemon_used(sil_base_daemon_setting(), true)) {
        const std::int32_t rc = sil_base_daemon_connect(device);
        if (rc != SIL_ERR_DAEMON_CONNECT) {
            sil_base_daemon_close(device, false);
            if (open_info != nullptr) open_info->SIL_return_code = rc;
            SIL_RETURN(rc);
        }
    }

    device->trace_ctx = trace_ctx;
    if (open_info != nullptr) {
        device->use_throttle_if_available = open_info->use_throttle_if_available;
        if (open_info->user_supplied_nexus_f == 1) {
            device->btl_valid = SIL_BTL_BUS | SIL_BTL_TID | SIL_BTL_LUN;
            device->bus = static_cast<std::uint16_t>(open_info->controller);
            device->tid = static_cast<std::uint16_t>(open_info->target);
            device->lun = static_cast<std::uint16_t>(open_info->lun);
        }
    }
    sil_copy_text(device->name, name);

    const bool locking = lock_mode_set(open_info);
    if (locking && korvAquireDeviceLockX(device, SIL_DEVICE_LOCK_OPEN) != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "korvAquireDeviceLockX failed");
        SIL_RETURN(SIL_ERR_DEVICE_LOCK);
    }

    const std::int32_t rc = open_device_by_kind(device, options);
    if (rc != 0) {
        if (open_info != nullptr) {
            open_info->SIL_return_code = rc;
            open_info->SIL_errno = device->os_errno;
        }
        if (locking) release_open_lock(device);
        SIL_RETURN(rc);
    }
    if (open_info != nullptr) {
        if (device->cap_state == 1) {
            open_info->max_lba = device->num_blocks;
            open_info->block_size = device->block_size;
            open_info->exec_status = 0;
        }
        if (device->inquiry == 1 && device->inquiry_data != nullptr && open_info->perform_inquiry == 1 &&
            open_info->inquiry_buffer != nullptr) {
            // The caller's buffer is longer than the page: the bytes past it read as zero.
            std::memset(open_info->inquiry_buffer, 0, SIL_OPEN_INFO_INQUIRY_BYTES);
            std::memcpy(open_info->inquiry_buffer, device->inquiry_data, KOR_INQ_PAGE0_SIZE);
        }
        if (open_info->perform_lock_operation == 2) release_open_lock(device);
    }
    SIL_RETURN(SIL_OK);
}

std::int32_t open_device_by_kind(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS* options) {
    SIL_FUNCTION("open_device_by_kind");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    SIL_TRACE(kTraceAttempt, "(SIL_open_device) Attempting to open device %s", device->name);
    if (sil_require_init() != 0) SIL_RETURN(SIL_ERR_NOT_INITIALISED);

    T_SIL_OPEN_OPEN_OPTIONS inquiry_options{};
    if (options != nullptr) {
        inquiry_options.get_dev_ident = options->get_dev_ident;
        inquiry_options.use_backend_inquiry_data = options->use_backend_inquiry_data;
        inquiry_options.get_spoofed_inquiry_data = options->get_spoofed_inquiry_data;
    }
    device->isOpen = 0;

    switch (sil_name_kind(device->name)) {
        case T_SIL_NAME_KIND::service_processor:
            SIL_RETURN(open_sp_device(device, options));
        case T_SIL_NAME_KIND::socket:
            SIL_TRACE(SIL_TRACE_INFO, "WARNING: This is a Socket device, no real open performed!!!");
            device->access_method = SIL_ACCESS_SOCKET;
            SIL_RETURN(SIL_OK);
        case T_SIL_NAME_KIND::special_user:
            SIL_TRACE(SIL_TRACE_INFO, "WARNING: This is a SDT_SPECIAL_USER device, no real open performed!!!");
            device->access_method = SIL_ACCESS_SPECIAL_USER;
            SIL_RETURN(SIL_OK);
        case T_SIL_NAME_KIND::os_device:
            break;
    }

    device->access_method = SIL_ACCESS_OS;
    if (open_os_device(device) != 0) {
        SIL_TRACE(kTraceOpenFailed, "open of %s failed with fid %p errno %d", device->name,
                  reinterpret_cast<void*>(static_cast<std::uintptr_t>(device->fid)), static_cast<int>(device->os_errno));
        SIL_RETURN(SIL_ERR_FAILED);
    }
    SIL_TRACE(SIL_TRACE_INFO, "(SIL_open_device) open was successful");
    device->isOpen = 1;

    if (check_for_valid_WIN32_device(device, device->trace_ctx) == SIL_ERR_FAILED) {
        SIL_TRACE(SIL_TRACE_ERROR, "device was marked not safe to use, failing to open");
        SIL_close_device(device, 0);
        SIL_RETURN(SIL_ERR_NOT_SAFE);
    }

    if (options != nullptr && options->get_extdata != 0 && get_ext_data(device) != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "get_ext_data() Failed");
    }

    if (options == nullptr || options->skip_inquiry == 0) {
        const std::int32_t rc = SIL_Inquiry(device, &inquiry_options);
        if (rc != 0) SIL_TRACE(SIL_TRACE_INFO_DETAIL, "Inq Failed");
        if (rc == SIL_ERR_LUN_NOT_SUPPORTED) {
            SIL_TRACE(SIL_TRACE_ERROR, "Lun is not supported. INQP_LUN_NOT_SUPPORTED");
            if (device->isOpen != 0) SIL_close_device(device, 0);
            free_device_data(device);
            SIL_RETURN(SIL_ERR_LUN_NOT_SUPPORTED);
        }
    }

    if (!name_of(device).starts_with(kDasdPrefix)) {
        if ((options == nullptr || options->skip_readcap == 0) && SIL_ReadCapacity(device) != 0) {
            SIL_TRACE(SIL_TRACE_ERROR, "Read Cap Failed");
        }
        if (options != nullptr && options->get_geometry != 0 && SIL_GetDevGeometry(device) != 0) {
            SIL_TRACE(SIL_TRACE_ERROR, "dev geometry Failed");
        }
    } else {
        device->cap_state = 1;
    }

    if (options != nullptr) {
        if (options->read_vantrel != 0) SIL_ReadVantrelSig(device);
        if (options->create_client != 0) {
            if (sil_create_sp_client(device, std::string(), options->create_client) != 0) {
                SIL_TRACE(SIL_TRACE_ERROR, "Create client failed");
                SIL_RETURN(SIL_ERR_CREATE_CLIENT);
            }
        }
    }

    SIL_RETURN(set_rad_facts(device, options));
}

std::int32_t open_os_device(T_SIL_DEVICE* device) {
    SIL_FUNCTION("open_os_device");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    pds::Platform& platform = pds::platform();
    pds::DeviceOpenRequest request;
    request.path = std::string(name_of(device));
    request.desired_access = pds::win::GENERIC_READ | pds::win::GENERIC_WRITE;
    request.share_mode = pds::win::FILE_SHARE_READ | pds::win::FILE_SHARE_WRITE;
    request.null_dacl = true;

    pds::DeviceHandle handle = 0;
    // Critical-error dialogs would stop an unattended scan: fail them silently around each open.
    const auto attempt = [&] {
        const std::uint32_t previous = platform.set_error_mode(pds::win::SEM_FAILCRITICALERRORS);
        const pds::os_error error = platform.open_device(request, handle);
        platform.set_error_mode(previous);
        return error;
    };
    pds::os_error error = attempt();
    sil_disk_open_noted(error);
    if (error == pds::kErrorSharingViolation) {
        // Another process holds the disk for writing; reading is still allowed.
        request.desired_access = pds::win::GENERIC_READ;
        error = attempt();
        if (error == 0) device->read_only = 1;
    }
    if (error != 0) {
        if (error != pds::kErrorFileNotFound) device->os_errno = error;
        device->fid = 0;
        SIL_RETURN(SIL_ERR_FAILED);
    }
    device->fid = handle;
    SIL_RETURN(SIL_OK);
}

std::int32_t get_ext_data(T_SIL_DEVICE* device) {
    SIL_FUNCTION("get_ext_data");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    if (device->mp_state != 0 || device->veritas_state != 0) SIL_RETURN(SIL_OK);
    const std::string_view name = name_of(device);
    for (const std::string_view mark : {"strnd", "sdisk", "safe"}) {
        if (name.find(mark) != std::string_view::npos) {
            device->mp_state = SIL_DEV_PARENT;
            SIL_RETURN(SIL_OK);
        }
    }

    SIL_TRACE(SIL_TRACE_INFO, "checking strandway API");
    pds::MultipathClient& multipath = pds::multipath_client();
    std::vector<char> names;
    std::uint32_t room = 1;
    std::uint32_t count = room;
    try {
        names.assign(pds::kMpVolumeNameBytes, '\0');
        if (multipath.mp_list_volumes(count, names.data()) != 0 || count == 0) SIL_RETURN(SIL_OK);
        room = std::min(count, kMaxMultipathVolumes);
        names.assign(std::size_t{room} * pds::kMpVolumeNameBytes, '\0');
    } catch (const std::bad_alloc&) {
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    count = room;
    if (multipath.mp_list_volumes(count, names.data()) != 0) SIL_RETURN(SIL_OK);
    const std::string wanted = lower_case(name);
    for (std::uint32_t i = 0; i < std::min(count, room); ++i) {
        const char* entry = names.data() + std::size_t{i} * pds::kMpVolumeNameBytes;
        if (lower_case({entry, strnlen(entry, pds::kMpVolumeNameBytes)}) == wanted) {
            device->mp_state = SIL_DEV_PARENT;
            break;
        }
    }
    SIL_RETURN(SIL_OK);
}

// ---- closing ----------------------------------------------------------------------------------

std::int32_t SIL_close_device(T_SIL_DEVICE* device, std::uint32_t reserved) {
    SIL_FUNCTION("SIL_close_device");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    if (sil_base_daemon_used(sil_base_daemon_setting(), false) && device->daemon_conn != nullptr) {
        SIL_RETURN(sil_base_daemon_close(device, false));
    }
    SIL_TRACE(SIL_TRACE_INFO_DETAIL, "attempting to close device <%s>", device->name);
    if (device->isOpen == 0) SIL_RETURN(SIL_OK);
    if (sil_name_kind(device->name) == T_SIL_NAME_KIND::service_processor) {
        SIL_TRACE(SIL_TRACE_INFO, "This is a KorvWin device!");
        SIL_TRACE(SIL_TRACE_INFO, "Clients are not always removed on close");
        SIL_RETURN(SIL_OK);
    }
    if (device->access_method == SIL_ACCESS_SOCKET || device->access_method == SIL_ACCESS_KORVWIN ||
        device->access_method == SIL_ACCESS_SPECIAL_USER) {
        SIL_RETURN(SIL_OK);
    }
    if (device->dev_mutex != 0) {
        SIL_TRACE(SIL_TRACE_INFO, "found a mutex in the context, we will free it now");
        sil_close_device_mutex_at_close(device);
    }
    const bool closed = pds::platform().close_device(device->fid) == 0;
    if (device->rad_device != 0) free_rad_buffer(device);
    if (!closed) SIL_TRACE(SIL_TRACE_ERROR, "closeRawDevice of %s failed with result %d\n", device->name, -1);
    device->isOpen = 0;
    SIL_RETURN(closed ? SIL_OK : SIL_ERR_FAILED);
}

std::int32_t SIL_closeAndFreeDevice(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_closeAndFreeDevice");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    if (sil_base_daemon_used(sil_base_daemon_setting(), false) && device->daemon_conn != nullptr) {
        SIL_RETURN(sil_base_daemon_close(device, true));
    }
    sil_remove_sp_clients(device);
    SIL_close_device(device, 0);
    // What a close that had nothing to close left behind (a lock held by a never-opened device).
    sil_close_device_mutex(device);
    free_rad_buffer(device);
    free_device(device);
    SIL_RETURN(SIL_OK);
}

std::int32_t closeRawDevice(T_SIL_DEVICE* device) {
    SIL_FUNCTION("closeRawDevice");
    SIL_RETURN(SIL_closeAndFreeDevice(device));
}
