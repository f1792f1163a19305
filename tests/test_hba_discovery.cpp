// Adapter and iSCSI discovery: the SNIA scan against a scripted HBA API, ports merged by serial number, duplicates removed by WWN, the vendor table, the target-mapping lookup and the iSCSI list on simulated hosts.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <pds/platform.h>
#include <pds/platform_testing.h>

#include "forwarding_platform.h"
#include "silfinda_int.h"
#include "silsnia.h"
#include "sim_host_scratch.h"

// ---- a scripted HBA API: the SIL_SNIA_ operations answer from these adapters ----------------------
namespace {
struct ScriptedAdapter {
    std::string name;
    T_SIL_SNIA_ADAPTER_ATTRIBUTES attributes{};
    std::vector<T_SIL_SNIA_PORT_ATTRIBUTES> ports;
    std::vector<T_SIL_SNIA_TARGET_MAPPING_ENTRY> mapping;  // every port's
};
std::vector<ScriptedAdapter> g_adapters;
std::uint32_t g_port_queries = 0;
const ScriptedAdapter* adapter_of(SIL_SNIA_HANDLE h) { return h >= 1 && h <= g_adapters.size() ? &g_adapters[h - 1] : nullptr; }
}  // namespace

std::int32_t SIL_SNIA_GetNumberOfAdapters(std::uint32_t* count) {
    *count = static_cast<std::uint32_t>(g_adapters.size());
    return g_adapters.empty() ? SIL_SNIA_ERR_NO_LIBRARY : 0;
}
std::int32_t SIL_SNIA_GetAdapterName(std::uint32_t index, char* text, std::uint32_t size) {
    if (index >= g_adapters.size()) return SIL_SNIA_ERR_BAD_INDEX;
    std::snprintf(text, size, "%s", g_adapters[index].name.c_str());
    return 0;
}
std::int32_t SIL_SNIA_OpenAdapter(SIL_SNIA_HANDLE* handle, std::uint32_t index) {
    *handle = index + 1;
    return 0;
}
std::int32_t SIL_SNIA_CloseAdapter(SIL_SNIA_HANDLE* handle) {
    *handle = 0;
    return 0;
}
std::int32_t SIL_SNIA_GetAdapterAttributes(SIL_SNIA_HANDLE h, T_SIL_SNIA_ADAPTER_ATTRIBUTES* out) {
    if (adapter_of(h) == nullptr) return SIL_SNIA_ERR_ATTRIBUTES;
    *out = adapter_of(h)->attributes;
    return 0;
}
std::int32_t SIL_SNIA_GetAdapterPortAttributes(SIL_SNIA_HANDLE h, std::uint32_t port, T_SIL_SNIA_PORT_ATTRIBUTES* out) {
    ++g_port_queries;
    if (adapter_of(h) == nullptr || port >= adapter_of(h)->ports.size()) return SIL_SNIA_ERR_ATTRIBUTES;
    *out = adapter_of(h)->ports[port];
    return 0;
}
std::int32_t SIL_SNIA_GetTargetMapping(SIL_SNIA_HANDLE h, std::uint32_t, T_SIL_SNIA_TARGET_MAPPING** mapping) {
    if (adapter_of(h) == nullptr || adapter_of(h)->mapping.empty()) return SIL_SNIA_ERR_NO_MAPPING;
    const auto& entries = adapter_of(h)->mapping;
    *mapping = new T_SIL_SNIA_TARGET_MAPPING{static_cast<std::uint32_t>(entries.size()),
                                             new T_SIL_SNIA_TARGET_MAPPING_ENTRY[entries.size()]};
    std::copy(entries.begin(), entries.end(), (*mapping)->entries);
    return 0;
}
std::int32_t SIL_SNIA_FreeTargetMapping(T_SIL_SNIA_TARGET_MAPPING** mapping) {
    delete[] (*mapping)->entries;
    delete *mapping;
    *mapping = nullptr;
    return 0;
}
void SIL_SNIA_SetUseHbaApiLibrary(std::int32_t) {}
const T_SIL_SNIA_CONTEXT* SIL_SNIA_GetContext() { return nullptr; }

