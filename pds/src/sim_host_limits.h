// The bounds of the simulated host file that more than one of its readers (and the capture writer) must agree on.
#pragma once

#include <cstddef>

namespace pds::sim::limits {

inline constexpr std::size_t kMaxDevicePath = 260;     // MAX_PATH: device paths, interface paths, disk names
inline constexpr std::size_t kMaxEnvValue = 32767;     // the Windows limit of one variable
inline constexpr std::size_t kMaxCommandLine = 8191;   // the Windows command processor's limit
inline constexpr std::size_t kMaxValueName = 16383;    // a registry value's name
inline constexpr std::size_t kMaxValueText = 65535;    // a registry string value
inline constexpr std::size_t kMaxRegistryKeys = 4096;  // keys in the registry description

}  // namespace pds::sim::limits
