// Tests of the Windows provider against the real Win32 API (run under Wine by the cross build), and its explicit answers for the products it has no clients of.
#include "pds/platform.h"
#include "pds/product_clients.h"
#include "pds/win_device_layouts.h"
#include "multipath_win32.h"

#include <gtest/gtest.h>

namespace {
// Taken before <windows.h> makes macros of these names.
constexpr std::uint32_t kGenericRead = pds::win::GENERIC_READ;
constexpr std::uint32_t kShareReadWrite = pds::win::FILE_SHARE_READ | pds::win::FILE_SHARE_WRITE;
constexpr std::uint32_t kGetAddress = pds::win::IOCTL_SCSI_GET_ADDRESS;
constexpr std::uint32_t kFailCriticalErrors = pds::win::SEM_FAILCRITICALERRORS;
}  // namespace

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>

namespace {

// Run as a tool with LUNSCAN_TEST_PROBE_HANDLE set, the test program only says (exit status 1)
// whether it holds an open, signalled object at that handle value: whether it inherited the handle.
[[maybe_unused]] const bool g_probe_done = [] {
    char value[32] = {};
    if (GetEnvironmentVariableA("LUNSCAN_TEST_PROBE_HANDLE", value, sizeof value) == 0) return false;
    const HANDLE h = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::stoull(value)));
    DWORD flags = 0;
    ExitProcess(GetHandleInformation(h, &flags) && WaitForSingleObject(h, 0) == WAIT_OBJECT_0 ? 1 : 0);
}();

// Object names are host-wide: keep parallel test processes apart.
std::string unique_name(const char* what) {
    return std::string("lunscan-test-") + what + "-" + std::to_string(GetCurrentProcessId());
}

class Win32Provider : public ::testing::Test {
protected:
    std::unique_ptr<pds::Platform> p = pds::make_real_platform();
};

TEST_F(Win32Provider, EnvironmentLookup) {
    EXPECT_EQ(p->name(), "win32");
    const std::string name = unique_name("env");
    EXPECT_FALSE(p->get_env(name.c_str()).has_value());
    // Longer than the first buffer the provider tries.
    const std::string long_value(300, 'v');
    ASSERT_TRUE(SetEnvironmentVariableA(name.c_str(), long_value.c_str()));
    EXPECT_EQ(p->get_env(name.c_str()), long_value);

    ASSERT_TRUE(SetEnvironmentVariableA(name.c_str(), nullptr));
    EXPECT_FALSE(p->get_env(name.c_str()).has_value());
}

TEST_F(Win32Provider, Clocks) {
    const pds::LocalTime t = p->local_time();
    EXPECT_TRUE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.weekday >= 0 && t.weekday <= 6);
    // yearday counts from 0: it is at least the days of the full months before, at most 30 more.
    EXPECT_GE(t.yearday, (t.month - 1) * 28 + t.day - 1);
    EXPECT_LE(t.yearday, 365);
    // "Wed Jun  3 04:05:06 2026": fixed columns, space-padded day, the clock's year at the end.
    const std::string d = p->date_text();
    ASSERT_EQ(d.size(), 24u) << d;
    EXPECT_EQ(d.substr(3, 1) + d.substr(7, 1) + d.substr(13, 1) + d.substr(16, 1), "  ::") << d;
    EXPECT_EQ(d.substr(20), std::to_string(p->local_time().year));
    EXPECT_GT(p->epoch_seconds(), 1577836800);  // after 2020-01-01

    const std::int64_t start = p->monotonic_ns();
    Sleep(20);
    EXPECT_GT(p->monotonic_ns(), start);
}

TEST_F(Win32Provider, ProcessAndThreadIdentity) {
    EXPECT_EQ(p->process_id(), GetCurrentProcessId());
    EXPECT_EQ(p->thread_id(), GetCurrentThreadId());
    EXPECT_EQ(p->thread_number(), 0u);  // gtest runs the tests on the main thread

    std::uint32_t first = 0, second = 0;
    std::thread([&] { first = p->thread_number(); }).join();
    std::thread([&] { second = p->thread_number(); }).join();
    EXPECT_NE(first, 0u);
    EXPECT_EQ(second, first + 1);
}

