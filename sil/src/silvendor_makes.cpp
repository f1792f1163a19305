// The page decoders of the other makes: StorageWorks, HDS/HP, S80, Shark, HSV, NetApp, virtual disks and the NAS iSCSI LUN.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include <pds/byteorder.h>

#include "silbscsi.h"
#include "sildebug.h"
#include "silinqut.h"
#include "silvendor.h"
#include "sil/siltext.h"

namespace {

// Standard INQUIRY offsets the decoders read.
constexpr std::size_t kVendorOffset = 8;
constexpr std::size_t kVendorLength = 8;
constexpr std::size_t kProductOffset = 16;
constexpr std::size_t kProductLength = 16;

// Allocation lengths of the pages each make is asked for.
constexpr std::size_t kSerialPageLength = 255;
constexpr std::size_t kStorWrksWwnPageLength = 24;
constexpr std::size_t kHdsPageLength = 60;
constexpr std::size_t kS80PageLength = 64;
constexpr std::size_t kSharkPageLength = 40;
constexpr std::size_t kHsvPageLength = 24;
constexpr std::size_t kNetappPageLength = 80;
constexpr std::size_t kTpStoragePageLength = 136;  // 12 01 83 00 88 00

// The virtual disks' identifier: the longest each form of page 0x83 may give, and the statuses of
// an identifier beyond it.
constexpr std::size_t kScsi2UidMax = 20;
constexpr std::int32_t kTpSpc2TooLong = -2;
constexpr std::int32_t kTpScsi2TooLong = -3;

// Every decoder but the virtual disks' refuses a device whose make flag is clear.
struct DecoderMessages {
    const char* not_family;
    const char* inquiry_invalid;
    const char* no_memory;
};

bool inquiry_valid(const T_SIL_DEVICE* device) { return !sil_inquiry_bytes(device).empty(); }

// The standard INQUIRY data the device returned (during identification the whole reply, else the
// 216 bytes kept), read through the bounds-checked reader.
pds::ReplyReader inquiry_reader(const T_SIL_DEVICE* device) { return pds::ReplyReader(sil_inquiry_bytes(device)); }

bool starts_with(std::span<const std::uint8_t> field, std::string_view prefix) {
    return field.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), field.begin());
}

bool contains(std::span<const std::uint8_t> field, std::string_view needle) {
    return std::search(field.begin(), field.end(), needle.begin(), needle.end()) != field.end();
}

// The bytes of `from` that the reply holds, copied to the start of `to`; the rest of `to` is left
// as it is (zero in a fresh record). Returns the number copied.
std::size_t copy_upto(std::span<std::uint8_t> to, const pds::ReplyReader& reply, std::size_t offset, std::size_t length) {
    const auto from = reply.bytes_upto(offset, std::min(length, to.size()));
    std::copy(from.begin(), from.end(), to.begin());
    return from.size();
}

template <std::size_t N>
std::span<std::uint8_t> as_bytes(char (&field)[N]) {
    return {reinterpret_cast<std::uint8_t*>(field), N};
}

// A length a page gives for the identifier that follows it at `offset`, cut to the record's field
// and to the bytes received: a report never prints more than the field holds, nor bytes the
// device did not send.
std::size_t bounded_length(std::size_t claimed, std::size_t field, const pds::ReplyReader& reply, std::size_t offset) {
    return std::min({claimed, field, reply.bytes_upto(offset, field).size()});
}

// Checks shared by the make decoders: a device, its make flag (`flag` the member, nullptr for the
// virtual disks, which have none), valid inquiry data, without which the make flag is dropped.
// 0 to go on.
std::int32_t check_device(T_SIL_DEVICE* device, std::uint8_t T_SIL_DEVICE::*flag, const DecoderMessages& m) {
    if (device == nullptr) {
        SIL_TRACE(SIL_TRACE_INFO, "sil_device is NULL");
        return SIL_ERR_NO_DEVICE;
    }
    if (flag != nullptr && device->*flag == 0) {
        SIL_TRACE(SIL_TRACE_INFO, "%s", m.not_family);
        return SIL_ERR_WRONG_DEVICE_KIND;
    }
    if (!inquiry_valid(device)) {
        SIL_TRACE(SIL_TRACE_INFO, "%s", m.inquiry_invalid);
        if (flag != nullptr) device->*flag = 0;
        return SIL_ERR_WRONG_DEVICE_KIND;
    }
    return 0;
}

