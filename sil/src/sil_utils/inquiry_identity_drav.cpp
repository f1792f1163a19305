// The midrange array's and the virtualisation product's identity reports: -drav_wwn (single, table, -drav_file) and -olvessa_wwn.
#include <cstdio>
#include <span>
#include <string>

#include "inquiry_identity.h"
#include "sil/sillib.h"
#include "sil/silvendor.h"

namespace {

// The virtual-disk backing types of the two families.
constexpr std::uint32_t kBackingDravonis = 2;
constexpr std::uint32_t kBackingOlvessa = 3;

constexpr std::size_t kFileRuleDashes = 91;

std::span<const std::uint8_t> wwn_bytes(const T_DRAVONIS_DEVICE& record) { return record.lun_wwn; }

// The IPv4 address held in the last four bytes of a 16-byte address field.
std::span<const std::uint8_t, 4> ipv4_of(const std::uint8_t (&field)[16]) {
    return std::span<const std::uint8_t, 16>(field).last<4>();
}

// "a.b.c.d " — each byte "%u" followed by '.', the last one by a space.
void print_address_words(std::FILE* out, std::span<const std::uint8_t, 4> ip) {
    for (std::size_t i = 0; i < ip.size(); ++i) std::fprintf(out, "%u%c", ip[i], i + 1 < ip.size() ? '.' : ' ');
}

char sp_letter(const T_DRAVONIS_DEVICE& record) { return record.sp == 0 ? 'A' : 'B'; }

// The SP line after the WWN and the IP address of a single-device form: "<sp>A" or B, or "Not
// Available" on a line of its own; "<ip>a.b.c.d " left open, or "Not Available" on a line of its own.
void print_sp_and_address(std::FILE* out, const T_DRAVONIS_DEVICE& record, const char* sp_label, const char* ip_label) {
    if (record.sp_valid == 1) {
        std::fprintf(out, "\n%s%c\n", sp_label, sp_letter(record));
    } else {
        std::fprintf(out, "\n%sNot Available\n", sp_label);
    }
    if (record.ip_len == 4) {
        std::fputs(ip_label, out);
        print_address_words(out, ipv4_of(record.sp_ip_address));
    } else {
        std::fprintf(out, "\n%sNot Available\n", ip_label);
    }
}

// The SP, IP address, LUN and WWN cells both tables share; `lun_format` takes p83_word2.
void print_array_cells(std::FILE* out, const T_DRAVONIS_DEVICE& record, const char* lun_format) {
    std::fprintf(out, "%-16s ", field_text(record.array_serial).c_str());
    if (record.sp_valid == 1) {
        std::fprintf(out, "%c  ", sp_letter(record));
    } else {
        std::fputs("   ", out);
    }
    if (record.ip_len == 4) {
        const auto ip = ipv4_of(record.sp_ip_address);
        std::fprintf(out, "%-16s", sil_format("%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]).c_str());
    } else {
        std::fprintf(out, "%16s", "");
    }
    std::fprintf(out, lun_format, record.p83_word2);
    print_hex(out, wwn_bytes(record));
    std::fputs("\n", out);
}

bool is_dravonis(const T_SIL_DEVICE& dev) { return dev.is_drav != 0 || dev.backing_array_type == kBackingDravonis; }
bool has_dravonis_record(const T_SIL_DEVICE& dev) { return dev.drav_device != nullptr; }
bool is_olvessa(const T_SIL_DEVICE& dev) { return dev.is_olvessa != 0 || dev.backing_array_type == kBackingOlvessa; }
bool has_olvessa_record(const T_SIL_DEVICE& dev) { return dev.olvessa_device != nullptr; }

constexpr const char* kColumns = "Array Serial #   SP IP Address      LUN      WWN (all 32 hex digits required)";
constexpr std::size_t kColumnDashes = 77;

const char* raid_type_name(std::uint8_t code) {
    switch (code & 0x0F) {
        case 2: return "Individual";
        case 3: return "RAID 0";
        case 4: return "RAID 1";
        case 5: return "RAID 5";
        case 6: return "RAID 3";
        case 7: return "RAID 1/0";
        case 10: return "RAID 6";
        default: return "None";
    }
}

// "<RAID type> : <RAID group>  <product> - <vendor>" from the midrange LUN's standard INQUIRY.
std::string raid_and_product_cells(const T_SIL_DEVICE& dev) {
    const KOR_INQ_PAGE0* inq = valid_inquiry(dev);
    if (inq == nullptr) return sil_format("%s : %d   - ", raid_type_name(0), 0);
    const auto bytes = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(inq), KOR_INQ_PAGE0_SIZE);
    const std::uint8_t raid_type = bytes[111];
    const auto group = static_cast<std::int32_t>(
        (std::uint32_t{bytes[104]} << 24) | (std::uint32_t{bytes[105]} << 16) | (std::uint32_t{bytes[106]} << 8) | bytes[107]);
    return sil_format("%s : %d  ", raid_type_name(raid_type), group) + first_chars(field_text(inq->product), 7) +
           " - " + first_chars(field_text(inq->vendor), 6);
}

}  // namespace

int do_drav_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list*, const T_DISPLAY_OPTIONS*) {
    const T_SIL_DEVICE* dev = first_device(list);
    if (dev == nullptr) return -1;
    std::FILE* out = sil_out();
    const std::string name = field_text(dev->name);
    if ((dev->is_virtual != 0 && dev->backing_array_type == kBackingDravonis) || dev->is_drav == 0) {
        std::fprintf(out, "Device:  %s is not a Dravonis device\n", name.c_str());
        return -1;
    }
    const T_DRAVONIS_DEVICE* record = dev->drav_device;
    if (record == nullptr) {
        std::fputs("Failed to retrieve Dravonis WWN and Serial Number\n", out);
        return -1;
    }
    std::fprintf(out,
                 "Dravonis Device WWN, Serial Number, SP, and IP address:\n"
                 "-------------------------------------------------------\n"
                 "Device:       %s\n",
                 name.c_str());
    std::fprintf(out, "Serial:       %-16s\n", field_text(record->array_serial).c_str());
    std::fputs("WWN:          ", out);
    print_hex(out, wwn_bytes(*record));
    print_sp_and_address(out, *record, "SP:           ", "IP Addr:      ");
    std::fputs("\n", out);
    // Consecutive IPv4 peers follow one another on one line.
    for (std::int32_t i = 0; record->peers != nullptr && i < record->peer_count; ++i) {
        const T_DRAVONIS_PEER* peer = record->peers[i];
        if (peer != nullptr && peer->address_len == 4) {
            std::fputs("Peer IP Addr: ", out);
            print_address_words(out, ipv4_of(peer->address));
        } else {
            std::fputs("\nPeer IP Addr: Not Available\n", out);
        }
    }
    std::fputs("\n\n", out);
    return 0;
}

