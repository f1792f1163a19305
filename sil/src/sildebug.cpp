// The diagnostic trace: settings from the environment, trace lines, trace files and their wrapping, trigger, hex dump, socket log.
#include "sildebug.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "pds/platform.h"
#include "sildevice.h"
#include "silinitl.h"
#include "sil/siltext.h"

std::atomic<std::uint32_t> sil_trace_gate{0};

namespace {

// Control word bits: set means the quiet default.
constexpr std::uint32_t kControlNoPause = 0x10000;
constexpr std::uint32_t kControlOneLine = 0x20000;
constexpr std::uint32_t kControlNoEcho = 0x40000;
constexpr std::uint32_t kControlDefaults = kControlNoPause | kControlOneLine | kControlNoEcho;

constexpr std::size_t kTextCapacity = 2048;      // one line's text, as the line buffer holds it
constexpr std::size_t kPrintfCapacity = 256;     // sil_trace_printf messages
constexpr std::size_t kTimeTextCapacity = 40;    // timestamps and date texts
constexpr std::size_t kWrapBaseCapacity = 199;   // base name of wrapped trace files
constexpr std::size_t kSockPathCapacity = 225;   // KORAPI_SILSOCK_FILENAME
constexpr std::size_t kTriggerNameCapacity = sizeof(T_SIL_CONTEXT::trigger_function) - 1;
constexpr int kMaxIndentLevels = 20;
constexpr int kLineWidth = 80;
constexpr std::int64_t kDefaultWrapLimit = 0x100000;
constexpr int kDefaultWrapFiles = 5;
constexpr const char* kContinuationIndent = "       ";
constexpr const char* kEchoFormat = "  verbosity = 0x%08X   control = 0x%08X\n";

std::atomic<std::uint32_t> g_control{0};
std::atomic<bool> g_triggered{false};
std::atomic<bool> g_debug_init_done{false};

// Everything a line touches while it is written; one line at a time, so that a wrap never
// closes a stream another thread is writing to.
struct WriterState {
    std::mutex lock;
    int depth = 0;
    int depth_limit = 0;  // sdebugFunctionLevel; 0 = none
    std::FILE* own_file = nullptr;  // the trace file this module opened, closed when replaced
    std::string file_name;          // name of the file last opened
    // Wrapping (files == 0: off).
    std::string wrap_base;
    int wrap_index = 0;
    int wrap_files = 0;
    std::int64_t wrap_limit = kDefaultWrapLimit;  // bytes
    bool wrap_delete = false;
};

WriterState& writer() {
    static WriterState* const state = new WriterState;  // lives past static destructors
    return *state;
}

// ---- small helpers ---------------------------------------------------------------------------

std::atomic_ref<std::uint32_t> verbosity_ref(T_SIL_CONTEXT& ctx) {
    return std::atomic_ref<std::uint32_t>(ctx.verbosity);
}
std::atomic_ref<std::uint32_t> trigger_mask_ref(T_SIL_CONTEXT& ctx) {
    return std::atomic_ref<std::uint32_t>(ctx.trigger_mask);
}
std::atomic_ref<std::FILE*> out_stream_ref(T_SIL_CONTEXT& ctx) {
    return std::atomic_ref<std::FILE*>(ctx.out_stream);
}

void refresh_gate(T_SIL_CONTEXT& ctx) {
    sil_trace_gate.store(verbosity_ref(ctx).load() | trigger_mask_ref(ctx).load(), std::memory_order_relaxed);
}

// Source positions are printed by file name only: the build's directories mean nothing to a reader.
std::string_view file_name_only(const char* path) {
    if (path == nullptr) return {};
    std::string_view text(path);
    const std::size_t slash = text.find_last_of("/\\");
    return slash == std::string_view::npos ? text : text.substr(slash + 1);
}

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Decimal number at the front of `text` (as the C library reads it): 0 when there is none.
long leading_decimal(std::string_view text) {
    long value = 0;
    std::size_t pos = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && value < 100000000) {
        value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    return value;
}

std::uint32_t current_verbosity() {
    T_SIL_CONTEXT* ctx = sil_context();
    return ctx == nullptr ? 0 : verbosity_ref(*ctx).load(std::memory_order_relaxed);
}

// Makes `stream` the library output stream, closing a trace file this module opened before.
// Called with the writer lock held.
void switch_output(T_SIL_CONTEXT& ctx, WriterState& w, std::FILE* stream, bool owned) {
    std::FILE* const previous = w.own_file;
    out_stream_ref(ctx).store(stream);
    w.own_file = owned ? stream : nullptr;
    if (previous != nullptr && previous != stream) std::fclose(previous);
}

// ---- keywords ------------------------------------------------------------------------------------

// Applies one keyword to `word` (and to the control word and the depth limit). Returns false for
// NULL, which ends the parsing.
bool apply_keyword(std::string_view key, std::uint32_t& word, WriterState& w) {
    struct Simple {
        std::string_view name;
        std::uint32_t or_bits;
    };
    static constexpr Simple kOrKeywords[] = {
        {"ALL", 0xFFFF}, {"TIME", 0x400000}, {"PID", 0x200000}, {"DBG1", 1},   {"DBG2", 3},
        {"DBG3", 7},     {"DBG4", 15},       {"FD", 0x400},     {"IPC", 0x200}, {"CDB", 0x20},
        {"INL", 0x80},   {"SYS", 0x40},
    };
    if (key == "NULL") return false;
    for (const Simple& k : kOrKeywords) {
        if (key == k.name) {
            word |= k.or_bits;
            return true;
        }
    }
    if (key == "~CDB") {
        word &= ~std::uint32_t{0x20};
    } else if (key.starts_with("FT") && (key.size() == 2 || all_digits(key.substr(2)))) {
        word |= SIL_TC_FUNCTION_DEPTH;
        if (key.size() > 2) w.depth_limit = static_cast<int>(leading_decimal(key.substr(2)));
    } else if (key == "LW") {
        g_control.fetch_and(~kControlOneLine);
    } else if (key == "INT") {
        g_control.fetch_and(~kControlNoPause);
    } else if (key == "DEBUGGER") {
        g_control.fetch_and(~kControlNoEcho);
    } else if (key == "FW") {
        std::printf("\n\tINFO: file wrapping of output file enabled\n\n");
    } else {
        std::printf("\n\tERROR: bad debug parameter, check env var, SDEBUG\n\n");
    }
    return true;
}

// Parses a ":"-separated keyword text into `word`. In trigger mode the first piece is the
// function name, and a name alone means every level and category (0xFFFF).
void parse_keywords(std::string_view text, bool trigger_mode, std::uint32_t& word, std::string* function) {
    WriterState& w = writer();
    bool first = true;
    bool any_keyword = false;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(':', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view piece = text.substr(pos, end - pos);
        pos = end + 1;
        if (piece.empty()) continue;
        if (trigger_mode && first) {
            first = false;
            if (function != nullptr) *function = std::string(piece.substr(0, kTriggerNameCapacity));
            continue;
        }
        first = false;
        any_keyword = true;
        const bool go_on = apply_keyword(piece, word, w);
        if ((g_control.load() & kControlNoEcho) == 0) std::printf(kEchoFormat, word, g_control.load());
        if (!go_on) break;
    }
    if (trigger_mode && !any_keyword) word = 0xFFFF;
    std::fflush(stdout);
}

// ---- trace files -----------------------------------------------------------------------------------

// A trace file's size in bytes, or -1. Asked of the file system rather than with ftell, whose
// long has 32 bits on Windows.
std::int64_t file_bytes(const std::string& name) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(name, error);
    return error ? -1 : static_cast<std::int64_t>(std::min<std::uintmax_t>(size, INT64_MAX));
}

