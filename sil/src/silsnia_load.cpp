// The SNIA context: loading the common or the vendor HBA API libraries, their entry points, and the global adapter table.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include <pds/platform.h>

#include "sildebug.h"
#include "silsnia_int.h"

namespace {

constexpr const char* kCommonLibrary = "HBAAPI.DLL";
constexpr const char* kRegistryKey = "SOFTWARE\\SNIA\\HBA";
constexpr std::uint32_t kRegistrySubkeys = 16;
// The lookup status traced for a symbol the module does not export (GetProcAddress's
// ERROR_PROC_NOT_FOUND; dlsym gives no number of its own).
constexpr int kSymbolNotFound = 127;

std::atomic<std::int32_t> use_common_choice{-1};
const T_SIL_SNIA_CONTEXT* test_context = nullptr;

// An integer written in decimal, the whole text of it.
std::optional<long long> parse_integer(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0') return std::nullopt;
    return value;
}

void set_text(char* target, std::size_t target_size, const std::string& source) {
    sil_snia_copy_text(target, target_size, source.c_str(), source.size());
}

template <typename Entry>
Entry symbol_of(pds::Module& module, const char* name) {
    return reinterpret_cast<Entry>(module.symbol(name));
}

// Looks up one entry point of the common library by name; false when it is not exported.
template <typename Entry>
bool look_up(pds::Module& module, const char* name, Entry& entry) {
    entry = symbol_of<Entry>(module, name);
    if (entry == nullptr) {
        SIL_TRACE(SIL_TRACE_ERROR, "Unable to find symbol %s. pdsDlsupLookup returned status %d.", name,
                  kSymbolNotFound);
        return false;
    }
    SIL_TRACE(SIL_TRACE_INFO, "Found symbol: %s.", name);
    return true;
}

// The common library's entry points, looked up by name. False fails the slot.
bool look_up_common_entry_points(T_SIL_SNIA_LIBRARY& library) {
    pds::Module& module = *library.handle;
    T_SIL_SNIA_ENTRY_POINTS& entry = library.entry;
    if (!look_up(module, "HBA_GetVersion", entry.HBA_GetVersion)) return false;
    const HBA_UINT32 version = entry.HBA_GetVersion();
    if (version == 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "Library version too low.");
        return false;
    }
    bool found = true;
    found &= look_up(module, "HBA_LoadLibrary", entry.HBA_LoadLibrary);
    found &= look_up(module, "HBA_GetNumberOfAdapters", entry.HBA_GetNumberOfAdapters);
    found &= look_up(module, "HBA_GetAdapterName", entry.HBA_GetAdapterName);
    found &= look_up(module, "HBA_OpenAdapter", entry.HBA_OpenAdapter);
    found &= look_up(module, "HBA_CloseAdapter", entry.HBA_CloseAdapter);
    found &= look_up(module, "HBA_GetAdapterAttributes", entry.HBA_GetAdapterAttributes);
    found &= look_up(module, "HBA_GetAdapterPortAttributes", entry.HBA_GetAdapterPortAttributes);
    found &= look_up(module, "HBA_RefreshInformation", entry.HBA_RefreshInformation);
    found &= look_up(module, "HBA_GetFcpTargetMapping", entry.HBA_GetFcpTargetMapping);
    // Optional: the first FC-HBA libraries have no version-2 mapping.
    look_up(module, "HBA_GetFcpTargetMappingV2", entry.HBA_GetFcpTargetMappingV2);
    if (!found) return false;
    if (version >= 2) {
        look_up(module, "HBA_GetFcpTargetMappingV2", entry.HBA_GetFcpTargetMappingV2);
    } else {
        SIL_TRACE(SIL_TRACE_INFO, "Skipping lookup of FC-HBA phase 2 function entry points - library version too low.");
    }
    entry.SMHBA_GetVersion = symbol_of<SMHBAGetVersionFunc>(module, "SMHBA_GetVersion");
    if (entry.SMHBA_GetVersion != nullptr && entry.SMHBA_GetVersion() != 0) {
        look_up(module, "SMHBA_GetTargetMapping", entry.SMHBA_GetTargetMapping);
    } else {
        SIL_TRACE(SIL_TRACE_INFO, "Skipping lookup of SM-HBA function entry points - library version too low.");
    }
    return true;
}

