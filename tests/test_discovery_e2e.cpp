// End to end: lunscan builds its device list on simulated hosts; checked through its output, status dots and CDB log.
#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_program.h"

namespace {

std::string data_dir() {
    const char* over = std::getenv("LUNSCAN_DISCOVERY_DATA");
    return over != nullptr && *over != '\0' ? over : LUNSCAN_DISCOVERY_DATA;
}

std::string drive(int n) { return testsupport::physical_drive(n); }

using testsupport::lines_of;

struct LunscanRun {
    testsupport::RunResult result;
    std::vector<std::string> log;  // the simulated host's CDB log

    // The devices SCSI commands went to, once each, in the order of their first command.
    std::vector<std::string> commanded() const {
        std::vector<std::string> out;
        for (const std::string& line : log) {
            if (line.empty() || line[0] == '#') continue;
            const std::string path = line.substr(0, line.find(' '));
            if (std::find(out.begin(), out.end(), path) == out.end()) out.push_back(path);
        }
        return out;
    }
    // INQUIRY commands (standard page) sent to `path`.
    int inquiries(const std::string& path) const {
        return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& l) {
            return l.rfind(path + " in ", 0) == 0 && l.find(" 12 00 00 ") != std::string::npos;
        }));
    }
    bool out_has(const std::string& text) const { return result.out.find(text) != std::string::npos; }
};

LunscanRun lunscan(const std::string& host, std::vector<std::string> args) {
    const std::string dir = testsupport::make_temp_dir("discovery");
    const std::string log = dir + "/cdb.log";
    LunscanRun run;
    run.result = testsupport::run_lunscan(args, {{"SIL_SIM_HOST", data_dir() + "/" + host},
                                                 {"SIL_SIM_LOG", log},
                                                 {"SDEBUG", std::nullopt},
                                                 {"SDEBUG_FILE", std::nullopt},
                                                 {"SDEBUG_FUNCTION_TRIGGER", std::nullopt},
                                                 {"KORAPI_SILSOCK_FILENAME", std::nullopt},
                                                 {"XMV_INQ_ALL_DEVICES", std::nullopt}});
    run.log = lines_of(testsupport::read_text_file(log));
    return run;
}

// Where each name first shows in the report; npos when it does not.
std::vector<std::size_t> positions(const std::string& out, const std::vector<std::string>& names) {
    std::vector<std::size_t> at;
    for (const std::string& n : names) at.push_back(out.find(n + " "));
    return at;
}

TEST(DiscoveryEndToEnd, DisksAreReportedInNaturalOrderAndOpenedOnceEach) {
    const LunscanRun run = lunscan("three-disks.json", {"-no_header"});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    // The gather runs in scan order, one device after the other, before the list is sorted.
    EXPECT_EQ(run.commanded(), (std::vector<std::string>{drive(10), drive(0), drive(1)}));
    for (int n : {0, 1, 10}) EXPECT_EQ(run.inquiries(drive(n)), 1) << drive(n);
    const std::vector<std::size_t> at = positions(run.result.out, {drive(0), drive(1), drive(10)});
    for (std::size_t p : at) ASSERT_NE(p, std::string::npos) << run.result.out;
    EXPECT_LT(at[0], at[1]);
    EXPECT_LT(at[1], at[2]);
    // One status dot per device, on standard error only.
    EXPECT_EQ(run.result.err, "...");
    EXPECT_EQ(run.result.out.find("..."), std::string::npos);
}

TEST(DiscoveryEndToEnd, NoDotsWithoutThemAndNothingOpenedForANameOnlyList) {
    const LunscanRun quiet = lunscan("three-disks.json", {"-no_header", "-no_dots"});
    EXPECT_EQ(quiet.result.err, "");
    EXPECT_EQ(quiet.commanded().size(), 3u);

    const LunscanRun names_only = lunscan("three-disks.json", {"-no_header", "-skipboth"});
    ASSERT_EQ(names_only.result.status, 0);
    EXPECT_TRUE(names_only.commanded().empty());
    EXPECT_EQ(names_only.result.err, "");
}

TEST(DiscoveryEndToEnd, OneDriveOnTwoInterfacesOnceAndAHeldDriveNotAtAll) {
    const LunscanRun run = lunscan("paths.json", {"-no_header", "-dbg"});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.commanded(), (std::vector<std::string>{drive(3), drive(5)}));
    EXPECT_EQ(run.inquiries(drive(3)), 1);
    EXPECT_TRUE(run.out_has("Adding device <\\\\.\\PHYSICALDRIVE3> to list, but found a matching device already in list"));
    EXPECT_TRUE(run.out_has("IOCTL_STORAGE_GET_DEVICE_NUMBER failed errno = 6"));
    EXPECT_FALSE(run.out_has("Adding device <\\\\.\\PHYSICALDRIVE4> to list"));
    EXPECT_FALSE(run.out_has("Found invalid device"));
}

TEST(DiscoveryEndToEnd, TwoFixedVolumesOfOneDiskAreTwoEntries) {
    const LunscanRun run = lunscan("volumes.json", {"-no_header", "-winvol", "-dbg"});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_TRUE(run.out_has("Logical device C:\\ is PHYSICALDRIVE0"));
    EXPECT_TRUE(run.out_has("Logical device D:\\ is PHYSICALDRIVE0"));
    EXPECT_FALSE(run.out_has("Logical device E:\\"));
    EXPECT_FALSE(run.out_has("Logical device F:\\"));
    EXPECT_TRUE(run.out_has("Win volume C: capacity = 1048576"));
    EXPECT_TRUE(run.out_has("Win volume D: capacity = 524288"));
    // Each entry is opened by the gather: the disk answers two INQUIRY commands; the removable
    // drive is never asked.
    EXPECT_EQ(run.inquiries(drive(0)), 2);
    EXPECT_EQ(run.inquiries(drive(1)), 0);
}

