// Test support: the scripted host of the device list builder's tests: interfaces, drives, volumes, registry, multipathing.
#include "fake_discovery_platform.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <pds/platform_testing.h>
#include <pds/win_device_layouts.h>

#include "silinitl.h"

namespace testsupport {

namespace {

namespace win = pds::win;

constexpr const char* kInstancesKey = "SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\";
constexpr pds::os_error kInvalidFunction = 1;

std::string drive_path(std::uint32_t number) { return "\\\\.\\PHYSICALDRIVE" + std::to_string(number); }

class FakeInterfaces : public pds::DiskInterfaceSet {
public:
    explicit FakeInterfaces(const FakeDiscoveryPlatform& host) : host_(host) {}
    pds::os_error enumerate(std::uint32_t index) override {
        return index < host_.disks.size() ? 0 : host_.end_error;
    }
    pds::os_error detail_size(std::uint32_t index, std::uint32_t& required) override {
        if (host_.detail_size_fails_at == index) return pds::kErrorInvalidParameter;
        required = static_cast<std::uint32_t>(host_.disks.at(index).interface_path.size() + 5);
        return pds::kErrorInsufficientBuffer;
    }
    pds::os_error detail_path(std::uint32_t index, std::string& path) override {
        if (host_.detail_path_fails_at == index) return pds::kErrorInvalidParameter;
        path = host_.disks.at(index).interface_path;
        return 0;
    }

private:
    const FakeDiscoveryPlatform& host_;
};

class FakeKey : public pds::RegistryKey {
public:
    std::vector<std::string> subkeys;
    std::optional<std::uint32_t> silport;

