// Unit tests of the run-flow reports, the mode dispatch, the banner and the start-up failure message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <string>

#include "inquiry.h"
#include "sil/silvendor.h"

namespace {

// What `write` prints on a stream of its own.
std::string printed(const std::function<void(std::FILE*)>& write) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return "<no temporary file>";
    write(file);
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
    return text;
}

const std::string kRule51 = "---------------------------------------------------\n";

class SingleDeviceReport : public testing::Test {
protected:
    SingleDeviceReport() {
        std::strcpy(dev.name, "\\\\.\\PHYSICALDRIVE2");
        slot[0] = &dev;
        list.devices = slot;
        list.count = 1;
    }
    std::string run(void (*report)(std::FILE*, const T_SIL_DEVICE_LIST*)) {
        return printed([&](std::FILE* out) { report(out, &list); });
    }

    T_SIL_DEVICE dev{};
    T_SIL_DEVICE* slot[1]{};
    T_SIL_DEVICE_LIST list{};
};

TEST_F(SingleDeviceReport, Shark) {
    T_IBM_SHARK_DEVICE shark{};
    const std::uint8_t wwn[] = {0x60, 0x05, 0x07, 0x63, 0x03, 0xff, 0xc0, 0xb9};
    std::memcpy(shark.wwn, wwn, sizeof wwn);
    shark.wwn_len = sizeof wwn;
    std::strcpy(shark.serial, "75ABC123");
    std::memcpy(dev.dev_serial, "0123456789", 10);  // the whole field, no NUL
    dev.is_shark = 1;
    dev.shark_device = &shark;
    EXPECT_EQ(run(do_shark_dev_display),
              "SHARK Device WWN and Unit Serial Number\n" + kRule51 +
                  "Device:  \\\\.\\PHYSICALDRIVE2\n"
                  "Array Serial Number:  75ABC123        \n"
                  "Dev Serial Number:  0123456789      \n"
                  "Array WWN: 6005076303ffc0b9\n\n");

    shark.wwn_len = 200;  // a length beyond the field prints the field only
    std::memset(shark.wwn, 0xab, sizeof shark.wwn);
    const std::string text = run(do_shark_dev_display);
    const std::size_t at = text.find("Array WWN: ");
    ASSERT_NE(at, std::string::npos);
    std::string expected = "Array WWN: ";
    for (int i = 0; i < 32; ++i) expected += "ab";
    EXPECT_EQ(text.substr(at), expected + "\n\n");
}

TEST_F(SingleDeviceReport, SharkNotOneOrWithoutRecord) {
    EXPECT_EQ(run(do_shark_dev_display), "Device:  \\\\.\\PHYSICALDRIVE2 is not a SHARK device\n");
    dev.is_shark = 1;
    EXPECT_TRUE(std::regex_match(run(do_shark_dev_display),
                                 std::regex("BUG\\(inquiry_reports\\.cpp:[0-9]+\\)\n")));
}

TEST_F(SingleDeviceReport, Compaq) {
    EXPECT_EQ(run(do_compaq_dev_display),
              "Device:  \\\\.\\PHYSICALDRIVE2 is not a COMPAQ device device\n");
    dev.is_hsv = 1;
    EXPECT_TRUE(std::regex_match(run(do_compaq_dev_display),
                                 std::regex("BUG\\(inquiry_reports\\.cpp:[0-9]+\\)\n")));
    T_COMPAQ_HSV_DEVICE hsv{};
    dev.hsv_device = &hsv;
    const std::string heading = "COMPAQ Device WWN and Unit Serial Number\n" + kRule51 +
                                "Device:  \\\\.\\PHYSICALDRIVE2\n";
    EXPECT_EQ(run(do_compaq_dev_display), heading + "Array WWN: \n\n");  // empty WWN
    hsv.wwn_len = 3;
    hsv.wwn[0] = 0x50;
    hsv.wwn[1] = 0x01;
    hsv.wwn[2] = 0x4f;
    hsv.wwn[3] = 0xee;
    EXPECT_EQ(run(do_compaq_dev_display), heading + "Array WWN: 50014f\n\n");
    hsv.wwn_len = 0xFFFFFFFF;
    EXPECT_EQ(run(do_compaq_dev_display).size(), heading.size() + 11 + 32 + 2);
}

