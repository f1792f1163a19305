// Tests of the linux provider's devices: the pass-through block against SG_IO, the sysfs readers on a tree made here, the records built from them, opens, and a real run.
#include "linux_devices.h"
#include "linux_sg.h"
#include "linux_sysfs.h"
#include "pds/win_device_layouts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
namespace sg = pds::linux_sg;
namespace sysfs = pds::linux_sysfs;
namespace win = pds::win;
using Bytes = std::vector<std::uint8_t>;

// ---- the pass-through block and sg_io_hdr ------------------------------------------------------

struct Block {
    win::ScsiPassThroughDirectWithSense b{};
    std::uint8_t data[512] = {};
    std::uint8_t cdb[16] = {};
    sg_io_hdr request{};

    Block(std::uint8_t direction, std::uint32_t length) {
        b.sptd.Length = sizeof b.sptd;
        b.sptd.CdbLength = 6;
        b.sptd.DataIn = direction;
        b.sptd.DataTransferLength = length;
        b.sptd.DataBuffer = data;
        b.sptd.SenseInfoLength = 32;
        b.sptd.SenseInfoOffset = offsetof(win::ScsiPassThroughDirectWithSense, sense);
        b.sptd.TimeOutValue = 10;
        b.sptd.Cdb[0] = 0x12;
    }
    pds::os_error translate(std::uint32_t room = sizeof(win::ScsiPassThroughDirectWithSense)) {
        return sg::request_from_block(b.sptd, reinterpret_cast<std::uint8_t*>(&b), room, cdb, request);
    }
};

TEST(LinuxSg, DirectionsAndTheCdb) {
    Block in(win::SCSI_IOCTL_DATA_IN, 96);
    ASSERT_EQ(in.translate(), 0u);
    EXPECT_EQ(in.request.interface_id, 'S');
    EXPECT_EQ(in.request.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(in.request.dxfer_len, 96u);
    EXPECT_EQ(in.request.dxferp, in.data);
    EXPECT_EQ(in.request.cmd_len, 6);
    EXPECT_EQ(in.request.cmdp[0], 0x12);
    EXPECT_EQ(in.request.timeout, 10000u);
    Block out(win::SCSI_IOCTL_DATA_OUT, 8);
    ASSERT_EQ(out.translate(), 0u);
    EXPECT_EQ(out.request.dxfer_direction, SG_DXFER_TO_DEV);
    // Nothing moves for an unspecified direction or a zero length, whatever the other field says.
    Block unspecified(win::SCSI_IOCTL_DATA_UNSPECIFIED, 64);
    ASSERT_EQ(unspecified.translate(), 0u);
    EXPECT_EQ(std::tie(unspecified.request.dxfer_direction, unspecified.request.dxfer_len), std::make_tuple(SG_DXFER_NONE, 0u));
    Block empty(win::SCSI_IOCTL_DATA_IN, 0);
    ASSERT_EQ(empty.translate(), 0u);
    EXPECT_EQ(empty.request.dxfer_direction, SG_DXFER_NONE);

    for (const std::uint8_t length : {0, 17}) {
        Block bad(win::SCSI_IOCTL_DATA_IN, 96);
        bad.b.sptd.CdbLength = length;
        EXPECT_EQ(bad.translate(), pds::kErrorInvalidParameter) << int(length);
    }
    Block sixteen(win::SCSI_IOCTL_DATA_IN, 96);
    sixteen.b.sptd.CdbLength = 16;
    EXPECT_EQ(sixteen.translate(), 0u);
    Block no_buffer(win::SCSI_IOCTL_DATA_IN, 96);
    no_buffer.b.sptd.DataBuffer = nullptr;
    EXPECT_EQ(no_buffer.translate(), pds::kErrorInvalidParameter);
}

TEST(LinuxSg, TimeoutsSaturate) {
    Block b(win::SCSI_IOCTL_DATA_IN, 96);
    for (const auto& [seconds, ms] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
             {0, 0}, {4294967, 4294967000u}, {4294968, 0xFFFFFFFFu}, {0xFFFFFFFFu, 0xFFFFFFFFu}}) {
        b.b.sptd.TimeOutValue = seconds;
        ASSERT_EQ(b.translate(), 0u);
        EXPECT_EQ(b.request.timeout, ms) << seconds;
    }
}

