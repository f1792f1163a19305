// Array identification: classifies a device by its INQUIRY text, decodes the high-end array's vendor bytes and keeps the 216-byte record.
#include "silinqut.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include <pds/byteorder.h>

#include "silbscsi.h"
#include "sildebug.h"
#include "silinitl.h"
#include "silkorinq.h"
#include "sil/siltext.h"

// A short character field read as a number the way the array writes it: leading blanks skipped,
// then digits up to the first character that is not one (none gives 0).
std::uint32_t parse_number_text(std::span<const std::uint8_t> chars, std::uint32_t base) {
    std::size_t i = 0;
    while (i < chars.size() && (chars[i] == ' ' || chars[i] == '\t')) ++i;
    std::uint32_t value = 0;
    for (; i < chars.size(); ++i) {
        int d = sil_hex_digit(chars[i]);
        if (d < 0 || static_cast<std::uint32_t>(d) >= base) break;
        value = value * base + static_cast<std::uint32_t>(d);
    }
    return value;
}

namespace {

// Offsets of the standard INQUIRY fields the classification reads.
constexpr std::size_t kVendorOffset = 8;
constexpr std::size_t kVendorLength = 8;
constexpr std::size_t kProductOffset = 16;
constexpr std::size_t kProductLength = 16;
constexpr std::size_t kSerialOffset = 36;  // bytes 36-43: the serial text of most makes
constexpr std::size_t kSerialLength = 8;
constexpr std::size_t kAdditionalLengthOffset = 4;
constexpr std::size_t kDeviceFlagsOffset = 108;
// The NAS iSCSI decoder needs its vendor area through byte 139.
constexpr std::size_t kIvantrelMinimumLength = 140;

// Microcode levels at which the high-end array moved its fields.
constexpr std::uint32_t kLevelWordFromBytes88 = 0x5874;  // level in bytes 88-89, director/port binary
constexpr std::uint32_t kLevelFifthDevChar = 0x5771;     // fifth device-number character in byte 137
constexpr std::uint32_t kLevelFourCharDevNum = 0x5568;   // device number in bytes 132-135

// The raw block of the device being identified on this thread, for decoders that need bytes
// past the 216 kept for good (sil_inquiry_bytes).
struct IdentifyInProgress {
    const T_SIL_DEVICE* device = nullptr;
    std::span<const std::uint8_t> raw;
};
thread_local IdentifyInProgress t_identify;

class IdentifyScope {
public:
    IdentifyScope(const T_SIL_DEVICE* device, std::span<const std::uint8_t> raw) : saved_(t_identify) {
        t_identify = {device, raw};
    }
    ~IdentifyScope() { t_identify = saved_; }
    IdentifyScope(const IdentifyScope&) = delete;
    IdentifyScope& operator=(const IdentifyScope&) = delete;

private:
    IdentifyInProgress saved_;
};

bool has_prefix(std::span<const std::uint8_t> field, std::string_view prefix) {
    return field.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), field.begin());
}

bool has_prefix_nocase(std::span<const std::uint8_t> field, std::string_view prefix) {
    if (field.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(field[i]) != std::tolower(static_cast<unsigned char>(prefix[i]))) return false;
    }
    return true;
}

// Whether `needle` occurs in the text that starts at `text` (up to its NUL or the block's end).
bool text_contains(std::span<const std::uint8_t> text, std::string_view needle) {
    auto end = std::find(text.begin(), text.end(), std::uint8_t{0});
    return std::search(text.begin(), end, needle.begin(), needle.end()) != end;
}

std::uint32_t parse_hex_text(std::span<const std::uint8_t> chars) { return parse_number_text(chars, 16); }
std::uint32_t parse_dec_text(std::span<const std::uint8_t> chars) { return parse_number_text(chars, 10); }

template <std::size_t N>
std::span<const std::uint8_t> field_bytes(const char (&field)[N]) {
    return {reinterpret_cast<const std::uint8_t*>(field), N};
}

