// Tests of the replication discovery on a simulated host through the real system-call engine; expected pictures worked out by hand from the host file below.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pds/platform.h"
#include "silautil_int.h"
#include "sildopen.h"
#include "silfindd.h"
#include "support/sim_array_fixture.h"

namespace {

// PHYSICALDRIVE0 is no array's. Array ...0001 (5874): drives 1 and 2 are two paths to device 0x10
// (RPX1), drive 3 a BCV. Its table lists remote arrays 0 and 5, and 3 without its "V" (so group 9
// points at nothing); call 0x0116 is refused, so only 0x9250 can fill the mirrors. Array ...0002
// (5873, where the array refuses 0x9250): drive 4 device 5 (RPX2), drive 5 device 6. Array ...0003
// has only a BCV. Array ...0004 refuses the group table.
#define KLUN(path, serial, dev, ucode, blocks, flags)                                                             \
    "{\"path\": \"\\\\\\\\.\\\\" path "\", \"personality\": \"korvalith_lun\", \"params\": {\"array_serial\": \"" serial \
    "\", \"device_number\": \"" dev "\", \"director\": 1, \"port\": 0, \"microcode\": \"" ucode                      \
    "\", \"microcode_date\": \"2012-11-15\", \"blocks\": " blocks ", \"flags\": [" flags "]}}"
const char* const kHost = R"({"clock": "2026-01-05 10:00:00.000",
 "host": {"machine_id": "5d0c3a8e-61f4-4b2a-9e07-c4b19f2d7a36"},
 "devices": [
  {"path": "\\\\.\\PHYSICALDRIVE0", "personality": "generic_disk", "params": {"vendor": "OTHERCO", "product": "DISK",
   "serial": "DRV0001", "blocks": 4096}},)"
    KLUN("PHYSICALDRIVE1", "000190100001", "10", "5874", "2048", "\"rpx_r1\"") ","
    KLUN("PHYSICALDRIVE2", "000190100001", "10", "5874", "8192", "\"rpx_r1\"") ","
    KLUN("PHYSICALDRIVE3", "000190100001", "11", "5874", "4096", "\"bcv\"") ","
    KLUN("PHYSICALDRIVE4", "000190100002", "5", "5873", "1000", "\"rpx_r2\"") ","
    KLUN("PHYSICALDRIVE5", "000190100002", "6", "5873", "3000", "") ","
    KLUN("PHYSICALDRIVE6", "000190100003", "1", "5874", "1000", "\"bcv\"") ","
    KLUN("PHYSICALDRIVE7", "000190100004", "1", "5874", "1000", "") R"(],
 "arrays": [
  {"serial": "000190100001", "microcode": "5874", "microcode_date": "2012-11-15",
   "remote_arrays": [{"serial": "000190200001", "microcode": 5874, "groups": [1, 2]},
    {"id": 3, "serial": "000190200003", "microcode": 5773, "groups": [9], "valid": false},
    {"id": 5, "serial": "000190200005", "microcode": 5876, "groups": [7]}],
   "devices": [{"device_number": "10", "mirrors": [
    {"mirror": 1, "role": "rpx1", "group": 1, "remote_device": "20"},
    {"mirror": 3, "role": "rpx2", "group": 7, "remote_device": "1234"}]}],
   "faults": [{"call": "0116", "kind": "code", "primary": 129}]},
  {"serial": "000190100002", "microcode": "5873", "microcode_date": "2012-11-15",
   "remote_arrays": [{"serial": "000190200009", "microcode": 5873, "groups": [4]}],
   "devices": [{"device_number": "5", "mirrors": [{"mirror": 2, "role": "rpx2", "group": 4, "remote_device": "77"}]}]},
  {"serial": "000190100003", "microcode": "5874", "microcode_date": "2012-11-15"},
  {"serial": "000190100004", "microcode": "5874", "microcode_date": "2012-11-15",
   "remote_arrays": [{"serial": "000190200011", "microcode": 5874, "groups": [3]}],
   "faults": [{"call": "0181", "subcommand": 2, "kind": "code", "primary": 129}]}]})";

