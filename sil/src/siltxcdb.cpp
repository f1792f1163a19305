// TxCDB, the one entry every SCSI command goes through: lengths, command record, road, retry advice.
#include "siltxcdb.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <span>

#include "pds/byteorder.h"
#include "pds/platform.h"
#include "sildebug.h"
#include "silinitl.h"
#include "silkorinq.h"

namespace {

constexpr std::uint32_t kTraceClearing = 0x1000020;

// The opcode's group code (its top three bits).
constexpr int group_of(std::uint8_t opcode) { return opcode >> 5; }

// Turns the data dump on for the rest of the process. The verbosity word is shared by every
// thread sending commands, so the bit is set atomically; the trace gate follows the word.
void force_data_dump_on() {
    T_SIL_CONTEXT* ctx = sil_context();
    if (ctx == nullptr) return;
    std::atomic_ref<std::uint32_t>(ctx->verbosity).fetch_or(SIL_TC_CDB_LOG);
    sil_trace_gate.fetch_or(SIL_TC_CDB_LOG);
}

// The CKD bit of the device's inquiry data, or -1 without valid inquiry data.
int ckd_of(const T_SIL_DEVICE& dev) {
    if (dev.inquiry != 1 || dev.inquiry_data == nullptr) return -1;
    return (dev.inquiry_data->device_flags & KOR_FLAG_CKD) != 0 ? 1 : 0;
}

void trace_device_lines(const T_SIL_DEVICE& dev, const void* data_buffer) {
    char korid[sizeof dev.korid + 1] = {};
    std::memcpy(korid, dev.korid, sizeof dev.korid);
    char name[sizeof dev.name + 1] = {};
    std::memcpy(name, dev.name, sizeof dev.name);
    // The handle is a pointer on Windows: traced whole, not cut to an int.
    SIL_TRACE(SIL_TRACE_INFO_DETAIL, "SIL dev: fid=%p isOpen=%d name=<%s>, bus: %d tid: %d lun: %d",
              reinterpret_cast<void*>(static_cast<std::uintptr_t>(dev.fid)), dev.isOpen, name, dev.bus, dev.tid, dev.lun);
    SIL_TRACE(SIL_TRACE_INFO_DETAIL, "SIL dev: ucode=0x%x date=0x%08x korvModel=0x%04x cap=%d ckd=%d",
              dev.ucode_level, dev.ucode_date, dev.korv_model, static_cast<int>(dev.cap), ckd_of(dev));
    SIL_TRACE(SIL_TRACE_INFO_DETAIL, "SIL dev: korid: %s", korid);
    const auto address = reinterpret_cast<std::uintptr_t>(data_buffer);
    if (address % 4 != 0) {
        SIL_TRACE(SIL_TRACE_INFO_DETAIL,
                  "WARNING !!! Data buffer not 4-byte aligned. Address of data buffer: 0x%lx",
                  static_cast<unsigned long>(address));
    }
}

// Applies the caller's custom settings to a fresh command record.
void apply_settings(const T_SIL_IOCTL_SETTINGS* settings, T_SIL_IO_DATA_IN& io) {
    // Callers pass small integers (often 1) for "no settings": the pointer's value is checked
    // before anything is read through it.
    if (reinterpret_cast<std::uintptr_t>(settings) < SIL_IOCTL_SETTINGS_MIN_ADDRESS) return;
    SIL_TRACE(SIL_TRACE_INFO, "Using custom ioctl() settings.");
    if (settings->ioctlTimeoutSecs >= 1 && settings->ioctlTimeoutSecs <= 299) {
        io.timeout_secs = settings->ioctlTimeoutSecs;
    } else {
        SIL_TRACE(SIL_TRACE_INFO, "Warning Invalid ioctlTimeoutSecs, using default");
    }
    if (settings->use_520_blocks == 1) {
        io.blocks_520 = 1;
        io.block_size = 520;
    } else if (settings->use_2088_blocks == 1) {
        io.blocks_2088 = 1;
        io.block_size = 2088;
    }
    if (settings->host_flag1 != 0) io.host_flag1 = 1;
    if (settings->host_flag2 != 0) io.host_flag2 = 1;
}

void set_success_flags(T_SIL_DEVICE& dev, std::uint8_t opcode) {
    dev.io_ok_flags |= SIL_IO_OK_ANY;
    switch (opcode) {
    case SCSI_WRITE_BUFFER:
    case SCSI_READ_BUFFER: dev.io_ok_flags |= SIL_IO_OK_BUFFER; break;
    case SCSI_READ_CAPACITY10: dev.io_ok_flags |= SIL_IO_OK_READCAP; break;
    case SCSI_INQUIRY: dev.io_ok_flags |= SIL_IO_OK_INQUIRY; break;
    default: break;
    }
}

}  // namespace

