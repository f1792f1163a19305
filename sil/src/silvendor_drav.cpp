// The midrange array's and the virtualisation product's page decoders (pages 00, C0, 80/FE, 83/FF, 85).
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include <pds/byteorder.h>

#include "silbscsi.h"
#include "sildebug.h"
#include "silinqut.h"
#include "sillib.h"
#include "silvendor.h"

namespace {

// Every message of these two decoders goes out at this class.
constexpr std::uint32_t kTraceClass = SIL_TRACE_INFO;

constexpr std::uint8_t kPageList = 0x00;
constexpr std::uint8_t kPageSerial = 0x80;
constexpr std::uint8_t kPageWwn = 0x83;
constexpr std::uint8_t kPageNetwork = 0x85;
constexpr std::uint8_t kPageC0 = 0xC0;
constexpr std::uint8_t kPageVirtualSerial = 0xFE;  // a virtual disk's back-end serial
constexpr std::uint8_t kPageVirtualWwn = 0xFF;     // and its back-end identification

// Allocation lengths the array firmware has always been asked with.
constexpr std::size_t kPageListLength = 255;
constexpr std::size_t kPageC0Length = 68;
constexpr std::size_t kSerialPageLength = 255;
constexpr std::size_t kWwnPageLength = 44;
constexpr std::size_t kNetworkPageLength = 255;
constexpr std::size_t kNetworkScratchLength = 1024;

constexpr std::size_t kSerialChars = sizeof(T_DRAVONIS_DEVICE{}.array_serial) - 1;

// The standard INQUIRY's own copy of the array serial (newer firmware).
constexpr std::size_t kInquirySerialLengthOffset = 160;
constexpr std::size_t kInquirySerialOffset = 161;
constexpr std::size_t kInquiryProductOffset = 16;
constexpr std::size_t kInquiryProductLength = 16;

// Page 0x85: a network-address descriptor longer than this is not an address of a storage
// processor, and a text after "//" this long or longer is a name, not an IPv4 address.
constexpr std::size_t kPeerDescriptorLimit = 25;
constexpr std::size_t kPeerAddressLimit = 17;
// Descriptors of at least four bytes in a page of kNetworkPageLength bytes.
constexpr std::size_t kMostDescriptors = (kNetworkPageLength - 4) / 4 + 1;

// What tells the two families apart; everything else they decode alike.
struct Family {
    bool midrange;                 // the Dravonis decoder: INQUIRY serial, virtual-disk skip, page 0x85
    std::uint32_t backing_type;    // backing_array_type of a virtual disk on this family
    std::uint8_t T_SIL_DEVICE::*flag;
    T_DRAVONIS_DEVICE* T_SIL_DEVICE::*record;
    const char* not_family;
    const char* no_memory;
};

constexpr Family kDravonis = {true, 2, &T_SIL_DEVICE::is_drav, &T_SIL_DEVICE::drav_device,
                              "Device is not a Dravonis array", "calloc() of T_DRAVONIS_DEVICE failed"};
constexpr Family kMeshvar = {false, 3, &T_SIL_DEVICE::is_olvessa, &T_SIL_DEVICE::olvessa_device,
                             "Device is not a Meshvar array", "calloc() for Meshvar device failed"};

// Which facts are settled, so that later pages do not overwrite them.
struct Known {
    bool serial = false;
    bool wwn = false;
    bool state = false;
};

// Which of the pages that change the decode the array lists on page 0x00.
struct Listed {
    bool c0 = false;
    bool network = false;
    bool virtual_serial = false;
};

void drop_peers(T_DRAVONIS_DEVICE& record) {
    if (record.peers != nullptr) {
        for (std::int32_t i = 0; i < record.peer_count; ++i) delete record.peers[i];
        delete[] record.peers;
    }
    record.peers = nullptr;
    record.peer_count = 0;
}

void drop_record(T_SIL_DEVICE* device, const Family& family) {
    T_DRAVONIS_DEVICE*& record = device->*family.record;
    if (record == nullptr) return;
    drop_peers(*record);
    delete record;
    record = nullptr;
}

// A required page failed: the device is left as a make this library does not know. The family
// flag always goes; the virtual-disk marks go with it as each decoder has always cleared them.
void forget_family(T_SIL_DEVICE* device, const Family& family, bool virtual_marks) {
    drop_record(device, family);
    device->*family.flag = 0;
    if (virtual_marks) {
        device->is_virtual = 0;
        device->backing_array_type = 0;
    }
}

// The serial text: what the device gave, cut to the field, NUL-terminated (the field is cleared
// first so a shorter serial leaves nothing of an earlier one behind).
void set_serial(T_DRAVONIS_DEVICE& record, std::span<const std::uint8_t> chars) {
    const std::size_t count = std::min(chars.size(), kSerialChars);
    std::memset(record.array_serial, 0, sizeof record.array_serial);
    std::copy_n(chars.begin(), count, record.array_serial);
    record.array_serial_len = static_cast<std::uint8_t>(count);
}

// `length` characters from `offset` of the reply, never more than the field holds nor past the
// bytes received.
std::span<const std::uint8_t> serial_chars(const pds::ReplyReader& reply, std::size_t offset, std::size_t length) {
    return reply.bytes_upto(offset, std::min(length, kSerialChars));
}

Listed listed_pages(std::span<const std::uint8_t> page) {
    pds::ReplyReader reply(page);
    Listed listed;
    const std::size_t count = reply.u8(3).value_or(0);
    for (const std::uint8_t code : reply.bytes_upto(4, count)) {
        if (code == kPageC0) listed.c0 = true;
        if (code == kPageNetwork) listed.network = true;
        if (code == kPageVirtualSerial) listed.virtual_serial = true;
    }
    return listed;
}

// Page 0xC0: its page length says which fields the array filled (each threshold inclusive); a
// field the reply does not reach is left as it is.
void decode_page_c0(std::span<const std::uint8_t> page, T_DRAVONIS_DEVICE& record, Known& known) {
    pds::ReplyReader reply(page);
    const std::size_t length = reply.u8(3).value_or(0);
    if (length >= 0x01) {
        if (const auto state = reply.u8(4)) {
            record.lun_state = *state <= 1 ? SIL_LUN_STATE_NOT_BOUND + *state : SIL_LUN_STATE_ASSIGNED;
            known.state = true;
        }
    }
    if (length >= 0x02) record.default_owner = reply.u8(5).value_or(record.default_owner);
    if (length >= 0x04) record.sp_port = reply.u8(7).value_or(record.sp_port);
    if (length >= 0x05) {
        if (const auto sp = reply.u8(8)) {
            record.sp = *sp;
            record.sp_valid = 1;
        }
    }
    if (length >= 0x16) {
        if (const auto wwn = reply.bytes(10, sizeof record.lun_wwn)) {
            std::copy(wwn->begin(), wwn->end(), record.lun_wwn);
            known.wwn = true;
        }
    }
    if (length >= 0x17) record.system_type = reply.u8(26).value_or(record.system_type);
    if (length >= 0x2C) {
        if (const auto address = reply.bytes(32, sizeof record.sp_ip_address)) {
            std::copy(address->begin(), address->end(), record.sp_ip_address);
            const auto ipv4 = address->last(4);
            const bool present = std::any_of(ipv4.begin(), ipv4.end(), [](std::uint8_t b) { return b != 0; });
            record.ip_len = present ? 4 : 0;
            // Without an address the SP cannot be reached, whatever byte 8 said.
            if (!present) record.sp_valid = 0;
        }
    }
    if (length >= 0x2D) record.lun_operations = reply.u8(48).value_or(record.lun_operations);
    if (length >= 0x2E) {
        if (const auto count = reply.u8(49)) record.array_serial_len = static_cast<std::uint8_t>(std::min<std::size_t>(*count, kSerialChars));
    }
    if (length >= 0x3A) {
        if (const auto count = reply.u8(49)) {
            set_serial(record, serial_chars(reply, 50, *count));
            known.serial = true;
        }
    }
}

// The LUN state from the standard INQUIRY when page 0xC0 did not give it.
std::uint32_t state_from_inquiry(std::span<const std::uint8_t> inquiry) {
    pds::ReplyReader reply(inquiry);
    const std::uint8_t qualifier = static_cast<std::uint8_t>(reply.u8(0).value_or(0) >> 5);
    if (qualifier != 1) return SIL_LUN_STATE_ASSIGNED;
    if ((reply.u8(1).value_or(0) & 0x7F) != 0) return SIL_LUN_STATE_NOT_ASSIGNED;
    const auto product = reply.bytes_upto(kInquiryProductOffset, kInquiryProductLength);
    if (std::any_of(product.begin(), product.end(), [](std::uint8_t c) { return c != ' '; }))
        return SIL_LUN_STATE_NOT_ASSIGNED;
    return SIL_LUN_STATE_NOT_BOUND;
}

// "a.b.c.d" with four decimal numbers of at most 255, ended by '/' or by the end of the text.
std::optional<std::array<std::uint8_t, 4>> parse_ipv4(std::string_view text) {
    std::array<std::uint8_t, 4> address{};
    std::size_t at = 0;
    for (std::size_t part = 0; part < address.size(); ++part) {
        unsigned value = 0;
        std::size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || value > 255) return std::nullopt;
        address[part] = static_cast<std::uint8_t>(value);
        const char end = part + 1 < address.size() ? '.' : '/';
        if (at == text.size() && part + 1 == address.size()) break;
        if (at >= text.size() || text[at] != end) return std::nullopt;
        ++at;
    }
    return address;
}

