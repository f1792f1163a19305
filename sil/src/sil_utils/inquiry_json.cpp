// The JSON forms of the device, adapter, iSCSI and replication reports, built from the records the tables read.
#include "inquiry_json.h"

#include <algorithm>
#include <span>
#include <string>

#include "inquiry_hba.h"
#include "inquiry_tables_vocab.h"
#include "sil/sillib.h"
#include "sil/silvendor.h"



using json = inq_json;

namespace {

constexpr const char* kNotAvailable = "N/A";

template <std::size_t N>
json text_or_null(const char (&field)[N]) {
    const std::string_view text = inq_field_text(field);
    return text.empty() ? json(nullptr) : json(std::string(text));
}

json document(const char* format) {
    return json{{"format", format}, {"version", INQ_JSON_VERSION}};
}

// A text field as the tables show it, less the blanks INQUIRY pads its fields with.
std::string unpadded(std::string text) {
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

template <std::size_t N>
json inquiry_text(const char (&field)[N]) {
    return unpadded(field_text(field));
}

const char* make_of(const T_SIL_DEVICE& d) {
    if (d.is_drav) return "dravonis";
    if (d.is_XMV_device) return "korvalith";
    if (d.is_olvessa) return "olvessa";
    if (d.is_storwrks) return "storageworks";
    if (d.is_hds) return "hds";
    if (d.is_shark) return "shark";
    if (d.is_s80) return "s80";
    if (d.is_ivantrel) return "vantrel_iscsi";
    if (d.has_vantrel_label) return "vantrel_nas";
    if (d.is_hsv) return "compaq_hsv";
    if (d.is_netapp) return "netapp";
    return nullptr;
}

// The default table's serial: the HDS record's, else the record's own; a virtual disk's is its
// back-end device's.
std::string serial_text(const T_SIL_DEVICE& dev) {
    std::string serial = dev.hds_device != nullptr ? field_text(dev.hds_device->serial) : field_text(dev.dev_serial);
    replace_virtual_serial(dev, serial);
    return serial;
}

json capacity_json(const T_SIL_DEVICE& dev) {
    if (dev.cap_state != 1) {
        return {{"state", dev.cap_state == 2 ? "failed" : "not_read"},
                {"kb", nullptr}, {"blocks", nullptr}, {"block_size", nullptr}};
    }
    return {{"state", "read"}, {"kb", capacity_kb(dev)}, {"blocks", dev.num_blocks}, {"block_size", dev.block_size}};
}

json attachment_json(const KOR_INQ_PAGE0& inq) {
    switch (korv_attachment(inq)) {
        case T_KORV_ATTACHMENT::fibre: return "fibre";
        case T_KORV_ATTACHMENT::ultra_scsi: return "ultra_scsi";
        case T_KORV_ATTACHMENT::iscsi: return "iscsi";
        case T_KORV_ATTACHMENT::other: break;
    }
    return nullptr;
}

// The high-end array's view of one of its devices, as the -et and -all tables show it.
json array_json(const T_SIL_DEVICE& dev, const KOR_INQ_PAGE0& inq) {
    const char* model = korv_model_name(dev.korv_model, KORV_MODEL_NEWEST);
    const char* role = korv_rpx_cell(inq, "R1", "R2", "");
    const bool ckd = (inq.device_flags & KOR_FLAG_CKD) != 0;
    return {
        {"volume", sil_format("%05X", dev.korv_dev_num)},
        {"model", model[0] == '-' ? json(nullptr) : json(model)},
        {"microcode_level", sil_format("%x", dev.ucode_level)},
        {"microcode_date", sil_format("%x", dev.ucode_date)},
        {"director", dev.director},
        {"port", dev.port},
        {"director_port", korv_et_director_cell(inq)},
        {"protection", korv_protection_name(inq, RpxSuffixOrder::vraid_first)},
        {"replication_role", role[0] == '\0' ? json(nullptr) : json(role)},
        {"bcv", (inq.device_flags & KOR_FLAG_BCV) != 0},
        {"ckd", ckd},
        {"ckd_label", ckd ? json(korv_ckd_label(inq)) : json(nullptr)},
        {"meta", korv_meta(inq)},
        {"shared", korv_shared(inq)},
        {"write_protected", (inq.device_flags & KOR_FLAG_WRITE_PROTECTED) != 0},
        {"attachment", attachment_json(inq)},
    };
}

const char* relation_state(std::uint16_t state) {
    switch (state) {
        case SIL_DEV_PARENT: return "parent";
        case SIL_DEV_CHILD: return "child";
        case SIL_DEV_SIBLING: return "sibling";
        case SIL_DEV_ORPHAN: return "orphan";
        default: return nullptr;
    }
}

template <std::size_t N>
json relation_json(std::uint16_t state, const char (&relation)[N]) {
    const char* name = relation_state(state);
    return {{"state", name != nullptr ? json(name) : json(nullptr)}, {"relation", text_or_null(relation)}};
}

std::span<T_SIL_DEVICE* const> all_devices(const T_SIL_DEVICE_LIST* list) {
    if (list == nullptr || list->devices == nullptr || list->count <= 0) return {};
    return {list->devices, static_cast<std::size_t>(list->count)};
}

// The pseudo device a path belongs to (the multipathing driver's, else the volume manager's).
std::string_view parent_of(const T_SIL_DEVICE& dev) {
    if (dev.mp_state == SIL_DEV_CHILD) return inq_field_text(dev.mp_relation);
    if (dev.veritas_state == SIL_DEV_CHILD) return inq_field_text(dev.veritas_relation);
    return {};
}

// The paths a pseudo device fronts: every device of the list that names it as its parent.
json paths_json(const T_SIL_DEVICE& dev, const T_SIL_DEVICE_LIST* list) {
    json paths = json::array();
    if (dev.mp_state != SIL_DEV_PARENT && dev.veritas_state != SIL_DEV_PARENT) return paths;
    for (const T_SIL_DEVICE* other : all_devices(list)) {
        if (other != nullptr && other != &dev && parent_of(*other) == inq_field_text(dev.name))
            paths.push_back(std::string(inq_field_text(other->name)));
    }
    return paths;
}

// The other paths to the same unit without a pseudo device: a record names only the last sibling
// it was paired with, so the group is everything those names link together.
json siblings_json(const T_SIL_DEVICE& dev, const T_SIL_DEVICE_LIST* list) {
    json siblings = json::array();
    if (dev.native_state != SIL_DEV_SIBLING) return siblings;
    const auto devices = all_devices(list);
    std::vector<const T_SIL_DEVICE*> group{&dev};
    for (std::size_t seen = 0; seen < group.size(); ++seen) {
        for (const T_SIL_DEVICE* other : devices) {
            if (other == nullptr || other->native_state != SIL_DEV_SIBLING) continue;
            if (std::find(group.begin(), group.end(), other) != group.end()) continue;
            const bool linked = inq_field_text(group[seen]->native_relation) == inq_field_text(other->name) ||
                                inq_field_text(other->native_relation) == inq_field_text(group[seen]->name);
            if (linked) group.push_back(other);
        }
    }
    for (const T_SIL_DEVICE* other : devices) {
        if (other != &dev && std::find(group.begin(), group.end(), other) != group.end())
            siblings.push_back(std::string(inq_field_text(other->name)));
    }
    return siblings;
}

json address_part(bool valid, std::uint16_t value) { return valid ? json(value) : json(nullptr); }

json failed_json(const T_SIL_DEVICE& dev, const create_dev_list* cdl) {
    json failed = json::array();
    const bool inquiry_asked = cdl == nullptr || (cdl->skip_inq == 0 && cdl->query_only == 0);
    if (dev.open_failed) failed.push_back("open");
    else if (inquiry_asked && dev.inquiry != 1) failed.push_back("inquiry");
    if (dev.cap_state == 2) failed.push_back("read_capacity");
    if (dev.mp_passthru_failed) failed.push_back("multipath_passthrough");
    return failed;
}

json null_unless_known(const std::string& text) { return text == kNotAvailable ? json(nullptr) : json(text); }

// An all-zero WWN is a field the device never filled.
json wwn_json(const T_SIL_DEVICE& dev) {
    const std::string wwn = device_wwn_text(dev);
    if (wwn.find_first_not_of('0') == std::string::npos) return nullptr;
    return null_unless_known(wwn);
}

}  // namespace

bool json_report_available(const T_DISPLAY_OPTIONS& opts) {
    if (opts.rpx) return true;
    switch (opts.display_mode) {
        case INQ_MODE_DEFAULT: case INQ_MODE_ALL: case INQ_MODE_PARENT: case INQ_MODE_ET:
        case INQ_MODE_CKD: case INQ_MODE_SIL: case INQ_MODE_GK: case INQ_MODE_CONNECTIONS:
        case INQ_MODE_WWN: case INQ_MODE_KOR_WWN: case INQ_MODE_DRAV_WWN: case INQ_MODE_SW_WWN:
        case INQ_MODE_HDS_WWN: case INQ_MODE_S80_WWN: case INQ_MODE_OLVESSA_WWN:
        case INQ_MODE_SHARK_WWN: case INQ_MODE_COMPAQ_WWN: case INQ_MODE_NETAPP_WWN:
        case INQ_MODE_HBA: case INQ_MODE_ISCSI:
            return !opts.snia_test;
        default:
            return false;
    }
}

json device_json(const T_SIL_DEVICE& dev, const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl) {
    const KOR_INQ_PAGE0* inq = valid_inquiry(dev);
    const char* make = make_of(dev);
    json d = {
        {"name", std::string(inq_field_text(dev.name))},
        {"make", make != nullptr ? json(make) : json(nullptr)},
        {"vendor", inq != nullptr ? inquiry_text(inq->vendor) : json(nullptr)},
        {"product", inq != nullptr ? inquiry_text(inq->product) : json(nullptr)},
        {"revision", inq != nullptr ? inquiry_text(inq->revision) : json(nullptr)},
        {"serial", inq != nullptr ? json(unpadded(serial_text(dev))) : json(nullptr)},
        {"inquiry_serial", nullptr},
        {"capacity", capacity_json(dev)},
        {"wwn", wwn_json(dev)},
        {"array_serial", null_unless_known(device_array_serial_text(dev))},
        {"array", nullptr},
        {"relations", {{"multipath", relation_json(dev.mp_state, dev.mp_relation)},
                       {"native", relation_json(dev.native_state, dev.native_relation)},
                       {"veritas", relation_json(dev.veritas_state, dev.veritas_relation)}}},
        {"parent", parent_of(dev).empty() ? json(nullptr) : json(std::string(parent_of(dev)))},
        {"paths", paths_json(dev, list)},
        {"siblings", siblings_json(dev, list)},
        {"address", {{"bus", address_part(dev.btl_valid & SIL_BTL_BUS, dev.bus)},
                     {"target", address_part(dev.btl_valid & SIL_BTL_TID, dev.tid)},
                     {"lun", address_part(dev.btl_valid & SIL_BTL_LUN, dev.lun)}}},
        {"gatekeeper", (dev.io_ok_flags & SIL_IO_OK_BUFFER) != 0},
        {"failed", failed_json(dev, cdl)},
        {"os_error", dev.os_errno},
    };
    if (inq != nullptr) {
        std::string serial = inquiry_serial_text(*inq);
        replace_virtual_serial(dev, serial);
        d["inquiry_serial"] = unpadded(serial);
        if (dev.is_XMV_device) d["array"] = array_json(dev, *inq);
    }
    return d;
}

json inventory_json(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    json doc = document(INQ_JSON_INVENTORY);
    json& devices = doc["devices"] = json::array();
    for_each_shown_device(list, cdl, opts, [&](const T_SIL_DEVICE& dev) { devices.push_back(device_json(dev, list, cdl)); });
    return doc;
}

namespace {

template <std::size_t N>
std::string bytes_hex(const std::uint8_t (&bytes)[N]) {
    std::string text;
    for (const std::uint8_t byte : bytes) text += sil_format("%02x", byte);
    return text;
}

json port_json(const T_SIL_HBA_PORT& port) {
    return {
        {"node_wwn", field_text(port.node_wwn)},
        {"port_wwn", field_text(port.port_wwn)},
        {"os_name", field_text(port.os_name)},
        {"type", hba_port_type_name(port.type)},
        {"speed", hba_port_speed_name(port.speed)},
        {"supported_speed", hba_port_speed_name(port.supported_speed)},
        {"state", hba_port_state_name(port.state)},
        {"fcid", port.fcid},
        {"supported_cos", port.supported_cos},
        {"supported_fc4_types", bytes_hex(port.supported_fc4_types)},
        {"active_fc4_types", bytes_hex(port.active_fc4_types)},
        {"max_frame_size", port.max_frame_size},
    };
}

}  // namespace

json adapters_json(const T_SIL_HBA_LIST* hbas) {
    json doc = document("lunscan-adapters");
    json& adapters = doc["adapters"] = json::array();
    if (hbas == nullptr || hbas->hbas == nullptr) return doc;
    for (std::int32_t i = 0; i < hbas->count; ++i) {
        const T_SIL_HBA* hba = hbas->hbas[i];
        if (hba == nullptr) continue;
        json ports = json::array();
        for (std::uint32_t p = 0; p < hba->port_count && p < SIL_HBA_MAX_PORTS; ++p)
            ports.push_back(hba->ports[p] != nullptr ? port_json(*hba->ports[p]) : json(nullptr));
        adapters.push_back({
            {"name", field_text(hba->hba_name)},
            {"host_wwn", field_text(hba->host_wwn)},
            {"vendor", field_text(hba->vendor_name)},
            {"model", field_text(hba->model)},
            {"firmware_version", field_text(hba->firmware_version)},
            {"driver_version", field_text(hba->driver_version)},
            {"serial", field_text(hba->serial_number)},
            {"vendor_code", hba->vendor_code},
            {"type", hba_type_name(hba->hba_type)},
            {"port_count", hba->port_count},
            {"ports", ports},
        });
    }
    return doc;
}

json initiators_json(const T_SIL_ISCSI_LIST* iscsis) {
    json doc = document("lunscan-iscsi");
    json& initiators = doc["initiators"] = json::array();
    if (iscsis == nullptr || iscsis->iscsis == nullptr) return doc;
    for (std::int32_t i = 0; i < iscsis->count; ++i) {
        const T_SIL_ISCSI* iscsi = iscsis->iscsis[i];
        if (iscsi == nullptr) continue;
        initiators.push_back({{"name", field_text(iscsi->initiator_name)},
                              {"vendor", field_text(iscsi->vendor_name)},
                              {"version", field_text(iscsi->iscsi_version)},
                              {"target_address", field_text(iscsi->target_address)}});
    }
    return doc;
}

namespace {

json mirror_role(std::uint8_t type) {
    if (type & SIL_RPX_MIRROR_RPX2) return "R2";
    if (type & SIL_RPX_MIRROR_RPX1) return "R1";
    return nullptr;
}

json remote_array_json(const T_SIL_RPX_REMOTE_ARRAY& remote) {
    json groups = json::array();
    for (std::uint32_t g = 0; g < std::min(remote.rpx_group_count, SIL_RPX_MAX_GROUPS); ++g) groups.push_back(remote.rpx_groups[g]);
    return {{"serial", field_text(remote.remote_korid)},
            {"id", remote.remote_id},
            {"microcode_version", remote.microcode_version},
            {"groups", groups}};
}

// The remote array a replication group leads to, or null.
json group_target(const T_SIL_RPX_LOCAL_ARRAY& array, std::uint8_t group) {
    for (std::uint32_t r = 0; array.remote_arrays != nullptr && r < array.remote_array_count; ++r) {
        const T_SIL_RPX_REMOTE_ARRAY& remote = array.remote_arrays[r];
        const std::uint32_t count = std::min(remote.rpx_group_count, SIL_RPX_MAX_GROUPS);
        if (std::find(remote.rpx_groups, remote.rpx_groups + count, group) != remote.rpx_groups + count)
            return field_text(remote.remote_korid);
    }
    return nullptr;
}

json rpx_device_json(const T_SIL_RPX_LOCAL_ARRAY& array, const T_SIL_RPX_DEVICE& entry, const T_SIL_DEVICE_LIST* list) {
    json mirrors = json::array();
    for (int slot = 0; slot < 4; ++slot) {
        const T_SIL_RPX_MIRROR& m = entry.mirrors[slot];
        if (m.type == SIL_RPX_MIRROR_NONE) continue;
        mirrors.push_back({{"slot", slot + 1}, {"role", mirror_role(m.type)}, {"remote_device", sil_format("%04X", m.r_dev)},
                           {"group", m.group}, {"remote_array", group_target(array, m.group)}});
    }
    json paths = json::array();
    for (const T_SIL_DEVICE* dev : all_devices(list)) {
        if (dev != nullptr && dev->korv_dev_num == entry.dev && inq_field_text(dev->korid) == inq_field_text(array.korid))
            paths.push_back(std::string(inq_field_text(dev->name)));
    }
    return {{"volume", sil_format("%04X", entry.dev)}, {"paths", paths}, {"mirrors", mirrors}};
}

}  // namespace

json replication_json(const T_SIL_DEVICE_LIST* list, const T_SIL_RPX_INFO& info) {
    json doc = document("lunscan-replication");
    json& arrays = doc["arrays"] = json::array();
    for (std::int32_t i = 0; info.entries != nullptr && i < info.count; ++i) {
        const T_SIL_RPX_LOCAL_ARRAY& array = info.entries[i];
        json remotes = json::array();
        for (std::uint32_t r = 0; array.remote_arrays != nullptr && r < array.remote_array_count; ++r)
            remotes.push_back(remote_array_json(array.remote_arrays[r]));
        json devices = json::array();
        for (std::uint32_t d = 0; array.rpx_devices != nullptr && d < array.rpx_device_count; ++d)
            devices.push_back(rpx_device_json(array, array.rpx_devices[d], list));
        const std::uint32_t date = array.microcode_date;
        arrays.push_back({
            {"serial", field_text(array.korid)},
            {"gatekeeper", text_or_null(array.gatekeeper)},
            {"microcode_version", sil_format("%04X", unsigned{array.microcode_version})},
            {"microcode_date", sil_format("%04X-%02X-%02X", date >> 16, (date >> 8) & 0xFF, date & 0xFF)},
            {"mapped_devices", array.mapped_device_count},
            {"mapped_rpx_devices", array.mapped_rpx_device_count},
            {"remote_arrays", remotes},
            {"rpx_devices", devices},
        });
    }
    return doc;
}

void print_json(std::FILE* out, const json& doc) {
    const std::string text = doc.dump(2, ' ', false, json::error_handler_t::replace);
    std::fprintf(out, "%s\n", text.c_str());
}

int run_json_display(const T_INQ_LISTS* lists, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    // The adapter reports go to standard output, as their tables do.
    if (opts->display_mode == INQ_MODE_HBA)
        print_json(stdout, adapters_json(&lists->hbas));
    else if (opts->display_mode == INQ_MODE_ISCSI)
        print_json(stdout, initiators_json(&lists->iscsis));
    else
        print_json(sil_out(), inventory_json(&lists->devices, cdl, opts));
    return 0;
}
