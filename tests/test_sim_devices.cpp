// Tests of the simulated host's devices through the seam: command answers, faults, opens, ioctls, the CDB log, personalities and host-file faults.
#include "pds/platform.h"
#include "pds/product_clients.h"
#include "pds/win_device_layouts.h"
#include "support/sim_host_scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

namespace win = pds::win;
using Bytes = std::vector<std::uint8_t>;
using testsupport::Scratch;
using testsupport::sim_fault;
using testsupport::sim_host;
using testsupport::start_sim;

constexpr const char* kDrive1 = R"(\\.\PHYSICALDRIVE1)";

// One pass-through command as the transport sends it, and what came back.
struct Outcome {
    pds::os_error error = 0;
    std::uint8_t status = 0;
    Bytes data;           // the bytes moved
    Bytes sense;          // SenseInfoLength bytes
    Bytes sense_buffer;   // the whole 32-byte sense area, to see what was left alone
};

constexpr std::uint8_t kUntouched = 0xEE;

win::ScsiPassThroughDirectWithSense block_for(const Bytes& cdb, std::uint32_t length, std::uint8_t data_in,
                                              std::uint8_t sense_length, void* buffer) {
    win::ScsiPassThroughDirectWithSense block{};
    block.sptd.Length = sizeof(win::ScsiPassThroughDirect);
    block.sptd.TargetId = 1;
    block.sptd.CdbLength = static_cast<std::uint8_t>(cdb.size());
    block.sptd.SenseInfoLength = sense_length;
    block.sptd.DataIn = data_in;
    block.sptd.DataTransferLength = length;
    block.sptd.TimeOutValue = 30;
    block.sptd.DataBuffer = buffer;
    block.sptd.SenseInfoOffset = offsetof(win::ScsiPassThroughDirectWithSense, sense);
    std::memcpy(block.sptd.Cdb, cdb.data(), cdb.size());
    std::memset(block.sense, kUntouched, sizeof block.sense);
    return block;
}

// An open device of a simulated host.
struct Device {
    pds::Platform* host = nullptr;
    pds::DeviceHandle handle = 0;

    // The pass-through, through the Windows request or the multipathing driver's entry.
    Outcome scsi(const Bytes& cdb, std::uint32_t length, std::uint8_t data_in = win::SCSI_IOCTL_DATA_IN,
                 std::uint8_t sense_length = 24, bool multipath = false) const {
        Bytes buffer(std::max<std::uint32_t>(length, 1), 0xCC);
        auto block = block_for(cdb, length, data_in, sense_length, buffer.data());
        std::uint32_t returned = 0;
        Outcome o;
        o.error = multipath ? host->multipath_client().mp_scsi_pass_through(handle, 32, &block)
                            : host->device_io_control(handle, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block,
                                                      &block, sizeof block, returned);
        o.status = block.sptd.ScsiStatus;
        o.data.assign(buffer.begin(), buffer.begin() + std::min<std::size_t>(block.sptd.DataTransferLength, length));
        o.sense.assign(block.sense, block.sense + std::min<std::size_t>(block.sptd.SenseInfoLength, 32));
        o.sense_buffer.assign(block.sense, block.sense + sizeof block.sense);
        return o;
    }
    Outcome multipath_scsi(const Bytes& cdb, std::uint32_t length) const {
        return scsi(cdb, length, win::SCSI_IOCTL_DATA_IN, 24, true);
    }
    // Any other control code; the output buffer is `out_length` bytes.
    pds::os_error ioctl(std::uint32_t code, const Bytes& in, std::uint32_t out_length, Bytes& out) const {
        out.assign(out_length, 0xCC);
        std::uint32_t returned = 0;
        const pds::os_error e = host->device_io_control(handle, code, in.empty() ? nullptr : in.data(),
                                                        static_cast<std::uint32_t>(in.size()), out.data(), out_length,
                                                        returned);
        out.resize(returned);
        return e;
    }
};

constexpr std::uint32_t kReadWrite = win::GENERIC_READ | win::GENERIC_WRITE;

pds::os_error open(pds::Platform& host, const std::string& path, std::uint32_t access, pds::DeviceHandle& handle) {
    pds::DeviceOpenRequest request;
    request.path = path;
    request.desired_access = access;
    request.share_mode = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
    request.null_dacl = true;
    return host.open_device(request, handle);
}

Device open_device(pds::Platform& host, const std::string& path = kDrive1) {
    pds::DeviceHandle handle = 0;
    EXPECT_EQ(open(host, path, kReadWrite, handle), 0u) << path;
    return Device{&host, handle};
}