TEST_F(Win32Provider, HostIdentityIsTheSystems) {
    const pds::HostIdentity id = p->host_identity();
    EXPECT_EQ(id.sysname, "Windows_NT");

    char node[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof node;
    ASSERT_TRUE(GetComputerNameA(node, &size));
    EXPECT_EQ(id.nodename, node);
    EXPECT_EQ(id.machine, "AMD64");
    EXPECT_EQ(id.release, std::to_string(id.os_major) + "." + std::to_string(id.os_minor));
    EXPECT_EQ(id.os_type & 0xFFFF, (id.os_major << 8) | id.os_minor);
    const std::uint32_t product = id.os_type >> 16;
    EXPECT_TRUE(product >= 1 && product <= 3) << std::hex << id.os_type;
    const std::string build = id.version.substr(0, id.version.find(' '));
    EXPECT_EQ(id.os_description.rfind("Windows " + id.release + " build " + build, 0), 0u) << id.os_description;
    const auto user = p->user_name();
    ASSERT_TRUE(user.has_value());
    EXPECT_FALSE(user->empty());
}

TEST_F(Win32Provider, NamedMutexIsSharedByName) {
    const std::string name = unique_name("mutex");
    std::unique_ptr<pds::NamedMutex> a, b;
    ASSERT_EQ(p->open_named_mutex(name, a), 0u);
    ASSERT_EQ(p->open_named_mutex(name, b), 0u);

    ASSERT_EQ(a->lock(), 0u);
    // A Windows mutex is owned by a thread: the other handle is tried from another thread.
    pds::os_error while_held = 0;
    std::thread([&] { while_held = b->lock(0); }).join();
    EXPECT_EQ(while_held, pds::kErrorSemTimeout);
    EXPECT_EQ(a->unlock(), 0u);
    EXPECT_EQ(a->unlock(), pds::kErrorNotOwner);  // this thread no longer owns it

    // A thread that ends holding it abandons it; the next waiter owns it.
    std::thread([&] { b->lock(0); }).join();
    EXPECT_EQ(a->lock(0), 0u);
    EXPECT_EQ(a->lock(0), 0u);
    // CloseHandle alone would leave it owned by this thread, which lives on: the handle gives
    // back both acquisitions before it closes.
    a.reset();
    pds::os_error after_close = 1;
    std::thread([&] { after_close = b->lock(0); if (after_close == 0) b->unlock(); }).join();
    EXPECT_EQ(after_close, 0u);
}

// The objects live in the global namespace; where that one is closed to the process, in its session.
TEST_F(Win32Provider, HostWideNamesFallBackToTheSession) {
    const std::string name = unique_name("global");
    std::unique_ptr<pds::NamedMutex> mutex;
    ASSERT_EQ(p->open_named_mutex(name, mutex), 0u);
    HANDLE global = OpenMutexA(SYNCHRONIZE, FALSE, ("Global\\" + name).c_str());
    EXPECT_NE(global, nullptr);
    CloseHandle(global);

    // A global object whose empty DACL admits nobody.
    const std::string closed = unique_name("closed");
    SECURITY_DESCRIPTOR nobody{};
    InitializeSecurityDescriptor(&nobody, SECURITY_DESCRIPTOR_REVISION);
    ACL empty{};
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityDescriptorDacl(&nobody, TRUE, &empty, FALSE);
    SECURITY_ATTRIBUTES sa{sizeof sa, &nobody, FALSE};
    HANDLE blocker = CreateMutexA(&sa, FALSE, ("Global\\" + closed).c_str());
    ASSERT_NE(blocker, nullptr);
    ASSERT_EQ(p->open_named_mutex(closed, mutex), 0u);
    HANDLE session = OpenMutexA(SYNCHRONIZE, FALSE, closed.c_str());
    EXPECT_NE(session, nullptr);
    CloseHandle(session);
    CloseHandle(blocker);
}

TEST_F(Win32Provider, SharedMemoryIsSharedByName) {
    const std::string name = unique_name("shm");
    std::unique_ptr<pds::SharedMemory> first, second;
    bool created = false;
    ASSERT_EQ(p->open_shared_memory(name, 4, first, created), 0u);
    EXPECT_TRUE(created);
    EXPECT_EQ(std::memcmp(first->data(), "\0\0\0\0", 4), 0);
    std::memcpy(first->data(), "\x12\x34\x56\x78", 4);
    ASSERT_EQ(p->open_shared_memory(name, 4, second, created), 0u);
    EXPECT_FALSE(created);
    EXPECT_NE(second->data(), first->data());  // another view of the same bytes
    EXPECT_EQ(std::memcmp(second->data(), "\x12\x34\x56\x78", 4), 0);
    EXPECT_EQ(first->close(), 0u);
    EXPECT_EQ(first->close(), 0u);
    // Gone once the last handle closes, as a Windows mapping is.
    EXPECT_EQ(second->close(), 0u);
    ASSERT_EQ(p->open_shared_memory(name, 4, first, created), 0u);
    EXPECT_TRUE(created);
    EXPECT_EQ(p->open_shared_memory(unique_name("empty"), 0, first, created), pds::kErrorInvalidParameter);
}

// The seam's one name rule holds here too, although Windows itself would take these names.
TEST_F(Win32Provider, ObjectNamesFollowTheSeamsRule) {
    std::unique_ptr<pds::NamedMutex> mutex;
    std::unique_ptr<pds::SharedMemory> memory;
    bool created = false;
    for (const std::string& bad : {std::string("Local\\lunscan-test"), std::string("a b"),
                                  std::string(pds::kMaxObjectName + 1, 'x')}) {
        EXPECT_EQ(p->open_named_mutex(bad, mutex), pds::kErrorInvalidParameter) << bad;
        EXPECT_EQ(p->open_shared_memory(bad, 4, memory, created), pds::kErrorInvalidParameter) << bad;
    }
    EXPECT_EQ(p->open_named_mutex(unique_name("long") + std::string(200, 'x'), mutex), 0u);
}

TEST_F(Win32Provider, RunToolCollectsOutputAndStatus) {
    std::string out;
    int status = 99;
    // Quotes inside the command line reach the command untouched; stderr is collected too.
    ASSERT_EQ(p->run_tool("echo \"a  b\"& echo err 1>&2", &out, status), 0u);
    EXPECT_EQ(std::tie(out, status), std::make_tuple("\"a  b\"\r\nerr \r\n", 0));

    // The tool gets its standard handles and none of this process's other inheritable handles.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE event = CreateEventA(&inheritable, TRUE, TRUE, nullptr);
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    SetEnvironmentVariableA("LUNSCAN_TEST_PROBE_HANDLE", std::to_string(reinterpret_cast<std::uintptr_t>(event)).c_str());
    EXPECT_EQ(p->run_tool(std::string("\"") + self + "\"", nullptr, status), 0u);
    SetEnvironmentVariableA("LUNSCAN_TEST_PROBE_HANDLE", nullptr);
    CloseHandle(event);
    EXPECT_EQ(status, 0);

    // A tool whose main returned -1 exits with 0xFFFFFFFF, which reads back as -1.
    ASSERT_EQ(p->run_tool("exit -1", &out, status), 0u);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(out, "");
}

TEST_F(Win32Provider, DeviceCallsReportWindowsErrors) {
    pds::DeviceHandle h = 1;
    EXPECT_EQ(p->open_device({"\\\\.\\PHYSICALDRIVE999", kGenericRead, kShareReadWrite, false}, h),
              pds::kErrorFileNotFound);
    EXPECT_EQ(h, 0u);
    std::uint32_t returned = 7;
    EXPECT_EQ(p->device_io_control(0, kGetAddress, nullptr, 0, nullptr, 0, returned),
              pds::kErrorInvalidHandle);
    EXPECT_EQ(returned, 0u);

    // No multipathing driver is installed here: its library is not found (and never looked for in
    // the current directory); no service-processor software is ever reached.
    std::uint8_t block[96] = {};
    EXPECT_EQ(p->multipath_client().mp_scsi_pass_through(0, 32, block), pds::kMpNotEnabled);
    std::uint32_t volumes = 4;
    EXPECT_EQ(p->multipath_client().mp_list_volumes(volumes, nullptr), pds::kMpNotEnabled);
    EXPECT_EQ(volumes, 0u);
    EXPECT_EQ(p->multipath_client().library_fault(), "");  // not installed: nothing to report
    std::uint32_t client = 1;
    EXPECT_EQ(p->service_processor_client().sp_create_client("", "4220", "API_SP", false, client),
              pds::kErrorNotSupported);
    EXPECT_EQ(client, 0u);

    // The mode is the calling thread's: another thread's setting leaves this one's alone.
    const std::uint32_t before = p->set_error_mode(kFailCriticalErrors);
    std::uint32_t other = 99;
    std::thread([&] { other = p->set_error_mode(0); }).join();
    EXPECT_NE(other, kFailCriticalErrors);
    EXPECT_EQ(p->set_error_mode(before), kFailCriticalErrors);
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
        const DWORD port = 2707;
        RegSetValueExA(key, "Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof port);
        RegCloseKey(key);
    }
    void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str()); }
};

