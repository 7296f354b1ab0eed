#include "platform/ras.h"

#include <shlobj.h>

#include <string>

namespace kelvo {

DWORD UserPhoneBook(std::u16string& path) {
  wchar_t appData[MAX_PATH];
  if (::SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, appData) != S_OK) {
    return ERROR_CANNOT_OPEN_PHONEBOOK;
  }
  std::wstring folder = appData;
  for (const wchar_t* part : {L"\\Microsoft", L"\\Network", L"\\Connections", L"\\Pbk"}) {
    folder += part;
    if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return ERROR_CANNOT_OPEN_PHONEBOOK;
    }
  }
  const std::wstring book = folder + L"\\rasphone.pbk";
  // An empty book where there is none; one that exists is left as it is.
  HANDLE file = ::CreateFileW(book.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    ::CloseHandle(file);
  } else if (::GetLastError() != ERROR_FILE_EXISTS) {
    return ERROR_CANNOT_OPEN_PHONEBOOK;
  }
  path = WideText(book.c_str());
  return 0;
}

}  // namespace kelvo
