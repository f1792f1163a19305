// Test helpers: a scratch directory per test, file reading, and running the lifecycle helper process.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace sil_test {

namespace fs = std::filesystem;

// A fresh directory removed again at the end of the test.
class ScratchDir {
public:
    ScratchDir() {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::random_device random;
        path_ = fs::temp_directory_path() /
                ("sil_" + std::string(info != nullptr ? info->name() : "test") + "_" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// The bytes of a file.
inline std::string read_raw(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What a program wrote to a text stream: on Windows the C library turned each "\n" into "\r\n",
// which is taken back here, so that expectations are the same everywhere.
inline std::string text_of(std::string raw) {
#ifdef _WIN32
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        text += raw[i];
    }
    return text;
#else
    return raw;
#endif
}

inline std::string read_file(const fs::path& path) { return text_of(read_raw(path)); }

inline void write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The text between the lines "--- from ---" and "--- to ---" of a scenario's output.
inline std::string between_markers(const std::string& output, const std::string& from = "run",
                                   const std::string& to = "end") {
    const std::string open = "--- " + from + " ---\n";
    const std::string close = "--- " + to + " ---\n";
    const std::size_t begin = output.find(open);
    if (begin == std::string::npos) return "<no " + from + " marker>";
    const std::size_t body = begin + open.size();
    const std::size_t end = output.find(close, body);
    if (end == std::string::npos) return "<no " + to + " marker>";
    return output.substr(body, end - body);
}

inline std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// The helper executable as the shell of this platform names it. A Windows build run under Wine
// knows the build tree by its Unix path, which Wine shows as drive Z:.
inline std::string child_path() {
    std::string path = SIL_LIFECYCLE_CHILD;
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        for (char& c : path) {
            if (c == '/') c = '\\';
        }
        path = "Z:" + path;
    }
#endif
    return path;
}

// Runs the helper process with `arguments` (settings NAME=VALUE first, then the scenario),
// standard output and error into one file; returns that file's text.
inline std::string run_child(const ScratchDir& dir, const std::string& arguments, const std::string& input = "",
                             const std::string& output_name = "child.out") {
    const std::string out = dir.file(output_name);
    const std::string in = dir.file(output_name + ".in");
    write_file(in, input);
    std::string command =
        quoted(child_path()) + " " + arguments + " < " + quoted(in) + " > " + quoted(out) + " 2>&1";
#ifdef _WIN32
    command = "\"" + command + "\"";  // cmd /c strips one pair of quotes around the whole line
#endif
    const int status = std::system(command.c_str());
    EXPECT_EQ(status, 0) << command;
    return read_file(out);
}

}  // namespace sil_test
