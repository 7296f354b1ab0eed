#include <string>

#include "platform/module.h"

namespace kelvo {

namespace {

// Newer than the system level the program is built for: looked up, not linked.
constexpr DWORD kSearchSystemFolder = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD directoryFlags);
using SetDllDirectoryWProc = BOOL(WINAPI*)(LPCWSTR pathName);

template <class Proc>
Proc KernelEntryPoint(const char* name) {
  const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  return reinterpret_cast<Proc>(reinterpret_cast<EntryPointProc>(::GetProcAddress(kernel32, name)));
}

}  // namespace

// What the library itself loads is looked for in its own folder first (the altered search).
HMODULE LoadSystemLibrary(LPCWSTR fileName) {
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, length) + L"\\" + fileName;
  return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void RestrictLibrarySearch() {
  if (const auto setDefault = KernelEntryPoint<SetDefaultDllDirectoriesProc>("SetDefaultDllDirectories")) {
    if (setDefault(kSearchSystemFolder)) return;
  }
  if (const auto setFolder = KernelEntryPoint<SetDllDirectoryWProc>("SetDllDirectoryW")) setFolder(L"");
}

}  // namespace kelvo
