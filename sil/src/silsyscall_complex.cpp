// Record retrieval over several system calls: chunked reads, the 0x92xx record accumulation and the range batches.
#include "silsyscall_complex.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "sildebug.h"
#include "silsyscall_engine.h"

namespace {

constexpr std::size_t kRecordHeaderLen = 16;       // in front of the records of a chunked answer
constexpr std::uint32_t kSmallTransferBytes = 32512;
constexpr std::uint32_t kSmallTransferMaxRecord = 32803;
constexpr std::uint32_t kUnboundedCount = 65535;   // "all records": never lowered between passes
constexpr std::uint8_t kCacheOverride = 0x04;

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
void store_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24), p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8), p[3] = static_cast<std::uint8_t>(v);
}

std::unique_ptr<sil_syscall_results> new_results() {
    return std::unique_ptr<sil_syscall_results>(new (std::nothrow) sil_syscall_results{});
}

// The records of one chunked answer: its 16-byte header read, the rest is records.
struct Chunk {
    std::uint32_t records = 0, bytes_per_record = 0, first = 0, max = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
};
bool read_chunk(const sil_syscall_results& r, Chunk& c) {
    if (r.data_length < kRecordHeaderLen) return false;
    c = Chunk{be16(r.data), be16(r.data + 2), be16(r.data + 4), be16(r.data + 6), r.data + kRecordHeaderLen,
              static_cast<std::uint32_t>(r.data_length - kRecordHeaderLen)};
    return true;
}

void set_length(sil_syscall_results& r, bool ext, std::uint32_t placed) {
    if (ext) {
        r.ext_data_length = placed;
    } else {
        r.data_length = static_cast<std::uint16_t>(placed);  // the data area holds at most 0xFFF0
    }
}

}  // namespace

