// Fuzz target: arbitrary standard INQUIRY bytes through FormatStandardPage00 in every layout, the page exactly as long as the input.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sildevice.h"
#include "silfmtpg0.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // Byte 0 picks the family (bits 0-2), the virtual flag (bit 3) and the back-end type (bits 4-5);
    // the rest is the page, copied to a buffer of its own size so that any read past it is caught.
    const std::uint8_t control = data[0];
    const std::vector<std::uint8_t> page(data + 1, data + size);
    T_SIL_DEVICE device{};
    switch (control & 0x07) {
    case 1: device.is_drav = 1; break;
    case 2: device.is_olvessa = 1; break;
    case 3: device.is_XMV_device = 1; break;
    case 4: device.is_hds = 1; break;
    case 5: device.is_shark = 1; break;
    default: break;  // the generic layout
    }
    device.is_virtual = (control >> 3) & 0x01;
    device.backing_array_type = (control >> 4) & 0x03;
    FormatStandardPage00(std::span<const std::uint8_t>(page), &device, nullptr, nullptr, device.is_virtual);
    FormatStandardPage00(std::span<const std::uint8_t>(page), nullptr, nullptr, nullptr, 0);
    return 0;
}
