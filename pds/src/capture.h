// Capturing a live host: the record of every answer the seam gave, and the host file written from it at exit.
#pragma once

#include "pds/platform.h"
#include "sim_hba_core.h"
#include "sim_recorded.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pds::capture {

// Entries kept per list; past them a run's answers are no longer recorded (the replay repeats
// the last one), so that a runaway loop cannot grow the file without end.
inline constexpr std::size_t kMaxEntries = 65536;

struct DeviceRecord {
    std::string path;
    std::vector<std::pair<std::uint32_t, os_error>> opens;  // desired access, outcome
    std::vector<sim::RecordedExchange> exchanges;
    std::vector<sim::RecordedIoctl> ioctls;
};

struct RegistryRecord {
    std::vector<std::string> subkeys;
    std::vector<std::string> value_names;
    std::map<std::string, std::variant<std::uint32_t, std::string>> values;
};

struct ToolRecord {
    std::string output;
    int exit_status = 0;
};

// One service-processor session as its calls answered.
struct ServiceProcessorRecord {
    std::string session;
    std::optional<std::string> revision, product, array_serial;
    std::string failed_call;  // the first call that failed after the client was made
};

// One SNIA HBA API library as its entry points answered: the library a replay serves in its place.
struct HbaLibraryRecord {
    std::string resolved_path;
    hba::Library library;
    std::map<HBA_HANDLE, std::size_t> open;  // handle the library gave -> adapter index
};

// Everything the seam answered, in the seam's own terms.
struct Recording {
    std::string provider;
    std::map<std::string, std::optional<std::string>> environment;
    std::optional<HostIdentity> host;
    bool user_read = false;
    std::optional<std::string> user;
    std::optional<std::uint32_t> process_id;
    std::vector<LocalTime> local_times;
    std::vector<std::string> date_texts;
    std::vector<std::int64_t> epoch_seconds;
    std::vector<std::int64_t> monotonic_ns;
    std::map<std::string, ToolRecord> tools;
    std::map<std::string, std::optional<std::string>> programs;
    std::vector<DeviceRecord> devices;
    std::optional<std::vector<std::string>> interfaces;
    std::optional<os_error> interfaces_error;
    std::optional<std::map<std::uint32_t, std::string>> disk_names;
    std::optional<std::string> drive_roots;              // the roots without NULs between, "C:\D:\"
    std::map<std::string, std::uint32_t> drive_types;
    std::map<std::string, RegistryRecord> registry;      // by key path as opened
    std::map<std::string, sim::RecordedModuleFailure> modules;
    std::map<std::string, HbaLibraryRecord> hba_libraries;  // by path as loaded
    std::vector<ServiceProcessorRecord> service_processors;
    std::optional<std::vector<std::string>> multipath_volumes;
    std::optional<std::string> multipath_fault;
};

// Wraps a loaded HBA API library so that the entry points it hands out (by name, or in the tables
// a vendor library registers) add their answers to `record`, under `mutex`. The calls themselves
// go to the library and its answers come back unchanged. Past the number of libraries that can
// be followed, `inner` is handed back as it is (capture_hba.cpp).
std::unique_ptr<Module> record_hba_module(std::unique_ptr<Module> inner, HbaLibraryRecord& record, std::mutex& mutex);

// The host file's "hba_libraries" object of the recorded libraries (capture_hba.cpp).
nlohmann::ordered_json hba_libraries_of(const std::map<std::string, HbaLibraryRecord>& libraries);

// Replaces host name, user, machine id and unit serial numbers consistently (capture_mask.cpp).
void mask(Recording& recording);

// The host file of a recording (capture_write.cpp).
std::string host_file_text(const Recording& recording);

// Writes `text` to `path` through a temporary file in the same directory and a rename. On failure
// returns false with `reason` set.
bool write_atomically(const std::string& path, const std::string& text, std::string& reason);

// Wraps `inner` (which outlives it): every answer is recorded, and at the process's exit the host
// file is written to `path`, masked when `masked`; a file that cannot be written is reported in
// one line on standard error.
std::unique_ptr<Platform> make_capture_platform(Platform& inner, std::string path, bool masked);

}  // namespace pds::capture
