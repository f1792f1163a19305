// The page decoders of the other makes: StorageWorks, HDS/HP, S80, Shark, HSV, NetApp, virtual disks and the NAS iSCSI LUN.
#include "silinqut.h"
#include "sildebug.h"

// Temporary bodies: answer "nothing decoded" until the decoders are written.
namespace {
std::int32_t decoder_not_yet_available(const char* name) {
    SIL_FUNCTION(name);
    SIL_RETURN(0);
}
}  // namespace

std::int32_t SIL_Get_StorWrks_Info(T_SIL_DEVICE*) { return decoder_not_yet_available("SIL_Get_StorWrks_Info"); }
std::int32_t SIL_Get_Hds_Info(T_SIL_DEVICE*) { return decoder_not_yet_available("SIL_Get_Hds_Info"); }
std::int32_t SIL_Get_S80_Info(T_SIL_DEVICE*) { return decoder_not_yet_available("SIL_Get_S80_Info"); }
std::int32_t SIL_Get_IBM_Shark_Info(T_SIL_DEVICE*) { return decoder_not_yet_available("SIL_Get_IBM_Shark_Info"); }
std::int32_t SIL_Get_iVantrel_Info(T_SIL_DEVICE*) { return decoder_not_yet_available("SIL_Get_iVantrel_Info"); }
std::int32_t SIL_Get_Compaq_HSV_Info(T_SIL_DEVICE*) { return decoder_not_yet_available("SIL_Get_Compaq_HSV_Info"); }
std::int32_t SIL_Get_Netapp_Info(T_SIL_DEVICE*) { return decoder_not_yet_available("SIL_Get_Netapp_Info"); }
std::int32_t SIL_Get_TPStorage_Info(T_SIL_DEVICE*) { return decoder_not_yet_available("SIL_Get_TPStorage_Info"); }