// A virtual disk carries no serial of its own: clear the record's and the bytes that hold it.
void clear_virtual_serial(T_SIL_DEVICE* device, std::span<std::uint8_t> bytes) {
    std::memset(device->dev_serial, 0, sizeof device->dev_serial);
    if (bytes.size() > kSerialOffset) {
        std::fill_n(bytes.begin() + kSerialOffset, std::min(kSerialLength, bytes.size() - kSerialOffset), std::uint8_t{0});
    }
}

// Steps 1-3: the classification flags (and the serial text every make shows). Absent bytes: a
// vendor or product text the reply cuts short compares as far as it goes (a prefix longer than
// what is there does not match); an absent flag byte 108 is not CKD; an absent serial leaves
// `dev_serial` empty past what was received.
void classify(T_SIL_DEVICE* device, std::span<std::uint8_t> raw, bool is_virtual_disk) {
    pds::ReplyReader reply(raw);
    const auto vendor = reply.bytes_upto(kVendorOffset, kVendorLength);
    const auto product = reply.bytes_upto(kProductOffset, kProductLength);

    if (has_prefix(vendor, "XMV") && !has_prefix(vendor, "XMVNSR") && !has_prefix(product, "LUNZ") &&
        !has_prefix(product, "Vantrel")) {
        device->is_XMV_device = 1;
        if ((reply.u8(kDeviceFlagsOffset).value_or(0) & KOR_FLAG_CKD) == 0 && device->is_vm_disk == 0) {
            SIL_Get_Korv_Dev_Wwn(device, 0);
        }
    }

    std::memset(device->dev_serial, 0, sizeof device->dev_serial);
    if (is_virtual_disk) {
        clear_virtual_serial(device, raw);
        if (device->inquiry_data != nullptr) clear_virtual_serial(device, kor_inq_bytes(device->inquiry_data));
    } else {
        const auto serial = reply.bytes_upto(kSerialOffset, kSerialLength);
        std::copy(serial.begin(), serial.end(), device->dev_serial);
    }

    if (has_prefix(vendor, "SGI") && !text_contains(reply.bytes_upto(kVendorOffset, raw.size()), "IBM")) device->is_drav = 1;
    if (has_prefix(vendor, "NDQ")) {
        device->is_drav = 1;
    } else if (has_prefix(vendor, "FSC FC")) {
        device->is_drav = 1;
    }
    if (has_prefix(product, "Olvessa")) device->is_olvessa = 1;
    if (has_prefix(vendor, "DEC") && has_prefix(product, "HSG80")) device->is_storwrks = 1;
    if (has_prefix(vendor, "EUROLOGC")) device->is_s80 = 1;
    if (has_prefix(vendor, "NETAPP")) device->is_netapp = 1;
    if ((has_prefix(vendor, "HP") || has_prefix(vendor, "HITACHI")) &&
        (has_prefix(product, "OPEN") || has_prefix(product, "DF600F"))) {
        device->is_hds = 1;
    }
    if (has_prefix(vendor, "IBM") &&
        (has_prefix(product, "2105") || has_prefix(product, "2107") || has_prefix(product, "3552"))) {
        device->is_shark = 1;
    }
    if (has_prefix(vendor, "XMV") && has_prefix(product, "Vantrel")) device->is_ivantrel = 1;
    if (has_prefix(vendor, "COMPAQ") && has_prefix(product, "HSV")) device->is_hsv = 1;
}

bool any_family_flag(const T_SIL_DEVICE* d) {
    return d->is_XMV_device || d->is_drav || d->is_olvessa || d->is_storwrks || d->is_s80 || d->is_netapp ||
           d->is_hds || d->is_shark || d->is_ivantrel || d->is_hsv;
}

bool has_backing_array(const T_SIL_DEVICE* d) {
    return d->backing_array_type >= 1 && d->backing_array_type <= 3;
}

