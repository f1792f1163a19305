// The simulated host's devices: what a host file says each device answers, and the engine that replays it through the seam.
#pragma once

#include "pds/platform.h"
#include "sim_array.h"
#include "sim_recorded.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace pds::sim {

using Bytes = std::vector<std::uint8_t>;

// How CreateFileA fares on the device.
enum class OpenBehaviour {
    ok,
    not_found,
    sharing_violation,
    access_denied,
    // Another process holds the device: every read/write open fails with 32, read-only opens succeed.
    sharing_violation_then_read_only,
};

// `no_answer`: the device never answers; the request returns when its time-out has passed.
enum class FaultKind { check_condition, access_denied, io_error, short_transfer, timeout, scsi_status, no_answer };

// A scripted failure of the commands whose CDB starts with `cdb_prefix` (empty: every command).
struct SimFault {
    Bytes cdb_prefix;
    FaultKind kind = FaultKind::check_condition;
    Bytes sense;                         // check_condition
    std::uint8_t status = 0;             // scsi_status
    std::uint32_t bytes = 0;             // short_transfer: data bytes moved at most
    std::optional<std::uint32_t> times;  // how many matching commands fail; nullopt: all of them
};

// An answer to the CDBs starting with `cdb_prefix`; the longest matching prefix wins.
struct SimCommand {
    Bytes cdb_prefix;
    Bytes reply;
};

struct SimAddress {
    std::uint8_t port = 0;
    std::uint8_t path_id = 0;
    std::uint8_t target_id = 0;
    std::uint8_t lun = 0;
};

// The multipathing driver's pass-through for the device: absent (the library is not installed:
// 219), carrying commands, or failing.
enum class MultipathMode { absent, ok, fail };

// How long the device takes, on the real clock: each pass-through command (also through the
// multipathing driver), each other control request, each open. Unset: the host file's default, else 0.
struct SimLatency {
    std::optional<std::uint32_t> pass_through_us;
    std::optional<std::uint32_t> control_us;
    std::optional<std::uint32_t> open_us;
};

// Every unset time of `device` taken from `fallback`.
SimLatency with_fallback(const SimLatency& device, const SimLatency& fallback);

// Everything the device answers. Absent data means the device does not support the command.
struct SimDevice {
    std::string path;
    std::optional<SimAddress> address;
    std::optional<std::uint32_t> device_number;
    std::optional<std::int64_t> partition_length;
    bool gpt = false;  // a GPT partition: IOCTL_DISK_GET_PARTITION_INFO fails with 1
    // The adapter: a pass-through whose DataBuffer & alignment_mask is not 0, or that moves more
    // than max_transfer_length bytes, fails with 87, as Windows refuses it.
    std::uint32_t alignment_mask = 0;
    std::uint32_t max_transfer_length = 0x100000;
    std::optional<Bytes> inquiry;
    std::map<std::uint8_t, Bytes> vpd;          // EVPD pages by page code
    std::optional<Bytes> read_capacity_10;
    std::optional<Bytes> read_capacity_16;
    std::map<std::uint8_t, Bytes> mode_pages;   // the pages themselves, by page code
    std::map<std::uint32_t, Bytes> blocks;      // READ(10) data by LBA, 512 bytes each
    std::optional<Bytes> storage_property;      // RawDeviceProperties; default: `inquiry`
    std::vector<SimCommand> commands;
    std::vector<SimFault> faults;
    OpenBehaviour open = OpenBehaviour::ok;
    MultipathMode multipath = MultipathMode::absent;
    SimLatency latency;
    // Another name of the device at this index of the engine's list: that device's INQUIRY, pages,
    // capacity, blocks, property and commands answer for this one, which holds none of its own.
    std::optional<std::size_t> answers_of;
    // A korvalith_lun's place in its array: the host file's array of this serial, if it describes
    // one, answers the device's system calls.
    std::string array_serial;
    std::uint32_t array_device_number = 0;
    std::string array_microcode;
    std::string array_microcode_date;
    // What a captured host answered, replayed before everything above (sim_recorded.h); null for
    // a device described only by its keys.
    std::shared_ptr<const RecordedDevice> recorded;
};

