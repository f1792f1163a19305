// The format-6 wire layer of the system-call engine: outer and system-call headers, the CRC, the chain code and the reply check.
#include "silsyscall.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <pds/byteorder.h>

#include "sildebug.h"
#include "siltrace.h"

namespace {

constexpr std::uint32_t kCrcPolynomial = 0xEDB88320;
constexpr std::uint16_t kMaxChainCode = 16383;
constexpr std::uint32_t kMaxPollSleepTenths = 768;
constexpr std::uint32_t kNduPauseMs = 15000;
constexpr std::uint32_t kShortRetryPauseMs = 500;
// Reply header: the fixed part every reply has, and where the flag-selected blocks begin.
constexpr std::size_t kReplyFixed = 8;
constexpr std::size_t kReplyBlocks = 24;
constexpr std::size_t kReplyBlockLen = 16;

const std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
        table[i] = c;
    }
    return table;
}();

bool is_sp_device(const T_SIL_DEVICE* dev) { return dev != nullptr && dev->access_method == SIL_ACCESS_KORVWIN; }

bool is_9261_retry_subcommand(std::uint8_t sub) {
    switch (sub) {
    case 2: case 3: case 4: case 8: case 0x81: case 0x82: case 0x83: case 0x84: case 0x88: return true;
    default: return false;
    }
}

// Calls whose overrun cannot be resumed at a later record: their records are not numbered.
bool overrun_ends_call(const sil_syscall_parms& p) {
    switch (p.syscall_id) {
    case 0x0157: case 0x0167: case 0x0162: case 0x0192: case 0x018A: return true;
    case 0x017F: return p.sys_f6_sub_command == 10;
    default: return false;
    }
}

// The hop list as it will travel, and the two hop record parameters.
struct Hops {
    std::uint8_t list[F6_HOP_LIST_LEN]{};
    std::uint32_t count = 0;
    std::uint32_t a = 0, b = 0;
    bool clear_qc_words = false;

    bool append(std::uint8_t group) {
        if (count >= F6_HOP_LIST_LEN) return false;
        list[count++] = group;
        return true;
    }
};

// Returns 0, or -22 when the hop list or its parameters would not fit their fields.
std::int32_t build_hops(const sil_syscall_parms& p, Hops& h) {
    if (p.rpx_hop_list_length > 0) {
        if (p.rpx_hop_list_length > F6_HOP_LIST_LEN) return SYSC_ERR_BAD_PARMS;
        if (p.rpx_hop_list_p == nullptr) return SYSC_ERR_SYSCALL_HEADER;
        h.count = p.rpx_hop_list_length;
        std::memcpy(h.list, p.rpx_hop_list_p, h.count);
    } else if (p.remote_syscall_f != 0) {
        h.count = 1;
        h.list[0] = p.rpx_group_number;
    }
    const std::uint16_t id = p.syscall_id;
    const std::uint8_t sub = p.sys_f6_sub_command;
    const bool rpx_state_call = id == 0x8148 || ((id == 0x8150 || id == 0x8152) && sub != 1) ||
                                (id == 0x9252 && (sub == 0x81 || sub == 0x83 || sub == 0x85 || sub == 0x87));
    if (rpx_state_call) {
        // Beyond 7 hops the parameters no longer fit their 16 bits; the array then takes none.
        if (h.count >= 1 && h.count <= 7) {
            h.a = 6u << (2 * (h.count - 1));
            h.b = 2u << (2 * (h.count - 1));
            h.clear_qc_words = true;
        }
        return SYSC_OK;
    }
    if (id != 0x815E) return SYSC_OK;
    h.clear_qc_words = true;
    const bool next_hop = p.frel_next_ra_group_f != 0;
    const bool passthru = p.frel_multiexecute_passthru_f != 0;
    bool ok = true;
    switch (sub) {
    case 1: case 12:
        if (next_hop) ok = h.append(p.frel_next_ra_group);
        h.a = next_hop ? 6 : 4;
        h.b = next_hop ? 0 : 2;
        break;
    case 2: case 11:
        if (next_hop) ok = h.append(p.frel_next_ra_group);
        h.a = next_hop ? 4 : 6;
        h.b = next_hop ? 2 : 0;
        break;
    case 7: case 8: case 16: case 17:
        if (passthru) break;
        if (next_hop) {
            ok = h.append(p.frel_next_ra_group);
        } else if (h.count == 0) {
            ok = false;  // no hop to take away
        } else {
            --h.count;
        }
        break;
    default:  // 3-6, 9, 10, 13-15, 32 and the rest: no hop parameters
        break;
    }
    if (!ok) return SYSC_ERR_BAD_PARMS;
    if (h.count >= 2) {
        h.a <<= 2 * (h.count - 1);
        h.b <<= 2 * (h.count - 1);
        if (h.a > 0xFFFF || h.b > 0xFFFF) return SYSC_ERR_BAD_PARMS;
    }
    return SYSC_OK;
}

