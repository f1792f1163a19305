// -diff: two JSON inventories read and checked, what changed between them, as a table or a JSON document.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "inquiry_json.h"
#include "inquiry_tables_vocab.h"



using json = inq_json;

namespace {

// A member of an object, or null when the value is no object or lacks it; inventories come from
// files anybody may have edited, so nothing is taken for granted.
const json& member(const json& object, const char* key) {
    static const json kNull;
    if (!object.is_object()) return kNull;
    const auto it = object.find(key);
    return it == object.end() ? kNull : *it;
}

std::string value_text(const json& value) {
    if (value.is_null()) return "-";
    if (value.is_string()) return value.get<std::string>();
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The names a device is related to as a path: its pseudo device, the paths it fronts, its siblings.
std::set<std::string> related_names(const json& device) {
    std::set<std::string> names;
    if (member(device, "parent").is_string()) names.insert(member(device, "parent").get<std::string>());
    for (const char* key : {"paths", "siblings"}) {
        const json& list = member(device, key);
        if (!list.is_array()) continue;
        for (const json& name : list)
            if (name.is_string()) names.insert(name.get<std::string>());
    }
    return names;
}

std::vector<std::string> only_in(const std::set<std::string>& a, const std::set<std::string>& b) {
    std::vector<std::string> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
    return text.empty() ? "-" : text;
}

// What names the unit behind a device: compared under the same name, shown for one added or removed.
constexpr const char* kIdentityKeys[] = {"serial", "array_serial", "volume", "wwn"};

json identity_value(const json& device, const char* key) {
    return std::strcmp(key, "volume") == 0 ? member(member(device, "array"), "volume") : member(device, key);
}

std::string identity_text(const json& device) {
    const json& array_serial = member(device, "array_serial");
    const json& volume = member(member(device, "array"), "volume");
    if (array_serial.is_string() && volume.is_string())
        return array_serial.get<std::string>() + "/" + volume.get<std::string>();
    return value_text(member(device, "serial"));
}

T_INVENTORY_CHANGE presence(const char* kind, const std::string& name, const json& device, bool added) {
    T_INVENTORY_CHANGE c{kind, name, "-", "-", nullptr, nullptr};
    (added ? c.new_text : c.old_text) = identity_text(device);
    (added ? c.new_value : c.old_value) = device;
    return c;
}

void compare_device(const std::string& name, const json& before, const json& after, std::vector<T_INVENTORY_CHANGE>& out) {
    const json& old_kb = member(member(before, "capacity"), "kb");
    const json& new_kb = member(member(after, "capacity"), "kb");
    if (old_kb != new_kb) {
        const auto kb_text = [](const json& kb) { return kb.is_null() ? std::string("-") : value_text(kb) + " KB"; };
        out.push_back({"resized", name, kb_text(old_kb), kb_text(new_kb), old_kb, new_kb});
    }
    const std::set<std::string> old_paths = related_names(before), new_paths = related_names(after);
    if (old_paths != new_paths) {
        const auto lost = only_in(old_paths, new_paths), gained = only_in(new_paths, old_paths);
        out.push_back({"re-pathed", name, joined(lost), joined(gained), lost, gained});
    }
    T_INVENTORY_CHANGE identity{"re-identified", name, "", "", json::object(), json::object()};
    for (const char* key : kIdentityKeys) {
        const json old_value = identity_value(before, key), new_value = identity_value(after, key);
        if (old_value == new_value) continue;
        const std::string gap = identity.old_text.empty() ? "" : " ";
        identity.old_text += gap + key + "=" + value_text(old_value);
        identity.new_text += gap + key + "=" + value_text(new_value);
        identity.old_value[key] = old_value;
        identity.new_value[key] = new_value;
    }
    if (!identity.old_text.empty()) out.push_back(identity);
}

// The devices of an inventory by name (read_inventory made sure each has one, and only once).
std::map<std::string, const json*> by_name(const json& inventory) {
    std::map<std::string, const json*> devices;
    for (const json& device : inventory["devices"]) devices.emplace(device["name"].get<std::string>(), &device);
    return devices;
}

std::string check_inventory(const json& doc) {
    if (member(doc, "format") != INQ_JSON_INVENTORY) return "it has no \"format\": \"lunscan-inventory\"";
    if (member(doc, "version") != INQ_JSON_VERSION)
        return "its version is " + value_text(member(doc, "version")) + ", not " + std::to_string(INQ_JSON_VERSION);
    const json& devices = member(doc, "devices");
    if (!devices.is_array()) return "it has no \"devices\" list";
    std::set<std::string> names;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const json& name = member(devices[i], "name");
        if (!name.is_string()) return "device " + std::to_string(i + 1) + " has no name";
        if (!names.insert(name.get<std::string>()).second) return name.get<std::string>() + " is listed twice";
    }
    return {};
}

std::size_t name_width(const std::vector<T_INVENTORY_CHANGE>& changes) {
    std::size_t longest = 8;
    for (const T_INVENTORY_CHANGE& c : changes) longest = std::max(longest, c.name.size());
    return longest + 1;
}

}  // namespace

