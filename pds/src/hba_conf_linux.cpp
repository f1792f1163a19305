// The key SOFTWARE\SNIA\HBA of a Linux host, read from the SNIA common library's hba.conf: one subkey per library with its LibraryFile.
//
// The file holds lines "<name> <path>" separated by blanks or tabs; lines whose first non-blank
// character is '#', blank lines and lines of a single word are skipped, and words after the path
// are ignored. Subkeys come in file order; a name repeated (without regard to case, as registry
// key names compare) keeps its first line.
#include "hba_conf_linux.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

namespace pds::linux_host {
namespace {

constexpr std::string_view kHbaKey = "SOFTWARE\\SNIA\\HBA";
constexpr std::string_view kLibraryFile = "LibraryFile";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

struct Library {
    std::string name;
    std::string path;
};

std::string conf_path() {
    const char* over = std::getenv("LUNSCAN_HBA_CONF");
    return over != nullptr && *over != '\0' ? over : "/etc/hba.conf";
}

os_error read_conf(std::vector<Library>& out) {
    errno = 0;
    std::ifstream in(conf_path());
    if (!in) return errno == EACCES ? kErrorAccessDenied : kErrorFileNotFound;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        Library lib;
        if (!(words >> lib.name) || lib.name[0] == '#' || !(words >> lib.path)) continue;
        bool repeated = false;
        for (const Library& other : out) repeated = repeated || same_name(other.name, lib.name);
        if (!repeated) out.push_back(std::move(lib));
    }
    return 0;
}

// SOFTWARE\SNIA\HBA (no library: its subkeys are the libraries) or one library's subkey.
class HbaKey final : public RegistryKey {
public:
    explicit HbaKey(std::vector<Library> libraries) : libraries_(std::move(libraries)) {}
    explicit HbaKey(std::string library_file) : library_file_(std::move(library_file)), is_library_(true) {}

    os_error enum_subkey(std::uint32_t index, std::string& name) override {
        name.clear();
        if (index >= libraries_.size()) return kErrorNoMoreItems;
        name = libraries_[index].name;
        return 0;
    }
    os_error enum_value(std::uint32_t index, std::string& name) override {
        name.clear();
        if (!is_library_ || index > 0) return kErrorNoMoreItems;
        name = kLibraryFile;
        return 0;
    }
    os_error query_string(const std::string& value_name, std::string& value) override {
        value.clear();
        if (!is_library_ || !same_name(value_name, kLibraryFile)) return kErrorFileNotFound;
        value = library_file_;
        return 0;
    }
    os_error query_dword(const std::string& value_name, std::uint32_t& value) override {
        value = 0;
        if (!is_library_ || !same_name(value_name, kLibraryFile)) return kErrorFileNotFound;
        return kErrorUnsupportedType;
    }

private:
    std::vector<Library> libraries_;
    std::string library_file_;
    bool is_library_ = false;
};

}  // namespace

os_error open_registry_key(const std::string& subkey, std::unique_ptr<RegistryKey>& out) {
    out.reset();
    const std::string_view key(subkey);
    if (!same_name(key.substr(0, kHbaKey.size()), kHbaKey) || (key.size() > kHbaKey.size() && key[kHbaKey.size()] != '\\')) {
        return kErrorNotSupported;
    }
    std::vector<Library> libraries;
    if (const os_error e = read_conf(libraries); e != 0) return e;
    if (key.size() == kHbaKey.size()) {
        out = std::make_unique<HbaKey>(std::move(libraries));
        return 0;
    }
    const std::string_view name = key.substr(kHbaKey.size() + 1);
    for (Library& lib : libraries) {
        if (same_name(lib.name, name)) {
            out = std::make_unique<HbaKey>(std::move(lib.path));
            return 0;
        }
    }
    return kErrorFileNotFound;
}

}  // namespace pds::linux_host
