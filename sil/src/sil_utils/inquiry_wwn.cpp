// The WWN table (-wwn) and the target-mapping table (-mapinfo): where each device sits in the storage network.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "inquiry_hba.h"
#include "inquiry_tables_vocab.h"
#include "sil/sillib.h"
#include "sil/silvendor.h"

namespace {

// A WWN cell longer than this is not shown.
constexpr std::size_t kWwnTextMax = 255;
// -wwn's name column is at least this wide before its one blank.
constexpr std::size_t kWwnNameMin = 16;
constexpr std::size_t kMapinfoRule = 152;
constexpr std::size_t kParentMax = 49;
constexpr std::size_t kMapinfoProductChars = 9;
const std::string kNotAvailable = "N/A";

std::string hex_text(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) text += sil_format("%02x", byte);
    return text;
}

std::string wwn_text(std::span<const std::uint8_t> bytes) {
    std::string text = hex_text(bytes);
    return text.size() > kWwnTextMax ? kNotAvailable : text;
}

// The first `claimed` bytes of a WWN field. Records carry the length their device gave; it is
// never allowed to reach past the field.
template <std::size_t N>
std::span<const std::uint8_t> field_prefix(const std::uint8_t (&field)[N], std::size_t claimed) {
    return std::span<const std::uint8_t>(field, std::min(claimed, N));
}

// The make's record decides; a make flag without its record has no WWN to show.
template <class Record, class Bytes>
std::string record_wwn(const Record* record, Bytes bytes_of) {
    return record == nullptr ? kNotAvailable : wwn_text(bytes_of(*record));
}

}  // namespace

std::string device_wwn_text(const T_SIL_DEVICE& d) {
    auto lun_wwn = [](const T_DRAVONIS_DEVICE& r) { return std::span<const std::uint8_t>(r.lun_wwn); };
    auto sized_wwn = [](const auto& r) { return field_prefix(r.wwn, r.wwn_len); };
    if (d.is_drav) return record_wwn(d.drav_device, lun_wwn);
    if (d.is_XMV_device) return wwn_text(d.wwn);
    if (d.is_olvessa) return record_wwn(d.olvessa_device, lun_wwn);
    if (d.is_storwrks) return record_wwn(d.storwrks_device, sized_wwn);
    if (d.is_hds) return record_wwn(d.hds_device, sized_wwn);
    if (d.is_shark) return record_wwn(d.shark_device, sized_wwn);
    if (d.is_s80)
        return record_wwn(d.s80_device, [](const T_S80_DEVICE& r) { return std::span<const std::uint8_t>(r.array_wwn); });
    if (d.is_ivantrel)
        return record_wwn(d.ivantrel_device, [](const T_IVANTREL_DEVICE& r) { return std::span<const std::uint8_t>(r.lun_wwn); });
    if (d.is_hsv) return record_wwn(d.hsv_device, sized_wwn);
    if (d.is_netapp) return record_wwn(d.netapp_device, sized_wwn);
    if (d.tp_storage_device != nullptr) return wwn_text(sized_wwn(*d.tp_storage_device));
    return kNotAvailable;
}

namespace {

// `claimed` characters of a serial field, never past the field nor its first NUL.
template <class Char, std::size_t N>
std::string serial_prefix(const Char (&field)[N], std::size_t claimed) {
    const Char* end = std::find(field, field + std::min(claimed, N), Char{0});
    return std::string(field, end);
}

}  // namespace

std::string device_array_serial_text(const T_SIL_DEVICE& d) {
    std::string serial = kNotAvailable;
    if (d.is_XMV_device)
        serial = field_text(d.korid);
    else if (d.drav_device != nullptr)
        serial = serial_prefix(d.drav_device->array_serial, d.drav_device->array_serial_len);
    else if (d.olvessa_device != nullptr)
        serial = serial_prefix(d.olvessa_device->array_serial, d.olvessa_device->array_serial_len);
    else if (d.storwrks_device != nullptr)
        serial = serial_prefix(d.storwrks_device->serial, d.storwrks_device->serial_len);
    else if (d.s80_device != nullptr)
        // Binary bytes, not text: shown in hex as the S80 identity report shows them, so the
        // table never carries control characters or stops at a zero byte.
        serial = hex_text(std::span<const std::uint8_t>(d.s80_device->serial));
    else if (d.netapp_device != nullptr)
        serial = serial_prefix(d.netapp_device->serial, d.netapp_device->serial_len);
    else if (d.hds_device != nullptr)
        serial = serial_prefix(d.hds_device->serial, d.hds_device->serial_len);
    else if (d.shark_device != nullptr)
        serial = serial_prefix(d.shark_device->serial, 8);
    else if (d.ivantrel_device != nullptr)
        serial = serial_prefix(d.ivantrel_device->serial_num, d.ivantrel_device->serial_len);
    replace_virtual_serial(d, serial);
    return serial;
}

