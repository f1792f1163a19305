// Tests of the device list builder on a scripted host: name sources, the gathers, relations, the Veritas filter, release.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_discovery_platform.h"
#include "sildebug.h"
#include "silfindd.h"
#include "silfindd_int.h"
#include "silinitl.h"
#include "silkorinq.h"
#include "silvendor.h"

namespace {

using testsupport::FakeDiscoveryPlatform;

std::string drive(int n) { return "\\\\.\\PHYSICALDRIVE" + std::to_string(n); }
std::string interface_path(int n) {
    return "\\\\?\\scsi#disk&ven_xmv&prod_korvalith#5&1a2b3c&0&00010" + std::to_string(n) +
           "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

FakeDiscoveryPlatform::Disk disk(int number, std::string interface = {}) {
    FakeDiscoveryPlatform::Disk d;
    d.number = static_cast<std::uint32_t>(number);
    d.interface_path = interface.empty() ? interface_path(number) : interface;
    return d;
}

// The trace of one stretch of library work, written to a file of its own.
class TraceCapture {
public:
    TraceCapture() : file_(std::tmpfile()), saved_(sil_context()->out_stream) {
        sil_context()->out_stream = file_;
        sil_set_verbosity(SIL_VERBOSITY_DBG_LOG);
    }
    ~TraceCapture() {
        sil_set_verbosity(0);
        sil_context()->out_stream = saved_;
        std::fclose(file_);
    }
    std::string text() const {
        std::fflush(file_);
        std::string out;
        std::rewind(file_);
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
        return out;
    }
    bool has(const std::string& line) const { return text().find(line) != std::string::npos; }

private:
    std::FILE* file_;
    std::FILE* saved_;
};

// A built list, destroyed at the end of the test.
struct List {
    T_SIL_DEVICE_LIST list{};
    std::int32_t result = 0;

    explicit List(const create_dev_list* options) { result = SIL_CreateDeviceList(&list, options, 0x77); }
    ~List() {
        if (list.devices != nullptr) SIL_DestroyDeviceList(&list);
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (std::int32_t i = 0; i < list.count; ++i) out.emplace_back(list.devices[i]->name);
        return out;
    }
    T_SIL_DEVICE* at(std::int32_t i) const { return list.devices[i]; }
};

create_dev_list scan_only() {
    create_dev_list o{};
    o.query_only = 1;
    return o;
}

// ---- the operating-system scan ----------------------------------------------------------------
TEST(DiscoveryScan, DisksZeroOneAndTenAreListedInNaturalOrderAndEachOpenedOnce) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(10), disk(0), disk(1)};
    List built(nullptr);
    EXPECT_EQ(built.result, 0);
    EXPECT_EQ(built.names(), (std::vector<std::string>{drive(0), drive(1), drive(10)}));
    // Gathered in scan order, before the sort.
    EXPECT_EQ(host.drive_opens(), (std::vector<std::string>{drive(10), drive(0), drive(1)}));
    EXPECT_EQ(host.open_handles, 0u);
    EXPECT_EQ(host.error_mode, 0u);
    for (std::int32_t i = 0; i < built.list.count; ++i) {
        EXPECT_EQ(built.at(i)->trace_ctx, 0x77u);
        EXPECT_EQ(built.at(i)->btl_valid, 7);
    }
}

TEST(DiscoveryScan, InterfaceOpensSuppressCriticalErrorDialogs) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(0)};
    const create_dev_list o = scan_only();
    List built(&o);
    EXPECT_EQ(host.opens, (std::vector<std::string>{interface_path(0)}));
    EXPECT_EQ(host.error_mode_while_opening, 1u);
    EXPECT_EQ(host.error_mode, 0u);
}

TEST(DiscoveryScan, OneDriveOnTwoInterfacesIsListedOnce) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(3, "\\\\?\\scsi#disk&path_a"), disk(3, "\\\\?\\scsi#disk&path_b")};
    TraceCapture trace;
    List built(nullptr);
    EXPECT_EQ(built.names(), (std::vector<std::string>{drive(3)}));
    EXPECT_EQ(host.drive_opens().size(), 1u);
    EXPECT_TRUE(trace.has("Adding device <\\\\.\\PHYSICALDRIVE3> to list, but found a matching device already in list"));
}

