// Adapter discovery: the iSCSI initiator list from the registry's initiator keys and, for the initiator name, from iscsicli.exe.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include <pds/platform.h>

#include "sildebug.h"
#include "sildevice.h"
#include "silfinda_int.h"
#include "silinitl.h"

namespace {

constexpr std::uint32_t kTraceIscsi = 0x1000401;
constexpr const char* kAdaptecKey = "SYSTEM\\CurrentControlSet\\Services\\iscsi";
constexpr const char* kSendTargetsKey = "software\\microsoft\\Windows NT\\CurrentVersion\\iSCSI\\Discovery\\Send Targets";
constexpr const char* kAdapterClassKey = "SYSTEM\\ControlSet001\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kDiscoveryKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\iSCSI\\Discovery";
constexpr std::size_t kMaxAdaptecValue = 512;
constexpr std::uint32_t kMaxSendTargets = 10;
constexpr std::uint32_t kMaxClassSubkeys = 10000;  // a registry that never says "no more" ends here
constexpr std::size_t kToolLine = 512;              // iscsicli.exe's output is read in lines of this size

pds::os_error open_key(const std::string& path, std::unique_ptr<pds::RegistryKey>& key) {
    const pds::os_error error = pds::platform().registry_open_local_machine(path, key);
    if (error != 0) SIL_TRACE(SIL_TRACE_ERROR, "RegOpenKey failed, RC == 0x%x", static_cast<unsigned>(error));
    return error;
}

// A string value into a field (cut to it); false when it cannot be read or is longer than `limit`.
template <std::size_t N>
bool read_value(pds::RegistryKey& key, const char* name, char (&field)[N], std::size_t limit = SIZE_MAX) {
    std::string value;
    const pds::os_error error = key.query_string(name, value);
    if (error != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "RegQueryValueEx of %s failed, RC == 0x%x", name, static_cast<unsigned>(error));
        return false;
    }
    if (value.size() > limit) return false;
    sil_copy_text(field, value.c_str());
    return true;
}

T_SIL_ISCSI* new_iscsi() {
    auto* iscsi = new (std::nothrow) T_SIL_ISCSI{};
    if (iscsi == nullptr) return nullptr;
    sil_copy_text(iscsi->initiator_name, "Unknown");
    sil_copy_text(iscsi->iscsi_version, "Unknown");
    sil_copy_text(iscsi->vendor_name, "Unknown");
    sil_copy_text(iscsi->target_address, "Unknown");
    return iscsi;
}

bool is_unknown(const char* text) { return std::strcmp(text, "Unknown") == 0; }

// The iSCSI driver of an adapter card, when the host has one, describes the initiator alone.
bool search_for_adaptec_iscsi(T_SIL_ISCSI* iscsi) {
    std::unique_ptr<pds::RegistryKey> service;
    if (pds::platform().registry_open_local_machine(kAdaptecKey, service) != 0) return false;
    read_value(*service, "DisplayName", iscsi->vendor_name, kMaxAdaptecValue);
    std::unique_ptr<pds::RegistryKey> key;
    const std::string parameters = std::string(kAdaptecKey) + "\\Parameters";
    if (open_key(parameters, key) == 0) read_value(*key, "InitiatorName", iscsi->initiator_name, kMaxAdaptecValue);
    char address[sizeof iscsi->target_address] = {};
    if (open_key(parameters + "\\TargetIp0", key) == 0 && read_value(*key, "TargetIpAddress", address, kMaxAdaptecValue)) {
        sil_copy_text(iscsi->target_address, address);
    }
    return true;
}

// A Send Targets value name "address port" as "address:port", the port without leading zeros.
bool target_address_of(std::string_view name, char* field, std::size_t size) {
    const std::size_t blank = name.find(' ');
    if (blank == 0 || blank == std::string_view::npos) return false;
    std::string_view port = name.substr(blank + 1);
    if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos) return false;
    const std::size_t first = port.find_first_not_of('0');
    port = first == std::string_view::npos ? std::string_view("0") : port.substr(first);
    const std::string text = std::string(name.substr(0, blank)) + ":" + std::string(port);
    sil_copy_text(field, size, text.c_str());
    return true;
}

// The installed initiator's provider and driver version: the SCSI adapter class member that keeps
// persistent targets.
pds::os_error read_adapter_class(T_SIL_ISCSI* iscsi) {
    std::unique_ptr<pds::RegistryKey> adapters;
    const pds::os_error error = open_key(kAdapterClassKey, adapters);
    if (error != 0) return error;
    std::string member;
    for (std::uint32_t i = 0; i < kMaxClassSubkeys && adapters->enum_subkey(i, member) == 0; ++i) {
        const std::string path = std::string(kAdapterClassKey) + "\\" + member;
        std::unique_ptr<pds::RegistryKey> key;
        if (pds::platform().registry_open_local_machine(path + "\\PersistentTargets", key) != 0) continue;
        if (open_key(path, key) != 0) continue;
        read_value(*key, "ProviderName", iscsi->vendor_name);
        read_value(*key, "DriverVersion", iscsi->iscsi_version);
    }
    return 0;
}

