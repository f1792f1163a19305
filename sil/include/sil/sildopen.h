// Device open and close: the open options and raw-open records, the opens and the closes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sildevice.h"

// ---- status values of the open and close ---------------------------------------------------------
inline constexpr std::int32_t SIL_ERR_NOT_SAFE = -2;            // the device was marked not safe to use
inline constexpr std::int32_t SIL_ERR_CREATE_CLIENT = -5;       // service-processor client creation failed
inline constexpr std::int32_t SIL_ERR_RAD_BUFFER = -6;          // the RAD buffer could not be allocated
inline constexpr std::int32_t SIL_ERR_DEVICE_LOCK = -104;       // the host-wide device lock could not be taken
inline constexpr std::int32_t SIL_ERR_SP_NAME = -112;           // service-processor name without ':' or '='
inline constexpr std::int32_t SIL_ERR_DAEMON_OPEN = -561;       // the base daemon could not open the device
inline constexpr std::int32_t SIL_ERR_DAEMON_CONNECT = -576;    // no base daemon to connect to: open locally
inline constexpr std::int32_t SIL_ERR_VTRM_OFF = -1600;         // the message transport is switched off

// What a caller asks of an open. Also exchanged with the base daemon, so its 26-byte layout is
// fixed: packed to 2 so that the 32-bit fields keep their offsets without trailing padding.
#pragma pack(push, 2)
struct T_SIL_OPEN_OPEN_OPTIONS {
    std::uint32_t verbose;                   // handed to TxCDB as force_dump by SIL_Inquiry
    std::uint8_t skip_inquiry;               // 1: do not read INQUIRY
    std::uint8_t skip_readcap;               // 1: do not read the capacity
    std::uint8_t get_extdata;                // 1: mark multipathing pseudo devices
    std::uint8_t get_geometry;               // 1: read the geometry
    std::uint8_t dont_check_gk;
    std::uint8_t create_client;              // 1 or 2: create a service-processor client
    std::uint8_t reserved[2];
    std::uint32_t rad_buffer_size;
    std::uint32_t rad_access_mode;           // 1: a RAD buffer is allocated
    std::uint8_t read_vantrel;               // 1: read the NAS label signature
    std::uint8_t vexbased_flags;             // base-daemon flags; not read locally
    std::uint16_t get_dev_ident;             // identifier to build: 1 name, 2 nice, 3 HP, 4 VMS
    std::uint8_t use_backend_inquiry_data;
    std::uint8_t get_spoofed_inquiry_data;
};
#pragma pack(pop)

static_assert(sizeof(T_SIL_OPEN_OPEN_OPTIONS) == 26);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, verbose) == 0);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, skip_inquiry) == 4);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, skip_readcap) == 5);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, get_extdata) == 6);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, get_geometry) == 7);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, dont_check_gk) == 8);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, create_client) == 9);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, rad_buffer_size) == 12);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, rad_access_mode) == 16);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, read_vantrel) == 20);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, vexbased_flags) == 21);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, get_dev_ident) == 22);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, use_backend_inquiry_data) == 24);
static_assert(offsetof(T_SIL_OPEN_OPEN_OPTIONS, get_spoofed_inquiry_data) == 25);

// Bytes of inquiry data openRawDevice copies back when asked to (the 216-byte page and zeros).
inline constexpr std::size_t SIL_OPEN_INFO_INQUIRY_BYTES = 220;

// The raw-open parameter and result record, also exchanged with the base daemon: 264 bytes, x86-64.
struct T_SIL_OPEN_INFO {
    std::uint64_t max_lba;                   // out: num_blocks of an open with valid capacity
    std::uint8_t reserved_8[4];
    std::uint32_t block_size;                // out: with max_lba
    std::uint32_t debug_level;
    std::uint32_t exec_status;               // out: 0 with max_lba
    std::uint32_t perform_inquiry;           // in: 1 copies the inquiry data to inquiry_buffer
    std::uint32_t perform_read_capacity;
    unsigned char* inquiry_buffer;           // in: at least SIL_OPEN_INFO_INQUIRY_BYTES bytes; not marshalled
    std::int32_t open_return_code;
    std::uint32_t SIL_errno;                 // out: os_errno after a failed open
    std::uint32_t SIL_log_init_msg_f;
    char SIL_log_caller_str[72];
    std::uint32_t user_supplied_nexus_f;     // in: 1 = controller, target and lun are given
    std::uint32_t controller;
    std::uint32_t target;
    std::uint32_t lun;
    std::uint8_t skip_inquiry;
    std::uint8_t skip_readcap;
    std::uint8_t use_throttle_if_available;
    std::uint8_t perform_lock_operation;     // 1 hold the device lock for the device's life, 2 during the open
    std::uint8_t create_client;
    std::uint8_t reserved_145;
    std::uint16_t ucode_level;
    std::int32_t SIL_return_code;            // out: status of a failed open
    std::uint32_t function_type;
    std::uint32_t action_type;
    std::uint8_t vexbased_flags;             // in: copied into byte 21 of the open options
    std::uint8_t use_backend_inquiry_data;
    std::uint8_t get_spoofed_inquiry_data;
    std::uint8_t reserved_163[101];
};

