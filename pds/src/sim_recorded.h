// Recorded answers of a host file: what a captured host said, call by call, replayed in the order it said it.
//
// A capture (capture_platform.cpp) writes what the seam answered on the host it ran on. Most of it
// fits the host file's descriptive keys; what does not (an error number of an open, control-code
// answers as raw bytes, the SCSI exchanges with their exact status, data and sense, the disk
// names of a Linux host, a clock that moved) is kept here and answered before the descriptive
// keys. The same question asked again gets the next recorded answer; past the last, the last.
#pragma once

#include "pds/platform.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace pds::sim {

using RecordedBytes = std::vector<std::uint8_t>;

// One SCSI command as the host answered it: the call's error, else the status, the data moved
// into the buffer, the sense and the bytes the call said it returned.
struct RecordedExchange {
    RecordedBytes cdb;
    bool multipath = false;  // through the multipathing driver's pass-through (its error numbering)
    os_error error = 0;
    std::uint8_t status = 0;
    std::uint32_t transferred = 0;  // DataTransferLength on return
    RecordedBytes data;             // the data-in bytes moved
    RecordedBytes sense;
    // The bytes the call said it returned; absent: the structure, and the sense behind it when
    // there is sense, as the pass-through answers.
    std::optional<std::uint32_t> returned;
};

// One control code (other than the pass-through) as the host answered it.
struct RecordedIoctl {
    std::uint32_t code = 0;
    RecordedBytes in;
    std::uint32_t out_length = 0;
    os_error error = 0;
    RecordedBytes out;  // the bytes written to the output buffer
    std::uint32_t returned = 0;
};

// A device's recorded answers. Shared by the names of one device; the replay position is kept
// inside, behind its own lock.
class RecordedDevice {
public:
    std::optional<os_error> open_error;  // every open fails with it
    std::vector<RecordedExchange> exchanges;
    std::vector<RecordedIoctl> ioctls;

    // The recorded answer to a pass-through block (`block` of at least 96 bytes, in and out);
    // nullopt when nothing recorded matches its CDB, so the device answers as usual.
    std::optional<os_error> pass_through(bool multipath, const void* in, std::uint32_t in_length, void* out,
                                         std::uint32_t out_length, std::uint32_t& returned) const;
    // The recorded answer to another control code with these input bytes and output room.
    std::optional<os_error> io_control(std::uint32_t code, const void* in, std::uint32_t in_length, void* out,
                                       std::uint32_t out_length, std::uint32_t& returned) const;

private:
    // How often each recorded question has been asked so far, by its first entry's index.
    mutable std::mutex mutex_;
    mutable std::map<std::size_t, std::size_t> asked_;
    const RecordedExchange* next_exchange(bool multipath, const RecordedBytes& cdb) const;
    const RecordedIoctl* next_ioctl(std::uint32_t code, const RecordedBytes& in, std::uint32_t out_length) const;
};

// A clock read back in the order it was read; past the last reading, the last one.
template <typename T>
class RecordedReadings {
public:
    std::vector<T> values;
    bool empty() const { return values.empty(); }
    T next() const {
        std::lock_guard lock(mutex_);
        const std::size_t at = std::min(next_, values.size() - 1);
        if (next_ < values.size()) ++next_;
        return values[at];
    }
    RecordedReadings() = default;
    RecordedReadings(const RecordedReadings& other) : values(other.values) {}
    RecordedReadings& operator=(const RecordedReadings& other) {
        values = other.values;
        return *this;
    }

private:
    mutable std::mutex mutex_;
    mutable std::size_t next_ = 0;
};

// Why a module could not be loaded, as the host's loader said it.
struct RecordedModuleFailure {
    os_error error = kErrorModNotFound;
    std::string message;
};

// The top-level recorded keys of a host file.
struct RecordedHost {
    std::string provider = "sim";  // "sim", "win32" or "linux": what the host says it is
    // The disk interfaces exactly as enumerated (replacing those the devices imply), or the error
    // opening the set answered.
    std::optional<std::vector<std::string>> disk_interfaces;
    std::optional<os_error> disk_interfaces_error;
    std::optional<std::map<std::uint32_t, std::string>> disk_names;
    std::shared_ptr<RecordedReadings<LocalTime>> local_times = std::make_shared<RecordedReadings<LocalTime>>();
    std::shared_ptr<RecordedReadings<std::string>> date_texts = std::make_shared<RecordedReadings<std::string>>();
    std::shared_ptr<RecordedReadings<std::int64_t>> epoch_seconds = std::make_shared<RecordedReadings<std::int64_t>>();
    std::shared_ptr<RecordedReadings<std::int64_t>> monotonic_ns = std::make_shared<RecordedReadings<std::int64_t>>();
    std::map<std::string, std::optional<std::string>, std::less<>> programs;  // file name -> path, or not found
    std::map<std::string, RecordedModuleFailure, std::less<>> modules;
    std::optional<std::string> multipath_fault;
};

// A linux host has no drive letters, no service processor software, and its own error numbers.
inline bool recorded_linux(const RecordedHost& h) { return h.provider == "linux"; }

}  // namespace pds::sim
