// Adapter discovery's scans: the SNIA scan through the HBA API adapter, and the operating system's scan for a virtual-machine guest.
#include <cstring>
#include <new>

#include <pds/platform.h>

#include "sildebug.h"
#include "sildevice.h"
#include "silfinda_int.h"
#include "silinitl.h"
#include "silsnia.h"

namespace {

constexpr std::uint32_t kTraceScan = 0x1000401;

// Text the libraries give for a value they do not know.
bool given(const char* text) { return text[0] != '\0' && std::strcmp(text, "Not Supported") != 0; }

template <std::size_t N>
void take_if_given(char (&field)[N], const char* text) {
    if (given(text)) sil_copy_text(field, text);
}

std::uint32_t port_type_code(std::uint32_t snia) {
    switch (snia) {
    case 2: return 1;   // OTHER
    case 3: return 2;   // NOTPRESENT
    case 5: return 3;   // NPORT
    case 6: return 4;   // NLPORT
    case 7: return 5;   // FLPORT
    case 8: return 6;   // FPORT
    case 9: return 7;   // EPORT
    case 10: return 8;  // GPORT
    case 20: return 9;  // LPORT
    case 21: return 10; // PTP
    default: return 0;
    }
}

std::uint32_t port_state_code(std::uint32_t snia) { return snia >= 2 && snia <= 9 ? snia - 1 : 0; }

// One speed bit: a value with several is reduced to the bit that says most.
std::uint32_t speed_code(std::uint32_t snia) {
    switch (snia) {
    case 0: case 1: case 2: case 4: case 8: case 16: case 32: case 0x8000: return snia;
    default: break;
    }
    for (std::uint32_t bit : {0x8000u, 32u, 4u, 16u, 8u, 2u, 1u}) {
        if ((snia & bit) != 0) return bit;
    }
    return 0;
}

// The port's mapping copied into the adapter's own record; nullptr when there is none.
T_SIL_HBA_TARGET_MAPPING* copy_mapping(SIL_SNIA_HANDLE handle, std::uint32_t port_index) {
    T_SIL_SNIA_TARGET_MAPPING* snia = nullptr;
    if (SIL_SNIA_GetTargetMapping(handle, port_index, &snia) != 0 || snia == nullptr) return nullptr;
    auto* mapping = new (std::nothrow) T_SIL_HBA_TARGET_MAPPING{};
    if (mapping != nullptr && snia->count > 0) {
        mapping->entries = new (std::nothrow) T_SIL_HBA_TARGET_MAPPING_ENTRY[snia->count]{};
        if (mapping->entries == nullptr) {
            delete mapping;
            mapping = nullptr;
        }
    }
    if (mapping != nullptr) {
        mapping->count = snia->count;
        for (std::uint32_t i = 0; i < snia->count; ++i) {
            const T_SIL_SNIA_TARGET_MAPPING_ENTRY& from = snia->entries[i];
            T_SIL_HBA_TARGET_MAPPING_ENTRY& to = mapping->entries[i];
            const std::size_t length = strnlen(from.OSDeviceName, sizeof to.os_device_name - 1);
            std::memcpy(to.os_device_name, from.OSDeviceName, length);
            to.os_device_name[length] = '\0';
            to.bus = from.ScsiBusNumber;
            to.target = from.ScsiTargetNumber;
            to.lun = from.ScsiOSLun;
            std::memcpy(to.luid, from.LUID, sizeof to.luid);
            std::memcpy(to.target_port_wwn, from.PortWWN, sizeof to.target_port_wwn);
        }
    }
    SIL_SNIA_FreeTargetMapping(&snia);
    return mapping;
}

// A library's port count is any 32-bit number: one that refuses every port would otherwise be
// asked billions of times. No adapter has anywhere near this many ports.
constexpr std::uint32_t kMostPortsAsked = 256;

// The ports of an open adapter. -101 when memory runs out.
std::int32_t read_ports(T_SIL_HBA* hba, SIL_SNIA_HANDLE handle, std::uint32_t number_of_ports, bool mappings) {
    if (number_of_ports > kMostPortsAsked) {
        SIL_TRACE(SIL_TRACE_ERROR, "HBA %s reports %u ports; only the first %u are asked for", hba->hba_name,
                  number_of_ports, kMostPortsAsked);
        number_of_ports = kMostPortsAsked;
    }
    for (std::uint32_t p = 0; p < number_of_ports; ++p) {
        T_SIL_SNIA_PORT_ATTRIBUTES attributes{};
        if (SIL_SNIA_GetAdapterPortAttributes(handle, p, &attributes) != 0) continue;
        T_SIL_HBA_PORT* port = sil_findh_new_port();
        if (port == nullptr) {
            SIL_TRACE(SIL_TRACE_ERROR, "Failed during calloc of T_SIL_HBA_PORT");
            return SIL_ERR_NO_MEMORY;
        }
        sil_findh_wwn_to_text(attributes.PortWWN, port->port_wwn, sizeof port->port_wwn);
        sil_findh_wwn_to_text(attributes.NodeWWN, port->node_wwn, sizeof port->node_wwn);
        port->speed = speed_code(attributes.PortSpeed);
        port->supported_speed = speed_code(attributes.PortSupportedSpeed);
        port->state = port_state_code(attributes.PortState);
        port->type = port_type_code(attributes.PortType);
        take_if_given(port->os_name, attributes.OSDeviceName);
        port->fcid = attributes.PortFcId;
        port->supported_cos = attributes.PortSupportedClassofService;
        std::memcpy(port->supported_fc4_types, attributes.PortSupportedFc4Types, sizeof port->supported_fc4_types);
        std::memcpy(port->active_fc4_types, attributes.PortActiveFc4Types, sizeof port->active_fc4_types);
        port->max_frame_size = attributes.PortMaxFrameSize;
        if (!sil_findh_add_port(hba, port)) {
            // The adapter is full: no later port could be kept, and a library's port count can be
            // any 32-bit number.
            sil_findh_free_port(port);
            break;
        }
        if (mappings) port->target_mapping = copy_mapping(handle, p);
    }
    return SIL_OK;
}

// One adapter of the global index as a record; nullptr (with `rc` 0) when it cannot be opened or
// described, or (with -101) when memory runs out.
T_SIL_HBA* describe_adapter(std::uint32_t index, bool mappings, std::int32_t& rc) {
    rc = SIL_OK;
    SIL_SNIA_HANDLE handle = 0;
    if (SIL_SNIA_OpenAdapter(&handle, index) != 0) return nullptr;
    T_SIL_SNIA_ADAPTER_ATTRIBUTES attributes{};
    if (SIL_SNIA_GetAdapterAttributes(handle, &attributes) != 0) {
        SIL_SNIA_CloseAdapter(&handle);
        return nullptr;
    }
    T_SIL_HBA* hba = sil_findh_new_hba();
    if (hba == nullptr) {
        SIL_TRACE(SIL_TRACE_ERROR, "Failed during calloc of T_SIL_HBA");
        SIL_SNIA_CloseAdapter(&handle);
        rc = SIL_ERR_NO_MEMORY;
        return nullptr;
    }
    char name[SIL_HBA_TEXT_LEN] = {};
    if (SIL_SNIA_GetAdapterName(index, name, sizeof name) == 0) sil_copy_text(hba->hba_name, name);
    sil_findh_wwn_to_text(attributes.NodeWWN, hba->host_wwn, sizeof hba->host_wwn);
    char table_name[SIL_HBA_TEXT_LEN] = {};
    const bool in_table = sil_findh_vendor_by_wwn(hba->host_wwn, hba->vendor_code, table_name, sizeof table_name) == 0;
    if (given(attributes.Manufacturer)) {
        sil_copy_text(hba->vendor_name, attributes.Manufacturer);
    } else if (in_table) {
        sil_copy_text(hba->vendor_name, table_name);
        SIL_TRACE(kTraceScan, "Using Vendor name provided by WWN (%s).", hba->host_wwn);
    } else {
        SIL_TRACE(kTraceScan, "Vendor name not found, WWN = (%s).", hba->host_wwn);
    }
    take_if_given(hba->model, attributes.Model);
    take_if_given(hba->driver_version, attributes.DriverVersion);
    take_if_given(hba->serial_number, attributes.SerialNumber);
    take_if_given(hba->firmware_version, attributes.FirmwareVersion);
    hba->hba_type = SIL_HBA_TYPE_FIBRE;
    rc = read_ports(hba, handle, attributes.NumberOfPorts, mappings);
    SIL_SNIA_CloseAdapter(&handle);
    if (rc != SIL_OK) {
        sil_findh_free_hba(hba);
        return nullptr;
    }
    hba->source = SIL_HBA_SOURCE_SNIA;
    return hba;
}

}  // namespace

