// Text helpers shared by the library and its callers: printf into a std::string, and hex digits.
#pragma once

#include <cstdarg>
#include <string>

// printf into a string of whatever length the text needs; empty for a null format or a format the
// C library refuses.
[[gnu::format(printf, 1, 2)]] std::string sil_format(const char* format, ...);
std::string sil_vformat(const char* format, std::va_list args);

// The value of a hexadecimal digit of either case, or -1 for any other character.
int sil_hex_digit(int c);
