// The simulated host provider: host facts, environment, clock, tools, devices, discovery and product clients from a host file, the rest from the real host.
//
// The simulated host stands in for a Windows host, so it speaks Windows error numbers. What the
// file does not pin (the clock, the process id, thread numbers) comes from the real provider of
// the build. A fixed clock holds the elapsed-time clock still as well, so a traced run gives the
// same bytes each time; sleeps move every clock on virtually, at once. Named mutexes and shared
// memory live inside the process; within it they behave as the real ones do: one object per name,
// zeroed when created, the same bytes for every handle, and gone when the last handle closes, as
// a Windows mapping is.
#include "pds/platform.h"
#include "path_interface_set.h"
#include "pds/product_clients.h"
#include "process_mutex.h"
#include "sim_devices.h"
#include "sim_host_file.h"
#include "sim_sp.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

namespace pds {
namespace {

struct MemoryBlock {
    explicit MemoryBlock(std::size_t n) : bytes(std::make_unique<std::byte[]>(n)), size(n) {}
    std::unique_ptr<std::byte[]> bytes;  // value-initialised: zero
    std::size_t size;
};

struct MemoryRegistry {
    std::mutex m;
    std::map<std::string, std::weak_ptr<MemoryBlock>, std::less<>> blocks;
};

// Never destroyed, like the providers that use it.
MemoryRegistry& memory_registry() {
    static MemoryRegistry* r = new MemoryRegistry;
    return *r;
}

class SimSharedMemory final : public SharedMemory {
public:
    SimSharedMemory(std::shared_ptr<MemoryBlock> block, std::size_t size) : block_(std::move(block)), size_(size) {}

    void* data() override { return block_ ? block_->bytes.get() : nullptr; }
    std::size_t size() const override { return block_ ? size_ : 0; }
    os_error close() override {
        // The registry lock orders the last release against a concurrent open of the same name.
        std::lock_guard lk(memory_registry().m);
        block_.reset();
        return 0;
    }
    ~SimSharedMemory() override { close(); }

private:
    std::shared_ptr<MemoryBlock> block_;
    std::size_t size_;
};

// A mutex of the host file's "held_mutexes": another process holds it for good. A bounded wait
// for it ends in time-out at once, as though its whole time had passed (the simulated host does
// not make a test wait). A wait without limit would hang the process for good: it aborts loudly
// instead, so the test that caused it fails.
class HeldElsewhere final : public detail::HostLock {
public:
    explicit HeldElsewhere(std::string name) : name_(std::move(name)) {}
    os_error acquire(int timeout_ms) override {
        if (timeout_ms >= 0) return kErrorSemTimeout;
        std::fprintf(stderr, "SIMULATED HOST: a wait without time limit for the held mutex %s never ends\n", name_.c_str());
        std::fflush(stderr);
        std::abort();
    }
    void release() override {}

private:
    std::string name_;
};

// The service-processor instances of the host file (sim_sp_file.cpp).
class SimServiceProcessorClient final : public ServiceProcessorClient {
public:
    explicit SimServiceProcessorClient(sim::SimStorageHost& storage) : storage_(storage) {}

    // The file's instances are found by session; the operating-system device plays no part.
    os_error sp_create_client(const std::string&, const std::string& session, const std::string&, bool,
                              std::uint32_t& client_id) override {
        return storage_.sp_create_client(session, client_id);
    }
    os_error sp_remove_client(std::uint32_t client_id) override { return storage_.sp_remove_client(client_id); }
    os_error sp_revision_info(std::uint32_t client_id, std::string& revision, std::string& product) override {
        return storage_.sp_revision_info(client_id, revision, product);
    }
    os_error sp_site_info(std::uint32_t client_id, std::string& array_serial) override {
        return storage_.sp_site_info(client_id, array_serial);
    }
    os_error sp_resource_lock(std::uint32_t client_id, bool lock, bool& held) override {
        return storage_.sp_resource_lock(client_id, lock, held);
    }

private:
    sim::SimStorageHost& storage_;
};

// The multipathing driver of the host file: its volume list, and its pass-through to the file's
// devices (sim_devices.cpp), which needs their handles.
class SimMultipathClient final : public MultipathClient {
public:
    SimMultipathClient(sim::SimDeviceHost& devices, sim::SimStorageHost& storage, std::optional<std::string> fault)
        : devices_(devices), storage_(storage), fault_(std::move(fault)) {}