std::int32_t SIL_korvComplexSysCall(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results,
                                    std::uint32_t verbose) {
    SIL_FUNCTION("SIL_korvComplexSysCall");
    if (dev == nullptr || parms == nullptr) SIL_RETURN(SYSC_ERR_NO_DEVICE);
    if ((parms->format4 == 0 || dev->access_method == SIL_ACCESS_KORVWIN) && (dev->ucode_level & 0xFF) >= 0x67) {
        const std::int32_t rc = do_simple_syscall(dev, parms, results, verbose);
        if (rc != 0) SIL_TRACE(SIL_TRACE_ERROR, "Format 6 system call 0x%x, failed with return code: %d", parms->syscall_id, rc);
        SIL_RETURN(rc);
    }
    if (results == nullptr) {
        SIL_TRACE(SIL_TRACE_ERROR, "null value for syscall_results_p");
        SIL_RETURN(SYSC_ERR_NO_RESULTS);
    }
    const auto tmp = new_results();
    if (!tmp) {
        SIL_TRACE(SIL_TRACE_ERROR, "calloc of tmp syscall buffer failed with errno = %d", errno);
        SIL_RETURN(SYSC_ERR_RETRY_BUFFER);
    }
    results->format = 0, results->data_length = 0, results->ext_data_length = 0, results->number_of_records = 0;
    const bool ext = parms->use_ext_data_buff_f != 0;
    if (ext && results->ext_data_buffer == nullptr) SIL_RETURN(SYSC_ERR_NO_RESULTS);
    std::uint8_t* const dst = ext ? results->ext_data_buffer : results->data;
    const std::uint32_t room = ext ? results->ext_data_buffer_size : static_cast<std::uint32_t>(SYSCALL_MAX_DATA_LEN);
    const std::uint32_t start = parms->start_entry, count = parms->entry_count;
    // Each answer, record header and all, lands in the temporary record's data area; only the
    // records go on to the caller's extended buffer. The flag is the caller's again on every exit.
    struct ExtFlagGuard {
        sil_syscall_parms& p;
        std::uint8_t flag = p.use_ext_data_buff_f;
        ~ExtFlagGuard() { p.use_ext_data_buff_f = flag; }
    } const ext_flag{*parms};
    parms->use_ext_data_buff_f = 0;

    std::int32_t rc = do_simple_syscall(dev, parms, tmp.get(), verbose);
    if (rc != 0) SIL_TRACE(SIL_TRACE_ERROR, "System call 0x%x, failed with return code: %d", parms->syscall_id, rc);
    results->order17_return_code = tmp->order17_return_code;
    const bool overrun = rc == SYSC_ERR_OVERRUN, small = rc == SYSC_SMALL_TRANSFER;
    if (rc != 0 && !overrun && !small) SIL_RETURN(rc);
    Chunk c;
    if (!read_chunk(*tmp, c)) SIL_RETURN(SYSC_ERR_BAD_REPLY);
    results->format = tmp->format, results->flags = tmp->flags;
    results->bytes_per_record = c.bytes_per_record, results->first_record_number = c.first, results->max_record_number = c.max;
    std::uint32_t placed = 0, retrieved = 0;
    if (!small) {
        placed = std::min(c.length, room);
        if (placed < c.length) {
            SIL_TRACE(SIL_TRACE_ERROR, "user gave ext_data_buffer with length < SYSCALL_MAX_DATA_LEN ?");
            rc = SYSC_ERR_OVERRUN;
        }
        std::memcpy(dst, c.data, placed);
        retrieved = placed < c.length && c.bytes_per_record != 0 ? placed / c.bytes_per_record : c.records;
        set_length(*results, ext, placed);
        results->number_of_records = retrieved;
        if (!(overrun && ext) || placed < c.length) SIL_RETURN(rc);
        SIL_TRACE(SIL_TRACE_INFO, "Using ext data space");
    } else {
        SIL_TRACE(SIL_TRACE_INFO, "Handling small io prob");
        const std::uint32_t bpr = c.bytes_per_record;
        // A record larger than the small transfer still comes one at a time.
        parms->entry_count = bpr >= 1 && bpr <= kSmallTransferMaxRecord ? std::max(1u, kSmallTransferBytes / bpr) : 1;
    }
    std::uint32_t space = room - placed;
    rc = 0;
    while (retrieved < count) {
        parms->start_entry = start + retrieved;
        SIL_TRACE(SIL_TRACE_INFO, "last_dir=%d, start_entry=%d, last_record_offset=%d, total_records_retrieved=%d",
                  static_cast<int>(parms->director_num), static_cast<int>(parms->start_entry), static_cast<int>(placed),
                  static_cast<int>(retrieved));
        parms->entry_count = std::min(parms->entry_count, count - retrieved);
        SIL_TRACE(SIL_TRACE_INFO, "System call 0x%x, attempting second try, entry_count=0x%x", parms->syscall_id,
                  parms->entry_count);
        rc = do_simple_syscall(dev, parms, tmp.get(), verbose);
        if (rc != 0 && rc != SYSC_ERR_OVERRUN) break;
        rc = 0;
        if (!read_chunk(*tmp, c)) {
            rc = SYSC_ERR_BAD_REPLY;
            break;
        }
        SIL_TRACE(SIL_TRACE_INFO, "trr=0x%x #R=0x%x B/R=0x%x 1stR=0x%x maxR=0x%x", retrieved, c.records,
                  c.bytes_per_record, c.first, c.max);
        if (c.length > space) {
            c.length = space;
            c.records = c.bytes_per_record != 0 ? space / c.bytes_per_record : 0;
            results->order17_return_code = SYSCR_DATA_OVERRUN;
            rc = SYSC_ERR_OVERRUN;
        }
        if (c.records == 0) {
            SIL_TRACE(SIL_TRACE_INFO, "num_recs == 0");
            break;
        }
        std::memcpy(dst + placed, c.data, c.length);
        placed += c.length, space -= c.length, retrieved += c.records;
        if (std::uint64_t{c.first} + c.records >= c.max || retrieved >= count || space == 0 || rc != 0) break;
    }
    results->number_of_records = retrieved;
    results->max_record_number = c.max;
    set_length(*results, ext, placed);
    if (small && rc == 0 && retrieved < count && std::uint64_t{c.first} + c.records < c.max) rc = SYSC_ERR_OVERRUN;
    parms->start_entry = start, parms->entry_count = count;
    SIL_TRACE(SIL_TRACE_INFO, "syscall_results_p->format=%d SYSC_SUPPORTED_FORMAT_LEVEL=%d", results->format, 5);
    SIL_RETURN(rc);
}

