// Winsock: ws2_32.
#include "platform/sockets.h"

namespace kelvo {

template <>
SocketsApi& ServiceTable<SocketsApi>() {
  static SocketsApi api{
      .WSAStartup = ::WSAStartup,
      .WSACleanup = ::WSACleanup,
      .inet_addr = ::inet_addr,
      .inet_ntoa = ::inet_ntoa,
      .gethostbyname = ::gethostbyname,
      .WSAGetLastError = ::WSAGetLastError,
  };
  return api;
}

}  // namespace kelvo
