// Window classes, windows and message queues: user32, and the thread identity of kernel32.
#include "platform/window_messages.h"

namespace kelvo {

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

}  // namespace kelvo