    std::uint32_t mp_scsi_pass_through(DeviceHandle handle, std::uint32_t value, void* block) override {
        return devices_.mp_scsi_pass_through(handle, value, block);
    }
    std::uint32_t mp_list_volumes(std::uint32_t& count, char* names) override {
        return storage_.mp_list_volumes(count, names);
    }
    // A host file's driver is installed or absent; only a captured host's can be broken.
    std::string library_fault() override { return fault_.value_or(std::string()); }

private:
    sim::SimDeviceHost& devices_;
    sim::SimStorageHost& storage_;
    const std::optional<std::string> fault_;
};

class SimPlatform final : public Platform {
public:
    SimPlatform(sim::SimHost host, std::unique_ptr<Platform> real, std::FILE* cdb_log)
        : host_(std::move(host)),
          real_(std::move(real)),
          // The devices move on to the engine: the host record keeps no second copy of them.
          devices_(sim::with_discovery_paths(std::exchange(host_.devices, {}), host_.discovery), cdb_log, host_.arrays,
                   host_.timeout_scale),
          storage_(host_.storage),
          discovery_(host_.discovery),
          hba_(host_.hba_libraries),
          service_processor_(storage_),
          multipath_(devices_, storage_, host_.recorded.multipath_fault) {}

    // A captured host replays as what it was.
    std::string_view name() const override { return host_.recorded.provider; }

    std::optional<std::string> get_env(const char* name) override {
        if (name == nullptr) return std::nullopt;
        if (const auto it = host_.environment.find(std::string_view(name)); it != host_.environment.end()) {
            return it->second;
        }
        return real_->get_env(name);
    }

    // Every clock reads its base (the file's fixed time, else the real host's) moved on by the
    // time slept so far.
    // A captured host's clocks read back what it read, in order (sim_recorded.h).
    LocalTime local_time() override {
        if (!host_.recorded.local_times->empty()) return host_.recorded.local_times->next();
        return sim::advanced(host_.clock ? *host_.clock : real_->local_time(), slept_ms_.load());
    }
    std::string date_text() override {
        if (!host_.recorded.date_texts->empty()) return host_.recorded.date_texts->next();
        return host_.clock || slept_ms_.load() != 0 ? sim::ctime_text(local_time()) : real_->date_text();
    }
    std::int64_t epoch_seconds() override {
        if (!host_.recorded.epoch_seconds->empty()) return host_.recorded.epoch_seconds->next();
        if (!host_.clock) return real_->epoch_seconds() + slept_ms_.load() / 1000;
        // Whole seconds of the same instant local_time() shows.
        return (host_.clock_epoch_seconds * 1000 + host_.clock->millisecond + slept_ms_.load()) / 1000;
    }
    // A fixed local time stops the elapsed-time clock too: only sleeps move it, so every timing of
    // the run reads the same each time.
    std::int64_t monotonic_ns() override {
        if (!host_.recorded.monotonic_ns->empty()) return host_.recorded.monotonic_ns->next();
        return (host_.clock ? 0 : real_->monotonic_ns()) + slept_ms_.load() * 1000000;
    }
    // The virtual clock: no real time passes. The CDB log shows each pause where it fell among
    // the commands.
    void sleep_ms(std::uint32_t milliseconds) override {
        slept_ms_ += milliseconds;
        devices_.note("# sleep " + std::to_string(milliseconds) + " ms");
    }
    std::uint32_t process_id() override { return host_.process_id ? *host_.process_id : real_->process_id(); }
    std::uint32_t thread_number() override { return real_->thread_number(); }
    std::uint64_t thread_id() override { return real_->thread_id(); }

