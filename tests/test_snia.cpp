// Tests of the SNIA HBA API adapter against in-test HBA API libraries served by a fake platform's module loader and registry.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <pds/platform_testing.h>

#include "forwarding_platform.h"
#include "run_program.h"
#include "silsnia_int.h"
#include "sil/sillib.h"
#include "sil/siltrace.h"

namespace {

// ---- the in-test libraries ----------------------------------------------------------------------
// Each library keeps its state in one record; its exported functions are instances of templates
// over the library's number, since the HBA API hands them no context.
struct FakeLibrary {
    HBA_UINT32 version = 2;
    HBA_STATUS load_status = HBA_STATUS_OK;
    std::vector<std::string> adapters;
    HBA_UINT32 ports = 1;
    HBA_PORTATTRIBUTES port{};
    int stale_answers = 0;      // port attribute calls answering stale data before a good one
    int refreshes = 0, port_calls = 0, name_calls = 0;
    std::vector<std::string> opened;
    std::vector<HBA_HANDLE> closed;
    HBA_UINT32 mapped = 0;                        // the LUNs the adapter's port maps
    HBA_STATUS smhba = 0, v2 = 0, v1 = 0;         // non-zero: what that mapping call answers
    bool overclaim = false;                       // says it has 5 more entries than the table holds
    std::vector<std::pair<char, HBA_UINT32>> asked;  // each mapping call: method and room given
};
FakeLibrary lib[4];

template <int N>
HBA_STATUS map_into(char method, HBA_STATUS forced, HBA_UINT32& number, auto* entries) {
    lib[N].asked.emplace_back(method, number);
    if (forced != 0) return forced;
    const HBA_UINT32 room = number;
    for (HBA_UINT32 i = 0; i < std::min(room, lib[N].mapped); ++i) {
        std::snprintf(entries[i].ScsiId.OSDeviceName, 256, "\\\\.\\PHYSICALDRIVE%u", i);
        entries[i].ScsiId.ScsiTargetNumber = 1;
        entries[i].ScsiId.ScsiOSLun = i;
    }
    number = lib[N].overclaim ? room + 5 : lib[N].mapped;
    return !lib[N].overclaim && lib[N].mapped > room ? HBA_STATUS_ERROR_MORE_DATA : HBA_STATUS_OK;
}

template <int N>
struct Exports {
    static HBA_UINT32 GetVersion() { return lib[N].version; }
    static HBA_STATUS LoadLibrary() { return lib[N].load_status; }
    static HBA_UINT32 GetNumberOfAdapters() { return static_cast<HBA_UINT32>(lib[N].adapters.size()); }
    static HBA_STATUS GetAdapterName(HBA_UINT32 i, char* name) {
        ++lib[N].name_calls;
        if (i >= lib[N].adapters.size() || lib[N].adapters[i] == "?") return HBA_STATUS_ERROR_ILLEGAL_INDEX;
        std::snprintf(name, 256, "%s", lib[N].adapters[i].c_str());
        return HBA_STATUS_OK;
    }
    static HBA_HANDLE OpenAdapter(char* name) {
        lib[N].opened.emplace_back(name);
        return 0x10000u * N + static_cast<HBA_HANDLE>(lib[N].opened.size());
    }
    static void CloseAdapter(HBA_HANDLE h) { lib[N].closed.push_back(h); }
    static HBA_STATUS GetAdapterAttributes(HBA_HANDLE, HBA_ADAPTERATTRIBUTES* a) {
        std::memset(a->Manufacturer, 'M', sizeof a->Manufacturer);  // fills the field: no terminator
        a->NumberOfPorts = lib[N].ports;
        return HBA_STATUS_OK;
    }
    static HBA_STATUS GetPortAttributes(HBA_HANDLE, HBA_UINT32, HBA_PORTATTRIBUTES* p) {
        ++lib[N].port_calls;
        if (lib[N].stale_answers > 0) {
            --lib[N].stale_answers;
            return HBA_STATUS_ERROR_STALE_DATA;
        }
        *p = lib[N].port;
        return HBA_STATUS_OK;
    }
    static void Refresh(HBA_HANDLE) { ++lib[N].refreshes; }
    static HBA_STATUS MapV1(HBA_HANDLE, HBA_FCPTARGETMAPPING* m) {
        return map_into<N>('1', lib[N].v1, m->NumberOfEntries, &m->entry[0]);
    }
    static HBA_STATUS MapV2(HBA_HANDLE, HBA_WWN, HBA_FCPTARGETMAPPINGV2* m) {
        return map_into<N>('2', lib[N].v2, m->NumberOfEntries, &m->entry[0]);
    }
    static HBA_UINT32 SmVersion() { return 1; }
    static HBA_STATUS MapSm(HBA_HANDLE, HBA_WWN, HBA_WWN, SMHBA_TARGETMAPPING* m) {
        return map_into<N>('S', lib[N].smhba, m->NumberOfEntries, &m->entry[0]);
    }
    template <typename Table>
    static void fill(Table* t) {
        t->GetVersionHandler = GetVersion;
        t->LoadLibraryHandler = LoadLibrary;
        t->GetNumberOfAdaptersHandler = GetNumberOfAdapters;
        t->GetAdapterNameHandler = GetAdapterName;
        t->OpenAdapterHandler = OpenAdapter;
        t->CloseAdapterHandler = CloseAdapter;
        t->GetAdapterAttributesHandler = GetAdapterAttributes;
        t->GetAdapterPortAttributesHandler = GetPortAttributes;
        t->RefreshInformationHandler = Refresh;
        t->GetFcpTargetMappingHandler = MapV1;
    }
    static HBA_STATUS RegisterV1(HBA_ENTRYPOINTS* t) { return fill(t), HBA_STATUS_OK; }
    static HBA_STATUS RegisterV2(HBA_ENTRYPOINTSV2* t) {
        fill(t);
        t->GetFcpTargetMappingV2Handler = MapV2;
        return HBA_STATUS_OK;
    }
    static HBA_STATUS RegisterSm(SMHBA_ENTRYPOINTS* t) {
        t->GetVersionHandler = SmVersion;
        t->GetTargetMappingHandler = MapSm;
        return HBA_STATUS_OK;
    }
};

using Symbols = std::map<std::string, void*>;
template <typename F>
void* fn(F f) { return reinterpret_cast<void*>(f); }

// A common library: every entry point exported by name.
template <int N>
Symbols common_library() {
    using E = Exports<N>;
    return {{"HBA_GetVersion", fn(E::GetVersion)}, {"HBA_LoadLibrary", fn(E::LoadLibrary)},
            {"HBA_GetNumberOfAdapters", fn(E::GetNumberOfAdapters)}, {"HBA_GetAdapterName", fn(E::GetAdapterName)},
            {"HBA_OpenAdapter", fn(E::OpenAdapter)}, {"HBA_CloseAdapter", fn(E::CloseAdapter)},
            {"HBA_GetAdapterAttributes", fn(E::GetAdapterAttributes)},
            {"HBA_GetAdapterPortAttributes", fn(E::GetPortAttributes)}, {"HBA_RefreshInformation", fn(E::Refresh)},
            {"HBA_GetFcpTargetMapping", fn(E::MapV1)}, {"HBA_GetFcpTargetMappingV2", fn(E::MapV2)},
            {"SMHBA_GetVersion", fn(E::SmVersion)}, {"SMHBA_GetTargetMapping", fn(E::MapSm)}};
}
// A vendor library: registration entry points only.
template <int N>
Symbols vendor_library(bool v2, bool smhba) {
    Symbols s{{v2 ? "HBA_RegisterLibraryV2" : "HBA_RegisterLibrary",
               v2 ? fn(Exports<N>::RegisterV2) : fn(Exports<N>::RegisterV1)}};
    if (smhba) s["SMHBA_RegisterLibrary"] = fn(Exports<N>::RegisterSm);
    return s;
}

// ---- the platform ---------------------------------------------------------------------------------
class FakeModule : public pds::Module {
public:
    explicit FakeModule(Symbols s) : symbols_(std::move(s)) {}
    void* symbol(const char* name) override {
        const auto found = symbols_.find(name);
        return found == symbols_.end() ? nullptr : found->second;
    }

private:
    Symbols symbols_;
};

class FakeKey : public pds::RegistryKey {
public:
    explicit FakeKey(std::vector<std::string> subkeys, std::optional<std::string> file = std::nullopt)
        : subkeys_(std::move(subkeys)), file_(std::move(file)) {}
    pds::os_error enum_subkey(std::uint32_t i, std::string& name) override {
        if (i >= subkeys_.size()) return pds::kErrorNoMoreItems;
        name = subkeys_[i];
        return 0;
    }
    pds::os_error enum_value(std::uint32_t, std::string&) override { return pds::kErrorNoMoreItems; }
    pds::os_error query_string(const std::string& name, std::string& value) override {
        if (name != "LibraryFile" || !file_) return pds::kErrorFileNotFound;
        value = *file_;
        return 0;
    }
    pds::os_error query_dword(const std::string&, std::uint32_t&) override { return pds::kErrorFileNotFound; }

private:
    std::vector<std::string> subkeys_;
    std::optional<std::string> file_;
};

const std::string kKey = "SOFTWARE\\SNIA\\HBA";

class SniaPlatform : public testsupport::ForwardingPlatform {
public:
    using ForwardingPlatform::ForwardingPlatform;
    std::map<std::string, std::string> environment;
    std::map<std::string, Symbols> modules;  // by the path asked for
    std::vector<std::string> loads;
    // Subkey names in enumeration order with their LibraryFile values; no key at all when unset.
    std::optional<std::vector<std::pair<std::string, std::optional<std::string>>>> registry;

