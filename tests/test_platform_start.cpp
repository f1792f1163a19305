// Tests of the provider choice and pdsLibInit, each in a fresh process since the choice is made once per process.
#include "pds/platform.h"
#include "pds/product_clients.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

namespace {

// Exit codes of the child processes, telling which check failed.
enum : int { kChildPassed = 0, kStartFailed = 3, kWrongProvider = 4, kWrongFact = 5, kNotIdempotent = 6 };

class ProviderStart : public ::testing::Test {
protected:
    // Re-executes the test binary for each child, so no start made here leaks into it.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

[[noreturn]] void start_and_exit_with_result() {
    const int first = pds::pdsLibInit();
    if (pds::pdsLibInit() != first) std::exit(kNotIdempotent);
    std::exit(first == 0 ? kChildPassed : kStartFailed);
}

// The start fails without printing and leaves the real provider; pdsLibInit says why, once.
TEST_F(ProviderStart, MissingHostFileLeavesTheRealProviderAndIsReportedOnce) {
    EXPECT_EXIT(
        {
            ::setenv("SIL_SIM_HOST", "/nonexistent/host.json", 1);
            std::string error;
            if (pds::pds_platform_start(error)) std::exit(kChildPassed);
            if (error != "simulated host file \"/nonexistent/host.json\": cannot be opened: No such file or directory") {
                std::exit(kWrongFact);
            }
            if (pds::platform().name() != "linux") std::exit(kWrongProvider);
            start_and_exit_with_result();
        },
        ::testing::ExitedWithCode(kStartFailed),
        ::testing::Eq(std::string("lunscan: simulated host file \"/nonexistent/host.json\": cannot be opened: "
                                  "No such file or directory\n")));
}

// The product clients follow the provider: the simulated host's come from its file.
TEST_F(ProviderStart, HostFileChoosesTheSimulatedHostAndItsProductClients) {
    EXPECT_EXIT(
        {
            ::setenv("SIL_SIM_HOST", LUNSCAN_SOURCE_DIR "/tests/cases/hosts/tables/mixed-host.json", 1);
            if (pds::pdsLibInit() != 0) std::exit(kStartFailed);
            if (pds::platform().name() != "sim") std::exit(kWrongProvider);
            if (pds::platform().host_identity().nodename != "TABLEHOST") std::exit(kWrongFact);
            std::uint32_t count = 0;
            if (pds::multipath_client().mp_list_volumes(count, nullptr) != 0 || count != 1) std::exit(kWrongFact);
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
                // The real host's multipathing client is device-mapper's, not the simulated host's.
                if (&pds::multipath_client() != &pds::platform().multipath_client() ||
                    !pds::multipath_client().library_fault().empty()) {
                    std::exit(kWrongFact);
                }
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
