// A stand-in for the system's rasapi32.dll, for the tests under Wine, whose phone book is a stub.
// It applies the rules a standard user meets on Windows, as documented:
//   - no book (the default one, all users') or a book in the all-users folder: access denied;
//   - a book whose folder is missing: the book cannot be opened;
//   - record sizes, and the members a new entry must have (its device among them), checked;
//   - credentials only for an entry of the same book.
// What it accepts goes into the given book as INI sections, one per entry, the fields named as in
// RASENTRYW (as the Linux phone book writes them), with the credentials as UserName= and
// Password=, so that a test reads what the program wrote. Only the calls the program makes.
#include "platform/posix/phone_book/ini_document.h"
#include "platform/posix/phone_book/ras_record_text.h"

#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace kelvo {
namespace {

// A later system's entry record is longer than the 5.1 one: the size query reports it, and both
// sizes are taken.
constexpr DWORD kOwnEntrySize = sizeof(RASENTRYW) + 256;

struct Device {
  const wchar_t* type;
  const wchar_t* name;
};
// Windows 10's list: the PPTP device is not the first "vpn" one.
constexpr Device kDevices[] = {{L"vpn", L"WAN Miniport (SSTP)"},
                               {L"vpn", L"WAN Miniport (IKEv2)"},
                               {L"vpn", L"WAN Miniport (L2TP)"},
                               {L"vpn", L"WAN Miniport (PPTP)"},
                               {L"pppoe", L"WAN Miniport (PPPOE)"}};

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
  return text;
}

// 0 when a standard user may write the book.
DWORD Writable(LPCWSTR book) {
  if (book == nullptr) return ERROR_ACCESS_DENIED;
  wchar_t allUsers[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, allUsers) != S_OK) {
    return ERROR_CANNOT_OPEN_PHONEBOOK;
  }
  const std::filesystem::path path = std::filesystem::absolute(book);
  if (Lower(path.wstring()).starts_with(Lower(std::wstring(allUsers) + L"\\"))) return ERROR_ACCESS_DENIED;
  if (!std::filesystem::is_directory(path.parent_path())) return ERROR_CANNOT_OPEN_PHONEBOOK;
  return 0;
}

std::optional<IniDocument> Load(LPCWSTR book) {
  std::ifstream file(std::filesystem::path(book), std::ios::binary);
  return IniDocument::Parse(std::string(std::istreambuf_iterator<char>(file), {}));
}

DWORD Save(LPCWSTR book, const IniDocument& document) {
  std::ofstream file(std::filesystem::path(book), std::ios::binary | std::ios::trunc);
  file << document.Text();
  return file.flush() ? 0 : ERROR_CANNOT_WRITE_PHONEBOOK;
}

// As RasValidateEntryName would have it, for the names a program passes.
std::optional<std::string> EntryName(LPCWSTR name) {
  if (name == nullptr || name[0] == L'\0' || name[0] == L'.' || wcslen(name) > RAS_MaxEntryName ||
      wcspbrk(name, L"\\/:*?\"<>|") != nullptr) {
    return std::nullopt;
  }
  return ExactUtf8(WideText(name));
}

bool Listed(const RASENTRYW& entry) {
  return std::any_of(std::begin(kDevices), std::end(kDevices), [&](const Device& device) {
    return wcscmp(device.type, entry.szDeviceType) == 0 && wcscmp(device.name, entry.szDeviceName) == 0;
  });
}

// The credentials of an entry the book holds, the keys with empty values removed.
DWORD StoreCredentials(LPCWSTR book, LPCWSTR entryName, const FieldValues& values) {
  if (const DWORD refused = Writable(book)) return refused;
  const auto name = EntryName(entryName);
  if (!name) return ERROR_INVALID_NAME;
  auto document = Load(book);
  if (!document) return ERROR_CORRUPT_PHONEBOOK;
  if (document->Find(*name) == nullptr) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  IniSection& section = document->FindOrAdd(*name);
  for (const auto& [key, value] : values) section.Set(key, value);
  return Save(book, *document);
}

}  // namespace
}  // namespace kelvo

using namespace kelvo;

