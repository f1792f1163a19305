// Tests of the Windows provider against the real Win32 API (run under Wine by the cross build).
#include "pds/platform.h"
#include "pds/product_clients.h"
#include "pds/win_device_layouts.h"

#include <gtest/gtest.h>

namespace {
// Taken before <windows.h> makes macros of these names.
constexpr std::uint32_t kGenericRead = pds::win::GENERIC_READ;
constexpr std::uint32_t kShareReadWrite = pds::win::FILE_SHARE_READ | pds::win::FILE_SHARE_WRITE;
constexpr std::uint32_t kGetAddress = pds::win::IOCTL_SCSI_GET_ADDRESS;
constexpr std::uint32_t kFailCriticalErrors = pds::win::SEM_FAILCRITICALERRORS;
}  // namespace

#include <windows.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <thread>

namespace {

// Object names are host-wide: keep parallel test processes apart.
std::string unique_name(const char* what) {
    return std::string("lunscan-test-") + what + "-" + std::to_string(GetCurrentProcessId());
}

class Win32Provider : public ::testing::Test {
protected:
    std::unique_ptr<pds::Platform> p = pds::make_real_platform();
};

TEST_F(Win32Provider, IsTheWin32Provider) { EXPECT_EQ(p->name(), "win32"); }

TEST_F(Win32Provider, EnvironmentLookup) {
    const std::string name = unique_name("env");
    EXPECT_FALSE(p->get_env(name.c_str()).has_value());

    // Longer than the first buffer the provider tries.
    const std::string long_value(300, 'v');
    ASSERT_TRUE(SetEnvironmentVariableA(name.c_str(), long_value.c_str()));
    EXPECT_EQ(p->get_env(name.c_str()), long_value);

    ASSERT_TRUE(SetEnvironmentVariableA(name.c_str(), "x"));
    EXPECT_EQ(p->get_env(name.c_str()), "x");

    ASSERT_TRUE(SetEnvironmentVariableA(name.c_str(), nullptr));
    EXPECT_FALSE(p->get_env(name.c_str()).has_value());
}

TEST_F(Win32Provider, ClockFieldsAgree) {
    const pds::LocalTime t = p->local_time();
    EXPECT_GE(t.year, 2020);
    EXPECT_TRUE(t.month >= 1 && t.month <= 12);
    EXPECT_TRUE(t.day >= 1 && t.day <= 31);
    EXPECT_TRUE(t.millisecond >= 0 && t.millisecond <= 999);
    EXPECT_TRUE(t.weekday >= 0 && t.weekday <= 6);
    // yearday counts from 0: it is at least the days of the full months before, at most 30 more.
    EXPECT_GE(t.yearday, (t.month - 1) * 28 + t.day - 1);
    EXPECT_LE(t.yearday, 365);

    // "Wed Jun  3 04:05:06 2026": fixed columns, space-padded day, the clock's year at the end.
    const std::string d = p->date_text();
    ASSERT_EQ(d.size(), 24u) << d;
    EXPECT_EQ(d[3], ' ');
    EXPECT_EQ(d[7], ' ');
    EXPECT_TRUE(d[8] == ' ' || std::isdigit(static_cast<unsigned char>(d[8]))) << d;
    EXPECT_EQ(d[13], ':');
    EXPECT_EQ(d[16], ':');
    EXPECT_EQ(d.substr(20), std::to_string(p->local_time().year));

    EXPECT_GT(p->epoch_seconds(), 1577836800);  // after 2020-01-01
}

TEST_F(Win32Provider, ProcessAndThreadIdentity) {
    EXPECT_EQ(p->process_id(), GetCurrentProcessId());
    EXPECT_EQ(p->thread_id(), GetCurrentThreadId());
    EXPECT_EQ(p->thread_number(), 0u);  // gtest runs the tests on the main thread

    std::uint32_t first = 0, again = 0, second = 0;
    std::thread([&] {
        first = p->thread_number();
        again = p->thread_number();
    }).join();
    std::thread([&] { second = p->thread_number(); }).join();
    EXPECT_NE(first, 0u);
    EXPECT_EQ(first, again);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(p->thread_number(), 0u);
}

TEST_F(Win32Provider, HostIdentityIsTheSystems) {
    const pds::HostIdentity id = p->host_identity();
    EXPECT_EQ(id.sysname, "Windows_NT");

    char node[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof node;
    ASSERT_TRUE(GetComputerNameA(node, &size));
    EXPECT_EQ(id.nodename, node);
    EXPECT_FALSE(id.nodename.empty());
    EXPECT_EQ(id.machine, "AMD64");

    EXPECT_EQ(id.release, std::to_string(id.os_major) + "." + std::to_string(id.os_minor));
    EXPECT_GE(id.os_major, 5u);
    ASSERT_FALSE(id.version.empty());
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(id.version[0]))) << id.version;
    EXPECT_EQ(id.os_type & 0xFFFF, (id.os_major << 8) | id.os_minor);
    const std::uint32_t product = id.os_type >> 16;
    EXPECT_TRUE(product >= 1 && product <= 3) << std::hex << id.os_type;
    const std::string build = id.version.substr(0, id.version.find(' '));
    EXPECT_EQ(id.os_description.rfind("Windows " + id.release + " build " + build, 0), 0u) << id.os_description;
}