// Moves the trace to the next wrap file when the current one has grown past the limit.
// Called with the writer lock held; `out` is the current stream, the result the stream to use.
std::FILE* wrap_if_needed(T_SIL_CONTEXT& ctx, WriterState& w, std::FILE* out) {
    pds::Platform& p = pds::platform();
    std::fflush(out);
    const std::int64_t position = file_bytes(w.file_name);
    if (position < 0) {
        char stamp[kTimeTextCapacity + 1];
        sil_timestamp(stamp);
        std::fprintf(out, "ERROR: <%s> %d failed to get ftell info", stamp, static_cast<int>(p.process_id()));
        return out;
    }
    if (position <= w.wrap_limit) return out;

    char stamp[kTimeTextCapacity + 1];
    sil_timestamp(stamp);
    std::fprintf(out, "FileWrapping: <%s> %d The debug file is now %lld bytes.\n", stamp,
                 static_cast<int>(p.process_id()), static_cast<long long>(position));

    const auto advance = [&w](int index) { return index + 1 > w.wrap_files ? 0 : index + 1; };
    const auto wrap_name = [&w](int index) { return sil_format("%s_%d", w.wrap_base.c_str(), index); };
    const int current = w.wrap_index;
    std::FILE* next = nullptr;
    std::string next_name;
    for (int tries = 0; tries < w.wrap_files && next == nullptr; ++tries) {
        w.wrap_index = advance(w.wrap_index);
        next_name = wrap_name(w.wrap_index);
        std::fprintf(out, "FileWrapping checking new file <%s>\n", next_name.c_str());
        std::FILE* candidate = std::fopen(next_name.c_str(), "a");
        if (candidate == nullptr) continue;
        const std::int64_t size = file_bytes(next_name);
        if (size >= 0 && size <= w.wrap_limit) {
            next = candidate;
        } else {
            std::fclose(candidate);
        }
    }
    if (next == nullptr) {
        // Every other file is full: start over in the one after the current file, emptied.
        w.wrap_index = advance(current);
        next_name = wrap_name(w.wrap_index);
        next = std::fopen(next_name.c_str(), "w");
    }
    std::fprintf(out, "FileWrapping starting new file <%s>\n", next_name.c_str());
    // The removal is a POSIX shell command; Windows' shell cannot run it.
    if (w.wrap_delete && p.name() != "win32") {
        const int previous = w.wrap_index == 0 ? w.wrap_files : w.wrap_index - 1;
        const std::string command =
            sil_format("%s rm %s 2>&1",
                   "PATH=/usr/sbin:/sbin:/etc:/bin:/etc:/usr/bin; export PATH; LC_ALL=C; export LC_ALL; ",
                   wrap_name(previous).c_str());
        int exit_status = 0;
        std::string ignored;
        p.run_tool(command, &ignored, exit_status);
    }
    if (next == nullptr) return out;
    switch_output(ctx, w, next, true);
    w.file_name = next_name;
    std::fprintf(next, "FileWrapping has moved to the next file <%s>\n", next_name.c_str());
    return next;
}

