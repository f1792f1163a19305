// The high-end array's WWN reports (-kor_wwn, -sid_wwn, -kordev), get_korv_wwn and the -identifier report.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "inquiry_identity.h"
#include "sil/sillib.h"
#include "sil/silvendor.h"

namespace {

constexpr std::size_t kSerialChars = 12;
// NAA 6, the maker's company identifier 0x0B7D21 and four zero bits.
constexpr std::uint8_t kKorvWwnPrefix[4] = {0x60, 0xB7, 0xD2, 0x10};
// Longest identifier text a row shows.
constexpr std::size_t kIdentifierMaxChars = 128;

using T_WWN = std::array<std::uint8_t, 16>;

char hex_digit(std::uint32_t nibble) { return "0123456789ABCDEF"[nibble & 0xF]; }

// A WWN the array did not report (first byte 0) or reported as unset (0xFF) is made from the
// serial and the device number. The result of get_korv_wwn, or 0 when the WWN stands as it is.
int fill_missing_wwn(T_WWN& wwn, const char* serial, std::uint32_t device_number) {
    if (wwn[0] != 0x00 && wwn[0] != 0xFF) return 0;
    return get_korv_wwn(serial, device_number, wwn.data());
}

T_WWN device_wwn(const T_SIL_DEVICE& dev) {
    T_WWN wwn{};
    std::copy(std::begin(dev.wwn), std::end(dev.wwn), wwn.begin());
    return wwn;
}

void print_korv_cells(std::FILE* out, const T_SIL_DEVICE& dev, const T_DISPLAY_OPTIONS&) {
    std::fprintf(out, "%-15s", field_text(dev.korid).c_str());
    std::fprintf(out, "%-10.05X", dev.korv_dev_num);
    // The row is finished with the WWN as it stands, also when the serial could not make one.
    T_WWN wwn = device_wwn(dev);
    fill_missing_wwn(wwn, dev.korid, dev.korv_dev_num);
    print_hex(out, wwn);
    std::fputs("\n", out);
}

bool always(const T_SIL_DEVICE&) { return true; }

// The make filter has kept only the high-end array's devices, so no row is refused.
constexpr T_IDENTITY_TABLE kKorvTable = {
    "Korvalith Device", "Korv Serial #  Device #  WWN               ", 57, always, always,
    "", nullptr, 0, "", print_korv_cells};

const char* identifier_heading(std::uint16_t identifier_type) {
    switch (identifier_type) {
        case 1: return "Device Name";
        case 2: return "Nice Name";
        case 3: return "HP ID";
        case 4: return "VMS ID";
        default: return nullptr;
    }
}

std::size_t identifier_length(const T_SIL_DEVICE& dev) {
    if (dev.device_identifier == nullptr) return 0;
    const char* text = dev.device_identifier;
    return static_cast<std::size_t>(std::find(text, text + kIdentifierMaxChars, '\0') - text);
}

std::size_t identifier_column_width(const T_SIL_DEVICE_LIST* list) {
    std::size_t longest = 11;
    for (std::int32_t i = 0; list != nullptr && list->devices != nullptr && i < list->count; ++i) {
        if (list->devices[i] != nullptr) longest = std::max(longest, identifier_length(*list->devices[i]));
    }
    return longest + 1;
}

void print_identifier_row(std::FILE* out, const T_SIL_DEVICE& dev, std::size_t width) {
    std::fprintf(out, "%s:", padded_name(field_text(dev.name), width).c_str());
    if (dev.is_XMV_device) {
        std::fprintf(out, "%-9.05X:%-17s:", dev.korv_dev_num, field_text(dev.korid).c_str());
    } else if (dev.is_drav && dev.drav_device != nullptr) {
        std::fprintf(out, "%-9d:%-17s:", dev.drav_device->p83_word2,
                     field_text(dev.drav_device->array_serial).c_str());
    } else if (dev.is_drav) {
        std::fputs("ERROR: Failed to retrieve Dravonis Device or Serial Number\n", out);
        return;
    } else {
        std::fputs("         :                 :\n", out);
        return;
    }
    if (dev.device_identifier != nullptr)
        std::fprintf(out, "%.*s", static_cast<int>(identifier_length(dev)), dev.device_identifier);
    std::fputs("\n", out);
}

}  // namespace

