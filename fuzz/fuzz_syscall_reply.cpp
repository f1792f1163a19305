// Fuzz target: arbitrary bytes as a format-6 reply through the reply check and placement, both variants, on either kind of device.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include <pds/byteorder.h>

#include "silsyscall.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // Byte 0: bit 0 service-processor device (reply at offset 0), bit 1 the extended-buffer
    // variant, bit 2 make both CRCs right so the mutations reach the placement, bits 3-7 the
    // call (0x0181, 0x815A, 0x015E, 0x9261, 0x9263, 0x0157 and others). Byte 1: the subcommand.
    // The rest is the received bytes, copied to a buffer of their own size.
    const std::uint8_t control = data[0];
    std::vector<std::uint8_t> received(data + 2, data + size);
    T_SIL_DEVICE dev{};
    if (control & 0x01) dev.access_method = SIL_ACCESS_KORVWIN;
    sil_syscall_parms parms{};
    static constexpr std::uint16_t kCalls[] = {0x0181, 0x815A, 0x015E, 0x9261, 0x9263, 0x0157, 0x017F, 0x9250};
    parms.syscall_id = kCalls[(control >> 3) % 8];
    parms.sys_f6_sub_command = data[1];
    parms.timeout = control >> 3;
    parms.ignore_requested_sleep_f = control >> 7;
    std::uint32_t request_crc = 0;
    const std::size_t offset = format6_ReplyOffset(&dev);
    if ((control & 0x04) && received.size() >= offset + 24) {
        std::span<std::uint8_t> header(received.data() + offset, received.size() - offset);
        const std::size_t end = std::min<std::size_t>(header.size(), 8 + pds::load_be16(header.subspan(6)));
        if (end >= 16) pds::store_be32(header.subspan(12), format6_Crc(header.subspan(16, end - 16)));
        request_crc = pds::load_be32(header.subspan(8));
    }
    auto results = std::make_unique<sil_syscall_results>();
    std::vector<std::uint8_t> ext(64);
    results->ext_data_buffer = ext.data();
    results->ext_data_buffer_size = static_cast<std::uint32_t>(ext.size());
    format6_next_pass next{};
    for (int pass = 0; pass < 2; ++pass) {
        const std::int32_t status = (control & 0x02)
            ? format6_PostProcessExtData(&dev, &parms, received, results.get(), request_crc, &next)
            : format6_PostProcess(&dev, &parms, received, results.get(), request_crc, &next);
        if (status != SYSC_POLL_AGAIN) break;
        if (next.continuation_length > results->data_length) std::abort();  // continuation beyond the data placed
    }
    return 0;
}
