// The phone-book and credentials files as the phone book reads them. The input is an entry name
// (its first line) and a file text (the rest). Whatever the reader accepts it writes back as it
// read it; an entry it reads, stored again the way an entry write stores it, reads the same; a
// credential stored again reads the same; and the escapes undo themselves for any bytes.
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/posix/phone_book/ini_document.h"
#include "platform/posix/phone_book/ras_record_text.h"

namespace {

using kelvo::IniDocument;
using kelvo::RASENTRYW;

RASENTRYW EmptyEntry() {
  RASENTRYW entry;
  std::memset(&entry, 0, sizeof(entry));
  entry.dwSize = sizeof(entry);
  return entry;
}

// What an entry write does to the book it loaded: the entry's fields over the section's keys.
void CheckEntryRoundTrip(IniDocument document, std::string_view name) {
  const kelvo::IniSection* section = document.Find(name);
  RASENTRYW entry = EmptyEntry();
  if (section == nullptr || !kelvo::ReadEntryFields(*section, entry)) return;
  const auto values = kelvo::EntryFieldValues(entry);
  FUZZ_CHECK(values.has_value());  // what was read can be written
  kelvo::IniSection& target = document.FindOrAdd(name);
  for (const auto& [key, value] : *values) target.Set(key, value);

  const auto reread = IniDocument::Parse(document.Text());
  FUZZ_CHECK(reread.has_value());  // a write never leaves a book the next read refuses
  const kelvo::IniSection* stored = reread->Find(name);
  FUZZ_CHECK(stored != nullptr);
  RASENTRYW again = EmptyEntry();
  FUZZ_CHECK(kelvo::ReadEntryFields(*stored, again));
  FUZZ_CHECK(std::memcmp(&entry, &again, sizeof(entry)) == 0);
}

// What a credentials write does: each credential decoded, stored again, decoded the same.
void CheckCredentialsRoundTrip(IniDocument document, std::string_view name) {
  const kelvo::IniSection* section = document.Find(name);
  if (section == nullptr) return;
  for (const char* key : {"UserName", "Password", "Domain"}) {
    const std::string* raw = section->Raw(key);
    const auto value = raw != nullptr ? kelvo::IniUnescape(*raw) : std::nullopt;
    if (!value || value->empty()) continue;
    document.FindOrAdd(name).Set(key, *value);
    const auto reread = IniDocument::Parse(document.Text());
    FUZZ_CHECK(reread.has_value());
    const std::string* stored = reread->Find(name)->Raw(key);
    FUZZ_CHECK(stored != nullptr && kelvo::IniUnescape(*stored) == value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(kelvo::IniUnescape(kelvo::IniEscape(input)) == input);

  const auto newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  const std::string_view name = input.substr(0, newline);
  const std::string_view text = input.substr(newline + 1);
  const auto document = IniDocument::Parse(text);
  if (!document) return 0;
  const bool endsLine = text.empty() || text.back() == '\n';
  FUZZ_CHECK(document->Text() == std::string(text) + (endsLine ? "" : "\n"));

  CheckEntryRoundTrip(*document, name);
  CheckCredentialsRoundTrip(*document, name);
  // A new entry added to whatever the book holds reads back too.
  if (!name.empty() && document->Find(name) == nullptr) {
    IniDocument grown = *document;
    grown.FindOrAdd(name).Set("szLocalPhoneNumber", name);
    const auto reread = IniDocument::Parse(grown.Text());
    FUZZ_CHECK(reread.has_value());
    const kelvo::IniSection* added = reread->Find(name);
    FUZZ_CHECK(added != nullptr && kelvo::IniUnescape(*added->Raw("szLocalPhoneNumber")) == name);
  }
  return 0;
}
