// The simulated host's SNIA HBA API libraries: their host-file description and the modules load_module hands out for them.
#pragma once

#include "pds/platform.h"
#include "sim_hba_core.h"

#include <memory>
#include <string>
#include <vector>

namespace pds::sim {

// One library of "hba_libraries": the path load_module is asked for (compared without regard to
// case), the path the loader reports, and what the library serves. The path "HBAAPI.DLL" is a
// common library exporting the entry points by name; any other path is a vendor library exporting
// its registration functions.
struct SimHbaLibrary {
    std::string path;
    std::string resolved_path;
    hba::Library library;
};

// As many as the plain C entry points the simulated host has sets of.
inline constexpr std::size_t kMaxSimHbaLibraries = 16;

namespace check {
// The host file's "hba_libraries" object (path -> library).
std::vector<SimHbaLibrary> read_hba_libraries(const nlohmann::json& value, const std::string& path);
}  // namespace check

// Loads the host file's libraries as modules. Each library keeps one state (open handles, stale
// data refreshed) for the provider's life, however often it is loaded.
class SimHbaHost {
public:
    explicit SimHbaHost(const std::vector<SimHbaLibrary>& libraries);

    os_error load_module(const std::string& path, std::unique_ptr<Module>& out, std::string& resolved_path,
                         std::string& message) const;

private:
    struct Loaded {
        std::string path;
        std::string resolved_path;
        bool common = false;
        std::shared_ptr<hba::LibraryState> state;
    };
    std::vector<Loaded> libraries_;
};

}  // namespace pds::sim