// Loads the slot's module: state 1 on success, 3 on failure. False when it was not loaded.
bool load_module(T_SIL_SNIA_LIBRARY& library) {
    if (library.path[0] == '\0') {
        SIL_TRACE(SIL_TRACE_ERROR, "Unable to dynamically load library - no path.");
        return false;
    }
    if (library.state == SIL_SNIA_LIB_LOADED || library.state == SIL_SNIA_LIB_INITIALIZED) return false;
    std::unique_ptr<pds::Module> module;
    std::string resolved, message;
    const pds::os_error error = pds::platform().load_module(library.path, module, resolved, message);
    if (error != 0 || module == nullptr) {
        library.state = SIL_SNIA_LIB_FAILED;
        SIL_TRACE(SIL_TRACE_ERROR, "Unable to dynamically load library %s", message.empty() ? library.path : message.c_str());
        return false;
    }
    // Never unloaded: the libraries' adapters are used until the process ends.
    library.handle = module.release();
    if (!resolved.empty() && resolved.size() < sizeof library.path) set_text(library.path, sizeof library.path, resolved);
    library.state = SIL_SNIA_LIB_LOADED;
    SIL_TRACE(SIL_TRACE_INFO, "Successfully dynamically loaded library %s", library.path);
    return true;
}

template <typename Entry>
void take(Entry from_table, Entry& entry, const char* name) {
    entry = from_table;
    if (entry == nullptr) SIL_TRACE(SIL_TRACE_ERROR, "Unable to find symbol: %s.", name);
}

// A vendor library hands its entry points over in tables. A missing entry point is left absent:
// calls to it answer "not supported".
void register_vendor_library(T_SIL_SNIA_LIBRARY& library) {
    pds::Module& module = *library.handle;
    T_SIL_SNIA_ENTRY_POINTS& entry = library.entry;
    HBA_ENTRYPOINTSV2 table{};
    if (auto register_v2 = symbol_of<HBARegisterLibraryV2Func>(module, "HBA_RegisterLibraryV2")) {
        if (const HBA_STATUS status = register_v2(&table); status != HBA_STATUS_OK) {
            SIL_TRACE(SIL_TRACE_ERROR, "HBA_RegisterLibraryV2 failed with status %u.", status);
            library.state = SIL_SNIA_LIB_FAILED;
            return;
        }
        take(table.GetFcpTargetMappingV2Handler, entry.HBA_GetFcpTargetMappingV2, "HBA_GetFcpTargetMappingV2");
    } else if (auto register_v1 = symbol_of<HBARegisterLibraryFunc>(module, "HBA_RegisterLibrary")) {
        // The version-1 table is the head of the version-2 one.
        HBA_ENTRYPOINTS v1{};
        if (const HBA_STATUS status = register_v1(&v1); status != HBA_STATUS_OK) {
            SIL_TRACE(SIL_TRACE_ERROR, "HBA_RegisterLibrary failed with status %u.", status);
            library.state = SIL_SNIA_LIB_FAILED;
            return;
        }
        std::memcpy(&table, &v1, sizeof v1);
    } else {
        SIL_TRACE(SIL_TRACE_ERROR, "Unable to find symbol: %s.", "HBA_RegisterLibrary");
        library.state = SIL_SNIA_LIB_FAILED;
        return;
    }
    take(table.GetVersionHandler, entry.HBA_GetVersion, "HBA_GetVersion");
    take(table.LoadLibraryHandler, entry.HBA_LoadLibrary, "HBA_LoadLibrary");
    take(table.GetNumberOfAdaptersHandler, entry.HBA_GetNumberOfAdapters, "HBA_GetNumberOfAdapters");
    take(table.GetAdapterNameHandler, entry.HBA_GetAdapterName, "HBA_GetAdapterName");
    take(table.OpenAdapterHandler, entry.HBA_OpenAdapter, "HBA_OpenAdapter");
    take(table.CloseAdapterHandler, entry.HBA_CloseAdapter, "HBA_CloseAdapter");
    take(table.GetAdapterAttributesHandler, entry.HBA_GetAdapterAttributes, "HBA_GetAdapterAttributes");
    take(table.GetAdapterPortAttributesHandler, entry.HBA_GetAdapterPortAttributes, "HBA_GetAdapterPortAttributes");
    take(table.RefreshInformationHandler, entry.HBA_RefreshInformation, "HBA_RefreshInformation");
    take(table.GetFcpTargetMappingHandler, entry.HBA_GetFcpTargetMapping, "HBA_GetFcpTargetMapping");

    auto register_smhba = symbol_of<SMHBARegisterLibraryFunc>(module, "SMHBA_RegisterLibrary");
    if (register_smhba == nullptr) {
        SIL_TRACE(SIL_TRACE_INFO, "Skipping lookup of SM-HBA function entry points.");
        return;
    }
    SMHBA_ENTRYPOINTS smhba{};
    if (const HBA_STATUS status = register_smhba(&smhba); status != HBA_STATUS_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "SMHBA_RegisterLibrary failed with status %u.", status);
        return;
    }
    take(smhba.GetVersionHandler, entry.SMHBA_GetVersion, "SMHBA_GetVersion");
    take(smhba.GetTargetMappingHandler, entry.SMHBA_GetTargetMapping, "SMHBA_GetTargetMapping");
}

