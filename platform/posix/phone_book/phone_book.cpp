// The Linux phone book: the entries in $XDG_DATA_HOME/kelvo/phonebook.ini, their credentials in
// credentials.ini beside it (mode 0600, in a folder of mode 0700). Both are INI-style texts:
//
//   [Kelvo]                        one section per entry, named by the entry
//   dwfOptions=0x05000D11          keys are the RASENTRYW field names; a zero or empty field
//   szLocalPhoneNumber=10.1.0.10   has no key. Numbers are decimal, option masks hexadecimal,
//                                  addresses a.b.c.d, GUIDs {8-4-4-4-12}.
//   [Kelvo]                        credentials.ini: UserName=, Password=, Domain=
//
// Texts are UTF-8 with the escapes of ini_document.h. Lines this phone book does not know are
// kept as they are. A file that cannot be read or parsed is reported and never overwritten.
//
// Where NetworkManager answers on the system bus, the entries are its profiles instead
// (nm_phone_book.h): the phone book of Linux desktops.
//
// Only the default phone book exists here: a phone-book path is refused. A byte count smaller
// than the record's dwSize is ERROR_BUFFER_TOO_SMALL (the buffer is shorter than the record it
// claims to be); dwSize itself must be the one record size this phone book knows, else
// ERROR_INVALID_SIZE.
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/posix/phone_book/nm_phone_book.h"
#include "platform/posix/phone_book/phone_book_folder.h"
#include "platform/posix/phone_book/ras_record_text.h"
#include "platform/ras.h"

