// Adapter discovery: the HBA and iSCSI list builders and releases.
//
// Temporary: both builders hand back an empty list; filled in when the HBA API and the iSCSI
// registry scan arrive.
#include "silfinda.h"

#include "sildebug.h"
#include "silinitl.h"

namespace {

template <typename Record>
void destroy_records(Record**& records, std::int32_t& count) {
    for (std::int32_t i = 0; i < count; ++i) delete records[i];
    delete[] records;
    records = nullptr;
    count = 0;
}

}  // namespace

std::int32_t SIL_CreateHBAList(T_SIL_HBA_LIST* list, const T_SIL_HBA_OPTIONS* options,
                               std::uint32_t verbose) {
    SIL_FUNCTION("SIL_CreateHBAList");
    if (list == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    *list = T_SIL_HBA_LIST{new T_SIL_HBA*[1]{}, 0};
    SIL_RETURN(SIL_OK);
}

std::int32_t SIL_DestroyHBAList(T_SIL_HBA_LIST* list) {
    SIL_FUNCTION("SIL_DestroyHBAList");
    if (list == nullptr || list->hbas == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    for (std::int32_t i = 0; i < list->count; ++i) {
        T_SIL_HBA* hba = list->hbas[i];
        if (hba == nullptr) continue;
        for (T_SIL_HBA_PORT* port : hba->ports) {
            if (port == nullptr) continue;
            if (port->target_mapping != nullptr) delete[] port->target_mapping->entries;
            delete port->target_mapping;
            delete port;
        }
    }
    destroy_records(list->hbas, list->count);
    SIL_RETURN(SIL_OK);
}

std::int32_t SIL_CreateISCSIList(T_SIL_ISCSI_LIST* list, const T_SIL_HBA_OPTIONS* options,
                                 std::uint32_t verbose) {
    SIL_FUNCTION("SIL_CreateISCSIList");
    if (list == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    *list = T_SIL_ISCSI_LIST{new T_SIL_ISCSI*[1]{}, 0};
    SIL_RETURN(SIL_OK);
}

std::int32_t SIL_DestroyISCSIList(T_SIL_ISCSI_LIST* list) {
    SIL_FUNCTION("SIL_DestroyISCSIList");
    if (list == nullptr || list->iscsis == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    destroy_records(list->iscsis, list->count);
    SIL_RETURN(SIL_OK);
}

std::int32_t SIL_LookupTargetMapping(const T_SIL_HBA_LIST* list, T_SIL_HBA_TARGET_LOOKUP* lookup) {
    SIL_FUNCTION("SIL_LookupTargetMapping");
    SIL_RETURN(SIL_HBA_ERR_NO_MATCH);  // no adapter carries mappings yet
}