std::optional<json> read_inventory(std::string_view text, std::string& why) {
    json doc;
    try {
        doc = json::parse(text.begin(), text.end());
    } catch (const json::parse_error& e) {
        why = "is not JSON (byte " + std::to_string(e.byte) + ")";
        return std::nullopt;
    } catch (const json::exception&) {
        // A number beyond what a JSON number can hold (1e400) is out of range, not a parse error.
        why = "is not JSON (a number out of range)";
        return std::nullopt;
    }
    if (const std::string wrong = check_inventory(doc); !wrong.empty()) {
        why = "is not a lunscan inventory: " + wrong;
        return std::nullopt;
    }
    return doc;
}

std::vector<T_INVENTORY_CHANGE> diff_inventories(const json& before, const json& after) {
    std::vector<T_INVENTORY_CHANGE> changes;
    const auto old_names = by_name(before), new_names = by_name(after);
    for (const json& device : before["devices"]) {
        const std::string name = device["name"].get<std::string>();
        if (const auto now = new_names.find(name); now != new_names.end())
            compare_device(name, device, *now->second, changes);
        else
            changes.push_back(presence("removed", name, device, false));
    }
    for (const json& device : after["devices"]) {
        const std::string name = device["name"].get<std::string>();
        if (!old_names.contains(name)) changes.push_back(presence("added", name, device, true));
    }
    return changes;
}

void print_inventory_changes(std::FILE* out, const std::vector<T_INVENTORY_CHANGE>& changes, bool as_json) {
    if (as_json) {
        json doc = {{"format", "lunscan-diff"}, {"version", INQ_JSON_VERSION}, {"changes", json::array()}};
        for (const T_INVENTORY_CHANGE& c : changes)
            doc["changes"].push_back({{"change", c.kind}, {"name", c.name}, {"old", c.old_value}, {"new", c.new_value}});
        print_json(out, doc);
        return;
    }
    const std::size_t width = name_width(changes);
    const std::string rule = dashes(width + 64);
    std::fprintf(out, "\n%s\n%-13s:%s:%-24s:%s\n%s\n", rule.c_str(), "CHANGE", padded_name("DEVICE", width).c_str(),
                 "OLD", "NEW", rule.c_str());
    for (const T_INVENTORY_CHANGE& c : changes)
        std::fprintf(out, "%-13s:%s:%-24s:%s\n", c.kind.c_str(), padded_name(c.name, width).c_str(), c.old_text.c_str(),
                     c.new_text.c_str());
}

int run_inventory_diff(const char* old_path, const char* new_path, bool as_json, std::FILE* out, std::FILE* err) {
    json docs[2];
    const char* paths[2] = {old_path, new_path};
    for (int i = 0; i < 2; ++i) {
        std::error_code ignored;
        std::ifstream file;
        if (std::filesystem::is_regular_file(paths[i], ignored)) file.open(paths[i], std::ios::binary);
        std::ostringstream text;
        if (file.is_open()) text << file.rdbuf();
        if (!file.is_open() || file.bad()) {
            std::fprintf(err, "lunscan: -diff: cannot read %s\n", paths[i]);
            return INQ_DIFF_ERROR;
        }
        std::string why;
        std::optional<json> doc = read_inventory(text.str(), why);
        if (!doc) {
            std::fprintf(err, "lunscan: -diff: %s %s\n", paths[i], why.c_str());
            return INQ_DIFF_ERROR;
        }
        docs[i] = std::move(*doc);
    }
    const std::vector<T_INVENTORY_CHANGE> changes = diff_inventories(docs[0], docs[1]);
    print_inventory_changes(out, changes, as_json);
    std::fflush(out);
    return changes.empty() ? INQ_DIFF_SAME : INQ_DIFF_CHANGED;
}
