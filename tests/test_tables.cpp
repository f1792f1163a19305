// Tests of the device tables: every table and column option on hand-built device records, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "inquiry_tables.h"
#include "inquiry_tables_vocab.h"
#include "pds/platform.h"
#include "pds/util.h"
#include "silinitl.h"
#include "silkorinq.h"
#include "silvendor.h"

namespace {

using Report = int (*)(const T_SIL_DEVICE_LIST*, const create_dev_list*, const T_DISPLAY_OPTIONS*);

std::string rule(std::size_t n) { return std::string(n, '-') + "\n"; }
// Left-justifies a cell in n columns (what "%-ns" does to a shorter text).
std::string pad(const std::string& text, std::size_t n) {
    return text.size() >= n ? text : text + std::string(n - text.size(), ' ');
}

template <std::size_t N>
void put(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(N, std::strlen(text)));
}
// Writes bytes at a wire offset of the INQUIRY record.
void put_bytes(KOR_INQ_PAGE0& inq, std::size_t offset, const std::string& bytes) {
    ASSERT_LE(offset + bytes.size(), sizeof inq);
    std::memcpy(reinterpret_cast<char*>(&inq) + offset, bytes.data(), bytes.size());
}

// Owns the records of one test's device list and runs reports on it into a file.
class Tables : public testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::int32_t rc = SIL_init(0, 0, SIL_LIBRARY_VERSION, "test", "test", "test");
        ASSERT_TRUE(rc == 0 || rc == 1) << rc;
    }

    T_SIL_DEVICE& add(const char* name) {
        T_SIL_DEVICE& dev = devices_.emplace_back();
        put(dev.name, name);
        return dev;
    }
    KOR_INQ_PAGE0& give_inquiry(T_SIL_DEVICE& dev, const char* vendor, const char* product,
                                const char* revision) {
        KOR_INQ_PAGE0& inq = pages_.emplace_back();
        std::memcpy(inq.vendor, vendor, 8);
        std::memcpy(inq.product, product, 16);
        std::memcpy(inq.revision, revision, 4);
        dev.inquiry = 1;
        dev.inquiry_data = &inq;
        return inq;
    }
    static void give_capacity(T_SIL_DEVICE& dev, std::uint64_t blocks, std::uint32_t block_size) {
        dev.cap_state = 1;
        dev.num_blocks = blocks;
        dev.block_size = block_size;
        dev.cap = static_cast<std::uint32_t>(blocks * block_size / 1024);
    }

    // A RAID-5 Korvalith LUN reached over fibre: volume 0xA1, director 16 port 0, 1 GB.
    T_SIL_DEVICE& korv_lun(const char* name) {
        T_SIL_DEVICE& dev = add(name);
        KOR_INQ_PAGE0& inq = give_inquiry(dev, "XMV     ", "KORVALITH       ", "5874");
        put_bytes(inq, 36, "410A1160");
        inq.rpx_flags_1 = 0x11;
        inq.device_flags = KOR_FLAG_FIBRE;
        inq.serial_bcd_1 = 0x00;
        put_bytes(inq, 124, "\x01\x87\x90\x12\x34");
        inq.director_bin = 15;
        inq.port_bin = 0;
        inq.protection = 0x08;
        dev.is_XMV_device = 1;
        put(dev.dev_serial, "410A1160");
        put(dev.korid, "000187901234");
        dev.korv_dev_num = 0xA1;
        dev.korv_model = 0x700;
        dev.director = 16;
        dev.port = 0;
        dev.ucode_date = 0x20080215;
        give_capacity(dev, 2097152, 512);
        dev.btl_valid = 7;
        dev.tid = 1;
        dev.lun = 0xA;
        dev.io_ok_flags = 0x0D;
        return dev;
    }
    // An R1 RPX LUN, mirrored and V-RAID, BCV, write protected, shared meta, Ultra SCSI, on a 0x800
    // array with extended director numbering (director 3C port 1), 4 MB.
    T_SIL_DEVICE& rpx_lun(const char* name) {
        T_SIL_DEVICE& dev = korv_lun(name);
        KOR_INQ_PAGE0& inq = *dev.inquiry_data;
        std::memcpy(inq.revision, "5977", 4);
        put_bytes(inq, 36, "9900B2C1");
        inq.rpx_flags_1 = 0x26;
        inq.device_flags = KOR_FLAG_ULTRA_SCSI | KOR_FLAG_BCV | KOR_FLAG_EXTENDED_DIRS | KOR_FLAG_WRITE_PROTECTED;
        inq.device_flags_2 = KOR_FLAG2_SHARED | KOR_FLAG2_META;
        inq.director_bin = 0x21;
        inq.port_bin = 1;
        put(dev.dev_serial, "9900B2C1");
        put(dev.korid, "123456789012");
        dev.korv_model = 0x800;
        dev.director = 0x22;
        dev.port = 1;
        dev.ucode_date = 0x20120101;
        give_capacity(dev, 8192, 512);
        dev.btl_valid = 0x0F;
        return dev;
    }
    // A plain disk: no serial characters in its standard page, a 10-character serial without a
    // NUL, 500 GB.
    T_SIL_DEVICE& plain_disk(const char* name) {
        T_SIL_DEVICE& dev = add(name);
        give_inquiry(dev, "ATA     ", "ST3500418AS     ", "CC38");
        std::memcpy(dev.dev_serial, "5VMSG2AB9X", 10);
        give_capacity(dev, 976773168, 512);
        dev.btl_valid = 7;
        dev.bus = 1;
        return dev;
    }
    // Capacity known, INQUIRY never answered: 100 MB.
    T_SIL_DEVICE& capacity_only(const char* name) {
        T_SIL_DEVICE& dev = add(name);
        dev.inquiry = 2;
        give_capacity(dev, 204800, 512);
        return dev;
    }
    T_SIL_DEVICE& failed_capacity(const char* name) {
        T_SIL_DEVICE& dev = plain_disk(name);
        dev.cap_state = 2;
        dev.num_blocks = 0;
        dev.block_size = 0;
        dev.cap = 0;
        return dev;
    }
    // The usual four: a Korvalith LUN, a plain disk, capacity without inquiry, failed capacity.
    void add_usual_four() {
        korv_lun("dsk1");
        plain_disk("dsk2");
        capacity_only("dsk3");
        failed_capacity("dsk4");
    }

    // Runs a report on the list built so far; returns what it printed on the library stream.
    std::string run(Report report) {
        return capture([&](const T_SIL_DEVICE_LIST* list) { return report(list, &cdl, &opts); });
    }
    // The same through the front end's mode dispatch.
    std::string run_mode(std::uint32_t mode) {
        opts.display_mode = mode;
        return capture([&](const T_SIL_DEVICE_LIST* list) {
            T_INQ_LISTS lists{};
            lists.devices = *list;
            return run_display(&lists, &cdl, &opts);
        });
    }
    std::string capture(const std::function<int(const T_SIL_DEVICE_LIST*)>& report) {
        pointers_.clear();
        for (T_SIL_DEVICE& dev : devices_) pointers_.push_back(&dev);
        T_SIL_DEVICE_LIST list{pointers_.data(), static_cast<std::int32_t>(pointers_.size())};
        static std::atomic<int> serial{0};
        const std::filesystem::path path =
            std::filesystem::temp_directory_path() /
            ("test_tables_" + std::to_string(pds::platform().process_id()) + "_" +
             std::to_string(serial++) + ".txt");
        std::FILE* file = std::fopen(path.string().c_str(), "w+b");
        if (file == nullptr) return "<cannot open " + path.string() + ">";
        std::FILE* saved = sil_context()->out_stream;
        sil_context()->out_stream = file;
        const int rc = report(&list);
        sil_context()->out_stream = saved;
        std::fclose(file);
        EXPECT_EQ(rc, 0);
        std::ifstream in(path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        return text;
    }

    T_DISPLAY_OPTIONS opts{};
    create_dev_list cdl{};

private:
    std::deque<T_SIL_DEVICE> devices_;
    std::deque<KOR_INQ_PAGE0> pages_;
    std::vector<T_SIL_DEVICE*> pointers_;
};