// Step 5: the make's own decoder, first match. Sets `ran` when one was chosen.
std::int32_t run_make_decoder(T_SIL_DEVICE* device, std::span<const std::uint8_t> raw, bool& ran) {
    ran = true;
    if (device->is_drav) return SIL_Get_Dravonis_Info(device);
    if (device->is_olvessa) return SIL_Get_Meshvar_Info(device);
    if (device->is_storwrks) return SIL_Get_StorWrks_Info(device);
    if (device->is_hds) return SIL_Get_Hds_Info(device);
    if (device->is_s80) return SIL_Get_S80_Info(device);
    if (device->is_shark) return SIL_Get_IBM_Shark_Info(device);
    if (device->is_ivantrel) {
        // Older NAS firmware answers a standard page too short to hold its vendor area. The page
        // must say so and the reply must hold it: an additional length the bytes received do not
        // bear out is not taken on trust.
        pds::ReplyReader reply(raw);
        const std::size_t claimed = std::size_t{reply.u8(kAdditionalLengthOffset).value_or(0)} + 4;
        if (claimed >= kIvantrelMinimumLength && raw.size() >= kIvantrelMinimumLength) return SIL_Get_iVantrel_Info(device);
        return 0;
    }
    if (device->is_hsv) return SIL_Get_Compaq_HSV_Info(device);
    if (device->is_netapp) return SIL_Get_Netapp_Info(device);
    ran = false;
    return 0;
}

std::uint16_t korv_model_for(std::uint32_t ucode_level, std::uint8_t system_model) {
    const std::uint32_t family = ucode_level & 0xFF00;
    if (family >= 0x5800) return KORV_MODEL_8;
    if (family >= 0x5700) return KORV_MODEL_7;
    if (family >= 0x5600) return KORV_MODEL_6;
    // Before the 56xx microcode the model is only known from the system-model bits.
    if (system_model & 0x80) return KORV_MODEL_5;
    if (system_model & 0x40) return KORV_MODEL_4;
    return KORV_MODEL_3;
}

// Offsets of the high-end array's vendor bytes (the KOR_INQ_PAGE0 layout).
constexpr std::size_t kRevisionOffset = 32;
constexpr std::size_t kDevNum3Offset = 38;
constexpr std::size_t kDirectorTextOffset = 41;
constexpr std::size_t kPortTextOffset = 43;
constexpr std::size_t kSystemModelOffset = 48;
constexpr std::size_t kOldDateOffset = 64;
constexpr std::size_t kSerialBcd1Offset = 76;
constexpr std::size_t kLevelWordOffset = 88;
constexpr std::size_t kNewDateOffset = 92;
constexpr std::size_t kDirectorBinOffset = 122;
constexpr std::size_t kPortBinOffset = 123;
constexpr std::size_t kSerialBcd2Offset = 124;
constexpr std::size_t kDevNum4Offset = 132;
constexpr std::size_t kDevNum5Offset = 137;

// A character field of the reply, cut at the end of the bytes received (empty when absent).
std::span<const std::uint8_t> text_field(const pds::ReplyReader& reply, std::size_t offset, std::size_t length) {
    return reply.bytes_upto(offset, length);
}

