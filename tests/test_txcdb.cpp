// Tests of the SCSI transport's error paths and diagnostics: length rules, the command path's
// buffer check, retry advice, failure report, summary line, dumps, and the Windows and multipath
// roads against a fake platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "fake_scsi_platform.h"
#include "run_program.h"
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
using Pokes = std::map<std::size_t, std::uint8_t>;

using testsupport::FakeScsiPlatform;
using IoCall = testsupport::DeviceCall;
using IoctlAnswer = testsupport::RawAnswer;

FakeScsiPlatform* g_fake = nullptr;
FakeScsiPlatform& fake() { return *g_fake; }

// The process's scripted platform afresh, every device call answered by the test (`raw`): by
// default the pass-through succeeds and moves nothing.
void reset_fake() {
    g_fake = &testsupport::fake_scsi_platform();
    g_fake->raw = [](std::uint32_t, void*, std::uint32_t, std::uint32_t& returned) {
        returned = sizeof(Block);
        return pds::os_error{0};
    };
}

// The pass-through blocks sent, in order.
std::vector<Block> pass_through_blocks() {
    std::vector<Block> blocks;
    for (const IoCall& call : fake().calls) {
        if (call.code != pds::win::IOCTL_SCSI_PASS_THROUGH_DIRECT || call.in.size() != sizeof(Block)) continue;
        std::memcpy(&blocks.emplace_back(), call.in.data(), sizeof(Block));
    }
    return blocks;
}

// `size` zero bytes (or `fill`) but for the ones given.
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

