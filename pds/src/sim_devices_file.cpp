// Loading and checking the "devices" part of the simulated host file: hex bytes, pages, faults and personalities.
#include "sim_host_check.h"
#include "sim_host_limits.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <utility>

namespace pds::sim::check {

namespace {

using json = nlohmann::json;

using limits::kMaxDevicePath;
constexpr std::size_t kMaxReply = 65535;
constexpr std::size_t kMaxCdb = 16;
constexpr std::size_t kMaxSense = 252;
constexpr std::size_t kMaxModePage = 243;     // what fits after the header and block descriptor of MODE SENSE(6)
constexpr std::size_t kMaxHexFile = 1u << 20;
constexpr std::size_t kMaxShownRun = 16;
constexpr std::int64_t kMaxInt64 = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMaxUint32 = std::numeric_limits<std::uint32_t>::max();

std::string missing(const std::string& path, std::string_view key) {
    return quoted(member_path(path, key)) + " is missing";
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// Printable ASCII of at most `max_bytes`, as INQUIRY texts must be.
std::string ascii(const json& value, const std::string& path, std::size_t max_bytes) {
    std::string s = text(value, path, max_bytes);
    for (const char c : s) {
        if (c < 0x20 || c > 0x7E) fail(quoted(path) + " must be printable ASCII");
    }
    return s;
}

// A string matching `pattern` (d: decimal digit, x: hex digit, other characters as they are).
std::string shaped(const json& value, const std::string& path, std::string_view pattern, const std::string& description) {
    const bool ok = value.is_string() && value.get_ref<const std::string&>().size() == pattern.size() && [&] {
        const auto& s = value.get_ref<const std::string&>();
        for (std::size_t i = 0; i < pattern.size(); ++i) {
            const bool good = pattern[i] == 'd' ? (s[i] >= '0' && s[i] <= '9')
                              : pattern[i] == 'x' ? hex_value(s[i]) >= 0
                                                  : s[i] == pattern[i];
            if (!good) return false;
        }
        return true;
    }();
    if (!ok) fail(quoted(path) + " must be " + description);
    return value.get<std::string>();
}

// Reads the required keys first, so a missing one is named before anything else is looked at.
void require(const json& params, const std::string& path, std::initializer_list<std::string_view> keys) {
    for (const std::string_view key : keys) {
        if (!params.contains(key)) fail(missing(path, key));
    }
}

std::uint64_t block_count(const json& params, const std::string& path) {
    return static_cast<std::uint64_t>(integer(params.at("blocks"), member_path(path, "blocks"), 1, kMaxInt64));
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

struct HexFault {
    std::string what;
    std::size_t line = 0;
};

// Hex bytes written as runs of digit pairs between white space; with `comments`, '#' starts a
// comment that runs to the end of the line. A run of odd length is refused rather than guessed at.
std::optional<HexFault> decode_hex(std::string_view text, bool comments, Bytes& out) {
    std::size_t line = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (is_blank(c)) {
            line += c == '\n' ? 1 : 0;
            ++i;
            continue;
        }
        if (comments && c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !is_blank(text[end]) && !(comments && text[end] == '#')) ++end;
        const std::string_view run = text.substr(i, end - i);
        for (const char d : run) {
            if (hex_value(d) < 0) return HexFault{"has \"" + printable(std::string_view(&d, 1)) + "\", which is not a hex digit", line};
        }
        if (run.size() % 2 != 0) {
            std::string shown = printable(run.substr(0, kMaxShownRun));
            if (run.size() > kMaxShownRun) shown += "...";
            return HexFault{"has an odd number of hex digits in \"" + shown + "\"", line};
        }
        for (std::size_t k = 0; k < run.size(); k += 2) {
            out.push_back(static_cast<std::uint8_t>(hex_value(run[k]) * 16 + hex_value(run[k + 1])));
        }
        i = end;
    }
    return std::nullopt;
}

std::string read_hex_file(const std::string& name, const std::string& where, const std::string& base_directory) {
    namespace fs = std::filesystem;
    const fs::path file = base_directory.empty() ? fs::path(name) : fs::path(base_directory) / name;
    const std::string shown = quoted(where) + ": \"" + printable(name) + "\"";
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in) fail(shown + " cannot be opened: " + std::strerror(errno));
    // A device node or a pipe could hand out bytes without end or wait for them forever.
    std::error_code kind_error;
    if (!fs::is_regular_file(file, kind_error)) fail(shown + " is not a regular file");
    std::string content;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        content.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (content.size() > kMaxHexFile) fail(shown + " is larger than " + std::to_string(kMaxHexFile) + " bytes");
    }
    return content;
}

}  // namespace

