// Tests of the format-6 wire layer: request bytes, hop parameters, the CRC, reply placement, return codes and the chain code.
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include <pds/byteorder.h>

#include "silsyscall.h"
#include "siltxcdb.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using U = std::vector<std::uint32_t>;
constexpr std::uint32_t kRequestCrc = 0x11223344;

// A reply as the array sends it behind its 8-byte outer header: codes, format 6, the length
// (16 + body), the echoed request CRC, the reply CRC over bytes 16 onwards, the subcommand and flags.
Bytes reply(std::uint8_t primary, std::uint8_t secondary, std::uint32_t flags, const Bytes& body, std::uint8_t sub = 0) {
    Bytes r(8 + 24, 0);
    r.insert(r.end(), body.begin(), body.end());
    std::span<std::uint8_t> h(r.data() + 8, r.size() - 8);
    h[1] = primary;
    h[2] = secondary;
    h[3] = 6;
    pds::store_be16(h.subspan(6), static_cast<std::uint16_t>(16 + body.size()));
    pds::store_be32(h.subspan(8), kRequestCrc);
    h[16] = sub;
    pds::store_be32(h.subspan(20), flags);
    pds::store_be32(h.subspan(12), format6_Crc(h.subspan(16)));
    return r;
}
// Big-endian words, then `tail`.
Bytes words(std::initializer_list<std::uint32_t> ws, const Bytes& tail = {}) {
    Bytes b(4 * ws.size());
    for (std::size_t i = 0; std::uint32_t w : ws) pds::store_be32(std::span(b).subspan(4 * i++), w);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

struct Call {
    T_SIL_DEVICE dev{};
    sil_syscall_parms parms{};
    std::unique_ptr<sil_syscall_results> res = std::make_unique<sil_syscall_results>();
    format6_next_pass next{};
    Call() { parms.timeout = 100; }  // as the poll loop leaves a limit of 0
    std::int32_t post(const Bytes& r) { return format6_PostProcess(&dev, &parms, r, res.get(), kRequestCrc, &next); }
    std::int32_t post_ext(const Bytes& r) { return format6_PostProcessExtData(&dev, &parms, r, res.get(), kRequestCrc, &next); }
};

TEST(Format6Request, EmptyRequestIs112BytesWithItsLengthsAndFixedBytes) {
    sil_syscall_parms p{};
    p.syscall_id = 0x0181;
    Bytes buf(F6_REQUEST_OVERHEAD, 0);
    ASSERT_EQ(format6_PrepareXmvHeader(nullptr, buf, buf.size() - 8, 1), 0);
    std::uint32_t crc = 0;
    ASSERT_EQ(format6_PrepareSyscallHeader(nullptr, &p, std::span(buf).subspan(8), {}, &crc), 0);
    // "XMV" 04, chain code 1, 104 bytes follow; 17 CE 03 06, call 0181, 96 bytes from offset 8.
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 16), (Bytes{'X', 'M', 'V', 4, 0, 1, 0, 104, 0x17, 0xCE, 3, 6, 0x01, 0x81, 0, 96}));
    EXPECT_EQ(pds::load_be32(std::span(buf).subspan(8 + 20)), 0x210u);  // flags: always 0x200 | 0x010
    EXPECT_EQ(pds::load_be32(std::span(buf).subspan(8 + 8)), crc);
    EXPECT_EQ(crc, format6_Crc(std::span(buf).subspan(8 + 12)));  // offset 12 to the end of the header
    const T_SIL_COMMAND write = sil_cmd_write_buffer(F6_BUFFER_MODE, F6_WRITE_BUFFER_ID, format6_BufferOffset(1), buf);
    EXPECT_EQ(Bytes(write.cdb.begin(), write.cdb.begin() + 10), (Bytes{0x3B, 1, 0x5D, 4, 0, 1, 0, 0, 112, 0}));
}

