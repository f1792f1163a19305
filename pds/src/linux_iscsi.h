// The linux provider's iSCSI initiator in the registry's words: open-iscsi's initiator name and sessions as the keys the Windows initiator keeps.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pds/platform.h"

namespace pds {

// open-iscsi's initiator-name file.
inline constexpr const char* kIscsiInitiatorFile = "/etc/iscsi/initiatorname.iscsi";

// The name an initiator-name file gives ("InitiatorName=iqn...."), or empty.
std::string iscsi_initiator_name_from(std::string_view file_text);
// The target portals of `iscsiadm -m session` output, each as "address port" (the form of the
// Windows initiator's Send Targets value names), in the order listed, each once.
std::vector<std::string> iscsi_portals_from(std::string_view session_output);

// Answers RegOpenKeyExA for the iSCSI keys: true when `subkey` is one of them, with `error` the
// answer (0 and `out` set, or kErrorFileNotFound when open-iscsi is not configured); false for
// any other key. `initiator_file` is the initiator-name file to read.
bool linux_iscsi_registry_key(Platform& host, const std::string& subkey, const char* initiator_file,
                              std::unique_ptr<RegistryKey>& out, os_error& error);

}  // namespace pds
