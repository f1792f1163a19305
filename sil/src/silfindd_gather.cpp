// The device list's gather: opening every listed device once, serially or on the "DEV_POOL" thread pool.
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <pds/thread_pool.h>

#include "sildebug.h"
#include "sildopen.h"
#include "silfindd_int.h"
#include "silinitl.h"
#include "silkorinq.h"

namespace {

constexpr std::uint32_t kTraceGather = 0x1000408;
constexpr std::uint32_t kTraceDevice = 0x1000C08;
constexpr int kDotsPerLine = 79;
constexpr std::uint32_t kDefaultWorkers = 10;
constexpr std::uint32_t kJobWaitMs = 60;

// The status dots on standard error, flushed one by one so progress shows during slow opens.
struct Dots {
    bool enabled;
    int on_line = 0;

    void one() {
        if (!enabled) return;
        std::fputc('.', stderr);
        std::fflush(stderr);
        if (++on_line == kDotsPerLine) {
            std::fputc('\n', stderr);
            std::fflush(stderr);
            on_line = 0;
        }
    }
};

// Both gathers open with the same options, so that a list gathered on the pool reads exactly as
// one gathered serially (the pool is lunscan's default): spoofed INQUIRY data and the back-end
// choice reach the workers' opens too.
T_SIL_OPEN_OPEN_OPTIONS gather_open_options(const create_dev_list& o) {
    T_SIL_OPEN_OPEN_OPTIONS options{};
    options.skip_inquiry = o.skip_inq;
    options.skip_readcap = o.skip_read;
    options.get_geometry = o.gather_geometry;
    options.read_vantrel = o.vantrel;
    options.get_dev_ident = o.get_dev_ident;
    options.use_backend_inquiry_data = o.use_backend_inquiry_data;
    options.get_spoofed_inquiry_data = o.get_spoofed_inquiry_data;
    return options;
}

// The dot, the trace, the skip test and the pseudo-name mapping every device goes through before
// its open. False when the device is to be left alone.
bool prepare_device(std::int32_t index, T_SIL_DEVICE* device, const create_dev_list& o, Dots& dots) {
    dots.one();
    SIL_TRACE(kTraceDevice, "gather inquiry data for device #%d <%s>", index, device->name);
    if (device->skip) {
        SIL_TRACE(SIL_TRACE_INFO, "told to skip this device");
        return false;
    }
    if (o.use_pseudo_names_f && o.pseudo_names != nullptr) {
        for (const T_SIL_PSEUDO_NAME* map = o.pseudo_names; map != nullptr; map = map->next) {
            if (std::strncmp(map->device_name, device->name, sizeof device->name) != 0) continue;
            sil_copy_text(device->name, map->pseudo_name);
            SIL_TRACE(SIL_TRACE_INFO, "XmvInq Mapping to pseudo device name = %s.", device->name);
            break;
        }
    }
    return true;
}

// Forgets, without freeing, every record a device points to: the whole-record copies of the
// service-processor road must never free what the list's record still owns.
void forget_owned(T_SIL_DEVICE& d, bool keep_inquiry) {
    if (!keep_inquiry) d.inquiry_data = nullptr;
    d.drav_device = nullptr;
    d.storwrks_device = nullptr;
    d.hds_device = nullptr;
    d.s80_device = nullptr;
    d.olvessa_device = nullptr;
    d.shark_device = nullptr;
    d.ivantrel_device = nullptr;
    d.hsv_device = nullptr;
    d.netapp_device = nullptr;
    d.backing_device = nullptr;
    d.tp_storage_device = nullptr;
    d.device_identifier = nullptr;
    d.virtual_device_map = nullptr;
    d.vdev_map_count = 0;
    d.path_info = nullptr;
    d.path_info_count = 0;
    d.daemon_conn = nullptr;
    d.rad_buffer = nullptr;
}

// A service-processor device is opened as a copy, which takes the client and its session; the
// list keeps what the open learned. 0, or -101 when no copy could be made.
std::int32_t open_service_processor(T_SIL_DEVICE* device, T_SIL_OPEN_OPEN_OPTIONS options, bool create_client) {
    SIL_TRACE(SIL_TRACE_INFO, "Open/close KORVWIN device = %s to gather inq data.", device->name);
    auto* copy = new (std::nothrow) T_SIL_DEVICE(*device);
    if (copy == nullptr) return SIL_ERR_NO_MEMORY;
    forget_owned(*copy, false);
    if (create_client) options.create_client = 1;
    if (SIL_open_device(copy, &options) != 0) {
        device->open_failed = 1;
        free_device(copy);
        return SIL_OK;
    }
    KOR_INQ_PAGE0* inquiry = nullptr;
    if (copy->inquiry_data != nullptr) {
        inquiry = new (std::nothrow) KOR_INQ_PAGE0(*copy->inquiry_data);
        if (inquiry == nullptr) {
            SIL_closeAndFreeDevice(copy);
            return SIL_ERR_NO_MEMORY;
        }
    }
    free_device_data(device);
    *device = *copy;
    device->inquiry_data = inquiry;
    // The list's record now owns everything but the copy's inquiry data, which goes with the copy.
    forget_owned(*copy, true);
    SIL_closeAndFreeDevice(copy);
    return SIL_OK;
}

std::int32_t open_and_close(T_SIL_DEVICE* device, const T_SIL_OPEN_OPEN_OPTIONS& options, bool create_client) {
    if (std::strstr(device->name, "KORVWIN") != nullptr) return open_service_processor(device, options, create_client);
    if (SIL_open_device(device, &options) != 0) {
        device->open_failed = 1;
    } else {
        SIL_close_device(device, 0);
    }
    return SIL_OK;
}

// One job of the threaded gather; the job owns its record.
struct T_GATHER_JOB {
    T_SIL_DEVICE* device;
    T_SIL_OPEN_OPEN_OPTIONS options;
    std::uint64_t trace_ctx;
};

void SIL_open_device_Thread(void* arg, pds::PdsThrdJobCall call) {
    auto* job = static_cast<T_GATHER_JOB*>(arg);
    if (call == pds::PdsThrdJobCall::discarded) {
        SIL_TRACE(SIL_TRACE_INFO, "SIL_open_device_Thread Job was deleted w/o being run\n");
        delete job;
        return;
    }
    SIL_TRACE(SIL_TRACE_INFO, "Started SIL_open_device_Thread for device %s", job->device->name);
    // A service processor needs its client on the workers too, or its row would differ.
    open_and_close(job->device, job->options, true);
    delete job;
    SIL_TRACE(SIL_TRACE_INFO, "RETURN : SIL_open_device_Thread");
}

// Waits for every added job in index order (a time-out only moves on), then destroys the pool,
// which joins its workers: no job outlives the gather. False when the destroy failed.
bool finish_pool(pds::PdsThrdPool* pool, const std::vector<pds::PdsThrdJob*>& jobs) {
    SIL_TRACE(SIL_TRACE_INFO, "Thread: Waiting for all Jobs to finish");
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (jobs[i] == nullptr) continue;
        SIL_TRACE(SIL_TRACE_INFO, " Checking Job # %d ", static_cast<int>(i));
        if (pds::pdsThrdPoolJobWait(pool, jobs[i], kJobWaitMs) == pds::PDS_THRD_ETIMEDOUT_ERR) {
            SIL_TRACE(SIL_TRACE_ERROR, " Job # %d : pdsThrdPoolJobWait PDS_THRD_ETIMEDOUT_ERR", static_cast<int>(i));
        }
    }
    // A job still queued when the pool goes would be discarded and its device never opened: a few
    // devices that take long (dead ones waiting out their time-outs) must not cost the others
    // their rows. So whatever is not over yet is waited for, however long it takes.
    for (pds::PdsThrdJob* job : jobs) {
        while (job != nullptr && pds::pdsThrdPoolJobWait(pool, job, kJobWaitMs) == pds::PDS_THRD_ETIMEDOUT_ERR) {
        }
    }
    SIL_TRACE(SIL_TRACE_INFO, "Thread: Continue. All Jobs are finished.");
    const int destroyed = pds::pdsThrdPoolDestroy(pool);
    if (destroyed != pds::PDS_THRD_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "Thread Error : pdsThrdPoolDestroy() returned %d . \n", destroyed);
        return false;
    }
    return true;
}

}  // namespace