TEST(Format6Request, HopParametersAndHopListLimits) {
    std::uint8_t hops[9] = {5, 6, 7, 8, 9, 10, 11, 12, 13};
    sil_syscall_parms p{.syscall_id = 0x8148, .rpx_hop_list_length = 3, .rpx_hop_list_p = hops, .sysc_qc_status_bits = ~0u};
    Bytes h(F6_SYSCALL_HEADER_LEN, 0);
    ASSERT_EQ(format6_PrepareSyscallHeader(nullptr, &p, h, {}, nullptr), 0);
    // k = 3: A = 6 x 4^2 = 96, B = 2 x 4^2 = 32; the status words at 24-31 are cleared.
    EXPECT_EQ(Bytes(h.begin() + 24, h.begin() + 32), Bytes(8, 0));
    EXPECT_EQ(Bytes(h.begin() + 56, h.begin() + 68), (Bytes{0, 3, 0, 0, 0, 96, 0, 32, 5, 6, 7, 0}));
    // 0x815E subcommand 1 with the next-group flag: one hop appended (2 hops), A = 6 << 2 = 24, B = 0.
    p = {.syscall_id = 0x815E, .sys_f6_sub_command = 1, .rpx_hop_list_length = 1, .rpx_hop_list_p = hops,
         .frel_next_ra_group_f = 1, .frel_next_ra_group = 0x42};
    ASSERT_EQ(format6_PrepareSyscallHeader(nullptr, &p, h, {}, nullptr), 0);
    EXPECT_EQ(Bytes(h.begin() + 56, h.begin() + 67), (Bytes{0, 2, 0, 0, 0, 24, 0, 0, 5, 0x42, 0}));
    // Refused before anything is written: nine hops, a ninth appended, a hop count 0 lowered, director 3.
    const sil_syscall_parms refused[] = {
        {.syscall_id = 0x0181, .rpx_hop_list_length = 9, .rpx_hop_list_p = hops},
        {.syscall_id = 0x815E, .sys_f6_sub_command = 1, .rpx_hop_list_length = 8, .rpx_hop_list_p = hops, .frel_next_ra_group_f = 1},
        {.syscall_id = 0x815E, .sys_f6_sub_command = 7},
        {.syscall_id = 0x0181, .specified_director = 3},
    };
    Bytes untouched(F6_SYSCALL_HEADER_LEN, 0xEE);
    for (const sil_syscall_parms& r : refused)
        EXPECT_EQ(format6_PrepareSyscallHeader(nullptr, &r, untouched, {}, nullptr), SYSC_ERR_BAD_PARMS);
    EXPECT_EQ(untouched, Bytes(F6_SYSCALL_HEADER_LEN, 0xEE));
}

TEST(Format6Request, CrcOfHandWorkedInputs) {
    EXPECT_EQ(format6_Crc({}), 0u);
    // {01}: c = 0 ^ 01 = 1. Bit by bit (odd: c >> 1 ^ EDB88320, even: c >> 1):
    //   1 -> EDB88320 -> 76DC4190 -> 3B6E20C8 -> 1DB71064 -> 0EDB8832 -> 076DC419
    //   -> 03B6E20C ^ EDB88320 = EE0E612C -> 77073096.
    const std::uint8_t one[] = {0x01};
    EXPECT_EQ(format6_Crc(one), 0x77073096u);
    // {80 00}: 80 shifts out as 40 20 10 08 04 02 01, then 01 -> EDB88320. The 00 byte then takes
    // the same eight steps as above from EDB88320: ... -> 77073096 -> 3B83984B.
    const std::uint8_t two[] = {0x80, 0x00};
    EXPECT_EQ(format6_Crc(two), 0x3B83984Bu);
}

TEST(Format6Request, ChainCodesRunFrom1To16383ThenWrapTo1) {
    EXPECT_EQ((U{format6_NextChainCode(0), format6_NextChainCode(1), format6_NextChainCode(16382), format6_NextChainCode(16383),
                 format6_NextChainCode(-7)}),
              (U{1, 2, 16383, 1, 1}));
}

