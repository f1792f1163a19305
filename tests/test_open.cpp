// Device open and close at the library's level, on a simulated host: raw opens, locks, RAD, service processors, closes.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include <pds/platform.h>
#include <pds/platform_testing.h>

#include "sildevice.h"
#include "sildopen_steps.h"
#include "sildopen_host.h"
#include "sildopen_sp.h"
#include "silinitl.h"
#include "silinqut.h"
#include "silkorinq.h"

namespace {

std::string data_dir() {
    const char* over = std::getenv("LUNSCAN_DEV_DATA");
    return over != nullptr && *over != '\0' ? over : LUNSCAN_DEV_DATA;
}

// The simulated host of open-host.json, installed once for the process, with the library started.
void start_on_simulated_host() {
    static const bool started = [] {
        std::string error;
        std::unique_ptr<pds::Platform> sim = pds::make_sim_platform(data_dir() + "/open-host.json", error);
        if (sim == nullptr) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::abort();
        }
        pds::install_platform_for_tests(std::move(sim));
        return SIL_init(0, 0, SIL_LIBRARY_VERSION, "open tests", "sim", "today") == 0;
    }();
    ASSERT_TRUE(started);
}

class OpenTest : public ::testing::Test {
protected:
    void SetUp() override { start_on_simulated_host(); }
};

const char* const kRadDisk = "\\\\.\\PHYSICALDRIVE1";     // high-end array RAD LUN, last LBA 0x100000
const char* const kPlainDisk = "\\\\.\\PHYSICALDRIVE2";   // no SCSI address
const char* const kNoLun = "\\\\.\\PHYSICALDRIVE3";       // qualifier 3, type 0x1F
const char* const kRefusing = "\\\\.\\PHYSICALDRIVE8";    // every open fails with 5
const char* const kHeldDisk = "\\\\.\\PHYSICALDRIVE9";    // another process holds it for writing

// Whether another thread can take the device's host-wide lock at once.
bool lock_is_free(const char* device_name) {
    bool free = false;
    std::thread other([&] {
        std::unique_ptr<pds::NamedMutex> mutex;
        if (pds::platform().open_named_mutex(sil_device_lock_name(device_name), mutex) != 0) return;
        free = mutex->lock(0) == 0;
        if (free) mutex->unlock();
    });
    other.join();
    return free;
}

// A record as the device list hands it to the open: zero-filled, with its name.
std::unique_ptr<T_SIL_DEVICE, decltype(&SIL_closeAndFreeDevice)> named_record(const char* name) {
    auto* device = new T_SIL_DEVICE{};
    sil_copy_text(device->name, name);
    return {device, &SIL_closeAndFreeDevice};
}


// ---- openRawDevice and T_SIL_OPEN_INFO -------------------------------------------------------------

TEST_F(OpenTest, RawOpenReportsCapacityAndCopiesTheInquiryPage) {
    std::array<unsigned char, SIL_OPEN_INFO_INQUIRY_BYTES> buffer;
    buffer.fill(0xAA);
    T_SIL_OPEN_INFO info{};
    info.perform_inquiry = 1;
    info.inquiry_buffer = buffer.data();
    info.exec_status = 99;
    T_SIL_DEVICE* device = openRawDevice(kRadDisk, 0, &info, 7);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->trace_ctx, 7u);
    EXPECT_EQ(info.max_lba, 0x100001u);  // num_blocks: last LBA 0x100000 + 1
    EXPECT_EQ(info.block_size, 512u);
    EXPECT_EQ(info.exec_status, 0u);
    EXPECT_EQ(std::memcmp(buffer.data() + 8, "XMV", 3), 0);
    // the identification rewrote the revision with the level of bytes 88-89
    EXPECT_EQ(std::memcmp(buffer.data() + 32, "5876", 4), 0);
    EXPECT_EQ(buffer[76], 0x00);
    EXPECT_EQ(buffer[128], 0x34);
    // the page has 216 bytes; the rest of the 220 reads as zero
    EXPECT_EQ(buffer[216] | buffer[217] | buffer[218] | buffer[219], 0);
    EXPECT_EQ(closeRawDevice(device), 0);
}

