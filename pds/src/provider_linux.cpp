// The linux provider of the platform seam: environment, clocks, host facts, named objects, modules and tools through POSIX; devices through SG_IO and sysfs.
//
// Devices and discovery. The device calls speak the Windows storage vocabulary and Windows error
// numbers here too: linux_devices.cpp answers them from SG_IO, block ioctls and sysfs
// (linux_sg.cpp translates the pass-through block, linux_sysfs.cpp reads the facts). The disk
// interfaces are the sd driver's disks in its naming order ("/dev/sda" ... "/dev/sdz",
// "/dev/sdaa" ...), then the Veritas DMP nodes of /dev/vx/rdmp; disk_name(n) is the path of the disk
// whose device number is n. Linux has no drive letters: logical_drive_strings says
// kErrorNotSupported and drive_type kDriveUnknown. The one registry key it answers is the list of
// SNIA HBA API libraries (hba_conf_linux.cpp), and the iSCSI initiator's (linux_iscsi.cpp).
// The multipathing client is device-mapper multipath's (multipath_linux.cpp); the
// service-processor software is absent.
//
// Object names. The library names its host-wide objects as Windows does ("KorvSharedMemory",
// "KorvLockChainCode"). Here a named mutex NAME is an flock on the file
// /dev/shm/lunscan.NAME.lock (in /tmp when /dev/shm is missing): the kernel drops the lock when
// its holder dies, so a crashed run never blocks the next one. Named shared memory NAME is the
// POSIX shared memory object "/lunscan.NAME" (/dev/shm/lunscan.NAME). Unlike a Windows mapping it
// outlives the processes that use it, until it is removed or the host restarts. Names follow the
// seam's valid_object_name(), which keeps them valid file names here.
//
// Host type code (HostIdentity::os_type): 0x02000000 marks Linux; bits 8-15 hold the kernel's
// major and bits 0-7 its minor version, so kernel 6.1 gives 0x02000601.
#include "pds/platform.h"
#include "path_interface_set.h"
#include "pds/product_clients.h"
#include "hba_conf_linux.h"
#include "linux_devices.h"
#include "linux_iscsi.h"
#include "process_mutex.h"

#include <dlfcn.h>
#include <link.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <utility>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

namespace pds {
namespace {

constexpr std::uint32_t kLinuxTypeMark = 0x02000000;
// Tool output past this is drained but not kept: a runaway tool must not exhaust memory.
constexpr std::size_t kMaxToolOutput = 16u << 20;

// errno values the library tells apart by their Windows numbers; the rest pass unchanged.
os_error from_errno(int e) {
    switch (e) {
    case 0: return 0;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EBUSY: return kErrorSharingViolation;
    case ENOTSUP: return kErrorNotSupported;
    case EINVAL: return kErrorInvalidParameter;
    case EEXIST: return kErrorAlreadyExists;
    case EIO: return kErrorIoDevice;
    default: return static_cast<os_error>(e);
    }
}

os_error last_errno() { return from_errno(errno); }

bool same_ascii_name(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

// A shared object opened with dlopen, closed when the object goes.
class LinuxModule final : public Module {
public:
    explicit LinuxModule(void* handle) : handle_(handle) {}
    ~LinuxModule() override { ::dlclose(handle_); }
    void* symbol(const char* name) override { return name != nullptr ? ::dlsym(handle_, name) : nullptr; }

private:
    void* handle_;
};

std::uint64_t os_thread_id() { return static_cast<std::uint64_t>(::syscall(SYS_gettid)); }

// Threads other than the main one are numbered 1, 2, ... as they first ask; process-wide so that
// every provider instance of the process agrees.
std::atomic<std::uint32_t> g_last_thread_number{0};

std::uint32_t number_this_thread() {
    if (os_thread_id() == static_cast<std::uint64_t>(::getpid())) return 0;
    return ++g_last_thread_number;
}

// Owns one file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// ---- named mutex: flock on a lock file -------------------------------------------------------

std::string lock_directory() {
    struct stat st {};
    if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return "/tmp";
}

class FlockHostLock final : public detail::HostLock {
public:
    explicit FlockHostLock(int fd) : fd_(fd) {}

    os_error acquire(int timeout_ms) override {
        if (timeout_ms < 0) {
            while (::flock(fd_.get(), LOCK_EX) != 0) {
                if (errno != EINTR) return last_errno();
            }
            return 0;
        }
        // flock has no time limit of its own: poll, backing off to 10 ms between tries.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        auto pause = std::chrono::milliseconds(1);
        for (;;) {
            if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) return 0;
            if (errno != EWOULDBLOCK && errno != EINTR) return last_errno();
            if (std::chrono::steady_clock::now() >= deadline) return kErrorSemTimeout;
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(10));
        }
    }

