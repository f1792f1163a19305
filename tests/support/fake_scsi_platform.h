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
#include <pds/product_clients.h>

#include "forwarding_platform.h"

namespace testsupport {

// What the device answers to one command.
struct ScsiAnswer {
    bool ok = true;                   // false: CHECK CONDITION with sense key 5 (illegal request)
    std::vector<std::uint8_t> data;   // copied into the data buffer, cut to the transfer length
};

// One device call as the platform received it (every control code), for tests of the transport.
struct DeviceCall {
    std::uint32_t code;
    std::vector<std::uint8_t> in;  // the input as the call received it
    std::uint32_t out_length;
    std::uint32_t error_mode;      // the process error mode while the call ran
};

// Answers one device call itself, in place of the scripted device; `out` is the caller's buffer.
using RawAnswer = std::function<pds::os_error(std::uint32_t code, void* out, std::uint32_t out_length,
                                              std::uint32_t& returned)>;

// One command the device saw.
struct ScsiCommand {
    std::vector<std::uint8_t> cdb;    // CdbLength bytes
    std::uint32_t transfer_length = 0;
    std::uint32_t timeout = 0;        // TimeOutValue of the pass-through block
};

class FakeScsiPlatform : public ForwardingPlatform, public pds::MultipathClient {
public:
    using Responder = std::function<ScsiAnswer(const std::vector<std::uint8_t>& cdb)>;

    // Handle the test gives its device record (`fid`).
    static constexpr pds::DeviceHandle kHandle = 0x5151;

    static constexpr std::uint32_t kInitialErrorMode = 0x8000;

    Responder responder;                          // unset: every command fails
    RawAnswer raw;                                // set: answers every device call instead
    std::function<std::uint32_t(void* block)> on_mp;  // the multipathing driver's pass-through
    std::vector<DeviceCall> calls;                // every device call, in order
    std::vector<std::uint32_t> mp_values;         // the value handed with each multipath call
    std::uint32_t error_mode = kInitialErrorMode;
    std::vector<ScsiCommand> commands;            // in the order sent
    std::map<std::string, std::string> environment;
    pds::HostIdentity host;                       // Windows 10.0 unless the test changes it

    // `real` answers what is not about devices (named mutexes, shared memory, time), so the
    // library starts normally on the fake.
    explicit FakeScsiPlatform(pds::Platform& real);

    // Back to a device that answers nothing (multipath not installed), an empty environment and
    // Windows 10.0.
    void reset();

    // Commands whose opcode (and, when given, second byte) match.
    std::vector<ScsiCommand> sent(std::uint8_t opcode, std::optional<std::uint8_t> byte1 = std::nullopt) const;

    std::string_view name() const override { return "fake-scsi"; }
    std::optional<std::string> get_env(const char* name) override;
    pds::HostIdentity host_identity() override { return host; }
    pds::os_error device_io_control(pds::DeviceHandle handle, std::uint32_t code, const void* in,
                                    std::uint32_t in_length, void* out, std::uint32_t out_length,
                                    std::uint32_t& returned) override;
    std::uint32_t set_error_mode(std::uint32_t mode) override;
    // The multipathing driver is the fake itself: its pass-through is `on_mp`, it lists no volumes.
    pds::MultipathClient& multipath_client() override { return *this; }
    std::uint32_t mp_scsi_pass_through(pds::DeviceHandle handle, std::uint32_t value, void* block) override;
    std::uint32_t mp_list_volumes(std::uint32_t& count, char*) override {
        count = 0;
        return pds::kMpNotEnabled;
    }
    std::string library_fault() override { return {}; }

};

// The process's fake, installed (once per process) in place of the real provider on first use,
// and reset. The library is started on it.
FakeScsiPlatform& fake_scsi_platform();

}  // namespace testsupport
