// Library start and stop: the SIL context record, SIL_init, SIL_exit, the start guard, the chain-code counter and the identification strings.
#include "silinitl.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>

#include "pds/platform.h"
#include "sildebug.h"

const char* const SIL_IDENT_STRING = "@(#) $sil_lib rev " LUNSCAN_VERSION "-" LUNSCAN_EDIT_LEVEL " (Rev " LUNSCAN_REVISION
                                     ") Copyright (c) 2026 lunscan developers $";
const char* const SIL_PLATFORM_STRING = "@(#) $sil_lib Windows x86-64 " LUNSCAN_VERSION "-" LUNSCAN_EDIT_LEVEL;
const char* const SIL_DATE_STRING = "@(#) $sil_lib built " __DATE__ " " __TIME__;

namespace {

constexpr const char* kChainMutexName = "KorvSharedMemory";
constexpr const char* kChainMemoryName = "KorvLockChainCode";
constexpr std::uint32_t kChainCodeRange = 16384;  // chain codes run 1..16383
constexpr std::size_t kUserNameCapacity = 64;

// The context record lives from SIL_init to the end of the process: trace lines written late
// (from other threads, or while the process ends) still find it.
std::atomic<T_SIL_CONTEXT*> g_context{nullptr};
// SIL_init and SIL_exit run one at a time.
std::mutex g_lifecycle_lock;

// The chain-code counter's host-wide objects, kept open while the library is started.
struct ChainCodeStore {
    std::unique_ptr<pds::NamedMutex> mutex;
    std::unique_ptr<pds::SharedMemory> memory;
    std::atomic<std::uint32_t*> counter{nullptr};
};
ChainCodeStore& chain_store() {
    static ChainCodeStore* const store = new ChainCodeStore;
    return *store;
}

// The named mutexes of devices locked host-wide by this process, by device name.
struct DeviceLockTable {
    std::mutex lock;
    std::map<std::string, std::unique_ptr<pds::NamedMutex>> locks;
};
DeviceLockTable& device_locks() {
    static DeviceLockTable* const table = new DeviceLockTable;
    return *table;
}

}  // namespace

pds::os_error sil_lock_host_wide(pds::NamedMutex& mutex, const std::string& name) {
    const pds::os_error error = mutex.lock(kHostLockWaitMs);
    if (error == pds::kErrorSemTimeout) {
        SIL_TRACE(SIL_TRACE_ERROR, "gave up after %d s waiting for the host-wide lock %s", kHostLockWaitMs / 1000,
                  name.c_str());
        std::fprintf(stderr, "lunscan: gave up after %d s waiting for the host-wide lock %s (another process holds it)\n",
                     kHostLockWaitMs / 1000, name.c_str());
    }
    return error;
}

namespace {

std::atomic<std::uint32_t> g_disk_opens{0};
std::atomic<std::uint32_t> g_disk_opens_denied{0};

}  // namespace

void sil_disk_opens_reset() {
    g_disk_opens = 0;
    g_disk_opens_denied = 0;
}

void sil_disk_open_noted(pds::os_error error) {
    ++g_disk_opens;
    if (error == pds::kErrorAccessDenied) ++g_disk_opens_denied;
}

bool sil_every_disk_open_denied() {
    const std::uint32_t tried = g_disk_opens;
    return tried != 0 && g_disk_opens_denied == tried;
}

