// Device open and close: SIL_open_device and SIL_close_device.
#include "sildopen.h"

#include "sildebug.h"
#include "silinitl.h"

// Temporary: no device can be reached yet, so every open fails as for a missing device; filled in
// when discovery and open arrive.
std::int32_t SIL_open_device(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS* options) {
    SIL_FUNCTION("SIL_open_device");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    device->isOpen = 0;
    device->fid = 0;
    device->os_errno = 2;
    SIL_RETURN(SIL_ERR_FAILED);
}

// Temporary: nothing is ever open yet; filled in when discovery and open arrive.
std::int32_t SIL_close_device(T_SIL_DEVICE* device, std::uint32_t reserved) {
    SIL_FUNCTION("SIL_close_device");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    device->isOpen = 0;
    SIL_RETURN(SIL_OK);
}