// The text of one line after the indentation: prefixes, message and decorations.
std::string line_text(std::uint32_t cls, std::uint32_t verbosity, const char* message, const char* source_file,
                      std::int64_t value) {
    pds::Platform& p = pds::platform();
    std::string text;
    if (cls & SIL_TC_DEBUG) text += "Debug: ";
    if (cls & SIL_TC_ERROR) text += "Error: ";
    if (cls & SIL_TC_ENTER) text += "Enter: ";
    if (cls & SIL_TC_LEAVE) text += "Leave: ";
    text += message == nullptr ? "" : message;
    if ((cls & SIL_TC_PID) && !(verbosity & SIL_TC_PID)) text += sil_format(" <%d>", static_cast<int>(p.process_id()));
    if ((cls & SIL_TC_TIME) && !(verbosity & SIL_TC_TIME)) {
        char date[kTimeTextCapacity + 1];
        sil_date_text(date);
        text += sil_format(" <%s>", date);
    }
    if (cls & SIL_TC_LEAVE) {
        text += sil_format(", Return Value: %d", static_cast<int>(value));
    } else if (cls & SIL_TC_TIME) {
        text += sil_format(" File:%.*s Line:%d", static_cast<int>(file_name_only(source_file).size()),
                       file_name_only(source_file).data(), static_cast<int>(value));
    }
    if (text.size() >= kTextCapacity) text.resize(kTextCapacity - 1);
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// Writes `text` in pieces of at most 80 columns, continuation lines indented.
void append_wrapped(std::string& out, const std::string& indent, std::string_view text, std::string_view cont) {
    const std::size_t first_width = static_cast<std::size_t>(kLineWidth) - indent.size();
    const std::size_t next_width = first_width - cont.size();
    out += indent;
    out += text.substr(0, first_width);
    // The stream is in text mode: Windows' C library turns the "\n" into the line end itself.
    out += "\n";
    for (std::size_t pos = first_width; pos < text.size(); pos += next_width) {
        out += indent;
        out += cont;
        out += text.substr(pos, next_width);
        out += "\n";
    }
}

void wait_for_enter() {
    std::printf("Press Enter to continue...\n");
    std::fflush(stdout);
    for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
    }
}

