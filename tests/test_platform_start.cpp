// Tests of the provider choice and pdsLibInit, each in a fresh process since the choice is made once per process.
#include "pds/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Exit codes of the child processes, telling which check failed.
enum : int { kChildPassed = 0, kStartFailed = 3, kWrongProvider = 4, kWrongFact = 5, kNotIdempotent = 6 };

class ProviderStart : public ::testing::Test {
protected:
    void SetUp() override {
        // Re-executes the test binary for each child, so no start made here leaks into it.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

std::string write_temp(const std::string& name, const std::string& content) {
    const fs::path path = fs::temp_directory_path() / ("lunscan-start-test-" + name);
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
}

[[noreturn]] void start_and_exit_with_result() {
    const int first = pds::pdsLibInit();
    const int second = pds::pdsLibInit();
    if (first != second) std::exit(kNotIdempotent);
    std::exit(first == 0 ? kChildPassed : kStartFailed);
}

TEST_F(ProviderStart, MissingHostFileIsReportedOnceOnStandardError) {
    EXPECT_EXIT(
        {
            ::setenv("SIL_SIM_HOST", "/nonexistent/host.json", 1);
            start_and_exit_with_result();
        },
        ::testing::ExitedWithCode(kStartFailed),
        ::testing::Eq(std::string("lunscan: simulated host file \"/nonexistent/host.json\": cannot be opened: "
                                  "No such file or directory\n")));
}

TEST_F(ProviderStart, MalformedHostFileIsReportedWithItsFault) {
    const std::string bad_json = write_temp("bad.json", "{\n  \"user\": \"x\",\n}\n");
    EXPECT_EXIT(
        {
            ::setenv("SIL_SIM_HOST", bad_json.c_str(), 1);
            start_and_exit_with_result();
        },
        ::testing::ExitedWithCode(kStartFailed),
        ::testing::Eq("lunscan: simulated host file \"" + bad_json +
                      "\": line 3, column 1: syntax error while parsing object key - unexpected '}'; "
                      "expected string literal\n"));
    const std::string bad_type = write_temp("type.json", R"({"host": {"release": 10.0}})");
    EXPECT_EXIT(
        {
            ::setenv("SIL_SIM_HOST", bad_type.c_str(), 1);
            start_and_exit_with_result();
        },
        ::testing::ExitedWithCode(kStartFailed),
        ::testing::Eq("lunscan: simulated host file \"" + bad_type + "\": \"host.release\" must be a string\n"));
    fs::remove(bad_json);
    fs::remove(bad_type);
}

TEST_F(ProviderStart, FailedStartLeavesTheRealProviderAndSaysWhyWithoutPrinting) {
    EXPECT_EXIT(
        {
            ::setenv("SIL_SIM_HOST", "/nonexistent/host.json", 1);
            if (pds::platform().name() != "linux") std::exit(kWrongProvider);
            std::string error;
            if (pds::pds_platform_start(error)) std::exit(kChildPassed);
            if (error != "simulated host file \"/nonexistent/host.json\": cannot be opened: No such file or directory") {
                std::exit(kWrongFact);
            }
            std::exit(pds::platform().name() == "linux" ? kStartFailed : kWrongProvider);
        },
        ::testing::ExitedWithCode(kStartFailed), ::testing::Eq(std::string()));
}

TEST_F(ProviderStart, HostFileChoosesTheSimulatedHost) {
    EXPECT_EXIT(
        {
            ::setenv("SIL_SIM_HOST", LUNSCAN_SOURCE_DIR "/examples/demo-host.json", 1);
            if (pds::pdsLibInit() != 0) std::exit(kStartFailed);
            if (pds::platform().name() != "sim") std::exit(kWrongProvider);
            if (pds::platform().host_identity().nodename != "SANHOST01") std::exit(kWrongFact);
            start_and_exit_with_result();
        },
        ::testing::ExitedWithCode(kChildPassed), ::testing::Eq(std::string()));
}

TEST_F(ProviderStart, WithoutHostFileTheRealProviderRuns) {
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_EXIT(
            {
                if (value == nullptr) {
                    ::unsetenv("SIL_SIM_HOST");
                } else {
                    ::setenv("SIL_SIM_HOST", value, 1);
                }
                if (pds::pdsLibInit() != 0) std::exit(kStartFailed);
                std::exit(pds::platform().name() == "linux" ? kChildPassed : kWrongProvider);
            },
            ::testing::ExitedWithCode(kChildPassed), ::testing::Eq(std::string()));
    }
}

TEST_F(ProviderStart, ConcurrentStartsAgreeOnOneProvider) {
    EXPECT_EXIT(
        {
            ::setenv("SIL_SIM_HOST", LUNSCAN_SOURCE_DIR "/examples/demo-host.json", 1);
            constexpr int kThreads = 8;
            std::vector<const pds::Platform*> seen(kThreads, nullptr);
            std::vector<int> results(kThreads, -2);
            std::vector<std::thread> threads;
            for (int i = 0; i < kThreads; ++i) {
                threads.emplace_back([&, i] {
                    results[i] = pds::pdsLibInit();
                    seen[i] = &pds::platform();
                });
            }
            for (auto& t : threads) t.join();
            for (int i = 0; i < kThreads; ++i) {
                if (results[i] != 0) std::exit(kStartFailed);
                if (seen[i] != seen[0] || seen[i]->name() != "sim") std::exit(kWrongProvider);
            }
            std::exit(kChildPassed);
        },
        ::testing::ExitedWithCode(kChildPassed), ::testing::Eq(std::string()));
}

}  // namespace
