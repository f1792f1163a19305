// Writing a capture as a host file: the recording in the host file's keys, and the atomic write of the file.
#include "capture.h"
#include "sim_host_limits.h"
#include "sim_devices.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <type_traits>

namespace pds::capture {
namespace {

using json = nlohmann::ordered_json;

// The loader's bounds (docs/host-file.md): an entry past them would make the whole file unusable,
// so it is left out and the replay answers as for a thing the host does not have.
constexpr std::size_t kMaxHostText = 256;
using sim::limits::kMaxEnvValue;
using sim::limits::kMaxCommandLine;
using sim::limits::kMaxDevicePath;
using sim::limits::kMaxRegistryKeys;
using sim::limits::kMaxValueName;
using sim::limits::kMaxValueText;
constexpr std::size_t kMaxRecordedBytes = 1u << 20;
constexpr std::size_t kMaxCdbBytes = 16;

std::string hex(const sim::RecordedBytes& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const std::uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::string hex32(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

bool fits(const std::string& text, std::size_t max_bytes) {
    return text.size() <= max_bytes && text.find('\0') == std::string::npos;
}

std::string time_text(const LocalTime& t) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, t.millisecond);
    return text;
}

json host_of(const HostIdentity& h) {
    json out = json::object();
    auto put = [&out](const char* key, const std::string& value) {
        if (fits(value, kMaxHostText)) out[key] = value;
    };
    put("sysname", h.sysname);
    put("nodename", h.nodename);
    put("release", h.release);
    put("version", h.version);
    put("machine", h.machine);
    out["os_type"] = hex32(h.os_type);
    put("os_description", h.os_description);
    out["os_major"] = h.os_major;
    out["os_minor"] = h.os_minor;
    out["service_pack_major"] = h.service_pack_major;
    put("service_pack", h.service_pack);
    out["os_build"] = h.os_build;
    put("machine_id", h.machine_id);
    if (h.vm_guest.empty() || h.vm_guest == "vmware" || h.vm_guest == "hyperv") out["vm_guest"] = h.vm_guest;
    return out;
}

// How opening fared, in the device's "open" words where they say it, else the error number.
json open_of(const DeviceRecord& d) {
    std::set<os_error> writes, reads;
    for (const auto& [access, error] : d.opens) ((access & 0x40000000u) != 0 ? writes : reads).insert(error);
    if (writes == std::set<os_error>{kErrorSharingViolation} && reads == std::set<os_error>{0}) {
        return "sharing_violation_then_read_only";
    }
    // A path whose opens fared otherwise differently is written with its first failure.
    os_error error = 0;
    for (const auto& open : d.opens) {
        if (open.second != 0) {
            error = open.second;
            break;
        }
    }
    switch (error) {
    case 0: return "ok";
    case kErrorFileNotFound: return "not_found";
    case kErrorSharingViolation: return "sharing_violation";
    case kErrorAccessDenied: return "access_denied";
    default: return error;
    }
}

json exchange_of(const sim::RecordedExchange& e) {
    json out = json::object();
    out["cdb"] = hex(e.cdb);
    if (e.multipath) out["multipath"] = true;
    if (e.error != 0) {
        out["error"] = e.error;
        return out;
    }
    if (e.status != 0) out["status"] = e.status;
    if (!e.data.empty()) out["data"] = hex(e.data);
    if (e.transferred != e.data.size()) out["transferred"] = e.transferred;
    if (!e.sense.empty()) out["sense"] = hex(e.sense);
    if (e.returned) out["returned"] = *e.returned;
    return out;
}

json ioctl_of(const sim::RecordedIoctl& r) {
    json out = json::object();
    out["code"] = hex32(r.code);
    if (!r.in.empty()) out["in"] = hex(r.in);
    out["out_length"] = r.out_length;
    if (r.error != 0) out["error"] = r.error;
    if (!r.out.empty()) out["out"] = hex(r.out);
    if (r.returned != r.out.size()) out["returned"] = r.returned;
    return out;
}

json device_of(const DeviceRecord& d) {
    json out = json::object();
    out["path"] = d.path;
    const json open = open_of(d);
    if (open != "ok") out["open"] = open;
    json exchanges = json::array();
    for (const auto& e : d.exchanges) {
        // A CDB is 1 to 16 bytes; the platform never records another, and a file must load.
        if (e.cdb.empty() || e.cdb.size() > kMaxCdbBytes || e.data.size() > kMaxRecordedBytes) continue;
        exchanges.push_back(exchange_of(e));
    }
    if (!exchanges.empty()) out["exchanges"] = std::move(exchanges);
    json ioctls = json::array();
    for (const auto& r : d.ioctls) {
        if (r.in.size() > kMaxRecordedBytes || r.out.size() > kMaxRecordedBytes) continue;
        ioctls.push_back(ioctl_of(r));
    }
    if (!ioctls.empty()) out["ioctls"] = std::move(ioctls);
    return out;
}

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool valid_key_path(const std::string& path) {
    if (path.empty() || path.front() == '\\' || path.back() == '\\' || path.find('\0') != std::string::npos) return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('\\', start), path.size());
        if (end == start || end - start > 255) return false;
        start = end + 1;
    }
    return true;
}

