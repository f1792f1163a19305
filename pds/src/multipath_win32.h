// The win32 provider's client of the multipathing driver's user library.
#pragma once

#include "pds/product_clients.h"

namespace pds {

// The driver's user library, loaded on first use and kept for the process (never destroyed).
MultipathClient& win32_multipath_driver();

}  // namespace pds
