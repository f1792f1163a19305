// The replication reports: -rpx_ping, -rpx_list, -rpx_xml and -rpx_raw, printed from the gathered replication picture.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "inquiry.h"
#include "sil/silhostinfo.h"
#include "sil/sillib.h"
#include "sil/siltext.h"

namespace {

std::span<const T_SIL_RPX_LOCAL_ARRAY> local_arrays(const T_SIL_RPX_INFO& info) {
    if (info.entries == nullptr || info.count <= 0) return {};
    return {info.entries, static_cast<std::size_t>(info.count)};
}

std::span<const T_SIL_RPX_REMOTE_ARRAY> remote_arrays(const T_SIL_RPX_LOCAL_ARRAY& array) {
    if (array.remote_arrays == nullptr) return {};
    return {array.remote_arrays, array.remote_array_count};
}

std::span<const T_SIL_RPX_DEVICE> rpx_devices(const T_SIL_RPX_LOCAL_ARRAY& array) {
    if (array.rpx_devices == nullptr) return {};
    return {array.rpx_devices, array.rpx_device_count};
}

std::span<const std::uint8_t> groups(const T_SIL_RPX_REMOTE_ARRAY& remote) {
    return {remote.rpx_groups, std::min(remote.rpx_group_count, SIL_RPX_MAX_GROUPS)};
}

std::string_view korid_text(const T_SIL_RPX_LOCAL_ARRAY& array) { return inq_field_text(array.korid); }

// The record's serials and names are the library's own, NUL-terminated; these cut them at their
// field's end all the same.
std::string text(std::string_view view) { return std::string(view); }

char role_char(std::uint8_t type) {
    if (type & SIL_RPX_MIRROR_RPX2) return '2';
    if (type & SIL_RPX_MIRROR_RPX1) return '1';
    return 'X';
}

unsigned date_year(std::uint32_t date) { return date >> 16; }
unsigned date_month(std::uint32_t date) { return (date >> 8) & 0xFF; }
unsigned date_day(std::uint32_t date) { return date & 0xFF; }

// The devices of the list that are paths to one replication device of the array: same device
// number and same array serial, in list order (a volume seen through two paths comes twice).
template <class Each>
void for_each_path(const T_SIL_DEVICE_LIST* list, const T_SIL_RPX_LOCAL_ARRAY& array, std::uint32_t dev, Each&& each) {
    if (list == nullptr || list->devices == nullptr) return;
    for (std::int32_t i = 0; i < list->count; ++i) {
        const T_SIL_DEVICE* d = list->devices[i];
        if (d != nullptr && d->korv_dev_num == dev && inq_field_text(d->korid) == korid_text(array)) each(*d);
    }
}

// The first remote array of the local array that a group leads to, or nullptr.
const T_SIL_RPX_REMOTE_ARRAY* remote_of_group(const T_SIL_RPX_LOCAL_ARRAY& array, std::uint8_t group) {
    for (const T_SIL_RPX_REMOTE_ARRAY& remote : remote_arrays(array)) {
        const auto g = groups(remote);
        if (std::find(g.begin(), g.end(), group) != g.end()) return &remote;
    }
    return nullptr;
}

// ---- ping ----------------------------------------------------------------------------------------

bool remote_listed_before(std::span<const T_SIL_RPX_LOCAL_ARRAY> arrays, std::size_t local, std::string_view serial) {
    for (const T_SIL_RPX_LOCAL_ARRAY& array : arrays) {
        if (korid_text(array) == serial) return true;
    }
    for (std::size_t i = 0; i < local; ++i) {
        for (const T_SIL_RPX_REMOTE_ARRAY& remote : remote_arrays(arrays[i])) {
            if (inq_field_text(remote.remote_korid) == serial) return true;
        }
    }
    return false;
}

}  // namespace

void do_rpx_ping_display(std::FILE* out, const T_SIL_RPX_INFO& info) {
    std::fputs("       K O R V A L I T H\n", out);
    std::fputs("\n", out);
    std::fputs("    KorvID       Attachment\n", out);
    std::fputs("\n", out);
    const auto arrays = local_arrays(info);
    for (const T_SIL_RPX_LOCAL_ARRAY& array : arrays) std::fprintf(out, "    %s Local\n", text(korid_text(array)).c_str());
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        for (const T_SIL_RPX_REMOTE_ARRAY& remote : remote_arrays(arrays[i])) {
            const std::string_view serial = inq_field_text(remote.remote_korid);
            if (!remote_listed_before(arrays, i, serial)) std::fprintf(out, "    %s Remote\n", text(serial).c_str());
        }
    }
    std::fputs("\n", out);
}

namespace {

// ---- list ----------------------------------------------------------------------------------------

std::size_t longest_name(const T_SIL_DEVICE_LIST* list) {
    constexpr std::size_t kLeast = 8;
    std::size_t width = kLeast;
    if (list == nullptr || list->devices == nullptr) return width;
    for (std::int32_t i = 0; i < list->count; ++i) {
        if (list->devices[i] != nullptr) width = std::max(width, inq_field_text(list->devices[i]->name).size());
    }
    return width;
}

}  // namespace

