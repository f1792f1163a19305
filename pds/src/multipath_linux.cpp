// The multipathing client of a Linux host: its device-mapper multipath maps listed as volumes, and pass-through to a map's current path.
#include "linux_devices.h"
#include "linux_sysfs.h"
#include "pds/win_device_layouts.h"

#include <algorithm>
#include <cstring>

namespace pds::linux_devices {
namespace {

constexpr std::uint32_t kMpFailed = 1;  // MP_E_FAIL
// A volume name and its NUL fill one entry.
constexpr std::size_t kLongestVolumeName = kMpVolumeNameBytes - 1;

class DeviceMapperMultipath final : public MultipathClient {
public:
    explicit DeviceMapperMultipath(DeviceTable& table) : table_(table) {}

    // SG_IO on a map goes to the path the kernel's multipath target currently uses.
    std::uint32_t mp_scsi_pass_through(DeviceHandle handle, std::uint32_t value, void* block) override {
        if (maps().empty()) return absent_multipath_driver().mp_scsi_pass_through(handle, value, block);
        if (block == nullptr || !table_.multipath_map(handle)) return kMpFailed;
        constexpr auto kBlock = static_cast<std::uint32_t>(sizeof(win::ScsiPassThroughDirectWithSense));
        std::uint32_t returned = 0;
        return table_.io_control(handle, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, block, kBlock, block, kBlock, returned) == 0
                   ? 0
                   : kMpFailed;
    }

    std::uint32_t mp_list_volumes(std::uint32_t& count, char* names) override {
        const std::vector<linux_sysfs::MultipathMap> found = maps();
        if (found.empty()) return absent_multipath_driver().mp_list_volumes(count, names);
        const std::size_t room = names != nullptr ? count : 0;
        for (std::size_t i = 0; i < std::min(room, found.size()); ++i) {
            const std::string name = linux_sysfs::multipath_volume_name(found[i], kLongestVolumeName);
            char* entry = names + i * kMpVolumeNameBytes;
            std::memset(entry, 0, kMpVolumeNameBytes);
            std::memcpy(entry, name.data(), std::min(name.size(), kLongestVolumeName));
        }
        count = static_cast<std::uint32_t>(found.size());
        return 0;
    }

    std::string library_fault() override { return {}; }

private:
    std::vector<linux_sysfs::MultipathMap> maps() const { return linux_sysfs::multipath_maps(table_.sysfs_root()); }

    DeviceTable& table_;
};

}  // namespace

std::unique_ptr<MultipathClient> make_multipath_client(DeviceTable& table) {
    return std::make_unique<DeviceMapperMultipath>(table);
}

}  // namespace pds::linux_devices
