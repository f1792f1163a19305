// The linux provider's device table: opens with Windows access and sharing, and the seven Windows storage requests answered from SG_IO, block ioctls and sysfs.
#include "linux_devices.h"

#include "linux_sg.h"
#include "linux_sysfs.h"
#include "pds/byteorder.h"
#include "pds/win_device_layouts.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>

namespace pds::linux_devices {

using linux_sysfs::Bytes;

struct OpenDevice {
    int fd = -1;
    std::string path;
    std::optional<linux_sysfs::BlockFacts> block;
    std::optional<linux_sysfs::ScsiDeviceFacts> scsi;

    OpenDevice() = default;
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;
    ~OpenDevice() {
        if (fd >= 0) ::close(fd);
    }
};

namespace {

constexpr std::uint32_t kFileDeviceDisk = 7;
constexpr std::uint64_t kPageBytes = 4096;

os_error open_error(int error_number) {
    switch (error_number) {
    case ENOENT:
    case ENXIO:
    case ENODEV: return kErrorFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    case EBUSY: return kErrorSharingViolation;
    case ENOMEM: return kErrorNotEnoughMemory;
    default: return kErrorIoDevice;
    }
}

void put_le32(Bytes& b, std::size_t offset, std::uint32_t v) { store_le32(std::span<std::uint8_t>(b).subspan(offset), v); }
void put_le64(Bytes& b, std::size_t offset, std::uint64_t v) {
    put_le32(b, offset, static_cast<std::uint32_t>(v));
    put_le32(b, offset + 4, static_cast<std::uint32_t>(v >> 32));
}

// A fixed-size record into the caller's buffer.
os_error give(const Bytes& record, void* out, std::uint32_t out_length, std::uint32_t& returned) {
    if (out == nullptr || out_length < record.size()) return kErrorInsufficientBuffer;
    std::memcpy(out, record.data(), record.size());
    returned = static_cast<std::uint32_t>(record.size());
    return 0;
}

// A storage descriptor: the whole of it when it fits, else only Version and Size, which tell the
// caller the buffer it needs.
os_error give_descriptor(const Bytes& descriptor, void* out, std::uint32_t out_length, std::uint32_t& returned) {
    if (out == nullptr || out_length < 8) return kErrorInsufficientBuffer;
    returned = out_length >= descriptor.size() ? static_cast<std::uint32_t>(descriptor.size()) : 8;
    std::memcpy(out, descriptor.data(), returned);
    return 0;
}

// The limits the adapter descriptor states; 0 is a limit not stated.
struct AdapterLimits {
    std::uint32_t max_transfer = 0;
    std::uint32_t max_pages = 0;
    std::uint32_t alignment_mask = 0;
};

std::optional<AdapterLimits> adapter_limits(const OpenDevice& d) {
    if (!d.block && !d.scsi) return std::nullopt;
    AdapterLimits limits;
    if (d.block) {
        const std::uint64_t bytes = std::uint64_t{d.block->max_sectors_kb.value_or(0)} * 1024;
        limits.max_transfer = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, UINT32_MAX));
        limits.max_pages = d.block->max_segments.value_or(0);
        limits.alignment_mask = d.block->dma_alignment.value_or(0);
    }
    return limits;
}

std::uint32_t bus_type(const OpenDevice& d) { return d.scsi ? d.scsi->bus_type : linux_sysfs::kBusScsi; }

Bytes adapter_descriptor(const OpenDevice& d, const AdapterLimits& limits) {
    Bytes desc(sizeof(win::StorageAdapterDescriptor), 0);
    put_le32(desc, 0, sizeof(win::StorageAdapterDescriptor));
    put_le32(desc, 4, sizeof(win::StorageAdapterDescriptor));
    put_le32(desc, offsetof(win::StorageAdapterDescriptor, MaximumTransferLength), limits.max_transfer);
    put_le32(desc, offsetof(win::StorageAdapterDescriptor, MaximumPhysicalPages), limits.max_pages);
    put_le32(desc, offsetof(win::StorageAdapterDescriptor, AlignmentMask), limits.alignment_mask);
    desc[offsetof(win::StorageAdapterDescriptor, BusType)] = static_cast<std::uint8_t>(bus_type(d));
    return desc;
}

