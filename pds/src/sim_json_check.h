// The JSON checking every simulated data file shares: one-pass parsing that refuses duplicate keys, and faults named by JSON path.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace pds::sim::check {

// A fault found while checking; caught at the loader's edge, never leaves pds.
struct Fault {
    std::string text;
};

[[noreturn]] void fail(std::string text);

// Keeps a message on one line whatever bytes the file holds.
std::string printable(std::string_view text);

// "host.release" for plain keys, "tools['iscsicli ListInitiators']" for free-form ones.
std::string member_path(const std::string& parent, std::string_view key);
std::string quoted(const std::string& path);
bool is_comment(std::string_view key);

// Parses a whole document, refusing duplicate keys and nesting deeper than 32 levels; syntax
// errors become a Fault "line 3, column 5: ...".
nlohmann::json parse_document(std::string_view text);

void require_object(const nlohmann::json& value, const std::string& path);
// Refuses keys outside `allowed`; comments may stand anywhere.
void known_keys_only(const nlohmann::json& object, const std::string& path,
                     std::initializer_list<std::string_view> allowed);
// A string of at most `max_bytes` bytes without NUL.
std::string text(const nlohmann::json& value, const std::string& path, std::size_t max_bytes);
// An integer in [low, high]; floating-point numbers are refused even when whole.
std::int64_t integer(const nlohmann::json& value, const std::string& path, std::int64_t low, std::int64_t high);
// An integer 0 to 4294967295, or "0x" and 1 to 8 hex digits.
std::uint32_t hex_or_unsigned32(const nlohmann::json& value, const std::string& path);

// One of the named values; anything else is refused with the list of names.
template <typename E>
E choice(const nlohmann::json& value, const std::string& path,
         std::initializer_list<std::pair<std::string_view, E>> names) {
    if (value.is_string()) {
        for (const auto& [name, e] : names) {
            if (value.get_ref<const std::string&>() == name) return e;
        }
    }
    std::string list;
    for (const auto& entry : names) list += (list.empty() ? "\"" : ", \"") + std::string(entry.first) + "\"";
    fail(quoted(path) + " must be one of " + list);
}

}  // namespace pds::sim::check
