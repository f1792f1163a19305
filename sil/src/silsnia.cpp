// The SIL_SNIA_ operations: adapter names, open and close, adapter and port attributes, and the target mapping of a port.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include <pds/platform.h>

#include "sildebug.h"
#include "silsnia_int.h"

namespace {

constexpr std::int32_t kNoMemory = -101;
constexpr std::int32_t kNothingToFree = -105;
constexpr std::uint32_t kDefaultMappingLimit = 65536;
constexpr std::uint32_t kMaxMappingLimit = 1048576;

// The library and its own handle behind a handle given to a caller.
struct OpenAdapter {
    const T_SIL_SNIA_LIBRARY& library;
    HBA_HANDLE handle;
};

std::optional<OpenAdapter> adapter_of(const T_SIL_SNIA_CONTEXT& context, SIL_SNIA_HANDLE handle) {
    if (context.common_library_in_use != 0) return OpenAdapter{context.libraries[0], handle};
    const std::uint32_t slot = handle >> 16;
    if (slot >= SIL_SNIA_MAX_LIBRARIES) return std::nullopt;
    return OpenAdapter{context.libraries[slot], handle & 0xFFFFu};
}

// -112 (traced) for an index outside the adapter table.
std::int32_t check_index(const T_SIL_SNIA_CONTEXT& context, std::uint32_t index) {
    if (index >= SIL_SNIA_MAX_ADAPTERS) {
        SIL_TRACE(SIL_TRACE_ERROR, "Invalid adapter index: > max number of adapters.");
        return SIL_SNIA_ERR_BAD_INDEX;
    }
    if (index >= context.total_adapters) {
        SIL_TRACE(SIL_TRACE_ERROR, "Invalid adapter index: > total number of adapters.");
        return SIL_SNIA_ERR_BAD_INDEX;
    }
    return 0;
}

std::string hex_of(const void* bytes, std::size_t length) {
    std::string text(2 * length + 1, '\0');
    sil_snia_hex(text.data(), bytes, length);
    text.resize(2 * length);
    return text;
}

std::string wwn_text(const HBA_WWN& wwn) { return hex_of(wwn.wwn, sizeof wwn.wwn); }

// A logical unit identifier is an identification descriptor: four header bytes and the
// identifier whose length the fourth gives.
std::string luid_text(const char (&luid)[256]) {
    const std::size_t length = std::min<std::size_t>(sizeof luid, 4 + static_cast<std::uint8_t>(luid[3]));
    return hex_of(luid, length);
}

// ---- port attributes -------------------------------------------------------------------------------

HBA_PORTTYPE normal_port_type(HBA_PORTTYPE type) {
    switch (type) {
        case 2: case 3: case 5: case 6: case 7: case 8: case 20: case 21: return type;
        default: return 1;
    }
}

HBA_PORTSTATE normal_port_state(HBA_PORTSTATE state) { return state >= 2 && state <= 9 ? state : 1; }

// One speed bit: a value of several bits keeps the one first in this order.
HBA_PORTSPEED normal_port_speed(HBA_PORTSPEED speed) {
    switch (speed) {
        case 0: case 1: case 2: case 4: case 8: case 16: case 32: case HBA_PORTSPEED_NOT_NEGOTIATED: return speed;
        default: break;
    }
    for (const HBA_PORTSPEED bit : {HBA_PORTSPEED_NOT_NEGOTIATED, 32u, 4u, 16u, 8u, 2u, 1u})
        if ((speed & bit) != 0) return bit;
    return 0;
}

// HBA_GetAdapterPortAttributes, refreshed once when the library says its data is stale; the
// values normalised. 0 or -1307.
std::int32_t port_attributes(const OpenAdapter& adapter, std::uint32_t port, HBA_PORTATTRIBUTES& attributes) {
    const T_SIL_SNIA_ENTRY_POINTS& entry = adapter.library.entry;
    attributes = HBA_PORTATTRIBUTES{};
    HBA_STATUS status = sil_snia_unavailable(adapter.library, entry.HBA_GetAdapterPortAttributes);
    if (status == HBA_STATUS_OK) status = entry.HBA_GetAdapterPortAttributes(adapter.handle, port, &attributes);
    if (status == HBA_STATUS_ERROR_STALE_DATA) {
        SIL_TRACE(SIL_TRACE_INFO,
                  "HBA_GetAdapterPortAttributes returned HBA_STATUS_ERROR_STALE_DATA. Calling HBA_RefreshInformation.");
        if (const HBA_STATUS refresh = sil_snia_unavailable(adapter.library, entry.HBA_RefreshInformation);
            refresh != HBA_STATUS_OK) {
            SIL_TRACE(SIL_TRACE_ERROR, "HBA_RefreshInformation failed with status %u.", refresh);
            return SIL_SNIA_ERR_ATTRIBUTES;
        }
        entry.HBA_RefreshInformation(adapter.handle);
        attributes = HBA_PORTATTRIBUTES{};
        status = entry.HBA_GetAdapterPortAttributes(adapter.handle, port, &attributes);
    }
    if (status != HBA_STATUS_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "HBA_GetAdapterPortAttributes failed with status %u.", status);
        return SIL_SNIA_ERR_ATTRIBUTES;
    }
    attributes.PortType = normal_port_type(attributes.PortType);
    attributes.PortState = normal_port_state(attributes.PortState);
    attributes.PortSupportedSpeed = normal_port_speed(attributes.PortSupportedSpeed);
    attributes.PortSpeed = normal_port_speed(attributes.PortSpeed);
    return 0;
}

