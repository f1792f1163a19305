// Tests of the simulated host's discovery through the seam: disk interfaces, volumes, registry, pseudo devices and the documented example.
#include "pds/platform.h"
#include "pds/product_clients.h"
#include "pds/win_device_layouts.h"
#include "support/sim_host_scratch.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
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

std::int64_t partition_length(pds::Platform& host, const std::string& path) {
    const Answer a = ask(host, path, win::IOCTL_DISK_GET_PARTITION_INFO);
    return a.record.size() < 16 ? -1 : static_cast<std::int64_t>(le(a.record, 8, 8));
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
    if (set) EXPECT_EQ(set->enumerate(index), pds::kErrorNoMoreItems);
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

// ---- volumes --------------------------------------------------------------------------------------

TEST(SimDiscovery, VolumesAreListedByLetterAndAnswerAsTheirDisk) {
    auto sim = sim_host(R"({"devices": [
        {"path": "\\\\.\\PHYSICALDRIVE0", "read_capacity_10": "00 0F FF FF 00 00 02 00"},
        {"path": "\\\\.\\PHYSICALDRIVE4", "device_number": 6, "read_capacity_10": "00 00 FF FF 00 00 02 00"}],
      "volumes": [
        {"root": "D:\\", "device": "\\\\.\\physicaldrive0", "partition_length": 268435456},
        {"root": "c:\\", "device": "\\\\.\\PHYSICALDRIVE0", "size_kb": 102400},
        {"root": "Z:\\", "type": "remote"},
        {"root": "E:\\", "device": "\\\\.\\PHYSICALDRIVE4"},
        {"root": "G:\\", "type": "removable", "device": "\\\\.\\PHYSICALDRIVE4", "open": "not_found"}]})");
    ASSERT_NE(sim, nullptr);
    const std::string list("C:\\\0D:\\\0E:\\\0G:\\\0Z:\\\0\0", 21);
    std::string roots;
    std::uint32_t required = 0;
    ASSERT_EQ(sim->logical_drive_strings(21, roots, required), 0u);
    EXPECT_EQ(roots, list);
    EXPECT_EQ(required, 20u) << "the length without the list's closing NUL";
    ASSERT_EQ(sim->logical_drive_strings(20, roots, required), 0u);
    EXPECT_EQ(roots, "") << "one byte short: nothing copied";
    EXPECT_EQ(required, 21u);
    EXPECT_EQ(sim->drive_type("c:\\"), pds::kDriveFixed);
    EXPECT_EQ(sim->drive_type("G:\\"), pds::kDriveRemovable);
    EXPECT_EQ(sim->drive_type("Z:\\"), pds::kDriveRemote);
    EXPECT_EQ(sim->drive_type("C:"), pds::kDriveNoRootDir);

    // Each volume: its disk's number, its own length (else the disk's), its own open.
    EXPECT_EQ(disk_number(*sim, R"(\\.\C:)"), 0);
    EXPECT_EQ(partition_length(*sim, R"(\\.\C:)"), 102400 * 1024);
    EXPECT_EQ(partition_length(*sim, R"(\\.\d:)"), 268435456);
    EXPECT_EQ(disk_number(*sim, R"(\\.\E:)"), 6);
    EXPECT_EQ(partition_length(*sim, R"(\\.\E:)"), 0x10000LL * 512);
    EXPECT_EQ(ask(*sim, R"(\\.\G:)", 0).open_error, pds::kErrorFileNotFound);
    EXPECT_EQ(ask(*sim, R"(\\.\Z:)", 0).open_error, pds::kErrorFileNotFound) << "no disk behind it";
    EXPECT_EQ(ask(*sim, R"(\\.\C:\)", 0).open_error, pds::kErrorFileNotFound) << "the root directory is not the volume";
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

// ---- pseudo devices and the documented example ------------------------------------------------------

TEST(SimDiscovery, APseudoDeviceAnswersAsTheFirstPathItFrontsButIsNoDisk) {
    auto sim = sim_host(R"({"multipath_volumes": ["\\\\.\\strnd0"], "devices": [
        {"path": "\\\\.\\PHYSICALDRIVE2", "device_number": 2, "address": {"port": 3, "path_id": 0, "target_id": 0, "lun": 1}},
        {"path": "\\\\.\\PHYSICALDRIVE3", "address": {"port": 4, "path_id": 0, "target_id": 0, "lun": 1}},
        {"path": "\\\\.\\strnd0", "fronts": ["\\\\.\\PHYSICALDRIVE2", "\\\\.\\PHYSICALDRIVE3"]},
        {"path": "\\\\.\\strnd1", "fronts": ["\\\\.\\PHYSICALDRIVE3"], "open": "sharing_violation"}]})");
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(ask(*sim, R"(\\.\STRND0)", win::IOCTL_SCSI_GET_ADDRESS).record, (Bytes{8, 0, 0, 0, 3, 0, 0, 1}));
    EXPECT_EQ(ask(*sim, R"(\\.\STRND0)", win::IOCTL_STORAGE_GET_DEVICE_NUMBER).error, 1u);
    EXPECT_EQ(ask(*sim, R"(\\.\STRND1)", 0).open_error, pds::kErrorSharingViolation);
    for (const Member& m : interfaces(*sim)) EXPECT_EQ(m.path.find("strnd"), std::string::npos) << m.path;
    std::uint32_t count = 4;
    std::vector<char> listed(count * pds::kMpVolumeNameBytes, 'x');
    EXPECT_EQ(sim->multipath_client().mp_list_volumes(count, listed.data()), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_STREQ(listed.data(), R"(\\.\strnd0)");
}

// The example of the Discovery section of docs/host-file.md is a working file that says what the page claims.
TEST(SimDiscovery, DocumentedDiscoveryExampleLoads) {
    std::ifstream page(LUNSCAN_SOURCE_DIR "/docs/host-file.md");
    const std::string text((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    const auto begin = text.find("```json\n", text.find("\n## Discovery\n"));
    ASSERT_NE(begin, std::string::npos);
    auto sim = sim_host(text.substr(begin + 8, text.find("```", begin + 8) - begin - 8));
    ASSERT_NE(sim, nullptr);
    const std::vector<Member> found = interfaces(*sim);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[3].path, generated_path("", "", "000003"));
    EXPECT_EQ(disk_number(*sim, found[1].path), 2);
    EXPECT_EQ(ask(*sim, found[2].path, 0).open_error, pds::kErrorSharingViolation);
    EXPECT_EQ(disk_number(*sim, R"(\\.\D:)"), 0);
    EXPECT_EQ(partition_length(*sim, R"(\\.\C:)"), 125829120LL * 1024);
    EXPECT_EQ(sim->drive_type("F:\\"), pds::kDriveCdrom);
    std::unique_ptr<pds::RegistryKey> key;
    ASSERT_EQ(sim->registry_open_local_machine("SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\SP1\\PORTS", key), 0u);
    std::uint32_t port = 0;
    EXPECT_EQ(key->query_dword("SILPORT", port), 0u);
    EXPECT_EQ(port, 4220u);
}

}  // namespace