// The address texts of page 0x85's network-address descriptors short enough to be a storage
// processor's. The walk stays inside the page length and the bytes received; a descriptor that
// claims to run past them ends it.
std::size_t address_texts(std::span<const std::uint8_t> page, std::size_t page_length,
                          std::array<std::string_view, kMostDescriptors>& texts) {
    const std::size_t end = std::min(page.size(), 4 + page_length);
    std::size_t count = 0;
    std::size_t at = 4;
    while (at + 4 <= end && count < texts.size()) {
        const std::size_t length = pds::load_be16(page.subspan(at + 2));
        if (length > end - (at + 4)) {
            SIL_TRACE(kTraceClass, "Page 0x85 descriptor at byte %u claims %u bytes past the page",
                      static_cast<unsigned>(at), static_cast<unsigned>(length));
            break;
        }
        if (length < kPeerDescriptorLimit) {
            std::string_view text(reinterpret_cast<const char*>(page.data() + at + 4), length);
            texts[count++] = text.substr(0, text.find('\0'));
        }
        at += 4 + length;
    }
    return count;
}

// Step 10: the other storage processors' addresses. 0, or -101 when a peer record cannot be had
// (the caller then drops the whole record).
std::int32_t read_peers(T_SIL_DEVICE* device, T_DRAVONIS_DEVICE& record) {
    std::unique_ptr<std::uint8_t[]> scratch(new (std::nothrow) std::uint8_t[kNetworkScratchLength]{});
    if (scratch == nullptr) {
        SIL_TRACE(kTraceClass, "calloc() of page85_tmp_buff failed");
        return SIL_ERR_NO_MEMORY;
    }
    const T_SIL_REPLY got = read_vpd_page(device, kPageNetwork, std::span<std::uint8_t>(scratch.get(), kNetworkPageLength));
    if (!got.ok()) {
        SIL_TRACE(kTraceClass, "Failed to retrieve inquiry VPD page 0x85");
        return 0;
    }
    pds::ReplyReader reply(got.bytes);
    const std::size_t page_length = reply.be16(2).value_or(0);
    if (page_length == 0) {
        SIL_TRACE(kTraceClass, "Page 0x85 format not as expected: Page empty.");
        return 0;
    }
    std::array<std::string_view, kMostDescriptors> texts{};
    const std::size_t count = address_texts(got.bytes, page_length, texts);
    if (count == 1) {
        SIL_TRACE(kTraceClass, "No peers found.");
        return 0;
    }
    if (count == 0) return 0;

    // The first address is this storage processor's own.
    record.peers = new (std::nothrow) T_DRAVONIS_PEER*[count - 1]{};
    if (record.peers == nullptr) return SIL_ERR_NO_MEMORY;
    for (std::size_t i = 1; i < count; ++i) {
        const std::string_view text = texts[i];
        const std::size_t slashes = text.find("//");
        if (slashes == std::string_view::npos) {
            SIL_TRACE(kTraceClass, "Page 0x85 format not as expected");
            drop_peers(record);
            return 0;
        }
        const std::string_view host = text.substr(slashes + 2);
        if (host.size() >= kPeerAddressLimit) continue;
        const auto address = parse_ipv4(host);
        if (!address) {
            SIL_TRACE(kTraceClass, "Peer address <%.*s> is not an IPv4 address", static_cast<int>(text.size()), text.data());
            continue;
        }
        auto* peer = new (std::nothrow) T_DRAVONIS_PEER{};
        if (peer == nullptr) return SIL_ERR_NO_MEMORY;
        std::copy(address->begin(), address->end(), peer->address + sizeof peer->address - address->size());
        peer->address_len = 4;
        record.peers[record.peer_count++] = peer;
    }
    return 0;
}