// The keys opened and the subkeys they listed, each once whatever its case; values as read, and
// those only listed as empty strings.
json registry_of(const std::map<std::string, RegistryRecord>& keys) {
    json out = json::object();
    std::map<std::string, std::string> spelled;  // lower-case path -> the key of `out`
    auto key = [&](const std::string& path) -> json* {
        if (!valid_key_path(path)) return nullptr;
        const auto [it, added] = spelled.emplace(lower(path), path);
        if (added && spelled.size() > kMaxRegistryKeys) {
            spelled.erase(it);
            return nullptr;
        }
        json& entry = out[it->second];
        if (entry.is_null()) entry = json::object();
        return &entry;
    };
    for (const auto& [opened, record] : keys) {
        std::string path = opened;
        while (!path.empty() && path.back() == '\\') path.pop_back();
        if (json* entry = path.empty() ? nullptr : key(path)) {
            std::set<std::string> names;
            for (const auto& [name, value] : record.values) {
                const auto* number = std::get_if<std::uint32_t>(&value);
                if (!fits(name, kMaxValueName) || (number == nullptr && !fits(std::get<std::string>(value), kMaxValueText)) ||
                    !names.insert(lower(name)).second) {
                    continue;
                }
                if (number != nullptr) (*entry)[name] = *number;
                else (*entry)[name] = std::get<std::string>(value);
            }
            for (const std::string& name : record.value_names) {
                if (fits(name, kMaxValueName) && names.insert(lower(name)).second) (*entry)[name] = "";
            }
        }
        for (const std::string& sub : record.subkeys) key(path.empty() ? sub : path + "\\" + sub);
    }
    return out;
}

json volumes_of(const std::string& roots, const std::map<std::string, std::uint32_t>& types) {
    static const char* const kTypeNames[] = {nullptr, nullptr, "removable", "fixed", "remote", "cdrom", "ramdisk"};
    json out = json::array();
    std::set<char> letters;
    for (std::size_t i = 0; i + 3 <= roots.size(); i += 3) {
        const std::string root = roots.substr(i, 3);
        if (root[0] < 'A' || root[0] > 'Z' || root[1] != ':' || root[2] != '\\' || !letters.insert(root[0]).second) continue;
        json v = json::object();
        v["root"] = root;
        const auto t = types.find(root);
        if (t != types.end() && t->second < 7 && kTypeNames[t->second] != nullptr) v["type"] = kTypeNames[t->second];
        out.push_back(std::move(v));
    }
    return out;
}

json service_processors_of(const std::vector<ServiceProcessorRecord>& list) {
    json out = json::array();
    std::vector<const ServiceProcessorRecord*> ordered;
    // A client made for an operating-system device is served by the first instance.
    for (const auto& s : list) {
        if (s.session.empty()) ordered.insert(ordered.begin(), &s);
        else ordered.push_back(&s);
    }
    for (const ServiceProcessorRecord* s : ordered) {
        const std::string serial = s->array_serial.value_or("000000000000");
        const bool digits = serial.size() == 12 && serial.find_first_not_of("0123456789") == std::string::npos;
        const std::string session = s->session.empty() ? "-" : s->session;
        if (session.size() > 4 || !digits || s->revision.value_or("").size() > 8 || s->product.value_or("").size() > 64) continue;
        json entry = json::object();
        entry["session"] = session;
        entry["revision"] = s->revision.value_or("");
        entry["product"] = s->product.value_or("");
        entry["array_serial"] = serial;
        if (!s->failed_call.empty()) entry["fails"] = s->failed_call;
        out.push_back(std::move(entry));
    }
    return out;
}

