#include "vpn/vpn_entry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/ras.h"
#include "platform/version.h"

namespace kelvo {

namespace {

constexpr DWORD kEntrySize = sizeof(RASENTRYW);

// The records are zeroed before use, so the terminator is already in place.
template <std::size_t N>
void CopyText(WCHAR (&field)[N], std::u16string_view text) {
  std::copy_n(text.data(), std::min(text.size(), N - 1), field);
}

// A NUL inside a text would end it early in the record: what is stored would silently differ
// from what was typed.
bool Fits(const std::u16string& text, int capacity) {
  return text.size() <= static_cast<std::size_t>(capacity) && text.find(u'\0') == std::u16string::npos;
}

// The text of a character field up to its terminator, never past the field.
template <std::size_t N>
std::u16string_view FieldText(const WCHAR (&field)[N]) {
  const std::u16string_view text(WideText(field), N);
  return text.substr(0, text.find(u'\0'));
}

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool SameAsciiLetters(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           return AsciiUpper(x) == AsciiUpper(y);
         });
}

bool ContainsAsciiLetters(std::u16string_view text, std::u16string_view part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(), [](char16_t x, char16_t y) {
           return AsciiUpper(x) == AsciiUpper(y);
         }) != text.end();
}

// The system's PPTP device: of its "vpn" devices the one with PPTP in its name (on Windows 10 not
// the first of them). Empty when it lists none. The list is asked for its size first; it may grow
// before it is read, so the size is asked again a few times.
std::u16string PptpDeviceName() {
  std::vector<RASDEVINFOW> devices;
  DWORD bufferSize = 0;
  DWORD count = 0;
  DWORD result = RasEnumDevicesW(nullptr, &bufferSize, &count);
  for (int tries = 0; result == ERROR_BUFFER_TOO_SMALL && tries < 3; ++tries) {
    devices = std::vector<RASDEVINFOW>(std::max<std::size_t>(1, (bufferSize + sizeof(RASDEVINFOW) - 1) / sizeof(RASDEVINFOW)));
    devices[0].dwSize = sizeof(RASDEVINFOW);
    bufferSize = static_cast<DWORD>(devices.size() * sizeof(RASDEVINFOW));
    result = RasEnumDevicesW(devices.data(), &bufferSize, &count);
  }
  if (result != 0) return {};
  for (std::size_t i = 0; i < std::min<std::size_t>(count, devices.size()); ++i) {
    const std::u16string_view name = FieldText(devices[i].szDeviceName);
    if (SameAsciiLetters(FieldText(devices[i].szDeviceType), WideText(RASDT_Vpn)) &&
        ContainsAsciiLetters(name, u"PPTP")) {
      return std::u16string(name);
    }
  }
  return {};
}

}  // namespace

DWORD CreateVpnEntry(const std::u16string& entryName, const std::u16string& serverAddress,
                     const std::u16string& userName, const std::u16string& password) {
  if (!Fits(entryName, RAS_MaxEntryName) || !Fits(serverAddress, RAS_MaxPhoneNumber) ||
      !Fits(userName, UNLEN) || !Fits(password, PWLEN)) {
    return ERROR_INVALID_PARAMETER;
  }

  std::u16string bookPath;
  if (const DWORD missing = UserPhoneBook(bookPath); missing != 0) return missing;
  const WideText book = bookPath.empty() ? nullptr : bookPath.c_str();

  // The empty entry name asks for the defaults of a new entry, with the size of the record.
  DWORD reportedSize = 0;
  DWORD deviceInfoSize = 0;
  RasGetEntryPropertiesW(book, u"", nullptr, &reportedSize, nullptr, &deviceInfoSize);
  // A size with the top bit set is no record's: read as a signed number it would pass as smaller
  // than ours and become the byte count the system reads from our buffer.
  if (reportedSize >= 0x80000000u) return ERROR_INVALID_SIZE;
  const DWORD size = std::min(reportedSize, kEntrySize);

  RASENTRYW entry;
  std::memset(&entry, 0, sizeof(entry));
  entry.dwSize = size;
  entry.dwfOptions = RASEO_UseCountryAndAreaCodes | RASEO_RemoteDefaultGateway | RASEO_ModemLights |
                     RASEO_RequireEncryptedPw | RASEO_RequireMsEncryptedPw | RASEO_PreviewUserPw |
                     RASEO_ShowDialingProgress;
  CopyText(entry.szLocalPhoneNumber, serverAddress);
  entry.dwfNetProtocols = RASNP_Ip;
  entry.dwFramingProtocol = RASFP_Ppp;
  CopyText(entry.szDeviceType, WideText(RASDT_Vpn));
  CopyText(entry.szDeviceName, PptpDeviceName());
  entry.dwDialMode = RASEDM_DialAll;
  entry.dwType = RASET_Vpn;
  entry.dwEncryptionType = ET_None;
  entry.dwVpnStrategy = VS_PptpOnly;
  entry.dwfOptions2 = RASEO2_DontNegotiateMultilink | RASEO2_ReconnectIfDropped;
  entry.dwRedialCount = 3;
  entry.dwRedialPause = 60;

  const DWORD written = RasSetEntryPropertiesW(book, entryName.c_str(), &entry, size, nullptr, 0);
  if (written != 0) return written;

  if (SupportsRasCredentials()) {
    RASCREDENTIALSW credentials;
    std::memset(&credentials, 0, sizeof(credentials));
    credentials.dwSize = sizeof(RASCREDENTIALSW);
    credentials.dwMask = RASCM_UserName | RASCM_Password;
    CopyText(credentials.szUserName, userName);
    CopyText(credentials.szPassword, password);
    return RasSetCredentialsW(book, entryName.c_str(), &credentials, 0);
  }

  RASDIALPARAMSW params;
  std::memset(&params, 0, sizeof(params));
  params.dwSize = sizeof(RASDIALPARAMSW);
  CopyText(params.szEntryName, entryName);
  CopyText(params.szUserName, userName);
  CopyText(params.szPassword, password);
  return RasSetEntryDialParamsW(book, &params, 0);
}

bool SupportsRasCredentials() {
  OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  GetVersionExA(&info);
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 5 &&
         info.dwMinorVersion >= 1;
}

}  // namespace kelvo
