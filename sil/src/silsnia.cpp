// The SIL_SNIA_ operations on adapters: names, open and close, adapter and port attributes.
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "sildebug.h"
#include "silsnia_int.h"

namespace {

constexpr std::int32_t kNoMemory = -101;

// -112 (traced) for an index outside the adapter table.
std::int32_t check_index(const T_SIL_SNIA_CONTEXT& context, std::uint32_t index) {
    if (index >= SIL_SNIA_MAX_ADAPTERS) {
        SIL_TRACE(SIL_TRACE_ERROR, "Invalid adapter index: > max number of adapters.");
        return SIL_SNIA_ERR_BAD_INDEX;
    }
    if (index >= context.total_adapters) {
        SIL_TRACE(SIL_TRACE_ERROR, "Invalid adapter index: > total number of adapters.");
        return SIL_SNIA_ERR_BAD_INDEX;
    }
    return 0;
}

// ---- port attributes -------------------------------------------------------------------------------

HBA_PORTTYPE normal_port_type(HBA_PORTTYPE type) {
    switch (type) {
        case 2: case 3: case 5: case 6: case 7: case 8: case 20: case 21: return type;
        default: return 1;
    }
}

HBA_PORTSTATE normal_port_state(HBA_PORTSTATE state) { return state >= 2 && state <= 9 ? state : 1; }

// One speed bit: a value of several bits keeps the one first in this order.
HBA_PORTSPEED normal_port_speed(HBA_PORTSPEED speed) {
    switch (speed) {
        case 0: case 1: case 2: case 4: case 8: case 16: case 32: case HBA_PORTSPEED_NOT_NEGOTIATED: return speed;
        default: break;
    }
    for (const HBA_PORTSPEED bit : {HBA_PORTSPEED_NOT_NEGOTIATED, 32u, 4u, 16u, 8u, 2u, 1u})
        if ((speed & bit) != 0) return bit;
    return 0;
}

void trace_port_attributes(const HBA_PORTATTRIBUTES& a) {
    if (sil_trace_on() == 0) return;
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: NodeWWN (converted to string) = %s", sil_snia_wwn(a.NodeWWN).c_str());
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortWWN (converted to string) = %s", sil_snia_wwn(a.PortWWN).c_str());
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortFcId = 0x%06X", a.PortFcId);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortType = %u", a.PortType);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortState = %u", a.PortState);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortSupportedClassofService = %u", a.PortSupportedClassofService);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortSupportedFc4Types (converted to string) = %s",
              sil_snia_hex(a.PortSupportedFc4Types.bits, sizeof a.PortSupportedFc4Types.bits).c_str());
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortActiveFc4Types (converted to string) = %s",
              sil_snia_hex(a.PortActiveFc4Types.bits, sizeof a.PortActiveFc4Types.bits).c_str());
    char text[257];
    sil_snia_copy_text(text, sizeof text, a.PortSymbolicName, sizeof a.PortSymbolicName);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortSymbolicName = %s", text);
    sil_snia_copy_text(text, sizeof text, a.OSDeviceName, sizeof a.OSDeviceName);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: OSDeviceName = %s", text);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortSupportedSpeed = %u", a.PortSupportedSpeed);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortSpeed = %u", a.PortSpeed);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: PortMaxFrameSize = %u", a.PortMaxFrameSize);
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: FabricName (converted to string) = %s", sil_snia_wwn(a.FabricName).c_str());
    SIL_TRACE(SIL_TRACE_INFO, "PORT INFO: NumberofDiscoveredPorts = %u", a.NumberofDiscoveredPorts);
}

}  // namespace

std::optional<SilSniaAdapter> sil_snia_adapter_of(const T_SIL_SNIA_CONTEXT& context, SIL_SNIA_HANDLE handle) {
    if (context.common_library_in_use != 0) return SilSniaAdapter{context.libraries[0], handle};
    const std::uint32_t slot = handle >> 16;
    if (slot >= SIL_SNIA_MAX_LIBRARIES) return std::nullopt;
    return SilSniaAdapter{context.libraries[slot], handle & 0xFFFFu};
}