// A JSON text is UTF-8: a byte that is not part of a UTF-8 character is written as '?', so that a
// text keeps its length and stays within the loader's bounds.
void clean(std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        bool whole = n != 0 && i + n <= s.size();
        for (std::size_t k = 1; whole && k < n; ++k) whole = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        if (whole && n > 2) {
            // No overlong forms, no surrogates, nothing past U+10FFFF.
            const auto second = static_cast<unsigned char>(s[i + 1]);
            whole = !((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) || (c == 0xF0 && second < 0x90) ||
                      (c == 0xF4 && second > 0x8F));
        }
        if (!whole) {
            s[i++] = '?';
            continue;
        }
        i += n;
    }
}

void clean(std::optional<std::string>& s) {
    if (s) clean(*s);
}

// Every text of the recording as valid UTF-8.
Recording cleaned(Recording r) {
    if (r.host) {
        for (std::string* s : {&r.host->sysname, &r.host->nodename, &r.host->release, &r.host->version, &r.host->machine,
                               &r.host->os_description, &r.host->service_pack, &r.host->machine_id, &r.host->vm_guest}) {
            clean(*s);
        }
    }
    clean(r.user);
    auto clean_keys = [](auto& map, auto clean_value) {
        std::remove_reference_t<decltype(map)> out;
        for (auto& [key, value] : map) {
            std::string k = key;
            clean(k);
            clean_value(value);
            out.emplace(std::move(k), std::move(value));
        }
        map = std::move(out);
    };
    clean_keys(r.environment, [](std::optional<std::string>& v) { clean(v); });
    clean_keys(r.tools, [](ToolRecord& t) { clean(t.output); });
    clean_keys(r.programs, [](std::optional<std::string>& v) { clean(v); });
    clean_keys(r.modules, [](sim::RecordedModuleFailure& m) { clean(m.message); });
    clean_keys(r.registry, [&](RegistryRecord& k) {
        for (std::string& s : k.subkeys) clean(s);
        for (std::string& s : k.value_names) clean(s);
        clean_keys(k.values, [](std::variant<std::uint32_t, std::string>& v) {
            if (auto* s = std::get_if<std::string>(&v)) clean(*s);
        });
    });
    for (DeviceRecord& d : r.devices) clean(d.path);
    if (r.interfaces) {
        for (std::string& s : *r.interfaces) clean(s);
    }
    if (r.disk_names) {
        for (auto& [n, s] : *r.disk_names) clean(s);
    }
    clean(r.drive_roots);
    for (ServiceProcessorRecord& s : r.service_processors) {
        clean(s.session);
        clean(s.revision);
        clean(s.product);
        clean(s.array_serial);
    }
    if (r.multipath_volumes) {
        for (std::string& s : *r.multipath_volumes) clean(s);
    }
    clean(r.multipath_fault);
    for (std::string& s : r.date_texts) clean(s);
    clean_keys(r.hba_libraries, [](HbaLibraryRecord& l) {
        clean(l.resolved_path);
        for (hba::Adapter& a : l.library.adapters) {
            for (std::string* s : {&a.name, &a.manufacturer, &a.serial_number, &a.model, &a.model_description,
                                   &a.node_symbolic_name, &a.hardware_version, &a.driver_version, &a.option_rom_version,
                                   &a.firmware_version, &a.driver_name}) {
                clean(*s);
            }
            for (hba::Port& p : a.ports) {
                clean(p.symbolic_name);
                clean(p.os_device_name);
                for (hba::TargetMapping& m : p.mappings) clean(m.os_device_name);
            }
        }
    });
    return r;
}

}  // namespace

