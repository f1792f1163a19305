// Helpers of the lunscan end-to-end tests: the quiet empty host, goldens and banner checks.
#pragma once

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "run_program.h"

namespace clitest {

inline std::string data_dir() {
    const char* over = std::getenv("LUNSCAN_TEST_DATA");
    return over != nullptr && *over != '\0' ? over : LUNSCAN_TEST_DATA;
}

inline std::string golden(const std::string& name) {
    const char* over = std::getenv("LUNSCAN_GOLDEN");
    const std::string dir = over != nullptr && *over != '\0' ? over : LUNSCAN_GOLDEN;
    return testsupport::read_file(dir + "/" + name);
}

// A host without storage, no trace variables from the caller's environment.
inline std::vector<testsupport::EnvChange> empty_host() {
    return {{"SIL_SIM_HOST", data_dir() + "/../cases/hosts/empty-host.json"},
            {"SDEBUG", std::nullopt},
            {"SDEBUG_FILE", std::nullopt},
            {"SDEBUG_FUNCTION_TRIGGER", std::nullopt},
            {"KORAPI_SILSOCK_FILENAME", std::nullopt}};
}

inline testsupport::RunResult lunscan(const std::vector<std::string>& args,
                                      const std::string& cwd = {}) {
    return testsupport::run_lunscan(args, empty_host(), cwd);
}

// The three banner lines at the start of `out`; returns what follows them.
inline std::string after_banner(const std::string& out) {
    static const std::regex banner(
        "lunscan - SAN storage inventory utility V4\\.1\\.20 "
        "     \\(SIL Version [^\\n]*\\.[^\\n]* \\(Edit Level [^\\n]*\\)\\n"
        "[^\\n]*\\n"
        "For help type lunscan -h\\.\\n\\n");
    std::smatch m;
    if (!std::regex_search(out, m, banner, std::regex_constants::match_continuous))
        return "<no banner>" + out;
    return m.suffix().str();
}

inline std::string missing_argument(const std::string& option) {
    return "\n\n\tERROR: invalid use of " + option + " option.\n\n";
}

}  // namespace clitest