// HBA_LoadLibrary of a loaded slot. True when the slot is initialised.
bool initialize_library(T_SIL_SNIA_LIBRARY& library, const char* failure_format) {
    HBA_STATUS status = HBA_STATUS_ERROR_NOT_LOADED;
    if (library.state == SIL_SNIA_LIB_LOADED)
        status = library.entry.HBA_LoadLibrary != nullptr ? library.entry.HBA_LoadLibrary() : HBA_STATUS_ERROR_NOT_SUPPORTED;
    if (status != HBA_STATUS_OK) {
        library.state = SIL_SNIA_LIB_FAILED;
        SIL_TRACE(SIL_TRACE_ERROR, failure_format, status);
        return false;
    }
    library.state = SIL_SNIA_LIB_INITIALIZED;
    return true;
}

bool load_common_library(T_SIL_SNIA_CONTEXT& context) {
    T_SIL_SNIA_LIBRARY& library = context.libraries[0];
    set_text(library.vendor_id, sizeof library.vendor_id, kCommonLibrary);
    set_text(library.path, sizeof library.path, kCommonLibrary);
    SIL_TRACE(SIL_TRACE_INFO, "Loading HBA API library %s at path %s.", library.vendor_id, library.path);
    if (!load_module(library)) return false;
    if (!look_up_common_entry_points(library)) {
        library.state = SIL_SNIA_LIB_FAILED;
        return false;
    }
    return initialize_library(library,
                              "Failed to initialize the HBA API library. HBA_LoadLibrary returned status %u.");
}

// One subkey of the registry key: the library it names, when it names one.
std::optional<std::string> library_file_of(const std::string& subkey) {
    std::unique_ptr<pds::RegistryKey> key;
    if (const pds::os_error error = pds::platform().registry_open_local_machine(std::string(kRegistryKey) + "\\" + subkey, key);
        error != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "Unable to determine library path. RegOpenKeyEx returned status %d.", static_cast<int>(error));
        return std::nullopt;
    }
    std::string value;
    pds::os_error error = key->query_string("LibraryFile", value);
    // A path longer than the slot holds would load some other file once cut: refused as the
    // registry refuses a value larger than the buffer.
    if (error == 0 && value.size() >= sizeof(T_SIL_SNIA_LIBRARY::path)) error = pds::kErrorMoreData;
    if (error != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "Unable to determine library path. RegQueryValueEx returned status %d.", static_cast<int>(error));
        return std::nullopt;
    }
    return value;
}

