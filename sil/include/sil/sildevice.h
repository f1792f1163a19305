// The per-device record T_SIL_DEVICE, its relation codes and the records it owns by pointer.
#pragma once

#include <cstddef>
#include <cstdint>

// Relation state codes of native_state / mp_state / veritas_state.
inline constexpr std::uint16_t SIL_DEV_PARENT = 1;
inline constexpr std::uint16_t SIL_DEV_CHILD = 2;
inline constexpr std::uint16_t SIL_DEV_SIBLING = 4;
inline constexpr std::uint16_t SIL_DEV_ORPHAN = 8;

// Length of a device name field: 80 characters and the NUL.
inline constexpr int SIL_DEVICE_NAME_LEN = 81;

// io_ok_flags bits.
inline constexpr std::uint8_t SIL_IO_OK_ANY = 0x01;
inline constexpr std::uint8_t SIL_IO_OK_BUFFER = 0x02;
inline constexpr std::uint8_t SIL_IO_OK_READCAP = 0x04;
inline constexpr std::uint8_t SIL_IO_OK_INQUIRY = 0x08;
inline constexpr std::uint8_t SIL_IO_VIA_MP_PASSTHRU = 0x10;

// btl_valid bits.
inline constexpr std::uint8_t SIL_BTL_BUS = 0x01;
inline constexpr std::uint8_t SIL_BTL_TID = 0x02;
inline constexpr std::uint8_t SIL_BTL_LUN = 0x04;
inline constexpr std::uint8_t SIL_BTL_X = 0x08;

// access_method values.
inline constexpr std::uint32_t SIL_ACCESS_OS = 0;
inline constexpr std::uint32_t SIL_ACCESS_SOCKET = 3;
inline constexpr std::uint32_t SIL_ACCESS_KORVWIN = 4;
inline constexpr std::uint32_t SIL_ACCESS_SPECIAL_USER = 5;

// Records hung on a device by pointer. Their layouts belong to the decoders that fill them.
struct KOR_INQ_PAGE0;
struct T_DRAVONIS_DEVICE;
struct T_STORWRKS_DEVICE;
struct T_HDS_DEVICE;
struct T_S80_DEVICE;
struct T_IBM_SHARK_DEVICE;
struct T_IVANTREL_DEVICE;
struct T_COMPAQ_HSV_DEVICE;
struct T_NETAPP_DEVICE;
struct T_SIL_TP_STORAGE_DEVICE;
struct T_SIL_BACKING_DEVICE;
struct T_SIL_VIRTUAL_DEVICE_MAP;
struct T_SIL_DEVICE_PATH_INFO;
struct T_SIL_DAEMON_CONN;

// A virtual disk's backing device: a copy of its standard INQUIRY data and its serial text.
struct T_SIL_BACKING_DEVICE {
    unsigned char inquiry_data[96];
    char serial[9];
};

