#include "platform/shell.h"

namespace kelvo {

template <>
ShellApi& ServiceTable<ShellApi>() {
  static ShellApi api{.ShellExecuteW = ::ShellExecuteW};
  return api;
}

}  // namespace kelvo
