// The platform seam: the one interface through which the library reaches the operating system.
//
// Contract
// --------
// * Every operating-system call made by pds or sil goes through `pds::platform()`. Code above
//   the seam never includes <windows.h>, <unistd.h> or any other system header and never tests
//   `_WIN32`.
// * Exactly one provider is active per process. `pds_platform_start()` chooses it once, before the
//   library does anything else: the simulated host when the environment variable SIL_SIM_HOST
//   names a host file (every build), otherwise the real provider of the build (win32 on Windows,
//   linux elsewhere).
// * Errors are operating-system error numbers (`os_error`, 0 = success) in the real provider's
//   convention: Windows error codes on win32 (ERROR_FILE_NOT_FOUND 2, ERROR_ACCESS_DENIED 5,
//   ERROR_SHARING_VIOLATION 32, ...), errno values on linux outside the device and discovery
//   calls. The device and discovery calls speak the Windows convention on every provider: the
//   simulated host because it replays Windows hosts, linux because it translates the Windows
//   storage vocabulary (SG_IO and sysfs behind the same records). No call mixes an error number
//   with a result value: results come back through out-parameters or the returned record.
// * Methods are safe to call from several threads unless their comment says otherwise.
// * Every provider answers every call itself: there are no default answers here. A provider
//   whose host lacks something (Linux has no drive letters) says so explicitly with
//   kErrorNotSupported.
// * The clients of storage products beside the system (the service-processor software, the
//   multipathing driver) are their own interfaces (product_clients.h); each provider hands out
//   the ones its host has.
// * Time: local_time/date_text/epoch_seconds tell the wall clock, monotonic_ns() measures
//   elapsed time and sleep_ms() waits. Code above the seam reads no clock of its own and waits
//   only through sleep_ms(), so a provider whose clock is virtual controls every pause the
//   library makes and every elapsed time it measures.
// * Providers never print and never throw; they report. Printing is the library's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pds {

class ServiceProcessorClient;
class MultipathClient;

using os_error = std::uint32_t;   // 0 = success; otherwise the provider's error number

// Windows error numbers the library tests for by name. The linux provider maps its errno values
// onto these where the library needs to tell them apart (ENOENT -> not found, EBUSY -> sharing
// violation, EACCES/EPERM -> access denied), and its device calls answer only these numbers.
inline constexpr os_error kErrorInvalidFunction = 1;  // the device or driver has no such request
inline constexpr os_error kErrorFileNotFound = 2;
inline constexpr os_error kErrorPathNotFound = 3;
inline constexpr os_error kErrorAccessDenied = 5;
inline constexpr os_error kErrorInvalidHandle = 6;
inline constexpr os_error kErrorNotEnoughMemory = 8;
inline constexpr os_error kErrorSharingViolation = 32;
inline constexpr os_error kErrorNotSupported = 50;
inline constexpr os_error kErrorInvalidParameter = 87;
inline constexpr os_error kErrorAlreadyExists = 183;
inline constexpr os_error kErrorIoDevice = 1117;
inline constexpr os_error kErrorSemTimeout = 121;
inline constexpr os_error kErrorNotOwner = 288;  // unlocking a mutex the caller does not own
inline constexpr os_error kErrorModNotFound = 126;  // a module, or one it needs, cannot be loaded
inline constexpr os_error kErrorBusy = 170;                // the device is busy
inline constexpr os_error kErrorBusReset = 1111;           // the I/O bus was reset
inline constexpr os_error kErrorDeviceNotConnected = 1167; // the device is not connected

// Local wall-clock time broken down, milliseconds included.
struct LocalTime {
    int year = 0;     // e.g. 2026
    int month = 0;    // 1..12
    int day = 0;      // 1..31
    int hour = 0;     // 0..23
    int minute = 0;   // 0..59
    int second = 0;   // 0..60
    int millisecond = 0;
    int weekday = 0;  // 0 = Sunday
    int yearday = 0;  // 0..365
};

// What the host says about itself (uname on POSIX, GetVersionEx & co. on Windows).
struct HostIdentity {
    std::string sysname;     // "Windows_NT", "Linux", ...
    std::string nodename;    // host name
    std::string release;     // "10.0", "6.1", kernel release "6.1.0-18-amd64"
    std::string version;     // build / service pack text
    std::string machine;     // "x86_64", "AMD64"
    std::uint32_t os_type = 0;  // operating-system type code traced by SIL_init
    std::string os_description; // the operating system's own version description
    // The version as numbers, for comparisons ("10.0" is later than "5.2"): Windows major/minor
    // and service-pack major; the kernel's major/minor on Linux.
    std::uint32_t os_major = 0;
    std::uint32_t os_minor = 0;
    std::uint32_t service_pack_major = 0;
    std::string service_pack;    // "Service Pack 1", or empty
    std::uint32_t os_build = 0;  // Windows build number; the kernel's patch level on Linux
    // The machine's own unique identifier, stable across boots and renames: the MachineGuid of
    // Windows, /etc/machine-id on Linux. Empty when the host has none.
    std::string machine_id;
    // The hypervisor when the host is a virtual-machine guest: "vmware", "hyperv", or empty for a
    // physical host (or one whose hypervisor is neither).
    std::string vm_guest;
};

