// The linux provider's iSCSI registry keys: the Discovery key's DefaultInitiatorName from open-iscsi's initiator-name file, its Send Targets values from iscsiadm's sessions, an empty adapter class key.
#include "linux_iscsi.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

namespace pds {
namespace {

constexpr std::string_view kDiscoveryKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\iSCSI\\Discovery";
constexpr std::string_view kSendTargetsKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\iSCSI\\Discovery\\Send Targets";
constexpr std::string_view kAdapterClassKey =
    "SYSTEM\\ControlSet001\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}";
constexpr std::size_t kMaxInitiatorFile = 65536;

bool same_key(std::string_view asked, std::string_view key) {
    if (!asked.empty() && asked.back() == '\\') asked.remove_suffix(1);
    return asked.size() == key.size() &&
           std::equal(asked.begin(), asked.end(), key.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view kBlank = " \t\r\n\f\v";
    const std::size_t begin = text.find_first_not_of(kBlank);
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(kBlank) - begin + 1);
}

// Lines of `text` without their line ends.
std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

bool read_small_file(const char* path, std::string& text) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    text.resize(kMaxInitiatorFile);
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::fclose(f);
    return true;
}

// A key made up when opened: its subkeys and string values.
class StaticKey final : public RegistryKey {
public:
    StaticKey(std::vector<std::string> subkeys, std::vector<std::pair<std::string, std::string>> values)
        : subkeys_(std::move(subkeys)), values_(std::move(values)) {}
    os_error enum_subkey(std::uint32_t index, std::string& name) override {
        if (index >= subkeys_.size()) return kErrorNoMoreItems;
        name = subkeys_[index];
        return 0;
    }
    os_error enum_value(std::uint32_t index, std::string& name) override {
        if (index >= values_.size()) return kErrorNoMoreItems;
        name = values_[index].first;
        return 0;
    }
    os_error query_string(const std::string& value_name, std::string& value) override {
        for (const auto& [name, text] : values_) {
            if (same_key(value_name, name)) {
                value = text;
                return 0;
            }
        }
        return kErrorFileNotFound;
    }
    os_error query_dword(const std::string& value_name, std::uint32_t&) override {
        std::string ignored;
        return query_string(value_name, ignored) == 0 ? kErrorUnsupportedType : kErrorFileNotFound;
    }

private:
    std::vector<std::string> subkeys_;
    std::vector<std::pair<std::string, std::string>> values_;
};

}  // namespace

std::string iscsi_initiator_name_from(std::string_view file_text) {
    constexpr std::string_view kKey = "InitiatorName=";
    for (std::string_view line : lines_of(file_text)) {
        line = trimmed(line);
        if (line.substr(0, kKey.size()) == kKey) return std::string(trimmed(line.substr(kKey.size())));
    }
    return {};
}

// Session lines read "tcp: [1] 192.0.2.10:3260,1 iqn.2001-05.com.example:disk1 (non-flash)"; an
// IPv6 portal is bracketed ("[2001:db8::1]:3260,1").
std::vector<std::string> iscsi_portals_from(std::string_view session_output) {
    std::vector<std::string> portals;
    for (std::string_view line : lines_of(session_output)) {
        const std::size_t id_end = line.find("] ");
        if (line.find(": [") == std::string_view::npos || id_end == std::string_view::npos) continue;
        std::string_view portal = trimmed(line.substr(id_end + 2));
        portal = portal.substr(0, portal.find(' '));
        portal = portal.substr(0, portal.find(','));
        const std::size_t colon = portal.rfind(':');
        if (colon == std::string_view::npos || colon == 0 || colon + 1 == portal.size()) continue;
        const std::string_view port = portal.substr(colon + 1);
        if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        std::string name = std::string(portal.substr(0, colon)) + " " + std::string(port);
        if (std::find(portals.begin(), portals.end(), name) == portals.end()) portals.push_back(std::move(name));
    }
    return portals;
}

bool linux_iscsi_registry_key(Platform& host, const std::string& subkey, const char* initiator_file,
                              std::unique_ptr<RegistryKey>& out, os_error& error) {
    const bool discovery = same_key(subkey, kDiscoveryKey);
    const bool send_targets = same_key(subkey, kSendTargetsKey);
    const bool adapter_class = same_key(subkey, kAdapterClassKey);
    if (!discovery && !send_targets && !adapter_class) return false;
    out.reset();
    // Without an initiator-name file open-iscsi is not set up: the host has no iSCSI initiator.
    std::string file_text;
    if (!read_small_file(initiator_file, file_text)) {
        error = kErrorFileNotFound;
        return true;
    }
    std::vector<std::pair<std::string, std::string>> values;
    if (discovery) {
        const std::string name = iscsi_initiator_name_from(file_text);
        if (!name.empty()) values.emplace_back("DefaultInitiatorName", name);
        out = std::make_unique<StaticKey>(std::vector<std::string>{"Send Targets"}, std::move(values));
    } else if (send_targets) {
        std::string output;
        int exit_status = 0;
        if (host.run_tool("iscsiadm -m session", &output, exit_status) == 0 && exit_status == 0) {
            for (std::string& portal : iscsi_portals_from(output)) values.emplace_back(std::move(portal), "");
        }
        out = std::make_unique<StaticKey>(std::vector<std::string>{}, std::move(values));
    } else {
        out = std::make_unique<StaticKey>(std::vector<std::string>{}, std::move(values));
    }
    error = 0;
    return true;
}

}  // namespace pds
