// Library start and stop: the version, the shared status codes, the context record, SIL_init and SIL_exit.
#pragma once

#include <cstdint>
#include <cstdio>

#include "sil/sil_version.h"

// The library version this build implements (and the front end is built against): one byte each
// for major, minor and patch, then 0xFF (4.1.20 is 0x040114FF).
inline constexpr std::uint32_t SIL_LIBRARY_VERSION = (std::uint32_t{LUNSCAN_VERSION_MAJOR} << 24) |
                                                      (std::uint32_t{LUNSCAN_VERSION_MINOR} << 16) |
                                                      (std::uint32_t{LUNSCAN_VERSION_PATCH} << 8) | 0xFFu;

// Shared status codes.
inline constexpr std::int32_t SIL_OK = 0;
inline constexpr std::int32_t SIL_ERR_FAILED = -1;
inline constexpr std::int32_t SIL_ERR_SCSI = -5;
inline constexpr std::int32_t SIL_ERR_LUN_NOT_SUPPORTED = -7;
inline constexpr std::int32_t SIL_ERR_READ_CAPACITY = -8;
inline constexpr std::int32_t SIL_ERR_NO_MEMORY = -101;
inline constexpr std::int32_t SIL_ERR_NOT_INITIALISED = -102;
inline constexpr std::int32_t SIL_ERR_WRONG_DEVICE_KIND = -104;
inline constexpr std::int32_t SIL_ERR_NO_DEVICE = -105;
inline constexpr std::int32_t SIL_ERR_SP_SESSION_IN_USE = -116;
inline constexpr std::int32_t SIL_ERR_VIRTUAL_MAPPING = -181;

// The one per-process state record of the library, created by SIL_init.
struct T_SIL_CONTEXT {
    std::FILE* out_stream;          // library output stream: reports and trace
    std::uint32_t verbosity;        // the trace verbosity word
    std::uint32_t ipc_initialised;  // the chain-code counter is set up
    std::uint64_t os_handle;        // closed by SIL_exit when valid
    std::uint32_t trigger_mask;     // verbosity bits switched on while the trigger function runs
    char trigger_function[129];     // name of the trigger function
    std::uint8_t big_buffer_enabled;  // KORAPI_ENABLE_65K_BUFFER_SIZE
};

// The library's identification strings. The first is read by the front end's banner.
extern const char* const SIL_IDENT_STRING;     // "@(#) $sil_lib rev <ver>-<edit> (Rev <rev>) <notice> $"
extern const char* const SIL_PLATFORM_STRING;  // "@(#) $sil_lib <platform> <version>"
extern const char* const SIL_DATE_STRING;      // "@(#) $sil_lib built <date>"

std::int32_t SIL_init(std::uint32_t reserved1, std::uint32_t reserved2, std::uint32_t caller_version,
                      const char* caller_ident, const char* caller_platform, const char* caller_date);
std::int32_t SIL_exit();
// Whether the context record exists.
bool SIL_is_initialised();
// The context record, or nullptr before SIL_init.
T_SIL_CONTEXT* sil_context();
// The library output stream: the context's out_stream, standard output before SIL_init.
std::FILE* sil_out();
