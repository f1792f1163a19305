// Loading and checking the discovery part of the simulated host file: disk interfaces, pseudo devices, volumes and the registry.
#include "sim_discovery.h"
#include "sim_host_limits.h"
#include "sim_host_check.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace pds::sim::check {
namespace {

using json = nlohmann::json;

constexpr std::size_t kMaxInterfacesPerDevice = 16;
constexpr std::size_t kMaxInterfacePath = 1024;
using limits::kMaxDevicePath;
using limits::kMaxValueName;
using limits::kMaxValueText;
using limits::kMaxRegistryKeys;
constexpr std::size_t kMaxFronts = 32;
constexpr std::size_t kMaxVolumes = 26;      // one per drive letter
constexpr std::size_t kMaxKeyName = 255;     // the registry's limits
constexpr std::int64_t kMaxInt64 = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMaxUint32 = std::numeric_limits<std::uint32_t>::max();

// The disk device-interface class, as it stands at the end of every disk interface path.
constexpr std::string_view kDiskInterfaceClass = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

std::string device_place(std::size_t i) { return "devices[" + std::to_string(i) + "]"; }


// Every path that opens something, with the place in the file that gave it, so that no path can
// name two things. Places are kept as messages show them ("\"devices[0]\"", "the interface
// generated for \"devices[1]\""). Hashed: a large host claims tens of thousands of paths.
class PathRegister {
public:
    explicit PathRegister(const std::vector<SimDevice>& devices) {
        taken_.reserve(devices.size() * 2);
        for (std::size_t i = 0; i < devices.size(); ++i) taken_.emplace(device_path_key(devices[i].path), quoted(device_place(i)));
    }

    void claim(const std::string& path, const std::string& place) {
        const auto [other, added] = taken_.emplace(device_path_key(path), place);
        if (!added) fail(place + " repeats the path of " + other->second);
    }

private:
    std::unordered_map<std::string, std::string> taken_;  // path key -> place
};

// The devices by path, for the keys that name a device of the file.
class DeviceNames {
public:
    explicit DeviceNames(const std::vector<SimDevice>& devices) {
        index_.reserve(devices.size());
        for (std::size_t i = 0; i < devices.size(); ++i) index_.emplace(device_path_key(devices[i].path), i);
    }

    std::optional<std::size_t> find(const std::string& path) const {
        const auto found = index_.find(device_path_key(path));
        return found == index_.end() ? std::nullopt : std::optional<std::size_t>(found->second);
    }

private:
    DevicePathIndex index_;
};

// ---- pseudo devices ---------------------------------------------------------------------------

// A pseudo device of the multipathing driver answers as the first path it fronts; only how it
// opens and its own pass-through may differ.
void complete_pseudo_device(const json& entry, std::size_t i, std::vector<SimDevice>& devices,
                            const std::vector<bool>& pseudo, const DeviceNames& names) {
    const std::string where = device_place(i);
    for (const auto& [key, ignored] : entry.items()) {
        if (is_comment(key) || key == "path" || key == "fronts" || key == "open" || key == "multipath") continue;
        fail(quoted(member_path(where, key)) + " cannot stand beside \"fronts\": a pseudo device answers as the device it fronts");
    }
    const std::string fronts_place = member_path(where, "fronts");
    const json& fronts = entry.at("fronts");
    if (!fronts.is_array() || fronts.empty() || fronts.size() > kMaxFronts) {
        fail(quoted(fronts_place) + " must be an array of 1 to " + std::to_string(kMaxFronts) + " device paths");
    }
    std::optional<std::size_t> first;
    for (std::size_t j = 0; j < fronts.size(); ++j) {
        const std::string place = fronts_place + "[" + std::to_string(j) + "]";
        const std::optional<std::size_t> front = names.find(text(fronts[j], place, kMaxDevicePath));
        if (!front) fail(quoted(place) + " names no device of the file");
        if (*front == i) fail(quoted(place) + " names the pseudo device itself");
        if (pseudo[*front]) fail(quoted(place) + " names another pseudo device");
        if (!first) first = front;
    }
    SimDevice answered = devices[*first];
    answered.path = devices[i].path;
    answered.device_number.reset();  // a name of the driver's, not a disk of the system
    if (entry.contains("open")) answered.open = devices[i].open;
    if (entry.contains("multipath")) answered.multipath = devices[i].multipath;
    devices[i] = std::move(answered);
}

// ---- disk interfaces --------------------------------------------------------------------------

// An INQUIRY text as the interface path spells it: lower case, trailing blanks dropped, anything
// but letters and digits as '_'.
std::string id_text(const std::optional<Bytes>& inquiry, std::size_t from, std::size_t length) {
    if (!inquiry || inquiry->size() < from + length) return {};
    std::string s = device_path_key(std::string(inquiry->begin() + static_cast<std::ptrdiff_t>(from),
                                                inquiry->begin() + static_cast<std::ptrdiff_t>(from + length)));
    s.erase(s.find_last_not_of(' ') + 1);
    for (char& c : s) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) c = '_';
    }
    return s;
}

