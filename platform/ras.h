// The remote-access phone book: the platform's records, the four calls that write an entry and
// its credentials, and the list of the system's devices. On Linux the default table keeps a file
// phone book (posix/phone_book) and lists no device.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/errors.h"
#include "platform/service_table.h"
#include "platform/win_types.h"

namespace kelvo {

#ifndef _WIN32
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_CANNOT_OPEN_PHONEBOOK = 600;
inline constexpr DWORD ERROR_BUFFER_TOO_SMALL = 603;
inline constexpr DWORD ERROR_CANNOT_WRITE_PHONEBOOK = 605;
inline constexpr DWORD ERROR_CORRUPT_PHONEBOOK = 606;
inline constexpr DWORD ERROR_CANNOT_FIND_PHONEBOOK_ENTRY = 623;
inline constexpr DWORD ERROR_INVALID_SIZE = 632;

inline constexpr int RAS_MaxAreaCode = 10;
inline constexpr int RAS_MaxPhoneNumber = 128;
inline constexpr int RAS_MaxCallbackNumber = RAS_MaxPhoneNumber;
inline constexpr int RAS_MaxDeviceType = 16;
inline constexpr int RAS_MaxDeviceName = 128;
inline constexpr int RAS_MaxPadType = 32;
inline constexpr int RAS_MaxX25Address = 200;
inline constexpr int RAS_MaxFacilities = 200;
inline constexpr int RAS_MaxUserData = 200;
inline constexpr int RAS_MaxEntryName = 256;
inline constexpr int RAS_MaxDnsSuffix = 256;
inline constexpr int MAX_PATH = 260;
inline constexpr int UNLEN = 256;
inline constexpr int PWLEN = 256;
inline constexpr int DNLEN = 15;

inline constexpr DWORD RASEO_UseCountryAndAreaCodes = 0x00000001;
inline constexpr DWORD RASEO_RemoteDefaultGateway = 0x00000010;
inline constexpr DWORD RASEO_ModemLights = 0x00000100;
inline constexpr DWORD RASEO_RequireEncryptedPw = 0x00000400;
inline constexpr DWORD RASEO_RequireMsEncryptedPw = 0x00000800;
inline constexpr DWORD RASEO_PreviewUserPw = 0x01000000;
inline constexpr DWORD RASEO_ShowDialingProgress = 0x04000000;
inline constexpr DWORD RASEO2_DontNegotiateMultilink = 0x00000004;
inline constexpr DWORD RASEO2_ReconnectIfDropped = 0x00000100;
inline constexpr DWORD RASNP_Ip = 0x00000004;
inline constexpr DWORD RASFP_Ppp = 0x00000001;
inline constexpr DWORD RASEDM_DialAll = 1;
inline constexpr DWORD RASET_Vpn = 2;
inline constexpr DWORD ET_None = 0;
inline constexpr DWORD ET_Require = 1;
inline constexpr DWORD ET_RequireMax = 2;
inline constexpr DWORD VS_PptpOnly = 1;
inline constexpr DWORD RASCM_UserName = 0x00000001;
inline constexpr DWORD RASCM_Password = 0x00000002;
inline constexpr DWORD RASCM_Domain = 0x00000004;
inline constexpr WCHAR RASDT_Vpn[] = u"vpn";

struct RASIPADDR {
  BYTE a, b, c, d;
};

// The entry record in the layout of the 5.1-level platform.
struct RASENTRYW {
  DWORD dwSize;
  DWORD dwfOptions;
  DWORD dwCountryID;
  DWORD dwCountryCode;
  WCHAR szAreaCode[RAS_MaxAreaCode + 1];
  WCHAR szLocalPhoneNumber[RAS_MaxPhoneNumber + 1];
  DWORD dwAlternateOffset;
  RASIPADDR ipaddr;
  RASIPADDR ipaddrDns;
  RASIPADDR ipaddrDnsAlt;
  RASIPADDR ipaddrWins;
  RASIPADDR ipaddrWinsAlt;
  DWORD dwFrameSize;
  DWORD dwfNetProtocols;
  DWORD dwFramingProtocol;
  WCHAR szScript[MAX_PATH];
  WCHAR szAutodialDll[MAX_PATH];
  WCHAR szAutodialFunc[MAX_PATH];
  WCHAR szDeviceType[RAS_MaxDeviceType + 1];
  WCHAR szDeviceName[RAS_MaxDeviceName + 1];
  WCHAR szX25PadType[RAS_MaxPadType + 1];
  WCHAR szX25Address[RAS_MaxX25Address + 1];
  WCHAR szX25Facilities[RAS_MaxFacilities + 1];
  WCHAR szX25UserData[RAS_MaxUserData + 1];
  DWORD dwChannels;
  DWORD dwReserved1;
  DWORD dwReserved2;
  DWORD dwSubEntries;
  DWORD dwDialMode;
  DWORD dwDialExtraPercent;
  DWORD dwDialExtraSampleSeconds;
  DWORD dwHangUpExtraPercent;
  DWORD dwHangUpExtraSampleSeconds;
  DWORD dwIdleDisconnectSeconds;
  DWORD dwType;
  DWORD dwEncryptionType;
  DWORD dwCustomAuthKey;
  GUID guidId;
  WCHAR szCustomDialDll[MAX_PATH];
  DWORD dwVpnStrategy;
  DWORD dwfOptions2;
  DWORD dwfOptions3;
  WCHAR szDnsSuffix[RAS_MaxDnsSuffix];
  DWORD dwTcpWindowSize;
  WCHAR szPrerequisitePbk[MAX_PATH];
  WCHAR szPrerequisiteEntry[RAS_MaxEntryName + 1];
  DWORD dwRedialCount;
  DWORD dwRedialPause;
};

struct RASDEVINFOW {
  DWORD dwSize;
  WCHAR szDeviceType[RAS_MaxDeviceType + 1];
  WCHAR szDeviceName[RAS_MaxDeviceName + 1];
};

// The platform packs its phone-book records to 4 bytes: on 64-bit the call-back identifier of
// RASDIALPARAMSW follows the sub-entry without padding.
#pragma pack(push, 4)
struct RASCREDENTIALSW {
  DWORD dwSize;
  DWORD dwMask;
  WCHAR szUserName[UNLEN + 1];
  WCHAR szPassword[PWLEN + 1];
  WCHAR szDomain[DNLEN + 1];
};

struct RASDIALPARAMSW {
  DWORD dwSize;
  WCHAR szEntryName[RAS_MaxEntryName + 1];
  WCHAR szPhoneNumber[RAS_MaxPhoneNumber + 1];
  WCHAR szCallbackNumber[RAS_MaxCallbackNumber + 1];
  WCHAR szUserName[UNLEN + 1];
  WCHAR szPassword[PWLEN + 1];
  WCHAR szDomain[DNLEN + 1];
  DWORD dwSubEntry;
  UINT_PTR dwCallbackId;
};
#pragma pack(pop)
#endif

static_assert(sizeof(RASENTRYW) == 5616);
static_assert(sizeof(RASCREDENTIALSW) == 1068);
static_assert(sizeof(RASDIALPARAMSW) == (sizeof(void*) == 4 ? 2104 : 2108));
static_assert(offsetof(RASDIALPARAMSW, dwCallbackId) == 2100);
static_assert(sizeof(RASDEVINFOW) == 296);

struct RasApi {
  std::function<DWORD(LPCWSTR phoneBook, LPCWSTR entryName, RASENTRYW* entry, DWORD* entrySize,
                      BYTE* deviceInfo, DWORD* deviceInfoSize)>
      RasGetEntryPropertiesW;
  std::function<DWORD(LPCWSTR phoneBook, LPCWSTR entryName, RASENTRYW* entry, DWORD entrySize,
                      BYTE* deviceInfo, DWORD deviceInfoSize)>
      RasSetEntryPropertiesW;
  std::function<DWORD(LPCWSTR phoneBook, LPCWSTR entryName, RASCREDENTIALSW* credentials,
                      BOOL clearCredentials)>
      RasSetCredentialsW;
  std::function<DWORD(LPCWSTR phoneBook, RASDIALPARAMSW* params, BOOL removePassword)>
      RasSetEntryDialParamsW;
  // Fills `devices` when `*bufferSize` holds them all; otherwise ERROR_BUFFER_TOO_SMALL with the
  // size needed in `*bufferSize`. `*deviceCount` is the number of devices either way.
  std::function<DWORD(RASDEVINFOW* devices, DWORD* bufferSize, DWORD* deviceCount)> RasEnumDevicesW;
};

template <>
RasApi& ServiceTable<RasApi>();

inline constexpr auto RasGetEntryPropertiesW = [](WideText phoneBook, WideText entryName, RASENTRYW* entry,
    DWORD* entrySize, BYTE* deviceInfo, DWORD* deviceInfoSize) -> DWORD {
  return ServiceTable<RasApi>().RasGetEntryPropertiesW(phoneBook, entryName, entry, entrySize,
                                                       deviceInfo, deviceInfoSize);
};
inline constexpr auto RasSetEntryPropertiesW = [](WideText phoneBook, WideText entryName, RASENTRYW* entry,
    DWORD entrySize, BYTE* deviceInfo, DWORD deviceInfoSize) -> DWORD {
  return ServiceTable<RasApi>().RasSetEntryPropertiesW(phoneBook, entryName, entry, entrySize,
                                                       deviceInfo, deviceInfoSize);
};
inline constexpr auto RasSetCredentialsW = [](WideText phoneBook, WideText entryName,
    RASCREDENTIALSW* credentials, BOOL clearCredentials) -> DWORD {
  return ServiceTable<RasApi>().RasSetCredentialsW(phoneBook, entryName, credentials,
                                                   clearCredentials);
};
inline constexpr auto RasSetEntryDialParamsW = [](WideText phoneBook, RASDIALPARAMSW* params,
    BOOL removePassword) -> DWORD {
  return ServiceTable<RasApi>().RasSetEntryDialParamsW(phoneBook, params, removePassword);
};
inline constexpr auto RasEnumDevicesW = [](RASDEVINFOW* devices, DWORD* bufferSize, DWORD* deviceCount) -> DWORD {
  return ServiceTable<RasApi>().RasEnumDevicesW(devices, bufferSize, deviceCount);
};

// The phone book this user's entries go into, made ready to be written. On Windows the default
// book is the all-users one, which takes administrator rights: the user's own book is taken
// instead (rasphone.pbk in the roaming application data), its folder and an empty book created
// when missing. On Linux the default book is the user's own already: `path` stays empty, for
// "no phone book given". 0, or the code why there is no such book.
DWORD UserPhoneBook(std::u16string& path);

}  // namespace kelvo
