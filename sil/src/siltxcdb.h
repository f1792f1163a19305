// The SCSI command transport: TxCDB, its command and error records, custom settings and helpers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sildevice.h"
#include "silinitl.h"

// ---- records -------------------------------------------------------------------------------

// The command record of one CDB. The base daemon receives it over the wire, so the layout is
// fixed; integers in host order (little-endian).
struct T_SIL_IO_DATA_IN {
    std::uint8_t cdb[16];         // the CDB, zero past cdb_len
    std::int32_t cdb_len;         // 0, 6, 10, 12 or 16
    std::uint32_t xfer_len;       // data bytes expected
    std::uint32_t xfer_done;      // data bytes moved, written by the road
    std::int32_t timeout_secs;    // 120 unless custom settings give another
    std::uint8_t blocks_520;      // custom settings asked for 520-byte blocks
    std::uint8_t blocks_2088;     // custom settings asked for 2088-byte blocks
    std::uint8_t reserved_34[2];
    std::uint32_t block_size;     // 512, 520 or 2088
    std::uint8_t host_flag1;      // passed to the daemon road only
    std::uint8_t host_flag2;
    std::uint8_t direction;       // 0 data from the device, 1 data to the device
    std::uint8_t reserved_43;
};
static_assert(sizeof(T_SIL_IO_DATA_IN) == 44);
static_assert(offsetof(T_SIL_IO_DATA_IN, cdb_len) == 16);
static_assert(offsetof(T_SIL_IO_DATA_IN, xfer_len) == 20);
static_assert(offsetof(T_SIL_IO_DATA_IN, xfer_done) == 24);
static_assert(offsetof(T_SIL_IO_DATA_IN, timeout_secs) == 28);
static_assert(offsetof(T_SIL_IO_DATA_IN, blocks_520) == 32);
static_assert(offsetof(T_SIL_IO_DATA_IN, blocks_2088) == 33);
static_assert(offsetof(T_SIL_IO_DATA_IN, block_size) == 36);
static_assert(offsetof(T_SIL_IO_DATA_IN, host_flag1) == 40);
static_assert(offsetof(T_SIL_IO_DATA_IN, host_flag2) == 41);
static_assert(offsetof(T_SIL_IO_DATA_IN, direction) == 42);

// The error record of one command; the base daemon returns the same layout.
struct T_CDB_ERROR {
    std::uint32_t korvStatus;          // CDB_ERR_* bits; 0 = nothing to report
    std::uint32_t pid;                 // process id of the caller
    std::uint32_t os_error;            // the OS's last error after the request
    std::uint32_t bytesToTransfer;     // xfer_len
    std::uint32_t bytesTransferred;    // data bytes moved
    std::uint8_t cdb[16];              // copy of the CDB
    std::uint8_t senseAvailable;       // 1 when sense data came back
    std::uint8_t sense_data[255];      // sense bytes as returned (at most 24 on the Windows road)
    std::uint8_t sense_key;            // low four bits of sense byte 2
    std::uint8_t add_sense_code;       // sense byte 12
    std::uint8_t add_sense_qualifier;  // sense byte 13
    std::uint8_t reserved_295;
    std::uint32_t host_specific[3];    // zero on this host
    char raw_device_fn[100];           // device file name, at most 80 characters and a NUL
    std::uint32_t ioctlTimeoutSecs;    // the time-out the command was sent with
};
static_assert(sizeof(T_CDB_ERROR) == 412);
static_assert(offsetof(T_CDB_ERROR, pid) == 4);
static_assert(offsetof(T_CDB_ERROR, os_error) == 8);
static_assert(offsetof(T_CDB_ERROR, bytesToTransfer) == 12);
static_assert(offsetof(T_CDB_ERROR, bytesTransferred) == 16);
static_assert(offsetof(T_CDB_ERROR, cdb) == 20);
static_assert(offsetof(T_CDB_ERROR, senseAvailable) == 36);
static_assert(offsetof(T_CDB_ERROR, sense_data) == 37);
static_assert(offsetof(T_CDB_ERROR, sense_key) == 292);
static_assert(offsetof(T_CDB_ERROR, add_sense_code) == 293);
static_assert(offsetof(T_CDB_ERROR, add_sense_qualifier) == 294);
static_assert(offsetof(T_CDB_ERROR, host_specific) == 296);
static_assert(offsetof(T_CDB_ERROR, raw_device_fn) == 308);
static_assert(offsetof(T_CDB_ERROR, ioctlTimeoutSecs) == 408);

