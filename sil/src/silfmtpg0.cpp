// The standard INQUIRY page printed byte by byte: the midrange, high-end, HDS, Shark and generic layouts.
#include "silfmtpg0.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <pds/byteorder.h>

#include "sil/sillib.h"
#include "sil/siltrace.h"
#include "sildebug.h"
#include "silinqut.h"

namespace {

constexpr std::uint32_t kTraceConvert = 0x1000008;

// Reads the page handed in and nothing beyond it: a byte the page does not reach reads as zero,
// so a short copy prints zeros rather than whatever follows it in memory.
class PagePrinter {
public:
    PagePrinter(std::span<const std::uint8_t> page, std::FILE* out) : page_(page), out_(out) {}

    std::uint8_t b(std::size_t i) const { return page_.u8_or(i, 0); }
    unsigned bit(std::size_t i, int n) const { return (b(i) >> n) & 1u; }
    std::uint16_t host16(std::size_t i) const {
        return static_cast<std::uint16_t>(b(i) | (b(i + 1) << 8));
    }
    std::uint32_t host32(std::size_t i) const {
        return static_cast<std::uint32_t>(host16(i)) | (static_cast<std::uint32_t>(host16(i + 2)) << 16);
    }
    std::uint32_t be32(std::size_t i) const {
        return (std::uint32_t{b(i)} << 24) | (std::uint32_t{b(i + 1)} << 16) | (std::uint32_t{b(i + 2)} << 8) | b(i + 3);
    }
    // The high-end array's microcode words, traced as they are converted.
    std::uint32_t traced_be32(std::size_t i) const {
        const std::uint32_t value = be32(i);
        SIL_TRACE(kTraceConvert, "convert_char_int_new  <%d> \t<0x%05x> \n", static_cast<int>(value), value);
        return value;
    }
    // The NUL-terminated copy of a character field.
    std::string text(std::size_t offset, std::size_t length) const {
        const auto field = page_.bytes_upto(offset, length);
        std::string copy(field.begin(), field.end());
        copy.resize(strnlen(copy.c_str(), copy.size()));
        return copy;
    }

    void dashes() const { std::fprintf(out_, "%s\n", std::string(77, '-').c_str()); }
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void line(const char* format, ...) const {
        va_list args;
        va_start(args, format);
        std::vfprintf(out_, format, args);
        va_end(args);
    }