Bytes sense_of(std::uint8_t key, std::uint8_t asc) {
    return Bytes{0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, 0, 0, 0, 0, 0};
}
const Bytes kInvalidOpcode = sense_of(5, 0x20);
const Bytes kInvalidField = sense_of(5, 0x24);

Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes slice(const Bytes& b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// Commented hex as the fixtures hold it.
Bytes read_hex_fixture(const std::string& name) {
    std::ifstream in(std::string(LUNSCAN_SOURCE_DIR) + "/tests/data/" + name);
    EXPECT_TRUE(in) << name;
    Bytes out;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string word;
        while (words >> word) out.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return out;
}

const Bytes kInquiry6 = {0x12, 0, 0, 0, 0xFE, 0};
const Bytes kReadCapacity10 = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kReportIdentifier = {0xA3, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x84, 0, 0};
const Bytes kVendorEC = {0xEC, 0, 0, 0, 0, 0, 0, 8, 0, 0};
Bytes evpd(std::uint8_t page, std::uint8_t length = 0xFF) { return {0x12, 0x01, page, 0, length, 0}; }

// ---- commands -------------------------------------------------------------------------------

const char* const kPlainHost = R"({"devices": [{
    "path": "\\\\.\\PHYSICALDRIVE1",
    "inquiry": "00 00 05 02 1F 00 00 02 4F 54 48 45 52 43 4F 20 46 41 53 54 44 49 53 4B 20 39 30 30 30 20 20 20 52 32 44 32 50 44 30 30",
    "vpd": {"00": "00 00 00 02 00 80", "80": "00 80 00 04 53 4E 30 31"},
    "read_capacity_10": "00 0F FF FF 00 00 02 00",
    "mode_pages": {"04": "04 16 00 01 05 FF"},
    "blocks": {"0": "55 AA", "1048575": "4C 41 53 54"}
}]})";

// The one device of the plain host, opened.
class PlainDevice : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(sim_, nullptr);
        d = open_device(*sim_);
    }
    Scratch scratch_;
    std::unique_ptr<pds::Platform> sim_ = sim_host(kPlainHost, scratch_);
    Device d;
};

TEST_F(PlainDevice, InquiryIsCutToTheAllocationLengthAndTheTransferLength) {
    const Outcome full = d.scsi(kInquiry6, 254);
    EXPECT_EQ(full.error, 0u);
    EXPECT_EQ(full.status, 0);
    ASSERT_EQ(full.data.size(), 40u);  // everything the device has
    EXPECT_EQ(slice(full.data, 8, 8), ascii("OTHERCO "));
    EXPECT_TRUE(full.sense.empty()) << "no sense on GOOD status";

    EXPECT_EQ(d.scsi({0x12, 0, 0, 0, 0x24, 0}, 254).data, slice(full.data, 0, 36)) << "allocation length 36";
    EXPECT_EQ(d.scsi(kInquiry6, 5).data, slice(full.data, 0, 5)) << "the caller's buffer is shorter";
    EXPECT_EQ(d.scsi({0x12, 0, 0, 0x01, 0x00, 0}, 254).data.size(), 40u) << "allocation length is bytes 3-4";
}

TEST_F(PlainDevice, EvpdPagesPresentAndAbsent) {
    EXPECT_EQ(d.scsi(evpd(0x80), 255).data, (Bytes{0x00, 0x80, 0x00, 0x04, 'S', 'N', '0', '1'}));
    const Outcome absent = d.scsi(evpd(0xC0), 255);
    EXPECT_EQ(absent.error, 0u) << "a CHECK CONDITION is a completed request";
    EXPECT_EQ(absent.status, 2);
    EXPECT_TRUE(absent.data.empty());
    EXPECT_EQ(absent.sense, kInvalidField);
    EXPECT_EQ(absent.sense_buffer[18], kUntouched) << "nothing past the sense bytes";
    EXPECT_EQ(d.scsi({0x12, 0x00, 0x80, 0, 0xFF, 0}, 255).sense, kInvalidField) << "a page code in a standard INQUIRY";
}

TEST_F(PlainDevice, SenseNeverExceedsWhatTheCallerAskedFor) {
    const Outcome o = d.scsi(kReportIdentifier, 132, win::SCSI_IOCTL_DATA_IN, 8);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.sense, slice(kInvalidOpcode, 0, 8));
    EXPECT_EQ(o.sense_buffer[8], kUntouched);
    EXPECT_TRUE(d.scsi(kReportIdentifier, 132, win::SCSI_IOCTL_DATA_IN, 0).sense.empty());
}

TEST_F(PlainDevice, CommandsWithoutAnAnswerAreIllegalRequests) {
    EXPECT_EQ(d.scsi(kVendorEC, 8).sense, kInvalidOpcode) << "vendor command";
    // Without "read_capacity_16" the device is an old one: READ CAPACITY(16) is unknown to it.
    EXPECT_EQ(d.scsi({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 12, 0, 0}, 12).sense, kInvalidOpcode);
    EXPECT_EQ(d.scsi(kReadCapacity10, 8).data, (Bytes{0x00, 0x0F, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}));
    const Outcome ready = d.scsi({0, 0, 0, 0, 0, 0}, 0);
    EXPECT_EQ(ready.status, 0);
    EXPECT_TRUE(ready.data.empty());
}