Bytes device_descriptor(const OpenDevice& d) { return device_descriptor_record(*d.scsi, d.block ? &*d.block : nullptr); }

os_error query_property(const OpenDevice& d, const void* in, std::uint32_t in_length, void* out,
                        std::uint32_t out_length, std::uint32_t& returned) {
    if (in == nullptr || in_length < 8) return kErrorInvalidParameter;
    std::uint32_t query[2];
    std::memcpy(query, in, sizeof query);
    const bool adapter = query[0] == win::kStorageAdapterProperty;
    if (query[0] != 0 && !adapter) return kErrorNotSupported;
    const std::optional<AdapterLimits> limits = adapter_limits(d);
    if (adapter ? !limits : !d.scsi) return kErrorInvalidFunction;
    if (query[1] == 1) return 0;  // PropertyExistsQuery
    if (query[1] != 0) return kErrorInvalidParameter;
    return give_descriptor(adapter ? adapter_descriptor(d, *limits) : device_descriptor(d), out, out_length, returned);
}

os_error scsi_address(const OpenDevice& d, void* out, std::uint32_t out_length, std::uint32_t& returned) {
    if (!d.scsi || !d.scsi->address) return kErrorInvalidFunction;
    Bytes record;
    if (const os_error e = scsi_address_record(*d.scsi->address, record)) return e;
    return give(record, out, out_length, returned);
}

os_error disk_length(const OpenDevice& d, std::uint64_t& length) {
    if (::ioctl(d.fd, BLKGETSIZE64, &length) != 0) return linux_sg::ioctl_error(errno);
    return 0;
}

os_error length_info(const OpenDevice& d, void* out, std::uint32_t out_length, std::uint32_t& returned) {
    std::uint64_t length = 0;
    if (const os_error e = disk_length(d, length)) return e;
    Bytes record(sizeof(win::GetLengthInformation), 0);
    put_le64(record, 0, length);
    return give(record, out, out_length, returned);
}

os_error partition_info(const OpenDevice& d, void* out, std::uint32_t out_length, std::uint32_t& returned) {
    if (!d.block || !d.block->partition) return kErrorInvalidFunction;
    std::uint64_t length = 0;
    if (const os_error e = disk_length(d, length)) return e;
    const std::uint64_t start = *d.block->partition != 0 ? d.block->start.value_or(0) : 0;
    Bytes record(sizeof(win::PartitionInformation), 0);
    put_le64(record, offsetof(win::PartitionInformation, StartingOffset), start * 512);
    put_le64(record, offsetof(win::PartitionInformation, PartitionLength), length);
    put_le32(record, offsetof(win::PartitionInformation, HiddenSectors),
             static_cast<std::uint32_t>(std::min<std::uint64_t>(start, UINT32_MAX)));
    put_le32(record, offsetof(win::PartitionInformation, PartitionNumber), *d.block->partition);
    record[offsetof(win::PartitionInformation, RecognizedPartition)] = 1;
    return give(record, out, out_length, returned);
}

// Windows refuses a transfer its adapter cannot carry before sending it; so does this table,
// by the limits its adapter descriptor states.
bool adapter_refuses(const OpenDevice& d, const win::ScsiPassThroughDirect& sptd) {
    const std::optional<AdapterLimits> limits = adapter_limits(d);
    if (!limits || sptd.DataTransferLength == 0) return false;
    const auto at = reinterpret_cast<std::uintptr_t>(sptd.DataBuffer);
    const std::uint64_t pages = (at % kPageBytes + std::uint64_t{sptd.DataTransferLength} + kPageBytes - 1) / kPageBytes;
    return (at & limits->alignment_mask) != 0 || (limits->max_transfer != 0 && sptd.DataTransferLength > limits->max_transfer) ||
           (limits->max_pages != 0 && pages > limits->max_pages);
}

