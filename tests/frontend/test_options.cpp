// Unit tests of the option parser: the fields each option sets, numbers, sub-option walks and validation.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "inquiry.h"

namespace {

struct Parsed {
    int rc = 0;
    T_DISPLAY_OPTIONS d{};
    create_dev_list l{};
    std::string out;  // what the parser printed on standard output
};

Parsed parse(std::vector<std::string> words) {
    words.insert(words.begin(), "lunscan");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    Parsed p;
    testing::internal::CaptureStdout();
    p.rc = parse_command_line(static_cast<int>(words.size()), argv.data(), &p.d, &p.l);
    p.out = testing::internal::GetCapturedStdout();
    return p;
}

TEST(ParseCommandLine, StartsFromTheDefaultRun) {
    const Parsed p = parse({});
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.d.display_mode, INQ_MODE_DEFAULT);
    EXPECT_EQ(p.d.require_data, 1);
    EXPECT_EQ(p.l.printf_dots_f, 1);
    EXPECT_EQ(p.l.get_spoofed_inquiry_data, 1);
    EXPECT_EQ(p.l.sort, 0);
    EXPECT_EQ(p.out, "");
}

// Each option with the mode it chooses (-1: none) and a check of the fields it must set.
struct OptionCase {
    std::vector<std::string> words;
    int mode;
    std::function<bool(const T_DISPLAY_OPTIONS&, const create_dev_list&)> sets;
};

