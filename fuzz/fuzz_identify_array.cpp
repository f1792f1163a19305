// Fuzz target: arbitrary INQUIRY bytes through identify_array, as the raw block and as a kept 216-byte record.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sildevice.h"
#include "silinqut.h"
#include "silkorinq.h"

namespace {

// The library is never started here, so the one command identification may send (the high-end
// array's page 0x83) is refused by the transport before it reaches any device.
T_SIL_DEVICE* device_from(std::span<const std::uint8_t> block, std::uint8_t control) {
    auto* device = new T_SIL_DEVICE{};
    device->inquiry = 1;
    device->inquiry_data = new KOR_INQ_PAGE0{};
    std::memcpy(device->inquiry_data, block.data(), KOR_INQ_PAGE0_SIZE);
    device->backing_array_type = control & 0x03;
    device->is_vm_disk = (control >> 2) & 0x01;
    return device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Bytes past the block steer the record's virtualisation fields.
    std::vector<std::uint8_t> block(SIL_INQUIRY_BLOCK_SIZE, 0);
    std::copy_n(data, std::min(size, block.size()), block.begin());
    const std::uint8_t control = size > block.size() ? data[block.size()] : 0;

    T_SIL_DEVICE* device = device_from(block, control);
    identify_array_block(device, block);
    free_device(device);

    device = device_from(block, control);
    identify_array(device);
    free_device(device);
    return 0;
}
