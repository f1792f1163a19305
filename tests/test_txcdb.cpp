// Tests of the SCSI transport: length rules, retry advice, failure report, summary line, dumps, and
// the Windows and multipath roads against a fake platform.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <tuple>
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
#include "support/forwarding_platform.h"

namespace {

using Block = pds::win::ScsiPassThroughDirectWithSense;
using Bytes = std::vector<std::uint8_t>;
using Pokes = std::map<std::size_t, std::uint8_t>;

// ---- the fake platform --------------------------------------------------------------------------

struct IoCall {
    std::uint32_t code;
    Bytes in;                  // the input as the call received it
    std::uint32_t out_length;
    std::uint32_t error_mode;  // the process error mode while the call ran
};

using IoctlAnswer = std::function<pds::os_error(std::uint32_t code, void* out, std::uint32_t out_length,
                                                std::uint32_t& returned)>;

// Device calls are scripted per test; everything else goes to the real provider (SIL_init needs
// the host-wide chain-code counter).
class FakePlatform final : public testsupport::ForwardingPlatform, public pds::MultipathClient {
public:
    FakePlatform() : ForwardingPlatform(*pds::make_real_platform().release()) {}
    static constexpr std::uint32_t kInitialErrorMode = 0x8000;

    IoctlAnswer on_ioctl;  // answers one device_io_control call; `out` is the caller's output buffer
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
            std::memcpy(&blocks.emplace_back(), call.in.data(), sizeof(Block));
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
        calls.push_back({code, Bytes(p, p + in_length), out_length, error_mode});
        returned = 0;
        return on_ioctl(code, out, out_length, returned);
    }
    std::uint32_t set_error_mode(std::uint32_t mode) override { return std::exchange(error_mode, mode); }
    pds::MultipathClient& multipath_client() override { return *this; }
    std::uint32_t mp_list_volumes(std::uint32_t& count, char*) override {
        count = 0;
        return pds::kMpNotEnabled;
    }
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

// ---- helpers ------------------------------------------------------------------------------------

// `size` zero bytes but for the ones given.
Bytes bytes_of(std::size_t size, const Pokes& pokes, std::uint8_t fill = 0) {
    Bytes bytes(size, fill);
    for (auto [index, value] : pokes) bytes.at(index) = value;
    return bytes;
}

// A CDB of exactly the length its opcode's group gives (one byte for groups 3 and 6), so that a
// read past it trips the address sanitizer.
Bytes cdb_of(std::uint8_t opcode, Pokes pokes = {}) {
    pokes[0] = opcode;
    return bytes_of(std::max<std::int32_t>(get_cdb_length(opcode), 1), pokes);
}

// Fixed-format sense data with the given key, ASC and ASCQ.
Bytes sense_bytes(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    return bytes_of(18, {{0, 0x70}, {2, key}, {7, 10}, {12, asc}, {13, ascq}});
}

// The pass-through block's fields but the buffer address and the CDB, as one comparable text.
std::string fields(const Block& b) {
    const auto& s = b.sptd;
    char text[200];
    std::snprintf(text, sizeof text,
                  "len %u status %u path %u target %u lun %u cdb %u sense %u in %u xfer %u time %u offset %u",
                  s.Length, s.ScsiStatus, s.PathId, s.TargetId, s.Lun, s.CdbLength, s.SenseInfoLength, s.DataIn,
                  s.DataTransferLength, s.TimeOutValue, s.SenseInfoOffset);
    return text;
}

// Points the library output stream at a file for the life of the object. The file is named by the
// real process id: ctest runs several of these processes at once.
class OutputCapture {
public:
    OutputCapture()
        : file_(std::fopen(path_.string().c_str(), "w+b")), saved_(std::exchange(sil_context()->out_stream, file_)) {}
    ~OutputCapture() {
        sil_context()->out_stream = saved_;
        std::fclose(file_);
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::string text() {
        std::fflush(file_);
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    static inline std::atomic<int> serial_{0};
    const std::string name_ = "test_txcdb_" + std::to_string(pds::make_real_platform()->process_id()) + "_" +
                              std::to_string(serial_++) + ".txt";
    const std::filesystem::path path_ = std::filesystem::temp_directory_path() / name_;
    std::FILE* const file_;
    std::FILE* const saved_;
};

// Each of `present` stands in the text, in this order; none of `absent` does.
void expect_pieces(const std::string& text, const std::vector<std::string>& present,
                   const std::vector<std::string>& absent = {}) {
    std::size_t at = 0;
    for (const std::string& piece : present) {
        const std::size_t found = text.find(piece, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: <" << piece << "> in\n" << text;
        if (found != std::string::npos) at = found + piece.size();
    }
    for (const std::string& piece : absent) EXPECT_EQ(text.find(piece), std::string::npos) << piece << " in\n" << text;
}

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
IoctlAnswer answer(pds::os_error error, std::uint8_t scsi_status, std::uint32_t moved, Bytes sense = {}) {
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

// ---- Length rules -------------------------------------------------------------------------------

TEST(GetCdbLength, FollowsTheGroupCode) {
    for (std::uint8_t op : {0x00, 0x12, 0x1F}) EXPECT_EQ(get_cdb_length(op), 6) << int(op);
    for (std::uint8_t op : {0x20, 0x25, 0x3C, 0x40, 0x5F}) EXPECT_EQ(get_cdb_length(op), 10) << int(op);
    for (std::uint8_t op : {0x60, 0x7F, 0xC0, 0xDF}) EXPECT_EQ(get_cdb_length(op), 0) << int(op);
    for (std::uint8_t op : {0x80, 0x9E, 0x9F}) EXPECT_EQ(get_cdb_length(op), 16) << int(op);
    for (std::uint8_t op : {0xA0, 0xA3, 0xBF}) EXPECT_EQ(get_cdb_length(op), 12) << int(op);
    for (std::uint8_t op : {0xE0, 0xEC, 0xF0, 0xF2, 0xFF}) EXPECT_EQ(get_cdb_length(op), 10) << int(op);
    EXPECT_EQ(get_cdb_length(0xF1), 16);
}

TEST(GetXferLength, NamedOpcodesReadTheirFieldsOthersCountBlocksByGroup) {
    struct Case { std::uint8_t opcode; Pokes bytes; std::uint32_t block_size, expected; };
    const Case cases[] = {
        // Named opcodes read their own fields, whatever the block size.
        {0x00, {{4, 0x20}}, 2088, 0}, {0x12, {{4, 0xFE}}, 2088, 254}, {0x15, {{4, 0x18}}, 2088, 0x18},
        {0x1A, {{4, 0xFF}}, 2088, 0xFF}, {0x55, {{7, 0x01}, {8, 0x02}}, 2088, 0x0102},
        {0x5A, {{7, 0x10}}, 2088, 0x1000}, {0x1C, {{3, 0x02}, {4, 0x01}}, 2088, 0x0201},
        {0x1D, {{4, 0x40}}, 2088, 0x40}, {0x18, {{2, 0x01}, {3, 0x02}, {4, 0x03}}, 2088, 0x010203},
        {0x3A, {{2, 0x04}, {3, 0x05}, {4, 0x06}}, 2088, 0x040506}, {0x3B, {{7, 0x81}}, 2088, 0x8100},
        {0x3C, {{6, 0x01}, {8, 0x08}}, 2088, 0x010008}, {0xEF, {{8, 0x90}}, 2088, 0x90},
        {0x3E, {{7, 0x02}}, 2088, 0x200}, {0x3F, {{8, 0x10}}, 2088, 0x10}, {0x42, {{8, 0x24}}, 2088, 0x24},
        {0x4D, {{8, 0x90}}, 2088, 0x90}, {0x5F, {{8, 0x18}}, 2088, 0x18},
        {0xA3, {{7, 0x01}, {9, 0x04}}, 2088, 0x010004},
        {0xEC, {{8, 0x02}}, 2088, 0x0200},  // little-endian: byte 8 is the high byte
        {0x25, {{7, 0xFF}, {8, 0xFF}}, 2088, 8},  // 8 whatever the CDB says
        {0x41, {{8, 0x03}}, 2088, 512}, {0x93, {{10, 0x01}}, 2088, 512},
        {0x83, {{12, 0x01}}, 2088, 0x100}, {0x88, {{11, 0x01}}, 2088, 0x10000}, {0x8E, {{13, 0x30}}, 2088, 0x30},
        {0x8F, {{12, 0x02}}, 2088, 0x200}, {0x9E, {{1, 0x10}, {13, 0x0C}}, 2088, 12},
        // The vendor opcode 0xF1 counts double blocks.
        {0xF1, {{13, 0x03}}, 512, 3 * 512 * 2}, {0xF1, {{13, 0x03}}, 520, 3 * 520 * 2},
        // READ(6), READ(10), a group-2 command, READ(16), READ(12), a vendor group-7 command.
        {0x08, {{4, 2}}, 512, 1024}, {0x28, {{7, 0x01}}, 520, 256 * 520}, {0x5E, {{8, 0x02}}, 512, 1024},
        {0x8A, {{13, 0x04}}, 2088, 4 * 2088}, {0xA8, {{9, 0x05}}, 512, 5 * 512}, {0xE0, {{8, 0x03}}, 512, 3 * 512},
        // Groups 3 and 6 are reserved: no data whatever follows the opcode.
        {0x7E, {}, 512, 0}, {0xC5, {}, 512, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(get_xfer_length(cdb_of(c.opcode, c.bytes).data(), c.block_size), c.expected)
            << std::hex << int(c.opcode);
    }
}

// ---- Retry advice -------------------------------------------------------------------------------

TEST(ShouldWeSuggestRetry, RulesApplyInOrderAndSenseKeyDecides) {
    struct Case { std::uint32_t status; bool sense; std::uint8_t key; std::int32_t expected; };
    const Case cases[] = {
        {0x0000, false, 0, 1},           // nothing to report
        {0x0020, false, 0, 1},           // a bit without a rule keeps the start value
        {0x0008, false, 0, 0}, {0x0001, false, 0, 0}, {0x0002, false, 0, 0}, {0x0004, false, 0, 0},
        {0x0008 | 0x0040, false, 0, 1},  // busy comes later and overrides
        {0x0100, false, 0, 1}, {0x0400, false, 0, 1},
        {0x0040 | 0x0800, false, 0, 0},  // incomplete overrides busy
        {0x0400 | 0x0200, false, 0, 0}, {0x0400 | 0x1000, false, 0, 0},
        {0x0800 | 0x0080, false, 0, 1},  // check condition is the last word
        {0x0800, true, 0x06, 1},         // unit attention retries even when incomplete
        {0x0040, true, 0x05, 0},         // illegal request does not, even when busy
        {0x0020, true, 0x01, 1}, {0x0020, true, 0x02, 1}, {0x0020, true, 0x0B, 1},
        {0x0020, true, 0x03, 0}, {0x0020, true, 0x00, 0},
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

// ---- Failure report -----------------------------------------------------------------------------

const T_CDB_ERROR kSampleError{.korvStatus = 0x0130, .pid = 42, .os_error = 0, .bytesToTransfer = 0xFE,
                               .bytesTransferred = 0x24, .cdb = {0x12}, .senseAvailable = 1, .sense_data = {},
                               .sense_key = 0x6, .add_sense_code = 0x29, .add_sense_qualifier = 0, .reserved_295 = 0,
                               .host_specific = {}, .raw_device_fn = "\\\\.\\PHYSICALDRIVE3", .ioctlTimeoutSecs = 30};

TEST(CdbErrorReport, LinesOfAFailureWithSense) {
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
    EXPECT_EQ(cdb_error_report_lines(&kSampleError), expected);
}

TEST(CdbErrorReport, EveryNamedBitInTableOrderThenTheRetryLine) {
    T_CDB_ERROR err = kSampleError;
    err.korvStatus = 0x1FEF;  // every bit but the retry bit
    err.senseAvailable = 0;
    const std::vector<std::string> lines = cdb_error_report_lines(&err);
    const std::vector<std::string> expected_middle = {
        "  pcdbErr->korvStatus       = 0x1fef :\n", " Xfer over/under run,\n", " Busy,\n", " Check condition,\n",
        " Reservation conflict,\n", " Timeout,\n", " Incomplete,\n", " Power fail,\n", " Retry NOT suggested.\n",
        "  pcdbErr->cdb[0]           = 0x12\n", "  pcdbErr->senseAvailable?    NO\n",
        "  pcdbErr->bytesToTransfer  = 0xfe\n",
    };
    ASSERT_GE(lines.size(), 3 + expected_middle.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.begin() + 3 + expected_middle.size()), expected_middle);
}

TEST(CdbErrorReport, NoStatusAndAnUnterminatedName) {
    T_CDB_ERROR err = kSampleError;
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
    {
        OutputCapture out;
        EXPECT_EQ(print_cdb_error(&kSampleError, 0), 0);
        EXPECT_EQ(out.text(), "");
    }
    sil_set_verbosity(kDebugVerbosity);
    OutputCapture out;
    EXPECT_EQ(print_cdb_error(&kSampleError, 0), 0);
    EXPECT_EQ(print_cdb_error(nullptr, 0), -1);
    const std::string text = out.text();
    expect_pieces(text, {"TxCDB() IO failed.", "  pcdbErr->korvStatus       = 0x130 :", " Reservation conflict,",
                         "  pcdbErr->pid              = 0042", "TxCDB() IO failed."});
    EXPECT_EQ(count_of(text, "TxCDB() IO failed."), 2u);
    EXPECT_EQ(count_of(text, "XMV Generic CDB error info:"), 1u);
}

// ---- One-line summary -----------------------------------------------------------------------------

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

std::string head_for(const std::string& opcode, const std::string& name = "\\\\.\\PHYSICALDRIVE3") {
    return "Cdb:" + opcode + " DV#01A2 Dir:0C-1 Ucode:5876 Kor:000190101234 Dev:<" + name + "> Time:0.250/1.500 ";
}

// A system-call buffer: an 8-byte prefix claiming L = 0x48 + 8, then the long header at offset 8.
Bytes syscall_buffer(std::size_t size, Pokes more = {}) {
    more.insert({{7, 0x48}, {8, 0x17}, {11, 6}, {8 + 4, 0x92}, {8 + 16, 0x01}, {8 + 17, 0x02}});
    return bytes_of(size, more);
}

TEST(CdbSummary, LinesPerOpcodeAndBuffer) {
    struct Case {
        const char* what;
        Bytes cdb, data;
        T_CDB_SUMMARY_COUNTS counts;
        std::int32_t result;
        std::string expected;
    };
    const Bytes write_buffer = cdb_of(0x3B, {{4, 0x11}, {5, 0x22}, {7, 0x02}});  // 0x200 bytes
    const Case cases[] = {
        {"plain command", cdb_of(0x12, {{4, 0xFE}}), {}, {3, 1, 0, 1.5}, 0,
         head_for("12") + "status:0   Pass/Fail=00003/00001 "},
        {"plain command failed", cdb_of(0x12, {{4, 0xFE}}), {}, {3, 1, 0, 1.5}, -5,
         head_for("12") + "status:-5  Pass/Fail=00003/00001 "},
        {"write buffer with its replication group", write_buffer,
         syscall_buffer(0x200, {{8 + 57, 3}, {8 + 64, 0xAB}, {8 + 65, 0xCD}, {8 + 66, 0xEF}}), {1, 0, 2, 1.5}, 0,
         head_for("3B") + "status:0   Pass/Fail=00001/00000 BadCC:0002 CC:1122  L=0050  Sysc:9200_01_02 RPX:ABCDEF"},
        {"more than 7 members is not a group", write_buffer, syscall_buffer(0x200, {{8 + 57, 8}}), {1, 0, 2, 1.5}, 0,
         head_for("3B") + "status:0   Pass/Fail=00001/00000 BadCC:0002 CC:1122  L=0050  Sysc:9200_01_02"},
        {"read buffer, short header at 0, return code", cdb_of(0x3C, {{4, 0x01}, {5, 0x02}, {7, 0x01}}),
         bytes_of(0x100, {{0, 0x17}, {2, 0x0A}, {4, 4}, {7, 0x20}, {16, 0x33}}), {1, 1, 0, 1.5}, -5,
         head_for("3C") + "status:-5  Pass/Fail=00001/00001 BadCC:0000 CC:0102  L=0028  Sysc:0400_33_00 RC=00-0a"},
        {"no header: the bad-reply pattern", cdb_of(0x3C, {{8, 0x40}}), bytes_of(0x40, {{0, 0x01}}), {0, 1, 1, 1.5}, -5,
         head_for("3C") +
             "status:-5  Pass/Fail=00000/00001 BadCC:0001 CC:0000  L=0008  Sysc:0000_00_00 ORDER17 MISSING"},
        // The header claims 0xFFFF + 8 bytes of the 16 moved. The buffer is exactly 16 bytes long,
        // so a read past it would trip the address sanitizer.
        {"header length cut to the transfer", cdb_of(0x3B, {{8, 16}}),
         bytes_of(16, {{6, 0xFF}, {7, 0xFF}, {8, 0x17}, {11, 6}}), {0, 0, 0, 1.5}, 0,
         head_for("3B") + "status:0   Pass/Fail=00000/00000 BadCC:0000 CC:0000  L=0010  Sysc:0000_00_00"},
    };
    const T_SIL_DEVICE dev = summary_device();
    for (const Case& c : cases) {
        EXPECT_EQ(format_cdb_summary(c.cdb.data(), c.data.empty() ? nullptr : c.data.data(),
                                     static_cast<std::uint32_t>(c.data.size()), &dev, 0.25, c.counts, c.result),
                  c.expected)
            << c.what;
    }
    T_SIL_DEVICE long_name = dev;
    std::memset(long_name.name, 'n', 80);
    long_name.name[80] = '\0';
    EXPECT_EQ(format_cdb_summary(cdb_of(0x00).data(), nullptr, 0, &long_name, 0.25, {0, 0, 0, 1.5}, 0),
              head_for("00", std::string(78, 'n')) + "status:0   Pass/Fail=00000/00000 ");
}

TEST(CdbSummary, HeaderForms) {
    struct Case { std::size_t size; Pokes bytes; T_SYSCALL_BUFFER_HEADER expected; };
    const Case cases[] = {
        {64, {{7, 0x10}, {8, 0x17}, {11, 6}}, {0x18, 8, true, false}},
        {64, {{7, 0x10}, {8, 0x17}, {12, 4}}, {0x18, 8, false, false}},
        {64, {{0, 0x17}, {3, 6}, {7, 0x10}}, {0x18, 0, true, false}},
        {64, {{0, 0x17}, {4, 4}, {7, 0x10}}, {0x18, 0, false, false}},
        {64, {{7, 0x10}, {8, 0x17}}, {0x18, 8, true, false}},  // the order byte alone
        {64, {}, {8, 8, true, false}},                          // all zero
        {64, {{0, 0x01}}, {8, 8, true, true}},                  // the bad-reply pattern
        {64, {{0, 0x01}, {31, 0x01}}, {0, 8, true, false}},     // not quite: data without a header
        {64, {{40, 0x55}}, {0, 8, true, false}},
        {16, {{6, 0xFF}, {7, 0xFF}, {8, 0x17}, {11, 6}}, {16, 8, true, false}},  // cut to the 16 bytes moved
    };
    const auto tied = [](const T_SYSCALL_BUFFER_HEADER& h) {
        return std::tie(h.length, h.start, h.long_form, h.bad_reply);
    };
    for (const Case& c : cases) {
        const Bytes data = bytes_of(c.size, c.bytes);
        const T_SYSCALL_BUFFER_HEADER h = find_syscall_header(data.data(), static_cast<std::uint32_t>(c.size));
        EXPECT_EQ(tied(h), tied(c.expected)) << c.size << " bytes, " << c.bytes.size() << " set";
    }
}

TEST_F(TransportTest, SummaryCountersAreNotLostAcrossThreads) {
    sil_set_verbosity(SIL_TC_CDB_LOG);  // data dump on, nothing written (level 0)
    const T_CDB_SUMMARY_COUNTS before = sil_cdb_summary_counts();
    const Bytes cdb = cdb_of(0x3C, {{8, 0x40}});
    const Bytes bad = bytes_of(0x40, {{0, 0x01}});
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

    sil_set_verbosity(0);  // dump off: not counted
    log_cdb_summary(cdb_of(0x00).data(), nullptr, &dev_, sil_seconds_now(), 0);
    EXPECT_EQ(sil_cdb_summary_counts().passed, after.passed);
}

// ---- Dumps: never past the bytes the command asked for ------------------------------------------

// What dump_cdb_in (or dump_cdb_out) writes for this CDB, reply and byte count.
std::string dumped(const Bytes& cdb, const Bytes& data, std::uint32_t done, bool out_dump = false) {
    T_SIL_IO_DATA_IN io{};
    std::copy(cdb.begin(), cdb.end(), io.cdb);
    io.cdb_len = get_cdb_length(cdb[0]);
    io.xfer_len = get_xfer_length(cdb.data(), 512);
    io.xfer_done = done;
    io.block_size = 512;
    OutputCapture out;
    (out_dump ? dump_cdb_out : dump_cdb_in)(&io, data.empty() ? nullptr : data.data(), 0);
    return out.text();
}

TEST_F(TransportTest, DumpsShowWhatTheCommandMoved) {
    sil_set_verbosity(kDebugVerbosity | SIL_TC_CDB_LOG);
    struct Case {
        const char* what;
        Bytes cdb, data;
        std::uint32_t done;
        bool out_dump;
        std::vector<std::string> present, absent;
    };
    const Case cases[] = {
        {"INQUIRY cut to the allocation length though it claims 0xFF bytes", cdb_of(0x12, {{4, 36}}),
         bytes_of(36, {{4, 0xFB}}, 0x41), 36, false,
         {"SCSI DMA bytes requested: 0x24. Actual bytes transferred: 0x24. XMV 3c xfer: 0x0", "INQUIRY data:",
          " 0020: "},
         {" 0030: "}},
        {"INQUIRY follows the additional length: 0x1F + 4", cdb_of(0x12, {{4, 0xFE}}), bytes_of(0xFE, {{4, 0x1F}}),
         0xFE, false, {"Actual bytes transferred: 0x23.", "INQUIRY data:", " 0020: "}, {" 0030: "}},
        {"LOG SENSE never shows more than asked for", cdb_of(0x4D, {{8, 16}}), Bytes(16, 0x42), 16, false,
         {"LOG SENSE data:", " 0000: "}, {" 0010: "}},
        // Nothing asked for: the shown length falls back to 512, cut to the 0 bytes of the command,
        // so the (absent) buffer is never touched.
        {"odd-length fallback cut to the transfer", cdb_of(0x1C), {}, 0, false,
         {"SCSI DMA bytes requested: 0x0. Actual bytes transferred: 0x0. XMV 3c xfer: 0x0"},
         {"RECEIVE DIAGNOSTIC data:"}},
        {"negative transfer count", cdb_of(0x1C, {{4, 24}}), Bytes(24, 0x43), 0xFFFFFFF0u, false,
         {"IO length is negative, this only effects debug, probably caused by Sun fibre", "RECEIVE DIAGNOSTIC data:",
          " 0010: "},
         {" 0020: "}},
        {"before sending: the CDB, then the WRITE BUFFER data", cdb_of(0x3B, {{8, 0x20}}), Bytes(0x20, 0x44), 0, true,
         {"CDB:", "3b 00 00 00 00 00 00 00  20 00", "WRITE BUFFER data:"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        expect_pieces(dumped(c.cdb, c.data, c.done, c.out_dump), c.present, c.absent);
    }

    // READ BUFFER claiming 0x50 bytes of the 0x100 asked for, long header at 8 with one extension:
    // header part 8 + 24 + 16 = 48 bytes (rows 0000-0020), then 32 more (rows 0000-0010).
    const std::string text = dumped(cdb_of(0x3C, {{7, 0x01}}), syscall_buffer(0x100, {{8 + 23, 0x02}}), 0x100);
    EXPECT_NE(text.find("Actual bytes transferred: 0x50. XMV 3c xfer: 0x50"), std::string::npos) << text;
    const std::size_t header = text.find("READ HEADER data:");
    const std::size_t rest = text.find("READ BUFFER data:");
    ASSERT_NE(header, std::string::npos);
    ASSERT_NE(rest, std::string::npos);
    ASSERT_LT(header, rest);
    expect_pieces(text.substr(header, rest - header), {" 0020: "});
    expect_pieces(text.substr(rest), {" 0010: "}, {" 0020: "});

    sil_set_verbosity(kDebugVerbosity & ~SIL_TC_CDB_LOG);  // nothing while the dump bit is off
    const Bytes inquiry = cdb_of(0x12, {{4, 36}});
    EXPECT_EQ(dumped(inquiry, Bytes(36, 0), 36, true) + dumped(inquiry, Bytes(36, 0), 36), "");
}

// ---- TxCDB on the Windows road ------------------------------------------------------------------

TEST_F(TransportTest, PassThroughBlockForAnInquiry) {
    Bytes data(254, 0);
    fake().on_ioctl = answer(0, 0, 254);
    ASSERT_EQ(send(cdb_of(0x12, {{4, 0xFE}}), 0, data), 0);
    ASSERT_EQ(fake().calls.size(), 1u);
    const IoCall& call = fake().calls[0];
    EXPECT_EQ(call.code, 0x4D014u);
    EXPECT_EQ(call.in.size(), 96u);
    EXPECT_EQ(call.out_length, 96u);
    EXPECT_EQ(call.error_mode, 1u);                                 // critical errors silenced
    EXPECT_EQ(fake().error_mode, FakePlatform::kInitialErrorMode);  // and restored
    const Block b = only_block();
    EXPECT_EQ(fields(b), "len 56 status 0 path 0 target 1 lun 0 cdb 6 sense 24 in 1 xfer 254 time 120 offset 60");
    EXPECT_EQ(b.sptd.DataBuffer, data.data());
    EXPECT_EQ(Bytes(b.sptd.Cdb, b.sptd.Cdb + 16), bytes_of(16, {{0, 0x12}, {4, 0xFE}}));

    // The error record comes back on success too.
    EXPECT_EQ(std::tie(err_.korvStatus, err_.pid, err_.bytesToTransfer, err_.bytesTransferred, err_.ioctlTimeoutSecs),
              std::make_tuple(0u, 4242u, 254u, 254u, 120u));
    EXPECT_EQ(err_.cdb[4], 0xFE);
    EXPECT_STREQ(err_.raw_device_fn, "\\\\.\\PHYSICALDRIVE3");
}

TEST_F(TransportTest, DataDirectionLengthsAndSuccessFlagsPerOpcode) {
    struct Case { Bytes cdb; std::uint8_t direction, data_in, cdb_length, flags; };
    const std::uint8_t in = pds::win::SCSI_IOCTL_DATA_IN, any = SIL_IO_OK_ANY;
    const Case cases[] = {
        {cdb_of(0x3B, {{8, 0x10}}), 1, pds::win::SCSI_IOCTL_DATA_OUT, 10, any | SIL_IO_OK_BUFFER},  // sends
        {cdb_of(0x3C, {{8, 0x10}}), 0, in, 10, any | SIL_IO_OK_BUFFER},
        {cdb_of(0x00), 1, in, 6, any}, {cdb_of(0x16), 1, in, 6, any}, {cdb_of(0x17), 1, in, 6, any},  // no data
        {cdb_of(0x9E, {{1, 0x10}, {13, 12}}), 0, in, 16, any},
        {cdb_of(0xA3, {{9, 4}}), 2, in, 12, any},
        {cdb_of(0x12, {{4, 36}}), 0, in, 6, any | SIL_IO_OK_INQUIRY},
        {cdb_of(0x25), 0, in, 10, any | SIL_IO_OK_READCAP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "opcode " << std::hex << int(c.cdb[0]));
        fake().reset();
        dev_.io_ok_flags = 0;
        Bytes data(0x40, 0);
        EXPECT_EQ(send(c.cdb, c.direction, data), 0);
        const Block b = only_block();
        EXPECT_EQ(b.sptd.DataIn, c.data_in);
        EXPECT_EQ(b.sptd.CdbLength, c.cdb_length);
        EXPECT_EQ(b.sptd.DataTransferLength, get_xfer_length(c.cdb.data(), 512));
        EXPECT_EQ(dev_.io_ok_flags, c.flags);
    }
}

TEST_F(TransportTest, CustomSettings) {
    struct Case {
        const char* what;
        bool given;
        std::int32_t timeout, use_520, use_2088;
        std::uint32_t sent_timeout, recorded_timeout, xfer;
    };
    const Case cases[] = {
        {"a small integer for the pointer is no settings, never dereferenced", false, 0, 0, 0, 120, 120, 1024},
        {"0 refused", true, 0, 0, 0, 120, 120, 1024},
        {"300 refused", true, 300, 0, 0, 120, 120, 1024},
        {"-1 refused", true, -1, 0, 0, 120, 120, 1024},
        {"5 accepted, then raised to the Windows minimum", true, 5, 0, 0, 10, 5, 1024},
        {"520-byte blocks before 2088", true, 299, 1, 1, 299, 299, 2 * 520},
        {"2088-byte blocks", true, 299, 0, 1, 299, 299, 2 * 2088},
    };
    Bytes data(0x2000, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake().reset();
        T_SIL_IOCTL_SETTINGS settings{};
        settings.ioctlTimeoutSecs = c.timeout;
        settings.use_520_blocks = c.use_520;
        settings.use_2088_blocks = c.use_2088;
        ASSERT_EQ(send(cdb_of(0x28, {{8, 2}}), 0, data,
                       c.given ? &settings : reinterpret_cast<const T_SIL_IOCTL_SETTINGS*>(std::uintptr_t{1})),
                  0);
        const Block b = only_block();
        EXPECT_EQ(b.sptd.TimeOutValue, c.sent_timeout);
        EXPECT_EQ(err_.ioctlTimeoutSecs, c.recorded_timeout);
        EXPECT_EQ(b.sptd.DataTransferLength, c.xfer);
    }
}

// Answers the pass-through with access denied and the property query with a descriptor whose
// raw properties claim `raw_length` bytes of 'R'.
IoctlAnswer access_denied_with_descriptor(std::uint32_t raw_length) {
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
    // The descriptor's length is cut to what the INQUIRY asks for. Past that the buffer holds only
    // guard bytes, or ends: a longer copy trips the address sanitizer.
    struct Case { std::uint32_t raw_length; std::uint8_t allocation; std::uint32_t copied, guard; };
    for (const Case c : {Case{96, 36, 36, 8}, Case{0xFFFFFFFF, 0xFE, 254, 0}, Case{5000, 0xFF, 255, 0},
                         Case{20, 36, 20, 0}}) {
        SCOPED_TRACE(c.raw_length);
        fake().reset();
        fake().on_ioctl = access_denied_with_descriptor(c.raw_length);
        dev_.io_ok_flags = 0;
        Bytes data(c.allocation + c.guard, 0);
        ASSERT_EQ(send(cdb_of(0x12, {{4, c.allocation}}), 0, data), 0);  // a short copy is no failure
        ASSERT_EQ(fake().calls.size(), 2u);
        const IoCall& query = fake().calls[1];
        EXPECT_EQ(std::tie(query.code, query.in, query.out_length, query.error_mode),
                  std::make_tuple(0x2D1400u, Bytes(12, 0), 2048u, 1u));
        EXPECT_EQ(fake().error_mode, FakePlatform::kInitialErrorMode);
        EXPECT_EQ(err_.bytesTransferred, c.copied);
        EXPECT_EQ(Bytes(data.begin(), data.begin() + c.copied), Bytes(c.copied, 'R'));
        EXPECT_EQ(Bytes(data.begin() + c.copied, data.end()), Bytes(data.size() - c.copied, 0));
        EXPECT_EQ(dev_.io_ok_flags, SIL_IO_OK_ANY | SIL_IO_OK_INQUIRY);
        EXPECT_TRUE(fake().mp_values.empty());
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

// The error record's outcome fields, as one comparable text.
std::string outcome(const T_CDB_ERROR& e) {
    char text[160];
    std::snprintf(text, sizeof text, "korv 0x%x os %u moved %u sense %u key 0x%x asc 0x%x ascq 0x%x", e.korvStatus,
                  e.os_error, e.bytesTransferred, e.senseAvailable, e.sense_key, e.add_sense_code,
                  e.add_sense_qualifier);
    return text;
}

TEST_F(TransportTest, FailuresFillTheErrorRecord) {
    const Bytes inquiry = cdb_of(0x12, {{4, 0xFE}});
    const Bytes capacity = cdb_of(0x25);
    Bytes unit_attention = sense_bytes(0x06, 0x29, 0x01);
    unit_attention.resize(25, 0);
    Bytes illegal_request = sense_bytes(0x05, 0x24, 0x00);
    illegal_request.resize(25, 0);
    struct Case {
        const char* what;
        const Bytes& cdb;
        IoctlAnswer answer;
        std::string expected;
        Bytes sense_data;        // the first 25 bytes of the record's sense copy
        std::size_t blocks = 1;  // pass-through requests sent
    };
    const Case cases[] = {
        {"sense copied; an under-run, and a unit attention advises retry", inquiry,
         answer(0, 0x02, 0, sense_bytes(0x06, 0x29, 0x01)), "korv 0x30 os 0 moved 0 sense 1 key 0x6 asc 0x29 ascq 0x1",
         unit_attention},
        {"all bytes moved: the sense copy leaves no status bit, and no status means retry", capacity,
         answer(0, 0x02, 8, sense_bytes(0x05, 0x24, 0x00)), "korv 0x10 os 0 moved 8 sense 1 key 0x5 asc 0x24 ascq 0x0",
         illegal_request},
        {"an under-run sets a bit: then the illegal request's sense key says no", capacity,
         answer(0, 0x02, 0, sense_bytes(0x05, 0x24, 0x00)), "korv 0x20 os 0 moved 0 sense 1 key 0x5 asc 0x24 ascq 0x0",
         illegal_request},
        // The block is not handed back on an OS failure: its sense length is still the 24 asked for.
        {"no sense from a request the system failed", capacity,
         [](std::uint32_t, void*, std::uint32_t, std::uint32_t&) { return pds::os_error{1167}; },
         "korv 0x10 os 1167 moved 8 sense 0 key 0x0 asc 0x0 ascq 0x0", Bytes(25, 0)},
        {"a sense length past the 32-byte buffer: the copy stops at the 24 asked for", capacity,
         answer(0, 0x02, 8, Bytes(200, 0xAA)),
         "korv 0x10 os 0 moved 8 sense 1 key 0xa asc 0xaa ascq 0xaa", bytes_of(25, {{24, 0}}, 0xAA)},
        {"failed, but every byte accounted for: no over/under-run", inquiry, answer(31, 0, 254),
         "korv 0x10 os 31 moved 254 sense 0 key 0x0 asc 0x0 ascq 0x0", Bytes(25, 0)},
        {"failed and short", inquiry, answer(31, 0, 100), "korv 0x30 os 31 moved 100 sense 0 key 0x0 asc 0x0 ascq 0x0",
         Bytes(25, 0)},
        {"an I/O error whose probe fails as well: no reservation", capacity, answer(pds::kErrorIoDevice, 0, 8),
         "korv 0x10 os 1117 moved 8 sense 0 key 0x0 asc 0x0 ascq 0x0", Bytes(25, 0), 2},
        {"other errors are not probed", capacity, answer(31, 0, 8),
         "korv 0x10 os 31 moved 8 sense 0 key 0x0 asc 0x0 ascq 0x0", Bytes(25, 0), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake().reset();
        fake().on_ioctl = c.answer;
        dev_.mp_passthru_failed = 0;
        Bytes data(get_xfer_length(c.cdb.data(), 512), 0);
        EXPECT_EQ(send(c.cdb, 0, data), -5);
        EXPECT_EQ(outcome(err_), c.expected);
        EXPECT_EQ(Bytes(err_.sense_data, err_.sense_data + 25), c.sense_data);
        EXPECT_EQ(fake().pass_through_blocks().size(), c.blocks);
        EXPECT_EQ(dev_.io_ok_flags, 0);
    }
}

TEST_F(TransportTest, ReservationProbeAfterAnIoDeviceError) {
    int pass_throughs = 0;
    fake().on_ioctl = [&](std::uint32_t code, void* out, std::uint32_t, std::uint32_t& returned) -> pds::os_error {
        returned = sizeof(Block);
        if (++pass_throughs > 1) return 0;  // the probe's INQUIRY goes through
        static_cast<Block*>(out)->sptd.DataTransferLength = 0;
        return pds::kErrorIoDevice;
    };
    Bytes data(8, 0);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    const std::vector<Block> blocks = fake().pass_through_blocks();
    ASSERT_EQ(blocks.size(), 2u);
    const Block& probe = blocks[1];
    EXPECT_EQ(fields(probe), "len 56 status 0 path 0 target 1 lun 0 cdb 6 sense 24 in 1 xfer 144 time 120 offset 60");
    EXPECT_EQ(Bytes(probe.sptd.Cdb, probe.sptd.Cdb + 6), (Bytes{0x12, 0x00, 0x00, 0x00, 0x90, 0x00}));
    EXPECT_EQ(fake().calls[1].error_mode, 1u);
    EXPECT_EQ(err_.korvStatus, CDB_ERR_RESERVATION | CDB_ERR_XFER_RUN | CDB_ERR_RETRY);
}

// ---- The multipath road -------------------------------------------------------------------------

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
    EXPECT_EQ(std::tie(mp.sptd.Length, mp.sptd.CdbLength, mp.sptd.Cdb[4], mp.sptd.DataTransferLength),
              std::make_tuple(56, 6, 36, 36u));
    EXPECT_EQ(mp.sptd.DataBuffer, data.data());
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

// ---- Devices the transport refuses --------------------------------------------------------------

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

// ---- Output -------------------------------------------------------------------------------------

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
    // The road's report comes before the retry advice, TxCDB's after it.
    expect_pieces(text, {"TxCDB() IO failed.", " Retry NOT suggested.",
                         "Error in sending cdb, GetLastError() returns 31", "TxCDB() IO failed.", " Retry suggested."});
    EXPECT_EQ(count_of(text, "TxCDB() IO failed."), 2u);
    EXPECT_EQ(count_of(text, " Retry NOT suggested."), 1u);
    EXPECT_EQ(count_of(text, " Retry suggested."), 1u);
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
    expect_pieces(out.text(), {"SIL dev: fid=68 isOpen=1 name=<\\\\.\\PHYSICALDRIVE3>, bus: 0 tid: 0 lun: 0",
                               "SIL dev: ucode=0x0 date=0x00000000 korvModel=0x0000 cap=0 ckd=-1",
                               "SIL dev: korid: 000190105555", "CDB:",
                               "Cdb:12 DV#002B Dir:00-0 Ucode:0000 Kor:000190105555 Dev:<\\\\.\\PHYSICALDRIVE3> Time:",
                               "status:0   Pass/Fail=", "INQUIRY data:"});

    // Still on for the next command, without asking.
    OutputCapture again;
    ASSERT_EQ(send(cdb_of(0x12, {{4, 36}}), 0, data), 0);
    expect_pieces(again.text(), {"INQUIRY data:"});
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
    expect_pieces(out.text(), {" ckd=1"});
    dev_.inquiry_data = nullptr;
}

}  // namespace
