// End to end: lunscan -dev on simulated raw-byte devices, checked through the CDB log and the trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "run_program.h"

namespace {

std::string data_dir() {
    const char* over = std::getenv("LUNSCAN_DEV_DATA");
    return over != nullptr && *over != '\0' ? over : LUNSCAN_DEV_DATA;
}

std::string drive(int n) { return testsupport::physical_drive(n); }

using testsupport::lines_of;

// One run of lunscan -dev NAME -dbg and what it left: the simulated host's log, the commands in
// it, and the trace lines without their time stamp, indentation and source position.
struct DevRun {
    int status = 0;
    std::vector<std::string> log;    // every line of the CDB log
    std::vector<std::string> cdbs;   // its command lines without the device path: "in 254 12 00 00 00 fe 00"
    std::vector<std::string> trace;  // "Debug: Inq Failed", "Leave: SIL_open_device, Return Value: -7", ...

    // The log from the first command on (what the open did after its address and vendor checks).
    std::vector<std::string> log_from_first_command() const {
        const auto first = std::find_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind('#', 0) != 0; });
        return {first, log.end()};
    }
    int count_in_log(std::string_view prefix) const {
        return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }
};

std::string trace_text(std::string line) {
    if (!line.empty() && line[0] == '<') {
        const std::size_t close = line.find("> ");
        if (close != std::string::npos) line.erase(0, close + 2);
    }
    line.erase(0, line.find_first_not_of(' '));
    if (const std::size_t at = line.find(" File:"); at != std::string::npos) line.erase(at);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

// `host` empty: the real provider of the build.
DevRun run_dev(const std::string& host, const std::string& name, const std::vector<std::string>& extra = {}) {
    const testsupport::Scratch scratch;
    const std::string log_file = scratch.path("cdb.log");
    std::vector<std::string> args = {"-dev", name, "-dbg"};
    args.insert(args.end(), extra.begin(), extra.end());
    const testsupport::RunResult r = testsupport::run_lunscan(
        args, {{"SIL_SIM_HOST", host.empty() ? std::optional<std::string>() : data_dir() + "/" + host},
               {"SIL_SIM_LOG", log_file},
               {"SDEBUG", std::nullopt},
               {"SDEBUG_FILE", std::nullopt},
               {"SDEBUG_FUNCTION_TRIGGER", std::nullopt},
               {"KORAPI_SILSOCK_FILENAME", std::nullopt},
               {"IOCTL_TIMEOUT_OVERRIDE", std::nullopt},
               {"XMV_INQ_ALL_DEVICES", std::nullopt},
               {"DO_KORVWIN_SYSCALLS", std::nullopt}});
    DevRun run;
    run.status = r.status;
    run.log = lines_of(testsupport::read_file(log_file));
    for (const std::string& line : run.log) {
        if (line.rfind('#', 0) == 0) continue;
        const std::size_t blank = line.find(' ');
        run.cdbs.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
    }
    for (const std::string& line : lines_of(r.out)) run.trace.push_back(trace_text(line));
    return run;
}

::testing::AssertionResult traced(const DevRun& run, const std::string& line) {
    if (std::find(run.trace.begin(), run.trace.end(), line) != run.trace.end()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no trace line \"" << line << "\"";
}

::testing::AssertionResult traced_prefix(const DevRun& run, const std::string& prefix) {
    for (const std::string& l : run.trace) {
        if (l.rfind(prefix, 0) == 0) return ::testing::AssertionSuccess() << "\"" << l << "\"";
    }
    return ::testing::AssertionFailure() << "no trace line beginning \"" << prefix << "\"";
}

const std::string kHost = "host.json";
const std::string kInquiry = "in 254 12 00 00 00 fe 00";
const std::string kWwnPage = "in 144 12 01 83 00 90 00";
const std::string kReadCapacity10 = "in 8 25 00 00 00 00 00 00 00 00 00";
const std::string kReadCapacity16 = "in 12 9e 10 00 00 00 00 00 00 00 00 00 00 00 0c 00 00";
const std::string kSpoofedPage = "in 254 12 01 f6 00 fe 00";

using Cdbs = std::vector<std::string>;

// ---- INQUIRY and capacity ------------------------------------------------------------------------

TEST(DevOpenInquiry, FailedInquiryIsSentOnceMore) {
    const DevRun run = run_dev(kHost, drive(1));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.cdbs, (Cdbs{kInquiry, kInquiry, kReadCapacity10}));
    EXPECT_TRUE(traced(run, "Debug: not a supported device, no info to fill in"));
    // 0x1869F + 1 blocks of 512 bytes: 50000 KB.
    EXPECT_TRUE(traced(run, "Debug:  max_lba=0x00000000000186a0 block_size=0x0200 capacity=0x0000c350"));
    EXPECT_TRUE(traced(run, "Leave: SIL_open_device, Return Value: 0"));
}

TEST(DevOpenInquiry, NothingBehindTheLunFailsTheOpenWithMinusSeven) {
    const DevRun run = run_dev(kHost, drive(2));
    EXPECT_EQ(run.cdbs, Cdbs{kInquiry});
    EXPECT_TRUE(traced(run, "Debug: Inq Failed"));
    EXPECT_TRUE(traced(run, "Error: Lun is not supported. INQP_LUN_NOT_SUPPORTED"));
    EXPECT_TRUE(traced(run, "Leave: SIL_open_device, Return Value: -7"));
    // The bytes say XMV KORVALITH 5874, but they were dropped instead of identified.
    EXPECT_FALSE(traced_prefix(run, "Debug: is_XMV_device="));
    // The open closed the device itself; the front end's close finds nothing open.
    EXPECT_EQ(run.count_in_log("# close "), 1);
}

TEST(DevOpenInquiry, AccessDeniedInquiryIsAnsweredFromTheStoragePropertyButCapacityIsNot) {
    const DevRun run = run_dev(kHost, drive(3));
    const std::string p = drive(3);
    EXPECT_EQ(run.log_from_first_command(),
              (std::vector<std::string>{p + " " + kInquiry, "# IOCTL_STORAGE_QUERY_PROPERTY " + p + " -> 0",
                                        p + " " + kReadCapacity10, "# close " + p}));
    EXPECT_TRUE(traced(run, "Debug: not a supported device, no info to fill in"));
    EXPECT_TRUE(traced(run, "Error: Read Cap Failed"));
    EXPECT_FALSE(traced_prefix(run, "Debug:  max_lba="));
    EXPECT_TRUE(traced(run, "Leave: SIL_open_device, Return Value: 0"));
}

TEST(DevOpenInquiry, CdDvdDriveIsNotAskedForItsCapacity) {
    const DevRun run = run_dev(kHost, drive(4));
    EXPECT_EQ(run.cdbs, Cdbs{kInquiry});
    EXPECT_TRUE(traced(run, "Debug: 4 read capacity skipped for this non-XMV device"));
    EXPECT_TRUE(traced(run, "Leave: SIL_open_device, Return Value: 0"));
}

struct LargeDiskCase {
    const char* host;
    bool extended;
    const char* capacity_line;
};

class DevOpenLargeDisk : public ::testing::TestWithParam<LargeDiskCase> {};

// A last LBA of 0xFFFFFFFF asks for READ CAPACITY(16) only where the host's pass-through carries it.
TEST_P(DevOpenLargeDisk, ExtendedReadCapacityFollowsTheHostVersion) {
    const LargeDiskCase c = GetParam();
    const DevRun run = run_dev(c.host, drive(5));
    if (c.extended) {
        EXPECT_EQ(run.cdbs, (Cdbs{kInquiry, kReadCapacity10, kReadCapacity16}));
        EXPECT_TRUE(traced(run, "Debug: Large device - retrying with extended read capacity"));
    } else {
        EXPECT_EQ(run.cdbs, (Cdbs{kInquiry, kReadCapacity10}));
    }
    EXPECT_TRUE(traced(run, c.capacity_line));
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, DevOpenLargeDisk,
    ::testing::Values(
        // last LBA 0x123456789 of READ CAPACITY(16): 0x12345678A blocks, 0x91A2B3C5 KB
        LargeDiskCase{"host.json", true, "Debug:  max_lba=0x000000012345678a block_size=0x0200 capacity=0x91a2b3c5"},
        // 0xFFFFFFFF + 1 blocks of 512 bytes: 0x80000000 KB
        LargeDiskCase{"host-5.2.json", false, "Debug:  max_lba=0x0000000100000000 block_size=0x0200 capacity=0x80000000"},
        LargeDiskCase{"host-5.2-sp1.json", true,
                      "Debug:  max_lba=0x000000012345678a block_size=0x0200 capacity=0x91a2b3c5"}));

// ---- the high-end array's vendor bytes -------------------------------------------------------------

TEST(DevOpenKorvalith, Microcode5567ReadsTheThreeCharacterDeviceNumberAndTheOldDate) {
    const DevRun run = run_dev(kHost, drive(6));
    EXPECT_EQ(run.cdbs, (Cdbs{kInquiry, kWwnPage, kReadCapacity10}));
    // system_model bit 7: model 5; date 06 30 01 at bytes 65-67
    EXPECT_TRUE(traced(run, "Debug: is_XMV_device=1 korv_model=0x0500 ucode_level=0x5567 ucode_date=0x20010630"));
    // serial bytes 0x12 and 34 56 78 90 12: the twelve digits 1 to 9, 0, 1, 2
    EXPECT_TRUE(traced(run, "Debug: korv_dev_num=0x00a2b korv_serial#=<123456789012>"));
    // director "07" and port "1" from the text bytes
    EXPECT_TRUE(traced_prefix(run, "Debug: Cdb:25 DV#0A2B Dir:07-1 Ucode:5567 Kor:123456789012 Dev:<" + drive(6) + ">"));
    EXPECT_FALSE(traced(run, "Debug: RAD Device Found!"));
}

TEST(DevOpenKorvalith, Microcode5568ReadsTheFourCharacterDeviceNumberAndRepairsTheDate) {
    const DevRun run = run_dev(kHost, drive(7));
    EXPECT_EQ(run.cdbs, (Cdbs{kInquiry, kWwnPage, kReadCapacity10}));
    // year 0x50 is no valid year: the table gives 30 June 2001 for level 5568
    EXPECT_TRUE(traced(run, "Error: Ucode date is invalid, attempting correction using ucode level"));
    EXPECT_TRUE(traced(run, "Debug: is_XMV_device=1 korv_model=0x0400 ucode_level=0x5568 ucode_date=0x20010630"));
    EXPECT_TRUE(traced(run, "Debug: korv_dev_num=0x01a2b korv_serial#=<000187900456>"));
    EXPECT_TRUE(traced_prefix(run, "Debug: Cdb:25 DV#1A2B Dir:0C-3 Ucode:5568 Kor:000187900456 Dev:<"));
}

TEST(DevOpenKorvalith, Microcode5874TakesLevelAndDirectorFromTheBinaryBytesAndFindsTheRadDevice) {
    const DevRun run = run_dev(kHost, drive(8));
    EXPECT_EQ(run.cdbs, (Cdbs{kInquiry, kWwnPage, kReadCapacity10}));
    EXPECT_TRUE(traced(run, "Debug: This is 5874 or greater. Got ucode level 0x5876 from Byte 88,89"));
    EXPECT_TRUE(traced(run, "Debug: is_XMV_device=1 korv_model=0x0800 ucode_level=0x5876 ucode_date=0x20191231"));
    EXPECT_TRUE(traced(run, "Debug: korv_dev_num=0x00c3d korv_serial#=<000190101234>"));
    // bytes 122-123 (0x0F + 1, 1) win over the text "05" / "2"
    EXPECT_TRUE(traced_prefix(run, "Debug: Cdb:25 DV#0C3D Dir:10-1 Ucode:5876 Kor:000190101234 Dev:<"));
    EXPECT_TRUE(traced(run, "Debug: RAD Device Found!"));
}

class DevOpenSpoofed : public ::testing::TestWithParam<std::vector<std::string>> {};

// -dev never asks for the spoofed data to be kept, whatever -native says: page F6 is read and the
// real device behind the LUN is what gets identified.
TEST_P(DevOpenSpoofed, PageF6DescribesTheRealDevice) {
    const DevRun run = run_dev(kHost, drive(9), GetParam());
    EXPECT_EQ(run.cdbs, (Cdbs{kInquiry, kSpoofedPage, kWwnPage, kReadCapacity10}));
    EXPECT_TRUE(traced(run, "Debug: SPOOFED LUN. Get EVPD Page F6"));
    EXPECT_TRUE(traced(run, "Debug: is_XMV_device=1 korv_model=0x0700 ucode_level=0x5771 ucode_date=0x20110704"));
    EXPECT_TRUE(traced(run, "Debug: korv_dev_num=0x00bee korv_serial#=<000195555501>"));
    EXPECT_TRUE(traced_prefix(run, "Debug: Cdb:25 DV#0BEE Dir:03-1 Ucode:5771 Kor:000195555501 Dev:<"));
}

INSTANTIATE_TEST_SUITE_P(Options, DevOpenSpoofed,
                         ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"-native"}),
                         [](const ::testing::TestParamInfo<std::vector<std::string>>& info) {
                             return info.param.empty() ? std::string("Default") : std::string("Native");
                         });

