#include "platform/posix/system/private_file.h"

#include <unistd.h>

#include <climits>
#include <string>

namespace kelvo {

std::string PrivateFilePath(std::string_view name) {
  char exe[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe);
  if (length <= 0 || static_cast<size_t>(length) == sizeof exe) return {};
  const std::string path(exe, static_cast<size_t>(length));
  const std::string directory = path.substr(0, path.rfind('/') + 1);
  std::string beside = directory + std::string(name);
  if (access(beside.c_str(), F_OK) == 0) return beside;
  return directory + "../lib/kelvo/" + std::string(name);
}

}  // namespace kelvo
