// Capture and replay end to end: a run with SIL_SIM_CAPTURE writes its host, and the same arguments on that host print the same bytes.
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace {

using testsupport::EnvChange;
using testsupport::RunResult;

// The capture is taken with `host` answering (nullopt: the real provider of the build).
struct Pair {
    RunResult original;
    RunResult replay;
};

Pair capture_and_replay(const std::vector<std::string>& args, const std::optional<std::string>& host,
                        const std::string& file) {
    Pair p;
    p.original = testsupport::run_lunscan(args, {{"SIL_SIM_HOST", host}, {"SIL_SIM_CAPTURE", file}, {"SIL_SIM_CAPTURE_MASK", std::nullopt}});
    p.replay = testsupport::run_lunscan(args, {{"SIL_SIM_HOST", file}, {"SIL_SIM_CAPTURE", std::nullopt}});
    return p;
}

void expect_same(const Pair& p, const std::string& what) {
    EXPECT_EQ(p.original.out, p.replay.out) << what;
    EXPECT_EQ(p.original.err, p.replay.err) << what;
    EXPECT_EQ(p.original.status, p.replay.status) << what;
}

// Every report whose answers come through the seam or from the adapter libraries it loads.
TEST(Capture, DemoHostReplaysEveryReportByteForByte) {
    const std::vector<std::vector<std::string>> reports = {
        {}, {"-et"}, {"-ckd"}, {"-parent"}, {"-vantrel"}, {"-sid"}, {"-kor_wwn"}, {"-dravonis"}, {"-drav_wwn"},
        {"-showvol"}, {"-compat"}, {"-btl"}, {"-sw_wwn"}, {"-hds_wwn"}, {"-s80_wwn"}, {"-olvessa_wwn"},
        {"-shark_wwn"}, {"-compaq_wwn"}, {"-netapp_wwn"}, {"-wwn"}, {"-winvol"}, {"-iscsi"}, {"-no_filters"},
        {"-identifier", "device_name"}, {"-page0", "-dev", testsupport::physical_drive(2)},
        {"-pagec0", "-dev", testsupport::physical_drive(14)}, {"-f_xmv", "-sortkorv"}, {"-json"},
        {"-hba"}, {"-hba", "-snia"}, {"-hba", "-fibre"}, {"-hba", "-scsi"}, {"-mapinfo"}, {"-snia_test"},
        {"-snia_test", "hba_specific"}};
    const testsupport::Scratch scratch;
    for (const auto& args : reports) {
        const std::string what = args.empty() ? "(default)" : args[0];
        const Pair p = capture_and_replay(args, LUNSCAN_DEMO_HOST, scratch.path("demo.json"));
        ASSERT_FALSE(p.original.out.empty()) << what;
        expect_same(p, what);
    }
}

// The adapter hosts: libraries that fail to register, lack entry points or SM-HBA, stale port
// data, adapters that cannot be opened, mappings only the version-1 call gives.
TEST(Capture, AdapterLibrariesReplayAsTheyAnswered) {
    const testsupport::Scratch scratch;
    for (const char* host : {"adapters.json", "snia-vendors.json", "snia-no-smhba.json"}) {
        for (const std::vector<std::string>& args : {std::vector<std::string>{"-hba"}, {"-mapinfo"}, {"-snia_test"}}) {
            const Pair p = capture_and_replay(args, std::string(LUNSCAN_HBA_HOSTS) + host, scratch.path("hba.json"));
            ASSERT_FALSE(p.original.out.empty()) << host << " " << args[0];
            expect_same(p, std::string(host) + " " + args[0]);
        }
    }
}

#ifndef _WIN32
// The real linux provider of this machine, whatever disks it has (or none).
TEST(Capture, RealLinuxHostReplaysAsALinuxHost) {
    const testsupport::Scratch scratch;
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-winvol"}, {"-iscsi"}, {"-page0", "-dev", "/dev/sda"}}) {
        const Pair p = capture_and_replay(args, std::nullopt, scratch.path("linux.json"));
        expect_same(p, args.empty() ? "(default)" : args[0]);
        EXPECT_NE(testsupport::read_file(scratch.path("linux.json")).find("\"provider\": \"linux\""), std::string::npos);
    }
}
#else
// The real win32 provider: in the cross build's tests, Wine's own host.
TEST(Capture, RealWindowsHostReplaysAsAWindowsHost) {
    const testsupport::Scratch scratch;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"-all"}, {"-winvol"}, {"-iscsi"}, {"-page0", "-dev", testsupport::physical_drive(0)}}) {
        const Pair p = capture_and_replay(args, std::nullopt, scratch.path("windows.json"));
        expect_same(p, args.empty() ? "(default)" : args[0]);
        EXPECT_NE(testsupport::read_file(scratch.path("windows.json")).find("\"provider\": \"win32\""), std::string::npos);
    }
}
#endif

