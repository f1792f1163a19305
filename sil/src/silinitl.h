// Library start and stop, the parts private to the library: the guard, the chain-code counter and the device locks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <pds/platform.h>

#include "sil/sillib.h"

// Handle slot value meaning "no handle".
inline constexpr std::uint64_t SIL_INVALID_HANDLE = ~std::uint64_t{0};

// The guard of device operations: traces the "please initialize" pair and returns -102 when the
// library is not started, 0 otherwise.
std::int32_t sil_require_init();
// The host-wide chain-code counter (4 bytes of named shared memory shared by every process of the
// host), or nullptr while it is not set up. Update it only while holding the named mutex
// "KorvSharedMemory", or with atomic operations.
std::uint32_t* sil_chain_code_counter();
// Empties the process's table of host-wide device locks (SIL_init does this).
void sil_device_locks_reset();

// The longest wait for a host-wide lock (the chain-code counter's, a device's): a holder that
// hangs must not hang every other lunscan of the host for good.
inline constexpr int kHostLockWaitMs = 120000;
// Takes the host-wide mutex `name`, waiting kHostLockWaitMs at most. On time-out it says on
// standard error and in the trace which lock it gave up on and returns kErrorSemTimeout.
pds::os_error sil_lock_host_wide(pds::NamedMutex& mutex, const std::string& name);

// The disk opens of one device list (the scan's and the gather's), so that a run refused every
// one of them, as a user without administrator rights is, can say so once.
void sil_disk_opens_reset();
void sil_disk_open_noted(pds::os_error error);
// At least one disk open was tried, and every one was refused with access denied.
bool sil_every_disk_open_denied();
