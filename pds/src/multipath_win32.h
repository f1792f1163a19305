// The win32 provider's client of the multipathing driver's user library.
#pragma once

#include "pds/product_clients.h"

#include <memory>
#include <string>

namespace pds {

// The driver's user library, loaded on first use and kept for the process (never destroyed).
MultipathClient& win32_multipath_driver();

// A client of the library file `library_file` (searched in the application's directory and
// System32 only), loaded on its first call and kept while the client lives.
std::unique_ptr<MultipathClient> make_win32_multipath_driver(const std::string& library_file);

}  // namespace pds