// ---- the default table ----------------------------------------------------------------------------

const std::string kDefaultHeading = "DEVICE   :VEND    :PROD            :REV   :SER NUM    :CAP(kb)     ";
const std::string kShowvolHeading =
    "DEVICE   :VEND    :PROD            :REV   :SER NUM    :Volume  :CAP(kb)     ";

TEST_F(Tables, DefaultTablePlainAndPlaceholders) {
    add_usual_four();
    add("dsk5");  // neither inquiry nor capacity: shown, since no filter asks for data
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(67) + kDefaultHeading + "\n" + rule(67) +
                  "dsk1     :XMV     :KORVALITH       :5874  :410A1160   :     1048576\n"
                  "dsk2     :ATA     :ST3500418AS     :CC38  :5VMSG2AB9X :   488386584\n"
                  "dsk3     :----    :----            :----  :----       :      102400\n"
                  "dsk4     :ATA     :ST3500418AS     :CC38  :5VMSG2AB9X :      FAILED\n"
                  "dsk5     :----    :----            :----  :----       :      ----- \n");
}

TEST_F(Tables, DefaultTableShowvolZeroFillsAndCompatSpaceFills) {
    add_usual_four();
    opts.showvol = 1;
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(76) + kShowvolHeading + "\n" + rule(76) +
                  "dsk1     :XMV     :KORVALITH       :5874  :410A1160   :   000A1:     1048576\n"
                  "dsk2     :ATA     :ST3500418AS     :CC38  :5VMSG2AB9X :   00000:   488386584\n"
                  "dsk3     :----    :----            :----  :----       :    ----:      102400\n"
                  "dsk4     :ATA     :ST3500418AS     :CC38  :5VMSG2AB9X :   00000:      FAILED\n");
    opts.compat = 1;
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(72) + kShowvolHeading + "\n" + rule(72) +
                  "dsk1     :XMV     :KORVALITH       :5874  :410A1160   :      A1: 1048576\n"
                  "dsk2     :ATA     :ST3500418AS     :CC38  :----       :       0:488386584\n"
                  "dsk3     :----    :----            :----  :----       :    ----:  102400\n"
                  "dsk4     :ATA     :ST3500418AS     :CC38  :----       :       0: FAILED\n");
}

