// The published SNIA HBA API (FC-HBA with the SM-HBA extension): the C types, status codes and entry-point tables lunscan uses, laid out as published.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef std::uint8_t HBA_UINT8;
typedef char HBA_INT8;
typedef std::uint16_t HBA_UINT16;
typedef std::uint32_t HBA_UINT32;
typedef std::int32_t HBA_INT32;
typedef std::int64_t HBA_INT64;
typedef std::uint64_t HBA_UINT64;
typedef HBA_UINT32 HBA_HANDLE;
typedef HBA_UINT32 HBA_STATUS;

#define HBA_STATUS_OK 0
#define HBA_STATUS_ERROR 1
#define HBA_STATUS_ERROR_NOT_SUPPORTED 2
#define HBA_STATUS_ERROR_INVALID_HANDLE 3
#define HBA_STATUS_ERROR_ARG 4
#define HBA_STATUS_ERROR_ILLEGAL_WWN 5
#define HBA_STATUS_ERROR_ILLEGAL_INDEX 6
#define HBA_STATUS_ERROR_MORE_DATA 7
#define HBA_STATUS_ERROR_STALE_DATA 8
// The status the library's own wrappers give when a library was never initialised.
#define HBA_STATUS_ERROR_NOT_LOADED 31

typedef HBA_UINT32 HBA_PORTTYPE;
typedef HBA_UINT32 HBA_PORTSTATE;
typedef HBA_UINT32 HBA_PORTSPEED;
typedef HBA_UINT32 HBA_COS;

#define HBA_PORTSPEED_NOT_NEGOTIATED (1u << 15)

typedef struct HBA_fc4types {
    HBA_UINT8 bits[32];
} HBA_FC4TYPES;

typedef struct HBA_wwn {
    HBA_UINT8 wwn[8];
} HBA_WWN;

typedef struct hba_AdapterAttributes {
    char Manufacturer[64];
    char SerialNumber[64];
    char Model[256];
    char ModelDescription[256];
    HBA_WWN NodeWWN;
    char NodeSymbolicName[256];
    char HardwareVersion[256];
    char DriverVersion[256];
    char OptionROMVersion[256];
    char FirmwareVersion[256];
    HBA_UINT32 VendorSpecificID;
    HBA_UINT32 NumberOfPorts;
    char DriverName[256];
} HBA_ADAPTERATTRIBUTES;

typedef struct HBA_PortAttributes {
    HBA_WWN NodeWWN;
    HBA_WWN PortWWN;
    HBA_UINT32 PortFcId;
    HBA_PORTTYPE PortType;
    HBA_PORTSTATE PortState;
    HBA_COS PortSupportedClassofService;
    HBA_FC4TYPES PortSupportedFc4Types;
    HBA_FC4TYPES PortActiveFc4Types;
    char PortSymbolicName[256];
    char OSDeviceName[256];
    HBA_PORTSPEED PortSupportedSpeed;
    HBA_PORTSPEED PortSpeed;
    HBA_UINT32 PortMaxFrameSize;
    HBA_WWN FabricName;
    HBA_UINT32 NumberofDiscoveredPorts;
} HBA_PORTATTRIBUTES;

typedef struct HBA_ScsiId {
    char OSDeviceName[256];
    HBA_UINT32 ScsiBusNumber;
    HBA_UINT32 ScsiTargetNumber;
    HBA_UINT32 ScsiOSLun;
} HBA_SCSIID;

typedef struct HBA_FcpId {
    HBA_UINT32 FcId;
    HBA_WWN NodeWWN;
    HBA_WWN PortWWN;
    HBA_UINT64 FcpLun;
} HBA_FCPID;

typedef struct HBA_LUID {
    char buffer[256];
} HBA_LUID;

typedef struct HBA_FcpScsiEntry {
    HBA_SCSIID ScsiId;
    HBA_FCPID FcpId;
} HBA_FCPSCSIENTRY;

typedef struct HBA_FcpScsiEntryV2 {
    HBA_SCSIID ScsiId;
    HBA_FCPID FcpId;
    HBA_LUID LUID;
} HBA_FCPSCSIENTRYV2;

// Variable length: NumberOfEntries says how many entries the caller made room for (in) and how
// many the library has (out).
typedef struct HBA_FCPTargetMapping {
    HBA_UINT32 NumberOfEntries;
    HBA_FCPSCSIENTRY entry[1];
} HBA_FCPTARGETMAPPING;

typedef struct HBA_FCPTargetMappingV2 {
    HBA_UINT32 NumberOfEntries;
    HBA_FCPSCSIENTRYV2 entry[1];
} HBA_FCPTARGETMAPPINGV2;

// ---- SM-HBA ------------------------------------------------------------------------------------
typedef HBA_UINT64 HBA_SCSILUN;

