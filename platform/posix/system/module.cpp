// Built-in modules: the libraries the program loads by name at run time, compiled into it.
// Names compare without regard to case and ".dll" is implied, as on the platform; every load
// counts and the module stays usable until as many frees have balanced them.
#include "platform/module.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <span>
#include <string>

#include "platform/icmp.h"

namespace kelvo {
namespace {

struct EntryPoint {
  const char* name;
  FARPROC address;
};

struct Module {
  std::u16string_view name;
  std::span<const EntryPoint> entryPoints;
  int loads = 0;
};

const std::array icmpEntryPoints{
    EntryPoint{"IcmpCreateFile", reinterpret_cast<FARPROC>(&IcmpCreateFile)},
    EntryPoint{"IcmpSendEcho", reinterpret_cast<FARPROC>(&IcmpSendEcho)},
    EntryPoint{"IcmpCloseHandle", reinterpret_cast<FARPROC>(&IcmpCloseHandle)},
};

std::mutex modulesLock;
std::array modules{Module{u"icmp.dll", icmpEntryPoints}};

std::u16string NormalisedName(LPCWSTR fileName) {
  std::u16string name(fileName);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; });
  if (name.find(u'.') == std::u16string::npos) name += u".dll";
  return name;
}

Module* Find(HMODULE handle) {
  for (Module& m : modules) {
    if (reinterpret_cast<HMODULE>(&m) == handle && m.loads > 0) return &m;
  }
  return nullptr;
}

HMODULE Load(LPCWSTR fileName) {
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::u16string name = NormalisedName(fileName);
  std::lock_guard lock(modulesLock);
  for (Module& m : modules) {
    if (m.name == name) {
      ++m.loads;
      return reinterpret_cast<HMODULE>(&m);
    }
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC Lookup(HMODULE handle, LPCSTR procName) {
  std::lock_guard lock(modulesLock);
  const Module* m = Find(handle);
  if (m == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  for (const EntryPoint& e : m->entryPoints) {
    if (procName != nullptr && std::strcmp(e.name, procName) == 0) return e.address;
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL Free(HMODULE handle) {
  std::lock_guard lock(modulesLock);
  Module* m = Find(handle);
  if (m == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kFalse;
  }
  --m->loads;
  return kTrue;
}

}  // namespace

template <>
ModuleApi& ServiceTable<ModuleApi>() {
  static ModuleApi api{.LoadLibraryW = Load, .GetProcAddress = Lookup, .FreeLibrary = Free};
  return api;
}

}  // namespace kelvo