    void bytes_0_to_2(bool shark) const {
        line("BYTE 00:  Peripheral Qualifer = 0x%02x      Peripheral Device Type    = 0x%02x\n", b(0) >> 5, b(0) & 0x1F);
        line(shark ? "BYTE 01:  Removeable Media    = 0x%02x      Reserved                  = 0x%02x\n"
                   : "BYTE 01:  Removeable Media    = 0x%02x      Device Type Modifier      = 0x%02x\n",
             b(1) >> 7, b(1) & 0x7F);
        line("BYTE 02:  ISO Ver  = 0x%02x   ECMA Ver      = 0x%02x       ANSI Vers    = 0x%02x\n", b(2) >> 6,
             (b(2) >> 3) & 7, b(2) & 7);
    }
    void byte_4() const { line("BYTE 04:  Additional Length               = 0x%02x\n", b(4)); }
    void byte_5() const { line("BYTE 05:  Reserved                        = 0x%02x\n", b(5)); }
    void byte_7() const {
        line("BYTE 07:  RelAdr  WBus32  WBus16   Sync   Linked     TransDis    CmdQue    StRe\n");
        line("            %01x       %01x       %01x       %01x       %01x           %01x          %01x        %01x\n",
             bit(7, 7), bit(7, 6), bit(7, 5), bit(7, 4), bit(7, 3), bit(7, 2), bit(7, 1), bit(7, 0));
    }
    void vendor() const { line("BYTE 08 - 15:  Vendor ID                      = \"%s\"\n", text(8, 8).c_str()); }
    void product() const { line("BYTE 16 - 31:  Product ID                     = \"%s\"\n", text(16, 16).c_str()); }
    void revision() const { line("BYTE 32 - 35:  Product Revision               = \"%s\"\n", text(32, 4).c_str()); }

private:
    pds::ReplyReader page_;
    std::FILE* out_;
};

void generic_layout(const PagePrinter& p, bool hds) {
    p.bytes_0_to_2(false);
    p.line("BYTE 03:  AENC   TmIO   NACA   Reserved  Response Data Format \n");
    p.line("           %01x      %01x       %01x       %01x             0x%02x \n", p.bit(3, 7), p.bit(3, 6), p.bit(3, 5),
           p.bit(3, 4), p.b(3) & 0x0F);
    p.byte_4();
    p.byte_5();
    p.line("BYTE 06:  Reserved   ENCSrv   vs   DualP   MChng   AckReqQ   Addr32  Addr16\n");
    p.line("             %01x         %01x       %01x     %01x       %01x        %01x        %01x       %01x\n", p.bit(6, 7),
           p.bit(6, 6), p.bit(6, 5), p.bit(6, 4), p.bit(6, 3), p.bit(6, 2), p.bit(6, 1), p.bit(6, 0));
    p.byte_7();
    p.dashes();
    p.vendor();
    p.product();
    p.revision();
    if (hds) {
        const std::string type = p.text(36, 4);
        p.line("BYTE 37 - 39:  Array Type                     = \"%s\" (\"%s\")\n", type.c_str(),
               hds_model_name(type, p.text(8, 8).starts_with("HP")));
        p.line("BYTE 40 - 43:  Device Number                  = \"%s\"\n", p.text(44, 4).c_str());
    }
    p.dashes();
}

void shark_layout(const PagePrinter& p) {
    p.bytes_0_to_2(true);
    p.line("BYTE 03:  Reserved   TmIO   NACA   Reserved  Response Data Format \n");
    p.line("               %01x       %01x      %01x        %01x             0x%02x \n", p.bit(3, 7), p.bit(3, 6),
           p.bit(3, 5), p.bit(3, 4), p.b(3) & 0x0F);
    p.byte_4();
    p.byte_5();
    p.line("BYTE 06:  Reserved   DualP   MChng   AckReqQ   Addr32  Addr16\n");
    p.line("               %01x       %01x       %01x        %01x        %01x       %01x\n", p.b(6) >> 5, p.bit(6, 4),
           p.bit(6, 3), p.bit(6, 2), p.bit(6, 1), p.bit(6, 0));
    p.byte_7();
    p.dashes();
    p.vendor();
    p.line("BYTE 16 - 19:  Product ID                     = \"%s\"\n", p.text(16, 4).c_str());
    p.line("BYTE 20 - 22:  Product Model                  = \"%s\"\n", p.text(20, 3).c_str());
    p.revision();
    p.line("BYTE 36 - 43:  Serial Number                  = \"%s\" \n", p.text(36, 8).c_str());
    p.dashes();
}

void midrange_layout(const PagePrinter& p) {
    p.bytes_0_to_2(false);
    p.line("BYTE 03:  AENC   TmIO   NACA   HiSup  Response Data Format \n");
    p.line("           %01x      %01x      %01x       %01x             0x%02x \n", p.bit(3, 7), p.bit(3, 6), p.bit(3, 5),
           p.bit(3, 4), p.b(3) & 0x0F);
    p.byte_4();
    p.line("BYTE 05:  SCCS  = 0x%02x  Reserved = 0x%02x\n", p.bit(5, 7), p.b(5) & 0x7F);
    p.line("BYTE 06:  BQue   ENCSrv   Port   DualP   MChng   Reserved\n");
    p.line("           %01x       %01x       %01x       %01x       %01x       0x%02x\n", p.bit(6, 7), p.bit(6, 6),
           p.bit(6, 5), p.bit(6, 4), p.bit(6, 3), p.b(6) & 7);
    p.line("BYTE 07:  RelAdr  Reserved to SIP   Linked     RSVD    CmdQue    SftRe\n");
    p.line("            %01x            %02x           %01x         %01x        %01x        %01x\n", p.bit(7, 7),
           (p.b(7) >> 4) & 7, p.bit(7, 3), p.bit(7, 2), p.bit(7, 1), p.bit(7, 0));
    p.dashes();
    p.vendor();
    p.product();
    p.revision();
    p.dashes();
    p.dashes();
    p.line("Vendor Specific Bytes (bytes 36-55)\n");
    p.line("    BYTE 36 - 37:  LUN               = \"%s\"\n", p.text(36, 2).c_str());
    p.line("    BYTE 38 - 45:  LUN Bind Time     = \"%s\"\n", p.text(38, 8).c_str());
    p.line("    BYTE 46 - 47:  cl                = \"%s\"\n", p.text(46, 2).c_str());
    p.line("    BYTE 48 - 55:  0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x \n", p.b(48), p.b(49), p.b(50),
           p.b(51), p.b(52), p.b(53), p.b(54), p.b(55));
    p.dashes();
    p.line("    BYTE 56 - 57:  Reserved\n");
    p.dashes();
    p.line("Version Descriptors (bytes 58-73)\n");
    for (int n = 0; n < 8; ++n) {
        const int first = 58 + 2 * n;
        p.line("    BYTE %d - %d:  Version Descriptor %d = 0x%04x\n", first, first + 1, n + 1,
               p.host16(static_cast<std::size_t>(first)));
    }
    p.dashes();
    p.line("    BYTE 74 -103:  Reserved\n");
    p.dashes();
    p.line("RAID GROUP NUMBER (bytes 104-107) = %d\n", static_cast<int>(p.be32(104)));
    p.dashes();
    p.line("    BYTE 108-110:  Reserved\n");
    p.dashes();
    p.line("RAID GROUP TYPE (bytes 111) = %d\n", p.b(111) & 0x0F);
    p.dashes();
}

const char* korvalith_model(const PagePrinter& p, const std::string& revision) {
    if (revision.starts_with("58")) return "Korv8";
    if (revision.starts_with("57")) return "Korv7";
    switch (p.b(48) & 0xC1) {
    case 0x00: return "Korv3";
    case 0x40: return "Korv4";
    case 0x80: return "Korv5";
    case 0xC0: return "Korv6";
    // Bit 0 names no model the tool knows; the line still ends so the decode below stays aligned.
    default: return "unknown";
    }
}

const char* yes_no(unsigned bit) { return bit != 0 ? "TRUE" : "FALSE"; }

void high_end_layout(const PagePrinter& p) {
    p.bytes_0_to_2(false);
    p.line("BYTE 03:  Async event Notify  = 0x%02x      Terminate I/O Process     = 0x%02x\n", p.bit(3, 7), p.bit(3, 6));
    p.line("BYTE 03:  Reserved            = 0x%02x      Response data format      = 0x%02x\n", (p.b(3) >> 4) & 3,
           p.b(3) & 0x0F);
    p.byte_4();
    p.line("BYTE 05:  Reserved (CCS-Vendor Unique)    = 0x%02x\n", p.b(5));
    p.line("BYTE 06:  Reserved                        = 0x%02x\n", p.b(6));
    p.line("BYTE 07:  RelAdr  WBus32  WBus16   Sync   Linked     R    CmdQue    StRe\n");
    p.line("            %01x       %01x       %01x       %01x       %01x        %01x      %01x        %01x\n", p.bit(7, 7),
           p.bit(7, 6), p.bit(7, 5), p.bit(7, 4), p.bit(7, 3), p.bit(7, 2), p.bit(7, 1), p.bit(7, 0));
    p.dashes();

    p.vendor();
    p.product();
    p.revision();
    p.dashes();

    p.line("BYTE 36 - 43:  Device Serial Number       =  \"%s\"\n", p.text(36, 8).c_str());
    p.line("               Legend                     =   SSVVVDDP\n");
    p.line("S = Last 2 Digits of System S/N         V =   Volume Number (000 - FFF)\n");
    p.line("D = Director Number (01 - 32)           P =   Port (0 - 3)\n");
    p.dashes();

    p.line("BYTE 44:  Protection Attributes = MIRROR  RAID  RPX_ENABLED  PRI_RPX_DEV  V-RAID\n");
    p.line("                                    %01x      %01x         %01x           %01x         %01x\n", p.bit(44, 5),
           p.bit(44, 4), p.bit(44, 2), p.bit(44, 1), p.bit(44, 0) ^ 1u);
    p.dashes();

    const std::string revision = p.text(32, 4);
    p.line("BYTE 48:  Korvalith Model                 = %s\n", korvalith_model(p, revision));
    p.dashes();

    p.line("BYTE 55:  Hot Spares Left     = 0x%02x      Disks in RAID Group       = 0x%02x\n", p.b(45) >> 4, p.b(45) & 0x0F);
    p.dashes();

    if ((p.b(2) & 7) >= 4) {
        p.line("BYTE 58 - 59:  SAM spec version               = %d\n", p.host16(60));
        p.line("BYTE 60 - 61:  FCPH spec version              = %d\n", p.host16(62));
        p.line("BYTE 62 - 63:  FCP2 spec version              = %d\n", p.host16(64));
        p.line("BYTE 64 - 65:  FC-SPC2 spec version           = %d\n", p.host16(66));
        p.line("BYTE 64 - 65:  SBC spec version               = %d\n", p.host16(68));
        p.line("BYTE 88 - 91:  MTPF Level                     = 0x%x\n", p.traced_be32(88));
        p.line("BYTE 92 - 95:  Ucode Date                     = 0x%x\n", p.traced_be32(92));
    } else {
        p.line("BYTE 56 - 59:  MTPF Level                     = 0x%x\n", p.traced_be32(56));
        p.line("BYTE 60 - 63:  MTPF Date                      = 0x%x\n", p.traced_be32(60));
        p.line("BYTE 64 - 67:  Ucode Date                     = 0x%x\n", p.traced_be32(64));
    }
    p.dashes();

    p.line("BYTE 96 - 103: Device Lock                = 0x%08x 0x%08x\n", p.host32(96), p.host32(100));
    p.dashes();

    p.line("BYTE 104: Wr&Vr  BkupDev TailCutDi PreEn  DisTag  DisABuf WrVr&Com  Raid\n");
    p.line("Sys Flags   %01x       %01x       %01x       %01x       %01x        %01x      %01x        %01x\n", p.bit(104, 7),
           p.bit(104, 6), p.bit(104, 5), p.bit(104, 4), p.bit(104, 3), p.bit(104, 2), p.bit(104, 1), p.bit(104, 0));
    p.dashes();

    p.line("BYTE 105:     RAD   Allow_R1_R2_WR_R2_WE  Gatekeeper_Device\n");
    p.line("Sys Flags2    %01x         %01x                  %01x\n", p.bit(105, 2), p.bit(105, 1), p.bit(105, 0));
    p.dashes();

    p.line("BYTE 106: PriDev  SecDev   RPXDevEn  R2NR  DelRPX  MigDev  R2NRInv  DropR1\n");
    p.line("RPX Flags   %01x       %01x        %01x        %01x     %01x        %01x      %01x        %01x\n", p.bit(106, 7),
           p.bit(106, 6), p.bit(106, 5), p.bit(106, 4), p.bit(106, 3), p.bit(106, 2), p.bit(106, 1), p.bit(106, 0));
    p.dashes();

    // Microcode 5670 gave byte 107 new meanings.
    if (std::strncmp(revision.c_str(), "5670", 4) < 0) {
        p.line("BYTE 107:  SplitCeDe  AdCopyWP  SplitCe PendAdCopyOff ACopyDev RDPDevice\n");
        p.line("RPX Flags2    %01x          %01x         %01x          %01x          %01x        %01x\n", p.bit(107, 7),
               p.bit(107, 6), p.bit(107, 5), p.bit(107, 3), p.bit(107, 2), p.bit(107, 0));
    } else {
        p.line("BYTE 107:  SplitCeDe  SplitCe  PprcDv  MigrDvSz1  MigrDvSz2  FrelDv  KelboDe\n");
        p.line("RPX Flags2    %01x          %01x       %01x         %01x          %01x        %01x       %01x\n",
               p.bit(107, 7), p.bit(107, 5), p.bit(107, 4), p.bit(107, 3), p.bit(107, 2), p.bit(107, 1), p.bit(107, 0));
    }
    p.dashes();

    p.line("BYTE 108:  GroupRes   Ultra     Fibre   BCV   Korv4    FBA/CKD     SAWrProt\n");
    p.line("             %01x          %01x         %01x      %01x      %01x        %01x           %01x\n", p.bit(108, 6),
           p.bit(108, 5), p.bit(108, 4), p.bit(108, 3), p.bit(108, 2), p.bit(108, 1), p.bit(108, 0));
    p.dashes();

    p.line("BYTE 109:  Vdev   DevNotRdy  VCMState  VCMDevice  GKDevice  MetaDevice  Shared\n");
    p.line("SA State     %01x      %01x          %01x         %01x          %01x         %01x           %01x\n", p.bit(109, 6),
           p.bit(109, 5), p.bit(109, 4), p.bit(109, 3), p.bit(109, 2), p.bit(109, 1), p.bit(109, 0));
    p.dashes();

    const int cache = (p.b(112) << 8) | p.b(113);
    p.line("BYTE 112-113: Cache Size (MB)             = %04d  (0x%x)\n", cache, cache);
    p.dashes();

    p.line("BYTE 122: Director Number                 = %04d\n", p.b(122) + 1);
    p.line("BYTE 123: Port Number                     = %04d\n", p.b(123));
    p.dashes();

    p.line("BYTE 124-128: Korvalith ID                = %02X%02X%02X%02X%02X%02X\n", p.b(76), p.b(124), p.b(125),
           p.b(126), p.b(127), p.b(128));
    p.dashes();

    p.line("BYTE 129: Number of Meta Members          = %02d\n", p.b(129));
    p.dashes();

    p.line("BYTE 130:      VCMOnPort  TrueVCMDevice  HiddenDev  Raid5Dev  Raid6Dev  \n");
    p.line("Device Flags      %01x            %01x             %01x         %01x         %01x\n", p.bit(130, 0),
           p.bit(130, 1), p.bit(130, 2), p.bit(130, 3), p.bit(130, 5));
    p.dashes();

    p.line("BYTE 136: Reserved Device Flags           = 0x%02X   iSCSI device: %s\n", p.b(136), yes_no(p.bit(136, 5)));
    p.line("                                                   THIN DEVICE : %s\n", yes_no(p.bit(136, 4)));
    p.line("                                                   TPA CAPABLE : %s\n", yes_no(p.bit(136, 1)));
    p.dashes();
    p.dashes();
}

enum class Layout { midrange, high_end, hds, shark, generic };

Layout layout_of(const T_SIL_DEVICE* device, int virtual_flag) {
    if (device == nullptr) return Layout::generic;
    const std::uint32_t backing = virtual_flag != 0 ? device->backing_array_type : 0;
    if (device->is_drav != 0 || device->is_olvessa != 0 || backing == 2 || backing == 3) return Layout::midrange;
    if (device->is_XMV_device != 0 || backing == 1) return Layout::high_end;
    if (device->is_hds != 0) return Layout::hds;
    if (device->is_shark != 0) return Layout::shark;
    return Layout::generic;
}

}  // namespace

std::int32_t FormatStandardPage00(std::span<const std::uint8_t> page, const T_SIL_DEVICE* device, void*, void*,
                                  int virtual_flag) {
    SIL_FUNCTION("FormatStandardPage00");
    std::FILE* out = sil_out();
    const PagePrinter p(page, out);
    p.dashes();
    switch (layout_of(device, virtual_flag)) {
    case Layout::midrange: midrange_layout(p); break;
    case Layout::high_end: high_end_layout(p); break;
    case Layout::hds: generic_layout(p, true); break;
    case Layout::shark: shark_layout(p); break;
    case Layout::generic: generic_layout(p, false); break;
    }
    std::fflush(out);
    SIL_RETURN(0);
}
