#include "platform/posix/phone_book/ini_document.h"

#include <algorithm>
#include <unordered_set>

namespace kelvo {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool NeedsEscape(unsigned char c, bool atEnd) {
  if (c < 0x20 || c == 0x7F) return true;
  if (c == ' ') return atEnd;
  return std::string_view("\\=[];#").find(static_cast<char>(c)) != std::string_view::npos;
}

// Characters a terminal acts on (C1 controls) or that hide text or turn it around (soft hyphen,
// zero-width and direction marks, byte-order mark): a password holding one would look different
// under `cat` from what is stored.
bool Invisible(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0xAD || c == 0x61C || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF;
}

// The length of the UTF-8 sequence at text[i] when it encodes an invisible character, else 0.
std::size_t InvisibleAt(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) -> char32_t { return static_cast<unsigned char>(text[i + k]); };
  const auto follows = [&](std::size_t k) { return i + k < text.size() && (byte(k) & 0xC0) == 0x80; };
  if ((byte(0) & 0xE0) == 0xC0 && follows(1)) {
    return Invisible(((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F)) ? 2 : 0;
  }
  if ((byte(0) & 0xF0) == 0xE0 && follows(1) && follows(2)) {
    return Invisible(((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F)) ? 3 : 0;
  }
  return 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The item whose member equals the name: keys within a section, sections within a document.
template <class Items, class Member>
auto FindBy(Items& items, Member member, std::string_view name) {
  return std::find_if(items.begin(), items.end(), [&](const auto& item) { return item.*member == name; });
}

}  // namespace

std::string IniEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t invisibleEnd = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (i >= invisibleEnd) invisibleEnd = i + InvisibleAt(text, i);
    if (i < invisibleEnd || NeedsEscape(c, i == 0 || i + 1 == text.size())) {
      out += "\\x";
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<std::string> IniUnescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (text.size() - i < 4 || text[i + 1] != 'x') return std::nullopt;
    const int high = HexValue(text[i + 2]);
    const int low = HexValue(text[i + 3]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 3;
  }
  return out;
}

const std::string* IniSection::Raw(std::string_view key) const {
  const auto line = FindBy(lines_, &Line::key, key);
  return line == lines_.end() ? nullptr : &line->value;
}

void IniSection::Set(std::string_view key, std::string_view value) {
  const auto line = FindBy(lines_, &Line::key, key);
  if (value.empty()) {
    if (line != lines_.end()) lines_.erase(line);
    return;
  }
  std::string escaped = IniEscape(value);
  Line replacement{std::string(key) + "=" + escaped, std::string(key), std::move(escaped)};
  if (line != lines_.end()) {
    *line = std::move(replacement);
    return;
  }
  // After the last key, before the blank lines and comments that separate the next section.
  const auto lastKey = std::find_if(lines_.rbegin(), lines_.rend(), [](const Line& l) { return !l.key.empty(); });
  lines_.insert(lastKey.base(), std::move(replacement));
}

std::optional<IniDocument> IniDocument::Parse(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  IniDocument document;
  // The names seen so far, for the duplicates: a search through the lines would make a long
  // file's parse quadratic.
  std::unordered_set<std::string> sections;
  std::unordered_set<std::string> keys;  // of the current section; a new set for each section,
                                         // since clear() costs every bucket a long one left
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    std::string_view content = raw;
    if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
    content = Trim(content);

    if (content.empty() || content.front() == ';' || content.front() == '#') {
      if (document.sections_.empty()) {
        document.preamble_.emplace_back(raw);
      } else {
        document.sections_.back().lines_.push_back({std::string(raw), {}, {}});
      }
      continue;
    }
    if (content.front() == '[') {
      if (content.back() != ']') return std::nullopt;
      auto name = IniUnescape(content.substr(1, content.size() - 2));
      if (!name || !sections.insert(*name).second) return std::nullopt;
      keys = std::unordered_set<std::string>();
      IniSection section;
      section.name_ = std::move(*name);
      section.header_ = raw;
      document.sections_.push_back(std::move(section));
      continue;
    }
    const auto equals = content.find('=');
    if (equals == std::string_view::npos || document.sections_.empty()) return std::nullopt;
    const std::string_view key = Trim(content.substr(0, equals));
    IniSection& section = document.sections_.back();
    if (key.empty() || !keys.emplace(key).second) return std::nullopt;
    section.lines_.push_back({std::string(raw), std::string(key), std::string(Trim(content.substr(equals + 1)))});
  }
  return document;
}

std::string IniDocument::Text() const {
  std::string out;
  for (const auto& line : preamble_) out += line + "\n";
  for (const auto& section : sections_) {
    out += section.header_ + "\n";
    for (const auto& line : section.lines_) out += line.text + "\n";
  }
  return out;
}

const IniSection* IniDocument::Find(std::string_view name) const {
  const auto section = FindBy(sections_, &IniSection::name_, name);
  return section == sections_.end() ? nullptr : &*section;
}

IniSection& IniDocument::FindOrAdd(std::string_view name) {
  const auto found = FindBy(sections_, &IniSection::name_, name);
  if (found != sections_.end()) return *found;
  if (!sections_.empty() && !sections_.back().EndsWithBlank()) sections_.back().lines_.push_back({});
  IniSection section;
  section.name_ = name;
  section.header_.assign(1, '[').append(IniEscape(name)).push_back(']');
  sections_.push_back(std::move(section));
  return sections_.back();
}

}  // namespace kelvo
