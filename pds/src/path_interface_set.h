// A disk-interface set made of a fixed list of paths, for providers that have no SetupDi of their own (Linux, a captured host).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "pds/platform.h"

namespace pds {

// The paths as they were when the set was made, as SetupDi keeps its snapshot.
class PathInterfaceSet final : public DiskInterfaceSet {
public:
    explicit PathInterfaceSet(std::vector<std::string> paths) : paths_(std::move(paths)) {}

    os_error enumerate(std::uint32_t index) override { return index < paths_.size() ? 0 : kErrorNoMoreItems; }
    // SetupDi's detail record: a 4-byte size field, then the path and its NUL.
    os_error detail_size(std::uint32_t index, std::uint32_t& required_size) override {
        required_size = 0;
        if (index >= paths_.size()) return kErrorNoMoreItems;
        required_size = static_cast<std::uint32_t>(4 + paths_[index].size() + 1);
        return kErrorInsufficientBuffer;
    }
    os_error detail_path(std::uint32_t index, std::string& path) override {
        path.clear();
        if (index >= paths_.size()) return kErrorNoMoreItems;
        path = paths_[index];
        return 0;
    }

private:
    std::vector<std::string> paths_;
};

}  // namespace pds
