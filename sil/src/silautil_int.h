// Replication discovery inside the library: its stages, the three array calls it makes and the host's access identity.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "silautil.h"
#include "silsyscall.h"

inline constexpr std::uint16_t SYSCALL_RPX_TABLE = 0x0181;
inline constexpr std::uint16_t SYSCALL_RPX_STATE = 0x0116;
inline constexpr std::uint16_t SYSCALL_RPX_STATE_9250 = 0x9250;
inline constexpr std::uint16_t RPX_TABLE_REMOTE_ARRAYS = 1;
inline constexpr std::uint16_t RPX_TABLE_GROUPS = 2;
// From this microcode level on the device states come from call 0x9250.
inline constexpr std::uint32_t RPX_STATE_9250_UCODE = 0x5874;

// The 12-byte access identity of `identifier`: FNV-1a 64 of "lunscan access id:" + identifier,
// big-endian, then FNV-1a 32 of the same text, big-endian.
void sil_access_id_of(std::string_view identifier, std::span<std::uint8_t, SIL_RPX_ACCESS_ID_LEN> out);
// The host's: from its machine identifier, or its node name when it has none.
void sil_host_access_id(std::span<std::uint8_t, SIL_RPX_ACCESS_ID_LEN> out);

// Sorts the list (serial, BCV first, capacity descending) and counts its distinct arrays; at least 1.
std::int32_t count_local_arrays(T_SIL_DEVICE_LIST* list);
// Allocates *info and the entries, counts each array's devices and lists its RPX-enabled ones.
// 0, or -101 with what was built left in *info.
std::int32_t build_rpx_info(T_SIL_DEVICE_LIST* list, T_SIL_RPX_INFO** info);
// Asks each array through a gatekeeper of its own. Always 0: a failure stays with its array.
std::int32_t collect_rpx_info(T_SIL_DEVICE_LIST* list, T_SIL_RPX_INFO* info);

// Fills one array's entry through the open device `gk`; *done tells whether it was filled.
// 0, -32 when the array blocks the call, or the failing call's status.
std::int32_t SIL_GetRpxInfoOneKorv(T_SIL_DEVICE* gk, T_SIL_RPX_LOCAL_ARRAY* entry, bool* done);
std::int32_t read_remote_arrays(T_SIL_DEVICE* gk, T_SIL_RPX_LOCAL_ARRAY* entry);
std::int32_t read_rpx_groups(T_SIL_DEVICE* gk, T_SIL_RPX_LOCAL_ARRAY* entry);
std::int32_t read_device_states(T_SIL_DEVICE* gk, T_SIL_RPX_LOCAL_ARRAY* entry);

// The three calls. Each fills the call's own fields of `parms`, leaves the rest as given and
// converts the big-endian numbers of the records received to host order in place, also when the
// answer was cut short (-8). -12 when an argument is absent.
std::int32_t PSCsysrpxtb(T_SIL_DEVICE* dev, sil_syscall_parms* parms, std::uint16_t table, sil_syscall_results* results);
std::int32_t PSCrdrpxstt(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results);
std::int32_t PSCrpxstatetbl_9250_01(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results);

// The whole records of an answer that lie inside the bytes received (data area, or the extended
// buffer with use_ext_data_buff_f).
struct rpx_records {
    std::uint8_t* base = nullptr;
    std::uint32_t count = 0;
    std::uint32_t size = 0;
    std::uint8_t* at(std::uint32_t i) const { return base + static_cast<std::size_t>(i) * size; }
};
rpx_records rpx_answer_records(const sil_syscall_parms* parms, sil_syscall_results* results);