TEST(Capture, UnwritableFileIsOneLineAndKeepsTheExitStatus) {
    const testsupport::Scratch scratch;
    const std::string file = scratch.path("no-such-directory/c.json");
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-dev"}}) {
        const RunResult plain = testsupport::run_lunscan(args, {{"SIL_SIM_HOST", LUNSCAN_DEMO_HOST}, {"SIL_SIM_CAPTURE", std::nullopt}});
        const RunResult run = testsupport::run_lunscan(args, {{"SIL_SIM_HOST", LUNSCAN_DEMO_HOST}, {"SIL_SIM_CAPTURE", file}});
        EXPECT_EQ(run.status, plain.status);
        EXPECT_EQ(run.out, plain.out);
        const std::string line = "lunscan: capture file \"" + file + "\" (SIL_SIM_CAPTURE) cannot be written: ";
        ASSERT_EQ(run.err.substr(0, plain.err.size()), plain.err);
        const std::string extra = run.err.substr(plain.err.size());
        EXPECT_EQ(extra.rfind(line, 0), 0u) << extra;
        EXPECT_EQ(std::count(extra.begin(), extra.end(), '\n'), 1) << extra;
    }
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string without_run_facts(const std::string& file) {
    std::string kept;
    for (const std::string& line : testsupport::lines_of(file)) {
        const bool number = line.find_first_not_of(" 0123456789,") == std::string::npos;
        if (!number && line.find("\"process_id\"") == std::string::npos) kept += line + "\n";
    }
    return kept;
}

// The demo host is SANHOST01, its user Administrator, its first disk's serial 3QP0AB1C.
TEST(Capture, MaskingHidesTheHostConsistently) {
    const testsupport::Scratch scratch;
    const std::vector<EnvChange> masked = {{"SIL_SIM_HOST", LUNSCAN_DEMO_HOST}, {"SIL_SIM_CAPTURE_MASK", "1"}};
    std::vector<EnvChange> first = masked, second = masked;
    first.emplace_back("SIL_SIM_CAPTURE", scratch.path("a.json"));
    second.emplace_back("SIL_SIM_CAPTURE", scratch.path("b.json"));
    testsupport::run_lunscan({"-iscsi"}, first);
    testsupport::run_lunscan({"-iscsi"}, second);
    const std::string a = testsupport::read_file(scratch.path("a.json"));
    ASSERT_FALSE(a.empty());
    // The runs differ in their process id and clock; the rest is the same.
    EXPECT_EQ(without_run_facts(a), without_run_facts(testsupport::read_file(scratch.path("b.json"))));
    const std::size_t name_at = a.find("\"nodename\": \"") + 13;
    const std::string masked_name = a.substr(name_at, a.find('"', name_at) - name_at);
    EXPECT_EQ(masked_name.size(), 9u);
    EXPECT_NE(a.find("microsoft:" + lower(masked_name)), std::string::npos) << "the initiator name hides it the same way";
    EXPECT_EQ(lower(a).find("sanhost01"), std::string::npos);
    EXPECT_EQ(a.find("Administrator"), std::string::npos);

    // The adapter serial DRV30001 as the other serials: same length and kind of characters.
    testsupport::run_lunscan({"-hba"}, first);
    const std::string hba = testsupport::read_file(scratch.path("a.json"));
    const std::size_t serial_at = hba.find("\"serial_number\": \"") + 18;
    ASSERT_NE(serial_at, std::string::npos + 18);
    const std::string serial = hba.substr(serial_at, hba.find('"', serial_at) - serial_at);
    EXPECT_EQ(serial.size(), 8u);
    EXPECT_NE(serial, "DRV30001");
    EXPECT_EQ(std::count_if(serial.begin(), serial.end(), [](char c) { return std::isupper(static_cast<unsigned char>(c)); }), 3);
    EXPECT_EQ(hba.find("DRV30001"), std::string::npos);

    testsupport::run_lunscan({}, first);
    const RunResult original = testsupport::run_lunscan({}, {{"SIL_SIM_HOST", LUNSCAN_DEMO_HOST}});
    const RunResult replay = testsupport::run_lunscan({}, {{"SIL_SIM_HOST", scratch.path("a.json")}});
    EXPECT_NE(original.out.find(":3QP0AB1C   :"), std::string::npos);
    EXPECT_EQ(replay.out.find("3QP0AB1C"), std::string::npos);
    EXPECT_EQ(testsupport::lines_of(replay.out).size(), testsupport::lines_of(original.out).size());
}

}  // namespace
