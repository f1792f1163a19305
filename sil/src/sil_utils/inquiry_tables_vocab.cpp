// The device tables' shared vocabulary: flag byte, protection and model names, capacity and name cells.
#include "inquiry_tables_vocab.h"

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <span>


const KOR_INQ_PAGE0* valid_inquiry(const T_SIL_DEVICE& dev) {
    return dev.inquiry == 1 ? dev.inquiry_data : nullptr;
}

std::string first_chars(std::string text, std::size_t count) {
    if (text.size() > count) text.resize(count);
    return text;
}

std::string dashes(std::size_t count) { return std::string(count, '-'); }

bool is_korv_backed_virtual(const T_SIL_DEVICE& dev) {
    return dev.is_virtual != 0 && dev.backing_array_type == 1;
}

void replace_virtual_serial(const T_SIL_DEVICE& dev, std::string& serial) {
    if (dev.is_virtual == 0 || dev.backing_device == nullptr) return;
    serial = first_chars(field_text(dev.backing_device->serial), 8);
}

std::size_t device_name_width(const T_SIL_DEVICE_LIST* list) {
    std::size_t longest = 8;
    if (list != nullptr && list->devices != nullptr) {
        for (std::int32_t i = 0; i < list->count; ++i) {
            if (list->devices[i] != nullptr)
                longest = std::max(longest, inq_field_text(list->devices[i]->name).size());
        }
    }
    return longest + 1;
}

std::string padded_name(std::string_view name, std::size_t width) {
    std::string cell(name);
    if (cell.size() < width) cell.append(width - cell.size(), ' ');
    return cell;
}

std::int64_t capacity_kb(const T_SIL_DEVICE& dev) {
    // Unsigned arithmetic: a device reporting absurd sizes wraps instead of overflowing.
    return static_cast<std::int64_t>((dev.num_blocks * dev.block_size) >> 10);
}

std::string capacity_cell(const T_SIL_DEVICE& dev, std::string_view placeholder) {
    if (dev.cap_state == 1) return sil_format("%8" PRId64, capacity_kb(dev));
    if (dev.cap_state == 2) return " FAILED";
    return std::string(placeholder);
}

T_CAPACITY_CELLS capacity_and_block_cells(const T_SIL_DEVICE& dev, bool blank_512) {
    if (dev.cap_state == 1) {
        const bool blank = blank_512 && dev.block_size == 512;
        return {capacity_cell(dev, ""), blank ? "   " : sil_format("%5d", static_cast<int>(dev.block_size))};
    }
    if (dev.cap_state == 2) return {" FAILED", "    "};
    return {" ----- ", " --- "};
}

std::string korv_protection_name(const KOR_INQ_PAGE0& inq, RpxSuffixOrder order) {
    const T_KORV_PROTECTION p = korv_protection(inq);
    if (p.raid != T_KORV_RAID::none) return std::string(korv_raid_name(p.raid)) + (p.mirrored ? "/mirrored" : "");
    if (p.rpx_role != T_KORV_RPX_ROLE::none) {
        std::string name = p.rpx_role == T_KORV_RPX_ROLE::r1 ? "RPX1" : "RPX2";
        const char* vraid_suffix = p.vraid ? "/V-RAID" : "";
        const char* mirrored_suffix = p.mirrored ? "/mirrored" : "";
        if (order == RpxSuffixOrder::vraid_first)
            name.append(vraid_suffix).append(mirrored_suffix);
        else
            name.append(mirrored_suffix).append(vraid_suffix);
        return name;
    }
    if (p.vraid) return "V-RAID";
    if (p.mirrored) return "mirrored";
    return "unprotected";
}

const char* korv_rpx_cell(const KOR_INQ_PAGE0& inq, const char* r1, const char* r2, const char* none) {
    switch (korv_rpx_role(inq)) {
        case T_KORV_RPX_ROLE::r1: return r1;
        case T_KORV_RPX_ROLE::r2: return r2;
        case T_KORV_RPX_ROLE::none: break;
    }
    return none;
}

const char* korv_model_name(std::uint16_t korv_model, std::uint16_t newest_known) {
    if (korv_model > newest_known) return "-----";
    switch (korv_model) {
        case 0x300: return "KORV3";
        case 0x400: return "KORV4";
        case 0x500: return "KORV5";
        case 0x600: return "KORV6";
        case 0x700: return "KORV7";
        case 0x800: return "KORV8";
        default: return "-----";
    }
}

std::string korv_share_meta(const KOR_INQ_PAGE0& inq, std::size_t width) {
    std::string cell(std::max<std::size_t>(width, 2), ' ');
    if (korv_shared(inq)) cell[0] = 'S';
    if (korv_meta(inq)) cell[1] = 'M';
    return cell;
}

std::string korv_director_cell(const T_SIL_DEVICE& dev) {
    const T_KORV_DIRECTOR_PORT d = korv_director_port(dev);
    if (!d.has_board) return sil_format("%2d-%d", d.number, d.port);
    const char letter = d.board >= 26 ? '?' : static_cast<char>('a' + d.board);
    return sil_format("%2d%c%d", d.number, letter, d.port);
}

std::string korv_et_director_cell(const KOR_INQ_PAGE0& inq) {
    const T_KORV_DIRECTOR_PORT d = korv_inquiry_director_port(inq);
    if (d.has_board) return sil_format("R%02d%c-%d", d.number, 'A' + d.board, d.port);
    return sil_format("R%02d-%d", d.number, d.port);
}

std::string inquiry_serial_text(const KOR_INQ_PAGE0& inq) {
    const std::span<const std::uint8_t, 8> bytes = sil_inquiry_serial_text(&inq);
    return std::string(bytes.begin(), std::find(bytes.begin(), bytes.end(), std::uint8_t{0}));
}
