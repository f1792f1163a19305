// Tests of the record accumulation over several system calls against the simulated high-end array; expected values worked out by hand from the reply layout.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "pds/platform.h"
#include "support/sim_array_fixture.h"
#include "silsyscall_complex.h"

namespace {

// Array ...0001 holds 1400 devices; device 1370 (0x55A) sends mirror 2 to device 0x30 over group 5.
// Array ...0003 answers 0x9250 with variable-length records; its device 1 sends mirror 1 to 0x20
// over group 3, devices 0 and 2 have no mirrors. Array ...0004 (microcode 5566) answers with record
// headers and holds 1400 devices.
const char* const kHost = R"({"clock": "2026-01-05 10:00:00.000", "devices": [
  {"path": "\\\\.\\PHYSICALDRIVE1", "personality": "korvalith_lun", "params": {"array_serial": "000190100001",
   "device_number": "1", "director": 1, "port": 0, "microcode": "5874", "blocks": 2048}},
  {"path": "\\\\.\\PHYSICALDRIVE3", "personality": "korvalith_lun", "params": {"array_serial": "000190100003",
   "device_number": "1", "director": 1, "port": 0, "microcode": "5874", "blocks": 2048}},
  {"path": "\\\\.\\PHYSICALDRIVE4", "personality": "korvalith_lun", "params": {"array_serial": "000190100004",
   "device_number": "1", "director": 1, "port": 0, "microcode": "5566", "blocks": 2048}}],
 "arrays": [{"serial": "000190100001", "microcode": "5874", "device_count": 1400,
  "devices": [{"device_number": "55A", "mirrors": [{"mirror": 2, "role": "rpx2", "group": 5, "remote_device": "30"}]}]},
  {"serial": "000190100003", "microcode": "5874", "device_count": 3, "variable_records": true,
  "devices": [{"device_number": "1", "mirrors": [{"mirror": 1, "role": "rpx1", "group": 3, "remote_device": "20"}]}]},
  {"serial": "000190100004", "microcode": "5566", "device_count": 1400, "record_header": true}]})";

class Complex : public testsupport::SimArrayTest {
protected:
    static void SetUpTestSuite() { start_on_host(kHost); }
    void TearDown() override { close(); }
    std::int32_t states(std::uint32_t count) {
        parms_.syscall_id = 0x9250, parms_.sys_f6_sub_command = 1, parms_.start_entry = 0, parms_.entry_count = count;
        return syscall_9200_tm(&dev_, &parms_, res_.get(), 0);
    }
};

TEST_F(Complex, LongDeviceTableReadOnceInTwoPasses) {
    open(R"(\\.\PHYSICALDRIVE1)");
    // A 0xFFF0 reply holds 8 + 24 + 16 bytes of headers and (65520 - 48) / 48 = 1364 records of
    // 48 bytes: records 0..1363 with an overrun, then 1364..1399.
    std::vector<std::uint8_t> ext(1400 * 48 + 100, 0xEE);
    parms_.use_ext_data_buff_f = 1;
    res_->ext_data_buffer = ext.data();
    res_->ext_data_buffer_size = static_cast<std::uint32_t>(ext.size());
    ASSERT_EQ(states(65535), 0);
    EXPECT_EQ(res_->number_of_records, 1400u);
    EXPECT_EQ(res_->ext_data_length, 1400u * 48);
    EXPECT_EQ(res_->iterations, 2);
    EXPECT_EQ(res_->max_record_number, 1400u);
    EXPECT_EQ(res_->bytes_per_record, 48u);
    // Each record starts with its own device number, so no record came twice or went missing.
    for (std::uint32_t i : {0u, 1363u, 1364u, 1399u}) {
        const std::uint8_t* r = &ext[48 * i];
        EXPECT_EQ(r[0] << 24 | r[1] << 16 | r[2] << 8 | r[3], static_cast<int>(i)) << i;
    }
    const std::uint8_t* d = &ext[48 * 0x55A];  // role rpx2 of mirror 2 at 15; slot 24: 0x30, mirror 2, group 5, "V"
    EXPECT_EQ(d[15], 0x02);
    EXPECT_EQ(d[27], 0x30);
    EXPECT_EQ(d[32], 2);
    EXPECT_EQ(d[33], 5);
    EXPECT_EQ(d[35], 'V');
    EXPECT_EQ(ext[1400 * 48], 0xEE);  // nothing written past the records
    EXPECT_EQ(parms_.start_entry, 0u);
    EXPECT_EQ(parms_.entry_count, 65535u);
}

