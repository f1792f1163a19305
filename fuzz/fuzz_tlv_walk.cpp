// Fuzz target: the midrange array's name reply (tag/length/value items) walked on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "silbscsi.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first 16 bytes are the LUN WWN searched for, the rest is the reply.
    constexpr std::size_t kWwn = 16;
    if (size < kWwn) return 0;
    const std::span<const std::uint8_t> wwn(data, kWwn);
    const std::span<const std::uint8_t> reply(data + kWwn, size - kWwn);

    std::string name;
    if (drav_nice_name_walk(reply, wwn, name) == 0 && name.size() > 64) __builtin_trap();
    drav_reply_header(reply);
    for (std::size_t offset = 0; offset <= reply.size(); ++offset) {
        if (const auto item = parse_tlv_header(reply, offset); item && item->value_offset > reply.size()) __builtin_trap();
    }
    return 0;
}
