// Tests of table cells no case host reaches: columns of makes whose decoders are stubs (hand-built records), vocabulary limits, EBCDIC.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "inquiry_hba.h"
#include "inquiry_tables.h"
#include "inquiry_tables_vocab.h"
#include "pds/util.h"
#include "silinitl.h"
#include "silkorinq.h"
#include "silvendor.h"

namespace {

template <std::size_t N>
void put(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(N, std::strlen(text)));
}

// What was written to a temporary file; the file is closed.
std::string drain(std::FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

// A device list of hand-built records and the default table printed for it.
class DefaultTable : public testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::int32_t rc = SIL_init(0, 0, SIL_LIBRARY_VERSION, "test", "test", "test");
        ASSERT_TRUE(rc == 0 || rc == 1) << rc;
    }
    T_SIL_DEVICE& disk(const char* name, const char* vendor = "ATA     ", const char* product = "ST3500418AS     ",
                       const char* revision = "CC38", std::uint64_t blocks = 976773168) {
        T_SIL_DEVICE& dev = devices_.emplace_back();
        put(dev.name, name);
        KOR_INQ_PAGE0& inq = pages_.emplace_back();
        std::memcpy(inq.vendor, vendor, 8);
        std::memcpy(inq.product, product, 16);
        std::memcpy(inq.revision, revision, 4);
        dev.inquiry = 1;
        dev.inquiry_data = &inq;
        std::memcpy(dev.dev_serial, "5VMSG2AB9X", 10);
        dev.cap_state = 1;
        dev.num_blocks = blocks;
        dev.block_size = 512;
        dev.cap = static_cast<std::uint32_t>(blocks / 2);
        return dev;
    }
    std::string table() {
        return capture([this](const T_SIL_DEVICE_LIST* list) { return do_default_display(list, &cdl, &opts); });
    }
    // What `print` writes on the library output stream for the records built so far.
    template <class Print>
    std::string capture(Print print) {
        std::vector<T_SIL_DEVICE*> pointers;
        for (T_SIL_DEVICE& dev : devices_) pointers.push_back(&dev);
        T_SIL_DEVICE_LIST list{pointers.data(), static_cast<std::int32_t>(pointers.size())};
        std::FILE* file = std::tmpfile();
        if (file == nullptr) return "<no temporary file>";
        std::FILE* saved = sil_context()->out_stream;
        sil_context()->out_stream = file;
        EXPECT_EQ(print(&list), 0);
        sil_context()->out_stream = saved;
        return drain(file);
    }
    static std::string rule(std::size_t n) { return std::string(n, '-') + "\n"; }

    T_DISPLAY_OPTIONS opts{};
    create_dev_list cdl{};
    const std::string heading = "DEVICE   :VEND    :PROD            :REV   :SER NUM    :CAP(kb)     ";

private:
    std::deque<T_SIL_DEVICE> devices_;
    std::deque<KOR_INQ_PAGE0> pages_;
};

// Vantrel: the NAS label's maker type 1 names DXFS; an iVantrel LUN shows the number after "LUN "
// in its LUN name ("%11.0d": a zero prints as blanks); a LUN without its record or a disk of
// neither kind, blanks.
TEST_F(DefaultTable, VantrelColumn) {
    T_SIL_DEVICE& dxfs = disk("nas1");
    dxfs.has_vantrel_label = 1;
    dxfs.vantrel_label[VANTREL_LABEL_MAKER_TYPE_OFFSET] = 1;
    T_SIL_DEVICE& other_maker = disk("nas2");
    other_maker.has_vantrel_label = 1;
    other_maker.vantrel_label[VANTREL_LABEL_MAKER_TYPE_OFFSET] = 2;
    char lun12[] = "fs1 LUN 12", lun0[] = "LUN0", no_lun[] = "data";
    T_IVANTREL_DEVICE records[3]{};
    records[0].lun_name = lun12;
    records[1].lun_name = lun0;
    records[2].lun_name = no_lun;
    const char* names[] = {"isc1", "isc2", "isc3"};
    for (int i = 0; i < 3; ++i) {
        T_SIL_DEVICE& lun = disk(names[i]);
        lun.is_ivantrel = 1;
        lun.ivantrel_device = &records[i];
    }
    disk("isc4").is_ivantrel = 1;
    disk("dsk2");
    opts.vantrel = 1;
    const std::string row = ":ATA     :ST3500418AS     :CC38  :5VMSG2AB9X :   488386584";
    EXPECT_EQ(table(), "\n" + rule(80) + heading + ":VANTREL INFO\n" + rule(80) +
                           "nas1     " + row + ":Vantrel:DXFS \n" + "nas2     " + row + ":Vantrel      \n" +
                           "isc1     " + row + ":         12\n" + "isc2     " + row + ":           \n" +
                           "isc3     " + row + ":      \n" + "isc4     " + row + ":      \n" +
                           "dsk2     " + row + ":             \n");
}

