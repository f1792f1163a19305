// Tests of the simulated high-end array through the seam's pass-through: format-6 requests built by hand, and the reply bytes worked out by hand from the wire format.
#include "pds/byteorder.h"
#include "pds/platform.h"
#include "pds/win_device_layouts.h"
#include "sim_array.h"
#include "support/sim_host_scratch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

namespace win = pds::win;
using Bytes = std::vector<std::uint8_t>;

// Device 1 of array ...0001 mirrors to device 0x20 of ...0002 over group 3; the first 0x0116 call
// is busy, the first group table asks for a poll.
const char* const kHost = R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE1", "personality": "korvalith_lun",
  "params": {"array_serial": "000190100001", "device_number": "1", "director": 1, "port": 0, "microcode": "5874", "blocks": 2048}}],
 "arrays": [{"serial": "000190100001", "microcode": "5874",
  "remote_arrays": [{"serial": "000190100002", "microcode": 5874, "groups": [3]}],
  "devices": [{"device_number": "1", "mirrors": [{"mirror": 1, "role": "rpx1", "group": 3, "remote_device": "20"}]}],
  "faults": [{"kind": "busy", "call": "0116", "times": 1},
             {"kind": "poll", "call": "0181", "subcommand": 2, "sleep_tenths": 768, "times": 1}]}]})";

struct Outcome {
    std::uint8_t status = 0;
    Bytes data;
    Bytes sense;
};

class SimArray : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(sim_, nullptr);
        pds::DeviceOpenRequest request;
        request.path = R"(\\.\PHYSICALDRIVE1)";
        request.desired_access = win::GENERIC_READ | win::GENERIC_WRITE;
        ASSERT_EQ(sim_->open_device(request, handle_), 0u);
    }
    Outcome scsi(const Bytes& cdb, Bytes buffer, std::uint8_t direction) {
        win::ScsiPassThroughDirectWithSense b{};
        b.sptd.Length = sizeof(win::ScsiPassThroughDirect);
        b.sptd.CdbLength = static_cast<std::uint8_t>(cdb.size());
        b.sptd.SenseInfoLength = 24;
        b.sptd.SenseInfoOffset = offsetof(win::ScsiPassThroughDirectWithSense, sense);
        b.sptd.DataIn = direction;
        b.sptd.DataTransferLength = static_cast<std::uint32_t>(buffer.size());
        b.sptd.DataBuffer = buffer.data();
        std::memcpy(b.sptd.Cdb, cdb.data(), cdb.size());
        std::uint32_t returned = 0;
        EXPECT_EQ(sim_->device_io_control(handle_, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &b, sizeof b, &b, sizeof b, returned), 0u);
        buffer.resize(b.sptd.DataTransferLength);
        return {b.sptd.ScsiStatus, buffer, Bytes(b.sense, b.sense + b.sptd.SenseInfoLength)};
    }
    // WRITE BUFFER of `request` under its chain code, then READ BUFFER of `allocation` bytes.
    Outcome call(const Bytes& request, std::uint32_t allocation = 0x8100) {
        const std::uint8_t c0 = request[4], c1 = request[5];
        const auto n = static_cast<std::uint32_t>(request.size());
        EXPECT_EQ(scsi({0x3B, 1, 0x5D, 4, c0, c1, 0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), 0}, request,
                       win::SCSI_IOCTL_DATA_OUT).status, 0);
        return scsi({0x3C, 1, 0x1C, 4, c0, c1, static_cast<std::uint8_t>(allocation >> 16), static_cast<std::uint8_t>(allocation >> 8),
                     static_cast<std::uint8_t>(allocation), 0}, Bytes(allocation, 0), win::SCSI_IOCTL_DATA_IN);
    }
    testsupport::Scratch scratch_;
    std::unique_ptr<pds::Platform> sim_ = testsupport::sim_host(kHost, scratch_);
    pds::DeviceHandle handle_ = 0;
};

// The 112-byte request without parameters: outer header, then the 104-byte system-call header.
Bytes request(std::uint16_t chain, std::uint16_t call, std::uint8_t sub, std::uint32_t start, std::uint32_t count) {
    Bytes b = {'X', 'M', 'V', 4, static_cast<std::uint8_t>(chain >> 8), static_cast<std::uint8_t>(chain), 0, 104,
               0x17, 0xCE, 0x03, 0x06, static_cast<std::uint8_t>(call >> 8), static_cast<std::uint8_t>(call), 0, 96};
    b.resize(112, 0);
    b[24] = sub;
    b[30] = 0x02, b[31] = 0x10;  // header flags 0x210
    pds::store_be32(std::span(b).subspan(80), start);
    pds::store_be32(std::span(b).subspan(84), count);
    pds::store_be32(std::span(b).subspan(16), pds::sim::syscall_crc(std::span(b).subspan(20)));
    return b;
}

// The reply as worked out, with the echoed request CRC and the reply's own CRC (over reply header
// offset 16 on, i.e. buffer offset 24) put in.
Bytes with_crcs(Bytes expected, const Bytes& req) {
    std::copy_n(req.begin() + 16, 4, expected.begin() + 16);
    pds::store_be32(std::span(expected).subspan(20), pds::sim::syscall_crc(std::span(expected).subspan(24)));
    return expected;
}

