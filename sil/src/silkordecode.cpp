// Decoding of the high-end array's INQUIRY vendor bytes, the serial characters and the NAS label's maker type.
#include "sil/silkordecode.h"

#include <array>

#include <pds/byteorder.h>
#include <pds/util.h>

std::uint8_t korv_flag_byte(const KOR_INQ_PAGE0& inq) {
    if (inq.rpx_flags_1 != 0) return inq.rpx_flags_1;
    if (inq.rpx_flags_2 != 0) return inq.rpx_flags_2;
    return inq.rpx_flags_3;
}

T_KORV_RPX_ROLE korv_rpx_role(const KOR_INQ_PAGE0& inq) {
    const std::uint8_t flags = korv_flag_byte(inq);
    if ((flags & KORV_RPX_DEVICE) == 0) return T_KORV_RPX_ROLE::none;
    return (flags & KORV_RPX_R1) ? T_KORV_RPX_ROLE::r1 : T_KORV_RPX_ROLE::r2;
}

T_KORV_PROTECTION korv_protection(const KOR_INQ_PAGE0& inq) {
    const std::uint8_t flags = korv_flag_byte(inq);
    T_KORV_PROTECTION p{};
    if (flags & KORV_RAID_PROTECTED) {
        if (inq.protection & 0x20)
            p.raid = T_KORV_RAID::raid_6;
        else if (inq.protection & 0x08)
            p.raid = T_KORV_RAID::raid_5;
        else
            p.raid = T_KORV_RAID::raid_s;
    }
    p.mirrored = (flags & KORV_MIRRORED) != 0;
    // V-RAID is read from byte 44 alone, whichever byte carried the other flags.
    p.vraid = (inq.rpx_flags_1 & KORV_NOT_VRAID) == 0;
    p.rpx_role = korv_rpx_role(inq);
    return p;
}

const char* korv_raid_name(T_KORV_RAID raid) {
    switch (raid) {
        case T_KORV_RAID::raid_6: return "RAID-6";
        case T_KORV_RAID::raid_5: return "RAID-5";
        case T_KORV_RAID::raid_s: return "RAID-S";
        case T_KORV_RAID::none: break;
    }
    return "";
}

bool korv_shared(const KOR_INQ_PAGE0& inq) { return (inq.device_flags_2 & KOR_FLAG2_SHARED) != 0; }
bool korv_meta(const KOR_INQ_PAGE0& inq) { return (inq.device_flags_2 & KOR_FLAG2_META) != 0; }

T_KORV_ATTACHMENT korv_attachment(const KOR_INQ_PAGE0& inq) {
    if (inq.device_flags & KOR_FLAG_FIBRE) return T_KORV_ATTACHMENT::fibre;
    if (inq.device_flags & KOR_FLAG_ULTRA_SCSI) return T_KORV_ATTACHMENT::ultra_scsi;
    if (inq.attach_flags & KOR_ATTACH_ISCSI) return T_KORV_ATTACHMENT::iscsi;
    return T_KORV_ATTACHMENT::other;
}

T_KORV_DIRECTOR_PORT korv_director_port(const T_SIL_DEVICE& dev) {
    if (dev.korv_model == 0x300) return {dev.director, 0, false, dev.port};
    // Signed on purpose: director 0 gives number 16 on the board before the first.
    const int index = static_cast<int>(dev.director) - 1;
    return {(index & 0x0F) + 1, index >> 4, true, dev.port};
}

T_KORV_DIRECTOR_PORT korv_inquiry_director_port(const KOR_INQ_PAGE0& inq) {
    const int director = inq.director_bin;
    if (inq.device_flags & KOR_FLAG_EXTENDED_DIRS) return {(director & 0x0F) + 1, director >> 4, true, inq.port_bin};
    return {director + 1, 0, false, inq.port_bin};
}

std::string korv_ckd_label(const KOR_INQ_PAGE0& inq) {
    std::array<char, sizeof inq.ckd_label> ascii{};
    pds::pdsUtilEbcdicToAscii(inq.ckd_label, ascii.data(), ascii.size());
    return std::string(ascii.data(), ascii.size());
}

std::span<const std::uint8_t, 8> sil_inquiry_serial_text(const KOR_INQ_PAGE0* page) {
    constexpr std::size_t kFirst = offsetof(KOR_INQ_PAGE0, dev_serial_chars);
    static_assert(kFirst == 36 && kFirst + 8 <= sizeof(KOR_INQ_PAGE0));
    // The record is all byte fields: its object representation is the INQUIRY image.
    return std::span<const std::uint8_t, 8>(reinterpret_cast<const std::uint8_t*>(page) + kFirst, 8);
}

std::uint32_t vantrel_label_maker_type(const T_SIL_DEVICE& dev) {
    const std::span<const std::uint8_t> label(dev.vantrel_label);
    return pds::load_le32(label.subspan(VANTREL_LABEL_MAKER_TYPE_OFFSET, 4));
}
