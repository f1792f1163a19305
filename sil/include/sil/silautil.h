// Replication discovery: the replication picture of the high-end arrays a device list reaches, its gatherer and its release.
#pragma once

#include <cstddef>
#include <cstdint>

#include "silfindd.h"

inline constexpr std::int32_t SIL_RPX_MAX_LOCAL_ARRAYS = 200;
inline constexpr std::uint32_t SIL_RPX_MAX_GROUPS = 256;
inline constexpr std::uint32_t SIL_RPX_SPARE_DEVICES = 10;  // room beyond the RPX-enabled devices counted
inline constexpr std::size_t SIL_RPX_ACCESS_ID_LEN = 12;
inline constexpr std::int32_t SIL_RPX_ERR_NO_MEMORY = -101;

// Mirror types of a replication device's mirror slot.
inline constexpr std::uint8_t SIL_RPX_MIRROR_NONE = 0;
inline constexpr std::uint8_t SIL_RPX_MIRROR_RPX1 = 1;
inline constexpr std::uint8_t SIL_RPX_MIRROR_RPX2 = 2;

// One remote array a local array replicates to.
struct T_SIL_RPX_REMOTE_ARRAY {
    char remote_korid[13];       // 12 characters from the array table, then NUL
    std::uint32_t remote_id;     // its index in the array table: the number groups name it by
    std::uint16_t microcode_version;  // shown in decimal
    std::uint32_t rpx_group_count;    // at most SIL_RPX_MAX_GROUPS
    std::uint8_t rpx_groups[SIL_RPX_MAX_GROUPS];  // the groups leading to this array
};

// One mirror of a replication device: mirrors 1 to 4 sit in slots 0 to 3.
struct T_SIL_RPX_MIRROR {
    std::uint32_t r_dev;   // remote device number
    std::uint8_t type;     // SIL_RPX_MIRROR_*; 0 = no mirror in this slot
    std::uint8_t group;    // replication group number
};
static_assert(sizeof(T_SIL_RPX_MIRROR) == 8);

// One RPX-enabled device of a local array that the host sees (once, however many paths reach it).
struct T_SIL_RPX_DEVICE {
    std::uint32_t dev;  // device number inside the array (korv_dev_num)
    T_SIL_RPX_MIRROR mirrors[4];
};

// One local array. Zero-filled until discovery fills it; an array no gatekeeper could answer for
// keeps an empty gatekeeper and zero microcode fields.
struct T_SIL_RPX_LOCAL_ARRAY {
    char korid[13];                    // array serial: 12 characters and NUL
    std::uint16_t microcode_version;   // the gatekeeper's ucode_level (shown in hexadecimal, 5773)
    std::uint32_t microcode_date;      // byte 0 day, byte 1 month, bytes 2-3 year, as hex digits
    char gatekeeper[80];               // device the system calls went through
    std::uint32_t mapped_device_count;      // this array's devices in the device list
    std::uint32_t mapped_rpx_device_count;  // how many of them are RPX-enabled
    std::uint32_t remote_array_count;
    T_SIL_RPX_REMOTE_ARRAY* remote_arrays;  // new T_SIL_RPX_REMOTE_ARRAY[n]{}
    std::uint32_t rpx_device_count;
    T_SIL_RPX_DEVICE* rpx_devices;  // new T_SIL_RPX_DEVICE[mapped_rpx_device_count + 10]{}
    std::uint8_t access_id_bytes[SIL_RPX_ACCESS_ID_LEN];  // the host's access identity
};

// The whole picture: one entry per local array. Allocated by SIL_GetRpxInfo (new ...{}),
// released by SIL_FreeRpxInfo.
struct T_SIL_RPX_INFO {
    std::int32_t count;
    T_SIL_RPX_LOCAL_ARRAY* entries;  // new T_SIL_RPX_LOCAL_ARRAY[count]{}
};

// Gathers the picture of the high-end arrays the list reaches; the list is left sorted by array
// serial. 0 with *info set; -101 when memory runs out (what was built stays in *info, to be
// freed); -1 on an inconsistent count.
std::int32_t SIL_GetRpxInfo(T_SIL_DEVICE_LIST* list, T_SIL_RPX_INFO** info);
// Frees *info and empties the pointer first. 0; -1 without an address; -2 when already empty.
std::int32_t SIL_FreeRpxInfo(T_SIL_RPX_INFO** info);
