// The shell: opening a document or an address with the program the desktop associates with it.
#pragma once

#include <functional>

#include "platform/service_table.h"
#include "platform/win_types.h"

namespace kelvo {

#ifndef _WIN32
inline constexpr int SW_SHOW = 5;
#endif

struct ShellApi {
  // Returns a value above 32 on success, as the platform does.
  std::function<HINSTANCE(HWND parent, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                          LPCWSTR directory, int showCommand)>
      ShellExecuteW;
};

template <>
ShellApi& ServiceTable<ShellApi>();

inline constexpr auto ShellExecuteW = [](HWND parent, WideText verb, WideText file, WideText parameters,
    WideText directory, int showCommand) -> HINSTANCE {
  return ServiceTable<ShellApi>().ShellExecuteW(parent, verb, file, parameters, directory,
                                                showCommand);
};

}  // namespace kelvo