// Dravonis: VLU "%4x" of the page-83 word 1, DLUN "%05d" of word 2 ("%4x" with -compat), the LUN
// state by name; a device without its record, blanks.
TEST_F(DefaultTable, DravonisColumnNamesTheLunState) {
    const std::uint32_t states[] = {102, 101, 100, 7};
    T_DRAVONIS_DEVICE records[4]{};
    const char* names[] = {"drv1", "drv2", "drv3", "drv4"};
    for (int i = 0; i < 4; ++i) {
        records[i].p83_word1 = 0x1f;
        records[i].p83_word2 = 42;
        records[i].lun_state = states[i];
        T_SIL_DEVICE& dev = disk(names[i], "DRAVONIS", "RAID 5          ", "0326", 2048);
        dev.is_drav = 1;
        dev.drav_device = &records[i];
        std::memset(dev.dev_serial, 0, sizeof dev.dev_serial);
    }
    T_SIL_DEVICE& without_record = disk("drv5", "DRAVONIS", "RAID 5          ", "0326", 2048);
    without_record.is_drav = 1;
    std::memset(without_record.dev_serial, 0, sizeof without_record.dev_serial);
    opts.dravonis = 1;
    const std::string row = ":DRAVONIS:RAID 5          :0326  :           :        1024";
    EXPECT_EQ(table(), "\n" + rule(86) + heading + " :VLU :DLUN :State  \n" + rule(86) +
                           "drv1     " + row + ":  1f :00042:ASSIGNED\n" + "drv2     " + row + ":  1f :00042:UNASSIGN\n" +
                           "drv3     " + row + ":  1f :00042:NO EXIST\n" + "drv4     " + row + ":  1f :00042:UNKNOWN?\n" +
                           "drv5     " + row + ":    :    :       \n");
    opts.compat = 1;
    EXPECT_NE(table().find("drv1     :DRAVONIS:RAID 5          :0326  :----       :    1024 :  1f :  2a :ASSIGNED\n"),
              std::string::npos);
}

// A virtual disk backed by an array device shows the back end's serial and the array's serial.
TEST_F(DefaultTable, VirtualDiskShowsItsBackingDevice) {
    T_SIL_BACKING_DEVICE backing{};
    put(backing.serial, "41B2C160");
    T_SIL_DEVICE& vd = disk("vd1", "Msft    ", "Virtual Disk    ", "1.0 ", 2097152);
    std::memset(vd.dev_serial, 0, sizeof vd.dev_serial);
    vd.is_virtual = 1;
    vd.backing_array_type = 1;
    vd.backing_device = &backing;
    put(vd.korid, "000187901234");
    opts.showvol = 1;
    cdl.sid = 1;
    EXPECT_EQ(table(), "\n" + rule(91) + "DEVICE   :VEND    :PROD            :REV   :SER NUM    :Volume  :CAP(kb)     " +
                           "   :KORV ID    \n" + rule(91) +
                           "vd1      :Msft    :Virtual Disk    :1.0   :41B2C160   :   00000:     1048576  :000187901234\n");
}

