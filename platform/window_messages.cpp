#include "platform/window_messages.h"

namespace kelvo {

std::optional<int> DispatchPendingMessages() {
  MSG message{};
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) return static_cast<int>(message.wParam);
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return std::nullopt;
}

}  // namespace kelvo
