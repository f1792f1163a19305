// Device personalities of the other makes: the midrange array and the virtualisation product, StorageWorks, HDS/HP, S80, Shark, HSV, NetApp, the NAS iSCSI LUN and the NAS label.
#include "sim_personality_bytes.h"

#include "pds/byteorder.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <string_view>

namespace pds::sim {
namespace {

using namespace bytes;

constexpr std::size_t kRound = 4;

std::size_t round_up4(std::size_t n) { return (n + kRound - 1) / kRound * kRound; }

Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes be16_pair(std::uint16_t value) {
    return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value), 0x00, 0x00};
}

// Page 0x83 with the LUN's NAA designator only (the identifier at bytes 8-23, its length at 7).
Bytes naa_page(const Bytes& wwn) {
    Bytes body;
    add_designator(body, 0x01, 0x03, wwn);
    return vpd_page(0x83, body);
}

// The pages every make here answers: 00 listing `pages`, 80 with `serial`.
void add_common_pages(const Bytes& pages, std::string_view serial, SimDevice& g) {
    g.vpd[0x00] = vpd_page(0x00, pages);
    g.vpd[0x80] = vpd_page(0x80, text_bytes(serial));
}

// A LUN with `serial` blank-padded at INQUIRY bytes 36-43 and answering pages 00 (listing 00 80
// 83) and 80 (the serial); page 83 comes with `finish`.
SimDevice serial_lun(std::size_t inquiry_size, std::string_view vendor, std::string_view product,
                     std::string_view revision, std::string_view serial) {
    SimDevice g;
    g.inquiry = standard_inquiry(inquiry_size, vendor, product, revision);
    put_padded(*g.inquiry, 36, serial, 8);
    add_common_pages({0x00, 0x80, 0x83}, serial, g);
    return g;
}

void finish(SimDevice g, Bytes page_83, std::uint64_t blocks, SimDevice& device) {
    g.vpd[0x83] = std::move(page_83);
    add_capacity(blocks, kSimBlockBytes, g);
    merge(std::move(g), device);
}

// ---- midrange array and virtualisation product --------------------------------------------------

constexpr std::size_t kDravInquirySize = 112;  // through byte 111, the RAID type
constexpr std::uint8_t kC0PageRevision = 0x01;
constexpr std::uint8_t kSpIpManagementIpv4 = 0x20;  // page C0 byte 6, bits 5-4 = 2
constexpr std::uint8_t kLunAssignedHere = 2;
constexpr std::uint8_t kLunAssignedElsewhere = 1;

// Page C0: the LUN state and owner, this path's SP and port, the LUN WWN, the SP's IPv4 address
// (bytes 44-47) and the array serial from byte 50.
Bytes page_c0(const DravonisLunParams& p) {
    const std::size_t n = p.array_serial.size();
    Bytes c(50 + n, 0);
    c[1] = 0xC0;
    c[3] = static_cast<std::uint8_t>(c.size() - 4);
    c[4] = p.sp == p.owner ? kLunAssignedHere : kLunAssignedElsewhere;
    c[5] = p.owner;
    c[6] = p.sp_ip ? kSpIpManagementIpv4 : 0x00;
    c[7] = p.sp_port;
    c[8] = p.sp;
    c[9] = kC0PageRevision;
    std::copy(p.lun_wwn.begin(), p.lun_wwn.end(), c.begin() + 10);
    if (p.sp_ip) std::copy(p.sp_ip->begin(), p.sp_ip->end(), c.begin() + 44);
    c[49] = static_cast<std::uint8_t>(n);
    put_text(c, 50, p.array_serial);
    return c;
}

