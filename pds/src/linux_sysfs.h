// What sysfs tells about the host's SCSI disks, their block devices and device-mapper multipath maps, read from a root given by the caller.
//
// The root is "/sys" in production and a temporary tree in tests. Every read is bounded; an
// attribute that is missing or malformed is absent (nullopt), never a zero that pretends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pds::linux_sysfs {

using Bytes = std::vector<std::uint8_t>;

// Bus types of the storage descriptors.
inline constexpr std::uint32_t kBusScsi = 1;
inline constexpr std::uint32_t kBusFibre = 6;
inline constexpr std::uint32_t kBusIscsi = 9;
inline constexpr std::uint32_t kBusSas = 10;
inline constexpr std::uint32_t kBusSata = 11;

// A SCSI device's host:channel:target:lun, as the kernel names it ("2:0:1:5").
struct Hctl {
    std::uint32_t host = 0;
    std::uint32_t channel = 0;
    std::uint32_t target = 0;
    std::uint64_t lun = 0;
    bool operator==(const Hctl&) const = default;
};
std::optional<Hctl> parse_hctl(std::string_view text);

// The sd driver's names: disk index 0 is "sda", 25 "sdz", 26 "sdaa", 701 "sdzz", 702 "sdaaa".
std::string sd_name(std::uint32_t index);
// The inverse; nullopt for a name the sd driver does not give (a partition "sda1", "vda").
std::optional<std::uint32_t> sd_index(std::string_view name);

// One disk of the sd driver.
struct ScsiDisk {
    std::string name;        // "sda"
    std::uint32_t index = 0; // sd_index(name)
    Hctl address;
};
// Every disk the sd driver has (class/scsi_disk/*/device/block/*), in the kernel's naming order.
std::vector<ScsiDisk> scsi_disks(const std::string& root);

// A SCSI device's facts (its directory under devices/, the one class/scsi_disk/*/device names).
struct ScsiDeviceFacts {
    std::optional<Hctl> address;
    std::optional<std::string> vendor, model, revision;  // as the kernel reports them, padding kept
    std::optional<Bytes> inquiry;                        // the kernel's copy of the INQUIRY answer
    std::optional<std::string> serial;                   // VPD page 80, when the kernel read it
    std::uint32_t bus_type = kBusScsi;
};
ScsiDeviceFacts scsi_device_facts(const std::string& device_dir);

// A block device (a disk or a partition) found by its device number.
struct BlockFacts {
    std::string name;                        // "sdb1", "dm-3"
    std::string disk_name;                   // the whole disk's name ("sdb")
    std::optional<std::string> scsi_device;  // the disk's SCSI device directory, when it has one
    std::optional<std::uint32_t> partition;  // 0 for a whole disk
    std::optional<std::uint64_t> start;      // first 512-byte sector of a partition
    std::optional<bool> removable;
    std::optional<std::uint32_t> max_sectors_kb, max_segments, dma_alignment;
    bool multipath_map = false;              // a device-mapper multipath map
};
std::optional<BlockFacts> block_facts(const std::string& root, unsigned major, unsigned minor);
// A character device's SCSI device directory (an sg node, a raw node of a SCSI disk).
std::optional<std::string> char_scsi_device(const std::string& root, unsigned major, unsigned minor);

// One logical unit of a SCSI host with its INQUIRY bytes and whether a driver holds it.
struct HostUnit {
    Hctl address;
    Bytes inquiry;
    bool claimed = false;
};
// Every SCSI device of host `host` (class/scsi_device/*) with INQUIRY bytes, ordered by channel,
// target and LUN.
std::vector<HostUnit> host_units(const std::string& root, std::uint32_t host);
// The host's own id on its bus (scsi_host/host<N>/this_id), when it has one.
std::optional<std::uint32_t> host_own_id(const std::string& root, std::uint32_t host);

// A device-mapper multipath map: block/dm-*/dm/uuid beginning "mpath-".
struct MultipathMap {
    std::string name;                 // dm/name ("mpatha")
    std::string node;                 // "dm-3"
    std::vector<std::string> slaves;  // its paths' block devices ("sdb", "sdc"), sorted
};
// Every multipath map of the host, in name order.
std::vector<MultipathMap> multipath_maps(const std::string& root);
// The name under which the multipathing client lists a map: "/dev/mapper/<name>", or
// "/dev/dm-N" when that would not fit `limit` bytes.
std::string multipath_volume_name(const MultipathMap& map, std::size_t limit);

// The names in a directory, sorted; empty when it cannot be read.
std::vector<std::string> directory_names(const std::string& dir);

}  // namespace pds::linux_sysfs
