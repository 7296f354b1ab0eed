// Library shutdown while a control still holds its window: new windows are refused with a
// catchable error, the held one is released normally and the last release frees the pool.
#include <gtest/gtest.h>

#include "ping/msg_wnd.h"
#include "tests/msgwnd/test_controls.h"

namespace kelvo {
namespace {

TEST(MsgWndShutdown, RefusesNewWindowsAndTheLastReleaseFreesThePool) {
  testing::TNumbersControl survivor;
  survivor.AcquireWindow();
  FinalizeMsgWndUnit();
  ASSERT_NE(MsgWndHandlerPool(), nullptr) << "a window is still held";

  testing::TNumbersControl late;
  try {
    late.AcquireWindow();
    ADD_FAILURE() << "no error";
  } catch (const EAssertionFailed& error) {
    EXPECT_EQ(error.Message(), u"Unit is already finalized, check your threads!!!");
  }
  EXPECT_THROW(late.Handle(), Exception);

  PostMessageW(survivor.Handle(), survivor.Lookup(), 1, 0);
  survivor.ProcessMessages();
  EXPECT_EQ(survivor.received.size(), 1u) << "the held window still works";
  survivor.ThreadDetach();
  EXPECT_EQ(MsgWndHandlerPool(), nullptr);
  FinalizeMsgWndUnit();  // runs once: nothing left to do
}

}  // namespace
}  // namespace kelvo
