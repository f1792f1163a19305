// The simulated host's service-processor instances and multipathing volume list: loading them from the host file and answering the seam.
#include "sim_host_check.h"
#include "sim_sp.h"

#include <algorithm>
#include <cstring>

namespace pds::sim {
namespace check {

using json = nlohmann::json;

constexpr std::size_t kMaxSession = 4;
constexpr std::size_t kMaxRevision = 8;
constexpr std::size_t kMaxProduct = 64;
constexpr std::size_t kSerialLength = 12;
constexpr std::size_t kMaxServiceProcessors = 64;
constexpr std::size_t kMaxVolumes = 1024;
constexpr std::size_t kMaxVolumeName = kMpVolumeNameBytes - 1;

std::string required_text(const json& entry, const std::string& where, const char* key, std::size_t max_bytes) {
    if (!entry.contains(key)) fail(quoted(member_path(where, key)) + " is missing");
    return text(entry.at(key), member_path(where, key), max_bytes);
}

SpFailure failure(const json& value, const std::string& path) {
    static const std::pair<const char*, SpFailure> kNames[] = {
        {"create_client", SpFailure::create_client}, {"revision_info", SpFailure::revision_info},
        {"site_info", SpFailure::site_info},         {"resource_lock", SpFailure::resource_lock},
        {"remove_client", SpFailure::remove_client}};
    const std::string name = text(value, path, 32);
    for (const auto& [known, kind] : kNames) {
        if (name == known) return kind;
    }
    fail(quoted(path) + " must be one of \"create_client\", \"revision_info\", \"site_info\", \"resource_lock\", "
                        "\"remove_client\"");
}

std::vector<SimServiceProcessor> read_service_processors(const json& value, const std::string& path) {
    if (!value.is_array()) fail(quoted(path) + " must be an array");
    if (value.size() > kMaxServiceProcessors) {
        fail(quoted(path) + " has more than " + std::to_string(kMaxServiceProcessors) + " entries");
    }
    std::vector<SimServiceProcessor> out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string where = path + "[" + std::to_string(i) + "]";
        const json& entry = value[i];
        require_object(entry, where);
        known_keys_only(entry, where, {"session", "revision", "product", "array_serial", "fails"});
        SimServiceProcessor sp;
        sp.session = required_text(entry, where, "session", kMaxSession);
        if (sp.session.empty()) fail(quoted(member_path(where, "session")) + " must not be empty");
        sp.revision = required_text(entry, where, "revision", kMaxRevision);
        sp.product = required_text(entry, where, "product", kMaxProduct);
        sp.array_serial = required_text(entry, where, "array_serial", kSerialLength);
        if (sp.array_serial.size() != kSerialLength ||
            !std::all_of(sp.array_serial.begin(), sp.array_serial.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            fail(quoted(member_path(where, "array_serial")) + " must be 12 decimal digits");
        }
        if (entry.contains("fails")) sp.fails = failure(entry.at("fails"), member_path(where, "fails"));
        for (const SimServiceProcessor& earlier : out) {
            if (earlier.session == sp.session) fail(quoted(member_path(where, "session")) + " repeats an earlier session");
        }
        out.push_back(std::move(sp));
    }
    return out;
}

std::vector<std::string> read_multipath_volumes(const json& value, const std::string& path) {
    if (!value.is_array()) fail(quoted(path) + " must be an array");
    if (value.size() > kMaxVolumes) fail(quoted(path) + " has more than " + std::to_string(kMaxVolumes) + " entries");
    std::vector<std::string> out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        out.push_back(text(value[i], path + "[" + std::to_string(i) + "]", kMaxVolumeName));
    }
    return out;
}

}  // namespace check

const SimServiceProcessor* SimStorageHost::instance_of(std::uint32_t client_id, Client** client) {
    const auto it = clients_.find(client_id);
    if (it == clients_.end()) return nullptr;
    if (client != nullptr) *client = &it->second;
    return &software_.service_processors[it->second.instance];
}

// An empty session is an operating-system device's: the first instance serves it.
os_error SimStorageHost::sp_create_client(const std::string& session, std::uint32_t& client_id) {
    std::lock_guard lock(mutex_);
    client_id = 0;
    const auto& sps = software_.service_processors;
    const auto it = session.empty() ? sps.begin()
                                    : std::find_if(sps.begin(), sps.end(),
                                                   [&](const SimServiceProcessor& sp) { return sp.session == session; });
    if (it == sps.end()) return kErrorFileNotFound;
    if (it->fails == SpFailure::create_client) return kErrorAccessDenied;
    client_id = next_client_++;
    clients_[client_id] = Client{static_cast<std::size_t>(it - sps.begin()), false};
    return 0;
}

os_error SimStorageHost::sp_remove_client(std::uint32_t client_id) {
    std::lock_guard lock(mutex_);
    const SimServiceProcessor* sp = instance_of(client_id);
    if (sp == nullptr) return kErrorInvalidHandle;
    if (sp->fails == SpFailure::remove_client) return kErrorAccessDenied;
    clients_.erase(client_id);
    return 0;
}

os_error SimStorageHost::sp_revision_info(std::uint32_t client_id, std::string& revision, std::string& product) {
    std::lock_guard lock(mutex_);
    const SimServiceProcessor* sp = instance_of(client_id);
    if (sp == nullptr) return kErrorInvalidHandle;
    if (sp->fails == SpFailure::revision_info) return kErrorAccessDenied;
    revision = sp->revision;
    product = sp->product;
    return 0;
}

os_error SimStorageHost::sp_site_info(std::uint32_t client_id, std::string& array_serial) {
    std::lock_guard lock(mutex_);
    const SimServiceProcessor* sp = instance_of(client_id);
    if (sp == nullptr) return kErrorInvalidHandle;
    if (sp->fails == SpFailure::site_info) return kErrorAccessDenied;
    array_serial = sp->array_serial;
    return 0;
}

// A failing resource lock can be taken but not given back.
os_error SimStorageHost::sp_resource_lock(std::uint32_t client_id, bool lock, bool& held) {
    std::lock_guard guard(mutex_);
    Client* client = nullptr;
    const SimServiceProcessor* sp = instance_of(client_id, &client);
    held = false;
    if (sp == nullptr) return kErrorInvalidHandle;
    if (lock || sp->fails != SpFailure::resource_lock) client->resource_locked = lock;
    held = client->resource_locked;
    return 0;
}

std::uint32_t SimStorageHost::mp_list_volumes(std::uint32_t& count, char* names) {
    std::lock_guard lock(mutex_);
    const std::uint32_t room = count;
    count = 0;
    if (!software_.multipath_volumes) return kMpNotEnabled;
    const std::vector<std::string>& volumes = *software_.multipath_volumes;
    count = static_cast<std::uint32_t>(volumes.size());
    if (names == nullptr) return 0;
    for (std::uint32_t i = 0; i < std::min(room, count); ++i) {
        char* entry = names + std::size_t{i} * kMpVolumeNameBytes;
        std::memset(entry, 0, kMpVolumeNameBytes);
        std::memcpy(entry, volumes[i].data(), std::min(volumes[i].size(), kMpVolumeNameBytes - 1));
    }
    return 0;
}

}  // namespace pds::sim