// A fresh record in `slot` (one left by an earlier identification of the same device is dropped).
template <class Record>
Record* fresh_record(Record*& slot, const DecoderMessages& m) {
    delete slot;
    slot = new (std::nothrow) Record{};
    if (slot == nullptr) SIL_TRACE(SIL_TRACE_INFO, "%s", m.no_memory);
    return slot;
}

// The capacity comes first for most makes; its failure does not stop the decoder.
void read_capacity_first(T_SIL_DEVICE* device) {
    if (SIL_ReadCapacity(device) != 0) SIL_TRACE(SIL_TRACE_INFO_DETAIL, "Read Cap Failed");
}

template <class Record>
void delete_and_clear(Record*& slot) {
    delete slot;
    slot = nullptr;
}

// A required page that cannot be read takes the record with it.
template <class Record>
std::int32_t drop_record(Record*& slot, std::uint8_t page, std::int32_t status) {
    delete_and_clear(slot);
    SIL_TRACE(SIL_TRACE_INFO, "Failed to retrieve inquiry VPD page 0x%02x", page);
    return status;
}

// ---- HDS and HP -------------------------------------------------------------------------------

}  // namespace

const char* hds_model_name(std::string_view model_number, bool hp) {
    if (!model_number.empty() && (model_number[0] < '0' || model_number[0] > '9')) model_number.remove_prefix(1);
    const std::span<const std::uint8_t> digits(reinterpret_cast<const std::uint8_t*>(model_number.data()),
                                               model_number.size());
    switch (parse_number_text(digits, 10)) {
        case 400: return hp ? "XP512" : "HDS9960";
        case 401: return hp ? "XP48" : "HDS9910";
        case 450: return hp ? "XP1024" : "HDS9980V";
        case 451: return hp ? "XP128" : "HDS9970V";
        default: return "Unknown";
    }
}

namespace {

std::string_view model_number_text(const T_HDS_DEVICE& hds) {
    const char* end = std::find(std::begin(hds.model_number), std::end(hds.model_number), '\0');
    return {hds.model_number, static_cast<std::size_t>(end - hds.model_number)};
}

// Hitachi: the serial is four hex characters at page bytes 20-23, shown in decimal. A page that
// stops before them gives no serial.
void decode_hitachi(T_HDS_DEVICE& hds, pds::ReplyReader& page) {
    copy_upto(hds.hds_extra, page, 24, 4);
    if (const auto hex = page.bytes(20, 4)) {
        char text[16];
        std::snprintf(text, sizeof text, "%d", static_cast<int>(parse_number_text(*hex, 16)));
        hds.serial_len = static_cast<std::uint8_t>(std::strlen(text));
        std::memcpy(hds.serial, text, hds.serial_len);
    }
    copy_upto(as_bytes(hds.model_number), page, 16, 4);
    sil_copy_text(hds.model_name, hds_model_name(model_number_text(hds), false));
}

void decode_hp(T_HDS_DEVICE& hds, pds::ReplyReader& page) {
    hds.serial_len = static_cast<std::uint8_t>(copy_upto(as_bytes(hds.serial), page, 16, 5));
    copy_upto(hds.hds_extra, page, 22, 4);
    copy_upto(as_bytes(hds.model_number), page, 8, 4);
    sil_copy_text(hds.model_name, hds_model_name(model_number_text(hds), true));
}

// ---- the NAS iSCSI LUN --------------------------------------------------------------------------

constexpr std::size_t kIvantrelSerialOffset = 124;
constexpr std::size_t kIvantrelAddressSize = 16;

std::size_t padded4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

void delete_ivantrel(T_IVANTREL_DEVICE*& record) {
    if (record == nullptr) return;
    delete[] record->ip_addresses;
    delete[] record->lun_name;
    delete record;
    record = nullptr;
}

}  // namespace