// The path the system would give a disk found on the SCSI bus.
std::string generated_interface_path(const SimDevice& d, std::uint32_t drive_number) {
    char instance[24];
    std::snprintf(instance, sizeof instance, "#5&53494d&0&%06u#", drive_number);
    return "\\\\?\\scsi#disk&ven_" + id_text(d.inquiry, 8, 8) + "&prod_" + id_text(d.inquiry, 16, 16) + instance +
           std::string(kDiskInterfaceClass);
}

std::string interface_path(const json& value, const std::string& place) {
    std::string path = text(value, place, kMaxInterfacePath);
    if (path.empty()) fail(quoted(place) + " must not be empty");
    return path;
}

SimInterface interface_entry(const json& item, const std::string& place, std::size_t device) {
    SimInterface itf;
    itf.device = device;
    if (item.is_string()) {
        itf.path = interface_path(item, place);
    } else if (item.is_object()) {
        known_keys_only(item, place, {"path", "open"});
        if (!item.contains("path")) fail(quoted(member_path(place, "path")) + " is missing");
        itf.path = interface_path(item.at("path"), member_path(place, "path"));
        if (item.contains("open")) itf.open = open_behaviour(item.at("open"), member_path(place, "open"));
    } else {
        fail(quoted(place) + " must be an interface path or an object with \"path\" and \"open\"");
    }
    return itf;
}

std::vector<SimInterface> read_interfaces(const json& entries, const std::vector<SimDevice>& devices,
                                          const std::vector<bool>& pseudo, PathRegister& paths) {
    std::vector<SimInterface> out;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const json& entry = entries[i];
        const std::string where = device_place(i);
        if (!entry.contains("interfaces")) {
            // A disk the file names by its drive number is in the class like any other disk.
            const std::optional<std::uint32_t> number = drive_number_in(devices[i].path);
            if (pseudo[i] || !number) continue;
            SimInterface itf{generated_interface_path(devices[i], devices[i].device_number.value_or(*number)), i, std::nullopt};
            paths.claim(itf.path, "the interface generated for " + quoted(where));
            out.push_back(std::move(itf));
            continue;
        }
        const std::string list_place = member_path(where, "interfaces");
        const json& list = entry.at("interfaces");
        if (!list.is_array()) fail(quoted(list_place) + " must be an array");
        if (list.size() > kMaxInterfacesPerDevice) {
            fail(quoted(list_place) + " holds more than " + std::to_string(kMaxInterfacesPerDevice) + " interfaces");
        }
        for (std::size_t j = 0; j < list.size(); ++j) {
            const std::string place = list_place + "[" + std::to_string(j) + "]";
            SimInterface itf = interface_entry(list[j], place, i);
            paths.claim(itf.path, quoted(place));
            out.push_back(std::move(itf));
        }
    }
    return out;
}

// ---- volumes -----------------------------------------------------------------------------------

std::string volume_root(const json& value, const std::string& place) {
    const std::string root = text(value, place, 3);
    const char letter = root.empty() ? '\0' : root[0];
    const bool is_letter = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
    if (root.size() != 3 || !is_letter || root[1] != ':' || root[2] != '\\') {
        fail(quoted(place) + " must be a drive letter, a colon and a backslash (\"C:\\\")");
    }
    // The system lists drive letters in upper case whatever the file says.
    return std::string(1, static_cast<char>(letter & ~0x20)) + ":\\";
}

