// Tests of the SCSI transport: length rules, retry advice, failure report, summary line, dumps, and
// the Windows and multipath roads against a fake platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pds/platform.h"
#include "pds/platform_testing.h"
#include "pds/win_device_layouts.h"
#include "sildebug.h"
#include "sildevice.h"
#include "silinitl.h"
#include "silkorinq.h"
#include "siltxcdb.h"

namespace {

using Block = pds::win::ScsiPassThroughDirectWithSense;
using Bytes = std::vector<std::uint8_t>;

// ---- the fake platform -------------------------------------------------------------------------

struct IoCall {
    std::uint32_t code;
    Bytes in;                  // the input as the call received it
    std::uint32_t in_length;
    std::uint32_t out_length;
    std::uint32_t error_mode;  // the process error mode while the call ran
};

// Device calls are scripted per test; everything else goes to the real provider (SIL_init needs
// the host-wide chain-code counter).
class FakePlatform final : public pds::Platform {
public:
    static constexpr std::uint32_t kInitialErrorMode = 0x8000;

    // Answers one device_io_control call; `out` is the caller's output buffer.
    std::function<pds::os_error(std::uint32_t code, void* out, std::uint32_t out_length,
                                std::uint32_t& returned)>
        on_ioctl;
    std::function<std::uint32_t(Block& block)> on_mp;
    std::vector<IoCall> calls;
    std::vector<Block> mp_blocks;
    std::vector<std::uint32_t> mp_values;
    std::uint32_t error_mode = kInitialErrorMode;

    void reset() {
        calls.clear();
        mp_blocks.clear();
        mp_values.clear();
        error_mode = kInitialErrorMode;
        on_ioctl = [](std::uint32_t, void*, std::uint32_t, std::uint32_t& returned) {
            returned = sizeof(Block);
            return pds::os_error{0};
        };
        on_mp = [](Block&) { return pds::kMpNotEnabled; };
    }
    // The pass-through blocks seen, in order.
    std::vector<Block> pass_through_blocks() const {
        std::vector<Block> blocks;
        for (const IoCall& call : calls) {
            if (call.code != pds::win::IOCTL_SCSI_PASS_THROUGH_DIRECT || call.in.size() != sizeof(Block)) continue;
            Block b;
            std::memcpy(&b, call.in.data(), sizeof b);
            blocks.push_back(b);
        }
        return blocks;
    }

    std::string_view name() const override { return "fake"; }
    std::optional<std::string> get_env(const char* n) override { return real_->get_env(n); }
    pds::LocalTime local_time() override { return real_->local_time(); }
    std::string date_text() override { return real_->date_text(); }
    std::int64_t epoch_seconds() override { return real_->epoch_seconds(); }
    std::uint32_t process_id() override { return 4242; }
    std::uint32_t thread_number() override { return real_->thread_number(); }
    std::uint64_t thread_id() override { return real_->thread_id(); }
    pds::HostIdentity host_identity() override { return real_->host_identity(); }
    std::optional<std::string> user_name() override { return real_->user_name(); }
    pds::os_error open_named_mutex(const std::string& n, std::unique_ptr<pds::NamedMutex>& out) override {
        return real_->open_named_mutex(n, out);
    }
    pds::os_error open_shared_memory(const std::string& n, std::size_t size, std::unique_ptr<pds::SharedMemory>& out,
                                     bool& created) override {
        return real_->open_shared_memory(n, size, out, created);
    }
    pds::os_error run_tool(const std::string& command_line, std::string* output, int& exit_status) override {
        return real_->run_tool(command_line, output, exit_status);
    }