void do_rpx_list_display(std::FILE* out, const T_SIL_DEVICE_LIST* list, const T_SIL_RPX_INFO& info) {
    const std::size_t width = longest_name(list);
    const std::string dashes(width, '-');
    const std::string blanks(width, ' ');
    std::string pdev = "Pdev";
    pdev.resize(width, ' ');
    for (const T_SIL_RPX_LOCAL_ARRAY& array : local_arrays(info)) {
        std::fprintf(out, "\nKorvalith ID: %s\n\n", text(korid_text(array)).c_str());
        std::fputs("\n", out);
        std::fputs("          Local Device View  \n", out);
        std::fprintf(out, "%s------------------------------\n", dashes.c_str());
        std::fprintf(out, "%s  Kor         RPX   \n", blanks.c_str());
        std::fprintf(out, "%s  Dev   RDev  Typ:G   Remote SID \n", pdev.c_str());
        std::fprintf(out, "%s  ----  ----  -----  ------------\n", dashes.c_str());
        for (const T_SIL_RPX_DEVICE& entry : rpx_devices(array)) {
            for_each_path(list, array, entry.dev, [&](const T_SIL_DEVICE& dev) {
                const std::string name = text(inq_field_text(dev.name));
                for (const T_SIL_RPX_MIRROR& mirror : entry.mirrors) {
                    if (mirror.type == SIL_RPX_MIRROR_NONE) continue;
                    std::fprintf(out, "%s  %04X  %04X  R%c:%02X ", name.c_str(), dev.korv_dev_num, mirror.r_dev,
                                 role_char(mirror.type), mirror.group);
                    const T_SIL_RPX_REMOTE_ARRAY* remote = remote_of_group(array, mirror.group);
                    if (remote != nullptr) {
                        std::fprintf(out, " %s\n", text(inq_field_text(remote->remote_korid)).c_str());
                    } else {
                        std::fputs(" N/A\n", out);
                    }
                }
            });
        }
    }
}

namespace {

// ---- xml -----------------------------------------------------------------------------------------

// Element text: the markup characters as entities, and what an XML document cannot carry at all
// (control characters, bytes beyond ASCII that may not be UTF-8) as '?', so that the document stays
// well-formed whatever names the devices and the host report.
std::string xml_text(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += (byte < 0x20 && c != '\t') || byte >= 0x80 ? '?' : c; break;
        }
    }
    return out;
}

// The host's values are shown in at most 15 characters.
std::string host_value(const std::string& value) { return xml_text(std::string_view(value).substr(0, 15)); }

void print_environment(std::FILE* out) {
    std::fputs("  <XMV_RPX_Scan>\n", out);
    std::fputs("    <Environment>\n", out);
    std::fputs("       <this_xml_display_rev>1.000</this_xml_display_rev>\n", out);
    const T_SIL_LOCAL_TIME t = SIL_GetLocalTime();
    const std::string date = sil_format("%02d/%02d/%04d %02d:%02d:%02d.%03d", t.month, t.day, t.year, t.hour,
                                        t.minute, t.second, t.millisecond);
    std::fprintf(out, "       <Date_Of_Scan>%s</Date_Of_Scan>\n", xml_text(date).c_str());
    // The program's revision is the banner's first line: the utility's title and version with the
    // library's version values.
    std::fprintf(out, "       <Inquiry_Rev>%s</Inquiry_Rev>\n", xml_text(banner_title(SIL_IDENT_STRING)).c_str());
    const T_SIL_HOST_INFO host = SIL_GetHostInfo();
    std::fprintf(out, "       <os_type>%s</os_type>\n", host_value(host.os_type).c_str());
    std::fprintf(out, "       <nodename>%s</nodename>\n", host_value(host.nodename).c_str());
    std::fprintf(out, "       <release>%s</release>\n", host_value(host.release).c_str());
    std::fprintf(out, "       <version>%s</version>\n", host_value(host.version).c_str());
    std::fprintf(out, "       <machine>%s</machine>\n", host_value(host.machine).c_str());
    std::fputs("    </Environment>\n", out);
}

void print_korv_info(std::FILE* out, const T_SIL_RPX_LOCAL_ARRAY& array) {
    std::fputs("    <Korv_Info>\n", out);
    std::fprintf(out, "      <korid>%s</korid>\n", xml_text(korid_text(array)).c_str());
    std::fprintf(out, "      <gatekeeper>%s</gatekeeper>\n", xml_text(inq_field_text(array.gatekeeper)).c_str());
    std::fprintf(out, "      <microcode_version>%04X</microcode_version>\n", unsigned{array.microcode_version});
    std::fprintf(out, "      <microcode_date>%04X-%02x-%02x</microcode_date>\n", date_year(array.microcode_date),
                 date_month(array.microcode_date), date_day(array.microcode_date));
    std::fprintf(out, "      <mapped_device_count>%d</mapped_device_count>\n",
                 static_cast<int>(array.mapped_device_count));
    std::fprintf(out, "      <mapped_rpx_device_count>%d</mapped_rpx_device_count>\n",
                 static_cast<int>(array.mapped_rpx_device_count));
    std::fputs("    </Korv_Info>\n", out);
}