std::string name_of(const T_SIL_DEVICE* d) { return d->name; }
std::string drive(int n) { return "\\\\.\\PHYSICALDRIVE" + std::to_string(n); }

class RpxDiscovery : public testsupport::SimArrayTest {
protected:
    static void SetUpTestSuite() { start_on_host(kHost); }
    void SetUp() override { ASSERT_EQ(SIL_CreateDeviceList(&list_, nullptr, 0), 0); }
    void TearDown() override {
        SIL_FreeRpxInfo(&info_);
        SIL_DestroyDeviceList(&list_);
    }
    std::vector<std::string> order() const {
        std::vector<std::string> names;
        for (std::int32_t i = 0; i < list_.count; ++i) names.push_back(name_of(list_.devices[i]));
        return names;
    }
    T_SIL_DEVICE* device(int n) {
        for (std::int32_t i = 0; i < list_.count; ++i) {
            if (name_of(list_.devices[i]) == drive(n)) return list_.devices[i];
        }
        return nullptr;
    }
    T_SIL_DEVICE_LIST list_{};
    T_SIL_RPX_INFO* info_ = nullptr;
};

TEST_F(RpxDiscovery, ListSortedBySerialThenBcvThenCapacityAndArraysCounted) {
    ASSERT_EQ(list_.count, 8);
    EXPECT_EQ(count_local_arrays(&list_), 4);
    // The other maker's disk has no serial and sorts first; in ...0001 the BCV (drive 3) leads,
    // then 8192 blocks before 2048; in ...0002 3000 before 1000.
    EXPECT_EQ(order(), (std::vector<std::string>{drive(0), drive(3), drive(2), drive(1), drive(5), drive(4), drive(6),
                                                 drive(7)}));
}