    pds::os_error device_io_control(pds::DeviceHandle, std::uint32_t code, const void* in, std::uint32_t in_length,
                                    void* out, std::uint32_t out_length, std::uint32_t& returned) override {
        const auto* p = static_cast<const std::uint8_t*>(in);
        calls.push_back({code, Bytes(p, p + in_length), in_length, out_length, error_mode});
        returned = 0;
        return on_ioctl(code, out, out_length, returned);
    }
    std::uint32_t set_error_mode(std::uint32_t mode) override { return std::exchange(error_mode, mode); }
    std::uint32_t mp_scsi_pass_through(pds::DeviceHandle, std::uint32_t value, void* block) override {
        auto& b = *static_cast<Block*>(block);
        mp_values.push_back(value);
        mp_blocks.push_back(b);
        return on_mp(b);
    }

private:
    std::unique_ptr<pds::Platform> real_ = pds::make_real_platform();
};

// One fake per process: the seam never frees a provider.
FakePlatform& fake() {
    static FakePlatform* const instance = [] {
        auto owned = std::make_unique<FakePlatform>();
        FakePlatform* raw = owned.get();
        pds::install_platform_for_tests(std::move(owned));
        return raw;
    }();
    return *instance;
}

// ---- helpers -------------------------------------------------------------------------------------

// A CDB of exactly the length its opcode's group gives (one byte for groups 3 and 6), so that a
// read past it trips the address sanitizer.
Bytes cdb_of(std::uint8_t opcode, std::map<std::size_t, std::uint8_t> bytes = {}) {
    Bytes cdb(std::max<std::int32_t>(get_cdb_length(opcode), 1), 0);
    cdb[0] = opcode;
    for (auto [index, value] : bytes) cdb.at(index) = value;
    return cdb;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Points the library output stream at a file for the life of the object.
class OutputCapture {
public:
    OutputCapture() {
        // Named by the real process id: ctest runs several of these processes at once.
        static const std::uint32_t pid = pds::make_real_platform()->process_id();
        static std::atomic<int> serial{0};
        path_ = std::filesystem::temp_directory_path() /
                ("test_txcdb_" + std::to_string(pid) + "_" + std::to_string(serial++) + ".txt");
        file_ = std::fopen(path_.string().c_str(), "w+b");
        saved_ = sil_context()->out_stream;
        sil_context()->out_stream = file_;
    }
    ~OutputCapture() {
        sil_context()->out_stream = saved_;
        std::fclose(file_);
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::string text() {
        std::fflush(file_);
        return read_file(path_);
    }

private:
    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
    std::FILE* saved_ = nullptr;
};

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

constexpr std::uint32_t kDebugVerbosity = 0x0040FFFF;  // what -dbg sets

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake().reset();
        const std::int32_t rc = SIL_init(0, 0, SIL_LIBRARY_VERSION, "test", "test", "test");
        ASSERT_TRUE(rc == 0 || rc == 1) << rc;
        sil_set_verbosity(0);
        dev_ = T_SIL_DEVICE{};
        dev_.fid = 0x44;
        dev_.isOpen = 1;
        std::strcpy(dev_.name, "\\\\.\\PHYSICALDRIVE3");
    }
    void TearDown() override { sil_set_verbosity(0); }

    std::int32_t send(const Bytes& cdb, std::uint8_t direction, Bytes& data,
                      const T_SIL_IOCTL_SETTINGS* settings = nullptr, int force_dump = 0) {
        err_ = T_CDB_ERROR{};
        return TxCDB(cdb.data(), direction, &err_, settings, data.empty() ? nullptr : data.data(), &dev_, 0,
                     force_dump);
    }
    // The one pass-through block of the last command.
    Block only_block() {
        const std::vector<Block> blocks = fake().pass_through_blocks();
        EXPECT_EQ(blocks.size(), 1u);
        return blocks.empty() ? Block{} : blocks.front();
    }

    T_SIL_DEVICE dev_{};
    T_CDB_ERROR err_{};
};

// Scripts a pass-through answer: the block comes back with these values.
auto answer(pds::os_error error, std::uint8_t scsi_status, std::uint32_t moved, Bytes sense = {}) {
    return [=](std::uint32_t code, void* out, std::uint32_t, std::uint32_t& returned) {
        if (code == pds::win::IOCTL_SCSI_PASS_THROUGH_DIRECT) {
            auto& block = *static_cast<Block*>(out);
            block.sptd.ScsiStatus = scsi_status;
            block.sptd.DataTransferLength = moved;
            block.sptd.SenseInfoLength = static_cast<std::uint8_t>(sense.size());
            if (!sense.empty()) std::memcpy(block.sense, sense.data(), std::min(sense.size(), sizeof block.sense));
            returned = sizeof(Block);
        }
        return error;
    };
}

// Fixed-format sense data with the given key, ASC and ASCQ.
Bytes sense_bytes(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    Bytes sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

// ================================================================================================
// Length rules
// ================================================================================================

TEST(GetCdbLength, FollowsTheGroupCode) {
    for (std::uint8_t op : {0x00, 0x12, 0x1F}) EXPECT_EQ(get_cdb_length(op), 6) << int(op);
    for (std::uint8_t op : {0x20, 0x25, 0x3C, 0x40, 0x5F}) EXPECT_EQ(get_cdb_length(op), 10) << int(op);
    for (std::uint8_t op : {0x60, 0x7F, 0xC0, 0xDF}) EXPECT_EQ(get_cdb_length(op), 0) << int(op);
    for (std::uint8_t op : {0x80, 0x9E, 0x9F}) EXPECT_EQ(get_cdb_length(op), 16) << int(op);
    for (std::uint8_t op : {0xA0, 0xA3, 0xBF}) EXPECT_EQ(get_cdb_length(op), 12) << int(op);
    for (std::uint8_t op : {0xE0, 0xEC, 0xF0, 0xF2, 0xFF}) EXPECT_EQ(get_cdb_length(op), 10) << int(op);
    EXPECT_EQ(get_cdb_length(0xF1), 16);
}

TEST(GetXferLength, NamedOpcodesReadTheirOwnFields) {
    struct Case {
        std::uint8_t opcode;
        std::map<std::size_t, std::uint8_t> bytes;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {0x00, {{4, 0x20}}, 0},
        {0x12, {{4, 0xFE}}, 254},
        {0x15, {{4, 0x18}}, 0x18},
        {0x1A, {{4, 0xFF}}, 0xFF},
        {0x55, {{7, 0x01}, {8, 0x02}}, 0x0102},
        {0x5A, {{7, 0x10}, {8, 0x00}}, 0x1000},
        {0x1C, {{3, 0x02}, {4, 0x01}}, 0x0201},
        {0x1D, {{3, 0x00}, {4, 0x40}}, 0x40},
        {0x18, {{2, 0x01}, {3, 0x02}, {4, 0x03}}, 0x010203},
        {0x3A, {{2, 0x04}, {3, 0x05}, {4, 0x06}}, 0x040506},
        {0x3B, {{6, 0x00}, {7, 0x81}, {8, 0x00}}, 0x8100},
        {0x3C, {{6, 0x01}, {7, 0x00}, {8, 0x08}}, 0x010008},
        {0xEF, {{6, 0x00}, {7, 0x00}, {8, 0x90}}, 0x90},
        {0x3E, {{7, 0x02}, {8, 0x00}}, 0x200},
        {0x3F, {{7, 0x00}, {8, 0x10}}, 0x10},
        {0x42, {{7, 0x00}, {8, 0x24}}, 0x24},
        {0x4D, {{7, 0x00}, {8, 0x90}}, 0x90},
        {0x5F, {{7, 0x00}, {8, 0x18}}, 0x18},
        {0xA3, {{6, 0x00}, {7, 0x01}, {8, 0x00}, {9, 0x04}}, 0x010004},
        {0xEC, {{7, 0x00}, {8, 0x02}}, 0x0200},  // little-endian: byte 8 is the high byte
        {0x25, {{7, 0xFF}, {8, 0xFF}}, 8},       // 8 whatever the CDB says
        {0x41, {{7, 0x00}, {8, 0x03}}, 512},
        {0x93, {{10, 0x01}}, 512},
        {0x83, {{10, 0x00}, {11, 0x00}, {12, 0x01}, {13, 0x00}}, 0x100},
        {0x88, {{10, 0x00}, {11, 0x01}, {12, 0x00}, {13, 0x00}}, 0x10000},
        {0x8E, {{13, 0x30}}, 0x30},
        {0x8F, {{12, 0x02}, {13, 0x00}}, 0x200},
        {0x9E, {{1, 0x10}, {10, 0x00}, {11, 0x00}, {12, 0x00}, {13, 0x0C}}, 12},
    };
    for (const Case& c : cases) {
        const Bytes cdb = cdb_of(c.opcode, c.bytes);
        EXPECT_EQ(get_xfer_length(cdb.data(), 2088), c.expected) << std::hex << int(c.opcode);
    }
}

TEST(GetXferLength, VendorOpcodeF1CountsDoubleBlocks) {
    const Bytes cdb = cdb_of(0xF1, {{10, 0x00}, {11, 0x00}, {12, 0x00}, {13, 0x03}});
    EXPECT_EQ(get_xfer_length(cdb.data(), 512), 3u * 512 * 2);
    EXPECT_EQ(get_xfer_length(cdb.data(), 520), 3u * 520 * 2);
}

TEST(GetXferLength, OtherOpcodesCountBlocksByGroup) {
    // READ(6), READ(10), a group-2 command, READ(16), READ(12), a vendor group-7 command.
    EXPECT_EQ(get_xfer_length(cdb_of(0x08, {{4, 2}}).data(), 512), 1024u);
    EXPECT_EQ(get_xfer_length(cdb_of(0x28, {{7, 0x01}, {8, 0x00}}).data(), 520), 256u * 520);
    EXPECT_EQ(get_xfer_length(cdb_of(0x5E, {{7, 0x00}, {8, 0x02}}).data(), 512), 1024u);
    EXPECT_EQ(get_xfer_length(cdb_of(0x8A, {{13, 0x04}}).data(), 2088), 4u * 2088);
    EXPECT_EQ(get_xfer_length(cdb_of(0xA8, {{9, 0x05}}).data(), 512), 5u * 512);
    EXPECT_EQ(get_xfer_length(cdb_of(0xE0, {{7, 0x00}, {8, 0x03}}).data(), 512), 3u * 512);
    // Groups 3 and 6 are reserved: no data whatever follows the opcode.
    EXPECT_EQ(get_xfer_length(cdb_of(0x7E).data(), 512), 0u);
    EXPECT_EQ(get_xfer_length(cdb_of(0xC5).data(), 512), 0u);
}

// ================================================================================================
// Retry advice
// ================================================================================================

TEST(ShouldWeSuggestRetry, RulesApplyInOrderAndSenseKeyDecides) {
    struct Case {
        std::uint32_t status;
        bool sense;
        std::uint8_t key;
        std::int32_t expected;
    };
    const Case cases[] = {
        {0x0000, false, 0, 1},           // nothing to report
        {0x0020, false, 0, 1},           // a bit without a rule keeps the start value
        {0x0008, false, 0, 0},
        {0x0001, false, 0, 0},
        {0x0002, false, 0, 0},
        {0x0004, false, 0, 0},
        {0x0008 | 0x0040, false, 0, 1},  // busy comes later and overrides
        {0x0100, false, 0, 1},
        {0x0400, false, 0, 1},
        {0x0040 | 0x0800, false, 0, 0},  // incomplete overrides busy
        {0x0400 | 0x0200, false, 0, 0},
        {0x0400 | 0x1000, false, 0, 0},
        {0x0800 | 0x0080, false, 0, 1},  // check condition is the last word
        {0x0800, true, 0x06, 1},         // unit attention retries even when incomplete
        {0x0040, true, 0x05, 0},         // illegal request does not, even when busy
        {0x0020, true, 0x01, 1},
        {0x0020, true, 0x02, 1},
        {0x0020, true, 0x0B, 1},
        {0x0020, true, 0x03, 0},
        {0x0020, true, 0x00, 0},
    };
    for (const Case& c : cases) {
        T_CDB_ERROR err{};
        err.korvStatus = c.status;
        err.senseAvailable = c.sense ? 1 : 0;
        err.sense_key = c.key;
        EXPECT_EQ(should_we_suggest_retry(&err), c.expected) << std::hex << c.status << " key " << int(c.key);
    }
    EXPECT_EQ(should_we_suggest_retry(nullptr), 1);
}

// ================================================================================================
// Failure report
// ================================================================================================

T_CDB_ERROR sample_error() {
    T_CDB_ERROR err{};
    std::strcpy(err.raw_device_fn, "\\\\.\\PHYSICALDRIVE3");
    err.korvStatus = 0x0130;
    err.cdb[0] = 0x12;
    err.senseAvailable = 1;
    err.sense_key = 0x6;
    err.add_sense_code = 0x29;
    err.bytesToTransfer = 0xFE;
    err.bytesTransferred = 0x24;
    err.pid = 42;
    err.ioctlTimeoutSecs = 30;
    return err;
}

TEST(CdbErrorReport, LinesOfAFailureWithSense) {
    const T_CDB_ERROR err = sample_error();
    const std::vector<std::string> expected = {
        "\nTxCDB() IO failed. \n\n",
        "\nXMV Generic CDB error info:\n",
        "  pcdbErr->raw_device_fn    = \\\\.\\PHYSICALDRIVE3\n",
        "  pcdbErr->korvStatus       = 0x130 :\n",
        " Xfer over/under run,\n",
        " Reservation conflict,\n",
        " Retry suggested.\n",
        "  pcdbErr->cdb[0]           = 0x12\n",
        "  pcdbErr->senseAvailable?    YES\n",
        "  pcdbErr->sense_key        = 0x6\n",
        "  pcdbErr->add_sense_code   = 0x29\n",
        "  pcdbErr->bytesToTransfer  = 0xfe\n",
        "  pcdbErr->bytesTransferred = 0x24\n",
        "  pcdbErr->pid              = 0042\n",
        "  pcdbErr->ioctlTimeoutSecs = 30\n",
        "\nHost Specific CDB error info:\n",
    };
    EXPECT_EQ(cdb_error_report_lines(&err), expected);
}

TEST(CdbErrorReport, EveryNamedBitInTableOrderThenTheRetryLine) {
    T_CDB_ERROR err = sample_error();
    err.korvStatus = 0x1FEF;  // every bit but the retry bit
    err.senseAvailable = 0;
    const std::vector<std::string> lines = cdb_error_report_lines(&err);
    const std::vector<std::string> expected_middle = {
        "  pcdbErr->korvStatus       = 0x1fef :\n",
        " Xfer over/under run,\n",
        " Busy,\n",
        " Check condition,\n",
        " Reservation conflict,\n",
        " Timeout,\n",
        " Incomplete,\n",
        " Power fail,\n",
        " Retry NOT suggested.\n",
        "  pcdbErr->cdb[0]           = 0x12\n",
        "  pcdbErr->senseAvailable?    NO\n",
        "  pcdbErr->bytesToTransfer  = 0xfe\n",
    };
    ASSERT_GE(lines.size(), 3 + expected_middle.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.begin() + 3 + expected_middle.size()), expected_middle);
}

TEST(CdbErrorReport, NoStatusAndAnUnterminatedName) {
    T_CDB_ERROR err = sample_error();
    err.korvStatus = 0;
    std::memset(err.raw_device_fn, 'A', sizeof err.raw_device_fn);  // cut at its field
    const std::vector<std::string> lines = cdb_error_report_lines(&err);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[2], "  pcdbErr->raw_device_fn    = " + std::string(100, 'A') + "\n");
    EXPECT_EQ(lines[3], "  pcdbErr->korvStatus       = 0x0 :\n");
    EXPECT_EQ(lines[4], "  pcdbErr->cdb[0]           = 0x12\n");
    EXPECT_EQ(cdb_error_report_lines(nullptr), std::vector<std::string>{"\nTxCDB() IO failed. \n\n"});
}