double sil_seconds_now() {
    return static_cast<double>(pds::platform().monotonic_ns()) / 1e9;
}

bool sil_cdb_dump_on() { return (sil_trace_on() & SIL_TC_CDB_LOG) != 0; }

std::int32_t get_cdb_length(std::uint8_t opcode) {
    switch (group_of(opcode)) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    case 7: return opcode == 0xF1 ? 16 : 10;
    default: return 0;  // groups 3 and 6 are reserved
    }
}

std::uint32_t get_xfer_length(const std::uint8_t* cdb, std::uint32_t block_size) {
    // Every field read below lies inside the CDB length of its opcode's group.
    const auto cdb_len = static_cast<std::size_t>(get_cdb_length(cdb[0]));
    const std::span<const std::uint8_t> c(cdb, cdb_len > 0 ? cdb_len : 1);
    const auto byte = [&](std::size_t i) { return std::uint32_t{c[i]}; };
    const auto be16_at = [&](std::size_t i) { return std::uint32_t{pds::load_be16(c.subspan(i))}; };
    const auto be24_at = [&](std::size_t i) { return pds::load_be24(c.subspan(i)); };
    const auto be32_at = [&](std::size_t i) { return pds::load_be32(c.subspan(i)); };
    switch (c[0]) {
    case 0x00: return 0;
    case 0x12:
    case 0x15:
    case 0x1A: return byte(4);
    case 0x55:
    case 0x5A: return be16_at(7);
    case 0x1C:
    case 0x1D: return be16_at(3);
    case 0x18:
    case 0x3A: return be24_at(2);
    case 0x3B:
    case 0x3C:
    case 0xEF: return be24_at(6);
    case 0x3E:
    case 0x3F:
    case 0x42:
    case 0x4D:
    case 0x5F: return be16_at(7);
    case 0xA3: return be32_at(6);
    case 0xEC: return std::uint32_t{pds::load_le16(c.subspan(7))};
    case 0x25: return 8;
    case 0x41:
    case 0x93: return 512;
    case 0x83:
    case 0x88:
    case 0x8E:
    case 0x8F:
    case 0x9E: return be32_at(10);
    case 0xF1: return be32_at(10) * block_size * 2;
    default: break;
    }
    switch (group_of(c[0])) {
    case 0: return byte(4) * block_size;
    case 1:
    case 2: return be16_at(7) * block_size;
    case 4: return be32_at(10) * block_size;
    case 5: return be32_at(6) * block_size;
    case 7: return be16_at(7) * block_size;
    default: return 0;
    }
}

std::int32_t should_we_suggest_retry(const T_CDB_ERROR* cdb_err) {
    if (cdb_err == nullptr || cdb_err->korvStatus == 0) return 1;
    const std::uint32_t status = cdb_err->korvStatus;
    // Later rules override earlier ones.
    struct Rule {
        std::uint32_t bit;
        std::int32_t advice;
    };
    static constexpr Rule kRules[] = {
        {CDB_ERR_DAEMON_8, 0},         {CDB_ERR_DAEMON_1, 0},   {CDB_ERR_DAEMON_2, 0},
        {CDB_ERR_DAEMON_4, 0},         {CDB_ERR_BUSY, 1},       {CDB_ERR_RESERVATION, 1},
        {CDB_ERR_TIMEOUT, 1},          {CDB_ERR_INCOMPLETE, 0}, {CDB_ERR_DAEMON_200, 0},
        {CDB_ERR_POWER_FAIL, 0},       {CDB_ERR_CHECK_CONDITION, 1},
    };
    std::int32_t advice = 1;
    for (const Rule& rule : kRules) {
        if ((status & rule.bit) != 0) advice = rule.advice;
    }
    if (cdb_err->senseAvailable != 0) {
        // The sense key alone decides: transient conditions are worth another try.
        switch (cdb_err->sense_key) {
        case 0x01:  // RECOVERED ERROR
        case 0x02:  // NOT READY
        case 0x06:  // UNIT ATTENTION
        case 0x0B:  // ABORTED COMMAND
            return 1;
        default: return 0;
        }
    }
    return advice;
}

