// Loading and checking the recorded keys of a host file: a captured host's exact answers, device by device and call by call.
#include "sim_host_check.h"
#include "sim_host_limits.h"

#include <limits>

namespace pds::sim::check {
namespace {

using json = nlohmann::json;

constexpr std::size_t kMaxRecorded = 65536;       // exchanges, control codes, readings, interfaces, ...
constexpr std::size_t kMaxRecordedBytes = 1u << 20;  // a control code's input or output
constexpr std::size_t kMaxSense = 252;
constexpr std::size_t kMaxInterfacePath = 1024;
using limits::kMaxDevicePath;
constexpr std::size_t kMaxText = 65535;
constexpr std::int64_t kMaxUint32 = std::numeric_limits<std::uint32_t>::max();

std::string missing(const std::string& path, std::string_view key) {
    return quoted(member_path(path, key)) + " is missing";
}

const json& array_of(const json& value, const std::string& path, const char* what) {
    if (!value.is_array()) fail(quoted(path) + " must be an array of " + what);
    if (value.size() > kMaxRecorded) {
        fail(quoted(path) + " holds more than " + std::to_string(kMaxRecorded) + " " + what);
    }
    return value;
}

std::uint32_t u32(const json& object, const std::string& path, const char* key, std::uint32_t otherwise) {
    if (!object.contains(key)) return otherwise;
    return static_cast<std::uint32_t>(integer(object.at(key), member_path(path, key), 0, kMaxUint32));
}

RecordedExchange exchange(const json& entry, const std::string& where, const std::string& base) {
    require_object(entry, where);
    known_keys_only(entry, where, {"cdb", "multipath", "error", "status", "data", "transferred", "sense", "returned"});
    if (!entry.contains("cdb")) fail(missing(where, "cdb"));
    RecordedExchange e;
    e.cdb = cdb_prefix(entry.at("cdb"), member_path(where, "cdb"), base);
    if (entry.contains("multipath")) {
        if (!entry.at("multipath").is_boolean()) fail(quoted(member_path(where, "multipath")) + " must be true or false");
        e.multipath = entry.at("multipath").get<bool>();
    }
    e.error = u32(entry, where, "error", 0);
    e.status = static_cast<std::uint8_t>(entry.contains("status") ? integer(entry.at("status"), member_path(where, "status"), 0, 255) : 0);
    if (entry.contains("data")) e.data = hex_bytes(entry.at("data"), member_path(where, "data"), base, kMaxRecordedBytes);
    if (entry.contains("sense")) e.sense = hex_bytes(entry.at("sense"), member_path(where, "sense"), base, kMaxSense);
    e.transferred = u32(entry, where, "transferred", static_cast<std::uint32_t>(e.data.size()));
    if (entry.contains("returned")) e.returned = u32(entry, where, "returned", 0);
    return e;
}

RecordedIoctl ioctl(const json& entry, const std::string& where, const std::string& base) {
    require_object(entry, where);
    known_keys_only(entry, where, {"code", "in", "out_length", "error", "out", "returned"});
    if (!entry.contains("code")) fail(missing(where, "code"));
    RecordedIoctl r;
    r.code = hex_or_unsigned32(entry.at("code"), member_path(where, "code"));
    if (entry.contains("in")) r.in = hex_bytes(entry.at("in"), member_path(where, "in"), base, kMaxRecordedBytes);
    if (entry.contains("out")) r.out = hex_bytes(entry.at("out"), member_path(where, "out"), base, kMaxRecordedBytes);
    r.out_length = u32(entry, where, "out_length", static_cast<std::uint32_t>(r.out.size()));
    if (r.out.size() > r.out_length) fail(quoted(member_path(where, "out")) + " is longer than \"out_length\"");
    r.error = u32(entry, where, "error", 0);
    r.returned = u32(entry, where, "returned", static_cast<std::uint32_t>(r.out.size()));
    return r;
}

template <typename T>
std::vector<T> readings(const json& value, const std::string& path, T (*one)(const json&, const std::string&)) {
    std::vector<T> out;
    array_of(value, path, "readings");
    for (std::size_t i = 0; i < value.size(); ++i) out.push_back(one(value[i], path + "[" + std::to_string(i) + "]"));
    return out;
}

LocalTime time_reading(const json& value, const std::string& path) {
    std::int64_t ignored = 0;
    return local_time_text(value, path, ignored);
}
std::string text_reading(const json& value, const std::string& path) { return text(value, path, 64); }
std::int64_t number_reading(const json& value, const std::string& path) {
    return integer(value, path, 0, std::numeric_limits<std::int64_t>::max());
}

void read_clock_readings(const json& value, RecordedHost& out) {
    const std::string path = "clock_readings";
    require_object(value, path);
    known_keys_only(value, path, {"local_time", "date_text", "epoch_seconds", "monotonic_ns"});
    if (value.contains("local_time")) out.local_times->values = readings(value.at("local_time"), member_path(path, "local_time"), time_reading);
    if (value.contains("date_text")) out.date_texts->values = readings(value.at("date_text"), member_path(path, "date_text"), text_reading);
    if (value.contains("epoch_seconds")) {
        out.epoch_seconds->values = readings(value.at("epoch_seconds"), member_path(path, "epoch_seconds"), number_reading);
    }
    if (value.contains("monotonic_ns")) {
        out.monotonic_ns->values = readings(value.at("monotonic_ns"), member_path(path, "monotonic_ns"), number_reading);
    }
}

void read_disk_interfaces(const json& value, RecordedHost& out) {
    const std::string path = "disk_interfaces";
    if (value.is_number()) {
        out.disk_interfaces_error = static_cast<os_error>(integer(value, path, 1, kMaxUint32));
        return;
    }
    if (!value.is_array()) fail(quoted(path) + " must be an array of interface paths or an error number");
    array_of(value, path, "interfaces");
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string where = path + "[" + std::to_string(i) + "]";
        std::string p = text(value[i], where, kMaxInterfacePath);
        if (p.empty()) fail(quoted(where) + " must not be empty");
        paths.push_back(std::move(p));
    }
    out.disk_interfaces = std::move(paths);
}

void read_disk_names(const json& value, RecordedHost& out) {
    const std::string path = "disk_names";
    require_object(value, path);
    std::map<std::uint32_t, std::string> names;
    for (const auto& [number, name] : value.items()) {
        const std::string where = member_path(path, number);
        const bool decimal = !number.empty() && number.size() <= 10 && number.find_first_not_of("0123456789") == std::string::npos &&
                             (number.size() == 1 || number[0] != '0') && std::stoull(number) <= static_cast<std::uint64_t>(kMaxUint32);
        if (!decimal) fail("disk number " + quoted(where) + " must be a decimal number from 0 to 4294967295");
        std::string n = text(name, where, kMaxDevicePath);
        if (n.empty()) fail(quoted(where) + " must not be empty");
        names[static_cast<std::uint32_t>(std::stoull(number))] = std::move(n);
    }
    out.disk_names = std::move(names);
}

void read_programs(const json& value, RecordedHost& out) {
    const std::string path = "programs";
    require_object(value, path);
    for (const auto& [name, where_found] : value.items()) {
        const std::string where = member_path(path, name);
        if (name.empty() || name.size() > kMaxDevicePath) fail("program name " + quoted(where) + " must be 1 to 260 bytes");
        if (where_found.is_null()) {
            out.programs[name] = std::nullopt;
        } else {
            if (!where_found.is_string()) fail(quoted(where) + " must be a string or null");
            out.programs[name] = text(where_found, where, kMaxDevicePath);
        }
    }
}

void read_modules(const json& value, RecordedHost& out) {
    const std::string path = "modules";
    require_object(value, path);
    for (const auto& [name, failure] : value.items()) {
        const std::string where = member_path(path, name);
        if (name.empty() || name.size() > kMaxDevicePath) fail("module path " + quoted(where) + " must be 1 to 260 bytes");
        require_object(failure, where);
        known_keys_only(failure, where, {"error", "message"});
        RecordedModuleFailure f;
        if (failure.contains("error")) f.error = static_cast<os_error>(integer(failure.at("error"), member_path(where, "error"), 1, kMaxUint32));
        if (failure.contains("message")) f.message = text(failure.at("message"), member_path(where, "message"), kMaxText);
        out.modules[name] = std::move(f);
    }
}

}  // namespace

