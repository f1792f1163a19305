// Test support: a platform that hands the host-side calls (time, ids, user, named objects, tools) to the real provider.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <pds/platform.h>
#include <pds/product_clients.h>

namespace testsupport {

// Base of the scripted fakes: they answer the device-side calls themselves and let the real
// provider answer the rest, so the library starts normally on them. The fakes keep their own
// environment and host identity. Device and discovery calls a fake does not script find no
// devices, and the host has none of the storage products.
class ForwardingPlatform : public pds::Platform {
public:
    explicit ForwardingPlatform(pds::Platform& real) : real_(real) {}

    pds::LocalTime local_time() override { return real_.local_time(); }
    std::string date_text() override { return real_.date_text(); }
    std::int64_t epoch_seconds() override { return real_.epoch_seconds(); }
    std::int64_t monotonic_ns() override { return real_.monotonic_ns(); }
    void sleep_ms(std::uint32_t milliseconds) override { real_.sleep_ms(milliseconds); }
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
    std::string named_object_advice() override { return real_.named_object_advice(); }
    pds::os_error open_device(const pds::DeviceOpenRequest&, pds::DeviceHandle& out) override {
        out = 0;
        return pds::kErrorNotSupported;
    }
    pds::os_error close_device(pds::DeviceHandle) override { return pds::kErrorInvalidHandle; }
    pds::os_error device_io_control(pds::DeviceHandle, std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                                    std::uint32_t& returned) override {
        returned = 0;
        return pds::kErrorNotSupported;
    }
    std::uint32_t set_error_mode(std::uint32_t) override { return 0; }
    pds::os_error open_disk_interfaces(std::unique_ptr<pds::DiskInterfaceSet>&) override {
        return pds::kErrorNotSupported;
    }
    pds::os_error logical_drive_strings(std::uint32_t, std::string&, std::uint32_t& required) override {
        required = 0;
        return pds::kErrorNotSupported;
    }
    std::uint32_t drive_type(const std::string&) override { return pds::kDriveUnknown; }
    std::string disk_name(std::uint32_t number) override { return pds::windows_disk_name(number); }
    pds::os_error registry_open_local_machine(const std::string&, std::unique_ptr<pds::RegistryKey>&) override {
        return pds::kErrorFileNotFound;
    }
    pds::ServiceProcessorClient& service_processor_client() override { return pds::absent_service_processor(); }
    pds::MultipathClient& multipath_client() override { return pds::absent_multipath_driver(); }
    pds::os_error locate_program(const std::string& file_name, std::string& path) override {
        return real_.locate_program(file_name, path);
    }
    pds::os_error run_tool(const std::string& command_line, std::string* output, int& exit_status) override {
        return real_.run_tool(command_line, output, exit_status);
    }
    pds::os_error load_module(const std::string& path, std::unique_ptr<pds::Module>& out, std::string& resolved_path,
                              std::string& message) override {
        return real_.load_module(path, out, resolved_path, message);
    }

protected:
    pds::Platform& real_;
};

}  // namespace testsupport