// Points the library output stream at a scratch file for the life of the object.
class OutputCapture {
public:
    OutputCapture() : file_(std::fopen(path().c_str(), "w+b")), saved_(std::exchange(sil_context()->out_stream, file_)) {}
    ~OutputCapture() {
        sil_context()->out_stream = saved_;
        std::fclose(file_);
    }
    std::string text() {
        std::fflush(file_);
        return testsupport::read_file(path());
    }

private:
    std::string path() const { return scratch_.path("out.txt"); }
    testsupport::Scratch scratch_;
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
        reset_fake();
        const std::int32_t rc = SIL_init(0, 0, SIL_LIBRARY_VERSION, "test", "test", "test");
        ASSERT_TRUE(rc == 0 || rc == 1) << rc;
        sil_set_verbosity(0);
        dev_ = T_SIL_DEVICE{};
        dev_.fid = 0x44;
        dev_.isOpen = 1;
        std::strcpy(dev_.name, "\\\\.\\PHYSICALDRIVE3");
        dev_.adapter_queried = 1;  // an adapter without limits, unless a test asks it afresh
    }
    void TearDown() override { sil_set_verbosity(0); }

    std::int32_t send(const Bytes& cdb, std::uint8_t direction, Bytes& data,
                      const T_SIL_IOCTL_SETTINGS* settings = nullptr, int force_dump = 0) {
        err_ = T_CDB_ERROR{};
        return TxCDB(cdb.data(), direction, &err_, settings, data.empty() ? nullptr : data.data(), &dev_, 0,
                     force_dump);
    }
    Block only_block() {
        const std::vector<Block> blocks = pass_through_blocks();
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

// ---- Length rules and the command path ------------------------------------------------------------

TEST(TransferLength, EdgesOfTheRule) {
    // TEST UNIT READY moves nothing in 6 bytes; INQUIRY FE moves 254; READ CAPACITY(10) moves 8
    // whatever its CDB says; READ CAPACITY(16) takes bytes 10-13; reserved groups have no length.
    EXPECT_EQ(std::make_tuple(get_cdb_length(0x00), get_xfer_length(cdb_of(0x00, {{4, 0x20}}).data(), 512)),
              std::make_tuple(6, 0u));
    EXPECT_EQ(get_xfer_length(cdb_of(0x12, {{4, 0xFE}}).data(), 2088), 254u);
    EXPECT_EQ(get_xfer_length(cdb_of(0x25, {{7, 0xFF}, {8, 0xFF}}).data(), 512), 8u);
    EXPECT_EQ(get_xfer_length(cdb_of(0x9E, {{1, 0x10}, {12, 0x01}, {13, 0x0C}}).data(), 512), 0x10Cu);
    EXPECT_EQ(get_xfer_length(cdb_of(0xEC, {{8, 0x02}}).data(), 512), 0x200u);  // little-endian
    EXPECT_EQ(get_xfer_length(cdb_of(0xF1, {{13, 0x03}}).data(), 520), 3u * 520 * 2);
    EXPECT_EQ(std::make_tuple(get_cdb_length(0x7E), get_xfer_length(cdb_of(0x7E).data(), 512)), std::make_tuple(0, 0u));
}

TEST(CommandBuilders, AllocationLengthsComeFromTheBuffer) {
    Bytes big(2264), small(36), sector(1024), twelve(12);
    const auto cdb = [](const T_SIL_COMMAND& c, std::size_t n) { return Bytes(c.cdb.begin(), c.cdb.begin() + n); };
    EXPECT_EQ(cdb(sil_cmd_inquiry(big), 6), (Bytes{0x12, 0, 0, 0, 0xFF, 0}));
    EXPECT_EQ(sil_cmd_inquiry(big).data.size(), 255u);
    EXPECT_EQ(cdb(sil_cmd_vpd_inquiry(0x83, small), 6), (Bytes{0x12, 0x01, 0x83, 0, 36, 0}));
    EXPECT_EQ(cdb(sil_cmd_read_capacity16(twelve), 16), bytes_of(16, {{0, 0x9E}, {1, 0x10}, {13, 12}}));
    EXPECT_EQ(cdb(sil_cmd_mode_sense6(0xC4, small), 6), (Bytes{0x1A, 0, 0xC4, 0, 36, 0}));
    EXPECT_EQ(cdb(sil_cmd_read10(0x01020304, sector), 10), (Bytes{0x28, 0, 1, 2, 3, 4, 0, 0, 2, 0}));
    const T_SIL_COMMAND wb = sil_cmd_write_buffer(0x01, 0x02, 0x030405, small);
    EXPECT_EQ(cdb(wb, 10), (Bytes{0x3B, 0x01, 0x02, 0x03, 0x04, 0x05, 0, 0, 36, 0}));
    EXPECT_EQ(wb.direction, 1);
    for (const T_SIL_COMMAND& c : {sil_cmd_inquiry(big), sil_cmd_read10(0, sector), sil_cmd_read_buffer(2, 0, 0, small)}) {
        EXPECT_EQ(get_xfer_length(c.cdb.data(), 512), c.data.size()) << std::hex << int(c.cdb[0]);
    }
}

TEST_F(TransportTest, BufferSmallerThanTheTransferIsRefusedUnsent) {
    Bytes six(6, 0xEE);
    const T_SIL_REPLY reply = sil_send(&dev_, sil_cmd_read_capacity10(six), nullptr, 0, &err_);
    EXPECT_EQ(reply.status, -1);
    EXPECT_EQ(reply.received, 0u);
    EXPECT_TRUE(fake().calls.empty());
    EXPECT_EQ(six, Bytes(6, 0xEE));
    EXPECT_EQ(err_.bytesToTransfer, 8u);
    // A hand-built CDB shorter than its opcode's length is refused too.
    const Bytes cut = {0x25, 0, 0};
    EXPECT_EQ(sil_send_cdb(&dev_, cut, 0, six, nullptr, 0).status, -1);
    EXPECT_TRUE(fake().calls.empty());
}

TEST_F(TransportTest, ReplyCarriesTheBytesReceivedNeverMoreThanAskedFor) {
    Bytes page(254, 0);
    for (const auto& [moved, expected] : {std::pair{20u, 20u}, std::pair{254u, 254u}, std::pair{4000u, 254u}}) {
        fake().raw = answer(0, 0, moved);
        const T_SIL_REPLY reply = sil_send(&dev_, sil_cmd_inquiry(page), nullptr, 0);
        EXPECT_EQ(reply.status, 0);
        EXPECT_EQ(reply.received, expected);
        EXPECT_EQ(reply.bytes.data(), page.data());
        EXPECT_EQ(reply.bytes.size(), expected);
    }
}

// ---- Retry advice -------------------------------------------------------------------------------

TEST(ShouldWeSuggestRetry, LaterRulesWinAndTheSenseKeyDecides) {
    struct Case { std::uint32_t status; bool sense; std::uint8_t key; std::int32_t expected; };
    const Case cases[] = {
        {0x0000, false, 0, 1}, {0x0008 | 0x0040, false, 0, 1}, {0x0040 | 0x0800, false, 0, 0},
        {0x0800 | 0x0080, false, 0, 1}, {0x0800, true, 0x06, 1}, {0x0040, true, 0x05, 0}, {0x0020, true, 0x0B, 1},
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

TEST(CdbErrorReport, LinesOfAFailureWithSense) {
    const T_CDB_ERROR error{.korvStatus = 0x0130, .pid = 42, .os_error = 0, .bytesToTransfer = 0xFE,
                            .bytesTransferred = 0x24, .cdb = {0x12}, .senseAvailable = 1, .sense_data = {},
                            .sense_key = 0x6, .add_sense_code = 0x29, .add_sense_qualifier = 0, .reserved_295 = 0,
                            .host_specific = {}, .raw_device_fn = "\\\\.\\PHYSICALDRIVE3", .ioctlTimeoutSecs = 30};
    const std::vector<std::string> expected = {
        "\nTxCDB() IO failed. \n\n", "\nXMV Generic CDB error info:\n",
        "  pcdbErr->raw_device_fn    = \\\\.\\PHYSICALDRIVE3\n", "  pcdbErr->korvStatus       = 0x130 :\n",
        " Xfer over/under run,\n", " Reservation conflict,\n", " Retry suggested.\n",
        "  pcdbErr->cdb[0]           = 0x12\n", "  pcdbErr->senseAvailable?    YES\n",
        "  pcdbErr->sense_key        = 0x6\n", "  pcdbErr->add_sense_code   = 0x29\n",
        "  pcdbErr->bytesToTransfer  = 0xfe\n", "  pcdbErr->bytesTransferred = 0x24\n",
        "  pcdbErr->pid              = 0042\n", "  pcdbErr->ioctlTimeoutSecs = 30\n",
        "\nHost Specific CDB error info:\n",
    };
    EXPECT_EQ(cdb_error_report_lines(&error), expected);
    EXPECT_EQ(cdb_error_report_lines(nullptr), std::vector<std::string>{"\nTxCDB() IO failed. \n\n"});
}

// ---- One-line summary -----------------------------------------------------------------------------

// A system-call buffer: an 8-byte prefix claiming L = 0x48 + 8, then the long header at offset 8.
Bytes syscall_buffer(std::size_t size, Pokes more = {}) {
    more.insert({{7, 0x48}, {8, 0x17}, {11, 6}, {8 + 4, 0x92}, {8 + 16, 0x01}, {8 + 17, 0x02}});
    return bytes_of(size, more);
}

TEST(CdbSummary, LinesPerOpcodeAndBuffer) {
    T_SIL_DEVICE dev{};
    dev.korv_dev_num = 0x1A2;
    dev.director = 0x0C;
    dev.port = 1;
    dev.ucode_level = 0x5876;
    std::strcpy(dev.korid, "000190101234");
    std::strcpy(dev.name, "\\\\.\\PHYSICALDRIVE3");
    const std::string head = "DV#01A2 Dir:0C-1 Ucode:5876 Kor:000190101234 Dev:<\\\\.\\PHYSICALDRIVE3> Time:0.250/1.500 ";
    struct Case { Bytes cdb, data; T_CDB_SUMMARY_COUNTS counts; std::int32_t result; std::string expected; };
    const Case cases[] = {
        {cdb_of(0x12, {{4, 0xFE}}), {}, {3, 1, 0, 1.5}, -5, "Cdb:12 " + head + "status:-5  Pass/Fail=00003/00001 "},
        {cdb_of(0x3B, {{4, 0x11}, {5, 0x22}, {7, 0x02}}),
         syscall_buffer(0x200, {{8 + 57, 3}, {8 + 64, 0xAB}, {8 + 65, 0xCD}, {8 + 66, 0xEF}}), {1, 0, 2, 1.5}, 0,
         "Cdb:3B " + head + "status:0   Pass/Fail=00001/00000 BadCC:0002 CC:1122  L=0050  Sysc:9200_01_02 RPX:ABCDEF"},
        {cdb_of(0x3C, {{4, 0x01}, {5, 0x02}, {7, 0x01}}),
         bytes_of(0x100, {{0, 0x17}, {2, 0x0A}, {4, 4}, {7, 0x20}, {16, 0x33}}), {1, 1, 0, 1.5}, -5,
         "Cdb:3C " + head + "status:-5  Pass/Fail=00001/00001 BadCC:0000 CC:0102  L=0028  Sysc:0400_33_00 RC=00-0a"},
        // The header claims 0xFFFF + 8 bytes of the 16 moved; the buffer is exactly 16 bytes long.
        {cdb_of(0x3B, {{8, 16}}), bytes_of(16, {{6, 0xFF}, {7, 0xFF}, {8, 0x17}, {11, 6}}), {0, 0, 0, 1.5}, 0,
         "Cdb:3B " + head + "status:0   Pass/Fail=00000/00000 BadCC:0000 CC:0000  L=0010  Sysc:0000_00_00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_cdb_summary(c.cdb.data(), c.data.empty() ? nullptr : c.data.data(),
                                     static_cast<std::uint32_t>(c.data.size()), &dev, 0.25, c.counts, c.result),
                  c.expected);
    }
}

TEST_F(TransportTest, SummaryCountersAreNotLostAcrossThreads) {
    sil_set_verbosity(SIL_TC_CDB_LOG);  // data dump on, nothing written (level 0)
    const T_CDB_SUMMARY_COUNTS before = sil_cdb_summary_counts();
    const Bytes cdb = cdb_of(0x3C, {{8, 0x40}});
    const Bytes bad = bytes_of(0x40, {{0, 0x01}});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) log_cdb_summary(cdb.data(), bad.data(), &dev_, sil_seconds_now(), t % 2 == 0 ? 0 : -5);
        });
    }
    for (std::thread& th : threads) th.join();
    const T_CDB_SUMMARY_COUNTS after = sil_cdb_summary_counts();
    EXPECT_EQ(std::make_tuple(after.passed - before.passed, after.failed - before.failed, after.bad_replies - before.bad_replies),
              std::make_tuple(1000u, 1000u, 2000u));
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
    // INQUIRY claiming 0xFF bytes is cut to the 36 asked for; the buffer is exactly 36 bytes long.
    expect_pieces(dumped(cdb_of(0x12, {{4, 36}}), bytes_of(36, {{4, 0xFB}}, 0x41), 36),
                  {"SCSI DMA bytes requested: 0x24. Actual bytes transferred: 0x24. XMV 3c xfer: 0x0", "INQUIRY data:",
                   " 0020: "},
                  {" 0030: "});
    expect_pieces(dumped(cdb_of(0x1C, {{4, 24}}), Bytes(24, 0x43), 0xFFFFFFF0u),
                  {"IO length is negative, this only effects debug, probably caused by Sun fibre",
                   "RECEIVE DIAGNOSTIC data:", " 0010: "},
                  {" 0020: "});
    expect_pieces(dumped(cdb_of(0x3B, {{8, 0x20}}), Bytes(0x20, 0x44), 0, true),
                  {"CDB:", "3b 00 00 00 00 00 00 00  20 00", "WRITE BUFFER data:"});
    // READ BUFFER claiming 0x50 bytes of the 0x100 asked for, long header at 8 with one extension:
    // header part 8 + 24 + 16 = 48 bytes (rows 0000-0020), then 32 more (rows 0000-0010).
    const std::string text = dumped(cdb_of(0x3C, {{7, 0x01}}), syscall_buffer(0x100, {{8 + 23, 0x02}}), 0x100);
    const std::size_t header = text.find("READ HEADER data:");
    const std::size_t rest = text.find("READ BUFFER data:");
    ASSERT_LT(header, rest);
    ASSERT_NE(rest, std::string::npos);
    expect_pieces(text.substr(0, header), {"Actual bytes transferred: 0x50. XMV 3c xfer: 0x50"});
    expect_pieces(text.substr(header, rest - header), {" 0020: "});
    expect_pieces(text.substr(rest), {" 0010: "}, {" 0020: "});

    sil_set_verbosity(kDebugVerbosity & ~SIL_TC_CDB_LOG);  // nothing while the dump bit is off
    EXPECT_EQ(dumped(cdb_of(0x12, {{4, 36}}), Bytes(36, 0), 36), "");
}