std::int32_t SIL_Get_StorWrks_Info(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_Get_StorWrks_Info");
    static constexpr DecoderMessages kMessages = {
        "Device is not a StorageWorks array",
        "sil_device->inquiry is not valid, so I can't find theStorageWorks Node ID",
        "calloc() of T_STORWRKS_DEVICE failed"};
    const std::int32_t rc = check_device(device, &T_SIL_DEVICE::is_storwrks, kMessages);
    if (rc != 0) SIL_RETURN(rc);
    T_STORWRKS_DEVICE* sw = fresh_record(device->storwrks_device, kMessages);
    if (sw == nullptr) SIL_RETURN(SIL_ERR_NO_MEMORY);

    const pds::ReplyReader inq = inquiry_reader(device);
    copy_upto(sw->node_id, inq, 130, sizeof sw->node_id);
    sw->is_ccl = starts_with(inq.bytes_upto(kProductOffset, kProductLength), "HSG80CCL") ? 1 : 0;

    std::array<std::uint8_t, kSerialPageLength> serial_page{};
    const T_SIL_REPLY serial = read_vpd_page(device, 0x80, serial_page);
    if (!serial.ok()) SIL_RETURN(drop_record(device->storwrks_device, 0x80, serial.status));
    pds::ReplyReader p80(serial.bytes);
    const std::size_t serial_claimed = p80.u8(3).value_or(0);
    sw->serial_len = static_cast<std::uint8_t>(copy_upto(as_bytes(sw->serial), p80, 4, serial_claimed));

    std::array<std::uint8_t, kStorWrksWwnPageLength> wwn_page{};
    const T_SIL_REPLY wwn = read_vpd_page(device, 0x83, wwn_page);
    if (!wwn.ok()) SIL_RETURN(drop_record(device->storwrks_device, 0x83, wwn.status));
    pds::ReplyReader p83(wwn.bytes);
    sw->wwn_len = static_cast<std::uint8_t>(bounded_length(p83.u8(7).value_or(0), sizeof sw->wwn, p83, 8));
    copy_upto(sw->wwn, p83, 8, sw->wwn_len);
    SIL_RETURN(0);
}

std::int32_t SIL_Get_Hds_Info(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_Get_Hds_Info");
    static constexpr DecoderMessages kMessages = {
        "Device is not an hds array", "sil_device->inquiry is not valid, so I can't find the Hds Node ID",
        "calloc() of T_HDS_DEVICE failed"};
    const std::int32_t rc = check_device(device, &T_SIL_DEVICE::is_hds, kMessages);
    if (rc != 0) SIL_RETURN(rc);
    T_HDS_DEVICE* hds = fresh_record(device->hds_device, kMessages);
    if (hds == nullptr) SIL_RETURN(SIL_ERR_NO_MEMORY);
    read_capacity_first(device);

    const pds::ReplyReader inq = inquiry_reader(device);
    hds->is_cmd_dev = contains(inq.bytes_upto(kProductOffset, kProductLength), "CM") ? 1 : 0;

    std::array<std::uint8_t, kHdsPageLength> buffer{};
    const T_SIL_REPLY got = read_vpd_page(device, 0x83, buffer);
    if (!got.ok()) SIL_RETURN(drop_record(device->hds_device, 0x83, got.status));
    pds::ReplyReader page(got.bytes);
    if (starts_with(inq.bytes_upto(kVendorOffset, kVendorLength), "HP")) {
        decode_hp(*hds, page);
    } else {
        decode_hitachi(*hds, page);
    }
    hds->wwn_len = static_cast<std::uint8_t>(bounded_length(page.u8(7).value_or(0), sizeof hds->wwn, page, 8));
    copy_upto(hds->wwn, page, 8, hds->wwn_len);
    hds->serial[std::min<std::size_t>(hds->serial_len, sizeof hds->serial - 1)] = '\0';
    SIL_RETURN(0);
}