std::int32_t protocol_error(std::size_t length, std::size_t available, std::size_t needed) {
    // Reply sizes stay far below 4 GiB; %zu is not known to every C runtime the library runs on.
    SIL_TRACE(SIL_TRACE_ERROR, "Malformed format 6 reply: length = %u, bytes received = %u, bytes needed = %u",
              static_cast<unsigned>(length), static_cast<unsigned>(available), static_cast<unsigned>(needed));
    return SYSC_ERR_BAD_REPLY;
}

// The array's requested sleep of a poll reply (0xA0): sets the pause, spends it from the call's
// own limit and decides whether another pass is allowed. `data` is the reply's data.
std::int32_t poll_sleep_rule(sil_syscall_parms& p, std::span<const std::uint8_t> data, bool may_ignore,
                             format6_next_pass& next) {
    pds::ReplyReader r(data);
    const std::uint32_t requested = r.be32(0).value_or(0);
    const std::uint64_t budget = std::uint64_t{p.timeout} * 10;
    SIL_TRACE(SIL_TRACE_INFO, "Korv requested poll sleep of %.2f seconds, remaining time from user limit = %.2f",
              requested / 10.0, budget / 10.0);
    std::uint64_t tenths = std::min(requested, kMaxPollSleepTenths);
    if (may_ignore && p.ignore_requested_sleep_f != 0) {
        if (p.timeout < 6) {
            SIL_TRACE(SIL_TRACE_INFO, "Ignoring korv sleep request because of user parms");
            tenths = std::min<std::uint64_t>(requested, 1);
        } else {
            SIL_TRACE(SIL_TRACE_INFO, "Ignore korv sleep request, but timeout value specified (%u) is too high. Ignoring parm.",
                      static_cast<unsigned>(p.timeout));
            tenths = requested;
        }
    }
    // Never longer than what is left of the call's own limit, whatever the array asked for.
    tenths = std::min(tenths, budget);
    next.sleep_ms = static_cast<std::uint32_t>(tenths * 100);
    const std::uint64_t remaining = budget - tenths;
    if (remaining > 0) {
        p.timeout = static_cast<std::uint32_t>(remaining / 10);
        if (p.syscall_id == 0x815A && p.specified_director == 0 && data.size() > 9) {
            p.specified_director = 1;
            p.director_num = data[9] + 1u;
        }
        return SYSC_POLL_AGAIN;
    }
    if (p.syscall_flags & SYSC_FLAG_LAST_CHANCE) {
        SIL_TRACE(SIL_TRACE_ERROR, "Poll sleep budget exhausted after the last pass");
        return SYSC_ERR_CRC;
    }
    p.syscall_flags |= SYSC_FLAG_LAST_CHANCE;
    return SYSC_POLL_AGAIN;
}

