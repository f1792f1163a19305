// The Windows provider of the platform seam: environment, time, host facts, named kernel objects, devices, discovery and tools through the Win32 API.
//
// Product clients. The service-processor software and the multipathing driver are products of
// their own whose interfaces this system does not carry: their clients answer as absent (not
// supported; the driver's library not enabled), whatever is installed on the host.
//
// Object names. Named mutexes and file mappings are host-wide: the library's name ("KorvSharedMemory",
// "KorvLockChainCode", "KorvDevLock_...") goes into the "Global\" namespace, so the lunscans of
// every logon session (a service, a remote desktop) share them. A process that may not create or
// open the global object (access denied: file mappings there need SeCreateGlobalPrivilege, and the
// object's DACL admits only SYSTEM and Administrators) falls back to the bare name in its own
// session. The objects' DACL grants SYSTEM and the Administrators all access and nobody else
// anything: a null DACL would let any user hold the device locks or rewrite the counter.
// Mutexes are handed out wrapped (detail::releasing_on_close), since CloseHandle does not release.
//
// Tools run by run_tool inherit their three standard handles and nothing else: an inherited disk
// handle or another tool's pipe end would keep that pipe open (its reader never sees end-of-file).
//
// Host type code (HostIdentity::os_type), as traced at start:
//   bits 0-7   minor version            (0x01 for 6.1, 0x00 for 10.0)
//   bits 8-15  major version            (0x06, 0x0A)
//   bits 16-23 product type             (1 workstation, 2 domain controller, 3 server)
// so Windows 10 gives 0x00010A00, Windows Server 2019 0x00030A00, Windows 7 0x00010601.
#include "pds/platform.h"
#include "pds/product_clients.h"
#include "pds/win_device_layouts.h"
#include "process_mutex.h"
#include "multipath_win32.h"

#include <cstddef>

// The library's names of the storage constants are the system's macro names: take their values
// before <windows.h> turns the names into macros, to check them against the system afterwards.
namespace pds::win_layout {
constexpr std::uint32_t kPassThroughDirect = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
constexpr std::uint32_t kGetInquiryData = win::IOCTL_SCSI_GET_INQUIRY_DATA;
constexpr std::uint32_t kGetAddress = win::IOCTL_SCSI_GET_ADDRESS;
constexpr std::uint32_t kQueryProperty = win::IOCTL_STORAGE_QUERY_PROPERTY;
constexpr std::uint32_t kGetDeviceNumber = win::IOCTL_STORAGE_GET_DEVICE_NUMBER;
constexpr std::uint32_t kGetPartitionInfo = win::IOCTL_DISK_GET_PARTITION_INFO;
constexpr std::uint32_t kGetLengthInfo = win::IOCTL_DISK_GET_LENGTH_INFO;
constexpr std::uint32_t kGenericRead = win::GENERIC_READ;
constexpr std::uint32_t kGenericWrite = win::GENERIC_WRITE;
constexpr std::uint32_t kShareRead = win::FILE_SHARE_READ;
constexpr std::uint32_t kShareWrite = win::FILE_SHARE_WRITE;
constexpr std::uint32_t kFailCriticalErrors = win::SEM_FAILCRITICALERRORS;
}  // namespace pds::win_layout

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// Defines (rather than declares) winioctl.h's interface class GUIDs here, so no GUID library is needed.
#include <initguid.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <sddl.h>
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace pds {
namespace {

// The library lays out the storage records itself; they must be the system's.
static_assert(win_layout::kPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(win_layout::kGetInquiryData == IOCTL_SCSI_GET_INQUIRY_DATA);
static_assert(win_layout::kGetAddress == IOCTL_SCSI_GET_ADDRESS);
static_assert(win_layout::kQueryProperty == IOCTL_STORAGE_QUERY_PROPERTY);
static_assert(win_layout::kGetDeviceNumber == IOCTL_STORAGE_GET_DEVICE_NUMBER);
static_assert(win_layout::kGetPartitionInfo == IOCTL_DISK_GET_PARTITION_INFO);
static_assert(win_layout::kGetLengthInfo == IOCTL_DISK_GET_LENGTH_INFO);
static_assert(sizeof(win::GetLengthInformation) == sizeof(GET_LENGTH_INFORMATION));
static_assert(sizeof(win::ScsiPassThroughDirect) == sizeof(SCSI_PASS_THROUGH_DIRECT));
static_assert(offsetof(win::ScsiPassThroughDirect, DataBuffer) == offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
static_assert(offsetof(win::ScsiPassThroughDirect, SenseInfoOffset) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset));
static_assert(offsetof(win::ScsiPassThroughDirect, Cdb) == offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb));
static_assert(sizeof(win::ScsiAddress) == sizeof(SCSI_ADDRESS));
static_assert(sizeof(win::StorageDeviceNumber) == sizeof(STORAGE_DEVICE_NUMBER));
static_assert(offsetof(win::StorageAdapterDescriptor, AlignmentMask) == offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask));
static_assert(win::kStorageAdapterProperty == StorageAdapterProperty);
static_assert(sizeof(win::PartitionInformation) == sizeof(PARTITION_INFORMATION));
static_assert(sizeof(win::ScsiBusData) == sizeof(SCSI_BUS_DATA));
static_assert(win::kScsiInquiryDataHeader == offsetof(SCSI_INQUIRY_DATA, InquiryData));
static_assert(win::kStorageDeviceDescriptorHeader == offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties));
static_assert(win_layout::kGenericRead == GENERIC_READ && win_layout::kGenericWrite == GENERIC_WRITE);
static_assert(win_layout::kShareRead == FILE_SHARE_READ && win_layout::kShareWrite == FILE_SHARE_WRITE);
static_assert(win_layout::kFailCriticalErrors == SEM_FAILCRITICALERRORS);

