// The phone book of Linux desktops: an entry is a NetworkManager connection profile of type VPN
// (PPTP), written through libnm. Every call is synchronous for its caller and ends by its
// deadline; the conversation with the daemon runs on a thread of its own, which winds down and
// frees what it holds after its caller has gone on.
#pragma once

#include <chrono>
#include <string>

#include "platform/posix/phone_book/ras_record_text.h"
#include "platform/ras.h"

namespace kelvo {

using Deadline = std::chrono::steady_clock::time_point;

enum class NetworkManagerPresence {
  kAbsent,   // nothing listens at the system bus, or no NetworkManager on it
  kAnswers,  // NetworkManager owns its name and answered
  kFails,    // the bus or the daemon is there but refused us or did not answer in time
};
NetworkManagerPresence FindNetworkManager(Deadline deadline);

// Only a PPTP VPN profile of this account, named `name`, is ours. Updates it (it keeps its
// password), or readies a new one, which the daemon gets together with its credentials; nothing
// else is touched.
DWORD NmSetEntryProperties(const std::string& name, const RASENTRYW& entry, Deadline deadline);

// The fields our profile holds (as in ApplyEntry of nm_phone_book.cpp), of a new one too; the
// others stay as they are. A profile that holds what the record cannot is corrupt.
DWORD NmGetEntryProperties(const std::string& name, RASENTRYW& entry, Deadline deadline);

// Stores "UserName", "Password" and "Domain" (an empty text removes its part) in our profile; a
// new profile reaches the daemon here, complete.
DWORD NmStoreCredentials(const std::string& name, const FieldValues& values, Deadline deadline);

}  // namespace kelvo