namespace {

void wwn_bytes(const char* hex, std::uint8_t out[8]) { ASSERT_TRUE(sil_findh_text_to_wwn(hex, out)) << hex; }

ScriptedAdapter scripted(const char* name, const char* manufacturer, const char* serial, const char* node_wwn) {
    ScriptedAdapter a;
    a.name = name;
    std::strcpy(a.attributes.Manufacturer, manufacturer);
    std::strcpy(a.attributes.SerialNumber, serial);
    wwn_bytes(node_wwn, a.attributes.NodeWWN);
    return a;
}

void add_port(ScriptedAdapter& a, const char* port_wwn, std::uint32_t speed = 8) {
    T_SIL_SNIA_PORT_ATTRIBUTES p{};
    wwn_bytes(port_wwn, p.PortWWN);
    std::memcpy(p.NodeWWN, a.attributes.NodeWWN, 8);
    p.PortType = 5;
    p.PortState = 2;
    p.PortSpeed = speed;
    std::strcpy(p.OSDeviceName, "Not Supported");
    a.ports.push_back(p);
    a.attributes.NumberOfPorts = static_cast<std::uint32_t>(a.ports.size());
}

struct HbaList {
    T_SIL_HBA_LIST list{};
    std::int32_t rc = 0;
    explicit HbaList(std::uint8_t mappings = 0) {
        T_SIL_HBA_OPTIONS o{};
        o.target_mapping = mappings;
        rc = SIL_CreateHBAList(&list, &o, 0);
    }
    ~HbaList() {
        SIL_DestroyHBAList(&list);
        g_adapters.clear();
    }
    const T_SIL_HBA& operator[](int i) const { return *list.hbas[i]; }
};

TEST(SniaScan, FillsTheAdapterFromTheLibraryAndTheVendorTable) {
    ScriptedAdapter a = scripted("drv-hba0", "Not Supported", "Not Supported", "50000000000000a1");
    add_port(a, "60b7d21000000001", 0x8000);
    add_port(a, "60b7d21000000002", 3);  // 2 Gbit and 1 Gbit: 2 says more
    a.ports[1].PortType = 9;              // EPORT
    a.ports[1].PortState = 11;            // beyond DEGRADED
    std::strcpy(a.ports[1].OSDeviceName, "\\\\.\\Scsi3:");
    g_adapters = {a};
    HbaList h;
    ASSERT_EQ(h.rc, 0);
    ASSERT_EQ(h.list.count, 1);
    EXPECT_STREQ(h[0].hba_name, "drv-hba0");
    EXPECT_STREQ(h[0].host_wwn, "50000000000000A1");
    EXPECT_EQ(h[0].vendor_code, 0x000000u);                    // NAA 5: digits 2-7
    EXPECT_STREQ(h[0].vendor_name, "XEROX CORPORATION");      // Manufacturer not given: the table's
    EXPECT_STREQ(h[0].serial_number, "Unknown");
    EXPECT_STREQ(h[0].model, "Unknown");
    EXPECT_EQ(h[0].hba_type, 1u);
    EXPECT_EQ(h[0].source, 1u);
    ASSERT_EQ(h[0].port_count, 2u);
    EXPECT_STREQ(h[0].ports[0]->port_wwn, "60B7D21000000001");
    EXPECT_EQ(h[0].ports[0]->speed, 0x8000u);
    EXPECT_EQ(h[0].ports[0]->type, 3u);  // NPORT
    EXPECT_EQ(h[0].ports[0]->state, 1u); // ONLINE
    EXPECT_STREQ(h[0].ports[0]->os_name, "Unknown");
    EXPECT_EQ(h[0].ports[1]->speed, 2u);
    EXPECT_EQ(h[0].ports[1]->type, 7u);
    EXPECT_EQ(h[0].ports[1]->state, 0u);
    EXPECT_STREQ(h[0].ports[1]->os_name, "\\\\.\\Scsi3:");
    EXPECT_EQ(h[0].ports[0]->target_mapping, nullptr);  // not asked for
}

TEST(SniaScan, OneAdapterListedOncePerPortBecomesOneWithItsPorts) {
    ScriptedAdapter p0 = scripted("drv-hba0-0", "Drv", "DRV0001", "60b7d21000000100");
    ScriptedAdapter p1 = scripted("drv-hba0-1", "Drv", "DRV0001", "60b7d21000000200");
    ScriptedAdapter other = scripted("drv-hba1", "Drv", "DRV0002", "60b7d21000000300");
    add_port(p0, "60b7d21000000101");
    add_port(p1, "60b7d21000000201");
    add_port(other, "60b7d21000000301");
    g_adapters = {p0, other, p1};
    HbaList h;
    ASSERT_EQ(h.list.count, 2);
    EXPECT_STREQ(h[0].hba_name, "drv-hba0-0");
    ASSERT_EQ(h[0].port_count, 2u);
    EXPECT_STREQ(h[0].ports[1]->port_wwn, "60B7D21000000201");
    EXPECT_STREQ(h[0].host_wwn, "0000000000000000");  // the two halves named different nodes
    EXPECT_EQ(h[0].vendor_code, 0x0B7D21u);
    EXPECT_STREQ(h[1].hba_name, "drv-hba1");
}

TEST(SniaScan, AnAdapterKeepsEightPortsAndTheirMappings) {
    ScriptedAdapter a = scripted("drv-hba0", "Drv", "DRV0001", "60b7d21000000100");
    for (int i = 1; i <= 9; ++i) add_port(a, ("60b7d2100000010" + std::to_string(i)).c_str());
    T_SIL_SNIA_TARGET_MAPPING_ENTRY e{};
    std::strcpy(e.OSDeviceName, "\\\\.\\PHYSICALDRIVE4");
    e.ScsiOSLun = 4;
    wwn_bytes("60b7d210000a0001", e.PortWWN);
    a.mapping = {e};
    g_adapters = {a};
    HbaList h(1);
    ASSERT_EQ(h.list.count, 1);
    ASSERT_EQ(h[0].port_count, 8u);
    EXPECT_STREQ(h[0].ports[7]->port_wwn, "60B7D21000000108");
    ASSERT_NE(h[0].ports[7]->target_mapping, nullptr);
    ASSERT_EQ(h[0].ports[7]->target_mapping->count, 1u);
    EXPECT_STREQ(h[0].ports[7]->target_mapping->entries[0].os_device_name, "\\\\.\\PHYSICALDRIVE4");
    EXPECT_EQ(h[0].ports[7]->target_mapping->entries[0].lun, 4u);
}

TEST(SniaScan, AnAbsurdPortCountIsAskedOnlyAsFarAsAnyAdapterCouldReach) {
    ScriptedAdapter a = scripted("drv-hba0", "XMV", "DRV1", "50000000000000a1");
    a.attributes.NumberOfPorts = 0xFFFFFFFF;  // and not one port can be read
    g_adapters = {a};
    g_port_queries = 0;
    HbaList h;
    ASSERT_EQ(h.list.count, 1);
    EXPECT_EQ(h[0].port_count, 0u);
    EXPECT_EQ(g_port_queries, 256u);
}

TEST(SniaScan, NoLibraryGivesAnEmptyList) {
    HbaList h;
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.list.count, 0);
}

