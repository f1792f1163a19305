// Loading the simulated high-end arrays of a host file ("arrays"): remote arrays, groups, device states and scripted answers, each key checked.
#include "sim_array.h"
#include "sim_host_check.h"

#include <algorithm>
#include <set>

namespace pds::sim::check {
namespace {

using json = nlohmann::json;

constexpr std::size_t kMaxArrays = 200;      // as many local arrays as the library gathers
constexpr std::size_t kMaxArrayDevices = 65536;
constexpr std::size_t kMaxFaults = 64;
constexpr std::uint32_t kMostDevices = 0x100000;  // device numbers have at most five hex digits
constexpr std::int64_t kMaxUint32 = 0xFFFFFFFF;
constexpr std::uint32_t kMostHeaderRecords = 0xFFFF;  // a record header counts in 16 bits

std::string at_index(const std::string& path, std::size_t i) { return path + "[" + std::to_string(i) + "]"; }

const json& array_of(const json& value, const std::string& path, std::size_t most, const char* what) {
    if (!value.is_array()) fail(quoted(path) + " must be an array");
    if (value.size() > most) fail(quoted(path) + " holds more than " + std::to_string(most) + " " + what);
    return value;
}

bool flag(const json& entry, const std::string& where, const char* key, bool otherwise) {
    if (!entry.contains(key)) return otherwise;
    if (!entry.at(key).is_boolean()) fail(quoted(member_path(where, key)) + " must be true or false");
    return entry.at(key).get<bool>();
}

std::uint8_t byte_value(const json& value, const std::string& path) {
    return static_cast<std::uint8_t>(integer(value, path, 0, 255));
}

// A device number as the array's devices are numbered: 1 to 5 hex digits, at most `highest`.
std::uint32_t device_number(const json& value, const std::string& path, std::uint32_t highest) {
    const std::string s = value.is_string() ? value.get<std::string>() : std::string();
    if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        fail(quoted(path) + " must be 1 to 5 hex digits");
    }
    const auto n = static_cast<std::uint32_t>(std::stoul(s, nullptr, 16));
    if (n > highest) {
        char limit[40];
        std::snprintf(limit, sizeof limit, " must be at most %X on this array", highest);
        fail(quoted(path) + limit);
    }
    return n;
}

SimRemoteArray remote_array(const json& entry, const std::string& where, std::size_t position) {
    require_object(entry, where);
    known_keys_only(entry, where, {"id", "serial", "microcode", "valid", "groups"});
    require(entry, where, {"serial", "microcode"});
    SimRemoteArray r;
    r.id = entry.contains("id") ? byte_value(entry.at("id"), member_path(where, "id")) : static_cast<std::uint8_t>(position);
    r.serial = shaped(entry.at("serial"), member_path(where, "serial"), "dddddddddddd", "12 decimal digits");
    r.microcode = static_cast<std::uint16_t>(integer(entry.at("microcode"), member_path(where, "microcode"), 0, 65535));
    r.valid = flag(entry, where, "valid", true);
    if (entry.contains("groups")) {
        const std::string gpath = member_path(where, "groups");
        const json& groups = array_of(entry.at("groups"), gpath, 256, "groups");
        for (std::size_t i = 0; i < groups.size(); ++i) r.groups.push_back(byte_value(groups[i], at_index(gpath, i)));
    }
    return r;
}

SimMirror mirror(const json& entry, const std::string& where, std::uint32_t highest) {
    require_object(entry, where);
    known_keys_only(entry, where, {"mirror", "role", "group", "remote_device", "valid"});
    require(entry, where, {"mirror", "role", "group", "remote_device"});
    SimMirror m;
    m.mirror = static_cast<std::uint8_t>(integer(entry.at("mirror"), member_path(where, "mirror"), 1, 4));
    m.role = choice<SimMirrorRole>(entry.at("role"), member_path(where, "role"),
                                   {{"rpx1", SimMirrorRole::rpx1}, {"rpx2", SimMirrorRole::rpx2}, {"none", SimMirrorRole::none}});
    m.group = byte_value(entry.at("group"), member_path(where, "group"));
    m.remote_device = device_number(entry.at("remote_device"), member_path(where, "remote_device"), highest);
    m.valid = flag(entry, where, "valid", true);
    return m;
}

SimArrayDevice array_device(const json& entry, const std::string& where, const SimArray& a) {
    require_object(entry, where);
    known_keys_only(entry, where, {"device_number", "mirrors"});
    require(entry, where, {"device_number"});
    // The older state call carries 16-bit device numbers; the newer one two mirrors a device.
    const bool newer = a.microcode >= 0x5874;
    const std::uint32_t highest = newer ? kMostDevices - 1 : 0xFFFF;
    SimArrayDevice d;
    d.device_number = device_number(entry.at("device_number"), member_path(where, "device_number"), highest);
    if (!entry.contains("mirrors")) return d;
    const std::string mpath = member_path(where, "mirrors");
    const json& mirrors = array_of(entry.at("mirrors"), mpath, newer ? 2 : 4,
                                   newer ? "mirrors (the device state of microcode 5874 and later has two slots)" : "mirrors");
    for (std::size_t i = 0; i < mirrors.size(); ++i) {
        d.mirrors.push_back(mirror(mirrors[i], at_index(mpath, i), highest));
        for (std::size_t j = 0; j < i; ++j) {
            if (d.mirrors[j].mirror == d.mirrors[i].mirror) fail(quoted(at_index(mpath, i)) + " repeats mirror " + std::to_string(d.mirrors[i].mirror));
        }
    }
    return d;
}

SimArrayFault array_fault(const json& entry, const std::string& where) {
    require_object(entry, where);
    known_keys_only(entry, where, {"kind", "call", "subcommand", "pass", "times", "sleep_tenths", "primary", "secondary"});
    require(entry, where, {"kind"});
    SimArrayFault f;
    f.kind = choice<SimArrayFaultKind>(
        entry.at("kind"), member_path(where, "kind"),
        {{"busy", SimArrayFaultKind::busy}, {"poll", SimArrayFaultKind::poll}, {"ndu", SimArrayFaultKind::ndu},
         {"blocked", SimArrayFaultKind::blocked}, {"overrun", SimArrayFaultKind::overrun},
         {"timeout", SimArrayFaultKind::timeout}, {"code", SimArrayFaultKind::code}, {"bad_crc", SimArrayFaultKind::bad_crc},
         {"other_format", SimArrayFaultKind::other_format}, {"other_subcommand", SimArrayFaultKind::other_subcommand},
         {"bad_buff", SimArrayFaultKind::bad_buff}});
    const bool poll = f.kind == SimArrayFaultKind::poll;
    const bool code = f.kind == SimArrayFaultKind::code;
    if (entry.contains("sleep_tenths") && !poll) fail(quoted(member_path(where, "sleep_tenths")) + " is only for kind \"poll\"");
    for (const char* key : {"primary", "secondary"}) {
        if (entry.contains(key) && !code) fail(quoted(member_path(where, key)) + " is only for kind \"code\"");
    }
    if (code) require(entry, where, {"primary"});
    if (entry.contains("call")) {
        const std::string s = shaped(entry.at("call"), member_path(where, "call"), "xxxx", "four hex digits (\"9250\")");
        f.call = static_cast<std::uint16_t>(std::stoul(s, nullptr, 16));
    }
    if (entry.contains("subcommand")) f.subcommand = byte_value(entry.at("subcommand"), member_path(where, "subcommand"));
    if (entry.contains("pass")) f.pass = static_cast<std::uint32_t>(integer(entry.at("pass"), member_path(where, "pass"), 1, kMaxUint32));
    if (entry.contains("times")) f.times = static_cast<std::uint32_t>(integer(entry.at("times"), member_path(where, "times"), 1, kMaxUint32));
    if (poll && entry.contains("sleep_tenths")) {
        f.sleep_tenths = static_cast<std::uint32_t>(integer(entry.at("sleep_tenths"), member_path(where, "sleep_tenths"), 0, kMaxUint32));
    }
    if (code) {
        f.primary = byte_value(entry.at("primary"), member_path(where, "primary"));
        if (entry.contains("secondary")) f.secondary = byte_value(entry.at("secondary"), member_path(where, "secondary"));
    }
    return f;
}

SimArray one_array(const json& entry, const std::string& where) {
    require_object(entry, where);
    known_keys_only(entry, where, {"serial", "microcode", "microcode_date", "remote_arrays", "devices", "device_count",
                                   "variable_records", "record_header", "faults"});
    require(entry, where, {"serial", "microcode"});
    SimArray a;
    a.serial = shaped(entry.at("serial"), member_path(where, "serial"), "dddddddddddd", "12 decimal digits");
    a.microcode = static_cast<std::uint16_t>(
        std::stoul(shaped(entry.at("microcode"), member_path(where, "microcode"), "xxxx", "four hex digits (\"5874\")"), nullptr, 16));
    if (entry.contains("microcode_date")) {
        a.microcode_date = shaped(entry.at("microcode_date"), member_path(where, "microcode_date"), "dddd-dd-dd", "a date \"YYYY-MM-DD\"");
    }
    if (entry.contains("remote_arrays")) {
        const std::string rpath = member_path(where, "remote_arrays");
        const json& remotes = array_of(entry.at("remote_arrays"), rpath, 256, "remote arrays");
        std::set<std::uint8_t> ids;
        std::set<std::uint8_t> groups;
        for (std::size_t i = 0; i < remotes.size(); ++i) {
            const std::string rwhere = at_index(rpath, i);
            a.remote_arrays.push_back(remote_array(remotes[i], rwhere, i));
            const SimRemoteArray& r = a.remote_arrays.back();
            if (!ids.insert(r.id).second) fail(quoted(rwhere) + " repeats remote array id " + std::to_string(r.id));
            for (std::size_t g = 0; g < r.groups.size(); ++g) {
                if (!groups.insert(r.groups[g]).second) {
                    fail(quoted(at_index(member_path(rwhere, "groups"), g)) + " names group " + std::to_string(r.groups[g]) +
                         ", which leads to another remote array already");
                }
            }
        }
    }
    if (entry.contains("devices")) {
        const std::string dpath = member_path(where, "devices");
        const json& devices = array_of(entry.at("devices"), dpath, kMaxArrayDevices, "devices");
        for (std::size_t i = 0; i < devices.size(); ++i) {
            a.devices.push_back(array_device(devices[i], at_index(dpath, i), a));
            for (std::size_t j = 0; j < i; ++j) {
                if (a.devices[j].device_number == a.devices[i].device_number) {
                    fail(quoted(at_index(dpath, i)) + " repeats the device number of " + quoted(at_index(dpath, j)));
                }
            }
        }
        std::sort(a.devices.begin(), a.devices.end(),
                  [](const SimArrayDevice& x, const SimArrayDevice& y) { return x.device_number < y.device_number; });
    }
    a.device_count = a.devices.empty() ? 0 : a.devices.back().device_number + 1;
    if (entry.contains("device_count")) {
        const std::string cpath = member_path(where, "device_count");
        const auto count = static_cast<std::uint32_t>(integer(entry.at("device_count"), cpath, a.device_count, kMostDevices));
        a.device_count = count;
    }
    a.variable_records = flag(entry, where, "variable_records", false);
    a.record_header = flag(entry, where, "record_header", false);
    if (a.record_header && a.device_count > kMostHeaderRecords) {
        fail(quoted(member_path(where, "device_count")) + " must be at most 65535 with \"record_header\" (its counters have 16 bits)");
    }
    if (entry.contains("faults")) {
        const std::string fpath = member_path(where, "faults");
        const json& faults = array_of(entry.at("faults"), fpath, kMaxFaults, "faults");
        for (std::size_t i = 0; i < faults.size(); ++i) a.faults.push_back(array_fault(faults[i], at_index(fpath, i)));
    }
    return a;
}

}  // namespace

