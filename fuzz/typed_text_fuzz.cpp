// Typed texts on their way between UTF-16 (the program) and UTF-8 (the toolkit, the files, the
// resolver). The input is read both as UTF-8 bytes and as UTF-16 units. Well-formed text
// converts there and back unchanged; anything else becomes U+FFFD, never a malformed result; a
// character field is read only up to its capacity, and stored only when it converts back exactly.
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/posix/phone_book/ras_record_text.h"
#include "platform/text.h"

namespace {

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool WellFormedUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0x80 ? 0 : lead >= 0xC2 && lead <= 0xDF ? 1 : lead >= 0xE0 && lead <= 0xEF ? 2
                                                                   : lead >= 0xF0 && lead <= 0xF4 ? 3 : -1;
    if (extra < 0 || i + extra >= text.size()) return false;
    char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3F);
    }
    const char32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (c < least[extra] || c > 0x10FFFF || IsSurrogate(c)) return false;
    i += extra + 1;
  }
  return true;
}

// The text with every unpaired surrogate replaced by U+FFFD.
std::u16string Paired(const std::u16string& text) {
  std::u16string out = text;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const bool high = out[i] >= 0xD800 && out[i] <= 0xDBFF;
    const bool nextLow = i + 1 < out.size() && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF;
    if (high && nextLow) {
      ++i;
    } else if (IsSurrogate(out[i])) {
      out[i] = u'\xFFFD';
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string fromBytes = kelvo::FromUtf8(bytes);
  FUZZ_CHECK(Paired(fromBytes) == fromBytes);
  FUZZ_CHECK(WellFormedUtf8(kelvo::ToUtf8(fromBytes)));
  if (WellFormedUtf8(bytes)) {
    FUZZ_CHECK(kelvo::ToUtf8(fromBytes) == bytes);
  } else {
    FUZZ_CHECK(fromBytes.find(u'\xFFFD') != std::u16string::npos);
  }

  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  const std::string utf8 = kelvo::ToUtf8(units);
  FUZZ_CHECK(WellFormedUtf8(utf8));
  FUZZ_CHECK(kelvo::FromUtf8(utf8) == Paired(units));
  const auto exact = kelvo::ExactUtf8(units);
  FUZZ_CHECK(exact.has_value() == (Paired(units) == units));
  FUZZ_CHECK(!exact || *exact == utf8);

  // A field exactly as long as the units, so a read past its capacity is caught.
  const std::vector<kelvo::WCHAR> field(units.begin(), units.end());
  const auto text = kelvo::FieldText(field.data(), field.size());
  const auto terminator = units.find(u'\0');
  if (terminator == std::u16string::npos) {
    FUZZ_CHECK(!text);
  } else {
    FUZZ_CHECK(text == kelvo::ExactUtf8(std::u16string_view(units).substr(0, terminator)));
  }
  return 0;
}