void trace_port_attributes(const HBA_PORTATTRIBUTES& a) {
    if (sil_trace_on() == 0) return;
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: NodeWWN (converted to string) = %s", wwn_text(a.NodeWWN).c_str());
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortWWN (converted to string) = %s", wwn_text(a.PortWWN).c_str());
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortFcId = 0x%06X", a.PortFcId);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortType = %u", a.PortType);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortState = %u", a.PortState);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortSupportedClassofService = %u", a.PortSupportedClassofService);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortSupportedFc4Types (converted to string) = %s",
              hex_of(a.PortSupportedFc4Types.bits, sizeof a.PortSupportedFc4Types.bits).c_str());
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortActiveFc4Types (converted to string) = %s",
              hex_of(a.PortActiveFc4Types.bits, sizeof a.PortActiveFc4Types.bits).c_str());
    char text[257];
    sil_snia_copy_text(text, sizeof text, a.PortSymbolicName, sizeof a.PortSymbolicName);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortSymbolicName = %s", text);
    sil_snia_copy_text(text, sizeof text, a.OSDeviceName, sizeof a.OSDeviceName);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: OSDeviceName = %s", text);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortSupportedSpeed = %u", a.PortSupportedSpeed);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortSpeed = %u", a.PortSpeed);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortMaxFrameSize = %u", a.PortMaxFrameSize);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: FabricName (converted to string) = %s", wwn_text(a.FabricName).c_str());
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: NumberofDiscoveredPorts = %u", a.NumberofDiscoveredPorts);
}

// ---- target mapping ----------------------------------------------------------------------------------

// SIL_MAX_TARGET_MAPPING_ENTRIES, or the default.
std::uint32_t mapping_limit() {
    const std::optional<std::string> text = pds::platform().get_env("SIL_MAX_TARGET_MAPPING_ENTRIES");
    if (!text.has_value() || text->empty() || !std::isdigit(static_cast<unsigned char>((*text)[0])))
        return kDefaultMappingLimit;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text->c_str(), &end, 10);
    if (*end != '\0') return kDefaultMappingLimit;
    const auto limit = static_cast<std::uint32_t>(std::clamp<unsigned long long>(value, 1, kMaxMappingLimit));
    SIL_TRACE(SIL_TRACE_INFO, "SIL_MAX_TARGET_MAPPING_ENTRIES set to %u.", limit);
    return limit;
}

// A library's mapping table with room for `capacity` entries.
template <typename Table>
struct MappingBuffer {
    std::unique_ptr<std::byte[]> bytes;
    std::uint32_t capacity = 0;