TEST(SimDeviceCommands, ScriptedCommandsMatchTheLongestPrefix) {
    auto sim = sim_host(R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE1", "inquiry": "00", "commands": [
        {"cdb": "A3", "reply": "01 01"},
        {"cdb": "A3 05", "reply": "00 00 00 04 49 44 30 31"},
        {"cdb": "12 01 E0", "reply": "00 E0 00 00"}]}]})");
    const Device d = open_device(*sim);
    EXPECT_EQ(d.scsi(kReportIdentifier, 132).data, (Bytes{0, 0, 0, 4, 'I', 'D', '0', '1'}));
    EXPECT_EQ(d.scsi({0xA3, 0x06, 0, 0, 0, 0, 0, 0, 0, 0x84, 0, 0}, 132).data, (Bytes{1, 1}));
    EXPECT_EQ(d.scsi(evpd(0xE0), 255).data, (Bytes{0x00, 0xE0, 0x00, 0x00})) << "a page by command";
    EXPECT_EQ(d.scsi(kVendorEC, 8).sense, kInvalidOpcode);
}

TEST_F(PlainDevice, ModeSenseBuildsTheHeaderAndBlockDescriptor) {
    // 4-byte header (length 4+8+6-1, medium 0, flags 0, descriptor length 8), then the descriptor
    // (density 0, 0x100000 blocks, 512-byte blocks), then the page as given.
    const Bytes expected = {0x11, 0, 0, 8, 0, 0x10, 0x00, 0x00, 0, 0x00, 0x02, 0x00, 0x04, 0x16, 0x00, 0x01, 0x05, 0xFF};
    EXPECT_EQ(d.scsi({0x1A, 0, 0xC4, 0, 0xFF, 0}, 255).data, expected) << "saved values of page 4";
    EXPECT_EQ(d.scsi({0x1A, 0, 0x04, 0, 12, 0}, 12).data, slice(expected, 0, 12)) << "cut to the allocation length";
    EXPECT_EQ(d.scsi({0x1A, 0, 0xC3, 0, 0xFF, 0}, 255).sense, kInvalidField) << "page 3 is not there";
}

TEST_F(PlainDevice, ReadTenAnswersListedBlocksAndZeros) {
    const Outcome two = d.scsi({0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, 1024);
    ASSERT_EQ(two.data.size(), 1024u);
    EXPECT_EQ(slice(two.data, 0, 2), (Bytes{0x55, 0xAA}));
    EXPECT_EQ(std::count(two.data.begin() + 2, two.data.end(), 0), 1022) << "short blocks are zero-padded";
    EXPECT_EQ(slice(d.scsi({0x28, 0, 0x00, 0x0F, 0xFF, 0xFF, 0, 0, 1, 0}, 512).data, 0, 4), ascii("LAST"));
    EXPECT_EQ(d.scsi({0x28, 0, 0x00, 0x10, 0x00, 0x00, 0, 0, 1, 0}, 512).sense, sense_of(5, 0x21)) << "past the end";
}

// ---- faults ---------------------------------------------------------------------------------

TEST(SimDeviceFaults, FaultsFailTheirCountThenTheDeviceRecovers) {
    auto sim = sim_host(R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE1", "inquiry": "00 00 05 02",
        "read_capacity_10": "00 0F FF FF 00 00 02 00",
        "faults": [
          {"cdb": "12", "kind": "check_condition", "sense": "70 00 06 00 00 00 00 0A 00 00 00 00 29 00", "times": 2},
          {"cdb": "25", "kind": "io_error", "times": 1},
          {"cdb": "12 01", "kind": "timeout"}
        ]}]})");
    const Device d = open_device(*sim);
    for (int i = 0; i < 2; ++i) {
        const Outcome o = d.scsi(kInquiry6, 254);
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(o.sense, (Bytes{0x70, 0, 6, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x29, 0}));
        EXPECT_TRUE(o.data.empty());
    }
    EXPECT_EQ(d.scsi(kInquiry6, 254).data, (Bytes{0, 0, 5, 2})) << "the third INQUIRY gets through";
    EXPECT_EQ(d.scsi(kReadCapacity10, 8).error, pds::kErrorIoDevice);
    EXPECT_EQ(d.scsi(kReadCapacity10, 8).data.size(), 8u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(d.scsi(evpd(0x80), 255).error, pds::kErrorSemTimeout);
}

TEST(SimDeviceFaults, EachKindFailsAsItsName) {
    auto sim = sim_host(R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE1", "inquiry": "00 00 05 02 1F 00 00 02 41 42 43 44",
        "faults": [
          {"kind": "access_denied", "times": 1},
          {"kind": "short_transfer", "bytes": 3, "times": 1},
          {"kind": "scsi_status", "status": 24, "times": 1}
        ]}]})");
    const Device d = open_device(*sim);
    EXPECT_EQ(d.scsi(kInquiry6, 254).error, pds::kErrorAccessDenied) << "a fault without cdb takes any command";
    const Outcome shortened = d.scsi(kInquiry6, 254);
    EXPECT_EQ(shortened.status, 0);
    EXPECT_EQ(shortened.data, (Bytes{0, 0, 5})) << "three bytes moved";
    const Outcome conflict = d.scsi(kInquiry6, 254);
    EXPECT_EQ(conflict.status, 0x18);
    EXPECT_TRUE(conflict.sense.empty());
    EXPECT_EQ(d.scsi(kInquiry6, 254).data.size(), 12u);
}

// ---- opens and the other control codes ------------------------------------------------------

