// KOR_INQ_PAGE0: the 216-byte decoded standard INQUIRY page every report reads.
#pragma once

#include <cstddef>
#include <cstdint>

// Byte layout of the maker's high-end array; other makes use only the standard part (0-35).
// Every field is a byte array, so the record has no padding and the offsets are the wire offsets.
struct KOR_INQ_PAGE0 {
    std::uint8_t qualifier_type;        // 0: qualifier bits 7-5, device type bits 4-0
    std::uint8_t removable;             // 1: bit 7 removable medium
    std::uint8_t ansi_version;          // 2: bits 2-0 ANSI version
    std::uint8_t response_format;       // 3
    std::uint8_t additional_length;     // 4
    std::uint8_t reserved_5[3];         // 5-7
    char vendor[8];                     // 8-15
    char product[16];                   // 16-31
    char revision[4];                   // 32-35: microcode level as hex text on the high-end array
    char dev_serial_chars[2];           // 36-37
    char dev_num3[3];                   // 38-40: device number, 3 hex characters (before 0x5568)
    char director_text[2];              // 41-42: director, 2 decimal characters
    char port_text;                     // 43: port, 1 decimal character
    std::uint8_t rpx_flags_1;           // 44: replication flags, first choice
    std::uint8_t reserved_45[3];        // 45-47
    std::uint8_t system_model;          // 48: bit 7 model 5, bit 6 model 4
    std::uint8_t rpx_flags_2;           // 49: replication flags, second choice
    std::uint8_t reserved_50[14];       // 50-63
    std::uint8_t old_ucode_date[4];     // 64-67: month 65, day 66, year 67 (ANSI < 4)
    std::uint8_t reserved_68[8];        // 68-75
    std::uint8_t serial_bcd_1;          // 76: array serial digits 1-2
    std::uint8_t reserved_77[11];       // 77-87
    std::uint8_t ucode_level_be[2];     // 88-89: microcode level (0x5874 and later)
    std::uint8_t reserved_90[2];        // 90-91
    std::uint8_t new_ucode_date[4];     // 92-95: month 93, day 94, year 95 (ANSI >= 4)
    std::uint8_t reserved_96[8];        // 96-103
    std::uint8_t host_word[4];          // 104-107: 32-bit word in host order; 0x400 RAD device
    std::uint8_t device_flags;          // 108: 0x01 WP, 0x02 CKD, 0x04 ext dirs, 0x08 BCV, 0x10 FC, 0x20 Ultra
    std::uint8_t device_flags_2;        // 109: 0x01 shared, 0x02 meta
    std::uint8_t reserved_110[4];       // 110-113
    std::uint8_t ckd_label[6];          // 114-119: CKD volume label, EBCDIC
    std::uint8_t rpx_flags_3;           // 120: replication flags, third choice
    std::uint8_t reserved_121;          // 121
    std::uint8_t director_bin;          // 122: director - 1
    std::uint8_t port_bin;              // 123
    std::uint8_t serial_bcd_2[5];       // 124-128: array serial digits 3-12
    std::uint8_t reserved_129;          // 129
    std::uint8_t protection;            // 130: 0x20 RAID-6, else 0x08 RAID-5, else RAID-S
    std::uint8_t reserved_131;          // 131
    char dev_num4[4];                   // 132-135: device number, 4 hex characters (0x5568 and later)
    std::uint8_t attach_flags;          // 136: 0x08 spoofed LUN, 0x20 iSCSI
    char dev_num5;                      // 137: fifth device-number character (0x5771 and later)
    std::uint8_t reserved_138[78];      // 138-215
};

static_assert(sizeof(KOR_INQ_PAGE0) == 216);
static_assert(offsetof(KOR_INQ_PAGE0, vendor) == 8);
static_assert(offsetof(KOR_INQ_PAGE0, product) == 16);
static_assert(offsetof(KOR_INQ_PAGE0, revision) == 32);
static_assert(offsetof(KOR_INQ_PAGE0, rpx_flags_1) == 44);
static_assert(offsetof(KOR_INQ_PAGE0, system_model) == 48);
static_assert(offsetof(KOR_INQ_PAGE0, old_ucode_date) == 64);
static_assert(offsetof(KOR_INQ_PAGE0, serial_bcd_1) == 76);
static_assert(offsetof(KOR_INQ_PAGE0, ucode_level_be) == 88);
static_assert(offsetof(KOR_INQ_PAGE0, new_ucode_date) == 92);
static_assert(offsetof(KOR_INQ_PAGE0, host_word) == 104);
static_assert(offsetof(KOR_INQ_PAGE0, device_flags) == 108);
static_assert(offsetof(KOR_INQ_PAGE0, ckd_label) == 114);
static_assert(offsetof(KOR_INQ_PAGE0, rpx_flags_3) == 120);
static_assert(offsetof(KOR_INQ_PAGE0, director_bin) == 122);
static_assert(offsetof(KOR_INQ_PAGE0, serial_bcd_2) == 124);
static_assert(offsetof(KOR_INQ_PAGE0, protection) == 130);
static_assert(offsetof(KOR_INQ_PAGE0, dev_num4) == 132);
static_assert(offsetof(KOR_INQ_PAGE0, attach_flags) == 136);
static_assert(offsetof(KOR_INQ_PAGE0, dev_num5) == 137);

inline constexpr std::size_t KOR_INQ_PAGE0_SIZE = sizeof(KOR_INQ_PAGE0);

// Byte 108 bits.
inline constexpr std::uint8_t KOR_FLAG_WRITE_PROTECTED = 0x01;
inline constexpr std::uint8_t KOR_FLAG_CKD = 0x02;
inline constexpr std::uint8_t KOR_FLAG_EXTENDED_DIRS = 0x04;
inline constexpr std::uint8_t KOR_FLAG_BCV = 0x08;
inline constexpr std::uint8_t KOR_FLAG_FIBRE = 0x10;
inline constexpr std::uint8_t KOR_FLAG_ULTRA_SCSI = 0x20;
// Byte 109 bits.
inline constexpr std::uint8_t KOR_FLAG2_SHARED = 0x01;
inline constexpr std::uint8_t KOR_FLAG2_META = 0x02;
// Byte 136 bits.
inline constexpr std::uint8_t KOR_ATTACH_SPOOFED_LUN = 0x08;
inline constexpr std::uint8_t KOR_ATTACH_ISCSI = 0x20;
