// The discovery's device check, shared with the open: SCSI address and the vendor test of a freshly opened disk.
#pragma once

#include <cstdint>

#include "sildevice.h"

// With the device's handle in `fid`: stores `trace_ctx`, takes the SCSI address, reads the
// vendor, product and revision texts and decides whether the device may be opened. 0 usable;
// -1 skipped (`skip` set: a MYLEX drive, or a device of another make on an older host, which
// then gets a small inquiry record of its texts); -101 out of memory.
std::int32_t check_for_valid_WIN32_device(T_SIL_DEVICE* device, std::uint64_t trace_ctx);