int do_drav_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    static const T_IDENTITY_TABLE table = {
        "Dravonis Device", kColumns, kColumnDashes, is_dravonis, has_dravonis_record,
        "%s is not a Dravonis device\n", "Failed to retrieve Dravonis WWN and Serial Number\n", 0, nullptr,
        [](std::FILE* out, const T_SIL_DEVICE& dev, const T_DISPLAY_OPTIONS& o) {
            print_array_cells(out, *dev.drav_device, o.compat ? "0x%04x   " : "%05d    ");
        }};
    return print_identity_table(list, cdl, opts, table);
}

int do_drav_file_display(const T_SIL_DEVICE_LIST* list, const create_dev_list*, const T_DISPLAY_OPTIONS* opts) {
    std::FILE* out = sil_out();
    const std::size_t width = name_column_width(list, 2);
    const std::string rule = dashes(kFileRuleDashes);
    std::fprintf(out, "\n%s\n%sPORT  %-20sLDEV  CTG  H/M/SS  SSID  R:Group  Product ID\n%s\n", rule.c_str(),
                 padded_name("DEVICE", width).c_str(), "Serial", rule.c_str());
    // Every device the file named, whatever the display filter says.
    for (std::int32_t i = 0; list != nullptr && list->devices != nullptr && i < list->count; ++i) {
        const T_SIL_DEVICE* dev = list->devices[i];
        if (dev == nullptr) continue;
        const std::string name = field_text(dev->name);
        if (dev->is_drav == 0) {
            std::fprintf(out, "%s is not a Dravonis device\n", name.c_str());
            continue;
        }
        const T_DRAVONIS_DEVICE* record = dev->drav_device;
        if (record == nullptr) {
            std::fputs("Failed to retrieve Serial Number\n", out);
            continue;
        }
        std::fputs(padded_name(name, width).c_str(), out);
        std::fprintf(out, "%d     %-20s", record->sp_port, field_text(record->array_serial).c_str());
        std::fprintf(out, opts != nullptr && opts->compat ? "%04x  " : "%05d  ", record->p83_word2);
        std::fprintf(out, " -   s/s/ss  0000  %s\n", raid_and_product_cells(*dev).c_str());
    }
    std::fputs("\n", out);
    return 0;
}

int do_olvessa_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list*, const T_DISPLAY_OPTIONS*) {
    const T_SIL_DEVICE* dev = first_device(list);
    if (dev == nullptr) return -1;
    std::FILE* out = sil_out();
    const std::string name = field_text(dev->name);
    if (!is_olvessa(*dev)) {
        std::fprintf(out, "Device:  %s is not an Olvessa device\n", name.c_str());
        return -1;
    }
    const T_DRAVONIS_DEVICE* record = dev->olvessa_device;
    if (record == nullptr) {
        INQ_PRINT_BUG(out);
        return -1;
    }
    std::fprintf(out,
                 "Olvessa Device WWN and Serial Number\n"
                 "---------------------------------------------------\n"
                 "Device:             %s\n",
                 name.c_str());
    std::fputs("Serial Number:      ", out);
    print_hex(out, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(record->array_serial), 6));
    std::fputs("\nWWN:     ", out);
    print_hex(out, wwn_bytes(*record));
    print_sp_and_address(out, *record, "SP:      ", "IP Addr: ");
    std::fputs("\n\n", out);
    return 0;
}

int do_olvessa_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    static const T_IDENTITY_TABLE table = {
        "Olvessa Device", kColumns, kColumnDashes, is_olvessa, has_olvessa_record,
        "%s is not an Olvessa device\n", "Failed to retrieve Olvessa WWN and Serial Number\n", 0, nullptr,
        [](std::FILE* out, const T_SIL_DEVICE& dev, const T_DISPLAY_OPTIONS&) {
            print_array_cells(out, *dev.olvessa_device, "0x%04x   ");
        }};
    return print_identity_table(list, cdl, opts, table);
}
