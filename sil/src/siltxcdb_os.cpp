// The Windows pass-through road of TxCDB: the pass-through block, the INQUIRY fallback, the
// multipathing driver's pass-through and the reservation probe.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "pds/byteorder.h"
#include "pds/platform.h"
#include "pds/product_clients.h"
#include "pds/win_device_layouts.h"
#include "sildebug.h"
#include "silinitl.h"
#include "siltxcdb.h"

namespace {

using pds::win::ScsiPassThroughDirect;
using pds::win::ScsiPassThroughDirectWithSense;

constexpr std::uint32_t kTraceMultipath = 0x1000401;
constexpr std::uint8_t kSenseRequested = 24;
constexpr std::uint32_t kPropertyReplySize = 2048;
constexpr std::uint32_t kReservationProbeLength = 144;
constexpr std::uint8_t kReservationProbeCdb[6] = {SCSI_INQUIRY, 0x00, 0x00, 0x00, 0x90, 0x00};
constexpr std::uint8_t kStatusReservationConflict = 0x18;

// Critical-error pop-ups must not stop an unattended scan: every request runs with the process
// error mode set to fail them silently, and the previous mode comes back right after.
class QuietErrorMode {
public:
    QuietErrorMode() : previous_(pds::platform().set_error_mode(pds::win::SEM_FAILCRITICALERRORS)) {}
    ~QuietErrorMode() { pds::platform().set_error_mode(previous_); }
    QuietErrorMode(const QuietErrorMode&) = delete;
    QuietErrorMode& operator=(const QuietErrorMode&) = delete;

private:
    std::uint32_t previous_;
};

void fill_block(ScsiPassThroughDirectWithSense& block, std::span<const std::uint8_t> cdb,
                std::uint8_t data_in, std::uint32_t length, std::uint32_t timeout_secs, void* data) {
    block = {};
    ScsiPassThroughDirect& s = block.sptd;
    s.Length = sizeof(ScsiPassThroughDirect);
    s.ScsiStatus = 0;
    s.PathId = 0;
    s.TargetId = 1;
    s.Lun = 0;
    s.CdbLength = static_cast<std::uint8_t>(cdb.size());
    s.SenseInfoLength = kSenseRequested;
    s.DataIn = data_in;
    s.DataTransferLength = length;
    s.TimeOutValue = timeout_secs;
    s.DataBuffer = data;
    s.SenseInfoOffset = offsetof(ScsiPassThroughDirectWithSense, sense);
    if (!cdb.empty()) std::memcpy(s.Cdb, cdb.data(), cdb.size());
}

// Windows refuses (87) a pass-through whose DataBuffer does not meet the adapter's AlignmentMask,
// or that moves more than the adapter's MaximumTransferLength or spans more pages than its
// MaximumPhysicalPages. The descriptor is asked once per device record, before its first
// pass-through; a caller's buffer that does not meet it goes through a page-aligned copy, and a
// transfer no buffer could carry is refused here, before it is sent.
constexpr std::uint64_t kPageBytes = 4096;

std::uint64_t pages_spanned(std::uintptr_t address, std::uint32_t length) {
    return ((address % kPageBytes) + length + kPageBytes - 1) / kPageBytes;
}

void query_adapter(T_SIL_DEVICE& device) {
    if (device.adapter_queried != 0) return;
    device.adapter_queried = 1;
    pds::win::StoragePropertyQuery query{};
    query.PropertyId = pds::win::kStorageAdapterProperty;
    std::array<std::uint8_t, sizeof(pds::win::StorageAdapterDescriptor)> reply{};
    std::uint32_t returned = 0;
    pds::os_error error;
    {
        QuietErrorMode quiet;
        error = pds::platform().device_io_control(device.fid, pds::win::IOCTL_STORAGE_QUERY_PROPERTY, &query,
                                                  sizeof query, reply.data(), reply.size(), returned);
    }
    if (error != 0) {
        // Without the mask, a buffer off a page is copied: no adapter asks for more.
        device.adapter_alignment_mask = kPageBytes - 1;
        SIL_TRACE(SIL_TRACE_INFO, "the adapter of %s gives no descriptor (error %u): page alignment, no limits",
                  device.name, static_cast<unsigned>(error));
        return;
    }
    // A field the driver did not write is a limit it did not state.
    pds::ReplyReader descriptor(std::span<const std::uint8_t>(reply).first(std::min<std::size_t>(returned, reply.size())));
    device.adapter_max_transfer = descriptor.le32(offsetof(pds::win::StorageAdapterDescriptor, MaximumTransferLength)).value_or(0);
    device.adapter_max_pages = descriptor.le32(offsetof(pds::win::StorageAdapterDescriptor, MaximumPhysicalPages)).value_or(0);
    std::uint32_t mask = descriptor.le32(offsetof(pds::win::StorageAdapterDescriptor, AlignmentMask)).value_or(0);
    // The copy is page-aligned, which is all an adapter can ask: a wider mask is the driver's
    // mistake and is taken as a page rather than sizing the copy by it.
    if (mask >= kPageBytes) mask = kPageBytes - 1;
    device.adapter_alignment_mask = mask;
    SIL_TRACE(SIL_TRACE_INFO, "adapter of %s: AlignmentMask 0x%x, MaximumTransferLength %u, MaximumPhysicalPages %u",
              device.name, mask, device.adapter_max_transfer, device.adapter_max_pages);
}

enum class BufferRoute { straight, aligned_copy, refused };

// How a transfer of `length` bytes at `buffer` reaches the device's adapter; says in the trace
// why a transfer is refused or copied.
BufferRoute route_for_adapter(T_SIL_DEVICE& device, const void* buffer, std::uint32_t length) {
    query_adapter(device);
    if (buffer == nullptr || length == 0) return BufferRoute::straight;
    const std::uint32_t pages = device.adapter_max_pages;
    if (device.adapter_max_transfer != 0 && length > device.adapter_max_transfer) {
        SIL_TRACE(SIL_TRACE_ERROR, "transfer of %u bytes refused: the adapter of %s moves at most %u bytes", length,
                  device.name, device.adapter_max_transfer);
        return BufferRoute::refused;
    }
    if (pages != 0 && pages_spanned(0, length) > pages) {
        SIL_TRACE(SIL_TRACE_ERROR, "transfer of %u bytes refused: the adapter of %s maps at most %u pages", length,
                  device.name, pages);
        return BufferRoute::refused;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(buffer);
    if ((address & device.adapter_alignment_mask) == 0 && (pages == 0 || pages_spanned(address, length) <= pages)) {
        return BufferRoute::straight;
    }
    SIL_TRACE(SIL_TRACE_INFO, "the %u-byte buffer does not meet the adapter's alignment (mask 0x%x) or page limit: "
              "sent through a page-aligned copy", length, device.adapter_alignment_mask);
    return BufferRoute::aligned_copy;
}

pds::os_error send_pass_through(pds::DeviceHandle handle, ScsiPassThroughDirectWithSense& block, BufferRoute route,
                                std::uint32_t& returned) {
    void* const caller_buffer = block.sptd.DataBuffer;
    const std::uint32_t length = block.sptd.DataTransferLength;
    const bool data_out = block.sptd.DataIn == pds::win::SCSI_IOCTL_DATA_OUT;
    std::vector<std::uint8_t> copy;
    std::uint8_t* aligned = nullptr;
    if (route == BufferRoute::aligned_copy) {
        try {
            copy.resize(std::size_t{length} + kPageBytes - 1);
        } catch (const std::bad_alloc&) {
            return pds::kErrorNotEnoughMemory;
        }
        const auto at = reinterpret_cast<std::uintptr_t>(copy.data());
        aligned = copy.data() + (kPageBytes - at % kPageBytes) % kPageBytes;
        if (data_out) std::memcpy(aligned, caller_buffer, length);
        block.sptd.DataBuffer = aligned;
    }
    pds::os_error error;
    {
        QuietErrorMode quiet;
        error = pds::platform().device_io_control(handle, pds::win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block,
                                                  sizeof block, &block, sizeof block, returned);
    }
    if (aligned != nullptr) {
        if (!data_out && error == 0) std::memcpy(caller_buffer, aligned, std::min(block.sptd.DataTransferLength, length));
        block.sptd.DataBuffer = caller_buffer;
    }
    return error;
}

std::uint8_t data_direction(const T_SIL_IO_DATA_IN& io) {
    switch (io.cdb[0]) {
    case SCSI_TEST_UNIT_READY:
    case SCSI_RESERVE6:
    case SCSI_RELEASE6: return pds::win::SCSI_IOCTL_DATA_IN;
    default: return io.direction == 1 ? pds::win::SCSI_IOCTL_DATA_OUT : pds::win::SCSI_IOCTL_DATA_IN;
    }
}

struct FallbackResult {
    pds::os_error error;
    std::uint32_t copied;
};

// Some drivers refuse pass-through INQUIRY to unprivileged users but answer the storage property
// query, whose descriptor carries the raw bytes of the standard INQUIRY page.
FallbackResult inquiry_from_storage_property(pds::DeviceHandle handle, void* data,
                                             std::uint32_t xfer_len) {
    pds::win::StoragePropertyQuery query{};  // StorageDeviceProperty, PropertyStandardQuery
    std::vector<std::uint8_t> reply(kPropertyReplySize, 0);
    std::uint32_t returned = 0;
    pds::os_error error;
    {
        QuietErrorMode quiet;
        error = pds::platform().device_io_control(handle, pds::win::IOCTL_STORAGE_QUERY_PROPERTY, &query,
                                                  sizeof query, reply.data(), kPropertyReplySize, returned);
    }
    std::uint32_t copied = 0;
    if (error == 0 && data != nullptr) {
        // Only what the driver wrote counts; the descriptor's length is the driver's word too,
        // so it is cut to the bytes written and to what the INQUIRY asked for (the caller's
        // buffer holds xfer_len bytes). A descriptor too short to give the length copies nothing.
        pds::ReplyReader descriptor(std::span<const std::uint8_t>(reply).first(std::min(returned, kPropertyReplySize)));
        const std::uint32_t raw_length =
            descriptor.le32(offsetof(pds::win::StorageDeviceDescriptor, RawPropertiesLength)).value_or(0);
        const auto raw = descriptor.bytes_upto(pds::win::kStorageDeviceDescriptorHeader, std::min(raw_length, xfer_len));
        copied = static_cast<std::uint32_t>(raw.size());
        std::copy(raw.begin(), raw.end(), static_cast<std::uint8_t*>(data));
    }
    SIL_TRACE(SIL_TRACE_INFO, "DeviceIoControl Done: errno = %d, bytes returned = %d\n",
              static_cast<int>(error), static_cast<int>(returned));
    return {error, copied};
}

// The property query holds the standard page only: a VPD page (EVPD) or command data (CmdDt)
// request that the pass-through refused has no other source and fails as it failed.
bool asks_for_standard_page(const T_SIL_IO_DATA_IN& io) {
    return io.cdb[0] == SCSI_INQUIRY && (io.cdb[1] & 0x03) == 0 && io.cdb[2] == 0;
}

// Copies the sense bytes the driver returned into the error record. The fields are read from
// the bytes the driver wrote; one it did not reach reads as zero (no sense key, no code).
void record_sense(const ScsiPassThroughDirectWithSense& block, T_CDB_ERROR& err) {
    // The driver reports how many sense bytes it wrote; never more than were asked for.
    const std::size_t length = std::min<std::size_t>(block.sptd.SenseInfoLength, kSenseRequested);
    pds::ReplyReader sense(std::span<const std::uint8_t>(block.sense, length));
    std::memset(err.sense_data, 0, sizeof err.sense_data);
    std::memcpy(err.sense_data, block.sense, length);
    err.sense_key = sense.u8(2).value_or(0) & 0x0F;
    err.add_sense_code = sense.u8(12).value_or(0);
    err.add_sense_qualifier = sense.u8(13).value_or(0);
    err.senseAvailable = 1;
    err.korvStatus = 0;
}

}  // namespace

std::int32_t sil_is_WIN32_reserv_conflict(T_SIL_DEVICE* device) {
    SIL_FUNCTION("sil_is_WIN32_reserv_conflict");
    if (device == nullptr) SIL_RETURN(0);
    std::array<std::uint8_t, kReservationProbeLength> data{};
    ScsiPassThroughDirectWithSense block;
    fill_block(block, kReservationProbeCdb, pds::win::SCSI_IOCTL_DATA_IN, kReservationProbeLength,
               SIL_DEFAULT_TIMEOUT_SECS, data.data());
    sil_hex_dump_if_tracing(sizeof kReservationProbeCdb, kReservationProbeCdb, 0, nullptr, nullptr);
    const BufferRoute route = route_for_adapter(*device, data.data(), kReservationProbeLength);
    if (route == BufferRoute::refused) SIL_RETURN(0);
    std::uint32_t returned = 0;
    const pds::os_error error = send_pass_through(device->fid, block, route, returned);
    sil_hex_dump_if_tracing(data.size(), data.data(), 0, nullptr, nullptr);
    // A device that still answers INQUIRY after an I/O error is reserved by another initiator.
    SIL_RETURN(error == 0 && block.sptd.ScsiStatus == 0 ? 1 : 0);
}

std::int32_t os_specific_io(T_SIL_DEVICE* device, T_SIL_IO_DATA_IN* io, void* data_buffer,
                            T_CDB_ERROR* cdb_err) {
    SIL_FUNCTION("os_specific_io");
    if (device == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    if (io == nullptr || cdb_err == nullptr) SIL_RETURN(SIL_ERR_FAILED);

    if (io->timeout_secs < SIL_MIN_WIN_TIMEOUT_SECS) {
        SIL_TRACE(SIL_TRACE_INFO, "Warning: timeout less then 10, overriding: timeout=10");
        io->timeout_secs = SIL_MIN_WIN_TIMEOUT_SECS;
    }
    const auto cdb_len = static_cast<std::size_t>(std::clamp(io->cdb_len, 0, 16));
    const std::span<const std::uint8_t> cdb(io->cdb, cdb_len);
    const std::uint8_t data_in = data_direction(*io);
    const auto timeout = static_cast<std::uint32_t>(io->timeout_secs);
    const pds::DeviceHandle handle = device->fid;

    // The Windows request's block, as the driver answered it; all zero (nothing moved) when the
    // request is not sent.
    ScsiPassThroughDirectWithSense block{};
    pds::os_error last_error = 0;
    bool request_ok = false;
    bool block_answered = false;  // the driver wrote its answer into `block`
    bool from_property_query = false;
    std::uint32_t property_bytes = 0;
    const BufferRoute route = (device->io_ok_flags & SIL_IO_VIA_MP_PASSTHRU) == 0
                                  ? route_for_adapter(*device, data_buffer, io->xfer_len)
                                  : BufferRoute::straight;
    if ((device->io_ok_flags & SIL_IO_VIA_MP_PASSTHRU) == 0 && route == BufferRoute::refused) {
        last_error = pds::kErrorInvalidParameter;  // what Windows answers; the request is not sent
    } else if ((device->io_ok_flags & SIL_IO_VIA_MP_PASSTHRU) == 0) {
        fill_block(block, cdb, data_in, io->xfer_len, timeout, data_buffer);
        SIL_TRACE(SIL_TRACE_INFO, "calling ioctl now");
        std::uint32_t returned = 0;
        last_error = send_pass_through(handle, block, route, returned);
        request_ok = last_error == 0;
        block_answered = request_ok;
        SIL_TRACE(SIL_TRACE_INFO, "DeviceIoControl Done: errno = %d, bytes returned = %d\n",
                  static_cast<int>(last_error), static_cast<int>(returned));
        SIL_TRACE(SIL_TRACE_INFO, "done ioctl");
        if (last_error == pds::kErrorAccessDenied && asks_for_standard_page(*io)) {
            const FallbackResult fallback = inquiry_from_storage_property(handle, data_buffer, io->xfer_len);
            last_error = fallback.error;
            request_ok = fallback.error == 0;
            from_property_query = true;
            property_bytes = fallback.copied;
        }
    }
    std::int32_t rc = request_ok && block.sptd.ScsiStatus == 0 ? SIL_OK : SIL_ERR_SCSI;

    // The multipathing driver's pass-through: the road of every command once it has worked for
    // the device, a second chance after a failure until it has failed once.
    const bool via_mp = (device->io_ok_flags & SIL_IO_VIA_MP_PASSTHRU) != 0;
    if (device->mp_passthru_failed == 0 && (via_mp || rc == SIL_ERR_SCSI)) {
        SIL_TRACE(kTraceMultipath, "Attempt mpScsiPassThroughDirect in TxCDB");
        // The entry gets the command afresh; when it fails, the Windows answer stays the one the
        // error record describes.
        ScsiPassThroughDirectWithSense mp_block;
        fill_block(mp_block, cdb, data_in, io->xfer_len, timeout, data_buffer);
        const std::uint32_t mp_rc =
            pds::multipath_client().mp_scsi_pass_through(handle, SIL_MP_PASSTHRU_VALUE, &mp_block);
        SIL_TRACE(kTraceMultipath, "mpScsiPassThroughDirect result = %d", static_cast<int>(mp_rc));
        if (mp_rc == pds::kMpNotEnabled) {
            if (const std::string fault = pds::multipath_client().library_fault(); !fault.empty()) {
                SIL_TRACE(SIL_TRACE_ERROR, "the multipathing driver's library: %s", fault.c_str());
            }
        }
        if (mp_rc != 0) {
            rc = SIL_ERR_SCSI;
            device->mp_passthru_failed = 1;
            // Back to the Windows request for later commands: the failed entry is not tried again.
            device->io_ok_flags &= static_cast<std::uint8_t>(~SIL_IO_VIA_MP_PASSTHRU);
        } else {
            rc = SIL_OK;
            device->io_ok_flags |= SIL_IO_VIA_MP_PASSTHRU;
            block = mp_block;
            block_answered = true;
            from_property_query = false;
        }
    }

    // A request the system failed moved nothing: the block still holds the length asked for.
    const std::uint32_t moved = from_property_query ? property_bytes
                                : block_answered    ? block.sptd.DataTransferLength
                                                    : 0;
    cdb_err->os_error = last_error;
    io->xfer_done = moved;
    cdb_err->bytesTransferred = moved;
    if (rc == SIL_OK && block.sptd.ScsiStatus == 0) SIL_RETURN(SIL_OK);

    // A request that failed in the operating system hands no block back: the SenseInfoLength
    // still there is the one asked for, not sense the driver returned.
    if (block_answered && block.sptd.SenseInfoLength != 0) record_sense(block, *cdb_err);
    if ((io->direction == 0 || io->direction == 1) && moved != io->xfer_len) {
        cdb_err->korvStatus |= CDB_ERR_XFER_RUN;
    }
    // The port driver reports a reservation held by another initiator either as error 1117
    // (confirmed by the probe) or as a completed request whose status is RESERVATION CONFLICT.
    if (block_answered && block.sptd.ScsiStatus == kStatusReservationConflict) {
        cdb_err->korvStatus |= CDB_ERR_RESERVATION;
    } else if (block.sptd.ScsiStatus == 0 && last_error == pds::kErrorIoDevice &&
               sil_is_WIN32_reserv_conflict(device) != 0) {
        cdb_err->korvStatus |= CDB_ERR_RESERVATION;
    }
    if (sil_trace_on() != 0) {
        print_cdb_error(cdb_err, device->trace_ctx);
        SIL_TRACE(SIL_TRACE_ERROR, "Error in sending cdb, GetLastError() returns %d", static_cast<int>(last_error));
    }
    SIL_RETURN(SIL_ERR_SCSI);
}
