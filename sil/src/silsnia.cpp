// The SNIA HBA API adapter: library loading, the global adapter index and the SIL_SNIA_ operations.
//
// Temporary: no library is loaded yet, so every operation answers that none is there; filled in
// with the adapter libraries.
#include "silsnia.h"

std::int32_t SIL_SNIA_GetNumberOfAdapters(std::uint32_t* count) {
    if (count != nullptr) *count = 0;
    return SIL_SNIA_ERR_NO_LIBRARY;
}
std::int32_t SIL_SNIA_GetAdapterName(std::uint32_t, char*, std::uint32_t) { return SIL_SNIA_ERR_NO_LIBRARY; }
std::int32_t SIL_SNIA_OpenAdapter(SIL_SNIA_HANDLE*, std::uint32_t) { return SIL_SNIA_ERR_NO_LIBRARY; }
std::int32_t SIL_SNIA_CloseAdapter(SIL_SNIA_HANDLE* handle) {
    if (handle != nullptr) *handle = 0;
    return SIL_SNIA_ERR_NO_LIBRARY;
}
std::int32_t SIL_SNIA_GetAdapterAttributes(SIL_SNIA_HANDLE, T_SIL_SNIA_ADAPTER_ATTRIBUTES*) { return SIL_SNIA_ERR_NO_LIBRARY; }
std::int32_t SIL_SNIA_GetAdapterPortAttributes(SIL_SNIA_HANDLE, std::uint32_t, T_SIL_SNIA_PORT_ATTRIBUTES*) {
    return SIL_SNIA_ERR_NO_LIBRARY;
}
std::int32_t SIL_SNIA_GetTargetMapping(SIL_SNIA_HANDLE, std::uint32_t, T_SIL_SNIA_TARGET_MAPPING**) {
    return SIL_SNIA_ERR_NO_LIBRARY;
}
std::int32_t SIL_SNIA_FreeTargetMapping(T_SIL_SNIA_TARGET_MAPPING** mapping) {
    if (mapping == nullptr || *mapping == nullptr) return -105;
    delete[] (*mapping)->entries;
    delete *mapping;
    *mapping = nullptr;
    return 0;
}
void SIL_SNIA_SetUseHbaApiLibrary(std::int32_t) {}
const T_SIL_SNIA_CONTEXT* SIL_SNIA_GetContext() { return nullptr; }
