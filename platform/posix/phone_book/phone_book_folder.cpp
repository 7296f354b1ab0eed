#include "platform/posix/phone_book/phone_book_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "platform/posix/phone_book/atomic_file.h"
#include "platform/posix/phone_book/file_lock.h"
#include "platform/ras.h"

namespace kelvo {

namespace {

// A relative XDG_DATA_HOME is invalid and ignored, as the base-directory rules ask.
std::string FolderPath() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/kelvo";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/share/kelvo";
  return {};
}

// The parents as mkdir -p makes them; the folder itself 0700 whatever the umask, since the
// credentials live in it.
bool MakeFolder(const std::string& path) {
  for (auto slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  if (::mkdir(path.c_str(), 0700) == 0) return ::chmod(path.c_str(), 0700) == 0;
  return errno == EEXIST;
}

// A folder made earlier by hand or by another program may let others in; the credentials must not
// be written where they could be read. A folder of another account is not ours to write into or
// to narrow.
bool Private(int folder) {
  struct stat info {};
  if (::fstat(folder, &info) != 0 || info.st_uid != ::geteuid()) return false;
  return (info.st_mode & 077) == 0 || ::fchmod(folder, 0700) == 0;
}

// Not through a symbolic link: narrowing its target (a shared folder, say) is not ours to do.
int OpenFolder(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

}  // namespace

PhoneBookFolder::~PhoneBookFolder() {
  if (fd_ >= 0) ::close(fd_);  // releases the lock
}

DWORD PhoneBookFolder::Open(bool create) {
  const std::string path = FolderPath();
  if (path.empty()) return ERROR_CANNOT_OPEN_PHONEBOOK;
  fd_ = OpenFolder(path);
  if (fd_ < 0 && errno == ENOENT) {
    if (!create) return ERROR_SUCCESS;
    if (!MakeFolder(path)) return ERROR_CANNOT_OPEN_PHONEBOOK;
    fd_ = OpenFolder(path);
  }
  if (fd_ < 0 || !Private(fd_) || !LockBefore(fd_, std::chrono::steady_clock::now() + kFolderLockWait)) return ERROR_CANNOT_OPEN_PHONEBOOK;
  return ERROR_SUCCESS;
}

DWORD PhoneBookFolder::Load(const char* file, IniDocument& document) const {
  document = IniDocument();
  if (fd_ < 0) return ERROR_SUCCESS;
  std::string text;
  switch (ReadWholeFile(fd_, file, text)) {
    case FileRead::kAbsent:
      return ERROR_SUCCESS;
    case FileRead::kFailed:
      return ERROR_CANNOT_OPEN_PHONEBOOK;
    case FileRead::kRead:
      break;
  }
  auto parsed = IniDocument::Parse(text);
  if (!parsed) return ERROR_CORRUPT_PHONEBOOK;
  document = std::move(*parsed);
  return ERROR_SUCCESS;
}

DWORD PhoneBookFolder::Store(const char* file, const IniDocument& document) const {
  if (fd_ < 0) return ERROR_CANNOT_WRITE_PHONEBOOK;
  RemoveStaleTemporaries(fd_, file);  // the lock keeps every other writer out
  return ReplaceFile(fd_, file, document.Text()) ? ERROR_SUCCESS : ERROR_CANNOT_WRITE_PHONEBOOK;
}

}  // namespace kelvo