// The thread that runs static initialisation is the process's main thread.
const DWORD g_main_thread_id = GetCurrentThreadId();
// Numbers handed to the other threads so far; process-wide like the numbering itself.
std::atomic<std::uint32_t> g_last_thread_number{0};

// Tool output beyond this is drained but not kept: a runaway tool must not exhaust memory.
constexpr std::size_t kMaxToolOutput = 16u << 20;

os_error last_error_or(os_error fallback) {
    const DWORD e = GetLastError();
    return e != 0 ? static_cast<os_error>(e) : fallback;
}

// Owns one kernel handle.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) {
            reset();
            h_ = o.h_;
            o.h_ = nullptr;
        }
        return *this;
    }
    ~Handle() { reset(); }

    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    // Closes the handle; returns false when CloseHandle failed.
    bool reset() {
        bool ok = true;
        if (h_ != nullptr) ok = CloseHandle(h_) != FALSE;
        h_ = nullptr;
        return ok;
    }

private:
    HANDLE h_ = nullptr;
};

// Security attributes whose descriptor has a null DACL: the object is open to everyone.
struct OpenToAllAttributes {
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
    bool ok = false;

    OpenToAllAttributes() {
        ok = InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) != FALSE &&
             SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE) != FALSE;
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = &descriptor;
        attributes.bInheritHandle = FALSE;
    }
};

// Security attributes of the host-wide objects: a protected DACL granting SYSTEM and the
// Administrators all access, nobody else anything.
struct AdminsOnlyAttributes {
    SECURITY_ATTRIBUTES attributes{};
    PSECURITY_DESCRIPTOR descriptor = nullptr;

    AdminsOnlyAttributes() {
        ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                             &descriptor, nullptr);
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = descriptor;
        attributes.bInheritHandle = FALSE;
    }
    ~AdminsOnlyAttributes() { LocalFree(descriptor); }
    AdminsOnlyAttributes(const AdminsOnlyAttributes&) = delete;
    AdminsOnlyAttributes& operator=(const AdminsOnlyAttributes&) = delete;
    bool ok() const { return descriptor != nullptr; }
};

// Creates or opens the object `create` makes of a name: the global one first, the session's own
// when this process may not have the global one.
template <typename Create>
Handle create_host_wide(const std::string& name, Create create) {
    Handle h(create(("Global\\" + name).c_str()));
    if (h || GetLastError() != ERROR_ACCESS_DENIED) return h;
    return Handle(create(name.c_str()));
}