SimVolume volume_entry(const json& entry, const std::string& where, const DeviceNames& names) {
    require_object(entry, where);
    known_keys_only(entry, where, {"root", "type", "device", "size_kb", "partition_length", "partition_style", "open"});
    if (!entry.contains("root")) fail(quoted(member_path(where, "root")) + " is missing");
    SimVolume v;
    v.root = volume_root(entry.at("root"), member_path(where, "root"));
    if (entry.contains("type")) {
        v.type = choice<std::uint32_t>(entry.at("type"), member_path(where, "type"),
                                       {{"fixed", kDriveFixed}, {"removable", kDriveRemovable}, {"cdrom", kDriveCdrom},
                                        {"remote", kDriveRemote}, {"ramdisk", kDriveRamdisk}});
    }
    if (entry.contains("device")) {
        const std::string place = member_path(where, "device");
        v.device = names.find(text(entry.at("device"), place, kMaxDevicePath));
        if (!v.device) fail(quoted(place) + " names no device of the file");
    } else {
        // Without a disk behind it the volume cannot be opened, so nothing about opening applies.
        for (const char* key : {"size_kb", "partition_length", "partition_style", "open"}) {
            if (entry.contains(key)) fail(quoted(member_path(where, key)) + " needs a \"device\"");
        }
    }
    if (entry.contains("size_kb") && entry.contains("partition_length")) {
        fail(quoted(where) + " may give \"size_kb\" or \"partition_length\", not both");
    }
    if (entry.contains("size_kb")) {
        v.partition_length = integer(entry.at("size_kb"), member_path(where, "size_kb"), 0, kMaxInt64 / 1024) * 1024;
    }
    if (entry.contains("partition_length")) {
        v.partition_length = integer(entry.at("partition_length"), member_path(where, "partition_length"), 0, kMaxInt64);
    }
    if (entry.contains("partition_style")) {
        v.gpt = choice<bool>(entry.at("partition_style"), member_path(where, "partition_style"),
                             {{"mbr", false}, {"gpt", true}});
    }
    if (entry.contains("open")) v.open = open_behaviour(entry.at("open"), member_path(where, "open"));
    return v;
}

std::vector<SimVolume> read_volumes(const json& value, const DeviceNames& names, PathRegister& paths) {
    const std::string path = "volumes";
    if (!value.is_array()) fail(quoted(path) + " must be an array");
    if (value.size() > kMaxVolumes) fail(quoted(path) + " holds more than " + std::to_string(kMaxVolumes) + " volumes");
    std::vector<SimVolume> out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string where = path + "[" + std::to_string(i) + "]";
        SimVolume v = volume_entry(value[i], where, names);
        for (std::size_t k = 0; k < out.size(); ++k) {
            if (out[k].root == v.root) {
                fail(quoted(member_path(where, "root")) + " repeats the drive of " + quoted(path + "[" + std::to_string(k) + "]"));
            }
        }
        if (v.device) paths.claim("\\\\.\\" + v.root.substr(0, 2), quoted(where));
        out.push_back(std::move(v));
    }
    std::sort(out.begin(), out.end(), [](const SimVolume& a, const SimVolume& b) { return a.root < b.root; });
    return out;
}

// ---- registry ----------------------------------------------------------------------------------

// The key names of a path "A\B\C"; empty when the path is not made of names of 1 to 255
// characters between single backslashes.
std::vector<std::string> key_names(std::string_view path) {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(path.find('\\', start), path.size());
        const std::string_view name = path.substr(start, end - start);
        if (name.empty() || name.size() > kMaxKeyName || name.find('\0') != std::string_view::npos) return {};
        names.emplace_back(name);
        if (end == path.size()) return names;
        start = end + 1;
    }
}

// The key of `path`, made (with the keys above it) when the file names it for the first time.
std::size_t key_of(const std::vector<std::string>& names, SimRegistry& registry) {
    std::size_t key = 0;
    std::string folded;
    for (const std::string& name : names) {
        folded += (folded.empty() ? "" : "\\") + registry_path_key(name);
        const auto found = registry.by_path.find(folded);
        if (found != registry.by_path.end()) {
            key = found->second;
            continue;
        }
        if (registry.keys.size() >= kMaxRegistryKeys) {
            fail(quoted("registry") + " holds more than " + std::to_string(kMaxRegistryKeys) + " keys");
        }
        const std::size_t made = registry.keys.size();
        registry.keys.push_back(SimRegistryKey{name, {}, {}});
        registry.keys[key].subkeys.push_back(made);
        registry.by_path.emplace(folded, made);
        key = made;
    }
    return key;
}

SimRegistryValue registry_value(const std::string& name, const json& data, const std::string& place) {
    if (name.size() > kMaxValueName || name.find('\0') != std::string::npos) {
        fail("value name " + quoted(place) + " must be at most " + std::to_string(kMaxValueName) + " bytes without NUL");
    }
    if (data.is_string()) return SimRegistryValue{name, text(data, place, kMaxValueText)};
    // The parser keeps every integer from 0 up as unsigned; negative ones and fractions are refused.
    const bool dword = data.is_number_unsigned() && data.get<std::uint64_t>() <= static_cast<std::uint64_t>(kMaxUint32);
    if (!dword) fail(quoted(place) + " must be an integer from 0 to 4294967295 (REG_DWORD) or a string (REG_SZ)");
    return SimRegistryValue{name, static_cast<std::uint32_t>(data.get<std::uint64_t>())};
}

