// The device tables' shared vocabulary: flag byte, protection and model names, capacity and name cells.
#include "inquiry_tables_vocab.h"

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdarg>
#include <cstdio>
#include <span>
#include <vector>

#include "pds/byteorder.h"

const KOR_INQ_PAGE0* valid_inquiry(const T_SIL_DEVICE& dev) {
    return dev.inquiry == 1 ? dev.inquiry_data : nullptr;
}

std::string first_chars(std::string text, std::size_t count) {
    if (text.size() > count) text.resize(count);
    return text;
}

std::string cell_printf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
        text.assign(buffer.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
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
    if (dev.cap_state == 1) return cell_printf("%8" PRId64, capacity_kb(dev));
    if (dev.cap_state == 2) return " FAILED";
    return std::string(placeholder);
}

T_CAPACITY_CELLS capacity_and_block_cells(const T_SIL_DEVICE& dev, bool blank_512) {
    if (dev.cap_state == 1) {
        const bool blank = blank_512 && dev.block_size == 512;
        return {capacity_cell(dev, ""), blank ? "   " : cell_printf("%5d", static_cast<int>(dev.block_size))};
    }
    if (dev.cap_state == 2) return {" FAILED", "    "};
    return {" ----- ", " --- "};
}

std::uint8_t korv_flag_byte(const KOR_INQ_PAGE0& inq) {
    if (inq.rpx_flags_1 != 0) return inq.rpx_flags_1;
    if (inq.rpx_flags_2 != 0) return inq.rpx_flags_2;
    return inq.rpx_flags_3;
}

namespace {

const char* raid_level(const KOR_INQ_PAGE0& inq) {
    if (inq.protection & 0x20) return "RAID-6";
    if (inq.protection & 0x08) return "RAID-5";
    return "RAID-S";
}

}  // namespace

std::string korv_protection_name(const KOR_INQ_PAGE0& inq, RpxSuffixOrder order) {
    const std::uint8_t flags = korv_flag_byte(inq);
    const bool raid = (flags & KORV_RAID_PROTECTED) != 0;
    const bool mirrored = (flags & KORV_MIRRORED) != 0;
    const bool vraid = (inq.rpx_flags_1 & KORV_NOT_VRAID) == 0;
    if (raid) return std::string(raid_level(inq)) + (mirrored ? "/mirrored" : "");
    if (flags & KORV_RPX_DEVICE) {
        std::string name = (flags & KORV_RPX_R1) ? "RPX1" : "RPX2";
        const char* vraid_suffix = vraid ? "/V-RAID" : "";
        const char* mirrored_suffix = mirrored ? "/mirrored" : "";
        if (order == RpxSuffixOrder::vraid_first)
            name.append(vraid_suffix).append(mirrored_suffix);
        else
            name.append(mirrored_suffix).append(vraid_suffix);
        return name;
    }
    if (vraid) return "V-RAID";
    if (mirrored) return "mirrored";
    return "unprotected";
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
    if (inq.device_flags_2 & KOR_FLAG2_SHARED) cell[0] = 'S';
    if (inq.device_flags_2 & KOR_FLAG2_META) cell[1] = 'M';
    return cell;
}

std::string korv_director_cell(const T_SIL_DEVICE& dev) {
    if (dev.korv_model == 0x300) return cell_printf("%2d-%d", dev.director, dev.port);
    // Signed on purpose: director 0 gives number 16 and the letter before 'a', as it always has.
    const int index = static_cast<int>(dev.director) - 1;
    const int letter_index = index >> 4;
    const char letter = letter_index >= 26 ? '?' : static_cast<char>('a' + letter_index);
    return cell_printf("%2d%c%d", (index & 0x0F) + 1, letter, dev.port);
}

std::uint32_t vantrel_label_maker_type(const T_SIL_DEVICE& dev) {
    const std::span<const std::uint8_t> label(dev.vantrel_label);
    return pds::load_le32(label.subspan(VANTREL_LABEL_MAKER_TYPE_OFFSET, 4));
}

std::string inquiry_serial_text(const KOR_INQ_PAGE0& inq) {
    constexpr std::size_t kFirst = offsetof(KOR_INQ_PAGE0, dev_serial_chars);
    constexpr std::size_t kLength = 8;
    static_assert(kFirst == 36 && kFirst + kLength <= sizeof(KOR_INQ_PAGE0));
    // The record is all byte arrays, so its bytes are the wire bytes.
    const auto* bytes = reinterpret_cast<const char*>(&inq) + kFirst;
    return std::string(bytes, std::find(bytes, bytes + kLength, '\0'));
}
