// Test helpers: running the lifecycle helper process, one scenario at a time, and reading its output.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "run_program.h"

namespace sil_test {

using testsupport::Scratch;

// The text between the lines "--- from ---" and "--- to ---" of a scenario's output.
inline std::string between_markers(const std::string& output, const std::string& from = "run",
                                   const std::string& to = "end") {
    const std::string open = "--- " + from + " ---\n", close = "--- " + to + " ---\n";
    const std::size_t begin = output.find(open);
    if (begin == std::string::npos) return "<no " + from + " marker>";
    const std::size_t end = output.find(close, begin + open.size());
    if (end == std::string::npos) return "<no " + to + " marker>";
    return output.substr(begin + open.size(), end - begin - open.size());
}

// The helper executable as the shell of this platform names it. A Windows build run under Wine
// knows the build tree by its Unix path, which Wine shows as drive Z:.
inline std::string child_path() {
    std::string path = SIL_LIFECYCLE_CHILD;
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        for (char& c : path)
            if (c == '/') c = '\\';
        path = "Z:" + path;
    }
#endif
    return path;
}

// Runs the helper in `dir` with `words` (settings NAME=VALUE first, then the scenario and its
// arguments); returns what it wrote to standard output and error, in order.
inline std::string run_child(const Scratch& dir, const std::vector<std::string>& words, const std::string& input = "") {
    const testsupport::RunResult run = testsupport::run_program(child_path(), words, {{}, dir.dir(), input, true});
    EXPECT_EQ(run.status, 0) << testing::PrintToString(words);
    return run.out;
}

}  // namespace sil_test
