// Inside the SNIA HBA API adapter: building a context, the checked calls into a library, and the test hooks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "silsnia.h"

// Fills `context` (zeroed by the caller) the way the process context is built: the common
// library when `use_common` is non-zero, else (or when it fails) the vendor libraries of the
// registry; then the adapter table. Every OS call goes through pds::platform().
void sil_snia_build_context(T_SIL_SNIA_CONTEXT& context, bool use_common);

// Whether the common library is to be tried: the self-test's choice, else the environment.
bool sil_snia_use_common_library();

// The context the operations work on: the process context, or the one a test put in its place.
const T_SIL_SNIA_CONTEXT* sil_snia_context();

// Tests only: makes the operations use `context` (nullptr: back to the process context).
void sil_snia_use_context_for_tests(const T_SIL_SNIA_CONTEXT* context);
// Tests only: unloads the modules of a context built by sil_snia_build_context and frees it. The
// process context is never released.
void sil_snia_release_context_for_tests(T_SIL_SNIA_CONTEXT* context);

// The status a call into `library` cannot even be made with: 31 when the library was not
// initialised, 2 when it lacks the entry point; 0 when the call can go ahead.
template <typename Entry>
HBA_STATUS sil_snia_unavailable(const T_SIL_SNIA_LIBRARY& library, Entry entry) {
    if (library.state != SIL_SNIA_LIB_INITIALIZED) return HBA_STATUS_ERROR_NOT_LOADED;
    if (entry == nullptr) return HBA_STATUS_ERROR_NOT_SUPPORTED;
    return HBA_STATUS_OK;
}

// Copies a text field of at most `source_size` bytes (not necessarily terminated) into
// `target`, cut to `target_size` - 1 characters and terminated.
void sil_snia_copy_text(char* target, std::size_t target_size, const char* source, std::size_t source_size);

// Lower-case hexadecimal of `length` bytes, two digits each, no separators.
std::string sil_snia_hex(const void* bytes, std::size_t length);
inline std::string sil_snia_wwn(const HBA_WWN& wwn) { return sil_snia_hex(wwn.wwn, sizeof wwn.wwn); }

// The library and its own handle behind a handle given to a caller.
struct SilSniaAdapter {
    const T_SIL_SNIA_LIBRARY& library;
    HBA_HANDLE handle;
};
std::optional<SilSniaAdapter> sil_snia_adapter_of(const T_SIL_SNIA_CONTEXT& context, SIL_SNIA_HANDLE handle);

// HBA_GetAdapterPortAttributes, refreshed once when the library says its data is stale, with the
// port type, state and speeds normalised. 0 or -1307 (traced).
std::int32_t sil_snia_port_attributes(const SilSniaAdapter& adapter, std::uint32_t port, HBA_PORTATTRIBUTES& attributes);
// HBA_GetAdapterAttributes. 0 or an HBA status.
HBA_STATUS sil_snia_adapter_attributes(const SilSniaAdapter& adapter, HBA_ADAPTERATTRIBUTES& attributes);