TEST(Format6Reply, PlacementForEachFlagsCombination) {
    Call c;
    ASSERT_EQ(c.post(reply(0, 0, 3, words({1, 2, 3, 4, 5, 6, 7, 8}, {0xAA, 0xBB}))), 0);  // sub-header 24-39, counters 40-55, data at 56
    EXPECT_EQ(c.res->sub_header_reserved2, 4u);
    EXPECT_EQ((U{c.res->number_of_records, c.res->max_record_number}), (U{5, 8}));
    EXPECT_EQ(c.res->data_length, 2);
    EXPECT_EQ(c.res->data[0], 0xAA);

    ASSERT_EQ(c.post(reply(0, 0, 1, words({5, 6, 7, 5}, {0xCC}))), 0);  // counters 24-39, data at 40
    EXPECT_EQ((U{c.res->bytes_per_record, c.res->first_record_number}), (U{6, 7}));
    EXPECT_EQ(c.res->sub_header1, 0u);
    EXPECT_EQ(c.res->data_length, 1);

    ASSERT_EQ(c.post(reply(0, 0, 0, {0xAA, 0xBB, 0xCC})), 0);  // data at 24, no counters
    EXPECT_EQ(c.res->data_length, 3);
    EXPECT_EQ(c.res->number_of_records, 0u);

    // Bit 1 alone: data at 40 behind a sub-header, and only what follows it (17 + 16 - 32 = 1 byte).
    const Bytes r = reply(0, 0, 2, words({1, 2, 3, 4}, {0xDD}));
    ASSERT_EQ(c.post(r), 0);
    EXPECT_EQ(c.res->data_length, 1);
    EXPECT_EQ(c.res->data[0], 0xDD);
    EXPECT_EQ(c.res->sub_header2, 2u);
    // The same reply on a service-processor device (no outer header): data at 24, 33 - 16 = 17 bytes.
    c.dev.access_method = SIL_ACCESS_KORVWIN;
    ASSERT_EQ(c.post(Bytes(r.begin() + 8, r.end())), 0);
    EXPECT_EQ(c.res->data_length, 17);
    EXPECT_EQ(c.res->data[3], 1);
}

TEST(Format6Reply, RepliesThatDoNotHoldTogether) {
    Call c;
    EXPECT_EQ(c.post(reply(0, 0, 2, {})), SYSC_ERR_BAD_REPLY);           // flags promise 16 more bytes
    EXPECT_EQ(c.post(reply(0, 0, 3, words({1, 2, 3, 4}))), SYSC_ERR_BAD_REPLY);  // counters missing
    Bytes r = reply(0, 0, 0, {1, 2, 3});
    r.pop_back();                                                         // length says 1 byte more
    EXPECT_EQ(c.post(r), SYSC_ERR_BAD_REPLY);
    EXPECT_EQ(c.post(Bytes(12, 0)), SYSC_ERR_BAD_REPLY);                  // no whole reply header
    EXPECT_EQ(c.post(reply(0, 0, 0, {1, 2, 3}, 5)), SYSC_ERR_BAD_REPLY);  // another subcommand
    r = reply(SYSCR_BLOCKED, 0, 0, {1, 2, 3}, 5);
    EXPECT_EQ(c.post(r), SYSC_ERR_BLOCKED);
    r[8 + 3] = 7;                                                         // another format
    r[0] = 1;                                                             // receive buffer 01 00 ... 00
    EXPECT_EQ(c.post(r), SYSC_ERR_BAD_BUFF_PARAM_HEADER);
    r = reply(0, 0, 0, {1, 2, 3});
    r.back() ^= 1;
    EXPECT_EQ(c.post(r), SYSC_ERR_CRC);
    r = reply(0, 0, 0, {});
    pds::store_be16(std::span(r).subspan(8 + 6), 0);  // a bare answer: length 0, nothing checked
    r[8 + 16] = 9;
    EXPECT_EQ(c.post(r), 0);
}

