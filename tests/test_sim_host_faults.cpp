// Every fault of the simulated host file as one table: a host-file snippet and the one line that refuses it.
#include "pds/platform.h"
#include "support/sim_host_scratch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

namespace {

using testsupport::Scratch;
using testsupport::sim_fault;

// A snippet starting with '+' holds keys of one device, \\.\PHYSICALDRIVE1; '@' keys of a second
// device beside a plain \\.\PHYSICALDRIVE2; any other snippet is the whole file.
using FaultCase = std::pair<std::string, std::string>;  // snippet, fault

const std::string kLun = R"("personality": "korvalith_lun", "params": {"array_serial": "000187900456", "director": 1, "port": 0, "blocks": 100, )";
const std::string kDevFaultKinds = R"(must be one of "check_condition", "access_denied", "io_error", "short_transfer", "timeout", "scsi_status", "no_answer")";
const std::string kOpens = R"(must be one of "ok", "not_found", "sharing_violation", "access_denied", "sharing_violation_then_read_only")";
const std::string kClockShape = R"("clock" must be a local time "YYYY-MM-DD hh:mm:ss.mmm")";
const std::string kClockValue = R"("clock" is not a valid date and time from 1970 on)";
const std::string kRegValue = R"("registry.K.V" must be an integer from 0 to 4294967295 (REG_DWORD) or a string (REG_SZ))";
const std::string kKeyNames = "must be names of 1 to 255 characters separated by single backslashes";

const FaultCase kCases[] = {
    // the file itself and its syntax
    {"", "is empty"},
    {"{\n  \"host\": {\n    \"release\": \"1\",\n  }\n}", "line 4, column 3: syntax error while parsing object key - unexpected '}'; expected string literal"},
    {"{\"comment\": " + std::string(40, '[') + std::string(40, ']') + "}", "nesting deeper than 32 levels"},
    {"{\"a\\nb\": 1}", "unknown key \"['a?b']\""},  // control bytes never break the single line
    // types, ranges and keys of the host part
    {R"([])", "the top level must be an object"},
    {R"({"host": []})", R"("host" must be an object)"},
    {R"({"host": {"release": 10}})", R"("host.release" must be a string)"},
    {R"({"host": {"vm_guest": "xen"}})", R"("host.vm_guest" must be "", "vmware" or "hyperv")"},
    {R"({"user": 0})", R"("user" must be a string or null)"},
    {R"({"held_mutexes": "KorvSharedMemory"})", R"("held_mutexes" must be an array of mutex names)"},
    {R"({"held_mutexes": ["Global\\KorvSharedMemory"]})", R"("held_mutexes[0]" is not a valid object name)"},
    {R"({"environment": {"SDEBUG": 1}})", R"("environment.SDEBUG" must be a string or null)"},
    {R"({"process_id": 0})", R"("process_id" must be an integer from 1 to 4294967295)"},
    {R"({"host": {"os_type": -1}})", R"("host.os_type" must be an integer from 0 to 4294967295)"},
    {R"({"host": {"os_type": "0x123456789"}})", R"("host.os_type" must be an integer or "0x" and 1 to 8 hex digits)"},
    {R"({"tools": {"iscsicli -x": {"exit_status": "1"}}})", R"("tools['iscsicli -x'].exit_status" must be an integer from -2147483648 to 2147483647)"},
    {R"({"tools": {"iscsicli": "text"}})", R"("tools.iscsicli" must be an object)"},
    {R"({"hots": {}})", R"(unknown key "hots")"},
    {R"({"host": {"sysnme": "x"}})", R"(unknown key "host.sysnme")"},
    {R"({"tools": {"a": {"status": 1}}})", R"(unknown key "tools.a.status")"},
    {R"({"user": "a", "user": "b"})", R"(duplicate key "user")"},
    {R"({"environment": {"X Y": "1", "X Y": "2"}})", R"(duplicate key "environment['X Y']")"},
    {"{\"host\": {\"nodename\": \"" + std::string(257, 'N') + "\"}}", R"("host.nodename" is longer than 256 bytes)"},
    {R"({"user": "ro\u0000ot"})", R"("user" must not contain a NUL character)"},
    {R"({"environment": {"A=B": "1"}})", R"(environment variable name "environment['A=B']" must be 1 to 256 bytes without "=" or NUL)"},
    {R"({"tools": {"": {}}})", R"(command line "tools['']" must be 1 to 8191 bytes without NUL)"},
    {R"({"clock": "2026-02-28 23:59:58"})", kClockShape},
    {R"({"clock": "2025-02-29 00:00:00.000"})", kClockValue},
    {R"({"clock": "1969-12-31 23:59:59.999"})", kClockValue},
    // devices: hex bytes and files
    {R"(+"inquiry": "00 12 345")", R"("devices[0].inquiry" has an odd number of hex digits in "345")"},
    {R"(+"inquiry": "00 1g")", R"("devices[0].inquiry" has "g", which is not a hex digit)"},
    {R"(+"vpd": {"80": ["00 80", "00 0"]})", R"("devices[0].vpd['80'][1]" has an odd number of hex digits in "0")"},
    {R"(+"inquiry": 12)", R"("devices[0].inquiry" must be hex text, an array of hex texts or {"file": name})"},
    {R"(+"blocks": {"0": ")" + std::string(1026, '0') + "\"}", R"("devices[0].blocks['0']" holds more than 512 bytes)"},
    {R"(+"inquiry": {"file": "bad.hex"})", R"("devices[0].inquiry.file": "bad.hex" line 4 has an odd number of hex digits in "5")"},
    {R"(+"inquiry": {"file": "none.hex"})", R"("devices[0].inquiry.file": "none.hex" cannot be opened: No such file or directory)"},
#ifndef _WIN32
    {R"(+"inquiry": {"file": "/dev/zero"})", R"("devices[0].inquiry.file": "/dev/zero" is not a regular file)"},
#endif
    // devices: faults, opens, names and structure
    {R"(+"faults": [{"kind": "power_failure"}])", R"("devices[0].faults[0].kind" )" + kDevFaultKinds},
    {R"(+"faults": [{"kind": "check_condition"}])", R"("devices[0].faults[0].sense" is missing)"},
    {R"(+"faults": [{"kind": "timeout", "bytes": 3}])", R"("devices[0].faults[0].bytes" is only for kind "short_transfer")"},
    {R"(+"faults": [{"kind": "timeout", "cdb": ""}])", R"("devices[0].faults[0].cdb" must hold 1 to 16 bytes)"},
    {R"(+"faults": [{"kind": "timeout", "times": -1}])", R"("devices[0].faults[0].times" must be an integer from 0 to 4294967295)"},
    // latency and time-outs
    {R"({"latency": {"pass_through_us": 10000001}})", R"("latency.pass_through_us" must be an integer from 0 to 10000000)"},
    {R"({"latency": {"read_us": 1}})", R"(unknown key "latency.read_us")"},
    {R"(+"latency": {"open_us": 1.5})", R"("devices[0].latency.open_us" must be an integer from 0 to 10000000)"},
    {R"({"timeout_scale": 0})", R"("timeout_scale" must be a number above 0 and at most 1)"},
    {R"(+"open": "busy")", R"("devices[0].open" )" + kOpens},
    {R"(+"blocks": {"-1": "00"})", R"("devices[0].blocks['-1']" must be named by its LBA, a decimal number from 0 to 4294967295)"},
    {R"(+"vpd": {"80": "00", "080": "00"})", R"("devices[0].vpd['080']" must be named by a page code of one or two hex digits, 00 to FF)"},
    {R"(+"vpd": {"f6": "00", "F6": "00"})", R"("devices[0].vpd.f6" names a page given already)"},
    {R"(+"mode_pages": {"3F": "00"})", R"("devices[0].mode_pages['3F']" must be named by a page code of one or two hex digits, 00 to 3E)"},
    {R"(+"address": {"port": 1, "path_id": 0, "lun": 0})", R"("devices[0].address.target_id" is missing)"},
    {R"(+"inqiury": "")", R"(unknown key "devices[0].inqiury")"},
    {R"({"devices": [{"inquiry": "00"}]})", R"("devices[0].path" is missing)"},
    {R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE1"}, {"path": "\\\\.\\physicaldrive1"}]})", R"("devices[1].path" repeats the path of "devices[0]")"},
    {R"({"devices": {}})", R"("devices" must be an array)"},
    // devices: personalities
    {"+" + kLun + R"("microcode": "5567", "device_number": "1000"})", R"("devices[0].params.device_number" must be at most FFF with microcode 5567)"},
    {"+" + kLun + R"("microcode": "5874", "device_number": "123456"})", R"("devices[0].params.device_number" must be 1 to 5 hex digits)"},
    {"+" + kLun + R"("microcode": "58x4", "device_number": "1"})", R"("devices[0].params.microcode" must be four hex digits ("5874"))"},
    {"+" + kLun + R"("microcode": "5874", "device_number": "1", "flags": ["bcv", "gold"]})", R"("devices[0].params.flags[1]" must be one of "ckd", "bcv", "write_protected", "meta", "rpx_r1", "rpx_r2", "raid5", "raid6", "mirrored", "fibre", "spoofed", "vraid")"},
    {"+" + kLun + R"("microcode": "5874", "device_number": "1", "ckd_label": "vol1"})", R"("devices[0].params.ckd_label" must be at most 6 characters from A-Z, 0-9, blank and # @ $ - .)"},
    {R"(+"personality": "generic_disk", "params": {"vendor": "A", "product": "B", "blocks": 1})", R"("devices[0].params.serial" is missing)"},
    {R"(+"params": {})", R"("devices[0].params" needs a "personality")"},
    // disk interfaces
    {R"(+"interfaces": "x")", R"("devices[0].interfaces" must be an array)"},
    {R"(+"interfaces": [5])", R"("devices[0].interfaces[0]" must be an interface path or an object with "path" and "open")"},
    {R"(+"interfaces": [{"open": "ok"}])", R"("devices[0].interfaces[0].path" is missing)"},
    {R"(+"interfaces": [""])", R"("devices[0].interfaces[0]" must not be empty)"},
    {R"(+"interfaces": [{"path": "I", "open": "maybe"}])", R"("devices[0].interfaces[0].open" )" + kOpens},
    {R"(+"interfaces": [{"path": "I", "label": "x"}])", R"(unknown key "devices[0].interfaces[0].label")"},
    {R"(+"interfaces": ["1","2","3","4","5","6","7","8","9","10","11","12","13","14","15","16","17"])", R"("devices[0].interfaces" holds more than 16 interfaces)"},
    // one path names one thing
    {R"({"devices": [{"path": "A", "interfaces": ["\\\\?\\x"]}, {"path": "B", "interfaces": ["\\\\?\\X"]}]})", R"("devices[1].interfaces[0]" repeats the path of "devices[0].interfaces[0]")"},
    {R"({"devices": [{"path": "A", "interfaces": ["I", "i"]}]})", R"("devices[0].interfaces[1]" repeats the path of "devices[0].interfaces[0]")"},
    {R"({"devices": [{"path": "A", "interfaces": ["\\\\.\\physicaldrive1"]}, {"path": "\\\\.\\PHYSICALDRIVE1"}]})", R"("devices[0].interfaces[0]" repeats the path of "devices[1]")"},
    {R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE0"}, {"path": "B", "interfaces": ["\\\\?\\scsi#disk&ven_&prod_#5&53494d&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"]}]})", R"("devices[1].interfaces[0]" repeats the path of the interface generated for "devices[0]")"},
    {R"({"devices": [{"path": "\\\\.\\C:"}], "volumes": [{"root": "C:\\", "device": "\\\\.\\c:"}]})", R"("volumes[0]" repeats the path of "devices[0]")"},
    // pseudo devices of the multipathing driver
    {R"(@"path": "S", "fronts": ["\\\\.\\PHYSICALDRIVE2"], "inquiry": "00")", R"("devices[1].inquiry" cannot stand beside "fronts": a pseudo device answers as the device it fronts)"},
    {R"(@"path": "S", "fronts": ["\\\\.\\PHYSICALDRIVE2"], "interfaces": [])", R"("devices[1].interfaces" cannot stand beside "fronts": a pseudo device answers as the device it fronts)"},
    {R"(@"path": "S", "fronts": [])", R"("devices[1].fronts" must be an array of 1 to 32 device paths)"},
    {R"(@"path": "S", "fronts": "\\\\.\\PHYSICALDRIVE2")", R"("devices[1].fronts" must be an array of 1 to 32 device paths)"},
    {R"(@"path": "S", "fronts": ["\\\\.\\PHYSICALDRIVE2", "\\\\.\\PHYSICALDRIVE9"])", R"("devices[1].fronts[1]" names no device of the file)"},
    {R"(@"path": "S", "fronts": ["s"])", R"("devices[1].fronts[0]" names the pseudo device itself)"},
    {R"({"devices": [{"path": "T", "fronts": ["S"]}, {"path": "S", "fronts": ["D"]}, {"path": "D"}]})", R"("devices[0].fronts[0]" names another pseudo device)"},
    // volumes
    {R"({"volumes": {}})", R"("volumes" must be an array)"},
    {R"({"volumes": [{"type": "fixed"}]})", R"("volumes[0].root" is missing)"},
    {R"({"volumes": [{"root": "C:"}]})", R"("volumes[0].root" must be a drive letter, a colon and a backslash ("C:\"))"},
    {R"({"volumes": [{"root": "C:\\"}, {"root": "c:\\"}]})", R"("volumes[1].root" repeats the drive of "volumes[0]")"},
    {R"({"volumes": [{"root": "C:\\", "type": "floppy"}]})", R"("volumes[0].type" must be one of "fixed", "removable", "cdrom", "remote", "ramdisk")"},
    {R"({"volumes": [{"root": "C:\\", "device": "\\\\.\\PHYSICALDRIVE0"}]})", R"("volumes[0].device" names no device of the file)"},
    {R"({"volumes": [{"root": "C:\\", "size_kb": 1}]})", R"("volumes[0].size_kb" needs a "device")"},
    {R"({"volumes": [{"root": "C:\\", "open": "ok"}]})", R"("volumes[0].open" needs a "device")"},
    {R"({"devices": [{"path": "D"}], "volumes": [{"root": "C:\\", "device": "D", "size_kb": 1, "partition_length": 1024}]})", R"("volumes[0]" may give "size_kb" or "partition_length", not both)"},
    {R"({"devices": [{"path": "D"}], "volumes": [{"root": "C:\\", "device": "D", "size_kb": -1}]})", R"("volumes[0].size_kb" must be an integer from 0 to 9007199254740991)"},
    {R"({"volumes": [{"root": "C:\\", "label": "SYSTEM"}]})", R"(unknown key "volumes[0].label")"},
    // registry
    {R"({"registry": []})", R"("registry" must be an object)"},
    {R"({"registry": {"A\\\\B": {}}})", R"(registry key "registry['A\\B']" )" + kKeyNames},
    {R"({"registry": {"SOFTWARE\\": {}}})", R"(registry key "registry['SOFTWARE\']" )" + kKeyNames},
    {R"({"registry": {"A\\)" + std::string(256, 'n') + R"(": {}}})", "registry key \"registry['A\\" + std::string(62, 'n') + "...']\" " + kKeyNames},
    {R"({"registry": {"SOFTWARE\\XMV": {}, "software\\xmv": {}}})", R"("registry['software\xmv']" repeats an earlier key (key names ignore case))"},
    {R"({"registry": {"K": 5}})", R"("registry.K" must be an object)"},
    {R"({"registry": {"K": {"Port": 1, "PORT": 2}}})", R"("registry.K.Port" repeats an earlier value name (value names ignore case))"},
    {R"({"registry": {"K": {"V": -1}}})", kRegValue},
    {R"({"registry": {"K": {"V": 1.0}}})", kRegValue},
    // SNIA HBA API libraries
    {R"({"hba_libraries": []})", R"("hba_libraries" must be an object)"},
    {R"({"hba_libraries": {"a": {}, "A": {}}})", R"(library path "hba_libraries.a" differs from "A" only in case)"},
    {R"({"hba_libraries": {"a.dll": {"adapters": [{"ports": []}]}}})", R"(missing key "hba_libraries['a.dll'].adapters[0].name")"},
    {R"({"hba_libraries": {"x": {"adapters": [{"name": "a", "node_wwn": "60:b7:d2:10"}]}}})", R"("hba_libraries.x.adapters[0].node_wwn" must be a WWN of 8 bytes (16 hex digits))"},
    {R"({"hba_libraries": {"x": {"adapters": [{"name": "a", "node_wwn": "60b7d2100000000g"}]}}})", R"("hba_libraries.x.adapters[0].node_wwn" must be hex digit pairs (at most 8 bytes), optionally separated by ':' or blanks)"},
    {R"({"hba_libraries": {"x": {"adapters": [{"name": "a", "serial_number": ")" + std::string(65, 'S') + R"("}]}}})", R"("hba_libraries.x.adapters[0].serial_number" is longer than 64 bytes)"},
    {R"({"hba_libraries": {"x": {"missing": ["HBA_Foo"]}}})", R"("hba_libraries.x.missing[0]" is not an entry point of the SNIA HBA API a library is asked for ("HBA_Foo"))"},
    {R"({"hba_libraries": {"x": {"status": {"HBA_OpenAdapter": 1}}}})", R"("hba_libraries.x.status.HBA_OpenAdapter": HBA_OpenAdapter answers no status)"},
    {R"({"hba_libraries": {"x": {"adapters": [{"name": "a", "ports": [{"target_mappings": [{"fcp_lun": "0x1FFFFFFFFFFFFFFFF"}]}]}]}}})", R"("hba_libraries.x.adapters[0].ports[0].target_mappings[0].fcp_lun" must be an integer from 0 to 18446744073709551615 or "0x" and 1 to 16 hex digits)"},
    {R"({"hba_libraries": {"x": {"resolved": "y"}}})", R"(unknown key "hba_libraries.x.resolved")"},
};

// The file a snippet stands for.
std::string host_file(const std::string& snippet) {
    if (!snippet.empty() && snippet[0] == '+') return R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE1", )" + snippet.substr(1) + "}]}";
    if (!snippet.empty() && snippet[0] == '@') return R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE2"}, {)" + snippet.substr(1) + "}]}";
    return snippet;
}

// Repeats `item` n times, comma-separated: the entries of a list one too long.
std::string repeated(const std::string& item, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? ", " : "") + item;
    return out;
}

TEST(SimHostFaults, EachFaultIsOneLineNamingThePlaceAndTheRule) {
    Scratch s;
    s.put("bad.hex", "# standard page\n00 00 05 02\n# vendor\n58 4D 5\n");
    for (const auto& [json, fault] : kCases) EXPECT_EQ(sim_fault(host_file(json), s), fault) << json.substr(0, 100);
    EXPECT_EQ(sim_fault(R"({"volumes": [)" + repeated(R"({"root": "C:\\"})", 27) + "]}", s), R"("volumes" holds more than 26 volumes)");
    EXPECT_EQ(sim_fault(R"({"devices": [)" + repeated("{}", 65537) + "]}", s), R"("devices" holds more than 65536 devices)");
    // Text after the document is a fault too, not silently ignored.
    EXPECT_EQ(sim_fault("{\"user\": \"x\"} trailing", s).rfind("line 1, column 17: syntax error", 0), 0u);
}

TEST(SimHostFaults, TheFileItselfCannotBeHad) {
    Scratch s;
    std::string error;
    EXPECT_EQ(pds::make_sim_platform(s.path("none.json"), error), nullptr);
    EXPECT_EQ(error, "simulated host file \"" + s.path("none.json") + "\": cannot be opened: No such file or directory");
    // Refused by its size before a byte is read (the file is sparse).
    const std::string big = s.put("big.json", "{}");
    std::filesystem::resize_file(big, (std::uintmax_t{256} << 20) + 1);
    EXPECT_EQ(pds::make_sim_platform(big, error), nullptr);
    EXPECT_EQ(error, "simulated host file \"" + big + "\": is larger than 268435456 bytes");
}

}  // namespace
