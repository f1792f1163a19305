// The diagnostic trace: trace classes, the trace calls, the hex dump and the function entry/exit guard.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

// ---- class words ---------------------------------------------------------------------------
inline constexpr std::uint32_t SIL_TC_LEVEL_MASK = 0x0000000F;
inline constexpr std::uint32_t SIL_TC_CATEGORY_MASK = 0x000FFFF0;
inline constexpr std::uint32_t SIL_TC_FUNCTION_DEPTH = 0x00000010;  // verbosity: indentation
inline constexpr std::uint32_t SIL_TC_CDB_LOG = 0x00000020;         // verbosity: per-command log
inline constexpr std::uint32_t SIL_TC_SYSCALL_DUMP = 0x00000040;    // verbosity: system-call dumps
inline constexpr std::uint32_t SIL_TC_PID = 0x00200000;
inline constexpr std::uint32_t SIL_TC_TIME = 0x00400000;
inline constexpr std::uint32_t SIL_TC_ERROR = 0x00800000;
inline constexpr std::uint32_t SIL_TC_DEBUG = 0x01000000;
inline constexpr std::uint32_t SIL_TC_ENTER = 0x02000000;
inline constexpr std::uint32_t SIL_TC_LEAVE = 0x04000000;
inline constexpr std::uint32_t SIL_TC_PAUSE = 0x08000000;

// Classes used throughout the library.
inline constexpr std::uint32_t SIL_TRACE_ENTRY = 0x2000010;
inline constexpr std::uint32_t SIL_TRACE_EXIT = 0x4000010;
inline constexpr std::uint32_t SIL_TRACE_INFO = 0x1000001;
inline constexpr std::uint32_t SIL_TRACE_INFO_DETAIL = 0x1000801;
inline constexpr std::uint32_t SIL_TRACE_ERROR = 0xC00001;
inline constexpr std::uint32_t SIL_TRACE_FORMATTED = 0x40;

// Verbosity words set by the front end.
inline constexpr std::uint32_t SIL_VERBOSITY_DBG = 0x0040FFFF;
inline constexpr std::uint32_t SIL_VERBOSITY_DBG_LOG = 0x0000FFFF;

// ---- the gate --------------------------------------------------------------------------------
// Non-zero while anything could be traced: the verbosity word OR the trigger mask. Every entry
// and exit of a library function tests this one word and does nothing more when it is zero.
extern std::atomic<std::uint32_t> sil_trace_gate;

// ---- calls ---------------------------------------------------------------------------------
// Reads SDEBUG, SDEBUG_FILE and SDEBUG_FUNCTION_TRIGGER once per process. 0 or -1.
int sil_debug_init();
// Writes one trace line. value: a line number, or the return value for exit classes.
// -102 without the library, -101 without a buffer, 0 otherwise.
std::int32_t sil_trace(std::uint32_t trace_class, const char* message, const char* source_file,
                       std::int64_t value);
// The verbosity word (0 when the library is not started).
std::uint32_t sil_trace_on();
// Formats a message (at most 256 characters) and traces it at class 0x40 when tracing is on.
void sil_trace_printf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Replaces the verbosity word. 0, or -102 without a context record.
std::int32_t sil_set_verbosity(std::uint32_t word);
// Opens the trace file named by an argument "name[:PID][:FW[:n[:kb[:]]]]" and makes it the
// library output stream. 0 (a file that cannot be opened falls back to standard output with a
// message), or -102 without a context record.
std::int32_t sil_open_debug_file(const char* file_argument);
void sil_trigger_enter(const char* function_name);
void sil_trigger_leave(const char* function_name);
// Hex dump of `length` bytes to the library output stream (and to extra_file when given).
// compare: 1 marks bytes that differ from compare_data with "*". 0, or -1 on bad arguments.
int sil_hex_dump(std::size_t length, const void* data, int compare, const void* compare_data,
                 std::FILE* extra_file);
int sil_hex_dump_if_tracing(std::size_t length, const void* data, int compare,
                            const void* compare_data, std::FILE* extra_file);
// "%02d/%02d/%04d %02d:%02d:%02d.%03d" local time into buffer (at least 41 bytes).
void sil_timestamp(char* buffer);
// ctime-style date without newline into buffer (at least 41 bytes); empty on failure.
void sil_date_text(char* buffer);
// Appends one line to the socket log. 0 written, 1 not written (or no message given).
int sil_sock_log(const char* tag, const char* message);

// ---- function entry/exit -----------------------------------------------------------------------
// Every library function opens with SIL_FUNCTION(name) and returns through SIL_RETURN(rc):
//
//   int32_t SIL_Foo(...) {
//       SIL_FUNCTION("SIL_Foo");
//       ...
//       SIL_RETURN(rc);
//   }
//
// With the gate closed the entry and the exit each cost one comparison.
class SilFunctionScope {
public:
    SilFunctionScope(const char* name, const char* file, int line) : name_(name), file_(file) {
        if (sil_trace_gate.load(std::memory_order_relaxed) != 0) enter(line);
    }
    ~SilFunctionScope() {
        if (active_) leave();
    }
    SilFunctionScope(const SilFunctionScope&) = delete;
    SilFunctionScope& operator=(const SilFunctionScope&) = delete;
    template <typename T>
    T result(T value) {
        rc_ = static_cast<std::int64_t>(value);
        return value;
    }

private:
    void enter(int line);
    void leave();
    const char* name_;
    const char* file_;
    std::int64_t rc_ = 0;
    bool active_ = false;
};

#define SIL_FUNCTION(name) SilFunctionScope sil_function_scope_((name), __FILE__, __LINE__)
#define SIL_RETURN(rc) return sil_function_scope_.result(rc)
// Traces a message at `cls` when tracing is on; the message is built only then.
#define SIL_TRACE(cls, ...)                                                     \
    do {                                                                        \
        if (sil_trace_on() != 0) sil_trace_fmt((cls), __FILE__, __LINE__, __VA_ARGS__); \
    } while (0)
void sil_trace_fmt(std::uint32_t trace_class, const char* file, int line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;
