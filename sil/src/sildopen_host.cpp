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

pds::NamedMutex* device_mutex(const T_SIL_DEVICE* device) {
    return reinterpret_cast<pds::NamedMutex*>(static_cast<std::uintptr_t>(device->dev_mutex));
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
        device->dev_mutex = reinterpret_cast<std::uintptr_t>(mutex.release());
    }
    return static_cast<std::int32_t>(sil_lock_host_wide(*device_mutex(device), sil_device_lock_name(device->name)));
}

std::int32_t korvReleaseDeviceLockX(T_SIL_DEVICE* device, std::uint32_t kind) {
    if (device == nullptr || device->dev_mutex == 0) return static_cast<std::int32_t>(pds::kErrorInvalidHandle);
    return static_cast<std::int32_t>(device_mutex(device)->unlock());
}

bool sil_close_device_mutex(T_SIL_DEVICE* device) {
    if (device == nullptr || device->dev_mutex == 0) return false;
    delete device_mutex(device);
    device->dev_mutex = 0;
    return true;
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
