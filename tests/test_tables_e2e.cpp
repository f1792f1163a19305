// End to end: lunscan's device tables and display filter on a mixed simulated host, compared byte for byte.
//
// The host (tests/data/tables/mixed-host.json) is described with raw INQUIRY bytes; what each
// device decodes to, worked out from those bytes:
//
//   disk  what                         vendor/product/rev           serial (dev_serial)  volume  capacity
//   0     local disk, blank serial     ACME SYSTEM DISK 1.00        8 blanks             -       0x1FFFF+1 blocks x 512 / 1024 = 65536 KB
//   1,11  array LUN, two paths         XMV KORVALITH 5568           12001a4071           01A4    0xFFFFF+1 blocks x 512 / 1024 = 524288 KB
//   2     array LUN, level 5876        XMV KORVALITH 5876 (88-89)   1210a1b031           0A1B    0xFFFF+1 blocks x 4096 / 1024 = 262144 KB
//   3     local disk, not ready        ACME DATA DISK 2.10          ACM00042             -       READ CAPACITY fails: FAILED
//   4     no INQUIRY                   -                            -                    -       0x7FFF+1 blocks x 512 / 1024 = 16384 KB
//   5     DVD drive (type 5)           ACME DVD-ROM DRIVE 1.02      empty                -       never asked: -----
//   6     array LUN, iSCSI, RPX R2     XMV KORVALITH 5267           56000c7003           0C7     0xFFFF+1 blocks x 512 / 1024 = 32768 KB
//   10    array CKD BCV volume PRD001  XMV KORVALITH 5669           7101f40160           1F40    0x3FFFF+1 blocks x 512 / 1024 = 131072 KB
//   STRND_KORVALITH_01A4: the multipathing driver's pseudo device over disks 1 and 11 (answers as disk 1).
//
// dev_serial = bytes 36-37, byte 137 from level 5771 on (else '0'), the volume as "%04x", bytes 41-43:
// "12" "0" "01a4" "07" "1"; "12" "1" "0a1b" "03" "1"; "56" "0" "00c7" "00" "3"; "71" "0" "1f40" "16" "0".
// Array serials (byte 76, then 124-128 as BCD): 000184600312, 123456789012, 000187900456, 000195700871.
// Disk 6 is below level 5568 (volume from bytes 38-40, model 3 from byte 48) and has no director in
// its text, so director and port come from bytes 122-123: 4 + 1 and 3.
// The longest name, "\\.\STRND_KORVALITH_01A4", is 24 characters: W = 25 in the sized tables.
// Disk 10 is enumerated first; the tables list 0, 1, ..., 6, 10, 11 (natural name order), then the
// pseudo device ('P' < 'S').
//
// Every expected line ends in "|" so that trailing blanks stay visible; expect() drops the marks.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "cli_helpers.h"

namespace {

std::string host_file(const std::string& name) { return clitest::data_dir() + "/tables/" + name; }

// Runs lunscan without its banner on `host` and returns the report: standard output less the one
// empty line the run prints before every report.
std::string report(const std::string& host, std::vector<std::string> args) {
    args.insert(args.begin(), "-no_header");
    std::vector<testsupport::EnvChange> env = clitest::empty_host();
    env.front().second = host;
    env.emplace_back("XMV_INQ_ALL_DEVICES", std::nullopt);
    const testsupport::RunResult run = testsupport::run_lunscan(args, env);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, 1), "\n") << "no empty line before the report";
    return run.out.empty() ? run.out : run.out.substr(1);
}

std::string mixed(const std::vector<std::string>& args) { return report(host_file("mixed-host.json"), args); }
std::string empty(const std::vector<std::string>& args) {
    return report(clitest::data_dir() + "/empty-host.json", args);
}

