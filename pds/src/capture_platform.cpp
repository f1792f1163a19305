// The recording wrapper of the seam: passes every call to the active provider, keeps its answer, and writes the host file at exit.
//
// The wrapper changes nothing the library sees: each call goes to the provider it wraps and its
// answer comes back as it was. Only what a replay needs to answer the same is kept; the process's
// own objects (named mutexes, shared memory, the error mode, sleeps, thread numbers) are the
// replaying process's own and are not recorded.
#include "capture.h"

#include "pds/product_clients.h"
#include "pds/win_device_layouts.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace pds::capture {
namespace {

template <typename T>
void keep(std::vector<T>& list, T value) {
    if (list.size() < kMaxEntries) list.push_back(std::move(value));
}

sim::RecordedBytes bytes_of(const void* p, std::size_t n) {
    if (p == nullptr || n == 0) return {};
    const auto* b = static_cast<const std::uint8_t*>(p);
    return sim::RecordedBytes(b, b + n);
}

// The recording and the lock every thread takes to add to it.
struct Recorder {
    std::mutex mutex;
    Recording rec;
    std::map<DeviceHandle, std::size_t> handles;  // open handle -> its device record
    std::map<std::uint32_t, std::size_t> sp_clients;  // client id -> its session record

    DeviceRecord* device_of(DeviceHandle handle) {
        const auto it = handles.find(handle);
        return it == handles.end() ? nullptr : &rec.devices[it->second];
    }
};

// A pass-through as it went: the request is copied before the call, since the block is both
// input and output.
sim::RecordedExchange exchange_of(const win::ScsiPassThroughDirect& asked, os_error error, const void* out,
                                  std::uint32_t out_length, std::uint32_t returned, bool multipath) {
    sim::RecordedExchange e;
    e.cdb.assign(asked.Cdb, asked.Cdb + std::min<std::size_t>(asked.CdbLength, sizeof asked.Cdb));
    e.multipath = multipath;
    e.error = error;
    if (error != 0 || out == nullptr || out_length < sizeof(win::ScsiPassThroughDirect)) return e;
    win::ScsiPassThroughDirect answered;
    std::memcpy(&answered, out, sizeof answered);
    e.status = answered.ScsiStatus;
    e.transferred = answered.DataTransferLength;
    if (asked.DataIn == win::SCSI_IOCTL_DATA_IN && asked.DataBuffer != nullptr) {
        e.data = bytes_of(asked.DataBuffer, std::min(answered.DataTransferLength, asked.DataTransferLength));
    }
    if (answered.SenseInfoLength > 0 && answered.SenseInfoOffset >= sizeof answered && answered.SenseInfoOffset <= out_length) {
        const std::size_t n = std::min<std::size_t>(answered.SenseInfoLength, out_length - answered.SenseInfoOffset);
        e.sense = bytes_of(static_cast<const std::uint8_t*>(out) + answered.SenseInfoOffset, n);
    }
    const std::uint32_t usual = e.sense.empty() ? static_cast<std::uint32_t>(sizeof answered)
                                                : answered.SenseInfoOffset + static_cast<std::uint32_t>(e.sense.size());
    if (returned != usual) e.returned = returned;
    return e;
}

class CaptureInterfaceSet final : public DiskInterfaceSet {
public:
    CaptureInterfaceSet(std::unique_ptr<DiskInterfaceSet> inner, Recorder& r) : inner_(std::move(inner)), r_(r) {}
    os_error enumerate(std::uint32_t index) override { return inner_->enumerate(index); }
    os_error detail_size(std::uint32_t index, std::uint32_t& required_size) override {
        return inner_->detail_size(index, required_size);
    }
    os_error detail_path(std::uint32_t index, std::string& path) override {
        const os_error e = inner_->detail_path(index, path);
        if (e == 0) {
            std::lock_guard lock(r_.mutex);
            if (!r_.rec.interfaces) r_.rec.interfaces.emplace();
            std::vector<std::string>& list = *r_.rec.interfaces;
            if (index < kMaxEntries && list.size() <= index) list.resize(index + 1);
            if (index < list.size()) list[index] = path;
        }
        return e;
    }

private:
    std::unique_ptr<DiskInterfaceSet> inner_;
    Recorder& r_;
};

class CaptureRegistryKey final : public RegistryKey {
public:
    CaptureRegistryKey(std::unique_ptr<RegistryKey> inner, Recorder& r, std::string path)
        : inner_(std::move(inner)), r_(r), path_(std::move(path)) {}
    os_error enum_subkey(std::uint32_t index, std::string& name) override {
        const os_error e = inner_->enum_subkey(index, name);
        if (e == 0) with_record([&](RegistryRecord& k) { add(k.subkeys, name); });
        return e;
    }
    os_error enum_value(std::uint32_t index, std::string& name) override {
        const os_error e = inner_->enum_value(index, name);
        if (e == 0) with_record([&](RegistryRecord& k) { add(k.value_names, name); });
        return e;
    }
    os_error query_string(const std::string& value_name, std::string& value) override {
        const os_error e = inner_->query_string(value_name, value);
        if (e == 0) with_record([&](RegistryRecord& k) { k.values.emplace(value_name, value); });
        return e;
    }
    os_error query_dword(const std::string& value_name, std::uint32_t& value) override {
        const os_error e = inner_->query_dword(value_name, value);
        if (e == 0) with_record([&](RegistryRecord& k) { k.values.emplace(value_name, value); });
        return e;
    }

private:
    template <typename F>
    void with_record(F f) {
        std::lock_guard lock(r_.mutex);
        f(r_.rec.registry[path_]);
    }
    static void add(std::vector<std::string>& list, const std::string& name) {
        if (std::find(list.begin(), list.end(), name) == list.end()) keep(list, name);
    }

