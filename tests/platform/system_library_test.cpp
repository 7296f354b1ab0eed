// Windows: the libraries the program loads by name come from the system folder, also when the
// program's own folder holds one of the same name (as a downloads folder may): the test's folder
// holds a library that refuses to load, named icmp.dll and rasapi32.dll.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <string>

#include "platform/module.h"

namespace kelvo {
namespace {

std::wstring LowerFolder(const std::filesystem::path& file) {
  std::wstring folder = file.parent_path().wstring();
  std::transform(folder.begin(), folder.end(), folder.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
  return folder;
}

TEST(SystemLibraries, ComeFromTheSystemFolderNotFromBesideTheProgram) {
  wchar_t own[MAX_PATH];
  ASSERT_NE(GetModuleFileNameW(nullptr, own, MAX_PATH), 0u);
  ASSERT_TRUE(std::filesystem::exists(std::filesystem::path(own).parent_path() / "icmp.dll"));
  wchar_t system[MAX_PATH];
  ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
  for (const char16_t* name : {u"icmp.dll", u"rasapi32.dll"}) {
    const HMODULE module = LoadLibraryW(name);
    ASSERT_NE(module, nullptr) << "error " << GetLastError();
    wchar_t file[MAX_PATH];
    ASSERT_NE(GetModuleFileNameW(module, file, MAX_PATH), 0u);
    EXPECT_EQ(LowerFolder(file), LowerFolder(std::filesystem::path(system) / "x")) << std::filesystem::path(file);
    FreeLibrary(module);
  }
}

}  // namespace
}  // namespace kelvo
