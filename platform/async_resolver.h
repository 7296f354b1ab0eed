// Host-name lookups that run elsewhere and report by posting a message to a window: the
// caller's thread never blocks. The completion message carries the task handle in its first
// parameter and, in the second, the length of the host entry in the low 16 bits and the socket
// error in the high 16 bits. On Linux the default table is posix/async_resolver.cpp.
#pragma once

#include <functional>

#include "platform/service_table.h"
#include "platform/sockets.h"
#include "platform/window_messages.h"

namespace kelvo {

#ifndef _WIN32
inline constexpr DWORD WSAEINVAL = 10022;
inline constexpr DWORD WSAEALREADY = 10037;
inline constexpr DWORD WSAENETDOWN = 10050;
inline constexpr DWORD WSAENOBUFS = 10055;
inline constexpr int MAXGETHOSTSTRUCT = 1024;

constexpr WORD WSAGETASYNCBUFLEN(LPARAM lParam) { return static_cast<WORD>(lParam & 0xFFFF); }
constexpr WORD WSAGETASYNCERROR(LPARAM lParam) { return static_cast<WORD>((lParam >> 16) & 0xFFFF); }
#endif

struct AsyncResolverApi {
  // A non-zero task handle, or 0 with the reason as the thread's socket error.
  std::function<HANDLE(HWND window, UINT message, const char* name, char* buffer, int bufferLength)>
      WSAAsyncGetHostByName;
  // 0 when the lookup was cancelled: from then on its buffer is never written and its message
  // never posted. SOCKET_ERROR when it had already completed or is unknown.
  std::function<int(HANDLE task)> WSACancelAsyncRequest;
};

template <>
AsyncResolverApi& ServiceTable<AsyncResolverApi>();

inline constexpr auto WSAAsyncGetHostByName = [](HWND window, UINT message, const char* name, char* buffer,
    int bufferLength) -> HANDLE {
  return ServiceTable<AsyncResolverApi>().WSAAsyncGetHostByName(window, message, name, buffer,
                                                                bufferLength);
};
inline constexpr auto WSACancelAsyncRequest = [](HANDLE task) -> int {
  return ServiceTable<AsyncResolverApi>().WSACancelAsyncRequest(task);
};

}  // namespace kelvo