    std::unique_ptr<RegistryKey> inner_;
    Recorder& r_;
    std::string path_;
};

class CaptureServiceProcessor final : public ServiceProcessorClient {
public:
    CaptureServiceProcessor(ServiceProcessorClient& inner, Recorder& r) : inner_(inner), r_(r) {}
    os_error sp_create_client(const std::string& device, const std::string& session, const std::string& application,
                              bool second_mode, std::uint32_t& client_id) override {
        const os_error e = inner_.sp_create_client(device, session, application, second_mode, client_id);
        if (e == 0) {
            std::lock_guard lock(r_.mutex);
            auto& list = r_.rec.service_processors;
            auto it = std::find_if(list.begin(), list.end(), [&](const ServiceProcessorRecord& s) { return s.session == session; });
            if (it == list.end()) it = list.insert(list.end(), ServiceProcessorRecord{session, {}, {}, {}, {}});
            r_.sp_clients[client_id] = static_cast<std::size_t>(it - list.begin());
        }
        return e;
    }
    os_error sp_remove_client(std::uint32_t client_id) override {
        return note(client_id, "remove_client", inner_.sp_remove_client(client_id));
    }
    os_error sp_revision_info(std::uint32_t client_id, std::string& revision, std::string& product) override {
        const os_error e = inner_.sp_revision_info(client_id, revision, product);
        if (ServiceProcessorRecord* s = session_of(client_id); s != nullptr && e == 0) {
            std::lock_guard lock(r_.mutex);
            s->revision = revision;
            s->product = product;
        }
        return note(client_id, "revision_info", e);
    }
    os_error sp_site_info(std::uint32_t client_id, std::string& array_serial) override {
        const os_error e = inner_.sp_site_info(client_id, array_serial);
        if (ServiceProcessorRecord* s = session_of(client_id); s != nullptr && e == 0) {
            std::lock_guard lock(r_.mutex);
            s->array_serial = array_serial;
        }
        return note(client_id, "site_info", e);
    }
    os_error sp_resource_lock(std::uint32_t client_id, bool lock, bool& held) override {
        return note(client_id, "resource_lock", inner_.sp_resource_lock(client_id, lock, held));
    }

private:
    ServiceProcessorRecord* session_of(std::uint32_t client_id) {
        std::lock_guard lock(r_.mutex);
        const auto it = r_.sp_clients.find(client_id);
        return it == r_.sp_clients.end() ? nullptr : &r_.rec.service_processors[it->second];
    }
    os_error note(std::uint32_t client_id, const char* call, os_error e) {
        ServiceProcessorRecord* s = session_of(client_id);
        std::lock_guard lock(r_.mutex);
        if (s != nullptr && e != 0 && s->failed_call.empty()) s->failed_call = call;
        return e;
    }

