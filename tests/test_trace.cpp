// Tests of the diagnostic trace: settings from the environment, line layout, depth and trigger, wrapping, trace files, hex dump, socket log.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "pds/platform.h"
#include "sil_child_run.h"
#include "sildebug.h"
#include "silinitl.h"

namespace {

using sil_test::between_markers;
using testsupport::read_text_file;
using sil_test::run_child;
using sil_test::Scratch;
using testsupport::lines_of;

// ctime text, e.g. "Wed Jun 30 21:49:08 1993".
const std::string kDate = R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4})";
// sil_timestamp, e.g. "06/30/1993 21:49:08.123".
const std::string kStamp = R"([0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3})";

std::string repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

unsigned pid_of(const std::string& output) {
    std::smatch m;
    if (!std::regex_search(output, m, std::regex("pid=([0-9]+)"))) return 0;
    return static_cast<unsigned>(std::stoul(m[1]));
}

// The "lines" scenario under the given SDEBUG: the child's process id and the traced lines.
struct LinesRun {
    std::string pid;
    std::string body;
};
LinesRun run_lines(const Scratch& dir, const std::string& sdebug) {
    const std::string out = run_child(dir, {"SDEBUG=" + sdebug, "lines"});
    return {std::to_string(pid_of(out)), between_markers(out)};
}

// ---- settings from the environment ------------------------------------------------------------

// Each setting: what the settings scenario prints first, and a line it prints later ("" for none).
TEST(TraceSettings, FromTheEnvironment) {
    const std::string bad = "\n\tERROR: bad debug parameter, check env var, SDEBUG\n\n";
    const struct {
        std::vector<std::string> words;
        std::string starts, has;
    } rows[] = {
        // TIME alone: level 1, every category, time stamps.
        {{"SDEBUG=TIME"}, "", "verbosity=0x004FFFF1 mask=0x00000000 trigger=<> stdout=1 big=0\n"},
        // NULL alone leaves the trace off on standard output; a trigger arms the mask and nothing else.
        {{"SDEBUG_FILE=NULL"}, "verbosity=0x00000000 mask=0x00000000 trigger=<> stdout=1 big=0\n", ""},
        {{"SDEBUG_FUNCTION_TRIGGER=SIL_Inquiry"}, "verbosity=0x00000000 mask=0x0000FFFF trigger=<SIL_Inquiry> stdout=1 big=0\n", ""},
        {{"SDEBUG_FUNCTION_TRIGGER=SIL_Inquiry:CDB:DBG1"}, "verbosity=0x00000000 mask=0x00000021 trigger=<SIL_Inquiry> stdout=1 big=0\n", ""},
        // Keywords are case-sensitive: dbg1 is none; ~CDB takes back CDB; SYS alone gets level 1.
        {{"SDEBUG=dbg1:CDB:~CDB:SYS"}, bad, "verbosity=0x00000041 "},
        // DEBUGGER echoes every step; NULL ends the reading, so DBG4 is never read.
        {{"SDEBUG=DEBUGGER:DBG1:BOGUS:FW:NULL:DBG4"},
         "  verbosity = 0x00000000   control = 0x00030000\n"
         "  verbosity = 0x00000001   control = 0x00030000\n" + bad +
             "  verbosity = 0x00000001   control = 0x00030000\n"
             "\n\tINFO: file wrapping of output file enabled\n\n"
             "  verbosity = 0x00000001   control = 0x00030000\n"
             "  verbosity = 0x00000001   control = 0x00030000\n"
             "  verbosity = 0x000FFFF1   control = 0x00030000\n"
             "sdebugFunctionLevel=0\n"
             "verbosity = 0x000FFFF1 vTypeAndMode=0x02000010  FunctionLevel=0 tabCount=0  Msg: SIL_init \n"
             "Enter: SIL_init\n",
         "verbosity=0x000FFFF1 "},
    };
    Scratch dir;
    for (const auto& row : rows) {
        std::vector<std::string> words = row.words;
        words.push_back("settings");
        const std::string out = run_child(dir, words);
        EXPECT_EQ(out.substr(0, row.starts.size()), row.starts) << row.words[0];
        EXPECT_NE(out.find(row.has), std::string::npos) << row.words[0] << "\n" << out;
    }
}

// ---- lines ---------------------------------------------------------------------------------------