TEST(SimDeviceOpen, OpenBehavioursAndUnknownPaths) {
    auto sim = sim_host(R"({"devices": [
        {"path": "\\\\.\\PHYSICALDRIVE1", "inquiry": "00 00 05 02", "open": "sharing_violation_then_read_only"},
        {"path": "\\\\.\\PHYSICALDRIVE2", "open": "sharing_violation"},
        {"path": "\\\\.\\PHYSICALDRIVE3", "open": "access_denied"},
        {"path": "\\\\.\\PHYSICALDRIVE4", "open": "not_found"},
        {"path": "\\\\.\\PHYSICALDRIVE5"}]})");
    pds::DeviceHandle h = 0;
    EXPECT_EQ(open(*sim, kDrive1, kReadWrite, h), pds::kErrorSharingViolation);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(open(*sim, kDrive1, kReadWrite, h), pds::kErrorSharingViolation) << "the other holder keeps it";
    EXPECT_EQ(open(*sim, kDrive1, win::GENERIC_READ, h), 0u);
    EXPECT_NE(h, 0u);
    // Pass-through needs write access, as on Windows; the storage property query does not, so a
    // read-only INQUIRY still gets its bytes through the fallback.
    const Device ro{sim.get(), h};
    EXPECT_EQ(ro.scsi(kInquiry6, 254).error, pds::kErrorAccessDenied);
    Bytes out;
    EXPECT_EQ(ro.ioctl(win::IOCTL_STORAGE_QUERY_PROPERTY, Bytes(12, 0), 2048, out), 0u);
    ASSERT_EQ(out.size(), 40u);
    EXPECT_EQ(slice(out, 36, 4), (Bytes{0, 0, 5, 2}));
    EXPECT_EQ(sim->close_device(h), 0u);
    EXPECT_EQ(sim->close_device(h), pds::kErrorInvalidHandle);

    EXPECT_EQ(open(*sim, R"(\\.\PHYSICALDRIVE2)", win::GENERIC_READ, h), pds::kErrorSharingViolation);
    EXPECT_EQ(open(*sim, R"(\\.\PHYSICALDRIVE3)", kReadWrite, h), pds::kErrorAccessDenied);
    EXPECT_EQ(open(*sim, R"(\\.\PHYSICALDRIVE4)", kReadWrite, h), pds::kErrorFileNotFound);
    EXPECT_EQ(open(*sim, R"(\\.\PHYSICALDRIVE9)", kReadWrite, h), pds::kErrorFileNotFound) << "not in the file";
    EXPECT_EQ(open(*sim, R"(\\.\PhysicalDrive5)", kReadWrite, h), 0u) << "Windows paths ignore case";
}