TEST_F(Win32Provider, UserName) {
    const auto user = p->user_name();
    ASSERT_TRUE(user.has_value());
    EXPECT_FALSE(user->empty());
    EXPECT_EQ(user->find('\0'), std::string::npos);
}

TEST_F(Win32Provider, NamedMutexIsSharedByName) {
    const std::string name = unique_name("mutex");
    std::unique_ptr<pds::NamedMutex> a, b;
    ASSERT_EQ(p->open_named_mutex(name, a), 0u);
    ASSERT_EQ(p->open_named_mutex(name, b), 0u);

    ASSERT_EQ(a->lock(), 0u);
    // A Windows mutex is owned by a thread: the other handle is tried from another thread.
    pds::os_error while_held = 0, after_release = 1;
    std::thread([&] { while_held = b->lock(0); }).join();
    EXPECT_EQ(while_held, pds::kErrorSemTimeout);
    EXPECT_EQ(a->unlock(), 0u);
    std::thread([&] {
        after_release = b->lock(0);
        b->unlock();
    }).join();
    EXPECT_EQ(after_release, 0u);

    // Unlocking a mutex this thread does not own is refused.
    EXPECT_EQ(a->unlock(), pds::kErrorNotOwner);
}

TEST_F(Win32Provider, AbandonedMutexCountsAsOwned) {
    const std::string name = unique_name("abandoned");
    std::unique_ptr<pds::NamedMutex> m;
    ASSERT_EQ(p->open_named_mutex(name, m), 0u);
    std::thread([&] { ASSERT_EQ(m->lock(), 0u); }).join();  // the thread ends holding it
    EXPECT_EQ(m->lock(0), 0u);
    EXPECT_EQ(m->unlock(), 0u);
}

TEST_F(Win32Provider, SharedMemoryIsSharedByName) {
    const std::string name = unique_name("shm");
    std::unique_ptr<pds::SharedMemory> first, second;
    bool created = false;
    ASSERT_EQ(p->open_shared_memory(name, 4, first, created), 0u);
    EXPECT_TRUE(created);
    ASSERT_EQ(first->size(), 4u);
    std::uint32_t value = 0xFFFFFFFF;
    std::memcpy(&value, first->data(), 4);
    EXPECT_EQ(value, 0u);

    value = 0x12345678;
    std::memcpy(first->data(), &value, 4);
    ASSERT_EQ(p->open_shared_memory(name, 4, second, created), 0u);
    EXPECT_FALSE(created);
    EXPECT_NE(second->data(), first->data());
    std::uint32_t seen = 0;
    std::memcpy(&seen, second->data(), 4);
    EXPECT_EQ(seen, 0x12345678u);

    EXPECT_EQ(first->close(), 0u);
    EXPECT_EQ(first->close(), 0u);
    EXPECT_EQ(first->data(), nullptr);
    EXPECT_EQ(first->size(), 0u);
    // Still alive through the second handle; gone once the last one closes.
    std::memcpy(&seen, second->data(), 4);
    EXPECT_EQ(seen, 0x12345678u);
    EXPECT_EQ(second->close(), 0u);
    ASSERT_EQ(p->open_shared_memory(name, 4, first, created), 0u);
    EXPECT_TRUE(created);
}