// The kernel mutex as Windows has it: closing the handle releases nothing.
class Win32NamedMutex final : public NamedMutex {
public:
    explicit Win32NamedMutex(Handle h) : handle_(std::move(h)) {}

    os_error lock(int timeout_ms) override {
        const DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
        switch (WaitForSingleObject(handle_.get(), wait)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:  // the previous owner died holding it; we own it now
            return 0;
        case WAIT_TIMEOUT:
            return kErrorSemTimeout;
        default:
            return last_error_or(kErrorInvalidHandle);
        }
    }

    os_error unlock() override {
        return ReleaseMutex(handle_.get()) ? 0 : last_error_or(kErrorInvalidHandle);
    }

private:
    Handle handle_;
};

class Win32SharedMemory final : public SharedMemory {
public:
    Win32SharedMemory(Handle mapping, void* view, std::size_t size)
        : mapping_(std::move(mapping)), view_(view), size_(size) {}
    ~Win32SharedMemory() override { close(); }

    void* data() override { return view_; }
    std::size_t size() const override { return view_ != nullptr ? size_ : 0; }

    os_error close() override {
        os_error result = 0;
        if (view_ != nullptr && !UnmapViewOfFile(view_)) result = last_error_or(kErrorInvalidHandle);
        view_ = nullptr;
        mapping_.reset();
        return result;
    }

private:
    Handle mapping_;
    void* view_;
    std::size_t size_;
};

int day_of_year(int year, int month, int day) {
    static constexpr int kBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12) return 0;
    return kBefore[month - 1] + day - 1 + (leap && month > 2 ? 1 : 0);
}

std::string machine_name(WORD architecture) {
    switch (architecture) {
    case PROCESSOR_ARCHITECTURE_AMD64: return "AMD64";
    case PROCESSOR_ARCHITECTURE_INTEL: return "x86";
    case PROCESSOR_ARCHITECTURE_IA64: return "IA64";
    case PROCESSOR_ARCHITECTURE_ARM: return "ARM";
#ifdef PROCESSOR_ARCHITECTURE_ARM64
    case PROCESSOR_ARCHITECTURE_ARM64: return "ARM64";
#endif
    default: return "unknown";
    }
}

std::string narrow(const WCHAR* text) {
    std::string out;
    for (; *text != 0; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

// The true version: GetVersionEx answers with whatever the executable's manifest claims.
bool real_os_version(RTL_OSVERSIONINFOEXW& info) {
    using RtlGetVersionFn = LONG(WINAPI*)(PRTL_OSVERSIONINFOW);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) return false;
    FARPROC proc = GetProcAddress(ntdll, "RtlGetVersion");
    if (proc == nullptr) return false;
    auto fn = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(proc));
    info = {};
    info.dwOSVersionInfoSize = sizeof info;
    return fn(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)) == 0;
}

// Runs `command_line` and collects what it writes to stdout and stderr (discarded when `output`
// is null). Returns 0 and the exit code when the process could be started.
os_error run_process(std::string command_line, std::string* output, int& exit_status) {
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;

    Handle read_end;
    Handle write_end;
    if (output != nullptr) {
        HANDLE r = nullptr;
        HANDLE w = nullptr;
        if (!CreatePipe(&r, &w, &inheritable, 0)) return last_error_or(kErrorNotEnoughMemory);
        read_end = Handle(r);
        write_end = Handle(w);
        if (!SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0))
            return last_error_or(kErrorInvalidHandle);
    } else {
        write_end = Handle(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       &inheritable, OPEN_EXISTING, 0, nullptr));
        if (!write_end) return last_error_or(kErrorFileNotFound);
    }
    // The tool gets an empty standard input so that it never waits for a keyboard.
    Handle input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr));
    if (!input) return last_error_or(kErrorFileNotFound);

    // The child inherits these two handles and no other inheritable handle of the process.
    HANDLE inherited[2] = {input.get(), write_end.get()};
    SIZE_T list_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
    std::vector<std::uint64_t> list_storage(list_size / sizeof(std::uint64_t) + 1);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &list_size)) return last_error_or(kErrorNotEnoughMemory);
    struct ListGuard {
        LPPROC_THREAD_ATTRIBUTE_LIST list;
        ~ListGuard() { DeleteProcThreadAttributeList(list); }
    } guard{list};
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited, nullptr,
                                   nullptr))
        return last_error_or(kErrorInvalidParameter);

    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = write_end.get();
    startup.StartupInfo.hStdError = write_end.get();
    startup.lpAttributeList = list;
    PROCESS_INFORMATION info{};
    // CreateProcessA may write into the command line buffer.
    std::vector<char> buffer(command_line.begin(), command_line.end());
    buffer.push_back('\0');
    if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                        nullptr, nullptr, &startup.StartupInfo, &info))
        return last_error_or(kErrorFileNotFound);
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    // Only the child may hold the write end now, so the pipe breaks when the child is done.
    write_end.reset();
    input.reset();

    if (output != nullptr) {
        output->clear();
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(read_end.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
            const std::size_t room = kMaxToolOutput - std::min(kMaxToolOutput, output->size());
            output->append(chunk, std::min<std::size_t>(got, room));
        }
    }
    if (WaitForSingleObject(process.get(), INFINITE) == WAIT_FAILED) return last_error_or(kErrorInvalidHandle);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) return last_error_or(kErrorInvalidHandle);
    exit_status = static_cast<int>(code);  // 0xFFFFFFFF is the -1 the tool returned from main
    return 0;
}