// ---- merging and de-duplication on hand-made lists ------------------------------------------------

// An adapter "name:host wwn:source" with ports given as WWN texts.
T_SIL_HBA* hba(const char* name, const char* host_wwn, std::uint32_t source, std::vector<const char*> ports,
               const char* serial = "Unknown") {
    T_SIL_HBA* h = sil_findh_new_hba();
    std::strcpy(h->hba_name, name);
    std::strcpy(h->host_wwn, host_wwn);
    std::strcpy(h->serial_number, serial);
    h->source = source;
    h->hba_type = 1;
    for (const char* wwn : ports) {
        T_SIL_HBA_PORT* p = sil_findh_new_port();
        std::strcpy(p->port_wwn, wwn);
        if (!sil_findh_add_port(h, p)) sil_findh_free_port(p);
    }
    return h;
}

std::string names(sil_hba_chain& chain) {
    std::string text;
    for (auto* n = chain.head; n != nullptr; n = n->next) text += std::string(text.empty() ? "" : " ") + n->hba->hba_name;
    sil_findh_free_chain(chain);
    return text;
}

TEST(RemoveDuplicatesByWWN, KeepsTheCopyTheRulesPrefer) {
    constexpr std::uint32_t S = 1, O = 2;  // found by the SNIA scan / by the OS scan
    const char* H = "60B7D21000000100";
    const char* P1 = "60B7D21000000101";
    const char* P2 = "60B7D21000000102";
    const struct {
        std::uint32_t a_source, b_source;
        const char* b_host;
        std::vector<const char*> a_ports, b_ports;
        const char* kept;
    } rows[] = {
        {S, O, H, {P1, P2}, {P2, P1}, "A"},   // full: the OS copy goes
        {O, S, H, {P1, P2}, {P1, P2}, "B"},
        {O, O, H, {P1, P2}, {P1, P2}, "A"},   // full, neither from SNIA: the later goes
        {S, S, H, {P1, P2}, {P1, P2}, "A B"}, // two SNIA copies stay
        {O, S, H, {P1, P2}, {P1}, "B"},       // partial: the SNIA copy stays
        {S, O, H, {P1}, {P1, P2}, "A"},
        {O, O, H, {P1}, {P1, P2}, "B"},       // partial, neither from SNIA: more ports stay
        {O, O, H, {P1, P2}, {P2}, "A"},
        {O, O, H, {P1, P2}, {P2, "60B7D21000000103"}, "A"},  // even: the later goes
        {O, O, P1, {P1}, {P2}, "A"},          // A's port is B's node: partial, even
        {O, O, "60B7D21000000200", {P1}, {P2}, "A B"},
        {O, O, H, {P1}, {P2}, "A B"},         // same node, no port in common
    };
    for (const auto& r : rows) {
        sil_hba_chain chain;
        ASSERT_EQ(sil_findh_append(chain, hba("A", H, r.a_source, r.a_ports)), 0);
        ASSERT_EQ(sil_findh_append(chain, hba("B", r.b_host, r.b_source, r.b_ports)), 0);
        removeDuplicatesByWWN(chain);
        EXPECT_EQ(names(chain), r.kept) << "row " << (&r - rows);
    }
}

