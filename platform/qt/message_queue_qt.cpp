#include "platform/qt/message_queue_qt.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdint>

#include "platform/toolkit_events.h"
#include "platform/window_messages.h"

namespace kelvo {

void AttachMessageQueueToQtLoop() {
  const int descriptor = WatchMessageQueue();
  // Owned by the application object, so it goes away with the loop that watches it.
  auto* notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [descriptor] {
    // Read the wake-up first: a message posted while we drain wakes the loop again.
    std::uint64_t wakeUps = 0;
    [[maybe_unused]] const ssize_t taken = read(descriptor, &wakeUps, sizeof(wakeUps));
    if (const auto exitCode = DispatchPendingMessages()) QCoreApplication::exit(*exitCode);
  });
  ServiceTable<ToolkitEventsApi>().ProcessPendingEvents = [] { QCoreApplication::processEvents(); };
}

}  // namespace kelvo
