#include "ping/msg_wnd.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ui/toolkit_events.h"
#include "tests/msgwnd/test_controls.h"

namespace kelvo {
namespace {

using testing::TNumbersControl;

int WindowsOfThisThread() { return MsgWndHandlerPool()->HandlerCount(GetCurrentThreadId()); }

bool ClassKnown() {
  WNDCLASSW record{};
  return GetClassInfoW(GetModuleHandleW(nullptr), MsgWndClassName, &record) != 0;
}

template <class Error, class Action>
std::u16string MessageOf(Action action) {
  try {
    action();
  } catch (const Error& error) {
    return error.Message();
  }
  return u"(nothing raised)";
}

TEST(MsgWnd, ControlsOfOneThreadShareAWindowAndTakeTheNextNumbers) {
  TNumbersControl first;
  EXPECT_EQ(first.ReleaseMessage(), 0u) << "no window before it is needed";
  const HWND window = first.Handle();
  TNumbersControl second;
  second.AcquireWindow();
  EXPECT_EQ(first.ReleaseMessage(), 1025u);
  EXPECT_EQ(first.Lookup(), 1026u);
  EXPECT_EQ(second.ReleaseMessage(), 1027u);
  EXPECT_EQ(second.Lookup(), 1028u);
  EXPECT_EQ(second.Handle(), window);
  EXPECT_EQ(first.OwningThreadId(), GetCurrentThreadId());
  EXPECT_EQ(WindowsOfThisThread(), 1);
}

TEST(MsgWnd, AControlThatDoesNotFitGetsANewWindowFromTheSameBase) {
  TNumbersControl big(nullptr, 59);
  TNumbersControl secondBig(nullptr, 59);
  TNumbersControl small(nullptr, 39);
  big.AcquireWindow();
  secondBig.AcquireWindow();
  small.AcquireWindow();
  EXPECT_NE(secondBig.Handle(), big.Handle());
  EXPECT_EQ(secondBig.ReleaseMessage(), 1025u);
  EXPECT_EQ(small.Handle(), big.Handle()) << "the first window in creation order with room";
  EXPECT_EQ(small.ReleaseMessage(), 1085u);
  EXPECT_EQ(WindowsOfThisThread(), 2);
}

TEST(MsgWnd, ReleasingKeepsASharedWindowAndTheLastReleaseDestroysItAndTheClass) {
  auto first = std::make_unique<TNumbersControl>();
  TNumbersControl second;
  const HWND window = first->Handle();
  second.AcquireWindow();
  first.reset();
  EXPECT_TRUE(PostMessageW(window, WM_USER + 500, 0, 0));
  EXPECT_TRUE(ClassKnown());

  second.ThreadDetach();
  EXPECT_FALSE(PostMessageW(window, WM_USER + 500, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(ClassKnown());
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
  EXPECT_EQ(WindowsOfThisThread(), 0);
}

// A subclass whose destructor leaves the release to the base: the base cannot call the
// subclass's UnregisterMessages any more, yet the lookup number must not keep routing to it.
class TForgetfulControl : public TMsgWndControl {
 public:
  using TMsgWndControl::TMsgWndControl;
  int MessageCount() override { return 2; }
  void RegisterMessages() override {
    TMsgWndControl::RegisterMessages();
    lookup = Handler()->RegisterMessage(this);
  }
  UINT lookup = 0;
};

TEST(MsgWnd, NumbersASubclassLeftBoundAreGivenBackWithTheControl) {
  TNumbersControl neighbour;
  auto forgetful = std::make_unique<TForgetfulControl>(nullptr);
  const HWND window = forgetful->Handle();
  neighbour.AcquireWindow();
  const UINT lookup = forgetful->lookup;
  forgetful.reset();
  PostMessageW(window, lookup, 0, 0);
  neighbour.ProcessMessages();  // reaches the default procedure, not the destroyed control
  neighbour.ThreadDetach();
  EXPECT_FALSE(PostMessageW(window, lookup, 0, 0)) << "the window went with its last number";
}

TEST(MsgWnd, TheLowestFreeNumberIsReusedFirst) {
  TNumbersControl first;
  auto middle = std::make_unique<TNumbersControl>();
  TNumbersControl last;
  first.AcquireWindow();
  middle->AcquireWindow();
  last.AcquireWindow();
  middle.reset();
  TNumbersControl next;
  next.AcquireWindow();
  EXPECT_EQ(next.ReleaseMessage(), 1027u);
  EXPECT_EQ(next.Lookup(), 1028u);
}

TEST(MsgWnd, ReleaseDestroysTheControlOnlyWhenItsMessageIsDispatched) {
  TComponent owner(nullptr);
  bool destroyed = false;
  auto* control = new TNumbersControl(&owner);
  control->destroyed = &destroyed;
  control->Release();
  EXPECT_FALSE(destroyed);
  TNumbersControl pump;
  pump.ProcessMessages();
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(WindowsOfThisThread(), 0) << "its window went with it";
  // The owner no longer lists the released control: destroying the owner must not touch it.
}

// A control released by message but destroyed directly first: its number passes to the next
// control on the window, which the late release message must not destroy. A message for the
// old owner's other number must not reach the new owner either.
TEST(MsgWnd, MessagesQueuedForAGivenBackNumberNeverReachItsNextOwner) {
  TNumbersControl keeper;
  keeper.AcquireWindow();
  auto* departing = new TNumbersControl;
  departing->Release();
  PostMessageW(departing->Handle(), departing->Lookup(), 7, 0);
  PostQuitMessage(2);
  delete departing;
  bool destroyed = false;
  TNumbersControl successor;
  successor.destroyed = &destroyed;
  successor.AcquireWindow();
  ASSERT_EQ(successor.ReleaseMessage(), 1027u) << "the departed control's numbers";
  keeper.ProcessMessages();
  EXPECT_FALSE(destroyed);
  EXPECT_TRUE(successor.received.empty());
  EXPECT_TRUE(keeper.Terminated()) << "the quit message stays for the loop";
}

TEST(MsgWnd, AttachAndDetachCheckTheirPreconditions) {
  TNumbersControl control;
  EXPECT_EQ(MessageOf<EMsgWndException>([&] { control.ThreadDetach(); }), u"Cannot detach from another thread");
  control.ThreadAttach();
  EXPECT_EQ(MessageOf<EMsgWndException>([&] { control.ThreadAttach(); }), u"Cannot attach when not detached");
  control.ThreadDetach();
  EXPECT_EQ(control.OwningThreadId(), 0u);
  EXPECT_EQ(control.ReleaseMessage(), 0u);
  control.ThreadAttach();
  EXPECT_EQ(control.ReleaseMessage(), 1025u);
}

// Messages the window does not route to a control reach the default procedure, including
// those its procedure sees while the window is created, before the handler is stored.
TEST(MsgWnd, UnroutedMessagesGoToTheDefaultProcedure) {
  ScopedOverride<WindowMessagesApi> windows;
  std::vector<UINT> defaulted;
  windows->DefWindowProcW = [&, original = windows.Original().DefWindowProcW](HWND window, UINT message, WPARAM w, LPARAM l) {
    defaulted.push_back(message);
    return original(window, message, w, l);
  };
  TNumbersControl control;
  control.AcquireWindow();
  // Windows also sends the first size and position on the way.
  EXPECT_THAT(defaulted, ::testing::IsSupersetOf({WM_NCCREATE, WM_CREATE}));
  defaulted.clear();
  PostMessageW(control.Handle(), 1027, 0, 0);         // in range, free slot
  PostMessageW(control.Handle(), WM_USER + 200, 0, 0);  // outside the range
  PostMessageW(control.Handle(), control.Lookup(), 41, 0);
  control.ProcessMessages();
  EXPECT_EQ(defaulted, (std::vector<UINT>{1027, WM_USER + 200}));
  EXPECT_EQ(control.received, std::vector<WPARAM>{41});
}

TEST(MsgWnd, TheHiddenWindowProcedureReturnsTheControlsResult) {
  TNumbersControl control;
  const MSG message{.hwnd = control.Handle(), .message = control.Lookup(), .wParam = 9, .lParam = 0, .time = 0, .pt = {}};
  EXPECT_EQ(DispatchMessageW(&message), 10);
}

struct MessageErrors : ::testing::Test {
  MessageErrors() {
    control.onMessage = [](TMessage&) { throw EMsgWndException(u"handler failed"); };
    control.Handle();
  }
  void Deliver() {
    PostMessageW(control.Handle(), control.Lookup(), 1, 0);
    control.ProcessMessages();
  }
  TNumbersControl control;
};

TEST_F(MessageErrors, GoToOnMessageErrorAndThenToAbortAfterError) {
  std::u16string seen;
  control.OnMessageError = [&](TObject* Sender, const std::exception& E, bool& CanAbort) {
    EXPECT_EQ(Sender, &control);
    EXPECT_TRUE(CanAbort);
    seen = dynamic_cast<const Exception&>(E).Message();
  };
  Deliver();
  EXPECT_EQ(seen, u"handler failed");
  EXPECT_EQ(control.aborts, 1);
}

TEST_F(MessageErrors, CanAbortFalseSparesAbortAfterError) {
  control.OnMessageError = [](TObject*, const std::exception&, bool& CanAbort) { CanAbort = false; };
  Deliver();
  EXPECT_EQ(control.aborts, 0);
}

TEST_F(MessageErrors, NeverEscapeEvenWhenTheErrorHandlersFail) {
  control.OnMessageError = [](TObject*, const std::exception&, bool&) { throw std::runtime_error("event failed"); };
  control.abortThrows = true;
  EXPECT_NO_THROW(Deliver());
  EXPECT_EQ(control.aborts, 1);
  control.onMessage = [](TMessage&) { throw 42; };  // not even an error object
  EXPECT_NO_THROW(Deliver());
  EXPECT_EQ(control.received.size(), 2u);
}

TEST(MsgWnd, WindowFailuresReportThePlatformErrorAndLeaveNothingBehind) {
  {
    ScopedOverride<WindowMessagesApi> windows;
    windows->RegisterClassW = [](const WNDCLASSW*) -> ATOM {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    };
    TNumbersControl control;
    EXPECT_EQ(MessageOf<EMsgWndException>([&] { control.AcquireWindow(); }),
              u"Unable to register TMsgWndControl hidden window class. Error #8.");
    windows->RegisterClassW = windows.Original().RegisterClassW;
    windows->CreateWindowExW = [](auto...) -> HWND {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    };
    EXPECT_EQ(MessageOf<EMsgWndException>([&] { control.AcquireWindow(); }),
              u"Unable to create TMsgWndControl hidden window.  Error #1407.");
    EXPECT_EQ(WindowsOfThisThread(), 0);
    EXPECT_EQ(control.OwningThreadId(), 0u);
  }
  TNumbersControl control;
  EXPECT_EQ(MessageOf<Exception>([&] { control.AcquireWindow(); }), u"(nothing raised)") << "both locks were released";
  EXPECT_EQ(control.ReleaseMessage(), 1025u);
}

TEST(MsgWndHandler, NumbersAreCheckedOnTheWayInAndOut) {
  TMsgWndHandler undefined(nullptr, 1000);
  UINT number = 1030;
  EXPECT_EQ(MessageOf<EMsgWndException>([&] { undefined.RegisterMessage(nullptr); }), u"MsgLow not defined");
  EXPECT_EQ(MessageOf<EMsgWndException>([&] { undefined.UnregisterMessage(number); }), u"MsgLow not defined");

  TMsgWndHandler handler(nullptr, 1025);
  TNumbersControl owner;
  for (int i = 0; i < MsgWndSlotCount; ++i) handler.RegisterMessage(&owner);
  EXPECT_EQ(handler.FreeMessageCount(), 0);
  EXPECT_EQ(MessageOf<EMsgWndException>([&] { handler.RegisterMessage(&owner); }), u"No more free message");
  for (UINT outside : {1024u, 1125u}) {
    EXPECT_EQ(MessageOf<EMsgWndException>([&] { handler.UnregisterMessage(outside); }), u"Msg value out of bound");
  }
  handler.UnregisterMessage(number);
  EXPECT_EQ(number, 0u);
  handler.UnregisterMessage(number);  // 0: nothing to give back
  number = 1030;
  EXPECT_EQ(MessageOf<EMsgWndException>([&] { handler.UnregisterMessage(number); }), u"Msg not registered");
  EXPECT_EQ(handler.RegisterMessage(&owner), 1030u);
}

TEST(MsgWnd, TheBaseNumberFallsBackTo1025OutsideItsRange) {
  const auto firstNumberWith = [](UINT base) {
    SetMsgWndBaseMessage(base);
    TNumbersControl control;
    return control.Handle() ? control.ReleaseMessage() : 0;
  };
  EXPECT_EQ(firstNumberWith(2000), 2000u);
  EXPECT_EQ(firstNumberWith(65434), 65434u);
  EXPECT_EQ(firstNumberWith(65435), 1025u);
  EXPECT_EQ(MsgWndBaseMessage(), 1025u);
  EXPECT_EQ(firstNumberWith(1024), 1025u);
}

TEST(MsgWnd, ProcessMessageStopsAtTheQuitMessageWithoutDispatchingIt) {
  TNumbersControl control;
  control.AcquireWindow();
  PostMessageW(control.Handle(), control.Lookup(), 1, 0);
  PostQuitMessage(0);
  EXPECT_TRUE(control.ProcessMessage());
  EXPECT_FALSE(control.Terminated());
  EXPECT_TRUE(control.ProcessMessage());
  EXPECT_TRUE(control.Terminated());
  EXPECT_FALSE(control.ProcessMessage());
  EXPECT_EQ(control.received, std::vector<WPARAM>{1});
}

TEST(MsgWnd, MessagePumpUsesTheToolkitUnlessMultiThreaded) {
  ScopedOverride<ToolkitEventsApi> toolkit;
  int toolkitRuns = 0;
  toolkit->ProcessPendingEvents = [&] { ++toolkitRuns; };
  TNumbersControl control;
  control.AcquireWindow();
  PostMessageW(control.Handle(), control.Lookup(), 1, 0);
  control.MessagePump();
  EXPECT_EQ(toolkitRuns, 1);
  EXPECT_TRUE(control.received.empty());
  control.SetMultiThreaded(true);
  control.MessagePump();
  EXPECT_EQ(toolkitRuns, 1);
  EXPECT_EQ(control.received.size(), 1u);
}

TEST(MsgWnd, WithoutAToolkitPendingEventsAreThisThreadsMessagesAndQuitStaysPending) {
  TNumbersControl control;
  control.AcquireWindow();
  PostMessageW(control.Handle(), control.Lookup(), 1, 0);
  PostQuitMessage(5);
  ProcessPendingEvents();
  EXPECT_EQ(control.received.size(), 1u);
  MSG message{};
  EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), 0);
  EXPECT_EQ(message.wParam, 5u);
}

}  // namespace
}  // namespace kelvo