std::int32_t SNIA_scan_for_HBA(sil_hba_chain& chain, const T_SIL_HBA_OPTIONS& options) {
    SIL_FUNCTION("SNIA_scan_for_HBA");
    std::uint32_t total = 0;
    const std::int32_t count_rc = SIL_SNIA_GetNumberOfAdapters(&total);
    if (count_rc != 0) SIL_RETURN(count_rc);
    std::int32_t added = 0;
    for (std::uint32_t index = 0; index < total; ++index) {
        std::int32_t rc = SIL_OK;
        T_SIL_HBA* hba = describe_adapter(index, options.target_mapping != 0, rc);
        if (rc == SIL_OK && hba != nullptr) {
            rc = sil_findh_append(chain, hba);
            if (rc != SIL_OK) sil_findh_free_hba(hba);
        }
        if (rc != SIL_OK) {
            sil_findh_free_chain(chain);
            SIL_RETURN(rc);
        }
        if (hba != nullptr) ++added;
    }
    condensePortsBySN(chain);
    SIL_RETURN(added > 0 ? SIL_OK : SIL_HBA_ERR_NO_ADAPTER);
}

// Only a virtual-machine guest has adapters the operating system can tell of beside the HBA API:
// those of its virtualisation host, whose management interfaces (the VMware client library, WMI)
// this build does not reach. The seam says whether the host is a guest.
std::int32_t os_specific_scan_for_HBA(sil_hba_chain& chain, const T_SIL_HBA_OPTIONS& options) {
    SIL_FUNCTION("os_specific_scan_for_HBA");
    const std::string guest = pds::platform().host_identity().vm_guest;
    if (guest.empty()) {
        SIL_TRACE(SIL_TRACE_ERROR, "Not a VMWare Guest OS, and we already tried SNIA...");
        SIL_RETURN(SIL_HBA_ERR_NOT_SUPPORTED);
    }
    if (guest == "vmware") {
        SIL_TRACE(SIL_TRACE_ERROR, "VMware guest: the VMware adapter hooks are not part of this build");
        SIL_RETURN(SIL_HBA_ERR_NOT_SUPPORTED);
    }
    if (options.scsi) {
        SIL_TRACE(SIL_TRACE_ERROR, "Scan for SCSI adapters not supported.");
        SIL_RETURN(SIL_HBA_ERR_NOT_SUPPORTED);
    }
    SIL_TRACE(SIL_TRACE_ERROR, "SIL_WMI_GetHbaInfo returned no hba information");
    SIL_RETURN(SIL_HBA_ERR_NOT_SUPPORTED);
}