// Fills slots 1-15 from the registry, or with the default libraries when there is no key. False
// when the key could be opened but not read.
bool read_library_paths(T_SIL_SNIA_CONTEXT& context) {
    std::unique_ptr<pds::RegistryKey> key;
    if (pds::platform().registry_open_local_machine(kRegistryKey, key) != 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "Failed to open registry. Using default HBA specific library paths.");
        const char* const defaults[] = {"emulexhbaapi.dll", "qlsdm.dll"};
        for (int i = 0; i < 2; ++i) {
            set_text(context.libraries[i + 1].vendor_id, sizeof context.libraries[i + 1].vendor_id, defaults[i]);
            set_text(context.libraries[i + 1].path, sizeof context.libraries[i + 1].path, defaults[i]);
        }
        return true;
    }
    SIL_TRACE(SIL_TRACE_INFO, "Reading in HBA specific library paths from the registry:");
    int slot = 1;
    for (std::uint32_t index = 0; index < kRegistrySubkeys; ++index) {
        std::string subkey;
        const pds::os_error error = key->enum_subkey(index, subkey);
        if (error == pds::kErrorNoMoreItems) break;
        if (error != 0) return false;
        const std::optional<std::string> file = library_file_of(subkey);
        if (!file.has_value() || file->empty()) continue;
        T_SIL_SNIA_LIBRARY& library = context.libraries[slot];
        set_text(library.vendor_id, sizeof library.vendor_id, subkey);
        set_text(library.path, sizeof library.path, *file);
        SIL_TRACE(SIL_TRACE_INFO, "Parsed library entry - vendorid: %s path: %s.", library.vendor_id, library.path);
        if (++slot == SIL_SNIA_MAX_LIBRARIES) {
            SIL_TRACE(SIL_TRACE_INFO, "Maximum number of libraries reached. Not parsing any more entries.");
            break;
        }
    }
    return true;
}

void load_vendor_libraries(T_SIL_SNIA_CONTEXT& context) {
    SIL_TRACE(SIL_TRACE_INFO, "Loading HBA specific libraries:");
    if (!read_library_paths(context)) SIL_TRACE(SIL_TRACE_ERROR, "Failed to get paths for the HBA specific libraries.");
    for (int slot = 1; slot < SIL_SNIA_MAX_LIBRARIES; ++slot) {
        T_SIL_SNIA_LIBRARY& library = context.libraries[slot];
        if (library.path[0] == '\0') continue;
        library.state = SIL_SNIA_LIB_FAILED;
        SIL_TRACE(SIL_TRACE_INFO, "Loading HBA specific library %s at path %s.", library.vendor_id, library.path);
        if (!load_module(library)) continue;
        register_vendor_library(library);
        if (library.state != SIL_SNIA_LIB_LOADED) continue;
        if (initialize_library(library,
                               "Failed to initialize the HBA specific library. HBA_LoadLibrary returned status %u."))
            SIL_TRACE(SIL_TRACE_INFO, "Successfully initialized the HBA specific library with HBA_LoadLibrary.");
    }
}

// Gives every adapter of every initialised library its global index, in slot order.
void build_adapter_table(T_SIL_SNIA_CONTEXT& context) {
    for (std::uint32_t slot = 0; slot < SIL_SNIA_MAX_LIBRARIES; ++slot) {
        if (context.total_adapters >= SIL_SNIA_MAX_ADAPTERS) break;
        T_SIL_SNIA_LIBRARY& library = context.libraries[slot];
        if (library.state != SIL_SNIA_LIB_INITIALIZED) continue;
        library.first_index = context.total_adapters;
        HBA_UINT32 count = 0;
        HBA_STATUS status = sil_snia_unavailable(library, library.entry.HBA_GetNumberOfAdapters);
        if (status == HBA_STATUS_OK) count = library.entry.HBA_GetNumberOfAdapters();
        if (status != HBA_STATUS_OK) {
            SIL_TRACE(SIL_TRACE_ERROR,
                      "Unable to get number of supported HBAs for library %s. HBA_GetNumberOfAdapters returned status %u.",
                      library.vendor_id, status);
            continue;
        }
        SIL_TRACE(SIL_TRACE_INFO, "Library %s supports %u HBAs:", library.vendor_id, count);
        if (count > SIL_SNIA_MAX_ADAPTERS - context.total_adapters) {
            count = SIL_SNIA_MAX_ADAPTERS - context.total_adapters;
            SIL_TRACE(SIL_TRACE_INFO, "Maximum supported number of HBAs reached. Only %u HBAs from this library will be supported.",
                      count);
        }
        for (HBA_UINT32 i = 0; i < count; ++i) {
            T_SIL_SNIA_ADAPTER& adapter = context.adapters[context.total_adapters];
            adapter.slot = slot;
            // The published buffer size for an adapter name is 256 bytes.
            char name[260] = {};
            status = sil_snia_unavailable(library, library.entry.HBA_GetAdapterName);
            if (status == HBA_STATUS_OK) status = library.entry.HBA_GetAdapterName(i, name);
            if (status != HBA_STATUS_OK) {
                SIL_TRACE(SIL_TRACE_ERROR, "Unable to get the name of HBA %u (library index %u). HBA_GetAdapterName returned status %u.",
                          context.total_adapters, i, status);
                std::strcpy(name, "Unknown");
            }
            sil_snia_copy_text(adapter.full_name, sizeof adapter.full_name, name, sizeof name);
            sil_snia_copy_text(adapter.name, sizeof adapter.name, name, sizeof name);
            SIL_TRACE(SIL_TRACE_INFO, "Cached HBA name %s.", adapter.name);
            ++context.total_adapters;
        }
    }
}

}  // namespace

