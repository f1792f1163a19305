// The page detail reports: -page0 (with the NAS label and NAS iSCSI blocks), -page <code> and -pagec0.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "inquiry_identity.h"
#include "sil/sildopen.h"
#include "sil/silfmtpg0.h"
#include "sil/silkorinq.h"
#include "sil/sillib.h"
#include "sil/silvendor.h"

namespace {

// The NAS label block as the NAS software writes it, from byte 32 in the host's byte order.
constexpr std::size_t kLabelTarget = 32;
constexpr std::size_t kLabelLun = 34;
constexpr std::size_t kLabelArraySerial = 36;
constexpr std::size_t kLabelArrayModel = 40;
constexpr std::size_t kLabelMakerType = 44;

constexpr std::size_t kPageBufferBytes = 1040;
constexpr std::size_t kSupportedPagesBuffer = 260;
constexpr std::uint32_t kSupportedPagesAsked = 255;
constexpr std::size_t kPageC0Bytes = 68;
constexpr std::size_t kC0SerialOffset = 50;

const std::string kDashes77(77, '-');

// Little-endian fields: the NAS label is in the host's order, and page C0 keeps its initiator
// options that way too.
std::uint32_t load_le(std::span<const std::uint8_t> bytes, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}

// The list's first device for a report that opens it.
T_SIL_DEVICE* first_device_to_open(const T_SIL_DEVICE_LIST* list) {
    return first_device(list) != nullptr ? list->devices[0] : nullptr;
}

void do_vantrel_config_display(std::FILE* out, const T_SIL_DEVICE& dev) {
    const std::span<const std::uint8_t> label(dev.vantrel_label);
    std::fprintf(out, "\n%s\n", kDashes77.c_str());
    std::fprintf(out, "\nVANTREL CONFIG INFO :\n\n");
    std::fprintf(out, "%s        = %d\n", "target", static_cast<int>(load_le(label.subspan(kLabelTarget), 2)));
    std::fprintf(out, "%s    = %d\n", "maker_type",
                 static_cast<int>(load_le(label.subspan(kLabelMakerType), 4)));
    std::fprintf(out, "%s           = %x\n", "lun", load_le(label.subspan(kLabelLun), 2));
    std::fprintf(out, "%s = %x\n", "kor serial no", load_le(label.subspan(kLabelArraySerial), 4));
    std::fprintf(out, "%s  = %x\n", "kor model no", load_le(label.subspan(kLabelArrayModel), 4));
    std::fprintf(out, "%s\n", kDashes77.c_str());
}

void do_ivantrel_info_display(std::FILE* out, const T_SIL_DEVICE& dev) {
    const T_IVANTREL_DEVICE* nas = dev.ivantrel_device;
    if (nas == nullptr) return;
    std::fprintf(out, "\n%s\n", kDashes77.c_str());
    std::fprintf(out, "\nIVANTREL INFO :\n\n");
    std::fprintf(out, "section_revision     = %X\n", nas->section_revision);
    std::fprintf(out, "dm_slot_id           = %X\n", nas->dm_slot_id);
    std::fprintf(out, "dm_root_fs_id        = %X\n", nas->dm_root_fs_id);
    std::fprintf(out, "serial_num           = %.*s\n", static_cast<int>(strnlen(nas->serial_num, sizeof nas->serial_num)),
                 nas->serial_num);
    std::fprintf(out, "lun_name             = %s\n", nas->lun_name != nullptr ? nas->lun_name : "");
    for (std::uint32_t i = 0; nas->ip_addresses != nullptr && i < nas->ip_count; ++i) {
        std::fprintf(out, "IP Addresses(%2d)     = ", static_cast<int>(i));
        for (const std::uint8_t byte : nas->ip_addresses[i]) std::fprintf(out, "%d", byte);
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "%s\n", kDashes77.c_str());
}

// Where the first identifier of a page 0x83 sits. The long form (page length 20 or 28) carries a
// descriptor header, so the identifier starts at byte 8 with its length in byte 7; the array's short
// form has the bare identifier from byte 4, as long as the page. Either is cut at the page's end.
std::span<const std::uint8_t> page83_identifier(std::span<const std::uint8_t> buffer) {
    const std::size_t page_length = buffer[3];
    const std::size_t page_end = std::min(buffer.size(), page_length + 4);
    if (page_length == 20 || page_length == 28) return buffer.subspan(8, std::min<std::size_t>(buffer[7], page_end - 8));
    return buffer.subspan(4, page_end - 4);
}

void print_page83(std::span<const std::uint8_t> buffer) {
    std::printf("  RAW: ");
    for (std::size_t i = 0; i < std::size_t{buffer[3]} + 4u; ++i) std::printf(" %02x", buffer[i]);
    std::printf("\n\n");
    const auto id = page83_identifier(buffer);
    // The first four identifier bytes, as far as the identifier goes.
    std::uint32_t head = 0;
    for (std::size_t i = 0; i < 4; ++i) head = (head << 8) | (i < id.size() ? id[i] : 0u);
    std::printf("   NAA             = %1x\n", static_cast<unsigned>(head >> 28));
    std::printf("   IEEE Company ID = %06x\n", static_cast<unsigned>((head >> 4) & 0xFFFFFF));
    std::printf("   VSID            = ");
    for (const std::uint8_t byte : id) std::printf("%02x", byte);
    std::printf("\n\n");
    std::printf("  Bytes 0-3:    NAA + Company ID + VSID-4-bits=0 \n");
    std::printf("  Bytes 4-9:    Korvalith cabinet S/N (BCD)      \n");
    std::printf("  Bytes a-c:    Text string \"KOR\"              \n");
    std::printf("  Bytes d-f:    Korvalith device number          \n");
    std::printf("\n");
}

const char* lun_state_text(std::uint8_t state) {
    switch (state) {
    case 0: return "Lun not bound or LUN_Z report";
    case 1: return "Lun bound, but not assigned on this SP";
    case 2: return "Lun bound and assigned on this SP";
    default: return "Unknown state";
    }
}

const char* sp_ip_management_text(unsigned value) {
    static constexpr const char* kTexts[] = {"No IP access to the SP", "Reserved [undefined]", "IP access to SP via IPv4",
                                             "IP access to SP via IPv6"};
    return kTexts[value & 3];
}

const char* lun_operations_text(std::uint8_t value) {
    if (value == 0) return "Normal Operations";
    if (value == 1) return "I/O operations being rejected, NDU in progress";
    return "Reserved for future use";
}

// The page C0 decode. `page` is the 68-byte buffer; `shown` the bytes of it the page holds.
void print_page_c0(std::FILE* out, std::span<const std::uint8_t, kPageC0Bytes> page, std::size_t shown) {
    const auto sp_letter = [](std::uint8_t v) { return v == 0 ? 'A' : 'B'; };
    std::fprintf(out, "BYTE     00:  Peripheral Qualifier    Peripheral Device Type\n");
    std::fprintf(out, "                      0x%02x                     0x%02x\n", page[0] >> 5, page[0] & 0x1F);
    std::fprintf(out, "BYTE     01:  Page Code                        = 0x%02x\n", page[1]);
    std::fprintf(out, "BYTE     02:  Reserved                         = 0x%02x\n", page[2]);
    std::fprintf(out, "BYTE     03:  Page Length                      = 0x%02x\n", page[3]);
    std::fprintf(out, "BYTE     04:  Lun State                        = 0x%02x (%s)\n", page[4], lun_state_text(page[4]));
    std::fprintf(out, "BYTE     05:  Default Owner                    = %c\n", sp_letter(page[5]));
    const unsigned management = (page[6] >> 4) & 3;
    std::fprintf(out, "BYTE     06:   NO_ATF    IRec    SP IP MANAGEMENT    Reserved\n");
    std::fprintf(out, "                 %01x         %01x            %01x              %02x\n", page[6] >> 7,
                 (page[6] >> 6) & 1, management, page[6] & 0x0F);
    std::fprintf(out, "           (SP IP MANAGEMENT %01x means \"%s\")\n", management, sp_ip_management_text(management));
    std::fprintf(out, "BYTE     07:  Port Number                      = 0x%02x\n", page[7]);
    std::fprintf(out, "BYTE     08:  SP                               = %c\n", sp_letter(page[8]));
    std::fprintf(out, "BYTE     09:  Page Revision                    = 0x%02x\n", page[9]);
    std::fprintf(out, "BYTES 10-25:  Lun WWN                          = ");
    print_hex(out, page.subspan(10, 16));
    std::fprintf(out, "\n");
    std::fprintf(out, "BYTE     26:  System Type                      = 0x%02x\n", page[26]);
    std::fprintf(out, "BYTE     27:  Effective Initiator Type         = 0x%02x\n", page[27]);
    std::fprintf(out, "BYTES 28-31:  Effective Initiator Options      = 0x%04x\n", load_le(page.subspan(28), 4));
    // Bytes 44-47 whatever the management field says: an IPv6 address shows its last four bytes.
    std::fprintf(out, "BYTES 32-47:  SP IP Address                    = %u.%u.%u.%u \n", page[44], page[45], page[46],
                 page[47]);
    std::fprintf(out, "BYTE     48:  Lun Operations                   = 0x%02x (%s)\n", page[48],
                 lun_operations_text(page[48]));
    std::fprintf(out, "BYTE     49:  Array Serial Number Length       = 0x%02x\n", page[49]);
    // The serial has no terminating zero when it fills the page: it ends at its length, cut to the
    // bytes the page holds.
    const std::size_t room = shown > kC0SerialOffset ? shown - kC0SerialOffset : 0;
    const std::size_t length = std::min<std::size_t>(page[49], room);
    const auto serial = page.subspan(kC0SerialOffset, length);
    const std::string text(serial.begin(), std::find(serial.begin(), serial.end(), std::uint8_t{0}));
    std::fprintf(out, "BYTES 50-%u:  Array Serial Number              = %s\n", static_cast<unsigned>(49 + length),
                 text.c_str());
}

// Page C0 read and shown for an open device. 0, or -1 after its message.
int show_page_c0(std::FILE* out, T_SIL_DEVICE* dev) {
    const char* name = dev->name;
    std::array<std::uint8_t, kSupportedPagesBuffer> supported{};
    if (get_evpd_page(dev, 0x00, supported.data(), kSupportedPagesAsked) != 0) {
        std::fprintf(out, "Failed to retrieve inquiry VPD page 0x00 for device %s\n", name);
        return -1;
    }
    const auto listed = std::span(supported).subspan(4, supported[3]);
    if (std::find(listed.begin(), listed.end(), std::uint8_t{0xC0}) == listed.end()) {
        std::fprintf(out, "Page c0 is not provided for device %s\n", name);
        return -1;
    }
    std::array<std::uint8_t, kPageC0Bytes> page{};
    if (get_evpd_page(dev, 0xC0, page.data(), static_cast<std::uint32_t>(page.size())) != 0) {
        std::fprintf(out, "Failed to get page c0 for device %s\n", name);
        return -1;
    }
    const std::size_t shown = std::min<std::size_t>(std::size_t{page[3]} + 4, page.size());
    std::fputs(dev->is_olvessa != 0 ? "Olvessa  EVPD PAGE C0 ----  RAW DATA FORMAT  ----  Olvessa EVPD PAGE C0\n"
                                    : "Dravonis EVPD PAGE C0 ----  RAW DATA FORMAT  ---- Dravonis EVPD PAGE C0\n",
               out);
    std::fprintf(out, "%s\n", kDashes77.c_str());
    std::fflush(out);
    sil_hex_dump(shown, page.data(), 0, nullptr, nullptr);
    std::fprintf(out, "%s\n", kDashes77.c_str());
    print_page_c0(out, page, shown);
    std::fprintf(out, "%s\n", kDashes77.c_str());
    return 0;
}

}  // namespace