    bool make(std::uint32_t entries) {
        const std::size_t size = offsetof(Table, entry) + std::size_t{entries} * sizeof(Table{}.entry[0]);
        bytes.reset(new (std::nothrow) std::byte[std::max(size, sizeof(Table))]());
        if (bytes == nullptr) return false;
        capacity = entries;
        table()->NumberOfEntries = entries;
        return true;
    }
    Table* table() { return reinterpret_cast<Table*>(bytes.get()); }
    // Entries are addressed from the first: the table is longer than its declared one entry.
    auto* entries() { return &table()->entry[0]; }
};

// One mapping call, first for one entry and, when the library has more, for as many as it has up
// to the limit. 0 on success (also 7 once the limit is reached); `got` entries are in `buffer`.
template <typename Table, typename Call>
HBA_STATUS fetch(Call call, std::uint32_t limit, MappingBuffer<Table>& buffer, std::uint32_t& got,
                 std::uint32_t& reported, bool& no_memory) {
    if (!buffer.make(1)) return no_memory = true, HBA_STATUS_ERROR;
    HBA_STATUS status = call(buffer.table());
    reported = buffer.table()->NumberOfEntries;
    if (status == HBA_STATUS_ERROR_MORE_DATA && limit > 1) {
        if (!buffer.make(std::max<std::uint32_t>(1, std::min(limit, reported)))) return no_memory = true, HBA_STATUS_ERROR;
        status = call(buffer.table());
        reported = buffer.table()->NumberOfEntries;
    }
    // A library claiming more than the table holds is read only as far as the table goes.
    got = std::min(reported, buffer.capacity);
    if (status == HBA_STATUS_ERROR_MORE_DATA && buffer.capacity == limit) status = HBA_STATUS_OK;
    return status;
}

template <typename ScsiId>
void fill_scsi(T_SIL_SNIA_TARGET_MAPPING_ENTRY& out, const ScsiId& id) {
    sil_snia_copy_text(out.OSDeviceName, 257, id.OSDeviceName, sizeof id.OSDeviceName);
    out.ScsiBusNumber = id.ScsiBusNumber;
    out.ScsiTargetNumber = id.ScsiTargetNumber;
    out.ScsiOSLun = id.ScsiOSLun;
}

void fill(T_SIL_SNIA_TARGET_MAPPING_ENTRY& out, const SMHBA_SCSIENTRY& in) {
    fill_scsi(out, in.ScsiId);
    std::memcpy(out.PortWWN, in.PortLun.PortWWN.wwn, 8);
    out.FcpLun = in.PortLun.TargetLun;
    std::memcpy(out.LUID, in.LUID.buffer, sizeof out.LUID);
    SIL_TRACE(SIL_TRACE_INFO, "%s:%u:%u:%u:%s:0x%8.8llX:0x%s", out.OSDeviceName, out.ScsiBusNumber, out.ScsiTargetNumber,
              out.ScsiOSLun, wwn_text(in.PortLun.PortWWN).c_str(), static_cast<unsigned long long>(out.FcpLun),
              luid_text(in.LUID.buffer).c_str());
}

void fill(T_SIL_SNIA_TARGET_MAPPING_ENTRY& out, const HBA_FCPSCSIENTRYV2& in) {
    fill_scsi(out, in.ScsiId);
    std::memcpy(out.PortWWN, in.FcpId.PortWWN.wwn, 8);
    out.FcpLun = in.FcpId.FcpLun;
    std::memcpy(out.LUID, in.LUID.buffer, sizeof out.LUID);
    SIL_TRACE(SIL_TRACE_INFO, "%s:%u:%u:%u:%s:%s:0x%8.8llX:0x%s", out.OSDeviceName, out.ScsiBusNumber,
              out.ScsiTargetNumber, out.ScsiOSLun, wwn_text(in.FcpId.PortWWN).c_str(), wwn_text(in.FcpId.NodeWWN).c_str(),
              static_cast<unsigned long long>(out.FcpLun), luid_text(in.LUID.buffer).c_str());
}

