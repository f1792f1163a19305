// Device personalities: the INQUIRY, VPD, capacity and mode-page bytes of a generic disk and of a high-end array LUN, built from a few parameters.
#include "sim_personality_bytes.h"

#include "pds/byteorder.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <span>
#include <string_view>

namespace pds::sim {
namespace bytes {

void put_text(Bytes& b, std::size_t offset, std::string_view text) {
    std::copy(text.begin(), text.end(), b.begin() + static_cast<std::ptrdiff_t>(offset));
}

void put_padded(Bytes& b, std::size_t offset, std::string_view text, std::size_t width) {
    std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(offset), width, ' ');
    put_text(b, offset, text.substr(0, width));
}

Bytes vpd_page(std::uint8_t code, const Bytes& body) {
    Bytes page{0x00, code, static_cast<std::uint8_t>(body.size() >> 8), static_cast<std::uint8_t>(body.size())};
    page.insert(page.end(), body.begin(), body.end());
    return page;
}

void add_designator(Bytes& body, std::uint8_t code_set, std::uint8_t association_type, const Bytes& identifier) {
    body.insert(body.end(), {code_set, association_type, 0x00, static_cast<std::uint8_t>(identifier.size())});
    body.insert(body.end(), identifier.begin(), identifier.end());
}

Bytes standard_inquiry(std::size_t size, std::string_view vendor, std::string_view product, std::string_view revision) {
    Bytes q(size, 0);
    q[2] = 0x04;  // SPC-2
    q[3] = 0x02;
    q[4] = static_cast<std::uint8_t>(size - 5);
    q[7] = 0x02;  // command queuing
    put_padded(q, 8, vendor, 8);
    put_padded(q, 16, product, 16);
    put_padded(q, 32, revision, 4);
    return q;
}

namespace {

Bytes read_capacity_10(std::uint64_t blocks, std::uint32_t block_size) {
    Bytes r(8, 0);
    store_be32(std::span<std::uint8_t>(r), static_cast<std::uint32_t>(std::min<std::uint64_t>(blocks - 1, 0xFFFFFFFF)));
    store_be32(std::span<std::uint8_t>(r).subspan(4), block_size);
    return r;
}

Bytes read_capacity_16(std::uint64_t blocks, std::uint32_t block_size) {
    Bytes r(32, 0);
    store_be64(std::span<std::uint8_t>(r), blocks - 1);
    store_be32(std::span<std::uint8_t>(r).subspan(8), block_size);
    return r;
}

// Format device (3) and rigid disk geometry (4) pages of the classic 255-head, 63-sector layout.
constexpr std::uint32_t kHeads = 255;
constexpr std::uint32_t kSectorsPerTrack = 63;
constexpr std::uint16_t kRotationRate = 10000;

void add_geometry_pages(std::uint64_t blocks, std::uint32_t block_size, std::map<std::uint8_t, Bytes>& pages) {
    Bytes format(24, 0);
    format[0] = 0x03;
    format[1] = 0x16;
    store_be16(std::span<std::uint8_t>(format).subspan(10), kSectorsPerTrack);
    store_be16(std::span<std::uint8_t>(format).subspan(12), static_cast<std::uint16_t>(std::min<std::uint32_t>(block_size, 0xFFFF)));
    store_be16(std::span<std::uint8_t>(format).subspan(14), 1);  // interleave
    format[20] = 0x40;                                            // hard sectored
    Bytes rigid(24, 0);
    rigid[0] = 0x04;
    rigid[1] = 0x16;
    const std::uint64_t cylinders = std::clamp<std::uint64_t>(blocks / (kHeads * kSectorsPerTrack), 1, 0xFFFFFF);
    store_be24(std::span<std::uint8_t>(rigid).subspan(2), static_cast<std::uint32_t>(cylinders));
    rigid[5] = kHeads;
    store_be16(std::span<std::uint8_t>(rigid).subspan(20), kRotationRate);
    pages.emplace(0x03, std::move(format));
    pages.emplace(0x04, std::move(rigid));
}

}  // namespace

void add_capacity(std::uint64_t blocks, std::uint32_t block_size, SimDevice& g) {
    g.read_capacity_10 = read_capacity_10(blocks, block_size);
    g.read_capacity_16 = read_capacity_16(blocks, block_size);
    add_geometry_pages(blocks, block_size, g.mode_pages);
}

void merge(SimDevice generated, SimDevice& device) {
    if (!device.inquiry) device.inquiry = std::move(generated.inquiry);
    if (!device.read_capacity_10) device.read_capacity_10 = std::move(generated.read_capacity_10);
    if (!device.read_capacity_16) device.read_capacity_16 = std::move(generated.read_capacity_16);
    device.vpd.merge(generated.vpd);
    device.mode_pages.merge(generated.mode_pages);
    device.blocks.merge(generated.blocks);
    // A command the device answers itself keeps its own answer.
    for (SimCommand& c : generated.commands) {
        const bool given = std::any_of(device.commands.begin(), device.commands.end(),
                                       [&](const SimCommand& own) { return own.cdb_prefix == c.cdb_prefix; });
        if (!given) device.commands.push_back(std::move(c));
    }
}

}  // namespace bytes