// korvStatus bits. Bits marked "daemon" are only ever set by the base daemon's host.
inline constexpr std::uint32_t CDB_ERR_DAEMON_1 = 0x0001;
inline constexpr std::uint32_t CDB_ERR_DAEMON_2 = 0x0002;
inline constexpr std::uint32_t CDB_ERR_DAEMON_4 = 0x0004;
inline constexpr std::uint32_t CDB_ERR_DAEMON_8 = 0x0008;
inline constexpr std::uint32_t CDB_ERR_RETRY = 0x0010;             // TxCDB: retry advised
inline constexpr std::uint32_t CDB_ERR_XFER_RUN = 0x0020;          // over/under-run
inline constexpr std::uint32_t CDB_ERR_BUSY = 0x0040;              // daemon
inline constexpr std::uint32_t CDB_ERR_CHECK_CONDITION = 0x0080;   // daemon
inline constexpr std::uint32_t CDB_ERR_RESERVATION = 0x0100;       // reservation probe
inline constexpr std::uint32_t CDB_ERR_DAEMON_200 = 0x0200;
inline constexpr std::uint32_t CDB_ERR_TIMEOUT = 0x0400;           // daemon
inline constexpr std::uint32_t CDB_ERR_INCOMPLETE = 0x0800;        // daemon
inline constexpr std::uint32_t CDB_ERR_POWER_FAIL = 0x1000;        // daemon

// Optional per-command settings, seven signed 32-bit slots, passed by address.
struct T_SIL_IOCTL_SETTINGS {
    std::int32_t unused0;
    std::int32_t ioctlTimeoutSecs;  // accepted from 1 to 299
    std::int32_t use_520_blocks;    // 1: 520-byte blocks
    std::int32_t use_2088_blocks;   // 1: 2088-byte blocks (looked at when use_520_blocks is not 1)
    std::int32_t unused4;
    std::int32_t host_flag1;        // non-zero sets host_flag1
    std::int32_t host_flag2;        // non-zero sets host_flag2
};
static_assert(sizeof(T_SIL_IOCTL_SETTINGS) == 28);

// Callers have long passed small integers in place of the settings pointer to mean "none": any
// address below this counts as no settings and is never dereferenced.
inline constexpr std::uintptr_t SIL_IOCTL_SETTINGS_MIN_ADDRESS = 0x10000;

// ---- constants -----------------------------------------------------------------------------
inline constexpr std::int32_t SIL_DEFAULT_TIMEOUT_SECS = 120;
inline constexpr std::int32_t SIL_MIN_WIN_TIMEOUT_SECS = 10;
inline constexpr std::uint32_t SIL_TRANSPORT_BLOCK_SIZE = 512;

// The base daemon (conn_type 101-103) is a subsystem this build does not carry.
inline constexpr std::int32_t SIL_ERR_DAEMON_NOT_AVAILABLE = -561;
inline constexpr std::uint32_t SIL_CONN_DAEMON_FIRST = 101;
inline constexpr std::uint32_t SIL_CONN_DAEMON_LAST = 103;
// Whether the device is reached through the base daemon.
inline bool sil_is_daemon_device(const T_SIL_DEVICE& device) {
    return device.conn_type >= SIL_CONN_DAEMON_FIRST && device.conn_type <= SIL_CONN_DAEMON_LAST;
}

// Value handed to the multipathing driver's pass-through entry with the block.
inline constexpr std::uint32_t SIL_MP_PASSTHRU_VALUE = 32;

// Opcodes the transport treats specially.
inline constexpr std::uint8_t SCSI_TEST_UNIT_READY = 0x00;
inline constexpr std::uint8_t SCSI_INQUIRY = 0x12;
inline constexpr std::uint8_t SCSI_RESERVE6 = 0x16;
inline constexpr std::uint8_t SCSI_RELEASE6 = 0x17;
inline constexpr std::uint8_t SCSI_RECEIVE_DIAGNOSTIC = 0x1C;
inline constexpr std::uint8_t SCSI_SEND_DIAGNOSTIC = 0x1D;
inline constexpr std::uint8_t SCSI_READ_CAPACITY10 = 0x25;
// WRITE BUFFER is the only data-out command this system sends (it carries the array system
// calls). TxCDB does not filter opcodes: callers decide what they send, and none sends a command
// that changes data on the medium.
inline constexpr std::uint8_t SCSI_WRITE_BUFFER = 0x3B;
inline constexpr std::uint8_t SCSI_READ_BUFFER = 0x3C;
inline constexpr std::uint8_t SCSI_LOG_SENSE = 0x4D;
inline constexpr std::uint8_t SCSI_PERSISTENT_RESERVE_OUT = 0x5F;
inline constexpr std::uint8_t SCSI_SERVICE_ACTION_IN16 = 0x9E;  // READ CAPACITY(16)

