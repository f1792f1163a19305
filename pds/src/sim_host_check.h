// The checking helpers the simulated host file's loaders share: faults named by JSON path, strict types and bounds.
#pragma once

#include "sim_devices.h"
#include "sim_recorded.h"
#include "sim_json_check.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
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

// Raw bytes: a hex text, an array of hex texts read one after the other, or {"file": name} of a
// commented .hex file (relative to `base_directory`). At most `max_bytes` bytes.
Bytes hex_bytes(const nlohmann::json& value, const std::string& path, const std::string& base_directory,
                std::size_t max_bytes = 65535);
// A CDB or the leading bytes of one: 1 to 16 bytes.
Bytes cdb_prefix(const nlohmann::json& value, const std::string& path, const std::string& base_directory);
// A device's recorded answers ("open" as an error number, "exchanges", "ioctls";
// sim_recorded_file.cpp); null when it has none.
std::shared_ptr<const RecordedDevice> recorded_device(const nlohmann::json& device, const std::string& path,
                                                      const std::string& base_directory);
// The top-level recorded keys of a host file.
RecordedHost read_recorded_host(const nlohmann::json& doc);
// A local time "YYYY-MM-DD hh:mm:ss.mmm" from 1970 on, and its seconds since the epoch counted as UTC.
LocalTime local_time_text(const nlohmann::json& value, const std::string& path, std::int64_t& epoch_seconds);
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
