// End-to-end tests of lunscan's command line: usage screens, option errors, validation and length limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_helpers.h"

namespace {

using clitest::after_banner;
using clitest::golden;
using clitest::lunscan;
using clitest::missing_argument;

TEST(CliUsage, GoldensHaveTheirShape) {
    const std::string usage = golden("usage.txt");
    ASSERT_FALSE(usage.empty());
    int lines = 0;
    for (char c : usage) lines += c == '\n';
    EXPECT_EQ(lines, 93);
    EXPECT_EQ(golden("usage_rpx.txt").size(), 9u * 79u);
}

TEST(CliUsage, HelpPrintsTheBannerThenTheUsageScreen) {
    const auto r = lunscan({"-h"});
    EXPECT_EQ(r.status, -2);
    EXPECT_EQ(after_banner(r.out), golden("usage.txt"));
}

TEST(CliUsage, NoHeaderLeavesTheScreenAlone) {
    const auto r = lunscan({"-no_header", "-h"});
    EXPECT_EQ(r.status, -2);
    EXPECT_EQ(r.out, golden("usage.txt"));
    EXPECT_EQ(r.err, "");
}

TEST(CliUsage, HelpAfterAReplicationOptionPrintsTheReplicationScreen) {
    auto r = lunscan({"-rpx", "-h", "-no_header"});
    EXPECT_EQ(r.status, -2);
    EXPECT_EQ(r.out, golden("usage_rpx.txt"));
    r = lunscan({"-no_header", "-rpx_list", "-h"});
    EXPECT_EQ(r.out, golden("usage_rpx.txt"));
    r = lunscan({"-no_header", "-h", "-rpx"});
    EXPECT_EQ(r.out, golden("usage.txt"));
}

TEST(CliOptionErrors, MissingArgumentsEndTheRunWithTheirMessage) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-page", "-page"},         {"-identifier", "-identifier"}, {"-f_size", "-f_size"},
        {"-drav_file", "-drav_file"}, {"-kordev", "-kordev"},       {"-sid_wwn", "-sid"},
        {"-loop", "-loop"},         {"-korvvol", "-korvvol"},       {"-s", "-korvvol"},
        {"-dev", "-dev"},           {"-r", "-dev"},
    };
    for (const auto& [option, named] : cases) {
        const auto r = lunscan({"-no_header", "-all", option});
        EXPECT_EQ(r.status, -1) << option;
        EXPECT_EQ(r.out, missing_argument(named)) << option;
        EXPECT_EQ(r.err, "") << option;
    }
}

TEST(CliOptionErrors, MissingArgumentAfterTheBanner) {
    const auto r = lunscan({"-dev"});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(after_banner(r.out), missing_argument("-dev"));
}

TEST(CliOptionErrors, IdentifierNeedsAKnownKind) {
    for (const char* word : {"foo", "NICE_NAME", "-all"}) {
        const auto r = lunscan({"-no_header", "-identifier", word});
        EXPECT_EQ(r.status, -1) << word;
        EXPECT_EQ(r.out, missing_argument("-identifier")) << word;
    }
    EXPECT_EQ(lunscan({"-no_header", "-identifier", "nice_name"}).status, 0);
}

TEST(CliOptionErrors, InvalidOptionPrintsTheUsageScreen) {
    auto r = lunscan({"-bogus", "-no_header"});  // -no_header after the bad word still counts
    EXPECT_EQ(r.status, -2);
    EXPECT_EQ(r.out, "\n\n\t\t ERROR: -bogus is an invalid option.\n\n" + golden("usage.txt"));

    r = lunscan({"-all", "-Bogus"});
    EXPECT_EQ(r.status, -2);
    EXPECT_EQ(after_banner(r.out),
              "\n\n\t\t ERROR: -Bogus is an invalid option.\n\n" + golden("usage.txt"));
}

