// The array system-call records and the format-6 wire layer: request headers, the CRC, the reply check and the chain code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "sildevice.h"

// ---- statuses of the system-call engine -------------------------------------------------------
inline constexpr std::int32_t SYSC_OK = 0;
inline constexpr std::int32_t SYSC_POLL_AGAIN = 1;  // internal to the engine: send the next pass
inline constexpr std::int32_t SYSC_ERR_XMV_HEADER = -1;
inline constexpr std::int32_t SYSC_ERR_SYSCALL_HEADER = -2;
inline constexpr std::int32_t SYSC_ERR_CRC = -7;             // also: the sleep budget ran out twice
inline constexpr std::int32_t SYSC_ERR_OVERRUN = -8;         // data overrun, time-out, or no room
inline constexpr std::int32_t SYSC_ERR_NO_MEMORY = -9;
inline constexpr std::int32_t SYSC_ERR_NO_RESULTS = -12;
inline constexpr std::int32_t SYSC_ERR_ARRAY_RC = -16;       // any other non-zero primary code
// A reply of another format or subcommand, and a reply that does not hold together: a length
// field shorter than the header and counters its flags announce, or longer than the bytes
// received. The engine cannot tell a garbled reply from a foreign one, and neither is retried.
inline constexpr std::int32_t SYSC_ERR_BAD_REPLY = -19;
inline constexpr std::int32_t SYSC_ERR_BAD_PARMS = -22;      // director selector or hop list
inline constexpr std::int32_t SYSC_ERR_BLOCKED = -32;
inline constexpr std::int32_t SYSC_ERR_BAD_BUFF_PARAM_HEADER = -33;
inline constexpr std::int32_t SYSC_ERR_87_1 = -35;
inline constexpr std::int32_t SYSC_ERR_NO_DEVICE = -105;
inline constexpr std::int32_t SYSC_ERR_POLL_LIMIT = -111;

// Primary return codes of the array the engine acts on.
inline constexpr std::uint8_t SYSCR_9263_FAST_LOCK_FAILED = 0x06;
inline constexpr std::uint8_t SR9261_SFS_ACCESS_TIMEOUT = 0x14;
inline constexpr std::uint8_t SYSCR_DATA_OVERRUN = 0x84;
inline constexpr std::uint8_t SYSCR_87 = 0x87;
inline constexpr std::uint8_t SYSCR_SYSTEM_BUSY = 0x95;
inline constexpr std::uint8_t SYSCR_BLOCKED = 0x97;
inline constexpr std::uint8_t SYSCR_POLL = 0xA0;
inline constexpr std::uint8_t SYSCR_TIMEOUT = 0xA7;
inline constexpr std::uint8_t SYSCR_WRONG_KORV = 0xAE;
inline constexpr std::uint8_t SYSCR_NDU = 0xB0;

// syscall_flags bits.
inline constexpr std::uint32_t SYSC_FLAG_RANGE_BLOCK = 0x20;
inline constexpr std::uint32_t SYSC_FLAG_LAST_CHANCE = 0x40;
inline constexpr std::uint32_t SYSC_FLAG_64K_REPLY = 0x80;
inline constexpr std::uint32_t SYSC_FLAG_NO_64K_REPLY = 0x10000000;
// Request header flags.
inline constexpr std::uint32_t F6_HDR_CONTINUATION = 0x008;
inline constexpr std::uint32_t F6_HDR_ALWAYS = 0x210;
// Reply flags.
inline constexpr std::uint32_t F6_REPLY_COUNTERS = 0x1;
inline constexpr std::uint32_t F6_REPLY_SUB_HEADER = 0x2;
inline constexpr std::uint32_t F6_REPLY_VARIABLE_RECORDS = 0x8;
// sysc_qc_status_bits: report a call that reached the wrong array.
inline constexpr std::uint32_t SYSC_QC_REPORT_WRONG_KORV = 0x2000;

// ---- wire sizes -----------------------------------------------------------------------------
inline constexpr std::size_t F6_XMV_HEADER_LEN = 8;
inline constexpr std::size_t F6_SYSCALL_HEADER_LEN = 104;
inline constexpr std::size_t F6_REQUEST_OVERHEAD = F6_XMV_HEADER_LEN + F6_SYSCALL_HEADER_LEN;
inline constexpr std::size_t F6_HOP_LIST_LEN = 8;
inline constexpr std::size_t SYSCALL_MAX_DATA_LEN = 0xFFF0;  // data area and receive buffer
inline constexpr std::uint32_t F6_READ_LEN = 0x8100;
inline constexpr std::uint32_t F6_READ_LEN_64K = 0xFFF0;
static_assert(F6_REQUEST_OVERHEAD == 112);