std::int32_t SIL_Get_S80_Info(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_Get_S80_Info");
    static constexpr DecoderMessages kMessages = {
        "Device is not an s80 array", "sil_device->inquiry is not valid, so I can't find the S80 Node ID",
        "calloc() of T_S80_DEVICE failed"};
    const std::int32_t rc = check_device(device, &T_SIL_DEVICE::is_s80, kMessages);
    if (rc != 0) SIL_RETURN(rc);
    T_S80_DEVICE* s80 = fresh_record(device->s80_device, kMessages);
    if (s80 == nullptr) SIL_RETURN(SIL_ERR_NO_MEMORY);
    read_capacity_first(device);

    const pds::ReplyReader inq = inquiry_reader(device);
    copy_upto(as_bytes(s80->dev_chars), inq, 36, 2);
    copy_upto(as_bytes(s80->dir_chars), inq, 41, 2);
    s80->port_char = static_cast<char>(inq.u8_or(43, 0));

    std::array<std::uint8_t, kS80PageLength> buffer{};
    const T_SIL_REPLY got = read_vpd_page(device, 0x83, buffer);
    if (!got.ok()) SIL_RETURN(drop_record(device->s80_device, 0x83, got.status));
    const pds::ReplyReader page(got.bytes);
    s80->serial_len = sizeof s80->serial;
    copy_upto(s80->serial, page, 22, sizeof s80->serial);
    copy_upto(s80->array_wwn, page, 40, sizeof s80->array_wwn);
    copy_upto(as_bytes(s80->vendor_id), page, 8, sizeof s80->vendor_id);
    copy_upto(s80->port_address, page, 52, sizeof s80->port_address);
    copy_upto(s80->controller_address, page, 60, sizeof s80->controller_address);
    SIL_RETURN(0);
}

std::int32_t SIL_Get_IBM_Shark_Info(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_Get_IBM_Shark_Info");
    static constexpr DecoderMessages kMessages = {
        "Device is not an IBM Shark array",
        "sil_device->inquiry is not valid, so I can't find the IBM Shark Node ID", "calloc() of shark_device failed"};
    const std::int32_t rc = check_device(device, &T_SIL_DEVICE::is_shark, kMessages);
    if (rc != 0) SIL_RETURN(rc);
    T_IBM_SHARK_DEVICE* shark = fresh_record(device->shark_device, kMessages);
    if (shark == nullptr) SIL_RETURN(SIL_ERR_NO_MEMORY);
    read_capacity_first(device);

    std::array<std::uint8_t, kSharkPageLength> buffer{};
    const T_SIL_REPLY got = read_vpd_page(device, 0x83, buffer);
    if (!got.ok()) SIL_RETURN(drop_record(device->shark_device, 0x83, got.status));
    pds::ReplyReader page(got.bytes);
    shark->wwn_len = static_cast<std::uint8_t>(bounded_length(page.u8(7).value_or(0), sizeof shark->wwn, page, 8));
    copy_upto(shark->wwn, page, 8, shark->wwn_len);
    // The unit serial: three characters of the standard page, five of page 0x83. A part the device
    // did not send ends the text there.
    shark->serial_len = 8;
    const pds::ReplyReader inq = inquiry_reader(device);
    const std::size_t head = copy_upto(as_bytes(shark->serial), inq, 99, 3);
    if (head == 3) copy_upto(as_bytes(shark->serial).subspan(3), page, 35, 5);
    shark->serial[8] = '\0';
    SIL_RETURN(0);
}

std::int32_t SIL_Get_Compaq_HSV_Info(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_Get_Compaq_HSV_Info");
    static constexpr DecoderMessages kMessages = {
        "Device is not a Compaq HSV array",
        "sil_device->inquiry is not valid, so I can't find the Compaq HSV Node ID", "calloc() of compaq_device failed"};
    const std::int32_t rc = check_device(device, &T_SIL_DEVICE::is_hsv, kMessages);
    if (rc != 0) SIL_RETURN(rc);
    T_COMPAQ_HSV_DEVICE* hsv = fresh_record(device->hsv_device, kMessages);
    if (hsv == nullptr) SIL_RETURN(SIL_ERR_NO_MEMORY);
    read_capacity_first(device);

    std::array<std::uint8_t, kHsvPageLength> buffer{};
    const T_SIL_REPLY got = read_vpd_page(device, 0x83, buffer);
    if (!got.ok()) SIL_RETURN(drop_record(device->hsv_device, 0x83, got.status));
    pds::ReplyReader page(got.bytes);
    hsv->wwn_len = static_cast<std::uint32_t>(bounded_length(page.u8(7).value_or(0), sizeof hsv->wwn, page, 8));
    copy_upto(hsv->wwn, page, 8, hsv->wwn_len);
    SIL_RETURN(0);
}