TEST_F(TransportTest, PrintCdbErrorWritesThroughTheTraceOnlyWhenTracing) {
    const T_CDB_ERROR err = sample_error();
    {
        OutputCapture out;
        EXPECT_EQ(print_cdb_error(&err, 0), 0);
        EXPECT_EQ(out.text(), "");
    }
    sil_set_verbosity(kDebugVerbosity);
    OutputCapture out;
    EXPECT_EQ(print_cdb_error(&err, 0), 0);
    EXPECT_EQ(print_cdb_error(nullptr, 0), -1);
    const std::string text = out.text();
    EXPECT_EQ(count_of(text, "TxCDB() IO failed."), 2u);
    EXPECT_NE(text.find("  pcdbErr->korvStatus       = 0x130 :"), std::string::npos);
    EXPECT_NE(text.find(" Reservation conflict,"), std::string::npos);
    EXPECT_NE(text.find("  pcdbErr->pid              = 0042"), std::string::npos);
    EXPECT_EQ(count_of(text, "XMV Generic CDB error info:"), 1u);
}

// ================================================================================================
// One-line summary
// ================================================================================================

T_SIL_DEVICE summary_device() {
    T_SIL_DEVICE dev{};
    dev.korv_dev_num = 0x1A2;
    dev.director = 0x0C;
    dev.port = 1;
    dev.ucode_level = 0x5876;
    std::strcpy(dev.korid, "000190101234");
    std::strcpy(dev.name, "\\\\.\\PHYSICALDRIVE3");
    return dev;
}

const std::string kSummaryHead =
    "Cdb:%s DV#01A2 Dir:0C-1 Ucode:5876 Kor:000190101234 Dev:<\\\\.\\PHYSICALDRIVE3> Time:0.250/1.500 ";

std::string head_for(const char* opcode) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, kSummaryHead.c_str(), opcode);
    return buffer;
}

TEST(CdbSummary, PlainCommandLine) {
    const T_SIL_DEVICE dev = summary_device();
    const Bytes cdb = cdb_of(0x12, {{4, 0xFE}});
    const T_CDB_SUMMARY_COUNTS counts{3, 1, 0, 1.5};
    EXPECT_EQ(format_cdb_summary(cdb.data(), nullptr, 0, &dev, 0.25, counts, 0),
              head_for("12") + "status:0   Pass/Fail=00003/00001 ");
    EXPECT_EQ(format_cdb_summary(cdb.data(), nullptr, 0, &dev, 0.25, counts, -5),
              head_for("12") + "status:-5  Pass/Fail=00003/00001 ");
}

TEST(CdbSummary, DeviceNameCutAt78Characters) {
    T_SIL_DEVICE dev = summary_device();
    std::memset(dev.name, 'n', 80);
    dev.name[80] = '\0';
    const Bytes cdb = cdb_of(0x00);
    const std::string line = format_cdb_summary(cdb.data(), nullptr, 0, &dev, 0.25, {0, 0, 0, 1.5}, 0);
    EXPECT_NE(line.find("Dev:<" + std::string(78, 'n') + ">"), std::string::npos);
}

// A system-call buffer: an 8-byte prefix, then the header at offset 8 (long form).
Bytes syscall_buffer(std::size_t size) {
    Bytes data(size, 0);
    data[6] = 0x00;
    data[7] = 0x48;  // L = 0x48 + 8
    data[8] = 0x17;
    data[11] = 6;
    data[8 + 4] = 0x92;
    data[8 + 5] = 0x00;
    data[8 + 16] = 0x01;
    data[8 + 17] = 0x02;
    return data;
}