    HostIdentity host_identity() override { return host_.host; }
    std::optional<std::string> user_name() override { return host_.user; }

    os_error open_named_mutex(const std::string& name, std::unique_ptr<NamedMutex>& out) override {
        out.reset();
        if (!valid_object_name(name)) return kErrorInvalidParameter;
        if (std::find(host_.held_mutexes.begin(), host_.held_mutexes.end(), name) == host_.held_mutexes.end()) {
            return detail::open_process_mutex("sim", name, nullptr, out);
        }
        return detail::open_process_mutex("sim", name, [&name](std::unique_ptr<detail::HostLock>& lock) {
            lock = std::make_unique<HeldElsewhere>(name);
            return os_error{0};
        }, out);
    }

    // The simulated host's named objects live in the process: they cannot be missing.
    std::string named_object_advice() override { return {}; }

    os_error open_shared_memory(const std::string& name, std::size_t size, std::unique_ptr<SharedMemory>& out,
                                bool& created) override {
        out.reset();
        created = false;
        if (!valid_object_name(name) || size == 0 || size > (std::size_t{1} << 30)) return kErrorInvalidParameter;
        MemoryRegistry& r = memory_registry();
        std::lock_guard lk(r.m);
        std::shared_ptr<MemoryBlock> block = r.blocks[name].lock();
        if (block) {
            // A view larger than the existing object cannot be had, as on Windows.
            if (size > block->size) return kErrorInvalidParameter;
        } else {
            block = std::make_shared<MemoryBlock>(size);
            r.blocks[name] = block;
            created = true;
            std::erase_if(r.blocks, [](const auto& entry) { return entry.second.expired(); });
        }
        out = std::make_unique<SimSharedMemory>(std::move(block), size);
        return 0;
    }

    // The SNIA HBA API libraries are the host file's (sim_hba.cpp); any other module is not found.
    os_error load_module(const std::string& path, std::unique_ptr<Module>& out, std::string& resolved_path,
                         std::string& message) override {
        if (const auto failed = host_.recorded.modules.find(path); failed != host_.recorded.modules.end()) {
            out.reset();
            resolved_path.clear();
            message = failed->second.message;
            return failed->second.error;
        }
        return hba_.load_module(path, out, resolved_path, message);
    }

    // Only the command lines the host file lists can be run; they answer with the file's output
    // and exit status. Anything else is a program the host does not have.
    os_error run_tool(const std::string& command_line, std::string* output, int& exit_status) override {
        exit_status = -1;
        if (output != nullptr) output->clear();
        const auto it = host_.tools.find(command_line);
        if (it == host_.tools.end()) return kErrorFileNotFound;
        if (output != nullptr) *output = it->second.output;
        exit_status = it->second.exit_status;
        return 0;
    }

    // A program is on the host's search path when a command line of the host file runs it: the
    // command's first word is the program, a path ending in its file name (case ignored, as
    // Windows compares file names). That word is the path handed back.
    os_error locate_program(const std::string& file_name, std::string& path) override {
        path.clear();
        if (file_name.empty()) return kErrorInvalidParameter;
        auto lower = [](std::string text) {
            for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return text;
        };
        if (const auto recorded = host_.recorded.programs.find(file_name); recorded != host_.recorded.programs.end()) {
            path = recorded->second.value_or(std::string());
            return recorded->second ? 0 : kErrorFileNotFound;
        }
        const std::string wanted = lower(file_name);
        for (const auto& [command_line, tool] : host_.tools) {
            const std::string program = command_line.substr(0, command_line.find(' '));
            const std::size_t slash = program.find_last_of("\\/");
            if (lower(slash == std::string::npos ? program : program.substr(slash + 1)) == wanted) {
                path = program;
                return 0;
            }
        }
        return kErrorFileNotFound;
    }

