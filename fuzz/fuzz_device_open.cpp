// Fuzz target: arbitrary bytes become one simulated disk's replies; the library opens it and fills and shows its record as lunscan -dev does.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "forwarding_platform.h"
#include "inquiry.h"
#include "pds/platform_testing.h"
#include "pds/product_clients.h"
#include "sildevice.h"
#include "silinitl.h"
#include "sim_devices.h"

namespace {

namespace sim = pds::sim;

constexpr const char* kDisk = "\\\\.\\PHYSICALDRIVE1";

// The host side comes from the real provider; the device calls go to the disk of the current input.
class FuzzedDiskPlatform final : public testsupport::ForwardingPlatform, public pds::MultipathClient {
public:
    explicit FuzzedDiskPlatform(pds::Platform& real) : ForwardingPlatform(real) {}

    void use(sim::SimDevice disk) {
        std::vector<sim::SimDevice> devices;
        devices.push_back(std::move(disk));
        engine_ = std::make_unique<sim::SimDeviceHost>(std::move(devices), nullptr);
    }

    std::string_view name() const override { return "fuzz-disk"; }
    std::optional<std::string> get_env(const char*) override { return std::nullopt; }
    pds::HostIdentity host_identity() override {
        pds::HostIdentity id;
        id.sysname = "Windows_NT";
        id.release = "10.0";
        id.os_major = 10;
        return id;
    }
    pds::os_error open_device(const pds::DeviceOpenRequest& request, pds::DeviceHandle& out) override {
        return engine_->open_device(request, out);
    }
    pds::os_error close_device(pds::DeviceHandle handle) override { return engine_->close_device(handle); }
    pds::os_error device_io_control(pds::DeviceHandle handle, std::uint32_t code, const void* in,
                                    std::uint32_t in_length, void* out, std::uint32_t out_length,
                                    std::uint32_t& returned) override {
        return engine_->device_io_control(handle, code, in, in_length, out, out_length, returned);
    }
    std::uint32_t set_error_mode(std::uint32_t mode) override { return engine_->set_error_mode(mode); }
    pds::MultipathClient& multipath_client() override { return *this; }
    std::uint32_t mp_list_volumes(std::uint32_t& count, char*) override {
        count = 0;
        return pds::kMpNotEnabled;
    }
    std::string library_fault() override { return {}; }
    std::uint32_t mp_scsi_pass_through(pds::DeviceHandle handle, std::uint32_t value, void* block) override {
        return engine_->mp_scsi_pass_through(handle, value, block);
    }

private:
    std::unique_ptr<sim::SimDeviceHost> engine_;
};

// One lunscan command line, parsed as lunscan parses it.
struct Run {
    T_DISPLAY_OPTIONS opts{};
    create_dev_list cdl{};
};

Run parsed(std::vector<std::string> args) {
    args.insert(args.begin(), {"lunscan", "-no_header", "-dev", kDisk});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    Run run;
    run.cdl.xmv_devices_only = 1;
    if (parse_command_line(static_cast<int>(argv.size()), argv.data(), &run.opts, &run.cdl) < 0) std::abort();
    return run;
}

struct Fixture {
    FuzzedDiskPlatform* platform = nullptr;
    std::vector<Run> runs;
};

// The library is started once, on the fuzzed-disk platform, with its tables written nowhere (to
// standard output when FUZZ_SHOW is set, to see what an input shows).
Fixture& fixture() {
    static Fixture f = [] {
        Fixture made;
        static std::unique_ptr<pds::Platform> real = pds::make_real_platform();
        auto platform = std::make_unique<FuzzedDiskPlatform>(*real);
        made.platform = platform.get();
        sim::SimDevice none;
        none.path = kDisk;
        made.platform->use(std::move(none));
        pds::install_platform_for_tests(std::move(platform));
        if (SIL_init(0, 0, SIL_LIBRARY_VERSION, "fuzz", "sim", "today") != 0) std::abort();
        sil_context()->out_stream = std::getenv("FUZZ_SHOW") ? stdout : std::fopen("/dev/null", "w");
        // Every make's report and the reports that read the makes' records, the NAS label and the
        // LUN-name query as well as the tables.
        for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
                 {}, {"-all"}, {"-sil"}, {"-identifier", "nice_name"}, {"-vantrel"}, {"-page0"}, {"-pagec0"},
                 {"-drav_wwn"}, {"-olvessa_wwn"}, {"-sw_wwn"}, {"-hds_wwn"}, {"-s80_wwn"}, {"-shark_wwn"},
                 {"-compaq_wwn"}, {"-netapp_wwn"}, {"-dravonis"}, {"-page", "85"}}) {
            made.runs.push_back(parsed(std::move(args)));
        }
        return made;
    }();
    return f;
}

// The input, read as fields one after the other, each a length byte L and L - 1 bytes (L = 0:
// the disk does not have it); fields past the end of the input are absent too.
class Fields {
public:
    Fields(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::optional<sim::Bytes> next() {
        if (at_ >= size_) return std::nullopt;
        const std::size_t length = data_[at_++];
        if (length == 0) return std::nullopt;
        const std::size_t n = std::min(length - 1, size_ - at_);
        sim::Bytes out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = fixture();
    if (size == 0) return 0;
    // Byte 0: bit 0 the disk is held by another process (read-only opens only), bit 1 it has a SCSI
    // address, bits 2-7 the report shown (modulo their number). The fields: standard INQUIRY, VPD
    // pages 00, 80, 83 and C0, READ CAPACITY(10) and (16), the MODE SENSE reply as the disk sends
    // it, header included, VPD page 85, the reply to the midrange LUN-name query and the block
    // every READ(10) reads (where the NAS label is looked for).
    const std::uint8_t control = data[0];
    Fields fields(data + 1, size - 1);
    sim::SimDevice disk;
    disk.path = kDisk;
    if (control & 0x01) disk.open = sim::OpenBehaviour::sharing_violation_then_read_only;
    if (control & 0x02) disk.address = sim::SimAddress{2, 0, 1, 0};
    disk.inquiry = fields.next();
    for (const std::uint8_t page : {0x00, 0x80, 0x83, 0xC0}) {
        if (auto bytes = fields.next()) disk.vpd[page] = std::move(*bytes);
    }
    disk.read_capacity_10 = fields.next();
    disk.read_capacity_16 = fields.next();
    if (auto mode = fields.next()) {
        disk.commands.push_back(sim::SimCommand{{0x1A}, *mode});
        disk.commands.push_back(sim::SimCommand{{0x5A}, std::move(*mode)});
    }
    if (auto page = fields.next()) disk.vpd[0x85] = std::move(*page);
    if (auto names = fields.next()) disk.commands.push_back(sim::SimCommand{{0xEF}, std::move(*names)});
    if (auto block = fields.next()) disk.commands.push_back(sim::SimCommand{{0x28}, std::move(*block)});
    f.platform->use(std::move(disk));

    const Run& run = f.runs[(control >> 2) % f.runs.size()];
    T_INQ_LISTS lists{};
    open_single_device(&lists.devices, &run.cdl, &run.opts);
    run_display(&lists, &run.cdl, &run.opts);
    SIL_DestroyDeviceList(&lists.devices);
    return 0;
}
