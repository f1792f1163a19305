// The target mapping of an adapter port: the SM-HBA, FC-HBA version-2 and version-1 mapping calls, tried in that order.
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

// A logical unit identifier is an identification descriptor: four header bytes and the
// identifier whose length the fourth gives.
std::string luid_text(const char (&luid)[256]) {
    const std::size_t length = std::min<std::size_t>(sizeof luid, 4 + static_cast<std::uint8_t>(luid[3]));
    return sil_snia_hex(luid, length);
}

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
              out.ScsiOSLun, sil_snia_wwn(in.PortLun.PortWWN).c_str(), static_cast<unsigned long long>(out.FcpLun),
              luid_text(in.LUID.buffer).c_str());
}

void fill(T_SIL_SNIA_TARGET_MAPPING_ENTRY& out, const HBA_FCPSCSIENTRYV2& in) {
    fill_scsi(out, in.ScsiId);
    std::memcpy(out.PortWWN, in.FcpId.PortWWN.wwn, 8);
    out.FcpLun = in.FcpId.FcpLun;
    std::memcpy(out.LUID, in.LUID.buffer, sizeof out.LUID);
    SIL_TRACE(SIL_TRACE_INFO, "%s:%u:%u:%u:%s:%s:0x%8.8llX:0x%s", out.OSDeviceName, out.ScsiBusNumber,
              out.ScsiTargetNumber, out.ScsiOSLun, sil_snia_wwn(in.FcpId.PortWWN).c_str(), sil_snia_wwn(in.FcpId.NodeWWN).c_str(),
              static_cast<unsigned long long>(out.FcpLun), luid_text(in.LUID.buffer).c_str());
}

void fill(T_SIL_SNIA_TARGET_MAPPING_ENTRY& out, const HBA_FCPSCSIENTRY& in) {
    fill_scsi(out, in.ScsiId);
    std::memcpy(out.PortWWN, in.FcpId.PortWWN.wwn, 8);
    out.FcpLun = in.FcpId.FcpLun;
    SIL_TRACE(SIL_TRACE_INFO, "%s:%u:%u:%u:%s:%s:0x%8.8llX", out.OSDeviceName, out.ScsiBusNumber, out.ScsiTargetNumber,
              out.ScsiOSLun, sil_snia_wwn(in.FcpId.PortWWN).c_str(), sil_snia_wwn(in.FcpId.NodeWWN).c_str(),
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

}  // namespace

std::int32_t SIL_SNIA_GetTargetMapping(SIL_SNIA_HANDLE handle, std::uint32_t port, T_SIL_SNIA_TARGET_MAPPING** mapping) {
    SIL_FUNCTION("SIL_SNIA_GetTargetMapping");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    if (mapping == nullptr || *mapping != nullptr) SIL_RETURN(SIL_SNIA_ERR_BAD_INDEX);
    const std::optional<SilSniaAdapter> adapter = sil_snia_adapter_of(*context, handle);
    if (!adapter.has_value()) SIL_RETURN(SIL_SNIA_ERR_ATTRIBUTES);
    HBA_PORTATTRIBUTES port_data;
    if (sil_snia_port_attributes(*adapter, port, port_data) != 0) SIL_RETURN(SIL_SNIA_ERR_ATTRIBUTES);
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
            if (const HBA_STATUS status = sil_snia_adapter_attributes(*adapter, attributes); status != HBA_STATUS_OK) {
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