TEST_F(RpxDiscovery, WholePicture) {
    ASSERT_EQ(SIL_GetRpxInfo(&list_, &info_), 0);
    ASSERT_EQ(info_->count, 4);
    EXPECT_EQ(order()[1], drive(3));  // the list stays sorted after the call
    const T_SIL_RPX_LOCAL_ARRAY& a = info_->entries[0];
    EXPECT_STREQ(a.korid, "000190100001");
    // Two paths to device 0x10 are one device entry; the BCV is counted but not RPX-enabled.
    EXPECT_EQ(a.mapped_device_count, 3u);
    EXPECT_EQ(a.mapped_rpx_device_count, 2u);
    ASSERT_EQ(a.rpx_device_count, 1u);
    EXPECT_EQ(a.gatekeeper, drive(2));  // the first candidate after the BCV
    EXPECT_EQ(a.microcode_version, 0x5874);
    EXPECT_EQ(a.microcode_date, device(2)->ucode_date);
    ASSERT_EQ(a.remote_array_count, 2u);
    EXPECT_STREQ(a.remote_arrays[0].remote_korid, "000190200001");
    EXPECT_EQ(a.remote_arrays[0].remote_id, 0u);
    EXPECT_EQ(a.remote_arrays[0].microcode_version, 5874);
    ASSERT_EQ(a.remote_arrays[0].rpx_group_count, 2u);
    EXPECT_EQ(a.remote_arrays[0].rpx_groups[0], 1);
    EXPECT_EQ(a.remote_arrays[0].rpx_groups[1], 2);
    // Remote array 3 has no "V": it is left out, and its group 9 with it.
    EXPECT_STREQ(a.remote_arrays[1].remote_korid, "000190200005");
    EXPECT_EQ(a.remote_arrays[1].remote_id, 5u);
    EXPECT_EQ(a.remote_arrays[1].microcode_version, 5876);
    ASSERT_EQ(a.remote_arrays[1].rpx_group_count, 1u);
    EXPECT_EQ(a.remote_arrays[1].rpx_groups[0], 7);
    // 0x9250 (0x0116 is refused by this array): mirror 1 RPX1 to 0x20 over 1, mirror 3 RPX2 to
    // 0x1234 over 7, mirrors 2 and 4 empty.
    const T_SIL_RPX_DEVICE& d = a.rpx_devices[0];
    EXPECT_EQ(d.dev, 0x10u);
    EXPECT_EQ(std::make_tuple(d.mirrors[0].r_dev, d.mirrors[0].type, d.mirrors[0].group), std::make_tuple(0x20u, 1, 1));
    EXPECT_EQ(std::make_tuple(d.mirrors[2].r_dev, d.mirrors[2].type, d.mirrors[2].group), std::make_tuple(0x1234u, 2, 7));
    EXPECT_EQ(d.mirrors[1].type + d.mirrors[3].type + d.mirrors[1].r_dev + d.mirrors[3].r_dev, 0u);

    // ...0002 at 5873: the array answers only 0x0116, so mirror 2 RPX2 to 0x77 over 4 came through it.
    const T_SIL_RPX_LOCAL_ARRAY& b = info_->entries[1];
    EXPECT_STREQ(b.korid, "000190100002");
    EXPECT_EQ(std::make_tuple(b.mapped_device_count, b.mapped_rpx_device_count, b.rpx_device_count),
              std::make_tuple(2u, 1u, 1u));
    EXPECT_EQ(b.gatekeeper, drive(5));
    EXPECT_EQ(b.microcode_version, 0x5873);
    ASSERT_EQ(b.remote_array_count, 1u);
    EXPECT_EQ(b.remote_arrays[0].rpx_group_count, 1u);
    const T_SIL_RPX_MIRROR& m = b.rpx_devices[0].mirrors[1];
    EXPECT_EQ(b.rpx_devices[0].dev, 5u);
    EXPECT_EQ(std::make_tuple(m.r_dev, m.type, m.group), std::make_tuple(0x77u, 2, 4));

    // ...0003 has no gatekeeper but a BCV: unfilled.
    const T_SIL_RPX_LOCAL_ARRAY& c = info_->entries[2];
    EXPECT_STREQ(c.korid, "000190100003");
    EXPECT_EQ(c.mapped_device_count, 1u);
    EXPECT_EQ(std::make_tuple(std::string(c.gatekeeper), c.microcode_version, c.microcode_date, c.remote_array_count),
              std::make_tuple(std::string(), 0, 0u, 0u));

    // ...0004 refused the group table: its remote arrays stay, its gatekeeper fields do not come.
    const T_SIL_RPX_LOCAL_ARRAY& e = info_->entries[3];
    EXPECT_STREQ(e.korid, "000190100004");
    ASSERT_EQ(e.remote_array_count, 1u);
    EXPECT_STREQ(e.remote_arrays[0].remote_korid, "000190200011");
    EXPECT_EQ(e.remote_arrays[0].rpx_group_count, 0u);
    EXPECT_EQ(std::make_tuple(std::string(e.gatekeeper), e.microcode_version), std::make_tuple(std::string(), 0));

    // Every entry carries the host's access identity.
    std::uint8_t id[SIL_RPX_ACCESS_ID_LEN];
    sil_host_access_id(id);
    for (std::int32_t i = 0; i < info_->count; ++i) EXPECT_EQ(std::memcmp(info_->entries[i].access_id_bytes, id, 12), 0);
}

TEST_F(RpxDiscovery, PseudoDevicesAreNoGatekeepers) {
    device(4)->mp_state = 1;
    device(5)->veritas_state = 1;
    ASSERT_EQ(SIL_GetRpxInfo(&list_, &info_), 0);
    const T_SIL_RPX_LOCAL_ARRAY& b = info_->entries[1];
    EXPECT_STREQ(b.korid, "000190100002");
    EXPECT_EQ(std::make_tuple(std::string(b.gatekeeper), b.remote_array_count, b.rpx_devices[0].mirrors[1].type),
              std::make_tuple(std::string(), 0u, 0));
    EXPECT_EQ(info_->entries[0].gatekeeper, drive(2));  // the other arrays are not affected
}

