// The real loading path of the SNIA HBA API libraries: lunscan loads the test vendor libraries (and, on Linux, Debian's common library) through the platform's own loader.
#include "run_program.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using testsupport::EnvChange;
using testsupport::Scratch;

// One adapter with one port and two target mappings; every variant of the library serves it.
const char* const kData = R"({"version": 2, "smhba_version": 1, "adapters": [
  {"name": "xmv-fc0", "manufacturer": "XMV", "serial_number": "DRV40001", "model": "XF-1602",
   "node_wwn": "60b7d21000004001", "driver_version": "4.1.2", "firmware_version": "2.10a3",
   "ports": [{"node_wwn": "60b7d21000004001", "port_wwn": "60b7d21000004011", "fcid": "0x010200", "type": 5, "state": 2,
     "supported_cos": 8, "supported_fc4_types": "00 00 01 20", "active_fc4_types": "00 00 01",
     "os_device_name": "/dev/host2", "supported_speed": 58, "speed": 16, "max_frame_size": 2048,
     "target_mappings": [
       {"os_device_name": "/dev/sdc", "target": 1, "port_wwn": "60b7d21000000a01", "luid": "01 03 00 08 60 b7 d2 10 00 00 01 23"},
       {"os_device_name": "/dev/sdd", "target": 1, "os_lun": 1, "port_wwn": "60b7d21000000a01", "fcp_lun": "0x0001000000000000"}]}]}]})";

// A file of the build as the test's own platform names it (a Windows build under Wine sees the
// build tree as drive Z:).
std::string native(std::string path) {
#ifdef _WIN32
    for (char& c : path)
        if (c == '/') c = '\\';
    if (!path.empty() && path[0] == '\\') path = "Z:" + path;
#endif
    return path;
}

// The vendor libraries named where lunscan looks for them: an hba.conf named by LUNSCAN_HBA_CONF
// on Linux, HKLM\SOFTWARE\SNIA\HBA of the Wine prefix on Windows (the tests take turns at it).
class Registered {
public:
    Registered(const Scratch& s, const std::vector<std::pair<std::string, std::string>>& libraries) {
        std::string conf = "# test vendor libraries\n";
        for (const auto& [vendor, path] : libraries) {
            conf += vendor + " " + path + "\n";
#ifdef _WIN32
            HKEY key = nullptr;
            EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\SNIA\\HBA\\" + vendor).c_str(), 0, nullptr, 0,
                                      KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr), ERROR_SUCCESS);
            EXPECT_EQ(RegSetValueExA(key, "LibraryFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                                     static_cast<DWORD>(path.size() + 1)), ERROR_SUCCESS);
            RegCloseKey(key);
#endif
        }
        env_ = {{"LUNSCAN_HBA_CONF", s.put("hba.conf", conf)},
                {"LUNSCAN_TEST_HBA_DATA", s.put("data.json", kData)},
                {"SIL_SNIA_USE_HBA_API_LIBRARY", "0"}};
    }
    ~Registered() {
#ifdef _WIN32
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\SNIA\\HBA");
#endif
    }
    const std::vector<EnvChange>& env() const { return env_; }

private:
    std::vector<EnvChange> env_;
};

std::string pad(const std::string& text, std::size_t width) { return text + std::string(width - text.size(), ' '); }
std::string dashes(std::size_t n) { return std::string(n, '-') + "\n"; }

std::string library_head(const std::string& vendor, const std::string& path, const std::string& smhba, int adapters) {
    return "\n" + dashes(80) + "\nLibrary Vendor ID : " + vendor + "\nLibrary Path      : " + path +
           "\nLibrary Type      : HBA Specific\nLibrary Status    : Initialized\n" + dashes(80) +
           "HBA Version       : 2\nSMHBA Version     : " + smhba + "\n# Supported HBAS  : " + std::to_string(adapters) + "\n";
}

std::string test_lines(const std::vector<std::string>& names, const std::string& last_outcome) {
    std::string out = "\n" + dashes(50) + "Testing HBA 1: xmv-fc0\n" + dashes(50);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string outcome = i + 1 < names.size() ? "PASSED" : last_outcome;
        out += pad(names[i], 30) + std::string(20 - outcome.size(), ' ') + outcome + "\n";
    }
    return out;
}