const GUID& kDiskInterfaceClass = GUID_DEVINTERFACE_DISK;

class Win32DiskInterfaceSet final : public DiskInterfaceSet {
public:
    explicit Win32DiskInterfaceSet(HDEVINFO set) : set_(set) {}
    ~Win32DiskInterfaceSet() override { SetupDiDestroyDeviceInfoList(set_); }
    Win32DiskInterfaceSet(const Win32DiskInterfaceSet&) = delete;
    Win32DiskInterfaceSet& operator=(const Win32DiskInterfaceSet&) = delete;

    os_error enumerate(std::uint32_t index) override {
        SP_DEVICE_INTERFACE_DATA data;
        return member(index, data);
    }

    os_error detail_size(std::uint32_t index, std::uint32_t& required_size) override {
        required_size = 0;
        SP_DEVICE_INTERFACE_DATA data;
        if (const os_error e = member(index, data)) return e;
        DWORD required = 0;
        const BOOL ok = SetupDiGetDeviceInterfaceDetailA(set_, &data, nullptr, 0, &required, nullptr);
        const os_error e = ok ? 0 : last_error_or(kErrorInvalidParameter);
        required_size = required;
        return e;
    }

    os_error detail_path(std::uint32_t index, std::string& path) override {
        path.clear();
        SP_DEVICE_INTERFACE_DATA data;
        if (const os_error e = member(index, data)) return e;
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set_, &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        // The detail record is a header and the path; keep it aligned for the header.
        std::vector<std::uint64_t> storage((required + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set_, &data, detail, required, nullptr, nullptr))
            return last_error_or(kErrorInvalidParameter);
        const std::size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        const char* text = detail->DevicePath;
        path.assign(text, strnlen(text, required - offset));
        return 0;
    }

private:
    os_error member(std::uint32_t index, SP_DEVICE_INTERFACE_DATA& data) {
        data = {};
        data.cbSize = sizeof data;
        return SetupDiEnumDeviceInterfaces(set_, nullptr, &kDiskInterfaceClass, index, &data)
                   ? 0
                   : last_error_or(kErrorNoMoreItems);
    }

    HDEVINFO set_;
};

class Win32RegistryKey final : public RegistryKey {
public:
    explicit Win32RegistryKey(HKEY key) : key_(key) {}
    ~Win32RegistryKey() override { RegCloseKey(key_); }
    Win32RegistryKey(const Win32RegistryKey&) = delete;
    Win32RegistryKey& operator=(const Win32RegistryKey&) = delete;

