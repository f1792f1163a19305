// The identity reports of the other makes: -sw_wwn, -hds_wwn, -s80_wwn, -shark_wwn, -compaq_wwn and -netapp_wwn, single-device and table forms.
#include <cstdio>
#include <span>
#include <string>

#include "inquiry_identity.h"
#include "sil/sillib.h"
#include "sil/silvendor.h"

namespace {

// A make flag without its record means the make's decoder could not read the pages it needs (it
// dropped the record then): a failure to report, not a fault of this program.
constexpr const char* kStorWrksMissing = "Failed to retrieve StorageWorks WWN and Serial Number\n";
constexpr const char* kHdsMissing = "Failed to retrieve HDS WWN and Serial Number\n";
constexpr const char* kS80Missing = "Failed to retrieve S80 WWN and Serial Number\n";
constexpr const char* kSharkMissing = "Failed to retrieve SHARK WWN and Serial Number\n";
constexpr const char* kCompaqMissing = "Failed to retrieve COMPAQ WWN\n";
constexpr const char* kNetappMissing = "Failed to retrieve NETAPP WWN and Serial Number\n";

constexpr const char* kSingleRule = "---------------------------------------------------\n";

template <std::size_t N>
std::span<const std::uint8_t> bytes_of(const std::uint8_t (&field)[N]) {
    return field;
}

// A byte field holding text (the HDS device number), up to its first NUL.
template <std::size_t N>
std::string byte_text(const std::uint8_t (&field)[N]) {
    std::string text(reinterpret_cast<const char*>(field), N);
    return text.substr(0, text.find('\0'));
}

// The start every single-device form shares: the first device of the list, the "not a" line when
// it is of another make, the failure line when its record is missing, else the title block
// (`title` ends with the device-name format). Returns the device when the report goes on.
const T_SIL_DEVICE* begin_single(std::FILE* out, const T_SIL_DEVICE_LIST* list, bool (*is_make)(const T_SIL_DEVICE&),
                                  bool (*has_record)(const T_SIL_DEVICE&), const char* not_make,
                                  const char* missing, const char* title) {
    const T_SIL_DEVICE* dev = first_device(list);
    if (dev == nullptr) return nullptr;
    const std::string name = field_text(dev->name);
    if (!is_make(*dev)) {
        std::fprintf(out, not_make, name.c_str());
        return nullptr;
    }
    if (!has_record(*dev)) {
        std::fputs(missing, out);
        return nullptr;
    }
    std::fprintf(out, title, name.c_str());
    return dev;
}

// "Array WWN: " and the WWN bytes the record's length names (never more than its field), then an
// empty line: the Shark, Compaq and NetApp single forms end so.
void print_array_wwn(std::FILE* out, std::span<const std::uint8_t> wwn, std::size_t length) {
    std::fputs("Array WWN: ", out);
    print_hex_prefix(out, wwn, length);
    std::fputs("\n\n", out);
}

// ---- StorageWorks ----

bool is_storwrks(const T_SIL_DEVICE& d) { return d.is_storwrks != 0; }
bool has_storwrks(const T_SIL_DEVICE& d) { return d.storwrks_device != nullptr; }

void storwrks_cells(std::FILE* out, const T_SIL_DEVICE& dev, const T_DISPLAY_OPTIONS&) {
    const T_STORWRKS_DEVICE& sw = *dev.storwrks_device;
    std::fprintf(out, "%-16s", field_text(sw.serial).c_str());
    print_hex(out, sw.node_id);
    std::fputs("  ", out);
    print_hex_prefix(out, sw.wwn, sw.wwn_len);
    std::fputs("\n", out);
}

// ---- HDS ----

bool is_hds(const T_SIL_DEVICE& d) { return d.is_hds != 0; }
bool has_hds(const T_SIL_DEVICE& d) { return d.hds_device != nullptr; }

void hds_cells(std::FILE* out, const T_SIL_DEVICE& dev, const T_DISPLAY_OPTIONS&) {
    const T_HDS_DEVICE& hds = *dev.hds_device;
    std::fprintf(out, "%-16s ", field_text(hds.serial).c_str());
    print_hex_prefix(out, hds.wwn, hds.wwn_len);
    std::fprintf(out, "  %s\n", field_text(hds.model_number).c_str());
}

// ---- S80 ----

bool is_s80(const T_SIL_DEVICE& d) { return d.is_s80 != 0; }
bool has_s80(const T_SIL_DEVICE& d) { return d.s80_device != nullptr; }

void s80_cells(std::FILE* out, const T_SIL_DEVICE& dev, const T_DISPLAY_OPTIONS&) {
    const T_S80_DEVICE& s80 = *dev.s80_device;
    print_hex(out, s80.serial);
    std::fputs("    ", out);
    print_hex(out, s80.array_wwn);
    std::fprintf(out, "  %s   ", field_text(s80.vendor_id).c_str());
    print_hex(out, s80.port_address);
    std::fputs("   ", out);
    print_hex(out, s80.controller_address);
    std::fputs("\n", out);
}

// ---- Shark, Compaq HSV, NetApp ----

bool is_shark(const T_SIL_DEVICE& d) { return d.is_shark != 0; }
bool has_shark(const T_SIL_DEVICE& d) { return d.shark_device != nullptr; }
bool is_hsv(const T_SIL_DEVICE& d) { return d.is_hsv != 0; }
bool has_hsv(const T_SIL_DEVICE& d) { return d.hsv_device != nullptr; }
bool is_netapp(const T_SIL_DEVICE& d) { return d.is_netapp != 0; }
bool has_netapp(const T_SIL_DEVICE& d) { return d.netapp_device != nullptr; }

void shark_cells(std::FILE* out, const T_SIL_DEVICE& dev, const T_DISPLAY_OPTIONS&) {
    const T_IBM_SHARK_DEVICE& shark = *dev.shark_device;
    std::fprintf(out, "%-16s ", field_text(shark.serial).c_str());
    print_hex_prefix(out, shark.wwn, shark.wwn_len);
    std::fputs("\n", out);
}

void hsv_cells(std::FILE* out, const T_SIL_DEVICE& dev, const T_DISPLAY_OPTIONS&) {
    const T_COMPAQ_HSV_DEVICE& hsv = *dev.hsv_device;
    std::fputs("             ", out);
    print_hex_prefix(out, hsv.wwn, hsv.wwn_len);
    std::fputs("\n", out);
}

void netapp_cells(std::FILE* out, const T_SIL_DEVICE& dev, const T_DISPLAY_OPTIONS&) {
    const T_NETAPP_DEVICE& netapp = *dev.netapp_device;
    std::fprintf(out, "%12s ", field_text(netapp.serial).c_str());
    print_hex_prefix(out, netapp.wwn, netapp.wwn_len);
    std::fputs("\n", out);
}

// The tables. The missing-record line names the failure (the BUG line is for none of them).
T_IDENTITY_TABLE make_table(const char* label, const char* columns, std::size_t dashes,
                            bool (*is_make)(const T_SIL_DEVICE&), bool (*has_record)(const T_SIL_DEVICE&),
                            const char* not_make, const char* missing,
                            void (*cells)(std::FILE*, const T_SIL_DEVICE&, const T_DISPLAY_OPTIONS&)) {
    return T_IDENTITY_TABLE{label, columns, dashes, is_make, has_record, not_make, missing, 0, nullptr, cells};
}

}  // namespace

