// Test support: a platform that hands the host-side calls (time, ids, user, named objects, tools) to the real provider.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <pds/platform.h>

namespace testsupport {

// Base of the scripted fakes: they answer the device-side calls themselves and let the real
// provider answer the rest, so the library starts normally on them. The fakes keep their own
// environment and host identity.
class ForwardingPlatform : public pds::Platform {
public:
    explicit ForwardingPlatform(pds::Platform& real) : real_(real) {}

    pds::LocalTime local_time() override { return real_.local_time(); }
    std::string date_text() override { return real_.date_text(); }
    std::int64_t epoch_seconds() override { return real_.epoch_seconds(); }
    std::uint32_t process_id() override { return real_.process_id(); }
    std::uint32_t thread_number() override { return real_.thread_number(); }
    std::uint64_t thread_id() override { return real_.thread_id(); }
    std::optional<std::string> user_name() override { return real_.user_name(); }
    pds::os_error open_named_mutex(const std::string& name, std::unique_ptr<pds::NamedMutex>& out) override {
        return real_.open_named_mutex(name, out);
    }
    pds::os_error open_shared_memory(const std::string& name, std::size_t size, std::unique_ptr<pds::SharedMemory>& out,
                                     bool& created) override {
        return real_.open_shared_memory(name, size, out, created);
    }
    std::uint32_t mp_scsi_pass_through(pds::DeviceHandle, std::uint32_t, void*) override { return pds::kMpNotEnabled; }
    pds::os_error run_tool(const std::string& command_line, std::string* output, int& exit_status) override {
        return real_.run_tool(command_line, output, exit_status);
    }

protected:
    pds::Platform& real_;
};

}  // namespace testsupport
