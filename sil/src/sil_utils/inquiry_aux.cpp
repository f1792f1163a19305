// The auxiliary tables: -geometry (do_geometry_display) and -spc2 (do_spc2_display).
#include <span>
#include <string>

#include "inquiry_identity.h"
#include "sil/silkorinq.h"
#include "sil/sillib.h"

namespace {

// A version descriptor: INQUIRY bytes `offset` and `offset` + 1.
struct T_VERSION_COLUMN {
    const char* heading;
    std::size_t offset;
};
// Bytes 66-67 are not shown.
constexpr T_VERSION_COLUMN kVersionColumns[] = {
    {"SPC2 VER", 58}, {"SAM VER", 60}, {"FCPH VER", 62}, {"FCP2 VER", 64}, {"SBC VER", 68}};

constexpr std::uint8_t kSpc2Version = 4;

// A high-end array device that announces SPC-2 or later: its INQUIRY bytes, else an empty span.
std::span<const std::uint8_t> spc2_inquiry(const T_SIL_DEVICE& dev) {
    const KOR_INQ_PAGE0* inq = valid_inquiry(dev);
    if (inq == nullptr || !dev.is_XMV_device || (inq->ansi_version & 0x07) < kSpc2Version) return {};
    return {reinterpret_cast<const std::uint8_t*>(inq), KOR_INQ_PAGE0_SIZE};
}

// Every table here lists the whole list: the display filter is not asked.
template <class Row>
void for_each_device(const T_SIL_DEVICE_LIST* list, Row&& row) {
    if (list == nullptr || list->devices == nullptr) return;
    for (std::int32_t i = 0; i < list->count; ++i) {
        if (list->devices[i] != nullptr) row(*list->devices[i]);
    }
}

}  // namespace

int do_geometry_display(const T_SIL_DEVICE_LIST* list, const create_dev_list*, const T_DISPLAY_OPTIONS*) {
    std::FILE* out = sil_out();
    std::fprintf(out, "%-30s%15s%15s%15s\n%s\n", "DEVICE NAME", "NUM CYLS", "NUM HEADS", "SECTORS/TRACK",
                 dashes(75).c_str());
    for_each_device(list, [&](const T_SIL_DEVICE& dev) {
        std::fprintf(out, "%-30s%15d%15d%15d\n", field_text(dev.name).c_str(), static_cast<int>(dev.cylinders),
                     static_cast<int>(dev.heads), static_cast<int>(dev.sectors_per_track));
    });
    std::fputs("\n\n", out);
    return 0;
}

int do_spc2_display(const T_SIL_DEVICE_LIST* list, const create_dev_list*, const T_DISPLAY_OPTIONS*) {
    std::FILE* out = sil_out();
    std::fprintf(out, "%-30s", "DEVICE NAME");
    for (const T_VERSION_COLUMN& column : kVersionColumns) std::fprintf(out, "%10s", column.heading);
    std::fprintf(out, "\n%s\n", dashes(75).c_str());
    for_each_device(list, [&](const T_SIL_DEVICE& dev) {
        std::fprintf(out, "%-30s", field_text(dev.name).c_str());
        const std::span<const std::uint8_t> inq = spc2_inquiry(dev);
        for (const T_VERSION_COLUMN& column : kVersionColumns) {
            // The array's descriptors have always been shown low byte first, not in SCSI's order.
            if (inq.empty()) {
                std::fprintf(out, "%10s", "N/A");
            } else {
                std::fprintf(out, "%10d", inq[column.offset] | (inq[column.offset + 1] << 8));
            }
        }
        std::fputs("\n", out);
    });
    std::fputs("\n\n", out);
    return 0;
}