void read_registry(const json& value, SimRegistry& registry) {
    const std::string path = "registry";
    require_object(value, path);
    std::set<std::size_t> given;
    for (const auto& [key_path, values] : value.items()) {
        if (is_comment(key_path)) continue;
        const std::string where = member_path(path, key_path);
        const std::vector<std::string> names = key_names(key_path);
        if (names.empty()) {
            fail("registry key " + quoted(where) + " must be names of 1 to " + std::to_string(kMaxKeyName) +
                 " characters separated by single backslashes");
        }
        const std::size_t key = key_of(names, registry);
        if (!given.insert(key).second) fail(quoted(where) + " repeats an earlier key (key names ignore case)");
        require_object(values, where);
        std::vector<SimRegistryValue>& out = registry.keys[key].values;
        std::set<std::string, std::less<>> folded_names;
        for (const auto& [name, data] : values.items()) {
            const std::string place = member_path(where, name);
            if (!folded_names.insert(registry_path_key(name)).second) {
                fail(quoted(place) + " repeats an earlier value name (value names ignore case)");
            }
            out.push_back(registry_value(name, data, place));
        }
    }
    // Subkeys and values are enumerated by name, without regard to case, as the system lists subkeys.
    for (SimRegistryKey& k : registry.keys) {
        std::sort(k.subkeys.begin(), k.subkeys.end(), [&](std::size_t a, std::size_t b) {
            return registry_path_key(registry.keys[a].name) < registry_path_key(registry.keys[b].name);
        });
        std::sort(k.values.begin(), k.values.end(), [](const SimRegistryValue& a, const SimRegistryValue& b) {
            return registry_path_key(a.name) < registry_path_key(b.name);
        });
    }
}

}  // namespace

SimDiscovery read_discovery(const json& doc, std::vector<SimDevice>& devices) {
    SimDiscovery out;
    // read_devices has checked "devices": an array of objects, one per entry of `devices`.
    static const json kNoDevices = json::array();
    const json& entries = doc.contains("devices") ? doc.at("devices") : kNoDevices;
    std::vector<bool> pseudo(devices.size(), false);
    for (std::size_t i = 0; i < devices.size(); ++i) pseudo[i] = entries[i].contains("fronts");
    const DeviceNames names(devices);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (pseudo[i]) complete_pseudo_device(entries[i], i, devices, pseudo, names);
    }
    PathRegister paths(devices);
    // A captured host lists its interfaces as it enumerated them, not by device.
    if (doc.contains("disk_interfaces")) {
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (entries[i].contains("interfaces")) {
                fail(quoted(member_path(device_place(i), "interfaces")) + " cannot stand beside \"disk_interfaces\"");
            }
        }
    } else {
        out.interfaces = read_interfaces(entries, devices, pseudo, paths);
    }
    if (doc.contains("volumes")) out.volumes = read_volumes(doc.at("volumes"), names, paths);
    if (doc.contains("registry")) read_registry(doc.at("registry"), out.registry);
    return out;
}

}  // namespace pds::sim::check

namespace pds::sim {

std::string registry_path_key(std::string_view path) { return device_path_key(path); }

std::vector<SimDevice> with_discovery_paths(std::vector<SimDevice> devices, const SimDiscovery& discovery) {
    // Sized once and filled by moves: a SAN host's devices and their interfaces are most of what
    // the simulator holds, and a growing vector of them would copy every device it moves.
    std::vector<SimDevice> out;
    out.reserve(devices.size() + discovery.interfaces.size() + discovery.volumes.size());
    for (SimDevice& d : devices) out.push_back(std::move(d));
    devices = {};  // the moved-from shells go before the copies come
    // Another name of device `i`: its disk number stays what the device's own path gives, and its
    // answers are the device's own rather than a copy (a SAN host's disks each have an interface).
    auto alias = [&](std::size_t i, std::string path) {
        const SimDevice& of = out[i];
        SimDevice d = of;
        if (!d.device_number) d.device_number = drive_number_in(d.path);
        d.path = std::move(path);
        // Everything but the answers, which stay with `of` (a copy is dropped at once).
        d.inquiry.reset();
        d.vpd.clear();
        d.read_capacity_10.reset();
        d.read_capacity_16.reset();
        d.mode_pages.clear();
        d.blocks.clear();
        d.storage_property.reset();
        d.commands.clear();
        d.answers_of = of.answers_of ? of.answers_of : std::optional<std::size_t>(i);
        return d;
    };
    for (const SimInterface& itf : discovery.interfaces) {
        SimDevice d = alias(itf.device, itf.path);
        if (itf.open) d.open = *itf.open;
        out.push_back(std::move(d));
    }
    for (const SimVolume& v : discovery.volumes) {
        if (!v.device) continue;
        SimDevice d = alias(*v.device, "\\\\.\\" + v.root.substr(0, 2));
        d.open = v.open;
        if (v.partition_length) d.partition_length = v.partition_length;
        d.gpt = v.gpt;
        out.push_back(std::move(d));
    }
    return out;
}

}  // namespace pds::sim