int do_page0_display(const T_SIL_DEVICE_LIST* list, const create_dev_list*, const T_DISPLAY_OPTIONS* opts) {
    const T_SIL_DEVICE* dev = first_device(list);
    if (dev == nullptr) return -1;
    std::FILE* out = sil_out();
    if (dev->inquiry != 1 || dev->inquiry_data == nullptr) {
        std::fprintf(out, "failed to retrieve inquiry data\n");
        return -1;
    }
    std::fprintf(out, "STANDARD INQUIRY PAGE ----  RAW DATA FORMAT  ---- STANDARD INQUIRY PAGE\n");
    const std::string dashes71(71, '-');
    std::fprintf(out, "%s\n", dashes71.c_str());

    // A virtual disk shows the standard data of the device behind it, which keeps fewer bytes than
    // the device's own page: the rest of the work copy stays zero.
    std::array<std::uint8_t, KOR_INQ_PAGE0_SIZE> work{};
    std::span<const std::uint8_t> source(reinterpret_cast<const std::uint8_t*>(dev->inquiry_data), KOR_INQ_PAGE0_SIZE);
    if (dev->is_virtual != 0 && dev->backing_device != nullptr) source = std::span(dev->backing_device->inquiry_data);
    std::copy(source.begin(), source.end(), work.begin());

    // The additional length counts from byte 0 here; a length beyond the bytes held stops at them.
    sil_hex_dump(std::min<std::size_t>(source[4], source.size()), source.data(), 0, nullptr, nullptr);
    std::fprintf(out, "%s\n", dashes71.c_str());
    FormatStandardPage00(work, dev, nullptr, nullptr, dev->is_virtual);

    if (opts->vantrel != 0 && dev->has_vantrel_label != 0) {
        do_vantrel_config_display(out, *dev);
    } else if (dev->is_ivantrel != 0) {
        do_ivantrel_info_display(out, *dev);
    }
    std::fflush(out);
    return 0;
}