std::int32_t decode_family(T_SIL_DEVICE* device, const Family& family) {
    if (device == nullptr) {
        SIL_TRACE(kTraceClass, "sil_device is NULL");
        return SIL_ERR_NO_DEVICE;
    }
    if (device->*family.flag == 0 && device->backing_array_type != family.backing_type) {
        SIL_TRACE(kTraceClass, "%s", family.not_family);
        return SIL_ERR_WRONG_DEVICE_KIND;
    }
    // A record of an earlier identification of this device is replaced, not leaked.
    drop_record(device, family);
    auto* created = new (std::nothrow) T_DRAVONIS_DEVICE{};
    if (created == nullptr) {
        SIL_TRACE(kTraceClass, "%s", family.no_memory);
        return SIL_ERR_NO_MEMORY;
    }
    device->*family.record = created;
    T_DRAVONIS_DEVICE& record = *created;
    Known known;
    const std::span<const std::uint8_t> inquiry = sil_inquiry_bytes(device);

    if (family.midrange) {
        // Newer firmware puts the array serial in the standard INQUIRY itself.
        pds::ReplyReader inq(inquiry);
        const std::uint8_t length = inq.u8(kInquirySerialLengthOffset).value_or(0);
        if (length != 0) {
            set_serial(record, serial_chars(inq, kInquirySerialOffset, length));
            known.serial = true;
        } else {
            SIL_TRACE(kTraceClass, "array_serial_number_length is 0.");
        }
        if (device->is_vm_disk) {
            SIL_TRACE(kTraceClass, "This is a Virtual device. Skipping inquiry pages.");
            return 0;
        }
    }

    std::array<std::uint8_t, kPageListLength> list_page{};
    const T_SIL_REPLY list = read_vpd_page(device, kPageList, list_page);
    if (!list.ok()) {
        SIL_TRACE(kTraceClass, "Failed to retrieve inquiry VPD page 0x00");
        forget_family(device, family, family.midrange);
        return list.status;
    }
    const Listed listed = listed_pages(list.bytes);
    const bool on_virtual_disk = device->backing_array_type == family.backing_type;
    // The midrange array answers for a virtual disk's back end only when it says it can.
    const bool back_end_pages = on_virtual_disk && (!family.midrange || listed.virtual_serial);

    if (listed.c0) {
        std::array<std::uint8_t, kPageC0Length> c0{};
        const T_SIL_REPLY got = read_vpd_page(device, kPageC0, c0);
        if (got.ok()) {
            decode_page_c0(got.bytes, record, known);
        } else {
            SIL_TRACE(kTraceClass, "Failed to retrieve inquiry VPD page 0xc0");
        }
    }

    if (!known.serial) {
        const std::uint8_t code = back_end_pages ? kPageVirtualSerial : kPageSerial;
        std::array<std::uint8_t, kSerialPageLength> serial_page{};
        const T_SIL_REPLY got = read_vpd_page(device, code, serial_page);
        if (!got.ok()) {
            SIL_TRACE(kTraceClass, "Failed to retrieve inquiry VPD page 0x%02x", code);
            forget_family(device, family, true);
            return got.status;
        }
        pds::ReplyReader reply(got.bytes);
        set_serial(record, serial_chars(reply, 4, reply.u8(3).value_or(0)));
    }

    {
        const std::uint8_t code = back_end_pages ? kPageVirtualWwn : kPageWwn;
        std::array<std::uint8_t, kWwnPageLength> wwn_page{};
        const T_SIL_REPLY got = read_vpd_page(device, code, wwn_page);
        if (got.ok()) {
            pds::ReplyReader reply(got.bytes);
            if (!known.wwn) {
                if (const auto wwn = reply.bytes(8, sizeof record.lun_wwn)) std::copy(wwn->begin(), wwn->end(), record.lun_wwn);
            }
            record.p83_word1 = reply.be16(28).value_or(0);
            record.p83_word2 = reply.be16(36).value_or(0);
        } else {
            SIL_TRACE(kTraceClass, "Failed to retrieve inquiry VPD page 0x%02x", code);
        }
    }

    if (!known.state) record.lun_state = state_from_inquiry(inquiry);

    if (family.midrange && listed.network) {
        const std::int32_t rc = read_peers(device, record);
        if (rc != 0) {
            drop_record(device, family);
            return rc;
        }
    }
    return 0;
}

}  // namespace

std::int32_t SIL_Get_Dravonis_Info(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_Get_Dravonis_Info");
    SIL_RETURN(decode_family(device, kDravonis));
}

std::int32_t SIL_Get_Meshvar_Info(T_SIL_DEVICE* device) {
    SIL_FUNCTION("SIL_Get_Meshvar_Info");
    SIL_RETURN(decode_family(device, kMeshvar));
}
