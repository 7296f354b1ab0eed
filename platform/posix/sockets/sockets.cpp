// The socket library on Linux: the C library's resolver and address parser behind the
// platform's calls, records and error codes.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kelvo {
namespace {

std::atomic<int> startups{0};

int Startup(WORD versionRequested, WSADATA* data) {
  if (data == nullptr) return static_cast<int>(WSAEFAULT);
  std::memset(data, 0, sizeof(*data));
  const WORD highest = MAKEWORD(2, 2);
  data->wHighVersion = highest;
  // Versions are compared major first; everything from 1.0 up is served, at most as 2.2.
  const BYTE major = versionRequested & 0xff;
  const BYTE minor = versionRequested >> 8;
  if (major == 0) return static_cast<int>(WSAVERNOTSUPPORTED);
  data->wVersion = major > 2 || (major == 2 && minor > 2) ? highest : versionRequested;
  std::snprintf(data->szDescription, sizeof(data->szDescription), "Kelvo sockets on Linux");
  std::snprintf(data->szSystemStatus, sizeof(data->szSystemStatus), "Running");
  ++startups;
  return 0;
}

int Cleanup() {
  int count = startups.load();
  do {
    if (count == 0) {
      SetLastError(WSANOTINITIALISED);
      return SOCKET_ERROR;
    }
  } while (!startups.compare_exchange_weak(count, count - 1));
  return 0;
}

ULONG ParseAddress(const char* text) {
  ::in_addr parsed{};
  if (text == nullptr || ::inet_aton(text, &parsed) == 0) return INADDR_NONE;
  return parsed.s_addr;
}

char* FormatAddress(in_addr address) {
  thread_local char text[16];
  const auto& b = address.S_un.S_un_b;
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b.s_b1, b.s_b2, b.s_b3, b.s_b4);
  return text;
}

DWORD LookupError(int code) {
  switch (code) {
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return WSANO_DATA;
    default:
      return WSANO_RECOVERY;
  }
}

// The entry lives per thread, as the platform's does, until the thread's next lookup.
struct HostEntry {
  std::string name;
  std::vector<ULONG> addresses;
  std::vector<char*> addressList;
  char* noAliases = nullptr;
  hostent entry{};
};

hostent* LookUp(const char* name) {
  if (startups.load() == 0) {
    SetLastError(WSANOTINITIALISED);
    return nullptr;
  }
  if (name == nullptr) {
    SetLastError(WSAEFAULT);
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (const int code = ::getaddrinfo(name, nullptr, &hints, &found); code != 0) {
    SetLastError(LookupError(code));
    return nullptr;
  }
  thread_local HostEntry host;
  host.name = found->ai_canonname != nullptr ? found->ai_canonname : name;
  host.addresses.clear();
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    ULONG address = 0;
    std::memcpy(&address, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, 4);
    if (std::find(host.addresses.begin(), host.addresses.end(), address) == host.addresses.end()) {
      host.addresses.push_back(address);
    }
  }
  ::freeaddrinfo(found);
  host.addressList.clear();
  for (ULONG& address : host.addresses) host.addressList.push_back(reinterpret_cast<char*>(&address));
  host.addressList.push_back(nullptr);
  host.entry = hostent{.h_name = host.name.data(),
                       .h_aliases = &host.noAliases,
                       .h_addrtype = AF_INET,
                       .h_length = 4,
                       .h_addr_list = host.addressList.data()};
  return &host.entry;
}

}  // namespace

template <>
SocketsApi& ServiceTable<SocketsApi>() {
  static SocketsApi api{
      .WSAStartup = Startup,
      .WSACleanup = Cleanup,
      .inet_addr = ParseAddress,
      .inet_ntoa = FormatAddress,
      .gethostbyname = LookUp,
      .WSAGetLastError = [] { return static_cast<int>(GetLastError()); },
  };
  return api;
}

}  // namespace kelvo