    std::string_view name() const override { return "fake-snia"; }
    pds::HostIdentity host_identity() override { return {}; }
    std::optional<std::string> get_env(const char* name) override {
        const auto found = environment.find(name);
        return found == environment.end() ? std::nullopt : std::optional(found->second);
    }
    pds::os_error load_module(const std::string& path, std::unique_ptr<pds::Module>& out, std::string& resolved,
                              std::string&) override {
        loads.push_back(path);
        const auto found = modules.find(path);
        if (found == modules.end()) return pds::kErrorModNotFound;
        out = std::make_unique<FakeModule>(found->second);
        resolved = "C:\\Windows\\System32\\" + path;
        return 0;
    }
    pds::os_error registry_open_local_machine(const std::string& subkey, std::unique_ptr<pds::RegistryKey>& out) override {
        if (!registry) return pds::kErrorFileNotFound;
        std::vector<std::string> names;
        for (const auto& [name, file] : *registry) {
            if (subkey == kKey + "\\" + name) return out = std::make_unique<FakeKey>(std::vector<std::string>{}, file), 0;
            names.push_back(name);
        }
        if (subkey != kKey) return pds::kErrorFileNotFound;
        out = std::make_unique<FakeKey>(names);
        return 0;
    }
};

SniaPlatform& platform() {
    static SniaPlatform* const fake = [] {
        auto owned = std::make_unique<SniaPlatform>(pds::platform());
        SniaPlatform* raw = owned.get();
        pds::install_platform_for_tests(std::move(owned));
        SIL_init(0, 0, SIL_LIBRARY_VERSION, "snia tests", "fake", "today");
        sil_set_verbosity(SIL_VERBOSITY_DBG_LOG);
        return raw;
    }();
    return *fake;
}

// Each test builds its own context from the libraries and registry it sets up, and reads the
// trace the build and the operations wrote.
class SniaTest : public testing::Test {
protected:
    void SetUp() override {
        for (FakeLibrary& l : lib) l = FakeLibrary{};
        SniaPlatform& p = platform();
        p.environment.clear();
        p.modules.clear();
        p.loads.clear();
        p.registry.reset();
        saved_ = std::exchange(sil_context()->out_stream, trace_file_);
    }
    void TearDown() override {
        sil_snia_use_context_for_tests(nullptr);
        sil_snia_release_context_for_tests(context_);
        sil_context()->out_stream = saved_;
        std::fclose(trace_file_);
    }
    const T_SIL_SNIA_CONTEXT& build(bool use_common) {
        context_ = new T_SIL_SNIA_CONTEXT{};
        sil_snia_build_context(*context_, use_common);
        sil_snia_use_context_for_tests(context_);
        return *context_;
    }
    std::string trace() {
        std::fflush(trace_file_);
        return testsupport::read_file(scratch_.path("trace.txt"));
    }
    // Each of `pieces` stands in the trace, in this order.
    void expect_traced(const std::vector<std::string>& pieces) {
        const std::string text = trace();
        std::size_t at = 0;
        for (const std::string& piece : pieces) {
            const std::size_t found = text.find(piece, at);
            ASSERT_NE(found, std::string::npos) << "missing or out of order: <" << piece << "> in\n" << text;
            at = found + piece.size();
        }
    }

