// Device open steps private to the library: the kind of a device name and the parts of an open.
#pragma once

#include <cstdint>

#include "sildopen.h"

// How a device name says the device is reached, tested in this order.
enum class T_SIL_NAME_KIND {
    service_processor,  // the name's first "KORVWIN" ends it
    socket,             // contains "=="
    special_user,       // begins with "USERDEF"
    os_device,          // anything else
};
T_SIL_NAME_KIND sil_name_kind(const char* name);

// The open behind openRawDevice and SIL_open_device: base daemon or local open, device lock,
// the open by name kind, and the results copied back into `open_info`.
std::int32_t open_raw_device_into(const char* name, std::uint32_t open_mode_flags, T_SIL_OPEN_INFO* open_info,
                                  std::uint64_t trace_ctx, const T_SIL_OPEN_OPEN_OPTIONS* options,
                                  T_SIL_DEVICE* device);
// Opens the record by the kind of its name and gathers what `options` asks for.
std::int32_t open_device_by_kind(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS* options);
// CreateFileA of the record's name for reading and writing (read only after a sharing violation).
// 0, -1 (os_errno set unless the device does not exist), -101.
std::int32_t open_os_device(T_SIL_DEVICE* device);
// Marks multipathing pseudo devices (mp_state = SIL_DEV_PARENT). 0 or -101.
std::int32_t get_ext_data(T_SIL_DEVICE* device);