// The base daemon belongs to a subsystem this build does not include. Answering with a distinct
// status (rather than pretending the command ran) lets callers tell it from a SCSI failure.
std::int32_t DMNSIL_os_specific_io(T_SIL_DEVICE* device, T_SIL_IO_DATA_IN* io, void* data_buffer,
                                   T_CDB_ERROR* cdb_err) {
    SIL_FUNCTION("DMNSIL_os_specific_io");
    SIL_TRACE(SIL_TRACE_ERROR, "base daemon road not available in this build");
    SIL_RETURN(SIL_ERR_DAEMON_NOT_AVAILABLE);
}

std::int32_t DMNSIL_os_specific_io_no_buff(T_SIL_DEVICE* device, T_SIL_IO_DATA_IN* io,
                                           T_CDB_ERROR* cdb_err) {
    SIL_FUNCTION("DMNSIL_os_specific_io_no_buff");
    SIL_TRACE(SIL_TRACE_ERROR, "base daemon road not available in this build");
    SIL_RETURN(SIL_ERR_DAEMON_NOT_AVAILABLE);
}

namespace {

// TxCDB's work. `data` is the caller's buffer; when its size is known (`size_known`), a buffer
// smaller than the CDB's transfer is refused before anything is sent.
T_SIL_REPLY transfer(const std::uint8_t* cdb, std::uint8_t direction, T_CDB_ERROR* cdb_error_out,
                     const T_SIL_IOCTL_SETTINGS* ioctl_settings, std::span<std::uint8_t> data, bool size_known,
                     T_SIL_DEVICE* device, int force_dump) {
    const double start_time = sil_seconds_now();
    const std::uint64_t trace_ctx = device != nullptr ? device->trace_ctx : 0;
    void* const data_buffer = data.data();
    if (force_dump != 0) force_data_dump_on();
    const bool dump_on = sil_cdb_dump_on();
    T_SIL_REPLY reply;

    SIL_FUNCTION("TxCDB");
    const auto leave = [&](std::int32_t rc) {
        reply.status = sil_function_scope_.result(rc);
        return reply;
    };
    if (const std::int32_t rc = sil_require_init(); rc != 0) return leave(rc);
    if (device == nullptr) return leave(SIL_ERR_NO_DEVICE);
    if (cdb == nullptr) return leave(SIL_ERR_FAILED);
    if (device->access_method == SIL_ACCESS_SOCKET || device->access_method == SIL_ACCESS_KORVWIN) {
        SIL_TRACE(SIL_TRACE_ERROR, "This is a SOCKET or KorvWin device, you cannot do SCSI IO throught it");
        return leave(SIL_ERR_WRONG_DEVICE_KIND);
    }
    if (dump_on) trace_device_lines(*device, data_buffer);

    // Per-call records live on this stack frame: TxCDB runs on several threads at once.
    T_CDB_ERROR err{};
    T_SIL_IO_DATA_IN io{};
    io.timeout_secs = SIL_DEFAULT_TIMEOUT_SECS;
    io.block_size = SIL_TRANSPORT_BLOCK_SIZE;
    io.direction = direction;
    apply_settings(ioctl_settings, io);

    io.cdb_len = get_cdb_length(cdb[0]);
    io.xfer_len = get_xfer_length(cdb, io.block_size);
    std::memcpy(io.cdb, cdb, static_cast<std::size_t>(io.cdb_len));

    SIL_TRACE(kTraceClearing, "Clearing local error struct");
    std::memcpy(err.cdb, io.cdb, sizeof err.cdb);
    // At most 80 characters of the name; the zeroed record supplies the NUL.
    std::memcpy(err.raw_device_fn, device->name, strnlen(device->name, 80));
    err.korvStatus = 0;
    err.host_specific[0] = 0;
    err.senseAvailable = 0;
    err.pid = pds::platform().process_id();
    err.bytesToTransfer = io.xfer_len;
    err.ioctlTimeoutSecs = static_cast<std::uint32_t>(io.timeout_secs);

    // The device would write (or the road read) xfer_len bytes of the buffer: a smaller buffer is
    // the caller's mistake, and it must not become an overrun.
    if (size_known && data.size() < io.xfer_len) {
        SIL_TRACE(SIL_TRACE_ERROR, "data buffer of %u bytes is smaller than the %u bytes the CDB moves",
                  static_cast<unsigned>(data.size()), static_cast<unsigned>(io.xfer_len));
        if (cdb_error_out != nullptr) *cdb_error_out = err;
        return leave(SIL_ERR_FAILED);
    }

    if (dump_on) dump_cdb_out(&io, data_buffer, trace_ctx);

    std::int32_t rc;
    if (sil_is_daemon_device(*device)) {
        rc = io.xfer_len != 0 ? DMNSIL_os_specific_io(device, &io, data_buffer, &err)
                              : DMNSIL_os_specific_io_no_buff(device, &io, &err);
    } else {
        rc = os_specific_io(device, &io, data_buffer, &err);
    }

    if (rc != 0) {
        if (should_we_suggest_retry(&err) != 0) err.korvStatus |= CDB_ERR_RETRY;
        print_cdb_error(&err, trace_ctx);
    } else {
        set_success_flags(*device, io.cdb[0]);
    }
    if (cdb_error_out != nullptr) *cdb_error_out = err;
    if (dump_on) {
        log_cdb_summary(io.cdb, data_buffer, device, start_time, rc);
        if (rc == 0) dump_cdb_in(&io, data_buffer, trace_ctx);
    }
    // The road's count is the driver's word: never more than the command asked for.
    reply.received = std::min(io.xfer_done, io.xfer_len);
    if (size_known) reply.received = std::min<std::uint32_t>(reply.received, static_cast<std::uint32_t>(data.size()));
    reply.bytes = std::span<const std::uint8_t>(data.data(), data.data() != nullptr ? reply.received : 0);
    return leave(rc);
}

T_SIL_COMMAND command_of(std::initializer_list<std::uint8_t> cdb, std::span<std::uint8_t> data,
                         std::uint8_t direction = 0) {
    T_SIL_COMMAND command;
    std::copy(cdb.begin(), cdb.end(), command.cdb.begin());
    command.data = data;
    command.direction = direction;
    return command;
}

// The one-byte allocation length of a 6-byte CDB: the buffer's size, up to 255.
std::uint8_t allocation6(std::span<std::uint8_t> buffer) {
    return static_cast<std::uint8_t>(std::min<std::size_t>(buffer.size(), 255));
}

}  // namespace

