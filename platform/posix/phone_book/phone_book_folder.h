// The folder of the file phone book: $XDG_DATA_HOME/kelvo, by default ~/.local/share/kelvo.
// An open folder is locked against every other caller, in this process or another Kelvo, until
// it is closed, so that two read-modify-write calls never lose each other's changes.
#pragma once

#include <chrono>
#include <string>

#include "platform/posix/phone_book/ini_document.h"
#include "platform/win_types.h"

namespace kelvo {

inline constexpr char kPhoneBookFile[] = "phonebook.ini";
inline constexpr char kCredentialsFile[] = "credentials.ini";
// How long Open waits for a lock that another caller holds.
inline constexpr std::chrono::seconds kFolderLockWait{5};

class PhoneBookFolder {
 public:
  PhoneBookFolder() = default;
  ~PhoneBookFolder();
  PhoneBookFolder(const PhoneBookFolder&) = delete;
  PhoneBookFolder& operator=(const PhoneBookFolder&) = delete;

  // 0 or ERROR_CANNOT_OPEN_PHONEBOOK. With create a missing folder is made; without, a missing
  // folder stands for an empty phone book. An existing folder open to others is narrowed to 0700;
  // a folder of another account or a symbolic link in the folder's place is refused, and so is a
  // folder whose lock another caller keeps for longer than kFolderLockWait.
  DWORD Open(bool create);
  // 0, ERROR_CANNOT_OPEN_PHONEBOOK (cannot be read) or ERROR_CORRUPT_PHONEBOOK (cannot be
  // parsed). A missing file is an empty document.
  DWORD Load(const char* file, IniDocument& document) const;
  // 0 or ERROR_CANNOT_WRITE_PHONEBOOK; the file is replaced whole or not at all.
  DWORD Store(const char* file, const IniDocument& document) const;

 private:
  // Every file is reached through this descriptor, never through the folder's path again.
  int fd_ = -1;
};

}  // namespace kelvo
