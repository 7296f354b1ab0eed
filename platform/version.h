// The platform version query.
#pragma once

#include <functional>

#include "platform/service_table.h"
#include "platform/win_types.h"

namespace kelvo {

#ifndef _WIN32
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

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

inline constexpr auto GetVersionExA = [](OSVERSIONINFOA* info) -> BOOL {
  return ServiceTable<VersionApi>().GetVersionExA(info);
};

}  // namespace kelvo
