// Test support: the one process runner of the tests (outputs, exit status, environment) and the one scratch directory.
#pragma once

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Sets (or, with an empty value, removes) a variable of this process's own environment.
inline void set_env(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    value.empty() ? unsetenv(name) : setenv(name, value.c_str(), 1);
#endif
}

struct RunResult {
    std::string out;  // standard output (line ends as "\n" on every platform); with `merge`, standard error too
    std::string err;  // standard error
    int status = 0;   // exit status; -1 and -2 read the same on every platform
};

// One environment change for the run: a value sets the variable, nullopt removes it.
using EnvChange = std::pair<std::string, std::optional<std::string>>;

struct RunOptions {
    std::vector<EnvChange> env;  // holds for the run only
    std::string cwd;             // the directory the program starts in, when not empty
    std::string input;           // its standard input
    bool merge = false;          // standard error into standard output, in the order written
};

// Runs `exe` with `args` (through the shell on POSIX systems, directly on Windows).
RunResult run_program(const std::string& exe, const std::vector<std::string>& args, const RunOptions& options = {});

// The lunscan executable: $LUNSCAN_EXE when set, else the one this build made.
std::string lunscan_path();

// Runs lunscan.
RunResult run_lunscan(const std::vector<std::string>& args, const std::vector<EnvChange>& env = {},
                      const std::string& cwd = {});

// A fresh empty directory under the system's temporary directory, removed with the object.
// Header-only, so that tests which run no program need not link this library.
class Scratch {
public:
    Scratch() {
        static std::atomic<unsigned> serial{0};
        dir_ = std::filesystem::temp_directory_path() /
               ("lunscan-test-" + std::to_string(std::random_device{}()) + "-" + std::to_string(serial++));
        std::filesystem::create_directories(dir_);
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string dir() const { return dir_.string(); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    // Writes `content` to the file `name` and returns its path.
    std::string put(const std::string& name, const std::string& content) const {
        std::ofstream(path(name), std::ios::binary) << content;
        return path(name);
    }

private:
    std::filesystem::path dir_;
};

// Reads a whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string& path);
// What a program wrote to a text stream, its line ends as "\n" on every platform.
std::string text_of(std::string raw);
std::string read_text_file(const std::string& path);

// The lines of a text, without their line ends ("\r\n" or "\n").
std::vector<std::string> lines_of(const std::string& text);
// "\\.\PHYSICALDRIVE<n>"
std::string physical_drive(int n);

}  // namespace testsupport