TEST(CdbSummary, WriteBufferShowsTheSystemCallAndItsReplicationGroup) {
    const T_SIL_DEVICE dev = summary_device();
    const Bytes cdb = cdb_of(0x3B, {{4, 0x11}, {5, 0x22}, {7, 0x02}});  // 0x200 bytes
    Bytes data = syscall_buffer(0x200);
    data[8 + 57] = 3;
    data[8 + 64] = 0xAB;
    data[8 + 65] = 0xCD;
    data[8 + 66] = 0xEF;
    EXPECT_EQ(format_cdb_summary(cdb.data(), data.data(), 0x200, &dev, 0.25, {1, 0, 2, 1.5}, 0),
              head_for("3B") + "status:0   Pass/Fail=00001/00000 BadCC:0002 CC:1122  L=0050  Sysc:9200_01_02 RPX:ABCDEF");
    data[8 + 57] = 8;  // more than 7 members is not a group
    EXPECT_EQ(format_cdb_summary(cdb.data(), data.data(), 0x200, &dev, 0.25, {1, 0, 2, 1.5}, 0),
              head_for("3B") + "status:0   Pass/Fail=00001/00000 BadCC:0002 CC:1122  L=0050  Sysc:9200_01_02");
}

TEST(CdbSummary, ReadBufferWithHeaderAtZeroShowsTheReturnCode) {
    const T_SIL_DEVICE dev = summary_device();
    const Bytes cdb = cdb_of(0x3C, {{4, 0x01}, {5, 0x02}, {7, 0x01}});  // 0x100 bytes
    Bytes data(0x100, 0);
    data[0] = 0x17;
    data[1] = 0x00;
    data[2] = 0x0A;
    data[4] = 4;  // short form
    data[6] = 0x00;
    data[7] = 0x20;
    data[16] = 0x33;
    EXPECT_EQ(format_cdb_summary(cdb.data(), data.data(), 0x100, &dev, 0.25, {1, 1, 0, 1.5}, -5),
              head_for("3C") + "status:-5  Pass/Fail=00001/00001 BadCC:0000 CC:0102  L=0028  Sysc:0400_33_00 RC=00-0a");
}

TEST(CdbSummary, BufferWithoutHeaderAndTheBadReplyPattern) {
    const T_SIL_DEVICE dev = summary_device();
    const Bytes cdb = cdb_of(0x3C, {{8, 0x40}});
    Bytes bad(0x40, 0);
    bad[0] = 0x01;
    EXPECT_EQ(format_cdb_summary(cdb.data(), bad.data(), 0x40, &dev, 0.25, {0, 1, 1, 1.5}, -5),
              head_for("3C") + "status:-5  Pass/Fail=00000/00001 BadCC:0001 CC:0000  L=0008  Sysc:0000_00_00 ORDER17 MISSING");
}

TEST(CdbSummary, HeaderLengthIsCutToTheTransferAndNothingIsReadPastIt) {
    // The reply claims 0xFFFF + 8 bytes; the command moved 16. The buffer is exactly 16 bytes
    // long, so a read past it would trip the address sanitizer.
    Bytes data(16, 0);
    data[6] = 0xFF;
    data[7] = 0xFF;
    data[8] = 0x17;
    data[11] = 6;
    const T_SYSCALL_BUFFER_HEADER h = find_syscall_header(data.data(), 16);
    EXPECT_EQ(h.length, 16u);
    EXPECT_EQ(h.start, 8u);
    EXPECT_TRUE(h.long_form);
    const T_SIL_DEVICE dev = summary_device();
    const Bytes cdb = cdb_of(0x3B, {{8, 16}});
    const std::string line = format_cdb_summary(cdb.data(), data.data(), 16, &dev, 0.25, {0, 0, 0, 1.5}, 0);
    EXPECT_NE(line.find("L=0010  Sysc:0000_00_00"), std::string::npos) << line;
    EXPECT_EQ(line.find("RPX"), std::string::npos);
}

TEST(CdbSummary, HeaderForms) {
    struct Case {
        std::map<std::size_t, std::uint8_t> bytes;
        T_SYSCALL_BUFFER_HEADER expected;
    };
    const Case cases[] = {
        {{{7, 0x10}, {8, 0x17}, {11, 6}}, {0x18, 8, true, false}},
        {{{7, 0x10}, {8, 0x17}, {12, 4}}, {0x18, 8, false, false}},
        {{{0, 0x17}, {3, 6}, {7, 0x10}}, {0x18, 0, true, false}},
        {{{0, 0x17}, {4, 4}, {7, 0x10}}, {0x18, 0, false, false}},
        {{{7, 0x10}, {8, 0x17}}, {0x18, 8, true, false}},  // the order byte alone
        {{}, {8, 8, true, false}},                          // all zero
        {{{0, 0x01}}, {8, 8, true, true}},                  // the bad-reply pattern
        {{{0, 0x01}, {31, 0x01}}, {0, 8, true, false}},     // not quite: data without a header
        {{{40, 0x55}}, {0, 8, true, false}},
    };
    for (const Case& c : cases) {
        Bytes data(64, 0);
        for (auto [index, value] : c.bytes) data[index] = value;
        const T_SYSCALL_BUFFER_HEADER h = find_syscall_header(data.data(), 64);
        EXPECT_EQ(h.length, c.expected.length);
        EXPECT_EQ(h.start, c.expected.start);
        EXPECT_EQ(h.long_form, c.expected.long_form);
        EXPECT_EQ(h.bad_reply, c.expected.bad_reply);
    }
}

TEST_F(TransportTest, SummaryCountersAreNotLostAcrossThreads) {
    sil_set_verbosity(SIL_TC_CDB_LOG);  // data dump on, nothing written (level 0)
    const T_CDB_SUMMARY_COUNTS before = sil_cdb_summary_counts();
    const Bytes cdb = cdb_of(0x3C, {{8, 0x40}});
    Bytes bad(0x40, 0);
    bad[0] = 0x01;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                log_cdb_summary(cdb.data(), bad.data(), &dev_, sil_seconds_now(), (t % 2 == 0) ? 0 : -5);
            }
        });
    }
    for (std::thread& th : threads) th.join();
    const T_CDB_SUMMARY_COUNTS after = sil_cdb_summary_counts();
    EXPECT_EQ(after.passed - before.passed, 2u * kPerThread);
    EXPECT_EQ(after.failed - before.failed, 2u * kPerThread);
    EXPECT_EQ(after.bad_replies - before.bad_replies, std::uint32_t{kThreads * kPerThread});
    EXPECT_GE(after.total_seconds, before.total_seconds);
}

TEST_F(TransportTest, SummaryNotCountedWhileTheDumpIsOff) {
    const T_CDB_SUMMARY_COUNTS before = sil_cdb_summary_counts();
    const Bytes cdb = cdb_of(0x00);
    log_cdb_summary(cdb.data(), nullptr, &dev_, sil_seconds_now(), 0);
    EXPECT_EQ(sil_cdb_summary_counts().passed, before.passed);
}

// ================================================================================================
// Dumps: never past the bytes the command asked for
// ================================================================================================

T_SIL_IO_DATA_IN record_for(const Bytes& cdb, std::uint32_t done) {
    T_SIL_IO_DATA_IN io{};
    std::copy(cdb.begin(), cdb.end(), io.cdb);
    io.cdb_len = get_cdb_length(cdb[0]);
    io.xfer_len = get_xfer_length(cdb.data(), 512);
    io.xfer_done = done;
    io.block_size = 512;
    return io;
}

class DumpTest : public TransportTest {
protected:
    void SetUp() override {
        TransportTest::SetUp();
        sil_set_verbosity(kDebugVerbosity | SIL_TC_CDB_LOG);
    }
    // What dump_cdb_in (or dump_cdb_out) writes for this CDB, reply and byte count.
    static std::string dumped(const Bytes& cdb, const Bytes& data, std::uint32_t done, bool out_dump = false) {
        const T_SIL_IO_DATA_IN io = record_for(cdb, done);
        OutputCapture out;
        (out_dump ? dump_cdb_out : dump_cdb_in)(&io, data.empty() ? nullptr : data.data(), 0);
        return out.text();
    }
};