namespace {

// Sets up the chain-code counter shared by the processes of the host; 0 or the OS error.
pds::os_error korv_ipc_init(T_SIL_CONTEXT& ctx) {
    if (ctx.ipc_initialised != 0) {
        SIL_TRACE(SIL_TRACE_INFO, "korvIPCInit, is being called twice");
        return 0;
    }
    pds::Platform& p = pds::platform();
    std::unique_ptr<pds::NamedMutex> mutex;
    pds::os_error error = p.open_named_mutex(kChainMutexName, mutex);
    if (error == 0) error = sil_lock_host_wide(*mutex, kChainMutexName);
    if (error != 0) {
        SIL_TRACE(1, "Could not get Mutext");
        return error;
    }
    std::unique_ptr<pds::SharedMemory> memory;
    bool created = false;
    error = p.open_shared_memory(kChainMemoryName, sizeof(std::uint32_t), memory, created);
    if (error == 0 && (memory == nullptr || memory->data() == nullptr || memory->size() < sizeof(std::uint32_t))) {
        error = pds::kErrorInvalidHandle;
    }
    if (error != 0) {
        mutex->unlock();
        SIL_TRACE(1, "Could not get File Mapping");
        return error;
    }
    auto* counter = static_cast<std::uint32_t*>(memory->data());
    if (created) {
        const auto seed = static_cast<std::uint32_t>(p.epoch_seconds() * static_cast<std::int64_t>(p.process_id()));
        std::minstd_rand generator(seed);
        std::atomic_ref<std::uint32_t>(*counter).store(static_cast<std::uint32_t>(generator() % kChainCodeRange));
    }
    mutex->unlock();

    ChainCodeStore& store = chain_store();
    store.mutex = std::move(mutex);
    store.memory = std::move(memory);
    store.counter.store(counter);
    ctx.ipc_initialised = 1;
    return 0;
}

// Unmaps and closes the chain-code counter; 0 or the OS error of the unmapping.
pds::os_error korv_ipc_exit(T_SIL_CONTEXT& ctx) {
    ChainCodeStore& store = chain_store();
    store.counter.store(nullptr);
    pds::os_error result = 0;
    if (store.memory != nullptr) result = store.memory->close();
    store.memory.reset();
    store.mutex.reset();
    ctx.ipc_initialised = 0;
    return result;
}

// Nothing to undo on this platform beyond what SIL_exit does itself; kept for the trace.
std::int32_t os_specific_exit() {
    SIL_FUNCTION("os_specific_exit");
    SIL_RETURN(0);
}

bool handle_is_valid(std::uint64_t handle) { return handle != 0 && handle != SIL_INVALID_HANDLE; }

void trace_start_facts(std::uint32_t caller_version, const char* caller_ident, const char* caller_platform,
                       const char* caller_date) {
    if (sil_trace_on() == 0) return;
    SIL_TRACE(SIL_TRACE_INFO, "This is a normal SIL library");
    SIL_TRACE(SIL_TRACE_INFO, " SIL rev: user=0x%08x sil=0x%08x", caller_version, SIL_LIBRARY_VERSION);
    SIL_TRACE(SIL_TRACE_INFO, "User linked with library:");
    for (const char* text : {caller_ident, caller_platform, caller_date}) {
        if (text != nullptr) SIL_TRACE(SIL_TRACE_INFO_DETAIL, "%s", text);
    }
    SIL_TRACE(SIL_TRACE_INFO_DETAIL, "SIL library:");
    for (const char* text : {SIL_IDENT_STRING, SIL_PLATFORM_STRING, SIL_DATE_STRING}) {
        SIL_TRACE(SIL_TRACE_INFO_DETAIL, "%s", text);
    }
    pds::Platform& p = pds::platform();
    const pds::HostIdentity host = p.host_identity();
    SIL_TRACE(SIL_TRACE_INFO_DETAIL, "Running on: 0x%08x %s %s %s %s %s", host.os_type, host.sysname.c_str(),
              host.nodename.c_str(), host.release.c_str(), host.version.c_str(), host.machine.c_str());
    if (std::optional<std::string> user = p.user_name()) {
        if (user->size() >= kUserNameCapacity) user->resize(kUserNameCapacity - 1);
        if (*user != "root") {
            SIL_TRACE(SIL_TRACE_ERROR, "user is not root, (user=<%s>) this may be a result of 'su'", user->c_str());
        }
    }
}

}  // namespace

