// Device open and close: the open options record and SIL_open_device / SIL_close_device.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sildevice.h"

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

// Opens a record that already carries its name and trace context; options may be null.
// 0 on success, a negative status otherwise (the record stays with its owner).
std::int32_t SIL_open_device(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS* options);
// Closes the device; the record and what the open gathered stay. `reserved` is ignored.
std::int32_t SIL_close_device(T_SIL_DEVICE* device, std::uint32_t reserved);