int do_sw_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list*, const T_DISPLAY_OPTIONS*) {
    std::FILE* out = sil_out();
    const std::string title =
        std::string("StorageWorks Device WWN, Controller and SW ID\n") + kSingleRule + "Device:  %s\n";
    const T_SIL_DEVICE* dev = begin_single(out, list, is_storwrks, has_storwrks,
                                           "Device:  %s is not a Compaq StorageWorks device\n", kStorWrksMissing,
                                           title.c_str());
    if (dev == nullptr) return -1;
    const T_STORWRKS_DEVICE& sw = *dev->storwrks_device;
    std::fprintf(out, "Controller ID:  %-16s\n", field_text(sw.serial).c_str());
    std::fputs("SW ID: ", out);
    print_hex(out, sw.node_id);
    std::fputs("\nLUN WWN: ", out);
    print_hex_prefix(out, sw.wwn, sw.wwn_len);
    std::fputs("\n\n", out);
    return 0;
}

int do_sw_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    return print_identity_table(
        list, cdl, opts,
        make_table("StorageWorks Device", "Controller ID   StorageWorks ID   WWN               ", 66, is_storwrks,
                   has_storwrks, "Device: %s is not a Compaq StorageWorks device\n", kStorWrksMissing,
                   storwrks_cells));
}

int do_hds_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list*, const T_DISPLAY_OPTIONS*) {
    std::FILE* out = sil_out();
    const std::string title =
        std::string("HDS Device WWN, Serial Number, and Array Type\n") + kSingleRule + "Device:  %s\n";
    const T_SIL_DEVICE* dev = begin_single(out, list, is_hds, has_hds, "Device:  %s is not a HDS device\n",
                                           kHdsMissing, title.c_str());
    if (dev == nullptr) return -1;
    const T_HDS_DEVICE& hds = *dev->hds_device;
    std::fprintf(out, "Serial Number:  %-16s\n", field_text(hds.serial).c_str());
    std::fputs("Array WWN: ", out);
    print_hex_prefix(out, hds.wwn, hds.wwn_len);
    std::fprintf(out, "\nArray Type: %s\n", field_text(hds.model_number).c_str());
    std::fprintf(out, "Array Model: %s\n", field_text(hds.model_name).c_str());
    std::fprintf(out, "Device number: %s\n", byte_text(hds.hds_extra).c_str());
    std::fputs("\n\n", out);
    return 0;
}

