// Masking a capture: host name, user, machine id and unit serial numbers replaced consistently, in texts and in device bytes alike.
//
// A replacement keeps the length and the kind of each character (digit for digit, letter for
// letter in the same case, anything else as it is) and depends only on the text it replaces, so
// the same text gets the same replacement wherever it stands and in every capture, and the bytes
// of a device stay the same size. Each character's replacement depends on the text up to it, so a
// text that begins another (the first 8 characters of a serial in an INQUIRY) is replaced by the
// beginning of the other's replacement. Host and user names are found without regard to case.
#include "capture.h"

#include "pds/byteorder.h"
#include "pds/win_device_layouts.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

namespace pds::capture {
namespace {

// Texts shorter than this are not looked for: they would hit unrelated words.
constexpr std::size_t kShortest = 3;
constexpr std::size_t kInquirySerialBytes = 8;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string replacement(const std::string& secret) {
    std::string out = secret;
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a over the text up to each character
    for (std::size_t i = 0; i < secret.size(); ++i) {
        h = (h ^ static_cast<unsigned char>(lower(secret[i]))) * 1099511628211ull;
        const std::uint64_t mix = h ^ (h >> 29);
        const char c = secret[i];
        if (c >= '0' && c <= '9') out[i] = static_cast<char>('0' + mix % 10);
        else if (c >= 'a' && c <= 'z') out[i] = static_cast<char>('a' + mix % 26);
        else if (c >= 'A' && c <= 'Z') out[i] = static_cast<char>('A' + mix % 26);
    }
    return out;
}

class Masker {
public:
    void add(const std::string& secret, bool any_case) {
        if (secret.size() >= kShortest) (any_case ? names_ : exact_).insert(secret);
    }

    void text(std::string& s) const {
        for (const std::string& name : names_) replace(s, name, true);
        for (const std::string& serial : exact_) replace(s, serial, false);
    }
    void text(std::optional<std::string>& s) const {
        if (s) text(*s);
    }
    void bytes(sim::RecordedBytes& b) const {
        std::string s(b.begin(), b.end());
        text(s);
        std::copy(s.begin(), s.end(), b.begin());
    }

private:
    // Every occurrence, longest texts first so that a longer secret is not cut by a shorter one.
    static void replace(std::string& s, const std::string& secret, bool any_case) {
        const std::string by = replacement(secret);
        auto same = [any_case](char a, char b) { return any_case ? lower(a) == lower(b) : a == b; };
        for (auto it = s.begin(); (it = std::search(it, s.end(), secret.begin(), secret.end(), same)) != s.end();) {
            for (std::size_t i = 0; i < secret.size(); ++i, ++it) {
                const char was = *it;
                char now = by[i];
                if (any_case && was >= 'A' && was <= 'Z' && now >= 'a' && now <= 'z') now = static_cast<char>(now - 'a' + 'A');
                if (any_case && was >= 'a' && was <= 'z' && now >= 'A' && now <= 'Z') now = static_cast<char>(now - 'A' + 'a');
                *it = now;
            }
        }
    }

