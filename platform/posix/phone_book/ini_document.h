// An INI-style text kept line by line, so that what this program does not know (comments, other
// keys, other sections, their spelling) is written back exactly as it was read.
//
// Names and values are UTF-8. A byte that would change the meaning of a line is written as \xHH:
// control characters, DEL, the characters \ = [ ] ; # and a space at either end. So is every byte
// of a character that would not show as itself under `cat` (C1 controls, zero-width and direction
// marks). Everything else, Cyrillic included, is written as it is, so the file stays readable.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

std::string IniEscape(std::string_view text);
// nullopt when a backslash is not followed by xHH.
std::optional<std::string> IniUnescape(std::string_view text);

class IniSection {
 public:
  // The decoded name between the brackets.
  const std::string& Name() const { return name_; }
  // The value as written in the file (still escaped), or nullptr when the key is absent.
  const std::string* Raw(std::string_view key) const;
  // Stores the value escaped, in place when the key exists; an empty value removes the key.
  void Set(std::string_view key, std::string_view value);

 private:
  friend class IniDocument;
  struct Line {
    std::string text;   // exactly as read or as written
    std::string key;    // empty for blank lines and comments
    std::string value;  // escaped
  };
  bool EndsWithBlank() const { return !lines_.empty() && lines_.back().key.empty() && lines_.back().text.empty(); }

  std::string name_;
  std::string header_;
  std::vector<Line> lines_;
};

class IniDocument {
 public:
  // nullopt for a text this program cannot take apart safely: a NUL byte, a line that is neither
  // blank, comment, [section] nor key=value, a key outside a section, a name that does not
  // decode, a section or a key given twice.
  static std::optional<IniDocument> Parse(std::string_view text);
  std::string Text() const;

  const IniSection* Find(std::string_view name) const;
  IniSection& FindOrAdd(std::string_view name);

 private:
  std::vector<std::string> preamble_;  // blank lines and comments before the first section
  std::vector<IniSection> sections_;
};

}  // namespace kelvo
