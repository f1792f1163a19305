// Adapter discovery, the parts private to the library: the lists under construction, the scans, merging and de-duplication, WWN texts and the vendor table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sil/silfinda.h"

// Statuses of adapter discovery.
inline constexpr std::int32_t SIL_HBA_ERR_BAD_ARGUMENT = -112;
inline constexpr std::int32_t SIL_HBA_ERR_UNSUPPORTED = -114;
inline constexpr std::int32_t SIL_HBA_ERR_NO_TOOL = -1301;        // iscsicli.exe not found or not run
inline constexpr std::int32_t SIL_HBA_ERR_NOT_SUPPORTED = -1309;
inline constexpr std::int32_t SIL_HBA_ERR_NO_ADAPTER = -1310;     // the SNIA scan added nothing
inline constexpr std::int32_t SIL_HBA_ERR_NO_INITIATOR = -1320;   // no initiator name anywhere
inline constexpr std::int32_t SIL_HBA_ERR_BAD_WWN = -1328;

inline constexpr std::uint32_t SIL_HBA_SOURCE_SNIA = 1;
inline constexpr std::uint32_t SIL_HBA_SOURCE_OS = 2;
inline constexpr std::uint32_t SIL_HBA_TYPE_FIBRE = 1;

// ---- the adapter list while it is built: doubly linked, in discovery order ---------------------
struct T_SIL_HBA_L_LIST {
    T_SIL_HBA* hba;
    T_SIL_HBA_L_LIST* prev;
    T_SIL_HBA_L_LIST* next;
};

struct sil_hba_chain {
    T_SIL_HBA_L_LIST* head = nullptr;
    T_SIL_HBA_L_LIST* tail = nullptr;
    std::int32_t count = 0;
};

// A zero-filled adapter with every text "Unknown", or nullptr when memory runs out.
T_SIL_HBA* sil_findh_new_hba();
// A zero-filled port with port_wwn, os_name and node_wwn "Unknown", or nullptr.
T_SIL_HBA_PORT* sil_findh_new_port();
void sil_findh_free_port(T_SIL_HBA_PORT* port);
// Frees the adapter with its ports and their mappings.
void sil_findh_free_hba(T_SIL_HBA* hba);
// Gives the port to the adapter when it has room: false (the port untouched) when it already holds
// SIL_HBA_MAX_PORTS ports, which is traced.
bool sil_findh_add_port(T_SIL_HBA* hba, T_SIL_HBA_PORT* port);

// Appends the adapter, its WWNs upper-cased; -101 when memory runs out (the adapter is not taken).
std::int32_t sil_findh_append(sil_hba_chain& chain, T_SIL_HBA* hba);
// Unlinks the node and frees it and its adapter.
void removeHBA(sil_hba_chain& chain, T_SIL_HBA_L_LIST* node);
// Frees every node and adapter.
void sil_findh_free_chain(sil_hba_chain& chain);

// Merges B into A (one adapter's ports reported as separate adapters) and frees B.
void mergeHBAEntry(sil_hba_chain& chain, T_SIL_HBA_L_LIST* a, T_SIL_HBA_L_LIST* b);
void condensePortsBySN(sil_hba_chain& chain);
void removeDuplicatesByWWN(sil_hba_chain& chain);

// ---- the scans ---------------------------------------------------------------------------------
// 0 when at least one adapter was added; -1310 when none; the SNIA status when there is no
// library; -101 when memory runs out.
std::int32_t SNIA_scan_for_HBA(sil_hba_chain& chain, const T_SIL_HBA_OPTIONS& options);
// Adapters the virtualisation host supplies to a guest; -1309 where there is none.
std::int32_t os_specific_scan_for_HBA(sil_hba_chain& chain, const T_SIL_HBA_OPTIONS& options);

// ---- WWN texts and the vendor table ------------------------------------------------------------
// 8 bytes as 16 upper-case hexadecimal digits into `text` (at least 17 bytes).
void sil_findh_wwn_to_text(const std::uint8_t wwn[8], char* text, std::size_t text_size);
// 16 hexadecimal digits (either case) to 8 bytes; false for any other text.
bool sil_findh_text_to_wwn(const char* text, std::uint8_t wwn[8]);
// Lower-case hexadecimal of `length` bytes into `text`, cut to the field.
void sil_findh_hex_lower(const std::uint8_t* bytes, std::size_t length, char* text, std::size_t text_size);

// The organisation registered for a 24-bit IEEE company identifier, or nullptr.
const char* sil_findh_oui_name(std::uint32_t oui);
// The company identifier a WWN text carries by its NAA type (1 and 2: digits 5-10; 5 and 6:
// digits 2-7), looked up in the vendor table. Always sets `vendor_code` (0 when the WWN carries
// none). 0 with the name copied (cut to the field) on a hit; -1 otherwise, `name` untouched.
std::int32_t sil_findh_vendor_by_wwn(const char* wwn, std::uint32_t& vendor_code, char* name, std::size_t name_size);
