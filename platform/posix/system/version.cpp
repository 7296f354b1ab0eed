// Linux reports the NT platform at level 6.1: our phone book stores credentials per entry,
// which is what that level promises to its callers.
#include <cstring>

#include "platform/version.h"

namespace kelvo {

template <>
VersionApi& ServiceTable<VersionApi>() {
  static VersionApi api{
      .GetVersionExA =
          [](OSVERSIONINFOA* info) -> BOOL {
            if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return 0;
            std::memset(reinterpret_cast<char*>(info) + sizeof(DWORD), 0, sizeof(*info) - sizeof(DWORD));
            info->dwMajorVersion = 6;
            info->dwMinorVersion = 1;
            info->dwBuildNumber = 7601;
            info->dwPlatformId = VER_PLATFORM_WIN32_NT;
            return 1;
          },
  };
  return api;
}

}  // namespace kelvo