TEST(CondensePortsBySN, MergesLaterAdaptersWithTheSameSerial) {
    sil_hba_chain chain;
    sil_findh_append(chain, hba("A", "60B7D21000000100", 1, {"60B7D21000000101"}, "DRV1"));
    sil_findh_append(chain, hba("B", "60B7D21000000100", 1, {"60B7D21000000201"}, "Unknown"));
    sil_findh_append(chain, hba("C", "60B7D21000000100", 1, {"60B7D21000000102"}, "DRV1"));
    sil_findh_append(chain, hba("D", "60B7D21000000300", 1, {"60B7D21000000301"}, "Unknown"));
    sil_findh_append(chain, hba("E", "60B7D21000000100", 1, {}, "DRV1"));            // no ports: nothing appended
    sil_findh_append(chain, hba("F", "60B7D21000000100", 1, {"60B7D21000000101"}, "DRV1"));  // a port A has
    condensePortsBySN(chain);
    ASSERT_EQ(chain.count, 3);
    const T_SIL_HBA* a = chain.head->hba;
    ASSERT_EQ(a->port_count, 2u);
    EXPECT_STREQ(a->ports[1]->port_wwn, "60B7D21000000102");
    EXPECT_STREQ(a->host_wwn, "60B7D21000000100");
    EXPECT_EQ(names(chain), "A B D");
}

