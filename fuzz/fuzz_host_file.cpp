// Fuzz target: arbitrary bytes as a simulated host file; a refusal must be one line, an accepted file must start and answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pds/win_device_layouts.h"
#include "sim_discovery.h"
#include "sim_host_file.h"

namespace {

namespace sim = pds::sim;

// What the library asks first of every device: opened, INQUIRY and the other control codes, closed.
void walk_devices(sim::SimDeviceHost& engine, const std::vector<sim::SimDevice>& devices) {
    for (const sim::SimDevice& d : devices) {
        pds::DeviceOpenRequest request;
        request.path = d.path;
        request.desired_access = pds::win::GENERIC_READ | pds::win::GENERIC_WRITE;
        pds::DeviceHandle handle = 0;
        if (engine.open_device(request, handle) != 0) continue;
        std::uint8_t data[255];
        pds::win::ScsiPassThroughDirectWithSense block{};
        block.sptd.Length = sizeof block.sptd;
        block.sptd.CdbLength = 6;
        block.sptd.SenseInfoLength = sizeof block.sense;
        block.sptd.SenseInfoOffset = offsetof(pds::win::ScsiPassThroughDirectWithSense, sense);
        block.sptd.DataIn = pds::win::SCSI_IOCTL_DATA_IN;
        block.sptd.DataTransferLength = sizeof data;
        block.sptd.DataBuffer = data;
        const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, sizeof data, 0};
        std::copy(inquiry, inquiry + 6, block.sptd.Cdb);
        std::uint32_t returned = 0;
        engine.device_io_control(handle, pds::win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                                 sizeof block, returned);
        if (block.sptd.DataTransferLength > sizeof data) __builtin_trap();
        for (const std::uint32_t code : {pds::win::IOCTL_STORAGE_GET_DEVICE_NUMBER, pds::win::IOCTL_SCSI_GET_ADDRESS,
                                         pds::win::IOCTL_DISK_GET_PARTITION_INFO, pds::win::IOCTL_SCSI_GET_INQUIRY_DATA}) {
            std::uint8_t record[512];
            engine.device_io_control(handle, code, nullptr, 0, record, sizeof record, returned);
            if (returned > sizeof record) __builtin_trap();
        }
        engine.close_device(handle);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sim::SimHost host;
    std::string fault;
    // Hex files are looked for in a directory that does not exist, so the bytes alone decide.
    if (!sim::parse_sim_host(text, host, fault, "/nonexistent/lunscan-fuzz")) {
        if (fault.empty() || fault.find_first_of("\r\n") != std::string::npos) __builtin_trap();
        return 0;
    }
    if (host.clock) sim::ctime_text(*host.clock);
    const std::vector<sim::SimDevice> named = sim::with_discovery_paths(host.devices, host.discovery);
    sim::SimDeviceHost engine(named, nullptr);
    walk_devices(engine, named);

    const sim::SimDiscoveryHost discovery(host.discovery);
    std::unique_ptr<pds::DiskInterfaceSet> set;
    discovery.open_disk_interfaces(set);
    std::string path;
    for (std::uint32_t i = 0; set && set->enumerate(i) == 0; ++i) set->detail_path(i, path);
    std::string roots;
    std::uint32_t required = 0;
    discovery.logical_drive_strings(1024, roots, required);
    return 0;
}