// ---- the transport -------------------------------------------------------------------------

// ---- the library's command path -------------------------------------------------------------
// Every command the library sends is built here from the buffer it moves: the transfer length in
// the CDB is derived from the buffer's size, so the two cannot disagree. The send reports the
// bytes the device actually returned, and decoders read those and nothing past them.

// One command ready to send.
struct T_SIL_COMMAND {
    std::array<std::uint8_t, 16> cdb{};
    std::span<std::uint8_t> data;  // the reply lands here (direction 0) or is sent from here (1)
    std::uint8_t direction = 0;
};

// The outcome of one command: the transport's status and the data bytes moved.
struct T_SIL_REPLY {
    std::int32_t status = SIL_ERR_FAILED;
    std::uint32_t received = 0;           // never more than the command's buffer holds
    std::span<const std::uint8_t> bytes;  // the first `received` bytes of the command's buffer
    bool ok() const { return status == 0; }
};

// INQUIRY of the standard page: 12 00 00 00 n 00, n = the buffer's size up to 255.
T_SIL_COMMAND sil_cmd_inquiry(std::span<std::uint8_t> buffer);
// INQUIRY of VPD page `page`: 12 01 page 00 n 00, n as above.
T_SIL_COMMAND sil_cmd_vpd_inquiry(std::uint8_t page, std::span<std::uint8_t> buffer);
// READ CAPACITY(10): 25 and nine zeros. Moves 8 bytes whatever the buffer; a smaller buffer is
// refused by the send.
T_SIL_COMMAND sil_cmd_read_capacity10(std::span<std::uint8_t> buffer);
// READ CAPACITY(16): 9E 10, allocation length (bytes 10-13) the buffer's size.
T_SIL_COMMAND sil_cmd_read_capacity16(std::span<std::uint8_t> buffer);
// MODE SENSE(6) of `page_field` (page code and page control bits): 1A 00 field 00 n 00.
T_SIL_COMMAND sil_cmd_mode_sense6(std::uint8_t page_field, std::span<std::uint8_t> buffer);
// READ(10) from `lba`: as many whole 512-byte blocks as the buffer holds.
T_SIL_COMMAND sil_cmd_read10(std::uint32_t lba, std::span<std::uint8_t> buffer);
// READ BUFFER / WRITE BUFFER (3C / 3B): mode, buffer id, 24-bit offset, length the buffer's size
// (at most 0xFFFFFF). WRITE BUFFER sends the buffer.
T_SIL_COMMAND sil_cmd_read_buffer(std::uint8_t mode, std::uint8_t buffer_id, std::uint32_t offset,
                                  std::span<std::uint8_t> buffer);
T_SIL_COMMAND sil_cmd_write_buffer(std::uint8_t mode, std::uint8_t buffer_id, std::uint32_t offset,
                                   std::span<std::uint8_t> buffer);

// Sends `command` through TxCDB's road. A buffer smaller than the transfer the CDB asks for is
// refused (SIL_ERR_FAILED) before anything is sent. `error_out`, when given, receives the error
// record as TxCDB hands it back.
T_SIL_REPLY sil_send(T_SIL_DEVICE* device, const T_SIL_COMMAND& command, const T_SIL_IOCTL_SETTINGS* settings,
                     int force_dump, T_CDB_ERROR* error_out = nullptr);

// The same for a CDB given as bytes, with the buffer it moves: for commands the builders above do
// not cover.
T_SIL_REPLY sil_send_cdb(T_SIL_DEVICE* device, std::span<const std::uint8_t> cdb, std::uint8_t direction,
                         std::span<std::uint8_t> data, const T_SIL_IOCTL_SETTINGS* settings, int force_dump,
                         T_CDB_ERROR* error_out = nullptr);

// Sends one CDB to an open device. `cdb` holds the CDB (its length follows from the opcode);
// `data_buffer` must hold at least get_xfer_length(cdb, block size) bytes: TxCDB cannot check it,
// which is why the library itself sends through sil_send. `cdb_error_out`, when
// given, receives the whole error record also on success. `ioctl_settings` may be null or any
// address below 0x10000 for none. `reserved` is ignored. A non-zero `force_dump` switches the
// data dump (verbosity bit 0x20) on for the rest of the process.
// 0, -5 failed, -102 library not started, -104 socket / KorvWin device, -105 no device,
// -561 base-daemon device.
std::int32_t TxCDB(const std::uint8_t* cdb, std::uint8_t direction, T_CDB_ERROR* cdb_error_out,
                   const T_SIL_IOCTL_SETTINGS* ioctl_settings, void* data_buffer,
                   T_SIL_DEVICE* device, std::uintptr_t reserved, int force_dump);

