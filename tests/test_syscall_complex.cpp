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
// over group 3, devices 0 and 2 have no mirrors.
const char* const kHost = R"({"clock": "2026-01-05 10:00:00.000", "devices": [
  {"path": "\\\\.\\PHYSICALDRIVE1", "personality": "korvalith_lun", "params": {"array_serial": "000190100001",
   "device_number": "1", "director": 1, "port": 0, "microcode": "5874", "blocks": 2048}},
  {"path": "\\\\.\\PHYSICALDRIVE3", "personality": "korvalith_lun", "params": {"array_serial": "000190100003",
   "device_number": "1", "director": 1, "port": 0, "microcode": "5874", "blocks": 2048}}],
 "arrays": [{"serial": "000190100001", "microcode": "5874", "device_count": 1400,
  "devices": [{"device_number": "55A", "mirrors": [{"mirror": 2, "role": "rpx2", "group": 5, "remote_device": "30"}]}]},
  {"serial": "000190100003", "microcode": "5874", "device_count": 3, "variable_records": true,
  "devices": [{"device_number": "1", "mirrors": [{"mirror": 1, "role": "rpx1", "group": 3, "remote_device": "20"}]}]}]})";

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

}  // namespace