    // Devices are the host file's (sim_devices.cpp); a path it does not list is not found.
    os_error open_device(const DeviceOpenRequest& request, DeviceHandle& out) override {
        return devices_.open_device(request, out);
    }
    os_error close_device(DeviceHandle handle) override { return devices_.close_device(handle); }
    os_error device_io_control(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t in_length,
                               void* out, std::uint32_t out_length, std::uint32_t& returned) override {
        return devices_.device_io_control(handle, code, in, in_length, out, out_length, returned);
    }
    std::uint32_t set_error_mode(std::uint32_t mode) override { return devices_.set_error_mode(mode); }
    // Disk interfaces, logical drives and the registry are the host file's (sim_discovery.cpp).
    os_error open_disk_interfaces(std::unique_ptr<DiskInterfaceSet>& out) override {
        out.reset();
        if (host_.recorded.disk_interfaces_error) return *host_.recorded.disk_interfaces_error;
        if (host_.recorded.disk_interfaces) {
            out = std::make_unique<PathInterfaceSet>(*host_.recorded.disk_interfaces);
            return 0;
        }
        return discovery_.open_disk_interfaces(out);
    }
    // A Linux host has no drive letters.
    os_error logical_drive_strings(std::uint32_t buffer_length, std::string& roots, std::uint32_t& required) override {
        if (sim::recorded_linux(host_.recorded)) {
            roots.clear();
            required = 0;
            return kErrorNotSupported;
        }
        return discovery_.logical_drive_strings(buffer_length, roots, required);
    }
    std::uint32_t drive_type(const std::string& root) override {
        return sim::recorded_linux(host_.recorded) ? kDriveUnknown : discovery_.drive_type(root);
    }
    // A captured host names its disks as it did (a Linux host "/dev/sdc").
    std::string disk_name(std::uint32_t device_number) override {
        if (!host_.recorded.disk_names) return windows_disk_name(device_number);
        const auto found = host_.recorded.disk_names->find(device_number);
        return found == host_.recorded.disk_names->end() ? std::string() : found->second;
    }
    os_error registry_open_local_machine(const std::string& subkey, std::unique_ptr<RegistryKey>& out) override {
        return discovery_.registry_open_local_machine(subkey, out);
    }

    // Service processors and the multipathing driver are the host file's (sim_sp_file.cpp).
    // A Linux host has no service-processor software.
    ServiceProcessorClient& service_processor_client() override {
        return sim::recorded_linux(host_.recorded) ? absent_service_processor() : service_processor_;
    }
    MultipathClient& multipath_client() override { return multipath_; }

private:
    sim::SimHost host_;  // all but its devices, which devices_ holds
    const std::unique_ptr<Platform> real_;
    sim::SimDeviceHost devices_;
    sim::SimStorageHost storage_;
    const sim::SimDiscoveryHost discovery_;
    const sim::SimHbaHost hba_;
    SimServiceProcessorClient service_processor_;
    SimMultipathClient multipath_;
    std::atomic<std::int64_t> slept_ms_{0};  // the virtual clock: all the sleeps of the run
};

}  // namespace

std::unique_ptr<Platform> make_sim_platform(const std::string& host_file, std::string& error) {
    sim::SimHost host;
    if (!sim::load_sim_host(host_file, host, error)) return nullptr;
    std::unique_ptr<Platform> real = make_real_platform();
    // The CDB log is the test harness's, so it is named by the real environment, not the file's.
    std::FILE* cdb_log = nullptr;
    if (!sim::open_cdb_log(real->get_env("SIL_SIM_LOG"), cdb_log, error)) return nullptr;
    return std::make_unique<SimPlatform>(std::move(host), std::move(real), cdb_log);
}

}  // namespace pds
