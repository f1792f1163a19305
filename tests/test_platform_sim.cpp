// Tests of the simulated host provider: pinned host facts and clocks, the object-name rule and in-process named objects (host file faults: test_sim_host_faults.cpp).
#include "pds/platform.h"
#include "support/sim_host_scratch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using testsupport::sim_host;

TEST(SimHost, AnEmptyFileIsAPlainWindowsServer) {
    auto plain = sim_host("{}");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->name(), "sim");
    const pds::HostIdentity id = plain->host_identity();
    EXPECT_EQ(std::tie(id.sysname, id.nodename, id.release, id.version, id.machine, id.os_description),
              std::make_tuple("Windows_NT", "SIMHOST", "10.0", "17763", "AMD64", "Windows Server 2019 Standard"));
    EXPECT_EQ(std::tie(id.os_type, id.os_major, id.os_minor), std::make_tuple(0x00030A00u, 10u, 0u));
    EXPECT_EQ(plain->user_name(), "Administrator");
}

// The example of docs/host-file.md is a working file that says what the page claims.
TEST(SimHost, DocumentedExampleLoads) {
    std::ifstream page(LUNSCAN_SOURCE_DIR "/docs/host-file.md");
    const std::string text((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    const auto begin = text.find("```json\n");
    const auto end = text.find("```", begin + 8);
    ASSERT_TRUE(begin != std::string::npos && end != std::string::npos);
    auto sim = sim_host(text.substr(begin + 8, end - begin - 8));
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->host_identity().nodename, "SANHOST01");
    EXPECT_EQ(sim->date_text(), "Sat Mar 14 09:26:53 2026");
    EXPECT_EQ(sim->process_id(), 4242u);
    EXPECT_EQ(sim->get_env("SDEBUG"), std::nullopt);
    // Its tool answers with the file's output; a command line it does not list exactly is absent.
    std::string output;
    int status = -1;
    EXPECT_EQ(sim->run_tool("iscsicli", &output, status), 0u);
    EXPECT_EQ(std::tie(output, status),
              std::make_tuple("[iqn.1991-05.com.microsoft:sanhost01] Enter command or ^C to exit\n", 0));
    EXPECT_EQ(sim->run_tool("iscsicli ", &output, status), pds::kErrorFileNotFound);
    EXPECT_EQ(std::tie(output, status), std::make_tuple("", -1));
}

TEST(SimHost, FixedClockStopsBothClocks) {
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
    // No time passes: every elapsed time the library measures is 0.
    const std::int64_t before = sim->monotonic_ns();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(sim->monotonic_ns(), before);
}

// A sleep returns at once and moves every clock on by the time slept: 180 s from two minutes
// before midnight of a leap day is one minute into Friday 1 March (day 60 of the year).
TEST(SimHost, SleepsMoveTheVirtualClock) {
    auto sim = sim_host(R"({"clock": "2024-02-29 23:58:00.500"})");
    ASSERT_NE(sim, nullptr);
    const std::int64_t before = sim->monotonic_ns();
    sim->sleep_ms(180000);
    EXPECT_EQ(sim->monotonic_ns() - before, 180'000'000'000);
    pds::LocalTime t = sim->local_time();
    EXPECT_EQ(std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond, t.weekday, t.yearday),
              std::make_tuple(2024, 3, 1, 0, 1, 0, 500, 5, 60));
    EXPECT_EQ(sim->date_text(), "Fri Mar  1 00:01:00 2024");
    EXPECT_EQ(sim->epoch_seconds(), 19783LL * 86400 + 60);
    // 0.5 s and 0.6 s make a whole second more on the wall clock.
    sim->sleep_ms(600);
    t = sim->local_time();
    EXPECT_EQ(std::tie(t.second, t.millisecond), std::make_tuple(1, 100));
    EXPECT_EQ(sim->epoch_seconds(), 19783LL * 86400 + 61);
    // Without a fixed clock the real clock runs on beneath the sleeps.
    auto running = sim_host("{}");
    const std::int64_t start = running->monotonic_ns();
    running->sleep_ms(180000);
    EXPECT_GE(running->monotonic_ns() - start, 180'000'000'000);
}

class SimObjects : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(sim_, nullptr); }
    std::unique_ptr<pds::Platform> sim_ = sim_host("{}");
};

// The one name rule of every provider, here on the provider every build has.
TEST_F(SimObjects, ObjectNamesFollowTheSeamsOneRule) {
    std::unique_ptr<pds::NamedMutex> mutex;
    std::unique_ptr<pds::SharedMemory> memory;
    bool created = false;
    for (const std::string bad : {std::string(), std::string("a/b"), std::string("Global\\x"), std::string("a b"),
                                  std::string("x\0y", 3), std::string(pds::kMaxObjectName + 1, 'x')}) {
        EXPECT_FALSE(pds::valid_object_name(bad)) << bad;
        EXPECT_EQ(sim_->open_named_mutex(bad, mutex), pds::kErrorInvalidParameter) << bad;
        EXPECT_EQ(sim_->open_shared_memory(bad, 4, memory, created), pds::kErrorInvalidParameter) << bad;
    }
    EXPECT_EQ(sim_->open_named_mutex(std::string(pds::kMaxObjectName, 'x'), mutex), 0u);
    EXPECT_EQ(sim_->open_shared_memory("lunscan-test.a_b", 4, memory, created), 0u);
}

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
    ASSERT_EQ(sim_->open_shared_memory("SimTestOther", 4, other, created), 0u);
    EXPECT_TRUE(created);  // another name is another object

    // A larger view than the object has cannot be had; nor an empty one.
    std::unique_ptr<pds::SharedMemory> larger;
    EXPECT_EQ(sim_->open_shared_memory("SimTestCounter", 65, larger, created), pds::kErrorInvalidParameter);
    EXPECT_EQ(sim_->open_shared_memory("SimTestEmpty", 0, larger, created), pds::kErrorInvalidParameter);

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
        std::thread([&] {
            result = theirs->lock(timeout_ms);
            if (result == 0) result = theirs->unlock();
        }).join();
        return result;
    };
    EXPECT_EQ(try_from_other_thread(20), pds::kErrorSemTimeout);
    pds::os_error not_owner = 0;
    std::thread([&] { not_owner = theirs->unlock(); }).join();
    EXPECT_EQ(not_owner, pds::kErrorNotOwner);

    EXPECT_EQ(mine->unlock(), 0u);
    EXPECT_EQ(mine->unlock(), pds::kErrorNotOwner);
    EXPECT_EQ(try_from_other_thread(0), 0u);

    // Closing a handle that holds the mutex gives it up (the wrapper releases before closing;
    // the closing thread lives on, so nothing else would).
    ASSERT_EQ(mine->lock(), 0u);
    ASSERT_EQ(mine->lock(), 0u);
    mine.reset();
    EXPECT_EQ(try_from_other_thread(0), 0u);

    // A thread that ends holding it abandons it to the next waiter, as on Windows.
    std::thread([&theirs] { theirs->lock(0); }).join();
    EXPECT_EQ(try_from_other_thread(0), 0u);
}

}  // namespace
