// An exclusive lock on an open file, waited for until a deadline: another program stopped while
// holding it must not freeze this one.
#pragma once

#include <chrono>

namespace kelvo {

// False when the deadline passed first or the descriptor cannot be locked at all.
bool LockBefore(int fd, std::chrono::steady_clock::time_point deadline);

}  // namespace kelvo