// One device. Created zero-filled (value-initialised: T_SIL_DEVICE dev{}), owned by its list.
// Handles are operating-system handles carried as 64-bit values; 0 means none.
struct T_SIL_DEVICE {
    std::uint64_t fid;
    std::uint8_t isOpen;
    std::uint32_t os_errno;
    std::uint8_t use_throttle_if_available;
    std::uint32_t access_method;
    std::uint8_t open_failed;
    std::uint8_t skip;
    std::uint8_t mp_passthru_failed;
    std::uint8_t io_ok_flags;
    std::uint32_t cap_state;
    std::uint8_t read_capacity_data[12];
    std::uint32_t cap;
    std::uint64_t num_blocks;
    std::uint32_t block_size;
    std::uint32_t inquiry;
    std::uint16_t native_state;
    std::uint16_t mp_state;
    std::uint16_t veritas_state;
    std::uint8_t btl_valid;
    std::uint16_t bus;
    std::uint16_t tid;
    std::uint16_t lun;
    std::uint8_t is_XMV_device;
    std::uint32_t ucode_level;
    std::uint32_t korv_dev_num;
    std::uint16_t director;
    std::uint16_t port;
    std::uint8_t extended_dirs;
    std::uint32_t ucode_date;
    char korid[13];
    char dev_serial[10];
    std::uint16_t korv_model;
    std::uint32_t client_id;
    std::uint32_t sp_revision;
    std::uint32_t create_client;
    std::uint32_t sp_port;
    std::uint64_t dev_mutex;
    std::uint8_t read_only;
    std::uint8_t is_cluster_disk;
    std::uint8_t sp_resource_locked;
    std::uint8_t has_vantrel_label;
    std::uint8_t is_drav;
    std::uint8_t is_storwrks;
    std::uint8_t is_hds;
    std::uint8_t is_s80;
    std::uint8_t is_hsv;
    std::uint8_t is_virtual;
    std::uint32_t backing_array_type;
    std::int32_t major;
    std::int32_t minor;
    std::uint8_t sp_conn_registered;
    std::uint8_t ext_read_cap_ok;
    std::uint8_t wwn[16];
    std::uint32_t cylinders;
    std::uint32_t heads;
    std::uint32_t sectors_per_track;
    std::uint8_t vtrm_client;
    std::uint32_t conn_type;
    std::uint8_t is_olvessa;
    std::uint8_t mp_relation_code;
    std::uint8_t veritas_relation_code;
    std::uint8_t is_shark;
    std::uint8_t is_ivantrel;
    char win_vol[8];
    std::uint32_t win_vol_cap;
    // The adapter's descriptor, asked once before the record's first pass-through: its
    // AlignmentMask, MaximumTransferLength (bytes) and MaximumPhysicalPages; 0 where it said none.
    std::uint8_t adapter_queried;
    std::uint32_t adapter_alignment_mask;
    std::uint32_t adapter_max_transfer;
    std::uint32_t adapter_max_pages;
    std::uint32_t vdev_map_count;
    std::uint8_t is_netapp;
    std::uint8_t is_vm_disk;
    std::uint8_t vm_mapped;
    std::uint32_t path_info_count;
    char name[SIL_DEVICE_NAME_LEN];
    char native_relation[SIL_DEVICE_NAME_LEN];
    char mp_relation[SIL_DEVICE_NAME_LEN];
    char veritas_relation[SIL_DEVICE_NAME_LEN];
    std::uint32_t rad_device;
    std::uint32_t rad_window;
    std::uint32_t rad_buffer_size;
    std::uint32_t rad_start_block;
    std::uint32_t rad_access_mode;
    unsigned char* rad_buffer;
    unsigned char vantrel_label[320];
    KOR_INQ_PAGE0* inquiry_data;
    T_DRAVONIS_DEVICE* drav_device;
    T_STORWRKS_DEVICE* storwrks_device;
    T_HDS_DEVICE* hds_device;
    T_S80_DEVICE* s80_device;
    std::uint64_t trace_ctx;
    T_SIL_DAEMON_CONN* daemon_conn;
    std::uint64_t caller_ctx;
    T_DRAVONIS_DEVICE* olvessa_device;
    T_IBM_SHARK_DEVICE* shark_device;
    T_IVANTREL_DEVICE* ivantrel_device;
    T_COMPAQ_HSV_DEVICE* hsv_device;
    T_NETAPP_DEVICE* netapp_device;
    T_SIL_BACKING_DEVICE* backing_device;
    T_SIL_TP_STORAGE_DEVICE* tp_storage_device;
    char* device_identifier;
    T_SIL_VIRTUAL_DEVICE_MAP* virtual_device_map;
    T_SIL_DEVICE_PATH_INFO* path_info;
};

// Ownership. A record owns what its pointers point to, allocated as follows and released by
// free_device_data:
//   inquiry_data           new KOR_INQ_PAGE0{}
//   vendor records, backing_device, tp_storage_device, daemon_conn's record types
//                          new T{} (layouts in silvendor.h)
//   path_info, virtual_device_map
//                          new T[count]{} with path_info_count / vdev_map_count entries
//   device_identifier      new char[n]{}
// rad_buffer belongs to the open device and is released by the close; daemon_conn by the daemon
// path that set it.

// Releases everything a record owns (inquiry data, every vendor record, the backing-device record,
// the path information, the identifier text, the virtual-device map, tp_storage_device). Owned
// pointers become null, their counts 0, and `inquiry` 1 becomes 0 (no data left); the record's
// other fields stay. Safe on a record that owns nothing.
void free_device_data(T_SIL_DEVICE* dev);
// free_device_data, then clears and frees the record itself (allocated with new T_SIL_DEVICE{}).
void free_device(T_SIL_DEVICE* dev);

// Copies a C string into a fixed-size field: at most size-1 bytes and always a terminating NUL.
// Returns false when the text had to be cut.
bool sil_copy_text(char* field, std::size_t size, const char* text);
template <std::size_t N>
inline bool sil_copy_text(char (&field)[N], const char* text) {
    return sil_copy_text(field, N, text);
}
