// Test support: builds INQUIRY replies byte range by byte range, in code or from tests/data/*.hex fixtures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// A zero-filled byte image (an INQUIRY reply, a VPD page, ...) filled in by ranges.
class ByteImage {
public:
    explicit ByteImage(std::size_t size) : bytes_(size, 0) {}

    // Characters of `text` from `offset` (no terminator written).
    ByteImage& text(std::size_t offset, std::string_view text);
    // `text` blank-padded to `width` characters from `offset`.
    ByteImage& padded(std::size_t offset, std::string_view text, std::size_t width);
    ByteImage& bytes(std::size_t offset, std::initializer_list<std::uint8_t> values);
    ByteImage& byte(std::size_t offset, std::uint8_t value) { return bytes(offset, {value}); }

    std::vector<std::uint8_t>& data() { return bytes_; }
    const std::vector<std::uint8_t>& data() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }

    // Copies a fixture file over the image from byte 0: hex bytes in pairs separated by white
    // space, "#" starting a comment to the end of the line (the simulated host's notation). Throws
    // std::runtime_error naming the file on a malformed byte or one past the image.
    ByteImage& apply_fixture(const std::string& path);

private:
    void check(std::size_t offset, std::size_t length) const;
    std::vector<std::uint8_t> bytes_;
};

// A standard INQUIRY image of `size` bytes (the library's 2264-byte block by default) with the
// vendor (8) and product (16) blank-padded.
ByteImage inquiry_image(std::string_view vendor, std::string_view product, std::size_t size = 2264);

// Full path of a file in tests/data.
std::string test_data_path(const std::string& name);

}  // namespace testsupport
