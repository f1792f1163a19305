// What TxCDB reports: the failure report, the one-line command summary and its counters, the
// hex dumps of CDBs and data.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pds/byteorder.h"
#include "sildebug.h"
#include "silinitl.h"
#include "sil/siltext.h"
#include "siltxcdb.h"

namespace {

constexpr std::uint32_t kTraceDmaLine = 40;
constexpr std::uint8_t kSyscallOrder = 0x17;  // first byte of every system-call header
constexpr std::uint32_t kMaxShownLength = 65520;
constexpr std::uint32_t kOddLengthShown = 512;

// Process-wide summary counters; several discovery threads may send at once. Adding to the
// atomic double is a compare-exchange loop, so no elapsed time is lost either.
std::atomic<std::uint32_t> g_passed{0};
std::atomic<std::uint32_t> g_failed{0};
std::atomic<std::uint32_t> g_bad_replies{0};
std::atomic<double> g_total_seconds{0.0};

// A data buffer of `length` bytes (none without a buffer), read through the one reply reader.
// The inspections below only describe a command for the trace: a byte past the buffer shows as
// zero there, and nothing is ever read past what the command moved.
pds::ReplyReader reader_of(const void* data, std::uint32_t length) {
    return pds::ReplyReader(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data),
                                                          data != nullptr ? length : 0));
}
std::uint8_t at(const pds::ReplyReader& r, std::size_t i) { return r.u8_or(i, 0); }
std::uint32_t be16_at(const pds::ReplyReader& r, std::size_t i) { return std::uint32_t{at(r, i)} * 256 + at(r, i + 1); }

// A label through the trace print and, below it, the bytes [offset, offset+length) of `bytes`
// through the hex dump. Nothing is shown past the end of the buffer.
void dump_block(const char* label, const pds::ReplyReader& bytes, std::uint32_t offset, std::uint32_t length) {
    const auto shown = bytes.bytes_upto(offset, length);
    if (shown.empty()) return;
    sil_trace_printf("%s", label);
    sil_hex_dump(shown.size(), shown.data(), 0, nullptr, nullptr);
}

// A fixed-size text field as a string, never reading past the field.
template <std::size_t N>
std::string field_text(const char (&field)[N], std::size_t max_chars = N) {
    return std::string(field, strnlen(field, std::min(N, max_chars)));
}

}  // namespace

// ---- failure report ----------------------------------------------------------------------------

std::vector<std::string> cdb_error_report_lines(const T_CDB_ERROR* err) {
    std::vector<std::string> lines{"\nTxCDB() IO failed. \n\n"};
    if (err == nullptr) return lines;
    lines.emplace_back("\nXMV Generic CDB error info:\n");
    lines.push_back(sil_format("  pcdbErr->raw_device_fn    = %s\n", field_text(err->raw_device_fn).c_str()));
    lines.push_back(sil_format("  pcdbErr->korvStatus       = 0x%x :\n", err->korvStatus));
    if (err->korvStatus != 0) {
        static constexpr struct {
            std::uint32_t bit;
            const char* text;
        } kNamedBits[] = {
            {CDB_ERR_XFER_RUN, " Xfer over/under run,\n"},
            {CDB_ERR_BUSY, " Busy,\n"},
            {CDB_ERR_CHECK_CONDITION, " Check condition,\n"},
            {CDB_ERR_RESERVATION, " Reservation conflict,\n"},
            {CDB_ERR_TIMEOUT, " Timeout,\n"},
            {CDB_ERR_INCOMPLETE, " Incomplete,\n"},
            {CDB_ERR_POWER_FAIL, " Power fail,\n"},
        };
        for (const auto& named : kNamedBits) {
            if ((err->korvStatus & named.bit) != 0) lines.emplace_back(named.text);
        }
        lines.emplace_back((err->korvStatus & CDB_ERR_RETRY) != 0 ? " Retry suggested.\n"
                                                                  : " Retry NOT suggested.\n");
    }
    lines.push_back(sil_format("  pcdbErr->cdb[0]           = 0x%x\n", err->cdb[0]));
    if (err->senseAvailable != 0) {
        lines.emplace_back("  pcdbErr->senseAvailable?    YES\n");
        lines.push_back(sil_format("  pcdbErr->sense_key        = 0x%x\n", err->sense_key));
        lines.push_back(sil_format("  pcdbErr->add_sense_code   = 0x%x\n", err->add_sense_code));
    } else {
        lines.emplace_back("  pcdbErr->senseAvailable?    NO\n");
    }
    lines.push_back(sil_format("  pcdbErr->bytesToTransfer  = 0x%x\n", err->bytesToTransfer));
    lines.push_back(sil_format("  pcdbErr->bytesTransferred = 0x%x\n", err->bytesTransferred));
    lines.push_back(sil_format("  pcdbErr->pid              = %04d\n", static_cast<int>(err->pid)));
    lines.push_back(sil_format("  pcdbErr->ioctlTimeoutSecs = %d\n", static_cast<int>(err->ioctlTimeoutSecs)));
    lines.emplace_back("\nHost Specific CDB error info:\n");
    return lines;
}