// The sense room is what the buffer has after SenseInfoOffset (96 - 60 = 36 in the usual block).
TEST(LinuxSg, SenseIsCutToTheRoomAndToWhatWasWritten) {
    Block b(win::SCSI_IOCTL_DATA_IN, 96);
    ASSERT_EQ(b.translate(), 0u);
    EXPECT_EQ(b.request.mx_sb_len, 32);
    EXPECT_EQ(b.request.sbp, b.b.sense);
    ASSERT_EQ(b.translate(70), 0u);  // 10 bytes after offset 60
    EXPECT_EQ(b.request.mx_sb_len, 10);
    b.b.sptd.SenseInfoOffset = 96;
    ASSERT_EQ(b.translate(), 0u);
    EXPECT_EQ(std::tie(b.request.mx_sb_len, b.request.sbp), std::make_tuple(0, nullptr));
    b.b.sptd.SenseInfoOffset = 20;  // over the structure itself
    ASSERT_EQ(b.translate(), 0u);
    EXPECT_EQ(b.request.mx_sb_len, 0);

    sg_io_hdr answer{};
    answer.status = 0x02;
    answer.mx_sb_len = 10;
    answer.sb_len_wr = 18;
    answer.dxfer_len = 512;
    answer.resid = 100;
    win::ScsiPassThroughDirect sptd{};
    sg::answer_into_block(answer, sptd);
    EXPECT_EQ(std::tie(sptd.ScsiStatus, sptd.SenseInfoLength, sptd.DataTransferLength), std::make_tuple(2, 10, 412u));
    answer.sb_len_wr = 4;
    answer.resid = -5;  // clamped: all moved
    sg::answer_into_block(answer, sptd);
    EXPECT_EQ(std::tie(sptd.SenseInfoLength, sptd.DataTransferLength), std::make_tuple(4, 512u));
    answer.resid = 600;  // clamped: nothing moved
    sg::answer_into_block(answer, sptd);
    EXPECT_EQ(sptd.DataTransferLength, 0u);
}

TEST(LinuxSg, TransportResultsAsWindowsErrors) {
    const auto error = [](std::uint16_t host, std::uint16_t driver) {
        sg_io_hdr h{};
        h.host_status = host;
        h.driver_status = driver;
        return sg::transport_error(h);
    };
    EXPECT_EQ(error(sg::kDidOk, sg::kDriverOk), 0u);
    EXPECT_EQ(error(sg::kDidOk, sg::kDriverSense), 0u);
    EXPECT_EQ(error(sg::kDidOk, 0x18), 0u);  // SENSE with a suggestion in the high nibble
    EXPECT_EQ(error(sg::kDidOk, sg::kDriverTimeout), 121u);
    for (const std::uint16_t driver : {sg::kDriverBusy, sg::kDriverSoft, sg::kDriverMedia, sg::kDriverError,
                                       sg::kDriverInvalid, sg::kDriverHard}) {
        EXPECT_EQ(error(sg::kDidOk, driver), 1117u) << driver;
    }
    EXPECT_EQ(error(sg::kDidTimeOut, sg::kDriverOk), 121u);
    EXPECT_EQ(error(sg::kDidNoConnect, sg::kDriverOk), 1167u);
    EXPECT_EQ(error(sg::kDidBadTarget, sg::kDriverSense), 1167u);
    EXPECT_EQ(error(sg::kDidBusBusy, sg::kDriverOk), 170u);
    EXPECT_EQ(error(sg::kDidReset, sg::kDriverOk), 1111u);
    for (const std::uint16_t host :
         {sg::kDidAbort, sg::kDidParity, sg::kDidError, sg::kDidBadIntr, sg::kDidPassthrough, sg::kDidSoftError,
          sg::kDidImmRetry, sg::kDidRequeue, sg::kDidTransportDisrupted, sg::kDidTransportFailfast,
          sg::kDidTargetFailure, sg::kDidNexusFailure, sg::kDidAllocFailure, sg::kDidMediumError,
          sg::kDidTransportMarginal}) {
        EXPECT_EQ(error(host, sg::kDriverOk), 1117u) << host;
    }
    EXPECT_EQ(sg::ioctl_error(ENOTTY), 1u);
    EXPECT_EQ(sg::ioctl_error(EINVAL), 1u);
    EXPECT_EQ(sg::ioctl_error(EPERM), 5u);
    EXPECT_EQ(sg::ioctl_error(EACCES), 5u);
    EXPECT_EQ(sg::ioctl_error(ENOMEM), 8u);
    EXPECT_EQ(sg::ioctl_error(ENODEV), 1167u);
    EXPECT_EQ(sg::ioctl_error(ENXIO), 1167u);
    EXPECT_EQ(sg::ioctl_error(EIO), 1117u);
}

