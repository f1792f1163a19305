// Tests of the simulated host's discovery through the seam: disk interfaces, volumes, registry, pseudo devices, the demo host and host-file faults.
#include "pds/platform.h"
#include "pds/product_clients.h"
#include "pds/win_device_layouts.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace win = pds::win;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kReadWrite = win::GENERIC_READ | win::GENERIC_WRITE;
constexpr pds::os_error kInvalidFunction = 1;

class SimDiscoveryTest : public ::testing::Test {
protected:
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string write(const std::string& json) {
        if (dir_.empty()) {
            const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
            dir_ = fs::temp_directory_path() / ("lunscan-discovery-" + std::to_string(pds::platform().process_id()) +
                                                "-" + test->name());
            fs::create_directories(dir_);
        }
        const std::string file = (dir_ / "host.json").string();
        std::ofstream(file, std::ios::binary) << json;
        return file;
    }

    std::unique_ptr<pds::Platform> load(const std::string& json) {
        std::string error;
        auto sim = pds::make_sim_platform(write(json), error);
        EXPECT_NE(sim, nullptr) << error;
        return sim;
    }

    // The fault of a file that must be refused, without the "simulated host file ...: " prefix.
    std::string fault_of(const std::string& json) {
        const std::string file = write(json);
        std::string error;
        EXPECT_EQ(pds::make_sim_platform(file, error), nullptr);
        const std::string prefix = "simulated host file \"" + file + "\": ";
        EXPECT_EQ(error.compare(0, prefix.size(), prefix), 0) << error;
        return error.size() >= prefix.size() ? error.substr(prefix.size()) : error;
    }

private:
    fs::path dir_;
};

// ---- helpers that speak to a device the way the discovery does ---------------------------------

pds::os_error open(pds::Platform& host, const std::string& path, pds::DeviceHandle& handle) {
    pds::DeviceOpenRequest request;
    request.path = path;
    request.desired_access = kReadWrite;
    request.share_mode = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
    return host.open_device(request, handle);
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | b.at(at + static_cast<std::size_t>(i));
    return v;
}

// What a control code answers on `path`: the error, and the record when it succeeded.
struct Answer {
    pds::os_error open_error = 0;
    pds::os_error error = 0;
    Bytes record;
};

Answer ask(pds::Platform& host, const std::string& path, std::uint32_t code) {
    Answer a;
    pds::DeviceHandle handle = 0;
    a.open_error = open(host, path, handle);
    if (a.open_error != 0) return a;
    a.record.assign(256, 0);
    std::uint32_t returned = 0;
    a.error = host.device_io_control(handle, code, nullptr, 0, a.record.data(), 256, returned);
    a.record.resize(returned);
    EXPECT_EQ(host.close_device(handle), 0u);
    return a;
}

// The disk number a path answers, or nullopt with the error in `error`.
std::optional<std::uint32_t> disk_number(pds::Platform& host, const std::string& path) {
    const Answer a = ask(host, path, win::IOCTL_STORAGE_GET_DEVICE_NUMBER);
    if (a.open_error != 0 || a.error != 0) return std::nullopt;
    return le32(a.record, 4);
}

std::int64_t partition_length(pds::Platform& host, const std::string& path) {
    const Answer a = ask(host, path, win::IOCTL_DISK_GET_PARTITION_INFO);
    EXPECT_EQ(a.open_error, 0u) << path;
    EXPECT_EQ(a.error, 0u) << path;
    if (a.record.size() < 16) return -1;
    return static_cast<std::int64_t>(le32(a.record, 8)) | (static_cast<std::int64_t>(le32(a.record, 12)) << 32);
}

Bytes inquiry_of(pds::Platform& host, const std::string& path) {
    pds::DeviceHandle handle = 0;
    EXPECT_EQ(open(host, path, handle), 0u) << path;
    Bytes data(96, 0);
    win::ScsiPassThroughDirectWithSense block{};
    block.sptd.Length = sizeof(win::ScsiPassThroughDirect);
    block.sptd.CdbLength = 6;
    block.sptd.SenseInfoLength = 32;
    block.sptd.DataIn = win::SCSI_IOCTL_DATA_IN;
    block.sptd.DataTransferLength = static_cast<std::uint32_t>(data.size());
    block.sptd.DataBuffer = data.data();
    block.sptd.SenseInfoOffset = offsetof(win::ScsiPassThroughDirectWithSense, sense);
    const std::uint8_t cdb[6] = {0x12, 0, 0, 0, 96, 0};
    std::memcpy(block.sptd.Cdb, cdb, sizeof cdb);
    std::uint32_t returned = 0;
    EXPECT_EQ(host.device_io_control(handle, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                                     sizeof block, returned),
              0u);
    data.resize(block.sptd.DataTransferLength);
    host.close_device(handle);
    return data;
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
    if (!set) return out;
    std::uint32_t index = 0;
    for (; index < 100 && set->enumerate(index) == 0; ++index) {
        Member m;
        EXPECT_EQ(set->detail_size(index, m.size), pds::kErrorInsufficientBuffer);
        EXPECT_EQ(set->detail_path(index, m.path), 0u);
        out.push_back(m);
    }
    EXPECT_EQ(set->enumerate(index), pds::kErrorNoMoreItems);
    return out;
}

