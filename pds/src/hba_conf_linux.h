// The registry of a Linux host as far as it has one: the SNIA HBA API vendor libraries its hba.conf names, as the key SOFTWARE\SNIA\HBA.
#pragma once

#include "pds/platform.h"

#include <memory>
#include <string>

namespace pds::linux_host {

// RegOpenKeyExA for `subkey` on a Linux host. SOFTWARE\SNIA\HBA (any case) answers from the
// configuration file of the SNIA common library ($LUNSCAN_HBA_CONF, else /etc/hba.conf): one
// subkey per library line "<name> <path>" with the string value LibraryFile = <path>. Without the
// file the key does not exist (kErrorFileNotFound). Every other key is kErrorNotSupported.
os_error open_registry_key(const std::string& subkey, std::unique_ptr<RegistryKey>& out);

}  // namespace pds::linux_host
