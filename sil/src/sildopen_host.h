// Host-wide pieces the open relies on: the per-device lock and the base-daemon usage setting.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "sildevice.h"

// ---- host-wide device lock ------------------------------------------------------------------------
// A named mutex per device name shared by every process of the host. The record keeps its handle
// in `dev_mutex` from the first lock until the close (or sil_close_device_mutex) releases it.

// Lock kinds callers name: around one array system-call exchange, around a replication discovery.
inline constexpr std::uint32_t SIL_DEVICE_LOCK_SYSCALL = 4;
inline constexpr std::uint32_t SIL_DEVICE_LOCK_DISCOVERY = 256;
inline constexpr std::uint32_t SIL_DEVICE_LOCK_OPEN = 1;

// Takes the device's lock, waiting without time limit. 0, or the operating-system error.
std::int32_t korvAquireDeviceLockX(T_SIL_DEVICE* device, std::uint32_t kind);
// Gives the lock back (the handle stays in the record). 0, or the operating-system error.
std::int32_t korvReleaseDeviceLockX(T_SIL_DEVICE* device, std::uint32_t kind);
// Closes the record's lock handle, giving up whatever it still holds. True when there was one.
bool sil_close_device_mutex(T_SIL_DEVICE* device);
// The lock's part of a device close: the holds of the open and of the exchanges go back. While a
// discovery holds the lock around the open and the close, the handle stays with that hold alone,
// and the discovery's release ends it. True when the handle was closed.
bool sil_close_device_mutex_at_close(T_SIL_DEVICE* device);
// The host-wide name of a device's lock: letters and digits kept, any other byte as "_XX" (hex),
// so that distinct device names never share a lock and the name is valid on every host.
std::string sil_device_lock_name(const char* device_name);

// ---- base daemon ----------------------------------------------------------------------------------
// The usage setting: mode word, flags word, a reserved word and the "open through the daemon" word.
using T_SIL_DAEMON_SETTING = std::array<std::uint32_t, 4>;

// The setting of this process, read once. No base daemon runs beside this build: all words 0.
const T_SIL_DAEMON_SETTING& sil_base_daemon_setting();
// Whether the daemon is used: mode 1 with flag 0x2 (and, for opens, the fourth word 1), or mode 2
// with flag 0x4.
bool sil_base_daemon_used(const T_SIL_DAEMON_SETTING& setting, bool for_open);
// Connecting to the daemon. Without one the answer is SIL_ERR_DAEMON_CONNECT, so opens go local.
std::int32_t sil_base_daemon_connect(T_SIL_DEVICE* device);
// Closing (and, with `and_free`, freeing) a device on the daemon's side; releases the record's
// connection information and returns the daemon's status.
std::int32_t sil_base_daemon_close(T_SIL_DEVICE* device, bool and_free);