namespace {

using namespace bytes;

std::uint8_t bcd(int value) { return static_cast<std::uint8_t>(((value / 10 % 10) << 4) | (value % 10)); }

std::uint8_t bcd_digits(char high, char low) {
    return static_cast<std::uint8_t>(((high - '0') << 4) | (low - '0'));
}

// Page 0x83 with one binary NAA designator associated with the logical unit.
Bytes identification_page(const Bytes& naa) {
    Bytes body;
    add_designator(body, 0x01, 0x03, naa);
    return vpd_page(0x83, body);
}

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ULL;
    }
    return h;
}

Bytes hex_bytes(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        std::uint8_t byte = 0;
        std::from_chars(hex.data() + i, hex.data() + i + 2, byte, 16);
        out.push_back(byte);
    }
    return out;
}

}  // namespace

std::uint32_t microcode_level(const std::string& microcode) {
    // The loader admits four hex digits only; anything else reads 0 rather than throwing.
    std::uint32_t level = 0;
    std::from_chars(microcode.data(), microcode.data() + microcode.size(), level, 16);
    return level;
}

std::optional<std::uint8_t> ebcdic(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(0xF0 + (c - '0'));
    if (c >= 'A' && c <= 'I') return static_cast<std::uint8_t>(0xC1 + (c - 'A'));
    if (c >= 'J' && c <= 'R') return static_cast<std::uint8_t>(0xD1 + (c - 'J'));
    if (c >= 'S' && c <= 'Z') return static_cast<std::uint8_t>(0xE2 + (c - 'S'));
    switch (c) {
    case ' ': return 0x40;
    case '.': return 0x4B;
    case '$': return 0x5B;
    case '-': return 0x60;
    case '#': return 0x7B;
    case '@': return 0x7C;
    default: return std::nullopt;
    }
}

void apply_generic_disk(const GenericDiskParams& p, SimDevice& device) {
    SimDevice g;
    Bytes inq(96, 0);
    inq[2] = 0x05;  // SPC-3
    inq[3] = 0x02;
    inq[4] = static_cast<std::uint8_t>(inq.size() - 5);
    inq[7] = 0x02;  // command queuing
    put_padded(inq, 8, p.vendor, 8);
    put_padded(inq, 16, p.product, 16);
    put_padded(inq, 32, p.revision, 4);
    put_padded(inq, 36, p.serial, 8);  // the vendor-specific bytes many disks fill with their serial
    g.inquiry = std::move(inq);
    g.vpd[0x00] = vpd_page(0x00, {0x00, 0x80, 0x83});
    g.vpd[0x80] = vpd_page(0x80, Bytes(p.serial.begin(), p.serial.end()));
    // NAA 5: the company id and 36 bits derived from the serial, so a serial always gives one name.
    Bytes naa(8, 0);
    store_be64(std::span<std::uint8_t>(naa), (std::uint64_t{5} << 60) | (std::uint64_t{kSimCompanyId} << 36) |
                                                 (fnv1a(p.serial) & 0xFFFFFFFFFULL));
    g.vpd[0x83] = identification_page(naa);
    add_capacity(p.blocks, p.block_size, g);
    merge(std::move(g), device);
}

