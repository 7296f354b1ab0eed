// The platform surface on Windows: each service table bound to the system's own functions.
#include "platform/async_resolver.h"
#include "platform/module.h"
#include "platform/ras.h"
#include "platform/shell.h"
#include "platform/sockets.h"
#include "platform/version.h"
#include "platform/window_messages.h"

namespace kelvo {

// The phone book: rasapi32.
template <>
RasApi& ServiceTable<RasApi>() {
  static RasApi api{
      .RasGetEntryPropertiesW = ::RasGetEntryPropertiesW,
      .RasSetEntryPropertiesW = ::RasSetEntryPropertiesW,
      .RasSetCredentialsW = ::RasSetCredentialsW,
      .RasSetEntryDialParamsW = ::RasSetEntryDialParamsW,
  };
  return api;
}

// The version query: kernel32.
template <>
VersionApi& ServiceTable<VersionApi>() {
  static VersionApi api{.GetVersionExA = ::GetVersionExA};
  return api;
}

// Libraries: the echo engine loads the system's icmp.dll by its name.
template <>
ModuleApi& ServiceTable<ModuleApi>() {
  static ModuleApi api{
      .LoadLibraryW = ::LoadLibraryW,
      .GetProcAddress = ::GetProcAddress,
      .FreeLibrary = ::FreeLibrary,
  };
  return api;
}

// Winsock: ws2_32.
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

// Winsock's own asynchronous lookup, completed by a message posted to the caller's window.
template <>
AsyncResolverApi& ServiceTable<AsyncResolverApi>() {
  static AsyncResolverApi api{
      .WSAAsyncGetHostByName = ::WSAAsyncGetHostByName,
      .WSACancelAsyncRequest = ::WSACancelAsyncRequest,
  };
  return api;
}

// Window classes, windows and message queues: user32, and the thread identity of kernel32.
template <>
WindowMessagesApi& ServiceTable<WindowMessagesApi>() {
  static WindowMessagesApi api{
      .RegisterClassW = ::RegisterClassW,
      .GetClassInfoW = ::GetClassInfoW,
      .UnregisterClassW = ::UnregisterClassW,
      .CreateWindowExW = ::CreateWindowExW,
      .DestroyWindow = ::DestroyWindow,
      // A macro for SetWindowLongW on x86, where the slot is 32 bits wide.
      .SetWindowLongPtrW = ::SetWindowLongPtrW,
      .GetWindowLongPtrW = ::GetWindowLongPtrW,
      .DefWindowProcW = ::DefWindowProcW,
      .PostMessageW = ::PostMessageW,
      .GetMessageW = ::GetMessageW,
      .PeekMessageW = ::PeekMessageW,
      .TranslateMessage = ::TranslateMessage,
      .DispatchMessageW = ::DispatchMessageW,
      .PostQuitMessage = ::PostQuitMessage,
      .GetCurrentThreadId = ::GetCurrentThreadId,
      .GetModuleHandleW = ::GetModuleHandleW,
  };
  return api;
}

// The shell: shell32.
template <>
ShellApi& ServiceTable<ShellApi>() {
  static ShellApi api{.ShellExecuteW = ::ShellExecuteW};
  return api;
}

}  // namespace kelvo
