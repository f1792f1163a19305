// The JSON forms of the reports (-json) and the comparison of two JSON inventories (-diff).
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "inquiry.h"

// Members keep the order they are documented in.
using inq_json = nlohmann::ordered_json;

// ---- documents (inquiry_json.cpp) -----------------------------------------------------------------
inline constexpr int INQ_JSON_VERSION = 1;
inline constexpr const char* INQ_JSON_INVENTORY = "lunscan-inventory";

// Whether the report the options choose has a JSON form.
bool json_report_available(const T_DISPLAY_OPTIONS& opts);
// One device as the inventory lists it; `list` is the whole list its relations are looked up in.
inq_json device_json(const T_SIL_DEVICE& dev, const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl);
// The inventory of the devices the display filter shows.
inq_json inventory_json(const T_SIL_DEVICE_LIST* list, const create_dev_list* cdl,
                              const T_DISPLAY_OPTIONS* opts);
inq_json adapters_json(const T_SIL_HBA_LIST* hbas);
inq_json initiators_json(const T_SIL_ISCSI_LIST* iscsis);
inq_json replication_json(const T_SIL_DEVICE_LIST* list, const T_SIL_RPX_INFO& info);
// The document, indented by two, and a line end. Texts that are not UTF-8 (device bytes) have
// their bad bytes replaced rather than ending the run.
void print_json(std::FILE* out, const inq_json& document);
// The JSON form of the device, adapter or iSCSI report the options choose. Returns 0.
int run_json_display(const T_INQ_LISTS* lists, const create_dev_list* cdl, const T_DISPLAY_OPTIONS* opts);

// ---- the diff (inquiry_diff.cpp) ------------------------------------------------------------------
inline constexpr int INQ_DIFF_SAME = 0;
inline constexpr int INQ_DIFF_CHANGED = 1;
inline constexpr int INQ_DIFF_ERROR = 2;

// One row of the diff: kind is "removed", "added", "resized", "re-pathed" or "re-identified".
struct T_INVENTORY_CHANGE {
    std::string kind;
    std::string name;
    std::string old_text;  // the table's cells
    std::string new_text;
    inq_json old_value;  // the JSON form's values
    inq_json new_value;
};

// Reads an inventory document from text: the document, or nothing with `why` saying what is wrong.
std::optional<inq_json> read_inventory(std::string_view text, std::string& why);
// What changed from `before` to `after`, both documents read_inventory accepted.
std::vector<T_INVENTORY_CHANGE> diff_inventories(const inq_json& before, const inq_json& after);
// Prints the changes as a table or, with `as_json`, as a JSON document on `out`.
void print_inventory_changes(std::FILE* out, const std::vector<T_INVENTORY_CHANGE>& changes, bool as_json);
// The whole -diff run: INQ_DIFF_SAME, INQ_DIFF_CHANGED, or INQ_DIFF_ERROR after a message on `err`.
int run_inventory_diff(const char* old_path, const char* new_path, bool as_json, std::FILE* out, std::FILE* err);
