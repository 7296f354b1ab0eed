// Loading a library at run time and looking up its entry points by name. On Linux the
// default table (posix/module.cpp) serves the built-in modules that stand in for the
// platform's libraries: "icmp.dll" with the echo service of platform/icmp.h.
#pragma once

#include <functional>

#include "platform/errors.h"
#include "platform/service_table.h"
#include "platform/win_types.h"

namespace kelvo {

#ifndef _WIN32
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
#endif

struct ModuleApi {
  // nullptr, with the reason as last error, when there is no such module.
  std::function<HMODULE(LPCWSTR fileName)> LoadLibraryW;
  // nullptr, with the reason as last error, when the module has no such entry point.
  std::function<FARPROC(HMODULE module, LPCSTR procName)> GetProcAddress;
  std::function<BOOL(HMODULE module)> FreeLibrary;
};

template <>
ModuleApi& ServiceTable<ModuleApi>();

inline constexpr auto LoadLibraryW = [](WideText fileName) -> HMODULE {
  return ServiceTable<ModuleApi>().LoadLibraryW(fileName);
};
// The entry point as the generic function pointer, which a caller casts to the entry point's own
// type without a warning (the SDK's FARPROC returns INT_PTR, a type of its own).
using EntryPointProc = void (*)();
inline constexpr auto GetProcAddress = [](HMODULE module, LPCSTR procName) -> EntryPointProc {
  return reinterpret_cast<EntryPointProc>(ServiceTable<ModuleApi>().GetProcAddress(module, procName));
};

// A function as the table's GetProcAddress hands it out, by way of the generic type, so that a
// module of our own (or a test's) converts its entry points without a warning.
template <class Proc>
FARPROC ToFarProc(Proc* entryPoint) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<EntryPointProc>(entryPoint));
}
inline constexpr auto FreeLibrary = [](HMODULE module) -> BOOL {
  return ServiceTable<ModuleApi>().FreeLibrary(module);
};

}  // namespace kelvo