// ---- TxCDB on the Windows road ------------------------------------------------------------------

TEST_F(TransportTest, PassThroughBlockForAnInquiry) {
    Bytes data(254, 0);
    fake().raw = answer(0, 0, 254);
    ASSERT_EQ(send(cdb_of(0x12, {{4, 0xFE}}), 0, data), 0);
    ASSERT_EQ(fake().calls.size(), 1u);
    const IoCall& call = fake().calls[0];
    // 96 bytes in and out; critical errors silenced for the call and the mode restored after it
    EXPECT_EQ(std::make_tuple(call.code, call.in.size(), call.out_length, call.error_mode, fake().error_mode),
              std::make_tuple(0x4D014u, std::size_t{96}, 96u, 1u, FakeScsiPlatform::kInitialErrorMode));
    const Block b = only_block();
    EXPECT_EQ(fields(b), "len 56 status 0 path 0 target 1 lun 0 cdb 6 sense 24 in 1 xfer 254 time 120 offset 60");
    // An adapter without an alignment mask gets the caller's buffer itself.
    EXPECT_EQ(b.sptd.DataBuffer, data.data());
    EXPECT_EQ(Bytes(b.sptd.Cdb, b.sptd.Cdb + 16), bytes_of(16, {{0, 0x12}, {4, 0xFE}}));
    // The error record comes back on success too.
    EXPECT_EQ(std::tie(err_.korvStatus, err_.pid, err_.bytesToTransfer, err_.bytesTransferred, err_.ioctlTimeoutSecs),
              std::make_tuple(0u, pds::platform().process_id(), 254u, 254u, 120u));
    EXPECT_STREQ(err_.raw_device_fn, "\\\\.\\PHYSICALDRIVE3");
}

