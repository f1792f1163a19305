// Records the vendor page decoders hang on a device, and the small records of the daemon and virtualisation paths.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sildevice.h"

// Allocation: every record here is created value-initialised with `new T{}` and released with
// `delete`; the tables inside them (peers, lun_name, ip_addresses) with `new T[n]{}` / `delete[]`.
// free_device_data releases all of them.

// A peer storage processor of a midrange array (page 0x85).
struct T_DRAVONIS_PEER {
    std::uint8_t address[16];  // an IPv4 address sits in the last four bytes
    std::uint8_t address_len;  // 4 when an IPv4 address is present
};

// The midrange array (Dravonis); the Olvessa record has the same layout.
struct T_DRAVONIS_DEVICE {
    std::uint8_t lun_wwn[16];
    std::uint16_t p83_word1;  // page 0x83 bytes 28-29
    std::uint16_t p83_word2;  // page 0x83 bytes 36-37
    std::uint8_t array_serial_len;
    char array_serial[17];
    std::uint32_t lun_state;  // 100, 101 or 102
    std::uint8_t default_owner;
    std::uint8_t sp;  // 0 SP A, else SP B
    std::uint8_t sp_port;
    std::uint8_t system_type;
    std::uint8_t sp_ip_address[16];  // IPv4 in the last four bytes
    std::uint8_t lun_operations;
    std::uint8_t ip_len;  // 4 with an IPv4 address, else 0
    std::uint8_t sp_valid;
    std::int32_t peer_count;
    T_DRAVONIS_PEER** peers;  // peer_count pointers, each to one peer record
};

inline constexpr std::uint32_t SIL_LUN_STATE_NOT_BOUND = 100;
inline constexpr std::uint32_t SIL_LUN_STATE_NOT_ASSIGNED = 101;
inline constexpr std::uint32_t SIL_LUN_STATE_ASSIGNED = 102;

struct T_STORWRKS_DEVICE {
    std::uint8_t wwn[16];  // page 0x83 bytes 8-23
    std::uint8_t wwn_len;  // page 0x83 byte 7
    std::uint8_t is_ccl;   // the product begins with "HSG80CCL"
    std::uint8_t node_id[8];  // INQUIRY bytes 130-137
    std::uint8_t serial_len;
    char serial[256];  // page 0x80
};
static_assert(sizeof(T_STORWRKS_DEVICE) == 283);

struct T_HDS_DEVICE {
    std::uint8_t wwn[20];  // page 0x83 from byte 8
    std::uint8_t wwn_len;  // page 0x83 byte 7
    std::uint8_t serial_len;
    std::uint8_t is_cmd_dev;  // the product contains "CM"
    char serial[17];
    char model_name[13];
    char model_number[5];
    std::uint8_t hds_extra[5];
};
static_assert(sizeof(T_HDS_DEVICE) == 63);

struct T_S80_DEVICE {
    char dev_chars[2];  // INQUIRY bytes 36-37
    char dir_chars[2];  // INQUIRY bytes 41-42
    char port_char;     // INQUIRY byte 43
    std::uint8_t serial_len;  // 6
    std::uint8_t serial[6];   // page 0x83 bytes 22-27
    std::uint8_t array_wwn[8];  // page 0x83 bytes 40-47
    char vendor_id[8];          // page 0x83 bytes 8-15
    std::uint8_t port_address[4];        // page 0x83 bytes 52-55
    std::uint8_t controller_address[4];  // page 0x83 bytes 60-63
};
static_assert(sizeof(T_S80_DEVICE) == 36);

struct T_IBM_SHARK_DEVICE {
    std::uint8_t wwn[32];  // page 0x83 from byte 8
    std::uint8_t wwn_len;  // page 0x83 byte 7
    std::uint8_t serial_len;  // 8
    char serial[9];  // INQUIRY bytes 99-101, page 0x83 bytes 35-39, NUL
};
static_assert(sizeof(T_IBM_SHARK_DEVICE) == 43);

struct T_COMPAQ_HSV_DEVICE {
    std::uint32_t wwn_len;  // page 0x83 byte 7
    std::uint8_t wwn[16];   // page 0x83 from byte 8
};
static_assert(sizeof(T_COMPAQ_HSV_DEVICE) == 20);

struct T_NETAPP_DEVICE {
    std::uint32_t wwn_len;  // 16
    std::uint8_t wwn[16];   // page 0x83 bytes 44-59
    std::uint32_t serial_len;  // 13
    char serial[13];  // page 0x83 bytes 48-59 and a NUL
};

inline constexpr std::size_t T_SIL_MAX_STORAGE_WWN_LEN = 64;

struct T_SIL_TP_STORAGE_DEVICE {
    std::uint32_t wwn_len;
    std::uint8_t wwn[T_SIL_MAX_STORAGE_WWN_LEN];
};
static_assert(sizeof(T_SIL_TP_STORAGE_DEVICE) == 68);

// The maker's NAS iSCSI LUN, from the vendor area of its standard INQUIRY data.
struct T_IVANTREL_DEVICE {
    std::uint32_t section_revision;  // byte 96
    std::uint32_t dm_slot_id;        // byte 97
    std::uint32_t dm_root_fs_id;     // bytes 100-103, big-endian
    std::uint32_t serial_len;        // byte 120
    char serial_num[32];             // from byte 124
    std::uint8_t lun_wwn[16];
    std::uint8_t lun_name_len;
    std::uint32_t ip_count;
    std::uint8_t (*ip_addresses)[16];  // ip_count entries
    char* lun_name;                    // NUL-terminated
};

// ---- records of the daemon and virtualisation paths (their layouts are this library's own) ----

// One virtual disk of a virtualisation host and the device behind it.
struct T_SIL_VIRTUAL_DEVICE_MAP {
    char virtual_name[SIL_DEVICE_NAME_LEN];
    char backing_name[SIL_DEVICE_NAME_LEN];
    std::uint32_t backing_array_type;  // 1 Korvalith, 2 Dravonis, 3 Olvessa
    std::uint8_t wwn[16];
};

// One path to a device as the base storage daemon reports it.
struct T_SIL_DEVICE_PATH_INFO {
    char path_name[SIL_DEVICE_NAME_LEN];
    std::uint16_t bus;
    std::uint16_t tid;
    std::uint16_t lun;
    std::uint8_t btl_valid;
    std::uint8_t state;
};

// The connection to the base storage daemon a device is reached through.
struct T_SIL_DAEMON_CONN {
    std::uint32_t conn_type;  // 101 to 103
    std::uint64_t session;
    char host[256];
    std::uint32_t port;
};