TEST(DiscoveryScan, FailedInterfaceOpens) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(0), disk(1), disk(2), disk(3)};
    host.disks[1].interface_open = pds::kErrorSharingViolation;
    host.disks[2].interface_open = pds::kErrorAccessDenied;
    host.disks[3].interface_open = pds::kErrorFileNotFound;
    TraceCapture trace;
    const create_dev_list o = scan_only();
    List built(&o);
    EXPECT_EQ(built.names(), (std::vector<std::string>{drive(0)}));
    // A disk another process holds: the number query runs without a handle and fails.
    EXPECT_TRUE(trace.has("IOCTL_STORAGE_GET_DEVICE_NUMBER failed errno = 6"));
    EXPECT_TRUE(trace.has("Found invalid device #2 (GetLastError()=5)"));
    EXPECT_FALSE(trace.has("GetLastError()=32"));
    EXPECT_FALSE(trace.has("GetLastError()=2)"));
}

TEST(DiscoveryScan, EnumerationFailures) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    const auto scan = [](const char* expected_trace) {
        T_SCAN_LIST list{};
        TraceCapture trace;
        const std::int32_t result = os_specific_scan_for_devices(&list, nullptr, 0);
        EXPECT_TRUE(trace.has(expected_trace)) << expected_trace;
        const std::int32_t count = list.count;
        sil_free_scan_list(&list);
        return std::make_pair(result, count);
    };
    host.class_error = 13;
    EXPECT_EQ(scan("SetupDiGetClassDevs failed with error: 13").first, -3);

    host.reset();
    host.disks = {disk(0), disk(1)};
    host.detail_size_fails_at = 1;
    EXPECT_EQ(scan("SetupDiGetDeviceInterfaceDetail failed with error: 87"), std::make_pair(-5, 1));
    host.detail_size_fails_at.reset();
    host.detail_path_fails_at = 0;
    EXPECT_EQ(scan("SetupDiGetDeviceInterfaceDetail failed with error: 87"), std::make_pair(-7, 0));
    host.detail_path_fails_at.reset();

    host.end_error = 1784;
    EXPECT_EQ(scan("SetupDiEnumInterfaceDevice failed with error: 1784"), std::make_pair(-4, 2));
    host.end_error = pds::kErrorNoMoreItems;
    host.environment["XMV_SIL_MAX_DEVICE_GAP"] = "25";
    EXPECT_EQ(scan("XMV_SIL_MAX_DEVICE_GAP has changed max_allowed_bad_devs to 25"), std::make_pair(-4, 2));
}

// ---- the vendor check of the scan ------------------------------------------------------------------
TEST(DiscoveryCheck, OtherMakesAreLeftAloneOnOlderHostsOnly) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(0), disk(1)};
    host.disks[1].vendor = "ACME";
    host.disks[1].product = "DATA DISK";
    host.disks[1].revision = "0001";
    host.host.release = "5.2";
    host.host.os_major = 5;
    host.host.os_minor = 2;
    {
        TraceCapture trace;
        List built(nullptr);
        ASSERT_EQ(built.list.count, 2);
        const T_SIL_DEVICE* acme = built.at(1);
        EXPECT_EQ(acme->skip, 1);
        ASSERT_EQ(acme->inquiry, 1u);
        EXPECT_EQ(std::string(acme->inquiry_data->vendor, 8), std::string("ACME    "));
        EXPECT_EQ(std::string(acme->inquiry_data->product, 16), std::string("DATA DISK       "));
        EXPECT_EQ(host.drive_opens(), (std::vector<std::string>{drive(0)}));
        EXPECT_TRUE(trace.has(" Warning: non-XMV device, to open this device 'set XMV_INQ_ALL_DEVICES=1'"));
        EXPECT_TRUE(trace.has("told to skip this device"));
    }
    host.opens.clear();
    host.environment["XMV_INQ_ALL_DEVICES"] = "1";
    {
        List built(nullptr);
        EXPECT_EQ(built.at(1)->skip, 0);
        EXPECT_EQ(host.drive_opens().size(), 2u);
    }
    // Windows 10 is "10.0": a later version than 6.1, so every disk is opened.
    host.environment.clear();
    host.opens.clear();
    host.host.release = "10.0";
    host.host.os_major = 10;
    host.host.os_minor = 0;
    List built(nullptr);
    EXPECT_EQ(built.at(1)->skip, 0);
    EXPECT_EQ(host.drive_opens().size(), 2u);
}

