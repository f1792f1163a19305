// The multipathing driver's user library on Windows: loaded at run time from the application's or the system's directory.
#include "multipath_win32.h"

#include <windows.h>

#include <cstdint>
#include <mutex>

namespace pds {
namespace {

// The driver kit installs its library beside the system's; its pass-through entry takes the device
// handle, a flags value and the 96-byte pass-through block, its volume listing fills names of
// kMpVolumeNameBytes bytes each; both answer 0 on success.
constexpr const char* kLibraryFile = "StrandwayMP.dll";
constexpr const char* kPassThroughEntry = "mpScsiPassThroughDirect";
constexpr const char* kListVolumesEntry = "mpListVolumes";

using PassThroughFn = std::uint32_t(WINAPI*)(HANDLE, std::uint32_t, void*);
using ListVolumesFn = std::uint32_t(WINAPI*)(std::uint32_t*, char*);

class Win32MultipathDriver final : public MultipathClient {
public:
    std::uint32_t mp_scsi_pass_through(DeviceHandle handle, std::uint32_t value, void* block) override {
        bool loaded = false;
        const auto fn = entry<PassThroughFn>(kPassThroughEntry, loaded);
        if (fn == nullptr) return loaded ? kMpNotSupported : kMpNotEnabled;
        return fn(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle)), value, block);
    }

    std::uint32_t mp_list_volumes(std::uint32_t& count, char* names) override {
        bool loaded = false;
        const auto fn = entry<ListVolumesFn>(kListVolumesEntry, loaded);
        if (fn == nullptr) {
            count = 0;
            return loaded ? kMpNotSupported : kMpNotEnabled;
        }
        return fn(&count, names);
    }

private:
    // Never from the current directory: a library planted there would run with the caller's
    // rights. Only the application's directory and System32 are searched.
    template <typename Fn>
    Fn entry(const char* name, bool& loaded) {
        std::call_once(once_, [this] {
            module_ = LoadLibraryExA(kLibraryFile, nullptr,
                                     LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
        });
        loaded = module_ != nullptr;
        if (!loaded) return nullptr;
        FARPROC proc = GetProcAddress(module_, name);
        return proc != nullptr ? reinterpret_cast<Fn>(reinterpret_cast<void*>(proc)) : nullptr;
    }

    std::once_flag once_;
    HMODULE module_ = nullptr;
};

}  // namespace

MultipathClient& win32_multipath_driver() {
    static MultipathClient* const driver = new Win32MultipathDriver;
    return *driver;
}

}  // namespace pds
