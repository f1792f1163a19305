// Capturing the SNIA HBA API libraries: recording trampolines in front of their entry points, and the "hba_libraries" a replay serves from what they answered.
//
// A library's code runs in the process, so its answers never cross the seam: the capture wraps
// the module load_module hands out instead. Each entry point the library gives (a symbol of the
// common library, a handler of a vendor library's registration table) is replaced by a
// trampoline that calls it and adds what it answered to the library's record. The record is the
// data the simulated host's libraries are served from, so a replay answers the same calls alike:
// adapters by name, their attributes, the ports' attributes, target mappings, and the statuses of
// the calls that failed.
#include "capture.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace pds::capture {
namespace {

using hba::Entry;
using json = nlohmann::ordered_json;

// As many libraries as the simulated host serves; each needs its own set of trampolines, since C
// callers hold plain function pointers with no room for a context.
constexpr std::size_t kSlots = 16;

struct Slot {
    HbaLibraryRecord* record = nullptr;
    std::mutex* mutex = nullptr;
    std::array<void*, hba::kEntryCount> real{};
};

// Slots are taken once per library record and kept for the process's life (the module and the
// tables it registered are never unloaded by their callers).
std::array<Slot, kSlots> g_slots;
std::mutex g_slots_mutex;

std::size_t at(Entry e) { return static_cast<std::size_t>(e); }

template <std::size_t N>
std::string field_text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

template <std::size_t N>
std::string name_text(const char* name) {
    return name == nullptr ? std::string() : std::string(name, strnlen(name, N));
}

void record_status(hba::Library& lib, Entry e, HBA_STATUS status) {
    if (status != HBA_STATUS_OK) lib.status[at(e)] = status;
}

hba::Adapter* adapter_of(HbaLibraryRecord& r, HBA_HANDLE handle) {
    const auto it = r.open.find(handle);
    return it == r.open.end() || it->second >= r.library.adapters.size() ? nullptr : &r.library.adapters[it->second];
}

hba::Port* port_of(hba::Adapter& a, const HBA_WWN& wwn) {
    const auto it = std::find_if(a.ports.begin(), a.ports.end(),
                                 [&](const hba::Port& p) { return std::memcmp(p.port_wwn.wwn, wwn.wwn, 8) == 0; });
    return it == a.ports.end() ? nullptr : &*it;
}

template <typename ScsiId>
void take_scsi_id(hba::TargetMapping& m, const ScsiId& id) {
    m.os_device_name = field_text(id.OSDeviceName);
    m.bus = id.ScsiBusNumber;
    m.target = id.ScsiTargetNumber;
    m.os_lun = id.ScsiOSLun;
}

void take_fcp_id(hba::TargetMapping& m, const HBA_FCPID& id) {
    m.fcid = id.FcId;
    m.node_wwn = id.NodeWWN;
    m.port_wwn = id.PortWWN;
    m.fcp_lun = id.FcpLun;
}

// The identifier without its zero tail: the rest of the field is zero when it is served again.
void take_luid(hba::TargetMapping& m, const char (&buffer)[256]) {
    std::size_t n = sizeof buffer;
    while (n > 0 && buffer[n - 1] == 0) --n;
    m.luid.assign(buffer, buffer + n);
}

// The entries a mapping call gave: as many as the caller made room for, of those it has. A call
// that found more than there was room for is asked again with more room; that call's answer
// replaces this one.
template <typename Table, typename Take>
void take_mappings(std::vector<hba::TargetMapping>& out, HBA_UINT32 room, const Table* table, Take take) {
    const std::size_t given = std::min<std::size_t>({room, table->NumberOfEntries, hba::kMaxMappings});
    out.assign(given, hba::TargetMapping{});
    for (std::size_t i = 0; i < given; ++i) take(out[i], (&table->entry[0])[i]);
}

template <std::size_t I>
struct Trampolines {
    static Slot& slot() { return g_slots[I]; }
    template <typename F>
    static F real(Entry e) {
        return reinterpret_cast<F>(slot().real[at(e)]);
    }
    // Runs `take` on the record under the capture's lock.
    template <typename Take>
    static void note(Take take) {
        std::lock_guard lock(*slot().mutex);
        take(*slot().record, slot().record->library);
    }

