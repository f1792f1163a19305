// Fuzz target: every answer of the HBA API libraries comes from the input; the SNIA operations, the adapter list with target mappings and the mapping lookup run over them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "forwarding_platform.h"
#include "pds/platform_testing.h"
#include "sil/silfinda.h"
#include "sil/sillib.h"
#include "sil/siltrace.h"
#include "silinitl.h"
#include "silsnia_int.h"

namespace {

// The input after its two control bytes, taken in the order the library calls ask for answers.
// An input that has run out answers zeros: status OK, empty names, zero counts.
struct Answers {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;

    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return v;
    }
    // Mostly OK; otherwise a status of 1-15 (7 more data, 8 stale data, 31 never comes from a library).
    HBA_STATUS status() {
        const std::uint8_t b = byte();
        return b < 0x80 ? HBA_STATUS_OK : (b & 0x0F);
    }
    // A pad byte and a 16-bit count n: n bytes of the input at the start, the rest of the record
    // the pad (a non-zero pad fills every text to its end without a terminator).
    void fill(void* out, std::size_t out_size) {
        const std::uint8_t pad = byte();
        const std::size_t count = std::size_t{byte()} << 8 | byte();
        const std::size_t n = std::min<std::size_t>({count, out_size, size - std::min(at, size)});
        std::memcpy(out, data + std::min(at, size), n);
        std::memset(static_cast<std::uint8_t*>(out) + n, pad, out_size - n);
        at += n;
    }
};
Answers in;

// A mapping call: its status, the NumberOfEntries it claims (0xFFFFFFFF: five more than the room
// given), and how many entries it writes (never more than the room).
template <typename Table>
HBA_STATUS map_into(Table* table) {
    const HBA_UINT32 room = table->NumberOfEntries;
    const HBA_STATUS status = in.status();
    const HBA_UINT32 claim = in.u32();
    const HBA_UINT32 written = std::min<HBA_UINT32>(in.byte(), room);
    for (HBA_UINT32 i = 0; i < written; ++i) in.fill(&table->entry[i], sizeof table->entry[i]);
    table->NumberOfEntries = claim == 0xFFFFFFFFu ? room + 5 : claim;
    return status;
}

HBA_UINT32 get_version() { return in.byte(); }
HBA_STATUS load_library() { return in.status(); }
HBA_UINT32 number_of_adapters() { return in.u32(); }
HBA_STATUS adapter_name(HBA_UINT32, char* name) {
    const HBA_STATUS status = in.status();
    in.fill(name, 256);
    return status;
}
HBA_HANDLE open_adapter(char*) { return in.u32(); }
void close_adapter(HBA_HANDLE) {}
HBA_STATUS adapter_attributes(HBA_HANDLE, HBA_ADAPTERATTRIBUTES* a) {
    const HBA_STATUS status = in.status();
    in.fill(a, sizeof *a);
    // The port count, far into the record, given on its own (0xFF: as the fill left it).
    if (const std::uint8_t ports = in.byte(); ports != 0xFF) a->NumberOfPorts = ports;
    return status;
}
HBA_STATUS port_attributes(HBA_HANDLE, HBA_UINT32, HBA_PORTATTRIBUTES* p) {
    const HBA_STATUS status = in.status();
    in.fill(p, sizeof *p);
    return status;
}
void refresh(HBA_HANDLE) {}
HBA_STATUS map_v1(HBA_HANDLE, HBA_FCPTARGETMAPPING* m) { return map_into(m); }
HBA_STATUS map_v2(HBA_HANDLE, HBA_WWN, HBA_FCPTARGETMAPPINGV2* m) { return map_into(m); }
HBA_STATUS map_sm(HBA_HANDLE, HBA_WWN, HBA_WWN, SMHBA_TARGETMAPPING* m) { return map_into(m); }

template <typename Table>
void fill_table(Table* t) {
    t->GetVersionHandler = get_version;
    t->LoadLibraryHandler = load_library;
    t->GetNumberOfAdaptersHandler = number_of_adapters;
    t->GetAdapterNameHandler = adapter_name;
    t->OpenAdapterHandler = open_adapter;
    t->CloseAdapterHandler = close_adapter;
    t->GetAdapterAttributesHandler = adapter_attributes;
    t->GetAdapterPortAttributesHandler = port_attributes;
    t->RefreshInformationHandler = refresh;
    t->GetFcpTargetMappingHandler = map_v1;
}
HBA_STATUS register_v1(HBA_ENTRYPOINTS* t) { return fill_table(t), in.status(); }
HBA_STATUS register_v2(HBA_ENTRYPOINTSV2* t) {
    fill_table(t);
    t->GetFcpTargetMappingV2Handler = map_v2;
    return in.status();
}
HBA_STATUS register_sm(SMHBA_ENTRYPOINTS* t) {
    t->GetVersionHandler = get_version;
    t->GetTargetMappingHandler = map_sm;
    return in.status();
}

