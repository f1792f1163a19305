// The checking helpers the simulated host file's loaders share: faults named by JSON path, strict types and bounds.
#pragma once

#include "sim_devices.h"
#include "sim_json_check.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pds::sim::check {

// ---- personality parameters (sim_devices_file.cpp, sim_personalities_file.cpp) -------------------

// Printable ASCII of at most `max_bytes`, as INQUIRY texts must be.
std::string ascii(const nlohmann::json& value, const std::string& path, std::size_t max_bytes);
// A string matching `pattern` (d: decimal digit, x: hex digit, other characters as they are).
std::string shaped(const nlohmann::json& value, const std::string& path, std::string_view pattern,
                   const std::string& description);
// Reads the required keys first, so a missing one is named before anything else is looked at.
void require(const nlohmann::json& params, const std::string& path, std::initializer_list<std::string_view> keys);
// The required "blocks" of a personality.
std::uint64_t block_count(const nlohmann::json& params, const std::string& path);

// The NAS label option of a disk personality ("nas_label"), for a disk of `blocks` blocks.
NasLabelParams nas_label(const nlohmann::json& value, const std::string& path, std::uint64_t blocks);
// The personalities of the other makes; false when `kind` names none of them.
bool apply_make_personality(std::string_view kind, const nlohmann::json& params, const std::string& path,
                            SimDevice& device);
// Their names, for the list of allowed personalities.
const std::vector<std::string_view>& make_personality_names();

// How opening fares: the "open" of a device, a disk interface or a volume.
OpenBehaviour open_behaviour(const nlohmann::json& value, const std::string& path);

// A "latency" object (the file's default, or a device's own): times in microseconds, each at most
// kMaxLatencyUs.
inline constexpr std::int64_t kMaxLatencyUs = 10000000;
SimLatency latency(const nlohmann::json& value, const std::string& path);

// The "devices" array (defined in sim_devices_file.cpp). `base_directory` is where {"file": ...}
// references are looked up (the host file's directory; empty: the current directory).
std::vector<SimDevice> read_devices(const nlohmann::json& value, const std::string& path,
                                    const std::string& base_directory);

// Ties each korvalith_lun device to the array of its serial, checking that both tell the same
// microcode, and widens the array's device tables to the devices the host sees (sim_array_file.cpp).
void tie_arrays(std::vector<SimDevice>& devices, std::vector<SimArray>& arrays);

}  // namespace pds::sim::check
