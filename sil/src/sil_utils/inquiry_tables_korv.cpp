// The tables of the high-end array's vendor bytes: -all (do_all_display), -et (do_et_display) and -ckd (do_ckd_display).
#include <cstdio>
#include <string>

#include "inquiry_tables.h"
#include "inquiry_tables_vocab.h"
#include "sil/sillib.h"

namespace {

// The attachment cell: "FIBRE" or "ULTRA"; -et goes on to "ISCSI"; `other` for the rest.
const char* attachment(const KOR_INQ_PAGE0& inq, bool with_iscsi, const char* other) {
    switch (korv_attachment(inq)) {
        case T_KORV_ATTACHMENT::fibre: return "FIBRE";
        case T_KORV_ATTACHMENT::ultra_scsi: return "ULTRA";
        case T_KORV_ATTACHMENT::iscsi: return with_iscsi ? "ISCSI" : other;
        case T_KORV_ATTACHMENT::other: break;
    }
    return other;
}

// The vendor, product and revision cells, read at their fixed lengths.
struct IdentityCells {
    std::string vendor;
    std::string product;
    std::string revision;
};

IdentityCells identity_cells(const KOR_INQ_PAGE0& inq) {
    return IdentityCells{field_text(inq.vendor), field_text(inq.product), field_text(inq.revision)};
}

}  // namespace

int do_all_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                   const T_DISPLAY_OPTIONS* opts) {
    std::FILE* out = sil_out();
    const std::string rule = dashes(130);
    std::fprintf(out, "%s\n", rule.c_str());
    std::fputs("DEVICE             :SERIAL # :VEND    :PROD      :MODEL :REV  :BCV?:R? :CKD?:SM? :CAP(KB)"
               "   :BLKSZ:FC/UL?:PROTECTION  :KORV SERIAL#\n",
               out);
    std::fprintf(out, "%s\n", rule.c_str());

    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) {
        std::string serial = "--------";
        IdentityCells id{"------", "--------", "----"};
        std::string model = "-----";
        std::string bcv = "---";
        std::string rpx = "--";
        std::string ckd = "---";
        std::string share_meta = "---";
        std::string attached = " ---- ";
        std::string protection = "-------";
        std::string array_serial = " --------";

        if (const KOR_INQ_PAGE0* inq = valid_inquiry(dev)) {
            id = identity_cells(*inq);
            id.product = first_chars(id.product, 9);
            serial = inquiry_serial_text(*inq);
            replace_virtual_serial(dev, serial);
            if (dev.is_XMV_device != 0) {
                bcv = (inq->device_flags & KOR_FLAG_BCV) ? "BCV" : "   ";
                rpx = korv_rpx_cell(*inq, "R1", "R2", "   ");
                ckd = (inq->device_flags & KOR_FLAG_CKD) ? "CKD" : "   ";
                attached = attachment(*inq, false, "   ");
                share_meta = korv_share_meta(*inq, 4);
                model = korv_model_name(dev.korv_model, KORV_MODEL_NEWEST_IN_ALL);
                protection = korv_protection_name(*inq, RpxSuffixOrder::mirrored_first);
                array_serial = first_chars(field_text(dev.korid), 12);
                // An array serial that starts "00" is shown without its leading zeros.
                if (array_serial.size() >= 2 && array_serial[0] == '0' && array_serial[1] == '0')
                    array_serial.replace(0, 2, "  ");
            }
        }
        const T_CAPACITY_CELLS size = capacity_and_block_cells(dev, false);
        std::fprintf(out,
                     "%-19s:%-9s:%-8s:%-10s:%-6s:%-5s:%-4s:%-3s:%-4s:%-4s:%-10s:%-5s:%-6s:%-12s:%-12s\n",
                     field_text(dev.name).c_str(), serial.c_str(), id.vendor.c_str(),
                     id.product.c_str(), model.c_str(), id.revision.c_str(), bcv.c_str(), rpx.c_str(),
                     ckd.c_str(), share_meta.c_str(), size.capacity.c_str(), size.block_size.c_str(),
                     attached.c_str(), protection.c_str(), array_serial.c_str());
    });
    return 0;
}