TEST(DiscoveryCheck, AMylexDriveIsNeverOpened) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(0)};
    host.disks[0].vendor = "MYLEX";
    TraceCapture trace;
    List built(nullptr);
    ASSERT_EQ(built.list.count, 1);
    EXPECT_EQ(built.at(0)->skip, 1);
    EXPECT_TRUE(host.drive_opens().empty());
    EXPECT_TRUE(trace.has("!!!! WARNING: MYLEX DRIVE PRESENT !!!!"));
}

// ---- the multipathing driver ------------------------------------------------------------------------
TEST(DiscoveryMultipath, PseudoDevicesAreUpperCasedParents) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(0)};
    host.mp_volumes = std::vector<std::string>{"strnd0", "\\\\.\\strnddisk1"};
    const create_dev_list o = scan_only();
    List built(&o);
    EXPECT_EQ(built.names(), (std::vector<std::string>{"STRND0", "\\\\.\\PHYSICALDRIVE0", "\\\\.\\STRNDDISK1"}));
    EXPECT_EQ(built.at(0)->mp_state, SIL_DEV_PARENT);
    EXPECT_EQ(built.at(1)->mp_state, 0);
    EXPECT_EQ(built.at(2)->mp_state, SIL_DEV_PARENT);
}

TEST(DiscoveryMultipath, DriverAnswers) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    const auto query = [](std::int32_t expected_result, const char* expected_trace) {
        T_SCAN_LIST list{};
        TraceCapture trace;
        EXPECT_EQ(query_strandway(&list, 0), expected_result);
        EXPECT_TRUE(trace.has(expected_trace)) << expected_trace << "\n" << trace.text();
        const std::int32_t count = list.count;
        sil_free_scan_list(&list);
        return count;
    };
    EXPECT_EQ(query(219, "mpListVolumes failed returning (219) <MP_E_NOT_ENABLED>"), 0);
    host.mp_volumes = std::vector<std::string>{};
    EXPECT_EQ(query(0, "No Strandway devices found"), 0);
    host.mp_volumes = std::vector<std::string>{"strnd0", "strnd1", "strnd2"};
    host.mp_second_count = 2;
    EXPECT_EQ(query(0, "MP reported 3 devices, then reported 2 filled in"), 2);
    EXPECT_EQ(sil_mp_error_name(220), "MP_E_VER_NOT_SUPPORTED");
    EXPECT_EQ(sil_mp_error_name(1), "MP_E_FAIL");
    EXPECT_EQ(sil_mp_error_name(199), "UNKNOWN");
}

// ---- registered service processors ------------------------------------------------------------------
TEST(DiscoveryRegistry, WithoutInstancesTheDefaultIsListed) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(0)};
    create_dev_list o{};
    o.query_registry = 1;
    TraceCapture trace;
    List built(&o);
    ASSERT_EQ(built.names(), (std::vector<std::string>{"localhost:4220==KORVWIN"}));
    EXPECT_EQ(built.at(0)->sp_port, 4220u);
    EXPECT_TRUE(trace.has("RMS search, No RMS instances found"));
    EXPECT_TRUE(trace.has("Using default KORWIN device <localhost:4220==KORVWIN>. Port == <107c>"));
    // Opened as a service-processor device, which this host cannot serve.
    EXPECT_TRUE(trace.has("Open/close KORVWIN device = localhost:4220==KORVWIN to gather inq data."));
    EXPECT_EQ(built.at(0)->open_failed, 1);
    EXPECT_TRUE(host.opens.empty());
}

TEST(DiscoveryRegistry, InstancesAreListedByTheirPorts) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.registry_has_instances_key = true;
    host.instances = {{"SP1", 4221}, {"SP2", std::nullopt}, {"SP3", 4300}};
    create_dev_list o = scan_only();
    o.query_registry = 1;
    TraceCapture trace;
    List built(&o);
    EXPECT_EQ(built.names(), (std::vector<std::string>{"localhost:4221==KORVWIN", "localhost:4300==KORVWIN"}));
    EXPECT_EQ(built.at(0)->sp_port, 4221u);
    EXPECT_EQ(built.at(1)->sp_port, 4300u);
    EXPECT_TRUE(trace.has("No entry for SILPORT, RMS = SP2"));
    EXPECT_FALSE(trace.has("Using default KORWIN device"));
}

