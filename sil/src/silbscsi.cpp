// INQUIRY, READ CAPACITY, mode pages, VPD pages, the NAS label and the device identifier builders.
#include "silbscsi.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <vector>

#include <pds/byteorder.h>

#include "sildebug.h"
#include "silinitl.h"
#include "silinqut.h"
#include "silkorinq.h"
#include "siltxcdb.h"
#include "silvendor.h"

namespace {

constexpr std::uint32_t kTraceTimeout = 0x1000040;
constexpr std::uint32_t kTraceSpoofed = 0x1000401;
constexpr std::uint32_t kTraceModePage = 0xC00000;

constexpr std::uint8_t kInquiryAllocation = 0xFE;
constexpr std::int32_t kDefaultInquiryTimeout = 30;
constexpr std::int32_t kModeSenseTimeout = 30;
constexpr std::uint32_t kCapacityBufferSize = 512;
constexpr std::size_t kReadCapacityKept = 10;
constexpr std::uint32_t kLevelWpBcvReadable = 0x5266;  // older microcode refuses READ CAPACITY on WP BCVs
constexpr std::uint32_t kLevelIdentifiers = 0x5773;    // first microcode answering the identifier requests
constexpr std::uint8_t kDeviceTypeCdrom = 5;
constexpr std::size_t kDeviceFlagsOffset = 108;
constexpr std::size_t kSpoofedFlagsOffset = 136;
constexpr std::size_t kSpoofedPageDataOffset = 16;  // page 0xF6 carries the real device's standard page from here

constexpr std::size_t kModeHeaderLength = 12;  // mode parameter header (4) and block descriptor (8)
constexpr std::uint32_t kMaxAllocation = 255;  // one-byte allocation length of the 6-byte CDBs
constexpr std::size_t kGeometryBufferSize = 255;

constexpr std::size_t kSectorSize = 512;
constexpr std::size_t kVantrelLabelSize = 320;
constexpr std::size_t kVantrelLabelCleared = 255;
constexpr std::size_t kVantrelSignatureOffset = 20;
constexpr std::string_view kVantrelSignature = "XMV Vantrel";
constexpr std::uint64_t kVantrelLabelDistance = 128;  // blocks before the end of the disk

constexpr std::size_t kDravReplyBuffer = 8192;
constexpr std::size_t kDravWwnLength = 16;
constexpr std::uint32_t kDravHeaderTag = 36;
constexpr std::uint32_t kDravListTag = 47;
constexpr std::uint32_t kDravNameTag = 68;
constexpr std::uint64_t kDravMaxNameLength = 64;

std::optional<std::vector<std::uint8_t>> zeroed_bytes(std::size_t size) {
    try {
        return std::vector<std::uint8_t>(size, 0);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

// Every command of this file reads data from the device; each goes with a cleared error record.
T_SIL_REPLY send(T_SIL_DEVICE* device, const T_SIL_COMMAND& command, const T_SIL_IOCTL_SETTINGS* settings,
                 int force_dump) {
    T_CDB_ERROR error{};
    return sil_send(device, command, settings, force_dump, &error);
}

// Bytes of a standard INQUIRY page up to the end of the product revision: a reply that stops
// before this is not a standard page.
constexpr std::size_t kStandardPageMinimum = 36;
// A VPD page's header: qualifier and type, page code, page length.
constexpr std::size_t kVpdHeaderLength = 4;

// The time-out of INQUIRY and READ CAPACITY: IOCTL_TIMEOUT_OVERRIDE lets a site give slow
// arrays more time (the transport accepts 1 to 299 and keeps its default otherwise).
T_SIL_IOCTL_SETTINGS inquiry_timeout_settings() {
    T_SIL_IOCTL_SETTINGS settings{};
    if (auto text = pds::platform().get_env("IOCTL_TIMEOUT_OVERRIDE")) {
        std::string_view v = *text;
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
        if (!v.empty() && v.front() == '+') v.remove_prefix(1);
        long long value = 0;
        std::from_chars(v.data(), v.data() + v.size(), value);
        value = std::clamp<long long>(value, std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::int32_t>::max());
        settings.ioctlTimeoutSecs = static_cast<std::int32_t>(value);
        SIL_TRACE(kTraceTimeout, "Timeout from variable = %d\n", settings.ioctlTimeoutSecs);
    } else {
        settings.ioctlTimeoutSecs = kDefaultInquiryTimeout;
        SIL_TRACE(kTraceTimeout, "Timeout default = %d", settings.ioctlTimeoutSecs);
    }
    return settings;
}

const pds::HostIdentity& host_identity_once() {
    static const pds::HostIdentity identity = pds::platform().host_identity();
    return identity;
}

// Peripheral qualifier 1 or 3 with device type 0x1F: nothing is, or can be, behind this LUN.
bool lun_not_supported(std::uint8_t byte0) {
    const unsigned qualifier = byte0 >> 5;
    return (byte0 & 0x1F) == 0x1F && (qualifier == 3 || qualifier == 1);
}

bool has_text(pds::ReplyReader& reply, std::size_t offset, std::string_view text) {
    const auto field = reply.bytes(offset, text.size());
    return field && std::equal(text.begin(), text.end(), field->begin());
}

// Absent spoofed-LUN byte (a reply that stops before byte 136): not a spoofed LUN.
bool is_spoofed_lun(std::span<const std::uint8_t> reply_bytes) {
    pds::ReplyReader reply(reply_bytes);
    return has_text(reply, 8, "XMV") && has_text(reply, 16, "KORVALITH") &&
           (reply.u8(kSpoofedFlagsOffset).value_or(0) & KOR_ATTACH_SPOOFED_LUN) != 0;
}

// A spoofed LUN answers with the standard page of the device behind it in its page 0xF6, from
// the page's byte 16 on. When the page is read, the device's standard page is what it carries and
// nothing else: its first `received` bytes become the block's (the rest of the 216 kept bytes
// zero, as absent), and the new length is returned. A page that fails, or that carries less than a
// standard page (36 bytes), leaves the LUN's own page and length as they were.
std::size_t read_spoofed_inquiry(T_SIL_DEVICE* device, std::span<std::uint8_t> block, std::size_t received,
                                 const T_SIL_IOCTL_SETTINGS& settings, int force_dump) {
    SIL_TRACE(kTraceSpoofed, "SPOOFED LUN. Get EVPD Page F6");
    auto page = zeroed_bytes(kInquiryAllocation);
    if (!page) return received;
    const T_SIL_REPLY reply = send(device, sil_cmd_vpd_inquiry(0xF6, *page), &settings, force_dump);
    if (!reply.ok()) return received;
    const auto carried = pds::ReplyReader(reply.bytes).bytes_upto(kSpoofedPageDataOffset, KOR_INQ_PAGE0_SIZE);
    if (carried.size() < kStandardPageMinimum) {
        SIL_TRACE(SIL_TRACE_ERROR, "page F6 carries %u bytes, no standard page", static_cast<unsigned>(carried.size()));
        return received;
    }
    std::fill_n(block.begin(), KOR_INQ_PAGE0_SIZE, std::uint8_t{0});
    std::copy(carried.begin(), carried.end(), block.begin());
    std::copy_n(block.begin(), KOR_INQ_PAGE0_SIZE, kor_inq_bytes(device->inquiry_data).begin());
    return carried.size();
}

void build_requested_identifier(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS& options) {
    const std::uint64_t ctx = device->trace_ctx;
    if (device->is_XMV_device) {
        switch (options.get_dev_ident) {
            case 1: get_korv_dev_name(device, ctx); break;
            case 2: get_korv_nice_name(device, ctx); break;
            case 3: get_korv_hp_id(device, ctx); break;
            case 4: get_korv_vms_id(device, ctx); break;
            default: break;
        }
    } else if (device->is_drav && options.get_dev_ident == 2) {
        get_drav_nice_name(device, ctx);
    }
}

// Absent flag byte: not a CKD device.
bool is_ckd_korvalith(const T_SIL_DEVICE* device) {
    pds::ReplyReader inq(sil_inquiry_bytes(device));
    return device->is_XMV_device && (inq.u8(kDeviceFlagsOffset).value_or(0) & KOR_FLAG_CKD) != 0;
}

// ---- identifiers ----------------------------------------------------------------------------

bool identifier_wanted(const T_SIL_DEVICE* device) {
    return device != nullptr && device->isOpen == 1 && device->device_identifier == nullptr;
}

std::int32_t set_device_identifier(T_SIL_DEVICE* device, std::span<const std::uint8_t> text) {
    char* id = new (std::nothrow) char[text.size() + 1]();
    if (id == nullptr) return SIL_ERR_NO_MEMORY;
    std::memcpy(id, text.data(), text.size());
    device->device_identifier = id;
    return 0;
}

// The two vendor pages that carry names: "XMV" at bytes 20-22, the length at 23, the text from 24.
// A mark, length or text the reply does not reach: no identifier (-1).
std::int32_t korv_name_from_page(T_SIL_DEVICE* device, std::uint8_t page_code, std::uint8_t max_length) {
    if (!identifier_wanted(device) || device->ucode_level < kLevelIdentifiers) return SIL_ERR_FAILED;
    std::array<std::uint8_t, SIL_KORV_EVPD_LENGTH> page{};
    page[1] = page_code;
    const T_SIL_REPLY got = korv_evpd_page(device, page, 1, 0);
    if (!got.ok()) return got.status;
    pds::ReplyReader reply(got.bytes);
    const auto mark = reply.bytes(20, 3);
    const auto length = reply.u8(23);
    if (!mark || std::memcmp(mark->data(), "XMV", 3) != 0 || !length || *length >= max_length) return SIL_ERR_FAILED;
    const auto text = reply.bytes(24, *length);
    if (!text) return SIL_ERR_FAILED;
    return set_device_identifier(device, *text);
}

bool value_fits(std::span<const std::uint8_t> data, const T_TLV_ITEM& item) {
    return item.value_offset <= data.size() && item.length <= data.size() - item.value_offset;
}

}  // namespace

// ---- INQUIRY --------------------------------------------------------------------------------

std::int32_t SIL_Inquiry(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS* options) {
    if (device == nullptr) return SIL_ERR_NO_DEVICE;
    SIL_FUNCTION("SIL_Inquiry");

    // Byte 4 of the options asks for a fresh read of data already held.
    const bool read_again = options != nullptr && options->skip_inquiry == 1;
    const int force_dump = options != nullptr ? static_cast<int>(options->verbose) : 0;
    if (device->inquiry == 1 || sil_is_daemon_device(*device)) {
        if (!read_again) SIL_RETURN(0);
        SIL_TRACE(SIL_TRACE_INFO, "freeing old inq data");
        delete device->inquiry_data;
        device->inquiry_data = nullptr;
    }

    // The block lives here until identification has cut it down; the record only ever holds
    // the 216-byte KOR_INQ_PAGE0 copy of its start, so nothing reads the block through the
    // record's typed pointer.
    auto block = zeroed_bytes(SIL_INQUIRY_BLOCK_SIZE);
    if (!block) {
        SIL_TRACE(SIL_TRACE_ERROR, "calloc in SIL_Inquiry failed");
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    device->inquiry = 2;

    if (device->isOpen != 1) {
        SIL_TRACE(SIL_TRACE_INFO, "warning, device is not open");
        SIL_RETURN(SIL_ERR_FAILED);
    }

    device->is_cluster_disk = SIL_IsClusterDisk(512, device->name, device->trace_ctx);
    const T_SIL_IOCTL_SETTINGS settings = inquiry_timeout_settings();

    // A reply too short to be a standard page fails like any other failed INQUIRY (and is
    // asked for once more): short bytes would otherwise decode as blank texts of a valid page.
    const T_SIL_COMMAND command = sil_cmd_inquiry(std::span<std::uint8_t>(*block).first(kInquiryAllocation));
    const auto read_page = [&] {
        T_SIL_REPLY reply = send(device, command, &settings, force_dump);
        if (reply.ok() && reply.received < kStandardPageMinimum) {
            SIL_TRACE(SIL_TRACE_ERROR, "INQUIRY reply of %u bytes is shorter than a standard page",
                      static_cast<unsigned>(reply.received));
            reply.status = SIL_ERR_FAILED;
        }
        return reply;
    };
    T_SIL_REPLY reply = read_page();
    if (!reply.ok()) reply = read_page();
    std::int32_t rc = reply.status;
    if (rc == 0 && lun_not_supported(pds::ReplyReader(reply.bytes).u8(0).value_or(0))) rc = SIL_ERR_LUN_NOT_SUPPORTED;

    get_bus_tid_lun_from_host(device, device->trace_ctx);
    if (rc < 0) SIL_RETURN(rc);
    std::size_t received = reply.received;

    auto* page = new (std::nothrow) KOR_INQ_PAGE0{};
    if (page == nullptr) {
        SIL_TRACE(SIL_TRACE_ERROR, "calloc in SIL_Inquiry failed");
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    std::memcpy(page, block->data(), KOR_INQ_PAGE0_SIZE);
    device->inquiry_data = page;
    device->inquiry = 1;

    if (is_spoofed_lun(reply.bytes)) {
        if (options == nullptr || options->get_spoofed_inquiry_data == 0) {
            received = read_spoofed_inquiry(device, *block, received, settings, force_dump);
        } else {
            SIL_TRACE(kTraceSpoofed, "SPOOFED LUN. get_spoofed_inquiry_data is set. ");
        }
    }

    // Identification reads the bytes the device returned and nothing past them.
    identify_array_block(device, std::span<std::uint8_t>(*block).first(received));

    if (options != nullptr && device->inquiry == 1) build_requested_identifier(device, *options);
    SIL_RETURN(0);
}

// ---- capacity ---------------------------------------------------------------------------------

bool ext_read_cap_allowed(const pds::HostIdentity& host) {
    if (host.os_major != 5) return host.os_major > 5;
    if (host.os_minor != 2) return host.os_minor > 2;
    return host.service_pack_major >= 1;
}

std::int32_t SIL_ReadCapacity(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_ReadCapacity");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    if (device->isOpen != 1) {
        SIL_TRACE(SIL_TRACE_INFO, "device is not open");
        SIL_RETURN(SIL_ERR_FAILED);
    }
    // Absent inquiry bytes (no inquiry data, or a page that stops early): not a CD/DVD drive, not
    // write protected, not a BCV.
    pds::ReplyReader inq(sil_inquiry_bytes(device));
    if (const auto type = inq.u8(0); type && (*type & 0x1F) == kDeviceTypeCdrom) {
        SIL_TRACE(SIL_TRACE_INFO, "4 read capacity skipped for this non-XMV device");
        SIL_RETURN(0);
    }
    auto buffer = zeroed_bytes(kCapacityBufferSize);
    if (!buffer) {
        SIL_TRACE(SIL_TRACE_ERROR, "calloc in SIL_ReadCapacity failed");
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    device->cap_state = 2;
    SIL_TRACE(SIL_TRACE_INFO_DETAIL, "using TxCDB method for ReadCapacity");

    constexpr std::uint8_t kWpBcv = KOR_FLAG_WRITE_PROTECTED | KOR_FLAG_BCV;
    if (device->is_XMV_device && device->ucode_level < kLevelWpBcvReadable &&
        (inq.u8(kDeviceFlagsOffset).value_or(0) & kWpBcv) == kWpBcv) {
        SIL_TRACE(SIL_TRACE_INFO, "TxCDB method skipped for write protected BCV device");
        SIL_RETURN(SIL_ERR_WP_BCV);
    }

    device->ext_read_cap_ok = ext_read_cap_allowed(host_identity_once()) ? 1 : 0;
    const T_SIL_IOCTL_SETTINGS settings = inquiry_timeout_settings();

    // A reply with GOOD status that stops before its last field (byte 7; READ CAPACITY(16): byte
    // 11) carries no capacity: the read failed, the earlier fields stay.
    const T_SIL_REPLY rc10 = send(device, sil_cmd_read_capacity10(*buffer), &settings, 0);
    if (!rc10.ok()) SIL_RETURN(SIL_ERR_READ_CAPACITY);
    pds::ReplyReader reply10(rc10.bytes);
    const auto lba32 = reply10.be32(0);
    const auto length32 = reply10.be32(4);
    if (!lba32 || !length32) {
        SIL_TRACE(SIL_TRACE_ERROR, "READ CAPACITY reply of %u bytes is short", static_cast<unsigned>(rc10.received));
        SIL_RETURN(SIL_ERR_READ_CAPACITY);
    }
    std::uint64_t last_lba = *lba32;
    std::uint32_t block_length = *length32;
    // The kept copy holds the bytes received; the rest stays zero.
    std::array<std::uint8_t, kReadCapacityKept> kept{};
    const auto kept10 = reply10.bytes_upto(0, kReadCapacityKept);
    std::copy(kept10.begin(), kept10.end(), kept.begin());

    if (device->ext_read_cap_ok == 1 && last_lba == 0xFFFFFFFFu) {
        SIL_TRACE(SIL_TRACE_INFO, "Large device - retrying with extended read capacity");
        std::fill(buffer->begin(), buffer->end(), std::uint8_t{0});
        const T_SIL_REPLY rc16 = send(device, sil_cmd_read_capacity16(std::span(*buffer).first(12)), &settings, 0);
        if (!rc16.ok()) SIL_RETURN(SIL_ERR_READ_CAPACITY);
        pds::ReplyReader reply16(rc16.bytes);
        const auto lba64 = reply16.be64(0);
        const auto length = reply16.be32(8);
        if (!lba64 || !length) {
            SIL_TRACE(SIL_TRACE_ERROR, "READ CAPACITY(16) reply of %u bytes is short", static_cast<unsigned>(rc16.received));
            SIL_RETURN(SIL_ERR_READ_CAPACITY);
        }
        last_lba = *lba64;
        block_length = *length;
        kept.fill(0);
        const auto kept16 = reply16.bytes_upto(2, kReadCapacityKept);
        std::copy(kept16.begin(), kept16.end(), kept.begin());
    }

    // An empty LUN reports last LBA 0: it has no blocks, not one.
    device->num_blocks = last_lba == 0 ? 0 : last_lba + 1;
    device->cap = static_cast<std::uint32_t>((device->num_blocks * block_length) / 1024);
    SIL_TRACE(SIL_TRACE_INFO_DETAIL, " max_lba=0x%08x%08x block_size=0x%04x capacity=0x%08x",
              static_cast<unsigned>(device->num_blocks >> 32), static_cast<unsigned>(device->num_blocks & 0xFFFFFFFFu),
              block_length, device->cap);
    device->cap_state = 1;
    device->block_size = block_length;
    std::memcpy(device->read_capacity_data, kept.data(), kept.size());
    SIL_RETURN(0);
}

// ---- mode pages ---------------------------------------------------------------------------------

namespace {

// MODE SENSE(6) of `page` into `buffer` (the page itself, without the 12-byte header and block
// descriptor). The status, and how many page bytes the reply held: only those are copied.
struct ModePage {
    std::int32_t status;
    std::size_t bytes;
};

ModePage read_mode_page(T_SIL_DEVICE* device, std::uint8_t page, std::span<std::uint8_t> buffer,
                        std::uint32_t length) {
    const std::uint32_t allocation = std::min(length, kMaxAllocation);
    auto work = zeroed_bytes(allocation);
    if (!work) {
        SIL_TRACE(SIL_TRACE_ERROR, "calloc in get_mode_page failed");
        return {SIL_ERR_NO_MEMORY, 0};
    }
    T_SIL_IOCTL_SETTINGS settings{};
    settings.ioctlTimeoutSecs = kModeSenseTimeout;
    const T_SIL_REPLY got = send(device, sil_cmd_mode_sense6(static_cast<std::uint8_t>(page | 0xC0), *work), &settings, 1);
    std::int32_t rc = got.status;

    // A reply that stops before the page code is no page: it counts as a mismatch.
    pds::ReplyReader reply(got.bytes);
    if (rc == 0) {
        const auto code = reply.u8(kModeHeaderLength);
        const unsigned got_page = code ? (*code & 0x0F) : 0;
        if (!code || got_page != page) {
            SIL_TRACE(kTraceModePage, "Page mismatch. Requested 0x%x, got 0x%x", page, got_page);
            rc = SIL_ERR_FAILED;
        }
    }
    std::size_t copied = 0;
    if (length > kModeHeaderLength) {
        const auto body = reply.bytes_upto(kModeHeaderLength, std::min<std::size_t>(length - kModeHeaderLength, buffer.size()));
        std::copy(body.begin(), body.end(), buffer.begin());
        copied = body.size();
    }
    return {rc, copied};
}

}  // namespace

std::int32_t get_mode_page(T_SIL_DEVICE* device, std::uint8_t page, std::uint8_t* buffer, std::uint32_t length) {
    SIL_FUNCTION("get_mode_page");
    if (device == nullptr || buffer == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    // The caller's buffer holds the page part of `length` bytes.
    const std::size_t room = length > kModeHeaderLength ? length - kModeHeaderLength : 0;
    SIL_RETURN(read_mode_page(device, page, std::span<std::uint8_t>(buffer, room), length).status);
}

// Absent fields (a page that stops before them) leave the geometry members as they were: zero on a
// fresh record, as for a device that reports no geometry.
std::int32_t SIL_GetDevGeometry(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_GetDevGeometry");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    std::array<std::uint8_t, kGeometryBufferSize> page{};
    const ModePage rigid = read_mode_page(device, 4, page, page.size());
    if (rigid.status == 0) {
        pds::ReplyReader r(std::span<const std::uint8_t>(page).first(rigid.bytes));
        if (const auto cylinders = r.be24(2)) device->cylinders = *cylinders;
        if (const auto heads = r.u8(5)) device->heads = *heads;
        SIL_TRACE(SIL_TRACE_INFO, "number of heads = 0x%x", device->heads);
        SIL_TRACE(SIL_TRACE_INFO, "number of cyls = 0x%x", device->cylinders);
    }
    page.fill(0);
    const ModePage format = read_mode_page(device, 3, page, page.size());
    if (format.status == 0) {
        pds::ReplyReader r(std::span<const std::uint8_t>(page).first(format.bytes));
        if (const auto sectors = r.be16(10)) device->sectors_per_track = *sectors;
        SIL_TRACE(SIL_TRACE_INFO, "sectors_per_track = 0x%x", device->sectors_per_track);
    }
    SIL_RETURN(format.status);
}

// ---- NAS label ------------------------------------------------------------------------------------

// A block that stops before the end of the signature has none; the label keeps the bytes received
// and zeros past them.
std::int32_t SIL_ReadVantrelSig(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_ReadVantrelSig");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    std::memset(device->vantrel_label + (kVantrelLabelSize - kVantrelLabelCleared), 0, kVantrelLabelCleared);

    std::array<std::uint8_t, kSectorSize> sector{};
    const T_SIL_IOCTL_SETTINGS no_settings{};
    std::span<const std::uint8_t> received;
    const auto read_sector = [&](std::uint64_t blocks_from_end) {
        sector.fill(0);
        const T_SIL_REPLY reply = send(
            device, sil_cmd_read10(static_cast<std::uint32_t>(device->num_blocks - blocks_from_end), sector), &no_settings, 0);
        if (!reply.ok()) SIL_TRACE(SIL_TRACE_ERROR, "SIL_ReadVantrelSig error sending TxCDB to check signature");
        received = reply.bytes;
        return reply.status;
    };
    const auto signed_sector = [&] {
        pds::ReplyReader r(received);
        const auto mark = r.bytes(kVantrelSignatureOffset, kVantrelSignature.size());
        return mark && std::equal(kVantrelSignature.begin(), kVantrelSignature.end(), mark->begin());
    };

    // Older NAS software wrote its label one block further from the end.
    if (read_sector(kVantrelLabelDistance) != 0) SIL_RETURN(SIL_ERR_FAILED);
    if (!signed_sector()) {
        if (read_sector(kVantrelLabelDistance + 1) != 0) SIL_RETURN(SIL_ERR_FAILED);
        if (!signed_sector()) {
            std::memset(device->vantrel_label, 0, kVantrelLabelSize);
            device->has_vantrel_label = 0;
            SIL_RETURN(SIL_ERR_FAILED);
        }
    }
    device->has_vantrel_label = 1;
    std::memset(device->vantrel_label, 0, kVantrelLabelSize);
    const auto label = pds::ReplyReader(received).bytes_upto(0, kVantrelLabelSize);
    std::copy(label.begin(), label.end(), device->vantrel_label);
    SIL_RETURN(0);
}

// ---- VPD pages ------------------------------------------------------------------------------------

T_SIL_REPLY read_vpd_page(T_SIL_DEVICE* device, std::uint8_t page, std::span<std::uint8_t> buffer) {
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
    const T_SIL_IOCTL_SETTINGS no_settings{};
    T_SIL_REPLY reply = send(device, sil_cmd_vpd_inquiry(page, buffer), &no_settings, 0);
    if (reply.ok() && reply.received < kVpdHeaderLength) {
        SIL_TRACE(SIL_TRACE_ERROR, "VPD page 0x%02x reply of %u bytes is shorter than its header", page,
                  static_cast<unsigned>(reply.received));
        reply.status = SIL_ERR_FAILED;
    }
    return reply;
}

std::int32_t get_evpd_page(T_SIL_DEVICE* device, std::uint8_t page, std::uint8_t* buffer, std::uint32_t length) {
    SIL_FUNCTION("get_evpd_page");
    if (buffer == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    SIL_RETURN(read_vpd_page(device, page, std::span<std::uint8_t>(buffer, length)).status);
}

T_SIL_REPLY korv_evpd_page(T_SIL_DEVICE* device, std::span<std::uint8_t> buffer, int fetch, int force_dump) {
    if (force_dump != 0) sil_set_verbosity(sil_trace_on() | SIL_TC_CDB_LOG);
    T_SIL_REPLY reply;
    if (device == nullptr || buffer.size() < SIL_KORV_EVPD_LENGTH) {
        reply.status = SIL_ERR_NO_DEVICE;
        return reply;
    }
    buffer = buffer.first(SIL_KORV_EVPD_LENGTH);
    // Count-key-data devices answer no vendor pages: nothing fetched, nothing to decode.
    reply.status = 0;
    if (is_ckd_korvalith(device)) return reply;
    const std::uint8_t code = buffer[1];
    if (fetch != 0) {
        reply = read_vpd_page(device, code, buffer);
    } else {
        reply.bytes = buffer;  // the caller's own page, read earlier
    }

    if (sil_trace_on() != 0 && code >= 0xC0) {
        // The header as the device sent it; a field it did not send shows as zero.
        const pds::ReplyReader page(reply.bytes);
        const auto b = [&](std::size_t i) { return page.u8_or(i, 0); };
        const auto le = [&](std::size_t i, std::size_t n) {
            std::uint32_t v = 0;
            for (std::size_t k = n; k-- > 0;) v = (v << 8) | b(i + k);
            return v;
        };
        const std::string dashes(77, '-');
        std::FILE* out = sil_out();
        std::fprintf(out, "%s\n", dashes.c_str());
        std::fprintf(out, " EVPD STANDARD HEADER: \n");
        std::fprintf(out, "%s\n", dashes.c_str());
        std::fprintf(out, " EVPD PAGE NUMBER : 0x%02x LENGTH : 0x%02x UCODE DATE: %02x-%02x-%02x\n", code,
                     (b(2) << 8) | b(3), b(5), b(6), b(7));
        // The array writes these three in its own (little-endian) order.
        std::fprintf(out, " UCODE REVISION : %04x UCODE MTPF LEVEL : %04x UCODE TYPE: %08x\n", le(8, 2), le(10, 2),
                     le(12, 4));
        std::fprintf(out, "%s\n", dashes.c_str());
        std::fflush(out);
    }
    return reply;
}

std::int32_t GetKorvalithEVPDPage(T_SIL_DEVICE* device, void* reserved1, std::uint8_t* buffer, void* reserved2,
                                  int fetch, int force_dump) {
    SIL_FUNCTION("GetKorvalithEVPDPage");
    if (buffer == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    SIL_RETURN(korv_evpd_page(device, std::span<std::uint8_t>(buffer, SIL_KORV_EVPD_LENGTH), fetch, force_dump).status);
}

// ---- identifiers ----------------------------------------------------------------------------------

std::int32_t get_korv_dev_name(T_SIL_DEVICE* device, std::uint64_t) {
    SIL_FUNCTION("get_korv_dev_name");
    SIL_RETURN(korv_name_from_page(device, 0xE1, 65));
}

std::int32_t get_korv_nice_name(T_SIL_DEVICE* device, std::uint64_t) {
    SIL_FUNCTION("get_korv_nice_name");
    SIL_RETURN(korv_name_from_page(device, 0xE0, 17));
}

// A header or text the reply does not reach: no identifier (-1).
std::int32_t get_korv_hp_id(T_SIL_DEVICE* device, std::uint64_t) {
    SIL_FUNCTION("get_korv_hp_id");
    if (!identifier_wanted(device) || device->ucode_level < kLevelIdentifiers) SIL_RETURN(SIL_ERR_FAILED);
    // REPORT DEVICE IDENTIFIER, 132 bytes
    const std::uint8_t cdb[12] = {0xA3, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x84, 0, 0};
    std::array<std::uint8_t, 0x84> buffer{};
    T_CDB_ERROR error{};
    const T_SIL_REPLY got = sil_send_cdb(device, cdb, 0, buffer, nullptr, 0, &error);
    if (!got.ok()) SIL_RETURN(got.status);
    pds::ReplyReader r(got.bytes);
    const auto header = r.be24(0);
    const auto length = r.u8(3);
    if (!header || *header != 0 || !length || *length >= 129) SIL_RETURN(SIL_ERR_FAILED);
    const auto text = r.bytes(4, *length);
    if (!text) SIL_RETURN(SIL_ERR_FAILED);
    SIL_RETURN(set_device_identifier(device, *text));
}

// A reply that stops before byte 7: no identifier (-1).
std::int32_t get_korv_vms_id(T_SIL_DEVICE* device, std::uint64_t) {
    SIL_FUNCTION("get_korv_vms_id");
    if (!identifier_wanted(device) || device->ucode_level < kLevelIdentifiers) SIL_RETURN(SIL_ERR_FAILED);
    const std::uint8_t cdb[10] = {0xEC, 0, 0, 0, 0, 0, 0, 0x08, 0, 0};
    std::array<std::uint8_t, 8> buffer{};
    T_CDB_ERROR error{};
    const T_SIL_REPLY got = sil_send_cdb(device, cdb, 0, buffer, nullptr, 0, &error);
    if (!got.ok()) SIL_RETURN(got.status);
    pds::ReplyReader r(got.bytes);
    const auto header = r.be32(0);
    const auto id = r.be32(4);
    if (!header || *header != 0x00000104 || !id) SIL_RETURN(SIL_ERR_FAILED);
    // The id is shown as a signed number in at most ten characters.
    char text[11];
    std::snprintf(text, sizeof text, "%-d", static_cast<std::int32_t>(*id));
    SIL_RETURN(set_device_identifier(device, {reinterpret_cast<const std::uint8_t*>(text), std::strlen(text)}));
}

std::optional<T_TLV_ITEM> parse_tlv_header(std::span<const std::uint8_t> data, std::size_t offset) {
    pds::ReplyReader reply(data);
    const auto header = reply.u8(offset);
    if (!header) return std::nullopt;
    const std::size_t tag_bytes = ((*header >> 6) & 0x03) + 1;
    const std::size_t length_bytes = ((*header >> 2) & 0x07) + 1;
    const auto tag = reply.bytes(offset + 1, tag_bytes);
    const auto length = reply.bytes(offset + 1 + tag_bytes, length_bytes);
    if (!tag || !length) return std::nullopt;
    T_TLV_ITEM item{};
    item.tag = static_cast<std::uint32_t>(pds::load_be_n(*tag));
    item.constructed = (*header & 0x20) != 0;
    item.length = pds::load_be_n(*length);
    item.value_offset = offset + 1 + tag_bytes + length_bytes;
    return item;
}

std::optional<T_DRAV_REPLY_HEADER> drav_reply_header(std::span<const std::uint8_t> reply) {
    const auto item = parse_tlv_header(reply, 0);
    if (!item || item->tag != kDravHeaderTag || item->length != 6) return std::nullopt;
    pds::ReplyReader value(pds::ReplyReader(reply).bytes_upto(item->value_offset, 6));
    const auto echo = value.be16(0);
    const auto flags = value.u8(2);
    const auto total = value.be24(3);
    // The array echoes CDB bytes 2-3 so a reply to another request is not taken for ours.
    if (!echo || *echo != 0x0201 || !flags || !total) return std::nullopt;
    return T_DRAV_REPLY_HEADER{(*flags & 0x01) != 0, *total};
}

std::int32_t drav_nice_name_walk(std::span<const std::uint8_t> reply, std::span<const std::uint8_t> lun_wwn,
                                 std::string& name) {
    const auto header = drav_reply_header(reply);
    if (!header || header->more || lun_wwn.size() != kDravWwnLength) return SIL_ERR_FAILED;
    // The reply ends where the array says it does; the rest of the buffer is not data.
    if (header->total_size > reply.size()) return SIL_ERR_FAILED;
    const auto data = reply.first(header->total_size);

    const auto first = parse_tlv_header(data, 0);
    if (!first || !value_fits(data, *first)) return SIL_ERR_FAILED;
    const auto list = parse_tlv_header(data, first->value_offset + first->length);
    if (!list || list->tag != kDravListTag || !list->constructed || list->value_offset > data.size() ||
        list->length != data.size() - list->value_offset) {
        return SIL_ERR_FAILED;
    }
    const auto entries = data.subspan(list->value_offset);
    const auto found = std::search(entries.begin(), entries.end(), lun_wwn.begin(), lun_wwn.end());
    if (found == entries.end()) return SIL_ERR_FAILED;
    const std::size_t after = static_cast<std::size_t>(found - entries.begin()) + kDravWwnLength;
    const auto item = parse_tlv_header(entries, after);
    if (!item || item->tag != kDravNameTag || item->length > kDravMaxNameLength || !value_fits(entries, *item)) {
        return SIL_ERR_FAILED;
    }
    const auto text = entries.subspan(item->value_offset, static_cast<std::size_t>(item->length));
    name.assign(text.begin(), text.end());
    return 0;
}

// The reply is walked over the bytes received only: an item that runs past them is malformed.
std::int32_t get_drav_nice_name(T_SIL_DEVICE* device, std::uint64_t) {
    SIL_FUNCTION("get_drav_nice_name");
    if (!identifier_wanted(device) || device->drav_device == nullptr) SIL_RETURN(SIL_ERR_FAILED);

    auto buffer = zeroed_bytes(kDravReplyBuffer);
    if (!buffer) SIL_RETURN(SIL_ERR_NO_MEMORY);
    std::uint8_t cdb[10] = {0xEF, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00};
    T_CDB_ERROR error{};
    T_SIL_REPLY got = sil_send_cdb(device, cdb, 0, *buffer, nullptr, 0, &error);
    if (!got.ok()) SIL_RETURN(got.status);
    auto header = drav_reply_header(got.bytes);
    if (!header) SIL_RETURN(SIL_ERR_FAILED);
    if (header->more) {
        // The names did not fit: ask again with room for all the array has.
        buffer = zeroed_bytes(header->total_size);
        if (!buffer) SIL_RETURN(SIL_ERR_NO_MEMORY);
        pds::store_be24(std::span<std::uint8_t>(cdb).subspan(6), header->total_size);
        got = sil_send_cdb(device, cdb, 0, *buffer, nullptr, 0, &error);
        if (!got.ok()) SIL_RETURN(got.status);
        header = drav_reply_header(got.bytes);
        if (!header || header->more) SIL_RETURN(SIL_ERR_FAILED);
    }
    std::string name;
    if (drav_nice_name_walk(got.bytes, std::span<const std::uint8_t>(device->drav_device->lun_wwn), name) != 0) {
        SIL_RETURN(SIL_ERR_FAILED);
    }
    SIL_RETURN(set_device_identifier(device, {reinterpret_cast<const std::uint8_t*>(name.data()), name.size()}));
}

// ---- host facts -------------------------------------------------------------------------------------

std::int32_t get_bus_tid_lun_from_host(T_SIL_DEVICE*, std::uint64_t) {
    SIL_FUNCTION("get_bus_tid_lun_from_host");
    SIL_RETURN(0);
}

std::uint8_t SIL_IsClusterDisk(std::uint32_t, const char*, std::uint64_t) {
    SIL_FUNCTION("SIL_IsClusterDisk");
    SIL_RETURN(std::uint8_t{0});
}
