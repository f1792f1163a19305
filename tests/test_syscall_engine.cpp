// Tests of the format-6 poll loop against the simulated high-end array; every expected value worked out by hand from the wire format and the poll rules.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "pds/platform.h"
#include "support/sim_array_fixture.h"
#include "silsyscall_engine.h"

namespace {

// Array ...0001 replicates device 1 to device 0x20 of ...0002 (microcode 5874 = 0x16F2) over
// group 3. Each call and subcommand below carries its own script, so the tests share one host.
// Another process holds the lock of PHYSICALDRIVE2.
const char* const kHost = R"({"clock": "2026-01-05 10:00:00.000", "devices": [
  {"path": "\\\\.\\PHYSICALDRIVE1", "personality": "korvalith_lun", "params": {"array_serial": "000190100001",
   "device_number": "1", "director": 1, "port": 0, "microcode": "5874", "blocks": 2048}},
  {"path": "\\\\.\\PHYSICALDRIVE2", "personality": "korvalith_lun", "params": {"array_serial": "000190100001",
   "device_number": "2", "director": 1, "port": 0, "microcode": "5874", "blocks": 2048}}],
 "held_mutexes": ["KorvDevLock__5C_5C_2E_5CPHYSICALDRIVE2"],
 "arrays": [{"serial": "000190100001", "microcode": "5874",
  "remote_arrays": [{"serial": "000190100002", "microcode": 5874, "groups": [3]}],
  "devices": [{"device_number": "1", "mirrors": [{"mirror": 1, "role": "rpx1", "group": 3, "remote_device": "20"}]}],
  "faults": [{"kind": "busy", "call": "0116", "subcommand": 1, "times": 1},
             {"kind": "poll", "call": "0181", "subcommand": 2, "sleep_tenths": 25, "times": 1},
             {"kind": "ndu", "call": "9250", "subcommand": 1, "times": 2},
             {"kind": "busy", "call": "0200"},
             {"kind": "bad_crc", "call": "0400"}]}]})";

class Engine : public testsupport::SimArrayTest {
protected:
    static void SetUpTestSuite() { start_on_host(kHost); }
    void SetUp() override { open(R"(\\.\PHYSICALDRIVE1)"); }
    void TearDown() override { close(); }
    // One call; `slept_ns` gets how far the virtual clock moved.
    std::int32_t call(std::uint16_t id, std::uint8_t sub, std::uint32_t start, std::uint32_t count) {
        parms_.syscall_id = id, parms_.sys_f6_sub_command = sub, parms_.start_entry = start, parms_.entry_count = count;
        const std::int64_t before = pds::platform().monotonic_ns();
        const std::int32_t rc = do_simple_syscall(&dev_, &parms_, res_.get(), 0);
        slept_ns_ = pds::platform().monotonic_ns() - before;
        return rc;
    }
    std::int64_t slept_ns_ = -1;
};

TEST_F(Engine, RemoteArrayTableAnsweredFirstTime) {
    ASSERT_EQ(call(0x0181, 1, 0, 256), 0);
    EXPECT_EQ(res_->iterations, 1);
    EXPECT_EQ(slept_ns_, 0);
    EXPECT_EQ(parms_.syscall_flags & SYSC_FLAG_64K_REPLY, SYSC_FLAG_64K_REPLY);  // microcode 5874, no setting
    // One record: table index 0 is the only remote array.
    EXPECT_EQ(res_->number_of_records, 1u);
    EXPECT_EQ(res_->bytes_per_record, 32u);
    EXPECT_EQ(res_->max_record_number, 1u);
    EXPECT_EQ(res_->data_length, 32);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(res_->data), 12), "000190100002");
    EXPECT_EQ(res_->data[16], 0x16);
    EXPECT_EQ(res_->data[17], 0xF2);
    EXPECT_EQ(res_->data[31], 'V');
    EXPECT_EQ(parms_.start_entry, 0u);
    EXPECT_EQ(parms_.entry_count, 256u);
}

