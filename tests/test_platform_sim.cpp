// Tests of the simulated host provider: pinned host facts and in-process named objects (host file faults: test_sim_host_faults.cpp).
#include "pds/platform.h"
#include "support/sim_host_scratch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using testsupport::sim_host;

TEST(SimHost, EmptyFileDescribesAPlainWindowsServer) {
    auto sim = sim_host("{}");
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->name(), "sim");
    const pds::HostIdentity id = sim->host_identity();
    EXPECT_EQ(std::tie(id.sysname, id.nodename, id.release, id.version, id.machine, id.os_description),
              std::make_tuple("Windows_NT", "SIMHOST", "10.0", "17763", "AMD64", "Windows Server 2019 Standard"));
    EXPECT_EQ(std::tie(id.os_type, id.os_major, id.os_minor), std::make_tuple(0x00030A00u, 10u, 0u));
    EXPECT_EQ(sim->user_name(), "Administrator");
}

TEST(SimHost, DemoHostFileLoads) {
    auto sim = testsupport::start_sim(LUNSCAN_SOURCE_DIR "/examples/demo-host.json");
    ASSERT_NE(sim, nullptr);
    const pds::HostIdentity id = sim->host_identity();
    EXPECT_EQ(std::tie(id.nodename, id.os_description, id.os_type),
              std::make_tuple("SANHOST01", "Windows Server 2019 Standard", 0x00030A00u));
    EXPECT_EQ(sim->user_name(), "Administrator");
    EXPECT_EQ(sim->get_env("COMPUTERNAME"), "SANHOST01");
}

// The example of docs/host-file.md is a working file that says what the page claims.
TEST(SimHost, DocumentedExampleLoads) {
    std::ifstream page(LUNSCAN_SOURCE_DIR "/docs/host-file.md");
    const std::string text((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    const auto begin = text.find("```json\n");
    ASSERT_NE(begin, std::string::npos);
    const auto end = text.find("```", begin + 8);
    ASSERT_NE(end, std::string::npos);
    auto sim = sim_host(text.substr(begin + 8, end - begin - 8));
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->host_identity().nodename, "SANHOST01");
    EXPECT_EQ(sim->date_text(), "Sat Mar 14 09:26:53 2026");
    EXPECT_EQ(sim->process_id(), 4242u);
    EXPECT_EQ(sim->get_env("SDEBUG"), std::nullopt);
    std::string output;
    int status = -1;
    EXPECT_EQ(sim->run_tool("iscsicli", &output, status), 0u);
    EXPECT_EQ(status, 0);
}

TEST(SimHost, HostFactsComeFromTheFile) {
    auto sim = sim_host(R"({
        "host": {"sysname": "Windows_NT", "nodename": "OLDBOX", "release": "6.1", "version": "7601",
                 "machine": "x86", "os_type": 65537, "os_description": "Windows 7 Professional",
                 "service_pack": "Service Pack 1", "service_pack_major": 1},
        "user": null})");
    ASSERT_NE(sim, nullptr);
    const pds::HostIdentity id = sim->host_identity();
    EXPECT_EQ(std::tie(id.nodename, id.machine, id.service_pack), std::make_tuple("OLDBOX", "x86", "Service Pack 1"));
    // The major and minor numbers are taken from the release when not given.
    EXPECT_EQ(std::tie(id.os_type, id.os_major, id.os_minor, id.service_pack_major),
              std::make_tuple(65537u, 6u, 1u, 1u));
    EXPECT_EQ(sim->user_name(), std::nullopt);  // null: the user cannot be had
}

TEST(SimHost, EnvironmentIsAnsweredBeforeTheRealOne) {
    auto sim = sim_host(R"({"environment": {"SDEBUG": "TIME", "PATH": null, "EMPTY": ""}})");
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->get_env("SDEBUG"), "TIME");
    EXPECT_EQ(sim->get_env("EMPTY"), "");
    EXPECT_EQ(sim->get_env("PATH"), std::nullopt);  // hidden although the real host has it
    EXPECT_EQ(sim->get_env("LUNSCAN_SURELY_UNSET_VARIABLE"), std::nullopt);
    EXPECT_EQ(sim->get_env(nullptr), std::nullopt);
    // Without an entry the real environment answers.
    auto plain = sim_host("{}");
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(plain->get_env("PATH").has_value());
}

