// The diagnostic trace: trace classes, the trace calls, the hex dump and the function entry/exit guard.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "sil/silfmtpg0.h"  // sil_hex_dump
#include "sil/siltrace.h"

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
// Formats a message (at most 256 characters) and traces it at class 0x40 when tracing is on.
void sil_trace_printf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void sil_trigger_enter(const char* function_name);
void sil_trigger_leave(const char* function_name);
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