int get_korv_wwn(const char* serial, std::uint32_t device_number, std::uint8_t wwn[16]) {
    std::copy(std::begin(kKorvWwnPrefix), std::end(kKorvWwnPrefix), wwn);
    // Two serial characters to a byte: the first gives the high nibble, the second is added.
    std::uint8_t pending = 0;
    std::size_t emitted = 4;
    for (std::size_t i = 0; i < kSerialChars; ++i) {
        const auto c = static_cast<unsigned char>(serial[i]);
        unsigned base;
        if (c >= '0' && c <= '9') {
            base = '0';
        } else if (c >= 'A' && c <= 'Z') {
            base = 'A';
        } else if (c >= 'a' && c <= 'z') {
            base = 'a';
        } else {
            std::fprintf(sil_out(), "Invalid Korvalith serial number %s\n", serial);
            std::fflush(sil_out());
            print_usage();
            return -1;
        }
        // The array packs a letter's high nibble from the character code less one, a digit's
        // from the code itself; both are cut to four bits by the byte.
        const unsigned high = base == '0' ? c : c - 1;
        if (i % 2 == 0) {
            pending = static_cast<std::uint8_t>(high * 16);
        } else {
            wwn[emitted++] = static_cast<std::uint8_t>(pending + (c - base));
        }
    }
    std::memcpy(wwn + 10, "KOR", 3);
    // Device numbers past FFF borrow the last one or two letters of "KOR" for their high digits.
    const std::uint32_t v = device_number;
    if (v >= 0x2000) {
        wwn[11] = static_cast<std::uint8_t>(hex_digit(v >> 16));
        wwn[12] = static_cast<std::uint8_t>(hex_digit(v >> 12));
    } else if (v >= 0x1000) {
        wwn[12] = static_cast<std::uint8_t>('G' + ((v - 0x1000) >> 8));
    }
    wwn[13] = static_cast<std::uint8_t>(hex_digit(v >> 8));
    wwn[14] = static_cast<std::uint8_t>(hex_digit(v >> 4));
    wwn[15] = static_cast<std::uint8_t>(hex_digit(v));
    return 0;
}

int do_kor_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list*, const T_DISPLAY_OPTIONS* opts) {
    const T_SIL_DEVICE* dev = first_device(list);
    if (dev == nullptr) return -1;
    std::FILE* out = sil_out();
    const std::string name = field_text(dev->name);
    if ((dev->is_virtual && dev->backing_array_type == 1) || !dev->is_XMV_device) {
        std::fprintf(out, "Device:  %s is not a Korvalith device\n", name.c_str());
        return -1;
    }
    constexpr const char* kTitle = "Korvalith Serial Number and Device WWN:\n---------------------------------------\n";
    T_WWN wwn{};
    int result;
    if (!opts->sid_wwn_given) {
        wwn = device_wwn(*dev);
        result = fill_missing_wwn(wwn, dev->korid, dev->korv_dev_num);
        std::fprintf(out, "%sDevice:  %s\nSerial:  %12s\n", kTitle, name.c_str(), field_text(dev->korid).c_str());
    } else {
        result = get_korv_wwn(opts->sid_wwn, opts->korvvol, wwn.data());
        std::fprintf(out, "%sDevice:  0x%X\nSerial:  %12s\n", kTitle, opts->korvvol,
                     std::string(inq_field_text(opts->sid_wwn)).c_str());
    }
    if (result != 0) return -1;
    std::fputs("WWN:     ", out);
    print_hex(out, wwn);
    std::fputs("\n\n", out);
    return 0;
}

int do_kor_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    return print_identity_table(list, cdl, opts, kKorvTable);
}

int do_identifier_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    std::FILE* out = sil_out();
    const std::size_t width = name_column_width(list, 1);
    std::fputs("\n", out);
    const char* heading = identifier_heading(cdl != nullptr ? cdl->get_dev_ident : 0);
    if (heading == nullptr) {
        std::fputs("ERROR: Device identifier type not set\n", out);
        return -1;
    }
    const std::string rule = dashes(width + 28 + identifier_column_width(list));
    std::fprintf(out, "%s\n%s:Device # :Array ID         :%s\n%s\n", rule.c_str(),
                 padded_name("Device", width).c_str(), heading, rule.c_str());
    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) { print_identifier_row(out, dev, width); });
    std::fputs("\n", out);
    return 0;
}