std::string hex_dump_text(std::span<const std::uint8_t> data, const std::uint8_t* compare_data) {
    std::string text;
    text += "       00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F";
    text += "\n";
    text += "       ------------------------------------------------";
    text += "\n";
    constexpr std::size_t kRow = 16;
    constexpr std::size_t kByteArea = 49;
    for (std::size_t row = 0; row < data.size(); row += kRow) {
        const std::size_t count = std::min(kRow, data.size() - row);
        text += " ";
        text += sil_format("%04x: ", static_cast<unsigned>(row));
        std::string bytes;
        for (std::size_t i = 0; i < count; ++i) {
            bytes += sil_format("%02x ", data[row + i]);
            if (i == 7) bytes += " ";
        }
        bytes.resize(kByteArea, ' ');
        text += bytes;
        text += "  ";
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t b = data[row + i];
            if (compare_data != nullptr && compare_data[row + i] != b) text += "*";
            const bool printable = b >= 0x20 && b < 0x7F && b != '%';
            text += printable ? static_cast<char>(b) : '.';
        }
        text += "\n";
    }
    text += "\n";
    return text;
}

}  // namespace

// ---- settings ---------------------------------------------------------------------------------------

int sil_debug_init() {
    T_SIL_CONTEXT* ctx = sil_context();
    if (ctx == nullptr) return -1;
    if (g_debug_init_done.exchange(true)) return 0;
    g_control.fetch_or(kControlDefaults);

    pds::Platform& p = pds::platform();
    const std::optional<std::string> sdebug = p.get_env("SDEBUG");
    const std::optional<std::string> sdebug_file = p.get_env("SDEBUG_FILE");
    const std::optional<std::string> trigger = p.get_env("SDEBUG_FUNCTION_TRIGGER");

    if (sdebug) {
        std::uint32_t word = 0;
        parse_keywords(*sdebug, false, word, nullptr);
        if ((word & SIL_TC_LEVEL_MASK) == 0) word |= 1;
        if ((word & SIL_TC_CATEGORY_MASK) == 0) word |= SIL_TC_CATEGORY_MASK;
        verbosity_ref(*ctx).store(word);
    } else if (!sdebug_file && !trigger) {
        refresh_gate(*ctx);
        return 0;
    }
    if (trigger) {
        std::uint32_t mask = 0;
        std::string function;
        parse_keywords(*trigger, true, mask, &function);
        sil_copy_text(ctx->trigger_function, function.c_str());
        trigger_mask_ref(*ctx).store(mask);
    }
    refresh_gate(*ctx);
    bool file_opened = false;
    if (sdebug_file) {
        if (*sdebug_file == "NULL") {
            WriterState& w = writer();
            std::lock_guard lock(w.lock);
            switch_output(*ctx, w, stdout, false);
            w.wrap_files = 0;
        } else {
            sil_open_debug_file(sdebug_file->c_str());
            file_opened = sil_out() != stdout;
        }
    }
    if ((g_control.load() & kControlNoEcho) == 0) {
        WriterState& w = writer();
        std::printf(kEchoFormat, verbosity_ref(*ctx).load(), g_control.load());
        std::printf("sdebugFunctionLevel=%d\n", w.depth_limit);
        if (file_opened) std::printf("file: %s was opened sdebugOutPut=%d\n", w.file_name.c_str(), 1);
        std::fflush(stdout);
    }
    return 0;
}

