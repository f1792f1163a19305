// In-process half of a host-wide named mutex: a registry of per-name states shared by handles.
#include "process_mutex.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace pds::detail {
namespace {

using Clock = std::chrono::steady_clock;

struct MutexState {
    std::mutex m;
    std::condition_variable cv;
    std::thread::id owner;
    std::uint32_t count = 0;  // recursion depth of the owner
    std::unique_ptr<HostLock> host;
};

struct Registry {
    std::mutex m;
    std::map<std::string, std::weak_ptr<MutexState>, std::less<>> states;
};

// Never destroyed: handles may still be released from other static destructors at exit.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

class ProcessMutexHandle final : public NamedMutex {
public:
    explicit ProcessMutexHandle(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}

    ~ProcessMutexHandle() override {
        // A handle closed by its owning thread gives up what it took, as a closed lock file
        // would; the name stays usable by the other handles.
        std::unique_lock lk(state_->m);
        if (held_ == 0 || state_->owner != std::this_thread::get_id()) return;
        state_->count -= std::min(held_, state_->count);
        if (state_->count == 0) release_locked();
    }

    os_error lock(int timeout_ms) override {
        MutexState& s = *state_;
        const auto me = std::this_thread::get_id();
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
        std::unique_lock lk(s.m);
        if (s.owner == me) {
            ++s.count;
            ++held_;
            return 0;
        }
        auto is_free = [&s] { return s.count == 0; };
        if (timeout_ms < 0) {
            s.cv.wait(lk, is_free);
        } else if (!s.cv.wait_until(lk, deadline, is_free)) {
            return kErrorSemTimeout;
        }
        // Claimed for this process before the host-wide wait, so the other threads of the
        // process queue here rather than on the host-wide object.
        s.owner = me;
        s.count = 1;
        lk.unlock();
        int remaining = -1;
        if (timeout_ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            remaining = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const os_error error = s.host ? s.host->acquire(remaining) : 0;
        lk.lock();
        if (error != 0) {
            s.owner = std::thread::id();
            s.count = 0;
            s.cv.notify_all();
            return error;
        }
        ++held_;
        return 0;
    }

    os_error unlock() override {
        std::unique_lock lk(state_->m);
        if (state_->owner != std::this_thread::get_id() || state_->count == 0) return kErrorNotOwner;
        if (held_ > 0) --held_;
        if (--state_->count == 0) release_locked();
        return 0;
    }

private:
    void release_locked() {
        if (state_->host) state_->host->release();
        state_->owner = std::thread::id();
        state_->cv.notify_all();
    }

    std::shared_ptr<MutexState> state_;
    std::uint32_t held_ = 0;  // acquisitions made through this handle, guarded by state_->m
};

}  // namespace

os_error open_process_mutex(std::string_view scope, const std::string& name,
                            const HostLockFactory& make_host_lock, std::unique_ptr<NamedMutex>& out) {
    out.reset();
    std::string key(scope);
    key += '\0';
    key += name;
    Registry& r = registry();
    std::lock_guard lk(r.m);
    std::shared_ptr<MutexState> state = r.states[key].lock();
    if (!state) {
        auto fresh = std::make_shared<MutexState>();
        if (make_host_lock) {
            if (const os_error error = make_host_lock(fresh->host); error != 0) {
                r.states.erase(key);
                return error;
            }
        }
        state = std::move(fresh);
        r.states[key] = state;
        // Forget the names no handle refers to any more.
        std::erase_if(r.states, [](const auto& entry) { return entry.second.expired(); });
    }
    out = std::make_unique<ProcessMutexHandle>(std::move(state));
    return 0;
}

}  // namespace pds::detail