    testsupport::Scratch scratch_;
    std::FILE* trace_file_ = std::fopen(scratch_.path("trace.txt").c_str(), "w+b");
    std::FILE* saved_ = nullptr;
    T_SIL_SNIA_CONTEXT* context_ = nullptr;
};

}  // namespace

namespace {

using Strings = std::vector<std::string>;

TEST_F(SniaTest, WithoutKeyOrCommonLibraryTheTwoDefaultLibrariesAreTried) {
    const T_SIL_SNIA_CONTEXT& c = build(true);
    EXPECT_EQ(platform().loads, (Strings{"HBAAPI.DLL", "emulexhbaapi.dll", "qlsdm.dll"}));
    EXPECT_EQ(c.libraries[0].state, SIL_SNIA_LIB_FAILED);
    EXPECT_STREQ(c.libraries[2].vendor_id, "qlsdm.dll");
    EXPECT_EQ(c.libraries[3].state, SIL_SNIA_LIB_EMPTY);
    std::uint32_t count = 7;
    EXPECT_EQ(SIL_SNIA_GetNumberOfAdapters(&count), SIL_SNIA_ERR_NO_LIBRARY);
    EXPECT_EQ(count, 0u);
    expect_traced({"Loading HBA API library HBAAPI.DLL at path HBAAPI.DLL.", "Unable to dynamically load library HBAAPI.DLL",
                   "Loading HBA specific libraries:", "Failed to open registry. Using default HBA specific library paths.",
                   "Loading HBA specific library emulexhbaapi.dll at path emulexhbaapi.dll.",
                   "Unable to dynamically load library emulexhbaapi.dll",
                   "Loading HBA specific library qlsdm.dll at path qlsdm.dll.", "Unable to dynamically load library qlsdm.dll",
                   "Total number of HBAs supported: 0.", "Finished initializing SNIA context and HBA libraries."});
}

// Vendor libraries from the registry: one global index across them, handles carrying the slot.
TEST_F(SniaTest, RegistryLibrariesShareOneAdapterIndex) {
    SniaPlatform& p = platform();
    p.registry.emplace();
    *p.registry = {{"AcmeA", "a.dll"}, {"NoFile", std::nullopt}, {"AcmeB", "b.dll"}, {"AcmeC", "c.dll"}};
    p.modules = {{"a.dll", vendor_library<1>(true, false)},
                 {"b.dll", vendor_library<2>(false, false)},
                 {"c.dll", vendor_library<3>(true, true)}};
    lib[1].adapters = {"a-0", "a-1"};
    lib[3].adapters = {"c-0"};
    const T_SIL_SNIA_CONTEXT& c = build(false);
    EXPECT_EQ(p.loads, (Strings{"a.dll", "b.dll", "c.dll"}));
    EXPECT_EQ(c.total_adapters, 3u);
    // AcmeB has no adapters: its first index is AcmeC's.
    EXPECT_EQ(c.libraries[1].first_index, 0u);
    EXPECT_EQ(c.libraries[2].first_index, 2u);
    EXPECT_EQ(c.libraries[3].first_index, 2u);
    EXPECT_STREQ(c.adapters[2].name, "c-0");
    EXPECT_EQ(c.adapters[2].slot, 3u);
    EXPECT_STREQ(c.libraries[1].path, "C:\\Windows\\System32\\a.dll");
    EXPECT_EQ(c.libraries[2].entry.HBA_GetFcpTargetMappingV2, nullptr);  // registered with the version-1 table
    EXPECT_EQ(c.libraries[1].entry.SMHBA_GetTargetMapping, nullptr);
    EXPECT_NE(c.libraries[3].entry.SMHBA_GetTargetMapping, nullptr);
    expect_traced({"Reading in HBA specific library paths from the registry:", "Parsed library entry - vendorid: AcmeA path: a.dll.",
                   "Unable to determine library path. RegQueryValueEx returned status 2.",
                   "Parsed library entry - vendorid: AcmeB path: b.dll.", "Loading HBA specific library AcmeA at path a.dll.",
                   "Successfully dynamically loaded library C:\\Windows\\System32\\a.dll",
                   "Skipping lookup of SM-HBA function entry points.",
                   "Successfully initialized the HBA specific library with HBA_LoadLibrary.", "Library AcmeA supports 2 HBAs:",
                   "Cached HBA name a-0.", "Cached HBA name a-1.", "Library AcmeB supports 0 HBAs:",
                   "Library AcmeC supports 1 HBAs:", "Cached HBA name c-0.", "Total number of HBAs supported: 3."});

    // Adapter 2 is AcmeC's adapter 0; its library's handle 0x30001 keeps its low 16 bits under slot 3.
    SIL_SNIA_HANDLE h = 0;
    ASSERT_EQ(SIL_SNIA_OpenAdapter(&h, 2), 0);
    EXPECT_EQ(lib[3].opened, Strings{"c-0"});
    EXPECT_EQ(h, 0x30001u);
    EXPECT_EQ(SIL_SNIA_CloseAdapter(&h), 0);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(lib[3].closed, std::vector<HBA_HANDLE>{1});
}

TEST_F(SniaTest, OneThousandAndTwentyFourAdaptersAtMost) {
    SniaPlatform& p = platform();
    p.registry.emplace();
    *p.registry = {{"Big", "big.dll"}, {"More", "more.dll"}, {"Third", "third.dll"}};
    p.modules = {{"big.dll", vendor_library<1>(true, false)},
                 {"more.dll", vendor_library<2>(true, false)},
                 {"third.dll", vendor_library<3>(true, false)}};
    lib[1].adapters.assign(1000, "big");
    lib[2].adapters.assign(30, "more");
    lib[3].adapters.assign(1, "third");
    const T_SIL_SNIA_CONTEXT& c = build(false);
    EXPECT_EQ(c.total_adapters, 1024u);
    EXPECT_EQ(c.libraries[2].first_index, 1000u);
    EXPECT_EQ(lib[2].name_calls, 24);  // 1024 - 1000
    EXPECT_EQ(lib[3].name_calls, 0);
    EXPECT_EQ(c.adapters[1023].slot, 2u);
    expect_traced({"Library More supports 30 HBAs:",
                   "Maximum supported number of HBAs reached. Only 24 HBAs from this library will be supported.",
                   "Total number of HBAs supported: 1024."});
}

// The common library: adapters named in full, indexes checked before any library is asked.
TEST_F(SniaTest, CommonLibraryIndexesAndNames) {
    const std::string stem(70, 'x');
    platform().modules = {{"HBAAPI.DLL", common_library<0>()}};
    lib[0].adapters = {stem + "1", stem + "2", "?"};
    const T_SIL_SNIA_CONTEXT& c = build(true);
    EXPECT_EQ(c.common_library_in_use, 1);
    EXPECT_EQ(c.total_adapters, 3u);
    lib[0].name_calls = 0;
    char text[80];
    SIL_SNIA_HANDLE h = 0;
    EXPECT_EQ(SIL_SNIA_GetAdapterName(1024, text, sizeof text), SIL_SNIA_ERR_BAD_INDEX);
    EXPECT_EQ(SIL_SNIA_OpenAdapter(&h, 1024), SIL_SNIA_ERR_BAD_INDEX);
    EXPECT_EQ(SIL_SNIA_GetAdapterName(3, text, sizeof text), SIL_SNIA_ERR_BAD_INDEX);
    EXPECT_EQ(lib[0].name_calls, 0);
    EXPECT_TRUE(lib[0].opened.empty());
    ASSERT_EQ(SIL_SNIA_GetAdapterName(1, text, sizeof text), 0);
    EXPECT_EQ(std::string(text), std::string(63, 'x'));  // the cache holds 63 characters
    ASSERT_EQ(SIL_SNIA_GetAdapterName(2, text, sizeof text), 0);
    EXPECT_STREQ(text, "Unknown");
    // Opened by the full name: the cut one is the same for both adapters.
    ASSERT_EQ(SIL_SNIA_OpenAdapter(&h, 1), 0);
    EXPECT_EQ(lib[0].opened, Strings{stem + "2"});
    EXPECT_EQ(h, 1u);  // the library's own handle
    expect_traced({"Successfully initialized the HBA API library with HBA_LoadLibrary.",
                   "Successfully loaded the HBA API library. Caching HBA names and indices:",
                   "Invalid adapter index: > max number of adapters.", "Invalid adapter index: > max number of adapters.",
                   "Invalid adapter index: > total number of adapters."});
}

TEST_F(SniaTest, CommonLibraryThatFailsGivesWayToVendorLibraries) {
    platform().modules = {{"HBAAPI.DLL", common_library<0>()}, {"emulexhbaapi.dll", vendor_library<1>(true, false)}};
    lib[0].load_status = HBA_STATUS_ERROR;
    lib[1].adapters = {"e-0"};
    const T_SIL_SNIA_CONTEXT& c = build(true);
    EXPECT_EQ(c.common_library_in_use, 0);
    EXPECT_EQ(c.libraries[0].state, SIL_SNIA_LIB_FAILED);
    EXPECT_EQ(c.total_adapters, 1u);
    EXPECT_EQ(c.adapters[0].slot, 1u);
    expect_traced({"Found symbol: HBA_GetFcpTargetMapping.",
                   "Failed to initialize the HBA API library. HBA_LoadLibrary returned status 1.",
                   "Failed to open registry. Using default HBA specific library paths.", "Library emulexhbaapi.dll supports 1 HBAs:"});
}

TEST_F(SniaTest, CommonLibraryOfVersionZeroIsNotUsed) {
    platform().modules = {{"HBAAPI.DLL", common_library<0>()}};
    lib[0].version = 0;
    lib[0].adapters = {"fc0"};
    const T_SIL_SNIA_CONTEXT& c = build(true);
    EXPECT_EQ(c.libraries[0].state, SIL_SNIA_LIB_FAILED);
    EXPECT_EQ(c.total_adapters, 0u);
    expect_traced({"Found symbol: HBA_GetVersion.", "Library version too low.", "Loading HBA specific libraries:"});
}


// A common library with one adapter, opened.
class SniaAdapterTest : public SniaTest {
protected:
    void SetUp() override {
        SniaTest::SetUp();
        platform().modules = {{"HBAAPI.DLL", common_library<0>()}};
        lib[0].adapters = {"fc0"};
        build(true);
        ASSERT_EQ(SIL_SNIA_OpenAdapter(&handle_, 0), 0);
    }
    // The mapping of port 0; `asked` gets what the library was asked, `mapping` the result.
    std::int32_t map(std::vector<std::pair<char, HBA_UINT32>>& asked) {
        lib[0].asked.clear();
        SIL_SNIA_FreeTargetMapping(&mapping_);
        const std::int32_t rc = SIL_SNIA_GetTargetMapping(handle_, 0, &mapping_);
        asked = lib[0].asked;
        return rc;
    }
    void TearDown() override {
        SIL_SNIA_FreeTargetMapping(&mapping_);
        SniaTest::TearDown();
    }
    SIL_SNIA_HANDLE handle_ = 0;
    T_SIL_SNIA_TARGET_MAPPING* mapping_ = nullptr;
};

TEST_F(SniaAdapterTest, StaleDataIsRefreshedOnce) {
    T_SIL_SNIA_PORT_ATTRIBUTES a;
    lib[0].stale_answers = 1;
    EXPECT_EQ(SIL_SNIA_GetAdapterPortAttributes(handle_, 0, &a), 0);
    EXPECT_EQ(lib[0].refreshes, 1);
    EXPECT_EQ(lib[0].port_calls, 2);
    lib[0].stale_answers = 2;
    EXPECT_EQ(SIL_SNIA_GetAdapterPortAttributes(handle_, 0, &a), SIL_SNIA_ERR_ATTRIBUTES);
    EXPECT_EQ(lib[0].refreshes, 2);
    EXPECT_EQ(lib[0].port_calls, 4);
    expect_traced({"HBA_GetAdapterPortAttributes returned HBA_STATUS_ERROR_STALE_DATA. Calling HBA_RefreshInformation.",
                   "HBA_GetAdapterPortAttributes returned HBA_STATUS_ERROR_STALE_DATA. Calling HBA_RefreshInformation.",
                   "HBA_GetAdapterPortAttributes failed with status 8."});
}

TEST_F(SniaAdapterTest, PortValuesAreNormalised) {
    // {given, kept}: types outside 2,3,5-8,20,21 and states outside 2-9 become 1; a speed of
    // several bits keeps the first of 0x8000, 32, 4, 16, 8, 2, 1 it has.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> types{{0, 1}, {1, 1}, {2, 2}, {3, 3}, {4, 1}, {5, 5},
                                                                     {8, 8}, {9, 1}, {20, 20}, {21, 21}, {22, 1}};
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> states{{0, 1}, {1, 1}, {2, 2}, {9, 9}, {10, 1}};
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> speeds{
        {0, 0}, {8, 8}, {0x8000, 0x8000}, {3, 2}, {6, 4}, {10, 8}, {12, 4}, {0x18, 16}, {0x28, 32}, {0x8004, 0x8000}, {64, 0}};
    T_SIL_SNIA_PORT_ATTRIBUTES a;
    for (std::size_t i = 0; i < speeds.size(); ++i) {
        lib[0].port.PortType = types[i].first;
        lib[0].port.PortState = states[i % states.size()].first;
        lib[0].port.PortSupportedSpeed = lib[0].port.PortSpeed = speeds[i].first;
        ASSERT_EQ(SIL_SNIA_GetAdapterPortAttributes(handle_, 0, &a), 0);
        EXPECT_EQ(a.PortType, types[i].second) << types[i].first;
        EXPECT_EQ(a.PortState, states[i % states.size()].second) << states[i % states.size()].first;
        EXPECT_EQ(a.PortSupportedSpeed, speeds[i].second) << speeds[i].first;
        EXPECT_EQ(a.PortSpeed, speeds[i].second) << speeds[i].first;
    }
}

