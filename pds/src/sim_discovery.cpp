// The simulated host's answers to the discovery calls of the seam: disk interfaces, logical drives and the registry.
#include "sim_discovery.h"

#include <string_view>

namespace pds::sim {
namespace {

// SP_DEVICE_INTERFACE_DETAIL_DATA_A: cbSize (4 bytes), then the path and its NUL.
constexpr std::uint32_t kDetailHeader = 4;

class SimDiskInterfaceSet final : public DiskInterfaceSet {
public:
    explicit SimDiskInterfaceSet(std::shared_ptr<const SimDiscovery> data) : data_(std::move(data)) {}

    os_error enumerate(std::uint32_t index) override { return member(index) != nullptr ? 0 : kErrorNoMoreItems; }

    os_error detail_size(std::uint32_t index, std::uint32_t& required_size) override {
        required_size = 0;
        const SimInterface* itf = member(index);
        if (itf == nullptr) return kErrorNoMoreItems;
        required_size = kDetailHeader + static_cast<std::uint32_t>(itf->path.size()) + 1;
        return kErrorInsufficientBuffer;  // the size query never has a buffer
    }

    os_error detail_path(std::uint32_t index, std::string& path) override {
        path.clear();
        const SimInterface* itf = member(index);
        if (itf == nullptr) return kErrorNoMoreItems;
        path = itf->path;
        return 0;
    }

private:
    const SimInterface* member(std::uint32_t index) const {
        return index < data_->interfaces.size() ? &data_->interfaces[index] : nullptr;
    }

    std::shared_ptr<const SimDiscovery> data_;
};

class SimRegistryKeyHandle final : public RegistryKey {
public:
    SimRegistryKeyHandle(std::shared_ptr<const SimDiscovery> data, std::size_t key) : data_(std::move(data)), key_(key) {}

    os_error enum_subkey(std::uint32_t index, std::string& name) override {
        name.clear();
        const std::vector<std::size_t>& subkeys = key().subkeys;
        if (index >= subkeys.size()) return kErrorNoMoreItems;
        name = data_->registry.keys[subkeys[index]].name;
        return 0;
    }

    os_error enum_value(std::uint32_t index, std::string& name) override {
        name.clear();
        const std::vector<SimRegistryValue>& values = key().values;
        if (index >= values.size()) return kErrorNoMoreItems;
        name = values[index].name;
        return 0;
    }

    os_error query_string(const std::string& value_name, std::string& value) override {
        value.clear();
        return query(value_name, value);
    }

    os_error query_dword(const std::string& value_name, std::uint32_t& value) override {
        value = 0;
        return query(value_name, value);
    }

private:
    const SimRegistryKey& key() const { return data_->registry.keys[key_]; }

    template <typename T>
    os_error query(const std::string& value_name, T& out) const {
        for (const SimRegistryValue& v : key().values) {
            if (!same_device_path(v.name, value_name)) continue;  // value names ignore case too
            const T* data = std::get_if<T>(&v.data);
            if (data == nullptr) return kErrorUnsupportedType;
            out = *data;
            return 0;
        }
        return kErrorFileNotFound;
    }

    std::shared_ptr<const SimDiscovery> data_;
    std::size_t key_;
};

}  // namespace

os_error SimDiscoveryHost::open_disk_interfaces(std::unique_ptr<DiskInterfaceSet>& out) const {
    out = std::make_unique<SimDiskInterfaceSet>(data_);
    return 0;
}

// As GetLogicalDriveStringsA: when the roots and the list's closing NUL fit, the list's length
// without that NUL; otherwise nothing is copied and the answer is the size needed, with it.
os_error SimDiscoveryHost::logical_drive_strings(std::uint32_t buffer_length, std::string& roots,
                                                 std::uint32_t& required) const {
    roots.clear();
    std::string list;
    for (const SimVolume& v : data_->volumes) {
        list += v.root;
        list += '\0';
    }
    const auto length = static_cast<std::uint32_t>(list.size());
    if (std::uint64_t{length} + 1 > buffer_length) {
        required = length + 1;
        return 0;
    }
    required = length;
    roots = std::move(list);
    roots += '\0';
    return 0;
}

std::uint32_t SimDiscoveryHost::drive_type(const std::string& root) const {
    for (const SimVolume& v : data_->volumes) {
        if (same_device_path(v.root, root)) return v.type;
    }
    return kDriveNoRootDir;
}

// Key paths ignore case; a trailing backslash names the same key, as RegOpenKeyExA allows.
os_error SimDiscoveryHost::registry_open_local_machine(const std::string& subkey, std::unique_ptr<RegistryKey>& out) const {
    out.reset();
    std::string_view path = subkey;
    if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    const auto found = data_->registry.by_path.find(registry_path_key(path));
    if (found == data_->registry.by_path.end()) return kErrorFileNotFound;
    out = std::make_unique<SimRegistryKeyHandle>(data_, found->second);
    return 0;
}

}  // namespace pds::sim
