// Loading and checking the parameters of the other makes' personalities and of the NAS label option.
#include "sim_host_check.h"

#include <charconv>
#include <functional>
#include <limits>
#include <utility>

namespace pds::sim::check {
namespace {

using json = nlohmann::json;

constexpr std::int64_t kMaxUint16 = std::numeric_limits<std::uint16_t>::max();
constexpr std::int64_t kMaxUint32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kMaxName = 64;

std::string member(const std::string& path, std::string_view key) { return member_path(path, key); }

// An optional text with a default; `prefixes` (when any) are the ones the make's identification needs.
std::string text_or(const json& params, const std::string& path, std::string_view key, std::size_t max_bytes,
                    std::string fallback, std::initializer_list<std::string_view> prefixes = {}) {
    std::string value = params.contains(key) ? ascii(params.at(key), member(path, key), max_bytes) : std::move(fallback);
    if (prefixes.size() == 0) return value;
    std::string list;
    for (const std::string_view prefix : prefixes) {
        if (value.compare(0, prefix.size(), prefix) == 0) return value;
        list += (list.empty() ? "\"" : " or \"") + std::string(prefix) + "\"";
    }
    fail(quoted(member(path, key)) + " must begin with " + list);
}

std::string required_text(const json& params, const std::string& path, std::string_view key, std::size_t low,
                          std::size_t high) {
    std::string value = ascii(params.at(key), member(path, key), high);
    if (value.size() < low) {
        fail(quoted(member(path, key)) + " must be " + std::to_string(low) + " to " + std::to_string(high) + " characters");
    }
    return value;
}

// Exactly `count` bytes written as 2 × `count` hex digits.
Bytes hex_field(const json& params, const std::string& path, std::string_view key, std::size_t count) {
    const std::string digits =
        shaped(params.at(key), member(path, key), std::string(2 * count, 'x'), std::to_string(2 * count) + " hex digits");
    Bytes out(count);
    for (std::size_t i = 0; i < count; ++i) std::from_chars(digits.data() + 2 * i, digits.data() + 2 * i + 2, out[i], 16);
    return out;
}

std::int64_t number(const json& params, const std::string& path, std::string_view key, std::int64_t low,
                    std::int64_t high, std::int64_t fallback) {
    return params.contains(key) ? integer(params.at(key), member(path, key), low, high) : fallback;
}

Ipv4Address ipv4(const json& value, const std::string& path) {
    Ipv4Address ip{};
    const std::string s = value.is_string() ? value.get<std::string>() : std::string();
    const char* at = s.data();
    const char* end = s.data() + s.size();
    bool ok = !s.empty();
    for (std::size_t i = 0; ok && i < ip.size(); ++i) {
        unsigned part = 256;
        const auto [next, error] = std::from_chars(at, end, part);
        ok = error == std::errc() && next != at && next - at <= 3 && part <= 255 && (i == 3 ? next == end : next != end && *next == '.');
        ip[i] = static_cast<std::uint8_t>(part);
        at = next + (i == 3 ? 0 : 1);
    }
    if (!ok) fail(quoted(path) + " must be an IPv4 address \"a.b.c.d\"");
    return ip;
}

std::vector<Ipv4Address> ipv4_list(const json& params, const std::string& path, std::string_view key, std::size_t most) {
    std::vector<Ipv4Address> out;
    if (!params.contains(key)) return out;
    const std::string where = member(path, key);
    const json& list = params.at(key);
    if (!list.is_array() || list.size() > most) fail(quoted(where) + " must be an array of at most " + std::to_string(most) + " addresses");
    for (std::size_t i = 0; i < list.size(); ++i) out.push_back(ipv4(list[i], where + "[" + std::to_string(i) + "]"));
    return out;
}

std::uint8_t storage_processor(const json& value, const std::string& path) {
    return choice<std::uint8_t>(value, path, {{"A", std::uint8_t{0}}, {"B", std::uint8_t{1}}});
}

constexpr const char* kRevision = "0001";

// The product, revision and size every make's LUN has; `prefixes` are those its identification needs.
template <typename Params>
void product_revision_blocks(const json& params, const std::string& path, Params& p, std::string product,
                             std::initializer_list<std::string_view> prefixes = {}) {
    p.product = text_or(params, path, "product", 16, std::move(product), prefixes);
    p.revision = text_or(params, path, "revision", 4, kRevision);
    p.blocks = block_count(params, path);
}

// ---- midrange array and virtualisation product --------------------------------------------------

DravonisLunParams dravonis_lun(const json& params, const std::string& path, bool olvessa) {
    if (olvessa) {
        known_keys_only(params, path, {"product", "revision", "array_serial", "lun", "host_lun", "bind_time", "lun_wwn", "sp",
                                       "owner", "sp_port", "sp_ip", "blocks"});
    } else {
        known_keys_only(params, path, {"vendor", "product", "revision", "array_serial", "lun", "host_lun", "bind_time", "lun_wwn",
                                       "sp", "owner", "sp_port", "sp_ip", "peer_ips", "lun_name", "raid", "raid_group", "blocks"});
    }
    require(params, path, {"array_serial", "lun", "lun_wwn", "sp", "blocks"});
    DravonisLunParams p;
    p.olvessa = olvessa;
    if (olvessa) {
        p.vendor = "Olvessa";
        p.product = text_or(params, path, "product", 16, "Olvessa", {"Olvessa"});
    } else {
        p.vendor = params.contains("vendor") ? choice<std::string>(params.at("vendor"), member(path, "vendor"),
                                                                   {{"NDQ", "NDQ"}, {"SGI", "SGI"}, {"FSC FC", "FSC FC"}})
                                             : "NDQ";
        p.product = text_or(params, path, "product", 16, "DRAVONIS");
    }
    p.revision = text_or(params, path, "revision", 4, kRevision);
    p.array_serial = required_text(params, path, "array_serial", 1, 16);
    p.lun = static_cast<std::uint16_t>(integer(params.at("lun"), member(path, "lun"), 0, kMaxUint16));
    p.host_lun = static_cast<std::uint16_t>(number(params, path, "host_lun", 0, kMaxUint16, 0));
    p.bind_time = params.contains("bind_time")
                      ? shaped(params.at("bind_time"), member(path, "bind_time"), "xxxxxxxx", "eight hex digits")
                      : "00000000";
    p.lun_wwn = hex_field(params, path, "lun_wwn", 16);
    p.sp = storage_processor(params.at("sp"), member(path, "sp"));
    p.owner = params.contains("owner") ? storage_processor(params.at("owner"), member(path, "owner")) : p.sp;
    p.sp_port = static_cast<std::uint8_t>(number(params, path, "sp_port", 0, 255, 0));
    if (params.contains("sp_ip")) p.sp_ip = ipv4(params.at("sp_ip"), member(path, "sp_ip"));
    p.blocks = block_count(params, path);
    if (olvessa) return p;

    p.peer_ips = ipv4_list(params, path, "peer_ips", 8);
    if (!p.peer_ips.empty() && !p.sp_ip) fail(quoted(member(path, "peer_ips")) + " needs an \"sp_ip\" of this SP");
    if (params.contains("lun_name")) p.lun_name = required_text(params, path, "lun_name", 1, kMaxName);
    if (params.contains("raid")) {
        p.raid_type = choice<std::uint8_t>(params.at("raid"), member(path, "raid"),
                                           {{"individual", std::uint8_t{2}}, {"raid0", std::uint8_t{3}},
                                            {"raid1", std::uint8_t{4}}, {"raid5", std::uint8_t{5}},
                                            {"raid3", std::uint8_t{6}}, {"raid10", std::uint8_t{7}},
                                            {"raid6", std::uint8_t{10}}});
    }
    p.raid_group = static_cast<std::uint32_t>(number(params, path, "raid_group", 0, kMaxUint32, 0));
    // An "SGI" LUN whose texts name that other maker is not a midrange LUN at all.
    if (p.vendor == "SGI" && (p.product + p.revision + p.array_serial).find("IBM") != std::string::npos) {
        fail(quoted(member(path, "vendor")) + " \"SGI\" cannot go with a text holding \"IBM\"");
    }
    return p;
}

// ---- the other arrays ------------------------------------------------------------------------------

StorageWorksLunParams storageworks_lun(const json& params, const std::string& path) {
    known_keys_only(params, path, {"product", "revision", "controller_serial", "node_id", "lun_wwn", "blocks"});
    require(params, path, {"controller_serial", "node_id", "lun_wwn", "blocks"});
    StorageWorksLunParams p;
    product_revision_blocks(params, path, p, "HSG80", {"HSG80"});
    p.controller_serial = required_text(params, path, "controller_serial", 1, 64);
    p.node_id = hex_field(params, path, "node_id", 8);
    p.lun_wwn = hex_field(params, path, "lun_wwn", 16);
    return p;
}

HdsLunParams hds_lun(const json& params, const std::string& path) {
    known_keys_only(params, path, {"vendor", "product", "revision", "model", "serial", "ldev", "blocks"});
    require(params, path, {"model", "serial", "ldev", "blocks"});
    HdsLunParams p;
    p.hp = params.contains("vendor") &&
           choice<bool>(params.at("vendor"), member(path, "vendor"), {{"HITACHI", false}, {"HP", true}});
    product_revision_blocks(params, path, p, "OPEN-S", {"OPEN", "DF600F"});
    p.model = shaped(params.at("model"), member(path, "model"), "dddd", "four decimal digits (\"0450\")");
    // Hitachi's identifier holds the serial in four hex digits, HP's in five decimal digits.
    p.serial = static_cast<std::uint32_t>(integer(params.at("serial"), member(path, "serial"), 0, p.hp ? 99999 : 65535));
    const std::string ldev = params.at("ldev").is_string() ? params.at("ldev").get<std::string>() : std::string();
    if (ldev.empty() || ldev.size() > 4 || ldev.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        fail(quoted(member(path, "ldev")) + " must be 1 to 4 hex digits");
    }
    p.ldev = static_cast<std::uint16_t>(std::stoul(ldev, nullptr, 16));
    return p;
}

S80LunParams s80_lun(const json& params, const std::string& path) {
    known_keys_only(params, path, {"product", "revision", "serial", "array_wwn", "device", "director", "port",
                                   "port_address", "controller_address", "blocks"});
    require(params, path, {"serial", "array_wwn", "device", "director", "port", "port_address", "controller_address", "blocks"});
    S80LunParams p;
    product_revision_blocks(params, path, p, "S80");
    p.serial = hex_field(params, path, "serial", 6);
    p.array_wwn = hex_field(params, path, "array_wwn", 8);
    p.device = shaped(params.at("device"), member(path, "device"), "xx", "two hex digits");
    p.director = static_cast<std::uint8_t>(integer(params.at("director"), member(path, "director"), 0, 99));
    p.port = static_cast<std::uint8_t>(integer(params.at("port"), member(path, "port"), 0, 9));
    p.port_address = hex_field(params, path, "port_address", 4);
    p.controller_address = hex_field(params, path, "controller_address", 4);
    return p;
}

SharkLunParams shark_lun(const json& params, const std::string& path) {
    known_keys_only(params, path, {"product", "revision", "serial", "blocks"});
    require(params, path, {"serial", "blocks"});
    SharkLunParams p;
    product_revision_blocks(params, path, p, "2105", {"2105", "2107", "3552"});
    p.serial = required_text(params, path, "serial", 8, 8);
    return p;
}

HsvLunParams hsv_lun(const json& params, const std::string& path) {
    known_keys_only(params, path, {"product", "revision", "serial", "lun_wwn", "blocks"});
    require(params, path, {"serial", "lun_wwn", "blocks"});
    HsvLunParams p;
    product_revision_blocks(params, path, p, "HSV", {"HSV"});
    p.serial = required_text(params, path, "serial", 1, 64);
    p.lun_wwn = hex_field(params, path, "lun_wwn", 16);
    return p;
}

NetappLunParams netapp_lun(const json& params, const std::string& path) {
    known_keys_only(params, path, {"product", "revision", "serial", "blocks"});
    require(params, path, {"serial", "blocks"});
    NetappLunParams p;
    product_revision_blocks(params, path, p, "LUN");
    p.serial = required_text(params, path, "serial", 12, 12);
    return p;
}

IvantrelLunParams ivantrel_lun(const json& params, const std::string& path) {
    known_keys_only(params, path, {"revision", "section_revision", "slot", "fs_id", "lun_wwn", "serial", "lun_name", "ips",
                                   "blocks"});
    require(params, path, {"slot", "fs_id", "lun_wwn", "serial", "lun_name", "blocks"});
    IvantrelLunParams p;
    p.revision = text_or(params, path, "revision", 4, kRevision);
    p.section_revision = static_cast<std::uint8_t>(number(params, path, "section_revision", 0, 255, 1));
    p.slot = static_cast<std::uint8_t>(integer(params.at("slot"), member(path, "slot"), 0, 255));
    p.fs_id = static_cast<std::uint32_t>(integer(params.at("fs_id"), member(path, "fs_id"), 0, kMaxUint32));
    p.lun_wwn = hex_field(params, path, "lun_wwn", 16);
    p.serial = required_text(params, path, "serial", 1, 31);
    p.lun_name = required_text(params, path, "lun_name", 1, kMaxName);
    p.ips = ipv4_list(params, path, "ips", 8);
    p.blocks = block_count(params, path);
    if (ivantrel_inquiry_size(p.serial.size(), p.lun_name.size(), p.ips.size()) > kIvantrelInquiryLimit) {
        fail(quoted(path) + ": the serial, the LUN name and the addresses do not fit the " +
             std::to_string(kIvantrelInquiryLimit) + " bytes of INQUIRY data");
    }
    return p;
}

struct MakePersonality {
    std::string_view name;
    std::function<void(const json&, const std::string&, SimDevice&)> apply;
};

const std::vector<MakePersonality>& make_personalities() {
    static const std::vector<MakePersonality> all = {
        {"dravonis_lun", [](const json& j, const std::string& p, SimDevice& d) { apply_dravonis_lun(dravonis_lun(j, p, false), d); }},
        {"olvessa_lun", [](const json& j, const std::string& p, SimDevice& d) { apply_dravonis_lun(dravonis_lun(j, p, true), d); }},
        {"storageworks_lun", [](const json& j, const std::string& p, SimDevice& d) { apply_storageworks_lun(storageworks_lun(j, p), d); }},
        {"hds_lun", [](const json& j, const std::string& p, SimDevice& d) { apply_hds_lun(hds_lun(j, p), d); }},
        {"s80_lun", [](const json& j, const std::string& p, SimDevice& d) { apply_s80_lun(s80_lun(j, p), d); }},
        {"shark_lun", [](const json& j, const std::string& p, SimDevice& d) { apply_shark_lun(shark_lun(j, p), d); }},
        {"hsv_lun", [](const json& j, const std::string& p, SimDevice& d) { apply_hsv_lun(hsv_lun(j, p), d); }},
        {"netapp_lun", [](const json& j, const std::string& p, SimDevice& d) { apply_netapp_lun(netapp_lun(j, p), d); }},
        {"ivantrel_lun", [](const json& j, const std::string& p, SimDevice& d) { apply_ivantrel_lun(ivantrel_lun(j, p), d); }},
    };
    return all;
}

}  // namespace

NasLabelParams nas_label(const json& value, const std::string& path, std::uint64_t blocks) {
    require_object(value, path);
    known_keys_only(value, path, {"target", "lun", "array_serial", "array_model", "maker_type", "older_position"});
    require(value, path, {"target", "lun", "array_serial", "array_model"});
    NasLabelParams p;
    p.target = static_cast<std::uint16_t>(integer(value.at("target"), member(path, "target"), 0, kMaxUint16));
    p.lun = static_cast<std::uint16_t>(integer(value.at("lun"), member(path, "lun"), 0, kMaxUint16));
    p.array_serial = static_cast<std::uint32_t>(integer(value.at("array_serial"), member(path, "array_serial"), 0, kMaxUint32));
    p.array_model = static_cast<std::uint32_t>(integer(value.at("array_model"), member(path, "array_model"), 0, kMaxUint32));
    p.maker_type = static_cast<std::uint32_t>(number(value, path, "maker_type", 0, kMaxUint32, 1));
    if (value.contains("older_position")) {
        if (!value.at("older_position").is_boolean()) fail(quoted(member(path, "older_position")) + " must be true or false");
        p.older_position = value.at("older_position").get<bool>();
    }
    // READ(10) reaches the label only on a disk whose label block has a 32-bit address.
    const std::uint64_t distance = p.older_position ? 129 : 128;
    if (blocks <= distance || blocks - distance > static_cast<std::uint64_t>(kMaxUint32)) {
        fail(quoted(path) + " needs \"blocks\" from " + std::to_string(distance + 1) + " to " +
             std::to_string(static_cast<std::uint64_t>(kMaxUint32) + distance));
    }
    return p;
}

bool apply_make_personality(std::string_view kind, const json& params, const std::string& path, SimDevice& device) {
    for (const MakePersonality& m : make_personalities()) {
        if (m.name != kind) continue;
        require_object(params, path);
        m.apply(params, path, device);
        return true;
    }
    return false;
}

const std::vector<std::string_view>& make_personality_names() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> out;
        for (const MakePersonality& m : make_personalities()) out.push_back(m.name);
        return out;
    }();
    return names;
}

}  // namespace pds::sim::check