TEST_F(Engine, BusyThenAnsweredAfterOneSecond) {
    ASSERT_EQ(call(0x0116, 1, 1, 1), 0);
    EXPECT_EQ(res_->iterations, 2);
    EXPECT_EQ(slept_ns_, 1000000000);  // system_busy_sleep_seconds 0 means 1
    // Device 1: its number, mirror 1's role rpx1, mirror 1's slot (remote device 0x20, group 3, valid).
    EXPECT_EQ(res_->data[1], 1);
    EXPECT_EQ(res_->data[4], 0x01);
    EXPECT_EQ(res_->data[17], 0x20);
    EXPECT_EQ(res_->data[18], 3);
    EXPECT_EQ(res_->data[23], 'V');
}

TEST_F(Engine, PollSleepsExactlyTheRequestAndChargesTheTimeout) {
    ASSERT_EQ(call(0x0181, 2, 0, 256), 0);
    EXPECT_EQ(res_->iterations, 2);
    EXPECT_EQ(slept_ns_, 2500000000);  // 25 tenths
    EXPECT_EQ(parms_.timeout, 97u);    // (100 x 10 - 25) / 10, truncated
    EXPECT_EQ(res_->number_of_records, 256u);
    EXPECT_EQ(res_->data[3 * 8 + 7], 'V');  // group 3 leads to remote array 0
}

TEST_F(Engine, NduPausesFifteenSecondsEach) {
    ASSERT_EQ(call(0x9250, 1, 0, 2), 0);
    EXPECT_EQ(res_->iterations, 3);
    EXPECT_EQ(slept_ns_, 30000000000);
    EXPECT_EQ(res_->number_of_records, 2u);  // devices 0 and 1
}

TEST_F(Engine, EndlessBusyEndsAtTheDefaultLimit) {
    // Pass n ends n seconds in; elapsed > 180 first holds after pass 181.
    EXPECT_EQ(call(0x0200, 0, 0, 0), SYSC_ERR_POLL_LIMIT);
    EXPECT_EQ(res_->iterations, 181);
    EXPECT_EQ(slept_ns_, 181000000000);
    parms_.system_busy_max_retries = 5, parms_.system_busy_sleep_seconds = 2;  // 2n > 5 after pass 3
    EXPECT_EQ(call(0x0200, 0, 0, 0), SYSC_ERR_POLL_LIMIT);
    EXPECT_EQ(res_->iterations, 3);
    EXPECT_EQ(slept_ns_, 6000000000);
}

TEST_F(Engine, BadReplyCrcIsNotRetried) {
    EXPECT_EQ(call(0x0400, 0, 0, 0), SYSC_ERR_CRC);
    EXPECT_EQ(res_->iterations, 1);
}

TEST_F(Engine, ChainCodeWrapsAcrossCalls) {
    *sil_chain_code_counter() = 16382;
    ASSERT_EQ(call(0x0181, 1, 0, 256), 0);
    EXPECT_EQ(*sil_chain_code_counter(), 16383u);
    ASSERT_EQ(call(0x0181, 1, 0, 256), 0);  // the array answers only under the chain code written
    EXPECT_EQ(*sil_chain_code_counter(), 1u);
}

TEST_F(Engine, DeviceLockTakenAndReleased) {
    ASSERT_EQ(call(0x0181, 1, 0, 256), 0);
    std::thread other([] {  // the lock is re-entrant for its owner: ask from another thread
        std::unique_ptr<pds::NamedMutex> mutex;
        ASSERT_EQ(pds::platform().open_named_mutex("KorvDevLock__5C_5C_2E_5CPHYSICALDRIVE1", mutex), 0u);
        EXPECT_EQ(mutex->lock(0), 0u);
        mutex->unlock();
    });
    other.join();
    close();
    open(R"(\\.\PHYSICALDRIVE2)");
    EXPECT_EQ(call(0x0181, 1, 0, 256), SYSC_ERR_DEVICE_LOCK);  // held elsewhere: nothing is sent
}

}  // namespace
