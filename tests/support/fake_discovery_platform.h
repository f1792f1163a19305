// Test support: a platform with scripted disk interfaces, volumes, registry and multipathing volumes for the device list builder.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <pds/platform.h>

#include "forwarding_platform.h"

namespace testsupport {

class FakeDiscoveryPlatform : public ForwardingPlatform, public pds::MultipathClient {
public:
    // A disk reachable through its interface path and through its drive path.
    struct Disk {
        std::string interface_path;  // what the interface enumeration names
        std::uint32_t number = 0;    // its storage device number; the drive path follows from it
        pds::os_error interface_open = 0;  // error of opening the interface path
        std::string vendor = "XMV";
        std::string product = "KORVALITH";
        std::string revision = "5874";
        bool has_address = true;
        std::uint8_t path_id = 0;
        std::uint8_t target_id = 0;
        std::uint8_t lun = 0;
    };
    struct Volume {
        std::string root;  // "C:\"
        std::uint32_t type = pds::kDriveFixed;
        std::uint32_t disk_number = 0;
        std::optional<std::int64_t> partition_length;  // absent: the query fails
    };

    // ---- the host --------------------------------------------------------------------------------
    std::vector<Disk> disks;              // enumerated in this order
    pds::os_error class_error = 0;        // open_disk_interfaces
    pds::os_error end_error = pds::kErrorNoMoreItems;  // enumeration past the last disk
    std::optional<std::uint32_t> detail_size_fails_at;  // interface index whose size query fails (error 87)
    std::optional<std::uint32_t> detail_path_fails_at;  // interface index whose path query fails (error 87)
    std::vector<Volume> volumes;
    std::optional<std::uint32_t> drive_strings_required;  // overrides the length the roots need
    bool registry_has_instances_key = false;
    // instance → its SILPORT value (nullopt: the PORTS key has no SILPORT)
    std::vector<std::pair<std::string, std::optional<std::uint32_t>>> instances;
    std::optional<std::vector<std::string>> mp_volumes;  // absent: no driver library
    std::optional<std::uint32_t> mp_second_count;         // what the second listing reports
    std::map<std::string, std::string> environment;
    pds::HostIdentity host;
    std::map<std::string, std::pair<std::string, int>> tools;  // command line → output, exit status

    // ---- what the library did ---------------------------------------------------------------------
    std::vector<std::string> opens;         // every path asked for, in order
    std::vector<std::string> tool_runs;
    std::uint32_t open_handles = 0;         // handles not closed again

    explicit FakeDiscoveryPlatform(pds::Platform& real);
    void reset();
    // Opens of drive paths ("\\.\PHYSICALDRIVE<n>"): what the gather did.
    std::vector<std::string> drive_opens() const;

    std::string_view name() const override { return "fake-discovery"; }
    std::optional<std::string> get_env(const char* name) override;
    pds::HostIdentity host_identity() override { return host; }
    pds::os_error open_device(const pds::DeviceOpenRequest& request, pds::DeviceHandle& out) override;
    pds::os_error close_device(pds::DeviceHandle handle) override;
    pds::os_error device_io_control(pds::DeviceHandle handle, std::uint32_t code, const void* in,
                                    std::uint32_t in_length, void* out, std::uint32_t out_length,
                                    std::uint32_t& returned) override;
    std::uint32_t set_error_mode(std::uint32_t mode) override;
    pds::MultipathClient& multipath_client() override { return *this; }
    std::uint32_t mp_scsi_pass_through(pds::DeviceHandle, std::uint32_t, void*) override { return pds::kMpNotEnabled; }
    std::uint32_t mp_list_volumes(std::uint32_t& count, char* names) override;
    pds::os_error open_disk_interfaces(std::unique_ptr<pds::DiskInterfaceSet>& out) override;
    pds::os_error logical_drive_strings(std::uint32_t buffer_length, std::string& roots,
                                        std::uint32_t& required) override;
    std::uint32_t drive_type(const std::string& root) override;
    pds::os_error registry_open_local_machine(const std::string& subkey,
                                              std::unique_ptr<pds::RegistryKey>& out) override;
    pds::os_error run_tool(const std::string& command_line, std::string* output, int& exit_status) override;

    std::uint32_t error_mode = 0;
    std::uint32_t error_mode_while_opening = 0;  // the mode in force at the last open

private:
    struct Target {
        const Disk* disk = nullptr;
        const Volume* volume = nullptr;
    };
    const Disk* disk_by_number(std::uint32_t number) const;
    std::mutex m_;  // the threaded gather opens devices from several threads
    std::map<pds::DeviceHandle, Target> handles_;
    pds::DeviceHandle next_handle_ = 0x100;
};

// The process's fake, installed once in place of the real provider, reset, library started.
FakeDiscoveryPlatform& fake_discovery_platform();

}  // namespace testsupport
