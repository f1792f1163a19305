// End-to-end checks of the provider choice through the lunscan executable: a bad host file stops the run with one line.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string write_temp(const std::string& name, const std::string& content) {
    const fs::path path = fs::temp_directory_path() / ("lunscan-run-test-" + name);
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
}

struct LunscanRun {
    int exit_status = -1;
    std::string standard_error;
};

// Runs lunscan without options on `host_file`, keeping standard error.
LunscanRun run_lunscan(const std::string& host_file) {
    // The process id keeps tests that ctest runs side by side apart.
    const std::string err_path = write_temp("stderr-" + std::to_string(::getpid()) + ".txt", "");
    const std::string command = "SIL_SIM_HOST='" + host_file + "' '" LUNSCAN_EXECUTABLE "' >/dev/null 2>'" + err_path + "'";
    LunscanRun run;
    const int status = std::system(command.c_str());
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(err_path);
    std::string line;
    while (std::getline(err, line)) run.standard_error += line + "\n";
    fs::remove(err_path);
    return run;
}

std::size_t count_lines(const std::string& text, const std::string& line) {
    std::size_t count = 0;
    for (std::size_t pos = 0; (pos = text.find(line + "\n", pos)) != std::string::npos; pos += line.size()) {
        if (pos == 0 || text[pos - 1] == '\n') ++count;
    }
    return count;
}

TEST(LunscanOnHostFile, UnusableHostFileStopsTheRunWithOneLine) {
    const LunscanRun missing = run_lunscan("/nonexistent/host.json");
    EXPECT_EQ(missing.exit_status, 255);  // -1: a start-up error
    EXPECT_EQ(count_lines(missing.standard_error, "lunscan: simulated host file \"/nonexistent/host.json\": "
                                                  "cannot be opened: No such file or directory"),
              1u)
        << missing.standard_error;

    const std::string typo = write_temp("typo-" + std::to_string(::getpid()) + ".json", R"({"host": {"nodename": "A"}, "usr": "x"})");
    const LunscanRun bad = run_lunscan(typo);
    EXPECT_EQ(bad.exit_status, 255);
    EXPECT_EQ(count_lines(bad.standard_error, "lunscan: simulated host file \"" + typo + "\": unknown key \"usr\""), 1u)
        << bad.standard_error;
    fs::remove(typo);
}

TEST(LunscanOnHostFile, DemoHostStarts) {
    const LunscanRun demo = run_lunscan(LUNSCAN_SOURCE_DIR "/examples/demo-host.json");
    EXPECT_EQ(demo.exit_status, 0) << demo.standard_error;
    EXPECT_EQ(demo.standard_error.find("simulated host file"), std::string::npos) << demo.standard_error;
}

}  // namespace
