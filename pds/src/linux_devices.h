// The linux provider's device table: opens, handles, and the Windows storage requests answered from SG_IO, block ioctls and sysfs.
//
// Handles are never 0 and are safe to use from several threads: a request holds its device while
// it runs, so a close on another thread only takes effect once the request is done.
#pragma once

#include "pds/platform.h"
#include "pds/product_clients.h"
#include "linux_sysfs.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pds::linux_devices {

// Disks the sd driver does not name get numbers from here up, on first sight, for the process.
inline constexpr std::uint32_t kFirstOtherDiskNumber = 1u << 20;

struct OpenDevice;

// The records the table answers, built from sysfs facts.
// STORAGE_DEVICE_DESCRIPTOR of a SCSI device (`block`: its block device's facts, or null).
std::vector<std::uint8_t> device_descriptor_record(const linux_sysfs::ScsiDeviceFacts& facts,
                                                   const linux_sysfs::BlockFacts* block);
// SCSI_ADDRESS; kErrorNotSupported when the channel, target or LUN exceeds 255.
os_error scsi_address_record(const linux_sysfs::Hctl& address, std::vector<std::uint8_t>& record);
// SCSI_ADAPTER_BUS_INFO of a host's units; `own_id` is the host's id on its buses.
std::vector<std::uint8_t> bus_info_record(std::vector<linux_sysfs::HostUnit> units, std::optional<std::uint32_t> own_id);

class DeviceTable {
public:
    // `sysfs_root` is "/sys" on a real host; `veritas_dir` the directory of Veritas DMP nodes.
    explicit DeviceTable(std::string sysfs_root = "/sys", std::string veritas_dir = "/dev/vx/rdmp");
    ~DeviceTable();
    DeviceTable(const DeviceTable&) = delete;
    DeviceTable& operator=(const DeviceTable&) = delete;

    os_error open(const DeviceOpenRequest& request, DeviceHandle& out);
    os_error close(DeviceHandle handle);
    os_error io_control(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t in_length, void* out,
                        std::uint32_t out_length, std::uint32_t& returned);

    // The disks to enumerate: the sd disks in the kernel's naming order ("/dev/sda", ...), then
    // the Veritas DMP nodes.
    std::vector<std::string> disk_paths() const;
    // The path of disk `number` as IOCTL_STORAGE_GET_DEVICE_NUMBER answers it; empty when absent.
    std::string disk_name(std::uint32_t number);

    // Whether the handle's device is a device-mapper multipath map (no handle: false).
    bool multipath_map(DeviceHandle handle);
    const std::string& sysfs_root() const { return sysfs_root_; }

private:
    std::shared_ptr<OpenDevice> find(DeviceHandle handle);
    os_error device_number(const OpenDevice& device, void* out, std::uint32_t out_length, std::uint32_t& returned);
    os_error bus_info(const OpenDevice& device, void* out, std::uint32_t out_length, std::uint32_t& returned);

    const std::string sysfs_root_;
    const std::string veritas_dir_;
    std::mutex mutex_;
    std::map<DeviceHandle, std::shared_ptr<OpenDevice>> handles_;
    DeviceHandle next_handle_ = 4;
    std::map<std::string, std::uint32_t> other_numbers_;  // path -> number handed out
};

// The client of the device-mapper multipath maps of the table's host (multipath_linux.cpp). It
// lists the maps and carries pass-throughs of `table`'s handles of maps; a host without maps
// answers as absent_multipath_driver() does.
std::unique_ptr<MultipathClient> make_multipath_client(DeviceTable& table);

}  // namespace pds::linux_devices