TEST(CondensePortsBySN, AFullAdapterTakesNoNinthPort) {
    sil_hba_chain chain;
    sil_findh_append(chain, hba("A", "60B7D21000000100", 1,
                                {"60B7D21000000101", "60B7D21000000102", "60B7D21000000103", "60B7D21000000104",
                                 "60B7D21000000105", "60B7D21000000106", "60B7D21000000107", "60B7D21000000108"}, "DRV1"));
    sil_findh_append(chain, hba("B", "60B7D21000000100", 1, {"60B7D21000000109"}, "DRV1"));
    condensePortsBySN(chain);
    ASSERT_EQ(chain.count, 1);
    EXPECT_EQ(chain.head->hba->port_count, 8u);
    sil_findh_free_chain(chain);
}

// ---- the vendor table and WWN texts ---------------------------------------------------------------

TEST(VendorByWwn, TakesTheCompanyIdentifierByNaaType) {
    const struct {
        const char* wwn;
        std::int32_t rc;
        std::uint32_t code;
        const char* name;
    } rows[] = {
        {"1000000000000001", 0, 0x000000, "XEROX CORPORATION"},  // NAA 1: digits 5-10
        {"20000001C8000001", 0, 0x0001C8, "THOMAS CONRAD CORP."}, // the listing's first row for a repeated id
        {"20000B7D21000001", -1, 0x0B7D21, "Unknown"},           // not registered
        {"5000000000000001", 0, 0x000000, "XEROX CORPORATION"},  // NAA 5: digits 2-7
        {"60B7D21000000001", -1, 0x0B7D21, "Unknown"},
        {"30B7D21000000001", -1, 0, "Unknown"},                  // NAA 3 carries none
        {"Unknown", -1, 0, "Unknown"},
        {"10000000", -1, 0, "Unknown"},                          // too short for digits 5-10
        {"50X0000000000001", -1, 0, "Unknown"},
    };
    for (const auto& r : rows) {
        std::uint32_t code = 99;
        char name[SIL_HBA_TEXT_LEN] = "Unknown";
        EXPECT_EQ(sil_findh_vendor_by_wwn(r.wwn, code, name, sizeof name), r.rc) << r.wwn;
        EXPECT_EQ(code, r.code) << r.wwn;
        EXPECT_STREQ(name, r.name) << r.wwn;
    }
    std::uint32_t code = 0;
    char cut[8] = "";
    EXPECT_EQ(sil_findh_vendor_by_wwn("5000000000000001", code, cut, sizeof cut), 0);
    EXPECT_STREQ(cut, "XEROX C");  // cut to the field
}

// ---- SIL_LookupTargetMapping ------------------------------------------------------------------------

T_SIL_HBA_TARGET_MAPPING_ENTRY entry(const char* name, std::uint32_t lun, const char* luid_hex, const char* target_port) {
    T_SIL_HBA_TARGET_MAPPING_ENTRY e{};
    std::strcpy(e.os_device_name, name);
    e.target = 1;
    e.lun = lun;
    wwn_bytes(luid_hex, e.luid);  // the first 8 of the LUN's 16 WWN bytes tell the LUNs here apart
    wwn_bytes(target_port, e.target_port_wwn);
    return e;
}

void map_port(T_SIL_HBA* h, std::vector<T_SIL_HBA_TARGET_MAPPING_ENTRY> entries) {
    auto* m = new T_SIL_HBA_TARGET_MAPPING{static_cast<std::uint32_t>(entries.size()),
                                           new T_SIL_HBA_TARGET_MAPPING_ENTRY[entries.size()]};
    std::copy(entries.begin(), entries.end(), m->entries);
    h->ports[0]->target_mapping = m;
}

std::string hex(const std::uint8_t (&bytes)[8]) {
    char text[17];
    sil_findh_hex_lower(bytes, 8, text, sizeof text);
    return text;
}