TEST(SimDeviceOpen, ControlCodesAnswerFromTheFile) {
    auto sim = sim_host(R"({"devices": [
        {"path": "\\\\.\\PHYSICALDRIVE1", "inquiry": "00 00 05 02 1F 00 00 02 4F 54 48 45 52 43 4F 20 46 41 53 54 44 49 53 4B 20 39 30 30 30 20 20 20 52 32 44 32",
         "vpd": {"80": "00 80 00 03 53 4E 31"},
         "address": {"port": 2, "path_id": 0, "target_id": 5, "lun": 3},
         "read_capacity_10": "00 0F FF FF 00 00 02 00"},
        {"path": "\\\\.\\PHYSICALDRIVE2", "device_number": 7, "partition_length": 1048576}]})");
    const Device d = open_device(*sim);
    Bytes out;
    EXPECT_EQ(d.ioctl(win::IOCTL_SCSI_GET_ADDRESS, {}, 8, out), 0u);
    EXPECT_EQ(out, (Bytes{8, 0, 0, 0, 2, 0, 5, 3}));
    EXPECT_EQ(d.ioctl(win::IOCTL_STORAGE_GET_DEVICE_NUMBER, {}, 12, out), 0u);
    EXPECT_EQ(out, (Bytes{7, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0})) << "disk 1, from the path";
    EXPECT_EQ(d.ioctl(win::IOCTL_STORAGE_GET_DEVICE_NUMBER, {}, 11, out), 122u) << "buffer too small";
    EXPECT_EQ(d.ioctl(win::IOCTL_DISK_GET_PARTITION_INFO, {}, 32, out), 0u);
    EXPECT_EQ(slice(out, 8, 8), (Bytes{0, 0, 0, 0x20, 0, 0, 0, 0})) << "0x100000 blocks of 512 bytes";

    // One bus, one unit: the bus data at 4 points at the entry at 12, whose data follow at 24.
    EXPECT_EQ(d.ioctl(win::IOCTL_SCSI_GET_INQUIRY_DATA, {}, 4096, out), 0u);
    ASSERT_EQ(out.size(), 24u + 36u);
    EXPECT_EQ(slice(out, 0, 24), (Bytes{1, 0, 0, 0, 1, 7, 0, 0, 12, 0, 0, 0, 0, 5, 3, 1, 36, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(slice(out, 32, 8), ascii("OTHERCO "));

    // The descriptor: header, the raw INQUIRY at 36, then vendor, product, revision and serial texts.
    EXPECT_EQ(d.ioctl(win::IOCTL_STORAGE_QUERY_PROPERTY, Bytes(12, 0), 2048, out), 0u);
    ASSERT_EQ(out.size(), 36u + 36u + 9u + 17u + 5u + 4u);
    EXPECT_EQ(slice(out, 4, 4), (Bytes{107, 0, 0, 0})) << "Size";
    EXPECT_EQ(slice(out, 12, 16), (Bytes{72, 0, 0, 0, 81, 0, 0, 0, 98, 0, 0, 0, 103, 0, 0, 0})) << "text offsets";
    EXPECT_EQ(slice(out, 32, 4), (Bytes{36, 0, 0, 0})) << "RawPropertiesLength";
    EXPECT_EQ(slice(out, 103, 4), (Bytes{'S', 'N', '1', 0}));
    EXPECT_EQ(d.ioctl(win::IOCTL_STORAGE_QUERY_PROPERTY, Bytes(12, 0), 40, out), 0u) << "a short buffer gets the start";
    ASSERT_EQ(out.size(), 40u);
    EXPECT_EQ(slice(out, 4, 4), (Bytes{107, 0, 0, 0}));

    const Device other = open_device(*sim, R"(\\.\PHYSICALDRIVE2)");
    EXPECT_EQ(other.ioctl(win::IOCTL_SCSI_GET_ADDRESS, {}, 8, out), 1u) << "no address in the file";
    EXPECT_EQ(other.ioctl(win::IOCTL_STORAGE_GET_DEVICE_NUMBER, {}, 12, out), 0u);
    EXPECT_EQ(out[4], 7);
    EXPECT_EQ(other.ioctl(win::IOCTL_DISK_GET_PARTITION_INFO, {}, 32, out), 0u);
    EXPECT_EQ(slice(out, 8, 8), (Bytes{0, 0, 0x10, 0, 0, 0, 0, 0}));
    EXPECT_EQ(other.ioctl(0x12345678, {}, 8, out), 1u) << "an unknown control code";
}

TEST_F(PlainDevice, PassThroughBlocksAreChecked) {
    Bytes buffer(254);
    auto block = block_for(kInquiry6, 254, win::SCSI_IOCTL_DATA_IN, 24, buffer.data());
    std::uint32_t returned = 0;
    const auto send = [&](std::uint32_t in_length, std::uint32_t out_length, pds::DeviceHandle handle = 0) {
        return sim_->device_io_control(handle ? handle : d.handle, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block,
                                       in_length, &block, out_length, returned);
    };
    EXPECT_EQ(send(95, 96), pds::kErrorInvalidParameter);
    EXPECT_EQ(send(96, 95), pds::kErrorInvalidParameter);
    block.sptd.SenseInfoLength = 40;  // reaches past the 96 bytes
    EXPECT_EQ(send(96, 96), pds::kErrorInvalidParameter);
    block.sptd.SenseInfoLength = 24;
    block.sptd.CdbLength = 17;
    EXPECT_EQ(send(96, 96), pds::kErrorInvalidParameter);
    block.sptd.CdbLength = 6;
    block.sptd.DataBuffer = nullptr;
    EXPECT_EQ(send(96, 96), pds::kErrorInvalidParameter);
    block.sptd.DataBuffer = buffer.data();
    EXPECT_EQ(send(96, 96), 0u);
    EXPECT_EQ(send(96, 96, 0x4242), pds::kErrorInvalidHandle);
}

TEST(SimDeviceOpen, MultipathPassThroughAndErrorMode) {
    auto sim = sim_host(R"({"devices": [
        {"path": "\\\\.\\PHYSICALDRIVE1", "inquiry": "00 00 05 02"},
        {"path": "\\\\.\\PHYSICALDRIVE2", "inquiry": "00 00 05 02", "multipath": {"pass_through": "ok"}},
        {"path": "\\\\.\\PHYSICALDRIVE3", "multipath": {"pass_through": "fail"}}]})");
    EXPECT_EQ(open_device(*sim).multipath_scsi(kInquiry6, 254).error, pds::kMpNotEnabled) << "no multipathing driver";
    const Outcome carried = open_device(*sim, R"(\\.\PHYSICALDRIVE2)").multipath_scsi(kInquiry6, 254);
    EXPECT_EQ(carried.error, 0u);
    EXPECT_EQ(carried.data, (Bytes{0, 0, 5, 2}));
    EXPECT_NE(open_device(*sim, R"(\\.\PHYSICALDRIVE3)").multipath_scsi(kInquiry6, 254).error, 0u);

    EXPECT_EQ(sim->set_error_mode(win::SEM_FAILCRITICALERRORS), 0u);
    EXPECT_EQ(sim->set_error_mode(0), win::SEM_FAILCRITICALERRORS);
}

// ---- the CDB log and the refusal of writes ----------------------------------------------------

void set_env(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    value.empty() ? unsetenv(name) : setenv(name, value.c_str(), 1);
#endif
}

// The host of `json` in `scratch`, started while SIL_SIM_LOG names `log`; the start's fault, if any.
std::unique_ptr<pds::Platform> host_logging_to(const std::string& log, const Scratch& scratch, std::string& error,
                                               const std::string& json = kPlainHost) {
    set_env("SIL_SIM_LOG", log);
    auto sim = pds::make_sim_platform(scratch.put("host.json", json), error);
    set_env("SIL_SIM_LOG", "");
    return sim;
}