std::int32_t post_process(const T_SIL_DEVICE* dev, sil_syscall_parms* parms, std::span<const std::uint8_t> received,
                          sil_syscall_results* results, std::uint32_t request_crc, format6_next_pass* next, bool ext) {
    if (parms == nullptr || next == nullptr) return SYSC_ERR_NO_DEVICE;
    if (results == nullptr) return SYSC_ERR_NO_RESULTS;
    sil_syscall_parms& p = *parms;
    sil_syscall_results& res = *results;
    *next = format6_next_pass{};

    // What survives the clearing: the pass count, the caller's clock and extended buffer, and in
    // the extended variant what earlier passes gathered there.
    const std::uint16_t iterations = res.iterations;
    const std::uint64_t elapsed = res.syscall_elapsed_time;
    std::uint8_t* const ext_buffer = res.ext_data_buffer;
    const std::uint32_t ext_size = res.ext_data_buffer_size;
    const std::uint32_t ext_length = ext ? res.ext_data_length : 0;
    const std::uint32_t records_before = ext ? res.number_of_records : 0;
    std::memset(&res, 0, sizeof res);
    res.iterations = iterations;
    res.syscall_elapsed_time = elapsed;
    res.ext_data_buffer = ext_buffer;
    res.ext_data_buffer_size = ext_size;
    res.ext_data_length = ext_length;
    const std::uint32_t busy_pause_s = p.system_busy_sleep_seconds == 0 ? 1 : p.system_busy_sleep_seconds;

    // The reply must lie inside the receive buffer and the bytes actually received.
    received = received.first(std::min(received.size(), SYSCALL_MAX_DATA_LEN));
    const std::size_t offset = format6_ReplyOffset(dev);
    if (received.size() < offset + kReplyFixed) return protocol_error(0, received.size(), offset + kReplyFixed);
    const std::size_t length = pds::load_be16(received.subspan(offset + 6));
    const std::size_t reply_size = kReplyFixed + length;
    if (received.size() - offset < reply_size) return protocol_error(length, received.size() - offset, reply_size);
    pds::ReplyReader reply(received.subspan(offset, reply_size));
    const std::uint8_t primary = reply.u8_or(1, 0);
    const std::uint8_t secondary = reply.u8_or(2, 0);
    const std::uint8_t format = reply.u8_or(3, 0);
    // Fields past a short reply read as the cleared receive buffer would: zero.
    const std::uint8_t subcommand = reply.u8_or(16, 0);
    const std::uint8_t subformat = reply.u8_or(17, 0);

    if (!(format == 6 && (subcommand == p.sys_f6_sub_command || length == 0 || primary == SYSCR_BLOCKED))) {
        res.order17_return_code = primary;
        if (primary == SYSCR_WRONG_KORV && (p.sysc_qc_status_bits & SYSC_QC_REPORT_WRONG_KORV))
            SIL_TRACE(SIL_TRACE_ERROR, "SYSCALL SENT TO WRONG KORV!!!");
        static constexpr std::uint8_t kBadBuff[8] = {0x01, 0, 0, 0, 0, 0, 0, 0};
        if (std::memcmp(received.data(), kBadBuff, sizeof kBadBuff) == 0) return SYSC_ERR_BAD_BUFF_PARAM_HEADER;
        SIL_TRACE(SIL_TRACE_ERROR, "syscall_format = %x, syscall_subformat = %x, extra_data_length = %x", format, subformat,
                  static_cast<unsigned>(length));
        SIL_TRACE(SIL_TRACE_ERROR, "syscall_subcommand = %x, sys_f6_sub_command = %x", subcommand, p.sys_f6_sub_command);
        return SYSC_ERR_BAD_REPLY;
    }

    // A length of 8 or less is a bare answer: return codes only, no CRC, flags or data. Between
    // that and the full 16 bytes of CRCs, subcommand and flags, the reply is cut short.
    const bool bare = length <= 8;
    if (!bare && length < kReplyBlocks - kReplyFixed) return protocol_error(length, reply_size, kReplyBlocks);
    if (!bare) {
        const std::uint32_t reply_crc = *reply.be32(12);
        const std::uint32_t echoed_crc = *reply.be32(8);
        const std::uint32_t computed = format6_Crc(reply.all().subspan(16));
        if (computed != reply_crc || echoed_crc != request_crc) {
            SIL_TRACE(SIL_TRACE_ERROR, "The calculated CRC = %x, CRC_response = %x, inboundCRC = %x, CRC_request = %x",
                      computed, reply_crc, echoed_crc, request_crc);
            return SYSC_ERR_CRC;
        }
    }
    res.format = format;
    res.flags = bare ? 0 : *reply.be32(20);
    if (primary != 0 && secondary == 0) {
        res.order17_return_code = primary;
    } else if (primary == 0 && secondary != 0) {
        res.syscall_return_code = secondary;
        res.order17_return_code = secondary < 0x80 ? secondary : 0;
    } else {
        res.order17_return_code = primary;
        res.syscall_return_code = secondary;
    }
    if (res.order17_return_code == SYSCR_BLOCKED || primary == SYSCR_BLOCKED) {
        SIL_TRACE(SIL_TRACE_ERROR, "SYSCALL BLOCKED !!!");
        return SYSC_ERR_BLOCKED;
    }

    // Where the sub-header, the counters and the data lie, by the reply flags.
    const bool counters = (res.flags & F6_REPLY_COUNTERS) != 0;
    const bool sub_header = (res.flags & F6_REPLY_SUB_HEADER) != 0;
    std::size_t counters_at = 0, sub_header_at = 0, data_at = kReplyBlocks;
    if (counters && sub_header) {
        sub_header_at = kReplyBlocks;
        counters_at = kReplyBlocks + kReplyBlockLen;
        data_at = kReplyBlocks + 2 * kReplyBlockLen;
    } else if (counters) {
        counters_at = kReplyBlocks;
        data_at = kReplyBlocks + kReplyBlockLen;
    } else if (sub_header && !is_sp_device(dev)) {
        sub_header_at = kReplyBlocks;
        data_at = kReplyBlocks + kReplyBlockLen;
    }
    std::span<const std::uint8_t> data;
    if (!bare) {
        if (reply_size < data_at) return protocol_error(length, reply_size, data_at);
        data = reply.all().subspan(data_at);
    }
    if (subformat != p.sys_f6_sub_format && subcommand == p.sys_f6_sub_command && length >= 10) {
        next->correct_sub_format = true;
        next->reply_sub_format = subformat;
    }
    if (sub_header_at != 0) {
        res.sub_header1 = *reply.be32(sub_header_at);
        res.sub_header2 = *reply.be32(sub_header_at + 4);
        res.sub_header_reserved1 = *reply.be32(sub_header_at + 8);
        res.sub_header_reserved2 = *reply.be32(sub_header_at + 12);
    }
    if (p.syscall_id == 0x015E && p.sys_f6_sub_command == 1) {
        res.number_of_records = 1;
        res.bytes_per_record = 16;
        res.first_record_number = 1;
        res.max_record_number = 1;
    } else if (counters_at != 0 || p.syscall_id == 0x815A) {
        // 0x815A keeps the words at 24 as counters even when the flags do not announce them.
        const std::size_t at = counters_at != 0 ? counters_at : kReplyBlocks;
        pds::ReplyReader words(reply.bytes_upto(at, kReplyBlockLen));
        res.number_of_records = words.be32(0).value_or(0);
        res.bytes_per_record = words.be32(4).value_or(0);
        res.first_record_number = words.be32(8).value_or(0);
        res.max_record_number = words.be32(12).value_or(0);
    }
    const std::uint8_t rc = res.order17_return_code;
    if (rc == 0 && res.number_of_records != res.max_record_number)
        SIL_TRACE(SIL_TRACE_INFO, "Syscall returned recs mismatch: order17 = 0, #recs = 0x%x, Max recs = 0x%x",
                  res.number_of_records, res.max_record_number);

    const std::uint32_t records_now = res.number_of_records;
    if (ext) {
        if (counters && sub_header && res.first_record_number == p.start_entry)
            SIL_TRACE(SIL_TRACE_INFO, "Original start entry came in this request");
        res.number_of_records = rc == SYSCR_SYSTEM_BUSY ? 0 : records_before + records_now;
        if (rc == SYSCR_POLL) {
            // The continuation data of a poll start where data start without any counters.
            const std::span<const std::uint8_t> cont = bare ? std::span<const std::uint8_t>{} : reply.all().subspan(kReplyBlocks);
            if (!cont.empty()) std::memcpy(res.data, cont.data(), cont.size());
            res.data_length = static_cast<std::uint16_t>(cont.size());
        } else if (!data.empty()) {
            if (res.ext_data_buffer == nullptr || data.size() > res.ext_data_buffer_size - std::min(res.ext_data_length, res.ext_data_buffer_size)) {
                SIL_TRACE(SIL_TRACE_ERROR, "The users extended data buffer can't handle the payload");
                return SYSC_ERR_OVERRUN;
            }
            std::memcpy(res.ext_data_buffer + res.ext_data_length, data.data(), data.size());
            res.ext_data_length += static_cast<std::uint32_t>(data.size());
        }
    } else {
        if (!data.empty()) std::memcpy(res.data, data.data(), data.size());
        res.data_length = static_cast<std::uint16_t>(data.size());
    }

    switch (rc) {
    case 0:
        return SYSC_OK;
    case SYSCR_DATA_OVERRUN:
    case SYSCR_TIMEOUT:
        if (!ext || overrun_ends_call(p)) return SYSC_ERR_OVERRUN;
        p.start_entry += records_now;
        p.entry_count -= std::min(records_now, p.entry_count);
        return SYSC_POLL_AGAIN;
    case SYSCR_POLL: {
        const std::int32_t status =
            poll_sleep_rule(p, std::span<const std::uint8_t>(res.data, res.data_length), !ext, *next);
        next->continuation_length = res.data_length;
        return status;
    }
    case SYSCR_SYSTEM_BUSY:
        next->sleep_ms = busy_pause_s * 1000;
        return SYSC_POLL_AGAIN;
    case SYSCR_NDU:
        next->sleep_ms = kNduPauseMs;
        return SYSC_POLL_AGAIN;
    default:
        break;
    }
    if (rc == SYSCR_87 && res.syscall_return_code == 1) return SYSC_ERR_87_1;
    if (rc == SR9261_SFS_ACCESS_TIMEOUT && p.syscall_id == 0x9261 && is_9261_retry_subcommand(p.sys_f6_sub_command)) {
        SIL_TRACE(SIL_TRACE_INFO, "Retry 9261_%X on order17 rc = SR9261_SFS_ACCESS_TIMEOUT (0x14)", p.sys_f6_sub_command);
        next->sleep_ms = kShortRetryPauseMs;
        return SYSC_POLL_AGAIN;
    }
    if (rc == SYSCR_9263_FAST_LOCK_FAILED && p.syscall_id == 0x9263) {
        SIL_TRACE(SIL_TRACE_INFO, "Retry 9263_%X on order17 rc = SYSCR_9263_FAST_LOCK_FAILED (0x6)", p.sys_f6_sub_command);
        next->sleep_ms = kShortRetryPauseMs;
        return SYSC_POLL_AGAIN;
    }
    SIL_TRACE(SIL_TRACE_ERROR, "System call 0x%x: array return codes 0x%x/0x%x", p.syscall_id, rc, res.syscall_return_code);
    return SYSC_ERR_ARRAY_RC;
}

}  // namespace