void fill(T_SIL_SNIA_TARGET_MAPPING_ENTRY& out, const HBA_FCPSCSIENTRY& in) {
    fill_scsi(out, in.ScsiId);
    std::memcpy(out.PortWWN, in.FcpId.PortWWN.wwn, 8);
    out.FcpLun = in.FcpId.FcpLun;
    SIL_TRACE(SIL_TRACE_INFO, "%s:%u:%u:%u:%s:%s:0x%8.8llX", out.OSDeviceName, out.ScsiBusNumber, out.ScsiTargetNumber,
              out.ScsiOSLun, wwn_text(in.FcpId.PortWWN).c_str(), wwn_text(in.FcpId.NodeWWN).c_str(),
              static_cast<unsigned long long>(out.FcpLun));
}

// How the mapping search ended so far.
struct MappingSearch {
    T_SIL_SNIA_TARGET_MAPPING** result;
    std::uint32_t limit;
    bool all_unsupported = true;
    std::int32_t rc = SIL_SNIA_ERR_CALL_FAILED;  // the answer when no method succeeds
    bool done = false;
};

// Tries one method; on success the result is built and the search is done.
template <typename Table, typename Call>
void try_method(MappingSearch& search, const char* name, const char* columns, HBA_STATUS unavailable, Call call) {
    if (search.done) return;
    SIL_TRACE(SIL_TRACE_INFO, "Attempting to get target mapping from %s:", name);
    MappingBuffer<Table> buffer;
    std::uint32_t got = 0, reported = 0;
    bool no_memory = false;
    const HBA_STATUS status = unavailable != HBA_STATUS_OK ? unavailable : fetch(call, search.limit, buffer, got, reported, no_memory);
    if (no_memory) {
        search.rc = kNoMemory;
        search.done = true;
        return;
    }
    if (status != HBA_STATUS_OK) {
        if (status == HBA_STATUS_ERROR_NOT_SUPPORTED) {
            SIL_TRACE(SIL_TRACE_INFO, "%s is not supported by underlying SNIA HBA library.", name);
        } else {
            search.all_unsupported = false;
            SIL_TRACE(SIL_TRACE_ERROR, "%s failed with status %u.", name, status);
        }
        return;
    }
    search.done = true;
    if (got == 0) {
        search.rc = SIL_SNIA_ERR_NO_MAPPING;
        return;
    }
    auto* mapping = new (std::nothrow) T_SIL_SNIA_TARGET_MAPPING{};
    if (mapping != nullptr) mapping->entries = new (std::nothrow) T_SIL_SNIA_TARGET_MAPPING_ENTRY[got]{};
    if (mapping == nullptr || mapping->entries == nullptr) {
        delete mapping;
        search.rc = kNoMemory;
        return;
    }
    mapping->count = got;
    SIL_TRACE(SIL_TRACE_INFO, "Target mapping from %s (%u of %u entries returned):", name, got, reported);
    SIL_TRACE(SIL_TRACE_INFO, "%s", columns);
    for (std::uint32_t i = 0; i < got; ++i) fill(mapping->entries[i], buffer.entries()[i]);
    *search.result = mapping;
    search.rc = 0;
}

// HBA_GetAdapterAttributes into a record of the caller's. 0 or an HBA status.
HBA_STATUS adapter_attributes(const OpenAdapter& adapter, HBA_ADAPTERATTRIBUTES& attributes) {
    attributes = HBA_ADAPTERATTRIBUTES{};
    const HBA_STATUS status = sil_snia_unavailable(adapter.library, adapter.library.entry.HBA_GetAdapterAttributes);
    return status != HBA_STATUS_OK ? status : adapter.library.entry.HBA_GetAdapterAttributes(adapter.handle, &attributes);
}

}  // namespace

std::int32_t SIL_SNIA_GetNumberOfAdapters(std::uint32_t* count) {
    SIL_FUNCTION("SIL_SNIA_GetNumberOfAdapters");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    const std::uint32_t total = context != nullptr ? context->total_adapters : 0;
    if (count != nullptr) *count = total;
    SIL_RETURN(total == 0 ? SIL_SNIA_ERR_NO_LIBRARY : 0);
}

