// Reading an SNIA HBA API library's description from JSON: strict keys and bounds, faults named by their JSON path.
#include "sim_hba_core.h"
#include "sim_json_check.h"

#include <algorithm>
#include <limits>

namespace pds::hba {
namespace {

using json = nlohmann::json;
using namespace pds::sim::check;

constexpr std::int64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kMaxField = 256;       // the published text fields
constexpr std::size_t kMaxShortField = 64;   // Manufacturer, SerialNumber

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Bytes written as hex digit pairs, optionally one ':' or blank between pairs ("60:b7:d2:10:...").
std::vector<std::uint8_t> hex_bytes(const json& value, const std::string& path, std::size_t max_bytes) {
    const std::string shape = quoted(path) + " must be hex digit pairs (at most " + std::to_string(max_bytes) +
                              " bytes), optionally separated by ':' or blanks";
    if (!value.is_string()) fail(shape);
    const auto& s = value.get_ref<const std::string&>();
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < s.size();) {
        if (!out.empty() && (s[i] == ':' || s[i] == ' ')) ++i;
        if (i + 1 >= s.size() || hex_digit(s[i]) < 0 || hex_digit(s[i + 1]) < 0) fail(shape);
        if (out.size() == max_bytes) fail(shape);
        out.push_back(static_cast<std::uint8_t>(hex_digit(s[i]) * 16 + hex_digit(s[i + 1])));
        i += 2;
    }
    return out;
}

HBA_WWN wwn(const json& value, const std::string& path) {
    const std::vector<std::uint8_t> bytes = hex_bytes(value, path, 8);
    if (bytes.size() != 8) fail(quoted(path) + " must be a WWN of 8 bytes (16 hex digits)");
    HBA_WWN out{};
    std::copy(bytes.begin(), bytes.end(), out.wwn);
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> fixed_bytes(const json& value, const std::string& path) {
    const std::vector<std::uint8_t> bytes = hex_bytes(value, path, N);
    std::array<std::uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

std::uint64_t unsigned64(const json& value, const std::string& path) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0) return static_cast<std::uint64_t>(value.get<std::int64_t>());
    if (value.is_string()) {
        const auto& s = value.get_ref<const std::string&>();
        const bool shaped = s.size() > 2 && s.size() <= 18 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
                            s.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
        if (shaped) return std::stoull(s.substr(2), nullptr, 16);
    }
    fail(quoted(path) + " must be an integer from 0 to 18446744073709551615 or \"0x\" and 1 to 16 hex digits");
}

bool flag(const json& value, const std::string& path) {
    if (!value.is_boolean()) fail(quoted(path) + " must be true or false");
    return value.get<bool>();
}

const json& array_of(const json& value, const std::string& path, std::size_t max_entries, const char* what) {
    if (!value.is_array()) fail(quoted(path) + " must be an array of " + what);
    if (value.size() > max_entries) fail(quoted(path) + " holds more than " + std::to_string(max_entries) + " " + what);
    return value;
}

// Reads the keys of `object` present in `fields` with their readers.
struct Reader {
    const json& object;
    const std::string& path;

    template <typename T, typename Read>
    void operator()(const char* key, T& field, Read read) const {
        if (object.contains(key)) field = read(object.at(key), member_path(path, key));
    }
    void text(const char* key, std::string& field, std::size_t max_bytes) const {
        (*this)(key, field, [&](const json& v, const std::string& p) { return sim::check::text(v, p, max_bytes); });
    }
    void u32(const char* key, std::uint32_t& field) const { (*this)(key, field, hex_or_unsigned32); }
    void wwn(const char* key, HBA_WWN& field) const { (*this)(key, field, hba::wwn); }
};

// An optional array member, read element by element; each element's path names its index.
template <typename Record, typename Reader>
void read_records(const json& value, const std::string& path, const char* key, std::size_t most, const char* noun,
                  Reader reader, std::vector<Record>& out) {
    if (!value.contains(key)) return;
    const std::string where = member_path(path, key);
    const json& list = array_of(value.at(key), where, most, noun);
    out.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) out.push_back(reader(list[i], where + "[" + std::to_string(i) + "]"));
}

TargetMapping read_mapping(const json& value, const std::string& path) {
    require_object(value, path);
    known_keys_only(value, path, {"os_device_name", "bus", "target", "os_lun", "fcid", "node_wwn", "port_wwn", "fcp_lun", "luid"});
    const Reader read{value, path};
    TargetMapping m;
    read.text("os_device_name", m.os_device_name, kMaxField);
    read.u32("bus", m.bus);
    read.u32("target", m.target);
    read.u32("os_lun", m.os_lun);
    read.u32("fcid", m.fcid);
    read.wwn("node_wwn", m.node_wwn);
    read.wwn("port_wwn", m.port_wwn);
    read("fcp_lun", m.fcp_lun, unsigned64);
    read("luid", m.luid, [](const json& v, const std::string& p) { return hex_bytes(v, p, 256); });
    return m;
}