std::int32_t sil_snia_port_attributes(const SilSniaAdapter& adapter, std::uint32_t port, HBA_PORTATTRIBUTES& attributes) {
    const T_SIL_SNIA_ENTRY_POINTS& entry = adapter.library.entry;
    attributes = HBA_PORTATTRIBUTES{};
    HBA_STATUS status = sil_snia_unavailable(adapter.library, entry.HBA_GetAdapterPortAttributes);
    if (status == HBA_STATUS_OK) status = entry.HBA_GetAdapterPortAttributes(adapter.handle, port, &attributes);
    if (status == HBA_STATUS_ERROR_STALE_DATA) {
        SIL_TRACE(SIL_TRACE_INFO,
                  "HBA_GetAdapterPortAttributes returned HBA_STATUS_ERROR_STALE_DATA. Calling HBA_RefreshInformation.");
        if (const HBA_STATUS refresh = sil_snia_unavailable(adapter.library, entry.HBA_RefreshInformation);
            refresh != HBA_STATUS_OK) {
            SIL_TRACE(SIL_TRACE_ERROR, "HBA_RefreshInformation failed with status %u.", refresh);
            return SIL_SNIA_ERR_ATTRIBUTES;
        }
        entry.HBA_RefreshInformation(adapter.handle);
        attributes = HBA_PORTATTRIBUTES{};
        status = entry.HBA_GetAdapterPortAttributes(adapter.handle, port, &attributes);
    }
    if (status != HBA_STATUS_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "HBA_GetAdapterPortAttributes failed with status %u.", status);
        return SIL_SNIA_ERR_ATTRIBUTES;
    }
    attributes.PortType = normal_port_type(attributes.PortType);
    attributes.PortState = normal_port_state(attributes.PortState);
    attributes.PortSupportedSpeed = normal_port_speed(attributes.PortSupportedSpeed);
    attributes.PortSpeed = normal_port_speed(attributes.PortSpeed);
    return 0;
}

HBA_STATUS sil_snia_adapter_attributes(const SilSniaAdapter& adapter, HBA_ADAPTERATTRIBUTES& attributes) {
    attributes = HBA_ADAPTERATTRIBUTES{};
    const HBA_STATUS status = sil_snia_unavailable(adapter.library, adapter.library.entry.HBA_GetAdapterAttributes);
    return status != HBA_STATUS_OK ? status : adapter.library.entry.HBA_GetAdapterAttributes(adapter.handle, &attributes);
}

std::int32_t SIL_SNIA_GetNumberOfAdapters(std::uint32_t* count) {
    SIL_FUNCTION("SIL_SNIA_GetNumberOfAdapters");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    const std::uint32_t total = context != nullptr ? context->total_adapters : 0;
    if (count != nullptr) *count = total;
    SIL_RETURN(total == 0 ? SIL_SNIA_ERR_NO_LIBRARY : 0);
}

std::int32_t SIL_SNIA_GetAdapterName(std::uint32_t index, char* text, std::uint32_t text_size) {
    SIL_FUNCTION("SIL_SNIA_GetAdapterName");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    if (const std::int32_t rc = check_index(*context, index); rc != 0) SIL_RETURN(rc);
    if (text == nullptr || text_size == 0) SIL_RETURN(SIL_SNIA_ERR_BAD_INDEX);
    sil_snia_copy_text(text, text_size, context->adapters[index].name, sizeof context->adapters[index].name);
    SIL_RETURN(0);
}

