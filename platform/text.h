// The one place where text changes encoding. Strings are UTF-16 in the program; the toolkit
// and the file system speak UTF-8; the socket functions take the system's 8-bit code page,
// which on current desktops is UTF-8 as well.
#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// Unpaired surrogates and malformed UTF-8 become U+FFFD; nothing is dropped silently.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// The system's 8-bit code page; nothing where a character has no form there.
std::optional<std::string> ToAnsi(std::u16string_view text);
std::u16string FromAnsi(std::string_view text);

// A number in decimal, without grouping, as the program's messages write it.
template <std::integral Integer>
std::u16string DecimalText(Integer value) {
  return FromUtf8(std::to_string(value));
}

}  // namespace kelvo