namespace kelvo {

namespace {

constexpr DWORD kEntrySize = sizeof(RASENTRYW);

// An entry write looks for NetworkManager again (nothing at the bus or no daemon on it: the file
// book); the calls after it go where the entry went, so a daemon that goes away half-way is a
// failure, never a silent switch to the file. nullopt: a bus or daemon that failed us.
enum class Book { kUnknown, kFile, kNetworkManager };
std::atomic<Book> chosenBook{Book::kUnknown};

std::optional<Book> ChooseBook(bool lookAgain, Deadline deadline) {
  const Book chosen = chosenBook.load();
  if (!lookAgain && chosen != Book::kUnknown) return chosen;
  switch (FindNetworkManager(deadline)) {
    case NetworkManagerPresence::kAbsent:
      chosenBook.store(Book::kFile);
      return Book::kFile;
    case NetworkManagerPresence::kAnswers:
      chosenBook.store(Book::kNetworkManager);
      return Book::kNetworkManager;
    case NetworkManagerPresence::kFails:
      break;
  }
  return std::nullopt;
}

// A press of the window's button writes the entry and then its credentials: one wait of at most
// this long in all, counted from the entry write, however slow the bus and the daemon are. The
// credentials that follow an entry write share its deadline; any other call has its own.
constexpr auto kPressTime = std::chrono::seconds(5);
std::mutex pressMutex;
std::optional<std::pair<std::string, Deadline>> press;

Deadline StartPress(const std::string& name) {
  const Deadline deadline = std::chrono::steady_clock::now() + kPressTime;
  const std::lock_guard lock(pressMutex);
  press.emplace(name, deadline);
  return deadline;
}

Deadline PressDeadline(const std::string& name) {
  const std::lock_guard lock(pressMutex);
  std::optional<std::pair<std::string, Deadline>> started;
  started.swap(press);
  if (started && started->first == name) return started->second;
  return std::chrono::steady_clock::now() + kPressTime;
}

// The section name of an entry; nullopt for a name the phone book cannot hold.
std::optional<std::string> EntryName(LPCWSTR name) {
  if (name == nullptr) return std::nullopt;
  const std::u16string_view text(name);
  if (text.empty() || text.size() > static_cast<std::size_t>(RAS_MaxEntryName)) return std::nullopt;
  return ExactUtf8(text);
}

DWORD GetEntryProperties(LPCWSTR phoneBook, LPCWSTR entryName, RASENTRYW* entry, DWORD* entrySize, BYTE*,
                         DWORD* deviceInfoSize) {
  if (phoneBook != nullptr) return ERROR_CANNOT_OPEN_PHONEBOOK;
  if (entrySize == nullptr) return ERROR_INVALID_PARAMETER;
  if (deviceInfoSize != nullptr) *deviceInfoSize = 0;
  if (entry != nullptr && entry->dwSize != kEntrySize) return ERROR_INVALID_SIZE;
  if (entry == nullptr || *entrySize < kEntrySize) {
    *entrySize = kEntrySize;
    return ERROR_BUFFER_TOO_SMALL;
  }

  RASENTRYW found;
  std::memset(&found, 0, sizeof(found));
  found.dwSize = kEntrySize;
  if (entryName != nullptr) {  // without a name: the defaults of a new entry
    const auto name = EntryName(entryName);
    if (!name) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    const Deadline deadline = std::chrono::steady_clock::now() + kPressTime;
    const auto chosen = ChooseBook(false, deadline);
    if (!chosen) return ERROR_CANNOT_OPEN_PHONEBOOK;
    if (*chosen == Book::kNetworkManager) {
      if (const DWORD error = NmGetEntryProperties(*name, found, deadline)) return error;
      *entry = found;
      return ERROR_SUCCESS;
    }
    PhoneBookFolder folder;
    IniDocument book;
    if (const DWORD error = folder.Open(false)) return error;
    if (const DWORD error = folder.Load(kPhoneBookFile, book)) return error;
    const IniSection* section = book.Find(*name);
    if (section == nullptr) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    if (!ReadEntryFields(*section, found)) return ERROR_CORRUPT_PHONEBOOK;
  }
  *entry = found;
  return ERROR_SUCCESS;
}

DWORD SetEntryProperties(LPCWSTR phoneBook, LPCWSTR entryName, RASENTRYW* entry, DWORD entrySize, BYTE*, DWORD) {
  if (phoneBook != nullptr) return ERROR_CANNOT_OPEN_PHONEBOOK;
  if (entry == nullptr) return ERROR_INVALID_PARAMETER;
  if (entry->dwSize != kEntrySize) return ERROR_INVALID_SIZE;
  if (entrySize < entry->dwSize) return ERROR_BUFFER_TOO_SMALL;
  const auto name = EntryName(entryName);
  if (!name) return ERROR_INVALID_NAME;
  const auto values = EntryFieldValues(*entry);
  if (!values) return ERROR_INVALID_PARAMETER;
  const Deadline deadline = StartPress(*name);
  const auto chosen = ChooseBook(true, deadline);
  if (!chosen) return ERROR_CANNOT_OPEN_PHONEBOOK;
  if (*chosen == Book::kNetworkManager) return NmSetEntryProperties(*name, *entry, deadline);

  PhoneBookFolder folder;
  IniDocument book;
  if (const DWORD error = folder.Open(true)) return error;
  if (const DWORD error = folder.Load(kPhoneBookFile, book)) return error;
  IniSection& section = book.FindOrAdd(*name);
  for (const auto& [key, value] : *values) section.Set(key, value);
  return folder.Store(kPhoneBookFile, book);
}

// Credentials belong to an existing entry and replace the ones stored before, key by key; an
// empty text removes its key.
DWORD StoreCredentials(const std::optional<std::string>& entryName, const FieldValues& values) {
  if (!entryName || entryName->empty()) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  const Deadline deadline = PressDeadline(*entryName);
  const auto chosen = ChooseBook(false, deadline);
  if (!chosen) return ERROR_CANNOT_OPEN_PHONEBOOK;
  if (*chosen == Book::kNetworkManager) return NmStoreCredentials(*entryName, values, deadline);
  PhoneBookFolder folder;
  IniDocument book;
  IniDocument credentials;
  if (const DWORD error = folder.Open(false)) return error;
  if (const DWORD error = folder.Load(kPhoneBookFile, book)) return error;
  if (book.Find(*entryName) == nullptr) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  if (const DWORD error = folder.Load(kCredentialsFile, credentials)) return error;
  IniSection& section = credentials.FindOrAdd(*entryName);
  for (const auto& [key, value] : values) section.Set(key, value);
  return folder.Store(kCredentialsFile, credentials);
}

DWORD SetCredentials(LPCWSTR phoneBook, LPCWSTR entryName, RASCREDENTIALSW* credentials, BOOL clearCredentials) {
  if (phoneBook != nullptr) return ERROR_CANNOT_OPEN_PHONEBOOK;
  if (credentials == nullptr) return ERROR_INVALID_PARAMETER;
  if (credentials->dwSize != sizeof(RASCREDENTIALSW)) return ERROR_INVALID_SIZE;
  const struct {
    DWORD mask;
    std::string_view key;
    std::optional<std::string> text;
  } parts[] = {
      {RASCM_UserName, "UserName", FieldText(credentials->szUserName)},
      {RASCM_Password, "Password", FieldText(credentials->szPassword)},
      {RASCM_Domain, "Domain", FieldText(credentials->szDomain)},
  };
  FieldValues values;
  for (const auto& part : parts) {
    if ((credentials->dwMask & part.mask) == 0) continue;
    if (!clearCredentials && !part.text) return ERROR_INVALID_PARAMETER;
    values.emplace_back(part.key, clearCredentials ? std::string() : *part.text);
  }
  return StoreCredentials(EntryName(entryName), values);
}

DWORD SetEntryDialParams(LPCWSTR phoneBook, RASDIALPARAMSW* params, BOOL removePassword) {
  if (phoneBook != nullptr) return ERROR_CANNOT_OPEN_PHONEBOOK;
  if (params == nullptr) return ERROR_INVALID_PARAMETER;
  if (params->dwSize != sizeof(RASDIALPARAMSW)) return ERROR_INVALID_SIZE;
  const auto userName = FieldText(params->szUserName);
  const auto password = removePassword ? std::optional<std::string>("") : FieldText(params->szPassword);
  const auto domain = FieldText(params->szDomain);
  if (!userName || !password || !domain) return ERROR_INVALID_PARAMETER;
  return StoreCredentials(FieldText(params->szEntryName),
                          {{"UserName", *userName}, {"Password", *password}, {"Domain", *domain}});
}

// No dialling device of the system's: an entry names none.
DWORD EnumDevices(RASDEVINFOW*, DWORD* bufferSize, DWORD* deviceCount) {
  if (bufferSize == nullptr || deviceCount == nullptr) return ERROR_INVALID_PARAMETER;
  *bufferSize = 0;
  *deviceCount = 0;
  return 0;
}

}  // namespace

template <>
RasApi& ServiceTable<RasApi>() {
  static RasApi api{
      .RasGetEntryPropertiesW = GetEntryProperties,
      .RasSetEntryPropertiesW = SetEntryProperties,
      .RasSetCredentialsW = SetCredentials,
      .RasSetEntryDialParamsW = SetEntryDialParams,
      .RasEnumDevicesW = EnumDevices,
  };
  return api;
}

DWORD UserPhoneBook(std::u16string& path) {
  path.clear();
  return 0;
}

}  // namespace kelvo
