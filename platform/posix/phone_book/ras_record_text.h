// The fields of the remote-access records as the texts the phone book files hold.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/phone_book/ini_document.h"
#include "platform/ras.h"

namespace kelvo {

// UTF-8 that converts back to exactly the same UTF-16; nullopt otherwise (an unpaired surrogate).
std::optional<std::string> ExactUtf8(std::u16string_view text);

// The text of a character field; nullopt when it has no terminator within the field or is not
// exact text. Never reads past the field.
std::optional<std::string> FieldText(const WCHAR* field, std::size_t capacity);
template <std::size_t N>
std::optional<std::string> FieldText(const WCHAR (&field)[N]) {
  return FieldText(field, N);
}

using FieldValues = std::vector<std::pair<std::string_view, std::string>>;

// Every field of the entry but its size, named as in RASENTRYW, with the text to store; the text
// is empty for a zero or empty field. nullopt when a character field is refused by FieldText.
std::optional<FieldValues> EntryFieldValues(const RASENTRYW& entry);

// Fills the fields the section holds; the others stay as they are. False when a stored value
// cannot be taken back (a number out of range, a text too long for its field ...).
bool ReadEntryFields(const IniSection& section, RASENTRYW& entry);

}  // namespace kelvo