TEST_F(Win32Provider, SharedMemoryOfNoSizeIsRefused) {
    std::unique_ptr<pds::SharedMemory> m;
    bool created = true;
    EXPECT_EQ(p->open_shared_memory(unique_name("empty"), 0, m, created), pds::kErrorInvalidParameter);
    EXPECT_EQ(m, nullptr);
}

TEST_F(Win32Provider, RunToolCollectsOutputAndStatus) {
    std::string out;
    int status = 99;
    ASSERT_EQ(p->run_tool("cmd /c echo hi", &out, status), 0u);
    EXPECT_EQ(out, "hi\r\n");
    EXPECT_EQ(status, 0);

    // Quotes inside the command line reach the command untouched; stderr is collected too.
    ASSERT_EQ(p->run_tool("echo \"a  b\"& echo err 1>&2", &out, status), 0u);
    EXPECT_EQ(out, "\"a  b\"\r\nerr \r\n");

    ASSERT_EQ(p->run_tool("exit 3", nullptr, status), 0u);
    EXPECT_EQ(status, 3);
    // A tool whose main returned -1 exits with 0xFFFFFFFF, which reads back as -1.
    ASSERT_EQ(p->run_tool("exit -1", &out, status), 0u);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(out, "");
}

TEST_F(Win32Provider, DeviceCallsReportWindowsErrors) {
    pds::DeviceHandle h = 1;
    pds::DeviceOpenRequest missing;
    missing.path = "\\\\.\\PHYSICALDRIVE999";
    missing.desired_access = kGenericRead;
    missing.share_mode = kShareReadWrite;
    EXPECT_EQ(p->open_device(missing, h), pds::kErrorFileNotFound);
    EXPECT_EQ(h, 0u);
    std::uint32_t returned = 7;
    EXPECT_EQ(p->device_io_control(0, kGetAddress, nullptr, 0, nullptr, 0, returned),
              pds::kErrorInvalidHandle);
    EXPECT_EQ(returned, 0u);

    // No multipathing driver here: its library cannot be loaded.
    std::uint8_t block[96] = {};
    EXPECT_EQ(p->multipath_client().mp_scsi_pass_through(0, 32, block), pds::kMpNotEnabled);
    std::uint32_t volumes = 1;
    char names[pds::kMpVolumeNameBytes] = {};
    EXPECT_EQ(p->multipath_client().mp_list_volumes(volumes, names), pds::kMpNotEnabled);
    EXPECT_EQ(volumes, 0u);

    const std::uint32_t before = p->set_error_mode(kFailCriticalErrors);
    EXPECT_EQ(p->set_error_mode(before), kFailCriticalErrors);
}

TEST_F(Win32Provider, DiskInterfacesEnumerateToTheEnd) {
    std::unique_ptr<pds::DiskInterfaceSet> set;
    ASSERT_EQ(p->open_disk_interfaces(set), 0u);
    std::uint32_t index = 0;
    for (; index < 256 && set->enumerate(index) == 0; ++index) {
        std::uint32_t size = 0;
        EXPECT_EQ(set->detail_size(index, size), pds::kErrorInsufficientBuffer);
        EXPECT_GT(size, 8u);
        std::string path;
        ASSERT_EQ(set->detail_path(index, path), 0u);
        EXPECT_EQ(path.rfind("\\\\?\\", 0), 0u) << path;
    }
    EXPECT_EQ(set->enumerate(index), pds::kErrorNoMoreItems);
    std::string path = "stale";
    EXPECT_EQ(set->detail_path(index, path), pds::kErrorNoMoreItems);
    EXPECT_EQ(path, "");
}

