// The calling thread's last-error value and the general error codes shared by several services.
// Each service header adds the codes of its own.
#pragma once

#include "platform/win_types.h"

namespace kelvo {

#ifndef _WIN32
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;

// Per thread, as on the platform.
DWORD GetLastError();
void SetLastError(DWORD error);
#endif

}  // namespace kelvo
