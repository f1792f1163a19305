// Byte layouts and control codes of the Windows storage interfaces the library speaks through the seam.
//
// The library builds and reads these records itself (the same on every provider), so their layout
// is fixed here and checked: the win32 provider additionally asserts they match the system headers.
// The linux and sim providers interpret the same records. x86-64 only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pds::win {

// CTL_CODE(device_type, function, method, access)
constexpr std::uint32_t ctl_code(std::uint32_t device_type, std::uint32_t function, std::uint32_t method,
                                 std::uint32_t access) {
    return (device_type << 16) | (access << 14) | (function << 2) | method;
}

inline constexpr std::uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x4D014;
inline constexpr std::uint32_t IOCTL_SCSI_GET_INQUIRY_DATA = 0x4100C;
inline constexpr std::uint32_t IOCTL_SCSI_GET_ADDRESS = 0x41018;
inline constexpr std::uint32_t IOCTL_STORAGE_QUERY_PROPERTY = 0x2D1400;
inline constexpr std::uint32_t IOCTL_STORAGE_GET_DEVICE_NUMBER = 0x2D1080;
inline constexpr std::uint32_t IOCTL_DISK_GET_PARTITION_INFO = 0x74004;
inline constexpr std::uint32_t IOCTL_DISK_GET_LENGTH_INFO = 0x7405C;
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == ctl_code(0x04, 0x405, 0, 3));
static_assert(IOCTL_SCSI_GET_INQUIRY_DATA == ctl_code(0x04, 0x403, 0, 0));
static_assert(IOCTL_SCSI_GET_ADDRESS == ctl_code(0x04, 0x406, 0, 0));
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == ctl_code(0x2D, 0x500, 0, 0));
static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == ctl_code(0x2D, 0x420, 0, 0));
static_assert(IOCTL_DISK_GET_PARTITION_INFO == ctl_code(0x07, 0x001, 0, 1));
static_assert(IOCTL_DISK_GET_LENGTH_INFO == ctl_code(0x07, 0x017, 0, 1));

inline constexpr std::uint8_t SCSI_IOCTL_DATA_OUT = 0;
inline constexpr std::uint8_t SCSI_IOCTL_DATA_IN = 1;
inline constexpr std::uint8_t SCSI_IOCTL_DATA_UNSPECIFIED = 2;

// SCSI_PASS_THROUGH_DIRECT
struct ScsiPassThroughDirect {
    std::uint16_t Length;
    std::uint8_t ScsiStatus;
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
    std::uint8_t CdbLength;
    std::uint8_t SenseInfoLength;
    std::uint8_t DataIn;
    std::uint32_t DataTransferLength;
    std::uint32_t TimeOutValue;
    void* DataBuffer;
    std::uint32_t SenseInfoOffset;
    std::uint8_t Cdb[16];
};
static_assert(sizeof(ScsiPassThroughDirect) == 56);
static_assert(offsetof(ScsiPassThroughDirect, DataIn) == 8);
static_assert(offsetof(ScsiPassThroughDirect, DataTransferLength) == 12);
static_assert(offsetof(ScsiPassThroughDirect, TimeOutValue) == 16);
static_assert(offsetof(ScsiPassThroughDirect, DataBuffer) == 24);
static_assert(offsetof(ScsiPassThroughDirect, SenseInfoOffset) == 32);
static_assert(offsetof(ScsiPassThroughDirect, Cdb) == 36);

// The pass-through block sent as both input and output: the structure, a filler word and the
// sense buffer.
struct ScsiPassThroughDirectWithSense {
    ScsiPassThroughDirect sptd;
    std::uint32_t filler;
    std::uint8_t sense[32];
};
static_assert(sizeof(ScsiPassThroughDirectWithSense) == 96);
static_assert(offsetof(ScsiPassThroughDirectWithSense, sense) == 60);

// SCSI_ADDRESS
struct ScsiAddress {
    std::uint32_t Length;
    std::uint8_t PortNumber;
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
};
static_assert(sizeof(ScsiAddress) == 8);

// STORAGE_PROPERTY_QUERY (StorageDeviceProperty = 0, PropertyStandardQuery = 0)
struct StoragePropertyQuery {
    std::uint32_t PropertyId;
    std::uint32_t QueryType;
    std::uint8_t AdditionalParameters[1];
};
static_assert(sizeof(StoragePropertyQuery) == 12);

