// The simulated devices' engine: opens, the pass-through command dispatch with scripted faults, the other ioctls, and the CDB log.
#include "sim_devices.h"

#include "pds/byteorder.h"
#include "pds/product_clients.h"
#include "pds/win_device_layouts.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

namespace pds::sim {
namespace {

constexpr os_error kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kMpFailed = 1;  // what a failing multipath pass-through answers

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;
constexpr std::uint8_t kSenseIllegalRequest = 0x05;
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;

constexpr std::uint32_t kFileDeviceDisk = 7;
constexpr std::uint32_t kBusTypeScsi = 1;
constexpr std::uint8_t kOpWriteBuffer = 0x3B;
constexpr std::uint8_t kOpReadBuffer = 0x3C;

constexpr std::size_t kBlockBytes = sizeof(win::ScsiPassThroughDirectWithSense);

// Opcodes that change what a device stores or how it is set up. The simulated host refuses them
// whatever direction the block claims, so a mistake in the library can never be replayed against
// a real device unnoticed. RESERVE/RELEASE (0x16/0x17) carry no data and stay allowed.
constexpr std::array<std::uint8_t, 24> kChangingOpcodes = {
    0x04,  // FORMAT UNIT
    0x07,  // REASSIGN BLOCKS
    0x0A,  // WRITE(6)
    0x15,  // MODE SELECT(6)
    0x2A,  // WRITE(10)
    0x2E,  // WRITE AND VERIFY(10)
    0x3D,  // UPDATE BLOCK
    0x3F,  // WRITE LONG(10)
    0x41,  // WRITE SAME(10)
    0x42,  // UNMAP
    0x55,  // MODE SELECT(10)
    0x7F,  // variable-length CDBs (WRITE(32) and friends)
    0x89,  // COMPARE AND WRITE
    0x8A,  // WRITE(16)
    0x8B,  // ORWRITE(16)
    0x8D,  // WRITE ATTRIBUTE
    0x8E,  // WRITE AND VERIFY(16)
    0x93,  // WRITE SAME(16)
    0x9C,  // WRITE ATOMIC(16)
    0x9F,  // SERVICE ACTION OUT(16): WRITE LONG(16)
    0xA4,  // MAINTENANCE OUT: SET DEVICE IDENTIFIER
    0xAA,  // WRITE(12)
    0xAE,  // WRITE AND VERIFY(12)
    0xB6,  // SEND VOLUME TAG
};

bool changes_data(std::uint8_t opcode) {
    return std::find(kChangingOpcodes.begin(), kChangingOpcodes.end(), opcode) != kChangingOpcodes.end();
}

// A command's outcome before it is cut to what the caller asked for.
struct Reply {
    std::uint8_t status = kStatusGood;
    Bytes data;
    Bytes sense;
};

Reply good(Bytes data) { return Reply{kStatusGood, std::move(data), {}}; }

// Fixed-format sense data, as a real device reports an illegal request.
Reply illegal_request(std::uint8_t asc) {
    Bytes sense(18, 0);
    sense[0] = 0x70;
    sense[2] = kSenseIllegalRequest;
    sense[7] = 10;
    sense[12] = asc;
    return Reply{kStatusCheckCondition, {}, std::move(sense)};
}

Bytes cut(const Bytes& bytes, std::size_t limit) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), limit)));
}

bool starts_with(std::span<const std::uint8_t> cdb, const Bytes& prefix) {
    return prefix.size() <= cdb.size() && std::equal(prefix.begin(), prefix.end(), cdb.begin());
}