TEST_F(DumpTest, InquiryDumpCutToTheAllocationLength) {
    const Bytes cdb = cdb_of(0x12, {{4, 36}});
    Bytes data(36, 0x41);
    data[4] = 0xFB;  // claims 0xFF bytes
    const std::string text = dumped(cdb, data, 36);
    EXPECT_NE(text.find("INQUIRY data:"), std::string::npos);
    EXPECT_NE(text.find("SCSI DMA bytes requested: 0x24. Actual bytes transferred: 0x24. XMV 3c xfer: 0x0"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" 0020: "), std::string::npos);
    EXPECT_EQ(text.find(" 0030: "), std::string::npos);
}

TEST_F(DumpTest, InquiryDumpFollowsTheAdditionalLength) {
    const Bytes cdb = cdb_of(0x12, {{4, 0xFE}});
    Bytes data(0xFE, 0);
    data[4] = 0x1F;  // 0x1F + 4 = 0x23 bytes
    const std::string text = dumped(cdb, data, 0xFE);
    EXPECT_NE(text.find("Actual bytes transferred: 0x23."), std::string::npos) << text;
    EXPECT_NE(text.find(" 0020: "), std::string::npos);
    EXPECT_EQ(text.find(" 0030: "), std::string::npos);
}

TEST_F(DumpTest, LogSenseNeverShowsMoreThanAskedFor) {
    const Bytes cdb = cdb_of(0x4D, {{8, 16}});
    Bytes data(16, 0x42);
    const std::string text = dumped(cdb, data, 16);
    EXPECT_NE(text.find("LOG SENSE data:"), std::string::npos);
    EXPECT_NE(text.find(" 0000: "), std::string::npos);
    EXPECT_EQ(text.find(" 0010: "), std::string::npos);
}

TEST_F(DumpTest, OddLengthFallbackCutToTheTransfer) {
    // Nothing asked for: the shown length falls back to 512, cut to the 0 bytes of the command,
    // so the (absent) buffer is never touched.
    const std::string text = dumped(cdb_of(0x1C), {}, 0);
    EXPECT_NE(text.find("SCSI DMA bytes requested: 0x0. Actual bytes transferred: 0x0. XMV 3c xfer: 0x0"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("RECEIVE DIAGNOSTIC data:"), std::string::npos);
}

TEST_F(DumpTest, NegativeTransferCountIsReported) {
    const Bytes cdb = cdb_of(0x1C, {{4, 24}});
    Bytes data(24, 0x43);
    const std::string text = dumped(cdb, data, 0xFFFFFFF0u);
    EXPECT_NE(text.find("IO length is negative, this only effects debug, probably caused by Sun fibre"),
              std::string::npos);
    EXPECT_NE(text.find("RECEIVE DIAGNOSTIC data:"), std::string::npos);
    EXPECT_NE(text.find(" 0010: "), std::string::npos);
    EXPECT_EQ(text.find(" 0020: "), std::string::npos);
}

TEST_F(DumpTest, ReadBufferSplitsHeaderAndData) {
    const Bytes cdb = cdb_of(0x3C, {{7, 0x01}});  // 0x100 bytes asked for
    Bytes data = syscall_buffer(0x100);          // claims 0x50 bytes, long header at 8
    data[8 + 23] = 0x02;                         // one extension: header part 8 + 24 + 16 = 48
    const std::string text = dumped(cdb, data, 0x100);
    EXPECT_NE(text.find("Actual bytes transferred: 0x50. XMV 3c xfer: 0x50"), std::string::npos) << text;
    const std::size_t header = text.find("READ HEADER data:");
    const std::size_t rest = text.find("READ BUFFER data:");
    ASSERT_NE(header, std::string::npos);
    ASSERT_NE(rest, std::string::npos);
    EXPECT_LT(header, rest);
    // 48 header bytes: rows 0000-0020; 32 more bytes: rows 0000-0010 again, nothing at 0020.
    EXPECT_NE(text.substr(header, rest - header).find(" 0020: "), std::string::npos);
    EXPECT_EQ(text.substr(rest).find(" 0020: "), std::string::npos);
    EXPECT_NE(text.substr(rest).find(" 0010: "), std::string::npos);
}

TEST_F(DumpTest, DumpOutShowsCdbAndWriteBufferData) {
    const Bytes cdb = cdb_of(0x3B, {{8, 0x20}});
    Bytes data(0x20, 0x44);
    const std::string text = dumped(cdb, data, 0, true);
    const std::size_t cdb_label = text.find("CDB:");
    const std::size_t data_label = text.find("WRITE BUFFER data:");
    ASSERT_NE(cdb_label, std::string::npos);
    ASSERT_NE(data_label, std::string::npos);
    EXPECT_LT(cdb_label, data_label);
    EXPECT_NE(text.find("3b 00 00 00 00 00 00 00  20 00"), std::string::npos) << text;
}

TEST_F(DumpTest, NothingWhileTheDumpBitIsOff) {
    sil_set_verbosity(kDebugVerbosity & ~SIL_TC_CDB_LOG);
    const Bytes cdb = cdb_of(0x12, {{4, 36}});
    const Bytes data(36, 0);
    EXPECT_EQ(dumped(cdb, data, 36, true) + dumped(cdb, data, 36), "");
}

// ================================================================================================
// TxCDB on the Windows road
// ================================================================================================

TEST_F(TransportTest, PassThroughBlockForAnInquiry) {
    Bytes data(254, 0);
    fake().on_ioctl = answer(0, 0, 254);
    ASSERT_EQ(send(cdb_of(0x12, {{4, 0xFE}}), 0, data), 0);
    ASSERT_EQ(fake().calls.size(), 1u);
    const IoCall& call = fake().calls[0];
    EXPECT_EQ(call.code, 0x4D014u);
    EXPECT_EQ(call.in_length, 96u);
    EXPECT_EQ(call.out_length, 96u);
    EXPECT_EQ(call.error_mode, 1u);                                    // critical errors silenced
    EXPECT_EQ(fake().error_mode, FakePlatform::kInitialErrorMode);     // and restored
    const Block b = only_block();
    EXPECT_EQ(b.sptd.Length, 56);
    EXPECT_EQ(b.sptd.ScsiStatus, 0);
    EXPECT_EQ(b.sptd.PathId, 0);
    EXPECT_EQ(b.sptd.TargetId, 1);
    EXPECT_EQ(b.sptd.Lun, 0);
    EXPECT_EQ(b.sptd.CdbLength, 6);
    EXPECT_EQ(b.sptd.SenseInfoLength, 24);
    EXPECT_EQ(b.sptd.DataIn, 1);
    EXPECT_EQ(b.sptd.DataTransferLength, 254u);
    EXPECT_EQ(b.sptd.TimeOutValue, 120u);
    EXPECT_EQ(b.sptd.DataBuffer, data.data());
    EXPECT_EQ(b.sptd.SenseInfoOffset, 60u);
    const std::uint8_t expected_cdb[16] = {0x12, 0, 0, 0, 0xFE, 0};
    EXPECT_EQ(std::memcmp(b.sptd.Cdb, expected_cdb, 16), 0);

    // The error record comes back on success too.
    EXPECT_EQ(err_.korvStatus, 0u);
    EXPECT_EQ(err_.pid, 4242u);
    EXPECT_EQ(err_.bytesToTransfer, 254u);
    EXPECT_EQ(err_.bytesTransferred, 254u);
    EXPECT_EQ(err_.cdb[4], 0xFE);
    EXPECT_STREQ(err_.raw_device_fn, "\\\\.\\PHYSICALDRIVE3");
    EXPECT_EQ(err_.ioctlTimeoutSecs, 120u);
}

TEST_F(TransportTest, DataDirectionPerOpcodeAndDirection) {
    struct Case {
        Bytes cdb;
        std::uint8_t direction;
        std::uint8_t data_in;
        std::uint8_t cdb_length;
    };
    const Case cases[] = {
        {cdb_of(0x3B, {{8, 0x10}}), 1, pds::win::SCSI_IOCTL_DATA_OUT, 10},  // WRITE BUFFER sends
        {cdb_of(0x3C, {{8, 0x10}}), 0, pds::win::SCSI_IOCTL_DATA_IN, 10},
        {cdb_of(0x00), 1, pds::win::SCSI_IOCTL_DATA_IN, 6},                 // TEST UNIT READY
        {cdb_of(0x16), 1, pds::win::SCSI_IOCTL_DATA_IN, 6},
        {cdb_of(0x17), 1, pds::win::SCSI_IOCTL_DATA_IN, 6},
        {cdb_of(0x9E, {{1, 0x10}, {13, 12}}), 0, pds::win::SCSI_IOCTL_DATA_IN, 16},
        {cdb_of(0xA3, {{9, 4}}), 2, pds::win::SCSI_IOCTL_DATA_IN, 12},
    };
    for (const Case& c : cases) {
        fake().reset();
        Bytes data(0x20, 0);
        EXPECT_EQ(send(c.cdb, c.direction, data), 0);
        const Block b = only_block();
        EXPECT_EQ(b.sptd.DataIn, c.data_in) << std::hex << int(c.cdb[0]);
        EXPECT_EQ(b.sptd.CdbLength, c.cdb_length) << std::hex << int(c.cdb[0]);
        EXPECT_EQ(b.sptd.DataTransferLength, get_xfer_length(c.cdb.data(), 512));
    }
}

TEST_F(TransportTest, CustomSettings) {
    Bytes data(0x2000, 0);
    const Bytes read10 = cdb_of(0x28, {{8, 2}});
    T_SIL_IOCTL_SETTINGS settings{};

    // A small integer in place of the pointer means no settings; it is never dereferenced.
    fake().reset();
    ASSERT_EQ(send(read10, 0, data, reinterpret_cast<const T_SIL_IOCTL_SETTINGS*>(std::uintptr_t{1})), 0);
    EXPECT_EQ(only_block().sptd.TimeOutValue, 120u);
    EXPECT_EQ(only_block().sptd.DataTransferLength, 1024u);

    for (std::int32_t invalid : {0, 300, -1}) {
        fake().reset();
        settings.ioctlTimeoutSecs = invalid;
        ASSERT_EQ(send(read10, 0, data, &settings), 0);
        EXPECT_EQ(only_block().sptd.TimeOutValue, 120u) << invalid;
        EXPECT_EQ(err_.ioctlTimeoutSecs, 120u) << invalid;
    }

    // Accepted, then raised to the Windows minimum; the error record keeps the asked value.
    fake().reset();
    settings.ioctlTimeoutSecs = 5;
    ASSERT_EQ(send(read10, 0, data, &settings), 0);
    EXPECT_EQ(only_block().sptd.TimeOutValue, 10u);
    EXPECT_EQ(err_.ioctlTimeoutSecs, 5u);

    fake().reset();
    settings.ioctlTimeoutSecs = 299;
    settings.use_520_blocks = 1;
    settings.use_2088_blocks = 1;
    ASSERT_EQ(send(read10, 0, data, &settings), 0);
    EXPECT_EQ(only_block().sptd.TimeOutValue, 299u);
    EXPECT_EQ(only_block().sptd.DataTransferLength, 2u * 520);

    fake().reset();
    settings.use_520_blocks = 0;
    ASSERT_EQ(send(read10, 0, data, &settings), 0);
    EXPECT_EQ(only_block().sptd.DataTransferLength, 2u * 2088);
}

// Answers the pass-through with access denied and the property query with a descriptor whose
// raw properties claim `raw_length` bytes of 'R'.
auto access_denied_with_descriptor(std::uint32_t raw_length) {
    return [=](std::uint32_t code, void* out, std::uint32_t out_length, std::uint32_t& returned) -> pds::os_error {
        if (code == pds::win::IOCTL_SCSI_PASS_THROUGH_DIRECT) return pds::kErrorAccessDenied;
        auto* bytes = static_cast<std::uint8_t*>(out);
        std::memset(bytes + pds::win::kStorageDeviceDescriptorHeader, 'R',
                    out_length - pds::win::kStorageDeviceDescriptorHeader);
        std::memcpy(bytes + 32, &raw_length, 4);
        returned = out_length;
        return 0;
    };
}

TEST_F(TransportTest, AccessDeniedInquiryAnsweredFromTheStorageProperty) {
    fake().on_ioctl = access_denied_with_descriptor(96);
    Bytes data(36 + 8, 0);  // 8 guard bytes past what the INQUIRY asks for
    ASSERT_EQ(send(cdb_of(0x12, {{4, 36}}), 0, data), 0);
    ASSERT_EQ(fake().calls.size(), 2u);
    const IoCall& query = fake().calls[1];
    EXPECT_EQ(query.code, 0x2D1400u);
    EXPECT_EQ(query.in, Bytes(12, 0));
    EXPECT_EQ(query.out_length, 2048u);
    EXPECT_EQ(query.error_mode, 1u);
    EXPECT_EQ(fake().error_mode, FakePlatform::kInitialErrorMode);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 36), Bytes(36, 'R'));
    EXPECT_EQ(Bytes(data.begin() + 36, data.end()), Bytes(8, 0));
    EXPECT_EQ(err_.bytesTransferred, 36u);
    EXPECT_EQ(dev_.io_ok_flags, SIL_IO_OK_ANY | SIL_IO_OK_INQUIRY);
    EXPECT_TRUE(fake().mp_values.empty());
}