TEST_F(OpenTest, FailedRawOpenReturnsNullWithStatusAndError) {
    T_SIL_OPEN_INFO refused{};
    EXPECT_EQ(openRawDevice(kRefusing, 0, &refused, 0), nullptr);
    EXPECT_EQ(refused.SIL_return_code, -1);
    EXPECT_EQ(refused.SIL_errno, 5u);

    // A device that does not exist leaves no error behind.
    T_SIL_OPEN_INFO missing{};
    EXPECT_EQ(openRawDevice("\\\\.\\PHYSICALDRIVE77", 0, &missing, 0), nullptr);
    EXPECT_EQ(missing.SIL_return_code, -1);
    EXPECT_EQ(missing.SIL_errno, 0u);

    T_SIL_OPEN_INFO no_lun{};
    EXPECT_EQ(openRawDevice(kNoLun, 0, &no_lun, 0), nullptr);
    EXPECT_EQ(no_lun.SIL_return_code, -7);
}

// ---- the host-wide device lock ---------------------------------------------------------------------

TEST_F(OpenTest, LockForTheOpenOrForTheDevicesLife) {
    // Mode 2 holds the host-wide lock only during the open, mode 1 until the close; a failed open
    // gives it back at once in both.
    for (std::uint8_t mode : {1, 2}) {
        T_SIL_OPEN_INFO info{};
        info.perform_lock_operation = mode;
        T_SIL_DEVICE* device = openRawDevice(kPlainDisk, 0, &info, 0);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(lock_is_free(kPlainDisk), mode == 2);
        EXPECT_EQ(closeRawDevice(device), 0);
        EXPECT_TRUE(lock_is_free(kPlainDisk));
        EXPECT_EQ(openRawDevice(kRefusing, 0, &info, 0), nullptr);
        EXPECT_TRUE(lock_is_free(kRefusing));
    }
}

// ---- what SIL_open_device gathers --------------------------------------------------------------------

TEST_F(OpenTest, RadDeviceFacts) {
    // Access mode 1 allocates the asked-for buffer; another mode, or no options (mode 2), none.
    struct Case { bool with_options; std::uint32_t mode, buffer_size, kept_mode, kept_size; };
    for (const Case c : {Case{true, 1, 4096, 1, 4096}, Case{true, 3, 4096, 3, 0}, Case{false, 0, 0, 2, 0}}) {
        auto device = named_record(kRadDisk);
        T_SIL_OPEN_OPEN_OPTIONS options{};
        options.rad_access_mode = c.mode;
        options.rad_buffer_size = c.buffer_size;
        ASSERT_EQ(SIL_open_device(device.get(), c.with_options ? &options : nullptr), 0);
        EXPECT_EQ(std::make_tuple(device->rad_device, device->rad_window, device->rad_start_block),
                  std::make_tuple(1u, 0x10000u, 0x100001u - 3841u));
        EXPECT_EQ(std::make_tuple(device->rad_access_mode, device->rad_buffer_size), std::make_tuple(c.kept_mode, c.kept_size));
        EXPECT_EQ(device->rad_buffer != nullptr, c.kept_size != 0);
        if (device->rad_buffer != nullptr) {
            EXPECT_EQ(device->rad_buffer[0] | device->rad_buffer[4095], 0);
        }
        EXPECT_EQ(SIL_close_device(device.get(), 0), 0);
        EXPECT_EQ(device->rad_buffer, nullptr);
    }
    auto plain = named_record(kPlainDisk);
    ASSERT_EQ(SIL_open_device(plain.get(), nullptr), 0);
    EXPECT_EQ(plain->rad_device, 0u);
}

// ---- closing ----------------------------------------------------------------------------------------

TEST_F(OpenTest, ClosePaths) {
    EXPECT_EQ(SIL_close_device(nullptr, 0), -105);
    EXPECT_EQ(SIL_closeAndFreeDevice(nullptr), -105);
    EXPECT_EQ(closeRawDevice(nullptr), -105);

    auto device = named_record(kPlainDisk);
    ASSERT_EQ(SIL_open_device(device.get(), nullptr), 0);
    EXPECT_EQ(SIL_close_device(device.get(), 12345), 0);
    EXPECT_EQ(device->isOpen, 0);
    EXPECT_EQ(device->inquiry, 1u);  // what the open gathered stays
    EXPECT_EQ(SIL_close_device(device.get(), 0), 0);

    // A handle the host does not know: the close fails, and the record counts as closed anyway.
    auto stale = named_record(kPlainDisk);
    stale->isOpen = 1;
    stale->fid = 0xDEAD;
    EXPECT_EQ(SIL_close_device(stale.get(), 0), -1);
    EXPECT_EQ(stale->isOpen, 0);
}

