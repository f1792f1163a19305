// The SNIA HBA API adapter: the libraries that serve Fibre Channel adapters, one global adapter index over all of them, and the SIL_SNIA_ operations.
#pragma once

#include <cstdint>

#include "hbaapi_types.h"

namespace pds {
class Module;
}

// Statuses of the SIL_SNIA_ operations.
inline constexpr std::int32_t SIL_SNIA_ERR_BAD_INDEX = -112;       // also: a mapping pointer that is not empty
inline constexpr std::int32_t SIL_SNIA_ERR_CALL_FAILED = -1300;    // HBA_CloseAdapter failed; every mapping method failed
inline constexpr std::int32_t SIL_SNIA_ERR_OPEN_FAILED = -1306;
inline constexpr std::int32_t SIL_SNIA_ERR_ATTRIBUTES = -1307;
inline constexpr std::int32_t SIL_SNIA_ERR_NOT_SUPPORTED = -1309;
inline constexpr std::int32_t SIL_SNIA_ERR_NO_LIBRARY = -1311;     // no context, no adapters, library not loaded
inline constexpr std::int32_t SIL_SNIA_ERR_NO_MAPPING = -1327;

inline constexpr int SIL_SNIA_MAX_LIBRARIES = 16;  // slot 0: the common library; 1-15: vendor libraries
inline constexpr std::uint32_t SIL_SNIA_MAX_ADAPTERS = 1024;
inline constexpr std::uint32_t SIL_SNIA_TEXT_LEN = 257;

// States of a library slot.
inline constexpr std::uint32_t SIL_SNIA_LIB_EMPTY = 0;
inline constexpr std::uint32_t SIL_SNIA_LIB_LOADED = 1;       // entry points found
inline constexpr std::uint32_t SIL_SNIA_LIB_INITIALIZED = 2;  // HBA_LoadLibrary succeeded
inline constexpr std::uint32_t SIL_SNIA_LIB_FAILED = 3;

// A library's entry points, in table order; absent ones are null.
struct T_SIL_SNIA_ENTRY_POINTS {
    HBAGetVersionFunc HBA_GetVersion;
    HBALoadLibraryFunc HBA_LoadLibrary;
    HBAGetNumberOfAdaptersFunc HBA_GetNumberOfAdapters;
    HBAGetAdapterNameFunc HBA_GetAdapterName;
    HBAOpenAdapterFunc HBA_OpenAdapter;
    HBACloseAdapterFunc HBA_CloseAdapter;
    HBAGetAdapterAttributesFunc HBA_GetAdapterAttributes;
    HBAGetAdapterPortAttributesFunc HBA_GetAdapterPortAttributes;
    HBARefreshInformationFunc HBA_RefreshInformation;
    HBAGetFcpTargetMappingFunc HBA_GetFcpTargetMapping;
    HBAGetFcpTargetMappingV2Func HBA_GetFcpTargetMappingV2;
    SMHBAGetVersionFunc SMHBA_GetVersion;
    SMHBAGetTargetMappingFunc SMHBA_GetTargetMapping;
};

struct T_SIL_SNIA_LIBRARY {
    char vendor_id[64];   // registry key name; "HBAAPI.DLL" for the common library
    char path[256];       // the file loaded (the loader's resolved path once loaded)
    pds::Module* handle;  // the loaded module, kept whole
    std::uint32_t state;  // SIL_SNIA_LIB_*
    T_SIL_SNIA_ENTRY_POINTS entry;
    std::uint32_t first_index;  // global index of the library's adapter 0
};

struct T_SIL_SNIA_ADAPTER {
    char name[64];        // from HBA_GetAdapterName, or "Unknown"
    std::uint32_t slot;   // library slot serving it
    // The name as the library gave it, for opening: a name cut to 63 characters could match
    // another adapter of the same library.
    char full_name[257];
};

// One per process, built on the first SIL_SNIA_ call and kept until exit.
struct T_SIL_SNIA_CONTEXT {
    T_SIL_SNIA_LIBRARY libraries[SIL_SNIA_MAX_LIBRARIES];
    std::uint8_t common_library_in_use;
    T_SIL_SNIA_ADAPTER adapters[SIL_SNIA_MAX_ADAPTERS];
    std::uint32_t total_adapters;
};