os_error pass_through(const OpenDevice& d, const void* in, std::uint32_t in_length, void* out,
                      std::uint32_t out_length, std::uint32_t& returned) {
    win::ScsiPassThroughDirect sptd;
    if (in == nullptr || out == nullptr || in_length < sizeof sptd || out_length < sizeof sptd) {
        return kErrorInvalidParameter;
    }
    std::memcpy(&sptd, in, sizeof sptd);
    auto* const block = static_cast<std::uint8_t*>(out);
    std::uint8_t cdb[16];
    sg_io_hdr request;
    if (const os_error e = linux_sg::request_from_block(sptd, block, out_length, cdb, request)) return e;
    if (adapter_refuses(d, sptd)) return kErrorInvalidParameter;
    int rc = 0;
    do {
        rc = ::ioctl(d.fd, SG_IO, &request);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return linux_sg::ioctl_error(errno);
    if (const os_error e = linux_sg::transport_error(request)) return e;
    linux_sg::answer_into_block(request, sptd);
    std::memcpy(block, &sptd, sizeof sptd);
    returned = sptd.SenseInfoLength > 0 ? sptd.SenseInfoOffset + sptd.SenseInfoLength
                                        : static_cast<std::uint32_t>(sizeof sptd);
    return 0;
}

}  // namespace

// STORAGE_DEVICE_DESCRIPTOR: the fixed part, the kernel's INQUIRY bytes, then the NUL-terminated
// texts the kernel reports.
Bytes device_descriptor_record(const linux_sysfs::ScsiDeviceFacts& facts, const linux_sysfs::BlockFacts* block) {
    const Bytes none;
    const Bytes& inq = facts.inquiry ? *facts.inquiry : none;
    Bytes desc(win::kStorageDeviceDescriptorHeader, 0);
    desc.insert(desc.end(), inq.begin(), inq.end());
    const auto append_text = [&desc](std::size_t offset_field, const std::optional<std::string>& text) {
        if (!text) return;
        put_le32(desc, offset_field, static_cast<std::uint32_t>(desc.size()));
        desc.insert(desc.end(), text->begin(), text->end());
        desc.push_back(0);
    };
    append_text(offsetof(win::StorageDeviceDescriptor, VendorIdOffset), facts.vendor);
    append_text(offsetof(win::StorageDeviceDescriptor, ProductIdOffset), facts.model);
    append_text(offsetof(win::StorageDeviceDescriptor, ProductRevisionOffset), facts.revision);
    append_text(offsetof(win::StorageDeviceDescriptor, SerialNumberOffset), facts.serial);
    put_le32(desc, 0, sizeof(win::StorageDeviceDescriptor));
    put_le32(desc, 4, static_cast<std::uint32_t>(desc.size()));
    if (!inq.empty()) desc[offsetof(win::StorageDeviceDescriptor, DeviceType)] = inq[0] & 0x1F;
    if (inq.size() >= 2) desc[offsetof(win::StorageDeviceDescriptor, DeviceTypeModifier)] = inq[1] & 0x7F;
    const bool removable = block != nullptr && block->removable ? *block->removable : inq.size() >= 2 && (inq[1] & 0x80);
    desc[offsetof(win::StorageDeviceDescriptor, RemovableMedia)] = removable ? 1 : 0;
    if (inq.size() >= 8) desc[offsetof(win::StorageDeviceDescriptor, CommandQueueing)] = (inq[7] >> 1) & 1;
    put_le32(desc, offsetof(win::StorageDeviceDescriptor, BusType), facts.bus_type);
    put_le32(desc, offsetof(win::StorageDeviceDescriptor, RawPropertiesLength), static_cast<std::uint32_t>(inq.size()));
    return desc;
}

os_error scsi_address_record(const linux_sysfs::Hctl& a, Bytes& record) {
    record.clear();
    // A number the record's byte cannot hold would name another unit.
    if (a.channel > 255 || a.target > 255 || a.lun > 255) return kErrorNotSupported;
    record.assign(sizeof(win::ScsiAddress), 0);
    put_le32(record, 0, sizeof(win::ScsiAddress));
    record[4] = static_cast<std::uint8_t>(std::min<std::uint32_t>(a.host, 255));  // shown nowhere
    record[5] = static_cast<std::uint8_t>(a.channel);
    record[6] = static_cast<std::uint8_t>(a.target);
    record[7] = static_cast<std::uint8_t>(a.lun);
    return 0;
}

