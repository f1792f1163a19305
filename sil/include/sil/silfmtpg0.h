// The standard INQUIRY page formatter and the library services the page detail reports print with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "sildevice.h"

// Prints `page` (the standard INQUIRY data, laid out as KOR_INQ_PAGE0) as labelled lines on the
// library output stream, in the layout of the device's family. `virtual_flag` lets a virtual disk's
// back-end type choose the layout. Only the bytes of `page` are read: a field past its end prints as
// zeros. The reserved arguments do not change the output. Returns 0.
std::int32_t FormatStandardPage00(std::span<const std::uint8_t> page, const T_SIL_DEVICE* device,
                                  void* reserved1, void* reserved2, int virtual_flag);

// ---- library services the page reports use (defined with the INQUIRY code and the trace) --------

// INQUIRY with EVPD of `page` into `buffer` (`length` bytes cleared first; at most 255 asked for).
std::int32_t get_evpd_page(T_SIL_DEVICE* device, std::uint8_t page, std::uint8_t* buffer, std::uint32_t length);

// Reads the VPD page whose code the caller put in buffer[1] (`fetch` set) into `buffer`, which
// must hold SIL_KORV_EVPD_LENGTH (144) bytes. Prints the vendor page header (pages 0xC0 and above)
// while tracing. A CKD device of the high-end array is not asked (0). `force_dump` switches the
// transport's data dump on for the rest of the process. The reserved arguments are ignored.
std::int32_t GetKorvalithEVPDPage(T_SIL_DEVICE* device, void* reserved1, std::uint8_t* buffer, void* reserved2,
                                  int fetch, int force_dump);

// Hex dump of `length` bytes, 16 a row with offsets and a character column, on the library output
// stream (and to extra_file when given). compare: 1 marks bytes that differ from compare_data with
// "*". 0, or -1 on bad arguments.
int sil_hex_dump(std::size_t length, const void* data, int compare, const void* compare_data,
                 std::FILE* extra_file);