std::string host_file_text(const Recording& recording) {
    const Recording r = cleaned(recording);
    json doc = json::object();
    doc["comment"] = "Captured by lunscan (SIL_SIM_CAPTURE) from a " + r.provider + " host";
    doc["provider"] = r.provider;
    if (r.host) doc["host"] = host_of(*r.host);
    if (r.user_read) doc["user"] = r.user && fits(*r.user, kMaxHostText) ? json(*r.user) : json(nullptr);
    json env = json::object();
    for (const auto& [name, value] : r.environment) {
        if (name.empty() || !fits(name, 256) || name.find('=') != std::string::npos) continue;
        env[name] = value && fits(*value, kMaxEnvValue) ? json(*value) : json(nullptr);
    }
    doc["environment"] = std::move(env);
    if (!r.local_times.empty()) doc["clock"] = time_text(r.local_times.front());
    json readings = json::object();
    if (!r.local_times.empty()) {
        json& list = readings["local_time"] = json::array();
        for (const LocalTime& t : r.local_times) list.push_back(time_text(t));
    }
    if (!r.date_texts.empty()) readings["date_text"] = r.date_texts;
    if (!r.epoch_seconds.empty()) readings["epoch_seconds"] = r.epoch_seconds;
    if (!r.monotonic_ns.empty()) readings["monotonic_ns"] = r.monotonic_ns;
    if (!readings.empty()) doc["clock_readings"] = std::move(readings);
    if (r.process_id && *r.process_id != 0) doc["process_id"] = *r.process_id;
    json tools = json::object();
    for (const auto& [command, tool] : r.tools) {
        if (command.empty() || !fits(command, kMaxCommandLine) || tool.output.find('\0') != std::string::npos) continue;
        tools[command] = json{{"output", tool.output}, {"exit_status", tool.exit_status}};
    }
    if (!tools.empty()) doc["tools"] = std::move(tools);
    json programs = json::object();
    for (const auto& [name, path] : r.programs) {
        if (name.empty() || !fits(name, kMaxDevicePath) || (path && !fits(*path, kMaxDevicePath))) continue;
        programs[name] = path ? json(*path) : json(nullptr);
    }
    if (!programs.empty()) doc["programs"] = std::move(programs);
    json devices = json::array();
    // The simulated host knows a device by its path in any case: of two records whose paths then
    // agree (cleaning made them alike, or only their case differs), the first is the device.
    std::set<std::string> written_paths;
    for (const DeviceRecord& d : r.devices) {
        if (d.path.empty() || !fits(d.path, kMaxDevicePath) || devices.size() >= 65536) continue;
        if (!written_paths.insert(sim::device_path_key(d.path)).second) continue;
        devices.push_back(device_of(d));
    }
    if (!devices.empty()) doc["devices"] = std::move(devices);
    if (r.interfaces_error) {
        doc["disk_interfaces"] = *r.interfaces_error;
    } else if (r.interfaces) {
        json list = json::array();
        for (const std::string& p : *r.interfaces) {
            if (!p.empty() && fits(p, 1024)) list.push_back(p);
        }
        doc["disk_interfaces"] = std::move(list);
    }
    if (r.disk_names) {
        json names = json::object();
        for (const auto& [number, name] : *r.disk_names) {
            // A number without a name is the host's "no such disk", which an absent entry says.
            if (!name.empty() && fits(name, kMaxDevicePath)) names[std::to_string(number)] = name;
        }
        doc["disk_names"] = std::move(names);
    }
    if (r.drive_roots && r.provider != "linux") doc["volumes"] = volumes_of(*r.drive_roots, r.drive_types);
    const json registry = registry_of(r.registry);
    if (!registry.empty()) doc["registry"] = registry;
    json modules = json::object();
    for (const auto& [path, failure] : r.modules) {
        if (path.empty() || !fits(path, kMaxDevicePath) || failure.error == 0 || !fits(failure.message, 65535)) continue;
        modules[path] = json{{"error", failure.error}, {"message", failure.message}};
    }
    if (!modules.empty()) doc["modules"] = std::move(modules);
    if (!r.hba_libraries.empty()) doc["hba_libraries"] = hba_libraries_of(r.hba_libraries);
    if (r.provider != "linux") {
        const json sps = service_processors_of(r.service_processors);
        if (!sps.empty()) doc["service_processors"] = sps;
    }
    if (r.multipath_volumes) {
        json list = json::array();
        for (const std::string& v : *r.multipath_volumes) {
            if (fits(v, 32)) list.push_back(v);
        }
        doc["multipath_volumes"] = std::move(list);
    }
    if (r.multipath_fault && fits(*r.multipath_fault, 65535)) doc["multipath_fault"] = *r.multipath_fault;
    return doc.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

bool write_atomically(const std::string& path, const std::string& text, std::string& reason) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    fs::path temporary = target;
    temporary += ".tmp";
    errno = 0;
    std::FILE* f = std::fopen(temporary.string().c_str(), "wb");
    if (f == nullptr) {
        reason = std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const int write_errno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        reason = std::strerror(write_errno != 0 ? write_errno : (errno != 0 ? errno : EIO));
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return false;
    }
    std::error_code error;
    fs::rename(temporary, target, error);
    if (error) {
        reason = error.message();
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return false;
    }
    return true;
}

}  // namespace pds::capture