    void release() override { ::flock(fd_.get(), LOCK_UN); }

private:
    Fd fd_;
};

os_error open_lock_file(const std::string& name, std::unique_ptr<detail::HostLock>& out) {
    const std::string path = lock_directory() + "/lunscan." + name + ".lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        // Open to every user of the host, whatever the umask, like a mutex with a null DACL.
        ::fchmod(fd, 0666);
    } else if (errno == EACCES) {
        // Another user's lock file: flock works on a descriptor opened for reading too.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) return last_errno();
    out = std::make_unique<FlockHostLock>(fd);
    return 0;
}

// ---- named shared memory ----------------------------------------------------------------------

class PosixSharedMemory final : public SharedMemory {
public:
    PosixSharedMemory(void* data, std::size_t size) : data_(data), size_(size) {}
    ~PosixSharedMemory() override { close(); }

    void* data() override { return data_; }
    std::size_t size() const override { return size_; }
    os_error close() override {
        if (data_ == nullptr) return 0;
        const int rc = ::munmap(data_, size_);
        data_ = nullptr;
        return rc == 0 ? 0 : last_errno();
    }

private:
    void* data_;
    std::size_t size_;
};

// ---- host facts ------------------------------------------------------------------------------------

// PRETTY_NAME of /etc/os-release, unquoted; empty when there is none.
std::string os_release_pretty_name() {
    std::ifstream in("/etc/os-release");
    std::string line;
    for (int lines = 0; lines < 200 && std::getline(in, line); ++lines) {
        constexpr std::string_view key = "PRETTY_NAME=";
        if (line.size() > 1024 || line.compare(0, key.size(), key) != 0) continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        std::string plain;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            plain += value[i];
        }
        return plain;
    }
    return {};
}

// Leading decimal number of `text` from `pos`, advancing `pos` past it.
// The identifier systemd (or, on older systems, D-Bus) writes once per installation.
std::string machine_id() {
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::FILE* f = std::fopen(path, "r");
        if (f == nullptr) continue;
        char line[128] = {};
        const bool read = std::fgets(line, sizeof line, f) != nullptr;
        std::fclose(f);
        std::string id = read ? std::string(line) : std::string();
        while (!id.empty() && (id.back() == '\n' || id.back() == '\r' || id.back() == ' ')) id.pop_back();
        if (!id.empty()) return id;
    }
    return {};
}

// The firmware the hypervisor gives its guests names its maker.
std::string hypervisor_of_guest() {
    auto dmi_text = [](const char* path) {
        std::FILE* f = std::fopen(path, "r");
        if (f == nullptr) return std::string();
        char line[128] = {};
        const bool read = std::fgets(line, sizeof line, f) != nullptr;
        std::fclose(f);
        std::string text = read ? std::string(line) : std::string();
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text;
    };
    const std::string maker = dmi_text("/sys/class/dmi/id/sys_vendor");
    if (maker.rfind("VMware", 0) == 0) return "vmware";
    if (maker == "Microsoft Corporation" && dmi_text("/sys/class/dmi/id/product_name") == "Virtual Machine") return "hyperv";
    return {};
}

std::uint32_t leading_number(const std::string& text, std::size_t& pos) {
    std::uint32_t value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && value < 100000) {
        value = value * 10 + static_cast<std::uint32_t>(text[pos] - '0');
        ++pos;
    }
    return value;
}

class LinuxPlatform final : public Platform {
public:
    std::string_view name() const override { return "linux"; }

    std::optional<std::string> get_env(const char* name) override {
        if (name == nullptr) return std::nullopt;
        const char* value = std::getenv(name);
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    }

    LocalTime local_time() override {
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        struct tm parts {};
        LocalTime t;
        if (::localtime_r(&now.tv_sec, &parts) == nullptr) return t;
        t.year = parts.tm_year + 1900;
        t.month = parts.tm_mon + 1;
        t.day = parts.tm_mday;
        t.hour = parts.tm_hour;
        t.minute = parts.tm_min;
        t.second = parts.tm_sec;
        t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
        t.weekday = parts.tm_wday;
        t.yearday = parts.tm_yday;
        return t;
    }

    std::string date_text() override {
        const time_t now = ::time(nullptr);
        char buffer[64] = {};
        if (::ctime_r(&now, buffer) == nullptr) return {};
        std::string text(buffer);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
    }

    std::int64_t epoch_seconds() override { return static_cast<std::int64_t>(::time(nullptr)); }

    std::int64_t monotonic_ns() override {
        struct timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    }

    void sleep_ms(std::uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }

