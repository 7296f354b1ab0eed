#include "vpn/vpn_entry.h"

#include <algorithm>
#include <cstring>

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

}  // namespace

DWORD CreateVpnEntry(const std::u16string& entryName, const std::u16string& serverAddress,
                     const std::u16string& userName, const std::u16string& password) {
  if (!Fits(entryName, RAS_MaxEntryName) || !Fits(serverAddress, RAS_MaxPhoneNumber) ||
      !Fits(userName, UNLEN) || !Fits(password, PWLEN)) {
    return ERROR_INVALID_PARAMETER;
  }

  DWORD reportedSize = 0;
  DWORD deviceInfoSize = 0;
  RasGetEntryPropertiesW(nullptr, nullptr, nullptr, &reportedSize, nullptr, &deviceInfoSize);
  DWORD size = kEntrySize;
  if (static_cast<LONG>(reportedSize) < static_cast<LONG>(kEntrySize)) size = reportedSize;

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
  entry.dwDialMode = RASEDM_DialAll;
  entry.dwType = RASET_Vpn;
  entry.dwEncryptionType = ET_None;
  entry.dwVpnStrategy = VS_PptpOnly;
  entry.dwfOptions2 = RASEO2_DontNegotiateMultilink | RASEO2_ReconnectIfDropped;
  entry.dwRedialCount = 3;
  entry.dwRedialPause = 60;

  const DWORD written = RasSetEntryPropertiesW(nullptr, entryName.c_str(), &entry, size, nullptr, 0);
  if (written != 0) return written;

  if (SupportsRasCredentials()) {
    RASCREDENTIALSW credentials;
    std::memset(&credentials, 0, sizeof(credentials));
    credentials.dwSize = sizeof(RASCREDENTIALSW);
    credentials.dwMask = RASCM_UserName | RASCM_Password;
    CopyText(credentials.szUserName, userName);
    CopyText(credentials.szPassword, password);
    return RasSetCredentialsW(nullptr, entryName.c_str(), &credentials, 0);
  }

  RASDIALPARAMSW params;
  std::memset(&params, 0, sizeof(params));
  params.dwSize = sizeof(RASDIALPARAMSW);
  CopyText(params.szEntryName, entryName);
  CopyText(params.szUserName, userName);
  CopyText(params.szPassword, password);
  return RasSetEntryDialParamsW(nullptr, &params, 0);
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