inline constexpr std::uint32_t kSimBlockBytes = 512;

// Devices a host file may list: a large SAN host (thousands of LUNs, each seen on several paths)
// with room to spare.
inline constexpr std::size_t kMaxSimDevices = 65536;

// ---- personalities (sim_personalities.cpp): device bytes generated from a few parameters --------

struct GenericDiskParams {
    std::string vendor;    // at most 8 characters
    std::string product;   // at most 16
    std::string revision;  // at most 4
    std::string serial;    // at most 64
    std::uint64_t blocks = 0;
    std::uint32_t block_size = 512;
};

// Flags of a high-end array LUN, as bits of `KorvalithLunParams::flags`.
enum KorvalithFlag : std::uint32_t {
    kKorvCkd = 1u << 0,
    kKorvBcv = 1u << 1,
    kKorvWriteProtected = 1u << 2,
    kKorvMeta = 1u << 3,
    kKorvRpxR1 = 1u << 4,
    kKorvRpxR2 = 1u << 5,
    kKorvRaid5 = 1u << 6,
    kKorvRaid6 = 1u << 7,
    kKorvMirrored = 1u << 8,
    kKorvFibre = 1u << 9,
    kKorvSpoofed = 1u << 10,
    kKorvVraid = 1u << 11,
};

struct KorvalithLunParams {
    std::string array_serial;          // 12 decimal digits
    std::uint32_t device_number = 0;   // up to 0xFFF before microcode 5568, 0xFFFF before 5771, else 0xFFFFF
    std::uint8_t director = 1;         // 1..99; with a letter, 1..16
    std::optional<char> director_letter;  // 'A'..'P': extended director numbering
    std::uint8_t port = 0;             // 0..9
    std::string microcode;             // four hex digits, e.g. "5874"
    std::optional<int> ansi_version;   // default: 4 from microcode 5771 on, else 2
    int date_year = 0;                 // 0: no date
    int date_month = 0;
    int date_day = 0;
    std::uint32_t flags = 0;
    std::uint64_t blocks = 0;
    std::string ckd_label;             // at most 6 characters of the EBCDIC set below
};

using Ipv4Address = std::array<std::uint8_t, 4>;

// The NAS label the file server writes near the end of a disk it uses (an option of
// `generic_disk` and `korvalith_lun`); the numbers are stored in the host's (little-endian) order.
struct NasLabelParams {
    std::uint16_t target = 0;
    std::uint16_t lun = 0;
    std::uint32_t array_serial = 0;
    std::uint32_t array_model = 0;
    std::uint32_t maker_type = 0;
    bool older_position = false;  // written one block further from the end, as older NAS software did
};

// A LUN of the midrange array (`olvessa` clear) or of the virtualisation product (set), seen
// through one storage processor. Both answer pages 00, 80, 83 and C0; the midrange array adds page
// 85 (when the SP has an address) and the LUN-name query.
struct DravonisLunParams {
    bool olvessa = false;
    std::string vendor;                // "NDQ", "SGI" or "FSC FC"; "Olvessa"
    std::string product;               // at most 16
    std::string revision;              // at most 4
    std::string array_serial;          // 1 to 16
    std::uint16_t lun = 0;             // the array's LUN number (page 83 bytes 36-37)
    std::uint16_t host_lun = 0;        // the LUN number the host sees (page 83 bytes 28-29)
    std::string bind_time;             // eight hex digits: when the LUN was bound (INQUIRY 38-45)
    Bytes lun_wwn;                     // 16 bytes
    std::uint8_t sp = 0;               // the SP of this path: 0 A, 1 B
    std::uint8_t owner = 0;            // the SP that owns the LUN
    std::uint8_t sp_port = 0;
    std::optional<Ipv4Address> sp_ip;  // this SP's management address
    std::vector<Ipv4Address> peer_ips; // the other SPs' addresses (midrange only)
    std::string lun_name;              // the LUN's name (midrange only); empty: the name query is refused
    std::uint8_t raid_type = 5;        // INQUIRY byte 111: 2 individual, 3 RAID 0, 4 RAID 1, 5 RAID 5, 6 RAID 3, 7 RAID 1/0, 10 RAID 6
    std::uint32_t raid_group = 0;      // INQUIRY bytes 104-107
    std::uint64_t blocks = 0;
};