std::int32_t print_cdb_error(const T_CDB_ERROR* cdb_err, std::uint64_t trace_ctx) {
    SIL_FUNCTION("print_cdb_error");
    if (sil_trace_on() != 0) {
        for (const std::string& line : cdb_error_report_lines(cdb_err)) sil_trace_printf("%s", line.c_str());
    }
    SIL_RETURN(cdb_err == nullptr ? SIL_ERR_FAILED : SIL_OK);
}

// ---- one-line summary --------------------------------------------------------------------------

T_CDB_SUMMARY_COUNTS sil_cdb_summary_counts() {
    return {g_passed.load(), g_failed.load(), g_bad_replies.load(), g_total_seconds.load()};
}

T_SYSCALL_BUFFER_HEADER find_syscall_header(const std::uint8_t* data, std::uint32_t xfer_len) {
    const pds::ReplyReader r = reader_of(data, xfer_len);
    const auto b = [&](std::size_t i) { return at(r, i); };
    T_SYSCALL_BUFFER_HEADER h{be16_at(r, 6) + 8, 8, true, false};
    if (b(8) == kSyscallOrder && (b(11) == 6 || b(12) == 4)) {
        h.long_form = b(11) == 6;
    } else if (b(0) == kSyscallOrder && (b(3) == 6 || b(4) == 4)) {
        h.start = 0;
        h.long_form = b(3) == 6;
    } else if (b(8) != kSyscallOrder) {
        h.length = 8;
        bool bad_pattern = b(0) == 0x01;
        for (std::size_t i = 1; i < 32 && bad_pattern; ++i) bad_pattern = b(i) == 0;
        bool any_set = false;
        for (std::size_t i = 0; i < 64 && !any_set; ++i) any_set = b(i) != 0;
        if (bad_pattern) {
            h.bad_reply = true;
        } else if (any_set) {
            h.length = 0;
        }
    }
    // The header's length is the device's word: never more than the command moved.
    h.length = std::min(h.length, xfer_len);
    return h;
}

std::string format_cdb_summary(const std::uint8_t* cdb, const std::uint8_t* data,
                               std::uint32_t xfer_len, const T_SIL_DEVICE* device, double seconds,
                               const T_CDB_SUMMARY_COUNTS& counts, std::int32_t result) {
    static const T_SIL_DEVICE kNoDevice{};
    const T_SIL_DEVICE& dev = device != nullptr ? *device : kNoDevice;
    const std::uint8_t opcode = cdb[0];
    std::string line = sil_format(
        "Cdb:%02X DV#%04X Dir:%02X-%d Ucode:%04X Kor:%s Dev:<%s> Time:%5.3f/%5.3f status:%-3d "
        "Pass/Fail=%05d/%05d ",
        opcode, dev.korv_dev_num, dev.director, dev.port, dev.ucode_level, field_text(dev.korid).c_str(),
        field_text(dev.name, 78).c_str(), seconds, counts.total_seconds, result,
        static_cast<int>(counts.passed), static_cast<int>(counts.failed));
    if (opcode != SCSI_WRITE_BUFFER && opcode != SCSI_READ_BUFFER) return line;

    // WRITE BUFFER and READ BUFFER carry the array system calls: show the call's identity.
    const pds::ReplyReader r = reader_of(data, xfer_len);
    const auto b = [&](std::size_t i) { return at(r, i); };
    const T_SYSCALL_BUFFER_HEADER h = find_syscall_header(data, xfer_len);
    const std::size_t s = h.start;
    line += sil_format("BadCC:%04d CC:%02X%02X  L=%04x  Sysc:%02X%02X_%02x_%02x",
                   static_cast<int>(counts.bad_replies), cdb[4], cdb[5], h.length, b(s + 4), b(s + 5),
                   b(s + 16), b(s + 17));
    if (b(s) != kSyscallOrder) {
        line += " ORDER17 MISSING";
    } else if (opcode == SCSI_WRITE_BUFFER) {
        const std::uint8_t n = b(s + 57);
        if (n >= 1 && n <= 7) {
            line += " RPX:";
            for (std::size_t i = 0; i < n; ++i) line += sil_format("%02X", b(s + 64 + i));
        }
    } else {
        line += sil_format(" RC=%02X-%02x", b(s + 1), b(s + 2));
    }
    return line;
}

void log_cdb_summary(const std::uint8_t* cdb, const void* data, const T_SIL_DEVICE* device,
                     double start_time, std::int32_t result) {
    if (cdb == nullptr || !sil_cdb_dump_on()) return;
    const double seconds = sil_seconds_now() - start_time;
    g_total_seconds.fetch_add(seconds);
    (result == 0 ? g_passed : g_failed).fetch_add(1);
    const std::uint8_t opcode = cdb[0];
    // Only the buffer commands' data is inspected; their length does not depend on the block size.
    const bool buffer_command = opcode == SCSI_WRITE_BUFFER || opcode == SCSI_READ_BUFFER;
    const std::uint32_t xfer_len = buffer_command ? get_xfer_length(cdb, SIL_TRANSPORT_BLOCK_SIZE) : 0;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (buffer_command && find_syscall_header(bytes, xfer_len).bad_reply) g_bad_replies.fetch_add(1);
    const std::string line =
        format_cdb_summary(cdb, bytes, xfer_len, device, seconds, sil_cdb_summary_counts(), result);
    SIL_TRACE(SIL_TRACE_INFO, "%s", line.c_str());
}