TEST(ParseCommandLine, EachOptionSetsItsFields) {
    using D = const T_DISPLAY_OPTIONS&;
    using L = const create_dev_list&;
    const std::vector<OptionCase> cases = {
        {{"-normal"}, 0, [](D, L) { return true; }},
        {{"-all"}, 1, [](D, L) { return true; }},
        {{"-parent"}, 2, [](D, L) { return true; }},
        {{"-et"}, 3, [](D d, L l) { return d.f_xmv && l.xmv_devices_only; }},
        {{"-ckd"}, 4, [](D d, L l) { return d.f_xmv && l.xmv_devices_only; }},
        {{"-c"}, 4, [](D d, L l) { return d.f_xmv && l.xmv_devices_only; }},
        {{"-dev", "x", "-page0"}, 5, [](D d, L) { return d.dev_given == 1; }},
        {{"-dev", "x", "-v"}, 5, [](D, L) { return true; }},
        {{"-dev", "x", "-page", "83"}, 6, [](D d, L) { return d.page_code == 0x83; }},
        {{"-dev", "x", "-pagec0"}, 17, [](D d, L) { return d.page_code == 0xC0; }},
        {{"-sil"}, 7, [](D, L) { return true; }},
        {{"-gk"}, 8, [](D, L) { return true; }},
        {{"-as400"}, 9, [](D, L) { return true; }},
        {{"-connections"}, 26, [](D, L l) { return l.skip_read == 1; }},
        {{"-wwn"}, 27, [](D d, L) { return d.wwn == 1; }},
        {{"-mapinfo"}, 24, [](D d, L) { return d.mapinfo == 1; }},
        {{"-kor_wwn"}, 16, [](D d, L l) { return d.f_xmv && !l.xmv_devices_only; }},
        {{"-drav_wwn"}, 10, [](D d, L) { return d.f_dravonis == 1; }},
        {{"-sw_wwn"}, 11, [](D d, L) { return d.f_storwrks == 1; }},
        {{"-hds_wwn"}, 12, [](D d, L) { return d.f_hds == 1; }},
        {{"-s80_wwn"}, 15, [](D d, L) { return d.f_s80 == 1; }},
        {{"-olvessa_wwn"}, 20, [](D d, L) { return d.f_olvessa == 1; }},
        {{"-shark_wwn"}, 21, [](D d, L) { return d.f_shark == 1; }},
        {{"-compaq_wwn"}, 22, [](D d, L) { return d.f_compaq == 1; }},
        {{"-netapp_wwn"}, 23, [](D d, L) { return d.f_netapp == 1; }},
        {{"-geometry"}, 18, [](D d, L) { return d.geometry == 1; }},
        {{"-spc2"}, 19, [](D d, L) { return d.spc2 == 1; }},
        {{"-winvol"}, -1, [](D d, L) { return d.winvol == 1; }},
        {{"-hba"}, 13, [](D d, L) { return d.hba == 1; }},
        {{"-iscsi"}, 14, [](D d, L) { return d.iscsi == 1; }},
        {{"-no_filters"}, -1, [](D d, L) { return d.no_filters == 1; }},
        {{"-f_strandway"}, -1, [](D d, L) { return d.f_strandway == 1; }},
        {{"-f_pseudo"}, -1, [](D d, L) { return d.f_pseudo == 1; }},
        {{"-xr"}, -1, [](D d, L) { return d.f_pseudo == 1; }},
        {{"-f_real"}, -1, [](D d, L) { return d.f_real == 1; }},
        {{"-xps"}, -1, [](D d, L) { return d.f_real == 1; }},
        {{"-f_xmv"}, -1, [](D d, L l) { return d.f_xmv && l.xmv_devices_only; }},
        {{"-f_ckd"}, -1, [](D d, L) { return d.f_ckd == 1; }},
        {{"-f_vantrel"}, -1, [](D d, L l) { return d.f_vantrel && d.vantrel && l.vantrel; }},
        {{"-vantrel"}, -1, [](D d, L l) { return !d.f_vantrel && d.vantrel && l.vantrel; }},
        {{"-f_dravonis"}, -1, [](D d, L) { return d.f_dravonis == 1; }},
        {{"-dravonis"}, -1, [](D d, L) { return d.dravonis && !d.f_dravonis; }},
        {{"-f_storwrks"}, -1, [](D d, L) { return d.f_storwrks == 1; }},
        {{"-f_hds"}, -1, [](D d, L) { return d.f_hds == 1; }},
        {{"-f_s80"}, -1, [](D d, L) { return d.f_s80 == 1; }},
        {{"-f_olvessa"}, -1, [](D d, L) { return d.f_olvessa == 1; }},
        {{"-f_shark"}, -1, [](D d, L) { return d.f_shark == 1; }},
        {{"-f_4k"}, -1, [](D d, L) { return d.f_4k == 1; }},
        {{"-sid"}, -1, [](D, L l) { return l.sid == 1; }},
        {{"-showvol"}, -1, [](D d, L) { return d.showvol == 1; }},
        {{"-compat"}, -1, [](D d, L) { return d.compat == 1; }},
        {{"-btl"}, -1, [](D d, L) { return d.btl == 1; }},
        {{"-skipread"}, -1, [](D, L l) { return l.skip_read && !l.skip_inq; }},
        {{"-skipinq"}, -1, [](D, L l) { return l.skip_inq && !l.skip_read; }},
        {{"-skipboth"}, -1, [](D d, L l) { return l.query_only && d.require_data == 0; }},
        {{"-query_only"}, -1, [](D d, L l) { return l.query_only && d.require_data == 0; }},
        {{"-query_all"}, -1,
         [](D, L l) { return l.query_strand_way && l.query_scan_dir && l.query_os_db; }},
        {{"-query_mp"}, -1, [](D, L l) { return l.query_strand_way && !l.query_os_db; }},
        {{"-query_dir"}, -1, [](D, L l) { return l.query_scan_dir && !l.query_os_db; }},
        {{"-query_sys"}, -1, [](D, L l) { return l.query_os_db && !l.query_scan_dir; }},
        {{"-system"}, -1, [](D, L l) { return l.query_os_db == 1; }},
        {{"-registry"}, -1, [](D, L l) { return l.query_registry == 1; }},
        {{"-native"}, -1, [](D, L l) { return l.get_spoofed_inquiry_data == 0; }},
        {{"-no_dots"}, -1, [](D, L l) { return l.printf_dots_f == 0; }},
        {{"-nodots"}, -1, [](D, L l) { return l.printf_dots_f == 0; }},
        {{"-sortoff"}, -1, [](D, L l) { return l.sort == -1; }},
        {{"-sortkorv"}, -1, [](D d, L l) { return l.sort == 6 && d.f_xmv; }},
        {{"-sortraw"}, -1, [](D, L l) { return l.sort == 0; }},
        {{"-no_header"}, -1, [](D, L) { return true; }},
        {{"-f_size", "2048"}, -1, [](D d, L) { return d.f_size && d.size_limit_kb == 2048; }},
        {{"-korvvol", "1a"}, -1, [](D d, L) { return d.korvvol_given && d.korvvol == 0x1A; }},
        {{"-s", "0x1B"}, -1, [](D d, L) { return d.korvvol_given && d.korvvol == 0x1B; }},
        {{"-kordev", "ff"}, 16, [](D d, L) { return d.korvvol_given && d.korvvol == 0xFF; }},
        {{"-loop", "10"}, -1, [](D d, L) { return d.loop && d.loop_count == 0x10; }},
        {{"-drav_file", "names.txt"}, -1,
         [](D d, L) { return d.drav_file_given && std::string(d.drav_file) == "names.txt"; }},
        {{"-r", "\\\\.\\PHYSICALDRIVE1"}, -1,
         [](D d, L) { return d.dev_given && std::string(d.dev_name) == "\\\\.\\PHYSICALDRIVE1"; }},
        {{"-sid_wwn", "000190101234"}, 16,
         [](D d, L) {
             return d.sid_wwn_given && d.filter_sid && std::string(d.sid_wwn) == "000190101234";
         }},
        {{"-rpx_ping"}, -1,
         [](D d, L l) { return d.rpx && d.rpx_mode == 1 && d.rpx_ping_req && d.f_xmv && l.xmv_devices_only; }},
        {{"-ping"}, -1, [](D d, L) { return d.rpx_mode == 1 && d.rpx_ping_req; }},
        {{"-rpx_list"}, -1, [](D d, L) { return d.rpx_mode == 2 && d.rpx_list_req && !d.rpx_ping_req; }},
        {{"-list"}, -1, [](D d, L) { return d.rpx_mode == 2 && d.rpx_list_req; }},
        {{"-rpx_xml"}, -1, [](D d, L) { return d.rpx_mode == 3 && d.rpx_ping_req; }},
        {{"-rpx_raw"}, -1, [](D d, L) { return d.rpx_mode == 9 && d.rpx_ping_req; }},
        {{"-rpx", "-ping"}, -1, [](D d, L) { return d.rpx && d.f_xmv; }},
        {{"-snia_test"}, -1, [](D d, L) { return d.snia_test && d.snia_test_flags == 0; }},
    };
    for (const OptionCase& c : cases) {
        const Parsed p = parse(c.words);
        const std::string label = testing::PrintToString(c.words);
        EXPECT_EQ(p.rc, 0) << label << "\n" << p.out;
        const std::uint32_t mode = c.mode >= 0 ? static_cast<std::uint32_t>(c.mode) : 0u;
        EXPECT_EQ(p.d.display_mode, mode) << label;
        EXPECT_TRUE(c.sets(p.d, p.l)) << label;
    }
}