TEST(DiscoveryRegistry, TheListHoldsAtMostFourEntriesOnceTheRegistryIsAsked) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.registry_has_instances_key = true;
    host.instances = {{"SP1", 4221}, {"SP2", 4222}};
    host.disks = {disk(0), disk(1), disk(2), disk(3), disk(4)};
    create_dev_list o = scan_only();
    o.query_registry = 1;
    o.query_os_db = 1;
    {
        List built(&o);
        EXPECT_EQ(built.list.count, 5);
        for (const std::string& name : built.names()) EXPECT_EQ(name.find("KORVWIN"), std::string::npos);
    }
    host.disks.resize(3);
    TraceCapture trace;
    List built(&o);
    // No defaults with the registry asked: no sort either, the scan order stays.
    EXPECT_EQ(built.names(), (std::vector<std::string>{drive(0), drive(1), drive(2), "localhost:4221==KORVWIN"}));
    EXPECT_TRUE(trace.has("the list is full"));
    EXPECT_TRUE(trace.has("Error during add of device <localhost:4222==KORVWIN> found. RC == <2>"));
}

// ---- Windows volumes --------------------------------------------------------------------------------
TEST(DiscoveryVolumes, EachFixedVolumeIsAnEntryNamedByItsDisk) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(0), disk(1)};
    host.volumes = {{"C:\\", pds::kDriveFixed, 0, std::int64_t{100} << 30},
                    {"D:\\", pds::kDriveFixed, 0, std::int64_t{50} << 30},
                    {"E:\\", pds::kDriveRemovable, 1, 1 << 20},
                    {"F:\\", pds::kDriveCdrom, 1, 1 << 20},
                    {"G:\\", pds::kDriveFixed, 1, std::nullopt}};
    create_dev_list o{};
    o.get_win_volumes = 1;
    TraceCapture trace;
    List built(&o);
    ASSERT_EQ(built.list.count, 3);
    // Two equal names: the two-element partition ends by exchanging them.
    EXPECT_EQ(built.names(), (std::vector<std::string>{drive(0), drive(0), drive(1)}));
    EXPECT_STREQ(built.at(0)->win_vol, "D:");
    EXPECT_EQ(built.at(0)->win_vol_cap, 50u << 20);
    EXPECT_STREQ(built.at(1)->win_vol, "C:");
    EXPECT_EQ(built.at(1)->win_vol_cap, 100u << 20);
    EXPECT_STREQ(built.at(2)->win_vol, "G:");
    EXPECT_EQ(built.at(2)->win_vol_cap, 0u);
    EXPECT_TRUE(trace.has("Logical device C:\\ is PHYSICALDRIVE0"));
    EXPECT_TRUE(trace.has("Unable to get capacity for win volume G:, setting to 0x00"));
    EXPECT_TRUE(trace.has("Win volume C: capacity = 104857600"));
    // The removable drive is not even opened; the CD drive is opened and passed over.
    EXPECT_EQ(std::count(host.opens.begin(), host.opens.end(), "\\\\.\\E:"), 0);
    EXPECT_EQ(std::count(host.opens.begin(), host.opens.end(), "\\\\.\\F:"), 1);
    // No interface scan with volumes.
    EXPECT_EQ(std::count(host.opens.begin(), host.opens.end(), interface_path(0)), 0);
    EXPECT_EQ(host.open_handles, 0u);
}

TEST(DiscoveryVolumes, OverlongDriveListAndCapacityWithoutHandle) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.volumes = {{"C:\\", pds::kDriveFixed, 0, 1 << 20}};
    host.drive_strings_required = 1025;
    T_SCAN_LIST scan{};
    TraceCapture trace;
    EXPECT_EQ(get_win_volumes(&scan, nullptr, 0), -1);
    EXPECT_TRUE(trace.has("GetLogicalDriveStrings overflowed passed buff"));
    EXPECT_EQ(scan.count, 0);

    T_SIL_DEVICE device{};
    EXPECT_EQ(SIL_GetWinVolCapacity(&device), -8);
    EXPECT_TRUE(trace.has("Device is NOT open"));
    device.fid = SIL_INVALID_HANDLE;
    EXPECT_EQ(SIL_GetWinVolCapacity(&device), -8);
}