TEST_F(SniaAdapterTest, AdapterTextsAreCutToTheirFields) {
    T_SIL_SNIA_ADAPTER_ATTRIBUTES a;
    ASSERT_EQ(SIL_SNIA_GetAdapterAttributes(handle_, &a), 0);
    EXPECT_EQ(std::string(a.Manufacturer), std::string(64, 'M'));  // the library's field is 64 bytes, unterminated
    EXPECT_EQ(a.NumberOfPorts, 1u);
    expect_traced({"ADAPTER INFO: Manufacturer = " + std::string(64, 'M') + "\n"});
}

using Asked = std::vector<std::pair<char, HBA_UINT32>>;

TEST_F(SniaAdapterTest, MappingAsksForOneEntryThenForAllUpToTheLimit) {
    Asked asked;
    lib[0].mapped = 3;
    ASSERT_EQ(map(asked), 0);
    EXPECT_EQ(asked, (Asked{{'S', 1}, {'S', 3}}));
    ASSERT_EQ(mapping_->count, 3u);
    EXPECT_STREQ(mapping_->entries[2].OSDeviceName, "\\\\.\\PHYSICALDRIVE2");
    EXPECT_EQ(mapping_->entries[2].ScsiOSLun, 2u);
    T_SIL_SNIA_TARGET_MAPPING* kept = mapping_;
    EXPECT_EQ(SIL_SNIA_GetTargetMapping(handle_, 0, &mapping_), SIL_SNIA_ERR_BAD_INDEX);  // not empty
    EXPECT_EQ(mapping_, kept);
    expect_traced({"Attempting to get target mapping from SMHBA_GetTargetMapping:",
                   "Target mapping from SMHBA_GetTargetMapping (3 of 3 entries returned):",
                   "OSDeviceName:Bus:Tid:Lun:PortWWN:TargetLun:LUID",
                   "\\\\.\\PHYSICALDRIVE0:0:1:0:0000000000000000:0x00000000:0x00000000\n"});

    // Limit 2 of 5: more data at the limit counts as success.
    lib[0].mapped = 5;
    platform().environment["SIL_MAX_TARGET_MAPPING_ENTRIES"] = "2";
    ASSERT_EQ(map(asked), 0);
    EXPECT_EQ(asked, (Asked{{'S', 1}, {'S', 2}}));
    EXPECT_EQ(mapping_->count, 2u);
    // 0 is taken as 1: the first answer stands.
    platform().environment["SIL_MAX_TARGET_MAPPING_ENTRIES"] = "0";
    ASSERT_EQ(map(asked), 0);
    EXPECT_EQ(asked, (Asked{{'S', 1}}));
    EXPECT_EQ(mapping_->count, 1u);
    platform().environment["SIL_MAX_TARGET_MAPPING_ENTRIES"] = "3000000";
    ASSERT_EQ(map(asked), 0);
    EXPECT_EQ(asked, (Asked{{'S', 1}, {'S', 5}}));
    expect_traced({"SIL_MAX_TARGET_MAPPING_ENTRIES set to 2.", "(2 of 5 entries returned)",
                   "SIL_MAX_TARGET_MAPPING_ENTRIES set to 1.", "(1 of 5 entries returned)",
                   "SIL_MAX_TARGET_MAPPING_ENTRIES set to 1048576."});

    // A library claiming more entries than the table holds is read no further than the table.
    lib[0].overclaim = true;
    platform().environment.clear();
    ASSERT_EQ(map(asked), 0);
    EXPECT_EQ(mapping_->count, 1u);
    expect_traced({"Target mapping from SMHBA_GetTargetMapping (1 of 6 entries returned):"});

    EXPECT_EQ(SIL_SNIA_FreeTargetMapping(&mapping_), 0);
    EXPECT_EQ(mapping_, nullptr);
    EXPECT_EQ(SIL_SNIA_FreeTargetMapping(&mapping_), -105);
}