void print_remote_korv(std::FILE* out, const T_SIL_RPX_REMOTE_ARRAY& remote) {
    constexpr std::size_t kGroupsPerLine = 8;
    std::fprintf(out, "      <Remote_Korv>  <remote_korid>%s</remote_korid>  ",
                 xml_text(inq_field_text(remote.remote_korid)).c_str());
    std::fprintf(out, "   <microcode_version>%04d</microcode_version> ", int{remote.microcode_version});
    const auto g = groups(remote);
    for (std::size_t k = 0; k < g.size(); ++k) {
        if (k % kGroupsPerLine == 0) std::fprintf(out, "\n%30s", "");
        std::fprintf(out, "<rpx_group>%02X</rpx_group>", unsigned{g[k]});
    }
    std::fputs("</Remote_Korv>\n", out);
}

}  // namespace

void do_rpx_xml_display(std::FILE* out, const T_SIL_DEVICE_LIST* list, const T_SIL_RPX_INFO& info) {
    print_environment(out);
    for (const T_SIL_RPX_LOCAL_ARRAY& array : local_arrays(info)) {
        std::fputs("  <Korvalith>\n", out);
        print_korv_info(out, array);
        for (const T_SIL_RPX_REMOTE_ARRAY& remote : remote_arrays(array)) print_remote_korv(out, remote);
        for (const T_SIL_RPX_DEVICE& entry : rpx_devices(array)) {
            for_each_path(list, array, entry.dev, [&](const T_SIL_DEVICE& dev) {
                std::fprintf(out, "      <Remote_Dev> <dev_name>%s</dev_name>  <dev>%04X</dev> ",
                             xml_text(inq_field_text(dev.name)).c_str(), dev.korv_dev_num);
                for (int slot = 0; slot < 4; ++slot) {
                    const T_SIL_RPX_MIRROR& mirror = entry.mirrors[slot];
                    if (mirror.type == SIL_RPX_MIRROR_NONE) continue;
                    std::fprintf(out,
                                 " <Mirror> <mir_num>%d</mir_num> <r_dev>%04X</r_dev> <group>%02x</group> "
                                 "<type>R%c</type> </Mirror>  ",
                                 slot, mirror.r_dev, unsigned{mirror.group}, role_char(mirror.type));
                }
                std::fputs("      </Remote_Dev>\n", out);
            });
        }
        std::fputs("  </Korvalith>\n", out);
    }
    std::fputs("  </XMV_RPX_Scan>\n", out);
}

namespace {

// ---- raw -----------------------------------------------------------------------------------------

void print_raw_remote(std::FILE* out, const T_SIL_RPX_REMOTE_ARRAY& remote) {
    constexpr std::size_t kGroupsPerLine = 20;
    std::fprintf(out, "          REMOTE_KORV:  %s  ucode=%04d  ID=%02x    groups=",
                 text(inq_field_text(remote.remote_korid)).c_str(), int{remote.microcode_version}, remote.remote_id);
    const auto g = groups(remote);
    for (std::size_t k = 0; k < g.size(); ++k) {
        if (k != 0 && k % kGroupsPerLine == 0) std::fprintf(out, "\n%66s", "");
        std::fprintf(out, "%02X,", unsigned{g[k]});
    }
    std::fputs("\n", out);
}

}  // namespace

void do_rpx_raw_display(std::FILE* out, const T_SIL_RPX_INFO& info) {
    for (const T_SIL_RPX_LOCAL_ARRAY& array : local_arrays(info)) {
        std::fputs("\n------------------------------------------------------------------\n", out);
        std::fprintf(out,
                     "  LOCAL_KORV:           %s  ucode:%04X  ucode_date=%04X-%02X-%02X    devices=%04d     "
                     "rpx_devices=%04d   GK=%s\n",
                     text(korid_text(array)).c_str(), unsigned{array.microcode_version},
                     date_year(array.microcode_date), date_month(array.microcode_date), date_day(array.microcode_date),
                     static_cast<int>(array.mapped_device_count), static_cast<int>(array.mapped_rpx_device_count),
                     text(inq_field_text(array.gatekeeper)).c_str());
        if (array.remote_array_count > 0) {
            std::fputs("      Remote Korvs.....\n", out);
            for (const T_SIL_RPX_REMOTE_ARRAY& remote : remote_arrays(array)) print_raw_remote(out, remote);
        }
        if (array.rpx_device_count > 0) {
            std::fputs("      RPX Devices (seen by this host).....\n", out);
            for (const T_SIL_RPX_DEVICE& entry : rpx_devices(array)) {
                std::fprintf(out, "          %04X   ", entry.dev);
                for (int slot = 0; slot < 4; ++slot) {
                    const T_SIL_RPX_MIRROR& mirror = entry.mirrors[slot];
                    if (mirror.type == SIL_RPX_MIRROR_NONE) continue;
                    std::fprintf(out, "  M%d rdev-%04X R%c:%02X         ", slot, mirror.r_dev, role_char(mirror.type),
                                 unsigned{mirror.group});
                }
                std::fputs("\n", out);
            }
        }
    }
}
