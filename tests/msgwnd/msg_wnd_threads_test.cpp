#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "ping/msg_wnd.h"
#include "tests/msgwnd/test_controls.h"

namespace kelvo {
namespace {

using testing::TNumbersControl;
using namespace std::chrono_literals;

constexpr WPARAM kQuitRequest = 1000;

struct Offered {
  HWND window;
  UINT number;
  UINT releaseNumber;
  DWORD threadId;
};

struct Outcome {
  std::vector<WPARAM> received;
  std::vector<DWORD> receivedOn;
  bool terminated;
};

// A worker thread with one control that runs its own message loop until asked to quit.
Outcome RunWorker(std::promise<Offered>& offered) {
  TNumbersControl control;
  control.onMessage = [](TMessage& message) {
    if (message.WParam == kQuitRequest) PostQuitMessage(0);
  };
  offered.set_value({control.Handle(), control.Lookup(), control.ReleaseMessage(), GetCurrentThreadId()});
  control.MessageLoop();
  return {control.received, control.receivedOn, control.Terminated()};
}

TEST(MsgWndThreads, ControlsOnWorkerThreadsGetTheirOwnWindowsAndLoops) {
  constexpr int kWorkers = 3;
  std::array<std::promise<Offered>, kWorkers> offers;
  std::array<std::future<Outcome>, kWorkers> outcomes;
  for (int i = 0; i < kWorkers; ++i) outcomes[i] = std::async(std::launch::async, RunWorker, std::ref(offers[i]));
  std::array<Offered, kWorkers> offered{};
  for (int i = 0; i < kWorkers; ++i) offered[i] = offers[i].get_future().get();

  for (WPARAM value = 0; value < 100; ++value) {
    for (const Offered& o : offered) ASSERT_TRUE(PostMessageW(o.window, o.number, value, 0));
  }
  for (const Offered& o : offered) PostMessageW(o.window, o.number, kQuitRequest, 0);

  for (int i = 0; i < kWorkers; ++i) {
    const Outcome outcome = outcomes[i].get();
    EXPECT_EQ(offered[i].releaseNumber, 1025u) << "each thread has a window of its own";
    EXPECT_NE(offered[i].threadId, GetCurrentThreadId());
    ASSERT_EQ(outcome.received.size(), 101u);
    for (WPARAM value = 0; value < 100; ++value) EXPECT_EQ(outcome.received[value], value);
    for (DWORD on : outcome.receivedOn) EXPECT_EQ(on, offered[i].threadId);
    EXPECT_TRUE(outcome.terminated);
  }
  EXPECT_NE(offered[0].window, offered[1].window);
}

TEST(MsgWndThreads, ReleaseFromAnotherThreadDestroysTheControlOnItsOwnThread) {
  std::promise<Offered> keeperOffered;
  std::promise<TNumbersControl*> victimOffered;
  std::atomic<DWORD> destroyedOn{0};
  bool destroyed = false;
  std::thread worker([&] {
    TNumbersControl keeper;
    keeper.onMessage = [](TMessage&) { PostQuitMessage(0); };
    auto* victim = new TNumbersControl;
    victim->destroyed = &destroyed;
    victim->onMessage = [&](TMessage&) { destroyedOn = GetCurrentThreadId(); };
    victim->AcquireWindow();
    keeperOffered.set_value({keeper.Handle(), keeper.Lookup(), 0, GetCurrentThreadId()});
    victimOffered.set_value(victim);
    keeper.MessageLoop();
  });
  const Offered keeper = keeperOffered.get_future().get();
  TNumbersControl* victim = victimOffered.get_future().get();
  PostMessageW(victim->Handle(), victim->Lookup(), 0, 0);
  victim->Release();
  PostMessageW(keeper.window, keeper.number, 0, 0);
  worker.join();
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(destroyedOn.load(), keeper.threadId);
}

// The loop must not touch a control that one of its messages destroyed.
TEST(MsgWndThreads, AControlReleasedInsideItsOwnLoopIsNotTouchedAfterwards) {
  bool destroyed = false;
  std::thread([&] {
    auto* control = new TNumbersControl;
    control->destroyed = &destroyed;
    control->Release();
    PostQuitMessage(0);
    control->MessageLoop();
  }).join();
  EXPECT_TRUE(destroyed);

  destroyed = false;
  auto* control = new TNumbersControl;
  control->destroyed = &destroyed;
  control->Release();
  control->SetMultiThreaded(true);
  control->MessagePump();
  EXPECT_TRUE(destroyed);
}

// Eight threads make, post to and release controls for a few seconds while posting to each
// other's mailbox controls. Every message a thread posts to its own live controls arrives
// exactly once; a post to another thread's mailbox either arrives or fails because that thread
// has finished and its window is gone.
TEST(MsgWndThreads, EightThreadsAcquirePostAndReleaseConcurrently) {
  constexpr int kThreads = 8;
  const auto deadline = std::chrono::steady_clock::now() + 2500ms;
  std::array<std::atomic<HWND>, kThreads> mailboxWindow{};
  std::array<std::atomic<UINT>, kThreads> mailboxNumber{};
  std::atomic<long> foreignPosted{0};
  std::atomic<long> foreignReceived{0};
  std::atomic<long> unexpectedErrors{0};

  const auto worker = [&](int index) {
    std::minstd_rand random(static_cast<unsigned>(index) + 1);
    auto mailbox = std::make_unique<TNumbersControl>();
    mailbox->onMessage = [&](TMessage&) { ++foreignReceived; };
    mailboxNumber[index] = mailbox->Handle() ? mailbox->Lookup() : 0;
    mailboxWindow[index] = mailbox->Handle();
    std::vector<TNumbersControl*> controls;
    long ownPosted = 0;
    long ownReceived = 0;
    const auto release = [&](std::size_t which, bool deferred) {
      TNumbersControl* control = controls[which];
      controls.erase(controls.begin() + static_cast<std::ptrdiff_t>(which));
      if (deferred) {
        control->Release();
      } else {
        DispatchPendingMessages();
        delete control;
      }
    };
    for (int round = 0; round < 1000000 && std::chrono::steady_clock::now() < deadline; ++round) {
      switch (random() % 5) {
        case 0:
          if (controls.size() < 12) {
            auto* control = new TNumbersControl(nullptr, static_cast<int>(random() % 3) + 1);
            control->onMessage = [&](TMessage&) { ++ownReceived; };
            control->AcquireWindow();
            controls.push_back(control);
          }
          break;
        case 1:
        case 2:
          if (!controls.empty()) {
            TNumbersControl* control = controls[random() % controls.size()];
            if (PostMessageW(control->Handle(), control->Lookup(), 0, 0)) ++ownPosted;
          }
          break;
        case 3: {
          const int other = static_cast<int>(random() % kThreads);
          const HWND window = mailboxWindow[other];
          if (window == nullptr) break;
          if (PostMessageW(window, mailboxNumber[other], 0, 0)) {
            ++foreignPosted;
          } else if (GetLastError() != ERROR_INVALID_WINDOW_HANDLE) {
            ++unexpectedErrors;
          }
          break;
        }
        case 4:
          if (!controls.empty()) release(random() % controls.size(), random() % 2 == 0);
          break;
      }
      if (round % 8 == 0) DispatchPendingMessages();
    }
    while (!controls.empty()) release(controls.size() - 1, controls.size() % 2 == 0);
    DispatchPendingMessages();
    mailbox.reset();
    EXPECT_EQ(ownReceived, ownPosted) << "thread " << index;
    EXPECT_EQ(MsgWndHandlerPool()->HandlerCount(GetCurrentThreadId()), 0) << "thread " << index;
  };

  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(worker, i);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(unexpectedErrors.load(), 0);
  EXPECT_LE(foreignReceived.load(), foreignPosted.load());
  EXPECT_GT(foreignReceived.load(), 0);
}

}  // namespace
}  // namespace kelvo
