// The main window's definition: every control with its place, size, font and colours.
#pragma once

#include "ui/toolkit.h"

namespace kelvo {

// The operator's web address as the link shows it; the browser gets it with a trailing slash.
inline constexpr char16_t kWebAddress[] = u"www.kelvo.net";

// The host the ping panel offers at start: the operator's VPN server.
inline constexpr char16_t kDefaultPingHost[] = u"10.1.0.10";

const TFormDefinition& MainFormDefinition();

}  // namespace kelvo