Bytes hex_bytes(const json& value, const std::string& path, const std::string& base_directory,
                std::size_t max_bytes) {
    Bytes out;
    std::optional<HexFault> fault;
    std::string place = quoted(path);
    if (value.is_string()) {
        fault = decode_hex(value.get_ref<const std::string&>(), false, out);
    } else if (value.is_array()) {
        for (std::size_t i = 0; i < value.size() && !fault; ++i) {
            place = quoted(path + "[" + std::to_string(i) + "]");
            if (!value[i].is_string()) fail(place + " must be a string of hex digits");
            fault = decode_hex(value[i].get_ref<const std::string&>(), false, out);
        }
    } else if (value.is_object()) {
        known_keys_only(value, path, {"file"});
        if (!value.contains("file")) fail(missing(path, "file"));
        const std::string where = member_path(path, "file");
        const std::string name = text(value.at("file"), where, kMaxDevicePath);
        fault = decode_hex(read_hex_file(name, where, base_directory), true, out);
        if (fault) place = quoted(where) + ": \"" + printable(name) + "\" line " + std::to_string(fault->line);
    } else {
        fail(quoted(path) + " must be hex text, an array of hex texts or {\"file\": name}");
    }
    if (fault) fail(place + " " + fault->what);
    if (out.size() > max_bytes) fail(quoted(path) + " holds more than " + std::to_string(max_bytes) + " bytes");
    return out;
}

Bytes cdb_prefix(const json& value, const std::string& path, const std::string& base_directory) {
    Bytes cdb = hex_bytes(value, path, base_directory, kMaxCdb);
    if (cdb.empty()) fail(quoted(path) + " must hold 1 to " + std::to_string(kMaxCdb) + " bytes");
    return cdb;
}

namespace {

// A page code named by one or two hex digits ("80", "F6", "3").
std::uint8_t page_code(std::string_view key, const std::string& where, std::uint8_t highest) {
    const bool shaped = !key.empty() && key.size() <= 2 && hex_value(key[0]) >= 0 && hex_value(key.back()) >= 0;
    const int code = shaped ? (key.size() == 1 ? hex_value(key[0]) : hex_value(key[0]) * 16 + hex_value(key[1])) : -1;
    if (code < 0 || code > highest) {
        char high[8];
        std::snprintf(high, sizeof high, "%02X", highest);
        fail(quoted(where) + " must be named by a page code of one or two hex digits, 00 to " + high);
    }
    return static_cast<std::uint8_t>(code);
}

std::map<std::uint8_t, Bytes> pages(const json& value, const std::string& path, const std::string& base_directory,
                                    std::uint8_t highest, std::size_t max_bytes) {
    require_object(value, path);
    std::map<std::uint8_t, Bytes> out;
    for (const auto& [key, bytes] : value.items()) {
        if (is_comment(key)) continue;
        const std::string where = member_path(path, key);
        const std::uint8_t code = page_code(key, where, highest);
        if (out.count(code) != 0) fail(quoted(where) + " names a page given already");
        out[code] = hex_bytes(bytes, where, base_directory, max_bytes);
    }
    return out;
}

std::map<std::uint32_t, Bytes> blocks(const json& value, const std::string& path, const std::string& base_directory) {
    require_object(value, path);
    std::map<std::uint32_t, Bytes> out;
    for (const auto& [key, bytes] : value.items()) {
        if (is_comment(key)) continue;
        const std::string where = member_path(path, key);
        // Decimal without sign or leading zeros, so that one block has one name.
        const bool shaped = !key.empty() && key.size() <= 10 && key.find_first_not_of("0123456789") == std::string::npos &&
                            (key.size() == 1 || key[0] != '0');
        if (!shaped || std::stoull(key) > kMaxUint32) {
            fail(quoted(where) + " must be named by its LBA, a decimal number from 0 to " + std::to_string(kMaxUint32));
        }
        out[static_cast<std::uint32_t>(std::stoull(key))] = hex_bytes(bytes, where, base_directory, kSimBlockBytes);
    }
    return out;
}

std::uint8_t byte_value(const json& value, const std::string& path) {
    return static_cast<std::uint8_t>(integer(value, path, 0, 255));
}

SimAddress address(const json& value, const std::string& path) {
    require_object(value, path);
    known_keys_only(value, path, {"port", "path_id", "target_id", "lun"});
    SimAddress a;
    const std::pair<const char*, std::uint8_t*> fields[] = {
        {"port", &a.port}, {"path_id", &a.path_id}, {"target_id", &a.target_id}, {"lun", &a.lun}};
    for (const auto& [key, field] : fields) {
        if (!value.contains(key)) fail(missing(path, key));
        *field = byte_value(value.at(key), member_path(path, key));
    }
    return a;
}

std::vector<SimCommand> commands(const json& value, const std::string& path, const std::string& base_directory) {
    if (!value.is_array()) fail(quoted(path) + " must be an array");
    std::vector<SimCommand> out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string where = path + "[" + std::to_string(i) + "]";
        const json& entry = value[i];
        require_object(entry, where);
        known_keys_only(entry, where, {"cdb", "reply"});
        if (!entry.contains("cdb")) fail(missing(where, "cdb"));
        if (!entry.contains("reply")) fail(missing(where, "reply"));
        out.push_back(SimCommand{cdb_prefix(entry.at("cdb"), member_path(where, "cdb"), base_directory),
                                 hex_bytes(entry.at("reply"), member_path(where, "reply"), base_directory)});
    }
    return out;
}