TEST_F(Tables, DefaultTableCompatTakesTheSerialFromTheStandardPageAndEndsWithABlank) {
    add_usual_four();
    T_HDS_DEVICE hds{};
    put(hds.serial, "30512");
    plain_disk("hds1").hds_device = &hds;  // an HDS record's serial goes first, with or without -compat
    opts.compat = 1;
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(63) + kDefaultHeading + "\n" + rule(63) +
                  "dsk1     :XMV     :KORVALITH       :5874  :410A1160   : 1048576 \n"
                  "dsk2     :ATA     :ST3500418AS     :CC38  :----       :488386584 \n"
                  "dsk3     :----    :----            :----  :----       :  102400 \n"
                  "dsk4     :ATA     :ST3500418AS     :CC38  :----       : FAILED \n"
                  "hds1     :ATA     :ST3500418AS     :CC38  :30512      :488386584 \n");
    opts.compat = 0;
    const std::string text = run(do_default_display);
    EXPECT_NE(text.find("hds1     :ATA     :ST3500418AS     :CC38  :30512      :   488386584\n"),
              std::string::npos) << text;
}

TEST_F(Tables, DefaultTableWinvolShowsTheVolumeSizeAndName) {
    T_SIL_DEVICE& dsk1 = korv_lun("dsk1");
    put(dsk1.win_vol, "E:");
    dsk1.win_vol_cap = 1048000;
    failed_capacity("dsk4");
    opts.winvol = 1;
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(75) + kDefaultHeading + ":WIN vol\n" + rule(75) +
                  "dsk1     :XMV     :KORVALITH       :5874  :410A1160   :     1048000:  E:\n"
                  "dsk4     :ATA     :ST3500418AS     :CC38  :5VMSG2AB9X :      FAILED:    \n");
    opts.showvol = 1;
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(84) + kShowvolHeading + ":WIN vol\n" + rule(84) +
                  "dsk1     :XMV     :KORVALITH       :5874  :410A1160   :   000A1:     1048000:  E:\n"
                  "dsk4     :ATA     :ST3500418AS     :CC38  :5VMSG2AB9X :   00000:      FAILED:    \n");
    // -compat keeps the heading but drops the volume-name cell.
    opts.showvol = 0;
    opts.compat = 1;
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(71) + kDefaultHeading + ":WIN vol\n" + rule(71) +
                  "dsk1     :XMV     :KORVALITH       :5874  :410A1160   :1048000 \n"
                  "dsk4     :ATA     :ST3500418AS     :CC38  :----       : FAILED \n");
}

TEST_F(Tables, DefaultTableVantrelColumn) {
    T_SIL_DEVICE& dxfs = plain_disk("nas1");
    dxfs.has_vantrel_label = 1;
    dxfs.vantrel_label[VANTREL_LABEL_MAKER_TYPE_OFFSET] = 1;
    T_SIL_DEVICE& other_maker = plain_disk("nas2");
    other_maker.has_vantrel_label = 1;
    other_maker.vantrel_label[VANTREL_LABEL_MAKER_TYPE_OFFSET] = 2;

    char lun12[] = "fs1 LUN 12";
    char lun0[] = "LUN0";
    char no_lun[] = "data";
    T_IVANTREL_DEVICE records[3]{};
    records[0].lun_name = lun12;
    records[1].lun_name = lun0;
    records[2].lun_name = no_lun;
    const char* names[] = {"isc1", "isc2", "isc3"};
    for (int i = 0; i < 3; ++i) {
        T_SIL_DEVICE& lun = plain_disk(names[i]);
        lun.is_ivantrel = 1;
        lun.ivantrel_device = &records[i];
    }
    plain_disk("isc4").is_ivantrel = 1;  // its record never arrived
    plain_disk("dsk2");
    opts.vantrel = 1;

    const std::string row = ":ATA     :ST3500418AS     :CC38  :5VMSG2AB9X :   488386584";
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(80) + kDefaultHeading + ":VANTREL INFO\n" + rule(80) +
                  "nas1     " + row + ":Vantrel:DXFS \n" +
                  "nas2     " + row + ":Vantrel      \n" +
                  "isc1     " + row + ":         12\n" +
                  "isc2     " + row + ":           \n" +  // precision 0: a zero prints as blanks
                  "isc3     " + row + ":      \n" +
                  "isc4     " + row + ":      \n" +
                  "dsk2     " + row + ":             \n");
}

