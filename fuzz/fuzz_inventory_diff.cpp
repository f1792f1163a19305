// Fuzz target: -diff's reader of a JSON inventory, and the comparison of what it accepts with a fixed inventory both ways.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "inquiry_json.h"

namespace {

// A small inventory with every member the comparison reads, so that a mutated input meets each rule.
constexpr std::string_view kReference = R"({"format": "lunscan-inventory", "version": 1, "devices": [
  {"name": "d1", "serial": "DRV0000001", "array_serial": "000184600312", "array": {"volume": "00123"},
   "wwn": "60b7d210000184600312000000000123", "capacity": {"kb": 1024}, "parent": "p", "paths": [], "siblings": ["d2"]},
  {"name": "p", "paths": ["d1", "d2"]}]})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::FILE* sink = std::fopen(
#ifdef _WIN32
        "NUL",
#else
        "/dev/null",
#endif
        "w");
    std::string why;
    static const inq_json reference = *read_inventory(kReference, why);
    const std::optional<inq_json> doc =
        read_inventory(std::string_view(reinterpret_cast<const char*>(data), size), why);
    if (!doc) return 0;
    for (const bool as_json : {false, true}) {
        print_inventory_changes(sink, diff_inventories(reference, *doc), as_json);
        print_inventory_changes(sink, diff_inventories(*doc, reference), as_json);
    }
    return 0;
}
