// Test support: a platform whose one device answers SCSI pass-through commands from a script the test writes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pds/platform.h>

#include "forwarding_platform.h"

namespace testsupport {

// What the device answers to one command.
struct ScsiAnswer {
    bool ok = true;                   // false: CHECK CONDITION with sense key 5 (illegal request)
    std::vector<std::uint8_t> data;   // copied into the data buffer, cut to the transfer length
};

// One command the device saw.
struct ScsiCommand {
    std::vector<std::uint8_t> cdb;    // CdbLength bytes
    std::uint32_t transfer_length = 0;
    std::uint32_t timeout = 0;        // TimeOutValue of the pass-through block
};

class FakeScsiPlatform : public ForwardingPlatform {
public:
    using Responder = std::function<ScsiAnswer(const std::vector<std::uint8_t>& cdb)>;

    // Handle the test gives its device record (`fid`).
    static constexpr pds::DeviceHandle kHandle = 0x5151;

    Responder responder;                          // unset: every command fails
    std::vector<ScsiCommand> commands;            // in the order sent
    std::map<std::string, std::string> environment;
    pds::HostIdentity host;                       // Windows 10.0 unless the test changes it

    // `real` answers what is not about devices (named mutexes, shared memory, time), so the
    // library starts normally on the fake.
    explicit FakeScsiPlatform(pds::Platform& real);

    // Back to a device that answers nothing, an empty environment and Windows 10.0.
    void reset();

    // Commands whose opcode (and, when given, second byte) match.
    std::vector<ScsiCommand> sent(std::uint8_t opcode, std::optional<std::uint8_t> byte1 = std::nullopt) const;

    std::string_view name() const override { return "fake-scsi"; }
    std::optional<std::string> get_env(const char* name) override;
    pds::HostIdentity host_identity() override { return host; }
    pds::os_error device_io_control(pds::DeviceHandle handle, std::uint32_t code, const void* in,
                                    std::uint32_t in_length, void* out, std::uint32_t out_length,
                                    std::uint32_t& returned) override;

};

// The process's fake, installed (once per process) in place of the real provider on first use,
// and reset. The library is started on it.
FakeScsiPlatform& fake_scsi_platform();

}  // namespace testsupport
