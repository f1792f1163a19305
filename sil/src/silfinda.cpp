// Adapter discovery: SIL_CreateHBAList and SIL_DestroyHBAList, the list under construction, merging ports by serial number and removing duplicates by WWN.
#include "silfinda.h"

#include <cctype>
#include <cstring>
#include <new>

#include "sildebug.h"
#include "sildevice.h"
#include "silfinda_int.h"
#include "silinitl.h"

namespace {

constexpr std::uint32_t kTraceList = 0x1000401;

bool meaningful(const char* text) {
    return text[0] != '\0' && std::strstr(text, "Unknown") == nullptr && std::strstr(text, "Not Supported") == nullptr;
}

void upper_case(char* text, std::size_t size) {
    for (std::size_t i = 0; i < size && text[i] != '\0'; ++i) {
        text[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
}

bool has_port_wwn(const T_SIL_HBA* hba, const char* wwn) {
    for (std::uint32_t i = 0; i < hba->port_count; ++i) {
        if (hba->ports[i] != nullptr && std::strcmp(hba->ports[i]->port_wwn, wwn) == 0) return true;
    }
    return false;
}

// The options every build starts from: both scans allowed whatever the caller gave.
void sil_findh_set_default_HBA_options(T_SIL_HBA_OPTIONS& options) {
    options.os_scan = 1;
    options.snia_scan = 1;
}

enum class Duplicate { none, partial, full };

Duplicate compare_wwns(const T_SIL_HBA* a, const T_SIL_HBA* b) {
    if (std::strcmp(a->host_wwn, b->host_wwn) != 0) {
        if (has_port_wwn(b, a->host_wwn) || has_port_wwn(a, b->host_wwn)) {
            SIL_TRACE(kTraceList, "Node WWN of one HBA matches port WWN of another");
            return Duplicate::partial;
        }
        return Duplicate::none;
    }
    std::uint32_t shared = 0;
    for (std::uint32_t i = 0; i < a->port_count; ++i) {
        if (a->ports[i] != nullptr && has_port_wwn(b, a->ports[i]->port_wwn)) ++shared;
    }
    if (a->port_count == b->port_count && shared == a->port_count) return Duplicate::full;
    return shared > 0 ? Duplicate::partial : Duplicate::none;
}

// Which of two duplicates goes: the copy the SNIA scan did not find; between copies of equal
// standing the one with fewer ports, the later one when that is even.
bool remove_first(const T_SIL_HBA* a, const T_SIL_HBA* b, Duplicate kind) {
    const bool a_snia = a->source == SIL_HBA_SOURCE_SNIA;
    const bool b_snia = b->source == SIL_HBA_SOURCE_SNIA;
    if (kind == Duplicate::full) return b_snia && !a_snia;
    if (a_snia) return false;
    if (b_snia) return true;
    return a->port_count < b->port_count;
}

// Turns the chain into the list's array; the chain keeps no adapter afterwards.
std::int32_t chain_to_array(sil_hba_chain& chain, T_SIL_HBA_LIST& list) {
    SIL_TRACE(kTraceList, "device count=%d  device size=%u  estimated memory used=%u", chain.count,
              static_cast<unsigned>(sizeof(T_SIL_HBA)), static_cast<unsigned>(chain.count * sizeof(T_SIL_HBA)));
    auto* array = new (std::nothrow) T_SIL_HBA*[chain.count > 0 ? chain.count : 1]{};
    if (array == nullptr) return SIL_ERR_NO_MEMORY;
    std::int32_t n = 0;
    for (T_SIL_HBA_L_LIST* node = chain.head; node != nullptr; node = node->next) {
        array[n++] = node->hba;
        node->hba = nullptr;
    }
    sil_findh_free_chain(chain);
    list = T_SIL_HBA_LIST{array, n};
    SIL_TRACE(kTraceList, "done filling in linked list");
    return SIL_OK;
}

}  // namespace

// ---- records ------------------------------------------------------------------------------------

T_SIL_HBA* sil_findh_new_hba() {
    auto* hba = new (std::nothrow) T_SIL_HBA{};
    if (hba == nullptr) return nullptr;
    for (char* field : {hba->hba_name, hba->vendor_name, hba->model, hba->firmware_version, hba->driver_version,
                        hba->serial_number}) {
        sil_copy_text(field, SIL_HBA_TEXT_LEN, "Unknown");
    }
    sil_copy_text(hba->host_wwn, "Unknown");
    return hba;
}

T_SIL_HBA_PORT* sil_findh_new_port() {
    auto* port = new (std::nothrow) T_SIL_HBA_PORT{};
    if (port == nullptr) return nullptr;
    sil_copy_text(port->port_wwn, "Unknown");
    sil_copy_text(port->os_name, "Unknown");
    sil_copy_text(port->node_wwn, "Unknown");
    return port;
}

void sil_findh_free_port(T_SIL_HBA_PORT* port) {
    if (port == nullptr) return;
    if (port->target_mapping != nullptr) delete[] port->target_mapping->entries;
    delete port->target_mapping;
    delete port;
}

void sil_findh_free_hba(T_SIL_HBA* hba) {
    if (hba == nullptr) return;
    for (T_SIL_HBA_PORT*& port : hba->ports) {
        sil_findh_free_port(port);
        port = nullptr;
    }
    delete hba;
}

bool sil_findh_add_port(T_SIL_HBA* hba, T_SIL_HBA_PORT* port) {
    if (hba->port_count >= static_cast<std::uint32_t>(SIL_HBA_MAX_PORTS)) {
        SIL_TRACE(SIL_TRACE_ERROR, "HBA %s already has %d ports, port %s left out", hba->hba_name, SIL_HBA_MAX_PORTS,
                  port->port_wwn);
        return false;
    }
    hba->ports[hba->port_count++] = port;
    return true;
}

// ---- the chain ------------------------------------------------------------------------------------

std::int32_t sil_findh_append(sil_hba_chain& chain, T_SIL_HBA* hba) {
    auto* node = new (std::nothrow) T_SIL_HBA_L_LIST{hba, chain.tail, nullptr};
    if (node == nullptr) {
        SIL_TRACE(SIL_TRACE_ERROR, "Failed during calloc of T_SIL_HBA_L_LIST");
        return SIL_ERR_NO_MEMORY;
    }
    upper_case(hba->host_wwn, sizeof hba->host_wwn);
    for (std::uint32_t i = 0; i < hba->port_count; ++i) {
        upper_case(hba->ports[i]->port_wwn, sizeof hba->ports[i]->port_wwn);
        upper_case(hba->ports[i]->node_wwn, sizeof hba->ports[i]->node_wwn);
    }
    SIL_TRACE(kTraceList, "Adding HBA %s to list ", hba->hba_name);
    SIL_TRACE(kTraceList, "hba_host_wwn %s ", hba->host_wwn);
    (chain.tail != nullptr ? chain.tail->next : chain.head) = node;
    chain.tail = node;
    ++chain.count;
    return SIL_OK;
}

void removeHBA(sil_hba_chain& chain, T_SIL_HBA_L_LIST* node) {
    (node->prev != nullptr ? node->prev->next : chain.head) = node->next;
    (node->next != nullptr ? node->next->prev : chain.tail) = node->prev;
    --chain.count;
    sil_findh_free_hba(node->hba);
    delete node;
}

void sil_findh_free_chain(sil_hba_chain& chain) {
    while (chain.head != nullptr) removeHBA(chain, chain.head);
}

// ---- merging and de-duplication ---------------------------------------------------------------------

void mergeHBAEntry(sil_hba_chain& chain, T_SIL_HBA_L_LIST* a, T_SIL_HBA_L_LIST* b) {
    T_SIL_HBA* into = a->hba;
    T_SIL_HBA* from = b->hba;
    // A library that lists each port as an adapter gives each "adapter" one port: its last.
    const bool known = from->port_count > 0 && has_port_wwn(into, from->ports[0]->port_wwn);
    const bool full = into->port_count >= static_cast<std::uint32_t>(SIL_HBA_MAX_PORTS);
    if (full && from->port_count > 0) {
        SIL_TRACE(SIL_TRACE_ERROR, "HBA %s already has %d ports, port %s left out", into->hba_name, SIL_HBA_MAX_PORTS,
                  from->ports[from->port_count - 1]->port_wwn);
    }
    if (!known && !full) {
        if (from->port_count > 0) {
            T_SIL_HBA_PORT*& last = from->ports[from->port_count - 1];
            into->ports[into->port_count++] = last;
            last = nullptr;
            --from->port_count;
        }
        if (std::strcmp(into->host_wwn, from->host_wwn) != 0) sil_copy_text(into->host_wwn, "0000000000000000");
    }
    removeHBA(chain, b);
}

void condensePortsBySN(sil_hba_chain& chain) {
    SIL_FUNCTION("condensePortsBySN");
    T_SIL_HBA_L_LIST* a = chain.head;
    while (a != nullptr) {
        T_SIL_HBA_L_LIST* b = nullptr;
        if (meaningful(a->hba->serial_number)) {
            for (b = a->next; b != nullptr; b = b->next) {
                if (std::strcmp(a->hba->serial_number, b->hba->serial_number) == 0) break;
            }
        }
        if (b == nullptr) {
            a = a->next;
            continue;
        }
        mergeHBAEntry(chain, a, b);
        a = chain.head;
    }
}

// The first duplicate pair's entry to remove, or nullptr when no pair is a duplicate.
static T_SIL_HBA_L_LIST* first_duplicate(const sil_hba_chain& chain) {
    for (T_SIL_HBA_L_LIST* a = chain.head; a != nullptr; a = a->next) {
        if (a->hba->hba_type != SIL_HBA_TYPE_FIBRE) continue;
        for (T_SIL_HBA_L_LIST* b = a->next; b != nullptr; b = b->next) {
            if (a->hba->source == SIL_HBA_SOURCE_SNIA && b->hba->source == SIL_HBA_SOURCE_SNIA) continue;
            const Duplicate kind = compare_wwns(a->hba, b->hba);
            if (kind != Duplicate::none) return remove_first(a->hba, b->hba, kind) ? a : b;
        }
    }
    return nullptr;
}

void removeDuplicatesByWWN(sil_hba_chain& chain) {
    SIL_FUNCTION("removeDuplicatesByWWN");
    // Each removal starts the search again from the head: the entry removed may be the one the
    // walk stood on.
    while (T_SIL_HBA_L_LIST* gone = first_duplicate(chain)) {
        SIL_TRACE(kTraceList, "Found duplicate WWNs, removing 1 adapter entry (WWN %s)", gone->hba->host_wwn);
        removeHBA(chain, gone);
    }
}

// ---- the library calls ---------------------------------------------------------------------------

std::int32_t SIL_CreateHBAList(T_SIL_HBA_LIST* list, const T_SIL_HBA_OPTIONS* options, std::uint32_t verbose) {
    SIL_FUNCTION("SIL_CreateHBAList");
    if (list == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    *list = T_SIL_HBA_LIST{nullptr, 0};
    T_SIL_HBA_OPTIONS o = options != nullptr ? *options : T_SIL_HBA_OPTIONS{};
    sil_findh_set_default_HBA_options(o);
    if (o.user_supplied_list) {
        SIL_TRACE(SIL_TRACE_ERROR, "User supplied list not supported at this time");
        SIL_RETURN(SIL_HBA_ERR_UNSUPPORTED);
    }
    if (o.use_hba_file && o.create_hba_file) {
        SIL_TRACE(SIL_TRACE_ERROR, "Cannot use both create_hba_file and hba_file options");
        SIL_RETURN(SIL_HBA_ERR_BAD_ARGUMENT);
    }

    sil_hba_chain chain;
    std::int32_t result = SIL_OK;
    if (!o.scsi) {
        const std::int32_t snia_rc = SNIA_scan_for_HBA(chain, o);
        if (snia_rc == SIL_ERR_NO_MEMORY) {
            sil_findh_free_chain(chain);
            SIL_RETURN(SIL_ERR_NO_MEMORY);
        }
        if (snia_rc != SIL_OK && !o.snia_only) {
            if (o.use_hba_file) {
                // The external adapter file has no format on this platform.
                SIL_TRACE(SIL_TRACE_ERROR, "openExtFileAndParse not supported on this platform");
                result = SIL_HBA_ERR_NOT_SUPPORTED;
            }
            const std::int32_t os_rc = os_specific_scan_for_HBA(chain, o);
            if (os_rc != SIL_OK) {
                SIL_TRACE(SIL_TRACE_ERROR, "Both SNIA and OS scan failed. SNIA RC = %d, OS scan RC = %d", snia_rc, os_rc);
            }
        }
    } else if (o.snia_only) {
        SIL_TRACE(SIL_TRACE_ERROR, "No HBA scan supported at this time");
        SIL_RETURN(SIL_HBA_ERR_UNSUPPORTED);
    } else {
        const std::int32_t os_rc = os_specific_scan_for_HBA(chain, o);
        if (os_rc != SIL_OK) SIL_TRACE(SIL_TRACE_ERROR, "OS scan for SCSI adapters failed, RC = %d", os_rc);
    }

    removeDuplicatesByWWN(chain);
    const std::int32_t rc = chain_to_array(chain, *list);
    if (rc != SIL_OK) {
        sil_findh_free_chain(chain);
        SIL_RETURN(rc);
    }
    SIL_RETURN(result);
}

std::int32_t SIL_DestroyHBAList(T_SIL_HBA_LIST* list) {
    SIL_FUNCTION("SIL_DestroyHBAList");
    if (list == nullptr || list->hbas == nullptr) SIL_RETURN(SIL_ERR_NO_DEVICE);
    for (std::int32_t i = 0; i < list->count; ++i) sil_findh_free_hba(list->hbas[i]);
    delete[] list->hbas;
    *list = T_SIL_HBA_LIST{nullptr, 0};
    SIL_RETURN(SIL_OK);
}
