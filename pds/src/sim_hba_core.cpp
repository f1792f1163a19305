// The entry points of an SNIA HBA API library served from data: adapters by name and handle, attributes, stale data, and target mappings with the NumberOfEntries protocol.
#include "sim_hba_core.h"

#include <algorithm>
#include <cstring>

namespace pds::hba {
namespace {

constexpr std::array<std::string_view, kEntryCount> kEntryNames = {
    "HBA_GetVersion",           "HBA_LoadLibrary",          "HBA_FreeLibrary",
    "HBA_GetNumberOfAdapters",  "HBA_GetAdapterName",       "HBA_OpenAdapter",
    "HBA_CloseAdapter",         "HBA_GetAdapterAttributes", "HBA_GetAdapterPortAttributes",
    "HBA_RefreshInformation",   "HBA_GetFcpTargetMapping",  "HBA_GetFcpTargetMappingV2",
    "SMHBA_GetVersion",         "SMHBA_GetTargetMapping",   "HBA_RegisterLibrary",
    "HBA_RegisterLibraryV2",    "SMHBA_RegisterLibrary",
};

// A text into a fixed field: NUL-terminated when it is shorter than the field, else filling it
// whole (the published fields do not promise a NUL).
template <std::size_t N>
void put_text(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N));
}

bool same_wwn(const HBA_WWN& a, const HBA_WWN& b) { return std::memcmp(a.wwn, b.wwn, sizeof a.wwn) == 0; }

template <typename ScsiId>  // HBA_SCSIID or SMHBA_SCSIID
void put_scsi_id(ScsiId& id, const TargetMapping& m) {
    put_text(id.OSDeviceName, m.os_device_name);
    id.ScsiBusNumber = m.bus;
    id.ScsiTargetNumber = m.target;
    id.ScsiOSLun = m.os_lun;
}

void put_fcp_id(HBA_FCPID& id, const TargetMapping& m) {
    id.FcId = m.fcid;
    id.NodeWWN = m.node_wwn;
    id.PortWWN = m.port_wwn;
    id.FcpLun = m.fcp_lun;
}

template <std::size_t N>
void put_luid(char (&field)[N], const TargetMapping& m) {
    std::memset(field, 0, N);
    if (!m.luid.empty()) std::memcpy(field, m.luid.data(), std::min(m.luid.size(), N));
}

// The published protocol of every mapping call: NumberOfEntries says how many entries the caller
// made room for; the library fills what fits, answers how many it has, and says MORE_DATA when
// they did not all fit. `entries` is the caller's array (reached through a pointer: the record
// declares one entry and the caller allocated more).
template <typename Entry, typename Fill>
HBA_STATUS fill_mapping(HBA_UINT32& number_of_entries, Entry* entries, const std::vector<const TargetMapping*>& found,
                        Fill fill) {
    const std::size_t room = number_of_entries;
    const std::size_t given = std::min(room, found.size());
    for (std::size_t i = 0; i < given; ++i) {
        std::memset(&entries[i], 0, sizeof(Entry));
        fill(entries[i], *found[i]);
    }
    number_of_entries = static_cast<HBA_UINT32>(found.size());
    return found.size() > room ? HBA_STATUS_ERROR_MORE_DATA : HBA_STATUS_OK;
}

}  // namespace

std::string_view entry_name(Entry e) { return kEntryNames[static_cast<std::size_t>(e)]; }

bool answers_status(Entry e) {
    switch (e) {
    case Entry::GetVersion:
    case Entry::GetNumberOfAdapters:
    case Entry::OpenAdapter:
    case Entry::CloseAdapter:
    case Entry::RefreshInformation:
    case Entry::SmhbaGetVersion: return false;
    default: return true;
    }
}

LibraryState::LibraryState(Library data) : data_(std::move(data)), stale_(data_.adapters.size(), data_.stale_data_once) {}

HBA_STATUS LibraryState::load_library() const { return data_.pinned(Entry::LoadLibrary).value_or(HBA_STATUS_OK); }

HBA_STATUS LibraryState::adapter_name(HBA_UINT32 index, char* name) const {
    if (const auto pinned = data_.pinned(Entry::GetAdapterName)) return *pinned;
    if (name == nullptr) return HBA_STATUS_ERROR_ARG;
    if (index >= data_.adapters.size()) return HBA_STATUS_ERROR_ILLEGAL_INDEX;
    const std::string& text = data_.adapters[index].name;  // at most kMaxAdapterName bytes
    std::memcpy(name, text.c_str(), text.size() + 1);
    return HBA_STATUS_OK;
}

