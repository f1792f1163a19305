// The case-table runner: every case of tests/cases/*.cases as one test, lunscan run end to end on its host.
//
// A case file is blocks of "key: value" lines separated by blank lines; "#" lines are comments.
// Keys: case, proves, derived (required), host, args, env (repeatable, NAME=VALUE), stdout, stderr
// (golden files, several are concatenated; none = must be empty), exit (default 0), cdblog (the
// expected SIL_SIM_LOG), input (NAME FILE: copied into the run's directory first) and output
// (NAME FILE: what the run left in its directory). Paths are relative to tests/ ("${TESTS}" names
// it in any value and in the goldens). Each run starts in a fresh empty directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

namespace fs = std::filesystem;
using testsupport::EnvChange;

std::string tests_dir() {
    const char* over = std::getenv("LUNSCAN_TESTS_DIR");
    return over != nullptr && *over != '\0' ? over : LUNSCAN_TESTS_DIR;
}

struct Case {
    std::string file;  // where it was written, for messages
    int line = 0;
    std::multimap<std::string, std::string> keys;
    std::string get(const std::string& key) const {
        const auto it = keys.find(key);
        return it == keys.end() ? std::string() : it->second;
    }
};

std::string expand(std::string value) {
    for (std::size_t at; (at = value.find("${TESTS}")) != std::string::npos;) value.replace(at, 8, tests_dir());
    return value;
}

std::string path_of(const std::string& value) {
    const fs::path p(expand(value));
    return (p.is_absolute() || value.starts_with("${TESTS}") ? p : fs::path(tests_dir()) / p).generic_string();
}

// Blank-separated words; a "..." word may hold blanks and may be empty.
std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> words;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == ' ' || text[i] == '\t') { ++i; continue; }
        if (text[i] == '"') {
            const std::size_t end = text.find('"', i + 1);
            if (end == std::string::npos) throw std::runtime_error("unterminated quote in: " + text);
            words.push_back(text.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            const std::size_t end = std::min(text.find_first_of(" \t", i), text.size());
            words.push_back(text.substr(i, end - i));
            i = end;
        }
    }
    return words;
}

std::string unix_lines(std::string text) {
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
}

std::string read_golden(const std::string& path) {
    if (!fs::is_regular_file(path)) throw std::runtime_error("no such file: " + path);
    return unix_lines(testsupport::read_file(path));
}

std::string goldens(const std::string& value) {
    std::string text;
    for (const std::string& file : split(value)) text += read_golden(path_of(file));
    return text;
}

// The expected and actual texts line by line, with the differing middle marked "-" and "+".
std::string diff(const std::string& expected, const std::string& actual) {
    const auto a = testsupport::lines_of(expected), b = testsupport::lines_of(actual);
    std::size_t head = 0, tail = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
    while (tail < a.size() - head && tail < b.size() - head && a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) ++tail;
    std::ostringstream out;
    out << "@@ line " << head + 1 << " @@\n";
    for (std::size_t i = head >= 2 ? head - 2 : 0; i < head; ++i) out << " " << a[i] << "\n";
    for (std::size_t i = head; i < a.size() - tail; ++i) out << "-" << a[i] << "|\n";
    for (std::size_t i = head; i < b.size() - tail; ++i) out << "+" << b[i] << "|\n";
    for (std::size_t i = a.size() - tail; i < a.size() - tail + std::min<std::size_t>(tail, 2); ++i) out << " " << a[i] << "\n";
    if (expected.ends_with('\n') != actual.ends_with('\n')) out << "(the texts differ in their final line end)\n";
    return out.str();
}

// The tests directory in what a run printed reads "${TESTS}", so goldens hold no checkout's path.
void compare(const Case& c, const std::string& what, const std::string& expected, std::string actual) {
    for (std::size_t at; (at = actual.find(tests_dir())) != std::string::npos;) actual.replace(at, tests_dir().size(), "${TESTS}");
    if (expected != actual)
        ADD_FAILURE_AT(c.file.c_str(), c.line) << what << " differs; the case proves: " << c.get("proves")
                                                          << "\n" << diff(expected, actual);
}