// The adapter asks for 4-byte alignment, at most 64 bytes and 2 pages a request; the device fills
// whatever buffer it is handed with 'D'.
TEST_F(TransportTest, AdapterDescriptorAskedOnceDecidesStraightCopiedOrRefused) {
    dev_.adapter_queried = 0;
    fake().raw = [](std::uint32_t code, void* out, std::uint32_t out_length, std::uint32_t& returned) {
        if (code == pds::win::IOCTL_STORAGE_QUERY_PROPERTY) {
            pds::win::StorageAdapterDescriptor d{};
            d.Version = d.Size = 32;
            d.MaximumTransferLength = 64;
            d.MaximumPhysicalPages = 2;
            d.AlignmentMask = 3;
            returned = std::min<std::uint32_t>(sizeof d, out_length);
            std::memcpy(out, &d, returned);
        } else {
            const auto& b = *static_cast<Block*>(out);
            std::memset(b.sptd.DataBuffer, 'D', b.sptd.DataTransferLength);
            returned = sizeof(Block);
        }
        return pds::os_error{0};
    };
    alignas(64) std::uint8_t storage[72] = {};
    const Bytes inquiry36 = cdb_of(0x12, {{4, 36}});
    for (std::uint8_t* buffer : {storage, storage + 1}) {  // on the adapter's alignment, then off it
        std::fill_n(storage, sizeof storage, std::uint8_t{0});
        ASSERT_EQ(TxCDB(inquiry36.data(), 0, &err_, nullptr, buffer, &dev_, 0, 0), 0);
        const void* sent = pass_through_blocks().back().sptd.DataBuffer;
        EXPECT_EQ(sent == buffer, buffer == storage);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(sent) % 4, 0u);
        EXPECT_EQ(std::count(storage, storage + sizeof storage, 'D'), 36);  // the copy came back
        EXPECT_EQ(buffer[0], 'D');
    }
    // 65 bytes is above the adapter's limit: refused before it is sent, as Windows would (87).
    sil_set_verbosity(kDebugVerbosity);
    OutputCapture trace;
    const Bytes inquiry65 = cdb_of(0x12, {{4, 65}});
    EXPECT_EQ(TxCDB(inquiry65.data(), 0, &err_, nullptr, storage, &dev_, 0, 0), -5);
    EXPECT_EQ(err_.os_error, 87u);
    EXPECT_EQ(pass_through_blocks().size(), 2u);
    expect_pieces(trace.text(), {"transfer of 65 bytes refused: the adapter of \\\\.\\PHYSICALDRIVE3 moves at most 64 bytes"});
    EXPECT_EQ(std::count_if(fake().calls.begin(), fake().calls.end(),
                            [](const IoCall& c) { return c.code == pds::win::IOCTL_STORAGE_QUERY_PROPERTY; }),
              1);
}