    os_error enum_subkey(std::uint32_t index, std::string& name) override {
        char buffer[256];  // key names have at most 255 characters
        DWORD length = sizeof buffer;
        const LONG e = RegEnumKeyExA(key_, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
        name = e == ERROR_SUCCESS ? std::string(buffer, std::min<DWORD>(length, sizeof buffer)) : std::string();
        return static_cast<os_error>(e);
    }

    os_error enum_value(std::uint32_t index, std::string& name) override {
        std::vector<char> buffer(16384);  // value names have at most 16383 characters
        DWORD length = static_cast<DWORD>(buffer.size());
        const LONG e = RegEnumValueA(key_, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
        name = e == ERROR_SUCCESS ? std::string(buffer.data(), std::min<std::size_t>(length, buffer.size()))
                                  : std::string();
        return static_cast<os_error>(e);
    }

    os_error query_string(const std::string& value_name, std::string& value) override {
        value.clear();
        std::vector<BYTE> data;
        DWORD type = 0;
        if (const os_error e = query(value_name, type, data)) return e;
        if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_UNSUPPORTED_TYPE;
        // The stored text need not end with its NUL, or may carry several.
        const char* text = reinterpret_cast<const char*>(data.data());
        value.assign(text, strnlen(text, data.size()));
        return 0;
    }

    os_error query_dword(const std::string& value_name, std::uint32_t& value) override {
        value = 0;
        std::vector<BYTE> data;
        DWORD type = 0;
        if (const os_error e = query(value_name, type, data)) return e;
        if (type != REG_DWORD || data.size() != sizeof value) return ERROR_UNSUPPORTED_TYPE;
        std::memcpy(&value, data.data(), sizeof value);
        return 0;
    }

private:
    // The value's type and bytes; grows the buffer while the value grows under us.
    os_error query(const std::string& value_name, DWORD& type, std::vector<BYTE>& data) {
        DWORD size = 0;
        LONG e = RegQueryValueExA(key_, value_name.c_str(), nullptr, &type, nullptr, &size);
        for (int attempt = 0; e == ERROR_SUCCESS || e == ERROR_MORE_DATA; ++attempt) {
            data.assign(size + 1, 0);
            DWORD got = size;
            e = RegQueryValueExA(key_, value_name.c_str(), nullptr, &type, data.data(), &got);
            if (e == ERROR_SUCCESS) {
                data.resize(std::min<DWORD>(got, size));
                return 0;
            }
            if (e != ERROR_MORE_DATA || attempt == 8) break;
            size = std::max<DWORD>(got, size * 2);
        }
        data.clear();
        return static_cast<os_error>(e);
    }

    HKEY key_;
};

// A module loaded with LoadLibraryA, freed when the object goes.
class Win32Module final : public Module {
public:
    explicit Win32Module(HMODULE module) : module_(module) {}
    ~Win32Module() override { FreeLibrary(module_); }
    Win32Module(const Win32Module&) = delete;
    Win32Module& operator=(const Win32Module&) = delete;

    void* symbol(const char* name) override {
        if (name == nullptr) return nullptr;
        return reinterpret_cast<void*>(GetProcAddress(module_, name));
    }

private:
    HMODULE module_;
};

// The system's text for an error number, on one line, without the line end it comes with.
std::string system_message(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length != 0 && text != nullptr ? std::string(text, length) : std::string();
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) message.pop_back();
    for (char& c : message) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return message;
}

HANDLE to_handle(DeviceHandle handle) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle)); }

class Win32Platform final : public Platform {
public:
    std::string_view name() const override { return "win32"; }

    std::optional<std::string> get_env(const char* name) override {
        if (name == nullptr || *name == '\0') return std::nullopt;
        std::string value(64, '\0');
        for (;;) {
            SetLastError(0);
            const DWORD n = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
            if (n == 0) {
                if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
                return std::string();
            }
            if (n < value.size()) {  // fitted: n is the length without the NUL
                value.resize(n);
                return value;
            }
            value.assign(n, '\0');  // too small: n is the size needed, NUL included
        }
    }

    LocalTime local_time() override {
        SYSTEMTIME st{};
        GetLocalTime(&st);
        LocalTime t;
        t.year = st.wYear;
        t.month = st.wMonth;
        t.day = st.wDay;
        t.hour = st.wHour;
        t.minute = st.wMinute;
        t.second = st.wSecond;
        t.millisecond = st.wMilliseconds;
        t.weekday = st.wDayOfWeek;
        t.yearday = day_of_year(st.wYear, st.wMonth, st.wDay);
        return t;
    }