// Page 85: one network-address descriptor per SP, this SP's first, each "http://a.b.c.d/"
// NUL-terminated and padded with NULs to a multiple of four (association logical unit, service
// type 1: storage configuration).
Bytes page_85(const Ipv4Address& own, const std::vector<Ipv4Address>& peers) {
    Bytes body;
    auto add = [&body](const Ipv4Address& ip) {
        char url[32];
        const int n = std::snprintf(url, sizeof url, "http://%u.%u.%u.%u/", ip[0], ip[1], ip[2], ip[3]);
        const std::size_t length = round_up4(static_cast<std::size_t>(n) + 1);
        body.insert(body.end(), {0x01, 0x00, 0x00, static_cast<std::uint8_t>(length)});
        body.insert(body.end(), url, url + n);
        body.insert(body.end(), length - static_cast<std::size_t>(n), 0x00);
    };
    add(own);
    for (const Ipv4Address& peer : peers) add(peer);
    return vpd_page(0x85, body);
}

// The reply to the LUN-name query (EF 00 02 01): a header item (tag 36: the echoed 02 01, no more
// data, the total size) and a constructed list item (tag 47) holding this LUN's WWN followed by
// its name item (tag 68).
Bytes lun_name_reply(const DravonisLunParams& p) {
    Bytes entries(p.lun_wwn);
    entries.insert(entries.end(), {0x00, 0x44, static_cast<std::uint8_t>(p.lun_name.size())});
    entries.insert(entries.end(), p.lun_name.begin(), p.lun_name.end());
    const std::size_t total = 9 + 4 + entries.size();
    Bytes r{0x00, 0x24, 0x06, 0x02, 0x01, 0x00, 0, 0, 0, 0x24, 0x2F, 0, 0};
    store_be24(std::span<std::uint8_t>(r).subspan(6), static_cast<std::uint32_t>(total));
    store_be16(std::span<std::uint8_t>(r).subspan(11), static_cast<std::uint16_t>(entries.size()));
    r.insert(r.end(), entries.begin(), entries.end());
    return r;
}

}  // namespace

void apply_dravonis_lun(const DravonisLunParams& p, SimDevice& device) {
    SimDevice g;
    Bytes q = standard_inquiry(kDravInquirySize, p.vendor, p.product, p.revision);
    // The array's vendor bytes: the LUN number's low byte as two hex digits (36-37), the bind time (38-45).
    char lun[4];
    std::snprintf(lun, sizeof lun, "%02X", p.lun & 0xFFu);
    put_text(q, 36, lun);
    put_text(q, 38, p.bind_time);
    if (!p.olvessa) {
        store_be32(std::span<std::uint8_t>(q).subspan(104), p.raid_group);
        q[111] = p.raid_type;
    }
    g.inquiry = std::move(q);

    const bool with_85 = !p.olvessa && p.sp_ip.has_value();
    Bytes pages{0x00, 0x80, 0x83};
    if (with_85) pages.push_back(0x85);
    pages.push_back(0xC0);
    add_common_pages(pages, p.array_serial, g);
    // 83: the LUN WWN (bytes 8-23), the host's LUN number (28-29), the array's (36-37).
    Bytes body;
    add_designator(body, 0x01, 0x03, p.lun_wwn);
    add_designator(body, 0x01, 0x00, be16_pair(p.host_lun));
    add_designator(body, 0x01, 0x00, be16_pair(p.lun));
    g.vpd[0xC0] = page_c0(p);
    if (with_85) g.vpd[0x85] = page_85(*p.sp_ip, p.peer_ips);
    if (!p.olvessa && !p.lun_name.empty()) g.commands.push_back(SimCommand{{0xEF, 0x00, 0x02, 0x01}, lun_name_reply(p)});
    finish(std::move(g), vpd_page(0x83, body), p.blocks, device);
}

// ---- the other arrays ------------------------------------------------------------------------------

constexpr std::size_t kInquirySize = 96;
constexpr std::size_t kStorageWorksInquirySize = 140;  // through the node id at 130-137
constexpr std::size_t kSharkInquirySize = 104;         // through the serial characters at 99-101

void apply_storageworks_lun(const StorageWorksLunParams& p, SimDevice& device) {
    SimDevice g = serial_lun(kStorageWorksInquirySize, "DEC", p.product, p.revision, p.controller_serial);
    std::copy(p.node_id.begin(), p.node_id.end(), g.inquiry->begin() + 130);
    finish(std::move(g), naa_page(p.lun_wwn), p.blocks, device);
}

