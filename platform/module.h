// Loading a library at run time and looking up its entry points by name. On Windows the default
// table loads from the system folder only; on Linux (posix/module.cpp) it serves the built-in
// modules that stand in for the platform's libraries: "icmp.dll" with the echo service of
// platform/icmp.h.
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

#ifdef _WIN32
// The library of that file name from the system folder, never from a search: icmp.dll and
// rasapi32.dll are not among the system's known libraries, so a search would take a copy beside
// the program first (a downloads folder). nullptr with the reason as last error.
HMODULE LoadSystemLibrary(LPCWSTR fileName);
// Libraries loaded later by name, and what they load, come from the system folder only, where
// the system lets a program ask for that (Windows 8, or 7 with its update); elsewhere at least
// the current folder leaves the search.
void RestrictLibrarySearch();
#endif

}  // namespace kelvo