// The log's command lines, or all its lines (with the '#' comments).
std::vector<std::string> log_lines(const std::string& log, bool all = false) {
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (all || (!line.empty() && line[0] != '#')) lines.push_back(line);
    }
    return lines;
}

TEST(SimDeviceLog, EveryCdbIsOneLine) {
    Scratch s;
    std::string error;
    auto sim = host_logging_to(s.path("cdb.log"), s, error);
    ASSERT_NE(sim, nullptr) << error;
    const Device d = open_device(*sim);
    d.scsi(kInquiry6, 254);
    d.scsi(kReadCapacity10, 8);
    d.scsi({0, 0, 0, 0, 0, 0}, 0);
    d.scsi(evpd(0xC0), 255);
    const std::vector<std::string> expected = {
        R"(\\.\PHYSICALDRIVE1 in 254 12 00 00 00 fe 00)",
        R"(\\.\PHYSICALDRIVE1 in 8 25 00 00 00 00 00 00 00 00 00)",
        R"(\\.\PHYSICALDRIVE1 none 0 00 00 00 00 00 00)",
        R"(\\.\PHYSICALDRIVE1 in 255 12 01 c0 00 ff 00)",
    };
    EXPECT_EQ(log_lines(s.path("cdb.log")), expected);
    const std::vector<std::string> all = log_lines(s.path("cdb.log"), true);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0], R"(# open \\.\PHYSICALDRIVE1 0xc0000000 -> 0)");
}

TEST(SimDeviceLog, ConcurrentCommandsNeverShareALine) {
    Scratch s;
    std::string error;
    auto sim = host_logging_to(s.path("cdb.log"), s, error);
    ASSERT_NE(sim, nullptr) << error;
    constexpr int kThreads = 4;
    constexpr int kEach = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&sim] {
            const Device d = open_device(*sim);
            for (int i = 0; i < kEach; ++i) d.scsi(kInquiry6, 254);
        });
    }
    for (std::thread& t : threads) t.join();
    const std::vector<std::string> lines = log_lines(s.path("cdb.log"));
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEach));
    for (const std::string& line : lines) ASSERT_EQ(line, R"(\\.\PHYSICALDRIVE1 in 254 12 00 00 00 fe 00)");
}

TEST(SimDeviceLog, UnwritableLogStopsTheStart) {
    Scratch s;
    const std::string log = s.path("missing-dir/cdb.log");
    std::string error;
    EXPECT_EQ(host_logging_to(log, s, error, "{}"), nullptr);
    EXPECT_EQ(error.rfind("CDB log \"" + log + "\" (SIL_SIM_LOG) cannot be opened: ", 0), 0u) << error;
}

TEST(SimDeviceSafetyDeathTest, WritesAreRefusedLoudly) {
    Scratch s;
    const std::string host_file = s.put("host.json", R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE1", "inquiry": "00",
        "commands": [{"cdb": "3B", "reply": ""}]}]})");
    // A WRITE(10) is refused whatever direction the block claims.
    EXPECT_DEATH(
        {
            auto sim = start_sim(host_file);
            open_device(*sim).scsi({0x2A, 0, 0, 0, 0, 0x10, 0, 0, 1, 0}, 512, win::SCSI_IOCTL_DATA_IN);
        },
        R"(SIMULATED HOST: refused data-out command 2a 00 00 00 00 10 00 00 01 00 on \\\\\.\\PHYSICALDRIVE1)");
    // Any data-out command but WRITE BUFFER, even one that never writes.
    EXPECT_DEATH(
        {
            auto sim = start_sim(host_file);
            open_device(*sim).scsi(kInquiry6, 254, win::SCSI_IOCTL_DATA_OUT);
        },
        "SIMULATED HOST: refused data-out command 12 00 00 00 fe 00 on ");
    auto sim = start_sim(host_file);
    const Outcome write_buffer = open_device(*sim).scsi({0x3B, 0x01, 0, 0, 0, 0, 0, 0x02, 0, 0}, 512, win::SCSI_IOCTL_DATA_OUT);
    EXPECT_EQ(write_buffer.error, 0u);
    EXPECT_EQ(write_buffer.status, 0);
}

// ---- personalities ------------------------------------------------------------------------------

class SimPersonalities : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(sim_, nullptr); }
    Device drive(int n) { return open_device(*sim_, R"(\\.\PHYSICALDRIVE)" + std::to_string(n)); }
    std::unique_ptr<pds::Platform> sim_ = start_sim(LUNSCAN_SOURCE_DIR "/tests/data/sim/personalities.json");
};

TEST_F(SimPersonalities, KorvalithLunBuildsTheHandWrittenInquiry) {
    const Bytes lun_5874 = read_hex_fixture("inquiry/korvalith_5874_lun.hex");
    ASSERT_EQ(lun_5874.size(), 216u);
    EXPECT_EQ(drive(1).scsi(kInquiry6, 254).data, lun_5874);
    EXPECT_EQ(drive(2).scsi(kInquiry6, 254).data, lun_5874) << "the file reference reads the same bytes";
    const Bytes ckd_5567 = read_hex_fixture("inquiry/korvalith_5567_ckd.hex");
    EXPECT_EQ(drive(3).scsi(kInquiry6, 254).data, ckd_5567);
    EXPECT_EQ(drive(4).scsi(kInquiry6, 254).data, ckd_5567);
}

