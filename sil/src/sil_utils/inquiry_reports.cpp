// Run-flow reports: the mode dispatch, the AS/400 header, the single-device Shark/Compaq/NetApp reports.
#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "inquiry.h"
#include "inquiry_identity.h"
#include "inquiry_tables.h"
#include "sil/sillib.h"
#include "sil/silvendor.h"

namespace {

// This file's name without its directories, for the BUG lines.
constexpr const char* source_file_name() {
    std::string_view path = __FILE__;
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? __FILE__ : __FILE__ + slash + 1;
}

#define REPORT_BUG(out) std::fprintf((out), "BUG(%s:%d)\n", source_file_name(), __LINE__)

template <std::size_t N>
std::string text(const char (&field)[N]) {
    return std::string(inq_field_text(field));
}

// The one device a -dev run lists, or nullptr.
const T_SIL_DEVICE* single_device(const T_SIL_DEVICE_LIST* list) {
    if (list == nullptr || list->devices == nullptr || list->count < 1) return nullptr;
    return list->devices[0];
}

// "Array WWN: " and the first `length` bytes (never more than the field holds).
void print_array_wwn(std::FILE* out, std::span<const std::uint8_t> wwn, std::size_t length) {
    std::fputs("Array WWN: ", out);
    for (std::uint8_t byte : wwn.first(std::min(length, wwn.size()))) std::fprintf(out, "%02x", byte);
    std::fputs("\n\n", out);
}

// The two lines a single-device identity report may start with; each takes the device name.
struct IdentityFormats {
    const char* not_make;
    const char* heading;
};

constexpr IdentityFormats kSharkFormats = {
    "Device:  %s is not a SHARK device\n",
    "SHARK Device WWN and Unit Serial Number\n"
    "---------------------------------------------------\nDevice:  %s\n"};
constexpr IdentityFormats kCompaqFormats = {
    "Device:  %s is not a COMPAQ device device\n",
    "COMPAQ Device WWN and Unit Serial Number\n"
    "---------------------------------------------------\nDevice:  %s\n"};
constexpr IdentityFormats kNetappFormats = {
    "Device:  %s is not a NETAPP device device\n",
    "NETAPP Device WWN and Unit Serial Number\n"
    "---------------------------------------------------\nDevice:  %s\n"};

// Starts a single-device identity report: the "not a" line when the device is of another make, the
// BUG line when its make's record is missing, else the heading. Returns whether the report goes on.
bool begin_identity_report(std::FILE* out, const T_SIL_DEVICE& dev, bool is_make,
                           bool has_record, const IdentityFormats& formats) {
    if (is_make && !has_record) {
        REPORT_BUG(out);
        return false;
    }
    std::fprintf(out, is_make ? formats.heading : formats.not_make, text(dev.name).c_str());
    return is_make;
}

}  // namespace

void do_as400_display(std::FILE* out) {
    const std::string rule(113, '-');
    std::fprintf(out, "\n%s\n", rule.c_str());
    std::fputs("DEVICE          SERIAL #       RESOURCE  UNIT      ASP       TYPE     MODEL      STATUS"
               "        CAP(kb)   BLKSIZE#\n",
               out);
    std::fprintf(out, "%s\n", rule.c_str());
}

void do_shark_dev_display(std::FILE* out, const T_SIL_DEVICE_LIST* list) {
    const T_SIL_DEVICE* dev = single_device(list);
    if (dev == nullptr) return;
    const T_IBM_SHARK_DEVICE* shark = dev->shark_device;
    if (!begin_identity_report(out, *dev, dev->is_shark, shark != nullptr, kSharkFormats))
        return;
    std::fprintf(out, "Array Serial Number:  %-16s\n", text(shark->serial).c_str());
    std::fprintf(out, "Dev Serial Number:  %-16s\n", text(dev->dev_serial).c_str());
    print_array_wwn(out, shark->wwn, shark->wwn_len);
}

void do_compaq_dev_display(std::FILE* out, const T_SIL_DEVICE_LIST* list) {
    const T_SIL_DEVICE* dev = single_device(list);
    if (dev == nullptr) return;
    const T_COMPAQ_HSV_DEVICE* hsv = dev->hsv_device;
    if (!begin_identity_report(out, *dev, dev->is_hsv, hsv != nullptr, kCompaqFormats))
        return;
    print_array_wwn(out, hsv->wwn, hsv->wwn_len);
}

void do_netapp_dev_display(std::FILE* out, const T_SIL_DEVICE_LIST* list) {
    const T_SIL_DEVICE* dev = single_device(list);
    if (dev == nullptr) return;
    const T_NETAPP_DEVICE* netapp = dev->netapp_device;
    if (!begin_identity_report(out, *dev, dev->is_netapp, netapp != nullptr, kNetappFormats))
        return;
    std::fprintf(out, "Serial Number:  %s\n", text(netapp->serial).c_str());
    print_array_wwn(out, netapp->wwn, netapp->wwn_len);
}