// The expected text: the literal less its first newline and its end-of-line marks.
std::string expect(std::string text) {
    if (!text.empty() && text.front() == '\n') text.erase(0, 1);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '|' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

struct Variant {
    std::vector<std::string> args;
    const char* expected;
};

void check_variants(const std::vector<Variant>& variants) {
    for (const Variant& v : variants) {
        std::string joined;
        for (const std::string& a : v.args) joined += a + " ";
        EXPECT_EQ(mixed(v.args), expect(v.expected)) << "lunscan " << joined;
    }
}

// Device names of the default table's rows (the first cell, blanks dropped).
std::vector<std::string> names_column(const std::string& table) {
    std::vector<std::string> names;
    std::istringstream in(table);
    std::string line;
    for (int header = 0; header < 4; ++header) std::getline(in, line);  // empty line, dashes, heading, dashes
    while (std::getline(in, line)) names.push_back(line.substr(0, line.find_first_of(" :")));
    return names;
}

const std::string D0 = R"(\\.\PHYSICALDRIVE0)", D1 = R"(\\.\PHYSICALDRIVE1)", D2 = R"(\\.\PHYSICALDRIVE2)",
                  D3 = R"(\\.\PHYSICALDRIVE3)", D4 = R"(\\.\PHYSICALDRIVE4)", D5 = R"(\\.\PHYSICALDRIVE5)",
                  D6 = R"(\\.\PHYSICALDRIVE6)", D10 = R"(\\.\PHYSICALDRIVE10)", D11 = R"(\\.\PHYSICALDRIVE11)",
                  STRND = R"(\\.\STRND_KORVALITH_01A4)";

// The default table: dash line W + 54 + 4 = 83 (+13 with -showvol, +9 with -showvol -compat,
// +0 with -compat alone). Serial: dev_serial, or with -compat bytes 36-43 when byte 36 is not 0
// (the DVD's byte 36 is 0: "----"). Volume "%05X" ("%5X" with -compat), "----" without INQUIRY.
TEST(TablesEndToEnd, DefaultTableAndItsColumnOptions) {
    check_variants({
        {{}, R"(
|
-----------------------------------------------------------------------------------|
DEVICE                   :VEND    :PROD            :REV   :SER NUM    :CAP(kb)     |
-----------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0       :ACME    :SYSTEM DISK     :1.00  :           :       65536|
\\.\PHYSICALDRIVE1       :XMV     :KORVALITH       :5568  :12001a4071 :      524288|
\\.\PHYSICALDRIVE2       :XMV     :KORVALITH       :5876  :1210a1b031 :      262144|
\\.\PHYSICALDRIVE3       :ACME    :DATA DISK       :2.10  :ACM00042   :      FAILED|
\\.\PHYSICALDRIVE4       :----    :----            :----  :----       :       16384|
\\.\PHYSICALDRIVE5       :ACME    :DVD-ROM DRIVE   :1.02  :           :      ----- |
\\.\PHYSICALDRIVE6       :XMV     :KORVALITH       :5267  :56000c7003 :       32768|
\\.\PHYSICALDRIVE10      :XMV     :KORVALITH       :5669  :7101f40160 :      131072|
\\.\PHYSICALDRIVE11      :XMV     :KORVALITH       :5568  :12001a4071 :      524288|
\\.\STRND_KORVALITH_01A4 :XMV     :KORVALITH       :5568  :12001a4071 :      524288|
)"},
        {{"-showvol"}, R"(
|
--------------------------------------------------------------------------------------------|
DEVICE                   :VEND    :PROD            :REV   :SER NUM    :Volume  :CAP(kb)     |
--------------------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0       :ACME    :SYSTEM DISK     :1.00  :           :   00000:       65536|
\\.\PHYSICALDRIVE1       :XMV     :KORVALITH       :5568  :12001a4071 :   001A4:      524288|
\\.\PHYSICALDRIVE2       :XMV     :KORVALITH       :5876  :1210a1b031 :   00A1B:      262144|
\\.\PHYSICALDRIVE3       :ACME    :DATA DISK       :2.10  :ACM00042   :   00000:      FAILED|
\\.\PHYSICALDRIVE4       :----    :----            :----  :----       :    ----:       16384|
\\.\PHYSICALDRIVE5       :ACME    :DVD-ROM DRIVE   :1.02  :           :   00000:      ----- |
\\.\PHYSICALDRIVE6       :XMV     :KORVALITH       :5267  :56000c7003 :   000C7:       32768|
\\.\PHYSICALDRIVE10      :XMV     :KORVALITH       :5669  :7101f40160 :   01F40:      131072|
\\.\PHYSICALDRIVE11      :XMV     :KORVALITH       :5568  :12001a4071 :   001A4:      524288|
\\.\STRND_KORVALITH_01A4 :XMV     :KORVALITH       :5568  :12001a4071 :   001A4:      524288|
)"},
        // -compat: capacity "%7s " (a longer cell pushes the line), the old heading is kept.
        {{"-compat"}, R"(
|
-------------------------------------------------------------------------------|
DEVICE                   :VEND    :PROD            :REV   :SER NUM    :CAP(kb)     |
-------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0       :ACME    :SYSTEM DISK     :1.00  :           :   65536 |
\\.\PHYSICALDRIVE1       :XMV     :KORVALITH       :5568  :121A4071   :  524288 |
\\.\PHYSICALDRIVE2       :XMV     :KORVALITH       :5876  :12A1B031   :  262144 |
\\.\PHYSICALDRIVE3       :ACME    :DATA DISK       :2.10  :ACM00042   : FAILED |
\\.\PHYSICALDRIVE4       :----    :----            :----  :----       :   16384 |
\\.\PHYSICALDRIVE5       :ACME    :DVD-ROM DRIVE   :1.02  :----       : -----  |
\\.\PHYSICALDRIVE6       :XMV     :KORVALITH       :5267  :560C7003   :   32768 |
\\.\PHYSICALDRIVE10      :XMV     :KORVALITH       :5669  :71F40160   :  131072 |
\\.\PHYSICALDRIVE11      :XMV     :KORVALITH       :5568  :121A4071   :  524288 |
\\.\STRND_KORVALITH_01A4 :XMV     :KORVALITH       :5568  :121A4071   :  524288 |
)"},
        {{"-compat", "-showvol"}, R"(
|
----------------------------------------------------------------------------------------|
DEVICE                   :VEND    :PROD            :REV   :SER NUM    :Volume  :CAP(kb)     |
----------------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0       :ACME    :SYSTEM DISK     :1.00  :           :       0:   65536|
\\.\PHYSICALDRIVE1       :XMV     :KORVALITH       :5568  :121A4071   :     1A4:  524288|
\\.\PHYSICALDRIVE2       :XMV     :KORVALITH       :5876  :12A1B031   :     A1B:  262144|
\\.\PHYSICALDRIVE3       :ACME    :DATA DISK       :2.10  :ACM00042   :       0: FAILED|
\\.\PHYSICALDRIVE4       :----    :----            :----  :----       :    ----:   16384|
\\.\PHYSICALDRIVE5       :ACME    :DVD-ROM DRIVE   :1.02  :----       :       0: ----- |
\\.\PHYSICALDRIVE6       :XMV     :KORVALITH       :5267  :560C7003   :      C7:   32768|
\\.\PHYSICALDRIVE10      :XMV     :KORVALITH       :5669  :71F40160   :    1F40:  131072|
\\.\PHYSICALDRIVE11      :XMV     :KORVALITH       :5568  :121A4071   :     1A4:  524288|
\\.\STRND_KORVALITH_01A4 :XMV     :KORVALITH       :5568  :121A4071   :     1A4:  524288|
)"},
        // The optional columns in their order: Vantrel, array serial (byte 76 and 124-128 as
        // "%02X"), midrange LUN, bus/target/LUN in hex (disk 2: target 10, LUN 18). Dashes
        // 25 + 54 + 13 + 13 + 19 + 15 + 16 = 155.
        {{"-showvol", "-vantrel", "-sid", "-dravonis", "-btl"}, R"(
|
-----------------------------------------------------------------------------------------------------------------------------------------------------------|
DEVICE                   :VEND    :PROD            :REV   :SER NUM    :Volume  :CAP(kb)     :VANTREL INFO   :KORV ID     :VLU :DLUN :State   :Bus :Tid :Lun |
-----------------------------------------------------------------------------------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0       :ACME    :SYSTEM DISK     :1.00  :           :   00000:       65536:               :N/A         :    :    :       :   0:   0:   0|
\\.\PHYSICALDRIVE1       :XMV     :KORVALITH       :5568  :12001a4071 :   001A4:      524288:               :000184600312:    :    :       :   0:   0:   1|
\\.\PHYSICALDRIVE2       :XMV     :KORVALITH       :5876  :1210a1b031 :   00A1B:      262144:               :123456789012:    :    :       :   0:   a:  12|
\\.\PHYSICALDRIVE3       :ACME    :DATA DISK       :2.10  :ACM00042   :   00000:      FAILED:               :N/A         :    :    :       :   0:   1:   0|
\\.\PHYSICALDRIVE4       :----    :----            :----  :----       :    ----:       16384:               :N/A         :    :    :       :   0:   2:   0|
\\.\PHYSICALDRIVE5       :ACME    :DVD-ROM DRIVE   :1.02  :           :   00000:      ----- :               :N/A         :    :    :       :   0:   0:   0|
\\.\PHYSICALDRIVE6       :XMV     :KORVALITH       :5267  :56000c7003 :   000C7:       32768:               :000187900456:    :    :       :   0:   6:   0|
\\.\PHYSICALDRIVE10      :XMV     :KORVALITH       :5669  :7101f40160 :   01F40:      131072:               :000195700871:    :    :       :   0:   0:   3|
\\.\PHYSICALDRIVE11      :XMV     :KORVALITH       :5568  :12001a4071 :   001A4:      524288:               :000184600312:    :    :       :   1:   0:   1|
\\.\STRND_KORVALITH_01A4 :XMV     :KORVALITH       :5568  :12001a4071 :   001A4:      524288:               :000184600312:    :    :       :   0:   0:   1|
)"},
    });
}

// -winvol lists the fixed volumes instead (C: on disk 0, E: on disk 10; the DVD's F: is skipped)
// and prints each volume's own size: 61440 and 131000 KB with "%7u". W = 19 + 1.
TEST(TablesEndToEnd, DefaultTableOfWindowsVolumes) {
    check_variants({
        {{"-winvol"}, R"(
|
--------------------------------------------------------------------------------------|
DEVICE              :VEND    :PROD            :REV   :SER NUM    :CAP(kb)     :WIN vol|
--------------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0  :ACME    :SYSTEM DISK     :1.00  :           :       61440:  C:|
\\.\PHYSICALDRIVE10 :XMV     :KORVALITH       :5669  :7101f40160 :      131000:  E:|
)"},
        {{"-winvol", "-showvol"}, R"(
|
-----------------------------------------------------------------------------------------------|
DEVICE              :VEND    :PROD            :REV   :SER NUM    :Volume  :CAP(kb)     :WIN vol|
-----------------------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0  :ACME    :SYSTEM DISK     :1.00  :           :   00000:       61440:  C:|
\\.\PHYSICALDRIVE10 :XMV     :KORVALITH       :5669  :7101f40160 :   01F40:      131000:  E:|
)"},
        // -compat: the heading names the volume column, the rows have none.
        {{"-winvol", "-compat"}, R"(
|
----------------------------------------------------------------------------------|
DEVICE              :VEND    :PROD            :REV   :SER NUM    :CAP(kb)     :WIN vol|
----------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0  :ACME    :SYSTEM DISK     :1.00  :           :  61440 |
\\.\PHYSICALDRIVE10 :XMV     :KORVALITH       :5669  :71F40160   : 131000 |
)"},
    });
}

// -all: serial from bytes 36-43, product cut to 9 characters, KORV8 unknown ("-----"), the RPX1
// suffixes "/mirrored" then "/V-RAID", array serials starting "00" shown with two blanks, FC/UL?
// blank for the iSCSI disk 6. The flag byte of disk 10 is byte 120 (44 and 49 are 0): 0x30 with
// byte 130 0x20 = RAID-6/mirrored. Names longer than 19 push their row right.
TEST(TablesEndToEnd, AllTable) { EXPECT_EQ(mixed({"-all"}), expect(R"(
----------------------------------------------------------------------------------------------------------------------------------|
DEVICE             :SERIAL # :VEND    :PROD      :MODEL :REV  :BCV?:R? :CKD?:SM? :CAP(KB)   :BLKSZ:FC/UL?:PROTECTION  :KORV SERIAL#|
----------------------------------------------------------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0 :         :ACME    :SYSTEM DI :----- :1.00 :--- :-- :--- :--- :   65536  :  512: ---- :-------     : --------   |
\\.\PHYSICALDRIVE1 :121A4071 :XMV     :KORVALITH :KORV5 :5568 :    :   :    :    :  524288  :  512:FIBRE :RAID-5      :  0184600312|
\\.\PHYSICALDRIVE2 :12A1B031 :XMV     :KORVALITH :----- :5876 :    :R1 :    :SM  :  262144  : 4096:ULTRA :RPX1/mirrored/V-RAID:123456789012|
\\.\PHYSICALDRIVE3 :ACM00042 :ACME    :DATA DISK :----- :2.10 :--- :-- :--- :--- : FAILED   :     : ---- :-------     : --------   |
\\.\PHYSICALDRIVE4 :-------- :------  :--------  :----- :---- :--- :-- :--- :--- :   16384  :  512: ---- :-------     : --------   |
\\.\PHYSICALDRIVE5 :         :ACME    :DVD-ROM D :----- :1.02 :--- :-- :--- :--- : -----    : --- : ---- :-------     : --------   |
\\.\PHYSICALDRIVE6 :560C7003 :XMV     :KORVALITH :KORV3 :5267 :    :R2 :    :S   :   32768  :  512:      :RPX2        :  0187900456|
\\.\PHYSICALDRIVE10:71F40160 :XMV     :KORVALITH :KORV6 :5669 :BCV :   :CKD :    :  131072  :  512:FIBRE :RAID-6/mirrored:  0195700871|
\\.\PHYSICALDRIVE11:121A4071 :XMV     :KORVALITH :KORV5 :5568 :    :   :    :    :  524288  :  512:FIBRE :RAID-5      :  0184600312|
\\.\STRND_KORVALITH_01A4:121A4071 :XMV     :KORVALITH :KORV5 :5568 :    :   :    :    :  524288  :  512:FIBRE :RAID-5      :  0184600312|
)")); }

// -et: the maker's devices only. DIR-P from bytes 122-123: disk 1 0x0B/2 -> "R12-2" (whatever
// its text says), disk 2 extended 0x2D/4 -> (0xD + 1, 'A' + 2) "R14C-4", disk 6 4/3 -> "R05-3",
// disk 10 0x0F/0 -> "R16-0". UDATE: 0x20011102 (BCD 11 02 01), 0x20090315 (at 92 since ANSI
// version 4), 0x20000930 and 0x20020730 (no valid date: the dates known for levels 5267 and
// 5669). RPX1 then "/V-RAID" then "/mirrored"; 0x800 is KORV8; disk 6 neither fibre nor Ultra
// but byte 136 0x20: ISCSI.
TEST(TablesEndToEnd, EmulationAndTypeTable) {
    check_variants({
        {{"-et"}, R"(
-----------------------------------------------------------------------------------------------------------------|
RAW                    SERIAL      BCV/   R1/    CKD/    FIBRE/ SHARE/ KORV   DEVICE                     UDATE   |
DEVICE NAME            NUMBER      REG?   R2?    FBA?    ULTRA/ META   MODEL  PROTECTION   WD? DIR-P  (YYYYMMDD) |
                                                         ISCSI? |
-----------------------------------------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE1    :12001a4071 :REG   :N/A   :FBA    :FIBRE :      :KORV5 :RAID-5      :   :R12-2  :20011102 |
\\.\PHYSICALDRIVE2    :1210a1b031 :REG   :R1    :FBA    :ULTRA :SM    :KORV8 :RPX1/V-RAID/mirrored:   :R14C-4 :20090315 |
\\.\PHYSICALDRIVE6    :56000c7003 :REG   :R2    :FBA    :ISCSI :S     :KORV3 :RPX2        :   :R05-3  :20000930 |
\\.\PHYSICALDRIVE10   :7101f40160 :BCV   :N/A   :CKD    :FIBRE :      :KORV6 :RAID-6/mirrored:WP :R16-0  :20020730 |
\\.\PHYSICALDRIVE11   :12001a4071 :REG   :N/A   :FBA    :FIBRE :      :KORV5 :RAID-5      :   :R12-2  :20011102 |
\\.\STRND_KORVALITH_01A4:12001a4071 :REG   :N/A   :FBA    :FIBRE :      :KORV5 :RAID-5      :   :R12-2  :20011102 |
)"},
        // -compat: the raw serial bytes 36-43 in a 9-wide cell, 111 dashes.
        {{"-et", "-compat"}, R"(
---------------------------------------------------------------------------------------------------------------|
RAW                    SERIAL    BCV/   R1/    CKD/    FIBRE/ SHARE/ KORV   DEVICE                     UDATE   |
DEVICE NAME            NUMBER    REG?   R2?    FBA?    ULTRA/ META   MODEL  PROTECTION   WD? DIR-P  (YYYYMMDD) |
                                                       ISCSI? |
---------------------------------------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE1    :121A4071 :REG   :N/A   :FBA    :FIBRE :      :KORV5 :RAID-5      :   :R12-2  :20011102 |
\\.\PHYSICALDRIVE2    :12A1B031 :REG   :R1    :FBA    :ULTRA :SM    :KORV8 :RPX1/V-RAID/mirrored:   :R14C-4 :20090315 |
\\.\PHYSICALDRIVE6    :560C7003 :REG   :R2    :FBA    :ISCSI :S     :KORV3 :RPX2        :   :R05-3  :20000930 |
\\.\PHYSICALDRIVE10   :71F40160 :BCV   :N/A   :CKD    :FIBRE :      :KORV6 :RAID-6/mirrored:WP :R16-0  :20020730 |
\\.\PHYSICALDRIVE11   :121A4071 :REG   :N/A   :FBA    :FIBRE :      :KORV5 :RAID-5      :   :R12-2  :20011102 |
\\.\STRND_KORVALITH_01A4:121A4071 :REG   :N/A   :FBA    :FIBRE :      :KORV5 :RAID-5      :   :R12-2  :20011102 |
)"},
    });
}

// -ckd: the maker's devices; the label of disk 10 is EBCDIC D7 D9 C4 F0 F0 F1 = "PRD001".
TEST(TablesEndToEnd, CkdTable) {
    EXPECT_EQ(mixed({"-ckd"}), expect(R"(
-----------------------------------------------------------------------------|
DEVICE                 :CKD DEV :LABEL  :VEND    :REV   :SER NUM    :CAP(kb) |
-----------------------------------------------------------------------------|
\\.\PHYSICALDRIVE1     :NO      :------ :XMV     :5568  :   121A4071:  524288|
\\.\PHYSICALDRIVE2     :NO      :------ :XMV     :5876  :   12A1B031:  262144|
\\.\PHYSICALDRIVE6     :NO      :------ :XMV     :5267  :   560C7003:   32768|
\\.\PHYSICALDRIVE10    :YES     :PRD001 :XMV     :5669  :   71F40160:  131072|
\\.\PHYSICALDRIVE11    :NO      :------ :XMV     :5568  :   121A4071:  524288|
\\.\STRND_KORVALITH_01A4:NO      :------ :XMV     :5568  :   121A4071:  524288|
)"));
    // The capacity column prints the KB count whatever the capacity state: 0 when never read.
    const std::string unread = mixed({"-ckd", "-skipread"});
    EXPECT_EQ(std::count(unread.begin(), unread.end(), '\n'), 3 + 6);
    std::istringstream rows(unread);
    std::string row;
    for (int header = 0; header < 3; ++header) std::getline(rows, row);
    while (std::getline(rows, row)) EXPECT_TRUE(row.ends_with(":       0")) << row;
}

// The -sil table starts with an empty line and its legend of the property positions.
const std::string kSilLegend =
    "\n"
    "       0 = BCV\n"
    "       1 = RPX Group\n"
    "       2 = CKD\n"
    "       3 = Fibre/Ultra\n"
    "       4 = Shared\n"
    "       5 = Meta\n"
    "       6 = Raid/Mirrored/Both/Unprotected\n";

// -sil: Vol "%4x"; Dir "%2d%c%d" with ((director - 1) & 0xF) + 1, 'a' + ((director - 1) >> 4),
// port: disk 1 director 7 port 1 -> " 7a1", disk 2 director 0x2D + 1 port 4 -> "14c4", disk 10
// director 16 port 0 -> "16a0"; model 3 (disk 6) "%2d-%d" -> " 5-3". Properties: disk 1
// "   F  R" (fibre, RAID), disk 2 " 1 USMM" (R1, Ultra, shared, meta, mirrored), disk 6
// " 2  S U" (R2, shared, unprotected), disk 10 "B CF  B" (BCV, CKD, fibre, RAID and mirrored).
// BlkSz blank for 512, " 4096" for disk 2; four blanks after FAILED.
TEST(TablesEndToEnd, SilTable) { EXPECT_EQ(mixed({"-sil"}), kSilLegend + expect(R"(
-------------------------------------------------------------------------------------------|
DEVICE                   :VND :REV : Vol: Dir:Properties: BTLLW:CAP(KB)  :BlkSz: KorvSerial#|
----------------------------------------------0123456---------------------------------------|
\\.\PHYSICALDRIVE0       :ACM:1.00 : -   -             : 0000 :    65536:     : ---------  |
\\.\PHYSICALDRIVE1       :XMV:5568 : 1a4  7a1    F  R   : 0001 :   524288:     :000184600312|
\\.\PHYSICALDRIVE2       :XMV:5876 : a1b 14c4  1 USMM   : 0a12 :   262144: 4096:123456789012|
\\.\PHYSICALDRIVE3       :ACM:2.10 : -   -             : 0100 :   FAILED:     : ---------  |
\\.\PHYSICALDRIVE4       :------:---- : -   -             : 0200 :    16384:     : ---------  |
\\.\PHYSICALDRIVE5       :ACM:1.02 : -   -             : 0000 :   ----- : --- : ---------  |
\\.\PHYSICALDRIVE6       :XMV:5267 :  c7  5-3  2  S U   : 0600 :    32768:     :000187900456|
\\.\PHYSICALDRIVE10      :XMV:5669 :1f40 16a0 B CF  B   : 0003 :   131072:     :000195700871|
\\.\PHYSICALDRIVE11      :XMV:5568 : 1a4  7a1    F  R   : 1001 :   524288:     :000184600312|
\\.\STRND_KORVALITH_01A4 :XMV:5568 : 1a4  7a1    F  R   : 0001 :   524288:     :000184600312|
)")); }

// -connections reads no capacity, so disk 4 (no INQUIRY) has no data and is hidden unless
// -no_filters.
TEST(TablesEndToEnd, ConnectionsListing) {
    check_variants({
        {{"-connections"}, R"(
\\.\PHYSICALDRIVE0        : ACM : 1.00  :  -   :  ---------  |
\\.\PHYSICALDRIVE1        : XMV : 5568  :  7a1 : 000184600312|
\\.\PHYSICALDRIVE2        : XMV : 5876  : 14c4 : 123456789012|
\\.\PHYSICALDRIVE3        : ACM : 2.10  :  -   :  ---------  |
\\.\PHYSICALDRIVE5        : ACM : 1.02  :  -   :  ---------  |
\\.\PHYSICALDRIVE6        : XMV : 5267  :  5-3 : 000187900456|
\\.\PHYSICALDRIVE10       : XMV : 5669  : 16a0 : 000195700871|
\\.\PHYSICALDRIVE11       : XMV : 5568  :  7a1 : 000184600312|
\\.\STRND_KORVALITH_01A4  : XMV : 5568  :  7a1 : 000184600312|
)"},
        {{"-connections", "-no_filters"}, R"(
\\.\PHYSICALDRIVE0        : ACM : 1.00  :  -   :  ---------  |
\\.\PHYSICALDRIVE1        : XMV : 5568  :  7a1 : 000184600312|
\\.\PHYSICALDRIVE2        : XMV : 5876  : 14c4 : 123456789012|
\\.\PHYSICALDRIVE3        : ACM : 2.10  :  -   :  ---------  |
\\.\PHYSICALDRIVE4        : ------ : ----  :  -   :  ---------  |
\\.\PHYSICALDRIVE5        : ACM : 1.02  :  -   :  ---------  |
\\.\PHYSICALDRIVE6        : XMV : 5267  :  5-3 : 000187900456|
\\.\PHYSICALDRIVE10       : XMV : 5669  : 16a0 : 000195700871|
\\.\PHYSICALDRIVE11       : XMV : 5568  :  7a1 : 000184600312|
\\.\STRND_KORVALITH_01A4  : XMV : 5568  :  7a1 : 000184600312|
)"},
    });
}

// -gk: no device answered the buffer commands during the scan, so no "(GK)".
TEST(TablesEndToEnd, GatekeeperTable) { EXPECT_EQ(mixed({"-gk"}), expect(R"(
|
-----------------------------------------------------------------------------|
DEVICE             : GK :VEND    :PROD            :REV   :SER NUM    :CAP(kb)|
-----------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0:    :ACME    :SYSTEM DISK     :1.00  :           :   65536|
\\.\PHYSICALDRIVE1:    :XMV     :KORVALITH       :5568  :121A4071   :  524288|
\\.\PHYSICALDRIVE2:    :XMV     :KORVALITH       :5876  :12A1B031   :  262144|
\\.\PHYSICALDRIVE3:    :ACME    :DATA DISK       :2.10  :ACM00042   : FAILED|
\\.\PHYSICALDRIVE4:    :----    :----            :----  :----       :   16384|
\\.\PHYSICALDRIVE5:    :ACME    :DVD-ROM DRIVE   :1.02  :           : ----- |
\\.\PHYSICALDRIVE6:    :XMV     :KORVALITH       :5267  :560C7003   :   32768|
\\.\PHYSICALDRIVE10:    :XMV     :KORVALITH       :5669  :71F40160   :  131072|
\\.\PHYSICALDRIVE11:    :XMV     :KORVALITH       :5568  :121A4071   :  524288|
\\.\STRND_KORVALITH_01A4:    :XMV     :KORVALITH       :5568  :121A4071   :  524288|
)")); }

// -parent: disks 1 and 11 are one LUN (same volume, array serial and serial prefix): siblings of
// each other and children of the pseudo device, which names the last of them in list order.
TEST(TablesEndToEnd, ParentTable) { EXPECT_EQ(mixed({"-parent"}), expect(R"(
|
------------------------------------------------------------------------------------------------------------------------------------------------------------------------|
DEVICE                    :     MP State      :   Strandway Relation       :   Native State    :    Native Relation    :   Veritas State   :     Veritas Relation       |
------------------------------------------------------------------------------------------------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0        :  ------           :                            :  ------           :                           : ------           :                          |
\\.\PHYSICALDRIVE1        :  SIL_DEV_CHILD    : \\.\STRND_KORVALITH_01A4   :  SIL_DEV_SIBLING  : \\.\PHYSICALDRIVE11       : ------           :                          |
\\.\PHYSICALDRIVE2        :  ------           :                            :  ------           :                           : ------           :                          |
\\.\PHYSICALDRIVE3        :  ------           :                            :  ------           :                           : ------           :                          |
\\.\PHYSICALDRIVE4        :  ------           :                            :  ------           :                           : ------           :                          |
\\.\PHYSICALDRIVE5        :  ------           :                            :  ------           :                           : ------           :                          |
\\.\PHYSICALDRIVE6        :  ------           :                            :  ------           :                           : ------           :                          |
\\.\PHYSICALDRIVE10       :  ------           :                            :  ------           :                           : ------           :                          |
\\.\PHYSICALDRIVE11       :  SIL_DEV_CHILD    : \\.\STRND_KORVALITH_01A4   :  SIL_DEV_SIBLING  : \\.\PHYSICALDRIVE1        : ------           :                          |
\\.\STRND_KORVALITH_01A4  :  SIL_DEV_PARENT   : \\.\PHYSICALDRIVE11        :  ------           :                           : ------           :                          |
)")); }

// With -skipboth nothing is read: every device is listed with placeholders only.
TEST(TablesEndToEnd, SkipbothListsEveryDeviceWithoutData) {
    EXPECT_EQ(mixed({"-skipboth"}), expect(R"(
|
-----------------------------------------------------------------------------------|
DEVICE                   :VEND    :PROD            :REV   :SER NUM    :CAP(kb)     |
-----------------------------------------------------------------------------------|
\\.\PHYSICALDRIVE0       :----    :----            :----  :----       :      ----- |
\\.\PHYSICALDRIVE1       :----    :----            :----  :----       :      ----- |
\\.\PHYSICALDRIVE2       :----    :----            :----  :----       :      ----- |
\\.\PHYSICALDRIVE3       :----    :----            :----  :----       :      ----- |
\\.\PHYSICALDRIVE4       :----    :----            :----  :----       :      ----- |
\\.\PHYSICALDRIVE5       :----    :----            :----  :----       :      ----- |
\\.\PHYSICALDRIVE6       :----    :----            :----  :----       :      ----- |
\\.\PHYSICALDRIVE10      :----    :----            :----  :----       :      ----- |
\\.\PHYSICALDRIVE11      :----    :----            :----  :----       :      ----- |
\\.\STRND_KORVALITH_01A4 :----    :----            :----  :----       :      ----- |
)"));
}

TEST(TablesEndToEnd, DisplayFilter) {
    const std::vector<std::string> every{D0, D1, D2, D3, D4, D5, D6, D10, D11, STRND};
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> names;
    } rows[] = {
        {{}, every},
        {{"-f_xmv"}, {D1, D2, D6, D10, D11, STRND}},
        {{"-f_ckd"}, {D10}},
        {{"-f_4k"}, {D0, D1, D2, D3, D4, D5, D6, D11, STRND}},  // disk 10 is volume 0x1F40 = 8000
        {{"-f_4k", "-f_xmv"}, {D1, D2, D6, D11, STRND}},
        // At most the limit; a failed or never read capacity is left out.
        {{"-f_size", "65536"}, {D0, D4, D6}},
        {{"-f_size", "65535"}, {D4, D6}},
        {{"-korvvol", "1a4"}, {D1, D11, STRND}},
        {{"-korvvol", "A1B"}, {D2}},
        {{"-korvvol", "c7"}, {D6}},
        // -sid_wwn picks its own report; -normal brings the default table back, the filter stays.
        {{"-sid_wwn", "000184600312", "-normal"}, {D1, D11, STRND}},
        {{"-sid_wwn", "123456789012", "-normal"}, {D2}},
        {{"-f_dravonis"}, {}},
        {{"-f_strandway"}, {STRND}},
        // No path is a native parent on this host.
        {{"-f_pseudo"}, {}},
        {{"-f_real"}, {D0, D1, D2, D3, D4, D5, D6, D10, D11}},
        {{"-f_xmv", "-no_filters"}, every},
        {{"-skipboth"}, every},
    };
    for (const auto& row : rows) {
        std::string joined;
        for (const std::string& a : row.args) joined += a + " ";
        EXPECT_EQ(names_column(mixed(row.args)), row.names) << "lunscan " << joined;
    }
}

// An empty host: the headings with W = 8 + 1 (dashes 9 + 54 + 4), the -sil legend, and nothing
// at all from -connections.
TEST(TablesEndToEnd, EmptyHostPrintsHeadingsOnly) {
    EXPECT_EQ(empty({}), expect(R"(
|
-------------------------------------------------------------------|
DEVICE   :VEND    :PROD            :REV   :SER NUM    :CAP(kb)     |
-------------------------------------------------------------------|
)"));
    EXPECT_EQ(empty({"-sil"}), kSilLegend + expect(R"(
---------------------------------------------------------------------------|
DEVICE   :VND :REV : Vol: Dir:Properties: BTLLW:CAP(KB)  :BlkSz: KorvSerial#|
------------------------------0123456---------------------------------------|
)"));
    EXPECT_EQ(empty({"-connections"}), "");
    EXPECT_EQ(empty({"-all"}), expect(R"(
----------------------------------------------------------------------------------------------------------------------------------|
DEVICE             :SERIAL # :VEND    :PROD      :MODEL :REV  :BCV?:R? :CKD?:SM? :CAP(KB)   :BLKSZ:FC/UL?:PROTECTION  :KORV SERIAL#|
----------------------------------------------------------------------------------------------------------------------------------|
)"));
}

}  // namespace