TEST_F(SimPersonalities, KorvalithLunWwnAndCapacity) {
    const Device d = drive(1);
    // NAA 6, company id 53494D, a zero nibble, the serial's digits, seven zero nibbles, device 11A2B.
    const Bytes page_83 = {0x00, 0x83, 0x00, 0x14, 0x01, 0x03, 0x00, 0x10, 0x65, 0x34, 0x94, 0xD0, 0x00, 0x01,
                           0x87, 0x90, 0x04, 0x56, 0x00, 0x00, 0x00, 0x01, 0x1A, 0x2B};
    EXPECT_EQ(d.scsi(evpd(0x83, 0x90), 144).data, page_83);
    EXPECT_EQ(d.scsi(kReadCapacity10, 8).data, (Bytes{0x00, 0x3F, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}));
    EXPECT_EQ(d.scsi(evpd(0xF6, 0xFE), 254).sense, kInvalidField) << "no page F6 unless given";
}

TEST_F(SimPersonalities, GenericDiskBytes) {
    const Device d = drive(5);
    const Outcome inq = d.scsi(kInquiry6, 254);
    ASSERT_EQ(inq.data.size(), 96u);
    EXPECT_EQ(slice(inq.data, 0, 8), (Bytes{0x00, 0x00, 0x05, 0x02, 91, 0x00, 0x00, 0x02}));
    EXPECT_EQ(slice(inq.data, 8, 36), ascii("ACME    SIMDISK 100     A1  SN0042XY"));
    EXPECT_EQ(d.scsi(evpd(0x00), 255).data, (Bytes{0, 0, 0, 3, 0x00, 0x80, 0x83}));
    EXPECT_EQ(d.scsi(evpd(0x80), 255).data, (Bytes{0, 0x80, 0, 9, 'S', 'N', '0', '0', '4', '2', 'X', 'Y', 'Z'}));
    const Outcome id = d.scsi(evpd(0x83), 255);
    ASSERT_EQ(id.data.size(), 16u);
    EXPECT_EQ(slice(id.data, 0, 11), (Bytes{0x00, 0x83, 0x00, 0x0C, 0x01, 0x03, 0x00, 0x08, 0x55, 0x34, 0x94}));
    EXPECT_EQ(id.data[11] & 0xF0, 0xD0) << "NAA 5 and company id 53494D, then the serial's 36 bits";

    EXPECT_EQ(d.scsi(kReadCapacity10, 8).data, (Bytes{0x00, 0x1F, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}));
    const Outcome rc16 = d.scsi({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32);
    EXPECT_EQ(slice(rc16.data, 0, 12), (Bytes{0, 0, 0, 0, 0x00, 0x1F, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}));
    // Page 4 behind the header and descriptor: 2097152 / (255 * 63) = 130 cylinders, 255 heads.
    const Outcome rigid = d.scsi({0x1A, 0, 0xC4, 0, 0xFF, 0}, 255);
    ASSERT_EQ(rigid.data.size(), 36u);
    EXPECT_EQ(slice(rigid.data, 0, 12), (Bytes{35, 0, 0, 8, 0, 0x20, 0x00, 0x00, 0, 0x00, 0x02, 0x00}));
    EXPECT_EQ(slice(rigid.data, 12, 6), (Bytes{0x04, 0x16, 0x00, 0x00, 0x82, 0xFF}));
    // Page 3: 63 sectors per track at bytes 10-11 of the page, 512 bytes per sector at 12-13.
    const Outcome format = d.scsi({0x1A, 0x08, 0xC3, 0, 0xFF, 0}, 255);
    ASSERT_EQ(format.data.size(), 28u) << "DBD: no block descriptor";
    EXPECT_EQ(slice(format.data, 4 + 10, 4), (Bytes{0x00, 0x3F, 0x02, 0x00}));
}

TEST_F(SimPersonalities, ExplicitBytesWin) {
    const Device d = drive(6);
    EXPECT_EQ(d.scsi(kInquiry6, 254).data, read_hex_fixture("inquiry/plain_disk.hex"));
    EXPECT_EQ(d.scsi(evpd(0x80), 255).data, (Bytes{0x00, 0x80, 0x00, 0x04, 'O', 'W', 'N', '1'}));
    EXPECT_EQ(d.scsi(evpd(0x83), 255).data, drive(5).scsi(evpd(0x83), 255).data)
        << "the same serial names the same NAA identifier";
    EXPECT_EQ(d.scsi(kReadCapacity10, 8).data.size(), 8u);
}

// ---- host-file faults ---------------------------------------------------------------------------

TEST(SimDeviceFile, FaultsNameTheKeyAndTheRule) {
    const std::string lun = R"("personality": "korvalith_lun", "params": {"array_serial": "000187900456", "director": 1,
        "port": 0, "blocks": 100, )";
    const std::pair<std::string, std::string> cases[] = {
        // hex text
        {R"("inquiry": "00 12 345")", R"("devices[0].inquiry" has an odd number of hex digits in "345")"},
        {R"("inquiry": "00 1g")", R"("devices[0].inquiry" has "g", which is not a hex digit)"},
        {R"("vpd": {"80": ["00 80", "00 0"]})", R"("devices[0].vpd['80'][1]" has an odd number of hex digits in "0")"},
        {R"("inquiry": 12)", R"("devices[0].inquiry" must be hex text, an array of hex texts or {"file": name})"},
        {R"("blocks": {"0": ")" + std::string(1026, '0') + "\"}",
         R"("devices[0].blocks['0']" holds more than 512 bytes)"},
        // faults and opens
        {R"("faults": [{"kind": "power_failure"}])",
         R"("devices[0].faults[0].kind" must be one of "check_condition", "access_denied", "io_error", )"
         R"("short_transfer", "timeout", "scsi_status")"},
        {R"("faults": [{"kind": "check_condition"}])", R"("devices[0].faults[0].sense" is missing)"},
        {R"("faults": [{"kind": "timeout", "bytes": 3}])",
         R"("devices[0].faults[0].bytes" is only for kind "short_transfer")"},
        {R"("faults": [{"kind": "timeout", "cdb": ""}])", R"("devices[0].faults[0].cdb" must hold 1 to 16 bytes)"},
        {R"("faults": [{"kind": "timeout", "times": -1}])",
         R"("devices[0].faults[0].times" must be an integer from 0 to 4294967295)"},
        {R"("open": "busy")",
         R"("devices[0].open" must be one of "ok", "not_found", "sharing_violation", "access_denied", )"
         R"("sharing_violation_then_read_only")"},
        // structure
        {R"("blocks": {"-1": "00"})",
         R"("devices[0].blocks['-1']" must be named by its LBA, a decimal number from 0 to 4294967295)"},
        {R"("blocks": {"4294967296": "00"})",
         R"("devices[0].blocks['4294967296']" must be named by its LBA, a decimal number from 0 to 4294967295)"},
        {R"("vpd": {"80": "00", "080": "00"})",
         R"("devices[0].vpd['080']" must be named by a page code of one or two hex digits, 00 to FF)"},
        {R"("vpd": {"f6": "00", "F6": "00"})", R"("devices[0].vpd.f6" names a page given already)"},
        {R"("mode_pages": {"3F": "00"})",
         R"("devices[0].mode_pages['3F']" must be named by a page code of one or two hex digits, 00 to 3E)"},
        {R"("address": {"port": 1, "path_id": 0, "lun": 0})", R"("devices[0].address.target_id" is missing)"},
        // personalities
        {lun + R"("microcode": "5567", "device_number": "1000"})",
         R"("devices[0].params.device_number" must be at most FFF with microcode 5567)"},
        {lun + R"("microcode": "5874", "device_number": "123456"})",
         R"("devices[0].params.device_number" must be 1 to 5 hex digits)"},
        {lun + R"("microcode": "58x4", "device_number": "1"})",
         R"("devices[0].params.microcode" must be four hex digits ("5874"))"},
        {lun + R"("microcode": "5874", "device_number": "1", "flags": ["bcv", "gold"]})",
         R"("devices[0].params.flags[1]" must be one of "ckd", "bcv", "write_protected", "meta", "rpx_r1", )"
         R"("rpx_r2", "raid5", "raid6", "mirrored", "fibre", "spoofed", "vraid")"},
        {lun + R"("microcode": "5874", "device_number": "1", "ckd_label": "vol1"})",
         R"("devices[0].params.ckd_label" must be at most 6 characters from A-Z, 0-9, blank and # @ $ - .)"},
        {R"("personality": "generic_disk", "params": {"vendor": "A", "product": "B", "blocks": 1})",
         R"("devices[0].params.serial" is missing)"},
        {R"("params": {})", R"("devices[0].params" needs a "personality")"},
        {R"("personality": "tape", "params": {})",
         R"("devices[0].personality" must be one of "generic_disk", "korvalith_lun")"},
    };
    for (const auto& [keys, expected] : cases) {
        EXPECT_EQ(sim_fault(R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE1", )" + keys + "}]}"), expected) << keys;
    }
    EXPECT_EQ(sim_fault(R"({"devices": [{"inquiry": "00"}]})"), R"("devices[0].path" is missing)");
    EXPECT_EQ(sim_fault(R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE1"}, {"path": "\\\\.\\physicaldrive1"}]})"),
              R"("devices[1].path" repeats the path of "devices[0]")");
    EXPECT_EQ(sim_fault(R"({"devices": {}})"), R"("devices" must be an array)");
}

TEST(SimDeviceFile, HexFileFaultsNameTheFileAndLine) {
    Scratch s;
    s.put("bad.hex", "# standard page\n00 00 05 02\n# vendor\n58 4D 5\n");
    EXPECT_EQ(sim_fault(R"({"devices": [{"path": "d", "inquiry": {"file": "bad.hex"}}]})", s),
              R"("devices[0].inquiry.file": "bad.hex" line 4 has an odd number of hex digits in "5")");
    const std::string missing = sim_fault(R"({"devices": [{"path": "d", "inquiry": {"file": "none.hex"}}]})", s);
    EXPECT_EQ(missing.rfind(R"("devices[0].inquiry.file": "none.hex" cannot be opened: )", 0), 0u) << missing;
}

}  // namespace
