// The device-list gather on the worker pool (lunscan's default) against the serial gather, end to end: the same reports, and a dead device that holds up no other.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

using testsupport::EnvChange;
using testsupport::RunResult;
using testsupport::Scratch;

// Every report built from the device list, and a filter or two.
const std::vector<std::vector<std::string>> kTables = {
    {}, {"-all"}, {"-parent"}, {"-et"}, {"-ckd"}, {"-sil"}, {"-gk"}, {"-as400"}, {"-connections"}, {"-wwn"},
    {"-identifier", "device_name"}, {"-identifier", "nice_name"}, {"-identifier", "hp_id"},
    {"-identifier", "vms_id"}, {"-kor_wwn"}, {"-drav_wwn"}, {"-sw_wwn"}, {"-hds_wwn"}, {"-s80_wwn"},
    {"-olvessa_wwn"}, {"-shark_wwn"}, {"-compaq_wwn"}, {"-netapp_wwn"}, {"-geometry"}, {"-spc2"}, {"-mapinfo"},
    {"-winvol"}, {"-f_xmv"}, {"-f_real", "-all"}, {"-rpx_list"}, {"-rpx_xml"}};

RunResult run(const std::string& host, std::vector<std::string> args, const std::string& threads,
              const std::string& log = {}) {
    args.insert(args.begin(), "-no_header");
    std::vector<EnvChange> env = {{"SIL_SIM_HOST", host}, {"LUNSCAN_THREADS", threads}, {"SDEBUG", std::nullopt},
                                  {"SDEBUG_FILE", std::nullopt}, {"SDEBUG_FUNCTION_TRIGGER", std::nullopt}};
    env.emplace_back("SIL_SIM_LOG", log.empty() ? std::nullopt : std::optional<std::string>(log));
    return testsupport::run_lunscan(args, env);
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : " ") + w;
    return text.empty() ? "(default table)" : text;
}

// Serial (1 worker), the default pool and a small pool print the same bytes.
void expect_pool_as_serial(const std::string& host, const std::vector<std::vector<std::string>>& tables) {
    for (const auto& table : tables) {
        const RunResult serial = run(host, table, "1");
        for (const char* threads : {"", "3"}) {
            const RunResult pooled = run(host, table, threads);
            EXPECT_EQ(pooled.status, serial.status) << joined(table) << " LUNSCAN_THREADS=" << threads;
            EXPECT_EQ(pooled.out, serial.out) << joined(table) << " LUNSCAN_THREADS=" << threads;
            EXPECT_EQ(pooled.err, serial.err) << joined(table) << " LUNSCAN_THREADS=" << threads;
        }
    }
}

TEST(Gather, PoolPrintsWhatTheSerialGatherPrintsOnTheDemoHost) {
    // With its clock fixed, so that the replication report's scan date reads the same each run.
    const Scratch scratch;
    std::string demo = testsupport::read_file(LUNSCAN_SOURCE_DIR "/examples/demo-host.json");
    demo.insert(demo.find('{') + 1, R"("clock": "2026-03-14 09:26:53.589",)");
    expect_pool_as_serial(scratch.put("demo.json", demo), kTables);
}

// A SAN host of `units` logical units: every fifth a high-end LUN seen on three paths (one of
// them behind a pseudo device of the multipathing driver), the others one path each, high-end
// LUNs and plain disks alternating.
std::string san_host(int units) {
    std::ostringstream devices;
    std::ostringstream pseudo;
    int drive = 0;
    const auto high_end = [&](int unit, int path) {
        char number[8];
        std::snprintf(number, sizeof number, "%05X", unit);
        devices << R"({"path": "\\\\.\\PHYSICALDRIVE)" << drive++ << R"(", "address": {"port": )" << 3 + path
                << R"(, "path_id": 0, "target_id": )" << unit / 256 << R"(, "lun": )" << unit % 256
                << R"(}, "personality": "korvalith_lun", "params": {"array_serial": "000195700871", "device_number": ")"
                << number << R"(", "director": ")" << 1 + path << R"(E", "port": 4, "microcode": "5977", "blocks": )"
                << 2097152 + unit << "}},\n";
    };
    for (int unit = 0; unit < units; ++unit) {
        if (unit % 5 == 0) {
            pseudo << (pseudo.tellp() > 0 ? ", " : "") << R"({"path": "\\\\.\\strnd)" << unit / 5
                   << R"(", "fronts": ["\\\\.\\PHYSICALDRIVE)" << drive << R"("], "multipath": {"pass_through": "ok"}})";
            for (int path = 0; path < 3; ++path) high_end(unit, path);
        } else if (unit % 2 == 0) {
            high_end(unit, 0);
        } else {
            devices << R"({"path": "\\\\.\\PHYSICALDRIVE)" << drive++ << R"(", "personality": "generic_disk", )"
                    << R"("params": {"vendor": "ACME", "product": "SAN VOLUME", "serial": "DRV)" << 100000 + unit
                    << R"(", "blocks": )" << 1000 + unit << "}},\n";
        }
    }
    std::string names;
    for (int unit = 0; unit < units; unit += 5) names += std::string(names.empty() ? "" : ", ") + R"("\\.\\strnd)" + std::to_string(unit / 5) + "\"";
    return R"({"clock": "2026-03-14 09:26:53.589", "process_id": 4242, "multipath_volumes": [)" + names +
           R"(], "devices": [)" + devices.str() + pseudo.str() + "]}";
}