TEST(RpxFree, AddressAndPointerChecked) {
    EXPECT_EQ(SIL_FreeRpxInfo(nullptr), -1);
    T_SIL_RPX_INFO* info = nullptr;
    EXPECT_EQ(SIL_FreeRpxInfo(&info), -2);
    info = new T_SIL_RPX_INFO{1, new T_SIL_RPX_LOCAL_ARRAY[1]{}};
    info->entries[0].rpx_devices = new T_SIL_RPX_DEVICE[11]{};
    EXPECT_EQ(SIL_FreeRpxInfo(&info), 0);
    EXPECT_EQ(info, nullptr);
}

TEST(RpxBuild, NoHighEndDeviceGivesOneEmptyEntry) {
    T_SIL_DEVICE other{};
    T_SIL_DEVICE* devices[] = {&other};
    T_SIL_DEVICE_LIST list{devices, 1};
    T_SIL_RPX_INFO* info = nullptr;
    ASSERT_EQ(build_rpx_info(&list, &info), 0);
    ASSERT_EQ(info->count, 1);
    EXPECT_STREQ(info->entries[0].korid, "");
    EXPECT_EQ(info->entries[0].mapped_device_count + info->entries[0].rpx_device_count, 0u);
    EXPECT_EQ(SIL_FreeRpxInfo(&info), 0);
}

TEST(RpxAccessId, Fnv1aOfTheTaggedIdentifier) {
    // Expected bytes computed with an independent python snippet: FNV-1a 64 and FNV-1a 32 over
    // b"lunscan access id:5d0c3a8e-61f4-4b2a-9e07-c4b19f2d7a36", each written big-endian.
    std::uint8_t id[12];
    sil_access_id_of("5d0c3a8e-61f4-4b2a-9e07-c4b19f2d7a36", id);
    EXPECT_EQ(std::vector<std::uint8_t>(id, id + 12),
              (std::vector<std::uint8_t>{0x8B, 0x13, 0x43, 0xCF, 0xBB, 0x40, 0xB3, 0xB6, 0x6F, 0x78, 0x6A, 0x16}));
}

// Whether another thread can take the device's host-wide lock at once.
bool lock_is_free(const std::string& device_name) {
    bool free = false;
    std::thread other([&] {
        std::unique_ptr<pds::NamedMutex> mutex;
        if (pds::platform().open_named_mutex(sil_device_lock_name(device_name.c_str()), mutex) != 0) return;
        free = mutex->lock(0) == 0;
        if (free) mutex->unlock();
    });
    other.join();
    return free;
}

TEST_F(RpxDiscovery, DiscoveryLockOutlivesTheCloseInsideIt) {
    T_SIL_DEVICE* gk = device(2);
    ASSERT_EQ(korvAquireDeviceLockX(gk, SIL_DEVICE_LOCK_DISCOVERY), 0);
    T_SIL_OPEN_OPEN_OPTIONS options{};
    options.skip_inquiry = 1, options.skip_readcap = 1;
    ASSERT_EQ(SIL_open_device(gk, &options), 0);
    // An exchange that takes the lock itself on the same thread neither waits nor lets it go.
    parms_.syscall_id = 0x0181, parms_.sys_f6_sub_command = 1, parms_.entry_count = 65535;
    EXPECT_EQ(PSCsysrpxtb(gk, &parms_, 1, res_.get()), 0);
    EXPECT_FALSE(lock_is_free(drive(2)));
    EXPECT_EQ(SIL_close_device(gk, 0), 0);
    EXPECT_FALSE(lock_is_free(drive(2)));
    EXPECT_EQ(korvReleaseDeviceLockX(gk, SIL_DEVICE_LOCK_DISCOVERY), 0);
    EXPECT_TRUE(lock_is_free(drive(2)));
    EXPECT_EQ(gk->dev_mutex, 0u);  // the record is left as the discovery found it
}

TEST(RpxCalls, AbsentArgumentsRefused) {
    sil_syscall_parms parms{};
    T_SIL_DEVICE dev{};
    EXPECT_EQ(PSCsysrpxtb(nullptr, &parms, 1, nullptr), -12);
    EXPECT_EQ(PSCrdrpxstt(&dev, nullptr, nullptr), -12);
    EXPECT_EQ(PSCrpxstatetbl_9250_01(&dev, &parms, nullptr), -12);
}

}  // namespace
