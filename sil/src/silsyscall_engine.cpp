// The system-call engine: dispatch, the format-6 poll loop with its limits, transport retries, chain codes and the device lock.
#include "silsyscall_engine.h"

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include <pds/platform.h>

#include "sildebug.h"
#include "sildopen_host.h"
#include "silinitl.h"
#include "siltrace.h"

namespace {

constexpr std::uint32_t kMaxPolls = 250;
constexpr std::uint32_t kNduMaxPolls = 40;
constexpr std::int64_t kDefaultPollLimitSecs = 180;
constexpr std::int64_t kMaxRetrySecs = 90;  // overrun and time-out answers
constexpr std::uint32_t kDefaultTimeoutSecs = 100;
constexpr int kWriteAttempts = 5;
constexpr std::uint32_t kWriteRetryPauseMs = 1000;
constexpr int kTransportRetries = 10;

bool is_9261_retry_subcommand(std::uint8_t sub) {
    switch (sub) {
    case 2: case 3: case 4: case 8: case 0x81: case 0x82: case 0x83: case 0x84: case 0x88: return true;
    default: return false;
    }
}

bool retry_env_set() { return pds::platform().get_env("SIL_SYSCALL_RETRY").has_value(); }

// The caller's record window is the caller's: an extended-buffer overrun moves it during the call.
struct EntryWindowGuard {
    sil_syscall_parms& parms;
    std::uint32_t start_entry = parms.start_entry;
    std::uint32_t entry_count = parms.entry_count;
    ~EntryWindowGuard() {
        parms.start_entry = start_entry;
        parms.entry_count = entry_count;
    }
};

// The limit that ends the poll loop after this pass, or nullptr. `polls` counts the passes before this one.
std::int32_t poll_limit(const sil_syscall_parms& p, std::uint8_t primary, std::int32_t rc, std::uint32_t polls,
                        std::int64_t elapsed, std::int64_t limit) {
    auto end = [](auto... args) {
        SIL_TRACE(SIL_TRACE_ERROR, args...);
        return SYSC_ERR_POLL_LIMIT;
    };
    const int e = static_cast<int>(elapsed), l = static_cast<int>(limit);
    if ((p.do_not_poll_f != 0 && primary == SYSCR_POLL) || (polls >= kMaxPolls && rc != SYSC_OK)) {
        return end("Reached maximum number of polls (%d)", static_cast<int>(kMaxPolls));
    }
    if (primary == SYSCR_SYSTEM_BUSY && elapsed > limit) {
        return end("Reached polling time limit for SYSCR_SYSTEM_BUSY (%d secs)", l);
    }
    if (primary == SYSCR_DATA_OVERRUN && elapsed > kMaxRetrySecs) {
        return end("time_elapsed (%d) > SYSC_MAX_RETRY_SECONDS (%d) for SYSCR_DATA_OVERRUN", e, static_cast<int>(kMaxRetrySecs));
    }
    if (primary == SYSCR_TIMEOUT && elapsed > kMaxRetrySecs) {
        return end("time_elapsed (%d) > SYSC_MAX_RETRY_SECONDS (%d) for SYSCR_TIMEOUT", e, static_cast<int>(kMaxRetrySecs));
    }
    if (primary == SYSCR_NDU && polls > kNduMaxPolls) {
        return end("retries (%d) > SYSCR_NDU_MAX_RETRIES (%d)", static_cast<int>(polls), static_cast<int>(kNduMaxPolls));
    }
    if (primary == SR9261_SFS_ACCESS_TIMEOUT && p.syscall_id == 0x9261 && is_9261_retry_subcommand(p.sys_f6_sub_command) &&
        elapsed > limit) {
        return end("Reached polling time limit for SR9261_SFS_ACCESS_TIMEOUT (%d secs)", l);
    }
    if (primary == SYSCR_9263_FAST_LOCK_FAILED && p.syscall_id == 0x9263 && elapsed > limit) {
        return end("Reached polling time limit for SYSCR_9263_FAST_LOCK_FAILED (%d secs)", l);
    }
    return SYSC_OK;
}

// Whether a BAD_BUFF answer may be answered by sending the same request again.
bool bad_buff_resend_allowed(const sil_syscall_parms& p) {
    if ((p.syscall_id & 0xF000) == 0x8000 && !retry_env_set()) return false;
    return !((p.syscall_id & 0xFF00) == 0x9200 && p.sys_f6_sub_command >= 0x80);
}

}  // namespace