void sil_snia_copy_text(char* target, std::size_t target_size, const char* source, std::size_t source_size) {
    if (target_size == 0) return;
    std::size_t length = 0;
    while (length < source_size && length + 1 < target_size && source[length] != '\0') ++length;
    std::memcpy(target, source, length);
    target[length] = '\0';
}

std::string sil_snia_hex(const void* bytes, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    std::string text;
    text.reserve(2 * length);
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

bool sil_snia_use_common_library() {
    bool use = true;
    if (const std::optional<std::string> text = pds::platform().get_env("SIL_SNIA_USE_HBA_API_LIBRARY")) {
        if (const std::optional<long long> value = parse_integer(*text)) {
            use = *value != 0;
            SIL_TRACE(SIL_TRACE_INFO, "SIL_SNIA_USE_HBA_API_LIBRARY set to %d.", static_cast<int>(*value));
        }
    }
    const std::int32_t choice = use_common_choice.load();
    return choice < 0 ? use : choice != 0;
}

void sil_snia_build_context(T_SIL_SNIA_CONTEXT& context, bool use_common) {
    if (use_common) {
        if (load_common_library(context)) {
            context.common_library_in_use = 1;
            SIL_TRACE(SIL_TRACE_INFO, "Successfully initialized the HBA API library with HBA_LoadLibrary.");
            SIL_TRACE(SIL_TRACE_INFO, "Successfully loaded the HBA API library. Caching HBA names and indices:");
            build_adapter_table(context);
            SIL_TRACE(SIL_TRACE_INFO, "Total number of HBAs supported: %u.", context.total_adapters);
            SIL_TRACE(SIL_TRACE_INFO, "Finished initializing SNIA context and HBA libraries.");
            return;
        }
        context.libraries[0].state = SIL_SNIA_LIB_FAILED;
    }
    load_vendor_libraries(context);
    build_adapter_table(context);
    SIL_TRACE(SIL_TRACE_INFO, "Total number of HBAs supported: %u.", context.total_adapters);
    SIL_TRACE(SIL_TRACE_INFO, "Finished initializing SNIA context and HBA libraries.");
}

const T_SIL_SNIA_CONTEXT* SIL_SNIA_GetContext() {
    // Built once and never freed: the libraries it loaded stay in use until the process ends.
    static T_SIL_SNIA_CONTEXT* context = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        SIL_TRACE(SIL_TRACE_INFO, "Initializing SNIA context and HBA libraries:");
        auto* built = new (std::nothrow) T_SIL_SNIA_CONTEXT{};
        if (built == nullptr) {
            SIL_TRACE(SIL_TRACE_ERROR, "Unable to allocate memory for SNIA context.");
            SIL_TRACE(SIL_TRACE_ERROR, "Failed to initialize SNIA context and HBA libraries.");
            return;
        }
        sil_snia_build_context(*built, sil_snia_use_common_library());
        context = built;
    });
    return context;
}

void SIL_SNIA_SetUseHbaApiLibrary(std::int32_t use) { use_common_choice.store(use < 0 ? -1 : (use != 0 ? 1 : 0)); }

const T_SIL_SNIA_CONTEXT* sil_snia_context() { return test_context != nullptr ? test_context : SIL_SNIA_GetContext(); }

void sil_snia_use_context_for_tests(const T_SIL_SNIA_CONTEXT* context) { test_context = context; }

void sil_snia_release_context_for_tests(T_SIL_SNIA_CONTEXT* context) {
    if (context == nullptr) return;
    for (T_SIL_SNIA_LIBRARY& library : context->libraries) delete library.handle;
    delete context;
}
