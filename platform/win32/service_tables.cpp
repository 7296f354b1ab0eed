// The platform surface on Windows: each service table bound to the system's own functions.
#include "platform/async_resolver.h"
#include "platform/module.h"
#include "platform/ras.h"
#include "platform/shell.h"
#include "platform/sockets.h"
#include "platform/version.h"
#include "platform/window_messages.h"

namespace kelvo {

namespace {

// The entry point of that name, or one that answers ERROR_PROC_NOT_FOUND where the library or the
// entry point is missing. `Proc` is the system function's own type.
template <class Proc>
auto RasEntryPoint(HMODULE library, const char* name) {
  const auto proc = library == nullptr
                        ? nullptr
                        : reinterpret_cast<Proc>(reinterpret_cast<EntryPointProc>(::GetProcAddress(library, name)));
  return [proc](auto... arguments) -> DWORD { return proc != nullptr ? proc(arguments...) : ERROR_PROC_NOT_FOUND; };
}

// A library of the system folder. The echo service, which the engine asks for by its older name,
// comes from iphlpapi.dll, where Windows documents it since XP and asks programs to look first;
// from icmp.dll only where iphlpapi lacks it.
HMODULE LoadLibraryOfTheSystem(LPCWSTR fileName) {
  if (::lstrcmpiW(fileName, L"icmp.dll") == 0) {
    if (const HMODULE iphlpapi = LoadSystemLibrary(L"iphlpapi.dll")) {
      const auto exports = [iphlpapi](const char* name) { return ::GetProcAddress(iphlpapi, name) != nullptr; };
      if (exports("IcmpCreateFile") && exports("IcmpSendEcho") && exports("IcmpCloseHandle")) return iphlpapi;
      ::FreeLibrary(iphlpapi);
    }
  }
  return LoadSystemLibrary(fileName);
}

}  // namespace

// The phone book: rasapi32, loaded from the system folder when first needed and kept.
#define KELVO_RAS_ENTRY_POINT(name) .name = RasEntryPoint<decltype(&::name)>(rasapi32, #name)
template <>
RasApi& ServiceTable<RasApi>() {
  static RasApi api = [] {
    HMODULE rasapi32 = LoadSystemLibrary(L"rasapi32.dll");
    return RasApi{
        KELVO_RAS_ENTRY_POINT(RasGetEntryPropertiesW),
        KELVO_RAS_ENTRY_POINT(RasSetEntryPropertiesW),
        KELVO_RAS_ENTRY_POINT(RasSetCredentialsW),
        KELVO_RAS_ENTRY_POINT(RasSetEntryDialParamsW),
        KELVO_RAS_ENTRY_POINT(RasEnumDevicesW),
    };
  }();
  return api;
}
#undef KELVO_RAS_ENTRY_POINT

// The version query: kernel32.
template <>
VersionApi& ServiceTable<VersionApi>() {
  static VersionApi api{.GetVersionExA = ::GetVersionExA};
  return api;
}

// Libraries: the echo engine loads the system's echo service by the name icmp.dll, from the
// system folder.
template <>
ModuleApi& ServiceTable<ModuleApi>() {
  static ModuleApi api{
      .LoadLibraryW = LoadLibraryOfTheSystem,
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