std::uint32_t sil_trace_on() { return current_verbosity(); }

bool sil_trace_armed() { return sil_trace_gate.load(std::memory_order_relaxed) != 0; }

std::int32_t sil_set_verbosity(std::uint32_t word) {
    T_SIL_CONTEXT* ctx = sil_context();
    if (ctx == nullptr) return SIL_ERR_NOT_INITIALISED;
    verbosity_ref(*ctx).store(word);
    refresh_gate(*ctx);
    return 0;
}

std::int32_t sil_open_debug_file(const char* file_argument) {
    T_SIL_CONTEXT* ctx = sil_context();
    if (ctx == nullptr) return SIL_ERR_NOT_INITIALISED;
    const std::string_view arg = file_argument == nullptr ? std::string_view{} : std::string_view(file_argument);
    // A drive letter (C:\logs\trace.txt) belongs to the name; the options start at the next ':'.
    const bool drive = arg.size() >= 3 && std::isalpha(static_cast<unsigned char>(arg[0])) && arg[1] == ':' &&
                       (arg[2] == '\\' || arg[2] == '/');
    const std::size_t options = arg.find(':', drive ? 2 : 0);
    std::string name(arg.substr(0, options));
    if (arg.find(":PID") != std::string_view::npos) {
        name += sil_format("_%d", static_cast<int>(pds::platform().process_id()));
    }

    WriterState& w = writer();
    std::lock_guard lock(w.lock);
    w.wrap_files = 0;
    if (const std::size_t fw = arg.find(":FW"); fw != std::string_view::npos) {
        w.wrap_base = name.substr(0, kWrapBaseCapacity);
        w.wrap_files = kDefaultWrapFiles;
        w.wrap_index = 0;
        w.wrap_limit = kDefaultWrapLimit;
        w.wrap_delete = false;
        name = sil_format("%s_%d", w.wrap_base.c_str(), w.wrap_index);
        // ":FW[:files[:kb[:]]]"
        std::string_view rest = arg.substr(fw + 3);
        if (rest.starts_with(":")) {
            rest.remove_prefix(1);
            w.wrap_files = static_cast<int>(leading_decimal(rest));
            const std::size_t colon = rest.find(':');
            if (colon != std::string_view::npos) {
                rest.remove_prefix(colon + 1);
                w.wrap_limit = static_cast<std::int64_t>(leading_decimal(rest)) * 1024;
                w.wrap_delete = rest.find(':') != std::string_view::npos;
            }
        }
    }
    std::FILE* file = name.empty() ? nullptr : std::fopen(name.c_str(), "a");
    if (file == nullptr) {
        switch_output(*ctx, w, stdout, false);
        w.wrap_files = 0;
        std::printf("Opening of debug out file failed\n");
        std::fflush(stdout);
        return 0;
    }
    switch_output(*ctx, w, file, true);
    w.file_name = name;
    return 0;
}

// ---- trigger ------------------------------------------------------------------------------------------

void sil_trigger_enter(const char* function_name) {
    T_SIL_CONTEXT* ctx = sil_context();
    if (ctx == nullptr || function_name == nullptr) return;
    const std::uint32_t mask = trigger_mask_ref(*ctx).load(std::memory_order_relaxed);
    if (mask == 0 || g_triggered.load() || (verbosity_ref(*ctx).load() & mask) != 0) return;
    if (std::strcmp(function_name, ctx->trigger_function) != 0) return;
    g_triggered.store(true);
    verbosity_ref(*ctx).fetch_or(mask);
    refresh_gate(*ctx);
}