int do_page_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts) {
    T_SIL_DEVICE* dev = first_device_to_open(list);
    if (dev == nullptr) return -1;
    std::array<std::uint8_t, kPageBufferBytes> buffer{};
    const auto code = static_cast<std::uint8_t>(opts->page_code);
    buffer[1] = code;

    T_SIL_OPEN_OPEN_OPTIONS open_options{};
    open_options.skip_inquiry = 1;
    open_options.skip_readcap = 1;
    open_options.get_extdata = 1;
    open_options.read_vantrel = cdl->vantrel;
    SIL_open_device(dev, &open_options);
    // Every page but the WWN page is shown by the transport's dump of the reply.
    GetKorvalithEVPDPage(dev, nullptr, buffer.data(), nullptr, 1, code != 0x83 ? 1 : 0);
    SIL_close_device(dev, 0);

    if (buffer[1] == 0x83) print_page83(buffer);
    std::fflush(stdout);
    return 0;
}

int do_page_c0_display(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl, const T_DISPLAY_OPTIONS*) {
    T_SIL_DEVICE* dev = first_device_to_open(list);
    if (dev == nullptr) return -1;
    std::FILE* out = sil_out();
    if (dev->is_drav == 0 && dev->is_olvessa == 0) {
        std::fprintf(out, "Device:  %s is not a Dravonis device.\n", dev->name);
        return -1;
    }
    const bool opened_here = dev->isOpen != 1;
    if (opened_here) {
        T_SIL_OPEN_OPEN_OPTIONS open_options{};
        open_options.skip_inquiry = 1;
        open_options.skip_readcap = 1;
        open_options.use_backend_inquiry_data = cdl->use_backend_inquiry_data;
        if (SIL_open_device(dev, &open_options) != 0) {
            std::fprintf(out, "Failed to open device %s\n", dev->name);
            return -1;
        }
    }
    const int result = show_page_c0(out, dev);
    // A refusal after the open closes the device too: nothing else will.
    if (opened_here) SIL_close_device(dev, 0);
    std::fflush(out);
    return result;
}