    ServiceProcessorClient& inner_;
    Recorder& r_;
};

class CaptureMultipath final : public MultipathClient {
public:
    CaptureMultipath(MultipathClient& inner, Recorder& r) : inner_(inner), r_(r) {}
    std::uint32_t mp_scsi_pass_through(DeviceHandle handle, std::uint32_t value, void* block) override {
        win::ScsiPassThroughDirect asked{};
        if (block != nullptr) std::memcpy(&asked, block, sizeof asked);
        const std::uint32_t result = inner_.mp_scsi_pass_through(handle, value, block);
        if (block == nullptr) return result;
        std::lock_guard lock(r_.mutex);
        if (DeviceRecord* d = r_.device_of(handle)) {
            keep(d->exchanges, exchange_of(asked, result, block, sizeof(win::ScsiPassThroughDirectWithSense),
                                           sizeof(win::ScsiPassThroughDirect), true));
        }
        return result;
    }
    std::uint32_t mp_list_volumes(std::uint32_t& count, char* names) override {
        const std::uint32_t room = count;
        const std::uint32_t result = inner_.mp_list_volumes(count, names);
        if (result == 0 && names != nullptr && count <= room) {
            std::vector<std::string> list;
            for (std::uint32_t i = 0; i < count; ++i) {
                const char* entry = names + static_cast<std::size_t>(i) * kMpVolumeNameBytes;
                list.emplace_back(entry, strnlen(entry, kMpVolumeNameBytes - 1));
            }
            std::lock_guard lock(r_.mutex);
            r_.rec.multipath_volumes = std::move(list);
        }
        return result;
    }
    std::string library_fault() override {
        std::string fault = inner_.library_fault();
        std::lock_guard lock(r_.mutex);
        if (!fault.empty()) r_.rec.multipath_fault = fault;
        return fault;
    }

private:
    MultipathClient& inner_;
    Recorder& r_;
};

class CapturePlatform final : public Platform {
public:
    CapturePlatform(Platform& inner, std::string path, bool masked)
        : inner_(inner), path_(std::move(path)), masked_(masked), sp_(inner.service_processor_client(), r_),
          mp_(inner.multipath_client(), r_) {
        r_.rec.provider = std::string(inner.name());
    }

    // Called once, from the process's exit path.
    void write_file() {
        Recording copy;
        {
            std::lock_guard lock(r_.mutex);
            copy = r_.rec;
        }
        if (masked_) {
            // The names to hide are the host's even where this run did not ask for them.
            if (!copy.host) copy.host = inner_.host_identity();
            if (!copy.user_read) {
                copy.user_read = true;
                copy.user = inner_.user_name();
            }
            mask(copy);
        }
        std::string reason;
        if (!write_atomically(path_, host_file_text(copy), reason)) {
            std::fflush(stdout);
            std::fprintf(stderr, "lunscan: capture file \"%s\" (SIL_SIM_CAPTURE) cannot be written: %s\n", path_.c_str(),
                         reason.c_str());
            std::fflush(stderr);
        }
    }

    std::string_view name() const override { return inner_.name(); }

    std::optional<std::string> get_env(const char* name) override {
        std::optional<std::string> value = inner_.get_env(name);
        if (name != nullptr) {
            std::lock_guard lock(r_.mutex);
            r_.rec.environment.emplace(name, value);
        }
        return value;
    }
    LocalTime local_time() override { return reading(r_.rec.local_times, inner_.local_time()); }
    std::string date_text() override { return reading(r_.rec.date_texts, inner_.date_text()); }
    std::int64_t epoch_seconds() override { return reading(r_.rec.epoch_seconds, inner_.epoch_seconds()); }
    std::int64_t monotonic_ns() override { return reading(r_.rec.monotonic_ns, inner_.monotonic_ns()); }
    void sleep_ms(std::uint32_t milliseconds) override { inner_.sleep_ms(milliseconds); }
    std::uint32_t process_id() override {
        const std::uint32_t id = inner_.process_id();
        std::lock_guard lock(r_.mutex);
        r_.rec.process_id = id;
        return id;
    }
    std::uint32_t thread_number() override { return inner_.thread_number(); }
    std::uint64_t thread_id() override { return inner_.thread_id(); }