// ---- classification ------------------------------------------------------------------------------

struct ClassCase {
    int drive;
    const char* what;
    const char* line;  // the trace line that shows the classification
};

class DevOpenClassification : public ::testing::TestWithParam<ClassCase> {};

// None of these is a LUN of the high-end array: no WWN page is asked for and nothing is decoded as one.
TEST_P(DevOpenClassification, OnlyTheRightFamilyIsDecoded) {
    const ClassCase c = GetParam();
    const DevRun run = run_dev(kHost, drive(c.drive));
    EXPECT_EQ(run.cdbs.front(), kInquiry) << c.what;
    EXPECT_EQ(std::count(run.cdbs.begin(), run.cdbs.end(), kWwnPage), 0) << c.what;
    EXPECT_FALSE(traced_prefix(run, "Debug: is_XMV_device=")) << c.what;
    EXPECT_TRUE(traced(run, c.line)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Makes, DevOpenClassification,
    ::testing::Values(ClassCase{11, "vendor XMVNSR", "Debug: not a supported device, no info to fill in"},
                      ClassCase{12, "XMV LUNZ", "Debug: not a supported device, no info to fill in"},
                      ClassCase{13, "XMV Vantrel", "Enter: SIL_Get_iVantrel_Info"},
                      ClassCase{14, "SGI naming IBM", "Debug: not a supported device, no info to fill in"},
                      ClassCase{15, "SGI", "Enter: SIL_Get_Dravonis_Info"},
                      ClassCase{16, "IBM 2105F20", "Enter: SIL_Get_IBM_Shark_Info"},
                      ClassCase{17, "IBM 2106", "Debug: not a supported device, no info to fill in"}),
    [](const ::testing::TestParamInfo<ClassCase>& info) { return "Drive" + std::to_string(info.param.drive); });

// ---- name forms --------------------------------------------------------------------------------

TEST(DevOpenNames, ServiceProcessorNameWithoutClientRequestOpensNothing) {
    const DevRun run = run_dev(kHost, "10.1.2.3:4220=SP1KORVWIN");
    EXPECT_TRUE(run.log.empty());
    EXPECT_TRUE(traced(run, "Debug: This is a KorvWin Socket device!"));
    EXPECT_TRUE(traced(run, "Debug: Client creation was not requested."));
    EXPECT_TRUE(traced(run, "Leave: SIL_open_device, Return Value: 0"));
}

TEST(DevOpenNames, ServiceProcessorNameWithoutColonIsRefused) {
    const DevRun run = run_dev(kHost, "10.1.2.3;4220=SP1KORVWIN");
    EXPECT_TRUE(run.log.empty());
    EXPECT_TRUE(traced(run, "Error: Invalid port number specified"));
    EXPECT_TRUE(traced(run, "Leave: SIL_open_device, Return Value: -112"));
}

TEST(DevOpenNames, FirstKorvwinFollowedByMoreIsAnOperatingSystemDevice) {
    const std::string name = "KORVWIN_host:4220=xKORVWIN";
    const DevRun run = run_dev(kHost, name);
    EXPECT_EQ(run.log, std::vector<std::string>{"# open " + name + " 0xc0000000 -> 2"});
    // file-not-found is not recorded: errno stays 0
    EXPECT_TRUE(traced(run, "Error: open of " + name + " failed with fid 0 errno 0"));
    EXPECT_TRUE(traced(run, "Leave: SIL_open_device, Return Value: -1"));
}

TEST(DevOpenNames, SocketAndSpecialUserNamesOpenAndCloseNothing) {
    const DevRun socket = run_dev(kHost, "host==4220");
    EXPECT_TRUE(socket.log.empty());
    EXPECT_TRUE(traced(socket, "Debug: WARNING: This is a Socket device, no real open performed!!!"));
    EXPECT_TRUE(traced(socket, "Leave: SIL_open_device, Return Value: 0"));
    EXPECT_TRUE(traced(socket, "Leave: SIL_close_device, Return Value: 0"));

    const DevRun user = run_dev(kHost, "USERDEF_1");
    EXPECT_TRUE(user.log.empty());
    EXPECT_TRUE(traced(user, "Debug: WARNING: This is a SDT_SPECIAL_USER device, no real open performed!!!"));
    EXPECT_TRUE(traced(user, "Leave: SIL_open_device, Return Value: 0"));
}

TEST(DevOpenNames, DasdDeviceSkipsTheCapacity) {
    const DevRun run = run_dev(kHost, "/dev/dasda");
    EXPECT_EQ(run.cdbs, Cdbs{kInquiry});
    EXPECT_EQ(run.count_in_log("# open /dev/dasda 0xc0000000 -> 0"), 1);
    EXPECT_TRUE(traced(run, "Leave: SIL_open_device, Return Value: 0"));
}

// ---- the operating-system open -----------------------------------------------------------------

TEST(DevOpenOs, SharingViolationReopensForReadingOnly) {
    const DevRun run = run_dev(kHost, drive(10));
    const std::string p = drive(10);
    ASSERT_GE(run.log.size(), 2u);
    EXPECT_EQ(run.log[0], "# open " + p + " 0xc0000000 -> 32");
    EXPECT_EQ(run.log[1], "# open " + p + " 0x80000000 -> 0");
    // A read-only handle may not send pass-through commands: INQUIRY falls back to the storage
    // property, READ CAPACITY has no such way.
    EXPECT_TRUE(run.cdbs.empty());
    const std::vector<std::string> tail(run.log.end() - 4, run.log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"# ioctl " + p + " -> 5", "# IOCTL_STORAGE_QUERY_PROPERTY " + p + " -> 0",
                                              "# ioctl " + p + " -> 5", "# close " + p}));
    EXPECT_TRUE(traced(run, "Debug: not a supported device, no info to fill in"));
    EXPECT_TRUE(traced(run, "Error: Read Cap Failed"));
    EXPECT_TRUE(traced(run, "Leave: SIL_open_device, Return Value: 0"));
}