SimFault fault(const json& entry, const std::string& where, const std::string& base_directory) {
    require_object(entry, where);
    known_keys_only(entry, where, {"cdb", "kind", "sense", "status", "bytes", "times"});
    if (!entry.contains("kind")) fail(missing(where, "kind"));
    SimFault f;
    f.kind = choice<FaultKind>(entry.at("kind"), member_path(where, "kind"),
                               {{"check_condition", FaultKind::check_condition},
                                {"access_denied", FaultKind::access_denied},
                                {"io_error", FaultKind::io_error},
                                {"short_transfer", FaultKind::short_transfer},
                                {"timeout", FaultKind::timeout},
                                {"scsi_status", FaultKind::scsi_status},
                                {"no_answer", FaultKind::no_answer}});
    // Each detail belongs to one kind; given with another it is a mistake in the file.
    const std::pair<const char*, std::pair<FaultKind, const char*>> details[] = {
        {"sense", {FaultKind::check_condition, "check_condition"}},
        {"status", {FaultKind::scsi_status, "scsi_status"}},
        {"bytes", {FaultKind::short_transfer, "short_transfer"}}};
    for (const auto& [key, owner] : details) {
        const bool given = entry.contains(key);
        if (given && f.kind != owner.first) {
            fail(quoted(member_path(where, key)) + " is only for kind \"" + owner.second + "\"");
        }
        if (!given && f.kind == owner.first) fail(missing(where, key));
    }
    if (entry.contains("cdb")) f.cdb_prefix = cdb_prefix(entry.at("cdb"), member_path(where, "cdb"), base_directory);
    if (entry.contains("sense")) f.sense = hex_bytes(entry.at("sense"), member_path(where, "sense"), base_directory, kMaxSense);
    if (entry.contains("status")) f.status = static_cast<std::uint8_t>(integer(entry.at("status"), member_path(where, "status"), 1, 255));
    if (entry.contains("bytes")) f.bytes = static_cast<std::uint32_t>(integer(entry.at("bytes"), member_path(where, "bytes"), 0, kMaxUint32));
    if (entry.contains("times")) f.times = static_cast<std::uint32_t>(integer(entry.at("times"), member_path(where, "times"), 0, kMaxUint32));
    return f;
}

std::vector<SimFault> faults(const json& value, const std::string& path, const std::string& base_directory) {
    if (!value.is_array()) fail(quoted(path) + " must be an array");
    std::vector<SimFault> out;
    for (std::size_t i = 0; i < value.size(); ++i) out.push_back(fault(value[i], path + "[" + std::to_string(i) + "]", base_directory));
    return out;
}

MultipathMode multipath(const json& value, const std::string& path) {
    require_object(value, path);
    known_keys_only(value, path, {"pass_through"});
    if (!value.contains("pass_through")) fail(missing(path, "pass_through"));
    return choice<MultipathMode>(value.at("pass_through"), member_path(path, "pass_through"),
                                 {{"ok", MultipathMode::ok}, {"fail", MultipathMode::fail}});
}

