// The midrange array's and the virtualisation product's page decoders (pages 00, C0, 80/FE, 83/FF, 85).
#include "silinqut.h"
#include "sildebug.h"

// Temporary bodies: answer "nothing decoded" until the decoders are written.
namespace {
std::int32_t decoder_not_yet_available(const char* name) {
    SIL_FUNCTION(name);
    SIL_RETURN(0);
}
}  // namespace

std::int32_t SIL_Get_Dravonis_Info(T_SIL_DEVICE*) { return decoder_not_yet_available("SIL_Get_Dravonis_Info"); }
std::int32_t SIL_Get_Meshvar_Info(T_SIL_DEVICE*) { return decoder_not_yet_available("SIL_Get_Meshvar_Info"); }
