// Tests of the simulated host's devices through the seam: what only the engine shows (mode sense and READ(10) layouts, fault counts, opens, block checks, the CDB log under threads, refused writes).
#include "pds/platform.h"
#include "pds/win_device_layouts.h"
#include "support/sim_host_scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

namespace win = pds::win;
using Bytes = std::vector<std::uint8_t>;
using testsupport::Scratch;
using testsupport::set_env;
using testsupport::sim_host;
using testsupport::start_sim;

constexpr const char* kDrive1 = R"(\\.\PHYSICALDRIVE1)";

// One pass-through command as the transport sends it, and what came back.
struct Outcome {
    pds::os_error error = 0;
    std::uint8_t status = 0;
    Bytes data;           // the bytes moved
    Bytes sense;          // SenseInfoLength bytes
};

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
    return block;
}

// An open device of a simulated host.
struct Device {
    pds::Platform* host = nullptr;
    pds::DeviceHandle handle = 0;

    Outcome scsi(const Bytes& cdb, std::uint32_t length, std::uint8_t data_in = win::SCSI_IOCTL_DATA_IN,
                 std::uint8_t sense_length = 24) const {
        Bytes buffer(std::max<std::uint32_t>(length, 1), 0xCC);
        auto block = block_for(cdb, length, data_in, sense_length, buffer.data());
        std::uint32_t returned = 0;
        Outcome o;
        o.error = host->device_io_control(handle, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                                          sizeof block, returned);
        o.status = block.sptd.ScsiStatus;
        o.data.assign(buffer.begin(), buffer.begin() + std::min<std::size_t>(block.sptd.DataTransferLength, length));
        o.sense.assign(block.sense, block.sense + std::min<std::size_t>(block.sptd.SenseInfoLength, 32));
        return o;
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
const Bytes kInvalidField = sense_of(5, 0x24);

Bytes slice(const Bytes& b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

const Bytes kInquiry6 = {0x12, 0, 0, 0, 0xFE, 0};
const Bytes kReadCapacity10 = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
Bytes evpd(std::uint8_t page, std::uint8_t length = 0xFF) { return {0x12, 0x01, page, 0, length, 0}; }

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
    EXPECT_EQ(slice(d.scsi({0x28, 0, 0x00, 0x0F, 0xFF, 0xFF, 0, 0, 1, 0}, 512).data, 0, 4), (Bytes{'L', 'A', 'S', 'T'}));
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
    // Pass-through needs write access, as on Windows.
    EXPECT_EQ((Device{sim.get(), h}.scsi(kInquiry6, 254).error), pds::kErrorAccessDenied);
    EXPECT_EQ(sim->close_device(h), 0u);
    EXPECT_EQ(sim->close_device(h), pds::kErrorInvalidHandle);

    EXPECT_EQ(open(*sim, R"(\\.\PHYSICALDRIVE2)", win::GENERIC_READ, h), pds::kErrorSharingViolation);
    EXPECT_EQ(open(*sim, R"(\\.\PHYSICALDRIVE3)", kReadWrite, h), pds::kErrorAccessDenied);
    EXPECT_EQ(open(*sim, R"(\\.\PHYSICALDRIVE4)", kReadWrite, h), pds::kErrorFileNotFound);
    EXPECT_EQ(open(*sim, R"(\\.\PHYSICALDRIVE9)", kReadWrite, h), pds::kErrorFileNotFound) << "not in the file";
    EXPECT_EQ(open(*sim, R"(\\.\PhysicalDrive5)", kReadWrite, h), 0u) << "Windows paths ignore case";
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

// ---- the CDB log and the refusal of writes ----------------------------------------------------

// The log's command lines (not the '#' comments).
std::vector<std::string> log_lines(const std::string& log) {
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    }
    return lines;
}

TEST(SimDeviceLog, ConcurrentCommandsNeverShareALine) {
    Scratch s;
    set_env("SIL_SIM_LOG", s.path("cdb.log"));
    auto sim = sim_host(kPlainHost, s);
    set_env("SIL_SIM_LOG", "");
    ASSERT_NE(sim, nullptr);
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

// A system call's exchange as the log shows it: the 20 bytes the WRITE BUFFER sent, the 18 of its
// 32-byte READ BUFFER the device answered, and a sleep of the virtual clock between them.
TEST(SimDeviceLog, ShowsBufferBytesAndSleeps) {
    Scratch s;
    set_env("SIL_SIM_LOG", s.path("cdb.log"));
    auto sim = sim_host(R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE1", "inquiry": "00", "commands": [{"cdb": "3B", "reply": ""},
        {"cdb": "3C", "reply": "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF B0 B1"}]}]})", s);
    set_env("SIL_SIM_LOG", "");
    ASSERT_NE(sim, nullptr);
    const Device d = open_device(*sim);
    Bytes request(20);
    for (std::size_t i = 0; i < request.size(); ++i) request[i] = static_cast<std::uint8_t>(i);
    auto block = block_for({0x3B, 0x01, 0, 0, 0, 0, 0, 0, 0x14, 0}, 20, win::SCSI_IOCTL_DATA_OUT, 24, request.data());
    std::uint32_t returned = 0;
    ASSERT_EQ(sim->device_io_control(d.handle, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                                     sizeof block, returned), 0u);
    sim->sleep_ms(76800);
    EXPECT_EQ(d.scsi({0x3C, 0x01, 0, 0, 0, 0, 0, 0, 0x20, 0}, 32).data.size(), 18u);
    std::ifstream log(s.path("cdb.log"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}),
              "# open \\\\.\\PHYSICALDRIVE1 0xc0000000 -> 0\n"
              "\\\\.\\PHYSICALDRIVE1 out 20 3b 01 00 00 00 00 00 00 14 00\n"
              "# data-out 20 bytes\n"
              "#   0000 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"
              "#   0010 10 11 12 13\n"
              "# sleep 76800 ms\n"
              "\\\\.\\PHYSICALDRIVE1 in 32 3c 01 00 00 00 00 00 00 20 00\n"
              "# data-in 18 bytes\n"
              "#   0000 a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af\n"
              "#   0010 b0 b1\n");
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

}  // namespace
