// The device list's name sources: disk interfaces, the multipathing driver, registered service processors, Windows volumes.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <pds/platform.h>
#include <pds/product_clients.h>
#include <pds/win_device_layouts.h>

#include "sildebug.h"
#include "silfindd_check.h"
#include "silfindd_int.h"
#include "silinitl.h"

namespace {

namespace win = pds::win;

constexpr std::uint32_t kTraceScan = 0x1000401;
constexpr std::uint32_t kTraceWarning = 0xC00401;
constexpr std::uint32_t kTraceVolumeCapacity = 0x1000040;

constexpr const char* kInstancesKey = "SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\";
constexpr const char* kServiceProcessorFormat = "localhost:%d==KORVWIN";
constexpr std::uint32_t kDefaultServiceProcessorPort = 4220;
constexpr std::int32_t kRegistryListLimit = 4;
constexpr std::size_t kInstanceNameMax = 100;
constexpr std::uint32_t kDriveStringsBuffer = 1024;
// The driver's own limit is far below this; a larger count is a broken answer, not a host.
constexpr std::uint32_t kMpVolumesMax = 65536;

// The host's own name of a disk: "\\.\PHYSICALDRIVE<n>" on Windows, "/dev/sdc" on Linux.
std::string physical_drive_name(std::uint32_t number) { return pds::platform().disk_name(number); }

// Opens a path for reading and writing, sharing both, with critical-error dialogs suppressed.
pds::os_error open_for_scan(const std::string& path, pds::DeviceHandle& handle) {
    pds::Platform& platform = pds::platform();
    const std::uint32_t previous = platform.set_error_mode(win::SEM_FAILCRITICALERRORS);
    const pds::DeviceOpenRequest request{path, win::GENERIC_READ | win::GENERIC_WRITE,
                                         win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, false};
    const pds::os_error error = platform.open_device(request, handle);
    platform.set_error_mode(previous);
    sil_disk_open_noted(error);
    if (error != 0) handle = 0;
    return error;
}

void close_scan_handle(pds::DeviceHandle handle) {
    if (handle != 0) pds::platform().close_device(handle);
}

// The storage device number of an open disk or volume.
pds::os_error storage_device_number(pds::DeviceHandle handle, std::uint32_t& number) {
    win::StorageDeviceNumber answer{};
    std::uint32_t returned = 0;
    const pds::os_error error = pds::platform().device_io_control(handle, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr,
                                                                  0, &answer, sizeof answer, returned);
    if (error != 0) return error;
    if (returned < offsetof(win::StorageDeviceNumber, PartitionNumber)) return pds::kErrorInsufficientBuffer;
    number = answer.DeviceNumber;
    return 0;
}

// Lends the scan's handle to the device check, which reads the device through `fid`.
void check_with_handle(T_SIL_DEVICE* device, pds::DeviceHandle handle, std::uint64_t trace_ctx) {
    device->fid = handle;
    check_for_valid_WIN32_device(device, trace_ctx);
}

// Scan of one disk interface; false ends the scan with `result`.
struct InterfaceScan {
    T_SCAN_LIST* scan;
    std::uint64_t trace_ctx;
    pds::DiskInterfaceSet& set;
    int failed_opens = 0;

    bool run(std::uint32_t index, std::int32_t& result);
};

bool InterfaceScan::run(std::uint32_t index, std::int32_t& result) {
    std::uint32_t required = 0;
    pds::os_error error = set.detail_size(index, required);
    if (error != 0 && error != pds::kErrorInsufficientBuffer) {
        SIL_TRACE(SIL_TRACE_ERROR, "SetupDiGetDeviceInterfaceDetail failed with error: %d\n", static_cast<int>(error));
        result = -5;
        return false;
    }
    std::string path;
    try {
        path.reserve(required);
    } catch (const std::exception&) {
        SIL_TRACE(SIL_TRACE_ERROR, "Unable to allocate memory to get the interface detail data.\n");
        result = -6;
        return false;
    }
    error = set.detail_path(index, path);
    if (error != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "SetupDiGetDeviceInterfaceDetail failed with error: %d\n", static_cast<int>(error));
        result = -7;
        return false;
    }