// ---- the gather -------------------------------------------------------------------------------------
TEST(DiscoveryGather, DontOpenOpensNothingAndPrintsNoDots) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(0), disk(1)};
    create_dev_list o{};
    o.dont_open = 1;
    o.printf_dots_f = 1;
    testing::internal::CaptureStderr();
    List built(&o);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(built.list.count, 2);
    EXPECT_TRUE(host.drive_opens().empty());
    for (std::int32_t i = 0; i < 2; ++i) EXPECT_EQ(built.at(i)->open_failed, 0);
}

TEST(DiscoveryGather, OneDotPerDeviceAndANewLineAfterSeventyNine) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    for (int i = 0; i < 81; ++i) host.disks.push_back(disk(i));
    create_dev_list o{};
    o.printf_dots_f = 1;
    testing::internal::CaptureStderr();
    List built(&o);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(79, '.') + "\n..");
    EXPECT_EQ(host.drive_opens().size(), 81u);
}

TEST(DiscoveryGather, ThreadedGatherOpensEveryDeviceOnce) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    for (int i = 0; i < 12; ++i) host.disks.push_back(disk(i));
    create_dev_list o{};
    o.use_threads = 1;
    o.thread_count = 3;
    TraceCapture trace;
    List built(&o);
    std::vector<std::string> opened = host.drive_opens();
    std::sort(opened.begin(), opened.end());
    std::vector<std::string> expected;
    for (int i = 0; i < 12; ++i) expected.push_back(drive(i));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(opened, expected);
    EXPECT_TRUE(trace.has("Threaded: Starting to gather inquiry data for 12 devices"));
    EXPECT_TRUE(trace.has("Using gather_inquiry_data_threaded"));
    EXPECT_TRUE(trace.has("Thread: Continue. All Jobs are finished."));
    EXPECT_EQ(built.list.count, 12);
}

TEST(DiscoveryGather, ADeviceIdentifierKeepsTheGatherSerial) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(0)};
    create_dev_list o{};
    o.use_threads = 1;
    o.get_dev_ident = 1;
    TraceCapture trace;
    List built(&o);
    EXPECT_FALSE(trace.has("Threaded:"));
    EXPECT_TRUE(trace.has("Starting to gather inquiry data for 1 devices"));
}

TEST(DiscoveryGather, PseudoNamesReplaceTheNameBeforeTheOpen) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(0), disk(1)};
    T_SIL_PSEUDO_NAME second{nullptr, {}, {}};
    sil_copy_text(second.device_name, drive(1).c_str());
    sil_copy_text(second.pseudo_name, "\\\\.\\PHYSICALDRIVE9");
    T_SIL_PSEUDO_NAME first{&second, {}, {}};
    sil_copy_text(first.device_name, "\\\\.\\PHYSICALDRIVE5");
    sil_copy_text(first.pseudo_name, "never");
    create_dev_list o{};
    o.use_pseudo_names_f = 1;
    o.pseudo_names = &first;
    TraceCapture trace;
    List built(&o);
    EXPECT_EQ(host.drive_opens(), (std::vector<std::string>{drive(0), "\\\\.\\PHYSICALDRIVE9"}));
    EXPECT_EQ(built.names(), (std::vector<std::string>{drive(0), "\\\\.\\PHYSICALDRIVE9"}));
    EXPECT_EQ(built.at(1)->open_failed, 1);  // the host has no such drive
    EXPECT_TRUE(trace.has("XmvInq Mapping to pseudo device name = \\\\.\\PHYSICALDRIVE9."));
}

TEST(DiscoveryGather, CallerContextIsHandedOutOnlyWhenAsked) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.disks = {disk(0)};
    create_dev_list o = scan_only();
    o.caller_ctx = 0xC0FFEE;
    {
        List built(&o);
        EXPECT_EQ(built.at(0)->caller_ctx, 0u);
    }
    o.cache_override = 1;
    List built(&o);
    EXPECT_EQ(built.at(0)->caller_ctx, 0xC0FFEEu);
}