TEST(Gather, PoolPrintsWhatTheSerialGatherPrintsOnALargeSanHost) {
    const Scratch scratch;
    const std::string host = scratch.put("san.json", san_host(1000));
    expect_pool_as_serial(host, {{}, {"-all"}, {"-parent"}, {"-sil"}, {"-wwn"}, {"-kor_wwn"}, {"-connections"}});
}

// Lines of a CDB log, by the device path they begin with ("#" lines by their first two words).
std::map<std::string, int> commands_by_device(const std::string& log) {
    std::map<std::string, int> count;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("# no answer")) ++count["no answer"];
        else if (!line.starts_with("#")) ++count[line.substr(0, line.find(' '))];
    }
    return count;
}

// Thirty disks of 1 ms a command; PHYSICALDRIVE7 answers nothing, and each of its commands waits
// out a 30-second time-out scaled to 0.3 s.
std::string host_with_a_dead_disk() {
    std::string devices;
    for (int n = 0; n < 30; ++n) {
        devices += std::string(n ? ", " : "") + R"({"path": "\\\\.\\PHYSICALDRIVE)" + std::to_string(n) +
                   R"(", "personality": "generic_disk", "params": {"vendor": "ACME", "product": "SAN VOLUME", "serial": "DRV)" +
                   std::to_string(200 + n) + R"(", "blocks": 2048})" + (n == 7 ? R"(, "faults": [{"kind": "no_answer"}]})" : "}");
    }
    return R"({"timeout_scale": 0.01, "latency": {"pass_through_us": 1000}, "devices": [)" + devices + "]}";
}

TEST(Gather, ADeadDiskCostsItsOwnTimeOutsOnOneWorkerAndNoOtherRow) {
    const Scratch scratch;
    const std::string host = scratch.put("dead.json", host_with_a_dead_disk());
    const RunResult serial = run(host, {}, "1", scratch.path("serial.log"));
    const RunResult pooled = run(host, {}, "", scratch.path("pool.log"));
    const std::string log = testsupport::read_file(scratch.path("pool.log"));
    // The other 29 disks are listed; the dead one is not (its INQUIRY failed).
    EXPECT_EQ(pooled.out, serial.out);
    for (int n = 0; n < 30; ++n) {
        const std::string row = "\\\\.\\PHYSICALDRIVE" + std::to_string(n) + " ";
        EXPECT_EQ(pooled.out.find(row) != std::string::npos, n != 7) << row;
    }
    // The same commands as the serial gather sends; the dead disk's three (INQUIRY, its retry,
    // READ CAPACITY) are the only ones that wait, each 30 s x 0.01 = 300000 us, none of another.
    EXPECT_EQ(commands_by_device(log), commands_by_device(testsupport::read_file(scratch.path("serial.log"))));
    EXPECT_EQ(commands_by_device(log)["\\\\.\\PHYSICALDRIVE7"], 3);
    EXPECT_EQ(commands_by_device(log)["no answer"], 3);
    std::istringstream lines(log);
    int waits = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("# no answer")) {
            EXPECT_EQ(line, "# no answer: waited 300000 us for the 30 s time-out -> 121");
            ++waits;
        }
    }
    EXPECT_EQ(waits, 3);
    // While the dead disk waited, the other workers went on: the last disk's commands come before
    // the dead disk's last wait ends, where the serial gather sends them after it.
    const auto last_wait = log.rfind("# no answer");
    EXPECT_LT(log.find("\\\\.\\PHYSICALDRIVE29 in"), last_wait);
    const std::string serial_log = testsupport::read_file(scratch.path("serial.log"));
    EXPECT_GT(serial_log.find("\\\\.\\PHYSICALDRIVE29 in"), serial_log.rfind("# no answer"));
}

}  // namespace