    HostIdentity host_identity() override {
        HostIdentity id = inner_.host_identity();
        std::lock_guard lock(r_.mutex);
        if (!r_.rec.host) r_.rec.host = id;
        return id;
    }
    std::optional<std::string> user_name() override {
        std::optional<std::string> user = inner_.user_name();
        std::lock_guard lock(r_.mutex);
        r_.rec.user_read = true;
        r_.rec.user = user;
        return user;
    }

    os_error open_named_mutex(const std::string& name, std::unique_ptr<NamedMutex>& out) override {
        return inner_.open_named_mutex(name, out);
    }
    os_error open_shared_memory(const std::string& name, std::size_t size, std::unique_ptr<SharedMemory>& out,
                                bool& created) override {
        return inner_.open_shared_memory(name, size, out, created);
    }
    std::string named_object_advice() override { return inner_.named_object_advice(); }

    os_error open_device(const DeviceOpenRequest& request, DeviceHandle& out) override {
        const os_error e = inner_.open_device(request, out);
        std::lock_guard lock(r_.mutex);
        std::size_t index = 0;
        const auto found = device_index_.find(request.path);
        if (found != device_index_.end()) {
            index = found->second;
        } else {
            index = r_.rec.devices.size();
            r_.rec.devices.push_back(DeviceRecord{request.path, {}, {}, {}});
            device_index_.emplace(request.path, index);
        }
        keep(r_.rec.devices[index].opens, std::pair<std::uint32_t, os_error>(request.desired_access, e));
        if (e == 0) r_.handles[out] = index;
        return e;
    }
    os_error close_device(DeviceHandle handle) override {
        const os_error e = inner_.close_device(handle);
        std::lock_guard lock(r_.mutex);
        if (e == 0) r_.handles.erase(handle);
        return e;
    }
    os_error device_io_control(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t in_length, void* out,
                               std::uint32_t out_length, std::uint32_t& returned) override {
        const bool pass = code == win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
        win::ScsiPassThroughDirect asked{};
        sim::RecordedBytes input;
        if (pass && in != nullptr && in_length >= sizeof asked) std::memcpy(&asked, in, sizeof asked);
        if (!pass) input = bytes_of(in, in_length);
        const os_error e = inner_.device_io_control(handle, code, in, in_length, out, out_length, returned);
        std::lock_guard lock(r_.mutex);
        DeviceRecord* d = r_.device_of(handle);
        if (d == nullptr) return e;
        if (pass) {
            if (in != nullptr && in_length >= sizeof asked) keep(d->exchanges, exchange_of(asked, e, out, out_length, returned, false));
            return e;
        }
        sim::RecordedIoctl r;
        r.code = code;
        r.in = std::move(input);
        r.out_length = out_length;
        r.error = e;
        r.out = bytes_of(out, std::min(returned, out_length));
        r.returned = returned;
        keep(d->ioctls, std::move(r));
        return e;
    }
    std::uint32_t set_error_mode(std::uint32_t mode) override { return inner_.set_error_mode(mode); }