TEST_F(SniaAdapterTest, MappingMethodsAreTriedInOrder) {
    Asked asked;
    lib[0].mapped = 2;
    lib[0].smhba = HBA_STATUS_ERROR_NOT_SUPPORTED;
    lib[0].v2 = HBA_STATUS_ERROR;
    ASSERT_EQ(map(asked), 0);
    EXPECT_EQ(asked, (Asked{{'S', 1}, {'2', 1}, {'1', 1}, {'1', 2}}));
    expect_traced({"SMHBA_GetTargetMapping is not supported by underlying SNIA HBA library.",
                   "Attempting to get target mapping from HBA_GetFcpTargetMappingV2:",
                   "HBA_GetFcpTargetMappingV2 failed with status 1.",
                   "Attempting to get target mapping from HBA_GetFcpTargetMapping:",
                   "Target mapping from HBA_GetFcpTargetMapping (2 of 2 entries returned):",
                   "OSDeviceName:Bus:Tid:Lun:PortWWN:NodeWWN:FcpLun\n",
                   "\\\\.\\PHYSICALDRIVE1:0:1:1:0000000000000000:0000000000000000:0x00000000\n"});

    lib[0].v1 = HBA_STATUS_ERROR;  // all three fail
    EXPECT_EQ(map(asked), SIL_SNIA_ERR_CALL_FAILED);
    lib[0].v2 = lib[0].v1 = HBA_STATUS_ERROR_NOT_SUPPORTED;  // none is supported
    EXPECT_EQ(map(asked), SIL_SNIA_ERR_NOT_SUPPORTED);
    lib[0].v1 = 0;
    lib[0].ports = 2;  // the version-1 call is not made for an adapter of two ports
    EXPECT_EQ(map(asked), SIL_SNIA_ERR_NOT_SUPPORTED);
    EXPECT_EQ(asked, (Asked{{'S', 1}, {'2', 1}}));
    expect_traced({"HBA has 2 ports. HBA_GetFcpTargetMapping unsupported for > 1 port."});
    lib[0].smhba = 0;
    lib[0].mapped = 0;
    EXPECT_EQ(map(asked), SIL_SNIA_ERR_NO_MAPPING);
}