// Temporary: prints nothing until the HBA API libraries can be loaded; filled in when the HBA API
// arrives.
int do_snia_test_display(std::FILE* out, std::uint32_t flags) { return 0; }

int run_display(const T_INQ_LISTS* lists, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    std::FILE* out = sil_out();
    const bool single = opts->dev_given != 0;
    switch (opts->display_mode) {
        case INQ_MODE_AS400:
            do_as400_display(out);
            break;
        case INQ_MODE_SHARK_WWN:
            if (single) {
                do_shark_dev_display(out, &lists->devices);
                break;
            }
            return do_shark_wwn_display(&lists->devices, cdl, opts);
        case INQ_MODE_COMPAQ_WWN:
            if (single) {
                do_compaq_dev_display(out, &lists->devices);
                break;
            }
            return do_compaq_wwn_display(&lists->devices, cdl, opts);
        case INQ_MODE_NETAPP_WWN:
            if (single) {
                do_netapp_dev_display(out, &lists->devices);
                break;
            }
            return do_netapp_wwn_display(&lists->devices, cdl, opts);
        case INQ_MODE_DRAV_WWN:
            if (opts->drav_file_given) return do_drav_file_display(&lists->devices, cdl, opts);
            return single ? do_drav_wwn_dev_display(&lists->devices, cdl, opts)
                          : do_drav_wwn_display(&lists->devices, cdl, opts);
        case INQ_MODE_SW_WWN:
            return single ? do_sw_wwn_dev_display(&lists->devices, cdl, opts)
                          : do_sw_wwn_display(&lists->devices, cdl, opts);
        case INQ_MODE_HDS_WWN:
            return single ? do_hds_wwn_dev_display(&lists->devices, cdl, opts)
                          : do_hds_wwn_display(&lists->devices, cdl, opts);
        case INQ_MODE_S80_WWN:
            return single ? do_s80_wwn_dev_display(&lists->devices, cdl, opts)
                          : do_s80_wwn_display(&lists->devices, cdl, opts);
        case INQ_MODE_OLVESSA_WWN:
            return single ? do_olvessa_wwn_dev_display(&lists->devices, cdl, opts)
                          : do_olvessa_wwn_display(&lists->devices, cdl, opts);
        case INQ_MODE_KOR_WWN:
            return single ? do_kor_wwn_dev_display(&lists->devices, cdl, opts)
                          : do_kor_wwn_display(&lists->devices, cdl, opts);
        case INQ_MODE_IDENTIFIER:
            return do_identifier_display(&lists->devices, cdl, opts);
        case INQ_MODE_PAGE0:
            return do_page0_display(&lists->devices, cdl, opts);
        case INQ_MODE_PAGE:
            return do_page_display(&lists->devices, cdl, opts);
        case INQ_MODE_PAGEC0:
            return do_page_c0_display(&lists->devices, cdl, opts);
        case INQ_MODE_GEOMETRY:
            return do_geometry_display(&lists->devices, cdl, opts);
        case INQ_MODE_SPC2:
            return do_spc2_display(&lists->devices, cdl, opts);
        case INQ_MODE_DEFAULT:
            return do_default_display(&lists->devices, cdl, opts);
        case INQ_MODE_ALL:
            return do_all_display(&lists->devices, cdl, opts);
        case INQ_MODE_PARENT:
            return do_parent_display(&lists->devices, cdl, opts);
        case INQ_MODE_ET:
            return do_et_display(&lists->devices, cdl, opts);
        case INQ_MODE_CKD:
            return do_ckd_display(&lists->devices, cdl, opts);
        case INQ_MODE_SIL:
            return do_sil_display(&lists->devices, cdl, opts);
        case INQ_MODE_GK:
            return do_gk_display(&lists->devices, cdl, opts);
        case INQ_MODE_CONNECTIONS:
            return do_connections_display(&lists->devices, cdl, opts);
        default:
            if (opts->display_mode > INQ_MODE_LAST) {
                std::fputs("ERROR: display not supported\n", stderr);
                return -1;
            }
            // The adapter, target-mapping and WWN reports print nothing yet; filled in when the
            // adapter work arrives.
            break;
    }
    return 0;
}

void run_rpx_display(const T_SIL_DEVICE_LIST* list, const T_SIL_RPX_INFO* info,
                     const T_DISPLAY_OPTIONS* opts) {
    switch (opts->rpx_mode) {
        case INQ_RPX_PING:
        case INQ_RPX_LIST:
        case INQ_RPX_XML:
        case INQ_RPX_RAW:
            // Filled in when the replication displays arrive.
            break;
        default:
            std::fputs("Internal Error: Bad display option\n", stderr);
            break;
    }
}