namespace {

std::string mapinfo_capacity(const T_SIL_DEVICE& d) {
    if (d.cap_state == 1) return sil_format("%8" PRId64, capacity_kb(d));
    if (d.cap_state == 2) return " FAILED";
    return " N/A";
}

struct PortCells {
    std::string hba_port = kNotAvailable;
    std::string target_port = kNotAvailable;
};

PortCells mapinfo_ports(const T_SIL_HBA_LIST* hbas, const T_SIL_DEVICE& d) {
    T_SIL_HBA_TARGET_LOOKUP lookup{};
    const std::string_view name = inq_field_text(d.name);
    std::memcpy(lookup.device_name, name.data(), std::min(name.size(), sizeof lookup.device_name - 1));
    std::memcpy(lookup.device_wwn, d.wwn, sizeof d.wwn);
    lookup.device_wwn_len = sizeof d.wwn;
    lookup.bus = d.bus;
    lookup.target = d.tid;
    lookup.lun = d.lun;
    PortCells cells;
    if (hbas != nullptr && SIL_LookupTargetMapping(hbas, &lookup) == 0) {
        cells.hba_port = hex_text(lookup.hba_port_wwn);
        cells.target_port = hex_text(lookup.target_port_wwn);
    }
    return cells;
}

std::string parent_cell(const T_SIL_DEVICE& d) {
    if (d.mp_state == SIL_DEV_CHILD) return first_chars(field_text(d.mp_relation), kParentMax);
    if (d.veritas_state == SIL_DEV_CHILD) return first_chars(field_text(d.veritas_relation), kParentMax);
    return kNotAvailable;
}

}  // namespace

int do_wwn_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    if (opts == nullptr) return 0;
    std::FILE* out = sil_out();
    const std::size_t width = std::max(device_name_width(list), kWwnNameMin + 1);
    const std::string rule = dashes(width + 59);
    std::fprintf(out, "\n%s\n%s:VEND    :PROD            :WWN \n%s\n", rule.c_str(),
                 padded_name("DEVICE", width).c_str(), rule.c_str());
    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) {
        const KOR_INQ_PAGE0* inq = valid_inquiry(dev);
        if (inq == nullptr) return;
        std::fprintf(out, "%s:%-8s:%-16s:%s\n", padded_name(inq_field_text(dev.name), width).c_str(),
                     field_text(inq->vendor).c_str(), field_text(inq->product).c_str(), device_wwn_text(dev).c_str());
    });
    return 0;
}

int do_mapinfo_display(const T_SIL_DEVICE_LIST* list, const T_SIL_HBA_LIST* hbas, const T_DISPLAY_OPTIONS* opts) {
    do_hba_display(stdout, hbas);
    std::FILE* out = sil_out();
    const std::string rule = dashes(kMapinfoRule);
    std::fprintf(out, "%s\n", rule.c_str());
    std::fputs("RAW                                             ARRAY             \n", out);
    std::fputs("DEVICE NAME         :VENDOR   :PROD     :REV   :SERIAL #     :CAP        :BUS  :TGT  :LUN  "
               ":HBA PORT WWN      :TARGET PORT WWN   :PARENT DEVICE        \n",
               out);
    std::fprintf(out, "%s\n", rule.c_str());
    if (list == nullptr || list->devices == nullptr || opts == nullptr) return 0;
    // Every device with inquiry data is listed: this table answers where a device is, whatever
    // the display filter would hide.
    for (std::int32_t i = 0; i < list->count; ++i) {
        const T_SIL_DEVICE* dev = list->devices[i];
        const KOR_INQ_PAGE0* inq = dev != nullptr ? valid_inquiry(*dev) : nullptr;
        if (inq == nullptr) continue;
        const PortCells ports = mapinfo_ports(hbas, *dev);
        std::fprintf(out, "%-20s:%-8s:%-10s:%-5s:%-16s:%-10s:%-5d:%-5d:%-5d:%-16s  :%-16s :%-20s\n",
                     field_text(dev->name).c_str(), field_text(inq->vendor).c_str(),
                     first_chars(field_text(inq->product), kMapinfoProductChars).c_str(),
                     field_text(inq->revision).c_str(), device_array_serial_text(*dev).c_str(),
                     mapinfo_capacity(*dev).c_str(), dev->bus, dev->tid, dev->lun, ports.hba_port.c_str(),
                     ports.target_port.c_str(), parent_cell(*dev).c_str());
    }
    return 0;
}
