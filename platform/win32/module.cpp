// Libraries are the system's own: the echo engine loads the system's icmp.dll by its name.
#include "platform/module.h"

namespace kelvo {

template <>
ModuleApi& ServiceTable<ModuleApi>() {
  static ModuleApi api{
      .LoadLibraryW = ::LoadLibraryW,
      .GetProcAddress = ::GetProcAddress,
      .FreeLibrary = ::FreeLibrary,
  };
  return api;
}

}  // namespace kelvo