// ---- personalities ---------------------------------------------------------------------------

GenericDiskParams generic_disk(const json& params, const std::string& path) {
    known_keys_only(params, path, {"vendor", "product", "revision", "serial", "blocks", "block_size", "nas_label"});
    require(params, path, {"vendor", "product", "serial", "blocks"});
    GenericDiskParams p;
    p.vendor = ascii(params.at("vendor"), member_path(path, "vendor"), 8);
    p.product = ascii(params.at("product"), member_path(path, "product"), 16);
    p.revision = params.contains("revision") ? ascii(params.at("revision"), member_path(path, "revision"), 4) : "0001";
    p.serial = ascii(params.at("serial"), member_path(path, "serial"), 64);
    if (p.serial.empty()) fail(quoted(member_path(path, "serial")) + " must not be empty");
    p.blocks = block_count(params, path);
    if (params.contains("block_size")) {
        p.block_size = static_cast<std::uint32_t>(integer(params.at("block_size"), member_path(path, "block_size"), 1, 1 << 20));
    }
    return p;
}

void director(const json& value, const std::string& path, KorvalithLunParams& p) {
    if (value.is_number_integer()) {
        p.director = static_cast<std::uint8_t>(integer(value, path, 1, 99));
        return;
    }
    // "7A": director 7 on letter A, the extended numbering.
    const std::string s = value.is_string() ? value.get<std::string>() : std::string();
    const bool ok = s.size() >= 2 && s.size() <= 3 && s.back() >= 'A' && s.back() <= 'P' &&
                    s.find_first_not_of("0123456789") == s.size() - 1 && std::stoi(s) >= 1 && std::stoi(s) <= 16;
    if (!ok) {
        fail(quoted(path) + " must be an integer from 1 to 99, or a number from 1 to 16 and a letter from A to P (\"7A\")");
    }
    p.director = static_cast<std::uint8_t>(std::stoi(s));
    p.director_letter = s.back();
}

std::uint32_t korvalith_flags(const json& value, const std::string& path) {
    if (!value.is_array()) fail(quoted(path) + " must be an array");
    std::uint32_t flags = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        flags |= choice<std::uint32_t>(value[i], path + "[" + std::to_string(i) + "]",
                                       {{"ckd", kKorvCkd}, {"bcv", kKorvBcv}, {"write_protected", kKorvWriteProtected},
                                        {"meta", kKorvMeta}, {"rpx_r1", kKorvRpxR1}, {"rpx_r2", kKorvRpxR2},
                                        {"raid5", kKorvRaid5}, {"raid6", kKorvRaid6}, {"mirrored", kKorvMirrored},
                                        {"fibre", kKorvFibre}, {"spoofed", kKorvSpoofed}, {"vraid", kKorvVraid}});
    }
    if ((flags & kKorvRpxR1) && (flags & kKorvRpxR2)) fail(quoted(path) + " cannot hold both \"rpx_r1\" and \"rpx_r2\"");
    return flags;
}