// A vendor library registering only the version-1 table maps through the version-1 call.
TEST_F(SniaTest, VersionOneLibraryMapsWithoutTheVersionTwoCall) {
    platform().modules = {{"emulexhbaapi.dll", vendor_library<1>(false, false)}};
    lib[1].adapters = {"v1"};
    lib[1].mapped = 1;
    build(false);
    SIL_SNIA_HANDLE h = 0;
    ASSERT_EQ(SIL_SNIA_OpenAdapter(&h, 0), 0);
    T_SIL_SNIA_TARGET_MAPPING* m = nullptr;
    ASSERT_EQ(SIL_SNIA_GetTargetMapping(h, 0, &m), 0);
    EXPECT_EQ(m->count, 1u);
    EXPECT_EQ(lib[1].asked, (Asked{{'1', 1}}));
    SIL_SNIA_FreeTargetMapping(&m);
    expect_traced({"SMHBA_GetTargetMapping is not supported by underlying SNIA HBA library.",
                   "HBA_GetFcpTargetMappingV2 is not supported by underlying SNIA HBA library.",
                   "Target mapping from HBA_GetFcpTargetMapping (1 of 1 entries returned):"});
}

TEST_F(SniaTest, TheSelfTestChoiceOverridesTheEnvironment) {
    platform().environment["SIL_SNIA_USE_HBA_API_LIBRARY"] = "0";
    EXPECT_FALSE(sil_snia_use_common_library());
    SIL_SNIA_SetUseHbaApiLibrary(1);
    EXPECT_TRUE(sil_snia_use_common_library());
    SIL_SNIA_SetUseHbaApiLibrary(-1);
    platform().environment["SIL_SNIA_USE_HBA_API_LIBRARY"] = "off";  // not a number: the default
    EXPECT_TRUE(sil_snia_use_common_library());
    expect_traced({"SIL_SNIA_USE_HBA_API_LIBRARY set to 0.\n", "SIL_SNIA_USE_HBA_API_LIBRARY set to 0.\n"});
}