std::shared_ptr<const RecordedDevice> recorded_device(const json& device, const std::string& path, const std::string& base) {
    const bool open_error = device.contains("open") && device.at("open").is_number();
    if (!open_error && !device.contains("exchanges") && !device.contains("ioctls")) return nullptr;
    auto r = std::make_shared<RecordedDevice>();
    if (open_error) r->open_error = static_cast<os_error>(integer(device.at("open"), member_path(path, "open"), 1, kMaxUint32));
    if (device.contains("exchanges")) {
        const std::string where = member_path(path, "exchanges");
        const json& list = array_of(device.at("exchanges"), where, "exchanges");
        for (std::size_t i = 0; i < list.size(); ++i) r->exchanges.push_back(exchange(list[i], where + "[" + std::to_string(i) + "]", base));
    }
    if (device.contains("ioctls")) {
        const std::string where = member_path(path, "ioctls");
        const json& list = array_of(device.at("ioctls"), where, "control codes");
        for (std::size_t i = 0; i < list.size(); ++i) r->ioctls.push_back(ioctl(list[i], where + "[" + std::to_string(i) + "]", base));
    }
    return r;
}

RecordedHost read_recorded_host(const json& doc) {
    RecordedHost out;
    if (doc.contains("provider")) {
        out.provider = std::string(choice<std::string_view>(doc.at("provider"), "provider", {{"sim", "sim"}, {"win32", "win32"}, {"linux", "linux"}}));
    }
    if (doc.contains("disk_interfaces")) read_disk_interfaces(doc.at("disk_interfaces"), out);
    if (doc.contains("disk_names")) read_disk_names(doc.at("disk_names"), out);
    if (doc.contains("clock_readings")) read_clock_readings(doc.at("clock_readings"), out);
    if (doc.contains("programs")) read_programs(doc.at("programs"), out);
    if (doc.contains("modules")) read_modules(doc.at("modules"), out);
    if (doc.contains("multipath_fault")) out.multipath_fault = text(doc.at("multipath_fault"), "multipath_fault", kMaxText);
    return out;
}

}  // namespace pds::sim::check