TEST_F(TransportTest, DataDirectionLengthsAndSuccessFlagsPerOpcode) {
    struct Case { Bytes cdb; std::uint8_t direction, data_in, cdb_length, flags; };
    const std::uint8_t in = pds::win::SCSI_IOCTL_DATA_IN, any = SIL_IO_OK_ANY;
    const Case cases[] = {
        {cdb_of(0x3B, {{8, 0x10}}), 1, pds::win::SCSI_IOCTL_DATA_OUT, 10, any | SIL_IO_OK_BUFFER},  // sends
        {cdb_of(0x3C, {{8, 0x10}}), 0, in, 10, any | SIL_IO_OK_BUFFER},
        {cdb_of(0x00), 1, in, 6, any}, {cdb_of(0x17), 1, in, 6, any},  // no data, whatever the direction
        {cdb_of(0x9E, {{1, 0x10}, {13, 12}}), 0, in, 16, any}, {cdb_of(0xA3, {{9, 4}}), 2, in, 12, any},
        {cdb_of(0x12, {{4, 36}}), 0, in, 6, any | SIL_IO_OK_INQUIRY}, {cdb_of(0x25), 0, in, 10, any | SIL_IO_OK_READCAP},
    };
    for (const Case& c : cases) {
        reset_fake();
        dev_.io_ok_flags = 0;
        Bytes data(0x40, 0);
        EXPECT_EQ(send(c.cdb, c.direction, data), 0);
        const Block b = only_block();
        EXPECT_EQ(std::make_tuple(b.sptd.DataIn, b.sptd.CdbLength, b.sptd.DataTransferLength, dev_.io_ok_flags),
                  std::make_tuple(c.data_in, c.cdb_length, get_xfer_length(c.cdb.data(), 512), c.flags))
            << std::hex << int(c.cdb[0]);
    }
}