using Symbols = std::map<std::string, void*>;
template <typename F>
void* fn(F f) { return reinterpret_cast<void*>(f); }

class Module final : public pds::Module {
public:
    explicit Module(Symbols s) : symbols_(std::move(s)) {}
    void* symbol(const char* name) override {
        const auto found = symbols_.find(name);
        return found == symbols_.end() ? nullptr : found->second;
    }

private:
    Symbols symbols_;
};

// The registry names the vendor libraries "a.dll" (and "b.dll"); one string value per subkey.
class Key final : public pds::RegistryKey {
public:
    Key(std::vector<std::string> subkeys, std::string file) : subkeys_(std::move(subkeys)), file_(std::move(file)) {}
    pds::os_error enum_subkey(std::uint32_t i, std::string& name) override {
        if (i >= subkeys_.size()) return pds::kErrorNoMoreItems;
        name = subkeys_[i];
        return 0;
    }
    pds::os_error enum_value(std::uint32_t, std::string&) override { return pds::kErrorNoMoreItems; }
    pds::os_error query_string(const std::string&, std::string& value) override {
        value = file_;
        return file_.empty() ? pds::kErrorFileNotFound : 0;
    }
    pds::os_error query_dword(const std::string&, std::uint32_t&) override { return pds::kErrorFileNotFound; }

private:
    std::vector<std::string> subkeys_;
    std::string file_;
};

class LibraryPlatform final : public testsupport::ForwardingPlatform {
public:
    using ForwardingPlatform::ForwardingPlatform;
    std::map<std::string, Symbols> modules;
    std::string mapping_limit;

    std::string_view name() const override { return "fuzz-hba-library"; }
    pds::HostIdentity host_identity() override { return {}; }
    std::optional<std::string> get_env(const char* name) override {
        if (std::strcmp(name, "SIL_MAX_TARGET_MAPPING_ENTRIES") == 0 && !mapping_limit.empty()) return mapping_limit;
        return std::nullopt;
    }
    pds::os_error load_module(const std::string& path, std::unique_ptr<pds::Module>& out, std::string&,
                              std::string&) override {
        const auto found = modules.find(path);
        if (found == modules.end()) return pds::kErrorModNotFound;
        out = std::make_unique<Module>(found->second);
        return 0;
    }
    pds::os_error registry_open_local_machine(const std::string& subkey, std::unique_ptr<pds::RegistryKey>& out) override {
        const std::string key = "SOFTWARE\\SNIA\\HBA";
        if (subkey == key) return out = std::make_unique<Key>(std::vector<std::string>{"Acme", "Bcme"}, ""), 0;
        if (subkey == key + "\\Acme") return out = std::make_unique<Key>(std::vector<std::string>{}, "a.dll"), 0;
        if (subkey == key + "\\Bcme") return out = std::make_unique<Key>(std::vector<std::string>{}, "b.dll"), 0;
        return pds::kErrorFileNotFound;
    }
};

LibraryPlatform& platform() {
    static LibraryPlatform* const made = [] {
        static std::unique_ptr<pds::Platform> real = pds::make_real_platform();
        auto owned = std::make_unique<LibraryPlatform>(*real);
        LibraryPlatform* raw = owned.get();
        pds::install_platform_for_tests(std::move(owned));
        if (SIL_init(0, 0, SIL_LIBRARY_VERSION, "fuzz", "sim", "today") != 0) std::abort();
        // Traced in full (to nowhere), so the texts of every answer are formatted too.
        sil_context()->out_stream = std::getenv("FUZZ_SHOW") ? stdout : std::fopen("/dev/null", "w");
        sil_set_verbosity(SIL_VERBOSITY_DBG_LOG);
        return raw;
    }();
    return *made;
}