void sil_trigger_leave(const char* function_name) {
    T_SIL_CONTEXT* ctx = sil_context();
    if (ctx == nullptr || function_name == nullptr || !g_triggered.load()) return;
    if (std::strcmp(function_name, ctx->trigger_function) != 0) return;
    verbosity_ref(*ctx).fetch_and(~trigger_mask_ref(*ctx).load());
    g_triggered.store(false);
    refresh_gate(*ctx);
}

void SilFunctionScope::enter(int line) {
    active_ = true;
    sil_trigger_enter(name_);
    if (sil_trace_on() != 0) sil_trace(SIL_TRACE_ENTRY, name_, file_, line);
}

void SilFunctionScope::leave() {
    if (sil_trace_on() != 0) sil_trace(SIL_TRACE_EXIT, name_, file_, rc_);
    sil_trigger_leave(name_);
}

// ---- lines --------------------------------------------------------------------------------------------

std::int32_t sil_trace(std::uint32_t trace_class, const char* message, const char* source_file,
                       std::int64_t value) try {
    T_SIL_CONTEXT* ctx = sil_context();
    if (ctx == nullptr) return SIL_ERR_NOT_INITIALISED;
    const std::uint32_t verbosity = verbosity_ref(*ctx).load(std::memory_order_relaxed);
    if ((verbosity & 0xFFFF) == 0) return 0;
    const std::uint32_t control = g_control.load(std::memory_order_relaxed);
    pds::Platform& p = pds::platform();

    WriterState& w = writer();
    std::unique_lock lock(w.lock);
    std::FILE* out = out_stream_ref(*ctx).load();
    if ((control & kControlNoEcho) == 0) {
        std::fprintf(out, "verbosity = 0x%08X vTypeAndMode=0x%08X  FunctionLevel=%d tabCount=%d  Msg: %s \n",
                     verbosity, trace_class, w.depth_limit, w.depth, message == nullptr ? "" : message);
    }
    std::uint32_t cls = trace_class;
    if ((cls & SIL_TC_LEVEL_MASK) == 0) cls |= 1;
    if ((cls & SIL_TC_CATEGORY_MASK) == 0) cls |= SIL_TC_CATEGORY_MASK;
    if ((cls & (SIL_TC_ERROR | SIL_TC_TIME)) == 0) {
        if ((verbosity & SIL_TC_LEVEL_MASK) == 0) return 0;
        if ((verbosity & cls & SIL_TC_CATEGORY_MASK) == 0) return 0;
    }

    int line_depth = 0;
    const bool indenting = (verbosity & SIL_TC_FUNCTION_DEPTH) != 0;
    if (indenting) {
        if (cls & SIL_TC_LEAVE) w.depth = std::max(0, w.depth - 1);
        line_depth = w.depth;
        if (cls & SIL_TC_ENTER) ++w.depth;
    }
    if (w.depth_limit > 0 && w.depth_limit < line_depth) return 0;

    const std::string indent(indenting ? 2 * static_cast<std::size_t>(std::min(line_depth, kMaxIndentLevels)) : 0,
                             ' ');
    const std::string text = line_text(cls, verbosity, message, source_file, value);
    const bool prefixed = (cls & (SIL_TC_DEBUG | SIL_TC_ERROR | SIL_TC_ENTER | SIL_TC_LEAVE)) != 0;

    if (out != stdout && w.wrap_files >= 1) out = wrap_if_needed(*ctx, w, out);

    std::string line;
    if (verbosity & SIL_TC_TIME) {
        char stamp[kTimeTextCapacity + 1];
        sil_timestamp(stamp);
        line += sil_format("<%s> ", stamp);
    }
    if (verbosity & SIL_TC_PID) {
        const std::uint32_t thread = p.thread_number();
        line += thread == 0 ? sil_format("<%d> ", static_cast<int>(p.process_id()))
                            : sil_format("<%d.%d> ", static_cast<int>(p.process_id()), static_cast<int>(thread));
    }
    if (control & kControlOneLine) {
        line += indent;
        line += text;
        line += "\n";
    } else {
        append_wrapped(line, indent, text, prefixed ? kContinuationIndent : "");
    }
    std::fputs(line.c_str(), out);
    std::fflush(out);

    if ((control & kControlNoPause) == 0 && (cls & SIL_TC_PAUSE) != 0) wait_for_enter();
    return 0;
} catch (const std::bad_alloc&) {
    return SIL_ERR_NO_MEMORY;
}