TEST_F(Win32Provider, LogicalDrivesAndTheirTypes) {
    std::string roots;
    std::uint32_t required = 0;
    ASSERT_EQ(p->logical_drive_strings(512, roots, required), 0u);
    ASSERT_GE(roots.size(), 5u);  // "C:\\", its NUL and the list's
    EXPECT_EQ(required, roots.size() - 1);
    EXPECT_EQ(roots.substr(roots.size() - 2), std::string(2, '\0'));
    EXPECT_NE(roots.find(std::string("C:\\\0", 4)), std::string::npos);
    EXPECT_EQ(p->drive_type("C:\\"), pds::kDriveFixed);

    // Too small a buffer: nothing, and the buffer size that is needed (the closing NUL counted).
    std::uint32_t again = 0;
    ASSERT_EQ(p->logical_drive_strings(3, roots, again), 0u);
    EXPECT_EQ(roots, "");
    EXPECT_EQ(again, required + 1);

    // A letter that is not mapped has no root directory.
    const std::string letters = [&] {
        std::string all;
        char buffer[512];
        const DWORD n = GetLogicalDriveStringsA(sizeof buffer, buffer);
        for (DWORD i = 0; i < n; i += static_cast<DWORD>(std::strlen(buffer + i)) + 1) all += buffer[i];
        return all;
    }();
    for (char letter = 'Y'; letter > 'C'; --letter) {
        if (letters.find(letter) != std::string::npos) continue;
        EXPECT_EQ(p->drive_type(std::string(1, letter) + ":\\"), pds::kDriveNoRootDir) << letter;
        break;
    }
}

// A key of the test's own under HKEY_LOCAL_MACHINE, removed again at the end.
class Win32Registry : public Win32Provider {
protected:
    const std::string path = "SOFTWARE\\" + unique_name("registry");

    void SetUp() override {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS)
            << "no write access to HKEY_LOCAL_MACHINE";
        HKEY sub = nullptr;
        ASSERT_EQ(RegCreateKeyExA(key, "INSTANCE1", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(sub);
        const char text[] = "C:\\Program Files\\lib.dll";
        RegSetValueExA(key, "Library", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
        // Stored without its NUL, as careless writers do.
        RegSetValueExA(key, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3);
        RegSetValueExA(key, "Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>("%SystemRoot%"), 13);
        const DWORD port = 2707;
        RegSetValueExA(key, "Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof port);
        RegCloseKey(key);
    }
    void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str()); }
};

TEST_F(Win32Registry, KeysValuesAndTypes) {
    std::unique_ptr<pds::RegistryKey> key;
    ASSERT_EQ(p->registry_open_local_machine(path, key), 0u);

    std::string name;
    EXPECT_EQ(key->enum_subkey(0, name), 0u);
    EXPECT_EQ(name, "INSTANCE1");
    EXPECT_EQ(key->enum_subkey(1, name), pds::kErrorNoMoreItems);

    std::set<std::string> values;
    std::uint32_t index = 0;
    while (key->enum_value(index, name) == 0 && index < 10) {
        values.insert(name);
        ++index;
    }
    EXPECT_EQ(values, (std::set<std::string>{"Bare", "Expand", "Library", "Port"}));
    EXPECT_EQ(key->enum_value(index, name), pds::kErrorNoMoreItems);

    std::string text;
    EXPECT_EQ(key->query_string("Library", text), 0u);
    EXPECT_EQ(text, "C:\\Program Files\\lib.dll");
    EXPECT_EQ(key->query_string("Bare", text), 0u);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(key->query_string("Expand", text), 0u);
    EXPECT_EQ(text, "%SystemRoot%");  // read as stored, not expanded
    EXPECT_EQ(key->query_string("Missing", text), pds::kErrorFileNotFound);
    EXPECT_NE(key->query_string("Port", text), 0u);

    std::uint32_t number = 0;
    EXPECT_EQ(key->query_dword("Port", number), 0u);
    EXPECT_EQ(number, 2707u);
    EXPECT_NE(key->query_dword("Library", number), 0u);
    EXPECT_EQ(key->query_dword("Missing", number), pds::kErrorFileNotFound);

    std::unique_ptr<pds::RegistryKey> none;
    EXPECT_EQ(p->registry_open_local_machine(path + "\\NoSuchKey", none), pds::kErrorFileNotFound);
    EXPECT_EQ(none, nullptr);
}

}  // namespace