// The initiator as the registry describes it. `found` gets the record when the initiator's keys
// exist, also when a later key fails; the status is that of the first key that failed.
pds::os_error registry_scan_for_ISCSI(T_SIL_ISCSI*& found) {
    found = new_iscsi();
    if (found == nullptr) return pds::kErrorNotEnoughMemory;
    if (search_for_adaptec_iscsi(found)) return 0;
    std::unique_ptr<pds::RegistryKey> key;
    pds::os_error error = open_key(kSendTargetsKey, key);
    if (error != 0) {
        delete found;
        found = nullptr;
        return error;
    }
    std::string name;
    for (std::uint32_t i = 0; i < kMaxSendTargets && key->enum_value(i, name) == 0; ++i) {
        target_address_of(name, found->target_address, sizeof found->target_address);
    }
    error = read_adapter_class(found);
    if (error != 0) return error;
    error = open_key(kDiscoveryKey, key);
    if (error != 0) return error;
    read_value(*key, "DefaultInitiatorName", found->initiator_name);
    return 0;
}

// The initiator name iscsicli.exe shows between brackets on the first line that has them.
std::int32_t initiator_name_from_iscsicli(T_SIL_ISCSI* iscsi) {
    pds::Platform& host = pds::platform();
    std::string program;
    if (host.locate_program("iscsicli.exe", program) != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "Unable to locate iscsicli.exe");
        return SIL_HBA_ERR_NO_TOOL;
    }
    if (program.find(' ') != std::string::npos) program = "\"" + program + "\"";
    std::string output;
    int exit_status = 0;
    if (host.run_tool(program, &output, exit_status) != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "Unable to execute iscsicli.exe");
        return SIL_HBA_ERR_NO_TOOL;
    }
    std::string_view rest = output;
    while (!rest.empty()) {
        // A line longer than the buffer is read in pieces, each looked at alone.
        const std::size_t end = std::min(rest.find('\n'), kToolLine - 1);
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(rest.size(), end < rest.size() && rest[end] == '\n' ? end + 1 : end));
        const std::size_t open = line.find('[');
        const std::size_t close = open == std::string_view::npos ? open : line.find(']', open + 1);
        if (close == std::string_view::npos || close == open + 1) continue;
        const std::string name(line.substr(open + 1, close - open - 1));
        sil_copy_text(iscsi->initiator_name, name.c_str());
        break;
    }
    return SIL_OK;
}

// The initiator of this host, from the registry and, for its name, iscsicli.exe.
std::int32_t os_specific_scan_for_ISCSI(T_SIL_ISCSI*& found) {
    found = nullptr;
    T_SIL_ISCSI* iscsi = nullptr;
    const pds::os_error registry_rc = registry_scan_for_ISCSI(iscsi);
    if (registry_rc != 0) SIL_TRACE(SIL_TRACE_ERROR, "registry_scan_for_ISCSI failed, RC == 0x%x", static_cast<unsigned>(registry_rc));
    const bool made_here = iscsi == nullptr;
    if (made_here) iscsi = new_iscsi();
    if (iscsi == nullptr) return SIL_ERR_NO_MEMORY;
    std::int32_t rc = SIL_OK;
    if (is_unknown(iscsi->initiator_name)) rc = initiator_name_from_iscsicli(iscsi);
    if (made_here && is_unknown(iscsi->initiator_name)) {
        delete iscsi;
        return rc != SIL_OK ? rc : SIL_HBA_ERR_NO_INITIATOR;
    }
    SIL_TRACE(kTraceIscsi, "Adding ISCSI %s to list ", iscsi->initiator_name);
    found = iscsi;
    return rc;
}

// Finding initiators is on in every build; the switch stays for callers that turn it off.
void sil_findh_set_default_ISCSI_options(T_SIL_HBA_OPTIONS& options) { options.os_scan = 1; }

}  // namespace

std::int32_t SIL_CreateISCSIList(T_SIL_ISCSI_LIST* list, const T_SIL_HBA_OPTIONS* options, std::uint32_t verbose) {
    SIL_FUNCTION("SIL_CreateISCSIList");
    if (list == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    *list = T_SIL_ISCSI_LIST{nullptr, 0};
    T_SIL_HBA_OPTIONS o = options != nullptr ? *options : T_SIL_HBA_OPTIONS{};
    sil_findh_set_default_ISCSI_options(o);
    if (!o.os_scan) {
        SIL_TRACE(SIL_TRACE_ERROR, "iSCSI find not supported at this time");
        SIL_RETURN(SIL_HBA_ERR_NOT_SUPPORTED);
    }
    T_SIL_ISCSI* iscsi = nullptr;
    const std::int32_t rc = os_specific_scan_for_ISCSI(iscsi);
    auto* array = new (std::nothrow) T_SIL_ISCSI*[1]{};
    if (array == nullptr) {
        delete iscsi;
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    array[0] = iscsi;
    *list = T_SIL_ISCSI_LIST{array, iscsi != nullptr ? 1 : 0};
    SIL_RETURN(rc);
}

std::int32_t SIL_DestroyISCSIList(T_SIL_ISCSI_LIST* list) {
    SIL_FUNCTION("SIL_DestroyISCSIList");
    if (list == nullptr || list->iscsis == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    for (std::int32_t i = 0; i < list->count; ++i) delete list->iscsis[i];
    delete[] list->iscsis;
    *list = T_SIL_ISCSI_LIST{nullptr, 0};
    SIL_RETURN(SIL_OK);
}
