// Tests of the simulated host's SNIA HBA API libraries through the seam: loading, exports, tables, and the published call protocols.
#include "pds/platform.h"
#include "sil/hbaapi_types.h"
#include "support/sim_host_scratch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using testsupport::sim_host;

// A common library with one adapter of two ports (three mappings on the first), and a vendor
// library exporting only HBA_RegisterLibrary whose data is stale until refreshed.
const char* const kHost = R"({"hba_libraries": {
  "HBAAPI.DLL": {"resolved_path": "C:\\Windows\\System32\\HBAAPI.DLL", "smhba_version": 1, "adapters": [
    {"name": "xmv-hba0", "manufacturer": "MMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMM",
     "serial_number": "DRV0001", "node_wwn": "60:b7:d2:10:00:00:00:01", "ports": [
      {"port_wwn": "60B7D21000000011", "fabric_name": "60B7D210000000F0", "speed": "0x8000", "type": 5,
       "target_mappings": [
        {"os_device_name": "\\\\.\\PHYSICALDRIVE1", "os_lun": 1, "port_wwn": "60B7D21000000A01", "fcp_lun": "0x0001000000000000", "luid": "01 03 00 08"},
        {"os_device_name": "\\\\.\\PHYSICALDRIVE2", "os_lun": 2, "fcp_lun": 2},
        {"os_device_name": "\\\\.\\PHYSICALDRIVE3", "os_lun": 3, "fcp_lun": 3}]},
      {"port_wwn": "60B7D21000000012", "target_mappings": [{"os_device_name": "\\\\.\\PHYSICALDRIVE4"}]}]}]},
  "C:\\HBA\\xmvvendor.dll": {"version": 1, "stale_data_once": true, "missing": ["HBA_RegisterLibraryV2", "HBA_GetFcpTargetMapping"],
    "status": {"HBA_GetAdapterAttributes": 2}, "adapters": [{"name": "v0", "ports": [{}]}, {"name": "v1", "open_fails": true}]}
}})";

template <typename F>
F fn(pds::Module& module, const char* name) {
    return reinterpret_cast<F>(module.symbol(name));
}

std::unique_ptr<pds::Module> load(pds::Platform& host, const std::string& path, std::string* resolved = nullptr) {
    std::unique_ptr<pds::Module> module;
    std::string where, message;
    EXPECT_EQ(host.load_module(path, module, where, message), 0u) << path;
    if (resolved != nullptr) *resolved = where;
    return module;
}

TEST(SimHba, CommonLibraryExportsItsEntryPointsByName) {
    auto host = sim_host(kHost);
    std::string resolved;
    auto lib = load(*host, "hbaapi.dll", &resolved);  // names compare without regard to case
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(resolved, "C:\\Windows\\System32\\HBAAPI.DLL");
    EXPECT_EQ(lib->symbol("HBA_RegisterLibrary"), nullptr);  // registration is the vendor libraries' way
    EXPECT_EQ(fn<HBAGetVersionFunc>(*lib, "HBA_GetVersion")(), 2u);
    EXPECT_EQ(fn<SMHBAGetVersionFunc>(*lib, "SMHBA_GetVersion")(), 1u);
    EXPECT_EQ(fn<HBAGetNumberOfAdaptersFunc>(*lib, "HBA_GetNumberOfAdapters")(), 1u);
    char name[256] = {};
    EXPECT_EQ(fn<HBAGetAdapterNameFunc>(*lib, "HBA_GetAdapterName")(0, name), 0u);
    EXPECT_STREQ(name, "xmv-hba0");
    EXPECT_EQ(fn<HBAGetAdapterNameFunc>(*lib, "HBA_GetAdapterName")(1, name), 6u);  // ILLEGAL_INDEX
    const HBA_HANDLE h = fn<HBAOpenAdapterFunc>(*lib, "HBA_OpenAdapter")(name);
    ASSERT_NE(h, 0u);

    HBA_ADAPTERATTRIBUTES a{};
    EXPECT_EQ(fn<HBAGetAdapterAttributesFunc>(*lib, "HBA_GetAdapterAttributes")(h, &a), 0u);
    EXPECT_EQ(std::string(a.Manufacturer, 64), std::string(64, 'M'));  // a full field has no NUL
    EXPECT_STREQ(a.SerialNumber, "DRV0001");
    EXPECT_EQ(a.NodeWWN.wwn[0], 0x60);
    EXPECT_EQ(a.NodeWWN.wwn[7], 0x01);
    EXPECT_EQ(a.NumberOfPorts, 2u);
    HBA_PORTATTRIBUTES p{};
    EXPECT_EQ(fn<HBAGetAdapterPortAttributesFunc>(*lib, "HBA_GetAdapterPortAttributes")(h, 0, &p), 0u);
    EXPECT_EQ(p.PortSpeed, 0x8000u);
    EXPECT_EQ(p.PortType, 5u);
    EXPECT_EQ(p.PortWWN.wwn[7], 0x11);
    EXPECT_EQ(fn<HBAGetAdapterPortAttributesFunc>(*lib, "HBA_GetAdapterPortAttributes")(h, 2, &p), 6u);
    fn<HBACloseAdapterFunc>(*lib, "HBA_CloseAdapter")(h);
    EXPECT_EQ(fn<HBAGetAdapterAttributesFunc>(*lib, "HBA_GetAdapterAttributes")(h, &a), 3u);  // INVALID_HANDLE

    std::unique_ptr<pds::Module> none;
    std::string resolved_none, message;
    EXPECT_EQ(host->load_module("qlsdm.dll", none, resolved_none, message), 126u);
    EXPECT_EQ(none, nullptr);
}