// Step 7: the high-end array's vendor bytes, read from the bytes the device returned. What a
// field the reply does not reach means:
//  - revision text, device-number text, director and port text: no digits, so the number is 0
//    (and the binary director and port of bytes 122-123 take over, themselves 0 when absent);
//  - bytes 88-89 (level word of 5874 microcode and later): the level stays the revision text's;
//  - system model byte 48, flag byte 108: no bits set;
//  - serial characters and the fifth device-number character: not written (the text stops there);
//  - date bytes: no date, repaired from the level table as for an invalid date;
//  - array serial bytes 76 and 124-128: `korid` is not written (empty), as for an array that
//    reports none.
// `page` is the kept record; the revision rewrite and a virtual disk's cleared serial go there.
void decode_korvalith(T_SIL_DEVICE* device, const pds::ReplyReader& reply, KOR_INQ_PAGE0& page, bool is_virtual_disk) {
    pds::ReplyReader r = reply;
    // a. microcode level
    std::uint32_t level = parse_hex_text(text_field(r, kRevisionOffset, 4));
    if (level >= kLevelWordFromBytes88) {
        if (const auto word = r.be16(kLevelWordOffset)) {
            level = *word;
            char text[8];
            std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(level));
            std::memcpy(page.revision, text, sizeof page.revision);
            SIL_TRACE(SIL_TRACE_INFO, "This is 5874 or greater. Got ucode level 0x%x from Byte 88,89", level);
        }
    }
    device->ucode_level = level;

    // b, c. director numbering and model
    const std::uint8_t flags = r.u8(kDeviceFlagsOffset).value_or(0);
    const std::uint8_t system_model = r.u8(kSystemModelOffset).value_or(0);
    device->extended_dirs = (flags & KOR_FLAG_EXTENDED_DIRS) ? 1 : 0;
    device->korv_model = korv_model_for(level, system_model);
    SIL_TRACE(SIL_TRACE_INFO, "sil_device->inquiry_data->system_model: 0x%x sil_device->korv_model: 0x%x",
              system_model, device->korv_model);

    // d. device (volume) number
    device->korv_dev_num = (level & 0xFFFF) >= kLevelFourCharDevNum ? parse_hex_text(text_field(r, kDevNum4Offset, 4))
                                                                     : parse_hex_text(text_field(r, kDevNum3Offset, 3));

    // e. serial text: two serial characters, the fifth device-number character, the device
    // number, the director and the port. Ten characters, the whole field.
    char dev_num_text[8];
    std::snprintf(dev_num_text, sizeof dev_num_text, "%04x", static_cast<unsigned>(device->korv_dev_num & 0xFFFF));
    char* s = device->dev_serial;
    std::memset(s, 0, sizeof device->dev_serial);
    const auto put = [](char* to, std::span<const std::uint8_t> from) { std::copy(from.begin(), from.end(), to); };
    put(s, text_field(r, kSerialOffset, 2));
    s[2] = level >= kLevelFifthDevChar ? static_cast<char>(r.u8(kDevNum5Offset).value_or(0)) : '0';
    std::memcpy(s + 3, dev_num_text, 4);
    put(s + 7, text_field(r, kDirectorTextOffset, 3));

    // f. director and port as the array's text gives them
    device->director = static_cast<std::uint16_t>(parse_dec_text(text_field(r, kDirectorTextOffset, 2)));
    device->port = static_cast<std::uint16_t>(parse_dec_text(text_field(r, kPortTextOffset, 1)));

    // g. a virtual disk keeps no serial
    if (is_virtual_disk) clear_virtual_serial(device, kor_inq_bytes(&page));

    // h. newer microcode (and text that cannot be right) give them in binary
    if (device->director == 0 || device->port >= 8 || level >= kLevelWordFromBytes88) {
        device->director = static_cast<std::uint16_t>(r.u8(kDirectorBinOffset).value_or(0) + 1);
        device->port = r.u8(kPortBinOffset).value_or(0);
    }

    // i, j. microcode date, repaired from the level when the array's bytes are not a date
    const bool old_date_position = (r.u8(2).value_or(0) & 0x07) < 4;
    const auto date = r.bytes(old_date_position ? kOldDateOffset : kNewDateOffset, 4);
    device->ucode_date = date ? ucode_date_from_bytes(*date) : 0;
    if (device->ucode_date == 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "Ucode date is invalid, attempting correction using ucode level");
        device->ucode_date = ucode_date_from_level(level);
    }

    // k. the array's serial number, two digits per BCD byte
    const auto bcd1 = r.u8(kSerialBcd1Offset);
    const auto bcd2 = r.bytes(kSerialBcd2Offset, 5);
    if (bcd1 && bcd2) {
        std::array<std::uint8_t, 6> bcd{*bcd1};
        std::copy(bcd2->begin(), bcd2->end(), bcd.begin() + 1);
        for (std::size_t i = 0; i < bcd.size(); ++i) {
            device->korid[2 * i] = static_cast<char>('0' + (bcd[i] >> 4));
            device->korid[2 * i + 1] = static_cast<char>('0' + (bcd[i] & 0x0F));
        }
        device->korid[12] = '\0';
    }

    // l.
    SIL_TRACE(SIL_TRACE_INFO_DETAIL, "is_XMV_device=%d korv_model=0x%04x ucode_level=0x%04x ucode_date=0x%08x",
              device->is_XMV_device, device->korv_model, device->ucode_level, device->ucode_date);
    SIL_TRACE(SIL_TRACE_INFO_DETAIL, "korv_dev_num=0x%05x korv_serial#=<%s>", device->korv_dev_num, device->korid);
}