KorvalithLunParams korvalith_lun(const json& params, const std::string& path) {
    known_keys_only(params, path,
                    {"array_serial", "device_number", "director", "port", "microcode", "microcode_date", "ansi_version",
                     "flags", "blocks", "ckd_label", "nas_label"});
    require(params, path, {"array_serial", "device_number", "director", "port", "microcode", "blocks"});
    KorvalithLunParams p;
    p.array_serial = shaped(params.at("array_serial"), member_path(path, "array_serial"), "dddddddddddd", "12 decimal digits");
    p.microcode = shaped(params.at("microcode"), member_path(path, "microcode"), "xxxx", "four hex digits (\"5874\")");
    const std::uint32_t level = microcode_level(p.microcode);

    // The device number has as many digits as the microcode generation has room for.
    const std::string dn_path = member_path(path, "device_number");
    const json& dn = params.at("device_number");
    const std::string dn_text = dn.is_string() ? dn.get<std::string>() : std::string();
    if (dn_text.empty() || dn_text.size() > 5 || dn_text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        fail(quoted(dn_path) + " must be 1 to 5 hex digits");
    }
    p.device_number = static_cast<std::uint32_t>(std::stoul(dn_text, nullptr, 16));
    const std::uint32_t highest = level < 0x5568 ? 0xFFF : level < 0x5771 ? 0xFFFF : 0xFFFFF;
    if (p.device_number > highest) {
        char limit[48];
        std::snprintf(limit, sizeof limit, " must be at most %X with microcode %s", highest, p.microcode.c_str());
        fail(quoted(dn_path) + limit);
    }

    director(params.at("director"), member_path(path, "director"), p);
    p.port = static_cast<std::uint8_t>(integer(params.at("port"), member_path(path, "port"), 0, 9));
    if (params.contains("microcode_date")) {
        const std::string where = member_path(path, "microcode_date");
        const std::string date = shaped(params.at("microcode_date"), where, "dddd-dd-dd", "a date \"YYYY-MM-DD\"");
        p.date_year = std::stoi(date.substr(0, 4));
        p.date_month = std::stoi(date.substr(5, 2));
        p.date_day = std::stoi(date.substr(8, 2));
        if (p.date_year < 1900 || p.date_year > 2099 || p.date_month < 1 || p.date_month > 12 || p.date_day < 1 || p.date_day > 31) {
            fail(quoted(where) + " must be a date from 1900-01-01 to 2099-12-31");
        }
    }
    if (params.contains("ansi_version")) p.ansi_version = static_cast<int>(integer(params.at("ansi_version"), member_path(path, "ansi_version"), 0, 7));
    if (params.contains("flags")) p.flags = korvalith_flags(params.at("flags"), member_path(path, "flags"));
    p.blocks = block_count(params, path);
    if (params.contains("ckd_label")) {
        const std::string where = member_path(path, "ckd_label");
        p.ckd_label = text(params.at("ckd_label"), where, 6);
        for (const char c : p.ckd_label) {
            if (!ebcdic(c)) fail(quoted(where) + " must be at most 6 characters from A-Z, 0-9, blank and # @ $ - .");
        }
    }
    return p;
}

void personality(const json& device, const std::string& path, SimDevice& d) {
    const bool named = device.contains("personality");
    if (!named && !device.contains("params")) return;
    if (!named) fail(quoted(member_path(path, "params")) + " needs a \"personality\"");
    if (!device.contains("params")) fail(missing(path, "params"));
    const std::string params_path = member_path(path, "params");
    const std::string kind_path = member_path(path, "personality");
    const json& kind = device.at("personality");
    const json& params = device.at("params");
    const std::string name = kind.is_string() ? kind.get<std::string>() : std::string();
    if (name == "generic_disk" || name == "korvalith_lun") {
        require_object(params, params_path);
        if (name == "generic_disk") {
            apply_generic_disk(generic_disk(params, params_path), d);
        } else {
            const KorvalithLunParams p = korvalith_lun(params, params_path);
            apply_korvalith_lun(p, d);
            d.array_serial = p.array_serial;
            d.array_device_number = p.device_number;
            d.array_microcode = p.microcode;
            if (p.date_year != 0) d.array_microcode_date = params.at("microcode_date").get<std::string>();
        }
        // The NAS label goes on a disk of either kind, past what the personality generated.
        if (params.contains("nas_label")) {
            const std::uint64_t blocks = block_count(params, params_path);
            apply_nas_label(nas_label(params.at("nas_label"), member_path(params_path, "nas_label"), blocks), blocks, d);
        }
        return;
    }
    if (!name.empty() && apply_make_personality(name, params, params_path, d)) return;
    std::string list = "\"generic_disk\", \"korvalith_lun\"";
    for (const std::string_view other : make_personality_names()) list += ", \"" + std::string(other) + "\"";
    fail(quoted(kind_path) + " must be one of " + list);
}