TEST(SimHost, FixedClockAndProcessId) {
    auto sim = sim_host(R"({"clock": "2024-02-29 07:05:09.042", "process_id": 4242})");
    ASSERT_NE(sim, nullptr);
    const pds::LocalTime t = sim->local_time();
    // A Thursday; 31 days of January and 28 of February before it.
    EXPECT_EQ(std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond, t.weekday, t.yearday),
              std::make_tuple(2024, 2, 29, 7, 5, 9, 42, 4, 59));
    EXPECT_EQ(sim->date_text(), "Thu Feb 29 07:05:09 2024");
    // 19782 days from 1970-01-01 to 2024-02-29, then 7 h 5 min 9 s.
    EXPECT_EQ(sim->epoch_seconds(), 19782LL * 86400 + 7 * 3600 + 5 * 60 + 9);
    EXPECT_EQ(sim->process_id(), 4242u);
    EXPECT_EQ(sim->local_time().millisecond, 42);  // the clock stands still

    auto two_digit_day = sim_host(R"({"clock": "1999-12-31 23:59:59.999"})");
    ASSERT_NE(two_digit_day, nullptr);
    EXPECT_EQ(two_digit_day->date_text(), "Fri Dec 31 23:59:59 1999");
}

TEST(SimHost, UnpinnedClockAndProcessComeFromTheRealHost) {
    auto sim = sim_host("{}");
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->process_id(), pds::make_real_platform()->process_id());
    EXPECT_GE(sim->local_time().year, 2024);
    EXPECT_EQ(sim->date_text().size(), 24u);
}

TEST(SimHost, ToolsAnswerOnlyListedCommandLines) {
    auto sim = sim_host(R"({"tools": {
        "iscsicli": {"output": "[iqn.1991-05.com.microsoft:sanhost01] Enter command\n", "exit_status": 0},
        "failing tool": {"exit_status": 3},
        "silent": {}}})");
    ASSERT_NE(sim, nullptr);
    std::string output = "stale";
    int status = 99;
    EXPECT_EQ(sim->run_tool("iscsicli", &output, status), 0u);
    EXPECT_EQ(output, "[iqn.1991-05.com.microsoft:sanhost01] Enter command\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sim->run_tool("failing tool", nullptr, status), 0u);
    EXPECT_EQ(status, 3);
    EXPECT_EQ(sim->run_tool("silent", &output, status), 0u);
    EXPECT_EQ(output, "");
    EXPECT_EQ(status, 0);
    output = "stale";
    EXPECT_EQ(sim->run_tool("iscsicli ", &output, status), pds::kErrorFileNotFound);  // exact match only
    EXPECT_EQ(output, "");
    EXPECT_EQ(status, -1);
}

class SimObjects : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(sim_, nullptr); }
    std::unique_ptr<pds::Platform> sim_ = sim_host("{}");
};