std::int32_t identify_core(T_SIL_DEVICE* device, std::span<std::uint8_t> raw) {
    IdentifyScope scope(device, raw);
    const bool is_virtual_disk = has_prefix_nocase(pds::ReplyReader(raw).bytes_upto(kProductOffset, kProductLength), "Virtual");

    classify(device, raw, is_virtual_disk);

    if (!any_family_flag(device) && !has_backing_array(device)) {
        SIL_TRACE(SIL_TRACE_INFO, "not a supported device, no info to fill in");
        shrink_inquiry_data(device, raw);
        return 0;
    }

    bool decoder_ran = false;
    const std::int32_t rc = run_make_decoder(device, raw, decoder_ran);
    if (decoder_ran) {
        shrink_inquiry_data(device, raw);
        return rc;
    }
    if (!device->is_XMV_device) {
        // A virtual disk whose backing array is one of ours: only its page 0x83 identifies it.
        SIL_Get_TPStorage_Info(device);
        shrink_inquiry_data(device, raw);
        return 0;
    }

    shrink_inquiry_data(device, raw);
    const pds::ReplyReader reply(raw);
    if (device->inquiry_data != nullptr) {
        decode_korvalith(device, reply, *device->inquiry_data, is_virtual_disk);
    } else {
        // The record lost its copy (no memory); the fields can still be decoded.
        KOR_INQ_PAGE0 page{};
        decode_korvalith(device, reply, page, is_virtual_disk);
    }
    return 0;
}

}  // namespace

std::span<std::uint8_t> kor_inq_bytes(KOR_INQ_PAGE0* page) {
    if (page == nullptr) return {};
    return {reinterpret_cast<std::uint8_t*>(page), KOR_INQ_PAGE0_SIZE};
}

std::span<const std::uint8_t> kor_inq_bytes(const KOR_INQ_PAGE0* page) {
    if (page == nullptr) return {};
    return {reinterpret_cast<const std::uint8_t*>(page), KOR_INQ_PAGE0_SIZE};
}

std::span<const std::uint8_t> sil_inquiry_bytes(const T_SIL_DEVICE* device) {
    if (device == nullptr) return {};
    if (t_identify.device == device) return t_identify.raw;
    if (device->inquiry != 1) return {};
    return kor_inq_bytes(device->inquiry_data);
}

std::uint32_t ucode_date_from_level(std::uint32_t ucode_level) {
    switch (ucode_level) {
        case 0x5062: case 0x5262: return 0x19960308;
        case 0x5063: case 0x5263: return 0x19961025;
        case 0x5064: case 0x5264: return 0x19970620;
        case 0x5065: case 0x5265: return 0x19980515;
        case 0x5066: case 0x5266: case 0x5566: return 0x19990401;
        case 0x5267: case 0x5567: return 0x20000930;
        case 0x5568: return 0x20010630;
        case 0x5669: return 0x20020730;
        default: return 0;
    }
}

