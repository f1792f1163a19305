// The simulated host file: its record, and the loader that checks every key before the provider trusts it.
#pragma once

#include "pds/platform.h"
#include "sim_devices.h"
#include "sim_discovery.h"
#include "sim_hba.h"
#include "sim_recorded.h"
#include "sim_sp.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pds::sim {

// What a command listed under "tools" answers.
struct SimTool {
    std::string output;
    int exit_status = 0;
};

// A host file after checking; absent optional keys stay empty and the real host answers.
struct SimHost {
    HostIdentity host;
    std::optional<std::string> user;
    // nullopt values hide a variable of the real environment.
    std::map<std::string, std::optional<std::string>, std::less<>> environment;
    std::optional<LocalTime> clock;
    std::int64_t clock_epoch_seconds = 0;  // the fixed clock counted as if it were UTC
    std::optional<std::uint32_t> process_id;
    std::map<std::string, SimTool, std::less<>> tools;
    // Named mutexes another process of the host holds and never releases.
    std::vector<std::string> held_mutexes;
    std::vector<SimDevice> devices;
    std::vector<SimArray> arrays;  // the high-end arrays behind korvalith_lun devices
    SimStorageSoftware storage;  // service processors and the multipathing volume list
    SimDiscovery discovery;      // disk interfaces, volumes and the registry
    std::vector<SimHbaLibrary> hba_libraries;  // the SNIA HBA API libraries load_module finds
    // What a command that gets no answer waits for: its time-out times this (0 < scale <= 1).
    double timeout_scale = 1.0;
    RecordedHost recorded;  // what a captured host answered beyond the keys above
};

// Host files larger than this are refused before parsing: room for a replayed SAN host of
// kMaxSimDevices devices with their pages, while the parsed document still fits in memory.
inline constexpr std::size_t kMaxHostFileBytes = std::size_t{256} << 20;

// Checks the JSON text of a host file. On failure returns false and sets `fault` to one line
// naming the place ("line 3, column 5: ..." or "\"host.release\" must be a string").
// Device bytes given as {"file": ...} are looked up relative to `base_directory`.
bool parse_sim_host(std::string_view text, SimHost& out, std::string& fault, const std::string& base_directory = {});

// Reads and checks the host file at `path`. On failure returns false and sets `error` to
// `simulated host file "<path>": <fault>`.
bool load_sim_host(const std::string& path, SimHost& out, std::string& error);

// The C library's date text ("Sun Dec  6 19:47:21 2026") of a broken-down time.
std::string ctime_text(const LocalTime& t);

// `t` moved on by `milliseconds` on the calendar (weekday and day of the year follow); the local
// time is taken as it stands, without a change of daylight saving time.
LocalTime advanced(const LocalTime& t, std::int64_t milliseconds);

}  // namespace pds::sim
