// Test support: the INQUIRY image builder and its fixture-file reader.
#include "inquiry_image.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef LUNSCAN_SOURCE_DIR
#error "LUNSCAN_SOURCE_DIR must name the source tree"
#endif

namespace testsupport {

void ByteImage::check(std::size_t offset, std::size_t length) const {
    if (offset > bytes_.size() || length > bytes_.size() - offset) {
        throw std::out_of_range("byte range " + std::to_string(offset) + "+" + std::to_string(length) +
                                " past the image of " + std::to_string(bytes_.size()) + " bytes");
    }
}

ByteImage& ByteImage::text(std::size_t offset, std::string_view text) {
    check(offset, text.size());
    std::copy(text.begin(), text.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    return *this;
}

ByteImage& ByteImage::padded(std::size_t offset, std::string_view value, std::size_t width) {
    std::string field(value.substr(0, width));
    field.resize(width, ' ');
    return text(offset, field);
}

ByteImage& ByteImage::bytes(std::size_t offset, std::initializer_list<std::uint8_t> values) {
    check(offset, values.size());
    std::copy(values.begin(), values.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    return *this;
}

ByteImage& ByteImage::apply_fixture(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read fixture " + path);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const auto fail = [&](const std::string& why) {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": " + why);
        };
        std::size_t pos = line.find_first_not_of(" \t\r");
        if (pos == std::string::npos || line[pos] == '#') continue;
        if (line[pos] != '@') fail("expected '@<offset>'");
        std::size_t end = pos + 1;
        while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
        if (end == pos + 1) fail("missing offset");
        std::size_t offset = std::stoul(line.substr(pos + 1, end - pos - 1));
        pos = end;
        std::vector<std::uint8_t> values;
        while (true) {
            pos = line.find_first_not_of(" \t\r", pos);
            if (pos == std::string::npos) break;
            if (line[pos] == '"') {
                const std::size_t close = line.find('"', pos + 1);
                if (close == std::string::npos) fail("unterminated text");
                values.insert(values.end(), line.begin() + static_cast<std::ptrdiff_t>(pos + 1),
                              line.begin() + static_cast<std::ptrdiff_t>(close));
                pos = close + 1;
            } else {
                if (pos + 2 > line.size() || !std::isxdigit(static_cast<unsigned char>(line[pos])) ||
                    !std::isxdigit(static_cast<unsigned char>(line[pos + 1]))) {
                    fail("expected a two-digit hex byte or a quoted text");
                }
                values.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(pos, 2), nullptr, 16)));
                pos += 2;
            }
        }
        try {
            check(offset, values.size());
        } catch (const std::out_of_range& e) {
            fail(e.what());
        }
        std::copy(values.begin(), values.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    return *this;
}

ByteImage inquiry_image(std::string_view vendor, std::string_view product, std::size_t size) {
    ByteImage image(size);
    image.padded(8, vendor, 8).padded(16, product, 16);
    return image;
}

std::string test_data_path(const std::string& name) {
    return std::string(LUNSCAN_SOURCE_DIR) + "/tests/data/" + name;
}

}  // namespace testsupport