TEST(DiscoveryEndToEnd, TheRegistryQueryFallsBackToTheDefaultServiceProcessor) {
    const LunscanRun run = lunscan("registry.json", {"-no_header", "-registry", "-dbg"});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_TRUE(run.out_has("Using default KORWIN device <localhost:4220==KORVWIN>. Port == <107c>"));
    EXPECT_TRUE(run.out_has("Open/close KORVWIN device = localhost:4220==KORVWIN to gather inq data."));
    // Only the registry was asked: the disk is neither listed nor opened.
    EXPECT_TRUE(run.commanded().empty());
    EXPECT_FALSE(run.out_has("Adding device <\\\\.\\PHYSICALDRIVE0>"));
}

TEST(DiscoveryEndToEnd, FiveDisksLeaveNoRoomForARegisteredInstance) {
    const LunscanRun run = lunscan("registry-full.json", {"-no_header", "-registry", "-query_sys", "-dbg"});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.commanded().size(), 5u);
    EXPECT_TRUE(run.out_has("Error during add of device <localhost:4221==KORVWIN> found. RC == <2>"));
    EXPECT_FALSE(run.out_has("Open/close KORVWIN device"));
}

TEST(DiscoveryEndToEnd, APseudoDeviceIsTheParentOfBothPaths) {
    const LunscanRun run = lunscan("multipath.json", {"-no_header", "-dbg"});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_TRUE(run.out_has("Relation detected <\\\\.\\PHYSICALDRIVE2> and <\\\\.\\PHYSICALDRIVE3>"));
    EXPECT_TRUE(run.out_has("Relation detected <\\\\.\\PHYSICALDRIVE2> and <\\\\.\\STRNDDISK0>"));
    EXPECT_TRUE(run.out_has("Relation detected <\\\\.\\PHYSICALDRIVE3> and <\\\\.\\STRNDDISK0>"));
    EXPECT_TRUE(run.out_has("Strandway relationship detected"));
    EXPECT_FALSE(run.out_has("both devices claim to be Strandway"));
    EXPECT_EQ(run.commanded(), (std::vector<std::string>{drive(2), drive(3), "\\\\.\\STRNDDISK0"}));
}

// The relationship table names, for each device, its states and the devices it is related to.
TEST(DiscoveryEndToEnd, TheRelationshipTableShowsTheMultipathFamily) {
    const LunscanRun run = lunscan("multipath.json", {"-no_header", "-parent", "-no_dots"});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    const auto row = [&run](const std::string& device) {
        for (const std::string& line : lines_of(run.result.out)) {
            if (line.rfind(device + " ", 0) == 0) return line;
        }
        return std::string();
    };
    const auto has_all = [](const std::string& line, std::vector<std::string> parts) {
        std::size_t at = 0;
        for (const std::string& p : parts) {
            at = line.find(p, at);
            if (at == std::string::npos) return false;
            at += p.size();
        }
        return true;
    };
    const std::string pseudo = "\\\\.\\STRNDDISK0";
    EXPECT_TRUE(has_all(row(drive(2)), {"SIL_DEV_CHILD", pseudo, "SIL_DEV_SIBLING", drive(3)})) << run.result.out;
    EXPECT_TRUE(has_all(row(drive(3)), {"SIL_DEV_CHILD", pseudo, "SIL_DEV_SIBLING", drive(2)})) << run.result.out;
    // Related to both paths, the pseudo device keeps the last one in list order.
    EXPECT_TRUE(has_all(row(pseudo), {"SIL_DEV_PARENT", drive(3)})) << run.result.out;
    EXPECT_FALSE(has_all(row(pseudo), {"SIL_DEV_SIBLING"}));
}

TEST(DiscoveryEndToEnd, TheLoopRebuildsTheSameList) {
    const LunscanRun run = lunscan("three-disks.json", {"-no_header", "-no_dots", "-loop", "2"});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.inquiries(drive(0)), 3);
    EXPECT_FALSE(run.out_has("ERROR: Device count does not match"));
}

}  // namespace

namespace {

// Without a simulated host the build's own provider scans: on Linux it has no disk interfaces yet,
// under Wine the real SetupDi calls run over Wine's (usually empty) disk set. Either way the run
// completes with the default table and status 0; any row is a physical drive.
TEST(DiscoveryEndToEnd, TheRealHostScanCompletesWithTheDefaultTable) {
    const testsupport::RunResult run = testsupport::run_lunscan(
        {"-no_header", "-no_dots"}, {{"SIL_SIM_HOST", std::nullopt}, {"SDEBUG", std::nullopt},
                                     {"SDEBUG_FILE", std::nullopt}, {"SDEBUG_FUNCTION_TRIGGER", std::nullopt}});
    EXPECT_EQ(run.status, 0);
    const std::vector<std::string> lines = lines_of(run.out);
    // The run's own empty line, the table's empty line, then the framed heading.
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], std::string(lines[2].size(), '-'));
    EXPECT_EQ(lines[3].rfind("DEVICE ", 0), 0u);
    EXPECT_EQ(lines[4], lines[2]);
    for (std::size_t i = 5; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind("\\\\.\\PHYSICALDRIVE", 0), 0u) << lines[i];
}

}  // namespace
