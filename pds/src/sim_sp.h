// The simulated host's storage software beside the disks: service-processor instances and the multipathing volume list.
#pragma once

#include "pds/platform.h"
#include "pds/product_clients.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pds::sim {

// A service-processor call the host file makes fail.
enum class SpFailure { none, create_client, revision_info, site_info, resource_lock, remove_client };

// One service-processor instance of the high-end array.
struct SimServiceProcessor {
    std::string session;       // 1 to 4 characters: what follows the ':' of the device name
    std::string revision;      // microcode revision as hexadecimal text, e.g. "5874"
    std::string product;       // product text, e.g. "KORVALITH 7.0"
    std::string array_serial;  // 12 decimal digits
    SpFailure fails = SpFailure::none;
};

// The host's storage software as the host file describes it.
struct SimStorageSoftware {
    std::vector<SimServiceProcessor> service_processors;
    // The multipathing driver's pseudo-device names; nullopt: the driver's library is absent.
    std::optional<std::vector<std::string>> multipath_volumes;
};

namespace check {
// The "service_processors" and "multipath_volumes" keys (sim_sp_file.cpp).
std::vector<SimServiceProcessor> read_service_processors(const nlohmann::json& value, const std::string& path);
std::vector<std::string> read_multipath_volumes(const nlohmann::json& value, const std::string& path);
}  // namespace check

// Answers the seam's service-processor and volume-list calls from the host file. Clients live
// for the process; a session's instance serves any number of them. Thread-safe.
class SimStorageHost {
public:
    explicit SimStorageHost(SimStorageSoftware software) : software_(std::move(software)) {}

    os_error sp_create_client(const std::string& session, std::uint32_t& client_id);
    os_error sp_remove_client(std::uint32_t client_id);
    os_error sp_revision_info(std::uint32_t client_id, std::string& revision, std::string& product);
    os_error sp_site_info(std::uint32_t client_id, std::string& array_serial);
    os_error sp_resource_lock(std::uint32_t client_id, bool lock, bool& held);
    std::uint32_t mp_list_volumes(std::uint32_t& count, char* names);

private:
    struct Client {
        std::size_t instance = 0;
        bool resource_locked = false;
    };
    // The instance behind a client, or nullptr for a client the host never made.
    const SimServiceProcessor* instance_of(std::uint32_t client_id, Client** client = nullptr);

    std::mutex mutex_;
    const SimStorageSoftware software_;
    std::map<std::uint32_t, Client> clients_;
    std::uint32_t next_client_ = 1;
};

}  // namespace pds::sim
