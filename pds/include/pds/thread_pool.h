// The runtime's thread pool: named pools of worker threads running named jobs, with per-job completion slots.
#pragma once

#include <cstdint>

namespace pds {

// Results of the pool calls.
inline constexpr int PDS_THRD_OK = 0;
inline constexpr int PDS_THRD_EINVAL_ERR = -1;     // a null pool, job or function, or min > max
inline constexpr int PDS_THRD_ECREATE_ERR = -2;    // a worker thread could not be started
inline constexpr int PDS_THRD_ENOMEM_ERR = -3;     // no memory for the pool or the job
inline constexpr int PDS_THRD_ETIMEDOUT_ERR = -4;  // the job had not finished within the time limit
inline constexpr int PDS_THRD_ESHUTDOWN_ERR = -5;  // the pool is being destroyed: no more jobs

// What a job function is told when it is called.
enum class PdsThrdJobCall {
    run,        // a worker runs the job
    discarded,  // the pool is destroyed before any worker took the job: it never runs
};

// A job function. It is called exactly once, with `run` or `discarded`; either way the argument is
// the job's again from then on (free it there when the job owns it).
using PdsThrdJobFunc = void (*)(void* arg, PdsThrdJobCall call);

struct PdsThrdPool;

// The slot of one added job. It belongs to the pool and stays valid until the pool is destroyed.
struct PdsThrdJob;

// Creates the pool `name` with `min_workers` threads started now (at least one) and up to
// `max_workers` started as jobs queue up while every worker is busy. PDS_THRD_OK with `*out` set.
int pdsThrdPoolCreate(const char* name, std::uint32_t min_workers, std::uint32_t max_workers,
                      PdsThrdPool** out);

// Queues the job `job_name` (the name is kept for diagnostics); `*slot` receives its slot.
int pdsThrdPoolAddJob(PdsThrdPool* pool, const char* job_name, PdsThrdJobFunc func, void* arg,
                      PdsThrdJob** slot);

// Whether the job has ended (ran to its end, or was discarded).
bool pdsThrdJobIsDone(const PdsThrdJob* slot);

// The job's name as given to pdsThrdPoolAddJob.
const char* pdsThrdJobName(const PdsThrdJob* slot);

// Waits until the job has ended. The limit is in milliseconds and is taken in whole seconds,
// rounded up (60 ms waits up to one second); 0 only looks. PDS_THRD_OK when the job has ended,
// PDS_THRD_ETIMEDOUT_ERR when the limit passed first.
int pdsThrdPoolJobWait(PdsThrdPool* pool, PdsThrdJob* slot, std::uint32_t timeout_ms);

// Destroys the pool: jobs no worker has taken yet are discarded (their functions are told so,
// on the calling thread), jobs already running are waited for, every worker is joined, and the
// pool and its slots are freed. After it returns no job function of the pool runs any more.
int pdsThrdPoolDestroy(PdsThrdPool* pool);

}  // namespace pds