TEST_F(TransportTest, CustomSettings) {
    // Slots: time-out, 520-byte blocks, 2088-byte blocks; what went out: time-out sent and recorded, length.
    struct Case { bool given; std::int32_t timeout, use_520, use_2088; std::uint32_t sent, recorded, xfer; };
    const Case cases[] = {
        {false, 0, 0, 0, 120, 120, 1024},  // a small integer for the pointer: no settings, never dereferenced
        {true, 300, 0, 0, 120, 120, 1024}, {true, 5, 0, 0, 10, 5, 1024},  // refused; accepted, then raised
        {true, 299, 1, 1, 299, 299, 2 * 520}, {true, 299, 0, 1, 299, 299, 2 * 2088},
    };
    Bytes data(0x2000, 0);
    for (const Case& c : cases) {
        reset_fake();
        const T_SIL_IOCTL_SETTINGS settings{0, c.timeout, c.use_520, c.use_2088, 0, 0, 0};
        const auto* given = c.given ? &settings : reinterpret_cast<const T_SIL_IOCTL_SETTINGS*>(std::uintptr_t{1});
        ASSERT_EQ(send(cdb_of(0x28, {{8, 2}}), 0, data, given), 0);
        const Block b = only_block();
        EXPECT_EQ(std::make_tuple(b.sptd.TimeOutValue, err_.ioctlTimeoutSecs, b.sptd.DataTransferLength),
                  std::make_tuple(c.sent, c.recorded, c.xfer)) << c.timeout;
    }
}

// Answers the pass-through with access denied and the property query with a descriptor whose
// raw properties claim `raw_length` bytes of 'R', of which the driver wrote `written` in all.
IoctlAnswer access_denied_with_descriptor(std::uint32_t raw_length, std::uint32_t written) {
    return [=](std::uint32_t code, void* out, std::uint32_t out_length, std::uint32_t& returned) -> pds::os_error {
        if (code == pds::win::IOCTL_SCSI_PASS_THROUGH_DIRECT) return pds::kErrorAccessDenied;
        auto* bytes = static_cast<std::uint8_t*>(out);
        std::memset(bytes + pds::win::kStorageDeviceDescriptorHeader, 'R',
                    out_length - pds::win::kStorageDeviceDescriptorHeader);
        std::memcpy(bytes + 32, &raw_length, 4);
        returned = std::min(written, out_length);
        return 0;
    };
}

