#include "platform/posix/phone_book/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kelvo {

namespace {

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// A temporary is named .<name>.<as many random letters and digits as kUnique has>.
constexpr std::string_view kUnique = "XXXXXX";

std::string TemporaryPrefix(const std::string& name) { return "." + name + "."; }

// mkstemp's naming, made relative to the folder (mkstemp itself takes only a path).
int CreateTemporary(int folder, const std::string& name, std::string& temporary) {
  static constexpr std::string_view kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[kUnique.size()];
    if (::getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) return -1;
    temporary = TemporaryPrefix(name);
    for (const unsigned char r : random) temporary += kLetters[r % kLetters.size()];
    const int fd = ::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// A file system that keeps no modes (FAT, for one) answers fchmod with success and shows the file
// readable by all: what the mode became is read back, so that a password is never stored where
// others could read it.
bool SetPrivateMode(int fd) {
  struct stat info {};
  return ::fchmod(fd, 0600) == 0 && ::fstat(fd, &info) == 0 && (info.st_mode & 07777) == 0600;
}

}  // namespace

FileRead ReadWholeFile(int folder, const std::string& name, std::string& text) {
  // A symbolic link would be replaced by a plain file on the next write, cutting the user's link;
  // without O_NONBLOCK a FIFO in the file's place would hang the caller until someone writes to it.
  const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? FileRead::kAbsent : FileRead::kFailed;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  text.clear();
  char buffer[16384];
  while (ok) {
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return ok ? FileRead::kRead : FileRead::kFailed;
}

bool ReplaceFile(int folder, const std::string& name, std::string_view text) {
  std::string temporary;
  const int fd = CreateTemporary(folder, name, temporary);
  if (fd < 0) return false;
  bool ok = SetPrivateMode(fd) && WriteAll(fd, text) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::renameat(folder, temporary.c_str(), folder, name.c_str()) == 0;
  if (!ok) {
    ::unlinkat(folder, temporary.c_str(), 0);
    return false;
  }
  ::fsync(folder);
  return true;
}

void RemoveStaleTemporaries(int folder, const std::string& name) {
  // A listing of its own: reading through the folder's descriptor would move its position.
  const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    if (fd >= 0) ::close(fd);
    return;
  }
  const std::string prefix = TemporaryPrefix(name);
  while (const dirent* item = ::readdir(listing)) {
    const std::string_view found(item->d_name);
    if (found.size() == prefix.size() + kUnique.size() && found.starts_with(prefix)) {
      ::unlinkat(folder, item->d_name, 0);
    }
  }
  ::closedir(listing);
}

}  // namespace kelvo
