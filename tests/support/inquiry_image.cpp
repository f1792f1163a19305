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
    std::vector<std::uint8_t> values;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        for (std::string word; words >> word;) {
            if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
                !std::isxdigit(static_cast<unsigned char>(word[1]))) {
                throw std::runtime_error(path + ": \"" + word + "\" is no hex byte");
            }
            values.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
        }
    }
    check(0, values.size());
    std::copy(values.begin(), values.end(), bytes_.begin());
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