// ---- relations between paths --------------------------------------------------------------------------
struct Records {
    std::vector<T_SIL_DEVICE*> devices;
    T_SIL_DEVICE_LIST list{};

    T_SIL_DEVICE* add(const std::string& name) {
        auto* d = new T_SIL_DEVICE{};
        sil_copy_text(d->name, name.c_str());
        d->inquiry = 1;
        d->inquiry_data = new KOR_INQ_PAGE0{};
        devices.push_back(d);
        list = T_SIL_DEVICE_LIST{devices.data(), static_cast<std::int32_t>(devices.size())};
        return d;
    }
    ~Records() {
        for (std::int32_t i = 0; i < list.count; ++i) free_device(list.devices[i]);
    }
};

T_DRAVONIS_DEVICE* dravonis(T_SIL_DEVICE* d, std::uint8_t wwn_last) {
    d->is_drav = 1;
    d->drav_device = new T_DRAVONIS_DEVICE{};
    for (int i = 0; i < 16; ++i) d->drav_device->lun_wwn[i] = static_cast<std::uint8_t>(0x60 + i);
    d->drav_device->lun_wwn[15] = wwn_last;
    return d->drav_device;
}

TEST(DiscoveryRelations, TwoPathsOfOneDravonisLunAreSiblings) {
    testsupport::fake_discovery_platform();
    Records r;
    T_SIL_DEVICE* a = r.add(drive(2));
    T_SIL_DEVICE* other = r.add(drive(3));
    T_SIL_DEVICE* b = r.add(drive(4));
    dravonis(a, 0x11);
    dravonis(other, 0x22);
    dravonis(b, 0x11);
    TraceCapture trace;
    ASSERT_EQ(analyze_parent_child_relations(&r.list, 0), 0);
    EXPECT_EQ(a->native_state, SIL_DEV_SIBLING);
    EXPECT_EQ(b->native_state, SIL_DEV_SIBLING);
    EXPECT_STREQ(a->native_relation, drive(4).c_str());
    EXPECT_STREQ(b->native_relation, drive(2).c_str());
    EXPECT_EQ(a->mp_relation_code, 4);
    EXPECT_EQ(b->mp_relation_code, 4);
    EXPECT_EQ(other->native_state, 0);
    EXPECT_EQ(other->native_relation[0], '\0');
    EXPECT_TRUE(trace.has("Relation detected <\\\\.\\PHYSICALDRIVE2> and <\\\\.\\PHYSICALDRIVE4>"));
}

TEST(DiscoveryRelations, APseudoDeviceAndItsNativePathAreParentAndChild) {
    testsupport::fake_discovery_platform();
    Records r;
    T_SIL_DEVICE* path = r.add(drive(5));
    T_SIL_DEVICE* pseudo = r.add("\\\\.\\strnd0");
    for (T_SIL_DEVICE* d : {path, pseudo}) {
        d->is_XMV_device = 1;
        d->korv_dev_num = 0x11A;
        sil_copy_text(d->korid, "000187900456");
        std::memcpy(d->inquiry_data->dev_serial_chars, "56", 2);
        std::memcpy(d->inquiry_data->dev_num3, "11A", 3);
    }
    TraceCapture trace;
    ASSERT_EQ(analyze_parent_child_relations(&r.list, 0), 0);
    EXPECT_EQ(pseudo->mp_state, SIL_DEV_PARENT);
    EXPECT_EQ(pseudo->mp_relation_code, 1);
    EXPECT_EQ(path->mp_state, SIL_DEV_CHILD);
    EXPECT_EQ(path->mp_relation_code, 2);
    EXPECT_STREQ(path->mp_relation, "\\\\.\\strnd0");
    EXPECT_STREQ(pseudo->mp_relation, drive(5).c_str());
    EXPECT_EQ(path->native_state, 0);
    EXPECT_TRUE(trace.has("Strandway relationship detected"));
}

