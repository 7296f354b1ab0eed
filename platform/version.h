// The platform version query.
#pragma once

#include <functional>

#include "platform/service_table.h"
#include "platform/win_types.h"

namespace kelvo {

inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

#ifndef _WIN32
struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
};
#endif
static_assert(sizeof(OSVERSIONINFOA) == 148);

struct VersionApi {
  std::function<BOOL(OSVERSIONINFOA* info)> GetVersionExA;
};

template <>
VersionApi& ServiceTable<VersionApi>();

inline BOOL GetVersionExA(OSVERSIONINFOA* info) { return ServiceTable<VersionApi>().GetVersionExA(info); }

}  // namespace kelvo
