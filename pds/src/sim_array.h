// The simulated high-end array behind its devices: what the host file says it holds, and the responder that answers its system calls over WRITE BUFFER / READ BUFFER.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pds::sim {

// One remote array the local array replicates to: a record of the remote array table (call 0x0181,
// table 1) and the groups (table 2) that lead to it.
struct SimRemoteArray {
    std::uint8_t id = 0;          // its index in the table, by which groups name it
    std::string serial;           // 12 characters
    std::uint16_t microcode = 0;  // as the remote array reports it (shown in decimal)
    bool valid = true;            // an invalid record lies in the table without its "V"
    std::vector<std::uint8_t> groups;
};

enum class SimMirrorRole : std::uint8_t { none = 0, rpx1 = 0x01, rpx2 = 0x02 };

struct SimMirror {
    std::uint8_t mirror = 1;  // 1 to 4
    SimMirrorRole role = SimMirrorRole::none;
    std::uint8_t group = 0;
    std::uint32_t remote_device = 0;
    bool valid = true;
};

// The replication state of one device of the array (calls 0x0116 and 0x9250).
struct SimArrayDevice {
    std::uint32_t device_number = 0;
    std::vector<SimMirror> mirrors;
};

// How the array answers instead of answering normally.
enum class SimArrayFaultKind {
    busy,              // primary 0x95
    poll,              // primary 0xA0, asking for a sleep of `sleep_tenths`
    ndu,               // primary 0xB0
    blocked,           // primary 0x97
    overrun,           // primary 0x84
    timeout,           // primary 0xA7
    code,              // `primary` and `secondary` as given
    bad_crc,           // the reply's own CRC is wrong
    other_format,      // format 5 instead of 6
    other_subcommand,  // the request's subcommand + 1
    bad_buff,          // the bad-parameter-buffer reply
};

// A scripted answer to the requests of one call (and subcommand), by their count: the array counts
// the requests it accepts per call and subcommand from 1.
struct SimArrayFault {
    std::optional<std::uint16_t> call;         // absent: every call
    std::optional<std::uint8_t> subcommand;    // absent: every subcommand
    std::uint32_t pass = 1;                    // first request taken
    std::optional<std::uint32_t> times;        // how many; absent: all from `pass` on
    SimArrayFaultKind kind = SimArrayFaultKind::busy;
    std::uint32_t sleep_tenths = 10;
    std::uint8_t primary = 0;
    std::uint8_t secondary = 0;
};

struct SimArray {
    std::string serial;            // 12 decimal digits: ties the korvalith_lun devices of that serial
    std::uint16_t microcode = 0;   // four hex digits as a number (0x5874)
    std::string microcode_date;    // "YYYY-MM-DD" or empty
    std::vector<SimRemoteArray> remote_arrays;
    std::vector<SimArrayDevice> devices;  // by device number, ascending
    std::uint32_t device_count = 0;       // records of the device-state tables
    bool variable_records = false;        // call 0x9250 answers variable-length records
    // Table answers carry a 16-byte record header (four 16-bit counters) in front of the records
    // instead of the reply's own counters, as arrays answer the chunked retrieval.
    bool record_header = false;
    std::vector<SimArrayFault> faults;
};

// A command's outcome as the array gives it: GOOD with data, or CHECK CONDITION with an
// additional sense code of ILLEGAL REQUEST.
struct SimArrayReply {
    bool good = true;
    std::uint8_t asc = 0;
    std::vector<std::uint8_t> data;
};

// CRC-32 of the system-call wire format: reflected polynomial 0xEDB88320, initial value 0, no
// final inversion.
std::uint32_t syscall_crc(std::span<const std::uint8_t> bytes);

// Answers system calls for one array. Not thread-safe: the device host serialises commands.
class SimArrayResponder {
public:
    explicit SimArrayResponder(SimArray array) : array_(std::move(array)) {}
    const SimArray& array() const { return array_; }

    SimArrayReply write_buffer(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> data);
    SimArrayReply read_buffer(std::span<const std::uint8_t> cdb);

private:
    struct Request {
        bool bad_buffer = false;  // the array could not take the request
        std::uint16_t chain = 0;
        std::uint16_t call = 0;
        std::uint8_t subcommand = 0;
        std::uint8_t subformat = 0;
        std::uint32_t crc = 0;
        std::uint32_t start_entry = 0;
        std::uint32_t entry_count = 0;
        std::uint8_t hops = 0;
        std::uint32_t pass = 0;
    };
    std::vector<std::uint8_t> reply_to(const Request& request, std::size_t room) const;

    SimArray array_;
    std::map<std::uint16_t, Request> pending_;  // by chain code
    std::map<std::uint32_t, std::uint32_t> passes_;  // call << 8 | subcommand -> requests taken
};

namespace check {
// The top-level "arrays" key (sim_array_file.cpp).
std::vector<SimArray> read_arrays(const nlohmann::json& value, const std::string& path);
}  // namespace check

}  // namespace pds::sim