    pds::os_error enum_subkey(std::uint32_t index, std::string& name) override {
        if (index >= subkeys.size()) return pds::kErrorNoMoreItems;
        name = subkeys[index];
        return 0;
    }
    pds::os_error enum_value(std::uint32_t, std::string&) override { return pds::kErrorNoMoreItems; }
    pds::os_error query_string(const std::string&, std::string&) override { return pds::kErrorFileNotFound; }
    pds::os_error query_dword(const std::string& value_name, std::uint32_t& value) override {
        if (value_name != "SILPORT" || !silport) return pds::kErrorFileNotFound;
        value = *silport;
        return 0;
    }
};

template <typename T>
pds::os_error answer(const T& record, void* out, std::uint32_t out_length, std::uint32_t& returned) {
    if (out_length < sizeof record) return pds::kErrorInsufficientBuffer;
    std::memcpy(out, &record, sizeof record);
    returned = sizeof record;
    return 0;
}

// STORAGE_DEVICE_DESCRIPTOR with the vendor, product and revision texts behind the fixed part.
std::vector<std::uint8_t> descriptor(const FakeDiscoveryPlatform::Disk& disk) {
    std::vector<std::uint8_t> d(win::kStorageDeviceDescriptorHeader, 0);
    const auto put32 = [&d](std::size_t at, std::uint32_t v) { std::memcpy(d.data() + at, &v, 4); };
    const auto text = [&d, &put32](std::size_t offset_field, const std::string& s) {
        put32(offset_field, static_cast<std::uint32_t>(d.size()));
        d.insert(d.end(), s.begin(), s.end());
        d.push_back(0);
    };
    text(12, disk.vendor);
    text(16, disk.product);
    text(20, disk.revision);
    put32(0, 1);
    put32(4, static_cast<std::uint32_t>(d.size()));
    return d;
}

}  // namespace

FakeDiscoveryPlatform::FakeDiscoveryPlatform(pds::Platform& real) : ForwardingPlatform(real) { reset(); }

void FakeDiscoveryPlatform::reset() {
    disks.clear();
    class_error = 0;
    end_error = pds::kErrorNoMoreItems;
    detail_size_fails_at.reset();
    detail_path_fails_at.reset();
    volumes.clear();
    drive_strings_required.reset();
    registry_has_instances_key = false;
    instances.clear();
    mp_volumes.reset();
    mp_second_count.reset();
    environment.clear();
    tools.clear();
    host = pds::HostIdentity{};
    host.sysname = "Windows_NT";
    host.release = "10.0";
    host.os_major = 10;
    host.os_minor = 0;
    opens.clear();
    tool_runs.clear();
    open_handles = 0;
    handles_.clear();
}

std::vector<std::string> FakeDiscoveryPlatform::drive_opens() const {
    std::vector<std::string> out;
    for (const std::string& p : opens) {
        if (p.rfind("\\\\.\\PHYSICALDRIVE", 0) == 0) out.push_back(p);
    }
    return out;
}

std::optional<std::string> FakeDiscoveryPlatform::get_env(const char* name) {
    const auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
}

const FakeDiscoveryPlatform::Disk* FakeDiscoveryPlatform::disk_by_number(std::uint32_t number) const {
    for (const Disk& d : disks) {
        if (d.number == number) return &d;
    }
    return nullptr;
}

pds::os_error FakeDiscoveryPlatform::open_device(const pds::DeviceOpenRequest& request, pds::DeviceHandle& out) {
    out = 0;
    std::lock_guard lk(m_);
    opens.push_back(request.path);
    error_mode_while_opening = error_mode;
    Target target;
    for (const Disk& d : disks) {
        if (request.path == d.interface_path) {
            if (d.interface_open != 0) return d.interface_open;
            target.disk = &d;
        } else if (request.path == drive_path(d.number)) {
            target.disk = &d;
        }
    }
    for (const Volume& v : volumes) {
        if (request.path == "\\\\.\\" + v.root.substr(0, v.root.find('\\'))) target.volume = &v;
    }
    if (target.disk == nullptr && target.volume == nullptr) return pds::kErrorFileNotFound;
    out = next_handle_;
    next_handle_ += 4;
    handles_[out] = target;
    ++open_handles;
    return 0;
}

pds::os_error FakeDiscoveryPlatform::close_device(pds::DeviceHandle handle) {
    std::lock_guard lk(m_);
    if (handles_.erase(handle) == 0) return pds::kErrorInvalidHandle;
    --open_handles;
    return 0;
}

pds::os_error FakeDiscoveryPlatform::device_io_control(pds::DeviceHandle handle, std::uint32_t code, const void*,
                                                       std::uint32_t, void* out, std::uint32_t out_length,
                                                       std::uint32_t& returned) {
    returned = 0;
    std::lock_guard lk(m_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return pds::kErrorInvalidHandle;
    const Volume* volume = it->second.volume;
    const Disk* disk = volume != nullptr ? disk_by_number(volume->disk_number) : it->second.disk;
    switch (code) {
    case win::IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        win::StorageDeviceNumber n{7, volume != nullptr ? volume->disk_number : disk->number, 0};
        return answer(n, out, out_length, returned);
    }
    case win::IOCTL_SCSI_GET_ADDRESS: {
        if (disk == nullptr || !disk->has_address) return kInvalidFunction;
        win::ScsiAddress a{8, 2, disk->path_id, disk->target_id, disk->lun};
        return answer(a, out, out_length, returned);
    }
    case win::IOCTL_STORAGE_QUERY_PROPERTY: {
        if (disk == nullptr) return kInvalidFunction;
        const std::vector<std::uint8_t> d = descriptor(*disk);
        if (out_length < d.size()) return pds::kErrorInsufficientBuffer;
        std::memcpy(out, d.data(), d.size());
        returned = static_cast<std::uint32_t>(d.size());
        return 0;
    }
    case win::IOCTL_DISK_GET_PARTITION_INFO: {
        if (volume == nullptr || !volume->partition_length) return kInvalidFunction;
        win::PartitionInformation p{};
        p.PartitionLength = *volume->partition_length;
        return answer(p, out, out_length, returned);
    }
    default:
        return kInvalidFunction;  // no pass-through: every SCSI command fails
    }
}

std::uint32_t FakeDiscoveryPlatform::set_error_mode(std::uint32_t mode) {
    std::lock_guard lk(m_);
    const std::uint32_t previous = error_mode;
    error_mode = mode;
    return previous;
}

std::uint32_t FakeDiscoveryPlatform::mp_list_volumes(std::uint32_t& count, char* names) {
    if (!mp_volumes) {
        count = 0;
        return pds::kMpNotEnabled;
    }
    const std::uint32_t room = count;
    std::uint32_t have = static_cast<std::uint32_t>(mp_volumes->size());
    if (room > 1 && mp_second_count) have = *mp_second_count;
    for (std::uint32_t i = 0; i < std::min(room, have) && i < mp_volumes->size(); ++i) {
        char* entry = names + std::size_t{i} * pds::kMpVolumeNameBytes;
        std::memset(entry, 0, pds::kMpVolumeNameBytes);
        std::memcpy(entry, (*mp_volumes)[i].data(), std::min<std::size_t>((*mp_volumes)[i].size(), 32));
    }
    count = have;
    return 0;
}

pds::os_error FakeDiscoveryPlatform::open_disk_interfaces(std::unique_ptr<pds::DiskInterfaceSet>& out) {
    if (class_error != 0) return class_error;
    out = std::make_unique<FakeInterfaces>(*this);
    return 0;
}

pds::os_error FakeDiscoveryPlatform::logical_drive_strings(std::uint32_t buffer_length, std::string& roots,
                                                           std::uint32_t& required) {
    std::string all;
    for (const Volume& v : volumes) {
        all += v.root;
        all.push_back('\0');
    }
    required = drive_strings_required.value_or(static_cast<std::uint32_t>(all.size()));
    roots = required <= buffer_length ? all + std::string(1, '\0') : std::string();
    return 0;
}

std::uint32_t FakeDiscoveryPlatform::drive_type(const std::string& root) {
    for (const Volume& v : volumes) {
        if (v.root == root) return v.type;
    }
    return pds::kDriveNoRootDir;
}

pds::os_error FakeDiscoveryPlatform::registry_open_local_machine(const std::string& subkey,
                                                                 std::unique_ptr<pds::RegistryKey>& out) {
    if (!registry_has_instances_key) return pds::kErrorFileNotFound;
    auto key = std::make_unique<FakeKey>();
    if (subkey == kInstancesKey) {
        for (const auto& [name, port] : instances) key->subkeys.push_back(name);
        out = std::move(key);
        return 0;
    }
    for (const auto& [name, port] : instances) {
        if (subkey == std::string(kInstancesKey) + name + "\\PORTS\\") {
            key->silport = port;
            out = std::move(key);
            return 0;
        }
    }
    return pds::kErrorFileNotFound;
}

pds::os_error FakeDiscoveryPlatform::run_tool(const std::string& command_line, std::string* output, int& exit_status) {
    tool_runs.push_back(command_line);
    const auto it = tools.find(command_line);
    if (it == tools.end()) return pds::kErrorFileNotFound;
    if (output != nullptr) *output = it->second.first;
    exit_status = it->second.second;
    return 0;
}

FakeDiscoveryPlatform& fake_discovery_platform() {
    static FakeDiscoveryPlatform* const fake = [] {
        auto owned = std::make_unique<FakeDiscoveryPlatform>(pds::platform());
        FakeDiscoveryPlatform* raw = owned.get();
        pds::install_platform_for_tests(std::move(owned));
        SIL_init(0, 0, SIL_LIBRARY_VERSION, "discovery tests", "fake", "today");
        return raw;
    }();
    fake->reset();
    return *fake;
}

}  // namespace testsupport