std::string generated_path(const std::string& vendor, const std::string& product, const std::string& number) {
    return "\\\\?\\scsi#disk&ven_" + vendor + "&prod_" + product + "#5&53494d&0&" + number +
           "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

// ---- disk interfaces ----------------------------------------------------------------------------

const char* const kInterfaceHost = R"({"devices": [
  {"path": "\\\\.\\PHYSICALDRIVE3",
   "address": {"port": 3, "path_id": 0, "target_id": 2, "lun": 7},
   "interfaces": ["\\\\?\\scsi#disk&ven_xmv&prod_korvalith#5&1a2b3c&0&000207#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                  {"path": "\\\\?\\mpio#disk&ven_xmv&prod_korvalith#1&7f6ac24&0&3130#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                   "open": "sharing_violation"}]},
  {"path": "\\\\.\\CdRom0", "device_number": 0},
  {"path": "\\\\.\\PHYSICALDRIVE1", "personality": "generic_disk",
   "params": {"vendor": "ACME", "product": "DATA DISK", "serial": "AC0001", "blocks": 2048}},
  {"path": "\\\\.\\PHYSICALDRIVE0", "interfaces": []},
  {"path": "\\\\.\\PHYSICALDRIVE12", "device_number": 9, "open": "access_denied"}
]})";

const std::string kKorvPath = R"(\\?\scsi#disk&ven_xmv&prod_korvalith#5&1a2b3c&0&000207#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})";
const std::string kMpioPath = R"(\\?\mpio#disk&ven_xmv&prod_korvalith#1&7f6ac24&0&3130#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})";

TEST_F(SimDiscoveryTest, InterfacesEnumerateInFileOrderWithTheirDetailSizes) {
    auto sim = load(kInterfaceHost);
    ASSERT_NE(sim, nullptr);
    const std::vector<Member> found = interfaces(*sim);
    // The listed interfaces of drive 3, one generated for drive 1, none for the CD-ROM (not a
    // PHYSICALDRIVE path) nor for drive 0 (an empty list), one generated for drive 12, named by
    // the number the drive answers.
    const std::vector<std::string> expected = {kKorvPath, kMpioPath,
                                               generated_path("acme", "data_disk", "000001"),
                                               generated_path("", "", "000009")};
    ASSERT_EQ(found.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(found[i].path, expected[i]);
        // cbSize, the path and its NUL
        EXPECT_EQ(found[i].size, 4 + expected[i].size() + 1) << i;
    }

    std::unique_ptr<pds::DiskInterfaceSet> set;
    ASSERT_EQ(sim->open_disk_interfaces(set), 0u);
    std::uint32_t size = 77;
    std::string path = "stale";
    EXPECT_EQ(set->detail_size(4, size), pds::kErrorNoMoreItems);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(set->detail_path(4, path), pds::kErrorNoMoreItems);
    EXPECT_EQ(path, "");
}

TEST_F(SimDiscoveryTest, InterfacesOpenTheirDriveWithTheirOwnOpenBehaviour) {
    auto sim = load(kInterfaceHost);
    ASSERT_NE(sim, nullptr);
    // Both interfaces of drive 3 name one drive.
    EXPECT_EQ(disk_number(*sim, kKorvPath), 3u);
    const Answer address = ask(*sim, kKorvPath, win::IOCTL_SCSI_GET_ADDRESS);
    ASSERT_EQ(address.record.size(), 8u);
    EXPECT_EQ(address.record[4], 3);
    EXPECT_EQ(address.record[6], 2);
    EXPECT_EQ(address.record[7], 7);
    // The second is held by someone else: its own sharing violation, the drive itself is free.
    pds::DeviceHandle handle = 0;
    EXPECT_EQ(open(*sim, kMpioPath, handle), pds::kErrorSharingViolation);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(disk_number(*sim, R"(\\.\PHYSICALDRIVE3)"), 3u);
    // Paths compare without regard to case, as Windows compares them.
    std::string shouted = kKorvPath;
    for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(disk_number(*sim, shouted), 3u);

    EXPECT_EQ(disk_number(*sim, generated_path("acme", "data_disk", "000001")), 1u);
    // An interface opens as its drive does, and answers the drive's own device number.
    EXPECT_EQ(open(*sim, generated_path("", "", "000009"), handle), pds::kErrorAccessDenied);
    EXPECT_EQ(ask(*sim, R"(\\.\CdRom0)", win::IOCTL_STORAGE_GET_DEVICE_NUMBER).error, 0u);
}

