// Host information for reports: the names the host goes by, its version and processor, the local time, and what the host lacks.
#pragma once

#include <optional>
#include <string>

// What a report may say about the host it ran on. Texts come as the host gives them, uncut.
struct T_SIL_HOST_INFO {
    std::string os_type;   // the OS environment variable, else "win32"
    std::string nodename;  // the COMPUTERNAME environment variable, else "win32"
    std::string release;   // "<major>.<minor>.<build>" of the operating system
    std::string version;   // the service-pack text (empty without one)
    std::string machine;   // "x86_64", "i686", "ia64", "PPC", "MIPS", "ALPHA", else "win32"
};

// The local wall-clock time, to the millisecond.
struct T_SIL_LOCAL_TIME {
    int year;
    int month;  // 1 to 12
    int day;
    int hour;
    int minute;
    int second;
    int millisecond;
};

T_SIL_HOST_INFO SIL_GetHostInfo();
T_SIL_LOCAL_TIME SIL_GetLocalTime();
// The processor-architecture family name for a name the host reports ("AMD64" and "x86_64" give
// "x86_64", "x86" gives "i686", ...); "win32" for one it does not know.
const char* SIL_MachineFamily(const std::string& machine);

// Why the library's host-wide objects could not be made, as one line for the user (what to mount
// or fix); empty when the host gives no reason. For after SIL_init failed to make them.
std::string SIL_HostObjectAdvice();
// Whether the host names its volumes by drive letters (Windows, and the simulated host).
bool SIL_HostHasDriveLetters();
// The value of the environment variable `name` as the host gives it; empty when it is unset.
std::optional<std::string> SIL_HostEnvironment(const char* name);