TEST_F(TransportTest, AccessDeniedStandardInquiryAnsweredFromTheStorageProperty) {
    // The descriptor's length is cut to what the INQUIRY asks for and to the bytes the driver
    // wrote. Past that the buffer holds only guard bytes, or ends: a longer copy trips the address
    // sanitizer.
    struct Case { std::uint32_t raw_length, written; std::uint8_t allocation; std::uint32_t copied, guard; };
    for (const Case c : {Case{96, 2048, 36, 36, 8}, Case{0xFFFFFFFF, 2048, 0xFF, 255, 0}, Case{20, 2048, 36, 20, 0},
                         Case{5000, 36 + 10, 0xFE, 10, 0}, Case{5000, 30, 0xFE, 0, 0}}) {
        SCOPED_TRACE(c.raw_length);
        reset_fake();
        fake().raw = access_denied_with_descriptor(c.raw_length, c.written);
        Bytes data(c.allocation + c.guard, 0);
        ASSERT_EQ(send(cdb_of(0x12, {{4, c.allocation}}), 0, data), 0);  // a short copy is no failure
        ASSERT_EQ(fake().calls.size(), 2u);
        const IoCall& query = fake().calls[1];
        EXPECT_EQ(std::tie(query.code, query.in, query.out_length, query.error_mode),
                  std::make_tuple(0x2D1400u, Bytes(12, 0), 2048u, 1u));
        EXPECT_EQ(err_.bytesTransferred, c.copied);
        Bytes expected(data.size(), 0);
        std::fill_n(expected.begin(), c.copied, std::uint8_t{'R'});
        EXPECT_EQ(data, expected);
    }
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
        {"an under-run sets a bit: then the illegal request's sense key says no", capacity,
         answer(0, 0x02, 0, sense_bytes(0x05, 0x24, 0x00)), "korv 0x20 os 0 moved 0 sense 1 key 0x5 asc 0x24 ascq 0x0",
         illegal_request},
        // The block is not handed back on an OS failure: its sense length is still the 24 asked for.
        {"no sense from a request the system failed", capacity,
         [](std::uint32_t, void*, std::uint32_t, std::uint32_t&) { return pds::os_error{1167}; },
         "korv 0x30 os 1167 moved 0 sense 0 key 0x0 asc 0x0 ascq 0x0", Bytes(25, 0)},
        {"a sense length past the 32-byte buffer: the copy stops at the 24 asked for", capacity,
         answer(0, 0x02, 8, Bytes(200, 0xAA)),
         "korv 0x10 os 0 moved 8 sense 1 key 0xa asc 0xaa ascq 0xaa", bytes_of(25, {{24, 0}}, 0xAA)},
        {"three sense bytes: the key is there, the codes are absent", capacity,
         answer(0, 0x02, 0, Bytes{0x70, 0x00, 0x06}), "korv 0x30 os 0 moved 0 sense 1 key 0x6 asc 0x0 ascq 0x0",
         bytes_of(25, {{0, 0x70}, {2, 0x06}})},
        {"failed: whatever the block says, nothing moved", inquiry, answer(31, 0, 100),
         "korv 0x30 os 31 moved 0 sense 0 key 0x0 asc 0x0 ascq 0x0", Bytes(25, 0)},
        {"completed with RESERVATION CONFLICT status", capacity, answer(0, 0x18, 0),
         "korv 0x130 os 0 moved 0 sense 0 key 0x0 asc 0x0 ascq 0x0", Bytes(25, 0)},
        {"an I/O error whose probe fails as well: no reservation", capacity, answer(pds::kErrorIoDevice, 0, 8),
         "korv 0x30 os 1117 moved 0 sense 0 key 0x0 asc 0x0 ascq 0x0", Bytes(25, 0), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset_fake();
        fake().raw = c.answer;
        dev_.mp_passthru_failed = 0;
        Bytes data(get_xfer_length(c.cdb.data(), 512), 0);
        EXPECT_EQ(send(c.cdb, 0, data), -5);
        EXPECT_EQ(outcome(err_), c.expected);
        EXPECT_EQ(Bytes(err_.sense_data, err_.sense_data + 25), c.sense_data);
        EXPECT_EQ(pass_through_blocks().size(), c.blocks);
        EXPECT_EQ(dev_.io_ok_flags, 0);
    }
}

TEST_F(TransportTest, ReservationProbeAfterAnIoDeviceError) {
    int pass_throughs = 0;
    fake().raw = [&](std::uint32_t code, void* out, std::uint32_t, std::uint32_t& returned) -> pds::os_error {
        returned = sizeof(Block);
        if (++pass_throughs > 1) return 0;  // the probe's INQUIRY goes through
        static_cast<Block*>(out)->sptd.DataTransferLength = 0;
        return pds::kErrorIoDevice;
    };
    Bytes data(8, 0);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    const std::vector<Block> blocks = pass_through_blocks();
    ASSERT_EQ(blocks.size(), 2u);
    const Block& probe = blocks[1];
    EXPECT_EQ(fields(probe), "len 56 status 0 path 0 target 1 lun 0 cdb 6 sense 24 in 1 xfer 144 time 120 offset 60");
    EXPECT_EQ(Bytes(probe.sptd.Cdb, probe.sptd.Cdb + 6), (Bytes{0x12, 0x00, 0x00, 0x00, 0x90, 0x00}));
    EXPECT_EQ(fake().calls[1].error_mode, 1u);
    EXPECT_EQ(err_.korvStatus, CDB_ERR_RESERVATION | CDB_ERR_XFER_RUN | CDB_ERR_RETRY);
}