TEST_F(SimDiscoveryTest, ExplicitDeviceNumbersCarryOverToInterfaces) {
    auto sim = load(R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE7", "device_number": 4,
                                      "interfaces": ["\\\\?\\scsi#disk&ven_a&prod_b#0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"]}]})");
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(disk_number(*sim, R"(\\?\scsi#disk&ven_a&prod_b#0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})"), 4u);
}

TEST_F(SimDiscoveryTest, AHostWithoutDisksHasAnEmptyClass) {
    auto sim = load("{}");
    ASSERT_NE(sim, nullptr);
    EXPECT_TRUE(interfaces(*sim).empty());
}

// ---- volumes --------------------------------------------------------------------------------------

const char* const kVolumeHost = R"({
  "devices": [
    {"path": "\\\\.\\PHYSICALDRIVE0", "read_capacity_10": "00 0F FF FF 00 00 02 00",
     "address": {"port": 0, "path_id": 0, "target_id": 1, "lun": 0}},
    {"path": "\\\\.\\PHYSICALDRIVE4", "device_number": 6, "read_capacity_10": "00 00 FF FF 00 00 02 00"},
    {"path": "\\\\.\\CdRom0", "device_number": 0}
  ],
  "volumes": [
    {"root": "D:\\", "device": "\\\\.\\physicaldrive0", "partition_length": 268435456},
    {"root": "c:\\", "device": "\\\\.\\PHYSICALDRIVE0", "size_kb": 102400},
    {"root": "Z:\\", "type": "remote"},
    {"root": "F:\\", "type": "cdrom", "device": "\\\\.\\CdRom0"},
    {"root": "E:\\", "device": "\\\\.\\PHYSICALDRIVE4"},
    {"root": "G:\\", "type": "removable", "device": "\\\\.\\PHYSICALDRIVE4", "open": "not_found"},
    {"root": "R:\\", "type": "ramdisk"}
  ]
})";

TEST_F(SimDiscoveryTest, LogicalDrivesAreListedByLetterWithTheirTypes) {
    auto sim = load(kVolumeHost);
    ASSERT_NE(sim, nullptr);
    const std::string list("C:\\\0D:\\\0E:\\\0F:\\\0G:\\\0R:\\\0Z:\\\0\0", 29);
    std::string roots;
    std::uint32_t required = 0;
    ASSERT_EQ(sim->logical_drive_strings(1024, roots, required), 0u);
    EXPECT_EQ(roots, list);
    EXPECT_EQ(required, 28u);
    // One byte short of the closing NUL: nothing, and the size the list needs.
    ASSERT_EQ(sim->logical_drive_strings(28, roots, required), 0u);
    EXPECT_EQ(roots, "");
    EXPECT_EQ(required, 29u);
    ASSERT_EQ(sim->logical_drive_strings(29, roots, required), 0u);
    EXPECT_EQ(roots, list);

    EXPECT_EQ(sim->drive_type("C:\\"), pds::kDriveFixed);
    EXPECT_EQ(sim->drive_type("c:\\"), pds::kDriveFixed);
    EXPECT_EQ(sim->drive_type("E:\\"), pds::kDriveFixed);
    EXPECT_EQ(sim->drive_type("F:\\"), pds::kDriveCdrom);
    EXPECT_EQ(sim->drive_type("G:\\"), pds::kDriveRemovable);
    EXPECT_EQ(sim->drive_type("R:\\"), pds::kDriveRamdisk);
    EXPECT_EQ(sim->drive_type("Z:\\"), pds::kDriveRemote);
    EXPECT_EQ(sim->drive_type("Q:\\"), pds::kDriveNoRootDir);
    EXPECT_EQ(sim->drive_type("C:"), pds::kDriveNoRootDir);
}