TEST_F(SimObjects, SharedMemoryIsZeroedAtCreationAndSharedByName) {
    std::unique_ptr<pds::SharedMemory> first, second, other;
    bool created = false;
    ASSERT_EQ(sim_->open_shared_memory("SimTestCounter", 64, first, created), 0u);
    EXPECT_TRUE(created);
    ASSERT_EQ(first->size(), 64u);
    const std::vector<unsigned char> zeros(64, 0);
    EXPECT_EQ(std::memcmp(first->data(), zeros.data(), 64), 0);
    std::memcpy(first->data(), "\x12\x34\x56\x78", 4);

    ASSERT_EQ(sim_->open_shared_memory("SimTestCounter", 4, second, created), 0u);
    EXPECT_FALSE(created);
    EXPECT_EQ(std::memcmp(second->data(), "\x12\x34\x56\x78", 4), 0);
    EXPECT_EQ(second->size(), 4u);

    // Another name is another object.
    ASSERT_EQ(sim_->open_shared_memory("SimTestOther", 4, other, created), 0u);
    EXPECT_TRUE(created);

    // A larger view than the object has cannot be had; nor an empty one.
    std::unique_ptr<pds::SharedMemory> larger;
    EXPECT_EQ(sim_->open_shared_memory("SimTestCounter", 65, larger, created), pds::kErrorInvalidParameter);
    EXPECT_EQ(larger, nullptr);
    EXPECT_EQ(sim_->open_shared_memory("SimTestEmpty", 0, larger, created), pds::kErrorInvalidParameter);
    EXPECT_EQ(sim_->open_shared_memory("", 4, larger, created), pds::kErrorInvalidParameter);

    // Gone with the last handle, as a Windows mapping: the next open creates it anew, zeroed.
    EXPECT_EQ(first->close(), 0u);
    EXPECT_EQ(first->close(), 0u);
    EXPECT_EQ(first->data(), nullptr);
    second.reset();
    ASSERT_EQ(sim_->open_shared_memory("SimTestCounter", 4, first, created), 0u);
    EXPECT_TRUE(created);
    EXPECT_EQ(std::memcmp(first->data(), zeros.data(), 4), 0);
}

TEST_F(SimObjects, NamedMutexExcludesOtherThreadsAndLetsItsOwnerReenter) {
    std::unique_ptr<pds::NamedMutex> mine, theirs;
    ASSERT_EQ(sim_->open_named_mutex("SimTestMutex", mine), 0u);
    ASSERT_EQ(sim_->open_named_mutex("SimTestMutex", theirs), 0u);
    ASSERT_EQ(mine->lock(), 0u);
    EXPECT_EQ(theirs->lock(0), 0u);  // same thread, same name: the owner takes it again
    EXPECT_EQ(theirs->unlock(), 0u);

    auto try_from_other_thread = [&theirs](int timeout_ms) {
        pds::os_error result = 0;
        pds::os_error unlock_result = 0;
        std::thread([&] {
            result = theirs->lock(timeout_ms);
            if (result == 0) unlock_result = theirs->unlock();
        }).join();
        EXPECT_EQ(unlock_result, 0u);
        return result;
    };
    EXPECT_EQ(try_from_other_thread(0), pds::kErrorSemTimeout);
    EXPECT_EQ(try_from_other_thread(20), pds::kErrorSemTimeout);

    pds::os_error not_owner = 0;
    std::thread([&] { not_owner = theirs->unlock(); }).join();
    EXPECT_EQ(not_owner, pds::kErrorNotOwner);

    EXPECT_EQ(mine->unlock(), 0u);
    EXPECT_EQ(mine->unlock(), pds::kErrorNotOwner);
    EXPECT_EQ(try_from_other_thread(0), 0u);

    // Closing a handle that holds the mutex gives it up.
    ASSERT_EQ(mine->lock(), 0u);
    mine.reset();
    EXPECT_EQ(try_from_other_thread(0), 0u);
}

TEST_F(SimObjects, NamedMutexSerialisesWaitingThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    int counter = 0;  // guarded only by the named mutex
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            std::unique_ptr<pds::NamedMutex> m;
            if (sim_->open_named_mutex("SimTestSerial", m) != 0) {
                ++failures;
                return;
            }
            for (int r = 0; r < kRounds; ++r) {
                if (m->lock() != 0) ++failures;
                const int seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                if (m->unlock() != 0) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(counter, kThreads * kRounds);
}

TEST_F(SimObjects, ThreadNumbersStartAtZeroForTheMainThread) {
    EXPECT_EQ(sim_->thread_number(), 0u);  // GoogleTest runs tests on the main thread
    EXPECT_EQ(sim_->thread_number(), 0u);
    constexpr int kThreads = 3;
    std::vector<std::uint32_t> numbers(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            numbers[i] = sim_->thread_number();
            if (sim_->thread_number() != numbers[i]) numbers[i] = 0;  // stable per thread
        });
    }
    for (auto& t : threads) t.join();
    const std::set<std::uint32_t> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads));
    EXPECT_EQ(distinct.count(0), 0u);
}

}  // namespace