// An open device (a CreateFileA handle on Windows); 0 is no handle.
using DeviceHandle = std::uint64_t;

// What CreateFileA is asked for when a device is opened (bits of win_device_layouts.h).
struct DeviceOpenRequest {
    std::string path;                  // "\\.\PHYSICALDRIVE3", a disk interface path, "\\.\C:", ...
    std::uint32_t desired_access = 0;  // GENERIC_READ | GENERIC_WRITE
    std::uint32_t share_mode = 0;      // FILE_SHARE_READ | FILE_SHARE_WRITE
    bool null_dacl = false;            // security attributes whose descriptor has a null DACL
};

// The longest name of a host-wide object. The linux provider's lock file
// "lunscan.<name>.lock" must stay within a file name's 255 bytes.
inline constexpr std::size_t kMaxObjectName = 240;

// Whether `name` may name a host-wide mutex or shared memory: 1 to kMaxObjectName letters,
// digits, '_', '-' and '.', so that it is the same valid name as a Windows kernel object, a
// POSIX shared memory object and a file. Every provider checks names with this one rule.
bool valid_object_name(std::string_view name);

// "\\.\PHYSICALDRIVE<n>": the Windows name of disk `device_number`, shared by the providers that
// speak it.
std::string windows_disk_name(std::uint32_t device_number);

// Handle of a host-wide named mutex, owned by a thread as a Windows mutex is. Closing it on the
// owning thread first gives back the acquisitions made through it, on every provider.
class NamedMutex {
public:
    virtual ~NamedMutex() = default;
    // Waits without time limit (timeout_ms < 0) or up to timeout_ms. Returns 0 when owned,
    // kErrorSemTimeout on time-out, another error otherwise.
    virtual os_error lock(int timeout_ms = -1) = 0;
    virtual os_error unlock() = 0;
};

// A mapped view of host-wide named shared memory.
class SharedMemory {
public:
    virtual ~SharedMemory() = default;
    virtual void* data() = 0;
    virtual std::size_t size() const = 0;
    // Unmaps and closes; returns the OS error of unmapping (0 on success). Idempotent.
    virtual os_error close() = 0;
};

// Error numbers of the discovery calls (Windows numbering).
inline constexpr os_error kErrorInsufficientBuffer = 122;
inline constexpr os_error kErrorMoreData = 234;
inline constexpr os_error kErrorNoMoreItems = 259;
inline constexpr os_error kErrorUnsupportedType = 1630;  // ERROR_UNSUPPORTED_TYPE

// GetDriveTypeA answers.
inline constexpr std::uint32_t kDriveUnknown = 0;
inline constexpr std::uint32_t kDriveNoRootDir = 1;
inline constexpr std::uint32_t kDriveRemovable = 2;
inline constexpr std::uint32_t kDriveFixed = 3;
inline constexpr std::uint32_t kDriveRemote = 4;
inline constexpr std::uint32_t kDriveCdrom = 5;
inline constexpr std::uint32_t kDriveRamdisk = 6;

// The present members of the disk device-interface class (SetupDiGetClassDevsA with
// DIGCF_PRESENT | DIGCF_DEVICEINTERFACE on GUID_DEVINTERFACE_DISK). Destroying it is
// SetupDiDestroyDeviceInfoList.
class DiskInterfaceSet {
public:
    virtual ~DiskInterfaceSet() = default;
    // SetupDiEnumDeviceInterfaces for member `index`: 0 when it exists, kErrorNoMoreItems past
    // the last one, another error otherwise.
    virtual os_error enumerate(std::uint32_t index) = 0;
    // SetupDiGetDeviceInterfaceDetailA, first as the size query (no buffer: a present member
    // answers kErrorInsufficientBuffer with `required_size`), then with the buffer: the
    // interface path.
    virtual os_error detail_size(std::uint32_t index, std::uint32_t& required_size) = 0;
    virtual os_error detail_path(std::uint32_t index, std::string& path) = 0;
};

// A loaded module (DLL or shared object). It stays loaded while the object lives.
class Module {
public:
    virtual ~Module() = default;
    // The address of an exported function (GetProcAddress / dlsym), or nullptr when the module
    // exports none of that name.
    virtual void* symbol(const char* name) = 0;
};