// CDB length of an opcode from its group code: 6, 10, 12, 16, or 0 for groups 3 and 6.
std::int32_t get_cdb_length(std::uint8_t opcode);
// Data length of a CDB. Reads no byte beyond get_cdb_length(cdb[0]) bytes of `cdb`.
// Lengths are 32-bit like the record's field: larger products wrap.
std::uint32_t get_xfer_length(const std::uint8_t* cdb, std::uint32_t block_size);

// The Windows pass-through road. Fills xfer_done and the error record. 0 or -5.
std::int32_t os_specific_io(T_SIL_DEVICE* device, T_SIL_IO_DATA_IN* io, void* data_buffer,
                            T_CDB_ERROR* cdb_err);
// Does the device still answer INQUIRY? 1 yes (so an I/O error was a reservation held by another
// initiator), 0 no.
std::int32_t sil_is_WIN32_reserv_conflict(T_SIL_DEVICE* device);

// The base-daemon road. The daemon subsystem is not part of this build: both answer
// SIL_ERR_DAEMON_NOT_AVAILABLE and leave the records as they are.
std::int32_t DMNSIL_os_specific_io(T_SIL_DEVICE* device, T_SIL_IO_DATA_IN* io, void* data_buffer,
                                   T_CDB_ERROR* cdb_err);
std::int32_t DMNSIL_os_specific_io_no_buff(T_SIL_DEVICE* device, T_SIL_IO_DATA_IN* io,
                                           T_CDB_ERROR* cdb_err);

// Retry advice from an error record: 1 yes, 0 no.
std::int32_t should_we_suggest_retry(const T_CDB_ERROR* cdb_err);

// ---- reports -------------------------------------------------------------------------------

// The failure report, line by line as print_cdb_error writes them (one string per trace print).
std::vector<std::string> cdb_error_report_lines(const T_CDB_ERROR* cdb_err);
// Prints the failure report through the trace when the verbosity word is non-zero.
// -1 without a record, 0 otherwise.
std::int32_t print_cdb_error(const T_CDB_ERROR* cdb_err, std::uint64_t trace_ctx);

// Process-wide counters of the one-line summary.
struct T_CDB_SUMMARY_COUNTS {
    std::uint32_t passed;
    std::uint32_t failed;
    std::uint32_t bad_replies;
    double total_seconds;
};
T_CDB_SUMMARY_COUNTS sil_cdb_summary_counts();

// Where the system-call header sits in a WRITE BUFFER / READ BUFFER data buffer of `xfer_len`
// bytes, the length it claims (cut to xfer_len), whether it is the long form, and whether the
// buffer holds the bad-reply pattern (01 and 31 zero bytes). Bytes past xfer_len read as zero.
struct T_SYSCALL_BUFFER_HEADER {
    std::uint32_t length;
    std::uint32_t start;
    bool long_form;
    bool bad_reply;
};
T_SYSCALL_BUFFER_HEADER find_syscall_header(const std::uint8_t* data, std::uint32_t xfer_len);

// The summary line of one command, given the counters after it was counted. `data` holds
// `xfer_len` bytes (or is null).
std::string format_cdb_summary(const std::uint8_t* cdb, const std::uint8_t* data,
                               std::uint32_t xfer_len, const T_SIL_DEVICE* device, double seconds,
                               const T_CDB_SUMMARY_COUNTS& counts, std::int32_t result);
// Counts the command and traces its summary line (class 0x1000001) while the data dump is on.
void log_cdb_summary(const std::uint8_t* cdb, const void* data, const T_SIL_DEVICE* device,
                     double start_time, std::int32_t result);
// Hex dumps of the CDB and outgoing data (before sending) and of the reply (after a success),
// while the data dump is on.
void dump_cdb_out(const T_SIL_IO_DATA_IN* io, const void* data, std::uint64_t trace_ctx);
void dump_cdb_in(const T_SIL_IO_DATA_IN* io, const void* data, std::uint64_t trace_ctx);

// Seconds on a monotonic clock, for command timing.
double sil_seconds_now();
// Whether the data dump (verbosity bit 0x20) is on.
bool sil_cdb_dump_on();
