// The display filter every list-wide report asks about each device.
#include "inquiry.h"
#include "sil/silkorinq.h"

namespace {

bool has_inquiry(const T_SIL_DEVICE& dev) { return dev.inquiry == 1; }

bool is_ckd(const T_SIL_DEVICE& dev) {
    return has_inquiry(dev) && dev.inquiry_data != nullptr &&
           (dev.inquiry_data->device_flags & KOR_FLAG_CKD) != 0;
}

// The rules in order; true as soon as one hides the device.
bool hidden(const T_SIL_DEVICE& dev, const T_DISPLAY_OPTIONS& o) {
    if (o.require_data && dev.inquiry != 1 && dev.cap_state != 1) return true;
    if (o.korvvol_given &&
        (!has_inquiry(dev) || !dev.is_XMV_device || dev.korv_dev_num != o.korvvol))
        return true;
    if (o.f_xmv && !dev.is_XMV_device) return true;
    if (o.f_vantrel && !dev.has_vantrel_label && !dev.is_ivantrel) return true;
    if (o.f_dravonis && !dev.is_drav) return true;
    if ((o.f_storwrks && !dev.is_storwrks) || (o.f_hds && !dev.is_hds) ||
        (o.f_shark && !dev.is_shark) || (o.f_compaq && !dev.is_hsv) ||
        (o.f_netapp && !dev.is_netapp) || (o.f_s80 && !dev.is_s80) ||
        (o.f_olvessa && !dev.is_olvessa))
        return true;
    if (o.f_ckd && (!dev.is_XMV_device || !is_ckd(dev))) return true;
    if (o.f_strandway && dev.mp_state != SIL_DEV_PARENT) return true;
    if (o.f_pseudo && dev.native_state != SIL_DEV_PARENT) return true;
    if (o.f_real && (dev.native_state == SIL_DEV_PARENT || dev.mp_state == SIL_DEV_PARENT))
        return true;
    if (o.f_4k && dev.korv_dev_num >= 4096) return true;
    if (o.f_size && (dev.cap_state != 1 || dev.cap == 0 || dev.cap > o.size_limit_kb)) return true;
    if (o.filter_sid && (!has_inquiry(dev) || !dev.is_XMV_device ||
                         inq_field_text(dev.korid) != inq_field_text(o.sid_wwn)))
        return true;
    if (o.nice_name && !dev.is_XMV_device && !dev.is_drav) return true;
    return false;
}

}  // namespace

int filter_device(const T_SIL_DEVICE* dev, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    if (opts->no_filters) return 0;
    return hidden(*dev, *opts) ? 1 : 0;
}