TEST_F(Tables, DefaultTableSidColumnSpellsTheArraySerialFromTheBcdBytes) {
    korv_lun("dsk1");
    plain_disk("dsk2");
    capacity_only("dsk3");
    cdl.sid = 1;
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(82) + kDefaultHeading + "   :KORV ID    \n" + rule(82) +
                  "dsk1     :XMV     :KORVALITH       :5874  :410A1160   :     1048576  :000187901234\n"
                  "dsk2     :ATA     :ST3500418AS     :CC38  :5VMSG2AB9X :   488386584  :N/A         \n"
                  "dsk3     :----    :----            :----  :----       :      102400  :N/A         \n");
}

TEST_F(Tables, DefaultTableDravonisColumnNamesTheLunState) {
    const std::uint32_t states[] = {102, 101, 100, 7};
    T_DRAVONIS_DEVICE records[4]{};
    const char* names[] = {"drv1", "drv2", "drv3", "drv4"};
    for (int i = 0; i < 4; ++i) {
        records[i].p83_word1 = 0x1f;
        records[i].p83_word2 = 42;
        records[i].lun_state = states[i];
        T_SIL_DEVICE& dev = add(names[i]);
        give_inquiry(dev, "DRAVONIS", "RAID 5          ", "0326");
        give_capacity(dev, 2048, 512);
        dev.is_drav = 1;
        dev.drav_device = &records[i];
    }
    T_SIL_DEVICE& without_record = add("drv5");
    give_inquiry(without_record, "DRAVONIS", "RAID 5          ", "0326");
    give_capacity(without_record, 2048, 512);
    without_record.is_drav = 1;
    opts.dravonis = 1;

    const std::string row = ":DRAVONIS:RAID 5          :0326  :           :        1024";
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(86) + kDefaultHeading + " :VLU :DLUN :State  \n" + rule(86) +
                  "drv1     " + row + ":  1f :00042:ASSIGNED\n" +
                  "drv2     " + row + ":  1f :00042:UNASSIGN\n" +
                  "drv3     " + row + ":  1f :00042:NO EXIST\n" +
                  "drv4     " + row + ":  1f :00042:UNKNOWN?\n" +
                  "drv5     " + row + ":    :    :       \n");
    opts.compat = 1;
    const std::string compat_row = ":DRAVONIS:RAID 5          :0326  :----       :    1024 ";
    const std::string text = run(do_default_display);
    EXPECT_NE(text.find("drv1     " + compat_row + ":  1f :  2a :ASSIGNED\n"), std::string::npos) << text;
}

TEST_F(Tables, DefaultTableBtlColumnAndAllColumnsInTheirOrder) {
    korv_lun("dsk1");
    opts.btl = 1;
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(83) + kDefaultHeading + " :Bus :Tid :Lun \n" + rule(83) +
                  "dsk1     :XMV     :KORVALITH       :5874  :410A1160   :     1048576:   0:   1:   a\n");

    opts.showvol = 1;
    opts.vantrel = 1;
    opts.dravonis = 1;
    cdl.sid = 1;
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(139) + kShowvolHeading +
                  ":VANTREL INFO   :KORV ID     :VLU :DLUN :State   :Bus :Tid :Lun \n" + rule(139) +
                  "dsk1     :XMV     :KORVALITH       :5874  :410A1160   :   000A1:     1048576"
                  ":               :000187901234:    :    :       :   0:   1:   a\n");
}

TEST_F(Tables, DefaultTableVirtualDiskShowsItsBackingDevice) {
    T_SIL_BACKING_DEVICE backing{};
    put(backing.serial, "41B2C160");
    T_SIL_DEVICE& vd = add("vd1");
    give_inquiry(vd, "Msft    ", "Virtual Disk    ", "1.0 ");
    give_capacity(vd, 2097152, 512);
    vd.is_virtual = 1;
    vd.backing_array_type = 1;
    vd.backing_device = &backing;
    put(vd.korid, "000187901234");
    opts.showvol = 1;
    cdl.sid = 1;
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(91) + kShowvolHeading + "   :KORV ID    \n" + rule(91) +
                  "vd1      :Msft    :Virtual Disk    :1.0   :41B2C160   :   00000:     1048576  :000187901234\n");
}

TEST_F(Tables, DefaultTableCellsStopAtANulInsideTheirField) {
    T_SIL_DEVICE& dev = plain_disk("dsk2");
    std::memcpy(dev.inquiry_data->vendor, "AB\0CDEFG", 8);
    const std::string text = run(do_default_display);
    EXPECT_NE(text.find("dsk2     :AB      :ST3500418AS     :CC38  :5VMSG2AB9X :"), std::string::npos)
        << text;
}