TEST(ParseCommandLine, LastReportOptionWinsAndFlagsStay) {
    const Parsed p = parse({"-et", "-all"});
    EXPECT_EQ(p.d.display_mode, INQ_MODE_ALL);
    EXPECT_EQ(p.d.f_xmv, 1);
    EXPECT_EQ(p.l.xmv_devices_only, 1);

    const Parsed q = parse({"-all", "-drav_wwn", "-normal"});
    EXPECT_EQ(q.d.display_mode, INQ_MODE_DEFAULT);
    EXPECT_EQ(q.d.f_dravonis, 1);

    const Parsed r = parse({"-rpx_xml", "-rpx_raw"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.d.rpx_mode, INQ_RPX_RAW);
}

TEST(ParseCommandLine, ArgumentIsTheNextWordWhateverItLooksLike) {
    const Parsed p = parse({"-dev", "-no_dots"});
    EXPECT_EQ(p.rc, 0);
    EXPECT_STREQ(p.d.dev_name, "-no_dots");
    EXPECT_EQ(p.l.printf_dots_f, 1);

    const Parsed q = parse({"-drav_file", "-h"});
    EXPECT_EQ(q.rc, 0);
    EXPECT_STREQ(q.d.drav_file, "-h");
}

TEST(ParseCommandLine, NumbersFollowTheSignedConversionOfA32BitLong) {
    EXPECT_EQ(parse_option_number("ffff", 16), 0xFFFFu);
    EXPECT_EQ(parse_option_number("0x20", 16), 0x20u);
    EXPECT_EQ(parse_option_number("10", 10), 10u);
    EXPECT_EQ(parse_option_number("0x10", 10), 0u);
    EXPECT_EQ(parse_option_number("abc", 10), 0u);
    EXPECT_EQ(parse_option_number("zz", 16), 0u);
    EXPECT_EQ(parse_option_number("12kb", 10), 12u);
    EXPECT_EQ(parse_option_number("-1", 16), 0xFFFFFFFFu);
    EXPECT_EQ(parse_option_number("ffffffffff", 16), 0x7FFFFFFFu);
    EXPECT_EQ(parse_option_number("-99999999999", 10), 0x80000000u);
}

TEST(ParseCommandLine, IdentifierKinds) {
    struct Kind {
        const char* word;
        std::uint16_t ident;
        bool f_xmv;
        bool nice;
    };
    for (const Kind& k : {Kind{"device_name", 1, true, false}, Kind{"nice_name", 2, false, true},
                          Kind{"hp_id", 3, true, false}, Kind{"vms_id", 4, true, false}}) {
        const Parsed p = parse({"-identifier", k.word});
        EXPECT_EQ(p.rc, 0);
        EXPECT_EQ(p.d.display_mode, INQ_MODE_IDENTIFIER) << k.word;
        EXPECT_EQ(p.l.skip_read, 1) << k.word;
        EXPECT_EQ(p.l.get_dev_ident, k.ident) << k.word;
        EXPECT_EQ(p.d.f_xmv != 0, k.f_xmv) << k.word;
        EXPECT_EQ(p.d.nice_name != 0, k.nice) << k.word;
    }
}

TEST(ParseCommandLine, AdapterSubOptions) {
    const Parsed file = parse({"-hba", "-fibre", "-hba_file", "f"});
    EXPECT_EQ(file.rc, 0);
    EXPECT_EQ(file.d.hba_fibre, 1);
    EXPECT_EQ(file.d.hba_use_file, 1);
    EXPECT_EQ(file.d.hba_file_given, 1);
    EXPECT_EQ(file.d.hba_create, 0);
    EXPECT_STREQ(file.d.hba_file, "f");

    const Parsed create = parse({"-hba", "-fibre", "-hba_file", "f", "-create", "-no_dots"});
    EXPECT_EQ(create.rc, 0);
    EXPECT_EQ(create.d.hba_use_file, 0);
    EXPECT_EQ(create.d.hba_create, 1);
    EXPECT_STREQ(create.d.hba_file, "f");
    EXPECT_EQ(create.l.printf_dots_f, 0);  // the word after -create is an option again

    const Parsed create_file = parse({"-hba", "-fibre", "-create_file", "g"});
    EXPECT_EQ(create_file.d.hba_create, 1);
    EXPECT_EQ(create_file.d.hba_file_given, 0);
    EXPECT_STREQ(create_file.d.hba_file, "g");

    const Parsed bare = parse({"-hba", "-fibre", "-hba_file"});
    EXPECT_EQ(bare.rc, 0);
    EXPECT_EQ(bare.d.hba_use_file, 1);
    EXPECT_EQ(bare.d.hba_file_given, 0);

    const Parsed scsi = parse({"-hba", "-scsi"});
    EXPECT_EQ(scsi.d.hba_scsi, 1);
    EXPECT_EQ(scsi.d.hba_fibre, 0);
    const Parsed snia = parse({"-hba", "-snia", "-all"});
    EXPECT_EQ(snia.d.hba_snia, 1);
    EXPECT_EQ(snia.d.display_mode, INQ_MODE_ALL);
}

TEST(ParseCommandLine, AdapterSubOptionsAreNoOptionsElsewhere) {
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"-hba", "-scsi", "-fibre"}, {"-fibre"}, {"-hba", "-create"},
          {"-hba", "-fibre", "-scsi"}, {"-snia"}, {"-hba_file", "x"}, {"-create_file"}}) {
        const Parsed p = parse(words);
        EXPECT_EQ(p.rc, INQ_PARSE_USAGE) << testing::PrintToString(words);
        EXPECT_NE(p.out.find(" is an invalid option.\n\n"), std::string::npos);
    }
    const Parsed p = parse({"-hba", "-scsi", "-fibre"});
    EXPECT_EQ(p.out.rfind("\n\n\t\t ERROR: -fibre is an invalid option.\n\n", 0), 0u);
}