// One record range of a multi-range 0x92xx query.
struct sil_syscall_range {
    std::uint32_t start;
    std::uint32_t count;
};
static_assert(sizeof(sil_syscall_range) == 8);  // 32 of them make the 256-byte range block

// The request of one system call, filled by the caller. An in-memory record (it carries
// pointers); the engine writes the wire header from it field by field. Every field starts at 0,
// so a caller names only the fields its call needs.
struct sil_syscall_parms {
    std::uint16_t syscall_id{};
    std::uint32_t start_entry{};
    std::uint32_t entry_count{};
    std::uint16_t syscall_specific{};
    std::uint32_t extra_parms_length{};
    std::uint8_t* extra_parms_p{};  // the payload; the engine may hand continuation data back here
    std::uint8_t remote_syscall_f{};
    std::uint8_t rpx_group_number{};
    std::uint8_t socket_syscall_f{};
    std::uint8_t use_local_memory_f{};
    std::uint8_t syscall_specific_parm1{};
    std::uint8_t disable_host_dev_lock_f{};
    std::uint8_t use_ext_data_buff_f{};
    std::uint8_t disable_checksum_validation_f{};
    std::uint8_t use_inlines_method_f{};
    std::uint16_t director{};
    std::uint8_t other_dir_via_aux_f{};
    std::uint8_t debug_aux_parms_length{};
    std::uint8_t* debug_aux_parms_p{};
    std::uint8_t sys_parm_byte6{};
    std::uint8_t sys_parm_byte7{};
    std::uint16_t reservation_timeout{};
    std::uint16_t system_busy_sleep_seconds{};  // 0 means 1
    std::uint8_t system_busy_max_retries{};     // polling time limit in seconds; 0 means 180
    std::uint32_t sys_parm1{}, sys_parm2{}, sys_parm3{}, sys_parm4{}, sys_parm5{}, sys_parm6{};
    std::uint8_t sys_f6_sub_command{};
    std::uint8_t sys_f6_sub_format{};  // the array may correct it
    std::uint32_t timeout{};           // seconds of array-requested sleeps allowed; 0 means 100
    std::uint16_t rpx_hop_list_length{};
    std::uint8_t* rpx_hop_list_p{};
    std::uint8_t rpx_buff[8]{};
    std::uint16_t rpx_multiexecute_mask_going{};
    std::uint16_t rpx_multiexecute_mask_coming{};
    std::uint32_t verbose{};
    std::uint8_t specified_director{};  // 0, 1, 2, 4 or 9
    std::uint16_t director_types{};
    std::uint32_t director_num{};       // the low byte travels
    std::uint8_t access_id[12]{};
    std::uint32_t access_tag{};
    std::uint8_t format4{};
    std::uint32_t sysc_qc_status_bits{};
    std::uint32_t sysc_qc_status_value{};
    std::uint32_t poll_f{};
    std::uint32_t do_not_poll_f{};
    std::uint8_t ckd_striped_meta_f{};
    std::uint8_t okay_for_170_abort{};
    std::uint8_t discover_short_timeout{};
    std::uint8_t frel_next_ra_group_f{};
    std::uint8_t frel_next_ra_group{};
    std::uint16_t remote_ucode_version{};
    std::uint8_t cache_override{};
    std::uint8_t ignore_requested_sleep_f{};
    char korid[13]{};
    std::uint32_t syscall_flags{};
    std::uint16_t vexbased_flags{};
    std::uint16_t setup_time_limit{};
    std::uint8_t frel_multiexecute_passthru_f{};
    std::uint8_t use_multi_ranges_f{};
    std::uint32_t range_count{};
    sil_syscall_range* range_parms_p{};
};

// What the engine hands back from one system call. In-memory only.
struct sil_syscall_results {
    std::uint16_t format;
    std::uint16_t data_length;
    std::uint32_t flags;
    std::uint32_t number_of_records;
    std::uint32_t bytes_per_record;
    std::uint32_t first_record_number;
    std::uint32_t max_record_number;
    std::uint8_t data[SYSCALL_MAX_DATA_LEN];
    std::uint8_t order17_return_code;
    std::uint8_t syscall_return_code;
    std::uint16_t iterations;
    std::uint32_t ext_data_length;
    std::uint32_t ext_data_buffer_size;
    std::uint8_t* ext_data_buffer;
    std::uint32_t sub_header1;
    std::uint32_t sub_header2;
    std::uint32_t sub_header_reserved1;
    std::uint32_t sub_header_reserved2;
    std::uint64_t syscall_elapsed_time;
    std::uint8_t sil_rc_info_mask;
};

// ---- the request --------------------------------------------------------------------------------

// The next value of the host-wide chain-code counter after `stored`: 1 after 16383 and after any
// stored value outside 1..16383 (a store that was never set, or was damaged).
std::uint16_t format6_NextChainCode(std::int32_t stored);

