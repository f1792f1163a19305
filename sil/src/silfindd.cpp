// Device discovery: SIL_CreateDeviceList and SIL_DestroyDeviceList, and the scan list the name sources fill.
#include "silfindd.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "sildebug.h"
#include "silfindd_int.h"
#include "silinitl.h"

namespace {

constexpr std::uint32_t kTraceDefaults = 0x1000401;
constexpr std::uint32_t kTraceScanList = 0x1000C01;
constexpr std::uint32_t kTraceWarning = 0xC00401;

void collect_names(T_SCAN_LIST* scan, const create_dev_list& o, std::uint64_t trace_ctx) {
    if (o.get_win_volumes) {
        get_win_volumes(scan, &o, trace_ctx);
        return;
    }
    if (o.query_scan_dir) SIL_TRACE(SIL_TRACE_INFO, "Scanning directories is not supported on this platform");
    if (o.query_os_db) os_specific_scan_for_devices(scan, &o, trace_ctx);
    if (o.query_strand_way) query_strandway(scan, trace_ctx);
    if (o.query_registry) query_registry(scan, trace_ctx);
}

void gather(T_SIL_DEVICE_LIST* list, const create_dev_list& o, std::uint64_t trace_ctx) {
    // The device identifier is built on the caller's thread only.
    if (o.use_threads && o.get_dev_ident == 0) {
        if (gather_inquiry_data_threaded(list, &o, trace_ctx) < 0) {
            SIL_TRACE(kTraceDefaults, "Threads Are not Supported on this system, Using Serial Version");
            gather_inquiry_data(list, &o, trace_ctx);
        } else {
            SIL_TRACE(0x1000000, "Using gather_inquiry_data_threaded");
        }
    } else {
        gather_inquiry_data(list, &o, trace_ctx);
    }
}

}  // namespace