// A key a 32-bit installer wrote lives in the registry's 32-bit view only; it is found there.
TEST_F(Win32Registry, KeysOfThe32BitViewAreFound) {
    const std::string only32 = path + "-wow";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, only32.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    std::unique_ptr<pds::RegistryKey> found;
    EXPECT_EQ(p->registry_open_local_machine(only32, found), 0u);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, only32.c_str(), KEY_WOW64_32KEY, 0);
}

TEST_F(Win32Registry, KeysValuesAndTypes) {
    std::unique_ptr<pds::RegistryKey> key;
    ASSERT_EQ(p->registry_open_local_machine(path, key), 0u);

    std::string name;
    EXPECT_EQ(key->enum_subkey(0, name), 0u);
    EXPECT_EQ(name, "INSTANCE1");
    EXPECT_EQ(key->enum_subkey(1, name), pds::kErrorNoMoreItems);
    EXPECT_EQ(key->enum_value(0, name), 0u);
    EXPECT_EQ(key->enum_value(3, name), pds::kErrorNoMoreItems);  // Library, Bare and Port

    std::string text;
    EXPECT_EQ(key->query_string("Library", text), 0u);
    EXPECT_EQ(text, "C:\\Program Files\\lib.dll");
    EXPECT_EQ(key->query_string("Bare", text), 0u);
    EXPECT_EQ(text, "abc");
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

// Modules come from LoadLibraryA: the loader's full path, exported functions by name, and the
// system's own text when a module cannot be found.
TEST_F(Win32Provider, ModulesComeFromTheLoader) {
    std::unique_ptr<pds::Module> module;
    std::string resolved, message;
    ASSERT_EQ(p->load_module("KERNEL32.DLL", module, resolved, message), 0u) << message;
    EXPECT_NE(resolved.find('\\'), std::string::npos) << resolved;  // a full path, not the name asked for
    EXPECT_NE(module->symbol("GetTickCount"), nullptr);
    EXPECT_EQ(module->symbol("NoSuchFunction"), nullptr);
    EXPECT_EQ(p->load_module("lunscan-test-absent.dll", module, resolved, message), pds::kErrorModNotFound);
    EXPECT_EQ(module, nullptr);
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(message.find('\n'), std::string::npos);
}

// A library file that is not a 64-bit module (a 32-bit build of the driver's library answers the
// same error 193) is reported as such, not taken for a host without the driver.
TEST(Win32Multipath, LibraryThatIsNotA64BitModuleIsSaidSo) {
    char exe[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(nullptr, exe, MAX_PATH), 0u);
    const std::filesystem::path planted = std::filesystem::path(exe).parent_path() / "lunscan-test-not64.dll";
    std::ofstream(planted) << "not a module\n";
    {
        const auto client = pds::make_win32_multipath_driver("lunscan-test-not64.dll");
        std::uint32_t count = 4;
        EXPECT_EQ(client->mp_list_volumes(count, nullptr), pds::kMpNotEnabled);
        EXPECT_EQ(client->library_fault(),
                  "lunscan-test-not64.dll is not a 64-bit library (error 193): a 32-bit build of it cannot be loaded "
                  "into lunscan");
    }
    std::filesystem::remove(planted);
    EXPECT_EQ(pds::make_win32_multipath_driver("lunscan-test-absent.dll")->library_fault(), "");
}

}  // namespace
