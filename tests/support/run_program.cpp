// Test support: runs a program with redirected outputs, standard input and a changed environment (POSIX shell; Windows CreateProcess).
#include "run_program.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace testsupport {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> get_env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

void put_env(const std::string& name, const std::optional<std::string>& value) {
#if defined(_WIN32)
    // An empty value removes the variable on Windows, which is what nullopt asks for.
    _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
#endif
}

// Sets the run's variables and puts the old values back when it ends.
class ScopedEnv {
public:
    explicit ScopedEnv(const std::vector<EnvChange>& changes) {
        for (const auto& [name, value] : changes) {
            saved_.emplace_back(name, get_env(name));
            put_env(name, value);
        }
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) put_env(it->first, it->second);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::vector<EnvChange> saved_;
};

std::string quote(const std::string& word) {
#if defined(_WIN32)
    // The C runtime splits arguments at blanks outside double quotes; inner quotes take a backslash.
    std::string quoted = "\"";
    for (char c : word) {
        if (c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
#else
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
#endif
}

#if !defined(_WIN32)
int normalise_status(int raw) {
    if (raw == -1 || !WIFEXITED(raw)) return 1000 + raw;  // no exit status at all: never 0, -1, -2
    const int code = WEXITSTATUS(raw);
    return code >= 128 ? code - 256 : code;
}
#endif

}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// On Windows the C library turned each "\n" of a text stream into "\r\n"; taken back here.
std::string text_of(std::string raw) {
#if defined(_WIN32)
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        out += raw[i];
    }
    return out;
#else
    return raw;
#endif
}

std::string read_text_file(const std::string& path) { return text_of(read_file(path)); }

#if defined(_WIN32)
namespace {

// Starts the program itself, not through cmd.exe, whose start under Wine now and then fails to find
// the program; the exit code comes back as it is, so -1 and -2 read as such.
int run_direct(std::string command_line, const RunOptions& options, const std::string& in_path,
               const std::string& out_path, const std::string& err_path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const auto open = [&inherit](const std::string& path, bool write) {
        return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = open(in_path, false);
    start.hStdOutput = open(out_path, true);
    start.hStdError = options.merge ? start.hStdOutput : open(err_path, true);
    PROCESS_INFORMATION process{};
    DWORD code = 1000;  // never 0, -1 or -2 when the program did not run
    // Wine, busy with parallel tests, now and then fails a start it accepts a moment later; a
    // program that truly cannot start fails every attempt and is reported with its error.
    bool started = false;
    DWORD start_error = 0;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt > 0) Sleep(200 * attempt);
        started = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 options.cwd.empty() ? nullptr : options.cwd.c_str(), &start, &process) != 0;
        if (!started) start_error = GetLastError();
    }
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        std::fprintf(stderr, "run_program: CreateProcess failed with error %lu: %s\n",
                     static_cast<unsigned long>(start_error), command_line.c_str());
    }
    CloseHandle(start.hStdInput);
    CloseHandle(start.hStdOutput);
    if (!options.merge) CloseHandle(start.hStdError);
    return static_cast<int>(code);
}

}  // namespace
#endif

RunResult run_program(const std::string& exe, const std::vector<std::string>& args, const RunOptions& options) {
    const Scratch scratch;
    const std::string in_path = scratch.put("stdin.txt", options.input);
    const std::string out_path = scratch.path("stdout.txt"), err_path = scratch.path("stderr.txt");

    std::string command = quote(exe);
    for (const std::string& arg : args) command += " " + quote(arg);
#if !defined(_WIN32)
    if (!options.cwd.empty()) command = "cd " + quote(options.cwd) + " && " + command;
    command += " <" + quote(in_path) + " >" + quote(out_path) + (options.merge ? " 2>&1" : " 2>" + quote(err_path));
#endif

    RunResult result;
    {
        ScopedEnv scoped(options.env);
        std::fflush(nullptr);
#if defined(_WIN32)
        result.status = run_direct(command, options, in_path, out_path, err_path);
#else
        result.status = normalise_status(std::system(command.c_str()));
#endif
    }
    result.out = read_text_file(out_path);
    result.err = read_text_file(err_path);
    return result;
}

std::string lunscan_path() {
    if (auto exe = get_env("LUNSCAN_EXE"); exe && !exe->empty()) return *exe;
    return LUNSCAN_EXE_PATH;
}

RunResult run_lunscan(const std::vector<std::string>& args, const std::vector<EnvChange>& env,
                      const std::string& cwd) {
    return run_program(lunscan_path(), args, {env, cwd, {}, false});
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string physical_drive(int n) { return "\\\\.\\PHYSICALDRIVE" + std::to_string(n); }

}  // namespace testsupport