// -wwn: a record's WWN length beyond its field shows the field only; a NAS LUN without its record
// has no WWN, whatever other record it carries.
TEST_F(DefaultTable, WwnLengthsStayInsideTheirFields) {
    T_IBM_SHARK_DEVICE shark{};
    std::memset(shark.wwn, 0x11, sizeof shark.wwn);
    shark.wwn_len = 200;
    T_SIL_DEVICE& ibm = disk("shark1", "IBM     ", "2105F20         ");
    ibm.is_shark = 1;
    ibm.shark_device = &shark;
    T_SIL_TP_STORAGE_DEVICE tp{};
    tp.wwn_len = 3;
    tp.wwn[0] = 0x0f;
    disk("tp1").tp_storage_device = &tp;
    T_SIL_DEVICE& nas = disk("nas1", "XMV     ", "Vantrel iSCSI   ");
    nas.is_ivantrel = 1;
    nas.tp_storage_device = &tp;
    const std::string out = capture([this](const T_SIL_DEVICE_LIST* l) { return do_wwn_display(l, &cdl, &opts); });
    EXPECT_EQ(out, "\n" + rule(76) + "DEVICE           :VEND    :PROD            :WWN \n" + rule(76) +
                       "shark1           :IBM     :2105F20         :" + std::string(64, '1') + "\n" +
                       "tp1              :ATA     :ST3500418AS     :0f0000\n" +
                       "nas1             :XMV     :Vantrel iSCSI   :N/A\n");
}

// -mapinfo: serial lengths beyond their fields, a volume-manager parent, a capacity never read.
TEST_F(DefaultTable, MapinfoCellsStayInsideTheirFields) {
    T_HDS_DEVICE hds{};
    std::memset(hds.serial, '7', sizeof hds.serial);  // no NUL in the field
    hds.serial_len = 250;
    T_SIL_DEVICE& hitachi = disk("\\\\.\\PHYSICALDRIVE12", "HITACHI ", "OPEN-V          ", "5009");
    hitachi.is_hds = 1;
    hitachi.hds_device = &hds;
    hitachi.cap_state = 0;
    T_IVANTREL_DEVICE nas{};
    std::memset(nas.serial_num, 'S', sizeof nas.serial_num);
    nas.serial_len = 255;
    T_SIL_DEVICE& lun = disk("lun2");
    lun.ivantrel_device = &nas;
    lun.veritas_state = SIL_DEV_CHILD;
    put(lun.veritas_relation, "/dev/vx/rdmp/disk_7");
    lun.bus = 1;
    lun.tid = 2;
    lun.lun = 300;
    T_SIL_HBA_LIST no_adapters{};
    const std::string out = capture([&](const T_SIL_DEVICE_LIST* l) { return do_mapinfo_display(l, &no_adapters, &opts); });
    const std::string na = "N/A               :N/A              :";
    EXPECT_NE(out.find("\\\\.\\PHYSICALDRIVE12 :HITACHI :OPEN-V    :5009 :" + std::string(17, '7') + ": N/A      :0    :0    :0    :" +
                       na + "N/A                 \n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("lun2                :ATA     :ST3500418 :CC38 :" + std::string(32, 'S') + ":488386584 :1    :2    :300  :" +
                       na + "/dev/vx/rdmp/disk_7 \n"),
              std::string::npos)
        << out;
}