TEST_F(Complex, VariableLengthRecordsEachInItsOwnSlot) {
    open(R"(\\.\PHYSICALDRIVE3)");
    std::memset(res_->data, 0xEE, 200);
    // Records of 24, 36 and 24 bytes behind 4-byte headers; slots of 48 (already a multiple of 8).
    ASSERT_EQ(states(3), 0);
    EXPECT_EQ(res_->number_of_records, 3u);
    EXPECT_EQ(res_->data_length, 144);
    EXPECT_EQ(res_->bytes_per_record, 48u);
    std::vector<std::uint8_t> slot1(48, 0);
    slot1[3] = 1, slot1[14] = 0x01, slot1[27] = 0x20, slot1[32] = 1, slot1[33] = 3, slot1[35] = 'V';
    EXPECT_EQ(std::vector<std::uint8_t>(res_->data + 48, res_->data + 96), slot1);
    std::vector<std::uint8_t> slot2(48, 0);
    slot2[3] = 2;
    EXPECT_EQ(std::vector<std::uint8_t>(res_->data + 96, res_->data + 144), slot2);
    EXPECT_EQ(res_->data[144], 0xEE);
}

TEST_F(Complex, ChunkedReadEndsOnTheArraysRefusal) {
    open(R"(\\.\PHYSICALDRIVE1)");
    // Subcommand 9 of 0x0181 is no table of the array: primary 0x81, any other code gives -16.
    res_->format = 6, res_->data_length = 32, res_->number_of_records = 1;
    parms_.syscall_id = 0x0181, parms_.sys_f6_sub_command = 9, parms_.format4 = 1;
    EXPECT_EQ(SIL_korvComplexSysCall(&dev_, &parms_, res_.get(), 0), -16);
    EXPECT_EQ(res_->order17_return_code, 0x81);
    EXPECT_EQ(res_->format + res_->data_length + res_->number_of_records, 0u);
}

// Microcode 5566 (low byte below 0x67) fetches in chunks, and gets no 64 KB replies: a 0x8100-byte
// reply holds 33024 - 8 - 24 - 16 = 32976 bytes of records, 687 records of 48 bytes.
class Chunked : public Complex {
protected:
    void SetUp() override {
        open(R"(\\.\PHYSICALDRIVE4)");
        dev_.ucode_level = 0x5566;
        parms_.syscall_id = 0x0116, parms_.sys_f6_sub_command = 1, parms_.start_entry = 0, parms_.entry_count = 1400;
    }
    static std::uint32_t number_at(const std::uint8_t* r) { return r[0] << 8 | r[1]; }
};

TEST_F(Chunked, ExtendedBufferFilledInThreePasses) {
    // 0..686 (overrun), then 713 asked from 687: 687..1373 (overrun), then 26 from 1374: the last.
    std::vector<std::uint8_t> ext(1400 * 48 + 100, 0xEE);
    parms_.use_ext_data_buff_f = 1;
    res_->ext_data_buffer = ext.data();
    res_->ext_data_buffer_size = static_cast<std::uint32_t>(ext.size());
    ASSERT_EQ(SIL_korvComplexSysCall(&dev_, &parms_, res_.get(), 0), 0);
    EXPECT_EQ(res_->number_of_records, 1400u);
    EXPECT_EQ(res_->ext_data_length, 1400u * 48);
    EXPECT_EQ(res_->bytes_per_record, 48u);
    EXPECT_EQ(res_->max_record_number, 1400u);
    for (std::uint32_t i : {0u, 686u, 687u, 1373u, 1374u, 1399u}) EXPECT_EQ(number_at(&ext[48 * i]), i);
    EXPECT_EQ(ext[1400 * 48], 0xEE);
    EXPECT_EQ(parms_.use_ext_data_buff_f, 1);
    EXPECT_EQ(parms_.start_entry, 0u);
    EXPECT_EQ(parms_.entry_count, 1400u);
}

TEST_F(Chunked, DataAreaKeepsTheFirstChunkAndReportsTheOverrun) {
    EXPECT_EQ(SIL_korvComplexSysCall(&dev_, &parms_, res_.get(), 0), SYSC_ERR_OVERRUN);
    EXPECT_EQ(res_->number_of_records, 687u);
    EXPECT_EQ(res_->data_length, 687 * 48);
    EXPECT_EQ(res_->order17_return_code, SYSCR_DATA_OVERRUN);
    EXPECT_EQ(number_at(&res_->data[48 * 686]), 686u);
}

TEST(RecordLoop, AnAnswerThatDoesNotMoveOnEndsTheLoop) {
    // Every answer: an overrun of record 0 of 100, 8 bytes. The first moves the window to 1; the
    // second, again record 0, would not move it, so the loop stops there with the overrun's -8.
    std::vector<std::uint8_t> ext(1000);
    sil_syscall_parms parms{};
    parms.use_ext_data_buff_f = 1, parms.entry_count = 65535;
    auto results = std::make_unique<sil_syscall_results>();
    results->ext_data_buffer = ext.data(), results->ext_data_buffer_size = 1000;
    int calls = 0;
    const auto same = [&calls](sil_syscall_parms*, sil_syscall_results* a) {
        *a = sil_syscall_results{};
        a->flags = F6_REPLY_COUNTERS, a->number_of_records = 1, a->bytes_per_record = 8, a->max_record_number = 100;
        a->data_length = 8;
        return ++calls > 10 ? -16 : SYSC_ERR_OVERRUN;
    };
    EXPECT_EQ(execute_9200_tm_with(&parms, results.get(), same), SYSC_ERR_OVERRUN);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(results->ext_data_length, 16u);
}

}  // namespace
