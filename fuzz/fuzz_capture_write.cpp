// Fuzz target: a capture's recording built from arbitrary bytes, masked or not; the host file written from it must always load, with the recorded answers intact.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "capture.h"
#include "sim_host_file.h"

namespace {

namespace capture = pds::capture;

// Takes the input a piece at a time; past its end every piece is empty or zero.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t u32() { return byte() | (byte() << 8) | (byte() << 16) | (static_cast<std::uint32_t>(byte()) << 24); }
    std::string text() {
        std::string s;
        for (std::size_t n = byte(); n > 0 && at_ < size_; --n) s += static_cast<char>(byte());
        return s;
    }
    pds::sim::RecordedBytes bytes() {
        const std::string s = text();
        return pds::sim::RecordedBytes(s.begin(), s.end());
    }
    bool more() const { return at_ < size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void fill(Input& in, capture::Recording& r) {
    r.provider = in.byte() % 2 ? "linux" : "sim";
    pds::HostIdentity host;
    host.nodename = in.text();
    host.machine_id = in.text();
    host.vm_guest = in.text();
    r.host = host;
    r.user_read = true;
    r.user = in.text();
    for (int guard = 0; in.more() && guard < 64; ++guard) {
        switch (in.byte() % 8) {
        case 0: r.environment[in.text()] = in.text(); break;
        case 1: r.tools[in.text()] = capture::ToolRecord{in.text(), static_cast<int>(in.u32())}; break;
        case 2: {
            capture::DeviceRecord d;
            d.path = in.text();
            d.opens.emplace_back(in.u32(), in.u32() % 4 == 0 ? 0 : in.u32());
            pds::sim::RecordedExchange e;
            e.cdb = in.bytes();
            e.error = in.byte() % 3 == 0 ? in.u32() : 0;
            e.status = in.byte();
            e.data = in.bytes();
            e.transferred = static_cast<std::uint32_t>(e.data.size());
            e.sense = in.bytes();
            d.exchanges.push_back(e);
            pds::sim::RecordedIoctl c;
            c.code = in.u32();
            c.in = in.bytes();
            c.out = in.bytes();
            c.out_length = static_cast<std::uint32_t>(c.out.size()) + in.byte();
            c.returned = in.u32();
            d.ioctls.push_back(c);
            r.devices.push_back(d);
            break;
        }
        case 3: r.registry[in.text()].values[in.text()] = in.text(); break;
        case 4: r.registry[in.text()].subkeys.push_back(in.text()); break;
        case 5: r.disk_names.emplace()[in.u32()] = in.text(); break;
        case 6: r.drive_roots = in.text(); break;
        default: r.modules[in.text()] = pds::sim::RecordedModuleFailure{in.u32(), in.text()}; break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const bool masked = in.byte() % 2 == 1;
    capture::Recording r;
    fill(in, r);
    if (masked) capture::mask(r);
    const std::string text = capture::host_file_text(r);
    pds::sim::SimHost host;
    std::string fault;
    if (!pds::sim::parse_sim_host(text, host, fault)) {
        // Whatever a host answered, its capture must replay.
        std::fprintf(stderr, "capture refused by the loader: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
