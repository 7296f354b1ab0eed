// Placeholder until the file phone book lands: every call reports that the phone book
// cannot be opened.
#include "platform/ras.h"

namespace kelvo {

template <>
RasApi& ServiceTable<RasApi>() {
  static RasApi api{
      .RasGetEntryPropertiesW = [](LPCWSTR, LPCWSTR, RASENTRYW*, DWORD*, BYTE*, DWORD*) { return ERROR_CANNOT_OPEN_PHONEBOOK; },
      .RasSetEntryPropertiesW = [](LPCWSTR, LPCWSTR, RASENTRYW*, DWORD, BYTE*, DWORD) { return ERROR_CANNOT_OPEN_PHONEBOOK; },
      .RasSetCredentialsW = [](LPCWSTR, LPCWSTR, RASCREDENTIALSW*, BOOL) { return ERROR_CANNOT_OPEN_PHONEBOOK; },
      .RasSetEntryDialParamsW = [](LPCWSTR, RASDIALPARAMSW*, BOOL) { return ERROR_CANNOT_OPEN_PHONEBOOK; },
  };
  return api;
}

}  // namespace kelvo