void apply_hds_lun(const HdsLunParams& p, SimDevice& device) {
    // INQUIRY 36-43 and page 80: Hitachi the serial and the LDEV in four hex digits each; HP the
    // serial in five decimal digits and the LDEV's low three hex digits.
    char serial[16];
    char id[32];
    if (p.hp) {
        // The model, four blanks, the serial, a blank, the LDEV in four hex digits, two blanks.
        std::snprintf(serial, sizeof serial, "%05u%03X", p.serial % 100000, p.ldev & 0xFFFu);
        std::snprintf(id, sizeof id, "%.4s    %05u %04X  ", p.model.c_str(), p.serial % 100000, p.ldev);
    } else {
        // "HITACHI ", the model, the serial and the LDEV in four hex digits each.
        std::snprintf(serial, sizeof serial, "%04X%04X", p.serial & 0xFFFFu, p.ldev);
        std::snprintf(id, sizeof id, "HITACHI %.4s%04X%04X", p.model.c_str(), p.serial & 0xFFFFu, p.ldev);
    }
    Bytes body;
    add_designator(body, 0x02, p.hp ? 0x00 : 0x01, text_bytes(id));
    finish(serial_lun(kInquirySize, p.hp ? "HP" : "HITACHI", p.product, p.revision, serial), vpd_page(0x83, body),
           p.blocks, device);
}

void apply_s80_lun(const S80LunParams& p, SimDevice& device) {
    // INQUIRY 36-43: the device characters, "000", the director and the port; page 80: the serial in hex.
    char text[16];
    std::snprintf(text, sizeof text, "%.2s000%02u%u", p.device.c_str(), p.director % 100u, p.port % 10u);
    SimDevice g = serial_lun(kInquirySize, "EUROLOGC", p.product, p.revision, text);
    char serial[16];
    std::snprintf(serial, sizeof serial, "%02X%02X%02X%02X%02X%02X", p.serial[0], p.serial[1], p.serial[2], p.serial[3],
                  p.serial[4], p.serial[5]);
    g.vpd[0x80] = vpd_page(0x80, text_bytes(serial));
    // 83: vendor, six product characters and the serial (8-27); the device and director (32-35);
    // the array WWN (40-47); the port address (52-55); the controller address (60-63).
    Bytes vendor_id = text_bytes("EUROLOGC");
    Bytes product(6, ' ');
    std::copy_n(p.product.begin(), std::min<std::size_t>(6, p.product.size()), product.begin());
    vendor_id.insert(vendor_id.end(), product.begin(), product.end());
    vendor_id.insert(vendor_id.end(), p.serial.begin(), p.serial.end());
    Bytes body;
    add_designator(body, 0x01, 0x01, vendor_id);
    add_designator(body, 0x02, 0x00, text_bytes(std::string(text, 2) + std::string(text + 5, 2)));
    add_designator(body, 0x01, 0x23, p.array_wwn);
    add_designator(body, 0x01, 0x14, p.port_address);
    add_designator(body, 0x01, 0x15, p.controller_address);
    finish(std::move(g), vpd_page(0x83, body), p.blocks, device);
}

void apply_shark_lun(const SharkLunParams& p, SimDevice& device) {
    SimDevice g = serial_lun(kSharkInquirySize, "IBM", p.product, p.revision, p.serial);
    put_text(*g.inquiry, 99, std::string_view(p.serial).substr(0, 3));
    // 83: one ASCII T10 identifier of 32 bytes: vendor, product, serial (so bytes 35-39 are the
    // serial's last five characters).
    Bytes id(32, ' ');
    put_text(id, 0, "IBM");
    put_text(id, 8, std::string_view(p.product).substr(0, 16));
    put_text(id, 24, p.serial);
    Bytes body;
    add_designator(body, 0x02, 0x01, id);
    finish(std::move(g), vpd_page(0x83, body), p.blocks, device);
}

void apply_hsv_lun(const HsvLunParams& p, SimDevice& device) {
    finish(serial_lun(kInquirySize, "COMPAQ", p.product, p.revision, p.serial), naa_page(p.lun_wwn), p.blocks, device);
}

