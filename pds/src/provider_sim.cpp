// The simulated host provider (being written).
#include "pds/platform.h"

namespace pds {
std::unique_ptr<Platform> make_sim_platform(const std::string& host_file, std::string& error) {
    error = "simulated host file \"" + host_file + "\": not supported yet";
    return nullptr;
}
}  // namespace pds
