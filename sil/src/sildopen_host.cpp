// Host-wide pieces the open relies on: the per-device named lock and the base-daemon usage setting.
#include "sildopen_host.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <pds/platform.h>

#include "sildopen.h"
#include "silinitl.h"
#include "silvendor.h"

namespace {

// What the record's dev_mutex points at. The holds are counted by kind because a discovery takes
// the lock around an open and its close: the close gives back what the open and the exchanges
// took, but not the discovery's hold, which its taker releases after the close.
struct DeviceLock {
    std::unique_ptr<pds::NamedMutex> mutex;
    std::uint32_t discovery_holds = 0;
    std::uint32_t other_holds = 0;
    std::uint32_t& holds(std::uint32_t kind) { return kind == SIL_DEVICE_LOCK_DISCOVERY ? discovery_holds : other_holds; }
};

DeviceLock* device_lock(const T_SIL_DEVICE* device) {
    return reinterpret_cast<DeviceLock*>(static_cast<std::uintptr_t>(device->dev_mutex));
}

}  // namespace

std::string sil_device_lock_name(const char* device_name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string name = "KorvDevLock_";
    for (const char* p = device_name; p != nullptr && *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            name += static_cast<char>(c);
        } else {
            name += '_';
            name += kHex[c >> 4];
            name += kHex[c & 0x0F];
        }
    }
    return name;
}

// One handle per record, opened on the first lock: every kind locks the same per-device mutex,
// which its owner may take again.
std::int32_t korvAquireDeviceLockX(T_SIL_DEVICE* device, std::uint32_t kind) {
    if (device == nullptr) return static_cast<std::int32_t>(pds::kErrorInvalidParameter);
    if (device->dev_mutex == 0) {
        std::unique_ptr<pds::NamedMutex> mutex;
        const pds::os_error error = pds::platform().open_named_mutex(sil_device_lock_name(device->name), mutex);
        if (error != 0) return static_cast<std::int32_t>(error);
        if (mutex == nullptr) return static_cast<std::int32_t>(pds::kErrorInvalidHandle);
        auto* lock = new (std::nothrow) DeviceLock;
        if (lock == nullptr) return static_cast<std::int32_t>(pds::kErrorNotEnoughMemory);
        lock->mutex = std::move(mutex);
        device->dev_mutex = reinterpret_cast<std::uintptr_t>(lock);
    }
    DeviceLock& lock = *device_lock(device);
    const auto error = sil_lock_host_wide(*lock.mutex, sil_device_lock_name(device->name));
    if (error == 0) ++lock.holds(kind);
    return static_cast<std::int32_t>(error);
}

std::int32_t korvReleaseDeviceLockX(T_SIL_DEVICE* device, std::uint32_t kind) {
    if (device == nullptr || device->dev_mutex == 0) return static_cast<std::int32_t>(pds::kErrorInvalidHandle);
    DeviceLock& lock = *device_lock(device);
    const auto error = lock.mutex->unlock();
    if (error != 0) return static_cast<std::int32_t>(error);
    if (lock.holds(kind) > 0) --lock.holds(kind);
    // A discovery that opened the handle on a closed device leaves the record as it found it.
    if (kind == SIL_DEVICE_LOCK_DISCOVERY && lock.discovery_holds == 0 && lock.other_holds == 0 && device->isOpen == 0) {
        sil_close_device_mutex(device);
    }
    return 0;
}

bool sil_close_device_mutex(T_SIL_DEVICE* device) {
    if (device == nullptr || device->dev_mutex == 0) return false;
    delete device_lock(device);  // the handle gives back whatever it still holds
    device->dev_mutex = 0;
    return true;
}

bool sil_close_device_mutex_at_close(T_SIL_DEVICE* device) {
    if (device == nullptr || device->dev_mutex == 0) return false;
    DeviceLock& lock = *device_lock(device);
    if (lock.discovery_holds == 0) return sil_close_device_mutex(device);
    while (lock.other_holds > 0 && lock.mutex->unlock() == 0) --lock.other_holds;
    return false;
}

const T_SIL_DAEMON_SETTING& sil_base_daemon_setting() {
    static std::once_flag once;
    static T_SIL_DAEMON_SETTING setting{};
    std::call_once(once, [] { setting = T_SIL_DAEMON_SETTING{}; });
    return setting;
}

bool sil_base_daemon_used(const T_SIL_DAEMON_SETTING& setting, bool for_open) {
    const std::uint32_t mode = setting[0];
    const std::uint32_t flags = setting[1];
    if (mode == 1 && (flags & 0x2) != 0) return !for_open || setting[3] == 1;
    return mode == 2 && (flags & 0x4) != 0;
}

std::int32_t sil_base_daemon_connect(T_SIL_DEVICE* device) { return SIL_ERR_DAEMON_CONNECT; }

std::int32_t sil_base_daemon_close(T_SIL_DEVICE* device, bool and_free) {
    if (device != nullptr) {
        delete device->daemon_conn;
        device->daemon_conn = nullptr;
    }
    return SIL_ERR_DAEMON_CONNECT;
}