// STORAGE_DEVICE_DESCRIPTOR: the fixed part; RawDeviceProperties follow at offset 36.
struct StorageDeviceDescriptor {
    std::uint32_t Version;
    std::uint32_t Size;
    std::uint8_t DeviceType;
    std::uint8_t DeviceTypeModifier;
    std::uint8_t RemovableMedia;
    std::uint8_t CommandQueueing;
    std::uint32_t VendorIdOffset;
    std::uint32_t ProductIdOffset;
    std::uint32_t ProductRevisionOffset;
    std::uint32_t SerialNumberOffset;
    std::uint32_t BusType;
    std::uint32_t RawPropertiesLength;
    std::uint8_t RawDeviceProperties[4];
};
static_assert(offsetof(StorageDeviceDescriptor, RawPropertiesLength) == 32);
static_assert(offsetof(StorageDeviceDescriptor, RawDeviceProperties) == 36);
inline constexpr std::size_t kStorageDeviceDescriptorHeader = 36;

// STORAGE_ADAPTER_DESCRIPTOR (PropertyId StorageAdapterProperty = 1): the adapter's transfer limits.
inline constexpr std::uint32_t kStorageAdapterProperty = 1;
struct StorageAdapterDescriptor {
    std::uint32_t Version;
    std::uint32_t Size;
    std::uint32_t MaximumTransferLength;  // bytes
    std::uint32_t MaximumPhysicalPages;   // pages a buffer may span
    std::uint32_t AlignmentMask;          // DataBuffer & AlignmentMask must be 0
    std::uint8_t AdapterUsesPio;
    std::uint8_t AdapterScansDown;
    std::uint8_t CommandQueueing;
    std::uint8_t AcceleratedTransfer;
    std::uint8_t BusType;
    std::uint16_t BusMajorVersion;
    std::uint16_t BusMinorVersion;
    std::uint8_t SrbType;
    std::uint8_t AddressType;
};
static_assert(offsetof(StorageAdapterDescriptor, AlignmentMask) == 16);
static_assert(sizeof(StorageAdapterDescriptor) == 32);

// STORAGE_DEVICE_NUMBER
struct StorageDeviceNumber {
    std::uint32_t DeviceType;
    std::uint32_t DeviceNumber;
    std::uint32_t PartitionNumber;
};
static_assert(sizeof(StorageDeviceNumber) == 12);

// SCSI_ADAPTER_BUS_INFO / SCSI_BUS_DATA / SCSI_INQUIRY_DATA (IOCTL_SCSI_GET_INQUIRY_DATA reply)
struct ScsiBusData {
    std::uint8_t NumberOfLogicalUnits;
    std::uint8_t InitiatorBusId;
    std::uint32_t InquiryDataOffset;
};
static_assert(sizeof(ScsiBusData) == 8);
struct ScsiInquiryDataHeader {
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
    std::uint8_t DeviceClaimed;
    std::uint32_t InquiryDataLength;
    std::uint32_t NextInquiryDataOffset;
};
static_assert(sizeof(ScsiInquiryDataHeader) == 12);
inline constexpr std::size_t kScsiInquiryDataHeader = 12;  // InquiryData[] follows

// PARTITION_INFORMATION: StartingOffset, PartitionLength (LARGE_INTEGER each), ...
struct PartitionInformation {
    std::int64_t StartingOffset;
    std::int64_t PartitionLength;
    std::uint32_t HiddenSectors;
    std::uint32_t PartitionNumber;
    std::uint8_t PartitionType;
    std::uint8_t BootIndicator;
    std::uint8_t RecognizedPartition;
    std::uint8_t RewritePartition;
};
static_assert(sizeof(PartitionInformation) == 32);

// GET_LENGTH_INFORMATION: the disk's or volume's length in bytes, whatever its partition style.
struct GetLengthInformation {
    std::int64_t Length;
};
static_assert(sizeof(GetLengthInformation) == 8);

// CreateFileA access and share bits.
inline constexpr std::uint32_t GENERIC_READ = 0x80000000u;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr std::uint32_t FILE_SHARE_READ = 0x1;
inline constexpr std::uint32_t FILE_SHARE_WRITE = 0x2;

// SetErrorMode(SEM_FAILCRITICALERRORS)
inline constexpr std::uint32_t SEM_FAILCRITICALERRORS = 0x1;

}  // namespace pds::win