TEST(SimHba, MappingsFollowTheNumberOfEntriesProtocol) {
    auto host = sim_host(kHost);
    auto lib = load(*host, "HBAAPI.DLL");
    char name[] = "xmv-hba0";
    const HBA_HANDLE h = fn<HBAOpenAdapterFunc>(*lib, "HBA_OpenAdapter")(name);
    HBA_WWN port{};
    const std::uint8_t port_wwn[8] = {0x60, 0xB7, 0xD2, 0x10, 0, 0, 0, 0x11};
    std::memcpy(port.wwn, port_wwn, 8);
    // Room for one of the port's three entries: the first, the count, and MORE_DATA.
    std::vector<std::uint8_t> room(sizeof(HBA_FCPTARGETMAPPINGV2) + 2 * sizeof(HBA_FCPSCSIENTRYV2));
    auto* v2 = reinterpret_cast<HBA_FCPTARGETMAPPINGV2*>(room.data());
    v2->NumberOfEntries = 1;
    const auto get_v2 = fn<HBAGetFcpTargetMappingV2Func>(*lib, "HBA_GetFcpTargetMappingV2");
    EXPECT_EQ(get_v2(h, port, v2), 7u);
    EXPECT_EQ(v2->NumberOfEntries, 3u);
    EXPECT_STREQ(v2->entry[0].ScsiId.OSDeviceName, "\\\\.\\PHYSICALDRIVE1");
    EXPECT_EQ(v2->entry[0].FcpId.FcpLun, 0x0001000000000000u);
    EXPECT_EQ(std::memcmp(v2->entry[0].LUID.buffer, "\x01\x03\x00\x08\x00", 5), 0);
    EXPECT_EQ(get_v2(h, port, v2), 0u);  // NumberOfEntries now says 3
    EXPECT_EQ(reinterpret_cast<HBA_FCPSCSIENTRYV2*>(&v2->entry[0])[2].ScsiId.ScsiOSLun, 3u);
    // The version-1 call answers every port's mappings.
    auto* v1 = reinterpret_cast<HBA_FCPTARGETMAPPING*>(room.data());
    v1->NumberOfEntries = 0;
    EXPECT_EQ(fn<HBAGetFcpTargetMappingFunc>(*lib, "HBA_GetFcpTargetMapping")(h, v1), 7u);
    EXPECT_EQ(v1->NumberOfEntries, 4u);
    auto* sm = reinterpret_cast<SMHBA_TARGETMAPPING*>(room.data());
    sm->NumberOfEntries = 1;
    const auto get_sm = fn<SMHBAGetTargetMappingFunc>(*lib, "SMHBA_GetTargetMapping");
    EXPECT_EQ(get_sm(h, port, HBA_WWN{}, sm), 7u);
    EXPECT_EQ(sm->entry[0].PortLun.TargetLun, 0x0001000000000000u);
    EXPECT_EQ(sm->entry[0].PortLun.PortWWN.wwn[7], 0x01);
    EXPECT_EQ(sm->entry[0].PortLun.domainPortWWN.wwn[7], 0xF0);
    port.wwn[7] = 0x13;
    EXPECT_EQ(get_sm(h, port, HBA_WWN{}, sm), 5u);  // ILLEGAL_WWN
}

TEST(SimHba, VendorLibraryRegistersItsTableWithItsGapsAndPinnedStatuses) {
    auto host = sim_host(kHost);
    auto lib = load(*host, "c:\\hba\\XMVVENDOR.DLL");
    EXPECT_EQ(lib->symbol("HBA_RegisterLibraryV2"), nullptr);
    EXPECT_EQ(lib->symbol("SMHBA_RegisterLibrary"), nullptr);  // no SM-HBA version
    EXPECT_EQ(lib->symbol("HBA_GetVersion"), nullptr);
    HBA_ENTRYPOINTS t{};
    ASSERT_EQ(fn<HBARegisterLibraryFunc>(*lib, "HBA_RegisterLibrary")(&t), 0u);
    EXPECT_EQ(t.GetFcpTargetMappingHandler, nullptr);
    EXPECT_EQ(t.GetVersionHandler(), 1u);
    EXPECT_EQ(t.LoadLibraryHandler(), 0u);
    char v1[] = "v1", v0[] = "v0";
    EXPECT_EQ(t.OpenAdapterHandler(v1), 0u);
    const HBA_HANDLE h = t.OpenAdapterHandler(v0);
    HBA_ADAPTERATTRIBUTES a{};
    EXPECT_EQ(t.GetAdapterAttributesHandler(h, &a), 2u);
    HBA_PORTATTRIBUTES p{};
    EXPECT_EQ(t.GetAdapterPortAttributesHandler(h, 0, &p), 8u);  // STALE_DATA until refreshed
    EXPECT_EQ(t.GetAdapterPortAttributesHandler(h, 0, &p), 8u);
    t.RefreshInformationHandler(h);
    EXPECT_EQ(t.GetAdapterPortAttributesHandler(h, 0, &p), 0u);
}

}  // namespace