// CRC-32 of the format-6 headers: reflected polynomial 0xEDB88320, initial value 0, no final
// inversion. `crc` continues an earlier run over preceding bytes.
std::uint32_t format6_Crc(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// Writes the 8-byte outer header at the start of `buffer`: "XMV", 0x04, the chain code and
// `length`, the bytes that follow it. -1 when the buffer cannot hold the header or the length
// does not fit its two bytes.
std::int32_t format6_PrepareXmvHeader(const T_SIL_DEVICE* dev, std::span<std::uint8_t> buffer, std::size_t length,
                                      std::uint16_t chain_code);

// Writes the 104-byte system-call header and its payload into `out` (at least 104 + payload
// bytes), then the CRC; returns 0 or a negative status. The payload is `continuation` when it is not empty (a later pass of a polled call),
// else the caller's extra parameters. The flags already in `out` (its bytes 20-23, from the
// previous pass of the same call) are kept. The CRC that was written goes to `*crc` when given.
// -22: a director selector other than 0, 1, 2, 4, 9, or a hop list that would not fit its
// 8 bytes (more than 8 hops, a ninth appended, or a hop count of 0 lowered); -2: the payload
// is absent, does not fit `out`, or makes the length field overflow. Nothing is sent here, so a
// refusal always comes before the WRITE BUFFER.
std::int32_t format6_PrepareSyscallHeader(const T_SIL_DEVICE* dev, const sil_syscall_parms* parms,
                                          std::span<std::uint8_t> out, std::span<const std::uint8_t> continuation,
                                          std::uint32_t* crc);

// The two buffer commands of one exchange, built with sil_cmd_write_buffer and
// sil_cmd_read_buffer (siltxcdb.h): mode 0x01, buffer 0x5D out and 0x1C in, the offset 0x04
// followed by the chain code. The WRITE BUFFER moves the whole request; the READ BUFFER is given
// the first format6_ReadLength bytes of the receive buffer.
inline constexpr std::uint8_t F6_BUFFER_MODE = 0x01;
inline constexpr std::uint8_t F6_WRITE_BUFFER_ID = 0x5D;
inline constexpr std::uint8_t F6_READ_BUFFER_ID = 0x1C;
inline std::uint32_t format6_BufferOffset(std::uint16_t chain_code) { return 0x040000u | chain_code; }
inline std::uint32_t format6_ReadLength(std::uint32_t syscall_flags) {
    return (syscall_flags & SYSC_FLAG_64K_REPLY) ? F6_READ_LEN_64K : F6_READ_LEN;
}

// ---- the reply ----------------------------------------------------------------------------------

// What the poll loop does after one reply besides acting on the status. Filled on every return.
struct format6_next_pass {
    std::uint32_t sleep_ms;             // pause before the next pass (0: none); the engine never sleeps itself
    std::uint32_t continuation_length;  // bytes at the start of results->data to send as continuation data
    bool correct_sub_format;            // the reply's subcommand is ours and its subformat differs:
    std::uint8_t reply_sub_format;      //   the caller's sys_f6_sub_format becomes this
};

// Offset of the reply header in the receive buffer: 0 on a service-processor device, else 8
// (behind the array's own outer header).
std::size_t format6_ReplyOffset(const T_SIL_DEVICE* dev);

// Checks and decodes one reply. `received` holds the bytes the READ BUFFER moved (or the whole
// cleared receive buffer); the reply must lie inside it. Places return codes, counters, sub-header
// and data in `results`, and returns 0 (done), 1 (send the next pass after `next->sleep_ms`,
// with `next->continuation_length` bytes of continuation data) or a negative status. May change
// `parms->timeout`, `specified_director`, `director_num` and `syscall_flags` 0x40 (the sleep rule
// of a poll request), and nothing else of the request. `parms->timeout` is taken as the poll loop
// left it: the loop turns 0 into 100 once, at the start of a call; here 0 means no time is left.
std::int32_t format6_PostProcess(const T_SIL_DEVICE* dev, sil_syscall_parms* parms, std::span<const std::uint8_t> received,
                                 sil_syscall_results* results, std::uint32_t request_crc, format6_next_pass* next);

// The same for calls with use_ext_data_buff_f: the data are appended to the caller's extended
// buffer, records accumulate over passes, and an overrun or time-out continues the call after the
// records received (advancing `parms->start_entry` and lowering `parms->entry_count`; the poll
// loop restores both when the call ends).
std::int32_t format6_PostProcessExtData(const T_SIL_DEVICE* dev, sil_syscall_parms* parms,
                                        std::span<const std::uint8_t> received, sil_syscall_results* results,
                                        std::uint32_t request_crc, format6_next_pass* next);