namespace {

// The heading of the -et table; -compat keeps the serial column two narrower.
void print_et_heading(std::FILE* out, bool compat) {
    const std::string rule = dashes(compat ? 111 : 113);
    std::fprintf(out, "%s\n", rule.c_str());
    if (compat) {
        std::fputs("RAW                    SERIAL    BCV/   R1/    CKD/    FIBRE/ SHARE/ KORV   DEVICE                     UDATE   \n"
                   "DEVICE NAME            NUMBER    REG?   R2?    FBA?    ULTRA/ META   MODEL  PROTECTION   WD? DIR-P  (YYYYMMDD) \n"
                   "                                                       ISCSI? \n",
                   out);
    } else {
        std::fputs("RAW                    SERIAL      BCV/   R1/    CKD/    FIBRE/ SHARE/ KORV   DEVICE                     UDATE   \n"
                   "DEVICE NAME            NUMBER      REG?   R2?    FBA?    ULTRA/ META   MODEL  PROTECTION   WD? DIR-P  (YYYYMMDD) \n"
                   "                                                         ISCSI? \n",
                   out);
    }
    std::fprintf(out, "%s\n", rule.c_str());
}

}  // namespace

int do_et_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                  const T_DISPLAY_OPTIONS* opts) {
    if (opts == nullptr) return 0;
    std::FILE* out = sil_out();
    const bool compat = opts->compat != 0;
    print_et_heading(out, compat);

    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) {
        std::string serial = "----";
        std::string bcv = "---";
        std::string rpx = "---";
        std::string ckd = "----";
        std::string attached = "----";
        std::string share_meta = "   ";
        std::string model = "----";
        std::string protection = "----";
        std::string write_protect = "  ";
        std::string director_port = "----";
        std::string ucode_date = "   ----";

        if (const KOR_INQ_PAGE0* inq = valid_inquiry(dev)) {
            serial = compat ? inquiry_serial_text(*inq) : field_text(dev.dev_serial);
            bcv = (inq->device_flags & KOR_FLAG_BCV) ? "BCV" : "REG";
            rpx = korv_rpx_cell(*inq, "R1", "R2", "N/A");
            ckd = (inq->device_flags & KOR_FLAG_CKD) ? "CKD" : "FBA";
            attached = attachment(*inq, true, "N/A");
            share_meta = korv_share_meta(*inq, 3);
            model = korv_model_name(dev.korv_model, KORV_MODEL_NEWEST);
            protection = korv_protection_name(*inq, RpxSuffixOrder::vraid_first);
            if (inq->device_flags & KOR_FLAG_WRITE_PROTECTED) write_protect = "WP";
            director_port = korv_et_director_cell(*inq);
            ucode_date = sil_format("%x", dev.ucode_date);
        }
        std::fprintf(out,
                     compat ? "%-22s:%-9s:%-6s:%-6s:%-7s:%-6s:%-6s:%-6s:%-12s:%-3s:%-7s:%-9s\n"
                            : "%-22s:%-11s:%-6s:%-6s:%-7s:%-6s:%-6s:%-6s:%-12s:%-3s:%-7s:%-9s\n",
                     field_text(dev.name).c_str(), serial.c_str(), bcv.c_str(), rpx.c_str(),
                     ckd.c_str(), attached.c_str(), share_meta.c_str(), model.c_str(),
                     protection.c_str(), write_protect.c_str(), director_port.c_str(),
                     ucode_date.c_str());
    });
    return 0;
}

int do_ckd_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                   const T_DISPLAY_OPTIONS* opts) {
    std::FILE* out = sil_out();
    const std::string rule = dashes(77);
    std::fprintf(out, "%s\n", rule.c_str());
    std::fputs("DEVICE                 :CKD DEV :LABEL  :VEND    :REV   :SER NUM    :CAP(kb) \n", out);
    std::fprintf(out, "%s\n", rule.c_str());

    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) {
        std::string ckd_dev = "---";
        std::string label = "------";
        std::string vendor = "--------";
        std::string revision = "----";
        std::string serial = "-------------";
        if (const KOR_INQ_PAGE0* inq = valid_inquiry(dev)) {
            vendor = field_text(inq->vendor);
            revision = field_text(inq->revision);
            serial = inquiry_serial_text(*inq);
            if (dev.is_XMV_device != 0 || is_korv_backed_virtual(dev)) {
                ckd_dev = "NO";
                if (inq->device_flags & KOR_FLAG_CKD) {
                    ckd_dev = "YES";
                    label = korv_ckd_label(*inq);
                }
            }
        }
        // The 32-bit KB count, whatever READ CAPACITY said; sizes past 2 TB print negative as
        // they always have.
        std::fprintf(out, "%-23s:%-8s:%-7s:%-8s:%-6s:%11s:%8d\n", field_text(dev.name).c_str(),
                     ckd_dev.c_str(), label.c_str(), vendor.c_str(), revision.c_str(),
                     serial.c_str(), static_cast<int>(dev.cap));
    });
    return 0;
}
