#include "platform/posix/phone_book/system_bus.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace kelvo {

std::string SystemBusAddress() {
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  return address != nullptr ? address : "unix:path=/var/run/dbus/system_bus_socket";
}

// Any address but a single socket path is left to GLib, which tells a refused connection from
// other failures too.
BusSocket LookAtSystemBus() {
  const std::string address = SystemBusAddress();
  constexpr std::string_view kPrefix = "unix:path=";
  if (!address.starts_with(kPrefix) || address.find_first_of(",;%") != std::string::npos) return BusSocket::kListens;
  const std::string_view path = std::string_view(address).substr(kPrefix.size());
  sockaddr_un socketAddress{};
  socketAddress.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(socketAddress.sun_path)) return BusSocket::kRefuses;
  path.copy(socketAddress.sun_path, path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return BusSocket::kRefuses;
  const int connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&socketAddress), sizeof(socketAddress));
  const int error = errno;
  ::close(fd);
  if (connected == 0) return BusSocket::kListens;
  // A path through something that is no folder names no socket either.
  if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) return BusSocket::kNothingListens;
  return BusSocket::kRefuses;
}

}  // namespace kelvo
