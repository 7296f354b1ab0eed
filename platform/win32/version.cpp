#include "platform/version.h"

namespace kelvo {

template <>
VersionApi& ServiceTable<VersionApi>() {
  static VersionApi api{.GetVersionExA = ::GetVersionExA};
  return api;
}

}  // namespace kelvo