std::int32_t SIL_SNIA_GetAdapterName(std::uint32_t index, char* text, std::uint32_t text_size) {
    SIL_FUNCTION("SIL_SNIA_GetAdapterName");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    if (const std::int32_t rc = check_index(*context, index); rc != 0) SIL_RETURN(rc);
    if (text == nullptr || text_size == 0) SIL_RETURN(SIL_SNIA_ERR_BAD_INDEX);
    sil_snia_copy_text(text, text_size, context->adapters[index].name, sizeof context->adapters[index].name);
    SIL_RETURN(0);
}

std::int32_t SIL_SNIA_OpenAdapter(SIL_SNIA_HANDLE* handle, std::uint32_t index) {
    SIL_FUNCTION("SIL_SNIA_OpenAdapter");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    if (const std::int32_t rc = check_index(*context, index); rc != 0) SIL_RETURN(rc);
    if (handle == nullptr) SIL_RETURN(SIL_SNIA_ERR_BAD_INDEX);
    const T_SIL_SNIA_ADAPTER& adapter = context->adapters[index];
    const T_SIL_SNIA_LIBRARY& library = context->libraries[adapter.slot];
    if (library.state != SIL_SNIA_LIB_INITIALIZED) {
        SIL_TRACE(SIL_TRACE_ERROR, "Underlying SNIA HBA library is not loaded.");
        SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    }
    HBA_HANDLE opened = 0;
    HBA_STATUS status = sil_snia_unavailable(library, library.entry.HBA_OpenAdapter);
    if (status == HBA_STATUS_OK) {
        // The library takes a writable name; it gets a copy of the full one.
        char name[sizeof adapter.full_name];
        std::memcpy(name, adapter.full_name, sizeof name);
        opened = library.entry.HBA_OpenAdapter(name);
        if (opened == 0) status = HBA_STATUS_ERROR;
    }
    if (status != HBA_STATUS_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "HBA_OpenAdapter failed with status %u.", status);
        SIL_RETURN(SIL_SNIA_ERR_OPEN_FAILED);
    }
    *handle = context->common_library_in_use != 0 ? opened : (adapter.slot << 16) | (opened & 0xFFFFu);
    SIL_RETURN(0);
}

std::int32_t SIL_SNIA_CloseAdapter(SIL_SNIA_HANDLE* handle) {
    SIL_FUNCTION("SIL_SNIA_CloseAdapter");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr || handle == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    const std::optional<OpenAdapter> adapter = adapter_of(*context, *handle);
    *handle = 0;
    if (!adapter.has_value() || adapter->library.state != SIL_SNIA_LIB_INITIALIZED) {
        SIL_TRACE(SIL_TRACE_ERROR, "Underlying SNIA HBA library is not loaded.");
        SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    }
    if (const HBA_STATUS status = sil_snia_unavailable(adapter->library, adapter->library.entry.HBA_CloseAdapter);
        status != HBA_STATUS_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "HBA_CloseAdapter failed with status %u.", status);
        SIL_RETURN(SIL_SNIA_ERR_CALL_FAILED);
    }
    adapter->library.entry.HBA_CloseAdapter(adapter->handle);
    SIL_RETURN(0);
}