TEST_F(TransportTest, PropertyDescriptorLengthCutToTheInquiry) {
    // The buffer is exactly what the INQUIRY asks for: a longer copy trips the address sanitizer.
    struct Case {
        std::uint32_t raw_length;
        std::uint8_t allocation;
        std::uint32_t copied;
    };
    for (const Case c : {Case{0xFFFFFFFF, 0xFE, 254}, Case{5000, 0xFF, 255}, Case{20, 36, 20}}) {
        fake().reset();
        fake().on_ioctl = access_denied_with_descriptor(c.raw_length);
        Bytes data(c.allocation, 0);
        ASSERT_EQ(send(cdb_of(0x12, {{4, c.allocation}}), 0, data), 0);  // a short copy is no failure
        EXPECT_EQ(err_.bytesTransferred, c.copied);
        EXPECT_EQ(Bytes(data.begin(), data.begin() + c.copied), Bytes(c.copied, 'R'));
        EXPECT_EQ(Bytes(data.begin() + c.copied, data.end()), Bytes(data.size() - c.copied, 0));
    }
}

TEST_F(TransportTest, AccessDeniedReadCapacityIsNotAnsweredFromTheProperty) {
    fake().on_ioctl = access_denied_with_descriptor(8);
    Bytes data(8, 0);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    ASSERT_EQ(fake().calls.size(), 1u);
    EXPECT_EQ(fake().calls[0].code, 0x4D014u);
    EXPECT_EQ(err_.os_error, 5u);
    EXPECT_EQ(data, Bytes(8, 0));
    EXPECT_EQ(dev_.io_ok_flags, 0);
}

TEST_F(TransportTest, SenseDataCopiedWithRetryAdvice) {
    fake().on_ioctl = answer(0, 0x02, 0, sense_bytes(0x06, 0x29, 0x01));
    Bytes data(254, 0);
    EXPECT_EQ(send(cdb_of(0x12, {{4, 0xFE}}), 0, data), -5);
    EXPECT_EQ(err_.senseAvailable, 1);
    EXPECT_EQ(err_.sense_key, 0x06);
    EXPECT_EQ(err_.add_sense_code, 0x29);
    EXPECT_EQ(err_.add_sense_qualifier, 0x01);
    EXPECT_EQ(Bytes(err_.sense_data, err_.sense_data + 18), sense_bytes(0x06, 0x29, 0x01));
    // Under-run (0 of 254 bytes) and, for a unit attention, retry.
    EXPECT_EQ(err_.korvStatus, CDB_ERR_XFER_RUN | CDB_ERR_RETRY);
    EXPECT_EQ(err_.bytesTransferred, 0u);
    EXPECT_EQ(dev_.io_ok_flags, 0);
}

