// The compact tables: -sil (do_sil_display), -connections (do_connections_display), -gk (do_gk_display) and -parent (do_parent_display).
#include <cstdio>
#include <string>

#include "inquiry_tables.h"
#include "inquiry_tables_vocab.h"
#include "sil/sillib.h"

namespace {

// Vendor (first three characters), revision, director and array serial: the cells -sil and
// -connections share.
struct ConnectionCells {
    std::string vendor = "------";
    std::string revision = "----";
    std::string director = " - ";
    std::string array_serial = " ---------";
};

void fill_connection_identity(const T_SIL_DEVICE& dev, ConnectionCells& cells) {
    if (const KOR_INQ_PAGE0* inq = valid_inquiry(dev)) {
        cells.vendor = first_chars(field_text(inq->vendor), 3);
        cells.revision = field_text(inq->revision);
    }
}

void fill_connection_array(const T_SIL_DEVICE& dev, ConnectionCells& cells) {
    cells.director = korv_director_cell(dev);
    cells.array_serial = field_text(dev.korid);
}

// The seven property flags of the -sil table; a position whose condition fails stays blank.
std::string sil_properties(const KOR_INQ_PAGE0& inq) {
    std::string p(7, ' ');
    if (inq.device_flags & KOR_FLAG_BCV) p[0] = 'B';
    p[1] = *korv_rpx_cell(inq, "1", "2", " ");
    if (inq.device_flags & KOR_FLAG_CKD) p[2] = 'C';
    switch (korv_attachment(inq)) {
        case T_KORV_ATTACHMENT::fibre: p[3] = 'F'; break;
        case T_KORV_ATTACHMENT::ultra_scsi: p[3] = 'U'; break;
        default: break;
    }
    if (korv_shared(inq)) p[4] = 'S';
    if (korv_meta(inq)) p[5] = 'M';
    const T_KORV_PROTECTION protection = korv_protection(inq);
    const bool raid = protection.raid != T_KORV_RAID::none;
    p[6] = raid && protection.mirrored ? 'B' : raid ? 'R' : protection.mirrored ? 'M' : 'U';
    return p;
}

}  // namespace

int do_sil_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                   const T_DISPLAY_OPTIONS* opts) {
    std::FILE* out = sil_out();
    const std::size_t width = device_name_width(list);
    const std::string name_rule = dashes(width);
    std::fputs("\n"
               "       0 = BCV\n"
               "       1 = RPX Group\n"
               "       2 = CKD\n"
               "       3 = Fibre/Ultra\n"
               "       4 = Shared\n"
               "       5 = Meta\n"
               "       6 = Raid/Mirrored/Both/Unprotected\n",
               out);
    std::fprintf(out, "%s------------------------------------------------------------------\n",
                 name_rule.c_str());
    std::fprintf(out, "%s:VND :REV : Vol: Dir:Properties: BTLLW:CAP(KB)  :BlkSz: KorvSerial#\n",
                 padded_name("DEVICE", width).c_str());
    std::fprintf(out, "%s---------------------0123456---------------------------------------\n",
                 name_rule.c_str());

    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) {
        ConnectionCells cells;
        std::string volume = " - ";
        std::string properties(7, ' ');
        fill_connection_identity(dev, cells);
        if (const KOR_INQ_PAGE0* inq = valid_inquiry(dev); inq != nullptr && dev.is_XMV_device != 0) {
            properties = sil_properties(*inq);
            fill_connection_array(dev, cells);
            volume = sil_format("%4x", dev.korv_dev_num);
        }
        // 512-byte blocks are the norm; only other sizes are worth a number.
        const T_CAPACITY_CELLS size = capacity_and_block_cells(dev, true);
        const std::string bus = (dev.btl_valid & SIL_BTL_BUS) ? sil_format("%x", dev.bus) : "-";
        const std::string tid = (dev.btl_valid & SIL_BTL_TID) ? sil_format("%x", dev.tid) : "-";
        const std::string lun = (dev.btl_valid & SIL_BTL_LUN) ? sil_format("%02x", dev.lun) : "-";
        const char* mark = (dev.btl_valid & SIL_BTL_X) ? "X" : " ";
        std::fprintf(out, "%s:%-3s:%-5s:%-3s %-4s %-10s: %s%s%s%s:%9s:%5s:%-12s\n",
                     padded_name(inq_field_text(dev.name), width).c_str(), cells.vendor.c_str(),
                     cells.revision.c_str(), volume.c_str(), cells.director.c_str(),
                     properties.c_str(), bus.c_str(), tid.c_str(), lun.c_str(), mark,
                     size.capacity.c_str(), size.block_size.c_str(), cells.array_serial.c_str());
    });
    return 0;
}