std::int32_t SIL_SNIA_GetAdapterAttributes(SIL_SNIA_HANDLE handle, T_SIL_SNIA_ADAPTER_ATTRIBUTES* attributes) {
    SIL_FUNCTION("SIL_SNIA_GetAdapterAttributes");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    const std::optional<OpenAdapter> adapter = adapter_of(*context, handle);
    if (!adapter.has_value() || attributes == nullptr) SIL_RETURN(SIL_SNIA_ERR_ATTRIBUTES);
    const std::unique_ptr<HBA_ADAPTERATTRIBUTES> from(new (std::nothrow) HBA_ADAPTERATTRIBUTES{});
    if (from == nullptr) SIL_RETURN(kNoMemory);
    if (const HBA_STATUS status = adapter_attributes(*adapter, *from); status != HBA_STATUS_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "HBA_GetAdapterAttributes failed with status %u.", status);
        SIL_RETURN(SIL_SNIA_ERR_ATTRIBUTES);
    }
    T_SIL_SNIA_ADAPTER_ATTRIBUTES& to = *attributes;
    to = T_SIL_SNIA_ADAPTER_ATTRIBUTES{};
    const auto text = [](const char* label, char (&target)[SIL_SNIA_TEXT_LEN], const char* source, std::size_t size) {
        sil_snia_copy_text(target, sizeof target, source, size);
        SIL_TRACE(SIL_TRACE_INFO, "ADAPTER INFO: %s = %s", label, target);
    };
    text("Manufacturer", to.Manufacturer, from->Manufacturer, sizeof from->Manufacturer);
    text("SerialNumber", to.SerialNumber, from->SerialNumber, sizeof from->SerialNumber);
    text("Model", to.Model, from->Model, sizeof from->Model);
    text("ModelDescription", to.ModelDescription, from->ModelDescription, sizeof from->ModelDescription);
    std::memcpy(to.NodeWWN, from->NodeWWN.wwn, sizeof to.NodeWWN);
    SIL_TRACE(SIL_TRACE_INFO, "ADAPTER INFO: NodeWWN (converted to string) = %s", wwn_text(from->NodeWWN).c_str());
    text("NodeSymbolicName", to.NodeSymbolicName, from->NodeSymbolicName, sizeof from->NodeSymbolicName);
    text("HardwareVersion", to.HardwareVersion, from->HardwareVersion, sizeof from->HardwareVersion);
    text("DriverVersion", to.DriverVersion, from->DriverVersion, sizeof from->DriverVersion);
    text("OptionROMVersion", to.OptionROMVersion, from->OptionROMVersion, sizeof from->OptionROMVersion);
    text("FirmwareVersion", to.FirmwareVersion, from->FirmwareVersion, sizeof from->FirmwareVersion);
    to.VendorSpecificID = from->VendorSpecificID;
    SIL_TRACE(SIL_TRACE_INFO, "ADAPTER INFO: VendorSpecificID = 0x%08X", to.VendorSpecificID);
    to.NumberOfPorts = from->NumberOfPorts;
    SIL_TRACE(SIL_TRACE_INFO, "ADAPTER INFO: NumberOfPorts = %u", to.NumberOfPorts);
    text("DriverName", to.DriverName, from->DriverName, sizeof from->DriverName);
    SIL_RETURN(0);
}

std::int32_t SIL_SNIA_GetAdapterPortAttributes(SIL_SNIA_HANDLE handle, std::uint32_t port,
                                               T_SIL_SNIA_PORT_ATTRIBUTES* attributes) {
    SIL_FUNCTION("SIL_SNIA_GetAdapterPortAttributes");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    const std::optional<OpenAdapter> adapter = adapter_of(*context, handle);
    if (!adapter.has_value() || attributes == nullptr) SIL_RETURN(SIL_SNIA_ERR_ATTRIBUTES);
    HBA_PORTATTRIBUTES from;
    if (const std::int32_t rc = port_attributes(*adapter, port, from); rc != 0) SIL_RETURN(rc);
    trace_port_attributes(from);
    T_SIL_SNIA_PORT_ATTRIBUTES& to = *attributes;
    to = T_SIL_SNIA_PORT_ATTRIBUTES{};
    std::memcpy(to.NodeWWN, from.NodeWWN.wwn, 8);
    std::memcpy(to.PortWWN, from.PortWWN.wwn, 8);
    to.PortFcId = from.PortFcId;
    to.PortType = from.PortType;
    to.PortState = from.PortState;
    to.PortSupportedClassofService = from.PortSupportedClassofService;
    std::memcpy(to.PortSupportedFc4Types, from.PortSupportedFc4Types.bits, 32);
    std::memcpy(to.PortActiveFc4Types, from.PortActiveFc4Types.bits, 32);
    sil_snia_copy_text(to.PortSymbolicName, sizeof to.PortSymbolicName, from.PortSymbolicName, sizeof from.PortSymbolicName);
    sil_snia_copy_text(to.OSDeviceName, sizeof to.OSDeviceName, from.OSDeviceName, sizeof from.OSDeviceName);
    to.PortSupportedSpeed = from.PortSupportedSpeed;
    to.PortSpeed = from.PortSpeed;
    to.PortMaxFrameSize = from.PortMaxFrameSize;
    std::memcpy(to.FabricName, from.FabricName.wwn, 8);
    to.NumberofDiscoveredPorts = from.NumberofDiscoveredPorts;
    SIL_RETURN(0);
}

