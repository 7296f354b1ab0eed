// The program: the Qt application, the window-message queue of the GUI thread handed to Qt's
// loop (host-name lookups complete through it), and the main window.
#include "app/startup.h"
#include "ui/qt/message_queue_qt.h"
#include "ui/qt/qt_application.h"

int main(int argc, char** argv) {
  kelvo::TQtApplication application(argc, argv);
  kelvo::AttachMessageQueueToQtLoop();
  return kelvo::RunMainWindow(application.Toolkit(), [&application] { return application.Run(); });
}