void apply_netapp_lun(const NetappLunParams& p, SimDevice& device) {
    // 83: NAA 6 (the company id, a zero nibble, the serial's 12 characters as bytes) at 8-23, the
    // relative target port 1 at 28-31, and the T10 identifier "NETAPP  LUN " and the serial at
    // 36-59 (so the "LUN " and serial part is bytes 44-59).
    Bytes naa{0x65, 0x34, 0x94, 0xD0};
    naa.insert(naa.end(), p.serial.begin(), p.serial.end());
    Bytes t10 = text_bytes("NETAPP  LUN ");
    t10.insert(t10.end(), p.serial.begin(), p.serial.end());
    Bytes body;
    add_designator(body, 0x01, 0x03, naa);
    add_designator(body, 0x01, 0x14, {0x00, 0x00, 0x00, 0x01});
    add_designator(body, 0x02, 0x01, t10);
    finish(serial_lun(kInquirySize, "NETAPP", p.product, p.revision, p.serial), vpd_page(0x83, body), p.blocks, device);
}

// ---- the NAS product -------------------------------------------------------------------------------

std::size_t ivantrel_inquiry_size(std::size_t serial, std::size_t name, std::size_t ips) {
    return 124 + round_up4(serial) + 4 + round_up4(name) + 4 + 16 * ips;
}

void apply_ivantrel_lun(const IvantrelLunParams& p, SimDevice& device) {
    SimDevice g;
    const std::size_t size = ivantrel_inquiry_size(p.serial.size(), p.lun_name.size(), p.ips.size());
    Bytes q = standard_inquiry(size, "XMV", "Vantrel", p.revision);
    put_padded(q, 36, p.serial, 8);
    // The vendor area: revision, slot, the file-system id (big-endian), the LUN WWN, the
    // serial's length and text, then each of name and address list on a four-byte boundary.
    q[96] = p.section_revision;
    q[97] = p.slot;
    store_be32(std::span<std::uint8_t>(q).subspan(100), p.fs_id);
    std::copy(p.lun_wwn.begin(), p.lun_wwn.end(), q.begin() + 104);
    q[120] = static_cast<std::uint8_t>(p.serial.size());
    put_text(q, 124, p.serial);
    const std::size_t name_at = 124 + round_up4(p.serial.size());
    q[name_at + 3] = static_cast<std::uint8_t>(p.lun_name.size());
    put_text(q, name_at + 4, p.lun_name);
    const std::size_t ips_at = name_at + 4 + round_up4(p.lun_name.size());
    store_be16(std::span<std::uint8_t>(q).subspan(ips_at), static_cast<std::uint16_t>(p.ips.size()));
    for (std::size_t i = 0; i < p.ips.size(); ++i) {
        // A 16-byte address field with the IPv4 address in its last four bytes.
        std::copy(p.ips[i].begin(), p.ips[i].end(), q.begin() + static_cast<std::ptrdiff_t>(ips_at + 4 + 16 * i + 12));
    }
    g.inquiry = std::move(q);
    add_common_pages({0x00, 0x80, 0x83}, p.serial, g);
    finish(std::move(g), naa_page(p.lun_wwn), p.blocks, device);
}

void apply_nas_label(const NasLabelParams& p, std::uint64_t blocks, SimDevice& device) {
    Bytes block(kSimBlockBytes, 0);
    put_text(block, 20, "XMV Vantrel");
    const std::span<std::uint8_t> fields = std::span<std::uint8_t>(block).subspan(32);
    store_le16(fields, p.target);
    store_le16(fields.subspan(2), p.lun);
    store_le32(fields.subspan(4), p.array_serial);
    store_le32(fields.subspan(8), p.array_model);
    store_le32(fields.subspan(12), p.maker_type);
    const std::uint64_t lba = blocks - (p.older_position ? 129 : 128);
    device.blocks.emplace(static_cast<std::uint32_t>(lba), std::move(block));
}

}  // namespace pds::sim
