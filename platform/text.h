// The one place where text changes encoding. Strings are UTF-16 in the program; the toolkit
// and the file system speak UTF-8; the socket functions take the system's 8-bit code page,
// which on current desktops is UTF-8 as well.
#pragma once

#include <string>
#include <string_view>

namespace kelvo {

// Unpaired surrogates and malformed UTF-8 become U+FFFD; nothing is dropped silently.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// The system's 8-bit code page.
std::string ToAnsi(std::u16string_view text);
std::u16string FromAnsi(std::string_view text);

}  // namespace kelvo