std::uint16_t format6_NextChainCode(std::int32_t stored) {
    return (stored < 1 || stored >= kMaxChainCode) ? 1 : static_cast<std::uint16_t>(stored + 1);
}

std::uint32_t format6_Crc(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    for (std::uint8_t byte : bytes) crc = (crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFF];
    return crc;
}

std::int32_t format6_PrepareXmvHeader(const T_SIL_DEVICE* /*dev*/, std::span<std::uint8_t> buffer, std::size_t length,
                                      std::uint16_t chain_code) {
    SIL_FUNCTION("format6_PrepareXmvHeader");
    if (buffer.size() < F6_XMV_HEADER_LEN || length > 0xFFFF) SIL_RETURN(SYSC_ERR_XMV_HEADER);
    buffer[0] = 'X';
    buffer[1] = 'M';
    buffer[2] = 'V';
    buffer[3] = 0x04;
    pds::store_be16(buffer.subspan(4), chain_code);
    pds::store_be16(buffer.subspan(6), static_cast<std::uint16_t>(length));
    SIL_RETURN(SYSC_OK);
}

std::int32_t format6_PrepareSyscallHeader(const T_SIL_DEVICE* /*dev*/, const sil_syscall_parms* parms,
                                          std::span<std::uint8_t> out, std::span<const std::uint8_t> continuation,
                                          std::uint32_t* crc) {
    SIL_FUNCTION("format6_PrepareSyscallHeader");
    if (parms == nullptr) SIL_RETURN(SYSC_ERR_SYSCALL_HEADER);
    const sil_syscall_parms& p = *parms;
    switch (p.specified_director) {
    case 0: case 1: case 2: case 4: case 9: break;
    default:
        SIL_TRACE(SIL_TRACE_ERROR, "specified_director %u is not 0, 1, 2, 4 or 9", p.specified_director);
        SIL_RETURN(SYSC_ERR_BAD_PARMS);
    }
    Hops hops;
    if (const std::int32_t rc = build_hops(p, hops); rc != SYSC_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "Hop list of call 0x%x does not fit its field", p.syscall_id);
        SIL_RETURN(rc);
    }
    std::span<const std::uint8_t> payload = continuation;
    if (payload.empty() && p.extra_parms_length > 0) {
        if (p.extra_parms_p == nullptr) SIL_RETURN(SYSC_ERR_SYSCALL_HEADER);
        payload = std::span<const std::uint8_t>(p.extra_parms_p, p.extra_parms_length);
    }
    const std::size_t wire_length = F6_SYSCALL_HEADER_LEN - 8 + payload.size();
    if (out.size() < F6_SYSCALL_HEADER_LEN || out.size() - F6_SYSCALL_HEADER_LEN < payload.size() || wire_length > 0xFFFF)
        SIL_RETURN(SYSC_ERR_SYSCALL_HEADER);

    std::uint32_t flags = pds::load_be32(out.subspan(20)) |
                          (p.syscall_flags & (SYSC_FLAG_RANGE_BLOCK | SYSC_FLAG_LAST_CHANCE | SYSC_FLAG_64K_REPLY));
    std::memset(out.data(), 0, F6_SYSCALL_HEADER_LEN);
    if (!continuation.empty()) flags |= F6_HDR_CONTINUATION;
    flags |= F6_HDR_ALWAYS;

    out[0] = 0x17;
    out[1] = 0xCE;
    out[2] = 0x03;
    out[3] = 0x06;
    pds::store_be16(out.subspan(4), p.syscall_id);
    pds::store_be16(out.subspan(6), static_cast<std::uint16_t>(wire_length));
    out[16] = p.sys_f6_sub_command;
    out[17] = p.sys_f6_sub_format;
    out[18] = p.specified_director;
    out[19] = static_cast<std::uint8_t>(p.director_num);
    pds::store_be32(out.subspan(20), flags);
    if (!hops.clear_qc_words) {
        pds::store_be32(out.subspan(24), p.sysc_qc_status_bits);
        pds::store_be32(out.subspan(28), p.sysc_qc_status_value);
    }
    std::memcpy(out.data() + 40, p.access_id, sizeof p.access_id);
    pds::store_be32(out.subspan(52), p.access_tag);
    out[57] = static_cast<std::uint8_t>(hops.count);
    pds::store_be16(out.subspan(60), static_cast<std::uint16_t>(hops.a));
    pds::store_be16(out.subspan(62), static_cast<std::uint16_t>(hops.b));
    std::memcpy(out.data() + 64, hops.list, sizeof hops.list);
    pds::store_be32(out.subspan(72), p.start_entry);
    pds::store_be32(out.subspan(76), p.syscall_id == 0x0128 ? p.entry_count + 16 : p.entry_count);
    const bool parm_words = (p.sys_parm1 | p.sys_parm2 | p.sys_parm3 | p.sys_parm4) != 0;
    pds::store_be32(out.subspan(80), parm_words ? p.sys_parm1 : p.syscall_specific_parm1);
    pds::store_be32(out.subspan(84), parm_words ? p.sys_parm2 : p.syscall_specific);
    pds::store_be32(out.subspan(88), parm_words ? p.sys_parm3 : p.sys_parm_byte6);
    pds::store_be32(out.subspan(92), parm_words ? p.sys_parm4 : p.sys_parm_byte7);
    pds::store_be32(out.subspan(96), p.sys_parm5);
    pds::store_be32(out.subspan(100), p.sys_parm6);
    if (!payload.empty()) std::memcpy(out.data() + F6_SYSCALL_HEADER_LEN, payload.data(), payload.size());

    const std::uint32_t sum = format6_Crc(out.subspan(12, F6_SYSCALL_HEADER_LEN - 12 + payload.size()));
    pds::store_be32(out.subspan(8), sum);
    if (crc != nullptr) *crc = sum;
    SIL_RETURN(SYSC_OK);
}

std::size_t format6_ReplyOffset(const T_SIL_DEVICE* dev) { return is_sp_device(dev) ? 0 : F6_XMV_HEADER_LEN; }

std::int32_t format6_PostProcess(const T_SIL_DEVICE* dev, sil_syscall_parms* parms, std::span<const std::uint8_t> received,
                                 sil_syscall_results* results, std::uint32_t request_crc, format6_next_pass* next) {
    SIL_FUNCTION("format6_PostProcess");
    SIL_RETURN(post_process(dev, parms, received, results, request_crc, next, false));
}

std::int32_t format6_PostProcessExtData(const T_SIL_DEVICE* dev, sil_syscall_parms* parms,
                                        std::span<const std::uint8_t> received, sil_syscall_results* results,
                                        std::uint32_t request_crc, format6_next_pass* next) {
    SIL_FUNCTION("format6_PostProcessExtData");
    SIL_RETURN(post_process(dev, parms, received, results, request_crc, next, true));
}