TEST_F(TransportTest, SenseKeyDecidesOnceAStatusBitIsSet) {
    // All bytes moved: the sense copy leaves no status bit, and no status means retry.
    fake().on_ioctl = answer(0, 0x02, 8, sense_bytes(0x05, 0x24, 0x00));
    Bytes data(8, 0);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_EQ(err_.sense_key, 0x05);
    EXPECT_EQ(err_.korvStatus, CDB_ERR_RETRY);

    // An under-run sets a bit: then the illegal request's sense key says no.
    fake().reset();
    fake().on_ioctl = answer(0, 0x02, 0, sense_bytes(0x05, 0x24, 0x00));
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_EQ(err_.korvStatus, CDB_ERR_XFER_RUN);
}

TEST_F(TransportTest, NoSenseFromARequestTheSystemFailed) {
    // The block is not handed back on an OS failure: its sense length is still the 24 asked for.
    fake().on_ioctl = [](std::uint32_t, void*, std::uint32_t, std::uint32_t&) { return pds::os_error{1167}; };
    Bytes data(8, 0);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_EQ(err_.senseAvailable, 0);
    EXPECT_EQ(err_.os_error, 1167u);
    EXPECT_EQ(err_.bytesTransferred, 8u);
    EXPECT_EQ(err_.korvStatus, CDB_ERR_RETRY);
}

TEST_F(TransportTest, SenseCopyLimitedToWhatWasAskedFor) {
    fake().on_ioctl = [](std::uint32_t, void* out, std::uint32_t, std::uint32_t& returned) {
        auto& block = *static_cast<Block*>(out);
        block.sptd.ScsiStatus = 0x02;
        block.sptd.SenseInfoLength = 200;  // more than the 32-byte buffer
        std::memset(block.sense, 0xAA, sizeof block.sense);
        returned = sizeof(Block);
        return pds::os_error{0};
    };
    Bytes data(8, 0);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_EQ(err_.sense_data[23], 0xAA);
    EXPECT_EQ(err_.sense_data[24], 0x00);
    EXPECT_EQ(err_.sense_key, 0x0A);
}

TEST_F(TransportTest, OverUnderRunOnlyWhenTheCountsDiffer) {
    fake().on_ioctl = answer(31, 0, 254);  // failed, but every byte accounted for
    Bytes data(254, 0);
    EXPECT_EQ(send(cdb_of(0x12, {{4, 0xFE}}), 0, data), -5);
    EXPECT_EQ(err_.korvStatus & CDB_ERR_XFER_RUN, 0u);
    EXPECT_EQ(err_.os_error, 31u);

    fake().reset();
    fake().on_ioctl = answer(31, 0, 100);
    EXPECT_EQ(send(cdb_of(0x12, {{4, 0xFE}}), 0, data), -5);
    EXPECT_EQ(err_.korvStatus & CDB_ERR_XFER_RUN, CDB_ERR_XFER_RUN);
    EXPECT_EQ(err_.bytesTransferred, 100u);
}

TEST_F(TransportTest, ReservationProbeAfterAnIoDeviceError) {
    int pass_throughs = 0;
    fake().on_ioctl = [&](std::uint32_t code, void* out, std::uint32_t, std::uint32_t& returned) -> pds::os_error {
        auto& block = *static_cast<Block*>(out);
        returned = sizeof(Block);
        if (++pass_throughs == 1) {
            block.sptd.DataTransferLength = 0;
            return pds::kErrorIoDevice;
        }
        return 0;  // the probe's INQUIRY goes through
    };
    Bytes data(8, 0);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    const std::vector<Block> blocks = fake().pass_through_blocks();
    ASSERT_EQ(blocks.size(), 2u);
    const Block& probe = blocks[1];
    const std::uint8_t probe_cdb[6] = {0x12, 0x00, 0x00, 0x00, 0x90, 0x00};
    EXPECT_EQ(probe.sptd.CdbLength, 6);
    EXPECT_EQ(std::memcmp(probe.sptd.Cdb, probe_cdb, 6), 0);
    EXPECT_EQ(probe.sptd.DataIn, 1);
    EXPECT_EQ(probe.sptd.DataTransferLength, 144u);
    EXPECT_EQ(probe.sptd.TimeOutValue, 120u);
    EXPECT_EQ(probe.sptd.Length, 56);
    EXPECT_EQ(probe.sptd.TargetId, 1);
    EXPECT_EQ(probe.sptd.SenseInfoOffset, 60u);
    EXPECT_EQ(fake().calls[1].error_mode, 1u);
    EXPECT_EQ(err_.korvStatus, CDB_ERR_RESERVATION | CDB_ERR_XFER_RUN | CDB_ERR_RETRY);
}

TEST_F(TransportTest, NoReservationBitWithoutAnAnsweringProbe) {
    Bytes data(8, 0);
    // The probe fails as well: no reservation.
    fake().on_ioctl = answer(pds::kErrorIoDevice, 0, 8);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_EQ(fake().pass_through_blocks().size(), 2u);
    EXPECT_EQ(err_.korvStatus & CDB_ERR_RESERVATION, 0u);
    // Other errors are not probed.
    fake().reset();
    fake().on_ioctl = answer(31, 0, 8);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_EQ(fake().pass_through_blocks().size(), 1u);
}

TEST_F(TransportTest, SuccessFlagsPerOpcode) {
    struct Case {
        Bytes cdb;
        std::uint8_t direction;
        std::uint8_t flags;
    };
    const Case cases[] = {
        {cdb_of(0x12, {{4, 36}}), 0, SIL_IO_OK_ANY | SIL_IO_OK_INQUIRY},
        {cdb_of(0x25), 0, SIL_IO_OK_ANY | SIL_IO_OK_READCAP},
        {cdb_of(0x3B, {{8, 0x10}}), 1, SIL_IO_OK_ANY | SIL_IO_OK_BUFFER},
        {cdb_of(0x3C, {{8, 0x10}}), 0, SIL_IO_OK_ANY | SIL_IO_OK_BUFFER},
        {cdb_of(0x9E, {{1, 0x10}, {13, 32}}), 0, SIL_IO_OK_ANY},
        {cdb_of(0x00), 0, SIL_IO_OK_ANY},
    };
    for (const Case& c : cases) {
        fake().reset();
        dev_.io_ok_flags = 0;
        Bytes data(64, 0);
        EXPECT_EQ(send(c.cdb, c.direction, data), 0);
        EXPECT_EQ(dev_.io_ok_flags, c.flags) << std::hex << int(c.cdb[0]);
    }
}

// ================================================================================================
// The multipath road
// ================================================================================================

TEST_F(TransportTest, MultipathSuccessTakesOverTheDevice) {
    fake().on_ioctl = answer(1, 0, 0);  // the Windows request fails
    fake().on_mp = [](Block& block) {
        block.sptd.DataTransferLength = 36;
        return 0u;
    };
    Bytes data(36, 0);
    const Bytes inquiry = cdb_of(0x12, {{4, 36}});
    ASSERT_EQ(send(inquiry, 0, data), 0);
    ASSERT_EQ(fake().mp_values, std::vector<std::uint32_t>{32});
    const Block& mp = fake().mp_blocks[0];
    EXPECT_EQ(mp.sptd.Length, 56);
    EXPECT_EQ(mp.sptd.CdbLength, 6);
    EXPECT_EQ(mp.sptd.Cdb[4], 36);
    EXPECT_EQ(mp.sptd.DataBuffer, data.data());
    EXPECT_EQ(mp.sptd.DataTransferLength, 36u);
    EXPECT_EQ(dev_.io_ok_flags, SIL_IO_VIA_MP_PASSTHRU | SIL_IO_OK_ANY | SIL_IO_OK_INQUIRY);
    EXPECT_EQ(dev_.mp_passthru_failed, 0);

    // Later commands skip the Windows request.
    fake().calls.clear();
    ASSERT_EQ(send(inquiry, 0, data), 0);
    EXPECT_TRUE(fake().calls.empty());
    EXPECT_EQ(fake().mp_values.size(), 2u);
}