typedef struct SMHBA_ScsiId {
    char OSDeviceName[256];
    HBA_UINT32 ScsiBusNumber;
    HBA_UINT32 ScsiTargetNumber;
    HBA_UINT32 ScsiOSLun;
} SMHBA_SCSIID;

typedef struct SMHBA_LUID {
    char buffer[256];
} SMHBA_LUID;

typedef struct SMHBA_PORTLUN {
    HBA_WWN PortWWN;
    HBA_WWN domainPortWWN;
    HBA_SCSILUN TargetLun;
} SMHBA_PORTLUN;

typedef struct SMHBA_ScsiEntry {
    SMHBA_SCSIID ScsiId;
    SMHBA_PORTLUN PortLun;
    SMHBA_LUID LUID;
} SMHBA_SCSIENTRY;

typedef struct SMHBA_TargetMapping {
    HBA_UINT32 NumberOfEntries;
    SMHBA_SCSIENTRY entry[1];
} SMHBA_TARGETMAPPING;

// ---- entry points ------------------------------------------------------------------------------
typedef HBA_UINT32 (*HBAGetVersionFunc)();
typedef HBA_STATUS (*HBALoadLibraryFunc)();
typedef HBA_STATUS (*HBAFreeLibraryFunc)();
typedef HBA_UINT32 (*HBAGetNumberOfAdaptersFunc)();
typedef HBA_STATUS (*HBAGetAdapterNameFunc)(HBA_UINT32 index, char* name);
typedef HBA_HANDLE (*HBAOpenAdapterFunc)(char* name);
typedef void (*HBACloseAdapterFunc)(HBA_HANDLE handle);
typedef HBA_STATUS (*HBAGetAdapterAttributesFunc)(HBA_HANDLE handle, HBA_ADAPTERATTRIBUTES* attributes);
typedef HBA_STATUS (*HBAGetAdapterPortAttributesFunc)(HBA_HANDLE handle, HBA_UINT32 port,
                                                      HBA_PORTATTRIBUTES* attributes);
typedef void (*HBARefreshInformationFunc)(HBA_HANDLE handle);
typedef HBA_STATUS (*HBAGetFcpTargetMappingFunc)(HBA_HANDLE handle, HBA_FCPTARGETMAPPING* mapping);
typedef HBA_STATUS (*HBAGetFcpTargetMappingV2Func)(HBA_HANDLE handle, HBA_WWN port_wwn,
                                                   HBA_FCPTARGETMAPPINGV2* mapping);
typedef HBA_UINT32 (*SMHBAGetVersionFunc)();
typedef HBA_STATUS (*SMHBAGetTargetMappingFunc)(HBA_HANDLE handle, HBA_WWN port_wwn, HBA_WWN domain_port_wwn,
                                                SMHBA_TARGETMAPPING* mapping);

// An entry point lunscan never calls keeps its place in a table as an untyped pointer.
typedef void (*HBAUnusedFunc)();

// The version-1 table a vendor library fills in HBA_RegisterLibrary.
typedef struct HBA_EntryPoints {
    HBAGetVersionFunc GetVersionHandler;
    HBALoadLibraryFunc LoadLibraryHandler;
    HBAFreeLibraryFunc FreeLibraryHandler;
    HBAGetNumberOfAdaptersFunc GetNumberOfAdaptersHandler;
    HBAGetAdapterNameFunc GetAdapterNameHandler;
    HBAOpenAdapterFunc OpenAdapterHandler;
    HBACloseAdapterFunc CloseAdapterHandler;
    HBAGetAdapterAttributesFunc GetAdapterAttributesHandler;
    HBAGetAdapterPortAttributesFunc GetAdapterPortAttributesHandler;
    HBAUnusedFunc GetPortStatisticsHandler;
    HBAUnusedFunc GetDiscoveredPortAttributesHandler;
    HBAUnusedFunc GetPortAttributesByWWNHandler;
    HBAUnusedFunc SendCTPassThruHandler;
    HBARefreshInformationFunc RefreshInformationHandler;
    HBAUnusedFunc ResetStatisticsHandler;
    HBAGetFcpTargetMappingFunc GetFcpTargetMappingHandler;
    HBAUnusedFunc GetFcpPersistentBindingHandler;
    HBAUnusedFunc GetEventBufferHandler;
    HBAUnusedFunc SetRNIDMgmtInfoHandler;
    HBAUnusedFunc GetRNIDMgmtInfoHandler;
    HBAUnusedFunc SendRNIDHandler;
    HBAUnusedFunc ScsiInquiryHandler;
    HBAUnusedFunc ReportLUNsHandler;
    HBAUnusedFunc ReadCapacityHandler;
} HBA_ENTRYPOINTS;