const std::string kGkHeading =
    "\n" + rule(77) + "DEVICE             : GK :VEND    :PROD            :REV   :SER NUM    :CAP(kb)\n" + rule(77);
// The -sil legend and heading for names of at most 8 characters.
const std::string kSilHeading =
    "\n"
    "       0 = BCV\n"
    "       1 = RPX Group\n"
    "       2 = CKD\n"
    "       3 = Fibre/Ultra\n"
    "       4 = Shared\n"
    "       5 = Meta\n"
    "       6 = Raid/Mirrored/Both/Unprotected\n" +
    rule(75) + "DEVICE   :VND :REV : Vol: Dir:Properties: BTLLW:CAP(KB)  :BlkSz: KorvSerial#\n" +
    std::string(9, '-') + "---------------------0123456---------------------------------------\n";

TEST_F(Tables, EmptyListPrintsTheHeadingsOnly) {
    EXPECT_EQ(run(do_default_display), "\n" + rule(67) + kDefaultHeading + "\n" + rule(67));
    EXPECT_EQ(run(do_connections_display), "");
    EXPECT_EQ(run(do_gk_display), kGkHeading);
    EXPECT_EQ(run(do_sil_display), kSilHeading);
}

// A skipped device's long name still widens the name column of every row and of the heading.
TEST_F(Tables, LongNamesWidenTheNameColumn) {
    plain_disk("\\\\.\\PHYSICALDRIVE10");  // 19 characters, hidden by -f_xmv
    korv_lun("dsk1");
    opts.f_xmv = 1;
    const std::string w20 = "dsk1                ";
    EXPECT_EQ(run(do_default_display),
              "\n" + rule(78) + "DEVICE              " + kDefaultHeading.substr(9) + "\n" + rule(78) +
                  w20 + ":XMV     :KORVALITH       :5874  :410A1160   :     1048576\n");
    EXPECT_EQ(run(do_connections_display), w20 + " : XMV : 5874  : 16a0 : 000187901234\n");
    const std::string sil = run(do_sil_display);
    EXPECT_NE(sil.find(rule(20 + 66) + "DEVICE              :VND :REV :"), std::string::npos) << sil;
    EXPECT_NE(sil.find(std::string(20, '-') + "---------------------0123456"), std::string::npos) << sil;
    EXPECT_NE(sil.find("\n" + w20 + ":XMV:5874 :"), std::string::npos) << sil;
}

TEST_F(Tables, FixedWidthTablesLetALongNamePushTheRow) {
    plain_disk("\\\\.\\PHYSICALDRIVE100");
    const std::string gk = run(do_gk_display);
    EXPECT_NE(gk.find("\\\\.\\PHYSICALDRIVE100:    :ATA     :"), std::string::npos) << gk;
    const std::string all = run(do_all_display);
    EXPECT_NE(all.find("\\\\.\\PHYSICALDRIVE100:         :ATA     :"), std::string::npos) << all;
}

// ---- -all and -et -----------------------------------------------------------------------------------

const std::string kAllHeading =
    "DEVICE             :SERIAL # :VEND    :PROD      :MODEL :REV  :BCV?:R? :CKD?:SM? :CAP(KB)   "
    ":BLKSZ:FC/UL?:PROTECTION  :KORV SERIAL#\n";

TEST_F(Tables, AllTable) {
    add_usual_four();
    rpx_lun("dsk5");
    EXPECT_EQ(run(do_all_display),
              rule(130) + kAllHeading + rule(130) +
                  // an array serial starting "00" loses its zeros in this table only
                  "dsk1               :410A1160 :XMV     :KORVALITH :KORV7 :5874 :    :   :    :    : 1048576  :  512:FIBRE :RAID-5      :  0187901234\n"
                  "dsk2               :         :ATA     :ST3500418 :----- :CC38 :--- :-- :--- :--- :488386584 :  512: ---- :-------     : --------   \n"
                  "dsk3               :-------- :------  :--------  :----- :---- :--- :-- :--- :--- :  102400  :  512: ---- :-------     : --------   \n"
                  "dsk4               :         :ATA     :ST3500418 :----- :CC38 :--- :-- :--- :--- : FAILED   :     : ---- :-------     : --------   \n"
                  // model 0x800 is unknown here; the mirrored suffix comes before V-RAID
                  "dsk5               :9900B2C1 :XMV     :KORVALITH :----- :5977 :BCV :R1 :    :SM  :    4096  :  512:ULTRA :RPX1/mirrored/V-RAID:123456789012\n");
}

const std::string kEtHeading =
    "RAW                    SERIAL      BCV/   R1/    CKD/    FIBRE/ SHARE/ KORV   DEVICE                     UDATE   \n"
    "DEVICE NAME            NUMBER      REG?   R2?    FBA?    ULTRA/ META   MODEL  PROTECTION   WD? DIR-P  (YYYYMMDD) \n"
    "                                                         ISCSI? \n";

