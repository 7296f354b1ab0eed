#include "ui/qt/message_queue_qt.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include "ui/toolkit_events.h"
#include "platform/window_messages.h"

namespace kelvo {

void AttachMessageQueueToQtLoop() {
  const int descriptor = WatchMessageQueue();
  // Owned by the application object, so it goes away with the loop that watches it.
  auto* notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, QCoreApplication::instance());
  // Draining the queue clears the descriptor: the notifier fires again only for new messages.
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
    if (const auto exitCode = DispatchPendingMessages()) QCoreApplication::exit(*exitCode);
  });
  ServiceTable<ToolkitEventsApi>().ProcessPendingEvents = [] { QCoreApplication::processEvents(); };
}

}  // namespace kelvo