void apply_korvalith_lun(const KorvalithLunParams& p, SimDevice& device) {
    const std::uint32_t level = microcode_level(p.microcode);
    const std::string& serial = p.array_serial;
    const std::uint32_t dn = p.device_number;
    auto has = [&p](std::uint32_t flag) { return (p.flags & flag) != 0; };
    char text[16];

    Bytes q(216, 0);
    const int ansi = p.ansi_version.value_or(level >= 0x5771 ? 4 : 2);
    q[2] = static_cast<std::uint8_t>(ansi);
    q[3] = 0x02;
    q[4] = static_cast<std::uint8_t>(q.size() - 5);
    q[7] = 0x02;
    put_text(q, 8, "XMV     ");
    put_text(q, 16, "KORVALITH       ");
    put_padded(q, 32, p.microcode, 4);
    // The array serial's last two digits (the loader admits 12 digits only).
    put_text(q, 36, std::string_view(serial).substr(std::min<std::size_t>(10, serial.size()), 2));
    std::snprintf(text, sizeof text, "%03X", dn & 0xFFF);
    put_text(q, 38, text);
    std::snprintf(text, sizeof text, "%02d%c", p.director % 100, static_cast<char>('0' + p.port % 10));
    put_text(q, 41, text);

    std::uint8_t replication = has(kKorvVraid) ? 0x00 : 0x01;
    if (has(kKorvRpxR1)) replication |= 0x06;
    if (has(kKorvRpxR2)) replication |= 0x04;
    if (has(kKorvRaid5) || has(kKorvRaid6)) replication |= 0x10;
    if (has(kKorvMirrored)) replication |= 0x20;
    q[44] = q[49] = q[120] = replication;

    if (level < 0x5600) {
        if ((level & 0xFF00) == 0x5500) q[48] = 0x80;
        if ((level & 0xFF00) == 0x5200) q[48] = 0x40;
    }
    if (p.date_month != 0) {
        const std::size_t at = ansi < 4 ? 64 : 92;
        q[at + 1] = bcd(p.date_month);
        q[at + 2] = bcd(p.date_day);
        q[at + 3] = bcd(p.date_year % 100);
    }
    q[76] = bcd_digits(serial[0], serial[1]);
    for (std::size_t i = 0; i < 5; ++i) q[124 + i] = bcd_digits(serial[2 + 2 * i], serial[3 + 2 * i]);
    if (level >= 0x5874) store_be16(std::span<std::uint8_t>(q).subspan(88), static_cast<std::uint16_t>(level));

    if (has(kKorvWriteProtected)) q[108] |= 0x01;
    if (has(kKorvCkd)) q[108] |= 0x02;
    if (p.director_letter) q[108] |= 0x04;
    if (has(kKorvBcv)) q[108] |= 0x08;
    if (has(kKorvFibre)) q[108] |= 0x10;
    if (has(kKorvMeta)) q[109] |= 0x02;
    if (!p.ckd_label.empty()) {
        for (std::size_t i = 0; i < 6; ++i) q[114 + i] = i < p.ckd_label.size() ? ebcdic(p.ckd_label[i]).value_or(0x40) : 0x40;
    }
    q[122] = static_cast<std::uint8_t>(p.director - 1);
    if (p.director_letter) q[122] = static_cast<std::uint8_t>(((*p.director_letter - 'A') << 4) | ((p.director - 1) & 0x0F));
    q[123] = p.port;
    q[130] = has(kKorvRaid6) ? 0x20 : has(kKorvRaid5) ? 0x08 : 0x00;
    if (level >= 0x5568) {
        std::snprintf(text, sizeof text, "%04X", dn & 0xFFFF);
        put_text(q, 132, text);
    }
    if (has(kKorvSpoofed)) q[136] |= 0x08;
    if (level >= 0x5771) {
        std::snprintf(text, sizeof text, "%X", (dn >> 16) & 0xF);
        put_text(q, 137, text);
    }

    SimDevice g;
    g.inquiry = std::move(q);
    g.vpd[0x00] = vpd_page(0x00, {0x00, 0x83});
    // NAA 6: the company id, a zero nibble, the array serial as decimal digits, seven zero nibbles
    // and the device number: 32 hex digits that read back as the serial and the number.
    char wwn[40];
    std::snprintf(wwn, sizeof wwn, "6%06x0%.12s0000000%05x", kSimCompanyId, serial.c_str(), dn & 0xFFFFF);
    g.vpd[0x83] = identification_page(hex_bytes(wwn));
    add_capacity(p.blocks, kSimBlockBytes, g);
    merge(std::move(g), device);
}

}  // namespace pds::sim
