#include "platform/posix/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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

bool SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

// A temporary is named .<name>.<what mkstemp puts in place of kUnique>.
constexpr std::string_view kUnique = "XXXXXX";

std::string TemporaryPrefix(const std::string& name) { return "." + name + "."; }

}  // namespace

FileRead ReadWholeFile(const std::string& path, std::string& text) {
  // A symbolic link would be replaced by a plain file on the next write, cutting the user's link;
  // without O_NONBLOCK a FIFO in the file's place would hang the caller until someone writes to it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
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

bool ReplaceFile(const std::string& folder, const std::string& name, std::string_view text) {
  std::string temporary = folder + "/" + TemporaryPrefix(name) + std::string(kUnique);
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && std::rename(temporary.c_str(), (folder + "/" + name).c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  return SyncFolder(folder);
}

void RemoveStaleTemporaries(const std::string& folder, const std::string& name) {
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return;
  const std::string prefix = TemporaryPrefix(name);
  while (const dirent* item = ::readdir(listing)) {
    const std::string_view found(item->d_name);
    if (found.size() == prefix.size() + kUnique.size() && found.starts_with(prefix)) {
      ::unlinkat(::dirfd(listing), item->d_name, 0);
    }
  }
  ::closedir(listing);
}

}  // namespace kelvo
