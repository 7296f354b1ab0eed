// Lets Qt's event loop dispatch the GUI thread's window messages.
#pragma once

namespace kelvo {

// Call once on the GUI thread after the QCoreApplication (or QApplication) exists. From then on
// a message posted to a window of that thread, from any thread, is dispatched by the running Qt
// loop as soon as it arrives; a quit message ends the loop with its exit code; and the toolkit's
// processing of pending events is QCoreApplication::processEvents.
void AttachMessageQueueToQtLoop();

}  // namespace kelvo
