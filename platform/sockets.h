// The socket library: start-up and clean-up, dotted-address conversion and the blocking name
// lookup, with the platform's records and socket error codes. On Linux the default table is
// posix/sockets.cpp.
#pragma once

#include <cstring>
#include <functional>

#include "platform/errors.h"
#include "platform/service_table.h"
#include "platform/win_types.h"

namespace kelvo {

#ifndef _WIN32
inline constexpr DWORD WSAEINTR = 10004;
inline constexpr DWORD WSAEFAULT = 10014;
inline constexpr DWORD WSAVERNOTSUPPORTED = 10092;
inline constexpr DWORD WSANOTINITIALISED = 10093;
inline constexpr DWORD WSAHOST_NOT_FOUND = 11001;
inline constexpr DWORD WSATRY_AGAIN = 11002;
inline constexpr DWORD WSANO_RECOVERY = 11003;
inline constexpr DWORD WSANO_DATA = 11004;

inline constexpr int SOCKET_ERROR = -1;
// The C library's own headers may have defined these two already, with the same values.
#ifndef INADDR_NONE
inline constexpr ULONG INADDR_NONE = 0xffffffff;
#endif
#ifndef AF_INET
inline constexpr short AF_INET = 2;
#endif

constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }

inline constexpr int WSADESCRIPTION_LEN = 256;
inline constexpr int WSASYS_STATUS_LEN = 128;

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
#if UINTPTR_MAX > 0xffffffffu
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
#else
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
#endif
};

struct in_addr {
  union {
    struct {
      BYTE s_b1, s_b2, s_b3, s_b4;
    } S_un_b;
    ULONG S_addr;
  } S_un;
};

// The platform's host entry: note the 16-bit type and length fields.
struct hostent {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;
};
#endif
static_assert(sizeof(WSADATA) == (sizeof(void*) == 8 ? 408 : 400));
static_assert(sizeof(in_addr) == 4);
static_assert(sizeof(hostent) == 4 * sizeof(void*));

struct SocketsApi {
  std::function<int(WORD versionRequested, WSADATA* data)> WSAStartup;
  std::function<int()> WSACleanup;
  // Network byte order; INADDR_NONE when the text is not a dotted address.
  std::function<ULONG(const char* text)> inet_addr;
  // Points into storage of the calling thread, valid until its next call.
  std::function<char*(in_addr address)> inet_ntoa;
  // Points into storage of the calling thread, valid until its next call; nullptr on failure
  // with the socket error code as the thread's last-error value.
  std::function<hostent*(const char* name)> gethostbyname;
  std::function<int()> WSAGetLastError;
};

template <>
SocketsApi& ServiceTable<SocketsApi>();

inline constexpr auto WSAStartup = [](WORD versionRequested, WSADATA* data) -> int {
  return ServiceTable<SocketsApi>().WSAStartup(versionRequested, data);
};
inline constexpr auto WSACleanup = []() -> int {
  return ServiceTable<SocketsApi>().WSACleanup();
};
// The systems' parsers end the address at white space and ignore what follows; a host text is
// taken as an address only when it is the address alone, else it is looked up as a name.
inline constexpr auto inet_addr = [](const char* text) -> ULONG {
  if (text == nullptr || std::strpbrk(text, " \t\n\v\f\r") != nullptr) return INADDR_NONE;
  return ServiceTable<SocketsApi>().inet_addr(text);
};
inline constexpr auto inet_ntoa = [](in_addr address) -> char* {
  return ServiceTable<SocketsApi>().inet_ntoa(address);
};
inline constexpr auto gethostbyname = [](const char* name) -> hostent* {
  return ServiceTable<SocketsApi>().gethostbyname(name);
};
inline constexpr auto WSAGetLastError = []() -> int {
  return ServiceTable<SocketsApi>().WSAGetLastError();
};

}  // namespace kelvo