    std::string date_text() override {
        static constexpr const char* kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        const LocalTime t = local_time();
        if (t.weekday < 0 || t.weekday > 6 || t.month < 1 || t.month > 12) return {};
        char text[64];
        const int n = std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[t.weekday],
                                    kMonths[t.month - 1], t.day, t.hour, t.minute, t.second, t.year);
        return n > 0 && static_cast<std::size_t>(n) < sizeof text ? std::string(text, n) : std::string();
    }

    std::int64_t epoch_seconds() override {
        FILETIME ft{};
        GetSystemTimeAsFileTime(&ft);
        const std::uint64_t ticks = (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
        constexpr std::uint64_t kEpochTicks = 116444736000000000ull;  // 1601-01-01 to 1970-01-01
        return static_cast<std::int64_t>((ticks - kEpochTicks) / 10000000ull);
    }

    std::int64_t monotonic_ns() override {
        // The counter's frequency is fixed at boot; whole seconds and the rest are scaled apart
        // so that the product never overflows.
        static const std::int64_t frequency = [] {
            LARGE_INTEGER f{};
            return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 1;
        }();
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        const std::int64_t ticks = now.QuadPart;
        return ticks / frequency * 1000000000 + ticks % frequency * 1000000000 / frequency;
    }

    // 0xFFFFFFFF would be INFINITE: the longest finite wait stands in for it.
    void sleep_ms(std::uint32_t milliseconds) override { Sleep(std::min<DWORD>(milliseconds, INFINITE - 1)); }

    std::uint32_t process_id() override { return GetCurrentProcessId(); }

    std::uint32_t thread_number() override {
        // Per thread rather than per id: Windows reuses the ids of finished threads.
        thread_local std::uint32_t number = GetCurrentThreadId() == g_main_thread_id ? 0 : ++g_last_thread_number;
        return number;
    }

    std::uint64_t thread_id() override { return GetCurrentThreadId(); }

    HostIdentity host_identity() override {
        HostIdentity id;
        id.sysname = "Windows_NT";

        char node[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD node_size = sizeof node;
        if (GetComputerNameA(node, &node_size)) id.nodename.assign(node, std::min<DWORD>(node_size, sizeof node - 1));

        SYSTEM_INFO sys{};
        GetNativeSystemInfo(&sys);
        id.machine = machine_name(sys.wProcessorArchitecture);

        RTL_OSVERSIONINFOEXW v{};
        if (real_os_version(v)) {
            const std::string service_pack = narrow(v.szCSDVersion);
            id.os_major = v.dwMajorVersion;
            id.os_minor = v.dwMinorVersion;
            id.service_pack_major = v.wServicePackMajor;
            id.service_pack = service_pack;
            id.release = std::to_string(v.dwMajorVersion) + "." + std::to_string(v.dwMinorVersion);
            id.version = std::to_string(v.dwBuildNumber);
            id.os_build = v.dwBuildNumber;
            if (!service_pack.empty()) id.version += " " + service_pack;
            id.os_type = (static_cast<std::uint32_t>(v.wProductType) << 16) |
                         ((v.dwMajorVersion & 0xFF) << 8) | (v.dwMinorVersion & 0xFF);
            id.os_description = "Windows " + id.release + " build " + std::to_string(v.dwBuildNumber);
            if (!service_pack.empty()) id.os_description += " " + service_pack;
        } else {
            id.os_description = "Windows";
        }
        id.machine_id = machine_guid();
        id.vm_guest = hypervisor_of_guest();
        return id;
    }

    // The firmware the hypervisor gives its guests names its maker.
    static std::string hypervisor_of_guest() {
        auto bios_text = [](const char* value) { return local_machine_text("HARDWARE\\DESCRIPTION\\System\\BIOS", value); };
        const std::string maker = bios_text("SystemManufacturer");
        if (maker.rfind("VMware", 0) == 0) return "vmware";
        if (maker == "Microsoft Corporation" && bios_text("SystemProductName") == "Virtual Machine") return "hyperv";
        return {};
    }

    // The GUID Windows setup gives every installation.
    static std::string machine_guid() { return local_machine_text("SOFTWARE\\Microsoft\\Cryptography", "MachineGuid"); }

    // A REG_SZ value under HKEY_LOCAL_MACHINE, read through the 64-bit view of the registry (a
    // 32-bit process would otherwise be redirected to a view without it); empty when absent.
    static std::string local_machine_text(const char* subkey, const char* value) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
            return {};
        }
        char text[256] = {};
        DWORD size = sizeof text - 1;  // room for the NUL a stored string may lack
        DWORD type = 0;
        const LONG e = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
        RegCloseKey(key);
        if (e != ERROR_SUCCESS || type != REG_SZ) return {};
        return std::string(text, strnlen(text, sizeof text));
    }

    std::optional<std::string> user_name() override {
        char name[257] = {};  // UNLEN + 1
        DWORD size = sizeof name;
        if (!GetUserNameA(name, &size) || size == 0) return std::nullopt;
        return std::string(name, std::min<DWORD>(size - 1, sizeof name - 1));  // size counts the NUL
    }

    os_error open_named_mutex(const std::string& name, std::unique_ptr<NamedMutex>& out) override {
        out.reset();
        if (!valid_object_name(name)) return kErrorInvalidParameter;
        AdminsOnlyAttributes sa;
        if (!sa.ok()) return last_error_or(kErrorAccessDenied);
        Handle h = create_host_wide(name, [&sa](const char* n) { return CreateMutexA(&sa.attributes, FALSE, n); });
        if (!h) return last_error_or(kErrorInvalidHandle);
        out = detail::releasing_on_close(std::make_unique<Win32NamedMutex>(std::move(h)));
        return 0;
    }

    // Windows gives its named objects no precondition a user could fix beside the error itself.
    std::string named_object_advice() override { return {}; }

    os_error open_shared_memory(const std::string& name, std::size_t size,
                                std::unique_ptr<SharedMemory>& out, bool& created) override {
        out.reset();
        created = false;
        if (!valid_object_name(name) || size == 0) return kErrorInvalidParameter;
        AdminsOnlyAttributes sa;
        if (!sa.ok()) return last_error_or(kErrorAccessDenied);
        const std::uint64_t wide = size;
        bool existed = false;
        Handle mapping = create_host_wide(name, [&](const char* n) {
            SetLastError(0);
            HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa.attributes, PAGE_READWRITE,
                                          static_cast<DWORD>(wide >> 32), static_cast<DWORD>(wide), n);
            existed = h != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
            return h;
        });
        if (!mapping) return last_error_or(kErrorNotEnoughMemory);
        void* view = MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, size);
        if (view == nullptr) return last_error_or(kErrorNotEnoughMemory);
        created = !existed;
        out = std::make_unique<Win32SharedMemory>(std::move(mapping), view, size);
        return 0;
    }

    os_error open_device(const DeviceOpenRequest& request, DeviceHandle& out) override {
        out = 0;
        OpenToAllAttributes sa;
        if (request.null_dacl && !sa.ok) return last_error_or(kErrorAccessDenied);
        HANDLE h = CreateFileA(request.path.c_str(), request.desired_access, request.share_mode,
                               request.null_dacl ? &sa.attributes : nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE || h == nullptr) return last_error_or(kErrorFileNotFound);
        out = reinterpret_cast<std::uintptr_t>(h);
        return 0;
    }

    os_error close_device(DeviceHandle handle) override {
        if (handle == 0) return kErrorInvalidHandle;
        return CloseHandle(to_handle(handle)) ? 0 : last_error_or(kErrorInvalidHandle);
    }

    os_error device_io_control(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t in_length,
                               void* out, std::uint32_t out_length, std::uint32_t& returned) override {
        returned = 0;
        if (handle == 0) return kErrorInvalidHandle;
        DWORD got = 0;
        // DeviceIoControl does not write through the input pointer; its prototype just lacks const.
        const BOOL ok = DeviceIoControl(to_handle(handle), code, const_cast<void*>(in), in_length, out,
                                        out_length, &got, nullptr);
        const os_error error = ok ? 0 : last_error_or(kErrorIoDevice);
        returned = got;
        return error;
    }

    std::uint32_t set_error_mode(std::uint32_t mode) override {
        DWORD previous = 0;
        return SetThreadErrorMode(mode, &previous) ? previous : 0;
    }

    os_error open_disk_interfaces(std::unique_ptr<DiskInterfaceSet>& out) override {
        HDEVINFO set = SetupDiGetClassDevsA(&kDiskInterfaceClass, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) return last_error_or(kErrorInvalidParameter);
        out = std::make_unique<Win32DiskInterfaceSet>(set);
        return 0;
    }

    os_error logical_drive_strings(std::uint32_t buffer_length, std::string& roots,
                                   std::uint32_t& required) override {
        roots.clear();
        std::string buffer(buffer_length, '\0');
        SetLastError(0);
        const DWORD n = GetLogicalDriveStringsA(buffer_length, buffer.data());
        required = n;
        if (n == 0) return last_error_or(0);  // no drives at all is not an error
        // Fitted: the roots and the list's closing NUL.
        if (n < buffer_length) roots.assign(buffer.data(), n + 1);
        return 0;
    }

    std::uint32_t drive_type(const std::string& root) override { return GetDriveTypeA(root.c_str()); }
    std::string disk_name(std::uint32_t device_number) override { return windows_disk_name(device_number); }

    os_error registry_open_local_machine(const std::string& subkey, std::unique_ptr<RegistryKey>& out) override {
        HKEY key = nullptr;
        constexpr REGSAM kRead = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
        LONG e = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, kRead, &key);
        // A 32-bit installer writes its keys into the 32-bit view of the registry.
        if (e == ERROR_FILE_NOT_FOUND) e = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, kRead | KEY_WOW64_32KEY, &key);
        if (e != ERROR_SUCCESS) return static_cast<os_error>(e);
        out = std::make_unique<Win32RegistryKey>(key);
        return 0;
    }

    os_error load_module(const std::string& path, std::unique_ptr<Module>& out, std::string& resolved_path,
                         std::string& message) override {
        out.reset();
        resolved_path.clear();
        message.clear();
        if (path.empty() || path.find('\0') != std::string::npos) return ERROR_INVALID_PARAMETER;
        // A missing or damaged library is reported to the caller, never in a dialog box.
        DWORD previous_mode = 0;
        const bool quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_mode) != 0;
        const HMODULE module = LoadLibraryA(path.c_str());
        const DWORD error = module == nullptr ? GetLastError() : ERROR_SUCCESS;
        if (quiet) SetThreadErrorMode(previous_mode, nullptr);
        if (module == nullptr) {
            message = system_message(error);
            return error != ERROR_SUCCESS ? static_cast<os_error>(error) : kErrorModNotFound;
        }
        char buffer[MAX_PATH + 1] = {};
        const DWORD length = GetModuleFileNameA(module, buffer, MAX_PATH);
        resolved_path = length != 0 && length < MAX_PATH ? std::string(buffer, length) : path;
        out = std::make_unique<Win32Module>(module);
        return 0;
    }

    os_error run_tool(const std::string& command_line, std::string* output, int& exit_status) override {
        // Through the command interpreter like the C library's system(): /s /c strips exactly the
        // outer quotes, so quotes inside the command line reach it untouched; /d skips AutoRun.
        std::string shell = get_env("ComSpec").value_or("");
        if (shell.empty()) shell = "cmd.exe";
        return run_process("\"" + shell + "\" /d /s /c \"" + command_line + "\"", output, exit_status);
    }

    os_error locate_program(const std::string& file_name, std::string& path) override {
        path.clear();
        if (file_name.empty() || file_name.find('\0') != std::string::npos) return kErrorInvalidParameter;
        char found[MAX_PATH] = {};
        const DWORD length = SearchPathA(nullptr, file_name.c_str(), nullptr, MAX_PATH, found, nullptr);
        if (length == 0) return last_error_or(kErrorFileNotFound);
        if (length >= MAX_PATH) return kErrorFileNotFound;  // a path no tool could be run from
        path.assign(found, length);
        return 0;
    }

    ServiceProcessorClient& service_processor_client() override { return absent_service_processor(); }
    MultipathClient& multipath_client() override { return win32_multipath_driver(); }
};

}  // namespace

std::unique_ptr<Platform> make_real_platform() { return std::make_unique<Win32Platform>(); }

}  // namespace pds