std::int32_t SIL_SNIA_OpenAdapter(SIL_SNIA_HANDLE* handle, std::uint32_t index) {
    SIL_FUNCTION("SIL_SNIA_OpenAdapter");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    if (const std::int32_t rc = check_index(*context, index); rc != 0) SIL_RETURN(rc);
    if (handle == nullptr) SIL_RETURN(SIL_SNIA_ERR_BAD_INDEX);
    const T_SIL_SNIA_ADAPTER& adapter = context->adapters[index];
    const T_SIL_SNIA_LIBRARY& library = context->libraries[adapter.slot];
    if (library.state != SIL_SNIA_LIB_INITIALIZED) {
        SIL_TRACE(SIL_TRACE_ERROR, "Underlying SNIA HBA library is not loaded.");
        SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    }
    HBA_HANDLE opened = 0;
    HBA_STATUS status = sil_snia_unavailable(library, library.entry.HBA_OpenAdapter);
    if (status == HBA_STATUS_OK) {
        // The library takes a writable name; it gets a copy of the full one.
        char name[sizeof adapter.full_name];
        std::memcpy(name, adapter.full_name, sizeof name);
        opened = library.entry.HBA_OpenAdapter(name);
        if (opened == 0) status = HBA_STATUS_ERROR;
    }
    if (status != HBA_STATUS_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "HBA_OpenAdapter failed with status %u.", status);
        SIL_RETURN(SIL_SNIA_ERR_OPEN_FAILED);
    }
    *handle = context->common_library_in_use != 0 ? opened : (adapter.slot << 16) | (opened & 0xFFFFu);
    SIL_RETURN(0);
}

std::int32_t SIL_SNIA_CloseAdapter(SIL_SNIA_HANDLE* handle) {
    SIL_FUNCTION("SIL_SNIA_CloseAdapter");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr || handle == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    const std::optional<SilSniaAdapter> adapter = sil_snia_adapter_of(*context, *handle);
    *handle = 0;
    if (!adapter.has_value() || adapter->library.state != SIL_SNIA_LIB_INITIALIZED) {
        SIL_TRACE(SIL_TRACE_ERROR, "Underlying SNIA HBA library is not loaded.");
        SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    }
    if (const HBA_STATUS status = sil_snia_unavailable(adapter->library, adapter->library.entry.HBA_CloseAdapter);
        status != HBA_STATUS_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "HBA_CloseAdapter failed with status %u.", status);
        SIL_RETURN(SIL_SNIA_ERR_CALL_FAILED);
    }
    adapter->library.entry.HBA_CloseAdapter(adapter->handle);
    SIL_RETURN(0);
}

std::int32_t SIL_SNIA_GetAdapterAttributes(SIL_SNIA_HANDLE handle, T_SIL_SNIA_ADAPTER_ATTRIBUTES* attributes) {
    SIL_FUNCTION("SIL_SNIA_GetAdapterAttributes");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    const std::optional<SilSniaAdapter> adapter = sil_snia_adapter_of(*context, handle);
    if (!adapter.has_value() || attributes == nullptr) SIL_RETURN(SIL_SNIA_ERR_ATTRIBUTES);
    const std::unique_ptr<HBA_ADAPTERATTRIBUTES> from(new (std::nothrow) HBA_ADAPTERATTRIBUTES{});
    if (from == nullptr) SIL_RETURN(kNoMemory);
    if (const HBA_STATUS status = sil_snia_adapter_attributes(*adapter, *from); status != HBA_STATUS_OK) {
        SIL_TRACE(SIL_TRACE_ERROR, "HBA_GetAdapterAttributes failed with status %u.", status);
        SIL_RETURN(SIL_SNIA_ERR_ATTRIBUTES);
    }
    T_SIL_SNIA_ADAPTER_ATTRIBUTES& to = *attributes;
    to = T_SIL_SNIA_ADAPTER_ATTRIBUTES{};
    const auto text = [](const char* label, char (&target)[SIL_SNIA_TEXT_LEN], const char* source, std::size_t size) {
        sil_snia_copy_text(target, sizeof target, source, size);
        SIL_TRACE(SIL_TRACE_INFO, "ADAPTER INFO: %s = %s", label, target);
    };
    text("Manufacturer", to.Manufacturer, from->Manufacturer, sizeof from->Manufacturer);
    text("SerialNumber", to.SerialNumber, from->SerialNumber, sizeof from->SerialNumber);
    text("Model", to.Model, from->Model, sizeof from->Model);
    text("ModelDescription", to.ModelDescription, from->ModelDescription, sizeof from->ModelDescription);
    std::memcpy(to.NodeWWN, from->NodeWWN.wwn, sizeof to.NodeWWN);
    SIL_TRACE(SIL_TRACE_INFO, "ADAPTER INFO: NodeWWN (converted to string) = %s", sil_snia_wwn(from->NodeWWN).c_str());
    text("NodeSymbolicName", to.NodeSymbolicName, from->NodeSymbolicName, sizeof from->NodeSymbolicName);
    text("HardwareVersion", to.HardwareVersion, from->HardwareVersion, sizeof from->HardwareVersion);
    text("DriverVersion", to.DriverVersion, from->DriverVersion, sizeof from->DriverVersion);
    text("OptionROMVersion", to.OptionROMVersion, from->OptionROMVersion, sizeof from->OptionROMVersion);
    text("FirmwareVersion", to.FirmwareVersion, from->FirmwareVersion, sizeof from->FirmwareVersion);
    to.VendorSpecificID = from->VendorSpecificID;
    SIL_TRACE(SIL_TRACE_INFO, "ADAPTER INFO: VendorSpecificID = 0x%08X", to.VendorSpecificID);
    to.NumberOfPorts = from->NumberOfPorts;
    SIL_TRACE(SIL_TRACE_INFO, "ADAPTER INFO: NumberOfPorts = %u", to.NumberOfPorts);
    text("DriverName", to.DriverName, from->DriverName, sizeof from->DriverName);
    SIL_RETURN(0);
}