TEST(LookupTargetMapping, PrefersTheNameAndRefusesConflictingWwnMatches) {
    T_SIL_HBA* x = hba("X", "60B7D21000000100", 1, {"60B7D21000000101"});
    T_SIL_HBA* y = hba("Y", "60B7D21000000200", 1, {"60B7D21000000201"});
    map_port(x, {entry("\\\\.\\PHYSICALDRIVE1", 1, "60b7d21000001111", "60b7d210000a0001"),
                 entry("\\\\.\\PHYSICALDRIVE2", 2, "60b7d21000002222", "60b7d210000a0002")});
    map_port(y, {entry("\\\\.\\PHYSICALDRIVE9", 1, "60b7d21000001111", "60b7d210000b0001")});
    T_SIL_HBA_LIST list{new T_SIL_HBA*[2]{x, y}, 2};
    const struct {
        const char* name;
        const char* wwn;
        std::uint32_t lun;
        std::int32_t rc;
        const char* hba_port;
        const char* target_port;
    } rows[] = {
        {"\\\\.\\physicaldrive2", "60b7d21000001111", 1, 0, "60b7d21000000101", "60b7d210000a0002"},  // name beats WWN
        {"", "60b7d21000001111", 1, -1327, "0000000000000000", "0000000000000000"},  // found through X and Y
        {"\\\\.\\PHYSICALDRIVE7", "60b7d21000002222", 5, -1327, "0000000000000000", "0000000000000000"},  // B:T:L differ
        {"\\\\.\\PHYSICALDRIVE7", "60b7d21000002222", 2, 0, "60b7d21000000101", "60b7d210000a0002"},
        {"", "0000000000000000", 2, -112, "0000000000000000", "0000000000000000"},
    };
    for (const auto& r : rows) {
        T_SIL_HBA_TARGET_LOOKUP q{};
        std::strcpy(q.device_name, r.name);
        wwn_bytes(r.wwn, q.device_wwn);
        q.device_wwn_len = 16;
        q.target = 1;
        q.lun = r.lun;
        EXPECT_EQ(SIL_LookupTargetMapping(&list, &q), r.rc) << r.name << " " << r.wwn;
        EXPECT_EQ(hex(q.hba_port_wwn), r.hba_port) << r.name << " " << r.wwn;
        EXPECT_EQ(hex(q.target_port_wwn), r.target_port) << r.name << " " << r.wwn;
    }
    SIL_DestroyHBAList(&list);
    T_SIL_HBA_LIST empty{new T_SIL_HBA*[1]{}, 0};
    T_SIL_HBA_TARGET_LOOKUP q{};
    std::strcpy(q.device_name, "\\\\.\\PHYSICALDRIVE1");
    EXPECT_EQ(SIL_LookupTargetMapping(&empty, &q), -1327);
    SIL_DestroyHBAList(&empty);
}

// ---- the iSCSI list on simulated hosts ----------------------------------------------------------------

// The process's platform, whose registry, tools and host facts are those of the simulated host a
// test starts.
class SwitchedHost final : public testsupport::ForwardingPlatform {
public:
    SwitchedHost() : ForwardingPlatform(pds::platform()) {}
    std::unique_ptr<pds::Platform> sim;
    std::string_view name() const override { return "sim"; }
    std::optional<std::string> get_env(const char* n) override { return sim->get_env(n); }
    pds::HostIdentity host_identity() override { return sim->host_identity(); }
    pds::os_error registry_open_local_machine(const std::string& k, std::unique_ptr<pds::RegistryKey>& out) override {
        return sim->registry_open_local_machine(k, out);
    }
    pds::os_error locate_program(const std::string& f, std::string& path) override { return sim->locate_program(f, path); }
    pds::os_error run_tool(const std::string& c, std::string* out, int& status) override { return sim->run_tool(c, out, status); }
};

void on_host(const std::string& json) {
    static SwitchedHost* host = [] {
        auto owned = std::make_unique<SwitchedHost>();
        SwitchedHost* raw = owned.get();
        pds::install_platform_for_tests(std::move(owned));
        return raw;
    }();
    host->sim = testsupport::sim_host(json);
}

