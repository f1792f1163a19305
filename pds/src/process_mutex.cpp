// In-process half of a host-wide named mutex: a registry of per-name states shared by handles, and the wrapper that releases on close.
#include "process_mutex.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

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

void release_locked(MutexState& s) {
    if (s.host) s.host->release();
    s.owner = std::thread::id();
    s.cv.notify_all();
}

// The mutexes the calling thread has owned. A thread that ends holding one abandons it, as on
// Windows: the next waiter gets it.
struct ThreadOwnership {
    std::vector<std::weak_ptr<MutexState>> owned;

    ~ThreadOwnership() {
        for (const auto& weak : owned) {
            const std::shared_ptr<MutexState> s = weak.lock();
            if (!s) continue;
            std::lock_guard lk(s->m);
            if (s->owner != std::this_thread::get_id() || s->count == 0) continue;
            s->count = 0;
            release_locked(*s);
        }
    }

    void note(const std::shared_ptr<MutexState>& s) {
        std::erase_if(owned, [](const auto& weak) { return weak.expired(); });
        owned.push_back(s);
    }
};

// The calling thread's record. It is ended by a thread-specific key's destructor, which is handed
// the record itself: a thread_local object with a destructor is not safe on every runtime (with
// emulated TLS the storage can be gone before the destructor runs). The thread_local pointer only
// finds the record quickly and keeps it reachable for leak checkers.
thread_local ThreadOwnership* t_ownership = nullptr;

ThreadOwnership& thread_ownership() {
    static const pthread_key_t key = [] {
        pthread_key_t k{};
        pthread_key_create(&k, [](void* record) { delete static_cast<ThreadOwnership*>(record); });
        return k;
    }();
    if (t_ownership == nullptr) {
        t_ownership = new ThreadOwnership;
        pthread_setspecific(key, t_ownership);
    }
    return *t_ownership;
}

// One handle of the name. Like a Windows mutex handle, closing it releases nothing: the owning
// thread keeps the mutex until it releases it or ends.
class ProcessMutexHandle final : public NamedMutex {
public:
    explicit ProcessMutexHandle(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}

    os_error lock(int timeout_ms) override {
        MutexState& s = *state_;
        const auto me = std::this_thread::get_id();
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
        std::unique_lock lk(s.m);
        if (s.owner == me) {
            ++s.count;
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
        thread_ownership().note(state_);
        return 0;
    }

    os_error unlock() override {
        std::unique_lock lk(state_->m);
        if (state_->owner != std::this_thread::get_id() || state_->count == 0) return kErrorNotOwner;
        if (--state_->count == 0) release_locked(*state_);
        return 0;
    }

private:
    std::shared_ptr<MutexState> state_;
};

class ReleasingMutex final : public NamedMutex {
public:
    explicit ReleasingMutex(std::unique_ptr<NamedMutex> raw) : raw_(std::move(raw)) {}

    // Only the owning thread can release; from any other thread the first unlock fails and
    // nothing more is tried.
    ~ReleasingMutex() override {
        while (held_ > 0 && raw_->unlock() == 0) --held_;
    }

    os_error lock(int timeout_ms) override {
        const os_error error = raw_->lock(timeout_ms);
        if (error == 0) ++held_;
        return error;
    }

    os_error unlock() override {
        const os_error error = raw_->unlock();
        if (error == 0 && held_ > 0) --held_;
        return error;
    }

private:
    std::unique_ptr<NamedMutex> raw_;
    std::atomic<std::uint32_t> held_{0};  // acquisitions through this handle not yet released
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
    out = releasing_on_close(std::make_unique<ProcessMutexHandle>(std::move(state)));
    return 0;
}

std::unique_ptr<NamedMutex> releasing_on_close(std::unique_ptr<NamedMutex> raw) {
    return std::make_unique<ReleasingMutex>(std::move(raw));
}

}  // namespace pds::detail
