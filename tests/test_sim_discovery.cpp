// Tests of the simulated host's discovery through the seam: disk interfaces and the registry (volumes and pseudo devices: the discovery cases).
#include "pds/platform.h"
#include "pds/win_device_layouts.h"
#include "support/sim_host_scratch.h"

#include <gtest/gtest.h>

#include <cctype>
#include <vector>

namespace {

namespace win = pds::win;
using Bytes = std::vector<std::uint8_t>;
using testsupport::sim_host;

// What a control code answers on `path`: the open's error, the call's, and the record.
struct Answer {
    pds::os_error open_error = 0;
    pds::os_error error = 0;
    Bytes record;
};

pds::os_error open(pds::Platform& host, const std::string& path, pds::DeviceHandle& handle) {
    pds::DeviceOpenRequest request;
    request.path = path;
    request.desired_access = win::GENERIC_READ | win::GENERIC_WRITE;
    return host.open_device(request, handle);
}

Answer ask(pds::Platform& host, const std::string& path, std::uint32_t code) {
    Answer a;
    pds::DeviceHandle handle = 0;
    a.open_error = open(host, path, handle);
    if (a.open_error != 0) return a;
    a.record.assign(256, 0);
    std::uint32_t returned = 0;
    a.error = host.device_io_control(handle, code, nullptr, 0, a.record.data(), 256, returned);
    a.record.resize(returned);
    host.close_device(handle);
    return a;
}

std::uint64_t le(const Bytes& b, std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | b.at(at + static_cast<std::size_t>(i));
    return v;
}

// The disk number a path answers; -1 when it cannot be had.
std::int64_t disk_number(pds::Platform& host, const std::string& path) {
    const Answer a = ask(host, path, win::IOCTL_STORAGE_GET_DEVICE_NUMBER);
    return a.open_error != 0 || a.error != 0 ? -1 : static_cast<std::int64_t>(le(a.record, 4, 4));
}

struct Member {
    std::string path;
    std::uint32_t size = 0;
};

// Walks the disk interfaces as the operating-system scan does: enumerate, size query, detail.
std::vector<Member> interfaces(pds::Platform& host) {
    std::unique_ptr<pds::DiskInterfaceSet> set;
    EXPECT_EQ(host.open_disk_interfaces(set), 0u);
    std::vector<Member> out;
    std::uint32_t index = 0;
    for (; set && index < 100 && set->enumerate(index) == 0; ++index) {
        Member m;
        EXPECT_EQ(set->detail_size(index, m.size), pds::kErrorInsufficientBuffer);
        EXPECT_EQ(set->detail_path(index, m.path), 0u);
        out.push_back(m);
    }
    if (set) {
        EXPECT_EQ(set->enumerate(index), pds::kErrorNoMoreItems);
    }
    return out;
}

std::string generated_path(const std::string& vendor, const std::string& product, const std::string& number) {
    return "\\\\?\\scsi#disk&ven_" + vendor + "&prod_" + product + "#5&53494d&0&" + number + "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

// ---- disk interfaces ----------------------------------------------------------------------------

const std::string kKorvPath = R"(\\?\scsi#disk&ven_xmv&prod_korvalith#5&1a2b3c&0&000207#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})";
const std::string kMpioPath = R"(\\?\mpio#disk&ven_xmv&prod_korvalith#1&7f6ac24&0&3130#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})";

TEST(SimDiscovery, InterfacesEnumerateInFileOrderAndOpenTheirDrive) {
    auto sim = sim_host(R"({"devices": [
      {"path": "\\\\.\\PHYSICALDRIVE3", "address": {"port": 3, "path_id": 0, "target_id": 2, "lun": 7},
       "interfaces": ["\\\\?\\scsi#disk&ven_xmv&prod_korvalith#5&1a2b3c&0&000207#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                      {"path": "\\\\?\\mpio#disk&ven_xmv&prod_korvalith#1&7f6ac24&0&3130#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                       "open": "sharing_violation"}]},
      {"path": "\\\\.\\CdRom0", "device_number": 0},
      {"path": "\\\\.\\PHYSICALDRIVE1", "personality": "generic_disk",
       "params": {"vendor": "ACME", "product": "DATA DISK", "serial": "AC0001", "blocks": 2048}},
      {"path": "\\\\.\\PHYSICALDRIVE0", "interfaces": []},
      {"path": "\\\\.\\PHYSICALDRIVE12", "device_number": 9, "open": "access_denied"}]})");
    ASSERT_NE(sim, nullptr);
    // Drive 3's own two, one generated for drive 1 (vendor and product folded), none for the CD-ROM
    // (not a PHYSICALDRIVE path) nor drive 0 (an empty list), one for drive 12 named by the number it answers.
    const std::vector<std::string> expected = {kKorvPath, kMpioPath, generated_path("acme", "data_disk", "000001"),
                                               generated_path("", "", "000009")};
    const std::vector<Member> found = interfaces(*sim);
    ASSERT_EQ(found.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(found[i].path, expected[i]);
        EXPECT_EQ(found[i].size, 4 + expected[i].size() + 1) << "cbSize, the path and its NUL";
    }
    std::unique_ptr<pds::DiskInterfaceSet> set;
    ASSERT_EQ(sim->open_disk_interfaces(set), 0u);
    std::uint32_t size = 77;
    EXPECT_EQ(set->detail_size(4, size), pds::kErrorNoMoreItems);
    EXPECT_EQ(size, 0u);

    // An interface opens its drive, with its own open behaviour; paths ignore case.
    EXPECT_EQ(disk_number(*sim, kKorvPath), 3);
    EXPECT_EQ(ask(*sim, kKorvPath, win::IOCTL_SCSI_GET_ADDRESS).record, (Bytes{8, 0, 0, 0, 3, 0, 2, 7}));
    EXPECT_EQ(ask(*sim, kMpioPath, win::IOCTL_SCSI_GET_ADDRESS).open_error, pds::kErrorSharingViolation);
    std::string shouted = kKorvPath;
    for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(disk_number(*sim, shouted), 3);
    EXPECT_EQ(ask(*sim, generated_path("", "", "000009"), win::IOCTL_SCSI_GET_ADDRESS).open_error, pds::kErrorAccessDenied);
}

TEST(SimDiscovery, HandedOutSetsAndKeysOutliveTheHost) {
    auto sim = sim_host(R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE2"}], "registry": {"A\\B": {"V": 1}}})");
    ASSERT_NE(sim, nullptr);
    std::unique_ptr<pds::DiskInterfaceSet> set;
    std::unique_ptr<pds::RegistryKey> key;
    ASSERT_EQ(sim->open_disk_interfaces(set), 0u);
    ASSERT_EQ(sim->registry_open_local_machine("A", key), 0u);
    sim.reset();
    std::string path;
    EXPECT_EQ(set->detail_path(0, path), 0u);
    EXPECT_EQ(path, generated_path("", "", "000002"));
    EXPECT_EQ(key->enum_subkey(0, path), 0u);
    EXPECT_EQ(path, "B");
}

// ---- registry -------------------------------------------------------------------------------------

std::vector<std::string> subkeys(pds::Platform& host, const std::string& path) {
    std::unique_ptr<pds::RegistryKey> key;
    EXPECT_EQ(host.registry_open_local_machine(path, key), 0u) << path;
    std::vector<std::string> out;
    std::string name;
    for (std::uint32_t i = 0; key && key->enum_subkey(i, name) == 0; ++i) out.push_back(name);
    return out;
}

TEST(SimDiscovery, RegistryKeysAndValuesIgnoreCaseAndAnswerByType) {
    auto sim = sim_host(R"({"registry": {
      "SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\SP1\\PORTS": {"SILPORT": 4220},
      "SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\sp0\\PORTS": {"SILPORT": 4221, "Host": "localhost", "": "default"},
      "SOFTWARE\\SNIA\\HBA": {}}})");
    ASSERT_NE(sim, nullptr);
    // Keys above a path exist too, and list by name without regard to case.
    EXPECT_EQ(subkeys(*sim, "SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\"), (std::vector<std::string>{"sp0", "SP1"}));
    EXPECT_EQ(subkeys(*sim, ""), (std::vector<std::string>{"SOFTWARE"}));
    EXPECT_EQ(subkeys(*sim, "software"), (std::vector<std::string>{"SNIA", "XMV"}));
    std::unique_ptr<pds::RegistryKey> key;
    for (const char* absent : {"SOFTWARE\\XMV\\\\KORVWIN", "\\SOFTWARE", "SOFTWARE\\SNIA\\HBA\\X"}) {
        EXPECT_EQ(sim->registry_open_local_machine(absent, key), pds::kErrorFileNotFound) << absent;
    }
    ASSERT_EQ(sim->registry_open_local_machine("software\\xmv\\korvwin\\instances\\SP0\\ports", key), 0u);
    std::string name;
    std::vector<std::string> values;
    for (std::uint32_t i = 0; key->enum_value(i, name) == 0; ++i) values.push_back(name);
    EXPECT_EQ(values, (std::vector<std::string>{"", "Host", "SILPORT"}));
    std::uint32_t port = 0;
    std::string text;
    EXPECT_EQ(key->query_dword("silport", port), 0u);
    EXPECT_EQ(port, 4221u);
    EXPECT_EQ(key->query_string("HOST", text), 0u);
    EXPECT_EQ(text, "localhost");
    EXPECT_EQ(key->query_string("SILPORT", text), pds::kErrorUnsupportedType);
    EXPECT_EQ(key->query_dword("Missing", port), pds::kErrorFileNotFound);
}

}  // namespace