std::int32_t gather_inquiry_data(T_SIL_DEVICE_LIST* list, const create_dev_list* options, std::uint64_t trace_ctx) {
    SIL_FUNCTION("gather_inquiry_data");
    (void)trace_ctx;
    SIL_TRACE(kTraceGather, "Starting to gather inquiry data for %d devices", list->count);
    if (options->dont_open) {
        SIL_TRACE(SIL_TRACE_INFO, "dont_open is set, returning early");
        SIL_RETURN(SIL_OK);
    }
    const T_SIL_OPEN_OPEN_OPTIONS open_options = gather_open_options(*options);
    Dots dots{options->printf_dots_f != 0};
    for (std::int32_t i = 0; i < list->count; ++i) {
        T_SIL_DEVICE* device = list->devices[i];
        if (device == nullptr || !prepare_device(i, device, *options, dots)) continue;
        if (open_and_close(device, open_options, true) == SIL_ERR_NO_MEMORY) SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    SIL_RETURN(SIL_OK);
}

std::int32_t gather_inquiry_data_threaded(T_SIL_DEVICE_LIST* list, const create_dev_list* options,
                                          std::uint64_t trace_ctx) {
    SIL_FUNCTION("gather_inquiry_data_threaded");
    SIL_TRACE(SIL_TRACE_INFO, "Threaded: Starting to gather inquiry data for %d devices", list->count);
    if (options->dont_open) {
        SIL_TRACE(SIL_TRACE_INFO, "dont_open is set, returning early");
        SIL_RETURN(SIL_OK);
    }
    pds::PdsThrdPool* pool = nullptr;
    const std::uint32_t workers = options->thread_count != 0 ? options->thread_count : kDefaultWorkers;
    const int created = pds::pdsThrdPoolCreate("DEV_POOL", 1, workers, &pool);
    if (created != pds::PDS_THRD_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "Thread Error : pdsThrdPoolCreate returned %d \n", created);
        SIL_RETURN(SIL_ERR_FAILED);
    }
    std::vector<pds::PdsThrdJob*> jobs;
    try {
        jobs.assign(static_cast<std::size_t>(list->count > 0 ? list->count : 0), nullptr);
    } catch (const std::exception&) {
        pds::pdsThrdPoolDestroy(pool);
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    const T_SIL_OPEN_OPEN_OPTIONS open_options = gather_open_options(*options);
    Dots dots{options->printf_dots_f != 0};
    for (std::int32_t i = 0; i < list->count; ++i) {
        T_SIL_DEVICE* device = list->devices[i];
        if (device == nullptr || !prepare_device(i, device, *options, dots)) continue;
        auto* job = new (std::nothrow) T_GATHER_JOB{device, open_options, trace_ctx};
        int added = pds::PDS_THRD_ENOMEM_ERR;
        if (job != nullptr) {
            char job_name[24];
            std::snprintf(job_name, sizeof job_name, "DEV%d", i);
            added = pds::pdsThrdPoolAddJob(pool, job_name, SIL_open_device_Thread, job, &jobs[i]);
        }
        if (added != pds::PDS_THRD_OK) {
            SIL_TRACE(SIL_TRACE_ERROR, "Thread Error : pdsThrdPoolAddJob returned %d . Device# %d \n", added, i);
            delete job;
            // The caller falls back to the serial gather: the jobs already added must be over first.
            finish_pool(pool, jobs);
            SIL_RETURN(SIL_ERR_FAILED);
        }
    }
    SIL_RETURN(finish_pool(pool, jobs) ? SIL_OK : SIL_ERR_FAILED);
}