HBA_HANDLE LibraryState::open_adapter(const char* name) {
    if (name == nullptr) return 0;
    const auto found = std::find_if(data_.adapters.begin(), data_.adapters.end(),
                                    [&](const Adapter& a) { return a.name == name; });
    if (found == data_.adapters.end() || found->open_fails) return 0;
    std::lock_guard lock(mutex_);
    // Handles stay within 16 bits: callers of vendor libraries keep their slot in the upper half.
    for (int tries = 0; tries < 0xFFFF; ++tries) {
        const HBA_HANDLE handle = next_handle_;
        next_handle_ = next_handle_ >= 0xFFFF ? 1 : next_handle_ + 1;
        if (open_.emplace(handle, static_cast<std::size_t>(found - data_.adapters.begin())).second) return handle;
    }
    return 0;
}

void LibraryState::close_adapter(HBA_HANDLE handle) {
    std::lock_guard lock(mutex_);
    open_.erase(handle);
}

const Adapter* LibraryState::adapter_of(HBA_HANDLE handle, std::size_t* index) {
    std::lock_guard lock(mutex_);
    const auto it = open_.find(handle);
    if (it == open_.end()) return nullptr;
    if (index != nullptr) *index = it->second;
    return &data_.adapters[it->second];
}

HBA_STATUS LibraryState::adapter_attributes(HBA_HANDLE handle, HBA_ADAPTERATTRIBUTES* out) {
    if (const auto pinned = data_.pinned(Entry::GetAdapterAttributes)) return *pinned;
    const Adapter* a = adapter_of(handle);
    if (a == nullptr) return HBA_STATUS_ERROR_INVALID_HANDLE;
    if (out == nullptr) return HBA_STATUS_ERROR_ARG;
    std::memset(out, 0, sizeof *out);
    put_text(out->Manufacturer, a->manufacturer);
    put_text(out->SerialNumber, a->serial_number);
    put_text(out->Model, a->model);
    put_text(out->ModelDescription, a->model_description);
    out->NodeWWN = a->node_wwn;
    put_text(out->NodeSymbolicName, a->node_symbolic_name);
    put_text(out->HardwareVersion, a->hardware_version);
    put_text(out->DriverVersion, a->driver_version);
    put_text(out->OptionROMVersion, a->option_rom_version);
    put_text(out->FirmwareVersion, a->firmware_version);
    out->VendorSpecificID = a->vendor_specific_id;
    out->NumberOfPorts = a->number_of_ports.value_or(static_cast<HBA_UINT32>(a->ports.size()));
    put_text(out->DriverName, a->driver_name);
    return HBA_STATUS_OK;
}

HBA_STATUS LibraryState::port_attributes(HBA_HANDLE handle, HBA_UINT32 port, HBA_PORTATTRIBUTES* out) {
    if (const auto pinned = data_.pinned(Entry::GetAdapterPortAttributes)) return *pinned;
    std::size_t index = 0;
    const Adapter* a = adapter_of(handle, &index);
    if (a == nullptr) return HBA_STATUS_ERROR_INVALID_HANDLE;
    if (out == nullptr) return HBA_STATUS_ERROR_ARG;
    if (port >= a->ports.size()) return HBA_STATUS_ERROR_ILLEGAL_INDEX;
    {
        std::lock_guard lock(mutex_);
        if (stale_[index]) return HBA_STATUS_ERROR_STALE_DATA;
    }
    const Port& p = a->ports[port];
    std::memset(out, 0, sizeof *out);
    out->NodeWWN = p.node_wwn;
    out->PortWWN = p.port_wwn;
    out->PortFcId = p.fcid;
    out->PortType = p.type;
    out->PortState = p.state;
    out->PortSupportedClassofService = p.supported_cos;
    std::memcpy(out->PortSupportedFc4Types.bits, p.supported_fc4_types.data(), 32);
    std::memcpy(out->PortActiveFc4Types.bits, p.active_fc4_types.data(), 32);
    put_text(out->PortSymbolicName, p.symbolic_name);
    put_text(out->OSDeviceName, p.os_device_name);
    out->PortSupportedSpeed = p.supported_speed;
    out->PortSpeed = p.speed;
    out->PortMaxFrameSize = p.max_frame_size;
    out->FabricName = p.fabric_name;
    out->NumberofDiscoveredPorts = p.discovered_ports;
    return HBA_STATUS_OK;
}