    static HBA_UINT32 get_version() {
        const HBA_UINT32 v = real<HBAGetVersionFunc>(Entry::GetVersion)();
        note([&](HbaLibraryRecord&, hba::Library& lib) { lib.version = v; });
        return v;
    }
    static HBA_STATUS load_library() {
        const HBA_STATUS status = real<HBALoadLibraryFunc>(Entry::LoadLibrary)();
        note([&](HbaLibraryRecord&, hba::Library& lib) { record_status(lib, Entry::LoadLibrary, status); });
        return status;
    }
    static HBA_UINT32 number_of_adapters() {
        const HBA_UINT32 n = real<HBAGetNumberOfAdaptersFunc>(Entry::GetNumberOfAdapters)();
        note([&](HbaLibraryRecord&, hba::Library& lib) { lib.adapters.resize(std::min<std::size_t>(n, hba::kMaxAdapters)); });
        return n;
    }
    static HBA_STATUS adapter_name(HBA_UINT32 index, char* name) {
        const HBA_STATUS status = real<HBAGetAdapterNameFunc>(Entry::GetAdapterName)(index, name);
        note([&](HbaLibraryRecord&, hba::Library& lib) {
            if (status != HBA_STATUS_OK) return record_status(lib, Entry::GetAdapterName, status);
            if (index >= hba::kMaxAdapters || name == nullptr) return;
            if (lib.adapters.size() <= index) lib.adapters.resize(index + 1);
            lib.adapters[index].name = name_text<hba::kMaxAdapterName>(name);
        });
        return status;
    }
    static HBA_HANDLE open_adapter(char* name) {
        const std::string asked = name_text<256>(name);
        const HBA_HANDLE handle = real<HBAOpenAdapterFunc>(Entry::OpenAdapter)(name);
        note([&](HbaLibraryRecord& r, hba::Library& lib) {
            const auto it = std::find_if(lib.adapters.begin(), lib.adapters.end(), [&](const hba::Adapter& a) { return a.name == asked; });
            if (it == lib.adapters.end()) return;
            if (handle == 0) it->open_fails = true;
            else r.open[handle] = static_cast<std::size_t>(it - lib.adapters.begin());
        });
        return handle;
    }
    static void close_adapter(HBA_HANDLE handle) {
        real<HBACloseAdapterFunc>(Entry::CloseAdapter)(handle);
        note([&](HbaLibraryRecord& r, hba::Library&) { r.open.erase(handle); });
    }
    static HBA_STATUS adapter_attributes(HBA_HANDLE handle, HBA_ADAPTERATTRIBUTES* out) {
        const HBA_STATUS status = real<HBAGetAdapterAttributesFunc>(Entry::GetAdapterAttributes)(handle, out);
        note([&](HbaLibraryRecord& r, hba::Library& lib) {
            hba::Adapter* a = adapter_of(r, handle);
            if (a == nullptr) return;
            if (status != HBA_STATUS_OK || out == nullptr) return record_status(lib, Entry::GetAdapterAttributes, status);
            a->manufacturer = field_text(out->Manufacturer);
            a->serial_number = field_text(out->SerialNumber);
            a->model = field_text(out->Model);
            a->model_description = field_text(out->ModelDescription);
            a->node_wwn = out->NodeWWN;
            a->node_symbolic_name = field_text(out->NodeSymbolicName);
            a->hardware_version = field_text(out->HardwareVersion);
            a->driver_version = field_text(out->DriverVersion);
            a->option_rom_version = field_text(out->OptionROMVersion);
            a->firmware_version = field_text(out->FirmwareVersion);
            a->vendor_specific_id = out->VendorSpecificID;
            a->number_of_ports = out->NumberOfPorts;
            a->driver_name = field_text(out->DriverName);
        });
        return status;
    }
    static HBA_STATUS port_attributes(HBA_HANDLE handle, HBA_UINT32 port, HBA_PORTATTRIBUTES* out) {
        const HBA_STATUS status = real<HBAGetAdapterPortAttributesFunc>(Entry::GetAdapterPortAttributes)(handle, port, out);
        note([&](HbaLibraryRecord& r, hba::Library& lib) {
            hba::Adapter* a = adapter_of(r, handle);
            if (a == nullptr) return;
            if (status == HBA_STATUS_ERROR_STALE_DATA) {
                lib.stale_data_once = true;
                return;
            }
            if (status == HBA_STATUS_ERROR_ILLEGAL_INDEX) return;  // a port past those it has
            if (status != HBA_STATUS_OK || out == nullptr) return record_status(lib, Entry::GetAdapterPortAttributes, status);
            if (port >= hba::kMaxPorts) return;
            if (a->ports.size() <= port) a->ports.resize(port + 1);
            hba::Port& p = a->ports[port];
            p.node_wwn = out->NodeWWN;
            p.port_wwn = out->PortWWN;
            p.fcid = out->PortFcId;
            p.type = out->PortType;
            p.state = out->PortState;
            p.supported_cos = out->PortSupportedClassofService;
            std::memcpy(p.supported_fc4_types.data(), out->PortSupportedFc4Types.bits, 32);
            std::memcpy(p.active_fc4_types.data(), out->PortActiveFc4Types.bits, 32);
            p.symbolic_name = field_text(out->PortSymbolicName);
            p.os_device_name = field_text(out->OSDeviceName);
            p.supported_speed = out->PortSupportedSpeed;
            p.speed = out->PortSpeed;
            p.max_frame_size = out->PortMaxFrameSize;
            p.fabric_name = out->FabricName;
            p.discovered_ports = out->NumberofDiscoveredPorts;
        });
        return status;
    }
    static void refresh(HBA_HANDLE handle) { real<HBARefreshInformationFunc>(Entry::RefreshInformation)(handle); }