TEST(Format6Reply, EachPrimaryCodeOutcome) {
    struct Row { std::uint8_t primary, secondary; std::uint16_t id; std::uint8_t sub; std::int32_t status; std::uint32_t sleep_ms; };
    const Row rows[] = {
        {0, 0, 0x0181, 0, 0, 0},        {0x84, 0, 0x0181, 0, -8, 0},    {0xA7, 0, 0x0181, 0, -8, 0},
        {0x95, 0, 0x0181, 0, 1, 1000},  {0xB0, 0, 0x0181, 0, 1, 15000}, {0x87, 1, 0x0181, 0, -35, 0},
        {0x87, 2, 0x0181, 0, -16, 0},   {0x97, 0, 0x0181, 0, -32, 0},   {0x14, 0, 0x9261, 0x83, 1, 500},
        {0x14, 0, 0x9261, 1, -16, 0},   {0x06, 0, 0x9263, 0, 1, 500},   {0x06, 0, 0x9262, 0, -16, 0},
        {0, 0x05, 0x0181, 0, -16, 0},   {0, 0x85, 0x0181, 0, 0, 0},     {0x33, 0, 0x0181, 0, -16, 0},
    };
    for (const Row& row : rows) {
        Call c;
        c.parms.syscall_id = row.id;
        c.parms.sys_f6_sub_command = row.sub;
        EXPECT_EQ(c.post(reply(row.primary, row.secondary, 0, {}, row.sub)), row.status) << std::hex << int(row.primary);
        EXPECT_EQ(c.next.sleep_ms, row.sleep_ms) << std::hex << int(row.primary);
    }
}

TEST(Format6Reply, PollSleepIsCappedAndSpentFromTheCallsLimit) {
    Call c;
    const Bytes poll = reply(SYSCR_POLL, 0, 0, words({1000}));  // 1000 tenths asked
    ASSERT_EQ(c.post(poll), 1);
    // Capped at 768 tenths; the whole data go back as continuation; (1000 - 768) / 10 s left.
    EXPECT_EQ((U{c.next.sleep_ms, c.next.continuation_length, c.parms.timeout}), (U{76800, 4, 23}));
    ASSERT_EQ(c.post(poll), 1);
    EXPECT_EQ(c.next.sleep_ms, 23000u);           // what is left of the limit, not 76.8 s
    EXPECT_NE(c.parms.syscall_flags & SYSC_FLAG_LAST_CHANCE, 0u);
    EXPECT_EQ(c.post(poll), SYSC_ERR_CRC);        // exhausted a second time
    Call ignoring;
    ignoring.parms.ignore_requested_sleep_f = 1;
    ignoring.parms.timeout = 5;
    ASSERT_EQ(ignoring.post(poll), 1);
    EXPECT_EQ((U{ignoring.next.sleep_ms, ignoring.parms.timeout}), (U{100, 4}));  // 0.1 s; (50 - 1) / 10 s left
}

TEST(Format6Reply, ExtendedBufferAccumulatesAndResumesAfterAnOverrun) {
    Call c;
    std::uint8_t ext[6] = {};
    c.res->ext_data_buffer = ext;
    c.res->ext_data_buffer_size = sizeof ext;
    c.parms.start_entry = 10;
    c.parms.entry_count = 8;
    ASSERT_EQ(c.post_ext(reply(SYSCR_DATA_OVERRUN, 0, 1, words({3, 1, 10, 20}, {1, 2, 3}))), 1);
    EXPECT_EQ((U{c.parms.start_entry, c.parms.entry_count}), (U{13, 5}));  // 10 + 3, 8 - 3
    ASSERT_EQ(c.post_ext(reply(0, 0, 1, words({2, 1, 13, 20}, {4, 5}))), 0);
    EXPECT_EQ((U{c.res->number_of_records, c.res->ext_data_length}), (U{5, 5}));
    EXPECT_EQ(Bytes(ext, ext + 6), (Bytes{1, 2, 3, 4, 5, 0}));
    EXPECT_EQ(c.post_ext(reply(0, 0, 1, words({2, 1, 15, 20}, {6, 7}))), SYSC_ERR_OVERRUN);  // 7 > 6 bytes
    c.parms.syscall_id = 0x0157;
    EXPECT_EQ(c.post_ext(reply(SYSCR_DATA_OVERRUN, 0, 0, {})), SYSC_ERR_OVERRUN);
}

}  // namespace
