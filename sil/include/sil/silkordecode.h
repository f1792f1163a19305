// What a device's INQUIRY data and NAS label say, decoded: the high-end array's replication role, protection, sharing, attachment and director, the CKD label, the serial characters and the label's maker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "sildevice.h"
#include "silkorinq.h"

// ---- the high-end array's replication flag byte ------------------------------------------------

inline constexpr std::uint8_t KORV_RPX_R1 = 0x02;
inline constexpr std::uint8_t KORV_RPX_DEVICE = 0x04;
inline constexpr std::uint8_t KORV_RAID_PROTECTED = 0x10;
inline constexpr std::uint8_t KORV_MIRRORED = 0x20;
// Byte 44 bit 0x01 clear marks a V-RAID device.
inline constexpr std::uint8_t KORV_NOT_VRAID = 0x01;

// Byte 44, else byte 49, else byte 120: the first that is not zero.
std::uint8_t korv_flag_byte(const KOR_INQ_PAGE0& inq);

enum class T_KORV_RPX_ROLE { none, r1, r2 };
T_KORV_RPX_ROLE korv_rpx_role(const KOR_INQ_PAGE0& inq);

// The RAID level of a RAID-protected device (byte 130); none when the flag byte says it is not.
enum class T_KORV_RAID { none, raid_s, raid_5, raid_6 };
struct T_KORV_PROTECTION {
    T_KORV_RAID raid;
    bool mirrored;
    bool vraid;
    T_KORV_RPX_ROLE rpx_role;
};
T_KORV_PROTECTION korv_protection(const KOR_INQ_PAGE0& inq);
// "RAID-6", "RAID-5", "RAID-S"; empty for none.
const char* korv_raid_name(T_KORV_RAID raid);

// Byte 109.
bool korv_shared(const KOR_INQ_PAGE0& inq);
bool korv_meta(const KOR_INQ_PAGE0& inq);

// How the device is attached: Fibre Channel wins over Ultra SCSI, which wins over iSCSI.
enum class T_KORV_ATTACHMENT { other, fibre, ultra_scsi, iscsi };
T_KORV_ATTACHMENT korv_attachment(const KOR_INQ_PAGE0& inq);

// A director as number (1-16) on a board (0 for the first), and the port. Without boards the
// number is the director's own.
struct T_KORV_DIRECTOR_PORT {
    int number;
    int board;
    bool has_board;
    int port;
};
// From the record's director and port (director 1 is the first): the 0x300 model has no boards.
// Director 0 gives number 16 on board -1, as it always has.
T_KORV_DIRECTOR_PORT korv_director_port(const T_SIL_DEVICE& dev);
// From INQUIRY bytes 122-123 (director 0 is the first): boards only with extended directors.
T_KORV_DIRECTOR_PORT korv_inquiry_director_port(const KOR_INQ_PAGE0& inq);

// The CKD volume label (bytes 114-119) in ASCII: six characters, unprintable ones as '.'.
std::string korv_ckd_label(const KOR_INQ_PAGE0& inq);

// ---- any make ------------------------------------------------------------------------------------

// The 8 device serial characters of standard INQUIRY data (bytes 36-43).
std::span<const std::uint8_t, 8> sil_inquiry_serial_text(const KOR_INQ_PAGE0* page);

// The NAS label block read from the disk: the "XMV Vantrel" signature at byte 20, then, from byte
// 32, in the host's byte order: target (16-bit), lun (16-bit), array serial (32-bit), array model
// (32-bit) and maker type (32-bit).
inline constexpr std::size_t VANTREL_LABEL_MAKER_TYPE_OFFSET = 44;
std::uint32_t vantrel_label_maker_type(const T_SIL_DEVICE& dev);