SimDevice device(const json& value, const std::string& path, const std::string& base_directory) {
    require_object(value, path);
    known_keys_only(value, path,
                    {"path", "address", "device_number", "partition_length", "inquiry", "vpd", "read_capacity_10",
                     "read_capacity_16", "mode_pages", "blocks", "storage_property", "commands", "faults", "open",
                     "multipath", "personality", "params", "interfaces", "fronts", "alignment_mask",
                     "max_transfer_length", "latency", "exchanges", "ioctls"});
    if (!value.contains("path")) fail(missing(path, "path"));
    SimDevice d;
    d.path = text(value.at("path"), member_path(path, "path"), kMaxDevicePath);
    if (d.path.empty()) fail(quoted(member_path(path, "path")) + " must not be empty");
    auto optional_bytes = [&](const char* key, std::optional<Bytes>& field) {
        if (value.contains(key)) field = hex_bytes(value.at(key), member_path(path, key), base_directory);
    };
    if (value.contains("address")) d.address = address(value.at("address"), member_path(path, "address"));
    if (value.contains("device_number")) {
        d.device_number = static_cast<std::uint32_t>(integer(value.at("device_number"), member_path(path, "device_number"), 0, kMaxUint32));
    }
    if (value.contains("partition_length")) {
        d.partition_length = integer(value.at("partition_length"), member_path(path, "partition_length"), 0, kMaxInt64);
    }
    if (value.contains("alignment_mask")) {
        d.alignment_mask = static_cast<std::uint32_t>(integer(value.at("alignment_mask"), member_path(path, "alignment_mask"), 0, 4095));
    }
    if (value.contains("max_transfer_length")) {
        d.max_transfer_length = static_cast<std::uint32_t>(
            integer(value.at("max_transfer_length"), member_path(path, "max_transfer_length"), 1, kMaxUint32));
    }
    optional_bytes("inquiry", d.inquiry);
    optional_bytes("read_capacity_10", d.read_capacity_10);
    optional_bytes("read_capacity_16", d.read_capacity_16);
    optional_bytes("storage_property", d.storage_property);
    if (value.contains("vpd")) d.vpd = pages(value.at("vpd"), member_path(path, "vpd"), base_directory, 0xFF, kMaxReply);
    if (value.contains("mode_pages")) {
        d.mode_pages = pages(value.at("mode_pages"), member_path(path, "mode_pages"), base_directory, 0x3E, kMaxModePage);
    }
    if (value.contains("blocks")) d.blocks = blocks(value.at("blocks"), member_path(path, "blocks"), base_directory);
    if (value.contains("commands")) d.commands = commands(value.at("commands"), member_path(path, "commands"), base_directory);
    if (value.contains("faults")) d.faults = faults(value.at("faults"), member_path(path, "faults"), base_directory);
    if (value.contains("open") && !value.at("open").is_number()) d.open = open_behaviour(value.at("open"), member_path(path, "open"));
    d.recorded = recorded_device(value, path, base_directory);
    if (value.contains("multipath")) d.multipath = multipath(value.at("multipath"), member_path(path, "multipath"));
    if (value.contains("latency")) d.latency = latency(value.at("latency"), member_path(path, "latency"));
    personality(value, path, d);
    return d;
}

}  // namespace

OpenBehaviour open_behaviour(const json& value, const std::string& path) {
    return choice<OpenBehaviour>(value, path,
                                 {{"ok", OpenBehaviour::ok},
                                  {"not_found", OpenBehaviour::not_found},
                                  {"sharing_violation", OpenBehaviour::sharing_violation},
                                  {"access_denied", OpenBehaviour::access_denied},
                                  {"sharing_violation_then_read_only", OpenBehaviour::sharing_violation_then_read_only}});
}

SimLatency latency(const json& value, const std::string& path) {
    require_object(value, path);
    known_keys_only(value, path, {"pass_through_us", "control_us", "open_us"});
    SimLatency out;
    const std::pair<const char*, std::optional<std::uint32_t>*> times[] = {
        {"pass_through_us", &out.pass_through_us}, {"control_us", &out.control_us}, {"open_us", &out.open_us}};
    for (const auto& [key, field] : times) {
        if (value.contains(key)) *field = static_cast<std::uint32_t>(integer(value.at(key), member_path(path, key), 0, kMaxLatencyUs));
    }
    return out;
}

std::vector<SimDevice> read_devices(const json& value, const std::string& path, const std::string& base_directory) {
    if (!value.is_array()) fail(quoted(path) + " must be an array");
    if (value.size() > kMaxSimDevices) fail(quoted(path) + " holds more than " + std::to_string(kMaxSimDevices) + " devices");
    std::vector<SimDevice> out;
    out.reserve(value.size());
    DevicePathIndex seen;
    seen.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string where = path + "[" + std::to_string(i) + "]";
        SimDevice d = device(value[i], where, base_directory);
        const auto [earlier, added] = seen.emplace(device_path_key(d.path), i);
        if (!added) {
            fail(quoted(member_path(where, "path")) + " repeats the path of " + quoted(path + "[" + std::to_string(earlier->second) + "]"));
        }
        out.push_back(std::move(d));
    }
    return out;
}

}  // namespace pds::sim::check
