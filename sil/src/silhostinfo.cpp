// The host-information service: what the host calls itself, its version and processor, and its local time.
#include "sil/silhostinfo.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

#include "pds/platform.h"
#include "sil/siltext.h"

namespace {

// Hosts without the variable (every non-Windows host) show the name the reports have always used.
constexpr const char* kUnknown = "win32";

std::string env_or_unknown(pds::Platform& p, const char* name) {
    const std::optional<std::string> value = p.get_env(name);
    return value ? *value : kUnknown;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

const char* SIL_MachineFamily(const std::string& machine) {
    // Windows names the architecture ("AMD64", "x86", "IA64"), uname names the processor.
    static constexpr struct {
        std::string_view spelling;
        const char* family;
    } kSpellings[] = {
        {"AMD64", "x86_64"}, {"x86_64", "x86_64"}, {"x64", "x86_64"}, {"x86", "i686"},   {"i386", "i686"},
        {"i486", "i686"},    {"i586", "i686"},     {"i686", "i686"},  {"IA64", "ia64"},  {"PPC", "PPC"},
        {"powerpc", "PPC"},  {"MIPS", "MIPS"},     {"ALPHA", "ALPHA"},
    };
    for (const auto& entry : kSpellings) {
        if (equals_ignoring_case(machine, entry.spelling)) return entry.family;
    }
    return kUnknown;
}

T_SIL_HOST_INFO SIL_GetHostInfo() {
    pds::Platform& p = pds::platform();
    const pds::HostIdentity host = p.host_identity();
    T_SIL_HOST_INFO info;
    info.os_type = env_or_unknown(p, "OS");
    info.nodename = env_or_unknown(p, "COMPUTERNAME");
    info.release = sil_format("%d.%d.%d", static_cast<int>(host.os_major), static_cast<int>(host.os_minor),
                              static_cast<int>(host.os_build));
    info.version = host.service_pack;
    info.machine = SIL_MachineFamily(host.machine);
    return info;
}

T_SIL_LOCAL_TIME SIL_GetLocalTime() {
    const pds::LocalTime t = pds::platform().local_time();
    return {t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond};
}

std::string SIL_HostObjectAdvice() { return pds::platform().named_object_advice(); }

bool SIL_HostHasDriveLetters() {
    std::string roots;
    std::uint32_t required = 0;
    return pds::platform().logical_drive_strings(0, roots, required) != pds::kErrorNotSupported;
}

std::optional<std::string> SIL_HostEnvironment(const char* name) { return pds::platform().get_env(name); }
