// The GUI thread's queue under Qt's own loop: messages posted from a worker thread while
// QCoreApplication::exec runs are dispatched on the GUI thread, without polling.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <thread>

#include "ui/qt/message_queue_qt.h"
#include "tests/msgwnd/test_controls.h"

namespace kelvo {
namespace {

using testing::TNumbersControl;

struct QtLoop : ::testing::Test {
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "msgwnd_qt_test";
    static char* argv[] = {name, nullptr};
    application = new QCoreApplication(argc, argv);
    AttachMessageQueueToQtLoop();
  }
  // Ends a loop that would otherwise hang the suite.
  static void Guard() { QTimer::singleShot(5000, [] { QCoreApplication::exit(99); }); }

  static QCoreApplication* application;
};
QCoreApplication* QtLoop::application = nullptr;

TEST_F(QtLoop, AMessagePostedFromAWorkerIsDispatchedOnTheGuiThread) {
  TNumbersControl control;
  const DWORD guiThread = GetCurrentThreadId();
  control.onMessage = [](TMessage& message) {
    if (message.WParam == 3) QCoreApplication::exit(0);
  };
  std::thread worker;
  QTimer::singleShot(0, [&] {
    worker = std::thread([window = control.Handle(), number = control.Lookup()] {
      for (WPARAM value = 1; value <= 3; ++value) PostMessageW(window, number, value, 0);
    });
  });
  Guard();
  EXPECT_EQ(QCoreApplication::exec(), 0);
  worker.join();
  EXPECT_EQ(control.received, (std::vector<WPARAM>{1, 2, 3}));
  for (DWORD on : control.receivedOn) EXPECT_EQ(on, guiThread);
}

TEST_F(QtLoop, TheQuitMessageEndsTheLoopWithItsCode) {
  QTimer::singleShot(0, [] { PostQuitMessage(4); });
  Guard();
  EXPECT_EQ(QCoreApplication::exec(), 4);
}

TEST_F(QtLoop, MessagePumpLetsQtDispatchPendingMessages) {
  TNumbersControl control;
  control.AcquireWindow();
  PostMessageW(control.Handle(), control.Lookup(), 1, 0);
  control.MessagePump();
  EXPECT_EQ(control.received, std::vector<WPARAM>{1});
}

}  // namespace
}  // namespace kelvo