    // A mapping call's answer: the entries for `port` (nullptr: the adapter's first port), or
    // the status it failed with.
    template <typename Table, typename Take>
    static void note_mapping(Entry e, HBA_HANDLE handle, const HBA_WWN* port_wwn, HBA_UINT32 room, HBA_STATUS status,
                             const Table* out, Take take) {
        note([&](HbaLibraryRecord& r, hba::Library& lib) {
            hba::Adapter* a = adapter_of(r, handle);
            if (a == nullptr) return;
            if (status != HBA_STATUS_OK && status != HBA_STATUS_ERROR_MORE_DATA) {
                if (status != HBA_STATUS_ERROR_ILLEGAL_WWN) record_status(lib, e, status);
                return;
            }
            if (out == nullptr) return;
            if (port_wwn == nullptr && a->ports.empty()) a->ports.resize(1);
            hba::Port* p = port_wwn != nullptr ? port_of(*a, *port_wwn) : &a->ports.front();
            if (p != nullptr) take_mappings(p->mappings, room, out, take);
        });
    }
    static HBA_STATUS fcp_target_mapping(HBA_HANDLE handle, HBA_FCPTARGETMAPPING* out) {
        const HBA_UINT32 room = out != nullptr ? out->NumberOfEntries : 0;
        const HBA_STATUS status = real<HBAGetFcpTargetMappingFunc>(Entry::GetFcpTargetMapping)(handle, out);
        note_mapping(Entry::GetFcpTargetMapping, handle, nullptr, room, status, out,
                     [](hba::TargetMapping& m, const HBA_FCPSCSIENTRY& in) {
                         take_scsi_id(m, in.ScsiId);
                         take_fcp_id(m, in.FcpId);
                     });
        return status;
    }
    static HBA_STATUS fcp_target_mapping_v2(HBA_HANDLE handle, HBA_WWN port_wwn, HBA_FCPTARGETMAPPINGV2* out) {
        const HBA_UINT32 room = out != nullptr ? out->NumberOfEntries : 0;
        const HBA_STATUS status = real<HBAGetFcpTargetMappingV2Func>(Entry::GetFcpTargetMappingV2)(handle, port_wwn, out);
        note_mapping(Entry::GetFcpTargetMappingV2, handle, &port_wwn, room, status, out,
                     [](hba::TargetMapping& m, const HBA_FCPSCSIENTRYV2& in) {
                         take_scsi_id(m, in.ScsiId);
                         take_fcp_id(m, in.FcpId);
                         take_luid(m, in.LUID.buffer);
                     });
        return status;
    }
    static HBA_UINT32 smhba_version() {
        const HBA_UINT32 v = real<SMHBAGetVersionFunc>(Entry::SmhbaGetVersion)();
        note([&](HbaLibraryRecord&, hba::Library& lib) { lib.smhba_version = v; });
        return v;
    }
    static HBA_STATUS smhba_target_mapping(HBA_HANDLE handle, HBA_WWN port_wwn, HBA_WWN domain, SMHBA_TARGETMAPPING* out) {
        const HBA_UINT32 room = out != nullptr ? out->NumberOfEntries : 0;
        const HBA_STATUS status = real<SMHBAGetTargetMappingFunc>(Entry::SmhbaGetTargetMapping)(handle, port_wwn, domain, out);
        note_mapping(Entry::SmhbaGetTargetMapping, handle, &port_wwn, room, status, out,
                     [](hba::TargetMapping& m, const SMHBA_SCSIENTRY& in) {
                         take_scsi_id(m, in.ScsiId);
                         m.port_wwn = in.PortLun.PortWWN;
                         m.fcp_lun = in.PortLun.TargetLun;
                         take_luid(m, in.LUID.buffer);
                     });
        return status;
    }