std::uint16_t korvGetChainCode() {
    // Before the library start there is no host-wide store; the process's own counter keeps the
    // codes distinct within it.
    static std::uint32_t process_counter = 0;
    std::uint32_t* store = sil_chain_code_counter();
    std::atomic_ref<std::uint32_t> counter(store != nullptr ? *store : process_counter);
    std::uint32_t stored = counter.load();
    std::uint16_t next = 0;
    do {
        next = format6_NextChainCode(static_cast<std::int32_t>(stored));
    } while (!counter.compare_exchange_weak(stored, next));
    return next;
}

std::int32_t call_TxCDB_withRetry(const T_SIL_COMMAND& command, T_SIL_DEVICE* dev, std::uint32_t policy,
                                  std::uint32_t* retries, std::uint32_t* received) {
    SIL_FUNCTION("call_TxCDB_withRetry");
    const bool out = command.direction == 1;
    const bool retries_ok = (policy & SYSC_RETRY_ANY) != 0 || ((policy & SYSC_RETRY_OUT) != 0 && out);
    int budget = retry_env_set() ? kTransportRetries : 0;
    SIL_TRACE(SIL_TRACE_INFO, "retries_ok = %d, retries = %d", retries_ok ? 1 : 0, budget);

    // A failed transfer may have touched the data it sent; every attempt sends the caller's bytes.
    std::vector<std::uint8_t> local;
    T_SIL_COMMAND attempt = command;
    if (out && retries_ok) {
        try {
            local.resize(command.data.size());
        } catch (const std::bad_alloc&) {
            SIL_RETURN(SYSC_ERR_RETRY_BUFFER);
        }
        SIL_TRACE(SIL_TRACE_INFO, "created local buff, size = %d", static_cast<int>(local.size()));
        attempt.data = local;
    }
    for (;;) {
        if (!local.empty()) std::memcpy(local.data(), command.data.data(), local.size());
        T_CDB_ERROR error{};
        const T_SIL_REPLY reply = sil_send(dev, attempt, nullptr, 0, &error);
        if (received != nullptr) *received = reply.received;
        if (reply.ok() || !retries_ok || budget <= 0 || (error.korvStatus & CDB_ERR_RETRY) == 0) SIL_RETURN(reply.status);
        --budget;
        if (retries != nullptr) ++*retries;
        SIL_TRACE(SIL_TRACE_INFO, "Retry was suggested, and will be done, retries left = %d", budget);
    }
}

std::int32_t format6_DeviceLock(T_SIL_DEVICE* dev, const sil_syscall_parms* parms) {
    if (parms->disable_host_dev_lock_f != 0) return SYSC_OK;
    const std::int32_t error = korvAquireDeviceLockX(dev, SIL_DEVICE_LOCK_SYSCALL);
    if (error == 0) return SYSC_OK;
    SIL_TRACE(SIL_TRACE_ERROR, "SIL WARNING - Acquire device lock failed with errno: %d", error);
    return SYSC_ERR_DEVICE_LOCK;
}

void format6_DeviceUnLock(T_SIL_DEVICE* dev, const sil_syscall_parms* parms) {
    if (parms->disable_host_dev_lock_f == 0) korvReleaseDeviceLockX(dev, SIL_DEVICE_LOCK_SYSCALL);
}

