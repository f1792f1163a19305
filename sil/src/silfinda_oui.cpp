// The vendor lookup by WWN: the IEEE company-identifier table compiled in, searched by identifier.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "sildevice.h"
#include "silfinda_int.h"

namespace {

struct OuiRow {
    std::uint32_t oui;
    const char* name;
};

// Sorted by identifier, one row per identifier (scripts/gen-oui-table.py).
constexpr OuiRow kOuiTable[] = {
#include "sil_oui_table.inc"
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The six hex digits at `first` (0-based) as an identifier; false when the text is too short or
// holds anything else there.
bool identifier_at(const char* wwn, std::size_t length, std::size_t first, std::uint32_t& oui) {
    if (length < first + 6) return false;
    oui = 0;
    for (std::size_t i = first; i < first + 6; ++i) {
        const int d = hex_digit(wwn[i]);
        if (d < 0) return false;
        oui = oui << 4 | static_cast<std::uint32_t>(d);
    }
    return true;
}

}  // namespace

const char* sil_findh_oui_name(std::uint32_t oui) {
    const auto* end = std::end(kOuiTable);
    const auto* row = std::lower_bound(std::begin(kOuiTable), end, oui,
                                       [](const OuiRow& r, std::uint32_t key) { return r.oui < key; });
    return row != end && row->oui == oui ? row->name : nullptr;
}

std::int32_t sil_findh_vendor_by_wwn(const char* wwn, std::uint32_t& vendor_code, char* name, std::size_t name_size) {
    vendor_code = 0;
    if (wwn == nullptr || std::strcmp(wwn, "Unknown") == 0) return -1;
    const std::size_t length = strnlen(wwn, SIL_HBA_WWN_TEXT_LEN);
    std::uint32_t oui = 0;
    bool found = false;
    switch (wwn[0]) {
    case '1':
    case '2': found = identifier_at(wwn, length, 4, oui); break;
    case '5':
    case '6': found = identifier_at(wwn, length, 1, oui); break;
    default: break;
    }
    if (!found) return -1;
    vendor_code = oui;
    const char* organisation = sil_findh_oui_name(oui);
    if (organisation == nullptr) return -1;
    if (name != nullptr && name_size > 0) sil_copy_text(name, name_size, organisation);
    return 0;
}