std::int32_t SIL_Get_Netapp_Info(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_Get_Netapp_Info");
    static constexpr DecoderMessages kMessages = {
        "Device is not a Netapp device", "sil_device->inquiry is not valid, so I can't find netapp info",
        "calloc() of netapp_device failed"};
    const std::int32_t rc = check_device(device, &T_SIL_DEVICE::is_netapp, kMessages);
    if (rc != 0) SIL_RETURN(rc);
    T_NETAPP_DEVICE* netapp = fresh_record(device->netapp_device, kMessages);
    if (netapp == nullptr) SIL_RETURN(SIL_ERR_NO_MEMORY);
    read_capacity_first(device);

    std::array<std::uint8_t, kNetappPageLength> buffer{};
    const T_SIL_REPLY got = read_vpd_page(device, 0x83, buffer);
    netapp->wwn_len = sizeof netapp->wwn;
    netapp->serial_len = sizeof netapp->serial;
    if (!got.ok()) SIL_RETURN(drop_record(device->netapp_device, 0x83, got.status));
    const pds::ReplyReader page(got.bytes);
    // Bytes the page does not reach stay zero: the WWN ends in zeros, the serial text ends early.
    copy_upto(netapp->wwn, page, 44, sizeof netapp->wwn);
    copy_upto(as_bytes(netapp->serial), page, 48, sizeof netapp->serial - 1);
    SIL_RETURN(0);
}

std::int32_t SIL_Get_TPStorage_Info(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_Get_TPStorage_Info");
    static constexpr DecoderMessages kMessages = {
        nullptr, "sil_device->inquiry is not valid, skipping page 83", "calloc() of T_SIL_TP_STORAGE_DEVICE failed"};
    const std::int32_t rc = check_device(device, nullptr, kMessages);
    if (rc != 0) SIL_RETURN(rc);
    T_SIL_TP_STORAGE_DEVICE* tp = fresh_record(device->tp_storage_device, kMessages);
    if (tp == nullptr) SIL_RETURN(SIL_ERR_NO_MEMORY);

    std::array<std::uint8_t, kTpStoragePageLength> buffer{};
    const T_SIL_REPLY got = read_vpd_page(device, 0x83, buffer);
    if (!got.ok()) SIL_RETURN(drop_record(device->tp_storage_device, 0x83, got.status));
    pds::ReplyReader page(got.bytes);
    // The first descriptor is taken when it is binary; otherwise the page is read in its SCSI-2
    // form, the identifier right after the header.
    const bool spc2_binary = page.u8(6) == std::uint8_t{0} && (page.u8(4).value_or(0) & 0x0F) == 1;
    const std::size_t claimed = page.u8(spc2_binary ? 7 : 3).value_or(0);
    const std::size_t from = spc2_binary ? 8 : 4;
    if (spc2_binary && claimed > T_SIL_MAX_STORAGE_WWN_LEN) {
        delete_and_clear(device->tp_storage_device);
        SIL_TRACE(SIL_TRACE_INFO, "Warning. SPC-2 page83.id_length_1 is greatar then T_SIL_MAX_STORAGE_WWN_LEN.");
        SIL_RETURN(kTpSpc2TooLong);
    }
    if (!spc2_binary && claimed > kScsi2UidMax) {
        delete_and_clear(device->tp_storage_device);
        SIL_TRACE(SIL_TRACE_INFO, "Warning. SCSI-2 uid length is greatar than 0x14 bytes.");
        SIL_RETURN(kTpScsi2TooLong);
    }
    tp->wwn_len = static_cast<std::uint32_t>(bounded_length(claimed, sizeof tp->wwn, page, from));
    copy_upto(tp->wwn, page, from, tp->wwn_len);
    SIL_RETURN(0);
}

