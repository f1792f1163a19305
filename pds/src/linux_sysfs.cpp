// The sysfs readers: SCSI disks and their facts, block devices by number, a host's logical units and the multipath maps.
#include "linux_sysfs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <system_error>
#include <tuple>

namespace pds::linux_sysfs {
namespace {

namespace fs = std::filesystem;

// Attributes are small; the largest read here (an INQUIRY copy, a VPD page) is far below this.
constexpr std::size_t kAttributeLimit = 4096;
// sd disk indexes stay below this, so numbers above it are free for disks of other drivers.
constexpr std::uint32_t kSdIndexLimit = 1u << 20;

std::optional<Bytes> read_bytes(const std::string& path, std::size_t limit = kAttributeLimit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    Bytes bytes(limit);
    std::size_t got = 0;
    bool failed = false;
    while (got < limit) {
        const ssize_t n = ::read(fd, bytes.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (failed) return std::nullopt;
    bytes.resize(got);
    return bytes;
}

// A text attribute without the line end the kernel adds.
std::optional<std::string> read_text(const std::string& path) {
    const std::optional<Bytes> bytes = read_bytes(path);
    if (!bytes) return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
    Number value{};
    if (text.empty()) return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

template <typename Number>
std::optional<Number> read_number(const std::string& path) {
    std::optional<std::string> text = read_text(path);
    if (!text) return std::nullopt;
    while (!text->empty() && (text->back() == ' ' || text->back() == '\n')) text->pop_back();
    return parse_number<Number>(*text);
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec)) && !ec;
}

// The directory a sysfs link leads to; empty when it leads nowhere.
std::string resolved(const std::string& path) {
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    return ec ? std::string() : real.string();
}

std::string base_name(const std::string& path) { return fs::path(path).filename().string(); }

// The transport the device hangs off, from the components of its device path.
std::uint32_t bus_type_of(const std::string& real_dir) {
    bool fibre = false, iscsi = false, sas = false, ata = false;
    for (const fs::path& part : fs::path(real_dir)) {
        const std::string p = part.string();
        const auto digits_after = [&p](std::string_view stem) {
            return p.size() > stem.size() && p.compare(0, stem.size(), stem) == 0 &&
                   std::all_of(p.begin() + static_cast<std::ptrdiff_t>(stem.size()), p.end(),
                               [](char c) { return c >= '0' && c <= '9'; });
        };
        fibre = fibre || p.rfind("rport-", 0) == 0;
        iscsi = iscsi || digits_after("session");
        sas = sas || p.rfind("end_device-", 0) == 0;
        ata = ata || digits_after("ata");
    }
    if (fibre) return kBusFibre;
    if (iscsi) return kBusIscsi;
    if (sas) return kBusSas;
    if (ata) return kBusSata;
    return kBusScsi;
}

// VPD page 80's serial: the page's own length, cut to what was read, up to a NUL.
std::optional<std::string> serial_of(const Bytes& page) {
    if (page.size() < 4 || page[1] != 0x80) return std::nullopt;
    const std::size_t length = std::min<std::size_t>(page[3], page.size() - 4);
    std::string serial(page.begin() + 4, page.begin() + 4 + static_cast<std::ptrdiff_t>(length));
    serial.resize(std::min(serial.size(), serial.find('\0')));
    return serial;
}

}  // namespace

std::optional<Hctl> parse_hctl(std::string_view text) {
    std::string_view parts[4];
    for (int i = 0; i < 3; ++i) {
        const std::size_t colon = text.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        parts[i] = text.substr(0, colon);
        text.remove_prefix(colon + 1);
    }
    parts[3] = text;
    const auto host = parse_number<std::uint32_t>(parts[0]);
    const auto channel = parse_number<std::uint32_t>(parts[1]);
    const auto target = parse_number<std::uint32_t>(parts[2]);
    const auto lun = parse_number<std::uint64_t>(parts[3]);
    if (!host || !channel || !target || !lun) return std::nullopt;
    return Hctl{*host, *channel, *target, *lun};
}

std::string sd_name(std::uint32_t index) {
    std::string letters;
    std::int64_t rest = index;
    do {
        letters.insert(letters.begin(), static_cast<char>('a' + rest % 26));
        rest = rest / 26 - 1;
    } while (rest >= 0);
    return "sd" + letters;
}

std::optional<std::uint32_t> sd_index(std::string_view name) {
    if (name.size() < 3 || name.size() > 7 || name.substr(0, 2) != "sd") return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : name.substr(2)) {
        if (c < 'a' || c > 'z') return std::nullopt;
        value = value * 26 + static_cast<std::uint64_t>(c - 'a' + 1);
    }
    if (value - 1 >= kSdIndexLimit) return std::nullopt;
    return static_cast<std::uint32_t>(value - 1);
}

std::vector<std::string> directory_names(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<ScsiDisk> scsi_disks(const std::string& root) {
    std::vector<ScsiDisk> disks;
    const std::string class_dir = root + "/class/scsi_disk/";
    for (const std::string& entry : directory_names(class_dir)) {
        const std::optional<Hctl> address = parse_hctl(entry);
        if (!address) continue;
        for (const std::string& name : directory_names(class_dir + entry + "/device/block")) {
            if (const std::optional<std::uint32_t> index = sd_index(name)) disks.push_back({name, *index, *address});
        }
    }
    std::sort(disks.begin(), disks.end(), [](const ScsiDisk& a, const ScsiDisk& b) { return a.index < b.index; });
    return disks;
}

ScsiDeviceFacts scsi_device_facts(const std::string& device_dir) {
    ScsiDeviceFacts facts;
    const std::string real = resolved(device_dir);
    if (real.empty()) return facts;
    facts.address = parse_hctl(base_name(real));
    facts.vendor = read_text(real + "/vendor");
    facts.model = read_text(real + "/model");
    facts.revision = read_text(real + "/rev");
    facts.inquiry = read_bytes(real + "/inquiry");
    if (facts.inquiry && facts.inquiry->empty()) facts.inquiry.reset();
    if (const std::optional<Bytes> page = read_bytes(real + "/vpd_pg80")) facts.serial = serial_of(*page);
    facts.bus_type = bus_type_of(real);
    return facts;
}

std::optional<BlockFacts> block_facts(const std::string& root, unsigned major, unsigned minor) {
    const std::string dir = resolved(root + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor));
    if (dir.empty()) return std::nullopt;
    BlockFacts facts;
    facts.name = base_name(dir);
    std::string disk_dir = dir;
    if (exists(dir + "/partition")) {
        facts.partition = read_number<std::uint32_t>(dir + "/partition");
        facts.start = read_number<std::uint64_t>(dir + "/start");
        disk_dir = fs::path(dir).parent_path().string();
    } else {
        facts.partition = 0;
    }
    facts.disk_name = base_name(disk_dir);
    const std::string device = resolved(disk_dir + "/device");
    if (!device.empty() && parse_hctl(base_name(device))) facts.scsi_device = device;
    if (const auto removable = read_number<std::uint32_t>(disk_dir + "/removable")) facts.removable = *removable != 0;
    facts.max_sectors_kb = read_number<std::uint32_t>(disk_dir + "/queue/max_sectors_kb");
    facts.max_segments = read_number<std::uint32_t>(disk_dir + "/queue/max_segments");
    facts.dma_alignment = read_number<std::uint32_t>(disk_dir + "/queue/dma_alignment");
    facts.multipath_map = read_text(disk_dir + "/dm/uuid").value_or("").rfind("mpath-", 0) == 0;
    return facts;
}

std::optional<std::string> char_scsi_device(const std::string& root, unsigned major, unsigned minor) {
    const std::string device =
        resolved(root + "/dev/char/" + std::to_string(major) + ":" + std::to_string(minor) + "/device");
    if (device.empty() || !parse_hctl(base_name(device))) return std::nullopt;
    return device;
}

std::vector<HostUnit> host_units(const std::string& root, std::uint32_t host) {
    std::vector<HostUnit> units;
    const std::string class_dir = root + "/class/scsi_device/";
    for (const std::string& entry : directory_names(class_dir)) {
        const std::optional<Hctl> address = parse_hctl(entry);
        if (!address || address->host != host) continue;
        std::optional<Bytes> inquiry = read_bytes(class_dir + entry + "/device/inquiry");
        if (!inquiry || inquiry->empty()) continue;
        units.push_back({*address, std::move(*inquiry), exists(class_dir + entry + "/device/driver")});
    }
    std::sort(units.begin(), units.end(), [](const HostUnit& a, const HostUnit& b) {
        return std::tie(a.address.channel, a.address.target, a.address.lun) <
               std::tie(b.address.channel, b.address.target, b.address.lun);
    });
    return units;
}

std::optional<std::uint32_t> host_own_id(const std::string& root, std::uint32_t host) {
    const auto id = read_number<std::int32_t>(root + "/class/scsi_host/host" + std::to_string(host) + "/this_id");
    if (!id || *id < 0) return std::nullopt;
    return static_cast<std::uint32_t>(*id);
}

std::vector<MultipathMap> multipath_maps(const std::string& root) {
    std::vector<MultipathMap> maps;
    const std::string block_dir = root + "/block/";
    for (const std::string& node : directory_names(block_dir)) {
        if (node.rfind("dm-", 0) != 0) continue;
        const std::string dm = block_dir + node + "/dm/";
        if (read_text(dm + "uuid").value_or("").rfind("mpath-", 0) != 0) continue;
        const std::optional<std::string> name = read_text(dm + "name");
        if (!name || name->empty()) continue;
        maps.push_back({*name, node, directory_names(block_dir + node + "/slaves")});
    }
    std::sort(maps.begin(), maps.end(), [](const MultipathMap& a, const MultipathMap& b) { return a.name < b.name; });
    return maps;
}

std::string multipath_volume_name(const MultipathMap& map, std::size_t limit) {
    std::string name = "/dev/mapper/" + map.name;
    return name.size() <= limit ? name : "/dev/" + map.node;
}

}  // namespace pds::linux_sysfs