TEST_F(Tables, EtTable) {
    korv_lun("dsk1");
    capacity_only("dsk3");
    rpx_lun("dsk5");
    T_SIL_DEVICE& iscsi = korv_lun("dsk6");
    iscsi.inquiry_data->device_flags = 0;
    iscsi.inquiry_data->attach_flags = KOR_ATTACH_ISCSI;
    T_SIL_DEVICE& neither = korv_lun("dsk7");
    neither.inquiry_data->device_flags = KOR_FLAG_CKD;
    neither.korv_model = 0x480;
    EXPECT_EQ(run(do_et_display),
              rule(113) + kEtHeading + rule(113) +
                  "dsk1                  :410A1160   :REG   :N/A   :FBA    :FIBRE :      :KORV7 :RAID-5      :   :R16-0  :20080215 \n"
                  "dsk3                  :----       :---   :---   :----   :----  :      :----  :----        :   :----   :   ----  \n"
                  // model 0x800 is known here; V-RAID comes before the mirrored suffix
                  "dsk5                  :9900B2C1   :BCV   :R1    :FBA    :ULTRA :SM    :KORV8 :RPX1/V-RAID/mirrored:WP :R02C-1 :20120101 \n"
                  "dsk6                  :410A1160   :REG   :N/A   :FBA    :ISCSI :      :KORV7 :RAID-5      :   :R16-0  :20080215 \n"
                  "dsk7                  :410A1160   :REG   :N/A   :CKD    :N/A   :      :----- :RAID-5      :   :R16-0  :20080215 \n");
}

TEST_F(Tables, EtTableCompatAndItsFilter) {
    korv_lun("dsk1");
    plain_disk("dsk2");
    opts.compat = 1;
    opts.f_xmv = 1;  // what -et selects with it
    EXPECT_EQ(run(do_et_display),
              rule(111) +
                  "RAW                    SERIAL    BCV/   R1/    CKD/    FIBRE/ SHARE/ KORV   DEVICE                     UDATE   \n"
                  "DEVICE NAME            NUMBER    REG?   R2?    FBA?    ULTRA/ META   MODEL  PROTECTION   WD? DIR-P  (YYYYMMDD) \n"
                  "                                                       ISCSI? \n" +
                  rule(111) +
                  "dsk1                  :410A1160 :REG   :N/A   :FBA    :FIBRE :      :KORV7 :RAID-5      :   :R16-0  :20080215 \n");
}

// ---- -ckd ---------------------------------------------------------------------------------------------

TEST_F(Tables, CkdTableConvertsTheEbcdicLabel) {
    T_SIL_DEVICE& ckd = korv_lun("ckd1");
    ckd.inquiry_data->device_flags = KOR_FLAG_CKD | KOR_FLAG_FIBRE;
    put_bytes(*ckd.inquiry_data, 114, "\xE2\xE8\xE2\x5B\xF0\xF1");  // "SYS$01"
    T_SIL_DEVICE& odd = korv_lun("ckd2");
    odd.inquiry_data->device_flags = KOR_FLAG_CKD;
    put_bytes(*odd.inquiry_data, 114, std::string("\x81\x00\xC9\x41\xA1\x6D", 6));  // a NUL, a no-break space
    add_usual_four();
    EXPECT_EQ(run(do_ckd_display),
              rule(77) + "DEVICE                 :CKD DEV :LABEL  :VEND    :REV   :SER NUM    :CAP(kb) \n" +
                  rule(77) +
                  "ckd1                   :YES     :SYS$01 :XMV     :5874  :   410A1160: 1048576\n"
                  "ckd2                   :YES     :a.I.~_ :XMV     :5874  :   410A1160: 1048576\n"
                  "dsk1                   :NO      :------ :XMV     :5874  :   410A1160: 1048576\n"
                  "dsk2                   :---     :------ :ATA     :CC38  :           :488386584\n"
                  "dsk3                   :---     :------ :--------:----  :-------------:  102400\n"
                  "dsk4                   :---     :------ :ATA     :CC38  :           :       0\n");
}

// ---- -sil, -connections, -gk, -parent --------------------------------------------------------------

TEST_F(Tables, SilTable) {
    add_usual_four();
    rpx_lun("dsk5");
    T_SIL_DEVICE& big_blocks = plain_disk("dsk6");
    give_capacity(big_blocks, 2048, 520);
    T_SIL_DEVICE& old_model = korv_lun("dsk7");
    old_model.korv_model = 0x300;
    old_model.director = 3;
    old_model.port = 1;
    EXPECT_EQ(run(do_sil_display),
              kSilHeading +
                  "dsk1     :XMV:5874 :  a1 16a0    F  R   : 010a :  1048576:     :000187901234\n"
                  "dsk2     :ATA:CC38 : -   -             : 1000 :488386584:     : ---------  \n"
                  "dsk3     :------:---- : -   -             : --- :   102400:     : ---------  \n"
                  "dsk4     :ATA:CC38 : -   -             : 1000 :   FAILED:     : ---------  \n"
                  "dsk5     :XMV:5977 :  a1  2c1 B1 USMM   : 010aX:     4096:     :123456789012\n"
                  "dsk6     :ATA:CC38 : -   -             : 1000 :     1040:  520: ---------  \n"
                  "dsk7     :XMV:5874 :  a1  3-1    F  R   : 010a :  1048576:     :000187901234\n");
}