std::vector<SimArray> read_arrays(const json& value, const std::string& path) {
    const json& arrays = array_of(value, path, kMaxArrays, "arrays");
    std::vector<SimArray> out;
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        const std::string where = at_index(path, i);
        out.push_back(one_array(arrays[i], where));
        for (std::size_t j = 0; j < i; ++j) {
            if (out[j].serial == out[i].serial) fail(quoted(member_path(where, "serial")) + " repeats the serial of " + quoted(at_index(path, j)));
        }
    }
    return out;
}

void tie_arrays(std::vector<SimDevice>& devices, std::vector<SimArray>& arrays) {
    for (std::size_t i = 0; i < devices.size(); ++i) {
        SimDevice& d = devices[i];
        const auto a = std::find_if(arrays.begin(), arrays.end(), [&d](const SimArray& x) { return x.serial == d.array_serial; });
        if (d.array_serial.empty() || a == arrays.end()) continue;
        const std::string params = member_path(at_index("devices", i), "params");
        const std::string array = quoted(at_index("arrays", static_cast<std::size_t>(a - arrays.begin())));
        if (microcode_level(d.array_microcode) != a->microcode) {
            fail(quoted(member_path(params, "microcode")) + " differs from the microcode of its array " + array);
        }
        if (!a->microcode_date.empty() && !d.array_microcode_date.empty() && a->microcode_date != d.array_microcode_date) {
            fail(quoted(member_path(params, "microcode_date")) + " differs from the microcode date of its array " + array);
        }
        // The array's device tables cover every device the host sees of it.
        a->device_count = std::max(a->device_count, d.array_device_number + 1);
        if (a->record_header && a->device_count > kMostHeaderRecords) {
            fail(quoted(member_path(params, "device_number")) + " is past the 65535 records the record header of its array " + array +
                 " can count");
        }
    }
}

}  // namespace pds::sim::check