TEST_F(SimDiscoveryTest, VolumesAnswerTheirDisksNumberAndTheirOwnLength) {
    auto sim = load(kVolumeHost);
    ASSERT_NE(sim, nullptr);
    // Two volumes of one disk: the disk's number, each its own partition length.
    EXPECT_EQ(disk_number(*sim, R"(\\.\C:)"), 0u);
    EXPECT_EQ(disk_number(*sim, R"(\\.\D:)"), 0u);
    EXPECT_EQ(partition_length(*sim, R"(\\.\C:)"), 102400 * 1024);
    EXPECT_EQ(partition_length(*sim, R"(\\.\D:)"), 268435456);
    EXPECT_EQ(partition_length(*sim, R"(\\.\PHYSICALDRIVE0)"), 0x100000LL * 512);
    // The other control codes answer as the disk does.
    const Answer address = ask(*sim, R"(\\.\d:)", win::IOCTL_SCSI_GET_ADDRESS);
    ASSERT_EQ(address.record.size(), 8u);
    EXPECT_EQ(address.record[6], 1);
    // No length of its own: the disk's; the disk's explicit number.
    EXPECT_EQ(disk_number(*sim, R"(\\.\E:)"), 6u);
    EXPECT_EQ(partition_length(*sim, R"(\\.\E:)"), 0x10000LL * 512);
    EXPECT_EQ(disk_number(*sim, R"(\\.\F:)"), 0u);

    pds::DeviceHandle handle = 0;
    EXPECT_EQ(open(*sim, R"(\\.\G:)", handle), pds::kErrorFileNotFound);  // its own open behaviour
    EXPECT_EQ(open(*sim, R"(\\.\Z:)", handle), pds::kErrorFileNotFound);  // no disk behind it
    EXPECT_EQ(open(*sim, R"(\\.\C:\)", handle), pds::kErrorFileNotFound);  // the root directory is not the volume
}

TEST_F(SimDiscoveryTest, AHostWithoutVolumesListsNoDrive) {
    auto sim = load("{}");
    ASSERT_NE(sim, nullptr);
    std::string roots = "stale";
    std::uint32_t required = 99;
    ASSERT_EQ(sim->logical_drive_strings(1024, roots, required), 0u);
    EXPECT_EQ(roots, std::string(1, '\0'));
    EXPECT_EQ(required, 0u);
    EXPECT_EQ(sim->drive_type("C:\\"), pds::kDriveNoRootDir);
}

// ---- registry -------------------------------------------------------------------------------------

const char* const kRegistryHost = R"({"registry": {
  "SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\SP1\\PORTS": {"SILPORT": 4220},
  "SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\sp0\\PORTS": {"SILPORT": 4221, "Host": "localhost", "": "default"},
  "SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\SP2": {},
  "SOFTWARE\\SNIA\\HBA": {"ACME": "C:\\Windows\\System32\\acmehba.dll"}
}})";

std::vector<std::string> names(pds::RegistryKey& key, bool subkeys) {
    std::vector<std::string> out;
    std::string name;
    std::uint32_t i = 0;
    for (; i < 50 && (subkeys ? key.enum_subkey(i, name) : key.enum_value(i, name)) == 0; ++i) out.push_back(name);
    EXPECT_EQ(subkeys ? key.enum_subkey(i, name) : key.enum_value(i, name), pds::kErrorNoMoreItems);
    EXPECT_EQ(name, "");
    return out;
}