TEST(LinuxSysfs, SdNamesAndTheirIndexes) {
    for (const auto& [index, name] : std::vector<std::pair<std::uint32_t, std::string>>{
             {0, "sda"}, {25, "sdz"}, {26, "sdaa"}, {51, "sdaz"}, {701, "sdzz"}, {702, "sdaaa"}}) {
        EXPECT_EQ(sysfs::sd_name(index), name);
        EXPECT_EQ(sysfs::sd_index(name), index);
    }
    for (const char* other : {"sda1", "vda", "sd", "sdA", "sdzzzzz"}) EXPECT_EQ(sysfs::sd_index(other), std::nullopt) << other;
    EXPECT_EQ(sysfs::parse_hctl("2:0:3:300"), (sysfs::Hctl{2, 0, 3, 300}));
    EXPECT_EQ(sysfs::parse_hctl("2:0:3"), std::nullopt);
    EXPECT_EQ(sysfs::parse_hctl("2:0:x:1"), std::nullopt);
}

// ---- a sysfs tree --------------------------------------------------------------------------------

// Standard INQUIRY of the project's test disk: direct access, CmdQue, "XMV", "LUNSCAN TEST", "0042".
Bytes test_inquiry() {
    Bytes inq(36, ' ');
    inq[0] = 0x00, inq[1] = 0x00, inq[2] = 0x06, inq[3] = 0x02, inq[4] = 31, inq[5] = 0, inq[6] = 0, inq[7] = 0x02;
    std::memcpy(inq.data() + 8, "XMV     LUNSCAN TEST    0042", 28);
    return inq;
}

