// The program's side of the privileged echo helper (kelvo-echo): one helper process for every
// handle that needs it, started with the first such handle and kept until the last one closes.
// Echoes through it take turns. A helper that died is started again for the next echo; one that
// died during an echo, or does not answer in time, fails that echo with IP_GENERAL_FAILURE. No
// helper is left running, unreaped or holding a descriptor once the last handle is gone.
#pragma once

#include <string>

#include "platform/posix/echo/helper_protocol.h"

namespace kelvo::echo {

// Starts the helper unless it runs; 0 on success, else the reason (errno; ENOENT also for a
// helper that could not open its socket). Every success is balanced by one ReleaseHelper.
int AcquireHelper();
void ReleaseHelper();

// One echo through the helper. `wake` is a descriptor that becomes readable when the caller's
// handle is closed: the echo then ends at once with ERROR_INVALID_HANDLE. The answer's data is
// copied into `data`, which it then points into.
EchoResult HelperEcho(const HelperRequest& request, int wake, std::vector<std::uint8_t>& data);

// Tests only: the helper to start instead of the one among the program's private files.
void UseHelperAt(std::string path);

}  // namespace kelvo::echo