    // The trampoline standing for `e`, or nullptr for an entry point no caller is given.
    static void* trampoline(Entry e) {
        switch (e) {
        case Entry::GetVersion: return reinterpret_cast<void*>(&get_version);
        case Entry::LoadLibrary: return reinterpret_cast<void*>(&load_library);
        case Entry::GetNumberOfAdapters: return reinterpret_cast<void*>(&number_of_adapters);
        case Entry::GetAdapterName: return reinterpret_cast<void*>(&adapter_name);
        case Entry::OpenAdapter: return reinterpret_cast<void*>(&open_adapter);
        case Entry::CloseAdapter: return reinterpret_cast<void*>(&close_adapter);
        case Entry::GetAdapterAttributes: return reinterpret_cast<void*>(&adapter_attributes);
        case Entry::GetAdapterPortAttributes: return reinterpret_cast<void*>(&port_attributes);
        case Entry::RefreshInformation: return reinterpret_cast<void*>(&refresh);
        case Entry::GetFcpTargetMapping: return reinterpret_cast<void*>(&fcp_target_mapping);
        case Entry::GetFcpTargetMappingV2: return reinterpret_cast<void*>(&fcp_target_mapping_v2);
        case Entry::SmhbaGetVersion: return reinterpret_cast<void*>(&smhba_version);
        case Entry::SmhbaGetTargetMapping: return reinterpret_cast<void*>(&smhba_target_mapping);
        case Entry::RegisterLibrary: return reinterpret_cast<void*>(&register_v1);
        case Entry::RegisterLibraryV2: return reinterpret_cast<void*>(&register_v2);
        case Entry::SmhbaRegisterLibrary: return reinterpret_cast<void*>(&register_smhba);
        case Entry::FreeLibrary: break;  // called by no one; handed out as it is
        }
        return nullptr;
    }

    // Puts the trampoline in the place of `handler` (a table's entry or a symbol), keeping the
    // library's own; an entry point the library lacks is kept as lacking.
    template <typename F>
    static void wrap(Entry e, F& handler) {
        std::lock_guard lock(*slot().mutex);
        if (handler == nullptr) {
            slot().record->library.missing[at(e)] = true;
            return;
        }
        void* t = trampoline(e);
        if (t == nullptr) return;
        slot().real[at(e)] = reinterpret_cast<void*>(handler);
        handler = reinterpret_cast<F>(t);
    }

    template <typename Table>
    static void wrap_common(Table& t) {
        wrap(Entry::GetVersion, t.GetVersionHandler);
        wrap(Entry::LoadLibrary, t.LoadLibraryHandler);
        wrap(Entry::GetNumberOfAdapters, t.GetNumberOfAdaptersHandler);
        wrap(Entry::GetAdapterName, t.GetAdapterNameHandler);
        wrap(Entry::OpenAdapter, t.OpenAdapterHandler);
        wrap(Entry::CloseAdapter, t.CloseAdapterHandler);
        wrap(Entry::GetAdapterAttributes, t.GetAdapterAttributesHandler);
        wrap(Entry::GetAdapterPortAttributes, t.GetAdapterPortAttributesHandler);
        wrap(Entry::RefreshInformation, t.RefreshInformationHandler);
        wrap(Entry::GetFcpTargetMapping, t.GetFcpTargetMappingHandler);
    }

