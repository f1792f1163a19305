// The simulated host's SNIA HBA API libraries: the "hba_libraries" key, and modules whose symbols are plain C entry points, one set per library of the file.
#include "sim_hba.h"
#include "sim_hba_entry.h"
#include "sim_json_check.h"

#include <array>
#include <atomic>
#include <utility>

namespace pds::sim {
namespace {

using json = nlohmann::json;

constexpr std::size_t kMaxLibraryPath = 259;  // MAX_PATH without its NUL

bool same_path(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

bool is_common_library(std::string_view path) { return same_path(path, "HBAAPI.DLL"); }

// The state each set of entry points answers for: the library of that place in the file, of the
// provider that loaded it last (a process has one provider; tests that make several load one
// provider's libraries at a time).
std::array<std::atomic<hba::LibraryState*>, kMaxSimHbaLibraries> g_slots{};

template <std::size_t I>
hba::LibraryState* slot_state() {
    return g_slots[I].load(std::memory_order_acquire);
}

using SymbolLookup = void* (*)(const char*);

template <std::size_t... I>
constexpr std::array<std::pair<SymbolLookup, SymbolLookup>, sizeof...(I)> make_lookups(std::index_sequence<I...>) {
    return {std::pair<SymbolLookup, SymbolLookup>{&hba::EntryPoints<&slot_state<I>>::common_symbol,
                                                  &hba::EntryPoints<&slot_state<I>>::vendor_symbol}...};
}

// Per slot: the common library's lookup, the vendor library's lookup.
constexpr auto kLookups = make_lookups(std::make_index_sequence<kMaxSimHbaLibraries>{});

class SimHbaModule final : public Module {
public:
    SimHbaModule(std::shared_ptr<hba::LibraryState> state, SymbolLookup lookup)
        : state_(std::move(state)), lookup_(lookup) {}
    void* symbol(const char* name) override { return lookup_(name); }

private:
    std::shared_ptr<hba::LibraryState> state_;  // keeps the slot's state alive while the module is
    SymbolLookup lookup_;
};

}  // namespace

namespace check {

std::vector<SimHbaLibrary> read_hba_libraries(const json& value, const std::string& path) {
    require_object(value, path);
    std::vector<SimHbaLibrary> out;
    for (const auto& [name, library] : value.items()) {
        if (is_comment(name)) continue;
        const std::string where = member_path(path, name);
        if (name.empty() || name.size() > kMaxLibraryPath || name.find('\0') != std::string::npos) {
            fail("library path " + quoted(where) + " must be 1 to " + std::to_string(kMaxLibraryPath) + " bytes without NUL");
        }
        for (const SimHbaLibrary& other : out) {
            if (same_path(other.path, name)) fail("library path " + quoted(where) + " differs from " + quoted(other.path) + " only in case");
        }
        if (out.size() == kMaxSimHbaLibraries) {
            fail(quoted(path) + " holds more than " + std::to_string(kMaxSimHbaLibraries) + " libraries");
        }
        SimHbaLibrary lib;
        lib.path = name;
        lib.library = hba::read_library(library, where, {"resolved_path"});
        lib.resolved_path = library.contains("resolved_path")
                                ? text(library.at("resolved_path"), member_path(where, "resolved_path"), kMaxLibraryPath)
                                : name;
        out.push_back(std::move(lib));
    }
    return out;
}

}  // namespace check

SimHbaHost::SimHbaHost(const std::vector<SimHbaLibrary>& libraries) {
    for (const SimHbaLibrary& lib : libraries) {
        libraries_.push_back({lib.path, lib.resolved_path, is_common_library(lib.path),
                              std::make_shared<hba::LibraryState>(lib.library)});
    }
}

os_error SimHbaHost::load_module(const std::string& path, std::unique_ptr<Module>& out, std::string& resolved_path,
                                 std::string& message) const {
    out.reset();
    resolved_path.clear();
    message.clear();
    for (std::size_t slot = 0; slot < libraries_.size(); ++slot) {
        const Loaded& lib = libraries_[slot];
        if (!same_path(lib.path, path)) continue;
        g_slots[slot].store(lib.state.get(), std::memory_order_release);
        out = std::make_unique<SimHbaModule>(lib.state, lib.common ? kLookups[slot].first : kLookups[slot].second);
        resolved_path = lib.resolved_path;
        return 0;
    }
    message = "The specified module could not be found.";  // what the system says of error 126
    return kErrorModNotFound;
}

}  // namespace pds::sim