class SysfsTree : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = ::testing::TempDir() + "lunscan-sysfs." + std::to_string(::getpid());
        fs::remove_all(root_);
        const std::string fc = "devices/pci0000:00/0000:00:02.0/host0/rport-0:0-1/target0:0:0/0:0:0:5";
        unit(fc, "0:0:0:5", test_inquiry());
        write(fc + "/vendor", "XMV     \n");
        write(fc + "/model", "LUNSCAN TEST    \n");
        write(fc + "/rev", "0042\n");
        write(fc + "/vpd_pg80", std::string("\x00\x80\x00\x0c", 4) + "DRV000000001");
        fs::create_directories(root_ + "/" + fc + "/driver");
        disk(fc, "sdaa", "65:160");
        write(fc + "/block/sdaa/removable", "0\n");
        write(fc + "/block/sdaa/queue/max_sectors_kb", "1280\n");
        write(fc + "/block/sdaa/queue/max_segments", "168\n");
        write(fc + "/block/sdaa/queue/dma_alignment", "511\n");
        write(fc + "/block/sdaa/sdaa1/partition", "1\n");
        write(fc + "/block/sdaa/sdaa1/start", "2048\n");
        link("dev/block/65:161", fc + "/block/sdaa/sdaa1");
        unit("devices/pci0000:00/0000:00:02.0/host0/rport-0:0-1/target0:0:1/0:0:1:0", "0:0:1:0", {0x0D, 0, 5, 2, 0});
        unit("devices/pci0000:00/0000:00:02.0/host0/rport-0:0-2/target0:1:2/0:1:2:0", "0:1:2:0", {0x00, 0x80, 5, 2, 0});
        const std::string sata = "devices/pci0000:00/0000:00:1f.2/ata3/host1/target1:0:0/1:0:0:0";
        unit(sata, "1:0:0:0", test_inquiry());
        disk(sata, "sdz", "65:144");
        write(sata + "/block/sdz/queue/max_segments", "12x\n");
        const std::string iscsi = "devices/platform/host2/session4/target2:0:3/2:0:3:300";
        unit(iscsi, "2:0:3:300", test_inquiry());
        disk(iscsi, "sda", "8:0");
        map("dm-0", "mpath-3600b7d2100000000000000000000001", "mpatha");
        fs::create_directories(root_ + "/block/dm-0/slaves/sdz");
        fs::create_directories(root_ + "/block/dm-0/slaves/sdaa");
        map("dm-1", "LVM-Xq3", "vg-root");
        map("dm-2", "mpath-3600b7d2100000000000000000000002", "mpathb_0123456789abcd");  // 12 + 21 bytes
        map("dm-3", "mpath-3600b7d2100000000000000000000003", "mpathc_0123456789abc");   // 12 + 20 bytes
        fs::create_directories(root_ + "/vx/disk_1");
        fs::create_directories(root_ + "/vx/disk_0");
    }
    void TearDown() override { fs::remove_all(root_); }

    void write(const std::string& rel, const std::string& text) {
        fs::create_directories(fs::path(root_ + "/" + rel).parent_path());
        std::ofstream(root_ + "/" + rel, std::ios::binary) << text;
    }
    void link(const std::string& rel, const std::string& target) {
        fs::create_directories(fs::path(root_ + "/" + rel).parent_path());
        fs::create_symlink(root_ + "/" + target, root_ + "/" + rel);
    }
    void unit(const std::string& dir, const std::string& hctl, const Bytes& inquiry) {
        write(dir + "/inquiry", std::string(inquiry.begin(), inquiry.end()));
        link("class/scsi_device/" + hctl + "/device", dir);
    }
    void disk(const std::string& dir, const std::string& name, const std::string& numbers) {
        fs::create_directories(root_ + "/" + dir + "/block/" + name);
        link("class/scsi_disk/" + fs::path(dir).filename().string() + "/device", dir);
        link("class/block/" + name, dir + "/block/" + name);
        link("dev/block/" + numbers, dir + "/block/" + name);
        link(dir + "/block/" + name + "/device", dir);
    }
    void map(const std::string& node, const std::string& uuid, const std::string& name) {
        write("block/" + node + "/dm/uuid", uuid + "\n");
        write("block/" + node + "/dm/name", name + "\n");
    }

    std::string root_;
};

TEST_F(SysfsTree, DisksInTheKernelsNamingOrderWithTheirFacts) {
    const std::vector<sysfs::ScsiDisk> disks = sysfs::scsi_disks(root_);
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0].name + " " + disks[1].name + " " + disks[2].name, "sda sdz sdaa");
    EXPECT_EQ(disks[0].address, (sysfs::Hctl{2, 0, 3, 300}));
    EXPECT_EQ(disks[2].address, (sysfs::Hctl{0, 0, 0, 5}));

    const std::optional<sysfs::BlockFacts> part = sysfs::block_facts(root_, 65, 161);
    ASSERT_TRUE(part);
    EXPECT_EQ(part->name + " " + part->disk_name, "sdaa1 sdaa");
    EXPECT_EQ(std::tie(*part->partition, *part->start), std::make_tuple(1u, 2048u));
    EXPECT_EQ(std::tie(*part->max_sectors_kb, *part->max_segments, *part->dma_alignment), std::make_tuple(1280u, 168u, 511u));
    const sysfs::ScsiDeviceFacts fc = sysfs::scsi_device_facts(*part->scsi_device);
    EXPECT_EQ(fc.bus_type, sysfs::kBusFibre);
    EXPECT_EQ(*fc.vendor + "|" + *fc.model + "|" + *fc.revision + "|" + *fc.serial, "XMV     |LUNSCAN TEST    |0042|DRV000000001");

    // A malformed limit and missing attributes are absent, not zero.
    const std::optional<sysfs::BlockFacts> sata = sysfs::block_facts(root_, 65, 144);
    ASSERT_TRUE(sata);
    EXPECT_EQ(*sata->partition, 0u);
    EXPECT_EQ(sata->max_segments, std::nullopt);
    EXPECT_EQ(sata->removable, std::nullopt);
    const sysfs::ScsiDeviceFacts ata = sysfs::scsi_device_facts(*sata->scsi_device);
    EXPECT_EQ(ata.bus_type, sysfs::kBusSata);
    EXPECT_EQ(ata.vendor, std::nullopt);
    EXPECT_EQ(ata.serial, std::nullopt);
    EXPECT_EQ(sysfs::scsi_device_facts(*sysfs::block_facts(root_, 8, 0)->scsi_device).bus_type, sysfs::kBusIscsi);
    EXPECT_EQ(sysfs::block_facts(root_, 8, 1), std::nullopt);
}

