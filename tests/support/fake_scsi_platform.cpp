// Test support: the scripted SCSI device behind the platform seam.
#include "fake_scsi_platform.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <pds/platform_testing.h>
#include <pds/win_device_layouts.h>

#include "silinitl.h"

namespace testsupport {

FakeScsiPlatform::FakeScsiPlatform(pds::Platform& real) : ForwardingPlatform(real) { reset(); }

void FakeScsiPlatform::reset() {
    responder = nullptr;
    raw = nullptr;
    on_mp = [](void*) { return pds::kMpNotEnabled; };
    calls.clear();
    mp_values.clear();
    error_mode = kInitialErrorMode;
    commands.clear();
    environment.clear();
    host = pds::HostIdentity{};
    host.sysname = "Windows_NT";
    host.release = "10.0";
    host.os_major = 10;
    host.os_minor = 0;
}

std::vector<ScsiCommand> FakeScsiPlatform::sent(std::uint8_t opcode, std::optional<std::uint8_t> byte1) const {
    std::vector<ScsiCommand> matching;
    for (const ScsiCommand& c : commands) {
        if (c.cdb.empty() || c.cdb[0] != opcode) continue;
        if (byte1 && (c.cdb.size() < 2 || c.cdb[1] != *byte1)) continue;
        matching.push_back(c);
    }
    return matching;
}

std::optional<std::string> FakeScsiPlatform::get_env(const char* name) {
    const auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
}

pds::os_error FakeScsiPlatform::device_io_control(pds::DeviceHandle handle, std::uint32_t code, const void* in,
                                                  std::uint32_t in_length, void* out, std::uint32_t out_length,
                                                  std::uint32_t& returned) {
    returned = 0;
    const auto* bytes = static_cast<const std::uint8_t*>(in);
    calls.push_back({code, std::vector<std::uint8_t>(bytes, bytes + (in != nullptr ? in_length : 0)), out_length, error_mode});
    if (raw) return raw(code, out, out_length, returned);
    using Block = pds::win::ScsiPassThroughDirectWithSense;
    if (handle != kHandle) return pds::kErrorInvalidHandle;
    if (code != pds::win::IOCTL_SCSI_PASS_THROUGH_DIRECT || in_length < sizeof(Block) || out_length < sizeof(Block)) {
        return pds::kErrorNotSupported;
    }
    Block block;
    std::memcpy(&block, in, sizeof block);
    ScsiCommand command;
    command.cdb.assign(block.sptd.Cdb, block.sptd.Cdb + std::min<std::size_t>(block.sptd.CdbLength, 16));
    command.transfer_length = block.sptd.DataTransferLength;
    command.timeout = block.sptd.TimeOutValue;
    commands.push_back(command);

    const ScsiAnswer answer = responder ? responder(command.cdb) : ScsiAnswer{false, {}};
    if (answer.ok) {
        const std::size_t n = std::min<std::size_t>(answer.data.size(), block.sptd.DataTransferLength);
        if (n != 0) std::memcpy(block.sptd.DataBuffer, answer.data.data(), n);
        block.sptd.DataTransferLength = static_cast<std::uint32_t>(n);
        block.sptd.ScsiStatus = 0;
        block.sptd.SenseInfoLength = 0;
    } else {
        block.sptd.DataTransferLength = 0;
        block.sptd.ScsiStatus = 2;  // CHECK CONDITION
        block.sptd.SenseInfoLength = 18;
        std::memset(block.sense, 0, sizeof block.sense);
        block.sense[0] = 0x70;
        block.sense[2] = 0x05;  // ILLEGAL REQUEST
        block.sense[12] = 0x24;
    }
    std::memcpy(out, &block, sizeof block);
    returned = sizeof block;
    return 0;
}

std::uint32_t FakeScsiPlatform::set_error_mode(std::uint32_t mode) { return std::exchange(error_mode, mode); }

std::uint32_t FakeScsiPlatform::mp_scsi_pass_through(pds::DeviceHandle, std::uint32_t value, void* block) {
    mp_values.push_back(value);
    return on_mp(block);
}

FakeScsiPlatform& fake_scsi_platform() {
    static FakeScsiPlatform* const fake = [] {
        auto owned = std::make_unique<FakeScsiPlatform>(pds::platform());
        FakeScsiPlatform* raw = owned.get();
        pds::install_platform_for_tests(std::move(owned));
        SIL_init(0, 0, SIL_LIBRARY_VERSION, "fake scsi tests", "fake", "today");
        return raw;
    }();
    fake->reset();
    return *fake;
}

}  // namespace testsupport