TEST_F(SingleDeviceReport, NetApp) {
    EXPECT_EQ(run(do_netapp_dev_display),
              "Device:  \\\\.\\PHYSICALDRIVE2 is not a NETAPP device device\n");
    dev.is_netapp = 1;
    EXPECT_TRUE(std::regex_match(run(do_netapp_dev_display),
                                 std::regex("BUG\\(inquiry_reports\\.cpp:[0-9]+\\)\n")));
    T_NETAPP_DEVICE netapp{};
    netapp.wwn_len = 16;
    for (int i = 0; i < 16; ++i) netapp.wwn[i] = static_cast<std::uint8_t>(0xf0 + i);
    netapp.serial_len = 13;
    std::strcpy(netapp.serial, "hp0D7JXkV9Fa");
    dev.netapp_device = &netapp;
    EXPECT_EQ(run(do_netapp_dev_display),
              "NETAPP Device WWN and Unit Serial Number\n" + kRule51 +
                  "Device:  \\\\.\\PHYSICALDRIVE2\n"
                  "Serial Number:  hp0D7JXkV9Fa\n"
                  "Array WWN: f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff\n\n");
}

TEST_F(SingleDeviceReport, EmptyListPrintsNothing) {
    list.count = 0;
    dev.is_shark = 1;
    EXPECT_EQ(run(do_shark_dev_display), "");
    EXPECT_EQ(run(do_compaq_dev_display), "");
    EXPECT_EQ(run(do_netapp_dev_display), "");
}

TEST(As400Display, HeaderOnly) {
    const std::string rule(113, '-');
    EXPECT_EQ(printed(do_as400_display),
              "\n" + rule +
                  "\nDEVICE          SERIAL #       RESOURCE  UNIT      ASP       TYPE     MODEL      "
                  "STATUS        CAP(kb)   BLKSIZE#\n" +
                  rule + "\n");
}

// The dispatch writes on the library output stream, standard output before the library starts.
struct Dispatch {
    int rc;
    std::string out;
    std::string err;
};