// Header 36 + INQUIRY 36 = 72: vendor at 72 (9 bytes), product at 81 (17), revision at 98 (5),
// serial at 103 (13); Size 116.
TEST_F(SysfsTree, TheDeviceDescriptorByHand) {
    const std::optional<sysfs::BlockFacts> block = sysfs::block_facts(root_, 65, 161);
    const Bytes d = pds::linux_devices::device_descriptor_record(sysfs::scsi_device_facts(*block->scsi_device), &*block);
    ASSERT_EQ(d.size(), 116u);
    const auto le32 = [&d](std::size_t at) { return std::uint32_t{d[at]} | d[at + 1] << 8 | d[at + 2] << 16 | std::uint32_t{d[at + 3]} << 24; };
    EXPECT_EQ(std::vector<std::uint32_t>({le32(0), le32(4), le32(12), le32(16), le32(20), le32(24), le32(28), le32(32)}),
              std::vector<std::uint32_t>({40, 116, 72, 81, 98, 103, 6, 36}));
    EXPECT_EQ(Bytes(d.begin() + 8, d.begin() + 12), (Bytes{0x00, 0x00, 0x00, 0x01}));  // type, modifier, removable, queueing
    EXPECT_EQ(Bytes(d.begin() + 36, d.begin() + 72), test_inquiry());
    EXPECT_EQ(std::string(d.begin() + 72, d.end()),
              std::string("XMV     \0LUNSCAN TEST    \0" "0042\0DRV000000001\0", 44));
}

TEST_F(SysfsTree, AddressesAndTheHostsBusInformation) {
    Bytes record;
    ASSERT_EQ(pds::linux_devices::scsi_address_record({300, 1, 2, 3}, record), 0u);
    EXPECT_EQ(record, (Bytes{8, 0, 0, 0, 255, 1, 2, 3}));
    EXPECT_EQ(pds::linux_devices::scsi_address_record({2, 0, 3, 300}, record), pds::kErrorNotSupported);
    EXPECT_EQ(pds::linux_devices::scsi_address_record({2, 256, 0, 0}, record), pds::kErrorNotSupported);

    // Host 0: bus 0 holds 0:0:0:5 (36 bytes) at 20 -> next at 68, then 0:0:1:0 (5 bytes) at 68;
    // bus 1 holds 0:1:2:0 at 88 (68 + 12 + 5 = 85, aligned to 88); 88 + 17 -> 108 in all.
    const Bytes info = pds::linux_devices::bus_info_record(sysfs::host_units(root_, 0), std::nullopt);
    ASSERT_EQ(info.size(), 108u);
    EXPECT_EQ(Bytes(info.begin(), info.begin() + 20),
              (Bytes{2, 0, 0, 0, /*bus 0*/ 2, 255, 0, 0, 20, 0, 0, 0, /*bus 1*/ 1, 255, 0, 0, 88, 0, 0, 0}));
    EXPECT_EQ(Bytes(info.begin() + 20, info.begin() + 32), (Bytes{0, 0, 5, 1, 36, 0, 0, 0, 68, 0, 0, 0}));
    EXPECT_EQ(Bytes(info.begin() + 68, info.begin() + 85), (Bytes{0, 1, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0, 5, 2, 0}));
    EXPECT_EQ(Bytes(info.begin() + 88, info.begin() + 100), (Bytes{1, 2, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0}));
    // Host 2's one unit has LUN 300, which the record cannot say.
    EXPECT_EQ(pds::linux_devices::bus_info_record(sysfs::host_units(root_, 2), 7), (Bytes{0, 0, 0, 0}));
}

