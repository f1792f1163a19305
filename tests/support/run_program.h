// Test support: runs an executable with arguments and environment, capturing its outputs and exit status.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct RunResult {
    std::string out;  // standard output (line ends as "\n" on every platform)
    std::string err;  // standard error
    int status = 0;   // exit status; -1 and -2 read the same on every platform
};

// One environment change for the run: a value sets the variable, nullopt removes it.
using EnvChange = std::pair<std::string, std::optional<std::string>>;

// Runs `exe` with `args` through the system shell, standard input empty. The environment changes
// hold for the run only; `cwd`, when not empty, is the directory the program starts in.
RunResult run_program(const std::string& exe, const std::vector<std::string>& args,
                      const std::vector<EnvChange>& env = {}, const std::string& cwd = {});

// The lunscan executable: $LUNSCAN_EXE when set, else the one this build made.
std::string lunscan_path();

// Runs lunscan.
RunResult run_lunscan(const std::vector<std::string>& args, const std::vector<EnvChange>& env = {},
                      const std::string& cwd = {});

// A fresh empty directory under the system's temporary directory.
std::string make_temp_dir(const std::string& tag);

// Reads a whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string& path);
// Reads a text file a program wrote, its line ends as "\n" on every platform.
std::string read_text_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);

// The lines of a text, without their line ends ("\r\n" or "\n").
std::vector<std::string> lines_of(const std::string& text);
// "\\.\PHYSICALDRIVE<n>"
std::string physical_drive(int n);

}  // namespace testsupport
