#include "platform/posix/phone_book/ras_record_text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace kelvo {

namespace {

// Masks are written in hexadecimal because their bits are what a reader looks for.
enum class Kind { kNumber, kMask, kText, kAddress, kGuid };

struct Field {
  std::string_view name;
  Kind kind;
  std::size_t offset;
  std::size_t size;
};

// By a name of its own: the Windows SDK's RASENTRYW is a macro for "struct tagRASENTRYW", which
// names no scope (the tests' stand-in for the system's phone book is built against it).
using EntryRecord = RASENTRYW;
#define KELVO_ENTRY_FIELD(kind, member) \
  Field { #member, Kind::kind, offsetof(EntryRecord, member), sizeof(EntryRecord::member) }

// dwSize belongs to the caller's buffer, not to the entry. dwAlternateOffset points at
// alternate numbers behind the record, which this phone book does not keep.
constexpr Field kEntryFields[] = {
    KELVO_ENTRY_FIELD(kMask, dwfOptions),
    KELVO_ENTRY_FIELD(kNumber, dwCountryID),
    KELVO_ENTRY_FIELD(kNumber, dwCountryCode),
    KELVO_ENTRY_FIELD(kText, szAreaCode),
    KELVO_ENTRY_FIELD(kText, szLocalPhoneNumber),
    KELVO_ENTRY_FIELD(kAddress, ipaddr),
    KELVO_ENTRY_FIELD(kAddress, ipaddrDns),
    KELVO_ENTRY_FIELD(kAddress, ipaddrDnsAlt),
    KELVO_ENTRY_FIELD(kAddress, ipaddrWins),
    KELVO_ENTRY_FIELD(kAddress, ipaddrWinsAlt),
    KELVO_ENTRY_FIELD(kNumber, dwFrameSize),
    KELVO_ENTRY_FIELD(kMask, dwfNetProtocols),
    KELVO_ENTRY_FIELD(kNumber, dwFramingProtocol),
    KELVO_ENTRY_FIELD(kText, szScript),
    KELVO_ENTRY_FIELD(kText, szAutodialDll),
    KELVO_ENTRY_FIELD(kText, szAutodialFunc),
    KELVO_ENTRY_FIELD(kText, szDeviceType),
    KELVO_ENTRY_FIELD(kText, szDeviceName),
    KELVO_ENTRY_FIELD(kText, szX25PadType),
    KELVO_ENTRY_FIELD(kText, szX25Address),
    KELVO_ENTRY_FIELD(kText, szX25Facilities),
    KELVO_ENTRY_FIELD(kText, szX25UserData),
    KELVO_ENTRY_FIELD(kNumber, dwChannels),
    KELVO_ENTRY_FIELD(kNumber, dwReserved1),
    KELVO_ENTRY_FIELD(kNumber, dwReserved2),
    KELVO_ENTRY_FIELD(kNumber, dwSubEntries),
    KELVO_ENTRY_FIELD(kNumber, dwDialMode),
    KELVO_ENTRY_FIELD(kNumber, dwDialExtraPercent),
    KELVO_ENTRY_FIELD(kNumber, dwDialExtraSampleSeconds),
    KELVO_ENTRY_FIELD(kNumber, dwHangUpExtraPercent),
    KELVO_ENTRY_FIELD(kNumber, dwHangUpExtraSampleSeconds),
    KELVO_ENTRY_FIELD(kNumber, dwIdleDisconnectSeconds),
    KELVO_ENTRY_FIELD(kNumber, dwType),
    KELVO_ENTRY_FIELD(kNumber, dwEncryptionType),
    KELVO_ENTRY_FIELD(kNumber, dwCustomAuthKey),
    KELVO_ENTRY_FIELD(kGuid, guidId),
    KELVO_ENTRY_FIELD(kText, szCustomDialDll),
    KELVO_ENTRY_FIELD(kNumber, dwVpnStrategy),
    KELVO_ENTRY_FIELD(kMask, dwfOptions2),
    KELVO_ENTRY_FIELD(kMask, dwfOptions3),
    KELVO_ENTRY_FIELD(kText, szDnsSuffix),
    KELVO_ENTRY_FIELD(kNumber, dwTcpWindowSize),
    KELVO_ENTRY_FIELD(kText, szPrerequisitePbk),
    KELVO_ENTRY_FIELD(kText, szPrerequisiteEntry),
    KELVO_ENTRY_FIELD(kNumber, dwRedialCount),
    KELVO_ENTRY_FIELD(kNumber, dwRedialPause),
};

#undef KELVO_ENTRY_FIELD

// The whole text as one number: no sign, no spaces, no overflow.
template <class T>
std::optional<T> ParseNumber(std::string_view text, int base) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Decimal, or hexadecimal after "0x".
std::optional<DWORD> ParseDword(std::string_view text) {
  if (text.starts_with("0x")) return ParseNumber<DWORD>(text.substr(2), 16);
  return ParseNumber<DWORD>(text, 10);
}

bool IsZero(const BYTE* bytes, std::size_t size) {
  return std::all_of(bytes, bytes + size, [](BYTE b) { return b == 0; });
}

std::string FormatAddress(const RASIPADDR& a) {
  return std::to_string(a.a) + "." + std::to_string(a.b) + "." + std::to_string(a.c) + "." + std::to_string(a.d);
}

std::optional<RASIPADDR> ParseAddress(std::string_view text) {
  BYTE parts[4];
  for (int i = 0; i < 4; ++i) {
    const auto dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const auto part = ParseNumber<BYTE>(text.substr(0, dot), 10);
    if (!part) return std::nullopt;
    parts[i] = *part;
    text.remove_prefix(std::min(dot + 1, text.size()));
  }
  const RASIPADDR address{parts[0], parts[1], parts[2], parts[3]};
  return address;
}

std::string FormatGuid(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::optional<GUID> ParseGuid(std::string_view text) {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
      text[19] != '-' || text[24] != '-') {
    return std::nullopt;
  }
  const auto data1 = ParseNumber<DWORD>(text.substr(1, 8), 16);
  const auto data2 = ParseNumber<WORD>(text.substr(10, 4), 16);
  const auto data3 = ParseNumber<WORD>(text.substr(15, 4), 16);
  if (!data1 || !data2 || !data3) return std::nullopt;
  GUID guid{*data1, *data2, *data3, {}};
  constexpr std::size_t kData4At[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    const auto byte = ParseNumber<BYTE>(text.substr(kData4At[i], 2), 16);
    if (!byte) return std::nullopt;
    guid.Data4[i] = *byte;
  }
  return guid;
}

template <class T>
T Load(const BYTE* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

// The value to store: empty for a zero or empty field.
std::optional<std::string> FieldValue(const Field& field, const BYTE* bytes) {
  if (field.kind == Kind::kText) return FieldText(reinterpret_cast<const WCHAR*>(bytes), field.size / sizeof(WCHAR));
  if (IsZero(bytes, field.size)) return std::string();
  switch (field.kind) {
    case Kind::kNumber:
      return std::to_string(Load<DWORD>(bytes));
    case Kind::kMask: {
      char text[16];
      std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(Load<DWORD>(bytes)));
      return text;
    }
    case Kind::kAddress:
      return FormatAddress(Load<RASIPADDR>(bytes));
    case Kind::kGuid:
      return FormatGuid(Load<GUID>(bytes));
    case Kind::kText:
      break;
  }
  return std::nullopt;
}

template <class T>
bool Put(const std::optional<T>& value, BYTE* bytes) {
  if (value) std::memcpy(bytes, &*value, sizeof(T));
  return value.has_value();
}

// A stored (escaped) text into a field with its terminator; false when it does not decode, is not
// exact text or does not fit.
bool PutFieldText(std::string_view stored, WCHAR* field, std::size_t capacity) {
  const auto utf8 = IniUnescape(stored);
  if (!utf8) return false;
  const std::u16string text = FromUtf8(*utf8);
  if (ToUtf8(text) != *utf8 || text.size() >= capacity || text.find(u'\0') != std::u16string::npos) return false;
  std::copy(text.begin(), text.end(), field);
  field[text.size()] = u'\0';
  return true;
}

bool PutFieldValue(const Field& field, std::string_view stored, BYTE* bytes) {
  if (field.kind == Kind::kText) return PutFieldText(stored, reinterpret_cast<WCHAR*>(bytes), field.size / sizeof(WCHAR));
  // Numbers, addresses and GUIDs never need escapes: one would mean a damaged file.
  switch (field.kind) {
    case Kind::kNumber:
    case Kind::kMask:
      return Put(ParseDword(stored), bytes);
    case Kind::kAddress:
      return Put(ParseAddress(stored), bytes);
    case Kind::kGuid:
      return Put(ParseGuid(stored), bytes);
    case Kind::kText:
      break;
  }
  return false;
}

}  // namespace

std::optional<std::string> ExactUtf8(std::u16string_view text) {
  std::string utf8 = ToUtf8(text);
  if (FromUtf8(utf8) != text) return std::nullopt;
  return utf8;
}

std::optional<std::string> FieldText(const WCHAR* field, std::size_t capacity) {
  const WCHAR* end = std::find(field, field + capacity, u'\0');
  if (end == field + capacity) return std::nullopt;
  return ExactUtf8(std::u16string_view(WideText(field), static_cast<std::size_t>(end - field)));
}

std::optional<FieldValues> EntryFieldValues(const RASENTRYW& entry) {
  const auto* bytes = reinterpret_cast<const BYTE*>(&entry);
  FieldValues values;
  for (const Field& field : kEntryFields) {
    auto value = FieldValue(field, bytes + field.offset);
    if (!value) return std::nullopt;
    values.emplace_back(field.name, std::move(*value));
  }
  return values;
}

bool ReadEntryFields(const IniSection& section, RASENTRYW& entry) {
  auto* bytes = reinterpret_cast<BYTE*>(&entry);
  return std::all_of(std::begin(kEntryFields), std::end(kEntryFields), [&](const Field& field) {
    const std::string* stored = section.Raw(field.name);
    return stored == nullptr || PutFieldValue(field, *stored, bytes + field.offset);
  });
}

}  // namespace kelvo