    pds::DeviceHandle handle = 0;
    error = open_for_scan(path, handle);
    if (error != 0) {
        ++failed_opens;
        if (error != pds::kErrorFileNotFound && error != pds::kErrorSharingViolation) {
            SIL_TRACE(SIL_TRACE_INFO, "Found invalid device #%d (GetLastError()=%d)", failed_opens,
                      static_cast<int>(error));
        }
        // A disk another process holds still answers the number query below, which then fails.
        if (error != pds::kErrorSharingViolation) return true;
    }

    std::uint32_t number = 0;
    error = storage_device_number(handle, number);
    if (error != 0) {
        SIL_TRACE(SIL_TRACE_INFO, "IOCTL_STORAGE_GET_DEVICE_NUMBER failed errno = %d", static_cast<int>(error));
        close_scan_handle(handle);
        return true;
    }

    const std::string name = physical_drive_name(number);
    if (name.empty()) {  // the disk went away between the number query and now
        close_scan_handle(handle);
        return true;
    }
    T_SIL_DEVICE* device = nullptr;
    const std::int32_t added = add_device_to_list(scan, name.c_str(), &device, trace_ctx);
    if (added < 0) {
        close_scan_handle(handle);
        result = added;
        return false;
    }
    if (device != nullptr) check_with_handle(device, handle, trace_ctx);
    close_scan_handle(handle);
    if (device != nullptr) device->fid = 0;
    return true;
}

constexpr struct {
    std::uint32_t code;
    const char* name;
} kMpErrorNames[] = {
    {0, "MP_E_OK"},
    {1, "MP_E_FAIL"},
    {200, "MP_E_PRIV"},
    {201, "MP_E_CG_EXISTS"},
    {202, "MP_E_CG_IN_USE"},
    {203, "MP_E_CG_NOT_FOUND"},
    {204, "MP_E_CG_NOT_EMPTY"},
    {205, "MP_E_INV_NAME"},
    {206, "MP_E_BAD_HANDLE"},
    {207, "MP_E_VOL_IN_USE"},
    {208, "MP_E_VOL_INVALID"},
    {209, "MP_E_VOL_NOT_IN_CG"},
    {210, "MP_E_SYSERR"},
    {211, "MP_E_NOT_SUPPORTED"},
    {212, "MP_E_NOFILE"},
    {213, "MP_E_FILE_READERR"},
    {214, "MP_E_FILEERR"},
    {215, "MP_E_FILE_OPENERR"},
    {216, "MP_E_FILE_WRITEERR"},
    {217, "MP_E_NO_CG_DAEMON"},
    {218, "MP_E_SIGNAL_FAILED"},
    {219, "MP_E_NOT_ENABLED"},
    {220, "MP_E_VER_NOT_SUPPORTED"},
};

// Adds one service-processor entry named by its port; the record is handed out when added.
std::int32_t add_service_processor(T_SCAN_LIST* scan, std::uint32_t port, T_SIL_DEVICE** device,
                                   std::uint64_t trace_ctx, std::string& name) {
    char text[48];
    std::snprintf(text, sizeof text, kServiceProcessorFormat, static_cast<int>(port));
    name = text;
    return add_device_to_list(scan, text, device, trace_ctx);
}

// One registered instance: its port from "<instance>\PORTS\" value SILPORT.
void add_registry_instance(T_SCAN_LIST* scan, const std::string& instance, std::uint64_t trace_ctx) {
    pds::Platform& platform = pds::platform();
    std::unique_ptr<pds::RegistryKey> ports;
    const std::string path = std::string(kInstancesKey) + instance + "\\PORTS\\";
    pds::os_error error = platform.registry_open_local_machine(path, ports);
    if (error != 0 || !ports) {
        if (error == pds::kErrorFileNotFound) {
            SIL_TRACE(kTraceScan, "RMS search, sub key not found, rc == %d", static_cast<int>(error));
        } else {
            SIL_TRACE(kTraceScan, "Return from RegOpenKeyEx = 0x%x", static_cast<unsigned>(error));
        }
        return;
    }
    std::uint32_t port = 0;
    error = ports->query_dword("SILPORT", port);
    if (error != 0) {
        if (error == pds::kErrorFileNotFound) {
            SIL_TRACE(kTraceScan, "No entry for SILPORT, RMS = %s", instance.c_str());
        } else {
            SIL_TRACE(kTraceScan, "Return from RegQueryValueEx = 0x%x", static_cast<unsigned>(error));
        }
        return;
    }
    T_SIL_DEVICE* device = nullptr;
    std::string name;
    const std::int32_t added = add_service_processor(scan, port, &device, trace_ctx, name);
    if (added != 0) {
        SIL_TRACE(kTraceScan, "Error during add of device <%s> found. RC == <%x>", name.c_str(),
                  static_cast<unsigned>(added));
    } else {
        device->sp_port = port;
    }
}