    struct LongestFirst {
        bool operator()(const std::string& a, const std::string& b) const {
            return a.size() != b.size() ? a.size() > b.size() : a < b;
        }
    };
    std::set<std::string, LongestFirst> names_;
    std::set<std::string, LongestFirst> exact_;
};

// The unit serial number of a page 0x80 reply, without its padding.
std::string unit_serial(const sim::RecordedExchange& e) {
    if (e.cdb.size() < 3 || e.cdb[0] != 0x12 || (e.cdb[1] & 1) == 0 || e.cdb[2] != 0x80 || e.data.size() < 4) return {};
    const std::size_t length = std::min<std::size_t>(e.data[3], e.data.size() - 4);
    std::string serial(e.data.begin() + 4, e.data.begin() + 4 + static_cast<std::ptrdiff_t>(length));
    const std::size_t first = serial.find_first_not_of(std::string(" \0", 2));
    if (first == std::string::npos) return {};
    serial = serial.substr(first);
    serial.erase(serial.find_last_not_of(std::string(" \0", 2)) + 1);
    return serial;
}

// The serial number text of a device descriptor (IOCTL_STORAGE_QUERY_PROPERTY, StorageDeviceProperty).
std::string descriptor_serial(const sim::RecordedIoctl& c) {
    constexpr std::size_t kSerialOffsetField = 24;
    if (c.code != win::IOCTL_STORAGE_QUERY_PROPERTY || c.in.size() < 4 || load_le32(c.in) != 0 ||
        c.out.size() < kSerialOffsetField + 4) {
        return {};
    }
    const std::uint32_t at = load_le32(std::span<const std::uint8_t>(c.out).subspan(kSerialOffsetField));
    if (at == 0 || at >= c.out.size()) return {};
    std::string serial;
    for (std::size_t i = at; i < c.out.size() && c.out[i] != 0; ++i) serial += static_cast<char>(c.out[i]);
    const std::size_t first = serial.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    serial = serial.substr(first);
    serial.erase(serial.find_last_not_of(' ') + 1);
    return serial;
}

// The variables that name the host or its user on one system or another.
bool identity_variable(const std::string& name) {
    static const std::set<std::string> kNames = {"COMPUTERNAME", "HOSTNAME", "USERNAME", "USER", "LOGNAME",
                                                  "USERDOMAIN", "USERDNSDOMAIN", "HOME", "USERPROFILE"};
    std::string upper = name;
    for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    return kNames.count(upper) != 0;
}

}  // namespace

void mask(Recording& r) {
    Masker m;
    if (r.host) {
        m.add(r.host->nodename, true);
        // The short name of a fully qualified host name stands alone in many texts.
        m.add(r.host->nodename.substr(0, r.host->nodename.find('.')), true);
        m.add(r.host->machine_id, true);
    }
    if (r.user) m.add(*r.user, true);
    for (const auto& [name, value] : r.environment) {
        if (value && identity_variable(name) && value->find_first_of("\\/") == std::string::npos) m.add(*value, true);
    }
    for (const DeviceRecord& d : r.devices) {
        std::vector<std::string> serials;
        for (const sim::RecordedExchange& e : d.exchanges) serials.push_back(unit_serial(e));
        for (const sim::RecordedIoctl& c : d.ioctls) serials.push_back(descriptor_serial(c));
        for (const std::string& serial : serials) {
            m.add(serial, false);
            // The standard INQUIRY of many disks carries the serial's first 8 characters.
            if (serial.size() > kInquirySerialBytes) m.add(serial.substr(0, kInquirySerialBytes), false);
        }
    }
    // An adapter's serial number, and the texts its library gives that may name the host.
    for (const auto& [path, library] : r.hba_libraries) {
        for (const hba::Adapter& a : library.library.adapters) m.add(a.serial_number, false);
    }

    if (r.host) {
        for (std::string* s : {&r.host->nodename, &r.host->version, &r.host->os_description, &r.host->machine_id}) m.text(*s);
    }
    m.text(r.user);
    for (auto& [name, value] : r.environment) m.text(value);
    for (auto& [command, tool] : r.tools) m.text(tool.output);
    for (auto& [name, path] : r.programs) m.text(path);
    for (DeviceRecord& d : r.devices) {
        for (sim::RecordedExchange& e : d.exchanges) m.bytes(e.data);
        for (sim::RecordedIoctl& c : d.ioctls) m.bytes(c.out);
    }
    for (auto& [path, key] : r.registry) {
        for (auto& [name, value] : key.values) {
            if (auto* s = std::get_if<std::string>(&value)) m.text(*s);
        }
    }
    for (ServiceProcessorRecord& s : r.service_processors) m.text(s.product);
    for (auto& [path, library] : r.hba_libraries) {
        for (hba::Adapter& a : library.library.adapters) {
            for (std::string* s : {&a.name, &a.serial_number, &a.model_description, &a.node_symbolic_name}) m.text(*s);
            for (hba::Port& p : a.ports) m.text(p.symbolic_name);
        }
    }
}

}  // namespace pds::capture