TEST(TraceLines, DepthIndentsAndLimitDropsDeeperLines) {
    Scratch dir;
    const std::string out = run_child(dir, {"SDEBUG=DBG2:FT3", "depth"});
    EXPECT_EQ(between_markers(out),
              "Enter: level1\n"
              "  Enter: level2\n"
              "    Debug: inside level2\n"
              "    Enter: level3\n"
              "      Enter: level4\n"
              "      Leave: level4, Return Value: 4\n"
              "    Leave: level3, Return Value: 3\n"
              "  Leave: level2, Return Value: 2\n"
              "Leave: level1, Return Value: 1\n");
}

TEST(TraceLines, TriggerTracesOnlyInsideTheNamedFunction) {
    Scratch dir;
    const std::string out = run_child(dir, {"SDEBUG_FUNCTION_TRIGGER=SIL_Inquiry", "trigger"});
    const std::string inquiry =
        "Enter: SIL_Inquiry\n"
        "  Debug: inquiring\n"
        "  Enter: get_evpd_page\n"
        "  Leave: get_evpd_page, Return Value: 5\n"
        "Leave: SIL_Inquiry, Return Value: 0\n";
    EXPECT_EQ(between_markers(out), inquiry + inquiry);
    EXPECT_NE(out.find("--- end ---\nverbosity=0x00000000\n"), std::string::npos) << out;
}

TEST(TraceLines, ErrorLinesIgnoreCategoriesAndCarryDatePositionTimeAndPid) {
    // Each line: the prefix, the message, the date on error lines unless TIME moved it into the
    // prefix, the position; "PID" stands for the child's process id.
    struct Case { const char* sdebug; std::string prefix, date, pid_suffix, thread_prefix; };
    const Case cases[] = {
        {"CDB", "", " <" + kDate + ">", " <PID>", ""},
        {"CDB:TIME", "<" + kStamp + "> ", "", " <PID>", "<" + kStamp + "> "},
        {"CDB:PID", "<PID> ", " <" + kDate + ">", "", "<PID\\.1> "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sdebug);
        Scratch dir;
        const LinesRun run = run_lines(dir, c.sdebug);
        std::string expected = c.prefix + "Error: disk on fire" + c.date + " File:probe.cpp Line:77\n" +
                               c.prefix + "Error: sys error" + c.date + " File:probe.cpp Line:79\n" +
                               c.prefix + "Debug: with pid" + c.pid_suffix + "\n" +
                               c.prefix + "Debug: cdb line\n" +
                               c.thread_prefix + "Debug: from thread\n";
        for (std::size_t at; (at = expected.find("PID")) != std::string::npos;) expected.replace(at, 3, run.pid);
        EXPECT_TRUE(std::regex_match(run.body, std::regex(expected))) << run.body;
    }
}

TEST(TraceLines, LongLinesWrapAtEightyColumnsWhenAsked) {
    Scratch dir;
    const std::string out = run_child(dir, {"SDEBUG=DBG1:LW", "long"});
    const std::string message = repeat("0123456789", 20);
    // Depth 1: two blanks of indentation, so the first piece holds 78 characters of
    // "Debug: " + message and every further piece 71 behind the seven-blank continuation indent.
    const std::string expected = "Enter: wrapper\n"
                                 "  Debug: " + message.substr(0, 71) + "\n" +
                                 "         " + message.substr(71, 71) + "\n" +
                                 "         " + message.substr(142) + "\n" +
                                 "Leave: wrapper, Return Value: 0\n" +
                                 repeat("x", 80) + "\n" + repeat("x", 20) + "\n";
    EXPECT_EQ(between_markers(out), expected);
}

TEST(TraceLines, PausingClassWaitsForEnterOnlyWithInt) {
    Scratch dir;
    const std::string paused = run_child(dir, {"SDEBUG=DBG1:INT", "pause"}, "go\nnext\n");
    EXPECT_EQ(between_markers(paused, "run", "after"), "stop here\nPress Enter to continue...\n");
    EXPECT_NE(paused.find("rest=<next>"), std::string::npos) << paused;

    const std::string quiet = run_child(dir, {"SDEBUG=DBG1", "pause"}, "go\nnext\n");
    EXPECT_EQ(between_markers(quiet, "run", "after"), "stop here\n");
    EXPECT_NE(quiet.find("rest=<go>"), std::string::npos) << quiet;
}

// ---- in-process: the gate, formatted lines, hex dump --------------------------------------------

class TraceInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        const int rc = SIL_init(0, 0, SIL_LIBRARY_VERSION, nullptr, nullptr, nullptr);
        ASSERT_TRUE(rc == 0 || rc == 1) << rc;
        sil_set_verbosity(0);
        trace_file_ = dir_.path("trace.txt");
        ASSERT_EQ(sil_open_debug_file(trace_file_.c_str()), 0);
        ASSERT_NE(sil_out(), stdout);
    }
    void TearDown() override { sil_set_verbosity(0); }
    std::string written() const { return read_text_file(trace_file_); }

    Scratch dir_;
    std::string trace_file_;
};

int probe_function() {
    SIL_FUNCTION("probe_function");
    SIL_RETURN(7);
}

TEST_F(TraceInProcess, MessagesAreBuiltOnlyWhileTracing) {
    int built = 0;
    const auto message = [&built] {
        ++built;
        return "built";
    };
    SIL_TRACE(SIL_TRACE_FORMATTED, "%s", message());
    probe_function();
    EXPECT_EQ(built, 0);
    EXPECT_EQ(sil_trace_gate.load(), 0u);
    EXPECT_EQ(written(), "");

    ASSERT_EQ(sil_set_verbosity(SIL_VERBOSITY_DBG_LOG), 0);
    EXPECT_EQ(sil_trace_on(), SIL_VERBOSITY_DBG_LOG);
    EXPECT_EQ(sil_trace_gate.load(), SIL_VERBOSITY_DBG_LOG);
    SIL_TRACE(SIL_TRACE_FORMATTED, "%s", message());
    probe_function();
    EXPECT_EQ(built, 1);
    EXPECT_EQ(written(), "built\nEnter: probe_function\nLeave: probe_function, Return Value: 7\n");
}

TEST_F(TraceInProcess, PrintfMessagesStopAt256Characters) {
    sil_set_verbosity(SIL_VERBOSITY_DBG_LOG);
    sil_trace_printf("%s", std::string(300, 'a').c_str());
    EXPECT_EQ(written(), std::string(256, 'a') + "\n");
}

const unsigned char kDumpData[20] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                                     'K', 'L', 'M', 'N', 'O', 'P', 0x00, '%', 0x0A, '~'};
const std::string kDumpHeader =
    "       00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F\n"
    "       ------------------------------------------------\n";

TEST_F(TraceInProcess, HexDumpOfTwentyBytesPadsTheShortRow) {
    const std::string extra_name = dir_.path("extra.txt");
    std::FILE* extra = std::fopen(extra_name.c_str(), "w");
    ASSERT_NE(extra, nullptr);
    ASSERT_EQ(sil_hex_dump(sizeof kDumpData, kDumpData, 0, nullptr, extra), 0);
    std::fclose(extra);
    // The short row: four bytes take 12 of the 49 columns of the byte area; 37 blanks pad it and
    // two more open the character column. NUL, "%" and the line feed show as dots.
    const std::string expected = kDumpHeader +
                                 " 0000: 41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50   ABCDEFGHIJKLMNOP\n" +
                                 " 0010: 00 25 0a 7e" + std::string(40, ' ') + "...~\n" +
                                 "\n";
    EXPECT_EQ(written(), expected);
    EXPECT_EQ(read_text_file(extra_name), expected);
}

TEST_F(TraceInProcess, HexDumpCompareModeMarksDifferingBytes) {
    unsigned char other[20];
    std::memcpy(other, kDumpData, sizeof other);
    other[1] = 'b';
    other[17] = '?';
    ASSERT_EQ(sil_hex_dump(sizeof kDumpData, kDumpData, 1, other, nullptr), 0);
    EXPECT_EQ(written(), kDumpHeader +
                             " 0000: 41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50   A*BCDEFGHIJKLMNOP\n" +
                             " 0010: 00 25 0a 7e" + std::string(40, ' ') + ".*..~\n" + "\n");
}

TEST_F(TraceInProcess, HexDumpRefusesMissingDataAndStaysQuietWhenNotTracing) {
    EXPECT_EQ(sil_hex_dump(4, nullptr, 0, nullptr, nullptr), -1);
    EXPECT_EQ(sil_hex_dump(4, kDumpData, 1, nullptr, nullptr), -1);
    EXPECT_EQ(sil_hex_dump_if_tracing(4, kDumpData, 0, nullptr, nullptr), 0);
    EXPECT_EQ(written(), "");
    sil_set_verbosity(SIL_VERBOSITY_DBG_LOG);
    EXPECT_EQ(sil_hex_dump_if_tracing(0, kDumpData, 0, nullptr, nullptr), 0);
    EXPECT_EQ(written(), kDumpHeader + "\n");
}