std::int32_t do_complex_syscall(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results,
                                std::uint32_t verbose) {
    SIL_FUNCTION("do_complex_syscall");
    if (dev != nullptr && sil_is_daemon_device(*dev)) {
        SIL_TRACE(SIL_TRACE_ERROR, "system calls through the base daemon are not part of this build");
        SIL_RETURN(SIL_ERR_DAEMON_NOT_AVAILABLE);
    }
    SIL_RETURN(SIL_korvComplexSysCall(dev, parms, results, verbose));
}

std::uint32_t build_ranges(const sil_syscall_parms* parms, sil_syscall_range* block, std::uint32_t* next) {
    if (parms->range_parms_p == nullptr || *next >= parms->range_count) {
        *next = 0;
        return 0;
    }
    const std::uint32_t n = std::min(SYSC_MAX_RANGES_PER_CALL, parms->range_count - *next);
    std::copy_n(parms->range_parms_p + *next, n, block);
    *next = *next + n < parms->range_count ? *next + n : 0;
    return n;
}

std::int32_t syscall_memcpy(const sil_syscall_parms* parms, sil_syscall_results* caller, sil_syscall_results* answer,
                            std::uint32_t* bytes_this_transfer, std::uint32_t* space_left, std::uint32_t* placed) {
    const bool variable = (answer->flags & F6_REPLY_VARIABLE_RECORDS) != 0;
    std::uint8_t* const dst = (parms->use_ext_data_buff_f ? caller->ext_data_buffer : caller->data) + *placed;
    const std::uint64_t slot = variable ? (std::uint64_t{answer->bytes_per_record} + 7) / 8 * 8 : answer->bytes_per_record;
    std::uint64_t bytes = variable ? slot * answer->number_of_records : answer->data_length;
    SIL_TRACE(SIL_TRACE_INFO, "  bytesThisTransfer = %d  spaceLeftInDataBuffer = %d  byteCountIntoDataBuffer = %d",
              static_cast<int>(bytes), static_cast<int>(*space_left), static_cast<int>(*placed));
    std::int32_t rc = 0;
    if (bytes > *space_left) {
        answer->number_of_records = slot != 0 ? static_cast<std::uint32_t>(*space_left / slot) : 0;
        bytes = variable ? slot * answer->number_of_records : *space_left;
        rc = SYSC_ERR_OVERRUN;
    }
    if (!variable) {
        std::memcpy(dst, answer->data, static_cast<std::size_t>(bytes));
    } else {
        std::size_t from = 0;
        for (std::uint32_t i = 0; i < answer->number_of_records; ++i) {
            const std::size_t len = from + 4 <= answer->data_length ? be16(answer->data + from + 2) : SIZE_MAX;
            if (len > slot || from + 4 + len > answer->data_length) {  // the record lies about its length
                answer->number_of_records = i;
                bytes = slot * i;
                rc = SYSC_ERR_BAD_REPLY;
                break;
            }
            std::uint8_t* const to = dst + slot * i;
            std::memset(to, 0, static_cast<std::size_t>(slot));
            std::memcpy(to, answer->data + from + 4, len);
            from += 4 + len;
        }
    }
    *bytes_this_transfer = static_cast<std::uint32_t>(bytes);
    *space_left -= *bytes_this_transfer;
    *placed += *bytes_this_transfer;
    return rc;
}

std::int32_t execute_9200_tm(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results,
                             std::uint32_t verbose) {
    SIL_FUNCTION("execute_9200_tm");
    if (dev == nullptr || parms == nullptr) SIL_RETURN(SYSC_ERR_NO_DEVICE);
    SIL_RETURN(execute_9200_tm_with(parms, results, [dev, verbose](sil_syscall_parms* p, sil_syscall_results* answer) {
        return do_complex_syscall(dev, p, answer, verbose);
    }));
}

