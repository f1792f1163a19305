// The standard INQUIRY page formatter the page-0 report prints with.
#pragma once

#include <cstdint>
#include <span>

#include "sildevice.h"

// Prints `page` (the standard INQUIRY data, laid out as KOR_INQ_PAGE0) as labelled lines on the
// library output stream, in the layout of the device's family. `virtual_flag` lets a virtual disk's
// back-end type choose the layout. The reserved arguments do not change the output. Returns 0.
std::int32_t FormatStandardPage00(std::span<const std::uint8_t> page, const T_SIL_DEVICE* device,
                                  void* reserved1, void* reserved2, int virtual_flag);
