// The pass-through block's translation to and from the kernel's SG_IO request, and the kernel's failures as Windows error numbers.
#include "linux_sg.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace pds::linux_sg {

os_error request_from_block(const win::ScsiPassThroughDirect& sptd, std::uint8_t* block, std::uint32_t block_length,
                            std::uint8_t (&cdb_copy)[16], sg_io_hdr& request) {
    request = {};
    if (block == nullptr || block_length < sizeof sptd || sptd.Length != sizeof sptd) return kErrorInvalidParameter;
    if (sptd.CdbLength == 0 || sptd.CdbLength > sizeof sptd.Cdb) return kErrorInvalidParameter;
    if (sptd.DataIn > win::SCSI_IOCTL_DATA_UNSPECIFIED) return kErrorInvalidParameter;
    const bool moves_data = sptd.DataTransferLength > 0 && sptd.DataIn != win::SCSI_IOCTL_DATA_UNSPECIFIED;
    if (moves_data && sptd.DataBuffer == nullptr) return kErrorInvalidParameter;

    std::memcpy(cdb_copy, sptd.Cdb, sizeof sptd.Cdb);
    request.interface_id = 'S';
    request.cmdp = cdb_copy;
    request.cmd_len = sptd.CdbLength;
    if (!moves_data) {
        request.dxfer_direction = SG_DXFER_NONE;
    } else {
        request.dxfer_direction = sptd.DataIn == win::SCSI_IOCTL_DATA_IN ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
        request.dxferp = sptd.DataBuffer;
        request.dxfer_len = sptd.DataTransferLength;
    }
    // Sense goes where the caller said, but never past its buffer nor over the structure itself.
    std::uint32_t room = 0;
    if (sptd.SenseInfoOffset >= sizeof sptd && sptd.SenseInfoOffset < block_length) {
        room = block_length - sptd.SenseInfoOffset;
    }
    request.mx_sb_len = static_cast<unsigned char>(std::min<std::uint32_t>(sptd.SenseInfoLength, room));
    if (request.mx_sb_len > 0) request.sbp = block + sptd.SenseInfoOffset;
    constexpr std::uint32_t kLongest = std::numeric_limits<std::uint32_t>::max();
    request.timeout = sptd.TimeOutValue > kLongest / 1000 ? kLongest : sptd.TimeOutValue * 1000;
    return 0;
}

void answer_into_block(const sg_io_hdr& request, win::ScsiPassThroughDirect& sptd) {
    sptd.ScsiStatus = request.status;
    sptd.SenseInfoLength = std::min(request.sb_len_wr, request.mx_sb_len);
    const std::uint32_t asked = request.dxfer_len;
    const std::uint32_t left = static_cast<std::uint32_t>(std::clamp<long long>(request.resid, 0, asked));
    sptd.DataTransferLength = asked - left;
}

os_error transport_error(const sg_io_hdr& request) {
    const std::uint16_t driver = request.driver_status & kDriverByteMask;
    switch (request.host_status) {
    case kDidOk:
        if (driver == kDriverOk || driver == kDriverSense) return 0;
        return driver == kDriverTimeout ? kErrorSemTimeout : kErrorIoDevice;
    case kDidTimeOut: return kErrorSemTimeout;
    case kDidNoConnect:
    case kDidBadTarget: return kErrorDeviceNotConnected;
    case kDidBusBusy: return kErrorBusy;
    case kDidReset: return kErrorBusReset;
    default: return kErrorIoDevice;
    }
}

os_error ioctl_error(int error_number) {
    switch (error_number) {
    case 0: return 0;
    case ENOTTY:
    case EINVAL: return kErrorInvalidFunction;  // not a SCSI device, or a request it cannot take
    case EPERM:
    case EACCES: return kErrorAccessDenied;     // a command the open's access does not allow
    case ENOMEM: return kErrorNotEnoughMemory;
    case ENODEV:
    case ENXIO: return kErrorDeviceNotConnected;
    default: return kErrorIoDevice;
    }
}

}  // namespace pds::linux_sg