// The roots of a double-NUL-terminated list ("C:\", "D:\").
std::vector<std::string> split_roots(const std::string& roots) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < roots.size()) {
        const std::size_t end = std::min(roots.find('\0', at), roots.size());
        if (end == at) break;
        out.emplace_back(roots.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// One volume root: an entry named by its disk, telling the volume and its size.
std::int32_t scan_volume(T_SCAN_LIST* scan, const std::string& root, std::uint64_t trace_ctx) {
    const std::uint32_t type = pds::platform().drive_type(root);
    if (type == pds::kDriveRemovable) return 0;
    const std::string volume = root.substr(0, root.find('\\'));
    pds::DeviceHandle handle = 0;
    const pds::os_error open_error = open_for_scan("\\\\.\\" + volume, handle);
    if (type != pds::kDriveFixed || open_error != 0) {
        close_scan_handle(handle);
        return 0;
    }
    std::uint32_t number = 0;
    const pds::os_error error = storage_device_number(handle, number);
    if (error != 0) {
        SIL_TRACE(SIL_TRACE_INFO, "IOCTL_STORAGE_GET_DEVICE_NUMBER failed errno = %d", static_cast<int>(error));
        close_scan_handle(handle);
        return 0;
    }
    SIL_TRACE(kTraceWarning, "Logical device %s is PHYSICALDRIVE%d", root.c_str(), static_cast<int>(number));
    const std::string disk = physical_drive_name(number);
    if (disk.empty()) {
        close_scan_handle(handle);
        return 0;
    }
    T_SIL_DEVICE* device = nullptr;
    const std::int32_t added = add_device_to_list(scan, (disk + root).c_str(), &device, trace_ctx);
    if (added < 0 || device == nullptr) {
        close_scan_handle(handle);
        return added < 0 ? added : 0;
    }
    sil_copy_text(device->win_vol, volume.c_str());
    // The entry keeps its own volume while its name is the disk again, so two volumes of one
    // disk stay two entries.
    if (char* cut = std::strstr(device->name, device->win_vol); cut != nullptr && device->win_vol[0] != '\0') {
        const std::string added_as = device->name;
        *cut = '\0';
        if (const std::int32_t renamed = sil_scan_list_renamed(scan, device, added_as.c_str()); renamed < 0) {
            close_scan_handle(handle);
            return renamed;
        }
    }
    check_with_handle(device, handle, trace_ctx);
    SIL_GetWinVolCapacity(device);
    close_scan_handle(handle);
    device->fid = 0;
    return 0;
}

}  // namespace

std::string_view sil_mp_error_name(std::uint32_t code) {
    for (const auto& entry : kMpErrorNames) {
        if (entry.code == code) return entry.name;
    }
    return "UNKNOWN";
}

std::int32_t os_specific_scan_for_devices(T_SCAN_LIST* scan, const create_dev_list* options,
                                          std::uint64_t trace_ctx) {
    SIL_FUNCTION("os_specific_scan_for_devices");
    (void)options;
    pds::Platform& platform = pds::platform();
    // The gap limit belongs to scans that probe numbered names; this one enumerates, so the
    // variable is only acknowledged.
    if (const auto gap = platform.get_env("XMV_SIL_MAX_DEVICE_GAP"); gap.has_value()) {
        SIL_TRACE(0x1000408, "XMV_SIL_MAX_DEVICE_GAP has changed max_allowed_bad_devs to %d",
                  static_cast<int>(std::strtol(gap->c_str(), nullptr, 10)));
    }
    std::unique_ptr<pds::DiskInterfaceSet> set;
    const pds::os_error open_error = platform.open_disk_interfaces(set);
    if (open_error != 0 || !set) {
        SIL_TRACE(SIL_TRACE_ERROR, "SetupDiGetClassDevs failed with error: %d", static_cast<int>(open_error));
        SIL_RETURN(-3);
    }
    InterfaceScan one{scan, trace_ctx, *set};
    for (std::uint32_t index = 0;; ++index) {
        const pds::os_error error = set->enumerate(index);
        if (error != 0) {
            if (error != pds::kErrorNoMoreItems) {
                SIL_TRACE(SIL_TRACE_ERROR, "SetupDiEnumInterfaceDevice failed with error: %d", static_cast<int>(error));
            }
            break;
        }
        std::int32_t result = 0;
        if (!one.run(index, result)) SIL_RETURN(result);
    }
    SIL_RETURN(-4);
}

std::int32_t query_strandway(T_SCAN_LIST* scan, std::uint64_t trace_ctx) {
    SIL_FUNCTION("query_strandway");
    pds::MultipathClient& multipath = pds::multipath_client();
    SIL_TRACE(SIL_TRACE_INFO, "Strandway is being asked for number of devices");
    std::uint32_t reported = 1;
    char first[pds::kMpVolumeNameBytes] = {};
    const std::uint32_t result = multipath.mp_list_volumes(reported, first);
    SIL_TRACE(SIL_TRACE_INFO, "Strandway reported %d devices (result=%d)", static_cast<int>(reported),
              static_cast<int>(result));
    if (result != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "mpListVolumes failed returning (%d) <%s>", static_cast<int>(result),
                  std::string(sil_mp_error_name(result)).c_str());
        if (const std::string fault = multipath.library_fault(); !fault.empty()) {
            SIL_TRACE(SIL_TRACE_ERROR, "the multipathing driver's library: %s", fault.c_str());
        }
        SIL_RETURN(static_cast<std::int32_t>(result));
    }
    if (reported == 0) {
        SIL_TRACE(SIL_TRACE_INFO, "No Strandway devices found");
        SIL_RETURN(SIL_OK);
    }
    const std::uint32_t room = std::min(reported, kMpVolumesMax);
    std::vector<char> names;
    try {
        names.assign(std::size_t{room} * pds::kMpVolumeNameBytes, '\0');
    } catch (const std::exception&) {
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    std::uint32_t filled = room;
    const std::uint32_t second = multipath.mp_list_volumes(filled, names.data());
    if (filled != room) {
        SIL_TRACE(kTraceWarning, "MP reported %d devices, then reported %d filled in", static_cast<int>(room),
                  static_cast<int>(filled));
    }
    if (second != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "mpListVolumes 2 failed returning (%d) <%s>", static_cast<int>(second),
                  std::string(sil_mp_error_name(second)).c_str());
    }
    const std::uint32_t usable = std::min(room, filled);
    for (std::uint32_t i = 0; i < usable; ++i) {
        const char* entry = names.data() + std::size_t{i} * pds::kMpVolumeNameBytes;
        std::string name(entry, strnlen(entry, pds::kMpVolumeNameBytes - 1));
        // Windows device names are alike in any case; a path of a POSIX file system ("/dev/mapper/
        // mpatha") is not, and upper-cased it could no longer be opened.
        if (name.empty() || name.front() != '/') {
            std::transform(name.begin(), name.end(), name.begin(),
                           [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
        }
        T_SIL_DEVICE* device = nullptr;
        const std::int32_t added = add_device_to_list(scan, name.c_str(), &device, trace_ctx);
        if (added < 0) SIL_RETURN(added);
        if (device != nullptr) device->mp_state = SIL_DEV_PARENT;
    }
    SIL_RETURN(SIL_OK);
}

std::int32_t query_registry(T_SCAN_LIST* scan, std::uint64_t trace_ctx) {
    SIL_FUNCTION("query_registry");
    pds::Platform& platform = pds::platform();
    scan->max_devices = kRegistryListLimit;
    std::unique_ptr<pds::RegistryKey> instances;
    const pds::os_error error = platform.registry_open_local_machine(kInstancesKey, instances);
    if (error != 0 || !instances) {
        if (error == pds::kErrorFileNotFound) {
            SIL_TRACE(kTraceScan, "RMS search, No RMS instances found");
        } else {
            SIL_TRACE(kTraceScan, "Return from RegOpenKeyEx = 0x%x", static_cast<unsigned>(error));
        }
    } else {
        std::string instance;
        for (std::uint32_t pass = 0; instances->enum_subkey(pass, instance) == 0; ++pass) {
            SIL_TRACE(kTraceScan, "RMS search, pass %d", static_cast<int>(pass));
            if (instance.size() > kInstanceNameMax) instance.resize(kInstanceNameMax);
            add_registry_instance(scan, instance, trace_ctx);
        }
    }
    if (scan->count == 0) {
        T_SIL_DEVICE* device = nullptr;
        std::string name;
        if (add_service_processor(scan, kDefaultServiceProcessorPort, &device, trace_ctx, name) == SIL_SCAN_ADDED) {
            device->sp_port = kDefaultServiceProcessorPort;
        }
        SIL_TRACE(kTraceScan, "Using default KORWIN device <%s>. Port == <%x>", name.c_str(),
                  static_cast<unsigned>(kDefaultServiceProcessorPort));
    }
    SIL_RETURN(SIL_OK);
}

std::int32_t get_win_volumes(T_SCAN_LIST* scan, const create_dev_list* options, std::uint64_t trace_ctx) {
    SIL_FUNCTION("get_win_volumes");
    (void)options;
    std::string roots;
    std::uint32_t required = 0;
    if (pds::platform().logical_drive_strings(kDriveStringsBuffer, roots, required) != 0) SIL_RETURN(SIL_OK);
    if (required > kDriveStringsBuffer) {
        SIL_TRACE(SIL_TRACE_ERROR, "GetLogicalDriveStrings overflowed passed buff");
        SIL_RETURN(SIL_ERR_FAILED);
    }
    if (roots.size() > kDriveStringsBuffer) roots.resize(kDriveStringsBuffer);
    for (const std::string& root : split_roots(roots)) {
        const std::int32_t result = scan_volume(scan, root, trace_ctx);
        if (result < 0) SIL_RETURN(result);
    }
    SIL_RETURN(SIL_OK);
}

std::int32_t SIL_GetWinVolCapacity(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_GetWinVolCapacity");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    if (device->fid == 0) {
        SIL_TRACE(kTraceVolumeCapacity, "Device is NOT open\n");
        SIL_RETURN(SIL_ERR_READ_CAPACITY);
    }
    if (device->fid == SIL_INVALID_HANDLE) SIL_RETURN(SIL_ERR_READ_CAPACITY);
    // The length request answers on every partition style; the partition request, which only
    // MBR disks answer, is kept for systems without the first.
    pds::Platform& platform = pds::platform();
    std::optional<std::int64_t> length;
    win::GetLengthInformation whole{};
    std::uint32_t returned = 0;
    if (platform.device_io_control(device->fid, win::IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &whole, sizeof whole,
                                   returned) == 0 &&
        returned >= sizeof whole) {
        length = whole.Length;
    } else {
        win::PartitionInformation info{};
        if (platform.device_io_control(device->fid, win::IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, &info,
                                       sizeof info, returned) == 0 &&
            returned >= offsetof(win::PartitionInformation, HiddenSectors)) {
            length = info.PartitionLength;
        }
    }
    if (!length) {
        device->win_vol_cap = 0;
        SIL_TRACE(kTraceVolumeCapacity, "Unable to get capacity for win volume %s, setting to 0x00\n", device->win_vol);
        SIL_RETURN(SIL_ERR_READ_CAPACITY);
    }
    // The cell holds 32 bits of KB: a volume of 4 TiB or more shows the largest value, not a wrapped one.
    const std::int64_t kb = *length < 0 ? 0 : *length / 1024;
    device->win_vol_cap = static_cast<std::uint32_t>(std::min<std::int64_t>(kb, 0xFFFFFFFF));
    SIL_TRACE(kTraceVolumeCapacity, "Win volume %s capacity = %u\n", device->win_vol, static_cast<unsigned>(device->win_vol_cap));
    SIL_RETURN(SIL_OK);
}