std::int32_t add_device_to_list(T_SCAN_LIST* scan, const char* name, T_SIL_DEVICE** device,
                                std::uint64_t trace_ctx) {
    SIL_FUNCTION("add_device_to_list");
    if (device != nullptr) *device = nullptr;
    if (scan == nullptr || name == nullptr || device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    // Compared as it would be stored, so that a name longer than the field is not listed twice.
    char stored[SIL_DEVICE_NAME_LEN];
    sil_copy_text(stored, name);
    // The index holds the first record of each name in the chain, which is the one a walk from
    // the head would find; every node the chain holds has its record (only this function adds).
    if (const auto found = scan->names.find(stored); found != scan->names.end()) {
        if (found->second == nullptr) {
            SIL_TRACE(SIL_TRACE_ERROR, "list_scanner->device is unexpectantly null, aborting");
            SIL_RETURN(SIL_SCAN_BROKEN_CHAIN);
        }
        SIL_TRACE(kTraceScanList, "Adding device <%s> to list, but found a matching device already in list", name);
        *device = found->second;
        SIL_RETURN(SIL_SCAN_ALREADY_LISTED);
    }
    SIL_TRACE(kTraceScanList, "Adding device <%s> to list", name);
    if (scan->max_devices >= 1 && scan->count >= scan->max_devices) {
        SIL_TRACE(SIL_TRACE_INFO, "the list is full");
        SIL_RETURN(SIL_SCAN_LIST_FULL);
    }
    auto* node = new (std::nothrow) T_SCAN_NODE{};
    auto* record = new (std::nothrow) T_SIL_DEVICE{};
    if (node == nullptr || record == nullptr) {
        delete node;
        delete record;
        SIL_TRACE(SIL_TRACE_ERROR, "Calloc failed");
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    try {
        scan->names.emplace(stored, record);
    } catch (const std::exception&) {
        delete node;
        delete record;
        SIL_TRACE(SIL_TRACE_ERROR, "Calloc failed");
        SIL_RETURN(SIL_ERR_NO_MEMORY);
    }
    node->device = record;
    if (scan->tail != nullptr) {
        scan->tail->next = node;
    } else {
        scan->head = node;
    }
    scan->tail = node;
    ++scan->count;
    sil_copy_text(record->name, stored);
    record->trace_ctx = trace_ctx;
    *device = record;
    SIL_RETURN(SIL_SCAN_ADDED);
}

void sil_free_scan_list(T_SCAN_LIST* scan) {
    if (scan == nullptr) return;
    for (T_SCAN_NODE* node = scan->head; node != nullptr;) {
        T_SCAN_NODE* next = node->next;
        free_device(node->device);
        delete node;
        node = next;
    }
    scan->head = nullptr;
    scan->tail = nullptr;
    scan->count = 0;
    scan->names.clear();
}

std::int32_t sil_scan_list_renamed(T_SCAN_LIST* scan, T_SIL_DEVICE* device, const char* old_name) {
    if (const auto was = scan->names.find(old_name); was != scan->names.end() && was->second == device) {
        scan->names.erase(was);
    }
    try {
        // An earlier record of the new name stays the one found: it comes first in the chain.
        scan->names.emplace(device->name, device);
    } catch (const std::exception&) {
        return SIL_ERR_NO_MEMORY;
    }
    return SIL_OK;
}

std::int32_t convert_ll_to_user_array(T_SIL_DEVICE_LIST* list, T_SCAN_LIST* scan, std::uint64_t trace_ctx) {
    SIL_FUNCTION("convert_ll_to_user_array");
    (void)trace_ctx;
    if (list == nullptr || scan == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    *list = T_SIL_DEVICE_LIST{};
    const std::int32_t count = scan->count > 0 ? scan->count : 0;
    constexpr int kRecordSize = static_cast<int>(sizeof(T_SIL_DEVICE));
    SIL_TRACE(SIL_TRACE_INFO, "device count=%d device size=%d estimated memory used=%d", count, kRecordSize,
              count * (kRecordSize + 8));
    list->devices = new (std::nothrow) T_SIL_DEVICE*[count > 0 ? count : 1]{};
    if (list->devices == nullptr) SIL_RETURN(SIL_ERR_NO_MEMORY);
    for (T_SCAN_NODE* node = scan->head; node != nullptr; node = node->next) {
        if (list->count >= count) {
            SIL_TRACE(kTraceWarning, "actual array is bigger than device count");
            break;
        }
        SIL_TRACE(SIL_TRACE_INFO, "filling in device #%d name=<%s>", list->count,
                  node->device != nullptr ? node->device->name : "");
        list->devices[list->count++] = node->device;
        node->device = nullptr;  // the list owns it now
    }
    SIL_TRACE(SIL_TRACE_INFO, "done filling in linked list");
    sil_free_scan_list(scan);
    SIL_RETURN(SIL_OK);
}

namespace {

// Without administrator rights Windows refuses every disk; one line says why, after the status
// dots when there were any, and once per process: the rebuilds of a -loop run do not repeat it.
void say_when_every_disk_open_denied(bool after_dots) {
    static std::atomic<bool> said{false};
    if (!sil_every_disk_open_denied()) return;
    SIL_TRACE(SIL_TRACE_ERROR, "every disk open was refused with access denied");
    if (said.exchange(true)) return;
    std::fprintf(stderr, "%slunscan needs administrator rights to open disks\n", after_dots ? "\n" : "");
    std::fflush(stderr);
}

}  // namespace

void SIL_BeginNamedDeviceOpens() { sil_disk_opens_reset(); }

void SIL_EndNamedDeviceOpens() { say_when_every_disk_open_denied(false); }

std::int32_t SIL_CreateDeviceList(T_SIL_DEVICE_LIST* list, const create_dev_list* options,
                                  std::uint64_t trace_ctx) {
    SIL_FUNCTION("SIL_CreateDeviceList");
    if (list == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    create_dev_list o = options != nullptr ? *options : create_dev_list{};
    if (!o.query_registry) {
        if (o.sort == 0) o.sort = 1;
        if (!o.query_strand_way && !o.query_scan_dir && !o.query_os_db) {
            o.query_os_db = 1;
            o.query_strand_way = 1;
            SIL_TRACE(kTraceDefaults, "Using OS defaults of os=%d dir=%d mp=%d", 1, 0, 1);
        } else {
            SIL_TRACE(kTraceDefaults, "User specified os=%d dir=%d mp=%d", o.query_os_db, o.query_scan_dir,
                      o.query_strand_way);
        }
    }

    sil_disk_opens_reset();
    if (!o.user_supplied_device_list) {
        *list = T_SIL_DEVICE_LIST{};
        T_SCAN_LIST scan{nullptr, nullptr, 0, o.max_devices};
        collect_names(&scan, o, trace_ctx);
        if (convert_ll_to_user_array(list, &scan, trace_ctx) != SIL_OK) sil_free_scan_list(&scan);
    }
    if (list->devices == nullptr) {
        // Without memory for even the array, the caller still gets a list it can destroy.
        list->devices = new (std::nothrow) T_SIL_DEVICE*[1]{};
        list->count = 0;
    }

    // The word made of cache_override, get_win_volumes and use_threads (and a byte the record
    // leaves unused) says whether the caller's context is wanted.
    const bool hand_out_context = o.cache_override != 0 || o.get_win_volumes != 0 || o.use_threads != 0;
    for (std::int32_t i = 0; i < list->count; ++i) {
        T_SIL_DEVICE* device = list->devices[i];
        if (device == nullptr) continue;
        device->trace_ctx = trace_ctx;
        if (o.caller_ctx != 0 && hand_out_context) device->caller_ctx = o.caller_ctx;
    }

    if (!o.query_only) gather(list, o, trace_ctx);
    say_when_every_disk_open_denied(o.printf_dots_f != 0 && list->count > 0);
    SIL_TRACE(kTraceDefaults, "find_alternate_inquiry_data is not supported on this platform");

    std::int32_t result = SIL_OK;
    if (!o.skip_postprocess) result = SIL_DLP_Postprocess(list, &o, trace_ctx);
    SIL_RETURN(result);
}

// The count and the array pointer stay as they were: the list is not to be used again.
std::int32_t SIL_DestroyDeviceList(T_SIL_DEVICE_LIST* list) {
    SIL_FUNCTION("SIL_DestroyDeviceList");
    if (list == nullptr || list->devices == nullptr) SIL_RETURN(SIL_ERR_FAILED);
    for (std::int32_t i = 0; i < list->count; ++i) {
        if (list->devices[i] != nullptr) free_device(list->devices[i]);
    }
    delete[] list->devices;
    SIL_RETURN(SIL_OK);
}
