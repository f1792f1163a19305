// The device list builder's inner pieces: the scan list, the name sources, the gathers and the post-processing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "sildevice.h"
#include "silfindd.h"

// One collected name: the record it owns and the next node.
struct T_SCAN_NODE {
    T_SIL_DEVICE* device;
    T_SCAN_NODE* next;
};

// The names collected before the list exists, in insertion order without duplicates.
struct T_SCAN_LIST {
    T_SCAN_NODE* head;
    T_SCAN_NODE* tail;
    std::int32_t count;
    std::int32_t max_devices;  // 0: no limit
    // Each name of the chain to its first record, so that a SAN host's thousands of names are not
    // each compared with all before them.
    std::unordered_map<std::string, T_SIL_DEVICE*> names{};
};

// add_device_to_list results.
inline constexpr std::int32_t SIL_SCAN_ADDED = 0;
inline constexpr std::int32_t SIL_SCAN_ALREADY_LISTED = 1;
inline constexpr std::int32_t SIL_SCAN_LIST_FULL = 2;
inline constexpr std::int32_t SIL_SCAN_BROKEN_CHAIN = -2;

// Adds a zero-filled record named `name` (at most 80 characters kept) at the end of the chain.
// 0 added, 1 the name was listed already (`*device` = that record), 2 the list is full, -2 a
// node without a record, -101 out of memory.
std::int32_t add_device_to_list(T_SCAN_LIST* scan, const char* name, T_SIL_DEVICE** device,
                                std::uint64_t trace_ctx);
// Moves the chain's records into `list` (which it zeroes first) and frees the nodes. 0 or -101.
// After the record `device` (the chain's last) was renamed from `old_name`: finds it by its new name.
// 0, or -101 out of memory.
std::int32_t sil_scan_list_renamed(T_SCAN_LIST* scan, T_SIL_DEVICE* device, const char* old_name);
std::int32_t convert_ll_to_user_array(T_SIL_DEVICE_LIST* list, T_SCAN_LIST* scan, std::uint64_t trace_ctx);
// Frees the nodes and the records they still own (after a conversion nothing is left).
void sil_free_scan_list(T_SCAN_LIST* scan);

// ---- name sources ---------------------------------------------------------------------------------
// The present disk interfaces, each named by its storage device number. -4 after a finished
// enumeration; -3, -5, -6, -7 when it could not run; a negative add result.
std::int32_t os_specific_scan_for_devices(T_SCAN_LIST* scan, const create_dev_list* options,
                                          std::uint64_t trace_ctx);
// The multipathing driver's pseudo devices. 0, the driver's error code, or a negative add result.
std::int32_t query_strandway(T_SCAN_LIST* scan, std::uint64_t trace_ctx);
// The service-processor instances registered on this host (at most four entries in the list).
std::int32_t query_registry(T_SCAN_LIST* scan, std::uint64_t trace_ctx);
// The fixed volumes, one entry each, named by their physical drive. 0, -1, or a negative add result.
std::int32_t get_win_volumes(T_SCAN_LIST* scan, const create_dev_list* options, std::uint64_t trace_ctx);
// The size of the volume whose handle is in `fid`, into `win_vol_cap`. 0 or -8.
std::int32_t SIL_GetWinVolCapacity(T_SIL_DEVICE* device);

// The name the multipathing driver's library gives its result code ("UNKNOWN" for others).
std::string_view sil_mp_error_name(std::uint32_t code);

// ---- gather ---------------------------------------------------------------------------------------
// Opens every device of the list once (INQUIRY, capacity, identification). 0 or -101.
std::int32_t gather_inquiry_data(T_SIL_DEVICE_LIST* list, const create_dev_list* options, std::uint64_t trace_ctx);
// The same on the thread pool "DEV_POOL". 0, -1 when the pool failed, -101.
std::int32_t gather_inquiry_data_threaded(T_SIL_DEVICE_LIST* list, const create_dev_list* options,
                                          std::uint64_t trace_ctx);

// ---- post-processing --------------------------------------------------------------------------------
// Relations, the Veritas filter, sorting, major/minor numbers, the virtualisation hook. 0 or -181.
std::int32_t SIL_DLP_Postprocess(T_SIL_DEVICE_LIST* list, const create_dev_list* options, std::uint64_t trace_ctx);
// Finds paths of one logical unit and records their multipath, Veritas or native relation.
std::int32_t analyze_parent_child_relations(T_SIL_DEVICE_LIST* list, std::uint64_t trace_ctx);
// Drops Veritas DMP devices the volume manager does not list. 0, -101 or -108.
std::int32_t filter_veritas_device_names(T_SIL_DEVICE_LIST* list, std::uint64_t trace_ctx);