TEST(CliOptionErrors, FibreIsNoOptionAfterScsi) {
    const auto r = lunscan({"-no_header", "-hba", "-scsi", "-fibre"});
    EXPECT_EQ(r.status, -2);
    EXPECT_EQ(r.out, "\n\n\t\t ERROR: -fibre is an invalid option.\n\n" + golden("usage.txt"));
}

TEST(CliOptionErrors, ValidationMessagesWithTheirScreens) {
    const std::string page = "\n\n\t\t ERROR: -page option is only valid with -dev option\n\n";
    const std::string exclusive =
        "\n\n\t\t ERROR: -f_strandway, -f_pseudo, and -f_real are mutually exclusive.\n\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"-page0"}, page + golden("usage.txt")},
        {{"-page", "c0"}, page + golden("usage.txt")},
        {{"-pagec0", "-all", "-v"}, page + golden("usage.txt")},
        {{"-f_pseudo", "-f_real"}, exclusive + golden("usage.txt")},
        {{"-f_strandway", "-xr"}, exclusive + golden("usage.txt")},
        {{"-rpx"}, "\n\n\t\t ERROR: -ping or -list must be specified with -rpx.\n\n" +
                       golden("usage_rpx.txt")},
        {{"-ping", "-list"},
         "\n\n\t\t ERROR: -ping and -list cannot be specified at the same time.\n\n" +
             golden("usage_rpx.txt")},
        {{"-snia_test", "-all"}, golden("usage.txt")},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "-no_header");
        const auto r = lunscan(args);
        EXPECT_EQ(r.status, -2) << testing::PrintToString(c.args);
        EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
    }
}

TEST(CliOptionErrors, SniaTestAloneSuppressesTheBanner) {
    const auto r = lunscan({"-snia_test", "-page0"});
    EXPECT_EQ(r.status, -2);
    EXPECT_EQ(r.out, "\n\n\t\t ERROR: -page option is only valid with -dev option\n\n" +
                         golden("usage.txt"));
}

TEST(CliArguments, DevTakesTheNextWordWhateverItIs) {
    const auto r = lunscan({"-no_header", "-shark_wwn", "-dev", "-no_dots"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\nDevice:  -no_dots is not a SHARK device\n");
}

TEST(CliArguments, LengthLimitsRefuseRatherThanCut) {
    const std::string name80(80, 'd');
    auto r = lunscan({"-no_header", "-netapp_wwn", "-dev", name80});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\nDevice:  " + name80 + " is not a NETAPP device device\n");

    r = lunscan({"-no_header", "-netapp_wwn", "-dev", name80 + "X"});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "\n\n\tERROR: -dev device name longer than 80 characters.\n\n");

    const std::string file50(50, 'f');
    r = lunscan({"-no_header", "-drav_file", file50});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "Failed opening the Dravonis device file: " + file50 + "\n");
    r = lunscan({"-no_header", "-drav_file", file50 + "g"});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "\n\n\tERROR: -drav_file file name longer than 50 characters.\n\n");

    r = lunscan({"-no_header", "-hba", "-fibre", "-hba_file", std::string(100, 'h')});
    EXPECT_EQ(r.status, 0);
    r = lunscan({"-no_header", "-hba", "-fibre", "-hba_file", std::string(101, 'h')});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "\n\n\tERROR: -hba_file file name longer than 100 characters.\n\n");
    r = lunscan({"-no_header", "-hba", "-fibre", "-create_file", std::string(101, 'h')});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "\n\n\tERROR: -create_file file name longer than 100 characters.\n\n");

    r = lunscan({"-no_header", "-sid_wwn", "0001901012345"});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "\n\n\tERROR: -sid_wwn serial number must be 12 characters.\n\n");
    for (const std::string& serial : {std::string("00019010123"), std::string(), std::string("000190101234")})
        EXPECT_EQ(lunscan({"-no_header", "-sid_wwn", serial}).status, 0) << serial;
}

}  // namespace
