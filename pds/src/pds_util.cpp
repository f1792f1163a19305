// EBCDIC (code page 037) to ASCII conversion.
#include "pds/util.h"

#include <array>
#include <string_view>

namespace pds {

namespace {

// Code page 037 by EBCDIC byte, sixteen to a row. Only characters that exist in printable ASCII
// are kept; everything else reads '.', which is what a label viewer shows for an unprintable byte.
constexpr std::string_view kEbcdic037 =
    "................"   // 0x00 controls
    "................"   // 0x10 controls
    "................"   // 0x20 controls
    "................"   // 0x30 controls
    " ...........<(+|"   // 0x40 space, NBSP, accented a/c/n, cent sign, . < ( + |
    "&.........!$*);."   // 0x50
    "-/.........,%_>?"   // 0x60
    ".........`:#@'=\""  // 0x70
    ".abcdefghi......"   // 0x80
    ".jklmnopqr......"   // 0x90
    ".~stuvwxyz......"   // 0xA0
    "^.........[]...."   // 0xB0
    "{ABCDEFGHI......"   // 0xC0
    "}JKLMNOPQR......"   // 0xD0
    "\\.STUVWXYZ......"  // 0xE0
    "0123456789......";  // 0xF0
static_assert(kEbcdic037.size() == 256);

}  // namespace

void pdsUtilEbcdicToAscii(const std::uint8_t* ebcdic, char* ascii, std::size_t length) {
    if (ebcdic == nullptr || ascii == nullptr) return;
    for (std::size_t i = 0; i < length; ++i) ascii[i] = kEbcdic037[ebcdic[i]];
}

}  // namespace pds