std::string hex_text(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

// Number of blocks and block length from the capacity replies (READ CAPACITY(16) first).
struct Capacity {
    std::uint64_t blocks = 0;
    std::uint32_t block_length = 0;
};

std::optional<Capacity> capacity_of(const SimDevice& d) {
    if (d.read_capacity_16 && d.read_capacity_16->size() >= 12) {
        const std::span<const std::uint8_t> r(*d.read_capacity_16);
        const std::uint64_t last = load_be64(r);
        if (last != UINT64_MAX) return Capacity{last + 1, load_be32(r.subspan(8))};
    }
    if (d.read_capacity_10 && d.read_capacity_10->size() >= 8) {
        const std::span<const std::uint8_t> r(*d.read_capacity_10);
        return Capacity{std::uint64_t{load_be32(r)} + 1, load_be32(r.subspan(4))};
    }
    return std::nullopt;
}

// The CDB zero-padded to 16 bytes, so that fields past its length read as zero.
using Cdb = std::array<std::uint8_t, 16>;

Reply inquiry(const SimDevice& d, const Cdb& cdb) {
    const std::size_t allocation = load_be16(std::span<const std::uint8_t>(cdb).subspan(3));
    if (cdb[1] & 0x02) return illegal_request(kAscInvalidFieldInCdb);  // CmdDt is long obsolete
    if (cdb[1] & 0x01) {
        const auto page = d.vpd.find(cdb[2]);
        if (page == d.vpd.end()) return illegal_request(kAscInvalidFieldInCdb);
        return good(cut(page->second, allocation));
    }
    if (cdb[2] != 0) return illegal_request(kAscInvalidFieldInCdb);
    if (!d.inquiry) return illegal_request(kAscInvalidOpcode);
    return good(cut(*d.inquiry, allocation));
}

Reply read_capacity_16(const SimDevice& d, const Cdb& cdb) {
    if ((cdb[1] & 0x1F) != 0x10 || !d.read_capacity_16) return illegal_request(kAscInvalidOpcode);
    return good(cut(*d.read_capacity_16, load_be32(std::span<const std::uint8_t>(cdb).subspan(10))));
}

// MODE SENSE(6): the 4-byte header and, unless DBD, an 8-byte block descriptor before the pages.
Reply mode_sense_6(const SimDevice& d, const Cdb& cdb) {
    const std::uint8_t page = cdb[2] & 0x3F;
    const bool block_descriptor = (cdb[1] & 0x08) == 0;
    Bytes data(4, 0);
    if (block_descriptor) {
        const std::optional<Capacity> cap = capacity_of(d);
        const std::uint64_t blocks = cap ? std::min<std::uint64_t>(cap->blocks, 0xFFFFFF) : 0;
        const std::uint32_t length = cap ? std::min<std::uint32_t>(cap->block_length, 0xFFFFFF) : kSimBlockBytes;
        data[3] = 8;
        data.resize(12, 0);
        store_be24(std::span<std::uint8_t>(data).subspan(5), static_cast<std::uint32_t>(blocks));
        store_be24(std::span<std::uint8_t>(data).subspan(9), length);
    }
    bool found = false;
    for (const auto& [code, bytes] : d.mode_pages) {
        if (page != 0x3F && code != page) continue;
        if (data.size() + bytes.size() > 0xFF) break;  // the mode data length is one byte
        found = true;
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    if (!found) return illegal_request(kAscInvalidFieldInCdb);
    data[0] = static_cast<std::uint8_t>(data.size() - 1);
    return good(cut(data, cdb[4]));
}

// READ(10) of 512-byte blocks; blocks the file does not list read as zeros, as on a fresh disk.
Reply read_10(const SimDevice& d, const Cdb& cdb, std::uint32_t transfer_limit) {
    const std::span<const std::uint8_t> c(cdb);
    const std::uint64_t lba = load_be32(c.subspan(2));
    const std::uint64_t count = load_be16(c.subspan(7));
    if (const std::optional<Capacity> cap = capacity_of(d); cap && lba + count > cap->blocks) {
        return illegal_request(kAscLbaOutOfRange);
    }
    const std::uint64_t wanted = std::min<std::uint64_t>(count * kSimBlockBytes, transfer_limit);
    Bytes data(static_cast<std::size_t>(wanted), 0);
    for (std::uint64_t i = 0; i * kSimBlockBytes < wanted; ++i) {
        const auto block = d.blocks.find(static_cast<std::uint32_t>(lba + i));
        if (block == d.blocks.end()) continue;
        const std::size_t at = static_cast<std::size_t>(i * kSimBlockBytes);
        const std::size_t n = std::min(block->second.size(), data.size() - at);
        std::copy_n(block->second.begin(), n, data.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return good(std::move(data));
}

// What the device answers to `cdb`. `transfer_limit` bounds replies that are built, not stored.
Reply answer(const SimDevice& d, std::span<const std::uint8_t> cdb_bytes, std::uint32_t transfer_limit) {
    const SimCommand* best = nullptr;
    for (const SimCommand& c : d.commands) {
        if (starts_with(cdb_bytes, c.cdb_prefix) && (!best || c.cdb_prefix.size() > best->cdb_prefix.size())) best = &c;
    }
    if (best) return good(best->reply);
    Cdb cdb{};
    std::copy(cdb_bytes.begin(), cdb_bytes.end(), cdb.begin());
    switch (cdb[0]) {
    case 0x00:  // TEST UNIT READY
    case 0x16:  // RESERVE(6)
    case 0x17:  // RELEASE(6)
        return good({});
    case 0x12:
        return inquiry(d, cdb);
    case 0x25:
        return d.read_capacity_10 ? good(*d.read_capacity_10) : illegal_request(kAscInvalidOpcode);
    case 0x9E:
        return read_capacity_16(d, cdb);
    case 0x1A:
        return mode_sense_6(d, cdb);
    case 0x28:
        return read_10(d, cdb, transfer_limit);
    default:
        return illegal_request(kAscInvalidOpcode);
    }
}

// WRITE BUFFER and READ BUFFER of a device tied to a simulated array carry its system calls, unless
// the file scripts the command itself.
std::optional<Reply> array_answer(const SimDevice& d, SimArrayResponder* array, const Bytes& cdb,
                                  const win::ScsiPassThroughDirect& sptd) {
    if (array == nullptr || (cdb[0] != kOpWriteBuffer && cdb[0] != kOpReadBuffer)) return std::nullopt;
    if (std::any_of(d.commands.begin(), d.commands.end(), [&cdb](const SimCommand& c) { return starts_with(cdb, c.cdb_prefix); })) {
        return std::nullopt;
    }
    SimArrayReply r;
    if (cdb[0] == kOpWriteBuffer) {
        const bool out = sptd.DataIn == win::SCSI_IOCTL_DATA_OUT && sptd.DataTransferLength > 0;
        r = array->write_buffer(cdb, out ? std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(sptd.DataBuffer),
                                                                         sptd.DataTransferLength)
                                         : std::span<const std::uint8_t>());
    } else {
        r = array->read_buffer(cdb);
    }
    if (!r.good) return illegal_request(r.asc);
    return good(std::move(r.data));
}

const char* direction_name(const win::ScsiPassThroughDirect& sptd) {
    if (sptd.DataTransferLength == 0) return "none";
    if (sptd.DataIn == win::SCSI_IOCTL_DATA_IN) return "in";
    if (sptd.DataIn == win::SCSI_IOCTL_DATA_OUT) return "out";
    return "none";
}

[[noreturn]] void refuse(std::span<const std::uint8_t> cdb, const std::string& path) {
    std::fprintf(stderr, "SIMULATED HOST: refused data-out command %s on %s\n", hex_text(cdb).c_str(), path.c_str());
    std::fflush(stderr);
    std::abort();
}

// Copies a built record to the caller's output buffer.
os_error give(const Bytes& record, void* out, std::uint32_t out_length, std::uint32_t& returned) {
    if (out == nullptr) return kErrorInvalidParameter;
    if (out_length < record.size()) return kErrorInsufficientBuffer;
    std::memcpy(out, record.data(), record.size());
    returned = static_cast<std::uint32_t>(record.size());
    return 0;
}

void put_le32(Bytes& b, std::size_t offset, std::uint32_t v) { store_le32(std::span<std::uint8_t>(b).subspan(offset), v); }

void put_le64(Bytes& b, std::size_t offset, std::uint64_t v) {
    put_le32(b, offset, static_cast<std::uint32_t>(v));
    put_le32(b, offset + 4, static_cast<std::uint32_t>(v >> 32));
}

// The adapter's MaximumPhysicalPages: what its longest transfer needs, plus one.
std::uint32_t adapter_pages(const SimDevice& d) { return d.max_transfer_length / 4096 + 1; }

// STORAGE_DEVICE_DESCRIPTOR: the fixed part, the raw properties, then the NUL-terminated texts.
os_error storage_property(const SimDevice& d, const void* in, std::uint32_t in_length, void* out,
                          std::uint32_t out_length, std::uint32_t& returned) {
    if (in == nullptr || in_length < 8) return kErrorInvalidParameter;
    std::uint32_t query[2];
    std::memcpy(query, in, sizeof query);
    if (query[0] != 0 && query[0] != win::kStorageAdapterProperty) return kErrorNotSupported;
    if (query[1] == 1) return 0;                   // PropertyExistsQuery
    if (query[1] != 0) return kErrorInvalidParameter;
    if (out == nullptr) return kErrorInvalidParameter;
    if (out_length < 8) return kErrorInsufficientBuffer;  // not even Version and Size fit
    if (query[0] == win::kStorageAdapterProperty) {
        Bytes adapter(sizeof(win::StorageAdapterDescriptor), 0);
        put_le32(adapter, 0, sizeof(win::StorageAdapterDescriptor));
        put_le32(adapter, 4, sizeof(win::StorageAdapterDescriptor));
        put_le32(adapter, 8, d.max_transfer_length);
        put_le32(adapter, 12, adapter_pages(d));
        put_le32(adapter, 16, d.alignment_mask);
        adapter[24] = kBusTypeScsi;
        return give(adapter, out, out_length, returned);
    }

    const Bytes none;
    const Bytes& inq = d.inquiry ? *d.inquiry : none;
    const Bytes& raw = d.storage_property ? *d.storage_property : inq;
    Bytes desc(win::kStorageDeviceDescriptorHeader, 0);
    desc.insert(desc.end(), raw.begin(), raw.end());
    auto append_text = [&desc](std::size_t offset_field, std::span<const std::uint8_t> text) {
        if (text.empty()) return;
        put_le32(desc, offset_field, static_cast<std::uint32_t>(desc.size()));
        desc.insert(desc.end(), text.begin(), text.end());
        desc.push_back(0);
    };
    const std::span<const std::uint8_t> inq_span(inq);
    if (inq.size() >= 16) append_text(12, inq_span.subspan(8, 8));
    if (inq.size() >= 32) append_text(16, inq_span.subspan(16, 16));
    if (inq.size() >= 36) append_text(20, inq_span.subspan(32, 4));
    if (const auto serial = d.vpd.find(0x80); serial != d.vpd.end() && serial->second.size() >= 4) {
        const std::span<const std::uint8_t> page(serial->second);
        append_text(24, page.subspan(4, std::min<std::size_t>(page[3], page.size() - 4)));
    }
    put_le32(desc, 0, sizeof(win::StorageDeviceDescriptor));
    put_le32(desc, 4, static_cast<std::uint32_t>(desc.size()));
    if (!inq.empty()) desc[8] = inq[0] & 0x1F;
    if (inq.size() >= 2) {
        desc[9] = inq[1] & 0x7F;
        desc[10] = inq[1] >> 7;
    }
    if (inq.size() >= 8) desc[11] = (inq[7] >> 1) & 1;
    put_le32(desc, 28, kBusTypeScsi);
    put_le32(desc, 32, static_cast<std::uint32_t>(raw.size()));
    // Like the real call, a short buffer gets the beginning; Size tells what it would take.
    returned = static_cast<std::uint32_t>(std::min<std::size_t>(desc.size(), out_length));
    std::memcpy(out, desc.data(), returned);
    return 0;
}

os_error device_number(const SimDevice& d, void* out, std::uint32_t out_length, std::uint32_t& returned) {
    const std::optional<std::uint32_t> number = d.device_number ? d.device_number : drive_number_in(d.path);
    if (!number) return kErrorInvalidFunction;
    Bytes record(sizeof(win::StorageDeviceNumber), 0);
    put_le32(record, 0, kFileDeviceDisk);
    put_le32(record, 4, *number);
    return give(record, out, out_length, returned);
}

os_error scsi_address(const SimDevice& d, void* out, std::uint32_t out_length, std::uint32_t& returned) {
    if (!d.address) return kErrorInvalidFunction;
    Bytes record(sizeof(win::ScsiAddress), 0);
    put_le32(record, 0, sizeof(win::ScsiAddress));
    record[4] = d.address->port;
    record[5] = d.address->path_id;
    record[6] = d.address->target_id;
    record[7] = d.address->lun;
    return give(record, out, out_length, returned);
}

// The length in bytes: from the file, else from the capacity.
std::optional<std::int64_t> length_of(const SimDevice& d, const SimDevice& answers) {
    if (d.partition_length) return d.partition_length;
    const std::optional<Capacity> cap = capacity_of(answers);
    if (!cap || cap->blocks > static_cast<std::uint64_t>(INT64_MAX) / std::max<std::uint32_t>(cap->block_length, 1)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(cap->blocks * cap->block_length);
}

// The whole disk as partition 0. Windows answers this request on MBR disks only.
os_error partition_info(const SimDevice& d, const SimDevice& answers, void* out, std::uint32_t out_length,
                        std::uint32_t& returned) {
    const std::optional<std::int64_t> length = length_of(d, answers);
    if (!length || d.gpt) return kErrorInvalidFunction;
    Bytes record(sizeof(win::PartitionInformation), 0);
    put_le64(record, 8, static_cast<std::uint64_t>(*length));
    return give(record, out, out_length, returned);
}

os_error length_info(const SimDevice& d, const SimDevice& answers, void* out, std::uint32_t out_length,
                     std::uint32_t& returned) {
    const std::optional<std::int64_t> length = length_of(d, answers);
    if (!length) return kErrorInvalidFunction;
    Bytes record(sizeof(win::GetLengthInformation), 0);
    put_le64(record, 0, static_cast<std::uint64_t>(*length));
    return give(record, out, out_length, returned);
}

// SCSI_ADAPTER_BUS_INFO with one bus holding the units of the device's adapter (port) that have
// INQUIRY data, each address once, in the file's order; a device without an address is alone.
os_error inquiry_data(const SimDevice& d, const std::vector<const SimDevice*>& all, void* out, std::uint32_t out_length,
                      std::uint32_t& returned) {
    constexpr std::size_t kBusData = 4;
    constexpr std::size_t kEntry = kBusData + sizeof(win::ScsiBusData);
    Bytes record(kEntry, 0);
    record[0] = 1;                // NumberOfBuses
    record[kBusData + 1] = 7;     // the initiator's own id
    std::vector<const SimDevice*> units;
    for (const SimDevice* u : d.address ? all : std::vector<const SimDevice*>{&d}) {
        const bool same_port = !d.address || (u->address && u->address->port == d.address->port);
        const auto same_unit = [u](const SimDevice* v) {
            return v->address->path_id == u->address->path_id && v->address->target_id == u->address->target_id &&
                   v->address->lun == u->address->lun;
        };
        if (!u->inquiry || !same_port) continue;
        if (d.address && std::any_of(units.begin(), units.end(), same_unit)) continue;
        units.push_back(u);
    }
    record[kBusData] = static_cast<std::uint8_t>(std::min<std::size_t>(units.size(), 255));  // NumberOfLogicalUnits
    if (!units.empty()) put_le32(record, kBusData + 4, kEntry);
    for (std::size_t i = 0; i < units.size() && i < 255; ++i) {
        const Bytes& inq = *units[i]->inquiry;
        const std::size_t at = record.size();
        record.resize(at + win::kScsiInquiryDataHeader, 0);
        const SimAddress address = units[i]->address.value_or(SimAddress{});
        record[at] = address.path_id;
        record[at + 1] = address.target_id;
        record[at + 2] = address.lun;
        record[at + 3] = 1;   // claimed by the disk driver
        put_le32(record, at + 4, static_cast<std::uint32_t>(inq.size()));
        record.insert(record.end(), inq.begin(), inq.end());
        // Entries start on 4-byte boundaries; the last one names no next.
        record.resize((record.size() + 3) & ~std::size_t{3}, 0);
        if (i + 1 < units.size() && i + 1 < 255) put_le32(record, at + 8, static_cast<std::uint32_t>(record.size()));
    }
    return give(record, out, out_length, returned);
}

const char* ioctl_name(std::uint32_t code) {
    switch (code) {
    case win::IOCTL_STORAGE_QUERY_PROPERTY: return "IOCTL_STORAGE_QUERY_PROPERTY";
    case win::IOCTL_SCSI_GET_ADDRESS: return "IOCTL_SCSI_GET_ADDRESS";
    case win::IOCTL_STORAGE_GET_DEVICE_NUMBER: return "IOCTL_STORAGE_GET_DEVICE_NUMBER";
    case win::IOCTL_DISK_GET_PARTITION_INFO: return "IOCTL_DISK_GET_PARTITION_INFO";
    case win::IOCTL_DISK_GET_LENGTH_INFO: return "IOCTL_DISK_GET_LENGTH_INFO";
    case win::IOCTL_SCSI_GET_INQUIRY_DATA: return "IOCTL_SCSI_GET_INQUIRY_DATA";
    default: return "ioctl";
    }
}

}  // namespace

// "\\.\PHYSICALDRIVE<n>" carries its own device number.
std::optional<std::uint32_t> drive_number_in(const std::string& path) {
    constexpr std::string_view kDrive = "PHYSICALDRIVE";
    const std::size_t digits_at = path.find_last_not_of("0123456789") + 1;  // 0 when there is no other character
    const std::size_t digits = path.size() - digits_at;
    if (digits == 0 || digits > 9 || digits_at < kDrive.size()) return std::nullopt;
    if (!same_device_path(std::string_view(path).substr(digits_at - kDrive.size(), kDrive.size()), kDrive)) {
        return std::nullopt;
    }
    std::uint32_t number = 0;
    std::from_chars(path.data() + digits_at, path.data() + path.size(), number);
    return number;
}

SimLatency with_fallback(const SimLatency& device, const SimLatency& fallback) {
    return SimLatency{device.pass_through_us ? device.pass_through_us : fallback.pass_through_us,
                      device.control_us ? device.control_us : fallback.control_us,
                      device.open_us ? device.open_us : fallback.open_us};
}

namespace {
char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool same_device_path(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

std::string device_path_key(std::string_view path) {
    std::string key(path);
    for (char& c : key) c = ascii_lower(c);
    return key;
}

bool open_cdb_log(const std::optional<std::string>& path, std::FILE*& out, std::string& error) {
    out = nullptr;
    if (!path || path->empty()) return true;
    errno = 0;
    out = std::fopen(path->c_str(), "ab");
    if (out == nullptr) {
        error = "CDB log \"" + *path + "\" (SIL_SIM_LOG) cannot be opened: " + std::strerror(errno);
        return false;
    }
    return true;
}

SimDeviceHost::SimDeviceHost(std::vector<SimDevice> devices, std::FILE* log, std::vector<SimArray> arrays,
                             double timeout_scale)
    : log_(log), timeout_scale_(timeout_scale) {
    for (SimArray& a : arrays) arrays_.push_back(std::make_unique<SimArrayResponder>(std::move(a)));
    answers_ = std::move(devices);
    devices_.reserve(answers_.size());
    by_path_.reserve(answers_.size());
    for (SimDevice& d : answers_) {
        std::vector<std::optional<std::uint32_t>> times;
        for (const SimFault& f : d.faults) times.push_back(f.times);
        by_path_.emplace(device_path_key(d.path), devices_.size());  // the loader lets no path repeat
        SimArrayResponder* array = nullptr;
        for (const auto& a : arrays_) {
            if (!d.array_serial.empty() && a->array().serial == d.array_serial) array = a.get();
        }
        const SimDevice& answers = d.answers_of && *d.answers_of < answers_.size() ? answers_[*d.answers_of] : d;
        devices_.push_back(DeviceState{d, answers, std::move(times), array});
    }
}

SimDeviceHost::~SimDeviceHost() {
    if (log_ != nullptr) std::fclose(log_);
}

// Called with mutex_ held, so lines of concurrent commands never interleave.
void SimDeviceHost::log_line(const std::string& line) {
    if (log_ == nullptr) return;
    std::fputs(line.c_str(), log_);
    std::fputc('\n', log_);
    std::fflush(log_);
}

void SimDeviceHost::note(const std::string& line) {
    std::lock_guard lock(mutex_);
    log_line(line);
}

// The bytes a WRITE BUFFER sent or a READ BUFFER received, 16 to a line under a count, so that a
// system call's request and reply can be read against its wire format.
void SimDeviceHost::log_data(const char* direction, const std::uint8_t* bytes, std::uint32_t count) {
    if (log_ == nullptr) return;
    std::string text = "# data-" + std::string(direction) + " " + std::to_string(count) + " bytes";
    for (std::uint32_t at = 0; at < count; at += 16) {
        char offset[16];
        std::snprintf(offset, sizeof offset, "\n#   %04x ", at);
        text += offset + hex_text(std::span<const std::uint8_t>(bytes + at, std::min<std::uint32_t>(16, count - at)));
    }
    log_line(text);  // one write, however long the buffer
}

const SimDeviceHost::OpenHandle* SimDeviceHost::find_handle(DeviceHandle handle) const {
    const auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : &it->second;
}

namespace {

// Real time passes here, outside the host's mutex.
void wait_real(std::uint64_t microseconds) {
    if (microseconds != 0) std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

}  // namespace

os_error SimDeviceHost::open_device(const DeviceOpenRequest& request, DeviceHandle& out) {
    std::uint64_t wait_us = 0;
    os_error result = 0;
    {
        std::lock_guard lock(mutex_);
        result = open_locked(request, out, wait_us);
    }
    wait_real(wait_us);
    return result;
}

os_error SimDeviceHost::open_locked(const DeviceOpenRequest& request, DeviceHandle& out, std::uint64_t& wait_us) {
    out = 0;
    const auto found = by_path_.find(device_path_key(request.path));
    DeviceState* const state = found == by_path_.end() ? nullptr : &devices_[found->second];
    os_error result = kErrorFileNotFound;
    if (state != nullptr) {
        wait_us = state->device.latency.open_us.value_or(0);
        const bool writing = (request.desired_access & win::GENERIC_WRITE) != 0;
        switch (state->device.open) {
        case OpenBehaviour::ok: result = 0; break;
        case OpenBehaviour::not_found: result = kErrorFileNotFound; break;
        case OpenBehaviour::sharing_violation: result = kErrorSharingViolation; break;
        case OpenBehaviour::access_denied: result = kErrorAccessDenied; break;
        case OpenBehaviour::sharing_violation_then_read_only: result = writing ? kErrorSharingViolation : 0; break;
        }
        if (state->device.recorded && state->device.recorded->open_error) result = *state->device.recorded->open_error;
    }
    if (result == 0) {
        out = next_handle_;
        next_handle_ += 4;  // Windows handles are multiples of 4
        handles_[out] = OpenHandle{found->second, request.desired_access};
    }
    char access[16];
    std::snprintf(access, sizeof access, "0x%08x", request.desired_access);
    log_line("# open " + request.path + " " + access + " -> " + std::to_string(result));
    return result;
}

os_error SimDeviceHost::close_device(DeviceHandle handle) {
    std::lock_guard lock(mutex_);
    const OpenHandle* h = find_handle(handle);
    if (h == nullptr) return kErrorInvalidHandle;
    log_line("# close " + devices_[h->device].device.path);
    handles_.erase(handle);
    return 0;
}

std::uint32_t SimDeviceHost::set_error_mode(std::uint32_t mode) {
    std::lock_guard lock(mutex_);
    return std::exchange(error_modes_[std::this_thread::get_id()], mode);
}

const SimFault* SimDeviceHost::take_fault(DeviceState& state, const Bytes& cdb) {
    for (std::size_t i = 0; i < state.device.faults.size(); ++i) {
        const SimFault& f = state.device.faults[i];
        std::optional<std::uint32_t>& left = state.fault_times_left[i];
        if (!starts_with(cdb, f.cdb_prefix) || (left && *left == 0)) continue;
        if (left) --*left;
        return &f;
    }
    return nullptr;
}

os_error SimDeviceHost::pass_through(DeviceState& state, const void* in, std::uint32_t in_length, void* out,
                                     std::uint32_t out_length, std::uint32_t& returned, std::uint64_t& wait_us) {
    if (in == nullptr || out == nullptr || in_length < kBlockBytes || out_length < kBlockBytes) {
        return kErrorInvalidParameter;
    }
    win::ScsiPassThroughDirect sptd;
    std::memcpy(&sptd, in, sizeof sptd);
    const bool sense_fits = sptd.SenseInfoLength == 0 ||
                            (sptd.SenseInfoOffset >= sizeof sptd && sptd.SenseInfoOffset <= out_length &&
                             sptd.SenseInfoLength <= out_length - sptd.SenseInfoOffset);
    if (sptd.Length != sizeof sptd || sptd.CdbLength == 0 || sptd.CdbLength > sizeof sptd.Cdb || !sense_fits ||
        (sptd.DataTransferLength > 0 && sptd.DataBuffer == nullptr)) {
        return kErrorInvalidParameter;
    }
    const Bytes cdb(sptd.Cdb, sptd.Cdb + sptd.CdbLength);
    const SimDevice& d = state.device;
    wait_us = d.latency.pass_through_us.value_or(0);
    log_line(d.path + " " + direction_name(sptd) + " " + std::to_string(sptd.DataTransferLength) + " " + hex_text(cdb));
    const bool data_out = sptd.DataIn == win::SCSI_IOCTL_DATA_OUT;
    if ((data_out && cdb[0] != kOpWriteBuffer) || changes_data(cdb[0])) refuse(cdb, d.path);
    const auto buffer_at = reinterpret_cast<std::uintptr_t>(sptd.DataBuffer);
    const std::uint64_t pages_spanned = (buffer_at % 4096 + std::uint64_t{sptd.DataTransferLength} + 4095) / 4096;
    if (sptd.DataTransferLength > 0 &&
        ((buffer_at & d.alignment_mask) != 0 || sptd.DataTransferLength > d.max_transfer_length ||
         pages_spanned > adapter_pages(d))) {
        log_line("# pass-through refused by the adapter -> " + std::to_string(kErrorInvalidParameter));
        return kErrorInvalidParameter;
    }
    if (data_out && sptd.DataTransferLength > 0) {
        log_data("out", static_cast<const std::uint8_t*>(sptd.DataBuffer), sptd.DataTransferLength);
    }

    const auto respond = [&] {
        std::optional<Reply> r = array_answer(state.answers, state.array, cdb, sptd);
        return r ? std::move(*r) : answer(state.answers, cdb, sptd.DataTransferLength);
    };
    const SimFault* fault = take_fault(state, cdb);
    Reply reply;
    std::uint64_t moved_limit = UINT64_MAX;
    if (fault != nullptr) {
        switch (fault->kind) {
        case FaultKind::access_denied: return kErrorAccessDenied;
        case FaultKind::io_error: return kErrorIoDevice;
        case FaultKind::timeout: return kErrorSemTimeout;
        case FaultKind::no_answer:
            // The request comes back only when the time-out the caller gave it has passed.
            wait_us = static_cast<std::uint64_t>(std::llround(sptd.TimeOutValue * 1e6 * timeout_scale_));
            log_line("# no answer: waited " + std::to_string(wait_us) + " us for the " +
                     std::to_string(sptd.TimeOutValue) + " s time-out -> " + std::to_string(kErrorSemTimeout));
            return kErrorSemTimeout;
        case FaultKind::check_condition: reply = Reply{kStatusCheckCondition, {}, fault->sense}; break;
        case FaultKind::scsi_status: reply = Reply{fault->status, {}, {}}; break;
        case FaultKind::short_transfer:
            reply = respond();
            moved_limit = fault->bytes;
            break;
        }
    } else {
        reply = respond();
    }

    std::uint32_t moved = 0;
    if (reply.status == kStatusGood && sptd.DataIn == win::SCSI_IOCTL_DATA_IN) {
        moved = static_cast<std::uint32_t>(
            std::min<std::uint64_t>({reply.data.size(), sptd.DataTransferLength, moved_limit}));
        if (moved > 0) std::memcpy(sptd.DataBuffer, reply.data.data(), moved);
    } else if (reply.status == kStatusGood && data_out) {
        moved = static_cast<std::uint32_t>(std::min<std::uint64_t>(sptd.DataTransferLength, moved_limit));
    }
    if (cdb[0] == kOpReadBuffer) log_data("in", static_cast<const std::uint8_t*>(sptd.DataBuffer), moved);
    const auto sense_length = static_cast<std::uint8_t>(std::min<std::size_t>(reply.sense.size(), sptd.SenseInfoLength));
    sptd.ScsiStatus = reply.status;
    sptd.DataTransferLength = moved;
    sptd.SenseInfoLength = sense_length;
    std::memcpy(out, &sptd, sizeof sptd);
    if (sense_length > 0) std::memcpy(static_cast<std::uint8_t*>(out) + sptd.SenseInfoOffset, reply.sense.data(), sense_length);
    returned = sense_length > 0 ? sptd.SenseInfoOffset + sense_length : static_cast<std::uint32_t>(sizeof sptd);
    return 0;
}

os_error SimDeviceHost::device_io_control(DeviceHandle handle, std::uint32_t code, const void* in,
                                          std::uint32_t in_length, void* out, std::uint32_t out_length,
                                          std::uint32_t& returned) {
    std::uint64_t wait_us = 0;
    os_error result = 0;
    {
        std::lock_guard lock(mutex_);
        result = control_locked(handle, code, in, in_length, out, out_length, returned, wait_us);
    }
    wait_real(wait_us);
    return result;
}

os_error SimDeviceHost::control_locked(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t in_length,
                                       void* out, std::uint32_t out_length, std::uint32_t& returned,
                                       std::uint64_t& wait_us) {
    returned = 0;
    const OpenHandle* h = find_handle(handle);
    if (h == nullptr) return kErrorInvalidHandle;
    DeviceState& state = devices_[h->device];
    const SimDevice& d = state.device;
    if (code != win::IOCTL_SCSI_PASS_THROUGH_DIRECT) wait_us = d.latency.control_us.value_or(0);
    // A captured host's answers come first: they are what that host said, whatever the handle.
    if (d.recorded) {
        const bool pass = code == win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
        if (pass && in != nullptr && in_length >= sizeof(win::ScsiPassThroughDirect)) {
            win::ScsiPassThroughDirect sptd;
            std::memcpy(&sptd, in, sizeof sptd);
            const std::span<const std::uint8_t> cdb(sptd.Cdb, std::min<std::size_t>(sptd.CdbLength, sizeof sptd.Cdb));
            log_line(d.path + " " + direction_name(sptd) + " " + std::to_string(sptd.DataTransferLength) + " " + hex_text(cdb));
        }
        const std::optional<os_error> recorded = pass ? d.recorded->pass_through(false, in, in_length, out, out_length, returned)
                                                      : d.recorded->io_control(code, in, in_length, out, out_length, returned);
        if (recorded) {
            if (!pass) log_line("# " + std::string(ioctl_name(code)) + " " + d.path + " -> " + std::to_string(*recorded));
            return *recorded;
        }
    }
    // The access bits of the control code name what the handle must have been opened for.
    const std::uint32_t required = (code >> 14) & 3;
    if (((required & 1) && !(h->access & win::GENERIC_READ)) || ((required & 2) && !(h->access & win::GENERIC_WRITE))) {
        log_line("# " + std::string(ioctl_name(code)) + " " + d.path + " -> " + std::to_string(kErrorAccessDenied));
        return kErrorAccessDenied;
    }
    os_error result = kErrorInvalidFunction;
    switch (code) {
    case win::IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return pass_through(state, in, in_length, out, out_length, returned, wait_us);
    case win::IOCTL_STORAGE_QUERY_PROPERTY:
        result = storage_property(state.answers, in, in_length, out, out_length, returned);
        break;
    case win::IOCTL_SCSI_GET_ADDRESS:
        result = scsi_address(d, out, out_length, returned);
        break;
    case win::IOCTL_STORAGE_GET_DEVICE_NUMBER:
        result = device_number(d, out, out_length, returned);
        break;
    case win::IOCTL_DISK_GET_PARTITION_INFO:
        result = partition_info(d, state.answers, out, out_length, returned);
        break;
    case win::IOCTL_DISK_GET_LENGTH_INFO:
        result = length_info(d, state.answers, out, out_length, returned);
        break;
    case win::IOCTL_SCSI_GET_INQUIRY_DATA:
    {
        std::vector<const SimDevice*> all;
        for (const DeviceState& s : devices_) all.push_back(&s.answers);
        result = inquiry_data(state.answers, all, out, out_length, returned);
    }
        break;
    default:
        break;
    }
    std::string name = ioctl_name(code);
    // The adapter's descriptor and the device's share the control code; the log tells them apart.
    std::uint32_t property = 0;
    if (code == win::IOCTL_STORAGE_QUERY_PROPERTY && in != nullptr && in_length >= sizeof property) {
        std::memcpy(&property, in, sizeof property);
        if (property == win::kStorageAdapterProperty) name += "(StorageAdapterProperty)";
    }
    log_line("# " + name + " " + d.path + " -> " + std::to_string(result));
    return result;
}

std::uint32_t SimDeviceHost::mp_scsi_pass_through(DeviceHandle handle, std::uint32_t value, void* block) {
    std::uint64_t wait_us = 0;
    std::uint32_t result = 0;
    {
        std::lock_guard lock(mutex_);
        const OpenHandle* h = find_handle(handle);
        if (h == nullptr) return kErrorInvalidHandle;
        DeviceState& state = devices_[h->device];
        std::uint32_t returned = 0;
        if (state.device.recorded) {
            if (const auto recorded = state.device.recorded->pass_through(true, block, kBlockBytes, block, kBlockBytes, returned)) {
                return *recorded;
            }
        }
        switch (state.device.multipath) {
        case MultipathMode::absent: return kMpNotEnabled;
        case MultipathMode::fail: return kMpFailed;
        case MultipathMode::ok: break;
        }
        result = pass_through(state, block, kBlockBytes, block, kBlockBytes, returned, wait_us);
    }
    wait_real(wait_us);
    return result;
}

}  // namespace pds::sim