int do_connections_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                           const T_DISPLAY_OPTIONS* opts) {
    std::FILE* out = sil_out();
    const std::size_t width = device_name_width(list);
    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) {
        ConnectionCells cells;
        fill_connection_identity(dev, cells);
        if (dev.is_XMV_device != 0) fill_connection_array(dev, cells);
        std::fprintf(out, "%s : %-3s : %-5s : %-4s : %-12s\n",
                     padded_name(inq_field_text(dev.name), width).c_str(), cells.vendor.c_str(),
                     cells.revision.c_str(), cells.director.c_str(), cells.array_serial.c_str());
    });
    return 0;
}

int do_gk_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                  const T_DISPLAY_OPTIONS* opts) {
    std::FILE* out = sil_out();
    const std::string rule = dashes(77);
    std::fprintf(out, "\n%s\n", rule.c_str());
    std::fputs("DEVICE             : GK :VEND    :PROD            :REV   :SER NUM    :CAP(kb)\n", out);
    std::fprintf(out, "%s\n", rule.c_str());

    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) {
        std::string vendor = "----";
        std::string product = "----";
        std::string revision = "----";
        std::string serial = "----";
        if (const KOR_INQ_PAGE0* inq = valid_inquiry(dev)) {
            vendor = field_text(inq->vendor);
            product = field_text(inq->product);
            revision = field_text(inq->revision);
            serial = inquiry_serial_text(*inq);
            replace_virtual_serial(dev, serial);
        }
        // A gatekeeper is a device that carried the buffer commands array system calls travel in.
        const char* gatekeeper = (dev.io_ok_flags & SIL_IO_OK_BUFFER) ? "(GK)" : "    ";
        std::fprintf(out, "%-17s:%-4s:%-8s:%-16s:%-6s:%-11s:%7s\n", field_text(dev.name).c_str(),
                     gatekeeper, vendor.c_str(), product.c_str(), revision.c_str(), serial.c_str(),
                     capacity_cell(dev, " ----- ").c_str());
    });
    return 0;
}

namespace {

const char* relation_state_name(std::uint16_t state) {
    switch (state) {
        case SIL_DEV_PARENT: return "SIL_DEV_PARENT";
        case SIL_DEV_CHILD: return "SIL_DEV_CHILD";
        case SIL_DEV_SIBLING: return "SIL_DEV_SIBLING";
        case SIL_DEV_ORPHAN: return "SIL_DEV_ORPHAN";
        default: return "------";
    }
}

}  // namespace

int do_parent_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                      const T_DISPLAY_OPTIONS* opts) {
    std::FILE* out = sil_out();
    const std::string rule = dashes(168);
    std::fprintf(out, "\n%s\n", rule.c_str());
    std::fputs("DEVICE                    :     MP State      :   Strandway Relation       :   Native State"
               "    :    Native Relation    :   Veritas State   :     Veritas Relation       \n",
               out);
    std::fprintf(out, "%s\n", rule.c_str());

    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) {
        std::fprintf(out, "%-25s :  %-16s : %-25s  :  %-16s : %-25s : %-16s : %-25s\n",
                     field_text(dev.name).c_str(), relation_state_name(dev.mp_state),
                     field_text(dev.mp_relation).c_str(), relation_state_name(dev.native_state),
                     field_text(dev.native_relation).c_str(),
                     relation_state_name(dev.veritas_state),
                     field_text(dev.veritas_relation).c_str());
    });
    return 0;
}