TEST(ParseCommandLine, SniaTestTakesOneOptionalWord) {
    EXPECT_EQ(parse({"-snia_test", "hba_api"}).d.snia_test_flags, INQ_SNIA_HBA_API);
    EXPECT_EQ(parse({"-snia_test", "hba_specific"}).d.snia_test_flags, INQ_SNIA_HBA_SPECIFIC);
    const Parsed both = parse({"-snia_test", "hba_api", "-snia_test", "hba_specific"});
    EXPECT_EQ(both.d.snia_test_flags, INQ_SNIA_HBA_API | INQ_SNIA_HBA_SPECIFIC);
    const Parsed next = parse({"-snia_test", "-no_dots"});
    EXPECT_EQ(next.d.snia_test_flags, 0u);
    EXPECT_EQ(next.l.printf_dots_f, 0);
    const Parsed second = parse({"-snia_test", "hba_api", "hba_specific"});
    EXPECT_EQ(second.rc, INQ_PARSE_USAGE);
    EXPECT_NE(second.out.find("ERROR: hba_specific is an invalid option."), std::string::npos);
}

TEST(ParseCommandLine, ValidationOrderAndMessages) {
    const std::string page = "\n\n\t\t ERROR: -page option is only valid with -dev option\n\n";
    const std::string exclusive =
        "\n\n\t\t ERROR: -f_strandway, -f_pseudo, and -f_real are mutually exclusive.\n\n";
    const std::string no_request = "\n\n\t\t ERROR: -ping or -list must be specified with -rpx.\n\n";
    const std::string both = "\n\n\t\t ERROR: -ping and -list cannot be specified at the same time.\n\n";
    struct Case {
        std::vector<std::string> words;
        std::string message;
        bool rpx_screen;
    };
    const std::vector<Case> cases = {
        {{"-page0"}, page, false},
        {{"-page", "80"}, page, false},
        {{"-pagec0"}, page, false},
        {{"-v", "-f_pseudo", "-f_real"}, page, false},  // the page rule is checked first
        {{"-f_pseudo", "-f_real"}, exclusive, false},
        {{"-f_strandway", "-f_pseudo"}, exclusive, false},
        {{"-f_strandway", "-xps"}, exclusive, false},
        {{"-xr", "-xps", "-rpx"}, exclusive, false},
        {{"-rpx"}, no_request, true},
        {{"-ping", "-list"}, both, true},
        {{"-rpx_xml", "-rpx_list"}, both, true},
        {{"-rpx", "-snia_test", "-all"}, no_request, true},
        {{"-snia_test", "-all"}, "", false},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        if (c.rpx_screen)
            print_rpx_usage();
        else
            print_usage();
        const std::string screen = testing::internal::GetCapturedStdout();
        const Parsed p = parse(c.words);
        EXPECT_EQ(p.rc, INQ_PARSE_USAGE) << testing::PrintToString(c.words);
        EXPECT_EQ(p.out, c.message + screen) << testing::PrintToString(c.words);
    }
    EXPECT_EQ(parse({"-f_xmv", "-f_dravonis"}).rc, 0);
    EXPECT_EQ(parse({"-f_strandway", "-snia_test"}).rc, 0);
}

TEST(ParseCommandLine, HelpStopsAtOnceAndFollowsTheReplicationFlag) {
    testing::internal::CaptureStdout();
    print_rpx_usage();
    const std::string rpx_screen = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    print_usage();
    const std::string screen = testing::internal::GetCapturedStdout();

    const Parsed after = parse({"-rpx", "-h", "-bogus"});
    EXPECT_EQ(after.rc, INQ_PARSE_USAGE);
    EXPECT_EQ(after.out, rpx_screen);
    const Parsed before = parse({"-h", "-rpx"});
    EXPECT_EQ(before.rc, INQ_PARSE_USAGE);
    EXPECT_EQ(before.out, screen);
    EXPECT_EQ(before.d.rpx, 0);
}

TEST(ParseCommandLine, OptionNamesAreExact) {
    for (const char* word : {"-ALL", "all", "-all ", "-dev=x", "--all", "-"}) {
        const Parsed p = parse({word});
        EXPECT_EQ(p.rc, INQ_PARSE_USAGE) << word;
        EXPECT_EQ(p.out.rfind("\n\n\t\t ERROR: " + std::string(word) + " is an invalid option.\n\n", 0),
                  0u)
            << word;
    }
}

}  // namespace
