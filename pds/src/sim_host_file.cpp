// Loading and checking the simulated host file: strict types, bounded lengths, faults named by their JSON path.
#include "sim_host_file.h"
#include "sim_host_limits.h"
#include "sim_host_check.h"
#include "sim_sp.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <limits>
#include <memory>
#include <set>
#include <vector>

namespace pds::sim {
// Shared with the devices loader (sim_host_check.h).
namespace check {

using json = nlohmann::json;

constexpr std::size_t kMaxHostText = 256;        // host facts and the user name
constexpr std::size_t kMaxEnvName = 256;
using limits::kMaxEnvValue;
using limits::kMaxCommandLine;

// The defaults describe a plain Windows Server 2019 host, so that "{}" is a usable file.
constexpr std::uint32_t kDefaultOsType = 0x00030A00;

std::uint32_t unsigned32(const json& value, const std::string& path) {
    return static_cast<std::uint32_t>(integer(value, path, 0, std::numeric_limits<std::uint32_t>::max()));
}

// Leading "major.minor" numbers of a release text such as "10.0" or "6.1.7601".
void version_numbers(const std::string& release, std::uint32_t& major, std::uint32_t& minor) {
    std::size_t pos = 0;
    auto number = [&] {
        std::uint32_t n = 0;
        while (pos < release.size() && release[pos] >= '0' && release[pos] <= '9' && n < 100000) {
            n = n * 10 + static_cast<std::uint32_t>(release[pos++] - '0');
        }
        return n;
    };
    major = number();
    minor = 0;
    if (pos < release.size() && release[pos] == '.') {
        ++pos;
        minor = number();
    }
}

// The build a Windows version text starts with ("17763", "7601 Service Pack 1"); 0 without one.
std::uint32_t leading_build_number(const std::string& version) {
    std::uint64_t n = 0;
    for (const char c : version) {
        if (c < '0' || c > '9') break;
        n = std::min<std::uint64_t>(n * 10 + static_cast<std::uint64_t>(c - '0'), 0xFFFFFFFFu);
    }
    return static_cast<std::uint32_t>(n);
}

void read_host(const json& value, HostIdentity& host) {
    const std::string path = "host";
    require_object(value, path);
    known_keys_only(value, path,
                    {"sysname", "nodename", "release", "version", "machine", "os_type", "os_description", "os_major",
                     "os_minor", "service_pack_major", "service_pack", "os_build", "machine_id", "vm_guest"});
    auto set_text = [&](const char* key, std::string& field) {
        if (value.contains(key)) field = text(value.at(key), member_path(path, key), kMaxHostText);
    };
    set_text("sysname", host.sysname);
    set_text("nodename", host.nodename);
    set_text("release", host.release);
    set_text("version", host.version);
    set_text("machine", host.machine);
    set_text("os_description", host.os_description);
    set_text("service_pack", host.service_pack);
    set_text("machine_id", host.machine_id);
    set_text("vm_guest", host.vm_guest);
    if (host.vm_guest != "" && host.vm_guest != "vmware" && host.vm_guest != "hyperv") {
        fail(quoted(member_path(path, "vm_guest")) + " must be \"\", \"vmware\" or \"hyperv\"");
    }
    if (value.contains("os_type")) host.os_type = hex_or_unsigned32(value.at("os_type"), member_path(path, "os_type"));
    version_numbers(host.release, host.os_major, host.os_minor);
    if (value.contains("os_major")) host.os_major = unsigned32(value.at("os_major"), member_path(path, "os_major"));
    if (value.contains("os_minor")) host.os_minor = unsigned32(value.at("os_minor"), member_path(path, "os_minor"));
    if (value.contains("service_pack_major")) {
        host.service_pack_major = unsigned32(value.at("service_pack_major"), member_path(path, "service_pack_major"));
    }
    host.os_build = leading_build_number(host.version);
    if (value.contains("os_build")) host.os_build = unsigned32(value.at("os_build"), member_path(path, "os_build"));
}

void read_environment(const json& value, SimHost& out) {
    const std::string path = "environment";
    require_object(value, path);
    for (const auto& [name, setting] : value.items()) {
        const std::string where = member_path(path, name);
        if (name.empty() || name.size() > kMaxEnvName || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) {
            fail("environment variable name " + quoted(where) + " must be 1 to " + std::to_string(kMaxEnvName) +
                 " bytes without \"=\" or NUL");
        }
        if (setting.is_null()) {
            out.environment[name] = std::nullopt;
        } else {
            if (!setting.is_string()) fail(quoted(where) + " must be a string or null");
            out.environment[name] = text(setting, where, kMaxEnvValue);
        }
    }
}

constexpr int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const auto doy = static_cast<unsigned>((153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1);
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

LocalTime local_time_text(const json& value, const std::string& path, std::int64_t& epoch_seconds) {
    const std::string shape_fault = quoted(path) + " must be a local time \"YYYY-MM-DD hh:mm:ss.mmm\"";
    if (!value.is_string()) fail(shape_fault);
    const auto& s = value.get_ref<const std::string&>();
    constexpr std::string_view pattern = "dddd-dd-dd dd:dd:dd.ddd";
    if (s.size() != pattern.size()) fail(shape_fault);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const bool digit = s[i] >= '0' && s[i] <= '9';
        if (pattern[i] == 'd' ? !digit : s[i] != pattern[i]) fail(shape_fault);
    }
    auto field = [&s](std::size_t pos, std::size_t len) { return std::stoi(s.substr(pos, len)); };
    LocalTime t;
    t.year = field(0, 4);
    t.month = field(5, 2);
    t.day = field(8, 2);
    t.hour = field(11, 2);
    t.minute = field(14, 2);
    t.second = field(17, 2);
    t.millisecond = field(20, 3);
    const bool month_ok = t.month >= 1 && t.month <= 12;
    const int month_days = month_ok ? kDaysInMonth[t.month - 1] + (t.month == 2 && leap_year(t.year) ? 1 : 0) : 0;
    if (t.year < 1970 || !month_ok || t.day < 1 || t.day > month_days || t.hour > 23 || t.minute > 59 || t.second > 59) {
        fail(quoted(path) + " is not a valid date and time from 1970 on");
    }
    const std::int64_t days = days_from_civil(t.year, t.month, t.day);
    t.weekday = static_cast<int>((days + 4) % 7);  // 1970-01-01 was a Thursday
    t.yearday = static_cast<int>(days - days_from_civil(t.year, 1, 1));
    epoch_seconds = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
    return t;
}

void read_clock(const json& value, SimHost& out) {
    out.clock = local_time_text(value, "clock", out.clock_epoch_seconds);
}

void read_tools(const json& value, SimHost& out) {
    const std::string path = "tools";
    require_object(value, path);
    for (const auto& [command, answer] : value.items()) {
        const std::string where = member_path(path, command);
        if (command.empty() || command.size() > kMaxCommandLine || command.find('\0') != std::string::npos) {
            fail("command line " + quoted(where) + " must be 1 to " + std::to_string(kMaxCommandLine) +
                 " bytes without NUL");
        }
        require_object(answer, where);
        known_keys_only(answer, where, {"output", "exit_status"});
        SimTool tool;
        if (answer.contains("output")) tool.output = text(answer.at("output"), member_path(where, "output"), kMaxHostFileBytes);
        if (answer.contains("exit_status")) {
            tool.exit_status = static_cast<int>(integer(answer.at("exit_status"), member_path(where, "exit_status"),
                                                        std::numeric_limits<std::int32_t>::min(),
                                                        std::numeric_limits<std::int32_t>::max()));
        }
        out.tools[command] = std::move(tool);
    }
}

// A factor above 0 and at most 1: waiting out whole time-outs would make a test of a dead device
// take minutes.
double timeout_scale(const json& value) {
    const std::string fault = quoted("timeout_scale") + " must be a number above 0 and at most 1";
    if (!value.is_number()) fail(fault);
    const double scale = value.get<double>();
    if (!(scale > 0 && scale <= 1)) fail(fault);
    return scale;
}

void read_document(const json& doc, SimHost& out, const std::string& base_directory) {
    require_object(doc, "");
    known_keys_only(doc, "", {"host", "user", "environment", "clock", "process_id", "tools", "devices", "service_processors", "multipath_volumes",
                              "volumes", "registry", "held_mutexes", "arrays", "hba_libraries", "latency", "timeout_scale",
                              "provider", "disk_interfaces", "disk_names", "clock_readings", "programs", "modules",
                              "multipath_fault"});
    if (doc.contains("host")) read_host(doc.at("host"), out.host);
    if (doc.contains("user")) {
        const json& user = doc.at("user");
        if (user.is_null()) {
            out.user.reset();
        } else {
            if (!user.is_string()) fail(quoted("user") + " must be a string or null");
            out.user = text(user, "user", kMaxHostText);
        }
    }
    if (doc.contains("environment")) read_environment(doc.at("environment"), out);
    if (doc.contains("clock") && !doc.at("clock").is_null()) read_clock(doc.at("clock"), out);
    if (doc.contains("process_id") && !doc.at("process_id").is_null()) {
        out.process_id = static_cast<std::uint32_t>(
            integer(doc.at("process_id"), "process_id", 1, std::numeric_limits<std::uint32_t>::max()));
    }
    if (doc.contains("tools")) read_tools(doc.at("tools"), out);
    if (doc.contains("held_mutexes")) {
        const json& held = doc.at("held_mutexes");
        if (!held.is_array()) fail(quoted("held_mutexes") + " must be an array of mutex names");
        for (std::size_t i = 0; i < held.size(); ++i) {
            const std::string where = "held_mutexes[" + std::to_string(i) + "]";
            if (!held[i].is_string()) fail(quoted(where) + " must be a string");
            std::string name = text(held[i], where, kMaxObjectName);
            if (!valid_object_name(name)) fail(quoted(where) + " is not a valid object name");
            out.held_mutexes.push_back(std::move(name));
        }
    }
    if (doc.contains("devices")) out.devices = read_devices(doc.at("devices"), "devices", base_directory);
    if (doc.contains("latency")) {
        // The file's times stand for every device that does not give its own; pseudo devices and
        // generated interfaces then copy them from the device they answer as.
        const SimLatency all = latency(doc.at("latency"), "latency");
        for (SimDevice& d : out.devices) d.latency = with_fallback(d.latency, all);
    }
    if (doc.contains("timeout_scale")) out.timeout_scale = timeout_scale(doc.at("timeout_scale"));
    if (doc.contains("arrays")) {
        out.arrays = read_arrays(doc.at("arrays"), "arrays");
        tie_arrays(out.devices, out.arrays);
    }
    out.discovery = read_discovery(doc, out.devices);
    if (doc.contains("service_processors")) {
        out.storage.service_processors = read_service_processors(doc.at("service_processors"), "service_processors");
    }
    if (doc.contains("multipath_volumes")) {
        out.storage.multipath_volumes = read_multipath_volumes(doc.at("multipath_volumes"), "multipath_volumes");
    }
    if (doc.contains("hba_libraries")) out.hba_libraries = read_hba_libraries(doc.at("hba_libraries"), "hba_libraries");
    out.recorded = read_recorded_host(doc);
}

SimHost default_host() {
    SimHost h;
    h.host.sysname = "Windows_NT";
    h.host.nodename = "SIMHOST";
    h.host.release = "10.0";
    h.host.version = "17763";
    h.host.machine = "AMD64";
    h.host.os_type = kDefaultOsType;
    h.host.os_description = "Windows Server 2019 Standard";
    h.host.os_major = 10;
    h.host.os_build = 17763;
    h.host.machine_id = "5d0c3a8e-61f4-4b2a-9e07-c4b19f2d7a36";
    h.user = "Administrator";
    return h;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace check

using namespace check;

bool parse_sim_host(std::string_view text, SimHost& out, std::string& fault, const std::string& base_directory) {
    try {
        SimHost host = default_host();
        const json doc = parse_document(text);
        read_document(doc, host, base_directory);
        out = std::move(host);
        return true;
    } catch (const Fault& f) {
        fault = f.text;
    } catch (const std::exception& e) {
        fault = printable(e.what());
    }
    return false;
}

bool load_sim_host(const std::string& path, SimHost& out, std::string& error) {
    const std::string prefix = "simulated host file \"" + printable(path) + "\": ";
    errno = 0;
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = prefix + "cannot be opened: " + std::strerror(errno);
        return false;
    }
    const std::string too_large = prefix + "is larger than " + std::to_string(kMaxHostFileBytes) + " bytes";
    std::string content;
    // A regular file's size is known before reading: refuse a huge one at once, read the rest in one go.
    std::error_code size_error;
    const std::uintmax_t size = std::filesystem::file_size(path, size_error);
    if (!size_error) {
        if (size > kMaxHostFileBytes) {
            error = too_large;
            return false;
        }
        content.reserve(static_cast<std::size_t>(size));
    }
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        if (content.size() + got > kMaxHostFileBytes) {
            error = too_large;
            return false;
        }
        content.append(chunk, got);
    }
    if (std::ferror(file.get())) {
        error = prefix + "cannot be read: " + std::strerror(errno);
        return false;
    }
    if (content.find_first_not_of(" \t\r\n") == std::string::npos) {
        error = prefix + "is empty";
        return false;
    }
    std::string fault;
    if (!parse_sim_host(content, out, fault, std::filesystem::path(path).parent_path().string())) {
        error = prefix + fault;
        return false;
    }
    return true;
}

std::string ctime_text(const LocalTime& t) {
    static constexpr const char* kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (t.weekday < 0 || t.weekday > 6 || t.month < 1 || t.month > 12) return {};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[t.weekday], kMonths[t.month - 1],
                  t.day, t.hour, t.minute, t.second, t.year);
    return buffer;
}

LocalTime advanced(const LocalTime& t, std::int64_t milliseconds) {
    if (milliseconds == 0) return t;
    constexpr std::int64_t kDayMs = 86400000;
    const std::int64_t since_epoch =
        days_from_civil(t.year, t.month, t.day) * kDayMs +
        ((t.hour * 60 + t.minute) * 60 + std::int64_t{t.second}) * 1000 + t.millisecond + milliseconds;
    const std::int64_t days = since_epoch / kDayMs - (since_epoch % kDayMs < 0 ? 1 : 0);
    const std::int64_t in_day = since_epoch - days * kDayMs;
    // The inverse of days_from_civil: eras of 400 years from 0000-03-01.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    LocalTime out;
    out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    out.year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (out.month <= 2 ? 1 : 0));
    out.hour = static_cast<int>(in_day / 3600000);
    out.minute = static_cast<int>(in_day / 60000 % 60);
    out.second = static_cast<int>(in_day / 1000 % 60);
    out.millisecond = static_cast<int>(in_day % 1000);
    out.weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
    out.yearday = static_cast<int>(days - days_from_civil(out.year, 1, 1));
    return out;
}

}  // namespace pds::sim