void run_case(const Case& c) {
    const testsupport::Scratch scratch;
    const std::string dir = scratch.dir();
    std::vector<EnvChange> env;
    for (const char* name : {"SDEBUG", "SDEBUG_FILE", "SDEBUG_FUNCTION_TRIGGER", "KORAPI_SILSOCK_FILENAME",
                             "XMV_INQ_ALL_DEVICES", "SIL_SIM_LOG", "LUNSCAN_THREADS"})
        env.emplace_back(name, std::nullopt);
    env.emplace_back("SIL_SIM_HOST", path_of(c.get("host")));
    const std::string log = scratch.path("cdb.log");
    if (c.keys.count("cdblog")) env.emplace_back("SIL_SIM_LOG", log);
    for (auto [it, end] = c.keys.equal_range("env"); it != end; ++it) {
        const std::size_t eq = it->second.find('=');
        env.emplace_back(it->second.substr(0, eq), expand(it->second.substr(eq + 1)));
    }
    for (auto [it, end] = c.keys.equal_range("input"); it != end; ++it) {
        const auto words = split(it->second);
        fs::copy_file(path_of(words.at(1)), scratch.path(words.at(0)));
    }
    std::vector<std::string> args;
    for (const std::string& word : split(c.get("args"))) args.push_back(expand(word));

    const testsupport::RunResult run = testsupport::run_lunscan(args, env, dir);
    compare(c, "standard output", goldens(c.get("stdout")), run.out);
    compare(c, "standard error", goldens(c.get("stderr")), unix_lines(run.err));
    const std::string exit = c.keys.count("exit") ? c.get("exit") : "0";
    compare(c, "exit status", exit + "\n", std::to_string(run.status) + "\n");
    if (c.keys.count("cdblog")) compare(c, "CDB log", goldens(c.get("cdblog")), unix_lines(testsupport::read_file(log)));
    for (auto [it, end] = c.keys.equal_range("output"); it != end; ++it) {
        const auto words = split(it->second);
        const std::string written = scratch.path(words.at(0));
        compare(c, words.at(0), goldens(words.at(1)),
                fs::exists(written) ? unix_lines(testsupport::read_file(written)) : "<not written>\n");
    }
}

// gtest filters treat "-" and "." specially, so test names carry neither.
std::string test_name(std::string name) {
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

const std::vector<std::string> kKeys = {"case", "proves", "derived", "host", "args", "env", "stdout",
                                        "stderr", "exit", "cdblog", "input", "output"};

std::vector<Case> parse(const fs::path& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::vector<Case> cases;
    bool in_block = false;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string where = path.filename().string() + ":" + std::to_string(number);
        if (line.empty()) { in_block = false; continue; }
        if (line[0] == '#') continue;
        const std::size_t colon = line.find(':');
        const std::string key = line.substr(0, colon);
        if (colon == std::string::npos || std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end())
            throw std::runtime_error(where + ": not a known \"key: value\" line: " + line);
        if (!in_block) cases.push_back({path.string(), number, {}});
        in_block = true;
        if (key != "env" && key != "input" && key != "output" && cases.back().keys.count(key))
            throw std::runtime_error(where + ": " + key + " given twice");
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t") == std::string::npos ? value.size() : value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        if ((key == "env" && value.find('=') == std::string::npos) ||
            ((key == "input" || key == "output") && split(value).size() != 2))
            throw std::runtime_error(where + ": malformed " + key + ": " + value);
        cases.back().keys.emplace(key, value);
    }
    std::map<std::string, int> seen;
    for (const Case& c : cases) {
        for (const char* key : {"case", "proves", "derived", "host"})
            if (c.get(key).empty())
                throw std::runtime_error(path.filename().string() + ":" + std::to_string(c.line) + ": the case has no " + key);
        if (seen[test_name(c.get("case"))]++) throw std::runtime_error("case " + c.get("case") + " given twice");
    }
    return cases;
}

class CaseTest : public testing::Test {
public:
    explicit CaseTest(Case c) : case_(std::move(c)) {}
    void TestBody() override { run_case(case_); }

private:
    Case case_;
};

// A case file that cannot be read as cases: one failing test named after the file.
class BrokenFile : public testing::Test {
public:
    BrokenFile(std::string file, std::string why) : file_(std::move(file)), why_(std::move(why)) {}
    void TestBody() override { ADD_FAILURE_AT(file_.c_str(), 1) << why_; }

private:
    std::string file_, why_;
};

// The README shows the demo runs of readme.cases as its "`lunscan ...`" blocks, less their leading
// empty lines; a block that no longer matches its golden fails here.
TEST(Readme, DemoBlocksAreTheReadmeCases) {
    const std::string readme = unix_lines(testsupport::read_file(tests_dir() + "/../README.md"));
    int checked = 0;
    for (const Case& c : parse(fs::path(tests_dir()) / "cases" / "readme.cases")) {
        std::string shown = "`lunscan" + c.get("args").substr(std::string("-no_header").size()) + "`";
        std::string golden = goldens(c.get("stdout"));
        golden.erase(0, golden.find_first_not_of('\n'));
        const std::size_t at = readme.find(shown);
        ASSERT_NE(at, std::string::npos) << "the README shows no " << shown;
        const std::size_t open = readme.find("```\n", at) + 4, close = readme.find("```\n", open);
        EXPECT_EQ(readme.substr(open, close - open), golden) << shown;
        ++checked;
    }
    EXPECT_EQ(checked, 6);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(tests_dir()) / "cases"))
        if (entry.path().extension() == ".cases") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        const std::string suite = test_name(file.stem().string());
        try {
            for (Case& c : parse(file))
                testing::RegisterTest(suite.c_str(), test_name(c.get("case")).c_str(), nullptr, nullptr,
                                      c.file.c_str(), c.line,
                                      [c]() -> testing::Test* { return new CaseTest(c); });
        } catch (const std::exception& e) {
            testing::RegisterTest(suite.c_str(), "case_file", nullptr, nullptr, file.string().c_str(), 1,
                                  [name = file.string(), why = std::string(e.what())]() -> testing::Test* { return new BrokenFile(name, why); });
        }
    }
    return RUN_ALL_TESTS();
}