// The adapter report names only the codes it knows: a speed of 3 (no single bit) and a port type
// or state beyond the tables read "UNKNOWN".
TEST(AdapterReport, CodesBeyondTheTablesReadUnknown) {
    T_SIL_HBA_PORT port{};
    port.speed = 3;
    port.supported_speed = 0x8000;
    port.type = 11;
    port.state = 9;
    T_SIL_HBA hba{};
    hba.hba_type = 3;
    hba.port_count = 1;
    hba.ports[0] = &port;
    T_SIL_HBA* records[] = {&hba};
    const T_SIL_HBA_LIST list{records, 1};
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(do_hba_display(file, &list), 0);
    const std::string text = drain(file);
    const std::string unknown = "UNKNOWN" + std::string(33, ' ') + "\n";
    EXPECT_NE(text.find("HBA type:           UNKNOWN" + std::string(13, ' ') + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    port type:                    " + unknown), std::string::npos) << text;
    EXPECT_NE(text.find("    port speed:                   " + unknown), std::string::npos) << text;
    EXPECT_NE(text.find("    supported speed:              NOT NEGOTIATED" + std::string(26, ' ') + "\n"), std::string::npos);
    EXPECT_NE(text.find("    port state:                   UNKNOWN\n"), std::string::npos) << text;
}

// Worked from the protection rules: the flag byte is 44, else 49, else 120; RAID beats RPX, RPX
// takes its suffixes in the table's order, V-RAID is named before mirroring.
TEST(TableVocabulary, ProtectionNameTakesTheFirstRuleThatApplies) {
    const struct {
        std::uint8_t byte44, byte49, byte120, byte130;
        const char *et, *all;
    } rows[] = {
        {0x11, 0, 0, 0x08, "RAID-5", "RAID-5"},
        {0x00, 0x10, 0, 0x00, "RAID-S", "RAID-S"},
        {0x00, 0x00, 0x34, 0x00, "RAID-S/mirrored", "RAID-S/mirrored"},
        {0x00, 0x00, 0x24, 0, "RPX2/V-RAID/mirrored", "RPX2/mirrored/V-RAID"},
        {0x20, 0, 0, 0, "V-RAID", "V-RAID"},
        {0x00, 0, 0, 0, "V-RAID", "V-RAID"},
        {0x01, 0, 0, 0, "unprotected", "unprotected"},
    };
    for (const auto& row : rows) {
        KOR_INQ_PAGE0 inq{};
        inq.rpx_flags_1 = row.byte44;
        inq.rpx_flags_2 = row.byte49;
        inq.rpx_flags_3 = row.byte120;
        inq.protection = row.byte130;
        EXPECT_EQ(korv_protection_name(inq, RpxSuffixOrder::vraid_first), row.et) << int(row.byte44);
        EXPECT_EQ(korv_protection_name(inq, RpxSuffixOrder::mirrored_first), row.all) << int(row.byte44);
    }
}

TEST(TableVocabulary, ModelNamesBetweenAndPastTheKnownOnes) {
    EXPECT_STREQ(korv_model_name(0x480, KORV_MODEL_NEWEST), "-----");
    EXPECT_STREQ(korv_model_name(0x900, KORV_MODEL_NEWEST), "-----");
}

TEST(TableVocabulary, DirectorLettersEndAtZ) {
    T_SIL_DEVICE dev{};
    dev.korv_model = 0x500;
    dev.director = 0x1A0;  // index 0x19F: letter index 25, 'z'
    dev.port = 1;
    EXPECT_EQ(korv_director_cell(dev), "16z1");
    dev.director = 0x1A1;  // letter index 26: no letter left
    EXPECT_EQ(korv_director_cell(dev), " 1?1");
}

TEST(TableVocabulary, CapacityWorksIn64Bits) {
    T_SIL_DEVICE dev{};
    dev.cap_state = 1;
    dev.num_blocks = 0x200000000ULL;  // 8 Gi blocks of 4 KB: 32 TB, past any 32-bit count
    dev.block_size = 4096;
    EXPECT_EQ(capacity_cell(dev, " ----- "), "34359738368");
}

TEST(EbcdicToAscii, CodePage037) {
    const std::uint8_t text[] = {0xC8, 0x85, 0x93, 0x93, 0x96, 0x6B, 0x40, 0xE6, 0x96, 0x99, 0x93, 0x84, 0x5A,
                                 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x5C, 0x5D, 0x5E, 0x60, 0x61, 0x6C, 0x6E, 0x6F,
                                 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F, 0xA1, 0xB0, 0xBA, 0xBB, 0xC0, 0xD0,
                                 0xE0, 0xF0, 0xF9, 0xA9, 0xE9, 0xD1, 0x05, 0x25, 0x3F, 0x41, 0xFF};
    char ascii[sizeof text + 1]{};
    pds::pdsUtilEbcdicToAscii(text, ascii, sizeof text);
    EXPECT_STREQ(ascii, "Hello, World!<(+|&*);-/%>?`:#@'=\"~^[]{}\\09zZJ.....");
}

}  // namespace