TEST(HbaVendorLibrary, SelfTestOfAFullAVersion1OnlyAndAnEmptyLibrary) {
    Scratch s;
    const std::string full = native(LUNSCAN_TEST_HBA), v1 = native(LUNSCAN_TEST_HBA_V1), empty = native(LUNSCAN_TEST_HBA_EMPTY);
    const Registered registered(s, {{"xmv-a-full", full}, {"xmv-b-v1only", v1}, {"xmv-c-empty", empty}});
    const auto run = testsupport::run_lunscan({"-snia_test", "hba_specific"}, registered.env(), s.dir());
    const std::vector<std::string> to_v2 = {"HBA_GetAdapterName", "HBA_OpenAdapter", "HBA_GetAdapterAttributes",
                                            "HBA_GetAdapterPortAttributes", "HBA_RefreshInformation",
                                            "HBA_GetFcpTargetMapping", "HBA_GetFcpTargetMappingV2"};
    std::vector<std::string> all = to_v2;
    all.insert(all.end(), {"SMHBA_GetTargetMapping", "HBA_CloseAdapter"});
    // The full library passes every test; the version-1 library has no version-2 mapping (which
    // ends its adapter's tests) and no SM-HBA; the empty one has no adapter to test.
    const std::string expected = "\n" + library_head("xmv-a-full", full, "1", 1) + test_lines(all, "PASSED") +
                                 library_head("xmv-b-v1only", v1, "SMHBA_GetVersion UNSUPPORTED", 1) +
                                 test_lines(to_v2, "UNSUPPORTED") + library_head("xmv-c-empty", empty, "1", 0) + "\n" +
                                 dashes(80) + "\nTotal # HBAs  : 1\nOVERALL STATUS: PASSED\n";
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST(HbaVendorLibrary, AdapterReportReadsStalePortDataAfterOneRefresh) {
    Scratch s;
    const Registered registered(s, {{"xmv-stale", native(LUNSCAN_TEST_HBA_STALE)}});
    const auto run = testsupport::run_lunscan({"-no_header", "-hba"}, registered.env(), s.dir());
    auto row = [](const std::string& label, const std::string& value) { return pad(label, 20) + pad(value, 40) + "\n"; };
    auto port_row = [](const std::string& label, const std::string& value) { return "    " + pad(label, 30) + pad(value, 40) + "\n"; };
    // The port is there only because its stale attributes were refreshed and read again. Speeds:
    // 16 is 8 Gbit; the supported 58 (32|16|8|2) reduces to 32, 16 Gbit. SNIA type 5 is NPORT,
    // state 2 ONLINE. The vendor code is the OUI of a type-6 WWN, digits 2 to 7.
    const std::string expected =
        "\n" + dashes(51) + row("HBA name: ", "xmv-fc0") + row("host WWN: ", "60B7D21000004001") +
        row("vendor name: ", "XMV") + row("model: ", "XF-1602") + row("firmware version: ", "2.10a3") +
        row("driver version: ", "4.1.2") + row("serial number: ", "DRV40001") + pad("vendor code: ", 20) + "0x" +
        pad("b7d21", 40) + "\n" + pad("HBA type: ", 20) + pad("Fibre Channel", 20) + "\n" + pad("port count: ", 20) + "1\n" +
        "    " + pad("\nport number:  ", 30) + "1\n" + port_row("node WWN: ", "60B7D21000004001") +
        port_row("port WWN: ", "60B7D21000004011") + port_row("Port OS name: ", "/dev/host2") +
        port_row("port type: ", "NPORT") + port_row("port speed: ", "8GBIT") + port_row("supported speed: ", "16GBIT") +
        "    " + pad("port state: ", 30) + "ONLINE\n" + "    " + pad("port FCID: ", 30) + "0x10200\n" + "    " +
        pad("port supported COS: ", 30) + "0x00000008\n" + "    " + pad("port supported FC4 types: ", 30) + "0x00000120" +
        std::string(56, '0') + "\n" + "    " + pad("port active FC4 types: ", 30) + "0x000001" + std::string(58, '0') +
        "\n" + "    " + pad("max frame size: ", 30) + "2048\n" + "\n\n";
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.status, 0);
}

#ifndef _WIN32
// Debian's common library (libhbaapi2) reads /etc/hba.conf, which names no library on a machine
// without adapters: it is loaded, and the host has no adapter to report.
TEST(HbaVendorLibrary, DebianCommonLibraryOnAHostWithoutAdapters) {
    Scratch s;
    const std::vector<EnvChange> env = {{"LUNSCAN_HBA_CONF", s.put("hba.conf", "# none\n")},
                                        {"SIL_SNIA_USE_HBA_API_LIBRARY", std::nullopt},
                                        {"SDEBUG", "ALL"},
                                        {"SDEBUG_FILE", s.path("trace.txt")}};
    const auto run = testsupport::run_lunscan({"-no_header", "-hba"}, env, s.dir());
    EXPECT_EQ(run.out, "\n\n");  // the run flow's "\n" goes to the trace file with the reports' stream
    EXPECT_EQ(run.status, 0);
    const std::string trace = testsupport::read_file(s.path("trace.txt"));
    EXPECT_NE(trace.find("Successfully dynamically loaded library /"), std::string::npos);
    EXPECT_NE(trace.find("libHBAAPI.so"), std::string::npos);
    EXPECT_NE(trace.find("Total number of HBAs supported: 0."), std::string::npos);
}
#endif

}  // namespace
