// The multipathing driver's user library on Windows: loaded at run time from the application's or the system's directory.
#include "multipath_win32.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

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

// What a failed load says about the library. Not found is a host without the driver, nothing to
// report. A 32-bit build of the library (or any file that is not a 64-bit module) answers
// ERROR_BAD_EXE_FORMAT, which would otherwise pass for "not installed" with the driver right there.
std::string load_fault(const std::string& file, DWORD error) {
    switch (error) {
    case ERROR_MOD_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return {};
    case ERROR_BAD_EXE_FORMAT:
        return file + " is not a 64-bit library (error 193): a 32-bit build of it cannot be loaded into lunscan";
    default: return file + " could not be loaded (error " + std::to_string(error) + ")";
    }
}

class Win32MultipathDriver final : public MultipathClient {
public:
    explicit Win32MultipathDriver(std::string file) : file_(std::move(file)) {}
    ~Win32MultipathDriver() override {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    Win32MultipathDriver(const Win32MultipathDriver&) = delete;
    Win32MultipathDriver& operator=(const Win32MultipathDriver&) = delete;

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

    std::string library_fault() override {
        load();
        return fault_;
    }

private:
    // Never from the current directory: a library planted there would run with the caller's
    // rights. Only the application's directory and System32 are searched.
    void load() {
        std::call_once(once_, [this] {
            module_ = LoadLibraryExA(file_.c_str(), nullptr,
                                     LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
            if (module_ == nullptr) fault_ = load_fault(file_, GetLastError());
        });
    }

    template <typename Fn>
    Fn entry(const char* name, bool& loaded) {
        load();
        loaded = module_ != nullptr;
        if (!loaded) return nullptr;
        FARPROC proc = GetProcAddress(module_, name);
        return proc != nullptr ? reinterpret_cast<Fn>(reinterpret_cast<void*>(proc)) : nullptr;
    }

    const std::string file_;
    std::once_flag once_;
    HMODULE module_ = nullptr;
    std::string fault_;  // written once, under once_
};

}  // namespace

MultipathClient& win32_multipath_driver() {
    static MultipathClient* const driver = make_win32_multipath_driver(kLibraryFile).release();
    return *driver;
}

std::unique_ptr<MultipathClient> make_win32_multipath_driver(const std::string& library_file) {
    return std::make_unique<Win32MultipathDriver>(library_file);
}

}  // namespace pds