TEST_F(SimDiscoveryTest, RegistryKeysAreImpliedByLongerPathsAndEnumeratedByName) {
    auto sim = load(kRegistryHost);
    ASSERT_NE(sim, nullptr);
    std::unique_ptr<pds::RegistryKey> key;
    ASSERT_EQ(sim->registry_open_local_machine("SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\", key), 0u);
    EXPECT_EQ(names(*key, true), (std::vector<std::string>{"sp0", "SP1", "SP2"}));
    EXPECT_TRUE(names(*key, false).empty());

    ASSERT_EQ(sim->registry_open_local_machine("", key), 0u);  // HKEY_LOCAL_MACHINE itself
    EXPECT_EQ(names(*key, true), (std::vector<std::string>{"SOFTWARE"}));
    ASSERT_EQ(sim->registry_open_local_machine("software", key), 0u);
    EXPECT_EQ(names(*key, true), (std::vector<std::string>{"SNIA", "XMV"}));
}

TEST_F(SimDiscoveryTest, RegistryValuesAnswerByTypeWithoutRegardToCase) {
    auto sim = load(kRegistryHost);
    ASSERT_NE(sim, nullptr);
    std::unique_ptr<pds::RegistryKey> key;
    // The road of the registry query: the instances key, the instance name, "\PORTS\".
    ASSERT_EQ(sim->registry_open_local_machine("SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\SP1\\PORTS\\", key), 0u);
    std::uint32_t port = 0;
    EXPECT_EQ(key->query_dword("SILPORT", port), 0u);
    EXPECT_EQ(port, 4220u);
    std::string text = "stale";
    EXPECT_EQ(key->query_string("SILPORT", text), pds::kErrorUnsupportedType);
    EXPECT_EQ(text, "");
    EXPECT_EQ(key->query_dword("Missing", port), pds::kErrorFileNotFound);
    EXPECT_EQ(port, 0u);

    ASSERT_EQ(sim->registry_open_local_machine("software\\xmv\\korvwin\\instances\\SP0\\ports", key), 0u);
    EXPECT_EQ(names(*key, false), (std::vector<std::string>{"", "Host", "SILPORT"}));
    EXPECT_EQ(key->query_string("HOST", text), 0u);
    EXPECT_EQ(text, "localhost");
    EXPECT_EQ(key->query_string("", text), 0u);
    EXPECT_EQ(text, "default");
    EXPECT_EQ(key->query_dword("host", port), pds::kErrorUnsupportedType);
    EXPECT_EQ(key->query_dword("silport", port), 0u);
    EXPECT_EQ(port, 4221u);

    ASSERT_EQ(sim->registry_open_local_machine("SOFTWARE\\SNIA\\HBA", key), 0u);
    EXPECT_EQ(key->query_string("ACME", text), 0u);
    EXPECT_EQ(text, "C:\\Windows\\System32\\acmehba.dll");
}

TEST_F(SimDiscoveryTest, MissingRegistryKeysAreNotFound) {
    auto sim = load(kRegistryHost);
    ASSERT_NE(sim, nullptr);
    for (const char* path : {"SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\SP3", "SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\SP2\\PORTS\\",
                             "SOFTWARE\\XMV\\\\KORVWIN", "\\SOFTWARE", "SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\SP1\\PORTS\\SILPORT"}) {
        std::unique_ptr<pds::RegistryKey> key;
        EXPECT_EQ(sim->registry_open_local_machine(path, key), pds::kErrorFileNotFound) << path;
        EXPECT_EQ(key, nullptr);
    }
    auto empty = load("{}");
    std::unique_ptr<pds::RegistryKey> key;
    EXPECT_EQ(empty->registry_open_local_machine("SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\", key), pds::kErrorFileNotFound);
}

TEST_F(SimDiscoveryTest, HandedOutSetsAndKeysOutliveTheHost) {
    auto sim = load(R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE2"}], "registry": {"A\\B": {"V": 1}}})");
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

// ---- pseudo devices ---------------------------------------------------------------------------------

TEST_F(SimDiscoveryTest, APseudoDeviceAnswersAsTheFirstPathItFronts) {
    auto sim = load(R"({
      "multipath_volumes": ["\\\\.\\strnd0"],
      "devices": [
        {"path": "\\\\.\\PHYSICALDRIVE2", "device_number": 2, "address": {"port": 3, "path_id": 0, "target_id": 0, "lun": 1},
         "inquiry": "00 00 04 02 5B 00 00 02 58 4D 56 20 20 20 20 20 4B 4F 52 56 41 4C 49 54 48 20 20 20 20 20 20 20 35 35 36 38"},
        {"path": "\\\\.\\PHYSICALDRIVE3", "address": {"port": 4, "path_id": 0, "target_id": 0, "lun": 1},
         "inquiry": "00 00 04 02 5B 00 00 02 58 4D 56 20 20 20 20 20 4B 4F 52 56 41 4C 49 54 48 20 20 20 20 20 20 20 35 35 36 39"},
        {"path": "\\\\.\\strnd0", "fronts": ["\\\\.\\PHYSICALDRIVE2", "\\\\.\\PHYSICALDRIVE3"]},
        {"path": "\\\\.\\strnd1", "fronts": ["\\\\.\\PHYSICALDRIVE3"], "open": "sharing_violation"}
      ]})");
    ASSERT_NE(sim, nullptr);
    // The library opens the driver's names in upper case.
    EXPECT_EQ(inquiry_of(*sim, R"(\\.\STRND0)"), inquiry_of(*sim, R"(\\.\PHYSICALDRIVE2)"));
    const Answer address = ask(*sim, R"(\\.\STRND0)", win::IOCTL_SCSI_GET_ADDRESS);
    ASSERT_EQ(address.record.size(), 8u);
    EXPECT_EQ(address.record[4], 3);
    // Not a disk of its own: no disk number, no member of the disk class.
    EXPECT_EQ(ask(*sim, R"(\\.\STRND0)", win::IOCTL_STORAGE_GET_DEVICE_NUMBER).error, kInvalidFunction);
    for (const Member& m : interfaces(*sim)) EXPECT_EQ(m.path.find("strnd"), std::string::npos) << m.path;
    pds::DeviceHandle handle = 0;
    EXPECT_EQ(open(*sim, R"(\\.\STRND1)", handle), pds::kErrorSharingViolation);

    std::uint32_t count = 4;
    std::vector<char> listed(count * pds::kMpVolumeNameBytes, 'x');
    EXPECT_EQ(sim->multipath_client().mp_list_volumes(count, listed.data()), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_STREQ(listed.data(), R"(\\.\strnd0)");
}

// ---- the demo host --------------------------------------------------------------------------------

TEST_F(SimDiscoveryTest, TheDemoHostIsASanAttachedServer) {
    std::string error;
    auto sim = pds::make_sim_platform(LUNSCAN_SOURCE_DIR "/examples/demo-host.json", error);
    ASSERT_NE(sim, nullptr) << error;

    // Every disk of the class opens and has a number; no number is listed twice.
    std::set<std::uint32_t> numbers;
    const std::vector<Member> members = interfaces(*sim);
    for (const Member& m : members) {
        const std::optional<std::uint32_t> number = disk_number(*sim, m.path);
        ASSERT_TRUE(number.has_value()) << m.path;
        numbers.insert(*number);
    }
    EXPECT_EQ(numbers.size(), members.size());
    EXPECT_GE(members.size(), 12u);

    // The system disk carries C: and D:, and a CD-ROM drive has a letter.
    EXPECT_EQ(sim->drive_type("C:\\"), pds::kDriveFixed);
    EXPECT_EQ(sim->drive_type("D:\\"), pds::kDriveFixed);
    EXPECT_EQ(disk_number(*sim, R"(\\.\C:)"), 0u);
    EXPECT_EQ(disk_number(*sim, R"(\\.\D:)"), 0u);
    EXPECT_LT(partition_length(*sim, R"(\\.\C:)"), partition_length(*sim, R"(\\.\PHYSICALDRIVE0)"));
    std::string roots;
    std::uint32_t required = 0;
    ASSERT_EQ(sim->logical_drive_strings(1024, roots, required), 0u);
    bool cdrom = false;
    for (std::size_t at = 0; at + 3 < roots.size(); at += 4) cdrom = cdrom || sim->drive_type(roots.substr(at, 3)) == pds::kDriveCdrom;
    EXPECT_TRUE(cdrom) << roots;

    // The multipathing driver's pseudo devices are marked by their names and open.
    std::uint32_t count = 0;
    ASSERT_EQ(sim->multipath_client().mp_list_volumes(count, nullptr), 0u);
    ASSERT_GE(count, 2u);
    std::vector<char> listed(count * pds::kMpVolumeNameBytes, 0);
    ASSERT_EQ(sim->multipath_client().mp_list_volumes(count, listed.data()), 0u);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string name(listed.data() + i * pds::kMpVolumeNameBytes);
        EXPECT_NE(name.find("strnd"), std::string::npos) << name;
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(inquiry_of(*sim, name).size(), 96u) << name;
    }

    // A service-processor instance is registered with its port.
    std::unique_ptr<pds::RegistryKey> instances;
    ASSERT_EQ(sim->registry_open_local_machine("SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\", instances), 0u);
    std::string instance;
    ASSERT_EQ(instances->enum_subkey(0, instance), 0u);
    std::unique_ptr<pds::RegistryKey> ports;
    ASSERT_EQ(sim->registry_open_local_machine("SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\" + instance + "\\PORTS\\", ports), 0u);
    std::uint32_t port = 0;
    EXPECT_EQ(ports->query_dword("SILPORT", port), 0u);
    EXPECT_NE(port, 0u);
}

// The example of the Discovery section of docs/host-file.md is a working file that says what the page claims.
TEST_F(SimDiscoveryTest, DocumentedDiscoveryExampleLoads) {
    std::ifstream page(LUNSCAN_SOURCE_DIR "/docs/host-file.md");
    const std::string text((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    const auto section = text.find("\n## Discovery\n");
    ASSERT_NE(section, std::string::npos);
    const auto begin = text.find("```json\n", section);
    ASSERT_NE(begin, std::string::npos);
    const auto end = text.find("```", begin + 8);
    ASSERT_NE(end, std::string::npos);
    auto sim = load(text.substr(begin + 8, end - begin - 8));
    ASSERT_NE(sim, nullptr);

    const std::vector<Member> found = interfaces(*sim);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[3].path, generated_path("", "", "000003"));
    EXPECT_EQ(disk_number(*sim, found[1].path), 2u);
    pds::DeviceHandle handle = 0;
    EXPECT_EQ(open(*sim, found[2].path, handle), pds::kErrorSharingViolation);
    EXPECT_EQ(inquiry_of(*sim, R"(\\.\STRND0)"), inquiry_of(*sim, R"(\\.\PHYSICALDRIVE2)"));

    EXPECT_EQ(disk_number(*sim, R"(\\.\D:)"), 0u);
    EXPECT_EQ(partition_length(*sim, R"(\\.\C:)"), 125829120LL * 1024);
    EXPECT_EQ(sim->drive_type("D:\\"), pds::kDriveFixed);
    EXPECT_EQ(sim->drive_type("F:\\"), pds::kDriveCdrom);
    EXPECT_EQ(sim->drive_type("Z:\\"), pds::kDriveRemote);

    std::unique_ptr<pds::RegistryKey> key;
    ASSERT_EQ(sim->registry_open_local_machine("SOFTWARE\\XMV\\KORVWIN\\INSTANCES\\SP1\\PORTS", key), 0u);
    std::uint32_t port = 0;
    EXPECT_EQ(key->query_dword("SILPORT", port), 0u);
    EXPECT_EQ(port, 4220u);
}

// ---- host-file faults -------------------------------------------------------------------------------

struct FaultCase {
    const char* json;
    const char* fault;
};

class SimDiscoveryFile : public SimDiscoveryTest {
protected:
    void expect(std::initializer_list<FaultCase> cases) {
        for (const FaultCase& c : cases) EXPECT_EQ(fault_of(c.json), c.fault) << c.json;
    }
};

TEST_F(SimDiscoveryFile, InterfaceFaults) {
    expect({
        {R"({"devices": [{"path": "D", "interfaces": "x"}]})", R"("devices[0].interfaces" must be an array)"},
        {R"({"devices": [{"path": "D", "interfaces": [5]}]})",
         R"("devices[0].interfaces[0]" must be an interface path or an object with "path" and "open")"},
        {R"({"devices": [{"path": "D", "interfaces": [{"open": "ok"}]}]})", R"("devices[0].interfaces[0].path" is missing)"},
        {R"({"devices": [{"path": "D", "interfaces": [""]}]})", R"("devices[0].interfaces[0]" must not be empty)"},
        {R"({"devices": [{"path": "D", "interfaces": [{"path": "I", "open": "maybe"}]}]})",
         R"("devices[0].interfaces[0].open" must be one of "ok", "not_found", "sharing_violation", "access_denied", "sharing_violation_then_read_only")"},
        {R"({"devices": [{"path": "D", "interfaces": [{"path": "I", "label": "x"}]}]})",
         R"(unknown key "devices[0].interfaces[0].label")"},
        {R"({"devices": [{"path": "D", "interfaces": ["1","2","3","4","5","6","7","8","9","10","11","12","13","14","15","16","17"]}]})",
         R"("devices[0].interfaces" holds more than 16 interfaces)"},
    });
}

TEST_F(SimDiscoveryFile, APathNamesOneThing) {
    expect({
        {R"({"devices": [{"path": "A", "interfaces": ["\\\\?\\x"]}, {"path": "B", "interfaces": ["\\\\?\\X"]}]})",
         R"("devices[1].interfaces[0]" repeats the path of "devices[0].interfaces[0]")"},
        {R"({"devices": [{"path": "A", "interfaces": ["I", "i"]}]})",
         R"("devices[0].interfaces[1]" repeats the path of "devices[0].interfaces[0]")"},
        {R"({"devices": [{"path": "A", "interfaces": ["\\\\.\\physicaldrive1"]}, {"path": "\\\\.\\PHYSICALDRIVE1"}]})",
         R"("devices[0].interfaces[0]" repeats the path of "devices[1]")"},
        {R"({"devices": [{"path": "\\\\.\\PHYSICALDRIVE0"},
                         {"path": "B", "interfaces": ["\\\\?\\scsi#disk&ven_&prod_#5&53494d&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"]}]})",
         R"("devices[1].interfaces[0]" repeats the path of the interface generated for "devices[0]")"},
        {R"({"devices": [{"path": "\\\\.\\C:"}], "volumes": [{"root": "C:\\", "device": "\\\\.\\c:"}]})",
         R"("volumes[0]" repeats the path of "devices[0]")"},
    });
}

TEST_F(SimDiscoveryFile, PseudoDeviceFaults) {
    const std::string drive = R"({"path": "\\\\.\\PHYSICALDRIVE2"})";
    auto with = [&](const std::string& pseudo) { return R"({"devices": [)" + drive + ", " + pseudo + "]}"; };
    const std::string cases[][2] = {
        {with(R"({"path": "S", "fronts": ["\\\\.\\PHYSICALDRIVE2"], "inquiry": "00"})"),
         R"("devices[1].inquiry" cannot stand beside "fronts": a pseudo device answers as the device it fronts)"},
        {with(R"({"path": "S", "fronts": ["\\\\.\\PHYSICALDRIVE2"], "interfaces": []})"),
         R"("devices[1].interfaces" cannot stand beside "fronts": a pseudo device answers as the device it fronts)"},
        {with(R"({"path": "S", "fronts": []})"), R"("devices[1].fronts" must be an array of 1 to 32 device paths)"},
        {with(R"({"path": "S", "fronts": "\\\\.\\PHYSICALDRIVE2"})"), R"("devices[1].fronts" must be an array of 1 to 32 device paths)"},
        {with(R"({"path": "S", "fronts": ["\\\\.\\PHYSICALDRIVE2", "\\\\.\\PHYSICALDRIVE9"]})"),
         R"("devices[1].fronts[1]" names no device of the file)"},
        {with(R"({"path": "S", "fronts": ["s"]})"), R"("devices[1].fronts[0]" names the pseudo device itself)"},
        {R"({"devices": [{"path": "T", "fronts": ["S"]}, )" + drive + R"(, {"path": "S", "fronts": ["\\\\.\\PHYSICALDRIVE2"]}]})",
         R"("devices[0].fronts[0]" names another pseudo device)"},
    };
    for (const auto& [json, fault] : cases) EXPECT_EQ(fault_of(json), fault) << json;
}

TEST_F(SimDiscoveryFile, VolumeFaults) {
    expect({
        {R"({"volumes": {}})", R"("volumes" must be an array)"},
        {R"({"volumes": [{"type": "fixed"}]})", R"("volumes[0].root" is missing)"},
        {R"({"volumes": [{"root": "C:"}]})", R"("volumes[0].root" must be a drive letter, a colon and a backslash ("C:\"))"},
        {R"({"volumes": [{"root": "1:\\"}]})", R"("volumes[0].root" must be a drive letter, a colon and a backslash ("C:\"))"},
        {R"({"volumes": [{"root": "C:\\"}, {"root": "c:\\"}]})", R"("volumes[1].root" repeats the drive of "volumes[0]")"},
        {R"({"volumes": [{"root": "C:\\", "type": "floppy"}]})",
         R"("volumes[0].type" must be one of "fixed", "removable", "cdrom", "remote", "ramdisk")"},
        {R"({"volumes": [{"root": "C:\\", "device": "\\\\.\\PHYSICALDRIVE0"}]})", R"("volumes[0].device" names no device of the file)"},
        {R"({"volumes": [{"root": "C:\\", "size_kb": 1}]})", R"("volumes[0].size_kb" needs a "device")"},
        {R"({"volumes": [{"root": "C:\\", "open": "ok"}]})", R"("volumes[0].open" needs a "device")"},
        {R"({"devices": [{"path": "D"}], "volumes": [{"root": "C:\\", "device": "D", "size_kb": 1, "partition_length": 1024}]})",
         R"("volumes[0]" may give "size_kb" or "partition_length", not both)"},
        {R"({"devices": [{"path": "D"}], "volumes": [{"root": "C:\\", "device": "D", "size_kb": -1}]})",
         R"("volumes[0].size_kb" must be an integer from 0 to 9007199254740991)"},
        {R"({"volumes": [{"root": "C:\\", "label": "SYSTEM"}]})", R"(unknown key "volumes[0].label")"},
    });
    std::string many = R"({"volumes": [)";
    for (int i = 0; i < 27; ++i) many += std::string(i == 0 ? "" : ", ") + R"({"root": "C:\\"})";
    EXPECT_EQ(fault_of(many + "]}"), R"("volumes" holds more than 26 volumes)");
}

TEST_F(SimDiscoveryFile, RegistryFaults) {
    expect({
        {R"({"registry": []})", R"("registry" must be an object)"},
        {R"({"registry": {"A\\\\B": {}}})",
         R"(registry key "registry['A\\B']" must be names of 1 to 255 characters separated by single backslashes)"},
        {R"({"registry": {"SOFTWARE\\": {}}})",
         R"(registry key "registry['SOFTWARE\']" must be names of 1 to 255 characters separated by single backslashes)"},
        {R"({"registry": {"SOFTWARE\\XMV": {}, "software\\xmv": {}}})",
         R"("registry['software\xmv']" repeats an earlier key (key names ignore case))"},
        {R"({"registry": {"K": 5}})", R"("registry.K" must be an object)"},
        {R"({"registry": {"K": {"Port": 1, "PORT": 2}}})", R"("registry.K.Port" repeats an earlier value name (value names ignore case))"},
        {R"({"registry": {"K": {"V": -1}}})", R"("registry.K.V" must be an integer from 0 to 4294967295 (REG_DWORD) or a string (REG_SZ))"},
        {R"({"registry": {"K": {"V": 4294967296}}})", R"("registry.K.V" must be an integer from 0 to 4294967295 (REG_DWORD) or a string (REG_SZ))"},
        {R"({"registry": {"K": {"V": 1.0}}})", R"("registry.K.V" must be an integer from 0 to 4294967295 (REG_DWORD) or a string (REG_SZ))"},
        {R"({"registry": {"K": {"V": [1]}}})", R"("registry.K.V" must be an integer from 0 to 4294967295 (REG_DWORD) or a string (REG_SZ))"},
    });
    // A name of 256 characters is one too many.
    EXPECT_EQ(fault_of(R"({"registry": {"A\\)" + std::string(256, 'n') + R"(": {}}})"),
              "registry key \"registry['A\\" + std::string(62, 'n') + "...']\" must be names of 1 to 255 characters "
              "separated by single backslashes");
}

}  // namespace