// The operations one by one over the first adapters, each port's mapping fetched and freed.
void drive_operations() {
    std::uint32_t total = 0;
    SIL_SNIA_GetNumberOfAdapters(&total);
    char name[80];
    SIL_SNIA_GetAdapterName(total, name, sizeof name);
    for (std::uint32_t index = 0; index < std::min<std::uint32_t>(total, 3); ++index) {
        SIL_SNIA_GetAdapterName(index, name, sizeof name);
        SIL_SNIA_HANDLE handle = 0;
        if (SIL_SNIA_OpenAdapter(&handle, index) != 0) continue;
        T_SIL_SNIA_ADAPTER_ATTRIBUTES adapter{};
        SIL_SNIA_GetAdapterAttributes(handle, &adapter);
        for (std::uint32_t port = 0; port < std::min<std::uint32_t>(adapter.NumberOfPorts, 2); ++port) {
            T_SIL_SNIA_PORT_ATTRIBUTES attributes{};
            SIL_SNIA_GetAdapterPortAttributes(handle, port, &attributes);
            T_SIL_SNIA_TARGET_MAPPING* mapping = nullptr;
            if (SIL_SNIA_GetTargetMapping(handle, port, &mapping) == 0) SIL_SNIA_FreeTargetMapping(&mapping);
        }
        SIL_SNIA_CloseAdapter(&handle);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LibraryPlatform& p = platform();
    if (size < 2) return 0;
    // Byte 0: bit 0 the common library (else the vendor libraries), bit 1 "a.dll" registers with
    // the version-2 table, bit 2 it registers SM-HBA, bit 3 "b.dll" (version 1) is installed too,
    // bit 4 the adapter list collects target mappings. Byte 1: SIL_MAX_TARGET_MAPPING_ENTRIES
    // (0: unset). Bytes from 2 on: the answers; after the list, the lookup's device name (24 bytes),
    // WWN (its length and bytes), bus, target and LUN (a byte each).
    const std::uint8_t control = data[0];
    p.mapping_limit = data[1] != 0 ? std::to_string(data[1]) : std::string();
    in = Answers{data + 2, size - 2, 0};
    p.modules.clear();
    if (control & 0x01) {
        p.modules["HBAAPI.DLL"] = {
            {"HBA_GetVersion", fn(get_version)}, {"HBA_LoadLibrary", fn(load_library)},
            {"HBA_GetNumberOfAdapters", fn(number_of_adapters)}, {"HBA_GetAdapterName", fn(adapter_name)},
            {"HBA_OpenAdapter", fn(open_adapter)}, {"HBA_CloseAdapter", fn(close_adapter)},
            {"HBA_GetAdapterAttributes", fn(adapter_attributes)}, {"HBA_GetAdapterPortAttributes", fn(port_attributes)},
            {"HBA_RefreshInformation", fn(refresh)}, {"HBA_GetFcpTargetMapping", fn(map_v1)},
            {"HBA_GetFcpTargetMappingV2", fn(map_v2)}, {"SMHBA_GetVersion", fn(get_version)},
            {"SMHBA_GetTargetMapping", fn(map_sm)}};
    }
    Symbols a{{(control & 0x02) ? "HBA_RegisterLibraryV2" : "HBA_RegisterLibrary",
               (control & 0x02) ? fn(register_v2) : fn(register_v1)}};
    if (control & 0x04) a["SMHBA_RegisterLibrary"] = fn(register_sm);
    p.modules["a.dll"] = a;
    if (control & 0x08) p.modules["b.dll"] = {{"HBA_RegisterLibrary", fn(register_v1)}};

    // A context of its own for every input: nothing carries over from the one before.
    auto* context = new T_SIL_SNIA_CONTEXT{};
    sil_snia_build_context(*context, (control & 0x01) != 0);
    sil_snia_use_context_for_tests(context);

    drive_operations();
    T_SIL_HBA_OPTIONS options{};
    options.snia_only = 1;
    options.target_mapping = (control & 0x10) ? 1 : 0;
    T_SIL_HBA_LIST list{};
    if (SIL_CreateHBAList(&list, &options, 0) == 0) {
        T_SIL_HBA_TARGET_LOOKUP lookup{};
        for (std::size_t i = 0; i < 24; ++i) lookup.device_name[i] = static_cast<char>(in.byte());
        lookup.device_wwn_len = in.byte();
        for (std::size_t i = 0; i < lookup.device_wwn_len; ++i) lookup.device_wwn[i] = in.byte();
        lookup.bus = in.byte();
        lookup.target = in.byte();
        lookup.lun = in.byte();
        SIL_LookupTargetMapping(&list, &lookup);
        SIL_DestroyHBAList(&list);
    }

    sil_snia_use_context_for_tests(nullptr);
    sil_snia_release_context_for_tests(context);
    return 0;
}