TEST(DiscoveryRelations, WhatKeepsPathsApart) {
    testsupport::fake_discovery_platform();
    Records r;
    // Same high-end unit but the serial text differs in its first five characters.
    T_SIL_DEVICE* a = r.add(drive(0));
    T_SIL_DEVICE* b = r.add(drive(1));
    std::memcpy(b->inquiry_data->dev_serial_chars, "9", 1);
    // A Dravonis flag without its record: no relation at all.
    T_SIL_DEVICE* c = r.add(drive(2));
    T_SIL_DEVICE* d = r.add(drive(3));
    c->is_drav = 1;
    dravonis(d, 1);
    d->korv_dev_num = 5;
    // Failed INQUIRY: never related.
    T_SIL_DEVICE* e = r.add(drive(4));
    e->inquiry = 2;
    ASSERT_EQ(analyze_parent_child_relations(&r.list, 0), 0);
    for (T_SIL_DEVICE* x : {a, b, c, d, e}) {
        EXPECT_EQ(x->native_state, 0) << x->name;
        EXPECT_EQ(x->mp_relation_code, 0) << x->name;
    }
    // Two pseudo devices of one unit both claim to be parents: named, nothing else changes.
    Records both;
    T_SIL_DEVICE* p = both.add("strnd0");
    T_SIL_DEVICE* q = both.add("strnd1");
    p->is_XMV_device = q->is_XMV_device = 1;
    TraceCapture trace;
    ASSERT_EQ(analyze_parent_child_relations(&both.list, 0), 0);
    EXPECT_TRUE(trace.has("both devices claim to be Strandway"));
    EXPECT_EQ(p->mp_state, SIL_DEV_PARENT);
    EXPECT_EQ(q->mp_state, SIL_DEV_PARENT);
    EXPECT_STREQ(p->mp_relation, "strnd1");
}

TEST(DiscoveryRelations, HdsPathsMatchOnCodeAndSerial) {
    testsupport::fake_discovery_platform();
    Records r;
    T_SIL_DEVICE* a = r.add(drive(0));
    T_SIL_DEVICE* b = r.add(drive(1));
    for (T_SIL_DEVICE* d : {a, b}) {
        d->is_hds = 1;
        d->hds_device = new T_HDS_DEVICE{};
        std::memcpy(d->hds_device->hds_extra, "\x01\x02\x03\x04\x05", 5);
        d->hds_device->serial_len = 5;
        std::memcpy(d->hds_device->serial, "45678", 5);
    }
    b->hds_device->hds_extra[4] = 9;  // the fifth byte is not compared
    ASSERT_EQ(analyze_parent_child_relations(&r.list, 0), 0);
    EXPECT_EQ(a->native_state, SIL_DEV_SIBLING);
    a->native_state = b->native_state = 0;
    b->hds_device->serial[4] = '9';
    ASSERT_EQ(analyze_parent_child_relations(&r.list, 0), 0);
    EXPECT_EQ(a->native_state, 0);
}

// ---- the Veritas filter and the virtualisation hook ----------------------------------------------------
constexpr const char* kVxdisk =
    "PATH=/usr/sbin:/sbin:/etc:/bin:/etc:/usr/bin; export PATH; LC_ALL=C; export LC_ALL; vxdisk -q list  2>&1";

TEST(DiscoveryVeritas, DmpDevicesTheVolumeManagerDoesNotListAreDropped) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    host.tools[kVxdisk] = {"c1t0d0 auto:cdsdisk disk01 rootdg online\n  c3t0d0 auto - - error\n", 0};
    {
        Records records;  // its release frees the two left; the filter freed the dropped one
        T_SIL_DEVICE* kept = records.add("/dev/vx/rdmp/c1t0d0");
        records.add("/dev/vx/rdmp/c2t0d0");
        T_SIL_DEVICE* native = records.add(drive(1));
        native->inquiry = 2;
        ASSERT_EQ(analyze_parent_child_relations(&records.list, 0), 0);
        EXPECT_EQ(kept->veritas_state, SIL_DEV_PARENT);
        ASSERT_EQ(filter_veritas_device_names(&records.list, 0), 0);
        EXPECT_EQ(host.tool_runs, (std::vector<std::string>{kVxdisk}));
        ASSERT_EQ(records.list.count, 2);
        EXPECT_EQ(records.list.devices[0], kept);
        EXPECT_EQ(records.list.devices[1], native);
    }

    host.tools.clear();
    Records failing;
    failing.add("/dev/vx/rdmp/c1t0d0");
    ASSERT_EQ(analyze_parent_child_relations(&failing.list, 0), 0);
    TraceCapture trace;
    EXPECT_EQ(filter_veritas_device_names(&failing.list, 0), -108);
    EXPECT_TRUE(trace.has("error opening pipe to system utility"));
}