    std::uint32_t process_id() override { return static_cast<std::uint32_t>(::getpid()); }

    std::uint32_t thread_number() override {
        thread_local const std::uint32_t number = number_this_thread();
        return number;
    }

    std::uint64_t thread_id() override { return os_thread_id(); }

    HostIdentity host_identity() override {
        HostIdentity id;
        struct utsname u {};
        if (::uname(&u) != 0) return id;
        id.sysname = u.sysname;
        id.nodename = u.nodename;
        id.release = u.release;
        id.version = u.version;
        id.machine = u.machine;
        std::size_t pos = 0;
        id.os_major = leading_number(id.release, pos);
        if (pos < id.release.size() && id.release[pos] == '.') ++pos;
        id.os_minor = leading_number(id.release, pos);
        if (pos < id.release.size() && id.release[pos] == '.') ++pos;
        id.os_build = leading_number(id.release, pos);
        id.machine_id = machine_id();
        id.vm_guest = hypervisor_of_guest();
        id.os_type = kLinuxTypeMark | ((id.os_major & 0xFF) << 8) | (id.os_minor & 0xFF);
        id.os_description = os_release_pretty_name();
        if (id.os_description.empty()) id.os_description = "Linux " + id.release;
        return id;
    }

    std::optional<std::string> user_name() override {
        long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> buffer(size > 0 && size < 1 << 20 ? static_cast<std::size_t>(size) : 16384);
        struct passwd entry {};
        struct passwd* found = nullptr;
        if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
            found->pw_name == nullptr) {
            return std::nullopt;
        }
        return std::string(found->pw_name);
    }

    os_error open_named_mutex(const std::string& name, std::unique_ptr<NamedMutex>& out) override {
        out.reset();
        if (!valid_object_name(name)) return kErrorInvalidParameter;
        return detail::open_process_mutex(
            "linux", name, [&name](std::unique_ptr<detail::HostLock>& lock) { return open_lock_file(name, lock); },
            out);
    }

    os_error open_shared_memory(const std::string& name, std::size_t size, std::unique_ptr<SharedMemory>& out,
                                bool& created) override {
        out.reset();
        created = false;
        if (!valid_object_name(name) || size == 0 || size > (std::size_t{1} << 30)) return kErrorInvalidParameter;
        const std::string object = "/lunscan." + name;
        Fd fd(::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666));
        if (fd.get() >= 0) {
            created = true;
            ::fchmod(fd.get(), 0666);
        } else if (errno == EEXIST) {
            fd.reset(::shm_open(object.c_str(), O_RDWR, 0));
        }
        if (fd.get() < 0) return last_errno();
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) return last_errno();
        // A new object (or one whose creator has not sized it yet) grows to the size asked for;
        // the added bytes read as zero.
        if (static_cast<std::uint64_t>(st.st_size) < size && ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
            const os_error error = last_errno();
            if (created) ::shm_unlink(object.c_str());
            return error;
        }
        void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (data == MAP_FAILED) {
            const os_error error = last_errno();
            if (created) ::shm_unlink(object.c_str());
            return error;
        }
        out = std::make_unique<PosixSharedMemory>(data, size);
        return 0;
    }

    // glibc makes POSIX shared memory in /dev/shm and nowhere else: minimal containers and
    // initramfs environments often have none mounted.
    std::string named_object_advice() override {
        struct stat st {};
        if (::stat("/dev/shm", &st) != 0 || !S_ISDIR(st.st_mode)) {
            return "lunscan: /dev/shm does not exist; its shared memory needs a tmpfs there "
                   "(mkdir -p /dev/shm && mount -t tmpfs tmpfs /dev/shm)";
        }
        if (::access("/dev/shm", W_OK | X_OK) != 0) {
            return "lunscan: /dev/shm is not writable for this user; its shared memory needs a writable tmpfs "
                   "there (mount -t tmpfs -o mode=1777 tmpfs /dev/shm)";
        }
        return {};
    }

    // ---- devices and discovery (see the top of this file) --------------------------------------
    os_error open_device(const DeviceOpenRequest& request, DeviceHandle& out) override {
        return devices_.open(request, out);
    }
    os_error close_device(DeviceHandle handle) override { return devices_.close(handle); }
    os_error device_io_control(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t in_length,
                               void* out, std::uint32_t out_length, std::uint32_t& returned) override {
        return devices_.io_control(handle, code, in, in_length, out, out_length, returned);
    }
    // Linux has no critical-error dialogs to silence; the mode is only kept, so that the caller
    // gets back what it set.
    std::uint32_t set_error_mode(std::uint32_t mode) override {
        thread_local std::uint32_t error_mode = 0;  // per thread, as Windows keeps it
        return std::exchange(error_mode, mode);
    }

    os_error open_disk_interfaces(std::unique_ptr<DiskInterfaceSet>& out) override {
        out = std::make_unique<PathInterfaceSet>(devices_.disk_paths());
        return 0;
    }
    os_error logical_drive_strings(std::uint32_t, std::string& roots, std::uint32_t& required) override {
        roots.clear();
        required = 0;
        return kErrorNotSupported;
    }
    std::uint32_t drive_type(const std::string&) override { return kDriveUnknown; }
    std::string disk_name(std::uint32_t device_number) override { return devices_.disk_name(device_number); }
    // Linux has no registry; the iSCSI initiator's keys are made from open-iscsi (linux_iscsi.cpp),
    // the list of SNIA HBA API libraries from hba.conf (hba_conf_linux.cpp).
    os_error registry_open_local_machine(const std::string& subkey, std::unique_ptr<RegistryKey>& out) override {
        os_error error = 0;
        if (linux_iscsi_registry_key(*this, subkey, kIscsiInitiatorFile, out, error)) return error;
        return linux_host::open_registry_key(subkey, out);
    }

    ServiceProcessorClient& service_processor_client() override { return absent_service_processor(); }
    MultipathClient& multipath_client() override { return *multipath_; }

    // The SNIA common library the Windows way names "HBAAPI.DLL" is the one Debian ships
    // (libhbaapi2); every other name goes to the loader as it is.
    os_error load_module(const std::string& path, std::unique_ptr<Module>& out, std::string& resolved_path,
                         std::string& message) override {
        out.reset();
        resolved_path.clear();
        message.clear();
        if (path.empty() || path.find('\0') != std::string::npos) {
            message = "no module name";
            return kErrorModNotFound;
        }
        const std::vector<std::string> candidates =
            same_ascii_name(path, "HBAAPI.DLL") ? std::vector<std::string>{"libHBAAPI.so.2", "libHBAAPI.so"}
                                                : std::vector<std::string>{path};
        for (const std::string& candidate : candidates) {
            ::dlerror();
            void* handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle == nullptr) {
                const char* why = ::dlerror();
                if (message.empty() && why != nullptr) message = why;
                continue;
            }
            link_map* map = nullptr;
            resolved_path = ::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
                                    map->l_name[0] != '\0'
                                ? map->l_name
                                : candidate;
            out = std::make_unique<LinuxModule>(handle);
            return 0;
        }
        // The loader does not say why in a number; whether absent or unloadable, the module cannot be had.
        return kErrorModNotFound;
    }

    os_error run_tool(const std::string& command_line, std::string* output, int& exit_status) override {
        exit_status = -1;
        if (output != nullptr) output->clear();
        if (command_line.find('\0') != std::string::npos) return kErrorInvalidParameter;
        const std::string shell_line = "(" + command_line + "\n) 2>&1";
        std::fflush(nullptr);
        FILE* pipe = ::popen(shell_line.c_str(), "r");
        if (pipe == nullptr) return errno != 0 ? last_errno() : kErrorNotEnoughMemory;
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
            if (output != nullptr && output->size() < kMaxToolOutput) {
                output->append(chunk, std::min(got, kMaxToolOutput - output->size()));
            }
        }
        const int status = ::pclose(pipe);
        if (status == -1) return last_errno();
        if (WIFEXITED(status)) {
            exit_status = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            exit_status = 128 + WTERMSIG(status);  // as the shell reports a killed command
        }
        return 0;
    }

    os_error locate_program(const std::string& file_name, std::string& path) override {
        path.clear();
        if (file_name.empty() || file_name.find('\0') != std::string::npos) return kErrorInvalidParameter;
        if (file_name.find('/') != std::string::npos) {
            if (::access(file_name.c_str(), X_OK) != 0) return kErrorFileNotFound;
            path = file_name;
            return 0;
        }
        const char* search = std::getenv("PATH");
        std::string_view dirs = search != nullptr ? search : "/usr/local/bin:/usr/bin:/bin";
        while (true) {
            const std::size_t colon = dirs.find(':');
            std::string dir(dirs.substr(0, colon));
            if (dir.empty()) dir = ".";
            const std::string candidate = dir + "/" + file_name;
            struct stat st {};
            if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
                path = candidate;
                return 0;
            }
            if (colon == std::string_view::npos) break;
            dirs.remove_prefix(colon + 1);
        }
        return kErrorFileNotFound;
    }

private:
    linux_devices::DeviceTable devices_;
    std::unique_ptr<MultipathClient> multipath_ = linux_devices::make_multipath_client(devices_);
};

}  // namespace

std::unique_ptr<Platform> make_real_platform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace pds