void sil_trace_printf(const char* format, ...) {
    if (sil_trace_on() == 0) return;
    std::va_list args;
    va_start(args, format);
    std::string message = sil_vformat(format, args);
    va_end(args);
    if (message.size() > kPrintfCapacity) message.resize(kPrintfCapacity);
    sil_trace(SIL_TRACE_FORMATTED, message.c_str(), "", 0);
}

void sil_trace_fmt(std::uint32_t trace_class, const char* file, int line, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string message = sil_vformat(format, args);
    va_end(args);
    sil_trace(trace_class, message.c_str(), file, line);
}

// ---- hex dump -------------------------------------------------------------------------------------------

int sil_hex_dump(std::size_t length, const void* data, int compare, const void* compare_data,
                 std::FILE* extra_file) {
    if (data == nullptr && length != 0) return -1;
    if (compare == 1 && compare_data == nullptr && length != 0) return -1;
    const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data), length);
    const std::string text =
        hex_dump_text(bytes, compare == 1 ? static_cast<const std::uint8_t*>(compare_data) : nullptr);
    {
        WriterState& w = writer();
        std::lock_guard lock(w.lock);
        std::FILE* out = sil_out();
        std::fprintf(out, "%s", text.c_str());
        std::fflush(out);
    }
    if (extra_file != nullptr) {
        std::fprintf(extra_file, "%s", text.c_str());
        std::fflush(extra_file);
    }
    return 0;
}

int sil_hex_dump_if_tracing(std::size_t length, const void* data, int compare, const void* compare_data,
                            std::FILE* extra_file) {
    if (sil_trace_on() == 0) return 0;
    return sil_hex_dump(length, data, compare, compare_data, extra_file);
}

// ---- time texts -------------------------------------------------------------------------------------------

void sil_timestamp(char* buffer) {
    if (buffer == nullptr) return;
    const pds::LocalTime t = pds::platform().local_time();
    std::snprintf(buffer, kTimeTextCapacity + 1, "%02d/%02d/%04d %02d:%02d:%02d.%03d", t.month, t.day, t.year, t.hour,
                  t.minute, t.second, t.millisecond);
}

void sil_date_text(char* buffer) {
    if (buffer == nullptr) return;
    const std::string date = pds::platform().date_text();
    std::snprintf(buffer, kTimeTextCapacity + 1, "%s", date.c_str());
}

// ---- socket log ----------------------------------------------------------------------------------------------

int sil_sock_log(const char* tag, const char* message) {
    // Read once: absent (nullopt inside) or the base path.
    static const std::optional<std::string> base = [] {
        std::optional<std::string> value = pds::platform().get_env("KORAPI_SILSOCK_FILENAME");
        if (value && value->size() > kSockPathCapacity) value->resize(kSockPathCapacity);
        return value;
    }();
    if (!base) return 0;
    if (message == nullptr) return 1;
    pds::Platform& p = pds::platform();
    const pds::LocalTime t = p.local_time();
    const std::string path = *base + sil_format("%02d-%02d.log", t.day, t.hour);
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) return 1;
    std::fprintf(file, "%02d/%02d/%04d %02d:%02d:%02d.%03d %6d %6d %-20.20s %s\n", t.month, t.day, t.year, t.hour,
                 t.minute, t.second, t.millisecond, static_cast<int>(p.process_id()),
                 static_cast<int>(p.thread_id()), tag == nullptr ? " " : tag, message);
    std::fclose(file);
    return 0;
}