TEST_F(TransportTest, MultipathFailureIsNeverTriedAgain) {
    fake().on_ioctl = answer(1, 0, 0);
    Bytes data(8, 0);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_EQ(fake().mp_values.size(), 1u);
    EXPECT_EQ(dev_.mp_passthru_failed, 1);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_EQ(fake().mp_values.size(), 1u);
    EXPECT_EQ(fake().pass_through_blocks().size(), 2u);
}

TEST_F(TransportTest, MultipathFailingLaterSendsTheDeviceBackToWindows) {
    dev_.io_ok_flags = SIL_IO_VIA_MP_PASSTHRU;
    fake().on_mp = [](Block&) { return pds::kMpNotSupported; };
    Bytes data(8, 0);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_TRUE(fake().calls.empty());
    EXPECT_EQ(dev_.mp_passthru_failed, 1);
    EXPECT_EQ(dev_.io_ok_flags & SIL_IO_VIA_MP_PASSTHRU, 0);

    fake().on_ioctl = answer(0, 0, 8);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), 0);
    EXPECT_EQ(fake().pass_through_blocks().size(), 1u);
    EXPECT_EQ(fake().mp_values.size(), 1u);
}

TEST_F(TransportTest, MultipathSuccessWithBadScsiStatusStillFails) {
    fake().on_ioctl = answer(1, 0, 0);
    fake().on_mp = [](Block& block) {
        block.sptd.ScsiStatus = 0x18;  // reservation conflict status
        block.sptd.DataTransferLength = 0;
        return 0u;
    };
    Bytes data(8, 0);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_EQ(dev_.io_ok_flags, SIL_IO_VIA_MP_PASSTHRU);
}

// ================================================================================================
// Devices the transport refuses
// ================================================================================================

TEST_F(TransportTest, RefusedDevicesSendNothing) {
    Bytes data(8, 0);
    for (std::uint32_t method : {SIL_ACCESS_SOCKET, SIL_ACCESS_KORVWIN}) {
        dev_.access_method = method;
        EXPECT_EQ(send(cdb_of(0x25), 0, data), -104) << method;
    }
    dev_.access_method = SIL_ACCESS_OS;
    for (std::uint32_t conn : {101u, 102u, 103u}) {
        dev_.conn_type = conn;
        EXPECT_EQ(send(cdb_of(0x25), 0, data), SIL_ERR_DAEMON_NOT_AVAILABLE) << conn;
        EXPECT_EQ(send(cdb_of(0x00), 0, data), SIL_ERR_DAEMON_NOT_AVAILABLE) << conn;
    }
    EXPECT_EQ(TxCDB(cdb_of(0x25).data(), 0, nullptr, nullptr, data.data(), nullptr, 0, 0), -105);
    EXPECT_TRUE(fake().calls.empty());
    EXPECT_TRUE(fake().mp_values.empty());
}

#if GTEST_HAS_DEATH_TEST
// The library must refuse before SIL_init. The check runs in a fresh process (the threadsafe
// death-test style re-executes this binary for this test alone), where no fixture has started
// the library.
TEST(TransportBeforeInit, ReturnsMinus102AndSendsNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            fake().reset();
            T_SIL_DEVICE dev{};
            const Bytes cdb = cdb_of(0x12, {{4, 36}});
            Bytes data(36, 0);
            const std::int32_t rc = SIL_is_initialised()
                                        ? 1
                                        : TxCDB(cdb.data(), 0, nullptr, nullptr, data.data(), &dev, 0, 0);
            std::exit(rc == -102 && fake().calls.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

// ================================================================================================
// Output
// ================================================================================================

TEST_F(TransportTest, SilentFailureWithDumpOffAndNoDebug) {
    fake().on_ioctl = answer(pds::kErrorIoDevice, 0x02, 0, sense_bytes(0x03, 0x11, 0x00));
    Bytes data(254, 0);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(send(cdb_of(0x12, {{4, 0xFE}}), 0, data), -5);
    std::fflush(sil_out());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(TransportTest, FailureReportPrintedByTheRoadAndByTxCDB) {
    sil_set_verbosity(kDebugVerbosity);
    fake().on_ioctl = answer(31, 0x02, 0, sense_bytes(0x06, 0x29, 0x00));
    Bytes data(254, 0);
    OutputCapture out;
    EXPECT_EQ(send(cdb_of(0x12, {{4, 0xFE}}), 0, data), -5);
    const std::string text = out.text();
    EXPECT_EQ(count_of(text, "TxCDB() IO failed."), 2u);
    // The road's report comes before the retry advice, TxCDB's after it.
    EXPECT_EQ(count_of(text, " Retry NOT suggested."), 1u);
    EXPECT_EQ(count_of(text, " Retry suggested."), 1u);
    EXPECT_LT(text.find(" Retry NOT suggested."), text.find(" Retry suggested."));
    EXPECT_NE(text.find("Error in sending cdb, GetLastError() returns 31"), std::string::npos);
}

TEST_F(TransportTest, ForcedDumpStaysOnAndLogsTheCommand) {
    sil_set_verbosity(kDebugVerbosity & ~SIL_TC_CDB_LOG);
    dev_.korv_dev_num = 0x2B;
    std::strcpy(dev_.korid, "000190105555");
    fake().on_ioctl = answer(0, 0, 36);
    Bytes data(36, 0x20);
    data[4] = 31;
    const T_CDB_SUMMARY_COUNTS before = sil_cdb_summary_counts();
    OutputCapture out;
    ASSERT_EQ(send(cdb_of(0x12, {{4, 36}}), 0, data, nullptr, 1), 0);
    EXPECT_NE(sil_trace_on() & SIL_TC_CDB_LOG, 0u);
    EXPECT_EQ(sil_cdb_summary_counts().passed, before.passed + 1);
    const std::string text = out.text();
    EXPECT_NE(text.find("SIL dev: fid=68 isOpen=1 name=<\\\\.\\PHYSICALDRIVE3>, bus: 0 tid: 0 lun: 0"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("SIL dev: ucode=0x0 date=0x00000000 korvModel=0x0000 cap=0 ckd=-1"), std::string::npos);
    EXPECT_NE(text.find("SIL dev: korid: 000190105555"), std::string::npos);
    EXPECT_NE(text.find("CDB:"), std::string::npos);
    EXPECT_NE(text.find("INQUIRY data:"), std::string::npos);
    EXPECT_NE(text.find("Cdb:12 DV#002B Dir:00-0 Ucode:0000 Kor:000190105555 Dev:<\\\\.\\PHYSICALDRIVE3> Time:"),
              std::string::npos);
    EXPECT_NE(text.find("status:0   Pass/Fail="), std::string::npos);

    // Still on for the next command, without asking.
    OutputCapture again;
    ASSERT_EQ(send(cdb_of(0x12, {{4, 36}}), 0, data), 0);
    EXPECT_NE(again.text().find("INQUIRY data:"), std::string::npos);
}

TEST_F(TransportTest, DeviceLineShowsTheCkdBitOfValidInquiryData) {
    sil_set_verbosity(kDebugVerbosity);
    KOR_INQ_PAGE0 page{};
    page.device_flags = KOR_FLAG_CKD;
    dev_.inquiry = 1;
    dev_.inquiry_data = &page;
    fake().on_ioctl = answer(0, 0, 0);
    Bytes data;
    OutputCapture out;
    ASSERT_EQ(send(cdb_of(0x00), 0, data), 0);
    EXPECT_NE(out.text().find(" ckd=1"), std::string::npos);
    dev_.inquiry_data = nullptr;
}

}  // namespace