void LibraryState::refresh(HBA_HANDLE handle) {
    std::size_t index = 0;
    if (adapter_of(handle, &index) == nullptr) return;
    std::lock_guard lock(mutex_);
    stale_[index] = false;
}

HBA_STATUS LibraryState::fcp_target_mapping(HBA_HANDLE handle, HBA_FCPTARGETMAPPING* out) {
    if (const auto pinned = data_.pinned(Entry::GetFcpTargetMapping)) return *pinned;
    const Adapter* a = adapter_of(handle);
    if (a == nullptr) return HBA_STATUS_ERROR_INVALID_HANDLE;
    if (out == nullptr) return HBA_STATUS_ERROR_ARG;
    // The version-1 call has no port: it answers the mappings of every port of the adapter.
    std::vector<const TargetMapping*> found;
    for (const Port& p : a->ports)
        for (const TargetMapping& m : p.mappings) found.push_back(&m);
    return fill_mapping(out->NumberOfEntries, out->entry, found, [](HBA_FCPSCSIENTRY& e, const TargetMapping& m) {
        put_scsi_id(e.ScsiId, m);
        put_fcp_id(e.FcpId, m);
    });
}

HBA_STATUS LibraryState::port_by_wwn(HBA_HANDLE handle, const HBA_WWN& port_wwn, const void* out, const Port*& port) {
    const Adapter* a = adapter_of(handle);
    if (a == nullptr) return HBA_STATUS_ERROR_INVALID_HANDLE;
    if (out == nullptr) return HBA_STATUS_ERROR_ARG;
    const auto found = std::find_if(a->ports.begin(), a->ports.end(), [&](const Port& p) { return same_wwn(p.port_wwn, port_wwn); });
    if (found == a->ports.end()) return HBA_STATUS_ERROR_ILLEGAL_WWN;
    port = &*found;
    return HBA_STATUS_OK;
}

HBA_STATUS LibraryState::fcp_target_mapping_v2(HBA_HANDLE handle, HBA_WWN port_wwn, HBA_FCPTARGETMAPPINGV2* out) {
    if (const auto pinned = data_.pinned(Entry::GetFcpTargetMappingV2)) return *pinned;
    const Port* port = nullptr;
    if (const HBA_STATUS status = port_by_wwn(handle, port_wwn, out, port); status != HBA_STATUS_OK) return status;
    std::vector<const TargetMapping*> found;
    for (const TargetMapping& m : port->mappings) found.push_back(&m);
    return fill_mapping(out->NumberOfEntries, out->entry, found, [](HBA_FCPSCSIENTRYV2& e, const TargetMapping& m) {
        put_scsi_id(e.ScsiId, m);
        put_fcp_id(e.FcpId, m);
        put_luid(e.LUID.buffer, m);
    });
}

HBA_STATUS LibraryState::smhba_target_mapping(HBA_HANDLE handle, HBA_WWN port_wwn, HBA_WWN,
                                              SMHBA_TARGETMAPPING* out) {
    if (const auto pinned = data_.pinned(Entry::SmhbaGetTargetMapping)) return *pinned;
    const Port* port = nullptr;
    if (const HBA_STATUS status = port_by_wwn(handle, port_wwn, out, port); status != HBA_STATUS_OK) return status;
    // One fabric per port: every domain the caller may name is the port's own.
    std::vector<const TargetMapping*> found;
    for (const TargetMapping& m : port->mappings) found.push_back(&m);
    const HBA_WWN domain = port->fabric_name;
    return fill_mapping(out->NumberOfEntries, out->entry, found, [&](SMHBA_SCSIENTRY& e, const TargetMapping& m) {
        put_scsi_id(e.ScsiId, m);
        e.PortLun.PortWWN = m.port_wwn;
        e.PortLun.domainPortWWN = domain;
        e.PortLun.TargetLun = m.fcp_lun;
        put_luid(e.LUID.buffer, m);
    });
}

}  // namespace pds::hba