struct IscsiList {
    T_SIL_ISCSI_LIST list{};
    std::int32_t rc;
    explicit IscsiList(const std::string& host_json) {
        on_host(host_json);
        rc = SIL_CreateISCSIList(&list, nullptr, 0);
    }
    ~IscsiList() { SIL_DestroyISCSIList(&list); }
    std::string record() const {
        if (list.count != 1) return "count " + std::to_string(list.count);
        const T_SIL_ISCSI& i = *list.iscsis[0];
        return std::string(i.initiator_name) + "|" + i.vendor_name + "|" + i.iscsi_version + "|" + i.target_address;
    }
};

const std::string kIscsicli = R"("C:\\Windows\\system32\\iscsicli.exe": {"output":
    "\nMicrosoft iSCSI Initiator Version 10.0 Build 17763\n\n[iqn.1991-05.com.microsoft:simhost] Enter command or ^C to exit\n"})";
const std::string kClass = R"(SYSTEM\\ControlSet001\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318})";
const std::string kDiscovery = R"(SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\iSCSI\\Discovery)";

TEST(IscsiList, TheInitiatorFromTheRegistry) {
    IscsiList l(R"({"registry": {
        ")" + kDiscovery + R"(": {"DefaultInitiatorName": "iqn.1991-05.com.microsoft:drvhost"},
        ")" + kDiscovery + R"(\\Send Targets": {"192.0.2.10 0003260": "", "192.0.2.11 0000860": ""},
        ")" + kClass + R"(\\0000": {"ProviderName": "Other", "DriverVersion": "1.0"},
        ")" + kClass + R"(\\0001": {"ProviderName": "Drv iSCSI", "DriverVersion": "6.2.9200"},
        ")" + kClass + R"(\\0001\\PersistentTargets": {}}})");
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.record(), "iqn.1991-05.com.microsoft:drvhost|Drv iSCSI|6.2.9200|192.0.2.11:860");  // the last target read
}

TEST(IscsiList, AnAdapterDriverDescribesTheInitiatorAlone) {
    IscsiList l(R"({"registry": {
        "SYSTEM\\CurrentControlSet\\Services\\iscsi": {"DisplayName": "Drv iSCSI HBA"},
        "SYSTEM\\CurrentControlSet\\Services\\iscsi\\Parameters": {"InitiatorName": "iqn.2024-01.com.example:drv"},
        "SYSTEM\\CurrentControlSet\\Services\\iscsi\\Parameters\\TargetIp0": {"TargetIpAddress": "192.0.2.20"},
        ")" + kDiscovery + R"(": {"DefaultInitiatorName": "iqn.1991-05.com.microsoft:drvhost"}}})");
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.record(), "iqn.2024-01.com.example:drv|Drv iSCSI HBA|Unknown|192.0.2.20");
}

TEST(IscsiList, TheNameFromIscsicliWhenTheRegistryHasNone) {
    IscsiList l(R"({"tools": {)" + kIscsicli + "}}");
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.record(), "iqn.1991-05.com.microsoft:simhost|Unknown|Unknown|Unknown");
}

TEST(IscsiList, NoInitiatorAnywhere) {
    IscsiList missing(R"({})");
    EXPECT_EQ(missing.rc, -1301);
    EXPECT_EQ(missing.record(), "count 0");
    IscsiList nameless(R"({"tools": {"C:\\Windows\\system32\\iscsicli.exe": {"output": "no initiator [\n]\n"}}})");
    EXPECT_EQ(nameless.rc, -1320);
    EXPECT_EQ(nameless.record(), "count 0");
}

TEST(IscsiList, ARegistryRecordStaysWhenALaterKeyIsMissing) {
    IscsiList l(R"({"registry": {")" + kDiscovery + R"(\\Send Targets": {"192.0.2.10 3260": ""}}})");
    EXPECT_EQ(l.rc, -1301);  // no name in the registry, and no iscsicli.exe
    EXPECT_EQ(l.record(), "Unknown|Unknown|Unknown|192.0.2.10:3260");
}

}  // namespace