// ---- trace files ---------------------------------------------------------------------------------

// Fill numbers of the "fill NNNN" lines of a trace file, in order.
std::vector<int> fill_numbers(const std::string& text) {
    std::vector<int> numbers;
    for (const std::string& line : lines_of(text)) {
        if (line.rfind("fill ", 0) == 0) numbers.push_back(std::stoi(line.substr(5, 4)));
    }
    return numbers;
}

// Checks the wrap messages at the end of a full file (its bytes as written): the size reported is
// where that message starts and lies past the limit, and the last line before it started within
// the limit.
void expect_wrapped_tail(const std::string& raw, const std::vector<std::string>& checked, const std::string& next) {
    const std::size_t at = raw.find("FileWrapping: <");
    ASSERT_NE(at, std::string::npos) << raw;
    const std::size_t last_line = raw.rfind("fill ", at);
    ASSERT_NE(last_line, std::string::npos);
    EXPECT_LE(last_line, 10u * 1024);
    const std::string tail = testsupport::text_of(raw.substr(at));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(tail, m,
                                  std::regex("^FileWrapping: <" + kStamp +
                                             "> [0-9]+ The debug file is now ([0-9]+) bytes\\.\n")))
        << tail;
    const std::size_t reported = std::stoul(m[1]);
    EXPECT_EQ(reported, at);
    EXPECT_GT(reported, 10u * 1024);
    std::string expected_rest;
    for (const std::string& name : checked) expected_rest += "FileWrapping checking new file <" + name + ">\n";
    expected_rest += "FileWrapping starting new file <" + next + ">\n";
    EXPECT_EQ(tail.substr(m.length(0)), expected_rest);
}

TEST(TraceFile, WrapsPastTheLimitAndCyclesThroughFourFiles) {
    Scratch dir;
    const std::string base = dir.path("trace.txt");
    run_child(dir, {"SDEBUG=DBG1", "SDEBUG_FILE=" + base + ":FW:3:10", "fill", "450"});
    const auto name = [&base](int i) { return base + "_" + std::to_string(i); };
    EXPECT_FALSE(std::filesystem::exists(base));
    EXPECT_FALSE(std::filesystem::exists(name(4)));
    std::string files[4];
    for (int i = 0; i < 4; ++i) {
        files[i] = testsupport::read_file(name(i));
        // Files 1-3 were new and file 0 was emptied when its turn came again.
        EXPECT_EQ(testsupport::text_of(files[i]).rfind("FileWrapping has moved to the next file <" + name(i) + ">\n", 0),
                  0u)
            << i;
    }
    expect_wrapped_tail(files[1], {name(2)}, name(2));
    expect_wrapped_tail(files[2], {name(3)}, name(3));
    // Every other file is full: file 0 is started afresh.
    expect_wrapped_tail(files[3], {name(0), name(1), name(2)}, name(0));
    EXPECT_EQ(files[0].find("FileWrapping: <"), std::string::npos);

    std::vector<int> numbers;
    for (int i : {1, 2, 3, 0}) {
        const std::vector<int> part = fill_numbers(files[i]);
        numbers.insert(numbers.end(), part.begin(), part.end());
    }
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), 449);
    for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << i;
}

// A trace file past 4 GiB (made sparse: nothing is written) is measured whole. 5 GiB against a
// 2 GiB limit wraps, though cut to 32 bits it would read 1 GiB; against a 6 GiB limit it does
// not, though a limit cut to 32 bits would read 2 GiB.
TEST(TraceFile, SizesAndLimitsPastFourGiB) {
    constexpr std::uintmax_t kFiveGiB = std::uintmax_t{5} << 30;
    for (const auto& [limit_kb, wraps] : {std::pair{"2097152", true}, std::pair{"6291456", false}}) {
        Scratch dir;
        const std::string base = dir.path("big.txt");
        std::ofstream(base + "_0").close();
        std::filesystem::resize_file(base + "_0", kFiveGiB);
        run_child(dir, {"SDEBUG=DBG1", "SDEBUG_FILE=" + base + ":FW:2:" + limit_kb, "fill", "1"});
        EXPECT_EQ(std::filesystem::exists(base + "_1"), wraps) << limit_kb;
        std::ifstream old_file(base + "_0", std::ios::binary);
        old_file.seekg(static_cast<std::streamoff>(kFiveGiB));
        const std::string appended{std::istreambuf_iterator<char>(old_file), std::istreambuf_iterator<char>()};
        EXPECT_EQ(appended.find("The debug file is now 5368709120 bytes.") != std::string::npos, wraps) << appended;
        EXPECT_EQ(appended.find("fill 0000") != std::string::npos, !wraps) << appended;
    }
}

