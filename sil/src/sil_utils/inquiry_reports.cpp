// Run-flow reports: the mode dispatch, the replication report dispatch and the AS/400 header.
#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "inquiry.h"
#include "inquiry_hba.h"
#include "inquiry_identity.h"
#include "inquiry_tables.h"
#include "sil/sillib.h"
#include "sil/silvendor.h"

void do_as400_display(std::FILE* out) {
    const std::string rule(113, '-');
    std::fprintf(out, "\n%s\n", rule.c_str());
    std::fputs("DEVICE          SERIAL #       RESOURCE  UNIT      ASP       TYPE     MODEL      STATUS"
               "        CAP(kb)   BLKSIZE#\n",
               out);
    std::fprintf(out, "%s\n", rule.c_str());
}

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
        case INQ_MODE_HBA:
            return do_hba_display(stdout, &lists->hbas);
        case INQ_MODE_ISCSI:
            return do_iscsi_display(stdout, &lists->iscsis);
        case INQ_MODE_MAPINFO:
            return do_mapinfo_display(&lists->devices, &lists->hbas, opts);
        case INQ_MODE_WWN:
            return do_wwn_display(&lists->devices, cdl, opts);
        default:
            if (opts->display_mode > INQ_MODE_LAST) {
                std::fputs("ERROR: display not supported\n", stderr);
                return -1;
            }
            break;
    }
    return 0;
}

void run_rpx_display(const T_SIL_DEVICE_LIST* list, const T_SIL_RPX_INFO* info,
                     const T_DISPLAY_OPTIONS* opts) {
    std::FILE* out = sil_out();
    const T_SIL_RPX_INFO none{};
    const T_SIL_RPX_INFO& picture = info != nullptr ? *info : none;
    switch (opts->rpx_mode) {
        case INQ_RPX_PING:
            do_rpx_ping_display(out, picture);
            break;
        case INQ_RPX_LIST:
            do_rpx_list_display(out, list, picture);
            break;
        case INQ_RPX_XML:
            do_rpx_xml_display(out, list, picture);
            break;
        case INQ_RPX_RAW:
            do_rpx_raw_display(out, picture);
            break;
        default:
            std::fputs("Internal Error: Bad display option\n", stderr);
            break;
    }
}
