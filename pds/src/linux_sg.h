// The Windows pass-through block translated to the kernel's SG_IO request (sg_io_hdr, version 3) and back, and the kernel's answers as Windows error numbers.
//
// Pure translation: nothing here calls the system. linux_devices.cpp sends the request.
#pragma once

#include "pds/platform.h"
#include "pds/win_device_layouts.h"

#include <scsi/sg.h>

#include <cstdint>

namespace pds::linux_sg {

// The SCSI midlayer's host byte (sg_io_hdr::host_status).
inline constexpr std::uint16_t kDidOk = 0x00;
inline constexpr std::uint16_t kDidNoConnect = 0x01;
inline constexpr std::uint16_t kDidBusBusy = 0x02;
inline constexpr std::uint16_t kDidTimeOut = 0x03;
inline constexpr std::uint16_t kDidBadTarget = 0x04;
inline constexpr std::uint16_t kDidAbort = 0x05;
inline constexpr std::uint16_t kDidParity = 0x06;
inline constexpr std::uint16_t kDidError = 0x07;
inline constexpr std::uint16_t kDidReset = 0x08;
inline constexpr std::uint16_t kDidBadIntr = 0x09;
inline constexpr std::uint16_t kDidPassthrough = 0x0A;
inline constexpr std::uint16_t kDidSoftError = 0x0B;
inline constexpr std::uint16_t kDidImmRetry = 0x0C;
inline constexpr std::uint16_t kDidRequeue = 0x0D;
inline constexpr std::uint16_t kDidTransportDisrupted = 0x0E;
inline constexpr std::uint16_t kDidTransportFailfast = 0x0F;
inline constexpr std::uint16_t kDidTargetFailure = 0x10;
inline constexpr std::uint16_t kDidNexusFailure = 0x11;
inline constexpr std::uint16_t kDidAllocFailure = 0x12;
inline constexpr std::uint16_t kDidMediumError = 0x13;
inline constexpr std::uint16_t kDidTransportMarginal = 0x14;

// The driver byte (sg_io_hdr::driver_status, low nibble; the high one holds suggestions).
inline constexpr std::uint16_t kDriverOk = 0x00;
inline constexpr std::uint16_t kDriverBusy = 0x01;
inline constexpr std::uint16_t kDriverSoft = 0x02;
inline constexpr std::uint16_t kDriverMedia = 0x03;
inline constexpr std::uint16_t kDriverError = 0x04;
inline constexpr std::uint16_t kDriverInvalid = 0x05;
inline constexpr std::uint16_t kDriverTimeout = 0x06;
inline constexpr std::uint16_t kDriverHard = 0x07;
inline constexpr std::uint16_t kDriverSense = 0x08;
inline constexpr std::uint16_t kDriverByteMask = 0x0F;

// The SG_IO request of a pass-through block. `block` is the caller's in/out buffer of
// `block_length` bytes (at least the 56-byte structure); the request's sense pointer points into
// it at SenseInfoOffset, its CDB pointer at `cdb_copy` (16 bytes the caller keeps alive, since
// the block is overwritten by the answer). 0, or kErrorInvalidParameter for a block Windows
// refuses too (wrong Length, CDB length outside 1..16, unknown direction, data without buffer).
os_error request_from_block(const win::ScsiPassThroughDirect& sptd, std::uint8_t* block, std::uint32_t block_length,
                            std::uint8_t (&cdb_copy)[16], sg_io_hdr& request);

// Writes the kernel's answer into the block's structure: ScsiStatus, SenseInfoLength (what the
// kernel wrote, never more than the room it was given) and DataTransferLength (what moved).
void answer_into_block(const sg_io_hdr& request, win::ScsiPassThroughDirect& sptd);

// The Windows error number of a completed SG_IO: 0 when the command reached the device and the
// device answered (its status and sense are in the block), else the transport's failure.
os_error transport_error(const sg_io_hdr& request);

// The Windows error number of a failed ioctl(SG_IO).
os_error ioctl_error(int error_number);

}  // namespace pds::linux_sg