// SCSI_ADAPTER_BUS_INFO: one bus per channel up to the highest, each with its logical units
// (those whose address fits the record's bytes) chained in address order.
Bytes bus_info_record(std::vector<linux_sysfs::HostUnit> units, std::optional<std::uint32_t> own_id) {
    std::erase_if(units, [](const linux_sysfs::HostUnit& u) {
        return u.address.channel > 255 || u.address.target > 255 || u.address.lun > 255;
    });
    std::uint32_t buses = 0;
    for (const auto& u : units) buses = std::max(buses, u.address.channel + 1);
    constexpr std::size_t kBusData = 4;
    const auto own = static_cast<std::uint8_t>(std::min<std::uint32_t>(own_id.value_or(255), 255));
    Bytes record(kBusData + buses * sizeof(win::ScsiBusData), 0);
    record[0] = static_cast<std::uint8_t>(buses);
    for (std::uint32_t bus = 0; bus < buses; ++bus) {
        const std::size_t bus_at = kBusData + bus * sizeof(win::ScsiBusData);
        record[bus_at + 1] = own;
        std::size_t previous = 0;
        for (const auto& u : units) {
            if (u.address.channel != bus) continue;
            if (record[bus_at] == 255) break;  // the count is one byte
            const std::size_t at = record.size();
            record.resize(at + win::kScsiInquiryDataHeader, 0);
            record[at] = static_cast<std::uint8_t>(u.address.channel);
            record[at + 1] = static_cast<std::uint8_t>(u.address.target);
            record[at + 2] = static_cast<std::uint8_t>(u.address.lun);
            record[at + 3] = u.claimed ? 1 : 0;
            put_le32(record, at + 4, static_cast<std::uint32_t>(u.inquiry.size()));
            record.insert(record.end(), u.inquiry.begin(), u.inquiry.end());
            record.resize((record.size() + 3) & ~std::size_t{3}, 0);  // entries start on 4-byte boundaries
            if (previous == 0) {
                put_le32(record, bus_at + 4, static_cast<std::uint32_t>(at));
            } else {
                put_le32(record, previous + 8, static_cast<std::uint32_t>(at));
            }
            previous = at;
            ++record[bus_at];
        }
    }
    return record;
}

DeviceTable::DeviceTable(std::string sysfs_root, std::string veritas_dir)
    : sysfs_root_(std::move(sysfs_root)), veritas_dir_(std::move(veritas_dir)) {}

DeviceTable::~DeviceTable() = default;

os_error DeviceTable::open(const DeviceOpenRequest& request, DeviceHandle& out) {
    out = 0;
    if (request.path.empty() || request.path.find('\0') != std::string::npos) return kErrorFileNotFound;
    int flags = (request.desired_access & win::GENERIC_WRITE) != 0 ? O_RDWR : O_RDONLY;
    flags |= O_NONBLOCK | O_CLOEXEC;
    if (request.share_mode == 0) flags |= O_EXCL;  // nobody else may have the disk open meanwhile
    auto device = std::make_shared<OpenDevice>();
    device->fd = ::open(request.path.c_str(), flags);
    // CreateFileA opens a write-protected disk for writing too (the writes fail later); the sd
    // driver refuses such an open, so the disk is opened for reading, as a write-disabled
    // replica must still be inquired.
    if (device->fd < 0 && errno == EROFS && (flags & O_ACCMODE) == O_RDWR) {
        device->fd = ::open(request.path.c_str(), (flags & ~O_ACCMODE) | O_RDONLY);
    }
    if (device->fd < 0) return open_error(errno);
    device->path = request.path;
    struct stat st {};
    if (::fstat(device->fd, &st) != 0) return open_error(errno);
    // CreateFileA opens no directory without backup semantics.
    if (S_ISDIR(st.st_mode)) return kErrorAccessDenied;
    if (S_ISBLK(st.st_mode)) {
        device->block = linux_sysfs::block_facts(sysfs_root_, ::major(st.st_rdev), ::minor(st.st_rdev));
        if (device->block && device->block->scsi_device) {
            device->scsi = linux_sysfs::scsi_device_facts(*device->block->scsi_device);
        }
    } else if (S_ISCHR(st.st_mode)) {
        if (const auto dir = linux_sysfs::char_scsi_device(sysfs_root_, ::major(st.st_rdev), ::minor(st.st_rdev))) {
            device->scsi = linux_sysfs::scsi_device_facts(*dir);
        }
    }
    std::lock_guard lock(mutex_);
    out = next_handle_;
    next_handle_ += 4;
    handles_.emplace(out, std::move(device));
    return 0;
}

