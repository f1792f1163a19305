// Test support: runs a program through the system shell with redirected outputs, standard input and a changed environment.
#include "run_program.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#if !defined(_WIN32)
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

int normalise_status(int raw) {
#if defined(_WIN32)
    return raw;  // the exit code itself: -1 and -2 come back as such
#else
    if (raw == -1 || !WIFEXITED(raw)) return 1000 + raw;  // no exit status at all: never 0, -1, -2
    const int code = WEXITSTATUS(raw);
    return code >= 128 ? code - 256 : code;
#endif
}

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

RunResult run_program(const std::string& exe, const std::vector<std::string>& args, const RunOptions& options) {
    const Scratch scratch;
    const std::string in_path = scratch.put("stdin.txt", options.input);
    const std::string out_path = scratch.path("stdout.txt"), err_path = scratch.path("stderr.txt");

    std::string command;
    if (!options.cwd.empty()) {
#if defined(_WIN32)
        command += "cd /d " + quote(options.cwd) + " && ";
#else
        command += "cd " + quote(options.cwd) + " && ";
#endif
    }
    command += quote(exe);
    for (const std::string& arg : args) command += " " + quote(arg);
    command += " <" + quote(in_path) + " >" + quote(out_path) + (options.merge ? " 2>&1" : " 2>" + quote(err_path));
#if defined(_WIN32)
    command = "\"" + command + "\"";  // cmd /c strips one pair of outer quotes
#endif

    RunResult result;
    {
        ScopedEnv scoped(options.env);
        std::fflush(nullptr);
        result.status = normalise_status(std::system(command.c_str()));
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