std::uint32_t ucode_date_from_bytes(std::span<const std::uint8_t> date4) {
    if (date4.size() < 4) return 0;
    const std::uint32_t m = date4[1];
    const std::uint32_t d = date4[2];
    const std::uint32_t y = date4[3];
    if (m < 1 || m > 0x12 || d < 1 || d > 0x31 || y > 0x99) return 0;
    std::uint32_t century;
    if (y <= 0x20) {
        century = 0x20;
    } else if (y >= 0x88) {
        century = 0x19;
    } else {
        return 0;
    }
    return ((century << 8) | y) << 16 | (m << 8) | d;
}

void shrink_inquiry_data(T_SIL_DEVICE* device, std::span<const std::uint8_t> raw) {
    SIL_FUNCTION("shrink_inquiry_data");
    if (device == nullptr) return;
    auto* page = new (std::nothrow) KOR_INQ_PAGE0{};
    if (page != nullptr) std::memcpy(page, raw.data(), std::min(raw.size(), KOR_INQ_PAGE0_SIZE));
    delete device->inquiry_data;
    device->inquiry_data = page;
    // Readers trust `inquiry` == 1 to mean the page is there.
    if (page == nullptr) device->inquiry = 2;
}

std::int32_t identify_array_block(T_SIL_DEVICE* device, std::span<std::uint8_t> raw) {
    SIL_FUNCTION("identify_array");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    if (device->inquiry != 1 || device->inquiry_data == nullptr) SIL_RETURN(SIL_ERR_FAILED);
    SIL_RETURN(identify_core(device, raw));
}

std::int32_t identify_array(T_SIL_DEVICE* device) {
    SIL_FUNCTION("identify_array");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    if (device->inquiry != 1 || device->inquiry_data == nullptr) SIL_RETURN(SIL_ERR_FAILED);
    // Inquiry data that arrived as a record: identify it as the block it was cut from.
    std::vector<std::uint8_t> raw;
    try {
        raw.assign(SIL_INQUIRY_BLOCK_SIZE, 0);
    } catch (const std::bad_alloc&) {
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    const auto kept = kor_inq_bytes(device->inquiry_data);
    std::copy(kept.begin(), kept.end(), raw.begin());
    SIL_RETURN(identify_core(device, raw));
}

std::int32_t SIL_Get_Korv_Dev_Wwn(T_SIL_DEVICE* device, int force_dump) {
    SIL_FUNCTION("SIL_Get_Korv_Dev_Wwn");
    if (device == nullptr) {
        SIL_TRACE(SIL_TRACE_INFO, "sil_device is NULL");
        SIL_RETURN(SIL_ERR_NO_DEVICE);
    }
    pds::ReplyReader inq(sil_inquiry_bytes(device));
    if ((inq.u8(kDeviceFlagsOffset).value_or(0) & KOR_FLAG_CKD) != 0) SIL_RETURN(0);
    if (!device->is_XMV_device) {
        SIL_TRACE(SIL_TRACE_INFO, "Device is not from a Korvalith");
        SIL_RETURN(SIL_ERR_WRONG_DEVICE_KIND);
    }
    std::array<std::uint8_t, SIL_KORV_EVPD_LENGTH> buffer{};
    buffer[1] = 0x83;
    const T_SIL_REPLY got = korv_evpd_page(device, buffer, 1, force_dump);
    if (!got.ok()) {
        SIL_TRACE(SIL_TRACE_INFO, "Failed to retrieve inquiry VPD page %02x", 0x83);
        SIL_RETURN(got.status);
    }
    // Page 0x83 comes in two forms: with a descriptor header (page length 20 or 28) the
    // identifier starts at byte 8, in the short form at byte 4. An identifier the reply does not
    // reach in full is absent: `wwn` is not written (all zero, as for a device without one).
    pds::ReplyReader page(got.bytes);
    const std::uint8_t page_length = page.u8(3).value_or(0);
    const std::size_t from = (page_length == 20 || page_length == 28) ? 8 : 4;
    if (const auto wwn = page.bytes(from, sizeof device->wwn)) std::copy(wwn->begin(), wwn->end(), device->wwn);
    SIL_RETURN(0);
}