    // A registration that failed is served failing the same way; one that worked hands out
    // tables whose handlers are trampolines.
    static HBA_STATUS register_v1(HBA_ENTRYPOINTS* table) {
        const HBA_STATUS status = real<HBARegisterLibraryFunc>(Entry::RegisterLibrary)(table);
        note([&](HbaLibraryRecord&, hba::Library& lib) { record_status(lib, Entry::RegisterLibrary, status); });
        if (status == HBA_STATUS_OK && table != nullptr) wrap_common(*table);
        return status;
    }
    static HBA_STATUS register_v2(HBA_ENTRYPOINTSV2* table) {
        const HBA_STATUS status = real<HBARegisterLibraryV2Func>(Entry::RegisterLibraryV2)(table);
        note([&](HbaLibraryRecord&, hba::Library& lib) { record_status(lib, Entry::RegisterLibraryV2, status); });
        if (status == HBA_STATUS_OK && table != nullptr) {
            wrap_common(*table);
            wrap(Entry::GetFcpTargetMappingV2, table->GetFcpTargetMappingV2Handler);
        }
        return status;
    }
    static HBA_STATUS register_smhba(SMHBA_ENTRYPOINTS* table) {
        const HBA_STATUS status = real<SMHBARegisterLibraryFunc>(Entry::SmhbaRegisterLibrary)(table);
        note([&](HbaLibraryRecord&, hba::Library& lib) { record_status(lib, Entry::SmhbaRegisterLibrary, status); });
        if (status == HBA_STATUS_OK && table != nullptr) {
            wrap(Entry::SmhbaGetVersion, table->GetVersionHandler);
            wrap(Entry::SmhbaGetTargetMapping, table->GetTargetMappingHandler);
        }
        return status;
    }
};

using TrampolineOf = void* (*)(Entry);

template <std::size_t... I>
constexpr std::array<TrampolineOf, sizeof...(I)> make_trampolines(std::index_sequence<I...>) {
    return {&Trampolines<I>::trampoline...};
}
constexpr auto kTrampolines = make_trampolines(std::make_index_sequence<kSlots>{});

hba::Entry* entry_named(const char* name, hba::Entry& e) {
    if (name == nullptr) return nullptr;
    for (std::size_t i = 0; i < hba::kEntryCount; ++i) {
        if (hba::entry_name(static_cast<Entry>(i)) == name) return &(e = static_cast<Entry>(i));
    }
    return nullptr;
}

class RecordingHbaModule final : public Module {
public:
    RecordingHbaModule(std::unique_ptr<Module> inner, std::size_t slot) : inner_(std::move(inner)), slot_(slot) {}