std::int32_t SIL_Get_iVantrel_Info(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_Get_iVantrel_Info");
    if (device == nullptr) {
        SIL_TRACE(SIL_TRACE_INFO, "sil_device is NULL");
        SIL_RETURN(SIL_ERR_NO_DEVICE);
    }
    if (!inquiry_valid(device)) {
        SIL_TRACE(SIL_TRACE_INFO, " sil_device->inquiry_data is NULL.");
        SIL_RETURN(SIL_ERR_NO_DEVICE);
    }
    delete_ivantrel(device->ivantrel_device);
    auto* nas = new (std::nothrow) T_IVANTREL_DEVICE{};
    if (nas == nullptr) {
        SIL_TRACE(SIL_TRACE_INFO, "calloc() of iVantrel device failed");
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    device->ivantrel_device = nas;

    // The vendor area is read where it lies; the root file-system id is big-endian on the wire and
    // taken as such, so the inquiry data keeps the device's own bytes.
    pds::ReplyReader inq = inquiry_reader(device);
    nas->section_revision = inq.u8(96).value_or(0);
    nas->dm_slot_id = inq.u8(97).value_or(0);
    nas->dm_root_fs_id = inq.be32(100).value_or(0);
    copy_upto(nas->lun_wwn, inq, 104, sizeof nas->lun_wwn);

    // Serial, lun name and address table follow one another, each padded to four bytes. Every
    // length the device gives only moves the walk on; what is copied is cut to what the data holds.
    const std::size_t serial_claimed = inq.u8(120).value_or(0);
    nas->serial_len = static_cast<std::uint32_t>(serial_claimed);
    const std::size_t serial_copied =
        copy_upto(as_bytes(nas->serial_num), inq, kIvantrelSerialOffset, std::min(serial_claimed, sizeof nas->serial_num - 1));
    std::memset(device->dev_serial, 0, sizeof device->dev_serial);
    std::memcpy(device->dev_serial, nas->serial_num, std::min(serial_copied, sizeof device->dev_serial));

    const std::size_t name_field = kIvantrelSerialOffset + padded4(serial_claimed);
    const std::size_t name_claimed = inq.u8(name_field + 3).value_or(0);
    const auto name = inq.bytes_upto(name_field + 4, name_claimed);
    nas->lun_name = new (std::nothrow) char[name.size() + 1]{};
    if (nas->lun_name == nullptr) {
        SIL_TRACE(SIL_TRACE_INFO, "calloc() of iVantrel lun_name buffer failed");
        delete_ivantrel(device->ivantrel_device);
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    std::copy(name.begin(), name.end(), nas->lun_name);
    nas->lun_name_len = static_cast<std::uint8_t>(name.size());

    const std::size_t count_field = name_field + 4 + padded4(name_claimed);
    const std::size_t count_claimed = inq.be16(count_field).value_or(0);
    const std::size_t held = inq.bytes_upto(count_field + 4, count_claimed * kIvantrelAddressSize).size();
    nas->ip_count = static_cast<std::uint32_t>(held / kIvantrelAddressSize);
    if (nas->ip_count != 0) {
        nas->ip_addresses = new (std::nothrow) std::uint8_t[nas->ip_count][kIvantrelAddressSize]{};
        if (nas->ip_addresses == nullptr) {
            SIL_TRACE(SIL_TRACE_INFO, "calloc() of iVantrel ip addresses buffer failed");
            delete_ivantrel(device->ivantrel_device);
            SIL_RETURN(SIL_ERR_NO_MEMORY);
        }
        const auto table = inq.bytes_upto(count_field + 4, nas->ip_count * kIvantrelAddressSize);
        std::copy(table.begin(), table.end(), &nas->ip_addresses[0][0]);
    }

    if (SIL_Get_TPStorage_Info(device) == 0 && device->tp_storage_device != nullptr &&
        device->tp_storage_device->wwn_len < 17) {
        SIL_TRACE(SIL_TRACE_INFO, "Copy Page 83 data to iVantrel lun_wwn.");
        std::memcpy(nas->lun_wwn, device->tp_storage_device->wwn, sizeof nas->lun_wwn);
        delete device->tp_storage_device;
        device->tp_storage_device = nullptr;
    }
    SIL_RETURN(0);
}
