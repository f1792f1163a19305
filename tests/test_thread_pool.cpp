// Tests of the runtime's thread pool: jobs run, waiting with a limit, discarded jobs, destroy joins.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <pds/thread_pool.h>

namespace {

using pds::PdsThrdJobCall;

// A gate a job can be held at until the test opens it.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    bool entered = false;

    void pass() {
        std::unique_lock lk(m);
        entered = true;
        cv.notify_all();
        cv.wait(lk, [this] { return open; });
    }
    void wait_entered() {
        std::unique_lock lk(m);
        cv.wait(lk, [this] { return entered; });
    }
    void release() {
        std::lock_guard lk(m);
        open = true;
        cv.notify_all();
    }
};

struct Record {
    std::atomic<int> runs{0};
    std::atomic<int> discards{0};
    std::thread::id ran_on;
    Gate* gate = nullptr;          // held here while running, when set
    Gate* release_on_discard = nullptr;
};

void record_job(void* arg, PdsThrdJobCall call) {
    auto* r = static_cast<Record*>(arg);
    if (call == PdsThrdJobCall::discarded) {
        ++r->discards;
        if (r->release_on_discard != nullptr) r->release_on_discard->release();
        return;
    }
    r->ran_on = std::this_thread::get_id();
    if (r->gate != nullptr) r->gate->pass();
    ++r->runs;
}

TEST(ThreadPool, EveryJobRunsOnceOnAWorkerAndIsDoneAfterItsWait) {
    pds::PdsThrdPool* pool = nullptr;
    ASSERT_EQ(pds::pdsThrdPoolCreate("TEST_POOL", 1, 3, &pool), pds::PDS_THRD_OK);
    std::vector<Record> records(20);
    std::vector<pds::PdsThrdJob*> slots(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string name = "JOB" + std::to_string(i);
        ASSERT_EQ(pds::pdsThrdPoolAddJob(pool, name.c_str(), record_job, &records[i], &slots[i]), pds::PDS_THRD_OK);
        EXPECT_STREQ(pds::pdsThrdJobName(slots[i]), name.c_str());
    }
    std::set<std::thread::id> threads;
    for (std::size_t i = 0; i < records.size(); ++i) {
        // A generous limit: nothing blocks these jobs, so only a lost job would reach it.
        ASSERT_EQ(pds::pdsThrdPoolJobWait(pool, slots[i], 60000), pds::PDS_THRD_OK);
        EXPECT_TRUE(pds::pdsThrdJobIsDone(slots[i]));
        EXPECT_EQ(records[i].runs.load(), 1);
        threads.insert(records[i].ran_on);
    }
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    EXPECT_LE(threads.size(), 3u);
    EXPECT_EQ(pds::pdsThrdPoolDestroy(pool), pds::PDS_THRD_OK);
    for (const Record& r : records) EXPECT_EQ(r.discards.load(), 0);
}

TEST(ThreadPool, WaitReportsTimeOutDistinctlyWhileTheJobIsHeld) {
    pds::PdsThrdPool* pool = nullptr;
    ASSERT_EQ(pds::pdsThrdPoolCreate("TEST_POOL", 1, 1, &pool), pds::PDS_THRD_OK);
    Gate gate;
    Record held;
    held.gate = &gate;
    pds::PdsThrdJob* slot = nullptr;
    ASSERT_EQ(pds::pdsThrdPoolAddJob(pool, "HELD", record_job, &held, &slot), pds::PDS_THRD_OK);
    gate.wait_entered();
    EXPECT_EQ(pds::pdsThrdPoolJobWait(pool, slot, 0), pds::PDS_THRD_ETIMEDOUT_ERR);
    // 60 ms is taken as a whole second; the job is still held, so the wait must time out.
    EXPECT_EQ(pds::pdsThrdPoolJobWait(pool, slot, 60), pds::PDS_THRD_ETIMEDOUT_ERR);
    EXPECT_FALSE(pds::pdsThrdJobIsDone(slot));
    gate.release();
    EXPECT_EQ(pds::pdsThrdPoolJobWait(pool, slot, 60000), pds::PDS_THRD_OK);
    EXPECT_EQ(pds::pdsThrdPoolDestroy(pool), pds::PDS_THRD_OK);
}

// One worker is held in a job; the queued jobs behind it are discarded by the destroy, and the
// first discard opens the gate, so the destroy can only return after joining the held worker.
TEST(ThreadPool, DestroyDiscardsUnrunJobsAndJoinsTheRunningOne) {
    pds::PdsThrdPool* pool = nullptr;
    ASSERT_EQ(pds::pdsThrdPoolCreate("TEST_POOL", 1, 1, &pool), pds::PDS_THRD_OK);
    Gate gate;
    Record running;
    running.gate = &gate;
    std::vector<Record> queued(3);
    queued[0].release_on_discard = &gate;
    pds::PdsThrdJob* slot = nullptr;
    ASSERT_EQ(pds::pdsThrdPoolAddJob(pool, "RUNNING", record_job, &running, &slot), pds::PDS_THRD_OK);
    gate.wait_entered();
    for (Record& r : queued) ASSERT_EQ(pds::pdsThrdPoolAddJob(pool, "QUEUED", record_job, &r, &slot), pds::PDS_THRD_OK);
    EXPECT_EQ(pds::pdsThrdPoolDestroy(pool), pds::PDS_THRD_OK);
    EXPECT_EQ(running.runs.load(), 1);  // it finished before the destroy returned
    for (const Record& r : queued) {
        EXPECT_EQ(r.runs.load(), 0);
        EXPECT_EQ(r.discards.load(), 1);
    }
}

TEST(ThreadPool, RefusesBadArguments) {
    pds::PdsThrdPool* pool = nullptr;
    EXPECT_EQ(pds::pdsThrdPoolCreate("BAD", 4, 2, &pool), pds::PDS_THRD_EINVAL_ERR);
    EXPECT_EQ(pool, nullptr);
    EXPECT_EQ(pds::pdsThrdPoolCreate("BAD", 1, 2, nullptr), pds::PDS_THRD_EINVAL_ERR);
    ASSERT_EQ(pds::pdsThrdPoolCreate("OK", 0, 0, &pool), pds::PDS_THRD_OK);
    pds::PdsThrdJob* slot = reinterpret_cast<pds::PdsThrdJob*>(1);
    EXPECT_EQ(pds::pdsThrdPoolAddJob(pool, "NOFUNC", nullptr, nullptr, &slot), pds::PDS_THRD_EINVAL_ERR);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(pds::pdsThrdPoolJobWait(pool, nullptr, 0), pds::PDS_THRD_EINVAL_ERR);
    EXPECT_EQ(pds::pdsThrdPoolDestroy(pool), pds::PDS_THRD_OK);
    EXPECT_EQ(pds::pdsThrdPoolDestroy(nullptr), pds::PDS_THRD_EINVAL_ERR);
}

}  // namespace