// The version-2 table: the version-1 table, then the phase-2 entry points.
typedef struct HBA_EntryPointsV2 {
    HBAGetVersionFunc GetVersionHandler;
    HBALoadLibraryFunc LoadLibraryHandler;
    HBAFreeLibraryFunc FreeLibraryHandler;
    HBAGetNumberOfAdaptersFunc GetNumberOfAdaptersHandler;
    HBAGetAdapterNameFunc GetAdapterNameHandler;
    HBAOpenAdapterFunc OpenAdapterHandler;
    HBACloseAdapterFunc CloseAdapterHandler;
    HBAGetAdapterAttributesFunc GetAdapterAttributesHandler;
    HBAGetAdapterPortAttributesFunc GetAdapterPortAttributesHandler;
    HBAUnusedFunc GetPortStatisticsHandler;
    HBAUnusedFunc GetDiscoveredPortAttributesHandler;
    HBAUnusedFunc GetPortAttributesByWWNHandler;
    HBAUnusedFunc SendCTPassThruHandler;
    HBARefreshInformationFunc RefreshInformationHandler;
    HBAUnusedFunc ResetStatisticsHandler;
    HBAGetFcpTargetMappingFunc GetFcpTargetMappingHandler;
    HBAUnusedFunc GetFcpPersistentBindingHandler;
    HBAUnusedFunc GetEventBufferHandler;
    HBAUnusedFunc SetRNIDMgmtInfoHandler;
    HBAUnusedFunc GetRNIDMgmtInfoHandler;
    HBAUnusedFunc SendRNIDHandler;
    HBAUnusedFunc ScsiInquiryHandler;
    HBAUnusedFunc ReportLUNsHandler;
    HBAUnusedFunc ReadCapacityHandler;
    HBAUnusedFunc OpenAdapterByWWNHandler;
    HBAGetFcpTargetMappingV2Func GetFcpTargetMappingV2Handler;
    HBAUnusedFunc rest[28];  // SendCTPassThruV2 ... SendRLS
} HBA_ENTRYPOINTSV2;

// The SM-HBA table a library fills in SMHBA_RegisterLibrary; lunscan takes its version and target
// mapping entry points.
typedef struct SMHBA_EntryPoints {
    SMHBAGetVersionFunc GetVersionHandler;
    HBALoadLibraryFunc LoadLibraryHandler;
    HBAFreeLibraryFunc FreeLibraryHandler;
    HBAGetNumberOfAdaptersFunc GetNumberOfAdaptersHandler;
    HBAGetAdapterNameFunc GetAdapterNameHandler;
    HBAOpenAdapterFunc OpenAdapterHandler;
    HBACloseAdapterFunc CloseAdapterHandler;
    HBAUnusedFunc GetAdapterAttributesHandler;
    HBAUnusedFunc GetNumberOfPortsHandler;
    HBAUnusedFunc GetPortTypeHandler;
    HBAUnusedFunc GetAdapterPortAttributesHandler;
    HBAUnusedFunc GetDiscoveredPortAttributesHandler;
    HBAUnusedFunc GetPortAttributesByWWNHandler;
    HBAUnusedFunc GetFCPhyAttributesHandler;
    HBAUnusedFunc GetSASPhyAttributesHandler;
    HBAUnusedFunc GetProtocolStatisticsHandler;
    HBAUnusedFunc GetPhyStatisticsHandler;
    HBAUnusedFunc SendCTPassThruHandler;
    HBAUnusedFunc SetRNIDMgmtInfoHandler;
    HBAUnusedFunc GetRNIDMgmtInfoHandler;
    HBAUnusedFunc SendRNIDHandler;
    SMHBAGetTargetMappingFunc GetTargetMappingHandler;
    HBAUnusedFunc rest[16];  // bindings, SCSI commands, events
} SMHBA_ENTRYPOINTS;

typedef HBA_STATUS (*HBARegisterLibraryFunc)(HBA_ENTRYPOINTS* table);
typedef HBA_STATUS (*HBARegisterLibraryV2Func)(HBA_ENTRYPOINTSV2* table);
typedef HBA_STATUS (*SMHBARegisterLibraryFunc)(SMHBA_ENTRYPOINTS* table);

}  // extern "C"

// The layouts as the published headers give them on 64-bit hosts.
static_assert(sizeof(HBA_ADAPTERATTRIBUTES) == 2192);
static_assert(offsetof(HBA_PORTATTRIBUTES, PortSymbolicName) == 96 && sizeof(HBA_PORTATTRIBUTES) == 632);
static_assert(offsetof(HBA_FCPID, FcpLun) == 24);
static_assert(sizeof(HBA_FCPSCSIENTRY) == 304 && sizeof(HBA_FCPSCSIENTRYV2) == 560);
static_assert(sizeof(HBA_ENTRYPOINTS) == 24 * sizeof(void*) && sizeof(HBA_ENTRYPOINTSV2) == 54 * sizeof(void*));
static_assert(offsetof(HBA_ENTRYPOINTSV2, GetFcpTargetMappingV2Handler) == 25 * sizeof(void*));