// An open registry key under HKEY_LOCAL_MACHINE (read only). Closing is RegCloseKey.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    // RegEnumKeyExA: the name of subkey `index`; kErrorNoMoreItems past the last.
    virtual os_error enum_subkey(std::uint32_t index, std::string& name) = 0;
    // RegEnumValueA: the name of value `index`; kErrorNoMoreItems past the last.
    virtual os_error enum_value(std::uint32_t index, std::string& name) = 0;
    // RegQueryValueExA of a REG_SZ / REG_EXPAND_SZ value; kErrorFileNotFound when absent,
    // kErrorUnsupportedType when the value has another type (also for query_dword).
    virtual os_error query_string(const std::string& value_name, std::string& value) = 0;
    // RegQueryValueExA of a REG_DWORD value; kErrorFileNotFound when absent.
    virtual os_error query_dword(const std::string& value_name, std::uint32_t& value) = 0;
};

// The seam. One instance per process, owned by pds.
class Platform {
public:
    virtual ~Platform() = default;

    // "win32", "linux" or "sim".
    virtual std::string_view name() const = 0;

    // ---- environment, time, process ----------------------------------------------------
    // Environment variable lookup. The simulated host answers from its "environment" object
    // first and then from the real environment, so a host file can pin variables for a replay.
    virtual std::optional<std::string> get_env(const char* name) = 0;
    virtual LocalTime local_time() = 0;
    // The C library's date text of the current time (as ctime) without the newline; empty on failure.
    virtual std::string date_text() = 0;
    // Seconds since the epoch (seed material, not for display).
    virtual std::int64_t epoch_seconds() = 0;
    // Nanoseconds on a clock that never goes back, from an arbitrary origin: every elapsed time
    // the library reports is a difference of two readings. The simulated host's clock stands
    // still while its host file fixes the local time, so traced timings are reproducible.
    virtual std::int64_t monotonic_ns() = 0;
    // Waits at least `milliseconds` (0 returns at once) and moves monotonic_ns() on by at least as
    // much. The simulated host's clock is virtual: its sleep returns at once and moves both its
    // clocks on by exactly the time slept, so the array's long pauses and limits cost no real time.
    virtual void sleep_ms(std::uint32_t milliseconds) = 0;
    virtual std::uint32_t process_id() = 0;
    // The runtime's number of the calling thread: 0 for the main thread, 1, 2, ... for threads
    // in the order they first asked.
    virtual std::uint32_t thread_number() = 0;
    // The operating system's id of the calling thread (for logs that want the real id).
    virtual std::uint64_t thread_id() = 0;

    // ---- host facts ----------------------------------------------------------------------
    virtual HostIdentity host_identity() = 0;
    // The name of the user running the process; nullopt when it cannot be had.
    virtual std::optional<std::string> user_name() = 0;

    // ---- inter-process objects -------------------------------------------------------------
    // Names follow valid_object_name() on every provider; any other name is kErrorInvalidParameter.
    // Creates or opens a host-wide named mutex (on Windows "Global\<name>", else the session's
    // "<name>"; open to SYSTEM and the Administrators only).
    virtual os_error open_named_mutex(const std::string& name, std::unique_ptr<NamedMutex>& out) = 0;
    // Creates or opens host-wide named shared memory of `size` bytes (named and protected alike).
    // `created` tells whether this call created it (its contents are then zero).
    virtual os_error open_shared_memory(const std::string& name, std::size_t size,
                                        std::unique_ptr<SharedMemory>& out, bool& created) = 0;
    // Why this host cannot hold the named objects above, as one line for the user saying what to
    // mount or fix (a Linux host without a writable /dev/shm); empty when the host gives no
    // reason of its own. Asked only after an open failed.
    virtual std::string named_object_advice() = 0;