std::int32_t SIL_SNIA_GetTargetMapping(SIL_SNIA_HANDLE handle, std::uint32_t port, T_SIL_SNIA_TARGET_MAPPING** mapping) {
    SIL_FUNCTION("SIL_SNIA_GetTargetMapping");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    if (mapping == nullptr || *mapping != nullptr) SIL_RETURN(SIL_SNIA_ERR_BAD_INDEX);
    const std::optional<OpenAdapter> adapter = adapter_of(*context, handle);
    if (!adapter.has_value()) SIL_RETURN(SIL_SNIA_ERR_ATTRIBUTES);
    HBA_PORTATTRIBUTES port_data;
    if (port_attributes(*adapter, port, port_data) != 0) SIL_RETURN(SIL_SNIA_ERR_ATTRIBUTES);
    const HBA_WWN port_wwn = port_data.PortWWN;
    const T_SIL_SNIA_LIBRARY& library = adapter->library;
    const T_SIL_SNIA_ENTRY_POINTS& entry = library.entry;
    const HBA_HANDLE h = adapter->handle;

    MappingSearch search{mapping, mapping_limit()};
    try_method<SMHBA_TARGETMAPPING>(
        search, "SMHBA_GetTargetMapping", "OSDeviceName:Bus:Tid:Lun:PortWWN:TargetLun:LUID",
        sil_snia_unavailable(library, entry.SMHBA_GetTargetMapping),
        [&](SMHBA_TARGETMAPPING* table) { return entry.SMHBA_GetTargetMapping(h, port_wwn, HBA_WWN{}, table); });
    try_method<HBA_FCPTARGETMAPPINGV2>(
        search, "HBA_GetFcpTargetMappingV2", "OSDeviceName:Bus:Tid:Lun:PortWWN:NodeWWN:FcpLun:LUID",
        sil_snia_unavailable(library, entry.HBA_GetFcpTargetMappingV2),
        [&](HBA_FCPTARGETMAPPINGV2* table) { return entry.HBA_GetFcpTargetMappingV2(h, port_wwn, table); });
    if (!search.done) {
        // The version-1 call maps the whole adapter: its entries only say which port when there
        // is one.
        HBA_ADAPTERATTRIBUTES attributes;
        HBA_STATUS unavailable = sil_snia_unavailable(library, entry.HBA_GetFcpTargetMapping);
        if (unavailable == HBA_STATUS_OK) {
            if (const HBA_STATUS status = adapter_attributes(*adapter, attributes); status != HBA_STATUS_OK) {
                SIL_TRACE(SIL_TRACE_ERROR, "HBA_GetAdapterAttributes failed with status %u.", status);
                unavailable = status;
            } else if (attributes.NumberOfPorts != 1) {
                SIL_TRACE(SIL_TRACE_ERROR, "HBA has %u ports. HBA_GetFcpTargetMapping unsupported for > 1 port.",
                          attributes.NumberOfPorts);
                SIL_RETURN(SIL_SNIA_ERR_NOT_SUPPORTED);
            }
        }
        try_method<HBA_FCPTARGETMAPPING>(search, "HBA_GetFcpTargetMapping",
                                         "OSDeviceName:Bus:Tid:Lun:PortWWN:NodeWWN:FcpLun", unavailable,
                                         [&](HBA_FCPTARGETMAPPING* table) { return entry.HBA_GetFcpTargetMapping(h, table); });
    }
    if (!search.done && search.all_unsupported) SIL_RETURN(SIL_SNIA_ERR_NOT_SUPPORTED);
    SIL_RETURN(search.rc);
}

std::int32_t SIL_SNIA_FreeTargetMapping(T_SIL_SNIA_TARGET_MAPPING** mapping) {
    SIL_FUNCTION("SIL_SNIA_FreeTargetMapping");
    if (mapping == nullptr || *mapping == nullptr) SIL_RETURN(kNothingToFree);
    delete[] (*mapping)->entries;
    delete *mapping;
    *mapping = nullptr;
    SIL_RETURN(0);
}
