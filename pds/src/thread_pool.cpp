// The runtime's thread pool: workers, the job queue, job slots, waiting with a time limit, and shutdown.
#include "pds/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace pds {

struct PdsThrdJob {
    std::string name;
    PdsThrdJobFunc func = nullptr;
    void* arg = nullptr;
    // Set under the pool's mutex (waiters sleep on it); atomic so that pdsThrdJobIsDone may poll.
    std::atomic<bool> done{false};
};

struct PdsThrdPool {
    std::string name;
    std::uint32_t max_workers = 1;
    std::mutex m;
    std::condition_variable work;      // a job was queued, or the pool shuts down
    std::condition_variable finished;  // a job ended
    std::deque<PdsThrdJob*> queue;
    std::vector<std::unique_ptr<PdsThrdJob>> slots;
    std::vector<std::thread> workers;
    std::uint32_t idle = 0;
    bool shutting_down = false;
};

namespace {

void worker_loop(PdsThrdPool* pool) {
    std::unique_lock lk(pool->m);
    for (;;) {
        ++pool->idle;
        pool->work.wait(lk, [pool] { return pool->shutting_down || !pool->queue.empty(); });
        --pool->idle;
        if (pool->queue.empty()) return;  // shutting down with nothing left to take
        PdsThrdJob* job = pool->queue.front();
        pool->queue.pop_front();
        lk.unlock();
        job->func(job->arg, PdsThrdJobCall::run);
        lk.lock();
        job->done.store(true);
        pool->finished.notify_all();
    }
}

// Starts one more worker; false when the thread could not be had. Called with the mutex held.
bool start_worker(PdsThrdPool* pool) {
    try {
        pool->workers.emplace_back(worker_loop, pool);
        return true;
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void stop_and_join(PdsThrdPool* pool) {
    {
        std::lock_guard lk(pool->m);
        pool->shutting_down = true;
    }
    pool->work.notify_all();
    for (std::thread& t : pool->workers) t.join();
}

}  // namespace

int pdsThrdPoolCreate(const char* name, std::uint32_t min_workers, std::uint32_t max_workers,
                      PdsThrdPool** out) {
    if (out == nullptr) return PDS_THRD_EINVAL_ERR;
    *out = nullptr;
    if (min_workers > max_workers) return PDS_THRD_EINVAL_ERR;
    const std::uint32_t start = min_workers == 0 ? 1 : min_workers;
    auto* pool = new (std::nothrow) PdsThrdPool;
    if (pool == nullptr) return PDS_THRD_ENOMEM_ERR;
    try {
        pool->name = name != nullptr ? name : "";
        pool->workers.reserve(start);
    } catch (const std::bad_alloc&) {
        delete pool;
        return PDS_THRD_ENOMEM_ERR;
    }
    pool->max_workers = max_workers < start ? start : max_workers;
    bool started = true;
    {
        std::lock_guard lk(pool->m);
        for (std::uint32_t i = 0; i < start && started; ++i) started = start_worker(pool);
    }
    if (!started) {
        stop_and_join(pool);
        delete pool;
        return PDS_THRD_ECREATE_ERR;
    }
    *out = pool;
    return PDS_THRD_OK;
}

int pdsThrdPoolAddJob(PdsThrdPool* pool, const char* job_name, PdsThrdJobFunc func, void* arg,
                      PdsThrdJob** slot) {
    if (slot != nullptr) *slot = nullptr;
    if (pool == nullptr || func == nullptr || slot == nullptr) return PDS_THRD_EINVAL_ERR;
    std::unique_lock lk(pool->m);
    if (pool->shutting_down) return PDS_THRD_ESHUTDOWN_ERR;
    try {
        auto job = std::make_unique<PdsThrdJob>();
        job->name = job_name != nullptr ? job_name : "";
        job->func = func;
        job->arg = arg;
        // Room ahead, so that the push below cannot throw once the job is queued; grown by
        // doubling, as thousands of jobs (one per device of a SAN host) are added one by one.
        if (pool->slots.size() == pool->slots.capacity()) pool->slots.reserve(std::max<std::size_t>(64, 2 * pool->slots.size()));
        pool->queue.push_back(job.get());
        pool->slots.push_back(std::move(job));
    } catch (const std::bad_alloc&) {
        return PDS_THRD_ENOMEM_ERR;
    }
    *slot = pool->slots.back().get();
    // A new worker only when every existing one is busy; a failed start leaves the job to them.
    if (pool->idle < pool->queue.size() && pool->workers.size() < pool->max_workers) {
        start_worker(pool);
    }
    lk.unlock();
    pool->work.notify_one();
    return PDS_THRD_OK;
}

bool pdsThrdJobIsDone(const PdsThrdJob* slot) {
    return slot != nullptr && slot->done.load();
}

const char* pdsThrdJobName(const PdsThrdJob* slot) { return slot != nullptr ? slot->name.c_str() : ""; }

int pdsThrdPoolJobWait(PdsThrdPool* pool, PdsThrdJob* slot, std::uint32_t timeout_ms) {
    if (pool == nullptr || slot == nullptr) return PDS_THRD_EINVAL_ERR;
    const auto seconds = std::chrono::seconds((std::uint64_t{timeout_ms} + 999) / 1000);
    std::unique_lock lk(pool->m);
    if (!pool->finished.wait_for(lk, seconds, [slot] { return slot->done.load(); })) return PDS_THRD_ETIMEDOUT_ERR;
    return PDS_THRD_OK;
}

int pdsThrdPoolDestroy(PdsThrdPool* pool) {
    if (pool == nullptr) return PDS_THRD_EINVAL_ERR;
    std::deque<PdsThrdJob*> unrun;
    {
        std::lock_guard lk(pool->m);
        pool->shutting_down = true;
        unrun.swap(pool->queue);
    }
    pool->work.notify_all();
    for (PdsThrdJob* job : unrun) job->func(job->arg, PdsThrdJobCall::discarded);
    {
        std::lock_guard lk(pool->m);
        for (PdsThrdJob* job : unrun) job->done.store(true);
    }
    pool->finished.notify_all();
    for (std::thread& t : pool->workers) t.join();
    delete pool;
    return PDS_THRD_OK;
}

}  // namespace pds