TEST(OpenNames, KindsInTheirOrder) {
    EXPECT_EQ(sil_name_kind("10.1.2.3:4220=SP1KORVWIN"), T_SIL_NAME_KIND::service_processor);
    EXPECT_EQ(sil_name_kind("localhost:4220==KORVWIN"), T_SIL_NAME_KIND::service_processor);
    EXPECT_EQ(sil_name_kind("KORVWIN_host:4220=xKORVWIN"), T_SIL_NAME_KIND::os_device);
    EXPECT_EQ(sil_name_kind("10.1.2.3:4220=KORVWINx"), T_SIL_NAME_KIND::os_device);
    EXPECT_EQ(sil_name_kind("host==4220"), T_SIL_NAME_KIND::socket);
    EXPECT_EQ(sil_name_kind("USERDEF==1"), T_SIL_NAME_KIND::socket);
    EXPECT_EQ(sil_name_kind("USERDEF1"), T_SIL_NAME_KIND::special_user);
    EXPECT_EQ(sil_name_kind("xUSERDEF1"), T_SIL_NAME_KIND::os_device);
    EXPECT_EQ(sil_name_kind("\\\\.\\PHYSICALDRIVE0"), T_SIL_NAME_KIND::os_device);
}

// ---- the service-processor road ----------------------------------------------------------------------

T_SIL_OPEN_OPEN_OPTIONS with_client(std::uint8_t create_client = 1) {
    T_SIL_OPEN_OPEN_OPTIONS options{};
    options.create_client = create_client;
    return options;
}

// The page the open builds is checked end to end (cases sp-page-*); here the record's own fields.
TEST_F(OpenTest, ServiceProcessorDeviceRecord) {
    auto device = named_record("10.0.0.1:4220=SP1KORVWIN");
    const T_SIL_OPEN_OPEN_OPTIONS options = with_client();
    ASSERT_EQ(SIL_open_device(device.get(), &options), 0);
    EXPECT_EQ(std::make_tuple(device->access_method, device->isOpen, device->is_XMV_device, device->inquiry),
              std::make_tuple(4u, std::uint8_t{1}, std::uint8_t{1}, 1u));
    EXPECT_EQ(std::make_tuple(device->ucode_level, device->korv_model, device->create_client), std::make_tuple(0x5874u, std::uint16_t{0x0700}, 1u));
    EXPECT_STREQ(device->korid, "000190101234");
    EXPECT_NE(device->client_id, 0u);
    // The close leaves a service-processor device open; only closing and freeing removes its client.
    EXPECT_EQ(SIL_close_device(device.get(), 0), 0);
    EXPECT_EQ(device->isOpen, 1);
}

TEST_F(OpenTest, ServiceProcessorSessionIsUsedByOneDeviceAtATime) {
    auto first = named_record("10.0.0.1:4220=SP1KORVWIN");
    const T_SIL_OPEN_OPEN_OPTIONS options = with_client(2);
    ASSERT_EQ(SIL_open_device(first.get(), &options), 0);

    auto second = named_record("10.0.0.2:4220=OTHERKORVWIN");
    EXPECT_EQ(SIL_open_device(second.get(), &options), -116);
    EXPECT_EQ(second->sp_conn_registered, 1);
    // Even without a client request the session is in use.
    auto third = named_record("10.0.0.3:4220=xKORVWIN");
    EXPECT_EQ(SIL_open_device(third.get(), nullptr), -116);

    // Freeing the refused ones does not give the session back; freeing the first does.
    second.reset();
    third.reset();
    auto again = named_record("10.0.0.4:4220=yKORVWIN");
    EXPECT_EQ(SIL_open_device(again.get(), nullptr), -116);
    first.reset();
    EXPECT_EQ(SIL_open_device(again.get(), &options), 0);
}

TEST_F(OpenTest, ServiceProcessorFailures) {
    const T_SIL_OPEN_OPEN_OPTIONS options = with_client();
    auto refused = named_record("10.0.0.1:4222=xKORVWIN");
    EXPECT_EQ(SIL_open_device(refused.get(), &options), -5);
    EXPECT_EQ(refused->isOpen, 0);
    EXPECT_EQ(refused->inquiry, 0u);
    // The failed client did not take the session.
    auto retry = named_record("10.0.0.2:4222=yKORVWIN");
    EXPECT_EQ(SIL_open_device(retry.get(), &options), -5);

    auto unknown = named_record("10.0.0.1:4299=xKORVWIN");
    EXPECT_EQ(SIL_open_device(unknown.get(), &options), -5);

    auto no_colon = named_record("10.0.0.1=4220KORVWIN");
    EXPECT_EQ(SIL_open_device(no_colon.get(), &options), -112);
    EXPECT_EQ(no_colon->access_method, 4u);
    auto no_equals = named_record("10.0.0.1:4220KORVWIN");
    EXPECT_EQ(SIL_open_device(no_equals.get(), &options), -112);
}


}  // namespace
