// The service-processor road of the open: session list, clients, the synthesised inquiry page, client removal.
#include "sildopen_sp.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <span>

#include <pds/platform.h>
#include <pds/product_clients.h>

#include "sildebug.h"
#include "silinitl.h"
#include "silkorinq.h"
#include "sil/siltext.h"

namespace {

constexpr std::size_t kSessionLength = 4;
constexpr std::size_t kMaxAddressLength = 19;
constexpr std::size_t kSerialLength = 12;
// Microcode whose level's low byte is below this cannot take binary system calls.
constexpr std::uint32_t kFirstBinarySyscallEdit = 103;

constexpr std::uint16_t kModel4 = 0x0400;
constexpr std::uint16_t kModel48 = 0x0480;
constexpr std::uint16_t kModel5 = 0x0500;
constexpr std::uint16_t kModel6 = 0x0600;
constexpr std::uint16_t kModel7 = 0x0700;

struct SessionList {
    std::mutex lock;
    std::set<std::string, std::less<>> sessions;
};

// Made on first use and never destroyed, so that a close during static destruction still finds it.
SessionList& session_list() {
    static SessionList* const list = new SessionList;
    return *list;
}

// The message transport belongs to the service-processor software, which this build does not
// carry: its switch in the context record is never on, and its calls answer "switched off".
bool vtrm_switched_on() { return false; }

std::int32_t SIL_VTRMInitStub(const char* module, const std::string& address, std::uint64_t trace_ctx) {
    return SIL_ERR_VTRM_OFF;
}
std::int32_t SIL_VTRMCreateClient(T_SIL_DEVICE* device) { return SIL_ERR_VTRM_OFF; }
std::int32_t SIL_VTRMRemoveClient(T_SIL_DEVICE* device) { return SIL_ERR_VTRM_OFF; }

// A character that is no hex digit counts as 0.
int hex_digit(char c) { return std::max(0, sil_hex_digit(static_cast<unsigned char>(c))); }

std::uint8_t packed(char high, char low) { return static_cast<std::uint8_t>((hex_digit(high) << 4) | hex_digit(low)); }

// The microcode level of the revision text ("5874" is 0x5874); 0 for text that is not hex.
std::uint32_t level_from_hex(const std::string& text) {
    return static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

}  // namespace

std::string sil_sp_session(std::string_view name) {
    const std::size_t colon = name.find(':');
    if (colon == std::string_view::npos) return {};
    return std::string(name.substr(colon + 1, kSessionLength));
}

std::int32_t find_sp_session(const std::string& session) {
    SessionList& list = session_list();
    std::lock_guard guard(list.lock);
    return list.sessions.count(session) != 0 ? 1 : 0;
}

bool sil_register_sp_session(const std::string& session) {
    SessionList& list = session_list();
    std::lock_guard guard(list.lock);
    return list.sessions.insert(session).second;
}

void sil_unregister_sp_session(const std::string& session) {
    SessionList& list = session_list();
    std::lock_guard guard(list.lock);
    list.sessions.erase(session);
}

T_SP_MODEL sp_model_from_product(std::string_view product) {
    const std::size_t space = product.find(' ');
    if (space == std::string_view::npos) return {kModel4, false};
    const std::size_t digit = product.find_first_of("0123456789", space + 1);
    if (digit == std::string_view::npos) return {kModel4, true};
    switch (product[digit]) {
        case '4': return {product.substr(digit + 1, 2) == ".8" ? kModel48 : kModel4, true};
        case '5': return {kModel5, true};
        case '6': return {kModel6, true};
        case '7': return {kModel7, true};
        default: return {kModel4, true};
    }
}

void build_korvwin_inquiry_page(KOR_INQ_PAGE0& page, std::uint32_t ucode_level, std::string_view korid) {
    // The record is all byte arrays: its bytes are the page's wire image.
    const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(&page), sizeof page);
    std::memcpy(page.vendor, "XMV", 3);
    std::memcpy(page.product, "KORVALITH", 9);
    char revision[sizeof page.revision] = {};
    std::snprintf(revision, sizeof revision, "%x", ucode_level);
    std::memcpy(page.revision, revision, sizeof revision);

    // Characters 1-12 of the serial, missing ones read as '0'.
    std::string serial(korid.substr(0, kSerialLength));
    serial.resize(kSerialLength, '0');
    std::copy_n(serial.begin() + 10, 2, bytes.begin() + 36);
    std::copy_n(serial.begin() + 2, 4, bytes.begin() + 38);
    std::copy_n(serial.begin() + 6, 2, bytes.begin() + 42);
    page.serial_bcd_1 = packed(serial[0], serial[1]);
    for (std::size_t i = 0; i < sizeof page.serial_bcd_2; ++i) {
        page.serial_bcd_2[i] = packed(serial[2 + 2 * i], serial[3 + 2 * i]);
    }
    page.device_flags |= KOR_FLAG_EXTENDED_DIRS;
}

std::int32_t sil_create_sp_client(T_SIL_DEVICE* device, const std::string& session, std::uint32_t create_client) {
    device->create_client = create_client;
    std::uint32_t client_id = 0;
    if (pds::service_processor_client().sp_create_client(device->name, session, SIL_SP_APPLICATION,
                                                       create_client == 2, client_id) != 0) {
        // No client to remove at the close.
        device->create_client = 0;
        return SIL_ERR_CREATE_CLIENT;
    }
    device->client_id = client_id;
    return SIL_OK;
}

