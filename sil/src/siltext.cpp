// printf into a std::string, and the hex-digit value, for the library and the front end alike.
#include "sil/siltext.h"

#include <cstdio>

std::string sil_vformat(const char* format, std::va_list args) {
    if (format == nullptr) return {};
    std::va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return {};
    std::string text(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(needed));
    return text;
}

std::string sil_format(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = sil_vformat(format, args);
    va_end(args);
    return text;
}

int sil_hex_digit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