struct StorageWorksLunParams {
    std::string product;               // begins "HSG80"
    std::string revision;
    std::string controller_serial;     // 1 to 64
    Bytes node_id;                     // 8 bytes
    Bytes lun_wwn;                     // 16 bytes
    std::uint64_t blocks = 0;
};

struct HdsLunParams {
    bool hp = false;                   // the HP form of the identifier, else Hitachi's
    std::string product;               // begins "OPEN" or "DF600F"
    std::string revision;
    std::string model;                 // four digits, e.g. "0450"
    std::uint32_t serial = 0;          // Hitachi: at most 65535; HP: at most 99999
    std::uint16_t ldev = 0;
    std::uint64_t blocks = 0;
};

struct S80LunParams {
    std::string product;
    std::string revision;
    Bytes serial;                      // 6 bytes
    Bytes array_wwn;                   // 8 bytes
    std::string device;                // two characters
    std::uint8_t director = 0;         // 0 to 99
    std::uint8_t port = 0;             // 0 to 9
    Bytes port_address;                // 4 bytes
    Bytes controller_address;          // 4 bytes
    std::uint64_t blocks = 0;
};

struct SharkLunParams {
    std::string product;               // begins "2105", "2107" or "3552"
    std::string revision;
    std::string serial;                // 8 characters
    std::uint64_t blocks = 0;
};

struct HsvLunParams {
    std::string product;               // begins "HSV"
    std::string revision;
    std::string serial;                // 1 to 64
    Bytes lun_wwn;                     // 16 bytes
    std::uint64_t blocks = 0;
};

struct NetappLunParams {
    std::string product;
    std::string revision;
    std::string serial;                // 12 characters
    std::uint64_t blocks = 0;
};

// A LUN the NAS product exports over iSCSI; its vendor area carries the file server's view of it.
struct IvantrelLunParams {
    std::string revision;
    std::uint8_t section_revision = 0;
    std::uint8_t slot = 0;
    std::uint32_t fs_id = 0;
    Bytes lun_wwn;                     // 16 bytes
    std::string serial;                // 1 to 31
    std::string lun_name;              // 1 to 64
    std::vector<Ipv4Address> ips;
    std::uint64_t blocks = 0;
};

// The vendor area of the NAS iSCSI LUN ends where INQUIRY's allocation length does.
inline constexpr std::size_t kIvantrelInquiryLimit = 254;
// Bytes the NAS iSCSI LUN's INQUIRY takes for a serial, a name and a count of addresses.
std::size_t ivantrel_inquiry_size(std::size_t serial, std::size_t name, std::size_t ips);

// The four hex digits of a microcode text as a number.
std::uint32_t microcode_level(const std::string& microcode);

// Fill what `device` does not give explicitly (explicit bytes win).
void apply_generic_disk(const GenericDiskParams& params, SimDevice& device);
void apply_korvalith_lun(const KorvalithLunParams& params, SimDevice& device);
void apply_nas_label(const NasLabelParams& params, std::uint64_t blocks, SimDevice& device);
void apply_dravonis_lun(const DravonisLunParams& params, SimDevice& device);
void apply_storageworks_lun(const StorageWorksLunParams& params, SimDevice& device);
void apply_hds_lun(const HdsLunParams& params, SimDevice& device);
void apply_s80_lun(const S80LunParams& params, SimDevice& device);
void apply_shark_lun(const SharkLunParams& params, SimDevice& device);
void apply_hsv_lun(const HsvLunParams& params, SimDevice& device);
void apply_netapp_lun(const NetappLunParams& params, SimDevice& device);
void apply_ivantrel_lun(const IvantrelLunParams& params, SimDevice& device);

// EBCDIC of the characters a volume label may hold (A-Z, 0-9, blank, # @ $ - .); nullopt for others.
std::optional<std::uint8_t> ebcdic(char c);

