// Replication discovery: the gatherer of the replication picture and its release.
#pragma once

#include <cstdint>

#include "silfindd.h"

// The replication picture; its layout arrives with the replication discovery.
struct T_SIL_RPX_INFO;

// Gathers the picture of the high-end arrays the list reaches. 0 with *info set, else negative.
std::int32_t SIL_GetRpxInfo(T_SIL_DEVICE_LIST* list, T_SIL_RPX_INFO** info);
// Frees *info and empties the pointer. 0; -1 without an address; -2 when already empty.
std::int32_t SIL_FreeRpxInfo(T_SIL_RPX_INFO** info);