T_SIL_COMMAND sil_cmd_inquiry(std::span<std::uint8_t> buffer) {
    const std::uint8_t n = allocation6(buffer);
    return command_of({SCSI_INQUIRY, 0x00, 0x00, 0x00, n, 0x00}, buffer.first(n));
}

T_SIL_COMMAND sil_cmd_vpd_inquiry(std::uint8_t page, std::span<std::uint8_t> buffer) {
    const std::uint8_t n = allocation6(buffer);
    return command_of({SCSI_INQUIRY, 0x01, page, 0x00, n, 0x00}, buffer.first(n));
}

T_SIL_COMMAND sil_cmd_read_capacity10(std::span<std::uint8_t> buffer) {
    return command_of({SCSI_READ_CAPACITY10, 0, 0, 0, 0, 0, 0, 0, 0, 0}, buffer);
}

T_SIL_COMMAND sil_cmd_read_capacity16(std::span<std::uint8_t> buffer) {
    T_SIL_COMMAND command = command_of({SCSI_SERVICE_ACTION_IN16, 0x10}, buffer);
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(buffer.size(), 0xFFFFFFFFu));
    pds::store_be32(std::span<std::uint8_t>(command.cdb).subspan(10, 4), n);
    return command;
}

T_SIL_COMMAND sil_cmd_mode_sense6(std::uint8_t page_field, std::span<std::uint8_t> buffer) {
    const std::uint8_t n = allocation6(buffer);
    return command_of({0x1A, 0x00, page_field, 0x00, n, 0x00}, buffer.first(n));
}