os_error DeviceTable::close(DeviceHandle handle) {
    std::shared_ptr<OpenDevice> device;
    {
        std::lock_guard lock(mutex_);
        const auto it = handles_.find(handle);
        if (it == handles_.end()) return kErrorInvalidHandle;
        device = std::move(it->second);
        handles_.erase(it);
    }
    return 0;
}

std::shared_ptr<OpenDevice> DeviceTable::find(DeviceHandle handle) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second;
}

bool DeviceTable::multipath_map(DeviceHandle handle) {
    const std::shared_ptr<OpenDevice> device = find(handle);
    return device && device->block && device->block->multipath_map;
}

os_error DeviceTable::device_number(const OpenDevice& d, void* out, std::uint32_t out_length, std::uint32_t& returned) {
    // A multipath map is no disk of its own; its paths are.
    if (d.block && d.block->multipath_map) return kErrorInvalidFunction;
    std::optional<std::uint32_t> number = d.block ? linux_sysfs::sd_index(d.block->disk_name) : std::nullopt;
    if (!number) {
        std::lock_guard lock(mutex_);
        const auto [it, added] = other_numbers_.emplace(
            d.path, kFirstOtherDiskNumber + static_cast<std::uint32_t>(other_numbers_.size()));
        number = it->second;
    }
    Bytes record(sizeof(win::StorageDeviceNumber), 0);
    put_le32(record, 0, kFileDeviceDisk);
    put_le32(record, 4, *number);
    put_le32(record, 8, d.block ? d.block->partition.value_or(0) : 0);
    return give(record, out, out_length, returned);
}

os_error DeviceTable::bus_info(const OpenDevice& d, void* out, std::uint32_t out_length, std::uint32_t& returned) {
    if (!d.scsi || !d.scsi->address) return kErrorInvalidFunction;
    const std::uint32_t host = d.scsi->address->host;
    return give(bus_info_record(linux_sysfs::host_units(sysfs_root_, host), linux_sysfs::host_own_id(sysfs_root_, host)),
                out, out_length, returned);
}

os_error DeviceTable::io_control(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t in_length,
                                 void* out, std::uint32_t out_length, std::uint32_t& returned) {
    returned = 0;
    const std::shared_ptr<OpenDevice> device = find(handle);
    if (!device) return kErrorInvalidHandle;
    const OpenDevice& d = *device;
    switch (code) {
    case win::IOCTL_SCSI_PASS_THROUGH_DIRECT: return pass_through(d, in, in_length, out, out_length, returned);
    case win::IOCTL_STORAGE_QUERY_PROPERTY: return query_property(d, in, in_length, out, out_length, returned);
    case win::IOCTL_SCSI_GET_ADDRESS: return scsi_address(d, out, out_length, returned);
    case win::IOCTL_SCSI_GET_INQUIRY_DATA: return bus_info(d, out, out_length, returned);
    case win::IOCTL_STORAGE_GET_DEVICE_NUMBER: return device_number(d, out, out_length, returned);
    case win::IOCTL_DISK_GET_LENGTH_INFO: return length_info(d, out, out_length, returned);
    case win::IOCTL_DISK_GET_PARTITION_INFO: return partition_info(d, out, out_length, returned);
    default: return kErrorInvalidFunction;
    }
}

std::vector<std::string> DeviceTable::disk_paths() const {
    std::vector<std::string> paths;
    for (const linux_sysfs::ScsiDisk& disk : linux_sysfs::scsi_disks(sysfs_root_)) paths.push_back("/dev/" + disk.name);
    for (const std::string& node : linux_sysfs::directory_names(veritas_dir_)) paths.push_back(veritas_dir_ + "/" + node);
    return paths;
}

std::string DeviceTable::disk_name(std::uint32_t number) {
    if (number < kFirstOtherDiskNumber) {
        const std::string name = linux_sysfs::sd_name(number);
        struct stat st {};
        return ::stat((sysfs_root_ + "/class/block/" + name).c_str(), &st) == 0 ? "/dev/" + name : std::string();
    }
    std::lock_guard lock(mutex_);
    for (const auto& [path, n] : other_numbers_) {
        if (n == number) return path;
    }
    return {};
}

}  // namespace pds::linux_devices
