// The GUI toolkit's own processing of pending events, for code that must let the toolkit catch
// up in the middle of a long handler. Without a toolkit it dispatches the calling thread's
// pending window messages; the Qt loop replaces it once it drives the GUI thread's queue.
#pragma once

#include <functional>

#include "platform/service_table.h"

namespace kelvo {

struct ToolkitEventsApi {
  std::function<void()> ProcessPendingEvents;
};

template <>
ToolkitEventsApi& ServiceTable<ToolkitEventsApi>();

inline void ProcessPendingEvents() { ServiceTable<ToolkitEventsApi>().ProcessPendingEvents(); }

}  // namespace kelvo
