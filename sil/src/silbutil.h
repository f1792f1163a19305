// Sorting and small utilities of the device list: SIL_qsort, the list comparators and get_major_minor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sildevice.h"

// A comparator in the C library's style: negative, zero or positive.
using SIL_COMPARE_FUNC = int (*)(const void* a, const void* b);

// Sorts `count` elements of `element_size` bytes at `base` in place. The quicksort is not stable
// and its exact treatment of equal elements is part of the list order callers see: the median of
// three becomes the pivot at the range's end, the scans stop on equal keys, and the smaller side
// is sorted first. 0, or -101 when the swap buffer cannot be had.
std::int32_t SIL_qsort(void* base, std::size_t count, std::size_t element_size, SIL_COMPARE_FUNC compare,
                       std::uint64_t trace_ctx);

// Comparators over two device-list entries (each a T_SIL_DEVICE* in the list's array).
// Natural order of the names: "PHYSICALDRIVE2" before "PHYSICALDRIVE10".
int sort_device_name(const void* a, const void* b);
// The array serial (`korid`), byte-wise over 12 bytes.
int sort_korv_serial_num(const void* a, const void* b);
// The INQUIRY serial text (bytes 36-43); devices without INQUIRY data first.
int sort_device_serial_num(const void* a, const void* b);

// The natural comparison of two device names, as sort_device_name applies it.
int sil_compare_device_names(const char* a, const char* b);

// `major` from the number at the first decimal digit of `name`, `minor` 0; both -1 for a name
// without digits. 0, or -105 without a device.
std::int32_t get_major_minor(T_SIL_DEVICE* device);