    os_error open_disk_interfaces(std::unique_ptr<DiskInterfaceSet>& out) override {
        std::unique_ptr<DiskInterfaceSet> inner;
        const os_error e = inner_.open_disk_interfaces(inner);
        {
            std::lock_guard lock(r_.mutex);
            if (e != 0) r_.rec.interfaces_error = e;
            else if (!r_.rec.interfaces) r_.rec.interfaces.emplace();
        }
        out = inner ? std::make_unique<CaptureInterfaceSet>(std::move(inner), r_) : nullptr;
        return e;
    }
    os_error logical_drive_strings(std::uint32_t buffer_length, std::string& roots, std::uint32_t& required) override {
        const os_error e = inner_.logical_drive_strings(buffer_length, roots, required);
        if (e == 0 && required <= buffer_length) {
            std::string plain;
            for (const char c : roots) {
                if (c != '\0') plain += c;
            }
            std::lock_guard lock(r_.mutex);
            r_.rec.drive_roots = plain;
        }
        return e;
    }
    std::uint32_t drive_type(const std::string& root) override {
        const std::uint32_t type = inner_.drive_type(root);
        std::lock_guard lock(r_.mutex);
        r_.rec.drive_types.emplace(root, type);
        return type;
    }
    std::string disk_name(std::uint32_t device_number) override {
        std::string name = inner_.disk_name(device_number);
        std::lock_guard lock(r_.mutex);
        if (!r_.rec.disk_names) r_.rec.disk_names.emplace();
        if (!name.empty()) r_.rec.disk_names->emplace(device_number, name);
        return name;
    }
    os_error registry_open_local_machine(const std::string& subkey, std::unique_ptr<RegistryKey>& out) override {
        std::unique_ptr<RegistryKey> inner;
        const os_error e = inner_.registry_open_local_machine(subkey, inner);
        if (e == 0) {
            {
                std::lock_guard lock(r_.mutex);
                r_.rec.registry[subkey];
            }
            out = std::make_unique<CaptureRegistryKey>(std::move(inner), r_, subkey);
        } else {
            out.reset();
        }
        return e;
    }

    ServiceProcessorClient& service_processor_client() override { return sp_; }
    MultipathClient& multipath_client() override { return mp_; }

    // A module's code runs in the process, out of the seam's sight: a failed load is kept, and a
    // loaded (HBA API) library is wrapped so that its entry points record what they answer.
    os_error load_module(const std::string& path, std::unique_ptr<Module>& out, std::string& resolved_path,
                         std::string& message) override {
        const os_error e = inner_.load_module(path, out, resolved_path, message);
        std::lock_guard lock(r_.mutex);
        if (e != 0) {
            r_.rec.modules.emplace(path, sim::RecordedModuleFailure{e, message});
        } else if (out != nullptr) {
            HbaLibraryRecord& library = r_.rec.hba_libraries[path];
            library.resolved_path = resolved_path;
            out = record_hba_module(std::move(out), library, r_.mutex);
        }
        return e;
    }

    os_error run_tool(const std::string& command_line, std::string* output, int& exit_status) override {
        const os_error e = inner_.run_tool(command_line, output, exit_status);
        if (e == 0) {
            std::lock_guard lock(r_.mutex);
            r_.rec.tools.emplace(command_line, ToolRecord{output != nullptr ? *output : std::string(), exit_status});
        }
        return e;
    }
    os_error locate_program(const std::string& file_name, std::string& path) override {
        const os_error e = inner_.locate_program(file_name, path);
        std::lock_guard lock(r_.mutex);
        r_.rec.programs.emplace(file_name, e == 0 ? std::optional<std::string>(path) : std::nullopt);
        return e;
    }

private:
    template <typename T>
    T reading(std::vector<T>& list, T value) {
        std::lock_guard lock(r_.mutex);
        keep(list, value);
        return value;
    }

    Platform& inner_;
    const std::string path_;
    const bool masked_;
    Recorder r_;
    std::map<std::string, std::size_t> device_index_;
    CaptureServiceProcessor sp_;
    CaptureMultipath mp_;
};

// The one capture of the process, written by the exit handler.
CapturePlatform* g_capture = nullptr;

void write_at_exit() {
    if (g_capture != nullptr) g_capture->write_file();
}

}  // namespace

std::unique_ptr<Platform> make_capture_platform(Platform& inner, std::string path, bool masked) {
    auto capture = std::make_unique<CapturePlatform>(inner, std::move(path), masked);
    if (g_capture == nullptr) std::atexit(write_at_exit);
    g_capture = capture.get();
    return capture;
}

}  // namespace pds::capture
