#include "ui/toolkit_events.h"

#include "platform/window_messages.h"

namespace kelvo {

template <>
ToolkitEventsApi& ServiceTable<ToolkitEventsApi>() {
  // A quit message taken here belongs to the thread's own loop: it is posted again for it.
  static ToolkitEventsApi api{.ProcessPendingEvents = [] {
    if (const auto exitCode = DispatchPendingMessages()) PostQuitMessage(*exitCode);
  }};
  return api;
}

}  // namespace kelvo