std::int32_t execute_9200_tm_with(sil_syscall_parms* parms, sil_syscall_results* results, const sysc_fetch_fn& fetch) {
    if (parms == nullptr) return SYSC_ERR_NO_DEVICE;
    const bool ext = parms->use_ext_data_buff_f != 0;
    if (results == nullptr || (ext && results->ext_data_buffer == nullptr)) return SYSC_ERR_NO_RESULTS;
    sil_syscall_parms p = *parms;
    const auto answer = new_results();
    if (!answer) return SYSC_ERR_RETRY_BUFFER;
    std::uint8_t block[SYSC_MAX_RANGES_PER_CALL * sizeof(sil_syscall_range)];
    if ((p.syscall_flags & SYSC_FLAG_RANGE_BLOCK) && !p.use_multi_ranges_f && p.extra_parms_p != nullptr &&
        p.extra_parms_length == sizeof block) {
        for (std::size_t i = 0; i < sizeof block; i += 4) {
            std::uint32_t word;
            std::memcpy(&word, p.extra_parms_p + i, 4);
            store_be32(block + i, word);
        }
        p.extra_parms_p = block;
    }
    p.use_ext_data_buff_f = 0;
    p.cache_override |= kCacheOverride;

    const std::uint32_t initial = p.entry_count;
    const bool whole = initial >= kUnboundedCount || (p.syscall_flags & SYSC_FLAG_RANGE_BLOCK);
    std::uint32_t space = ext ? results->ext_data_buffer_size : static_cast<std::uint32_t>(SYSCALL_MAX_DATA_LEN);
    std::uint32_t placed = 0, total = 0, bytes = 0, iterations = 0, first = 0, slot = 0;
    std::int32_t rc = fetch(&p, answer.get());
    if (rc != 0 && rc != SYSC_ERR_OVERRUN) {
        SIL_TRACE(SIL_TRACE_ERROR, "execute_9200_tm failed getting max records");
        return rc;
    }
    first = answer->first_record_number;
    for (bool first_pass = true;; first_pass = false) {
        if (!first_pass) {
            rc = fetch(&p, answer.get());
            if (rc != 0 && rc != SYSC_ERR_OVERRUN) {
                SIL_TRACE(SIL_TRACE_ERROR, "%X_%X: Return [%d] records obtained prior to this failure", p.syscall_id,
                          p.sys_f6_sub_command, static_cast<int>(total));
                iterations += answer->iterations;
                break;
            }
        }
        iterations += answer->iterations;
        const std::int32_t copied = syscall_memcpy(parms, results, answer.get(), &bytes, &space, &placed);
        total += answer->number_of_records;
        slot = (answer->flags & F6_REPLY_VARIABLE_RECORDS) ? (answer->bytes_per_record + 7) / 8 * 8 : answer->bytes_per_record;
        if (copied != 0) rc = copied;
        // The next call asks for the records after those received, so none comes twice.
        const std::uint64_t next = std::uint64_t{answer->first_record_number} + answer->number_of_records;
        if (rc != SYSC_ERR_OVERRUN || copied != 0 || !ext || space == 0 || answer->number_of_records == 0) break;
        if (next >= answer->max_record_number || (!whole && total >= initial)) {
            rc = 0;
            break;
        }
        // An answer that does not move the record window on would be asked for again and again.
        if (next <= p.start_entry || next > UINT32_MAX) {
            SIL_TRACE(SIL_TRACE_ERROR, "%X_%X: records %u to %u answered for start entry %u, no progress", p.syscall_id,
                      p.sys_f6_sub_command, answer->first_record_number, static_cast<unsigned>(next), p.start_entry);
            break;
        }
        p.start_entry = static_cast<std::uint32_t>(next);
        p.entry_count = whole ? initial : initial - total;
        SIL_TRACE(SIL_TRACE_INFO, " totalrecordsTransferred=%d max_record=%d start_entry=%d entry_count=%d",
                  static_cast<int>(total), static_cast<int>(answer->max_record_number), static_cast<int>(p.start_entry),
                  static_cast<int>(p.entry_count));
    }
    results->format = answer->format;
    results->flags = answer->flags;
    results->number_of_records = total;
    results->bytes_per_record = slot;
    results->first_record_number = first;
    results->max_record_number = answer->max_record_number;
    results->order17_return_code = answer->order17_return_code;
    results->syscall_return_code = answer->syscall_return_code;
    results->iterations = static_cast<std::uint16_t>(iterations);
    results->sub_header1 = answer->sub_header1;
    results->sub_header2 = answer->sub_header2;
    set_length(*results, ext, placed);
    parms->sys_f6_sub_format = p.sys_f6_sub_format;
    return rc;
}