// Device paths compare as Windows compares them: ASCII letters without regard to case.
bool same_device_path(std::string_view a, std::string_view b);

// The path with its ASCII letters in lower case: two paths are the same device path exactly when
// their keys are equal, so paths can be hashed.
std::string device_path_key(std::string_view path);

// Device paths by their key (device_path_key), to whatever they name.
using DevicePathIndex = std::unordered_map<std::string, std::size_t>;

// ---- the engine ---------------------------------------------------------------------------

// Replays the devices of a host file through the device calls of the seam. Thread-safe.
class SimDeviceHost {
public:
    // `log` (may be null) receives the CDB log; the host owns it from then on.
    // Devices tied to one of `arrays` (by serial) answer its system calls. A command that gets no
    // answer waits for its time-out multiplied by `timeout_scale`.
    SimDeviceHost(std::vector<SimDevice> devices, std::FILE* log, std::vector<SimArray> arrays = {},
                  double timeout_scale = 1.0);
    ~SimDeviceHost();
    SimDeviceHost(const SimDeviceHost&) = delete;
    SimDeviceHost& operator=(const SimDeviceHost&) = delete;

    os_error open_device(const DeviceOpenRequest& request, DeviceHandle& out);
    os_error close_device(DeviceHandle handle);
    os_error device_io_control(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t in_length,
                               void* out, std::uint32_t out_length, std::uint32_t& returned);
    std::uint32_t set_error_mode(std::uint32_t mode);
    std::uint32_t mp_scsi_pass_through(DeviceHandle handle, std::uint32_t value, void* block);
    // Writes one line of the host's own doing (a sleep, ...) to the CDB log, between commands.
    void note(const std::string& line);

private:
    struct OpenHandle {
        std::size_t device = 0;
        std::uint32_t access = 0;
    };
    struct DeviceState {
        SimDevice& device;         // in answers_: its name, how it opens, its faults
        const SimDevice& answers;  // in answers_: what it answers (itself, or the device it names again)
        std::vector<std::optional<std::uint32_t>> fault_times_left;
        SimArrayResponder* array = nullptr;
    };

    const OpenHandle* find_handle(DeviceHandle handle) const;
    // The parts that run under mutex_; each sets `wait_us` to the real time the request takes,
    // which the caller waits out after letting go of the mutex, so that slow devices overlap.
    os_error open_locked(const DeviceOpenRequest& request, DeviceHandle& out, std::uint64_t& wait_us);
    os_error control_locked(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t in_length,
                            void* out, std::uint32_t out_length, std::uint32_t& returned, std::uint64_t& wait_us);
    os_error pass_through(DeviceState& state, const void* in, std::uint32_t in_length, void* out,
                          std::uint32_t out_length, std::uint32_t& returned, std::uint64_t& wait_us);
    const SimFault* take_fault(DeviceState& state, const Bytes& cdb);
    void log_line(const std::string& line);
    void log_data(const char* direction, const std::uint8_t* bytes, std::uint32_t count);

    std::mutex mutex_;
    std::vector<SimDevice> answers_;  // the devices as given, taken over whole rather than copied
    std::vector<DeviceState> devices_;
    std::vector<std::unique_ptr<SimArrayResponder>> arrays_;
    DevicePathIndex by_path_;  // a host may list tens of thousands of paths, each opened at least once
    std::map<DeviceHandle, OpenHandle> handles_;
    DeviceHandle next_handle_ = 0x100;
    std::map<std::thread::id, std::uint32_t> error_modes_;  // per thread, as Windows keeps it
    std::FILE* log_ = nullptr;
    double timeout_scale_ = 1.0;
};

// The number at the end of a "...PHYSICALDRIVE<n>" path (ASCII case ignored); nullopt for other paths.
std::optional<std::uint32_t> drive_number_in(const std::string& path);

// Opens the CDB log named by SIL_SIM_LOG (append mode). Returns true with `out` null when the
// variable is unset or empty; false with `error` set when the file cannot be opened.
bool open_cdb_log(const std::optional<std::string>& path, std::FILE*& out, std::string& error);

}  // namespace pds::sim