    // ---- devices ---------------------------------------------------------------------------------
    // The device calls speak the Windows storage vocabulary on every provider: CreateFileA-style
    // opens, DeviceIoControl with the control codes and records of win_device_layouts.h, and
    // Windows error numbers. Other providers translate. Every provider answers each call itself;
    // one that cannot reach devices says so with kErrorNotSupported.
    virtual os_error open_device(const DeviceOpenRequest& request, DeviceHandle& out) = 0;
    virtual os_error close_device(DeviceHandle handle) = 0;
    // DeviceIoControl. `in` and `out` may be the same buffer (the pass-through block is both).
    // `returned` receives the bytes written to `out`. For IOCTL_SCSI_PASS_THROUGH_DIRECT a
    // successful call (0) may still carry a non-zero ScsiStatus and sense in the block; as on
    // Windows, the call fails with kErrorInvalidParameter when DataBuffer does not meet the
    // AlignmentMask, or the transfer the MaximumTransferLength or MaximumPhysicalPages, of the
    // adapter descriptor IOCTL_STORAGE_QUERY_PROPERTY answers for StorageAdapterProperty.
    virtual os_error device_io_control(DeviceHandle handle, std::uint32_t code, const void* in,
                                       std::uint32_t in_length, void* out, std::uint32_t out_length,
                                       std::uint32_t& returned) = 0;
    // SetThreadErrorMode: sets the calling thread's error mode and returns its previous one (the
    // process-wide SetErrorMode would race between the gather's threads).
    virtual std::uint32_t set_error_mode(std::uint32_t mode) = 0;

    // ---- discovery -------------------------------------------------------------------------------
    // The host's disks, volumes and registry, in the Windows vocabulary. A provider without them
    // answers kErrorNotSupported (kDriveUnknown for drive_type).
    //
    // SetupDiGetClassDevsA for the present disk interfaces.
    virtual os_error open_disk_interfaces(std::unique_ptr<DiskInterfaceSet>& out) = 0;
    // GetLogicalDriveStringsA: the roots ("C:\\", "D:\\") as a double-NUL-terminated list of at
    // most `buffer_length` bytes. `required` is GetLogicalDriveStringsA's answer: the length of the
    // whole list without its last NUL when it fitted, else (`roots` empty) the buffer size it needs,
    // that NUL included; so larger than buffer_length means it did not fit.
    virtual os_error logical_drive_strings(std::uint32_t buffer_length, std::string& roots,
                                           std::uint32_t& required) = 0;
    // GetDriveTypeA of a root ("C:\\").
    virtual std::uint32_t drive_type(const std::string& root) = 0;
    // The name under which the host's disk `device_number` (the DeviceNumber that
    // IOCTL_STORAGE_GET_DEVICE_NUMBER answers) is opened and shown: "\\.\PHYSICALDRIVE<n>" on
    // Windows and the simulated host, the block device path ("/dev/sdc") on Linux. Empty when
    // the host has no disk of that number.
    virtual std::string disk_name(std::uint32_t device_number) = 0;
    // RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS):
    // kErrorFileNotFound when the key does not exist.
    virtual os_error registry_open_local_machine(const std::string& subkey,
                                                 std::unique_ptr<RegistryKey>& out) = 0;

    // ---- the storage products beside the system (product_clients.h) ---------------------------
    // The clients of the service-processor software and of the multipathing driver this host has.
    // They live as long as the provider.
    virtual ServiceProcessorClient& service_processor_client() = 0;
    virtual MultipathClient& multipath_client() = 0;

    // ---- modules -----------------------------------------------------------------------------
    // Loads a module by file name or path (LoadLibraryA / dlopen). On success `resolved_path` is
    // the path the loader settled on; on failure `message` holds the loader's own explanation when
    // it gives one; a module that cannot be found is kErrorModNotFound.
    virtual os_error load_module(const std::string& path, std::unique_ptr<Module>& out, std::string& resolved_path,
                                 std::string& message) = 0;

    // ---- tools -------------------------------------------------------------------------------
    // Runs a command line through the system shell and waits for it; stdout and stderr are
    // collected into `output` when it is given. Returns 0 when the command could be run (its
    // exit status goes to `exit_status`), an OS error otherwise.
    virtual os_error run_tool(const std::string& command_line, std::string* output,
                              int& exit_status) = 0;
    // Finds a program by its file name ("iscsicli.exe") on the search path (SearchPathA / PATH).
    // On success `path` is the program's full path, ready for run_tool; kErrorFileNotFound when
    // the host has no such program.
    virtual os_error locate_program(const std::string& file_name, std::string& path) = 0;
};

// The active provider. Valid after a successful pds_platform_start(); before that (and after a
// failed start) it is the real provider of the build.
Platform& platform();

// Chooses and starts the provider. Returns true on success. On failure `error` holds a one-line
// description naming the file and the fault (simulated host file missing or malformed).
// Repeated calls after a success do nothing and return true.
bool pds_platform_start(std::string& error);

// Starts the portability runtime (the platform seam among it). Returns 0 on success, -1 on
// failure after printing the one-line reason on standard error. Idempotent.
int pdsLibInit();

// Factories of the providers, one per file.
std::unique_ptr<Platform> make_real_platform();  // win32 or linux, chosen by the build
// Loads the host file; on failure returns nullptr and sets `error`.
std::unique_ptr<Platform> make_sim_platform(const std::string& host_file, std::string& error);

}  // namespace pds
