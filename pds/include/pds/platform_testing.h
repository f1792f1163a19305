// Test hook of the platform seam: puts a fake provider in place of the real one.
#pragma once

#include <memory>

#include "pds/platform.h"

namespace pds {

// Makes `provider` the active platform for the rest of the process (tests only). The provider
// choice of pds_platform_start() is made first, so a later start does not replace it. Install
// once per process: like every provider, it is never destroyed, and one it replaces is not freed.
void install_platform_for_tests(std::unique_ptr<Platform> provider);

}  // namespace pds
