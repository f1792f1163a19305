// The trace entry points a caller of the library may use: trace classes, verbosity words, the
// verbosity and trace-file settings and the formatted trace line.
#pragma once

#include <cstdint>

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

// ---- settings -------------------------------------------------------------------------------
// The verbosity word (0 when the library is not started).
std::uint32_t sil_trace_on();
// Whether this run may trace at all: a verbosity word, or a function trigger that is armed.
bool sil_trace_armed();
// Replaces the verbosity word. 0, or -102 without a context record.
std::int32_t sil_set_verbosity(std::uint32_t word);
// Opens the trace file named by an argument "name[:PID][:FW[:n[:kb[:]]]]" and makes it the
// library output stream. 0 (a file that cannot be opened falls back to standard output with a
// message), or -102 without a context record.
std::int32_t sil_open_debug_file(const char* file_argument);

// ---- a trace line -----------------------------------------------------------------------------
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