Port read_port(const json& value, const std::string& path) {
    require_object(value, path);
    known_keys_only(value, path,
                    {"node_wwn", "port_wwn", "fcid", "type", "state", "supported_cos", "supported_fc4_types",
                     "active_fc4_types", "symbolic_name", "os_device_name", "supported_speed", "speed",
                     "max_frame_size", "fabric_name", "discovered_ports", "target_mappings"});
    const Reader read{value, path};
    Port p;
    read.wwn("node_wwn", p.node_wwn);
    read.wwn("port_wwn", p.port_wwn);
    read.u32("fcid", p.fcid);
    read.u32("type", p.type);
    read.u32("state", p.state);
    read.u32("supported_cos", p.supported_cos);
    read("supported_fc4_types", p.supported_fc4_types, fixed_bytes<32>);
    read("active_fc4_types", p.active_fc4_types, fixed_bytes<32>);
    read.text("symbolic_name", p.symbolic_name, kMaxField);
    read.text("os_device_name", p.os_device_name, kMaxField);
    read.u32("supported_speed", p.supported_speed);
    read.u32("speed", p.speed);
    read.u32("max_frame_size", p.max_frame_size);
    read.wwn("fabric_name", p.fabric_name);
    read.u32("discovered_ports", p.discovered_ports);
    read_records(value, path, "target_mappings", kMaxMappings, "target mappings", read_mapping, p.mappings);
    return p;
}

Adapter read_adapter(const json& value, const std::string& path) {
    require_object(value, path);
    known_keys_only(value, path,
                    {"name", "manufacturer", "serial_number", "model", "model_description", "node_wwn",
                     "node_symbolic_name", "hardware_version", "driver_version", "option_rom_version",
                     "firmware_version", "vendor_specific_id", "number_of_ports", "driver_name", "open_fails", "ports"});
    if (!value.contains("name")) fail("missing key " + quoted(member_path(path, "name")));
    const Reader read{value, path};
    Adapter a;
    read.text("name", a.name, kMaxAdapterName);
    if (a.name.empty()) fail(quoted(member_path(path, "name")) + " must not be empty");
    read.text("manufacturer", a.manufacturer, kMaxShortField);
    read.text("serial_number", a.serial_number, kMaxShortField);
    read.text("model", a.model, kMaxField);
    read.text("model_description", a.model_description, kMaxField);
    read.wwn("node_wwn", a.node_wwn);
    read.text("node_symbolic_name", a.node_symbolic_name, kMaxField);
    read.text("hardware_version", a.hardware_version, kMaxField);
    read.text("driver_version", a.driver_version, kMaxField);
    read.text("option_rom_version", a.option_rom_version, kMaxField);
    read.text("firmware_version", a.firmware_version, kMaxField);
    read.u32("vendor_specific_id", a.vendor_specific_id);
    read("number_of_ports", a.number_of_ports, hex_or_unsigned32);
    read.text("driver_name", a.driver_name, kMaxField);
    read("open_fails", a.open_fails, flag);
    read_records(value, path, "ports", kMaxPorts, "ports", read_port, a.ports);
    return a;
}

// An entry point by its published name.
Entry entry_named(const std::string& name, const std::string& path) {
    for (std::size_t i = 0; i < kEntryCount; ++i) {
        if (entry_name(static_cast<Entry>(i)) == name) return static_cast<Entry>(i);
    }
    fail(quoted(path) + " is not an entry point of the SNIA HBA API a library is asked for (\"" + printable(name) + "\")");
}

}  // namespace

Library read_library(const json& value, const std::string& path, std::initializer_list<std::string_view> extra_keys) {
    require_object(value, path);
    for (const auto& [key, unused] : value.items()) {
        static constexpr std::string_view kKeys[] = {"version", "smhba_version", "missing", "status", "stale_data_once", "adapters"};
        const bool known = is_comment(key) || std::find(std::begin(kKeys), std::end(kKeys), key) != std::end(kKeys) ||
                           std::find(extra_keys.begin(), extra_keys.end(), key) != extra_keys.end();
        if (!known) fail("unknown key " + quoted(member_path(path, key)));
    }
    const Reader read{value, path};
    Library lib;
    read.u32("version", lib.version);
    read.u32("smhba_version", lib.smhba_version);
    if (value.contains("missing")) {
        const std::string where = member_path(path, "missing");
        const json& list = array_of(value.at("missing"), where, kEntryCount, "entry point names");
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string at = where + "[" + std::to_string(i) + "]";
            lib.missing[static_cast<std::size_t>(entry_named(sim::check::text(list[i], at, 64), at))] = true;
        }
    }
    if (value.contains("status")) {
        const std::string where = member_path(path, "status");
        const json& pins = value.at("status");
        require_object(pins, where);
        for (const auto& [name, status] : pins.items()) {
            if (is_comment(name)) continue;
            const std::string at = member_path(where, name);
            const Entry e = entry_named(name, at);
            if (!answers_status(e)) fail(quoted(at) + ": " + name + " answers no status");
            lib.status[static_cast<std::size_t>(e)] = static_cast<HBA_STATUS>(integer(status, at, 0, kMaxU32));
        }
    }
    read("stale_data_once", lib.stale_data_once, flag);
    read_records(value, path, "adapters", kMaxAdapters, "adapters", read_adapter, lib.adapters);
    return lib;
}

}  // namespace pds::hba
