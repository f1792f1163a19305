// The JSON checking every simulated data file shares: one-pass parsing that refuses duplicate keys, and faults named by JSON path.
#include "sim_json_check.h"

#include <limits>
#include <set>
#include <vector>

namespace pds::sim::check {

using json = nlohmann::json;

namespace {
constexpr std::size_t kMaxNesting = 32;
constexpr std::size_t kMaxShownKey = 64;
}  // namespace

[[noreturn]] void fail(std::string text) { throw Fault{std::move(text)}; }

// Keeps a message on one line whatever bytes the file holds.
std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u == 0x7F) ? '?' : c;
    }
    return out;
}

namespace {
bool is_identifier(std::string_view key) {
    if (key.empty() || (key[0] >= '0' && key[0] <= '9')) return false;
    for (const char c : key) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}
}  // namespace

// "host.release" for plain keys, "tools['iscsicli ListInitiators']" for free-form ones.
std::string member_path(const std::string& parent, std::string_view key) {
    if (is_identifier(key)) return parent.empty() ? std::string(key) : parent + "." + std::string(key);
    std::string shown = printable(key.substr(0, kMaxShownKey));
    if (key.size() > kMaxShownKey) shown += "...";
    return parent + "['" + shown + "']";
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

namespace {

// Builds the document as the JSON library's own builder does, and refuses duplicate keys (the
// builder would keep the last one silently) and absurd nesting. One pass over the text, linear in
// it: the library's callback parser rescans a container at the end of each object in it, which is
// quadratic for a host of tens of thousands of devices.
class CheckedDocument {
public:
    explicit CheckedDocument(json& root) : dom_(root, true) {}

    bool null() { return scalar() && dom_.null(); }
    bool boolean(bool v) { return scalar() && dom_.boolean(v); }
    bool number_integer(json::number_integer_t v) { return scalar() && dom_.number_integer(v); }
    bool number_unsigned(json::number_unsigned_t v) { return scalar() && dom_.number_unsigned(v); }
    bool number_float(json::number_float_t v, const json::string_t& s) { return scalar() && dom_.number_float(v, s); }
    bool string(json::string_t& v) { return scalar() && dom_.string(v); }
    bool binary(json::binary_t& v) { return scalar() && dom_.binary(v); }
    bool start_object(std::size_t n) { return open(false) && dom_.start_object(n); }
    bool start_array(std::size_t n) { return open(true) && dom_.start_array(n); }
    bool end_object() { return close() && dom_.end_object(); }
    bool end_array() { return close() && dom_.end_array(); }

    bool key(json::string_t& k) {
        Frame& frame = frames_.back();
        key_ = k;
        if (!frame.keys.insert(key_).second) fail("duplicate key " + quoted(member_path(frame.path, key_)));
        return dom_.key(k);
    }

    template <class Exception>
    bool parse_error(std::size_t position, const std::string& token, const Exception& e) {
        return dom_.parse_error(position, token, e);
    }

private:
    struct Frame {
        std::string path;
        bool array = false;
        std::size_t index = 0;
        std::set<std::string, std::less<>> keys;
    };

    bool open(bool array) {
        if (frames_.size() >= kMaxNesting) fail("nesting deeper than " + std::to_string(kMaxNesting) + " levels");
        frames_.push_back({child_path(), array, 0, {}});
        return true;
    }

    bool close() {
        frames_.pop_back();
        return scalar();
    }

    // A value is complete: the next element of an array has the next index.
    bool scalar() {
        if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
        return true;
    }

    std::string child_path() const {
        if (frames_.empty()) return {};
        const Frame& frame = frames_.back();
        if (frame.array) return frame.path + "[" + std::to_string(frame.index) + "]";
        return member_path(frame.path, key_);
    }

    nlohmann::detail::json_sax_dom_parser<json> dom_;
    std::vector<Frame> frames_;
    std::string key_;
};

// "line 3, column 5: syntax error ..." out of the parser's message.
std::string parse_fault(const json::parse_error& e) {
    std::string_view what = e.what();
    constexpr std::string_view marker = "parse error at ";
    if (const auto at = what.find(marker); at != std::string_view::npos) {
        what.remove_prefix(at + marker.size());
    } else if (const auto bracket = what.find("] "); bracket != std::string_view::npos) {
        what.remove_prefix(bracket + 2);
    }
    return printable(what);
}

}  // namespace

bool is_comment(std::string_view key) { return key == "comment" || key == "_comment"; }

void require_object(const json& value, const std::string& path) {
    if (!value.is_object()) fail(path.empty() ? "the top level must be an object" : quoted(path) + " must be an object");
}

// Refuses keys outside `allowed` (a typo would otherwise pass unnoticed); comments may stand anywhere.
void known_keys_only(const json& object, const std::string& path, std::initializer_list<std::string_view> allowed) {
    for (const auto& [key, value] : object.items()) {
        if (is_comment(key)) continue;
        bool known = false;
        for (const std::string_view name : allowed) known = known || key == name;
        if (!known) fail("unknown key " + quoted(member_path(path, key)));
    }
}

std::string text(const json& value, const std::string& path, std::size_t max_bytes) {
    if (!value.is_string()) fail(quoted(path) + " must be a string");
    const auto& s = value.get_ref<const std::string&>();
    if (s.size() > max_bytes) fail(quoted(path) + " is longer than " + std::to_string(max_bytes) + " bytes");
    if (s.find('\0') != std::string::npos) fail(quoted(path) + " must not contain a NUL character");
    return s;
}

// An integer in [low, high]; floating-point numbers are refused even when whole.
std::int64_t integer(const json& value, const std::string& path, std::int64_t low, std::int64_t high) {
    bool ok = false;
    std::int64_t result = 0;
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        ok = u <= static_cast<std::uint64_t>(high);
        result = ok ? static_cast<std::int64_t>(u) : 0;
    } else if (value.is_number_integer()) {
        result = value.get<std::int64_t>();
        ok = true;
    }
    if (!ok || result < low || result > high) {
        fail(quoted(path) + " must be an integer from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return result;
}

json parse_document(std::string_view text) {
    json doc;
    CheckedDocument checked(doc);
    try {
        json::sax_parse(text.begin(), text.end(), &checked);
    } catch (const json::parse_error& e) {
        fail(parse_fault(e));
    }
    return doc;
}

// The type code as a number or as "0x" and 1 to 8 hex digits, the way such codes are usually written.
std::uint32_t hex_or_unsigned32(const json& value, const std::string& path) {
    if (!value.is_string()) {
        return static_cast<std::uint32_t>(integer(value, path, 0, std::numeric_limits<std::uint32_t>::max()));
    }
    const auto& s = value.get_ref<const std::string&>();
    const bool shaped = s.size() > 2 && s.size() <= 10 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
                        s.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
    if (!shaped) fail(quoted(path) + " must be an integer or \"0x\" and 1 to 8 hex digits");
    return static_cast<std::uint32_t>(std::stoul(s.substr(2), nullptr, 16));
}

}  // namespace pds::sim::check