TEST_F(Tables, ConnectionsListing) {
    add_usual_four();
    EXPECT_EQ(run(do_connections_display),
              "dsk1      : XMV : 5874  : 16a0 : 000187901234\n"
              "dsk2      : ATA : CC38  :  -   :  ---------  \n"
              "dsk3      : ------ : ----  :  -   :  ---------  \n"
              "dsk4      : ATA : CC38  :  -   :  ---------  \n");
}

TEST_F(Tables, GatekeeperTable) {
    korv_lun("dsk1");
    T_SIL_DEVICE& gk = korv_lun("gk1");
    gk.io_ok_flags = 0x02;
    give_capacity(gk, 5760, 512);
    capacity_only("dsk3");
    failed_capacity("dsk4");
    add("dsk5");
    EXPECT_EQ(run(do_gk_display),
              kGkHeading +
                  "dsk1             :    :XMV     :KORVALITH       :5874  :410A1160   : 1048576\n"
                  "gk1              :(GK):XMV     :KORVALITH       :5874  :410A1160   :    2880\n"
                  "dsk3             :    :----    :----            :----  :----       :  102400\n"
                  "dsk4             :    :ATA     :ST3500418AS     :CC38  :           : FAILED\n"
                  "dsk5             :    :----    :----            :----  :----       : ----- \n");
}

TEST_F(Tables, ParentTable) {
    T_SIL_DEVICE& pseudo = add("dsk7");
    pseudo.mp_state = SIL_DEV_PARENT;
    put(pseudo.mp_relation, "dsk8");
    pseudo.veritas_state = SIL_DEV_ORPHAN;
    T_SIL_DEVICE& path = add("dsk8");
    path.mp_state = SIL_DEV_CHILD;
    put(path.mp_relation, "dsk7");
    path.native_state = SIL_DEV_SIBLING;
    put(path.native_relation, "dsk9");
    path.veritas_state = 3;
    const std::string blank25(25, ' ');
    EXPECT_EQ(run(do_parent_display),
              "\n" + rule(168) +
                  "DEVICE                    :     MP State      :   Strandway Relation       :   Native State    "
                  ":    Native Relation    :   Veritas State   :     Veritas Relation       \n" +
                  rule(168) +
                  pad("dsk7", 25) + " :  SIL_DEV_PARENT   : " + pad("dsk8", 25) + "  :  ------           : " +
                  blank25 + " : SIL_DEV_ORPHAN   : " + blank25 + "\n" +
                  pad("dsk8", 25) + " :  SIL_DEV_CHILD    : " + pad("dsk7", 25) + "  :  SIL_DEV_SIBLING  : " +
                  pad("dsk9", 25) + " : ------           : " + blank25 + "\n");
}

TEST_F(Tables, TheModeDispatchRunsEachTable) {
    korv_lun("dsk1");
    plain_disk("dsk2");
    const std::pair<std::uint32_t, Report> tables[] = {
        {INQ_MODE_DEFAULT, do_default_display}, {INQ_MODE_ALL, do_all_display},
        {INQ_MODE_PARENT, do_parent_display},   {INQ_MODE_ET, do_et_display},
        {INQ_MODE_CKD, do_ckd_display},         {INQ_MODE_SIL, do_sil_display},
        {INQ_MODE_GK, do_gk_display},           {INQ_MODE_CONNECTIONS, do_connections_display},
    };
    for (const auto& [mode, report] : tables) {
        const std::string direct = run(report);
        EXPECT_NE(direct.find("dsk2"), std::string::npos) << mode;
        EXPECT_EQ(run_mode(mode), direct) << mode;
    }
}

// ---- the vocabulary ---------------------------------------------------------------------------------

