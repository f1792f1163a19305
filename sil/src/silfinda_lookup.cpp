// Adapter discovery: which adapter port and target port lead to a device (SIL_LookupTargetMapping), and the WWN text conversions.
#include <cctype>
#include <cstring>

#include "sildebug.h"
#include "silfinda_int.h"
#include "silinitl.h"

namespace {

constexpr std::uint32_t kTraceLookup = 0x1000401;
constexpr const char* kCandidateHeading = "Device WWN:Bus:Tid:Lun:HBA Port WWN:Target Port WWN";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool same_ignoring_case(const char* a, const char* b, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
        if (a[i] == '\0') return true;
    }
    return true;
}

bool all_zero(const std::uint8_t* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

struct Candidate {
    std::uint8_t hba_port[8];
    std::uint8_t target_port[8];
    std::uint32_t bus, target, lun;
};

void trace_candidate(const T_SIL_HBA_TARGET_LOOKUP& lookup, const Candidate& c) {
    char device[2 * sizeof lookup.device_wwn + 1];
    char hba_port[17];
    char target_port[17];
    sil_findh_hex_lower(lookup.device_wwn, lookup.device_wwn_len, device, sizeof device);
    sil_findh_hex_lower(c.hba_port, 8, hba_port, sizeof hba_port);
    sil_findh_hex_lower(c.target_port, 8, target_port, sizeof target_port);
    SIL_TRACE(kTraceLookup, "%s:%u:%u:%u:%s:%s", device, c.bus, c.target, c.lun, hba_port, target_port);
}

}  // namespace

void sil_findh_wwn_to_text(const std::uint8_t wwn[8], char* text, std::size_t text_size) {
    sil_findh_hex_lower(wwn, 8, text, text_size);
    for (std::size_t i = 0; i < text_size && text[i] != '\0'; ++i) {
        text[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
}

bool sil_findh_text_to_wwn(const char* text, std::uint8_t wwn[8]) {
    if (text == nullptr || strnlen(text, 17) != 16) return false;
    for (int i = 0; i < 8; ++i) {
        const int high = hex_value(text[2 * i]);
        const int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        wwn[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

void sil_findh_hex_lower(const std::uint8_t* bytes, std::size_t length, char* text, std::size_t text_size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (text_size == 0) return;
    std::size_t n = 0;
    for (std::size_t i = 0; i < length && n + 2 < text_size; ++i) {
        text[n++] = kDigits[bytes[i] >> 4];
        text[n++] = kDigits[bytes[i] & 0x0F];
    }
    text[n] = '\0';
}

std::int32_t SIL_LookupTargetMapping(const T_SIL_HBA_LIST* list, T_SIL_HBA_TARGET_LOOKUP* lookup) {
    SIL_FUNCTION("SIL_LookupTargetMapping");
    if (lookup == nullptr) SIL_RETURN(SIL_HBA_ERR_BAD_ARGUMENT);
    // The caller's name need not end within its field.
    char device[sizeof lookup->device_name + 1] = {};
    std::memcpy(device, lookup->device_name, strnlen(lookup->device_name, sizeof lookup->device_name));
    const bool by_name = device[0] != '\0';
    const bool by_wwn = !all_zero(lookup->device_wwn, lookup->device_wwn_len);
    if (!by_name && !by_wwn) SIL_RETURN(SIL_HBA_ERR_BAD_ARGUMENT);

    bool matched = false;
    Candidate found{};
    for (std::int32_t h = 0; list != nullptr && list->hbas != nullptr && h < list->count; ++h) {
        const T_SIL_HBA* hba = list->hbas[h];
        if (hba == nullptr) continue;
        for (std::uint32_t p = 0; p < hba->port_count && p < static_cast<std::uint32_t>(SIL_HBA_MAX_PORTS); ++p) {
            const T_SIL_HBA_PORT* port = hba->ports[p];
            if (port == nullptr || port->target_mapping == nullptr) continue;
            for (std::uint32_t e = 0; e < port->target_mapping->count; ++e) {
                const T_SIL_HBA_TARGET_MAPPING_ENTRY& entry = port->target_mapping->entries[e];
                Candidate c{{}, {}, entry.bus, entry.target, entry.lun};
                std::memcpy(c.target_port, entry.target_port_wwn, sizeof c.target_port);
                if (by_name && same_ignoring_case(device, entry.os_device_name, sizeof entry.os_device_name)) {
                    if (!sil_findh_text_to_wwn(port->port_wwn, c.hba_port)) SIL_RETURN(SIL_HBA_ERR_BAD_WWN);
                    found = c;
                    matched = true;
                    goto done;  // a name match settles it
                }
                if (!by_wwn || std::memcmp(entry.luid, lookup->device_wwn, lookup->device_wwn_len) != 0) continue;
                if (!sil_findh_text_to_wwn(port->port_wwn, c.hba_port)) SIL_RETURN(SIL_HBA_ERR_BAD_WWN);
                if (c.bus != lookup->bus || c.target != lookup->target || c.lun != lookup->lun) {
                    SIL_TRACE(kTraceLookup, "Device WWN match found for device %s, but Bus, Tid, Lun do not match (passed B:T:L %u:%u:%u)",
                              device, lookup->bus, lookup->target, lookup->lun);
                    SIL_TRACE(kTraceLookup, "%s", kCandidateHeading);
                    trace_candidate(*lookup, c);
                    continue;
                }
                if (matched) {
                    SIL_TRACE(SIL_TRACE_ERROR, "Conflicting matches found for device %s", device);
                    SIL_TRACE(SIL_TRACE_ERROR, "%s", kCandidateHeading);
                    trace_candidate(*lookup, found);
                    trace_candidate(*lookup, c);
                    std::memset(lookup->hba_port_wwn, 0, sizeof lookup->hba_port_wwn);
                    std::memset(lookup->target_port_wwn, 0, sizeof lookup->target_port_wwn);
                    SIL_RETURN(SIL_HBA_ERR_NO_MATCH);
                }
                found = c;
                matched = true;
            }
        }
    }
done:
    if (!matched) {
        SIL_TRACE(kTraceLookup, "No match found for device %s", device);
        SIL_RETURN(SIL_HBA_ERR_NO_MATCH);
    }
    std::memcpy(lookup->hba_port_wwn, found.hba_port, sizeof lookup->hba_port_wwn);
    std::memcpy(lookup->target_port_wwn, found.target_port, sizeof lookup->target_port_wwn);
    char hba_port[17];
    char target_port[17];
    sil_findh_hex_lower(found.hba_port, 8, hba_port, sizeof hba_port);
    sil_findh_hex_lower(found.target_port, 8, target_port, sizeof target_port);
    SIL_TRACE(kTraceLookup, "Found match for device %s - HBA port wwn: %s target port wwn: %s", device, hba_port, target_port);
    SIL_RETURN(SIL_OK);
}