std::int32_t vtrm_dev_open(T_SIL_DEVICE* device) {
    SIL_FUNCTION("vtrm_dev_open");
    if (!vtrm_switched_on()) SIL_RETURN(SIL_ERR_VTRM_OFF);
    const std::string_view name(device->name);
    const std::size_t colon = name.find(':');
    if (colon == std::string_view::npos) {
        SIL_TRACE(SIL_TRACE_ERROR, "Could not determine IP #");
        SIL_RETURN(SIL_ERR_SP_NAME);
    }
    const std::string address(name.substr(0, std::min(colon, kMaxAddressLength)));
    std::int32_t rc = SIL_VTRMInitStub("sil_vtrm", address, device->trace_ctx);
    if (rc != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "SIL_VTRMInitStub failed, No VTRM access");
    } else if ((rc = SIL_VTRMCreateClient(device)) != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "SIL_VTRMCreateClient failed!!! rc = %d", rc);
    }
    if (rc != 0) {
        SIL_close_device(device, 0);
        SIL_RETURN(rc);
    }
    device->vtrm_client = 1;
    sil_register_sp_session(sil_sp_session(name));
    SIL_RETURN(SIL_OK);
}

std::int32_t korvwin_dev_open(T_SIL_DEVICE* device, std::uint32_t create_client) {
    SIL_FUNCTION("korvwin_dev_open");
    pds::ServiceProcessorClient& sp = pds::service_processor_client();
    const std::string session = sil_sp_session(device->name);
    SIL_TRACE(SIL_TRACE_INFO, "Attempting to create a client");
    if (sil_create_sp_client(device, session, create_client) != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "Create client failed");
        SIL_RETURN(SIL_ERR_CREATE_CLIENT);
    }
    sil_register_sp_session(session);

    std::string revision;
    std::string product;
    if (sp.sp_revision_info(device->client_id, revision, product) != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "ERROR: call to silkw_GetRevInfo failed, no ucode rev available!!!");
    } else {
        device->ucode_level = level_from_hex(revision);
        device->sp_revision = device->ucode_level;
        const T_SP_MODEL model = sp_model_from_product(product);
        device->korv_model = model.korv_model;
        if (!model.found) {
            SIL_TRACE(SIL_TRACE_ERROR, "ERROR: could not get KORV model num!  Setting to KORV4. Is product.ini file OK?");
        }
        if ((device->ucode_level & 0xFF) < kFirstBinarySyscallEdit) {
            SIL_TRACE(SIL_TRACE_ERROR, "ERROR: ucode rev will not support Binary syscalls!");
        }
    }

    std::string serial;
    if (sp.sp_site_info(device->client_id, serial) != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "ERROR: call to silkw_GetSiteInfo failed, no korv SN available!!!");
    } else {
        sil_copy_text(device->korid, serial.substr(0, kSerialLength).c_str());
    }

    auto* page = new (std::nothrow) KOR_INQ_PAGE0{};
    if (page == nullptr) SIL_RETURN(SIL_ERR_NO_MEMORY);
    device->isOpen = 1;
    device->is_XMV_device = 1;
    build_korvwin_inquiry_page(*page, device->ucode_level, device->korid);
    delete device->inquiry_data;
    device->inquiry_data = page;
    device->inquiry = 1;
    SIL_TRACE(SIL_TRACE_INFO, "Preliminary construction of inq data complete.");
    SIL_RETURN(SIL_OK);
}

std::int32_t open_sp_device(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS* options) {
    SIL_TRACE(SIL_TRACE_INFO, "This is a KorvWin Socket device!");
    device->access_method = SIL_ACCESS_KORVWIN;
    const std::string_view name(device->name);
    if (name.find(':') == std::string_view::npos || name.find('=') == std::string_view::npos) {
        SIL_TRACE(SIL_TRACE_ERROR, "Invalid port number specified");
        return SIL_ERR_SP_NAME;
    }
    const std::string session = sil_sp_session(name);
    if (find_sp_session(session) != 0) {
        device->sp_conn_registered = 1;
        return SIL_ERR_SP_SESSION_IN_USE;
    }
    if (options == nullptr || options->create_client == 0) {
        SIL_TRACE(SIL_TRACE_INFO, "Client creation was not requested.");
        return SIL_OK;
    }
    if (!pds::platform().get_env("DO_KORVWIN_SYSCALLS").has_value()) {
        if (vtrm_dev_open(device) == 0) {
            SIL_TRACE(SIL_TRACE_INFO, "VTRM connect success");
            return SIL_OK;
        }
    }
    return korvwin_dev_open(device, options->create_client);
}

void sil_remove_sp_clients(T_SIL_DEVICE* device) {
    pds::ServiceProcessorClient& sp = pds::service_processor_client();
    const bool had_client = device->create_client != 0 || device->vtrm_client != 0;
    if (device->create_client != 0) {
        if (device->sp_resource_locked != 0) {
            bool held = true;
            if (sp.sp_resource_lock(device->client_id, false, held) != 0) {
                SIL_TRACE(SIL_TRACE_ERROR, "Call to silkw_ResourceLock failed!");
            } else if (held) {
                SIL_TRACE(SIL_TRACE_ERROR, "Removal of Korvwin resource lock failed!");
            }
            device->sp_resource_locked = 0;
        }
        if ((device->create_client & 0x3) != 0 && sp.sp_remove_client(device->client_id) != 0) {
            SIL_TRACE(SIL_TRACE_ERROR, "Remove of the client failed!");
        }
    }
    if (device->vtrm_client != 0) {
        if (const std::int32_t rc = SIL_VTRMRemoveClient(device); rc != 0) {
            SIL_TRACE(SIL_TRACE_ERROR, "SIL_VTRMRemoveClient failed!!! rc = %d", rc);
        }
    }
    // Only the device that registered its session gives it back.
    if (had_client && device->access_method == SIL_ACCESS_KORVWIN) sil_unregister_sp_session(sil_sp_session(device->name));
}
