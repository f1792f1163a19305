// The standard INQUIRY page printed byte by byte: the midrange, high-end, HDS, Shark and generic layouts.
#include "silfmtpg0.h"

// Temporary body: prints nothing until the formatter is written.
std::int32_t FormatStandardPage00(std::span<const std::uint8_t>, const T_SIL_DEVICE*, void*, void*, int) { return 0; }
