// Tests of the library lifecycle (SIL_init, SIL_exit, the chain-code counter) and of device record release.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sil_child_run.h"
#include "sildebug.h"
#include "sildevice.h"
#include "silinitl.h"
#include "silkorinq.h"
#include "silvendor.h"

namespace {

using sil_test::run_child;
using sil_test::Scratch;
using testsupport::lines_of;

// ---- SIL_init and SIL_exit in fresh processes ------------------------------------------------------

TEST(Lifecycle, InitResultDependsOnTheCallersMajorAndMinorVersion) {
    Scratch dir;
    // A mismatch (-2) still starts the library: a second SIL_init says 1 and SIL_exit works.
    EXPECT_EQ(run_child(dir, {"init", "040114FF"}), "init=0 started=1 again=1\nexit=0\n");
    EXPECT_EQ(run_child(dir, {"init", "0401FFFF"}), "init=0 started=1 again=1\nexit=0\n");
    EXPECT_EQ(run_child(dir, {"init", "04020000"}), "init=-2 started=1 again=1\nexit=0\n");
    EXPECT_EQ(run_child(dir, {"init", "04000000"}), "init=-2 started=1 again=1\nexit=0\n");
}

TEST(Lifecycle, NothingWorksBeforeInit) {
    Scratch dir;
    EXPECT_EQ(run_child(dir, {"exit-only"}), "exit=-102 require=-102 trace=-102 verbosity=-102 on=0\n");
}

TEST(Lifecycle, InitAndExitTraceTheirSteps) {
    Scratch dir;
    const std::vector<std::string> lines = lines_of(run_child(dir, {"SDEBUG=DBG1", "init", "040114FF"}));
    const std::vector<std::string> expected_head = {
        "Enter: SIL_init",
        "  Debug: This is a normal SIL library",
        "  Debug:  SIL rev: user=0x040114ff sil=0x040114ff",
        "  Debug: User linked with library:",
        "  Debug: @(#) lifecycle_child",
        "  Debug: @(#) child platform",
        "  Debug: @(#) child date",
        "  Debug: SIL library:",
        "  Debug: @(#) $sil_lib rev 4.1.20-dev03 (Rev 1.14) Copyright (c) 2026 lunscan developers $",
        "  Debug: @(#) $sil_lib Windows x86-64 4.1.20-dev03",
    };
    ASSERT_GE(lines.size(), expected_head.size() + 8);
    for (std::size_t i = 0; i < expected_head.size(); ++i) EXPECT_EQ(lines[i], expected_head[i]) << i;
    EXPECT_EQ(lines[10].rfind("  Debug: @(#) $sil_lib built ", 0), 0u) << lines[10];
    EXPECT_TRUE(std::regex_match(lines[11], std::regex("  Debug: Running on: 0x[0-9a-f]{8} .+"))) << lines[11];
    std::size_t next = 12;
    if (lines[next].rfind("  Error: user is not root, (user=<", 0) == 0) ++next;  // not run as root
    const std::vector<std::string> expected_tail = {
        "Leave: SIL_init, Return Value: 0",
        "init=0 started=1 again=1",
        "Enter: SIL_exit",
        "Enter: os_specific_exit",
        "Leave: os_specific_exit, Return Value: 0",
        "Leave: SIL_exit, Return Value: 0 ",
        "exit=0",
    };
    ASSERT_EQ(lines.size(), next + expected_tail.size());
    for (std::size_t i = 0; i < expected_tail.size(); ++i) EXPECT_EQ(lines[next + i], expected_tail[i]) << i;
}

TEST(Lifecycle, VersionMismatchIsTracedAsAnError) {
    Scratch dir;
    const std::string out = run_child(dir, {"SDEBUG=DBG1", "init", "04020000"});
    const std::regex error_line(
        "\n  Error: Incompatible runtime/compiletime SIL versions <[A-Z][a-z]{2} [^>]+> File:silinitl\\.cpp "
        "Line:[0-9]+\n  Debug: This is a normal SIL library\n");
    EXPECT_TRUE(std::regex_search(out, error_line)) << out;
    EXPECT_NE(out.find("\nLeave: SIL_init, Return Value: -2\n"), std::string::npos) << out;
}

TEST(Lifecycle, BigBufferSettingIsReadAtStart) {
    Scratch dir;
    EXPECT_NE(run_child(dir, {"KORAPI_ENABLE_65K_BUFFER_SIZE=1", "settings"}).find(" big=1\n"), std::string::npos);
    EXPECT_NE(run_child(dir, {"settings"}).find(" big=0\n"), std::string::npos);
}

// ---- the chain-code counter, shared by processes -----------------------------------------------------

std::uint32_t counter_of(const std::string& output) {
    std::smatch m;
    if (!std::regex_search(output, m, std::regex("counter=([0-9]+)"))) {
        ADD_FAILURE() << "no counter in: " << output;
        return 0;
    }
    return static_cast<std::uint32_t>(std::stoul(m[1]));
}

TEST(ChainCode, TwoProcessesDrawFromOneCounter) {
    Scratch dir;
    const std::string ready = dir.path("ready");
    const std::string release = dir.path("release");
    // The first process bumps the counter and keeps the shared memory mapped until released.
    std::string first;
    std::thread holder([&] {
        first = run_child(dir, {"chain-hold", ready, release});
    });
    bool holder_ready = false;
    for (int i = 0; i < 1200 && !holder_ready; ++i) {
        holder_ready = std::filesystem::exists(ready);
        if (!holder_ready) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string second = holder_ready ? run_child(dir, {"chain-once"}) : "";
    dir.put("release", "");
    holder.join();
    ASSERT_TRUE(holder_ready) << first;
    EXPECT_EQ(counter_of(second), counter_of(first) + 1) << first << second;
}

// ---- in this process -------------------------------------------------------------------------------

TEST(Lifecycle, SecondInitInTheSameProcessChangesNothing) {
    const int first = SIL_init(0, 0, SIL_LIBRARY_VERSION, nullptr, nullptr, nullptr);
    ASSERT_TRUE(first == 0 || first == 1) << first;
    T_SIL_CONTEXT* ctx = sil_context();
    ASSERT_NE(ctx, nullptr);
    ASSERT_NE(sil_chain_code_counter(), nullptr);
    EXPECT_EQ(ctx->ipc_initialised, 1u);
    EXPECT_EQ(ctx->os_handle, SIL_INVALID_HANDLE);
    const std::uint32_t verbosity = sil_trace_on();
    std::uint32_t* counter = sil_chain_code_counter();

    EXPECT_EQ(SIL_init(0, 0, 0x05000000, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(sil_context(), ctx);
    EXPECT_EQ(sil_trace_on(), verbosity);
    EXPECT_EQ(sil_chain_code_counter(), counter);
    EXPECT_EQ(sil_require_init(), 0);
    EXPECT_TRUE(SIL_is_initialised());
}

// A record owning one of everything it can own, as the decoders and hooks build it.
T_SIL_DEVICE* fully_loaded_device() {
    auto* dev = new T_SIL_DEVICE{};
    dev->inquiry = 1;
    dev->inquiry_data = new KOR_INQ_PAGE0{};
    dev->drav_device = new T_DRAVONIS_DEVICE{};
    dev->drav_device->peer_count = 2;
    dev->drav_device->peers = new T_DRAVONIS_PEER*[2]{new T_DRAVONIS_PEER{}, new T_DRAVONIS_PEER{}};
    dev->olvessa_device = new T_DRAVONIS_DEVICE{};
    dev->storwrks_device = new T_STORWRKS_DEVICE{};
    dev->hds_device = new T_HDS_DEVICE{};
    dev->s80_device = new T_S80_DEVICE{};
    dev->shark_device = new T_IBM_SHARK_DEVICE{};
    dev->ivantrel_device = new T_IVANTREL_DEVICE{};
    dev->ivantrel_device->ip_count = 3;
    dev->ivantrel_device->ip_addresses = new std::uint8_t[3][16]{};
    dev->ivantrel_device->lun_name = new char[8]{'l', 'u', 'n', '0'};
    dev->hsv_device = new T_COMPAQ_HSV_DEVICE{};
    dev->netapp_device = new T_NETAPP_DEVICE{};
    dev->backing_device = new T_SIL_BACKING_DEVICE{};
    dev->tp_storage_device = new T_SIL_TP_STORAGE_DEVICE{};
    dev->device_identifier = new char[16]{'i', 'd'};
    dev->vdev_map_count = 2;
    dev->virtual_device_map = new T_SIL_VIRTUAL_DEVICE_MAP[2]{};
    dev->path_info_count = 4;
    dev->path_info = new T_SIL_DEVICE_PATH_INFO[4]{};
    return dev;
}

// The sanitizer build reports any record left behind or freed the wrong way.
TEST(DeviceRecord, FreeDeviceReleasesEverythingItOwns) {
    free_device(fully_loaded_device());
    free_device(new T_SIL_DEVICE{});
    free_device(nullptr);
}

TEST(DeviceRecord, FreeDeviceDataEmptiesPointersAndKeepsTheRest) {
    T_SIL_DEVICE* dev = fully_loaded_device();
    dev->is_drav = 1;
    dev->cap = 1234;
    sil_copy_text(dev->name, "\\\\.\\PHYSICALDRIVE3");
    free_device_data(dev);
    EXPECT_EQ(dev->inquiry_data, nullptr);
    EXPECT_EQ(dev->inquiry, 0u);  // no data left to be valid
    EXPECT_EQ(dev->drav_device, nullptr);
    EXPECT_EQ(dev->ivantrel_device, nullptr);
    EXPECT_EQ(dev->path_info, nullptr);
    EXPECT_EQ(dev->path_info_count, 0u);
    EXPECT_EQ(dev->virtual_device_map, nullptr);
    EXPECT_EQ(dev->vdev_map_count, 0u);
    EXPECT_EQ(dev->device_identifier, nullptr);
    EXPECT_EQ(dev->tp_storage_device, nullptr);
    EXPECT_EQ(dev->is_drav, 1u);
    EXPECT_EQ(dev->cap, 1234u);
    EXPECT_STREQ(dev->name, "\\\\.\\PHYSICALDRIVE3");
    free_device_data(dev);  // a second release finds nothing to free
    free_device(dev);
}

TEST(DeviceRecord, FamilyFlagsWithoutRecordsReleaseCleanly) {
    auto* dev = new T_SIL_DEVICE{};
    dev->is_drav = dev->is_hds = dev->is_s80 = dev->is_shark = dev->is_hsv = dev->is_netapp = 1;
    dev->is_storwrks = dev->is_ivantrel = dev->is_olvessa = dev->is_virtual = 1;
    dev->inquiry = 2;  // attempted and failed: stays as it is
    free_device_data(dev);
    EXPECT_EQ(dev->inquiry, 2u);
    free_device(dev);
}

TEST(DeviceRecord, CopyTextAlwaysTerminatesAndSaysWhenItCut) {
    char field[5];
    EXPECT_TRUE(sil_copy_text(field, "abcd"));
    EXPECT_STREQ(field, "abcd");
    EXPECT_FALSE(sil_copy_text(field, "abcde"));
    EXPECT_STREQ(field, "abcd");
    EXPECT_TRUE(sil_copy_text(field, nullptr));
    EXPECT_STREQ(field, "");
    EXPECT_TRUE(sil_copy_text(field, 0, ""));
    EXPECT_FALSE(sil_copy_text(field, 0, "a"));
}

}  // namespace