std::int32_t korvOsSysCall_format6(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results) {
    SIL_FUNCTION("korvOsSysCall_format6");
    if (dev == nullptr || parms == nullptr || results == nullptr) SIL_RETURN(SYSC_ERR_NO_DEVICE);
    sil_syscall_parms& p = *parms;
    if (p.extra_parms_length != 0 && p.extra_parms_p == nullptr) SIL_RETURN(SYSC_ERR_NO_DEVICE);
    std::vector<std::uint8_t> send, receive;
    try {
        send.resize(std::size_t{p.extra_parms_length} + F6_REQUEST_OVERHEAD);
        receive.resize(SYSCALL_MAX_DATA_LEN);
    } catch (const std::bad_alloc&) {
        SIL_TRACE(SIL_TRACE_ERROR, "syscall calloc failed, errno = %d", 12);
        SIL_RETURN(SYSC_ERR_NO_MEMORY);
    }
    if (p.timeout == 0) p.timeout = kDefaultTimeoutSecs;
    results->ext_data_length = 0;
    results->number_of_records = 0;
    results->data_length = 0;
    results->iterations = 0;
    const EntryWindowGuard window{p};

    std::uint32_t continuation = 0;
    std::uint16_t chain = 0;
    if (p.poll_f != 0) {
        if (p.extra_parms_length > SYSCALL_MAX_DATA_LEN) SIL_RETURN(SYSC_ERR_SYSCALL_HEADER);
        continuation = p.extra_parms_length;
        if (continuation != 0) std::memcpy(results->data, p.extra_parms_p, continuation);
        chain = korvGetChainCode();
    }
    const std::int64_t limit = p.system_busy_max_retries != 0 ? p.system_busy_max_retries : kDefaultPollLimitSecs;
    const std::uint32_t policy =
        ((p.syscall_id >= 0x8100 && p.syscall_id < 0x9200) || (p.syscall_id >= 0x9200 && p.sys_f6_sub_command > 0x80))
            ? SYSC_RETRY_OUT
            : SYSC_RETRY_ANY;
    pds::Platform& platform = pds::platform();
    const std::int64_t start_ns = platform.monotonic_ns();
    std::uint32_t polls = 0;
    bool resent = false;

    for (;;) {
        ++results->iterations;
        if (chain == 0) chain = korvGetChainCode();
        if (continuation > p.extra_parms_length && send.size() < continuation + F6_REQUEST_OVERHEAD) {
            try {
                send.resize(std::size_t{continuation} + F6_REQUEST_OVERHEAD);
            } catch (const std::bad_alloc&) {
                SIL_TRACE(SIL_TRACE_ERROR, "syscall calloc failed, errno = %d", 12);
                SIL_RETURN(SYSC_ERR_NO_MEMORY);
            }
        }
        const std::size_t payload = continuation != 0 ? continuation : p.extra_parms_length;
        const std::span<std::uint8_t> request = std::span(send).first(payload + F6_REQUEST_OVERHEAD);
        if (format6_PrepareXmvHeader(dev, request, F6_SYSCALL_HEADER_LEN + payload, chain) != 0) {
            SIL_TRACE(SIL_TRACE_ERROR, "Failed to create XMV header");
            SIL_RETURN(SYSC_ERR_XMV_HEADER);
        }
        std::uint32_t crc = 0;
        const std::int32_t built = format6_PrepareSyscallHeader(
            dev, parms, request.subspan(F6_XMV_HEADER_LEN), std::span<const std::uint8_t>(results->data, continuation), &crc);
        if (built != 0) {
            SIL_TRACE(SIL_TRACE_ERROR, "Failed to create syscall header");
            SIL_RETURN(built);
        }
        const std::uint32_t offset = format6_BufferOffset(chain);
        std::int32_t rc = SYSC_OK;
        std::span<const std::uint8_t> reply;
        for (;;) {  // one exchange; a BAD_BUFF answer may send it once more
            const T_SIL_COMMAND write = sil_cmd_write_buffer(F6_BUFFER_MODE, F6_WRITE_BUFFER_ID, offset, request);
            for (int attempt = 1;; ++attempt) {
                if (attempt >= 3) {
                    SIL_TRACE(SIL_TRACE_ERROR, "The CDB failed, retrying after a sleep");
                    platform.sleep_ms(kWriteRetryPauseMs);
                }
                if (format6_DeviceLock(dev, parms) != 0) {
                    SIL_TRACE(SIL_TRACE_ERROR, "Failed to aquire format6 lock");
                    SIL_RETURN(SYSC_ERR_DEVICE_LOCK);
                }
                const std::int32_t sent = call_TxCDB_withRetry(write, dev, policy, nullptr);
                if (sent == 0) break;
                format6_DeviceUnLock(dev, parms);
                if (attempt == kWriteAttempts) {
                    results->sil_rc_info_mask = 1;
                    SIL_TRACE(SIL_TRACE_ERROR, "SCSI 3B Failed");
                    SIL_RETURN(sent);
                }
            }
            std::fill(receive.begin(), receive.end(), std::uint8_t{0});
            const T_SIL_COMMAND read = sil_cmd_read_buffer(F6_BUFFER_MODE, F6_READ_BUFFER_ID, offset,
                                                           std::span(receive).first(format6_ReadLength(p.syscall_flags)));
            std::uint32_t received = 0;
            const std::int32_t got = call_TxCDB_withRetry(read, dev, policy, nullptr, &received);
            format6_DeviceUnLock(dev, parms);
            if (got != 0) {
                SIL_TRACE(SIL_TRACE_ERROR, "SCSI 3C Failed");
                SIL_RETURN(got);
            }
            reply = std::span<const std::uint8_t>(receive).first(received);
            format6_next_pass next{};
            rc = p.use_ext_data_buff_f != 0 ? format6_PostProcessExtData(dev, parms, reply, results, crc, &next)
                                            : format6_PostProcess(dev, parms, reply, results, crc, &next);
            if (next.correct_sub_format) {
                SIL_TRACE(SIL_TRACE_INFO, "Syscall sub format was auto corrected from %x to %x", p.sys_f6_sub_format,
                          next.reply_sub_format);
                p.sys_f6_sub_format = next.reply_sub_format;
            }
            if (rc == SYSC_ERR_BAD_BUFF_PARAM_HEADER) {
                if (!resent && bad_buff_resend_allowed(p)) {
                    SIL_TRACE(SIL_TRACE_ERROR, "post process returned SYSCALL_BAD_BUFF_PARAM_HEADER, retrying syscall");
                    resent = true;
                    continue;
                }
                SIL_TRACE(SIL_TRACE_ERROR, "post process returned SYSCALL_BAD_BUFF_PARAM_HEADER, call has been retried, or is active.");
            }
            if (next.sleep_ms != 0) platform.sleep_ms(next.sleep_ms);
            continuation = rc == SYSC_POLL_AGAIN ? next.continuation_length : 0;
            break;
        }
        const std::size_t at = format6_ReplyOffset(dev) + 1;
        const std::uint8_t primary = reply.size() > at ? reply[at] : 0;
        const std::int64_t elapsed = (platform.monotonic_ns() - start_ns) / 1000000000;
        if (const std::int32_t ended = poll_limit(p, primary, rc, polls, elapsed, limit); ended != SYSC_OK) SIL_RETURN(ended);
        ++polls;
        if (rc != SYSC_POLL_AGAIN) SIL_RETURN(rc);
    }
}