TEST(DevOpenOs, RefusedOpenRecordsTheError) {
    const DevRun run = run_dev(kHost, drive(20));
    EXPECT_EQ(run.log, std::vector<std::string>{"# open " + drive(20) + " 0xc0000000 -> 5"});
    EXPECT_TRUE(traced(run, "Error: open of " + drive(20) + " failed with fid 0 errno 5"));
    EXPECT_TRUE(traced(run, "Leave: SIL_open_device, Return Value: -1"));
}

// ---- the real provider ----------------------------------------------------------------------------

// Without a simulated host the build's own provider answers: on Linux it reaches no device, under
// Wine the disk may open but the pass-through cannot be served. Either way the run ends normally:
// the open fails, or it succeeds with the INQUIRY failed (the record then holds no inquiry data).
TEST(DevOpenRealHost, DeviceTheHostCannotServeFailsCleanly) {
    const DevRun run = run_dev("", drive(0));
    EXPECT_EQ(run.status, 0);
    if (traced(run, "Leave: SIL_open_device, Return Value: -1")) {
        EXPECT_TRUE(traced_prefix(run, "Error: open of " + drive(0) + " failed with fid 0 errno "));
    } else {
        EXPECT_TRUE(traced(run, "Leave: SIL_open_device, Return Value: 0"));
        EXPECT_TRUE(traced(run, "Debug: Inq Failed"));
        EXPECT_FALSE(traced_prefix(run, "Debug: is_XMV_device="));
    }
}

}  // namespace