TEST(SimArrayCrc, HandWorkedVectors) {
    EXPECT_EQ(pds::sim::syscall_crc({}), 0u);
    // 0x01: one xor with the polynomial, then shifts: EDB88320 76DC4190 3B6E20C8 1DB71064 0EDB8832
    // 076DC419, lsb 1: 03B6E20C ^ EDB88320 = EE0E612C, then 77073096.
    EXPECT_EQ(pds::sim::syscall_crc(Bytes{0x01}), 0x77073096u);
    EXPECT_EQ(pds::sim::syscall_crc(Bytes{0x80}), 0xEDB88320u);  // seven plain shifts reach bit 0
}

TEST_F(SimArray, RemoteArrayTable) {
    const Bytes req = request(7, 0x0181, 1, 0, 65535);
    const Bytes expected = with_crcs({'X', 'M', 'V', 4, 0, 7, 0, 72,             // 24 + 16 counters + one 32-byte record
                                      0, 0, 0, 6, 0x01, 0x81, 0, 64, 0, 0, 0, 0, 0, 0, 0, 0,
                                      1, 0, 0, 0, 0, 0, 0, 1,                  // subcommand 1; counters present
                                      0, 0, 0, 1, 0, 0, 0, 32, 0, 0, 0, 0, 0, 0, 0, 1,
                                      '0', '0', '0', '1', '9', '0', '1', '0', '0', '0', '0', '2', 0, 0, 0, 0,
                                      0x16, 0xF2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'V'},  // 5874 = 0x16F2
                                     req);
    EXPECT_EQ(call(req).data, expected);
}

TEST_F(SimArray, DeviceStatesInPassesWhenOneReplyHoldsOneRecord) {
    // 8 + 24 + 16 + 48: room for one record of the two (devices 0 and 1): data overrun, record 0.
    Bytes first(48, 0);
    first.insert(first.begin(), {'X', 'M', 'V', 4, 0, 8, 0, 88, 0, 0x84, 0, 6, 0x92, 0x50, 0, 80, 0, 0, 0, 0, 0, 0, 0, 0,
                                 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 48, 0, 0, 0, 0, 0, 0, 0, 2});
    const Bytes req1 = request(8, 0x9250, 1, 0, 2);
    EXPECT_EQ(call(req1, 96).data, with_crcs(first, req1));
    // Device 1: role RPX1 of mirror 1 at 14; slot 24: remote 0x20, mirror 1, group 3, "V".
    Bytes second = {'X', 'M', 'V', 4, 0, 9, 0, 88, 0, 0, 0, 6, 0x92, 0x50, 0, 80, 0, 0, 0, 0, 0, 0, 0, 0,
                    1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 48, 0, 0, 0, 1, 0, 0, 0, 2,
                    0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                    0, 0, 0, 0x20, 0, 0, 0, 0, 1, 3, 0, 'V'};
    second.resize(8 + 24 + 16 + 48, 0);
    const Bytes req2 = request(9, 0x9250, 1, 1, 1);
    EXPECT_EQ(call(req2, 96).data, with_crcs(second, req2));
}

TEST_F(SimArray, BusyThenTheOlderStateRecord) {
    const Bytes req = request(10, 0x0116, 1, 0, 2);
    EXPECT_EQ(call(req).data, with_crcs({'X', 'M', 'V', 4, 0, 10, 0, 24, 0, 0x95, 0, 6, 0x01, 0x16, 0, 16,
                                         0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, req));
    const Bytes again = call(request(11, 0x0116, 1, 0, 2)).data;  // the second pass is answered
    ASSERT_EQ(again.size(), 8u + 24 + 16 + 2 * 48);
    EXPECT_EQ(again[9], 0);
    Bytes device1 = {0, 1, 0, 0, 1};  // 16-bit number, role of mirror 1; slot 16: remote 0x0020, group 3, "V"
    device1.resize(16, 0);
    device1.insert(device1.end(), {0, 0x20, 3, 0, 0, 0, 0, 'V'});
    device1.resize(48, 0);
    EXPECT_EQ(Bytes(again.begin() + 96, again.end()), device1);
}

TEST_F(SimArray, PollCarriesTheSleepAndThePass) {
    const Bytes req = request(13, 0x0181, 2, 0, 65535);  // no counters; data: 768 tenths, request 1
    EXPECT_EQ(call(req).data, with_crcs({'X', 'M', 'V', 4, 0, 13, 0, 32, 0, 0xA0, 0, 6, 0x01, 0x81, 0, 24, 0, 0, 0, 0, 0, 0, 0, 0,
                                         2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0x00, 0, 0, 0, 1}, req));
}

TEST_F(SimArray, RequestsTheArrayCannotTake) {
    Bytes bad = request(12, 0x0181, 1, 0, 65535);
    bad[111] ^= 1;  // the CRC no longer covers the bytes
    Bytes bad_buff(32, 0);
    bad_buff[0] = 1;
    EXPECT_EQ(call(bad).data, bad_buff);
    const Bytes invalid_field = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0, 0, 0, 0, 0};
    EXPECT_EQ(scsi({0x3C, 1, 0x1C, 4, 0x3F, 0xFF, 0, 0x81, 0, 0}, Bytes(0x8100, 0), win::SCSI_IOCTL_DATA_IN).sense,
              invalid_field) << "no request under chain code 0x3FFF";
    EXPECT_EQ(scsi({0x3B, 2, 0x5D, 4, 0, 12, 0, 0, 112, 0}, request(12, 0x0181, 1, 0, 1), win::SCSI_IOCTL_DATA_OUT).sense,
              invalid_field) << "WRITE BUFFER mode 2";
}

}  // namespace
