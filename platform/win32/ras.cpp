// The phone book is the system's own: rasapi32.
#include "platform/ras.h"

namespace kelvo {

template <>
RasApi& ServiceTable<RasApi>() {
  static RasApi api{
      .RasGetEntryPropertiesW = ::RasGetEntryPropertiesW,
      .RasSetEntryPropertiesW = ::RasSetEntryPropertiesW,
      .RasSetCredentialsW = ::RasSetCredentialsW,
      .RasSetEntryDialParamsW = ::RasSetEntryDialParamsW,
  };
  return api;
}

}  // namespace kelvo