// ---- dumps ---------------------------------------------------------------------------------------

void dump_cdb_out(const T_SIL_IO_DATA_IN* io, const void* data, std::uint64_t trace_ctx) {
    if (io == nullptr || !sil_cdb_dump_on()) return;
    const auto cdb_len = static_cast<std::uint32_t>(std::clamp(io->cdb_len, 0, 16));
    dump_block("CDB:\n", reader_of(io->cdb, cdb_len), 0, cdb_len);
    const pds::ReplyReader out = reader_of(data, io->xfer_len);
    const auto all = static_cast<std::uint32_t>(out.size());
    switch (io->cdb[0]) {
    case SCSI_SEND_DIAGNOSTIC: dump_block("SEND DIAGNOSTIC data:\n", out, 0, all); break;
    case SCSI_WRITE_BUFFER: dump_block("WRITE BUFFER data:\n", out, 0, all); break;
    case SCSI_PERSISTENT_RESERVE_OUT: dump_block("WRITE BUFFER data :\n", out, 0, all); break;
    default: break;
    }
}

void dump_cdb_in(const T_SIL_IO_DATA_IN* io, const void* data, std::uint64_t trace_ctx) {
    if (io == nullptr || !sil_cdb_dump_on()) return;
    const std::uint32_t xfer_len = io->xfer_len;
    const pds::ReplyReader in = reader_of(data, xfer_len);
    const std::uint8_t opcode = io->cdb[0];
    const auto done = static_cast<std::int32_t>(io->xfer_done);

    // Every length the reply claims is cut to what the command asked for (the caller's buffer
    // holds xfer_len bytes): INQUIRY's additional length, READ BUFFER's header length, and the
    // fixed READ CAPACITY lengths when the CDB asked for less.
    std::uint32_t shown = xfer_len;
    if (done >= 1 && static_cast<std::uint32_t>(done) < kMaxShownLength) {
        switch (opcode) {
        case SCSI_INQUIRY: shown = at(in, io->cdb[1] != 0 ? 3 : 4) + 4u; break;
        case SCSI_READ_CAPACITY10: shown = 8; break;
        case SCSI_SERVICE_ACTION_IN16: shown = 12; break;
        case SCSI_READ_BUFFER: shown = at(in, 8) == kSyscallOrder ? be16_at(in, 6) + 8 : io->xfer_done; break;
        default: break;
        }
        shown = std::min(shown, xfer_len);
    }
    const T_SYSCALL_BUFFER_HEADER header =
        opcode == SCSI_READ_BUFFER ? find_syscall_header(in.all().data(), static_cast<std::uint32_t>(in.size())) : T_SYSCALL_BUFFER_HEADER{0, 8, true, false};
    SIL_TRACE(kTraceDmaLine, "SCSI DMA bytes requested: 0x%x. Actual bytes transferred: 0x%x. XMV 3c xfer: 0x%x",
              xfer_len, shown, header.length);
    if (done < 0) {
        SIL_TRACE(kTraceDmaLine, "IO length is negative, this only effects debug, probably caused by Sun fibre");
    }
    // The fallback for odd lengths is cut like the rest.
    if (shown < 1 || shown > kMaxShownLength) shown = std::min(kOddLengthShown, xfer_len);

    switch (opcode) {
    case SCSI_RECEIVE_DIAGNOSTIC: dump_block("RECEIVE DIAGNOSTIC data:\n", in, 0, shown); break;
    case SCSI_INQUIRY: dump_block("INQUIRY data:\n", in, 0, shown); break;
    // LOG SENSE always shows its 144-byte page, cut (by dump_block) to the bytes asked for.
    case SCSI_LOG_SENSE: dump_block("LOG SENSE data:\n", in, 0, 144); break;
    case SCSI_READ_CAPACITY10:
    case SCSI_SERVICE_ACTION_IN16: dump_block("READ CAPACITY data:\n", in, 0, std::min<std::uint32_t>(shown, 16)); break;
    case SCSI_READ_BUFFER: {
        const std::uint32_t length = header.length != 0 ? header.length : shown;
        if (!header.long_form) {
            dump_block("READ BUFFER data:\n", in, 0, length);
            break;
        }
        const std::uint8_t extents = at(in, header.start + 23);
        std::uint32_t head = header.start + 24;
        if ((extents & 0x02) != 0) head += 16;
        if ((extents & 0x01) != 0) head += 16;
        head = std::min(head, length);
        dump_block("READ HEADER data:\n", in, 0, head);
        dump_block("READ BUFFER data:\n", in, head, length - head);
        break;
    }
    default: break;
    }
}
