// An SNIA HBA API library served from data: the adapters, ports and target mappings it knows, and the behaviour of its entry points (shared by the simulated host and the test vendor library).
#pragma once

#include "sil/hbaapi_types.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pds::hba {

// The entry points a library's data may leave out or pin to a status, by their published names.
enum class Entry : std::uint8_t {
    GetVersion,
    LoadLibrary,
    FreeLibrary,
    GetNumberOfAdapters,
    GetAdapterName,
    OpenAdapter,
    CloseAdapter,
    GetAdapterAttributes,
    GetAdapterPortAttributes,
    RefreshInformation,
    GetFcpTargetMapping,
    GetFcpTargetMappingV2,
    SmhbaGetVersion,
    SmhbaGetTargetMapping,
    RegisterLibrary,
    RegisterLibraryV2,
    SmhbaRegisterLibrary,
};
inline constexpr std::size_t kEntryCount = 17;

// "HBA_GetVersion", "SMHBA_RegisterLibrary", ...
std::string_view entry_name(Entry e);
// Whether the entry point answers with a status, so that a status may be pinned for it.
bool answers_status(Entry e);

// Bounds of the data (the published fields and what a host plausibly has).
inline constexpr std::size_t kMaxAdapters = 4096;
inline constexpr std::size_t kMaxPorts = 64;
inline constexpr std::size_t kMaxMappings = 1048576;  // per port
inline constexpr std::size_t kMaxAdapterName = 255;   // the caller's name buffer holds 256 bytes

struct TargetMapping {
    std::string os_device_name;  // at most 256 bytes; exactly 256 leaves no NUL, as the field allows
    std::uint32_t bus = 0;
    std::uint32_t target = 0;
    std::uint32_t os_lun = 0;
    std::uint32_t fcid = 0;        // the target port's FC address
    HBA_WWN node_wwn{};            // the target's
    HBA_WWN port_wwn{};            // the target port's
    std::uint64_t fcp_lun = 0;     // FCP LUN, also the SM-HBA target LUN
    std::vector<std::uint8_t> luid;  // at most 256 bytes, the rest of the field zero
};

struct Port {
    HBA_WWN node_wwn{};
    HBA_WWN port_wwn{};
    std::uint32_t fcid = 0;
    std::uint32_t type = 0;
    std::uint32_t state = 0;
    std::uint32_t supported_cos = 0;
    std::array<std::uint8_t, 32> supported_fc4_types{};
    std::array<std::uint8_t, 32> active_fc4_types{};
    std::string symbolic_name;   // at most 256 bytes
    std::string os_device_name;  // at most 256 bytes
    std::uint32_t supported_speed = 0;
    std::uint32_t speed = 0;
    std::uint32_t max_frame_size = 0;
    HBA_WWN fabric_name{};
    std::uint32_t discovered_ports = 0;
    std::vector<TargetMapping> mappings;
};

struct Adapter {
    std::string name;  // what HBA_GetAdapterName gives and HBA_OpenAdapter takes
    std::string manufacturer;   // at most 64 bytes
    std::string serial_number;  // at most 64 bytes
    std::string model;          // these at most 256 bytes
    std::string model_description;
    HBA_WWN node_wwn{};
    std::string node_symbolic_name;
    std::string hardware_version;
    std::string driver_version;
    std::string option_rom_version;
    std::string firmware_version;
    std::uint32_t vendor_specific_id = 0;
    std::optional<std::uint32_t> number_of_ports;  // default: the ports listed
    std::string driver_name;
    bool open_fails = false;  // HBA_OpenAdapter gives no handle
    std::vector<Port> ports;
};

struct Library {
    std::uint32_t version = 2;        // HBA_GetVersion
    std::uint32_t smhba_version = 0;  // SMHBA_GetVersion; 0: the library has no SM-HBA entry points
    std::array<bool, kEntryCount> missing{};
    std::array<std::optional<HBA_STATUS>, kEntryCount> status{};
    // Every adapter's port attributes are stale until HBA_RefreshInformation is called for it.
    bool stale_data_once = false;
    std::vector<Adapter> adapters;

    bool lacks(Entry e) const { return missing[static_cast<std::size_t>(e)]; }
    std::optional<HBA_STATUS> pinned(Entry e) const { return status[static_cast<std::size_t>(e)]; }
};

// Reads one library's description: the keys "version", "smhba_version", "missing", "status",
// "stale_data_once" and "adapters", plus the keys of `extra_keys` (left to the caller). Faults are
// thrown as check::Fault naming the JSON path under `path`.
Library read_library(const nlohmann::json& value, const std::string& path,
                     std::initializer_list<std::string_view> extra_keys = {});

// A library at work: its data and what its callers changed (open handles, refreshed adapters).
// The entry points may be called from any thread.
class LibraryState {
public:
    explicit LibraryState(Library data);

    const Library& data() const { return data_; }

    HBA_UINT32 get_version() const { return data_.version; }
    HBA_STATUS load_library() const;
    HBA_STATUS free_library() const { return HBA_STATUS_OK; }
    HBA_UINT32 number_of_adapters() const { return static_cast<HBA_UINT32>(data_.adapters.size()); }
    HBA_STATUS adapter_name(HBA_UINT32 index, char* name) const;
    HBA_HANDLE open_adapter(const char* name);
    void close_adapter(HBA_HANDLE handle);
    HBA_STATUS adapter_attributes(HBA_HANDLE handle, HBA_ADAPTERATTRIBUTES* out);
    HBA_STATUS port_attributes(HBA_HANDLE handle, HBA_UINT32 port, HBA_PORTATTRIBUTES* out);
    void refresh(HBA_HANDLE handle);
    HBA_STATUS fcp_target_mapping(HBA_HANDLE handle, HBA_FCPTARGETMAPPING* out);
    HBA_STATUS fcp_target_mapping_v2(HBA_HANDLE handle, HBA_WWN port_wwn, HBA_FCPTARGETMAPPINGV2* out);
    HBA_UINT32 smhba_version() const { return data_.smhba_version; }
    HBA_STATUS smhba_target_mapping(HBA_HANDLE handle, HBA_WWN port_wwn, HBA_WWN domain_port_wwn,
                                    SMHBA_TARGETMAPPING* out);
    // The status a registration answers: the pinned one, else OK.
    HBA_STATUS register_status(Entry e) const { return data_.pinned(e).value_or(HBA_STATUS_OK); }

private:
    // The adapter an open handle names, or nullptr.
    const Adapter* adapter_of(HBA_HANDLE handle, std::size_t* index = nullptr);
    // The port of an open adapter that a mapping call names by its WWN; when there is none, the
    // status the call answers instead.
    HBA_STATUS port_by_wwn(HBA_HANDLE handle, const HBA_WWN& port_wwn, const void* out, const Port*& port);

    const Library data_;
    std::mutex mutex_;
    std::map<HBA_HANDLE, std::size_t> open_;  // handle -> adapter index
    HBA_HANDLE next_handle_ = 1;
    std::vector<bool> stale_;  // per adapter
};

}  // namespace pds::hba
