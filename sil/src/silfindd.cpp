// Device discovery: SIL_CreateDeviceList and SIL_DestroyDeviceList.
#include "silfindd.h"

#include "sildebug.h"
#include "silinitl.h"

// Temporary: the list is built empty (zero devices); filled in when discovery and open arrive.
std::int32_t SIL_CreateDeviceList(T_SIL_DEVICE_LIST* list, const create_dev_list* options,
                                  std::uint64_t trace_ctx) {
    SIL_FUNCTION("SIL_CreateDeviceList");
    if (list == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    *list = T_SIL_DEVICE_LIST{new T_SIL_DEVICE*[1]{}, 0};
    SIL_RETURN(SIL_OK);
}

std::int32_t SIL_DestroyDeviceList(T_SIL_DEVICE_LIST* list) {
    SIL_FUNCTION("SIL_DestroyDeviceList");
    if (list == nullptr || list->devices == nullptr) SIL_RETURN(SIL_ERR_FAILED);
    for (std::int32_t i = 0; i < list->count; ++i) {
        if (list->devices[i] != nullptr) free_device(list->devices[i]);
    }
    delete[] list->devices;
    list->devices = nullptr;
    list->count = 0;
    SIL_RETURN(SIL_OK);
}
