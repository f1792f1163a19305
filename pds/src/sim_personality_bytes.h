// The byte-building helpers every device personality shares (INQUIRY texts, VPD page frames, capacity and geometry, merging).
#pragma once

#include "sim_devices.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pds::sim::bytes {

// The simulator's own IEEE company id in the NAA identifiers it makes up ("SIM"; the local bit
// of its first octet is set, so it can belong to no real company).
inline constexpr std::uint32_t kSimCompanyId = 0x53494D;

void put_text(Bytes& b, std::size_t offset, std::string_view text);
// `text` blank-padded (or cut) to `width` characters.
void put_padded(Bytes& b, std::size_t offset, std::string_view text, std::size_t width);
// A VPD page: qualifier 0 and type 0, the code, the 16-bit length of `body`, then `body`.
Bytes vpd_page(std::uint8_t code, const Bytes& body);
// A designator header (code set, association and type, length) followed by the identifier.
void add_designator(Bytes& body, std::uint8_t code_set, std::uint8_t association_type, const Bytes& identifier);
// A standard INQUIRY page of `size` bytes (SPC-2, response format 2, command queuing) with its texts.
Bytes standard_inquiry(std::size_t size, std::string_view vendor, std::string_view product, std::string_view revision);
// READ CAPACITY (10) and (16) and mode pages 3 and 4 of a disk of `blocks` blocks.
void add_capacity(std::uint64_t blocks, std::uint32_t block_size, SimDevice& generated);
// What the device gives explicitly stays; the rest comes from the personality.
void merge(SimDevice generated, SimDevice& device);

}  // namespace pds::sim::bytes
