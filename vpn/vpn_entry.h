// Writes a ready-to-dial PPTP entry with stored credentials into the user's own phone book, with
// the system's PPTP device.
#pragma once

#include <string>

#include "platform/win_types.h"

namespace kelvo {

// 0 when the entry and the credentials were both written; otherwise the phone book's code.
// Texts longer than the records hold, or holding a NUL, are refused with ERROR_INVALID_PARAMETER
// and nothing is written: a cut password stored behind a success would be a failure reported as
// success.
DWORD CreateVpnEntry(const std::u16string& entryName, const std::u16string& serverAddress,
                     const std::u16string& userName, const std::u16string& password);

// True when the platform stores credentials per entry (RasSetCredentialsW).
bool SupportsRasCredentials();

}  // namespace kelvo