struct T_SIL_SNIA_ADAPTER_ATTRIBUTES {
    char Manufacturer[SIL_SNIA_TEXT_LEN];
    char SerialNumber[SIL_SNIA_TEXT_LEN];
    char Model[SIL_SNIA_TEXT_LEN];
    char ModelDescription[SIL_SNIA_TEXT_LEN];
    std::uint8_t NodeWWN[8];
    char NodeSymbolicName[SIL_SNIA_TEXT_LEN];
    char HardwareVersion[SIL_SNIA_TEXT_LEN];
    char DriverVersion[SIL_SNIA_TEXT_LEN];
    char OptionROMVersion[SIL_SNIA_TEXT_LEN];
    char FirmwareVersion[SIL_SNIA_TEXT_LEN];
    std::uint32_t VendorSpecificID;
    std::uint32_t NumberOfPorts;
    char DriverName[SIL_SNIA_TEXT_LEN];
};

struct T_SIL_SNIA_PORT_ATTRIBUTES {
    std::uint8_t NodeWWN[8];
    std::uint8_t PortWWN[8];
    std::uint32_t PortFcId;
    std::uint32_t PortType;
    std::uint32_t PortState;
    std::uint32_t PortSupportedClassofService;
    std::uint8_t PortSupportedFc4Types[32];
    std::uint8_t PortActiveFc4Types[32];
    char PortSymbolicName[SIL_SNIA_TEXT_LEN];
    char OSDeviceName[SIL_SNIA_TEXT_LEN];
    std::uint32_t PortSupportedSpeed;
    std::uint32_t PortSpeed;
    std::uint32_t PortMaxFrameSize;
    std::uint8_t FabricName[8];
    std::uint32_t NumberofDiscoveredPorts;
};

struct T_SIL_SNIA_TARGET_MAPPING_ENTRY {
    char OSDeviceName[260];  // at most 256 characters
    std::uint32_t ScsiBusNumber;
    std::uint32_t ScsiTargetNumber;
    std::uint32_t ScsiOSLun;
    std::uint8_t PortWWN[8];   // target port
    std::uint64_t FcpLun;      // the target LUN for SM-HBA
    std::uint8_t LUID[256];    // zero from the version-1 call
};

// Allocated by SIL_SNIA_GetTargetMapping, freed by SIL_SNIA_FreeTargetMapping.
struct T_SIL_SNIA_TARGET_MAPPING {
    std::uint32_t count;
    T_SIL_SNIA_TARGET_MAPPING_ENTRY* entries;  // new T_SIL_SNIA_TARGET_MAPPING_ENTRY[count]{}
};

// Handles handed to callers: the common library's own handle, or a vendor library's handle in the
// low 16 bits with its slot in the high 16 bits.
using SIL_SNIA_HANDLE = std::uint32_t;

std::int32_t SIL_SNIA_GetNumberOfAdapters(std::uint32_t* count);
std::int32_t SIL_SNIA_GetAdapterName(std::uint32_t index, char* text, std::uint32_t text_size);
std::int32_t SIL_SNIA_OpenAdapter(SIL_SNIA_HANDLE* handle, std::uint32_t index);
std::int32_t SIL_SNIA_CloseAdapter(SIL_SNIA_HANDLE* handle);
std::int32_t SIL_SNIA_GetAdapterAttributes(SIL_SNIA_HANDLE handle, T_SIL_SNIA_ADAPTER_ATTRIBUTES* attributes);
std::int32_t SIL_SNIA_GetAdapterPortAttributes(SIL_SNIA_HANDLE handle, std::uint32_t port,
                                               T_SIL_SNIA_PORT_ATTRIBUTES* attributes);
std::int32_t SIL_SNIA_GetTargetMapping(SIL_SNIA_HANDLE handle, std::uint32_t port, T_SIL_SNIA_TARGET_MAPPING** mapping);
std::int32_t SIL_SNIA_FreeTargetMapping(T_SIL_SNIA_TARGET_MAPPING** mapping);

// The library self-test's choice of the common library, made before the context is built:
// 1 on, 0 off, -1 (the default) as the environment says.
void SIL_SNIA_SetUseHbaApiLibrary(std::int32_t use);
// The context, built on first use (thread-safe); nullptr when it could not be built. Read only.
const T_SIL_SNIA_CONTEXT* SIL_SNIA_GetContext();
