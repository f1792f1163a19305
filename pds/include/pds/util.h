// Small text utilities of the portability runtime: EBCDIC to ASCII conversion.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pds {

// Converts `length` bytes of EBCDIC (code page 037) text into ASCII. A byte whose character has
// no printable 7-bit ASCII counterpart (controls, NUL, accented letters and other Latin-1 signs)
// becomes '.', so the result is always printable and never ends early. `ascii` receives exactly
// `length` characters and no NUL; it may be the same memory as `ebcdic`.
void pdsUtilEbcdicToAscii(const std::uint8_t* ebcdic, char* ascii, std::size_t length);

}  // namespace pds