static_assert(sizeof(T_SIL_OPEN_INFO) == 264);
static_assert(offsetof(T_SIL_OPEN_INFO, max_lba) == 0);
static_assert(offsetof(T_SIL_OPEN_INFO, block_size) == 12);
static_assert(offsetof(T_SIL_OPEN_INFO, debug_level) == 16);
static_assert(offsetof(T_SIL_OPEN_INFO, exec_status) == 20);
static_assert(offsetof(T_SIL_OPEN_INFO, perform_inquiry) == 24);
static_assert(offsetof(T_SIL_OPEN_INFO, perform_read_capacity) == 28);
static_assert(offsetof(T_SIL_OPEN_INFO, inquiry_buffer) == 32);
static_assert(offsetof(T_SIL_OPEN_INFO, open_return_code) == 40);
static_assert(offsetof(T_SIL_OPEN_INFO, SIL_errno) == 44);
static_assert(offsetof(T_SIL_OPEN_INFO, SIL_log_init_msg_f) == 48);
static_assert(offsetof(T_SIL_OPEN_INFO, SIL_log_caller_str) == 52);
static_assert(offsetof(T_SIL_OPEN_INFO, user_supplied_nexus_f) == 124);
static_assert(offsetof(T_SIL_OPEN_INFO, controller) == 128);
static_assert(offsetof(T_SIL_OPEN_INFO, target) == 132);
static_assert(offsetof(T_SIL_OPEN_INFO, lun) == 136);
static_assert(offsetof(T_SIL_OPEN_INFO, skip_inquiry) == 140);
static_assert(offsetof(T_SIL_OPEN_INFO, skip_readcap) == 141);
static_assert(offsetof(T_SIL_OPEN_INFO, use_throttle_if_available) == 142);
static_assert(offsetof(T_SIL_OPEN_INFO, perform_lock_operation) == 143);
static_assert(offsetof(T_SIL_OPEN_INFO, create_client) == 144);
static_assert(offsetof(T_SIL_OPEN_INFO, ucode_level) == 146);
static_assert(offsetof(T_SIL_OPEN_INFO, SIL_return_code) == 148);
static_assert(offsetof(T_SIL_OPEN_INFO, function_type) == 152);
static_assert(offsetof(T_SIL_OPEN_INFO, action_type) == 156);
static_assert(offsetof(T_SIL_OPEN_INFO, vexbased_flags) == 160);
static_assert(offsetof(T_SIL_OPEN_INFO, use_backend_inquiry_data) == 161);
static_assert(offsetof(T_SIL_OPEN_INFO, get_spoofed_inquiry_data) == 162);

// ---- entry points ---------------------------------------------------------------------------------

// Allocates a record, opens `name` into it and returns it, or nullptr when the open fails (the
// record is then freed). `open_mode_flags` is ignored; `open_info` may be null.
T_SIL_DEVICE* openRawDevice(const char* name, std::uint32_t open_mode_flags, T_SIL_OPEN_INFO* open_info,
                            std::uint64_t trace_ctx);
// Opens a record that already carries its name and trace context; options may be null.
// 0 on success, a negative status otherwise (the record stays with its owner).
std::int32_t SIL_open_device(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS* options);
// Closes the device; the record and what the open gathered stay. `reserved` is ignored.
std::int32_t SIL_close_device(T_SIL_DEVICE* device, std::uint32_t reserved);
// Removes the device's service-processor clients, closes it and frees the record.
std::int32_t SIL_closeAndFreeDevice(T_SIL_DEVICE* device);
// SIL_closeAndFreeDevice for records made by openRawDevice.
std::int32_t closeRawDevice(T_SIL_DEVICE* device);

