// The phone book of Linux desktops: an entry is a NetworkManager connection profile of type VPN
// (PPTP), written through libnm. Every call is synchronous for its caller and bounded in time.
#pragma once

#include <string>

#include "platform/posix/phone_book/ras_record_text.h"
#include "platform/ras.h"

namespace kelvo {

enum class NetworkManagerPresence {
  kAbsent,    // no system bus, or no NetworkManager on it
  kAnswers,   // NetworkManager owns its name and answered
  kNoAnswer,  // the bus or the daemon is there but did not answer in time
};
NetworkManagerPresence FindNetworkManager();

// Updates the profile named `name` (it keeps its password), or readies a new one, which the
// daemon gets together with its credentials; nothing else is touched.
DWORD NmSetEntryProperties(const std::string& name, const RASENTRYW& entry);

// The fields the profile holds (as in ApplyEntry of nm_phone_book.cpp), of a new one too; the
// others stay as they are. A profile that is no PPTP connection, or holds what the record cannot,
// is corrupt.
DWORD NmGetEntryProperties(const std::string& name, RASENTRYW& entry);

// Stores "UserName", "Password" and "Domain" (an empty text removes its part) in the profile; a
// new profile reaches the daemon here, complete.
DWORD NmStoreCredentials(const std::string& name, const FieldValues& values);

}  // namespace kelvo