// The process context: built once however many threads ask first, after the environment.
TEST_F(SniaTest, TheProcessContextIsBuiltOnce) {
    platform().environment["SIL_SNIA_USE_HBA_API_LIBRARY"] = "0";
    platform().modules = {{"HBAAPI.DLL", common_library<0>()}, {"qlsdm.dll", vendor_library<2>(true, true)}};
    lib[0].adapters = {"common"};
    lib[2].adapters = {"q-0", "q-1"};
    std::vector<const T_SIL_SNIA_CONTEXT*> seen(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = SIL_SNIA_GetContext(); });
    for (std::thread& t : threads) t.join();
    ASSERT_NE(seen[0], nullptr);
    for (const T_SIL_SNIA_CONTEXT* c : seen) EXPECT_EQ(c, seen[0]);
    EXPECT_EQ(platform().loads, (Strings{"emulexhbaapi.dll", "qlsdm.dll"}));
    std::uint32_t count = 0;
    EXPECT_EQ(SIL_SNIA_GetNumberOfAdapters(&count), 0);
    EXPECT_EQ(count, 2u);
    expect_traced({"Initializing SNIA context and HBA libraries:", "SIL_SNIA_USE_HBA_API_LIBRARY set to 0.",
                   "Loading HBA specific libraries:", "Library qlsdm.dll supports 2 HBAs:"});
}

}  // namespace
