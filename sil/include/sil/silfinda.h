// Adapter discovery: the HBA options record, the adapter and iSCSI records, their lists, builders and releases.
#pragma once

#include <cstdint>

#include "silfindd.h"

inline constexpr int SIL_HBA_TEXT_LEN = 257;
inline constexpr int SIL_HBA_WWN_TEXT_LEN = 17;
inline constexpr int SIL_HBA_MAX_PORTS = 8;
inline constexpr int SIL_HBA_FILE_LEN = 101;

// What SIL_CreateHBAList (and SIL_CreateISCSIList) are asked to do.
struct T_SIL_HBA_OPTIONS {
    std::uint8_t os_scan;                // OS scan allowed
    std::uint8_t snia_scan;              // SNIA scan allowed
    std::uint8_t user_supplied_list;     // not supported
    std::uint8_t scsi;                   // SCSI adapters wanted (-scsi)
    std::uint8_t fibre;                  // Fibre Channel adapters wanted (-fibre)
    std::uint8_t snia_only;              // -snia, and the target-mapping report
    std::uint8_t use_hba_file;           // -hba_file
    std::uint8_t create_hba_file;        // -create
    char hba_file[SIL_HBA_FILE_LEN];     // the external file's name
    std::uint8_t target_mapping;         // collect target mappings (-mapinfo)
    T_SIL_VM_CREDENTIALS vm_credentials; // credentials of a virtualisation host
};

struct T_SIL_HBA_TARGET_MAPPING_ENTRY {
    char os_device_name[260];
    std::uint32_t bus;
    std::uint32_t target;
    std::uint32_t lun;
    std::uint8_t luid[256];
    std::uint8_t target_port_wwn[8];
};

struct T_SIL_HBA_TARGET_MAPPING {
    std::uint32_t count;
    T_SIL_HBA_TARGET_MAPPING_ENTRY* entries;
};

struct T_SIL_HBA_PORT {
    char port_wwn[SIL_HBA_WWN_TEXT_LEN];
    char os_name[SIL_HBA_TEXT_LEN];
    std::uint32_t fcid;
    std::uint32_t speed;
    std::uint32_t supported_speed;
    std::uint32_t state;
    std::uint32_t type;
    std::uint32_t supported_cos;
    std::uint8_t supported_fc4_types[32];
    std::uint8_t active_fc4_types[32];
    std::uint32_t max_frame_size;
    T_SIL_HBA_TARGET_MAPPING* target_mapping;
    char node_wwn[SIL_HBA_WWN_TEXT_LEN];
};

struct T_SIL_HBA {
    char hba_name[SIL_HBA_TEXT_LEN];
    char vendor_name[SIL_HBA_TEXT_LEN];
    char model[SIL_HBA_TEXT_LEN];
    char firmware_version[SIL_HBA_TEXT_LEN];
    char driver_version[SIL_HBA_TEXT_LEN];
    char host_wwn[SIL_HBA_WWN_TEXT_LEN];
    char serial_number[SIL_HBA_TEXT_LEN];
    std::uint32_t hba_type;    // 0 unknown, 1 Fibre Channel, 2 SCSI
    std::uint32_t port_count;  // at most SIL_HBA_MAX_PORTS
    T_SIL_HBA_PORT* ports[SIL_HBA_MAX_PORTS];
    std::uint32_t vendor_code;
    std::uint32_t source;      // 1 SNIA scan, 2 OS scan
};

struct T_SIL_ISCSI {
    char initiator_name[256];
    char iscsi_version[21];
    char vendor_name[SIL_HBA_TEXT_LEN];
    char target_address[65];
};

// The lists handed back: record pointers in discovery order, owned by the list. The pointer array
// is allocated with new[] (at least one slot) and freed by the matching release.
struct T_SIL_HBA_LIST {
    T_SIL_HBA** hbas;
    std::int32_t count;
};

struct T_SIL_ISCSI_LIST {
    T_SIL_ISCSI** iscsis;
    std::int32_t count;
};

// options may be null (defaults). 0 with the list (possibly empty); -105 without a list.
std::int32_t SIL_CreateHBAList(T_SIL_HBA_LIST* list, const T_SIL_HBA_OPTIONS* options,
                               std::uint32_t verbose);
// -105 when the list has no array.
std::int32_t SIL_DestroyHBAList(T_SIL_HBA_LIST* list);
std::int32_t SIL_CreateISCSIList(T_SIL_ISCSI_LIST* list, const T_SIL_HBA_OPTIONS* options,
                                 std::uint32_t verbose);
std::int32_t SIL_DestroyISCSIList(T_SIL_ISCSI_LIST* list);

// Which adapter port and target port lead to a device: the query and, on success, the answer.
struct T_SIL_HBA_TARGET_LOOKUP {
    char device_name[81];
    std::uint8_t device_wwn[256];
    std::uint8_t device_wwn_len;
    std::uint32_t bus;
    std::uint32_t target;
    std::uint32_t lun;
    std::uint8_t hba_port_wwn[8];     // out
    std::uint8_t target_port_wwn[8];  // out
};

inline constexpr std::int32_t SIL_HBA_ERR_NO_MATCH = -1327;

// 0 with the lookup's output fields set; -112 for a query without name and WWN; -1327 when no
// (or more than one) mapping entry leads to the device.
std::int32_t SIL_LookupTargetMapping(const T_SIL_HBA_LIST* list, T_SIL_HBA_TARGET_LOOKUP* lookup);
