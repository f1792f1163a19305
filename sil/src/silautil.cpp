// Replication discovery: SIL_GetRpxInfo and SIL_FreeRpxInfo.
#include "silautil.h"

#include "sildebug.h"
#include "silinitl.h"

// Temporary: no array can be asked yet, so the gather fails; filled in when the array system calls
// and the replication discovery arrive.
std::int32_t SIL_GetRpxInfo(T_SIL_DEVICE_LIST* list, T_SIL_RPX_INFO** info) {
    SIL_FUNCTION("SIL_GetRpxInfo");
    if (info != nullptr) *info = nullptr;
    SIL_RETURN(SIL_ERR_FAILED);
}

std::int32_t SIL_FreeRpxInfo(T_SIL_RPX_INFO** info) {
    SIL_FUNCTION("SIL_FreeRpxInfo");
    if (info == nullptr) SIL_RETURN(-1);
    if (*info == nullptr) SIL_RETURN(-2);
    *info = nullptr;  // nothing is ever gathered yet
    SIL_RETURN(SIL_OK);
}