int do_hds_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    return print_identity_table(
        list, cdl, opts,
        make_table("HDS Device", "Array Serial #   WWN                                       Array Type", 69, is_hds,
                   has_hds, "Device: %s is not a HDS device\n", kHdsMissing, hds_cells));
}

int do_s80_wwn_dev_display(const T_SIL_DEVICE_LIST* list, const create_dev_list*, const T_DISPLAY_OPTIONS*) {
    std::FILE* out = sil_out();
    const std::string title = std::string("S80 Device WWN and Serial Number\n") + kSingleRule + "Device:             %s\n";
    const T_SIL_DEVICE* dev = begin_single(out, list, is_s80, has_s80, "Device:  %s is not a S80 device\n",
                                           kS80Missing, title.c_str());
    if (dev == nullptr) return -1;
    const T_S80_DEVICE& s80 = *dev->s80_device;
    std::fputs("Serial Number:      ", out);
    print_hex(out, s80.serial);
    std::fputs("\nArray WWN:          ", out);
    print_hex(out, s80.array_wwn);
    std::fprintf(out, "\nVendor ID:          %s\n", field_text(s80.vendor_id).c_str());
    std::fputs("Port Address:       ", out);
    print_hex(out, s80.port_address);
    std::fputs("\nController Address: ", out);
    print_hex(out, s80.controller_address);
    std::fputs("\n\n", out);
    return 0;
}

int do_s80_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    return print_identity_table(
        list, cdl, opts,
        make_table("S80 Device", "Array Serial #  Array WWN         Vendor ID  Port Addr  Controller Addr", 70, is_s80,
                   has_s80, "Device: %s is not a S80 device\n", kS80Missing, s80_cells));
}

void do_shark_dev_display(std::FILE* out, const T_SIL_DEVICE_LIST* list) {
    const std::string title = std::string("SHARK Device WWN and Unit Serial Number\n") + kSingleRule + "Device:  %s\n";
    const T_SIL_DEVICE* dev = begin_single(out, list, is_shark, has_shark, "Device:  %s is not a SHARK device\n",
                                           kSharkMissing, title.c_str());
    if (dev == nullptr) return;
    const T_IBM_SHARK_DEVICE& shark = *dev->shark_device;
    std::fprintf(out, "Array Serial Number:  %-16s\n", field_text(shark.serial).c_str());
    std::fprintf(out, "Dev Serial Number:  %-16s\n", field_text(dev->dev_serial).c_str());
    print_array_wwn(out, bytes_of(shark.wwn), shark.wwn_len);
}

void do_compaq_dev_display(std::FILE* out, const T_SIL_DEVICE_LIST* list) {
    const std::string title = std::string("COMPAQ Device WWN and Unit Serial Number\n") + kSingleRule + "Device:  %s\n";
    const T_SIL_DEVICE* dev = begin_single(out, list, is_hsv, has_hsv, "Device:  %s is not a COMPAQ device device\n",
                                           kCompaqMissing, title.c_str());
    if (dev == nullptr) return;
    print_array_wwn(out, bytes_of(dev->hsv_device->wwn), dev->hsv_device->wwn_len);
}

void do_netapp_dev_display(std::FILE* out, const T_SIL_DEVICE_LIST* list) {
    const std::string title = std::string("NETAPP Device WWN and Unit Serial Number\n") + kSingleRule + "Device:  %s\n";
    const T_SIL_DEVICE* dev = begin_single(out, list, is_netapp, has_netapp,
                                           "Device:  %s is not a NETAPP device device\n", kNetappMissing, title.c_str());
    if (dev == nullptr) return;
    const T_NETAPP_DEVICE& netapp = *dev->netapp_device;
    std::fprintf(out, "Serial Number:  %s\n", field_text(netapp.serial).c_str());
    print_array_wwn(out, bytes_of(netapp.wwn), netapp.wwn_len);
}

int do_shark_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    return print_identity_table(list, cdl, opts,
                                make_table("IBM Device", "Unit Serial #        WWN", 45, is_shark, has_shark,
                                           "Device: %s is not an IBM device\n", kSharkMissing, shark_cells));
}

int do_compaq_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    return print_identity_table(list, cdl, opts,
                                make_table("COMPAQ Device", "Unit Serial #        WWN", 45, is_hsv, has_hsv,
                                           "Device: %s is not a COMPAQ device\n", kCompaqMissing, hsv_cells));
}

int do_netapp_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    return print_identity_table(list, cdl, opts,
                                make_table("NETAPP Device", "Unit Serial #        WWN", 45, is_netapp, has_netapp,
                                           "Device: %s is not a NETAPP device\n", kNetappMissing, netapp_cells));
}