std::int32_t SIL_SNIA_GetAdapterPortAttributes(SIL_SNIA_HANDLE handle, std::uint32_t port,
                                               T_SIL_SNIA_PORT_ATTRIBUTES* attributes) {
    SIL_FUNCTION("SIL_SNIA_GetAdapterPortAttributes");
    const T_SIL_SNIA_CONTEXT* context = sil_snia_context();
    if (context == nullptr) SIL_RETURN(SIL_SNIA_ERR_NO_LIBRARY);
    const std::optional<SilSniaAdapter> adapter = sil_snia_adapter_of(*context, handle);
    if (!adapter.has_value() || attributes == nullptr) SIL_RETURN(SIL_SNIA_ERR_ATTRIBUTES);
    HBA_PORTATTRIBUTES from;
    if (const std::int32_t rc = sil_snia_port_attributes(*adapter, port, from); rc != 0) SIL_RETURN(rc);
    trace_port_attributes(from);
    T_SIL_SNIA_PORT_ATTRIBUTES& to = *attributes;
    to = T_SIL_SNIA_PORT_ATTRIBUTES{};
    std::memcpy(to.NodeWWN, from.NodeWWN.wwn, 8);
    std::memcpy(to.PortWWN, from.PortWWN.wwn, 8);
    to.PortFcId = from.PortFcId;
    to.PortType = from.PortType;
    to.PortState = from.PortState;
    to.PortSupportedClassofService = from.PortSupportedClassofService;
    std::memcpy(to.PortSupportedFc4Types, from.PortSupportedFc4Types.bits, 32);
    std::memcpy(to.PortActiveFc4Types, from.PortActiveFc4Types.bits, 32);
    sil_snia_copy_text(to.PortSymbolicName, sizeof to.PortSymbolicName, from.PortSymbolicName, sizeof from.PortSymbolicName);
    sil_snia_copy_text(to.OSDeviceName, sizeof to.OSDeviceName, from.OSDeviceName, sizeof from.OSDeviceName);
    to.PortSupportedSpeed = from.PortSupportedSpeed;
    to.PortSpeed = from.PortSpeed;
    to.PortMaxFrameSize = from.PortMaxFrameSize;
    std::memcpy(to.FabricName, from.FabricName.wwn, 8);
    to.NumberofDiscoveredPorts = from.NumberofDiscoveredPorts;
    SIL_RETURN(0);
}