TEST(TableVocabulary, ProtectionNameTakesTheFirstRuleThatApplies) {
    struct Case {
        std::uint8_t byte44, byte49, byte120, byte130;
        const char* et;
        const char* all;
    };
    const Case cases[] = {
        {0x11, 0, 0, 0x08, "RAID-5", "RAID-5"},
        {0x31, 0, 0, 0x28, "RAID-6/mirrored", "RAID-6/mirrored"},
        {0x00, 0x10, 0, 0x00, "RAID-S", "RAID-S"},                        // flag byte from 49
        {0x00, 0x00, 0x34, 0x00, "RAID-S/mirrored", "RAID-S/mirrored"},   // from 120; RAID beats RPX
        {0x26, 0, 0, 0, "RPX1/V-RAID/mirrored", "RPX1/mirrored/V-RAID"},
        {0x00, 0x00, 0x24, 0, "RPX2/V-RAID/mirrored", "RPX2/mirrored/V-RAID"},
        {0x05, 0, 0, 0, "RPX2", "RPX2"},
        {0x27, 0, 0, 0, "RPX1/mirrored", "RPX1/mirrored"},
        {0x20, 0, 0, 0, "V-RAID", "V-RAID"},  // V-RAID is named before mirroring
        {0x00, 0, 0, 0, "V-RAID", "V-RAID"},
        {0x21, 0, 0, 0, "mirrored", "mirrored"},
        {0x01, 0, 0, 0, "unprotected", "unprotected"},
    };
    for (const Case& c : cases) {
        KOR_INQ_PAGE0 inq{};
        inq.rpx_flags_1 = c.byte44;
        inq.rpx_flags_2 = c.byte49;
        inq.rpx_flags_3 = c.byte120;
        inq.protection = c.byte130;
        EXPECT_EQ(korv_protection_name(inq, RpxSuffixOrder::vraid_first), c.et) << int(c.byte44);
        EXPECT_EQ(korv_protection_name(inq, RpxSuffixOrder::mirrored_first), c.all) << int(c.byte44);
    }
}

TEST(TableVocabulary, ModelNames) {
    EXPECT_STREQ(korv_model_name(0x300, KORV_MODEL_NEWEST), "KORV3");
    EXPECT_STREQ(korv_model_name(0x600, KORV_MODEL_NEWEST_IN_ALL), "KORV6");
    EXPECT_STREQ(korv_model_name(0x800, KORV_MODEL_NEWEST), "KORV8");
    EXPECT_STREQ(korv_model_name(0x800, KORV_MODEL_NEWEST_IN_ALL), "-----");
    EXPECT_STREQ(korv_model_name(0x480, KORV_MODEL_NEWEST), "-----");
    EXPECT_STREQ(korv_model_name(0x900, KORV_MODEL_NEWEST), "-----");
}

TEST(TableVocabulary, DirectorLetters) {
    T_SIL_DEVICE dev{};
    dev.korv_model = 0x500;
    dev.director = 0x1A0;  // index 0x19F: letter index 25, 'z'
    dev.port = 1;
    EXPECT_EQ(korv_director_cell(dev), "16z1");
    dev.director = 0x1A1;  // letter index 26: no letter left
    EXPECT_EQ(korv_director_cell(dev), " 1?1");
    dev.korv_model = 0x300;
    dev.director = 12;
    EXPECT_EQ(korv_director_cell(dev), "12-1");
}

TEST(TableVocabulary, CapacityWorksIn64Bits) {
    T_SIL_DEVICE dev{};
    dev.cap_state = 1;
    dev.num_blocks = 0x200000000ULL;  // 8 Gi blocks of 4 KB: 32 TB, past any 32-bit count
    dev.block_size = 4096;
    EXPECT_EQ(capacity_cell(dev, " ----- "), "34359738368");
    dev.cap_state = 2;
    EXPECT_EQ(capacity_cell(dev, " ----- "), " FAILED");
    dev.cap_state = 0;
    EXPECT_EQ(capacity_cell(dev, " ----- "), " ----- ");
}

TEST(EbcdicToAscii, CodePage037) {
    const std::uint8_t hello[] = {0xC8, 0x85, 0x93, 0x93, 0x96, 0x6B, 0x40, 0xE6, 0x96, 0x99, 0x93, 0x84, 0x5A};
    char text[sizeof hello + 1]{};
    pds::pdsUtilEbcdicToAscii(hello, text, sizeof hello);
    EXPECT_STREQ(text, "Hello, World!");

    const std::uint8_t signs[] = {0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x5C, 0x5D, 0x5E, 0x60, 0x61, 0x6C,
                                  0x6E, 0x6F, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F, 0xA1, 0xB0,
                                  0xBA, 0xBB, 0xC0, 0xD0, 0xE0, 0xF0, 0xF9, 0xA9, 0xE9, 0xD1};
    char converted[sizeof signs + 1]{};
    pds::pdsUtilEbcdicToAscii(signs, converted, sizeof signs);
    EXPECT_STREQ(converted, "<(+|&*);-/%>?`:#@'=\"~^[]{}\\09zZJ");

    // Controls, NUL and letters outside ASCII (0x42 a-circumflex, 0x4A cent, 0x9F currency sign,
    // 0xFF) come out as dots; nothing ends the text early.
    const std::uint8_t unprintable[] = {0x00, 0x05, 0x25, 0x3F, 0x41, 0x42, 0x4A, 0x9F, 0xFF};
    char dots[sizeof unprintable + 1]{};
    pds::pdsUtilEbcdicToAscii(unprintable, dots, sizeof unprintable);
    EXPECT_STREQ(dots, ".........");
}

}  // namespace
