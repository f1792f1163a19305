// The system-call engine: dispatch of one array system call, the format-6 poll loop, its transport retries, chain codes and device lock.
#pragma once

#include <cstdint>

#include "silsyscall.h"
#include "siltxcdb.h"

// Devices whose system-call transport this build does not carry: IP-socket devices, and
// service-processor devices without use_inlines_method_f (their own software or the message
// transport). The same status TxCDB gives such devices.
inline constexpr std::int32_t SYSC_ERR_NO_TRANSPORT = -104;
// A user device with no registered user function.
inline constexpr std::int32_t SYSC_ERR_NO_USER_FUNCTION = -1;
inline constexpr std::int32_t SYSC_ERR_DEVICE_LOCK = -1;
inline constexpr std::int32_t SYSC_ERR_RETRY_BUFFER = -101;

// Transport retry policy bits: bit 0 retries both directions, bit 1 the outgoing one only.
inline constexpr std::uint32_t SYSC_RETRY_ANY = 1;
inline constexpr std::uint32_t SYSC_RETRY_OUT = 2;

// The next chain code from the host-wide counter (1..16383), shared by every process of the host.
std::uint16_t korvGetChainCode();

// One command through TxCDB, resent while the transport advises a retry and the budget (10 when
// SIL_SYSCALL_RETRY is set, else none) lasts. `retries` (optional) counts the resends,
// `received` (optional) gets the bytes the last attempt moved. 0 or the transport's status.
std::int32_t call_TxCDB_withRetry(const T_SIL_COMMAND& command, T_SIL_DEVICE* dev, std::uint32_t policy,
                                  std::uint32_t* retries, std::uint32_t* received = nullptr);

// The host-wide per-device lock around one exchange (none with disable_host_dev_lock_f).
std::int32_t format6_DeviceLock(T_SIL_DEVICE* dev, const sil_syscall_parms* parms);
void format6_DeviceUnLock(T_SIL_DEVICE* dev, const sil_syscall_parms* parms);

// The format-6 exchange over SCSI with polling; 0 or a negative status.
std::int32_t korvOsSysCall_format6(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results);
// Sets the 64 KB reply flag from the microcode level and dispatches by the device's access method.
std::int32_t korvSysCall(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results, std::uint32_t verbose);
// Routes one call: base-daemon devices get SIL_ERR_DAEMON_NOT_AVAILABLE (no daemon client in
// this build), every other device goes to korvSysCall.
std::int32_t do_simple_syscall(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results,
                               std::uint32_t verbose);