std::int32_t syscall_9200_tm(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results,
                             std::uint32_t verbose) {
    SIL_FUNCTION("syscall_9200_tm");
    if (dev == nullptr || results == nullptr || (parms != nullptr && parms->use_ext_data_buff_f && results->ext_data_buffer == nullptr))
        SIL_RETURN(SYSC_ERR_NO_RESULTS);
    if (parms == nullptr) SIL_RETURN(SYSC_ERR_NO_DEVICE);
    if (parms->syscall_id != 0x9261 && sil_is_daemon_device(*dev)) {
        SIL_TRACE(SIL_TRACE_ERROR, "system calls through the base daemon are not part of this build");
        SIL_RETURN(SIL_ERR_DAEMON_NOT_AVAILABLE);
    }
    if (parms->use_ext_data_buff_f) {
        SIL_TRACE(SIL_TRACE_INFO, "syscall_9200_tm is using ext_data:  ext_data_buffer_size = %d  ext_data_buffer = %p",
                  static_cast<int>(results->ext_data_buffer_size), static_cast<void*>(results->ext_data_buffer));
    } else {
        SIL_TRACE(SIL_TRACE_INFO, "syscall_9200_tm is not using ext_data");
    }
    if (!parms->use_multi_ranges_f || (parms->syscall_flags & SYSC_FLAG_RANGE_BLOCK)) SIL_RETURN(execute_9200_tm(dev, parms, results, verbose));

    std::uint8_t* const base = results->ext_data_buffer;
    const std::uint32_t size = results->ext_data_buffer_size;
    std::uint32_t next = 0, records = 0, iterations = 0, ext_bytes = 0;
    std::int32_t rc = 0;
    do {
        sil_syscall_range ranges[SYSC_MAX_RANGES_PER_CALL]{};
        if (build_ranges(parms, ranges, &next) == 0) break;
        std::vector<std::uint8_t> payload;
        try {
            payload.assign(sizeof ranges + parms->extra_parms_length, 0);
        } catch (const std::bad_alloc&) {
            SIL_TRACE(SIL_TRACE_ERROR, "calloc of extra_parms_p failed");
            rc = SYSC_ERR_NO_MEMORY;
            break;
        }
        for (std::size_t i = 0; i < SYSC_MAX_RANGES_PER_CALL; ++i) {
            store_be32(payload.data() + 8 * i, ranges[i].start);
            store_be32(payload.data() + 8 * i + 4, ranges[i].count);
        }
        if (parms->extra_parms_length != 0 && parms->extra_parms_p != nullptr)
            std::memcpy(payload.data() + sizeof ranges, parms->extra_parms_p, parms->extra_parms_length);
        sil_syscall_parms batch = *parms;
        batch.extra_parms_p = payload.data();
        batch.extra_parms_length = static_cast<std::uint32_t>(payload.size());
        batch.syscall_flags |= SYSC_FLAG_RANGE_BLOCK;
        batch.entry_count = 0;
        if (base != nullptr) results->ext_data_buffer = base + ext_bytes, results->ext_data_buffer_size = size - ext_bytes;
        rc = execute_9200_tm(dev, &batch, results, verbose);
        parms->sys_f6_sub_format = batch.sys_f6_sub_format;
        records += results->number_of_records;
        iterations += results->iterations;
        if (parms->use_ext_data_buff_f) ext_bytes += results->ext_data_length;
    } while (rc == 0 && next != 0);
    results->ext_data_buffer = base, results->ext_data_buffer_size = size;
    results->number_of_records = records;
    results->iterations = static_cast<std::uint16_t>(iterations);
    results->ext_data_length = ext_bytes;
    SIL_RETURN(rc);
}
