// End-to-end tests of lunscan's run flow on a host without storage: banner, device file, loop, log, trace.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli_helpers.h"

namespace {

using clitest::after_banner;
using clitest::lunscan;
using testsupport::make_temp_dir;
using testsupport::read_text_file;
using testsupport::write_file;

// The loop and device-file runs below choose -connections: it prints nothing for devices without
// data, so only the run flow's own output remains.
const std::string kAs400 =
    "\n" + std::string(113, '-') +
    "\nDEVICE          SERIAL #       RESOURCE  UNIT      ASP       TYPE     MODEL      STATUS"
    "        CAP(kb)   BLKSIZE#\n" +
    std::string(113, '-') + "\n";

// "n m" and the mismatch line for one rebuild whose count differs.
std::string mismatch(int first, int second) {
    const std::string counts = std::to_string(first) + " " + std::to_string(second);
    return counts + "\n ERROR: Device count does not match !!! " + counts + "\n";
}

TEST(CliRunFlow, DefaultRunPrintsTheBannerABlankLineAndTheDefaultTable) {
    const auto r = lunscan({});
    EXPECT_EQ(r.status, 0);
    const std::string rule = std::string(67, '-') + "\n";
    EXPECT_EQ(after_banner(r.out), "\n\n" + rule +
                                       "DEVICE   :VEND    :PROD            :REV   :SER NUM    :CAP(kb)     \n" +
                                       rule);
}

TEST(CliRunFlow, LibraryStartFailureEndsTheRun) {
    const std::string dir = make_temp_dir("nohost");
    const auto r = testsupport::run_lunscan({"-all"}, {{"SIL_SIM_HOST", dir + "/absent-host.json"}});
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "");
    const std::string message = "\nInitialization of SIL failed   rc=ffffffff\n";
    ASSERT_GE(r.err.size(), message.size());
    EXPECT_EQ(r.err.substr(r.err.size() - message.size()), message);
}

TEST(CliRunFlow, As400PrintsItsHeaderOnly) {
    const auto r = lunscan({"-no_header", "-as400"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n" + kAs400);
    EXPECT_EQ(r.err, "");
}

TEST(CliRunFlow, SniaTestRunsWithoutBanner) {
    const auto r = lunscan({"-snia_test", "hba_api"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n");
}

TEST(CliRunFlow, AdapterAndIscsiRunsEndNormally) {
    EXPECT_EQ(lunscan({"-no_header", "-hba", "-fibre", "-hba_file", "f", "-create"}).status, 0);
    EXPECT_EQ(lunscan({"-no_header", "-iscsi"}).status, 0);
    EXPECT_EQ(lunscan({"-no_header", "-mapinfo", "-hba"}).status, 0);
}

TEST(CliLoop, MarksWithDots) {
    const auto r = lunscan({"-no_header", "-connections", "-loop", "3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n#\n#\n#\n");
}

TEST(CliLoop, MarksWithoutDotsWrapAfter79) {
    const auto r = lunscan({"-no_header", "-connections", "-no_dots", "-loop", "50"});  // 0x50 = 80 rebuilds
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n" + std::string(79, '#') + "\n#");
}

TEST(CliLoop, ZeroRebuildsNothing) {
    EXPECT_EQ(lunscan({"-no_header", "-connections", "-loop", "0"}).out, "\n");
    EXPECT_EQ(lunscan({"-no_header", "-connections", "-loop", "none"}).out, "\n");
}

TEST(CliLoop, CountMismatchAgainstASingleDevice) {
    const auto r = lunscan({"-no_header", "-connections", "-dev", "disk9", "-loop", "2", "-no_dots"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n#" + mismatch(1, 0) + "#" + mismatch(1, 0));
}

class CliDeviceFile : public testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir("dravfile"); }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    testsupport::RunResult run_with(const std::string& contents) {
        write_file(dir + "/names.txt", contents);
        return lunscan({"-no_header", "-connections", "-drav_file", "names.txt", "-loop", "1", "-no_dots"}, dir);
    }
    std::string dir;
};

TEST_F(CliDeviceFile, MissingFile) {
    const auto r = lunscan({"-no_header", "-drav_file", "absent.txt"}, dir);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "Failed opening the Dravonis device file: absent.txt\n");
}

TEST_F(CliDeviceFile, CommentsAreSkippedAndEmptyLinesAreNames) {
    // Three names: "disk1", the empty line and "disk2" (last line without its newline).
    const auto r = run_with("# array A\ndisk1\n\n#disk3\ndisk2");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n#" + mismatch(3, 0));
}

TEST_F(CliDeviceFile, EmptyFileListsNothing) {
    const auto r = run_with("");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n#");
}

TEST_F(CliDeviceFile, LongCommentLinesAreSkippedWhole) {
    const auto r = run_with("#" + std::string(1500, 'c') + "\ndisk1\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n#" + mismatch(1, 0));
}

TEST_F(CliDeviceFile, NameLimits) {
    auto r = run_with(std::string(80, 'n') + "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n#" + mismatch(1, 0));

    r = run_with("disk1\n" + std::string(81, 'n') + "\n");
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "\n\n\tERROR: device name longer than 80 characters in names.txt.\n\n");

    r = run_with(std::string(700, 'n') + "\n");
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "\n\n\tERROR: device name longer than 80 characters in names.txt.\n\n");
}

TEST_F(CliDeviceFile, AtMostAThousandNames) {
    std::string names;
    for (int i = 0; i < 1000; ++i) names += "disk" + std::to_string(i) + "\n";
    auto r = run_with(names + "# a comment past the limit is fine\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n#" + mismatch(1000, 0));

    r = run_with(names + "disk1000\n");
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "\n\n\tERROR: more than 1000 device names in names.txt.\n\n");
}

TEST(CliTrace, DbgLogWritesTheBannerAndReportsIntoTheLog) {
    const std::string dir = make_temp_dir("dbglog");
    const auto r = lunscan({"-no_header", "-dbg_log", "-as400"}, dir);
    const std::string log = read_text_file(dir + "/inquiry.log");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("DEVICE          SERIAL #"), std::string::npos);
    EXPECT_NE(log.find("For help type lunscan -h.\n\n"), std::string::npos);
    EXPECT_NE(log.find(kAs400), std::string::npos);
}

TEST(CliTrace, SortrawIsTracedOnlyWhenTheTraceIsOn) {
    const auto quiet = lunscan({"-no_header", "-connections", "-sortraw"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "\n");
    const auto traced = lunscan({"-no_header", "-dbg", "-sortraw"});
    EXPECT_EQ(traced.status, 0);
    EXPECT_NE(traced.out.find("option -sortraw will be ignored"), std::string::npos);
}

}  // namespace
