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

// Every command of this file reads data from the device.
std::int32_t send_cdb(T_SIL_DEVICE* device, const std::uint8_t* cdb, void* data, const T_SIL_IOCTL_SETTINGS* settings,
                      int force_dump) {
    T_CDB_ERROR error{};
    return TxCDB(cdb, 0, &error, settings, data, device, 0, force_dump);
}

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

bool is_spoofed_lun(std::span<const std::uint8_t> block) {
    return std::memcmp(block.data() + 8, "XMV", 3) == 0 && std::memcmp(block.data() + 16, "KORVALITH", 9) == 0 &&
           (block[kSpoofedFlagsOffset] & KOR_ATTACH_SPOOFED_LUN) != 0;
}

// A spoofed LUN answers with the standard page of the device behind it in its page 0xF6.
void read_spoofed_inquiry(T_SIL_DEVICE* device, std::span<std::uint8_t> block, const T_SIL_IOCTL_SETTINGS& settings,
                          int force_dump) {
    SIL_TRACE(kTraceSpoofed, "SPOOFED LUN. Get EVPD Page F6");
    auto page = zeroed_bytes(SIL_INQUIRY_BLOCK_SIZE);
    if (!page) return;
    const std::uint8_t cdb[6] = {0x12, 0x01, 0xF6, 0x00, kInquiryAllocation, 0x00};
    if (send_cdb(device, cdb, page->data(), &settings, force_dump) != 0) return;
    std::copy_n(page->begin() + kSpoofedPageDataOffset, KOR_INQ_PAGE0_SIZE, block.begin());
    std::copy_n(block.begin(), KOR_INQ_PAGE0_SIZE, kor_inq_bytes(device->inquiry_data).begin());
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

bool is_ckd_korvalith(const T_SIL_DEVICE* device) {
    const auto inq = sil_inquiry_bytes(device);
    return device->is_XMV_device && inq.size() > kDeviceFlagsOffset && (inq[kDeviceFlagsOffset] & KOR_FLAG_CKD) != 0;
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
std::int32_t korv_name_from_page(T_SIL_DEVICE* device, std::uint8_t page_code, std::uint8_t max_length) {
    if (!identifier_wanted(device) || device->ucode_level < kLevelIdentifiers) return SIL_ERR_FAILED;
    std::array<std::uint8_t, SIL_KORV_EVPD_LENGTH> page{};
    page[1] = page_code;
    const std::int32_t rc = GetKorvalithEVPDPage(device, nullptr, page.data(), nullptr, 1, 0);
    if (rc != 0) return rc;
    pds::ReplyReader reply(page);
    const auto mark = reply.bytes(20, 3);
    const auto length = reply.u8(23);
    if (!mark || std::memcmp(mark->data(), "XMV", 3) != 0 || !length || *length >= max_length) return SIL_ERR_FAILED;
    const auto text = reply.bytes(24, *length);
    if (!text) return SIL_ERR_FAILED;
    return set_device_identifier(device, *text);
}

std::uint32_t load_be_width(std::span<const std::uint8_t> bytes) {
    std::uint64_t value = 0;
    for (std::uint8_t b : bytes) value = (value << 8) | b;
    return static_cast<std::uint32_t>(value);
}

std::uint64_t load_be_width64(std::span<const std::uint8_t> bytes) {
    std::uint64_t value = 0;
    for (std::uint8_t b : bytes) value = (value << 8) | b;
    return value;
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

    const std::uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, kInquiryAllocation, 0x00};
    std::int32_t rc = send_cdb(device, cdb, block->data(), &settings, force_dump);
    if (rc != 0) rc = send_cdb(device, cdb, block->data(), &settings, force_dump);
    if (rc == 0 && lun_not_supported((*block)[0])) rc = SIL_ERR_LUN_NOT_SUPPORTED;

    get_bus_tid_lun_from_host(device, device->trace_ctx);
    if (rc < 0) SIL_RETURN(rc);

    auto* page = new (std::nothrow) KOR_INQ_PAGE0{};
    if (page == nullptr) {
        SIL_TRACE(SIL_TRACE_ERROR, "calloc in SIL_Inquiry failed");
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    std::memcpy(page, block->data(), KOR_INQ_PAGE0_SIZE);
    device->inquiry_data = page;
    device->inquiry = 1;

    if (is_spoofed_lun(*block)) {
        if (options == nullptr || options->get_spoofed_inquiry_data == 0) {
            read_spoofed_inquiry(device, *block, settings, force_dump);
        } else {
            SIL_TRACE(kTraceSpoofed, "SPOOFED LUN. get_spoofed_inquiry_data is set. ");
        }
    }

    identify_array_block(device, *block);

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
    const auto inq = sil_inquiry_bytes(device);
    if (!inq.empty() && (inq[0] & 0x1F) == kDeviceTypeCdrom) {
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
    if (device->is_XMV_device && device->ucode_level < kLevelWpBcvReadable && inq.size() > kDeviceFlagsOffset &&
        (inq[kDeviceFlagsOffset] & kWpBcv) == kWpBcv) {
        SIL_TRACE(SIL_TRACE_INFO, "TxCDB method skipped for write protected BCV device");
        SIL_RETURN(SIL_ERR_WP_BCV);
    }

    device->ext_read_cap_ok = ext_read_cap_allowed(host_identity_once()) ? 1 : 0;
    const T_SIL_IOCTL_SETTINGS settings = inquiry_timeout_settings();

    const std::uint8_t rc10[10] = {0x25};
    if (send_cdb(device, rc10, buffer->data(), &settings, 0) != 0) SIL_RETURN(SIL_ERR_READ_CAPACITY);
    const std::span<const std::uint8_t> reply(*buffer);
    std::uint64_t last_lba = pds::load_be32(reply);
    std::uint32_t block_length = pds::load_be32(reply.subspan(4));
    std::array<std::uint8_t, kReadCapacityKept> kept{};
    std::copy_n(reply.begin(), kReadCapacityKept, kept.begin());

    if (device->ext_read_cap_ok == 1 && last_lba == 0xFFFFFFFFu) {
        SIL_TRACE(SIL_TRACE_INFO, "Large device - retrying with extended read capacity");
        std::uint8_t rc16[16] = {0x9E, 0x10};
        rc16[13] = 12;
        std::fill(buffer->begin(), buffer->end(), std::uint8_t{0});
        if (send_cdb(device, rc16, buffer->data(), &settings, 0) != 0) SIL_RETURN(SIL_ERR_READ_CAPACITY);
        last_lba = pds::load_be64(reply);
        block_length = pds::load_be32(reply.subspan(8));
        std::copy_n(reply.begin() + 2, kReadCapacityKept, kept.begin());
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

std::int32_t get_mode_page(T_SIL_DEVICE* device, std::uint8_t page, std::uint8_t* buffer, std::uint32_t length) {
    SIL_FUNCTION("get_mode_page");
    if (device == nullptr || buffer == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    const std::uint32_t allocation = std::min(length, kMaxAllocation);
    auto work = zeroed_bytes(allocation);
    if (!work) {
        SIL_TRACE(SIL_TRACE_ERROR, "calloc in get_mode_page failed");
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    const std::uint8_t cdb[6] = {0x1A, 0x00, static_cast<std::uint8_t>(page | 0xC0), 0x00,
                                 static_cast<std::uint8_t>(allocation), 0x00};
    T_SIL_IOCTL_SETTINGS settings{};
    settings.ioctlTimeoutSecs = kModeSenseTimeout;
    std::int32_t rc = send_cdb(device, cdb, work->data(), &settings, 1);

    pds::ReplyReader reply(*work);
    if (rc == 0) {
        const auto got = reply.u8(kModeHeaderLength);
        const unsigned got_page = got ? (*got & 0x0F) : 0;
        if (!got || got_page != page) {
            SIL_TRACE(kTraceModePage, "Page mismatch. Requested 0x%x, got 0x%x", page, got_page);
            rc = SIL_ERR_FAILED;
        }
    }
    if (length > kModeHeaderLength) {
        const auto body = reply.bytes_upto(kModeHeaderLength, length - kModeHeaderLength);
        std::copy(body.begin(), body.end(), buffer);
    }
    SIL_RETURN(rc);
}

std::int32_t SIL_GetDevGeometry(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_GetDevGeometry");
    std::array<std::uint8_t, kGeometryBufferSize> page{};
    const std::span<const std::uint8_t> bytes(page);
    if (get_mode_page(device, 4, page.data(), page.size()) == 0) {
        device->cylinders = pds::load_be24(bytes.subspan(2));
        device->heads = page[5];
        SIL_TRACE(SIL_TRACE_INFO, "number of heads = 0x%x", device->heads);
        SIL_TRACE(SIL_TRACE_INFO, "number of cyls = 0x%x", device->cylinders);
    }
    const std::int32_t rc = get_mode_page(device, 3, page.data(), page.size());
    if (rc == 0) {
        device->sectors_per_track = pds::load_be16(bytes.subspan(10));
        SIL_TRACE(SIL_TRACE_INFO, "sectors_per_track = 0x%x", device->sectors_per_track);
    }
    SIL_RETURN(rc);
}

// ---- NAS label ------------------------------------------------------------------------------------

std::int32_t SIL_ReadVantrelSig(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_ReadVantrelSig");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    std::memset(device->vantrel_label + (kVantrelLabelSize - kVantrelLabelCleared), 0, kVantrelLabelCleared);

    std::array<std::uint8_t, kSectorSize> sector{};
    const T_SIL_IOCTL_SETTINGS no_settings{};
    const auto read_sector = [&](std::uint64_t blocks_from_end) {
        std::uint8_t cdb[10] = {0x28, 0x00};
        pds::store_be32(std::span<std::uint8_t>(cdb).subspan(2),
                        static_cast<std::uint32_t>(device->num_blocks - blocks_from_end));
        cdb[8] = 1;
        sector.fill(0);
        const std::int32_t rc = send_cdb(device, cdb, sector.data(), &no_settings, 0);
        if (rc != 0) SIL_TRACE(SIL_TRACE_ERROR, "SIL_ReadVantrelSig error sending TxCDB to check signature");
        return rc;
    };
    const auto signed_sector = [&] {
        return std::equal(kVantrelSignature.begin(), kVantrelSignature.end(), sector.begin() + kVantrelSignatureOffset);
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
    std::memcpy(device->vantrel_label, sector.data(), kVantrelLabelSize);
    SIL_RETURN(0);
}

// ---- VPD pages ------------------------------------------------------------------------------------

std::int32_t get_evpd_page(T_SIL_DEVICE* device, std::uint8_t page, std::uint8_t* buffer, std::uint32_t length) {
    SIL_FUNCTION("get_evpd_page");
    if (buffer == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    std::memset(buffer, 0, length);
    const std::uint8_t cdb[6] = {0x12, 0x01, page, 0x00, static_cast<std::uint8_t>(std::min(length, kMaxAllocation)),
                                 0x00};
    const T_SIL_IOCTL_SETTINGS no_settings{};
    SIL_RETURN(send_cdb(device, cdb, buffer, &no_settings, 0));
}

std::int32_t GetKorvalithEVPDPage(T_SIL_DEVICE* device, void* reserved1, std::uint8_t* buffer, void* reserved2,
                                  int fetch, int force_dump) {
    SIL_FUNCTION("GetKorvalithEVPDPage");
    if (force_dump != 0) sil_set_verbosity(sil_trace_on() | SIL_TC_CDB_LOG);
    if (device == nullptr || buffer == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    // Count-key-data devices answer no vendor pages.
    if (is_ckd_korvalith(device)) SIL_RETURN(0);

    std::int32_t rc = 0;
    if (fetch != 0) rc = get_evpd_page(device, buffer[1], buffer, SIL_KORV_EVPD_LENGTH);

    if (sil_trace_on() != 0 && buffer[1] >= 0xC0) {
        const std::span<const std::uint8_t> page(buffer, SIL_KORV_EVPD_LENGTH);
        const std::string dashes(77, '-');
        std::FILE* out = sil_out();
        std::fprintf(out, "%s\n", dashes.c_str());
        std::fprintf(out, " EVPD STANDARD HEADER: \n");
        std::fprintf(out, "%s\n", dashes.c_str());
        std::fprintf(out, " EVPD PAGE NUMBER : 0x%02x LENGTH : 0x%02x UCODE DATE: %02x-%02x-%02x\n", page[1],
                     pds::load_be16(page.subspan(2)), page[5], page[6], page[7]);
        // The array writes these three in its own (little-endian) order.
        std::fprintf(out, " UCODE REVISION : %04x UCODE MTPF LEVEL : %04x UCODE TYPE: %08x\n",
                     pds::load_le16(page.subspan(8)), pds::load_le16(page.subspan(10)), pds::load_le32(page.subspan(12)));
        std::fprintf(out, "%s\n", dashes.c_str());
        std::fflush(out);
    }
    SIL_RETURN(rc);
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

std::int32_t get_korv_hp_id(T_SIL_DEVICE* device, std::uint64_t) {
    SIL_FUNCTION("get_korv_hp_id");
    if (!identifier_wanted(device) || device->ucode_level < kLevelIdentifiers) SIL_RETURN(SIL_ERR_FAILED);
    // REPORT DEVICE IDENTIFIER, 132 bytes
    const std::uint8_t cdb[12] = {0xA3, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x84, 0, 0};
    std::array<std::uint8_t, 0x84> reply{};
    const std::int32_t rc = send_cdb(device, cdb, reply.data(), nullptr, 0);
    if (rc != 0) SIL_RETURN(rc);
    pds::ReplyReader r(reply);
    const auto length = r.u8(3);
    if (reply[0] != 0 || reply[1] != 0 || reply[2] != 0 || !length || *length >= 129) SIL_RETURN(SIL_ERR_FAILED);
    const auto text = r.bytes(4, *length);
    if (!text) SIL_RETURN(SIL_ERR_FAILED);
    SIL_RETURN(set_device_identifier(device, *text));
}

std::int32_t get_korv_vms_id(T_SIL_DEVICE* device, std::uint64_t) {
    SIL_FUNCTION("get_korv_vms_id");
    if (!identifier_wanted(device) || device->ucode_level < kLevelIdentifiers) SIL_RETURN(SIL_ERR_FAILED);
    const std::uint8_t cdb[10] = {0xEC, 0, 0, 0, 0, 0, 0, 0x08, 0, 0};
    std::array<std::uint8_t, 8> reply{};
    const std::int32_t rc = send_cdb(device, cdb, reply.data(), nullptr, 0);
    if (rc != 0) SIL_RETURN(rc);
    if (reply[0] != 0 || reply[1] != 0 || reply[2] != 1 || reply[3] != 4) SIL_RETURN(SIL_ERR_FAILED);
    // The id is shown as a signed number in at most ten characters.
    char text[11];
    std::snprintf(text, sizeof text, "%-d", static_cast<std::int32_t>(pds::load_be32(std::span(reply).subspan(4))));
    SIL_RETURN(set_device_identifier(device, {reinterpret_cast<const std::uint8_t*>(text), std::strlen(text)}));
}

std::optional<T_TLV_ITEM> parse_tlv_header(std::span<const std::uint8_t> data, std::size_t offset) {
    if (offset >= data.size()) return std::nullopt;
    const std::uint8_t header = data[offset];
    const std::size_t tag_bytes = ((header >> 6) & 0x03) + 1;
    const std::size_t length_bytes = ((header >> 2) & 0x07) + 1;
    const std::size_t at = offset + 1;
    if (data.size() - at < tag_bytes + length_bytes) return std::nullopt;
    T_TLV_ITEM item{};
    item.tag = load_be_width(data.subspan(at, tag_bytes));
    item.constructed = (header & 0x20) != 0;
    item.length = load_be_width64(data.subspan(at + tag_bytes, length_bytes));
    item.value_offset = at + tag_bytes + length_bytes;
    return item;
}

std::optional<T_DRAV_REPLY_HEADER> drav_reply_header(std::span<const std::uint8_t> reply) {
    const auto item = parse_tlv_header(reply, 0);
    if (!item || item->tag != kDravHeaderTag || item->length != 6 || !value_fits(reply, *item)) return std::nullopt;
    const auto value = reply.subspan(item->value_offset, 6);
    // The array echoes CDB bytes 2-3 so a reply to another request is not taken for ours.
    if (value[0] != 0x02 || value[1] != 0x01) return std::nullopt;
    return T_DRAV_REPLY_HEADER{(value[2] & 0x01) != 0, pds::load_be24(value.subspan(3))};
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

std::int32_t get_drav_nice_name(T_SIL_DEVICE* device, std::uint64_t) {
    SIL_FUNCTION("get_drav_nice_name");
    if (!identifier_wanted(device) || device->drav_device == nullptr) SIL_RETURN(SIL_ERR_FAILED);

    auto reply = zeroed_bytes(kDravReplyBuffer);
    if (!reply) SIL_RETURN(SIL_ERR_NO_MEMORY);
    std::uint8_t cdb[10] = {0xEF, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00};
    std::int32_t rc = send_cdb(device, cdb, reply->data(), nullptr, 0);
    if (rc != 0) SIL_RETURN(rc);
    auto header = drav_reply_header(*reply);
    if (!header) SIL_RETURN(SIL_ERR_FAILED);
    if (header->more) {
        // The names did not fit: ask again with room for all the array has.
        reply = zeroed_bytes(header->total_size);
        if (!reply) SIL_RETURN(SIL_ERR_NO_MEMORY);
        pds::store_be24(std::span<std::uint8_t>(cdb).subspan(6), header->total_size);
        rc = send_cdb(device, cdb, reply->data(), nullptr, 0);
        if (rc != 0) SIL_RETURN(rc);
        header = drav_reply_header(*reply);
        if (!header || header->more) SIL_RETURN(SIL_ERR_FAILED);
    }
    std::string name;
    if (drav_nice_name_walk(*reply, std::span<const std::uint8_t>(device->drav_device->lun_wwn), name) != 0) {
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