Dispatch dispatch(const T_DISPLAY_OPTIONS& opts, T_INQ_LISTS& lists) {
    create_dev_list cdl{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int rc = run_display(&lists, &cdl, &opts);
    std::fflush(stdout);
    Dispatch d{rc, testing::internal::GetCapturedStdout(), ""};
    d.err = testing::internal::GetCapturedStderr();
    return d;
}

TEST(RunDisplay, ModesBeyondTheLastAreRefused) {
    T_INQ_LISTS lists{};
    T_DISPLAY_OPTIONS opts{};
    for (std::uint32_t mode : {28u, 100u, 0xFFFFFFFFu}) {
        opts.display_mode = mode;
        const Dispatch d = dispatch(opts, lists);
        EXPECT_EQ(d.rc, -1) << mode;
        EXPECT_EQ(d.err, "ERROR: display not supported\n") << mode;
        EXPECT_EQ(d.out, "") << mode;
    }
    for (std::uint32_t mode = 0; mode <= INQ_MODE_LAST; ++mode) {
        opts.display_mode = mode;
        const Dispatch d = dispatch(opts, lists);
        EXPECT_EQ(d.rc, 0) << mode;
        EXPECT_EQ(d.err, "") << mode;
    }
}

TEST(RunDisplay, SingleDeviceReportsNeedDev) {
    T_SIL_DEVICE dev{};
    std::strcpy(dev.name, "disk7");
    T_SIL_DEVICE* slot[1] = {&dev};
    T_INQ_LISTS lists{};
    lists.devices = T_SIL_DEVICE_LIST{slot, 1};
    T_DISPLAY_OPTIONS opts{};
    const char* expected[] = {"Device:  disk7 is not a SHARK device\n",
                              "Device:  disk7 is not a COMPAQ device device\n",
                              "Device:  disk7 is not a NETAPP device device\n"};
    for (std::uint32_t mode = INQ_MODE_SHARK_WWN; mode <= INQ_MODE_NETAPP_WWN; ++mode) {
        opts.display_mode = mode;
        opts.dev_given = 0;
        EXPECT_EQ(dispatch(opts, lists).out, "") << mode;
        opts.dev_given = 1;
        EXPECT_EQ(dispatch(opts, lists).out, expected[mode - INQ_MODE_SHARK_WWN]) << mode;
    }
    opts.display_mode = INQ_MODE_AS400;
    EXPECT_EQ(dispatch(opts, lists).out.substr(0, 2), "\n-");
}

TEST(RunRpxDisplay, UnknownModeIsAnInternalError) {
    T_DISPLAY_OPTIONS opts{};
    for (std::uint8_t mode : {0, 4, 10}) {
        opts.rpx_mode = mode;
        testing::internal::CaptureStderr();
        run_rpx_display(nullptr, nullptr, &opts);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Internal Error: Bad display option\n");
    }
}

TEST(BannerText, IdentificationStringParts) {
    const T_SIL_IDENT_PARTS parts =
        parse_sil_ident("@(#) $sil_lib rev 4.1-20 (Rev 7.3) (c) Example Owner $");
    EXPECT_EQ(parts.version, "4.1");
    EXPECT_EQ(parts.edit, "20");
    EXPECT_EQ(parts.revision, "7.3");
    EXPECT_EQ(parts.notice, "(c) Example Owner");
    EXPECT_FALSE(parts.development);

    const T_SIL_IDENT_PARTS dev = parse_sil_ident("@(#) $sil_lib rev 4.1-dev-2 (Rev 9) Owner $");
    EXPECT_EQ(dev.version, "4.1");
    EXPECT_EQ(dev.edit, "dev-2");  // everything after the first '-'
    EXPECT_TRUE(dev.development);

    const T_SIL_IDENT_PARTS other = parse_sil_ident("something else");
    EXPECT_EQ(other.version, "");
    EXPECT_FALSE(other.development);
}

TEST(BannerText, ThreeLinesAndTheDevelopmentWarning) {
    const char* ident = "@(#) $sil_lib rev 4.1-20 (Rev 7) Owner Notice $";
    std::string err;
    const std::string out = printed([&](std::FILE* o) {
        err = printed([&](std::FILE* e) { print_banner_from(o, e, ident); });
    });
    EXPECT_EQ(err, "");
    EXPECT_EQ(out,
              "lunscan - SAN storage inventory utility V4.1.20      (SIL Version 4.1.7 (Edit Level 20)\n"
              "Owner Notice\n"
              "For help type lunscan -h.\n\n");

    const std::string dev_out = printed([&](std::FILE* o) {
        err = printed([&](std::FILE* e) {
            print_banner_from(o, e, "@(#) $sil_lib rev 4.2-devbuild (Rev 1) Owner Notice $");
        });
    });
    EXPECT_EQ(err,
              "\nWARNING: \nWARNING: Owner Notice\nWARNING: This is a development Inquiry Utility\n"
              "WARNING: It is not intended for general use.\nWARNING: \n\n");
    EXPECT_NE(dev_out.find("(SIL Version 4.2.1 (Edit Level devbuild)\n"), std::string::npos);
}

TEST(BannerText, SuppressedByAnyWordIncludingTheProgramName) {
    const auto suppressed = [](std::vector<std::string> words) {
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        return banner_suppressed(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_FALSE(suppressed({"lunscan"}));
    EXPECT_FALSE(suppressed({"lunscan", "-all", "-no_headers"}));
    EXPECT_TRUE(suppressed({"lunscan", "-bogus", "-no_header"}));
    EXPECT_TRUE(suppressed({"-no_header"}));
    EXPECT_TRUE(suppressed({"lunscan", "-snia_test", "hba_api"}));
    EXPECT_TRUE(suppressed({"lunscan", "-dev", "-snia_test"}));
}

TEST(InitFailure, InitFailureMessageGoesWhereTheContextSays) {
    std::string err;
    const std::string on_stream = printed([&](std::FILE* stream) {
        err = printed([&](std::FILE* e) { print_init_failure(-2, stream, e); });
    });
    EXPECT_EQ(on_stream, " Initialization of SIL failed  rc=fffffffe\n");
    EXPECT_EQ(err, "");
    err = printed([&](std::FILE* e) { print_init_failure(-1, nullptr, e); });
    EXPECT_EQ(err, "\nInitialization of SIL failed   rc=ffffffff\n");
}

}  // namespace