T_SIL_COMMAND sil_cmd_read10(std::uint32_t lba, std::span<std::uint8_t> buffer) {
    const std::size_t blocks = std::min<std::size_t>(buffer.size() / SIL_TRANSPORT_BLOCK_SIZE, 0xFFFF);
    T_SIL_COMMAND command = command_of({0x28, 0x00}, buffer.first(blocks * SIL_TRANSPORT_BLOCK_SIZE));
    const std::span<std::uint8_t> c(command.cdb);
    pds::store_be32(c.subspan(2, 4), lba);
    pds::store_be16(c.subspan(7, 2), static_cast<std::uint16_t>(blocks));
    return command;
}

namespace {
T_SIL_COMMAND buffer_command(std::uint8_t opcode, std::uint8_t mode, std::uint8_t buffer_id, std::uint32_t offset,
                             std::span<std::uint8_t> buffer, std::uint8_t direction) {
    const std::size_t n = std::min<std::size_t>(buffer.size(), 0xFFFFFF);
    T_SIL_COMMAND command = command_of({opcode, mode, buffer_id}, buffer.first(n), direction);
    const std::span<std::uint8_t> c(command.cdb);
    pds::store_be24(c.subspan(3, 3), offset);
    pds::store_be24(c.subspan(6, 3), static_cast<std::uint32_t>(n));
    return command;
}
}  // namespace

T_SIL_COMMAND sil_cmd_read_buffer(std::uint8_t mode, std::uint8_t buffer_id, std::uint32_t offset,
                                  std::span<std::uint8_t> buffer) {
    return buffer_command(SCSI_READ_BUFFER, mode, buffer_id, offset, buffer, 0);
}

T_SIL_COMMAND sil_cmd_write_buffer(std::uint8_t mode, std::uint8_t buffer_id, std::uint32_t offset,
                                   std::span<std::uint8_t> buffer) {
    return buffer_command(SCSI_WRITE_BUFFER, mode, buffer_id, offset, buffer, 1);
}

T_SIL_REPLY sil_send(T_SIL_DEVICE* device, const T_SIL_COMMAND& command, const T_SIL_IOCTL_SETTINGS* settings,
                     int force_dump, T_CDB_ERROR* error_out) {
    return transfer(command.cdb.data(), command.direction, error_out, settings, command.data, true, device,
                    force_dump);
}

T_SIL_REPLY sil_send_cdb(T_SIL_DEVICE* device, std::span<const std::uint8_t> cdb, std::uint8_t direction,
                         std::span<std::uint8_t> data, const T_SIL_IOCTL_SETTINGS* settings, int force_dump,
                         T_CDB_ERROR* error_out) {
    // The length rules read as far as the opcode's CDB length: a shorter CDB is refused.
    if (cdb.empty() || cdb.size() < static_cast<std::size_t>(get_cdb_length(cdb[0]))) return {};
    return transfer(cdb.data(), direction, error_out, settings, data, true, device, force_dump);
}

std::int32_t TxCDB(const std::uint8_t* cdb, std::uint8_t direction, T_CDB_ERROR* cdb_error_out,
                   const T_SIL_IOCTL_SETTINGS* ioctl_settings, void* data_buffer,
                   T_SIL_DEVICE* device, std::uintptr_t reserved, int force_dump) {
    // The caller vouches for the buffer's size (TxCDB's interface has no size).
    return transfer(cdb, direction, cdb_error_out, ioctl_settings,
                    std::span<std::uint8_t>(static_cast<std::uint8_t*>(data_buffer), 0),
                    false, device, force_dump)
        .status;
}