extern "C" {

// Only the size query, in its documented form: the empty entry name.
__declspec(dllexport) DWORD WINAPI RasGetEntryPropertiesW(LPCWSTR, LPCWSTR entryName, LPRASENTRYW entry,
                                                          LPDWORD entrySize, LPBYTE, LPDWORD deviceInfoSize) {
  if (entryName == nullptr || entryName[0] != L'\0' || entry != nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  if (entrySize == nullptr) return ERROR_INVALID_PARAMETER;
  *entrySize = kOwnEntrySize;
  if (deviceInfoSize != nullptr) *deviceInfoSize = 0;
  return ERROR_BUFFER_TOO_SMALL;
}

__declspec(dllexport) DWORD WINAPI RasSetEntryPropertiesW(LPCWSTR book, LPCWSTR entryName, LPRASENTRYW entry,
                                                          DWORD entrySize, LPBYTE deviceInfo, DWORD deviceInfoSize) {
  if (const DWORD refused = Writable(book)) return refused;
  const auto name = EntryName(entryName);
  if (!name) return ERROR_INVALID_NAME;
  if (entry == nullptr || deviceInfo != nullptr || deviceInfoSize != 0) return ERROR_INVALID_PARAMETER;
  if (entry->dwSize != sizeof(RASENTRYW) && entry->dwSize != kOwnEntrySize) return ERROR_INVALID_SIZE;
  if (entrySize < entry->dwSize) return ERROR_BUFFER_INVALID;
  if (entry->szLocalPhoneNumber[0] == L'\0' || entry->szDeviceType[0] == L'\0' || entry->szDeviceName[0] == L'\0' ||
      entry->dwFramingProtocol == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if (!Listed(*entry)) return ERROR_DEVICE_DOES_NOT_EXIST;
  const auto values = EntryFieldValues(*entry);
  if (!values) return ERROR_INVALID_PARAMETER;
  auto document = Load(book);
  if (!document) return ERROR_CORRUPT_PHONEBOOK;
  IniSection& section = document->FindOrAdd(*name);
  section.Set("dwSize", std::to_string(entry->dwSize));
  for (const auto& [key, value] : *values) section.Set(key, value);
  return Save(book, *document);
}

__declspec(dllexport) DWORD WINAPI RasSetCredentialsW(LPCWSTR book, LPCWSTR entryName, LPRASCREDENTIALSW credentials,
                                                      BOOL clearCredentials) {
  if (credentials == nullptr || credentials->dwSize != sizeof(RASCREDENTIALSW)) return ERROR_INVALID_SIZE;
  const auto userName = FieldText(credentials->szUserName);
  const auto password = FieldText(credentials->szPassword);
  if (!userName || !password) return ERROR_INVALID_PARAMETER;
  FieldValues values;
  if (credentials->dwMask & RASCM_UserName) values.emplace_back("UserName", clearCredentials ? "" : *userName);
  if (credentials->dwMask & RASCM_Password) values.emplace_back("Password", clearCredentials ? "" : *password);
  return StoreCredentials(book, entryName, values);
}

__declspec(dllexport) DWORD WINAPI RasSetEntryDialParamsW(LPCWSTR book, LPRASDIALPARAMSW params, BOOL removePassword) {
  if (params == nullptr || params->dwSize != sizeof(RASDIALPARAMSW)) return ERROR_INVALID_SIZE;
  const auto userName = FieldText(params->szUserName);
  const auto password = FieldText(params->szPassword);
  if (!userName || !password) return ERROR_INVALID_PARAMETER;
  return StoreCredentials(book, params->szEntryName,
                          {{"UserName", *userName}, {"Password", removePassword ? "" : *password}});
}

// The size needed, and the count, when the buffer is missing or short.
__declspec(dllexport) DWORD WINAPI RasEnumDevicesW(LPRASDEVINFOW devices, LPDWORD bufferSize, LPDWORD deviceCount) {
  if (bufferSize == nullptr || deviceCount == nullptr) return ERROR_INVALID_PARAMETER;
  const DWORD needed = static_cast<DWORD>(std::size(kDevices) * sizeof(RASDEVINFOW));
  *deviceCount = static_cast<DWORD>(std::size(kDevices));
  if (devices == nullptr || *bufferSize < needed) {
    *bufferSize = needed;
    return ERROR_BUFFER_TOO_SMALL;
  }
  if (devices->dwSize != sizeof(RASDEVINFOW)) return ERROR_INVALID_SIZE;
  for (const Device& device : kDevices) {
    std::memset(devices, 0, sizeof(RASDEVINFOW));
    devices->dwSize = sizeof(RASDEVINFOW);
    wcscpy(devices->szDeviceType, device.type);
    wcscpy(devices->szDeviceName, device.name);
    ++devices;
  }
  return 0;
}

}  // extern "C"
