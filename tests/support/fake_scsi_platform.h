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

class FakeScsiPlatform : public pds::Platform {
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
    pds::LocalTime local_time() override { return real_.local_time(); }
    std::string date_text() override { return real_.date_text(); }
    std::int64_t epoch_seconds() override { return real_.epoch_seconds(); }
    std::uint32_t process_id() override { return real_.process_id(); }
    std::uint32_t thread_number() override { return real_.thread_number(); }
    std::uint64_t thread_id() override { return real_.thread_id(); }
    pds::HostIdentity host_identity() override { return host; }
    std::optional<std::string> user_name() override { return real_.user_name(); }
    pds::os_error open_named_mutex(const std::string& name, std::unique_ptr<pds::NamedMutex>& out) override {
        return real_.open_named_mutex(name, out);
    }
    pds::os_error open_shared_memory(const std::string& name, std::size_t size, std::unique_ptr<pds::SharedMemory>& out,
                                     bool& created) override {
        return real_.open_shared_memory(name, size, out, created);
    }
    pds::os_error device_io_control(pds::DeviceHandle handle, std::uint32_t code, const void* in,
                                    std::uint32_t in_length, void* out, std::uint32_t out_length,
                                    std::uint32_t& returned) override;
    std::uint32_t mp_scsi_pass_through(pds::DeviceHandle, std::uint32_t, void*) override { return pds::kMpNotEnabled; }
    pds::os_error run_tool(const std::string& command_line, std::string* output, int& exit_status) override {
        return real_.run_tool(command_line, output, exit_status);
    }

private:
    pds::Platform& real_;
};

// The process's fake, installed (once per process) in place of the real provider on first use,
// and reset. The library is started on it.
FakeScsiPlatform& fake_scsi_platform();

}  // namespace testsupport