TEST_F(SysfsTree, MultipathMapsAndTheNamesTheirClientLists) {
    const std::vector<sysfs::MultipathMap> maps = sysfs::multipath_maps(root_);
    ASSERT_EQ(maps.size(), 3u);
    EXPECT_EQ(maps[0].slaves, (std::vector<std::string>{"sdaa", "sdz"}));
    pds::linux_devices::DeviceTable table(root_, root_ + "/vx");
    const auto client = pds::linux_devices::make_multipath_client(table);
    std::uint32_t count = 0;
    ASSERT_EQ(client->mp_list_volumes(count, nullptr), 0u);
    ASSERT_EQ(count, 3u);
    std::vector<char> names(3 * pds::kMpVolumeNameBytes, 'x');
    ASSERT_EQ(client->mp_list_volumes(count, names.data()), 0u);
    EXPECT_STREQ(names.data(), "/dev/mapper/mpatha");
    EXPECT_STREQ(names.data() + pds::kMpVolumeNameBytes, "/dev/dm-2");
    EXPECT_STREQ(names.data() + 2 * pds::kMpVolumeNameBytes, "/dev/mapper/mpathc_0123456789abc");

    pds::linux_devices::DeviceTable bare(root_ + "/nothing");
    const auto none = pds::linux_devices::make_multipath_client(bare);
    count = 5;
    EXPECT_EQ(none->mp_list_volumes(count, names.data()), pds::kMpNotEnabled);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(none->library_fault(), "");
}

// Opens are tried on what this machine surely has: a missing path, a directory, a plain file.
TEST_F(SysfsTree, TheTableOpensAndAnswers) {
    pds::linux_devices::DeviceTable table(root_, root_ + "/vx");
    EXPECT_EQ(table.disk_paths(), (std::vector<std::string>{"/dev/sda", "/dev/sdz", "/dev/sdaa", root_ + "/vx/disk_0",
                                                            root_ + "/vx/disk_1"}));
    EXPECT_EQ(table.disk_name(26), "/dev/sdaa");
    EXPECT_EQ(table.disk_name(1), "");

    pds::DeviceHandle h = 9;
    const std::uint32_t rw = win::GENERIC_READ | win::GENERIC_WRITE;
    EXPECT_EQ(table.open({root_ + "/missing", rw, 3, false}, h), pds::kErrorFileNotFound);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(table.open({root_ + "/vx", rw, 3, false}, h), pds::kErrorAccessDenied);
    EXPECT_EQ(table.open({root_ + "/vx", win::GENERIC_READ, 3, false}, h), pds::kErrorAccessDenied);
    write("plain", "not a disk");
    EXPECT_EQ(table.open({root_ + "/plain/x", rw, 3, false}, h), pds::kErrorPathNotFound);
    ASSERT_EQ(table.open({root_ + "/plain", rw, 3, false}, h), 0u);
    EXPECT_NE(h, 0u);

    win::StorageDeviceNumber number{};
    std::uint32_t returned = 0;
    ASSERT_EQ(table.io_control(h, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, returned), 0u);
    EXPECT_EQ(std::tie(number.DeviceType, number.DeviceNumber, returned), std::make_tuple(7u, 1u << 20, 12u));
    EXPECT_EQ(table.disk_name(1u << 20), root_ + "/plain");
    Block b(win::SCSI_IOCTL_DATA_IN, 36);
    EXPECT_EQ(table.io_control(h, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b.b, sizeof b.b, &b.b, sizeof b.b, returned),
              pds::kErrorInvalidFunction);  // SG_IO on a file: ENOTTY
    const auto client = pds::linux_devices::make_multipath_client(table);
    EXPECT_EQ(client->mp_scsi_pass_through(h, 0, &b.b), 1u);  // not a map
    win::ScsiAddress address{};
    EXPECT_EQ(table.io_control(h, win::IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, returned),
              pds::kErrorInvalidFunction);
    EXPECT_EQ(table.io_control(h, 0x12345, nullptr, 0, nullptr, 0, returned), pds::kErrorInvalidFunction);
    EXPECT_EQ(table.close(h), 0u);
    EXPECT_EQ(table.close(h), pds::kErrorInvalidHandle);
    EXPECT_EQ(table.io_control(h, win::IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, returned),
              pds::kErrorInvalidHandle);
}

// The real provider on this machine, whatever disks it has or may open: lunscan finishes normally.
TEST(LinuxDevices, LunscanRunsOnTheRealHost) {
    const std::string command = std::string("env -u SIL_SIM_HOST '") + LUNSCAN_EXE_PATH + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
