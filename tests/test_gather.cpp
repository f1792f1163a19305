// The device-list gather on the worker pool (lunscan's default) against the serial gather, end to end: the same reports, and a dead device that holds up no other.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

using testsupport::RunResult;
using testsupport::Scratch;

RunResult run(const std::string& host, std::vector<std::string> args, const std::string& threads, const std::string& log = {}) {
    args.insert(args.begin(), "-no_header");
    return testsupport::run_lunscan(args, {{"SIL_SIM_HOST", host}, {"LUNSCAN_THREADS", threads}, {"SDEBUG", std::nullopt},
                                           {"SDEBUG_FUNCTION_TRIGGER", std::nullopt},
                                           {"SIL_SIM_LOG", log.empty() ? std::nullopt : std::optional(log)}});
}

// Serial (1 worker), the default pool and a pool of 3 print the same bytes for every table.
void expect_pool_as_serial(const std::string& host, const std::vector<std::vector<std::string>>& tables) {
    for (const auto& table : tables) {
        const RunResult serial = run(host, table, "1");
        for (const char* threads : {"", "3"}) {
            const RunResult pooled = run(host, table, threads);
            const std::string what = (table.empty() ? "default" : table[0]) + " LUNSCAN_THREADS=" + threads;
            EXPECT_EQ(pooled.status, serial.status) << what;
            EXPECT_EQ(pooled.out, serial.out) << what;
            EXPECT_EQ(pooled.err, serial.err) << what;
        }
    }
}

TEST(Gather, PoolPrintsWhatTheSerialGatherPrintsOnTheDemoHost) {
    // With its clock fixed, so that the replication report's scan date reads the same each run.
    const Scratch scratch;
    std::string demo = testsupport::read_file(LUNSCAN_SOURCE_DIR "/examples/demo-host.json");
    demo.insert(demo.find('{') + 1, R"("clock": "2026-03-14 09:26:53.589",)");
    expect_pool_as_serial(scratch.put("demo.json", demo),
                          {{}, {"-all"}, {"-parent"}, {"-et"}, {"-ckd"}, {"-sil"}, {"-gk"}, {"-as400"}, {"-connections"},
                           {"-wwn"}, {"-identifier", "device_name"}, {"-identifier", "nice_name"}, {"-identifier", "hp_id"},
                           {"-identifier", "vms_id"}, {"-kor_wwn"}, {"-drav_wwn"}, {"-sw_wwn"}, {"-hds_wwn"},
                           {"-s80_wwn"}, {"-olvessa_wwn"}, {"-shark_wwn"}, {"-compaq_wwn"}, {"-netapp_wwn"},
                           {"-geometry"}, {"-spc2"}, {"-mapinfo"}, {"-winvol"}, {"-f_xmv"}, {"-f_real", "-all"},
                           {"-rpx_list"}, {"-rpx_xml"}});
}

// `count` devices: every fifth unit a high-end LUN on three paths, the first behind a pseudo device
// of the multipathing driver; the others one path each, high-end LUNs and plain disks alternating.
// `dead` (when not negative) answers nothing; every command takes `latency_us`.
std::string san_host(int units, int dead = -1, int latency_us = 0) {
    std::ostringstream devices, pseudo, names;
    int drive = 0;
    for (int unit = 0; unit < units; ++unit) {
        if (unit % 5 == 0) {
            pseudo << R"(, {"path": "\\\\.\\strnd)" << unit << R"(", "fronts": ["\\\\.\\PHYSICALDRIVE)" << drive
                   << R"("], "multipath": {"pass_through": "ok"}})";
            names << (unit ? ", " : "") << R"("\\.\\strnd)" << unit << '"';
        }
        for (int path = 0; path < (unit % 5 == 0 ? 3 : 1); ++path) {
            devices << (drive ? ",\n" : "") << R"({"path": "\\\\.\\PHYSICALDRIVE)" << drive << '"'
                    << (drive == dead ? R"(, "faults": [{"kind": "no_answer"}])" : "");
            if (unit % 2 == 1) {
                devices << R"(, "personality": "generic_disk", "params": {"vendor": "ACME", "product": "SAN", "serial": "DRV)"
                        << 100000 + unit << R"(", "blocks": 2048}})";
            } else {
                char number[8];
                std::snprintf(number, sizeof number, "%05X", unit);
                devices << R"(, "personality": "korvalith_lun", "params": {"array_serial": "000195700871", "device_number": ")"
                        << number << R"(", "director": ")" << 1 + path << R"(E", "port": 4, "microcode": "5977", "blocks": 2048}})";
            }
            ++drive;
        }
    }
    return R"({"clock": "2026-03-14 09:26:53.589", "timeout_scale": 0.01, "latency": {"pass_through_us": )" +
           std::to_string(latency_us) + R"(}, "multipath_volumes": [)" + names.str() + R"(], "devices": [)" + devices.str() +
           pseudo.str() + "]}";
}

TEST(Gather, PoolPrintsWhatTheSerialGatherPrintsOnALargeSanHost) {
    const Scratch scratch;
    expect_pool_as_serial(scratch.put("san.json", san_host(1000)),
                          {{}, {"-all"}, {"-parent"}, {"-sil"}, {"-wwn"}, {"-kor_wwn"}, {"-connections"}});
}

// Commands of a CDB log by the device they went to, and the waits for an answer that never came.
std::map<std::string, int> commands_by_device(const std::string& log) {
    std::map<std::string, int> count;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line == "# no answer: waited 300000 us for the 30 s time-out -> 121") ++count["waits"];
        if (!line.starts_with("#")) ++count[line.substr(0, line.find(' '))];
    }
    return count;
}

TEST(Gather, ADeadDiskCostsItsOwnTimeOutsOnOneWorkerAndNoOtherRow) {
    // 18 disks (12 units) of 1 ms a command; PHYSICALDRIVE11 (a plain disk) answers nothing: each
    // of its commands waits out the 30-second INQUIRY and READ CAPACITY time-out, scaled to 0.3 s.
    const Scratch scratch;
    const std::string host = scratch.put("dead.json", san_host(12, 11, 1000));
    const RunResult serial = run(host, {}, "1", scratch.path("serial.log"));
    const RunResult pooled = run(host, {}, "", scratch.path("pool.log"));
    const std::string log = testsupport::read_file(scratch.path("pool.log"));
    const std::string serial_log = testsupport::read_file(scratch.path("serial.log"));
    // Every other disk is listed, the dead one not (its INQUIRY failed), as serially.
    EXPECT_EQ(pooled.out, serial.out);
    EXPECT_EQ(pooled.out.find("\\\\.\\PHYSICALDRIVE11 "), std::string::npos);
    EXPECT_NE(pooled.out.find("\\\\.\\PHYSICALDRIVE17 "), std::string::npos);
    // The same commands as serially; only the dead disk's three (INQUIRY, its one repeat, READ
    // CAPACITY) wait, each for its own scaled time-out.
    const std::map<std::string, int> sent = commands_by_device(log);
    EXPECT_EQ(sent, commands_by_device(serial_log));
    EXPECT_EQ(sent.at("\\\\.\\PHYSICALDRIVE11"), 3);
    EXPECT_EQ(sent.at("waits"), 3);
    // While it waited, the other workers went on: the last disk's commands come before its last
    // wait ends, where the serial gather sends them after.
    EXPECT_LT(log.find("\\\\.\\PHYSICALDRIVE17 "), log.rfind("# no answer"));
    EXPECT_GT(serial_log.find("\\\\.\\PHYSICALDRIVE17 "), serial_log.rfind("# no answer"));
}

}  // namespace