// ---- The multipath road -------------------------------------------------------------------------

TEST_F(TransportTest, MultipathSuccessTakesOverTheDevice) {
    fake().raw = answer(1, 0, 0);  // the Windows request fails
    Block mp{};
    fake().on_mp = [&mp](void* handed) {
        mp = *static_cast<Block*>(handed);
        static_cast<Block*>(handed)->sptd.DataTransferLength = 36;
        return 0u;
    };
    Bytes data(36, 0);
    const Bytes inquiry = cdb_of(0x12, {{4, 36}});
    ASSERT_EQ(send(inquiry, 0, data), 0);
    ASSERT_EQ(fake().mp_values, std::vector<std::uint32_t>{32});
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
    fake().raw = answer(1, 0, 0);
    Bytes data(8, 0);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_EQ(fake().mp_values.size(), 1u);
    EXPECT_EQ(dev_.mp_passthru_failed, 1);
    EXPECT_EQ(send(cdb_of(0x25), 0, data), -5);
    EXPECT_EQ(fake().mp_values.size(), 1u);
    EXPECT_EQ(pass_through_blocks().size(), 2u);
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
            // The scripted platform without the library start its shared helper makes.
            auto owned = std::make_unique<FakeScsiPlatform>(pds::platform());
            const FakeScsiPlatform* platform = owned.get();
            pds::install_platform_for_tests(std::move(owned));
            T_SIL_DEVICE dev{};
            const Bytes cdb = cdb_of(0x12, {{4, 36}});
            Bytes data(36, 0);
            const std::int32_t rc = SIL_is_initialised()
                                        ? 1
                                        : TxCDB(cdb.data(), 0, nullptr, nullptr, data.data(), &dev, 0, 0);
            std::exit(rc == -102 && platform->calls.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

// ---- Output -------------------------------------------------------------------------------------

TEST_F(TransportTest, SilentFailureWithDumpOffAndNoDebug) {
    fake().raw = answer(pds::kErrorIoDevice, 0x02, 0, sense_bytes(0x03, 0x11, 0x00));
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
    fake().raw = answer(31, 0x02, 0, sense_bytes(0x06, 0x29, 0x00));
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
    dev_.fid = 0x7FF812345678;  // a handle above 32 bits is traced whole
    std::strcpy(dev_.korid, "000190105555");
    fake().raw = answer(0, 0, 36);
    Bytes data(36, 0x20);
    data[4] = 31;
    const T_CDB_SUMMARY_COUNTS before = sil_cdb_summary_counts();
    OutputCapture out;
    ASSERT_EQ(send(cdb_of(0x12, {{4, 36}}), 0, data, nullptr, 1), 0);
    EXPECT_NE(sil_trace_on() & SIL_TC_CDB_LOG, 0u);
    EXPECT_EQ(sil_cdb_summary_counts().passed, before.passed + 1);
    std::string text = out.text();
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_NE(text.find("7ff812345678 isopen=1"), std::string::npos) << text;  // %p spells it per C library
    expect_pieces(out.text(), {"isOpen=1 name=<\\\\.\\PHYSICALDRIVE3>, bus: 0 tid: 0 lun: 0",
                               "SIL dev: ucode=0x0 date=0x00000000 korvModel=0x0000 cap=0 ckd=-1",
                               "SIL dev: korid: 000190105555", "CDB:",
                               "Cdb:12 DV#002B Dir:00-0 Ucode:0000 Kor:000190105555 Dev:<\\\\.\\PHYSICALDRIVE3> Time:",
                               "status:0   Pass/Fail=", "INQUIRY data:"});

    // Still on for the next command, without asking.
    OutputCapture again;
    ASSERT_EQ(send(cdb_of(0x12, {{4, 36}}), 0, data), 0);
    expect_pieces(again.text(), {"INQUIRY data:"});
}

}  // namespace
