// The simulated host's discovery data (disk interfaces, volumes, registry, pseudo devices) and the calls that answer from it.
#pragma once

#include "pds/platform.h"
#include "sim_devices.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pds::sim {

// One present member of the disk device-interface class, in enumeration order.
struct SimInterface {
    std::string path;                   // the SetupDi detail path
    std::size_t device = 0;             // the device it opens (index into the host's devices)
    std::optional<OpenBehaviour> open;  // how opening this path fares; default: as the device
};

// A logical drive.
struct SimVolume {
    std::string root;                          // "C:\"
    std::uint32_t type = kDriveFixed;          // GetDriveTypeA's answer
    std::optional<std::size_t> device;         // the disk it lives on; absent: "\\.\C:" cannot be opened
    std::optional<std::int64_t> partition_length;  // bytes; absent: the disk's answer
    bool gpt = false;                              // on a GPT disk: only the length request answers
    OpenBehaviour open = OpenBehaviour::ok;
};

struct SimRegistryValue {
    std::string name;
    std::variant<std::uint32_t, std::string> data;  // REG_DWORD or REG_SZ
};

struct SimRegistryKey {
    std::string name;                  // as the file first spells it; empty for the root
    std::vector<std::size_t> subkeys;  // indexes into SimRegistry::keys, in Windows order (by name, case folded)
    std::vector<SimRegistryValue> values;  // by name, case folded
};

// HKEY_LOCAL_MACHINE: keys[0] is the root; `by_path` finds a key by its full path in lower case.
struct SimRegistry {
    std::vector<SimRegistryKey> keys{SimRegistryKey{}};
    std::map<std::string, std::size_t, std::less<>> by_path{{"", 0}};
};

// The key of SimRegistry::by_path for a key path: ASCII letters in lower case, as the registry
// ignores case.
std::string registry_path_key(std::string_view path);

struct SimDiscovery {
    std::vector<SimInterface> interfaces;
    std::vector<SimVolume> volumes;  // ordered by drive letter, as the system lists them
    SimRegistry registry;
};

namespace check {
// The discovery keys of a host file: each device's "interfaces" and "fronts", the top-level
// "volumes" and "registry". `devices` are the devices already read; pseudo devices ("fronts") are
// completed in place with the bytes of the device they front.
SimDiscovery read_discovery(const nlohmann::json& doc, std::vector<SimDevice>& devices);
}  // namespace check

// The devices plus one entry per interface path and openable volume ("\\.\C:"), each answering as
// its disk does, so that the device engine opens them like any other path.
std::vector<SimDevice> with_discovery_paths(std::vector<SimDevice> devices, const SimDiscovery& discovery);

// Answers the seam's discovery calls from the host file. Immutable, so safe from any thread; the
// sets and keys it hands out stay valid after it is gone.
class SimDiscoveryHost {
public:
    explicit SimDiscoveryHost(const SimDiscovery& discovery)
        : data_(std::make_shared<const SimDiscovery>(discovery)) {}

    os_error open_disk_interfaces(std::unique_ptr<DiskInterfaceSet>& out) const;
    os_error logical_drive_strings(std::uint32_t buffer_length, std::string& roots, std::uint32_t& required) const;
    std::uint32_t drive_type(const std::string& root) const;
    os_error registry_open_local_machine(const std::string& subkey, std::unique_ptr<RegistryKey>& out) const;

private:
    std::shared_ptr<const SimDiscovery> data_;
};

}  // namespace pds::sim