TEST(DiscoveryVeritas, WithoutDmpDevicesNothingRuns) {
    FakeDiscoveryPlatform& host = testsupport::fake_discovery_platform();
    Records r;
    r.add(drive(0));
    ASSERT_EQ(filter_veritas_device_names(&r.list, 0), 0);
    EXPECT_TRUE(host.tool_runs.empty());
}

TEST(DiscoveryVirtualisation, MappingsFailWhenAskedAndMarkNothing) {
    testsupport::fake_discovery_platform();
    Records r;
    r.add(drive(0));
    create_dev_list o{};
    o.sort = -1;
    o.vm_guest_os = 1;
    {
        TraceCapture trace;
        EXPECT_EQ(SIL_DLP_Postprocess(&r.list, &o, 0), 0);
        EXPECT_TRUE(trace.has("get_vm_vd_back_mapping Failed."));
        EXPECT_TRUE(trace.has("get_vm_device_names Failed."));
        EXPECT_FALSE(trace.has("get_vm_device_names_legacy Failed."));
    }
    o.fail_on_vm_error = 1;
    EXPECT_EQ(SIL_DLP_Postprocess(&r.list, &o, 0), -181);
    o = create_dev_list{};
    o.vm_server = 1;
    {
        TraceCapture trace;
        EXPECT_EQ(SIL_DLP_Postprocess(&r.list, &o, 0), 0);
        EXPECT_FALSE(trace.has("get_vm_vd_back_mapping Failed."));
        EXPECT_TRUE(trace.has("get_vm_device_names_legacy Failed."));
    }
    o = create_dev_list{};
    {
        TraceCapture trace;
        EXPECT_EQ(SIL_DLP_Postprocess(&r.list, &o, 0), 0);
        EXPECT_FALSE(trace.has("get_vm"));
    }
    EXPECT_EQ(r.list.devices[0]->is_virtual, 0);
}

// ---- the scan list and the list's release ---------------------------------------------------------
TEST(DiscoveryScanList, AddingNames) {
    testsupport::fake_discovery_platform();
    T_SCAN_LIST scan{nullptr, nullptr, 0, 2};
    T_SIL_DEVICE* first = nullptr;
    T_SIL_DEVICE* again = nullptr;
    T_SIL_DEVICE* out = nullptr;
    EXPECT_EQ(add_device_to_list(&scan, "a", &first, 5), 0);
    EXPECT_EQ(first->trace_ctx, 5u);
    EXPECT_EQ(add_device_to_list(&scan, "a", &again, 5), 1);
    EXPECT_EQ(again, first);
    const std::string long_name(100, 'x');
    EXPECT_EQ(add_device_to_list(&scan, long_name.c_str(), &out, 5), 0);
    EXPECT_EQ(std::strlen(out->name), 80u);
    EXPECT_EQ(add_device_to_list(&scan, "c", &out, 5), 2);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(add_device_to_list(&scan, long_name.c_str(), &out, 5), 1);  // the same 80 characters

    T_SIL_DEVICE_LIST list{};
    {
        TraceCapture trace;
        ASSERT_EQ(convert_ll_to_user_array(&list, &scan, 0), 0);
        EXPECT_TRUE(trace.has("filling in device #1 name=<" + std::string(80, 'x') + ">"));
        EXPECT_TRUE(trace.has("done filling in linked list"));
    }
    EXPECT_EQ(list.count, 2);
    EXPECT_EQ(scan.head, nullptr);
    EXPECT_EQ(scan.count, 0);
    EXPECT_EQ(SIL_DestroyDeviceList(&list), 0);

    T_SCAN_NODE broken{nullptr, nullptr};
    T_SCAN_LIST bad{&broken, &broken, 1, 0};
    EXPECT_EQ(add_device_to_list(&bad, "b", &out, 0), -2);

    T_SIL_DEVICE_LIST empty{};
    EXPECT_EQ(SIL_DestroyDeviceList(&empty), -1);
}

}  // namespace