std::int32_t korvSysCall(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results, std::uint32_t verbose) {
    SIL_FUNCTION("korvSysCall");
    if (dev == nullptr || parms == nullptr) SIL_RETURN(SYSC_ERR_NO_DEVICE);
    sil_syscall_parms& p = *parms;
    std::uint32_t level = dev->ucode_level;
    if ((p.rpx_hop_list_length > 0 || p.remote_syscall_f != 0) && p.remote_ucode_version < level) level = p.remote_ucode_version;
    const T_SIL_CONTEXT* ctx = sil_context();
    const std::uint8_t setting = ctx != nullptr ? ctx->big_buffer_enabled : 0;
    const bool big = ((level >= 0x5773 && setting != 2) || (level == 0x5772 && setting == 1)) &&
                     (p.syscall_flags & SYSC_FLAG_NO_64K_REPLY) == 0;
    p.syscall_flags = big ? (p.syscall_flags | SYSC_FLAG_64K_REPLY) : (p.syscall_flags & ~SYSC_FLAG_64K_REPLY);

    switch (dev->access_method) {
    case SIL_ACCESS_SOCKET:
        SIL_TRACE(SIL_TRACE_ERROR, "system calls over IP sockets are not part of this build");
        SIL_RETURN(SYSC_ERR_NO_TRANSPORT);
    case SIL_ACCESS_SPECIAL_USER:
        SIL_TRACE(SIL_TRACE_ERROR, "no user function is registered for system calls");
        SIL_RETURN(SYSC_ERR_NO_USER_FUNCTION);
    case SIL_ACCESS_KORVWIN:
        if (p.use_inlines_method_f == 0) {
            SIL_TRACE(SIL_TRACE_ERROR, "system calls through the service processor are not part of this build");
            SIL_RETURN(SYSC_ERR_NO_TRANSPORT);
        }
        break;
    default: break;
    }
    SIL_RETURN(korvOsSysCall_format6(dev, parms, results));
}

std::int32_t do_simple_syscall(T_SIL_DEVICE* dev, sil_syscall_parms* parms, sil_syscall_results* results,
                               std::uint32_t verbose) {
    SIL_FUNCTION("do_simple_syscall");
    if (dev != nullptr && sil_is_daemon_device(*dev)) {
        SIL_TRACE(SIL_TRACE_ERROR, "system calls through the base daemon are not part of this build");
        SIL_RETURN(SIL_ERR_DAEMON_NOT_AVAILABLE);
    }
    SIL_RETURN(korvSysCall(dev, parms, results, verbose));
}
