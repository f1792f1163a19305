// The Fibre Channel adapter report and the iSCSI initiator report.
#include "inquiry_hba.h"

#include <cstdint>
#include <string>
#include <utility>

const char* hba_type_name(std::uint32_t type) {
    switch (type) {
        case 1: return "Fibre Channel";
        case 2: return "SCSI";
        default: return "UNKNOWN";
    }
}

const char* hba_port_type_name(std::uint32_t type) {
    static constexpr const char* kNames[] = {"OTHER", "NOTPRESENT", "NPORT", "NLPORT", "FLPORT",
                                             "FPORT", "EPORT", "GPORT", "LPORT", "PTP"};
    return type >= 1 && type <= 10 ? kNames[type - 1] : "UNKNOWN";
}

const char* hba_port_speed_name(std::uint32_t speed) {
    switch (speed) {
        case 1: return "1GBIT";
        case 2: return "2GBIT";
        case 4: return "10GBIT";
        case 8: return "4GBIT";
        case 16: return "8GBIT";
        case 32: return "16GBIT";
        case 0x8000: return "NOT NEGOTIATED";
        default: return "UNKNOWN";
    }
}

const char* hba_port_state_name(std::uint32_t state) {
    static constexpr const char* kNames[] = {"UNKNOWN", "ONLINE",  "OFFLINE", "BYPASSED", "DIAGNOSTICS",
                                             "LINKDOWN", "ERROR", "LOOPBACK", "DEGRADED"};
    return state <= 8 ? kNames[state] : "UNKNOWN";
}

namespace {

constexpr const char* kRecordRule = "---------------------------------------------------\n";

// A record's text field up to its NUL, never past the field.
template <std::size_t N>
std::string text(const char (&field)[N]) {
    return std::string(inq_field_text(field));
}

void print_fc4_types(std::FILE* out, const char* label, const std::uint8_t (&types)[32]) {
    std::fprintf(out, "    %-30s0x", label);
    for (const std::uint8_t byte : types) std::fprintf(out, "%2.2x", byte);
    std::fputs("\n", out);
}

void print_port(std::FILE* out, int number, const T_SIL_HBA_PORT& port) {
    std::fprintf(out, "    %-30s%d\n", "\nport number:  ", number);
    std::fprintf(out, "    %-30s%-40s\n", "node WWN: ", text(port.node_wwn).c_str());
    std::fprintf(out, "    %-30s%-40s\n", "port WWN: ", text(port.port_wwn).c_str());
    std::fprintf(out, "    %-30s%-40s\n", "Port OS name: ", text(port.os_name).c_str());
    std::fprintf(out, "    %-30s%-40s\n", "port type: ", hba_port_type_name(port.type));
    std::fprintf(out, "    %-30s%-40s\n", "port speed: ", hba_port_speed_name(port.speed));
    std::fprintf(out, "    %-30s%-40s\n", "supported speed: ", hba_port_speed_name(port.supported_speed));
    std::fprintf(out, "    %-30s%s\n", "port state: ", hba_port_state_name(port.state));
    std::fprintf(out, "    %-30s0x%x\n", "port FCID: ", port.fcid);
    std::fprintf(out, "    %-30s0x%8.8x\n", "port supported COS: ", port.supported_cos);
    print_fc4_types(out, "port supported FC4 types: ", port.supported_fc4_types);
    print_fc4_types(out, "port active FC4 types: ", port.active_fc4_types);
    std::fprintf(out, "    %-30s%u\n", "max frame size: ", port.max_frame_size);
}

void print_adapter(std::FILE* out, const T_SIL_HBA& hba) {
    std::fputs(kRecordRule, out);
    const std::pair<const char*, std::string> lines[] = {
        {"HBA name: ", text(hba.hba_name)},
        {"host WWN: ", text(hba.host_wwn)},
        {"vendor name: ", text(hba.vendor_name)},
        {"model: ", text(hba.model)},
        {"firmware version: ", text(hba.firmware_version)},
        {"driver version: ", text(hba.driver_version)},
        {"serial number: ", text(hba.serial_number)},
    };
    for (const auto& [label, value] : lines) std::fprintf(out, "%-20s%-40s\n", label, value.c_str());
    std::fprintf(out, "%-20s0x%-40x\n", "vendor code: ", hba.vendor_code);
    std::fprintf(out, "%-20s%-20s\n", "HBA type: ", hba_type_name(hba.hba_type));
    std::fprintf(out, "%-20s%d\n", "port count: ", static_cast<int>(hba.port_count));
    // The record has room for a fixed number of ports; a count beyond it names none of them.
    int number = 0;
    for (std::uint32_t i = 0; i < hba.port_count && i < SIL_HBA_MAX_PORTS; ++i) {
        ++number;
        if (hba.ports[i] != nullptr) print_port(out, number, *hba.ports[i]);
    }
}

}  // namespace

int do_hba_display(std::FILE* out, const T_SIL_HBA_LIST* hbas) {
    if (hbas != nullptr && hbas->hbas != nullptr) {
        for (std::int32_t i = 0; i < hbas->count; ++i)
            if (hbas->hbas[i] != nullptr) print_adapter(out, *hbas->hbas[i]);
    }
    std::fputs("\n\n", out);
    return 0;
}

int do_iscsi_display(std::FILE* out, const T_SIL_ISCSI_LIST* iscsis) {
    if (iscsis != nullptr && iscsis->iscsis != nullptr) {
        for (std::int32_t i = 0; i < iscsis->count; ++i) {
            const T_SIL_ISCSI* iscsi = iscsis->iscsis[i];
            if (iscsi == nullptr) continue;
            std::fputs(kRecordRule, out);
            std::fprintf(out, "%-20s%-255s\n", "Initiator name: ", text(iscsi->initiator_name).c_str());
            std::fprintf(out, "%-20s%-20s\n", "vendor name: ", text(iscsi->vendor_name).c_str());
            std::fprintf(out, "%-20s%-20s\n", "iscsi version: ", text(iscsi->iscsi_version).c_str());
            std::fprintf(out, "%-20s%-64s\n", "Target address: ", text(iscsi->target_address).c_str());
        }
    }
    std::fputs("\n\n", out);
    return 0;
}