TEST(TraceFile, TrailingColonDeletesTheFileJustLeft) {
    Scratch dir;
    const std::string base = dir.path("del.txt");
    run_child(dir, {"SDEBUG=DBG1", "SDEBUG_FILE=" + base + ":FW:3:10:", "fill", "250"});
    // The removal is a POSIX shell command: Windows keeps the files.
    const bool removes = pds::platform().name() != "win32";
    EXPECT_EQ(std::filesystem::exists(base + "_0"), !removes);
    EXPECT_EQ(std::filesystem::exists(base + "_1"), !removes);
    const std::string last = read_text_file(base + "_2");
    EXPECT_EQ(last.rfind("FileWrapping has moved to the next file <" + base + "_2>\n", 0), 0u);
    const std::vector<int> numbers = fill_numbers(last);
    ASSERT_FALSE(numbers.empty()) << last;
    EXPECT_EQ(numbers.back(), 249);
}

TEST(TraceFile, PidSuffixNamesTheFileAfterTheProcess) {
    Scratch dir;
    const std::string base = dir.path("p.txt");
    const std::string out = run_child(dir, {"SDEBUG=CDB", "SDEBUG_FILE=" + base + ":PID", "lines"});
    EXPECT_EQ(out.find("Error:"), std::string::npos) << out;
    const std::string traced = read_text_file(base + "_" + std::to_string(pid_of(out)));
    EXPECT_NE(traced.find("Error: disk on fire"), std::string::npos) << traced;
}

TEST(TraceFile, UnopenableFileFallsBackToStandardOutput) {
    Scratch dir;
    const std::string out =
        run_child(dir, {"SDEBUG=DBG1", "SDEBUG_FILE=" + dir.path("missing/x.txt"), "settings"});
    const std::string failed = "Opening of debug out file failed\n";
    EXPECT_EQ(out.substr(0, failed.size()), failed) << out;
    EXPECT_NE(out.find(failed + "Enter: SIL_init\n"), std::string::npos) << out;
    EXPECT_NE(out.find("stdout=1"), std::string::npos);
}

// ---- socket log -----------------------------------------------------------------------------------

TEST(SockLog, WritesOneFilePerDayAndHour) {
    Scratch dir;
    const std::string out = run_child(dir, {"KORAPI_SILSOCK_FILENAME=" + dir.path("sock_"), "sock"});
    EXPECT_NE(out.find("asked=1 tagged=0 untagged=0 long=0\n"), std::string::npos) << out;
    std::smatch ids;
    ASSERT_TRUE(std::regex_search(out, ids, std::regex("pid=([0-9]+) tid=([0-9]+)")));
    std::vector<std::filesystem::path> logs;
    for (const auto& entry : std::filesystem::directory_iterator(dir.dir())) {
        if (entry.path().filename().string().rfind("sock_", 0) == 0) logs.push_back(entry.path());
    }
    ASSERT_EQ(logs.size(), 1u);
    std::smatch name;
    const std::string file_name = logs[0].filename().string();
    ASSERT_TRUE(std::regex_match(file_name, name, std::regex("sock_([0-9]{2})-([0-9]{2})\\.log")));
    const std::vector<std::string> lines = lines_of(read_text_file(logs[0].string()));
    ASSERT_EQ(lines.size(), 3u);
    const auto pad6 = [](const std::string& n) { return std::string(n.size() < 6 ? 6 - n.size() : 0, ' ') + n; };
    // The file is named after the day and hour of its lines.
    const std::string head = "[0-9]{2}/" + name[1].str() + "/[0-9]{4} " + name[2].str() +
                             ":[0-9]{2}:[0-9]{2}\\.[0-9]{3} " + pad6(ids[1]) + " " + pad6(ids[2]) + " ";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(head + "tagA {16} hello"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(head + " {20} untagged"))) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(head + "abcdefghijklmnopqrst long tag"))) << lines[2];
}

TEST(SockLog, AbsentWithoutTheVariable) {
    Scratch dir;
    const std::string out = run_child(dir, {"sock"});
    EXPECT_NE(out.find("asked=0 tagged=0 untagged=0 long=0\n"), std::string::npos) << out;
}

}  // namespace
