// The phone book of Linux desktops: an entry is a NetworkManager connection profile of type VPN
// (PPTP), written through libnm. Every call is synchronous for its caller and bounded in time.
#pragma once

#include <string>

#include "platform/posix/ras_fields.h"
#include "platform/ras.h"

namespace kelvo {

enum class NetworkManagerPresence {
  kAbsent,    // no system bus, or no NetworkManager on it
  kAnswers,   // NetworkManager owns its name and answered
  kNoAnswer,  // the bus or the daemon is there but did not answer in time
};
NetworkManagerPresence FindNetworkManager();

// Creates the profile named `name` or updates the one of that name; nothing else is touched.
// A new profile and every change stay in the daemon's memory until the credentials are stored,
// so a failure in between leaves no profile without its password on disk.
DWORD NmSetEntryProperties(const std::string& name, const RASENTRYW& entry);

// The fields the profile holds (as in ApplyEntry of nm_phone_book.cpp); the others stay as they
// are. A profile that is no PPTP connection, or holds what the record cannot, is corrupt.
DWORD NmGetEntryProperties(const std::string& name, RASENTRYW& entry);

// Stores "UserName", "Password" and "Domain" (an empty text removes its part) in the profile and
// writes the profile to disk.
DWORD NmStoreCredentials(const std::string& name, const FieldValues& values);

}  // namespace kelvo