    void* symbol(const char* name) override {
        void* found = inner_->symbol(name);
        Entry e{};
        if (entry_named(name, e) == nullptr || e == Entry::FreeLibrary) return found;
        Slot& s = g_slots[slot_];
        std::lock_guard lock(*s.mutex);
        hba::Library& lib = s.record->library;
        if (found == nullptr) {
            lib.missing[at(e)] = true;
            return nullptr;
        }
        lib.missing[at(e)] = false;
        // The simulated host offers SM-HBA entry points only for a library with an SM-HBA version;
        // a vendor library's table is asked for none.
        if (e == Entry::SmhbaRegisterLibrary && lib.smhba_version == 0) lib.smhba_version = 1;
        s.real[at(e)] = found;
        return kTrampolines[slot_](e);
    }

private:
    std::unique_ptr<Module> inner_;
    std::size_t slot_;
};

std::string hex(const std::uint8_t* bytes, std::size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}
std::string hex(const HBA_WWN& w) { return hex(w.wwn, sizeof w.wwn); }

json mapping_of(const hba::TargetMapping& m) {
    json out = {{"os_device_name", m.os_device_name}, {"bus", m.bus}, {"target", m.target}, {"os_lun", m.os_lun},
                {"fcid", m.fcid}, {"node_wwn", hex(m.node_wwn)}, {"port_wwn", hex(m.port_wwn)}, {"fcp_lun", m.fcp_lun}};
    if (!m.luid.empty()) out["luid"] = hex(m.luid.data(), m.luid.size());
    return out;
}

json port_of(const hba::Port& p) {
    json mappings = json::array();
    for (const hba::TargetMapping& m : p.mappings) mappings.push_back(mapping_of(m));
    return {{"node_wwn", hex(p.node_wwn)}, {"port_wwn", hex(p.port_wwn)}, {"fcid", p.fcid}, {"type", p.type},
            {"state", p.state}, {"supported_cos", p.supported_cos},
            {"supported_fc4_types", hex(p.supported_fc4_types.data(), 32)},
            {"active_fc4_types", hex(p.active_fc4_types.data(), 32)}, {"symbolic_name", p.symbolic_name},
            {"os_device_name", p.os_device_name}, {"supported_speed", p.supported_speed}, {"speed", p.speed},
            {"max_frame_size", p.max_frame_size}, {"fabric_name", hex(p.fabric_name)},
            {"discovered_ports", p.discovered_ports}, {"target_mappings", std::move(mappings)}};
}

json adapter_of(const hba::Adapter& a, std::size_t index) {
    json ports = json::array();
    for (const hba::Port& p : a.ports) ports.push_back(port_of(p));
    // An adapter whose name was never asked for cannot be opened by a caller: any name will do.
    json out = {{"name", a.name.empty() ? "adapter " + std::to_string(index) : a.name},
                {"manufacturer", a.manufacturer}, {"serial_number", a.serial_number}, {"model", a.model},
                {"model_description", a.model_description}, {"node_wwn", hex(a.node_wwn)},
                {"node_symbolic_name", a.node_symbolic_name}, {"hardware_version", a.hardware_version},
                {"driver_version", a.driver_version}, {"option_rom_version", a.option_rom_version},
                {"firmware_version", a.firmware_version}, {"vendor_specific_id", a.vendor_specific_id}};
    if (a.number_of_ports) out["number_of_ports"] = *a.number_of_ports;
    out["driver_name"] = a.driver_name;
    if (a.open_fails) out["open_fails"] = true;
    out["ports"] = std::move(ports);
    return out;
}

}  // namespace

std::unique_ptr<Module> record_hba_module(std::unique_ptr<Module> inner, HbaLibraryRecord& record, std::mutex& mutex) {
    std::lock_guard lock(g_slots_mutex);
    std::size_t slot = 0;
    while (slot < kSlots && g_slots[slot].record != nullptr && g_slots[slot].record != &record) ++slot;
    if (slot == kSlots) return inner;
    g_slots[slot].record = &record;
    g_slots[slot].mutex = &mutex;
    return std::make_unique<RecordingHbaModule>(std::move(inner), slot);
}

json hba_libraries_of(const std::map<std::string, HbaLibraryRecord>& libraries) {
    json out = json::object();
    for (const auto& [path, r] : libraries) {
        const hba::Library& lib = r.library;
        json missing = json::array(), status = json::object(), adapters = json::array();
        for (std::size_t i = 0; i < hba::kEntryCount; ++i) {
            const std::string name(hba::entry_name(static_cast<Entry>(i)));
            if (lib.missing[i]) missing.push_back(name);
            if (lib.status[i]) status[name] = *lib.status[i];
        }
        for (std::size_t i = 0; i < lib.adapters.size(); ++i) adapters.push_back(adapter_of(lib.adapters[i], i));
        json entry = {{"resolved_path", r.resolved_path}, {"version", lib.version}, {"smhba_version", lib.smhba_version}};
        if (!missing.empty()) entry["missing"] = std::move(missing);
        if (!status.empty()) entry["status"] = std::move(status);
        if (lib.stale_data_once) entry["stale_data_once"] = true;
        entry["adapters"] = std::move(adapters);
        out[path] = std::move(entry);
    }
    return out;
}

}  // namespace pds::capture
