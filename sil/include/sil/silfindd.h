// The device list: the list-building options record, T_SIL_DEVICE_LIST and its builder and release.
#pragma once

#include <cstdint>

#include "sildevice.h"

// The pointer array is allocated with new T_SIL_DEVICE*[n] (at least one slot, so an empty list
// still has one); SIL_DestroyDeviceList frees every record with free_device and the array with
// delete[].
struct T_SIL_DEVICE_LIST {
    T_SIL_DEVICE** devices;  // the entries, owned by the list
    std::int32_t count;
};

// A name mapping applied when use_pseudo_names_f is set.
struct T_SIL_PSEUDO_NAME {
    T_SIL_PSEUDO_NAME* next;
    char device_name[SIL_DEVICE_NAME_LEN];
    char pseudo_name[SIL_DEVICE_NAME_LEN];
};

// Credentials for a virtualisation host.
struct T_SIL_VM_CREDENTIALS {
    char server[256];
    char user[128];
    char password[128];
};

// The list-building options record. SIL_CreateDeviceList works on a copy.
struct create_dev_list {
    std::uint8_t dont_open;
    std::uint8_t skip_read;
    std::uint8_t skip_inq;
    std::uint8_t query_only;
    std::uint8_t query_strand_way;
    std::uint8_t query_scan_dir;
    std::uint8_t query_os_db;
    std::uint8_t query_registry;
    std::uint8_t pass_thru_inq_only;
    std::uint8_t pass_thru_readcap_only;
    std::int16_t sort;
    std::uint8_t printf_dots_f;
    std::int32_t max_devices;
    std::uint8_t use_pseudo_names_f;
    T_SIL_PSEUDO_NAME* pseudo_names;
    std::uint8_t extra_effort_f;
    std::uint8_t xmv_devices_only;
    std::uint8_t vantrel;
    std::uint8_t sid;
    std::uint8_t user_supplied_device_list;
    std::uint8_t dont_use_device_locks;
    std::uint8_t find_major_minor;
    std::uint8_t gather_geometry;
    std::uintptr_t caller_ctx;
    std::uint8_t cache_override;
    std::uint8_t get_win_volumes;
    std::uint8_t use_threads;
    std::uint32_t thread_count;
    std::uint8_t skip_physicaldrive0;
    std::uint8_t skip_postprocess;
    std::uint16_t get_dev_ident;
    std::uint8_t vm_guest_os;
    T_SIL_VM_CREDENTIALS vm_credentials;
    std::uint8_t use_backend_inquiry_data;
    std::uint8_t vm_server;
    std::uint8_t fail_on_vm_error;
    std::uint8_t hyperv_guest_os;
    std::uint8_t get_spoofed_inquiry_data;
};

// Builds the device list. options may be null (defaults). Returns the post-processing status.
std::int32_t SIL_CreateDeviceList(T_SIL_DEVICE_LIST* list, const create_dev_list* options,
                                  std::uint64_t trace_ctx);
// Frees every record and the array. 0, or -1 when the list has no devices array.
std::int32_t SIL_DestroyDeviceList(T_SIL_DEVICE_LIST* list);
// A caller that opens a list of named devices itself (SIL_open_device on each) brackets the opens
// with these, as SIL_CreateDeviceList does its own: when every disk open in between was refused
// with access denied, the end says on standard error that lunscan needs administrator rights (once
// per process, whichever list said it first).
void SIL_BeginNamedDeviceOpens();
void SIL_EndNamedDeviceOpens();
