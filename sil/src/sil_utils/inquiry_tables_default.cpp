// The default device table (do_default_display) with its -showvol, -compat, -winvol, -vantrel, -sid, -dravonis and -btl columns.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "inquiry_tables.h"
#include "inquiry_tables_vocab.h"
#include "sil/sillib.h"
#include "sil/silvendor.h"

namespace {

// The column options of one run.
struct Columns {
    bool showvol;
    bool compat;
    bool winvol;
    bool vantrel;
    bool sid;
    bool dravonis;
    bool btl;
};

Columns columns_of(const create_dev_list* cdl, const T_DISPLAY_OPTIONS& opts) {
    return Columns{opts.showvol != 0, opts.compat != 0,  opts.winvol != 0,
                   opts.vantrel != 0, cdl != nullptr && cdl->sid != 0,
                   opts.dravonis != 0, opts.btl != 0};
}

std::string dash_line(std::size_t width, const Columns& c) {
    std::size_t count = width + 54;
    if (c.showvol && c.compat)
        count += 9;
    else if (c.showvol)
        count += 13;
    else if (!c.compat)
        count += 4;
    if (c.winvol) count += 8;
    if (c.vantrel) count += 13;
    if (c.dravonis) count += 19;
    if (c.sid) count += 15;
    if (c.btl) count += 16;
    return dashes(count);
}

std::string heading(std::size_t width, const Columns& c) {
    std::string line = padded_name("DEVICE", width);
    line += c.showvol ? ":VEND    :PROD            :REV   :SER NUM    :Volume  :CAP(kb)     "
                      : ":VEND    :PROD            :REV   :SER NUM    :CAP(kb)     ";
    if (c.winvol) line += ":WIN vol";
    if (c.vantrel) line += ":VANTREL INFO";
    if (c.sid) line += "   :KORV ID    ";
    if (c.dravonis) line += " :VLU :DLUN :State  ";
    if (c.btl) line += " :Bus :Tid :Lun ";
    return line;
}

// The text cells of one row.
struct MainCells {
    std::string vendor = "----";
    std::string product = "----";
    std::string revision = "----";
    std::string serial = "----";
    std::string volume = "----";
    std::string capacity;
};

MainCells main_cells(const T_SIL_DEVICE& dev, const Columns& c) {
    MainCells cells;
    if (const KOR_INQ_PAGE0* inq = valid_inquiry(dev)) {
        cells.vendor = field_text(inq->vendor);
        cells.product = field_text(inq->product);
        cells.revision = field_text(inq->revision);
        if (dev.hds_device != nullptr)
            cells.serial = field_text(dev.hds_device->serial);
        else if (!c.compat)
            cells.serial = field_text(dev.dev_serial);
        else if (inq->dev_serial_chars[0] != '\0')
            cells.serial = inquiry_serial_text(*inq);
        cells.volume = sil_format(c.compat ? "%5X" : "%05X", dev.korv_dev_num);
        if (dev.is_virtual != 0) {
            replace_virtual_serial(dev, cells.serial);
            cells.volume = "   00000";
        }
    }
    if (dev.cap_state == 1 && c.winvol)
        cells.capacity = sil_format("%7u", dev.win_vol_cap);
    else
        cells.capacity = capacity_cell(dev, " ----- ");
    return cells;
}

void print_main_cells(std::FILE* out, const std::string& name, const MainCells& m,
                      const std::string& win_vol, const Columns& c) {
    const char* n = name.c_str();
    const char* v = m.vendor.c_str();
    const char* p = m.product.c_str();
    const char* r = m.revision.c_str();
    const char* s = m.serial.c_str();
    const char* vol = m.volume.c_str();
    const char* cap = m.capacity.c_str();
    const char* wv = win_vol.c_str();
    if (c.compat && c.showvol)
        std::fprintf(out, "%s:%-8s:%-16s:%-6s:%-11s:%8s:%7s", n, v, p, r, s, vol, cap);
    else if (c.compat)
        std::fprintf(out, "%s:%-8s:%-16s:%-6s:%-11s:%7s ", n, v, p, r, s, cap);
    else if (c.showvol && c.winvol)
        std::fprintf(out, "%s:%-8s:%-16s:%-6s:%-11s:%8s:%12s:%4s", n, v, p, r, s, vol, cap, wv);
    else if (c.showvol)
        std::fprintf(out, "%s:%-8s:%-16s:%-6s:%-11s:%8s:%12s", n, v, p, r, s, vol, cap);
    else if (c.winvol)
        std::fprintf(out, "%s:%-8s:%-16s:%-6s:%-11s:%12s:%4s", n, v, p, r, s, cap, wv);
    else
        std::fprintf(out, "%s:%-8s:%-16s:%-6s:%-11s:%12s", n, v, p, r, s, cap);
}

// The number after the first "LUN" of a NAS iSCSI LUN's name, read as atoi reads it (0 when no
// digits follow), or nothing when the name holds no "LUN".
std::optional<int> lun_number_in(const char* lun_name) {
    const char* found = std::strstr(lun_name, "LUN");
    if (found == nullptr) return std::nullopt;
    const char* p = found + 3;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    // Held to the int range: a device-supplied name must not overflow the conversion.
    constexpr long long kLimit = 2147483648LL;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = std::min(value * 10 + (*p - '0'), kLimit);
    if (negative) return static_cast<int>(-value);
    return static_cast<int>(std::min(value, kLimit - 1));
}

std::string vantrel_cell(const T_SIL_DEVICE& dev) {
    if (dev.has_vantrel_label != 0)
        return std::string(":Vantrel") + (vantrel_label_maker_type(dev) == 1 ? ":DXFS " : "      ");
    if (dev.is_ivantrel != 0) {
        const T_IVANTREL_DEVICE* record = dev.ivantrel_device;
        if (record == nullptr || record->lun_name == nullptr) return ":      ";
        const std::optional<int> number = lun_number_in(record->lun_name);
        return number ? sil_format(":%11.d", *number) : ":      ";
    }
    return ":             ";
}

std::string sid_cell(const T_SIL_DEVICE& dev, const std::string& vendor) {
    const bool virtual_korv = is_korv_backed_virtual(dev);
    if (vendor.find("XMV") == std::string::npos && !virtual_korv) return "  :N/A         ";
    if (dev.is_virtual != 0)
        return virtual_korv ? sil_format("  :%s", field_text(dev.korid).c_str()) : "  :N/A         ";
    const KOR_INQ_PAGE0* inq = valid_inquiry(dev);
    if (inq == nullptr) return "  :N/A         ";
    std::string cell = sil_format("  :%02X", inq->serial_bcd_1);
    for (std::uint8_t digits : inq->serial_bcd_2) cell += sil_format("%02X", digits);
    return cell;
}

const char* lun_state_name(std::uint32_t state) {
    switch (state) {
        case SIL_LUN_STATE_NOT_BOUND: return "NO EXIST";
        case SIL_LUN_STATE_NOT_ASSIGNED: return "UNASSIGN";
        case SIL_LUN_STATE_ASSIGNED: return "ASSIGNED";
        default: return "UNKNOWN?";
    }
}

std::string dravonis_cell(const T_SIL_DEVICE& dev, bool compat) {
    const T_DRAVONIS_DEVICE* drav = dev.drav_device;
    if (dev.is_drav == 0 || drav == nullptr) return ":    :    :       ";
    return sil_format(":%4x", drav->p83_word1) +
           sil_format(compat ? " :%4x " : " :%05d", drav->p83_word2) +
           sil_format(":%-8s", lun_state_name(drav->lun_state));
}

}  // namespace

int do_default_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                       const T_DISPLAY_OPTIONS* opts) {
    if (opts == nullptr) return 0;
    std::FILE* out = sil_out();
    const Columns c = columns_of(cdl, *opts);
    const std::size_t width = device_name_width(list);
    const std::string rule = dash_line(width, c);
    std::fprintf(out, "\n%s\n%s\n%s\n", rule.c_str(), heading(width, c).c_str(), rule.c_str());

    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) {
        const MainCells cells = main_cells(dev, c);
        print_main_cells(out, padded_name(inq_field_text(dev.name), width), cells,
                         field_text(dev.win_vol), c);
        std::string extra;
        if (c.vantrel) extra += vantrel_cell(dev);
        if (c.sid) extra += sid_cell(dev, cells.vendor);
        if (c.dravonis) extra += dravonis_cell(dev, c.compat);
        if (c.btl) extra += sil_format(":%4x:%4x:%4x", dev.bus, dev.tid, dev.lun);
        std::fprintf(out, "%s\n", extra.c_str());
    });
    return 0;
}