std::int32_t SIL_init(std::uint32_t reserved1, std::uint32_t reserved2, std::uint32_t caller_version,
                      const char* caller_ident, const char* caller_platform, const char* caller_date) {
    std::lock_guard lifecycle(g_lifecycle_lock);
    if (g_context.load() != nullptr) return 1;
    if (pds::pdsLibInit() != 0) return SIL_ERR_FAILED;
    auto* ctx = new (std::nothrow) T_SIL_CONTEXT{};
    if (ctx == nullptr) return SIL_ERR_FAILED;
    ctx->out_stream = stdout;
    ctx->os_handle = SIL_INVALID_HANDLE;
    g_context.store(ctx);

    sil_debug_init();
    SIL_FUNCTION("SIL_init");
    std::int32_t rc = SIL_OK;
    if ((caller_version & 0xFFFF0000) != (SIL_LIBRARY_VERSION & 0xFFFF0000)) {
        SIL_TRACE(SIL_TRACE_ERROR, "Incompatible runtime/compiletime SIL versions");
        rc = -2;
    }
    trace_start_facts(caller_version, caller_ident, caller_platform, caller_date);

    if (korv_ipc_init(*ctx) != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "  DO NOT CONTINUE - any attempt to access chain code could be fatal (esp WIN32)");
        rc = -3;
    }
    sil_device_locks_reset();

    ctx->os_handle = SIL_INVALID_HANDLE;
    ctx->big_buffer_enabled = 0;
    if (const std::optional<std::string> big = pds::platform().get_env("KORAPI_ENABLE_65K_BUFFER_SIZE")) {
        ctx->big_buffer_enabled = static_cast<std::uint8_t>(std::strtol(big->c_str(), nullptr, 10));
    }
    SIL_RETURN(rc);
}

std::int32_t SIL_exit() {
    std::lock_guard lifecycle(g_lifecycle_lock);
    T_SIL_CONTEXT* ctx = g_context.load();
    if (ctx == nullptr) return SIL_ERR_NOT_INITIALISED;
    if (sil_trace_on() != 0) sil_trace(SIL_TC_FUNCTION_DEPTH, "Enter: SIL_exit", __FILE__, __LINE__);
    const auto rc = static_cast<std::int32_t>(korv_ipc_exit(*ctx));
    if (handle_is_valid(ctx->os_handle)) pds::platform().close_device(ctx->os_handle);
    ctx->os_handle = SIL_INVALID_HANDLE;
    os_specific_exit();
    if (sil_trace_on() != 0) {
        sil_trace_fmt(SIL_TC_FUNCTION_DEPTH, __FILE__, __LINE__, "Leave: SIL_exit, Return Value: %d\n", rc);
    }
    return rc;
}

bool SIL_is_initialised() { return g_context.load() != nullptr; }

T_SIL_CONTEXT* sil_context() { return g_context.load(std::memory_order_acquire); }

std::FILE* sil_out() {
    T_SIL_CONTEXT* ctx = sil_context();
    if (ctx == nullptr) return stdout;
    std::FILE* out = std::atomic_ref<std::FILE*>(ctx->out_stream).load();
    return out == nullptr ? stdout : out;
}

std::int32_t sil_require_init() {
    if (SIL_is_initialised()) return SIL_OK;
    // Without the library there is no trace to write to; the calls say what went wrong all the same.
    sil_trace(SIL_TRACE_ERROR, "error, please initialize SIL by calling SIL_init()", __FILE__, __LINE__);
    sil_trace(SIL_TRACE_ERROR, "it is required only once, before any SIL calls are made.", __FILE__, __LINE__);
    return SIL_ERR_NOT_INITIALISED;
}

std::uint32_t* sil_chain_code_counter() { return chain_store().counter.load(); }

void sil_device_locks_reset() {
    DeviceLockTable& table = device_locks();
    std::lock_guard lock(table.lock);
    table.locks.clear();
}
