#include "platform/window_messages.h"
#include "platform/text.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kelvo {
namespace {

struct Seen {
  UINT message;
  WPARAM wParam;
  LONG_PTR extraAtTheTime;
};
thread_local std::vector<Seen> seen;
thread_local bool refuseCreation = false;
thread_local std::function<void(HWND, UINT)> reaction;

LRESULT RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  seen.push_back({message, wParam, GetWindowLongPtrW(window, 0)});
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    EXPECT_EQ(create->dwExStyle, WS_EX_TOOLWINDOW);
    if (refuseCreation) return 0;
  }
  if (reaction) reaction(window, message);
  return DefWindowProcW(window, message, wParam, lParam);
}

constexpr char16_t kClass[] = u"WindowMessagesTestClass";

struct Windows : ::testing::Test {
  Windows() {
    const WNDCLASSW record{.style = 0, .lpfnWndProc = RecordingProc, .cbClsExtra = 0, .cbWndExtra = sizeof(void*),
                           .hInstance = instance, .hIcon = nullptr, .hCursor = nullptr, .hbrBackground = nullptr,
                           .lpszMenuName = nullptr, .lpszClassName = kClass};
    atom = RegisterClassW(&record);
    seen.clear();
  }
  ~Windows() override {
    reaction = nullptr;
    UnregisterClassW(kClass, instance);
  }
  HWND Create() {
    return CreateWindowExW(WS_EX_TOOLWINDOW, kClass, u"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
  }
  static std::vector<UINT> Messages() {
    std::vector<UINT> numbers;
    for (const Seen& s : seen) numbers.push_back(s.message);
    return numbers;
  }
  static void DispatchAll() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) && message.message != WM_QUIT) DispatchMessageW(&message);
  }

  HINSTANCE instance = GetModuleHandleW(nullptr);
  ATOM atom = 0;
};

TEST_F(Windows, ClassesAreKeptPerModuleInstanceWithThePlatformsErrors) {
  ASSERT_NE(atom, 0);
  WNDCLASSW record{};
  EXPECT_TRUE(GetClassInfoW(instance, u"windowMESSAGEStestclass", &record)) << "names ignore case";
  EXPECT_EQ(record.lpfnWndProc, RecordingProc);
  EXPECT_EQ(record.cbWndExtra, static_cast<int>(sizeof(void*)));
  EXPECT_FALSE(GetClassInfoW(nullptr, kClass, &record)) << "another module does not see it";
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);

  record.lpszClassName = kClass;
  record.hInstance = instance;
  EXPECT_EQ(RegisterClassW(&record), 0);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

  const HWND window = Create();
  EXPECT_FALSE(UnregisterClassW(kClass, instance));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
  DestroyWindow(window);
  EXPECT_TRUE(UnregisterClassW(kClass, instance));
  EXPECT_FALSE(UnregisterClassW(kClass, instance));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
  EXPECT_EQ(Create(), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);

  for (int again = 0; again < 0x4000 + 100; ++again) {  // more than there are class atoms
    ASSERT_EQ(RegisterClassW(&record), atom);
    ASSERT_TRUE(UnregisterClassW(kClass, instance));
  }
}

// Uses up the process's class atoms, so it runs in a process of its own.
TEST(WindowClassesDeathTest, WhenTheAtomsAreUsedUpRegistrationIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        std::vector<std::u16string> names;
        std::vector<ATOM> atoms;
        WNDCLASSW record{};
        record.lpfnWndProc = RecordingProc;
        record.hInstance = instance;
        for (int i = 0; i <= 0x4000 && (atoms.empty() || atoms.back() != 0); ++i) {
          names.push_back(u"AtomClass" + DecimalText(i));
          record.lpszClassName = names.back().c_str();
          atoms.push_back(RegisterClassW(&record));
        }
        const DWORD error = GetLastError();
        WNDCLASSW found{};
        const bool refused = atoms.back() == 0 && error == ERROR_NOT_ENOUGH_MEMORY &&
                             !GetClassInfoW(instance, names.back().c_str(), &found);
        atoms.pop_back();
        const bool ownRange = std::all_of(atoms.begin(), atoms.end(), [](ATOM a) { return a >= 0xC000; }) &&
                              std::set<ATOM>(atoms.begin(), atoms.end()).size() == atoms.size();
        std::exit(refused && ownRange ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Windows, TheProcedureSeesTheWindowBeingCreatedAndMayRefuseIt) {
  const HWND window = Create();
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].message, WM_NCCREATE);
  EXPECT_EQ(seen[0].extraAtTheTime, 0) << "the extra slot exists, still empty";
  EXPECT_EQ(seen[1].message, WM_CREATE);
  DestroyWindow(window);

  refuseCreation = true;
  seen.clear();
  EXPECT_EQ(Create(), nullptr);
  refuseCreation = false;
  EXPECT_EQ(Messages(), (std::vector<UINT>{WM_NCCREATE, WM_DESTROY, WM_NCDESTROY}));
}

TEST_F(Windows, TheExtraSlotHoldsAWholePointer) {
  const HWND window = Create();
  const auto pointer = static_cast<LONG_PTR>(0x7F12345678ABCDEFLL & static_cast<long long>(~std::uintptr_t{0}));
  EXPECT_EQ(SetWindowLongPtrW(window, 0, pointer), 0);
  EXPECT_EQ(GetWindowLongPtrW(window, 0), pointer);
  EXPECT_EQ(GetWindowLongPtrW(window, 1), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
  DestroyWindow(window);
  EXPECT_EQ(GetWindowLongPtrW(window, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(Windows, MessagesArriveInOrderAndTheQuitMessageComesLast) {
  const HWND window = Create();
  seen.clear();
  PostQuitMessage(7);
  for (WPARAM i = 0; i < 5; ++i) ASSERT_TRUE(PostMessageW(window, WM_USER + 1, i, 0));
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  EXPECT_EQ(message.message, WM_QUIT);
  EXPECT_EQ(message.wParam, 7u);
  ASSERT_EQ(seen.size(), 5u);
  for (WPARAM i = 0; i < 5; ++i) EXPECT_EQ(seen[i].wParam, i);
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) << "the quit message was taken";
  DestroyWindow(window);
}

TEST_F(Windows, PeekCanLeaveTheMessageAndFilterByWindowAndNumber) {
  const HWND first = Create();
  const HWND second = Create();
  PostMessageW(first, WM_USER + 1, 1, 0);
  PostMessageW(second, WM_USER + 2, 2, 0);
  MSG message{};
  ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(message.wParam, 1u);
  ASSERT_TRUE(PeekMessageW(&message, second, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.wParam, 2u);
  EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_USER + 2, WM_USER + 9, PM_REMOVE));
  ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.wParam, 1u);
  DestroyWindow(first);
  DestroyWindow(second);
}

TEST_F(Windows, DestroyingAWindowDropsItsQueuedMessagesAndLaterPostsFail) {
  const HWND doomed = Create();
  const HWND other = Create();
  PostMessageW(doomed, WM_USER + 1, 1, 0);
  PostMessageW(other, WM_USER + 1, 2, 0);
  EXPECT_TRUE(DestroyWindow(doomed));
  seen.clear();
  DispatchAll();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].wParam, 2u);
  EXPECT_FALSE(PostMessageW(doomed, WM_USER + 1, 3, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(DestroyWindow(doomed));
  DestroyWindow(other);
}

// One message runs a nested loop, the next destroys its window and posts to it: what was queued
// for the window goes with it, the rest is dispatched once.
TEST_F(Windows, AProcedureMayRunALoopAndDestroyItsWindowWhileDispatched) {
  const HWND window = Create();
  const HWND other = Create();
  reaction = [](HWND target, UINT message) {
    if (message == WM_USER + 5) DispatchPendingMessages();
    if (message == WM_USER + 1) {
      EXPECT_TRUE(DestroyWindow(target));
      EXPECT_FALSE(PostMessageW(target, WM_USER + 3, 0, 0));
    }
  };
  PostMessageW(window, WM_USER + 5, 0, 0);
  PostMessageW(window, WM_USER + 1, 0, 0);
  PostMessageW(window, WM_USER + 2, 0, 0);
  PostMessageW(other, WM_USER + 4, 0, 0);
  seen.clear();
  DispatchAll();
  EXPECT_EQ(Messages(), (std::vector<UINT>{WM_USER + 5, WM_USER + 1, WM_DESTROY, WM_NCDESTROY, WM_USER + 4}));
  const MSG late{.hwnd = window, .message = WM_USER + 2, .wParam = 0, .lParam = 0, .time = 0, .pt = {}};
  EXPECT_EQ(DispatchMessageW(&late), 0) << "a message taken before its window went";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  DestroyWindow(other);
}

TEST_F(Windows, OtherThreadsPostInOrderButCannotDestroy) {
  const HWND window = Create();
  seen.clear();
  std::thread poster([&] {
    for (WPARAM i = 0; i < 1000; ++i) PostMessageW(window, WM_USER + 1, i, 0);
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    PostMessageW(window, WM_USER + 2, 0, 0);
  });
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_USER + 2) break;
    DispatchMessageW(&message);
  }
  poster.join();
  ASSERT_EQ(seen.size(), 1000u);
  for (WPARAM i = 0; i < 1000; ++i) ASSERT_EQ(seen[i].wParam, i);
  DestroyWindow(window);
}

// Its procedure and whatever state it keeps belong to the window's own thread.
TEST_F(Windows, AMessageForAnotherThreadsWindowIsNotDispatchedHere) {
  std::promise<HWND> created;
  std::promise<void> done;
  std::thread owner([&] {
    created.set_value(Create());
    done.get_future().wait();
  });
  const MSG message{.hwnd = created.get_future().get(), .message = WM_USER + 1, .wParam = 0, .lParam = 0, .time = 0, .pt = {}};
  EXPECT_EQ(DispatchMessageW(&message), 0);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(seen.empty());
  done.set_value();
  owner.join();
}

bool Readable(int descriptor) {
  pollfd watched{.fd = descriptor, .events = POLLIN, .revents = 0};
  return poll(&watched, 1, 0) == 1;
}

TEST_F(Windows, AWatchedQueuesDescriptorIsReadableExactlyWhileMessagesWait) {
  const HWND window = Create();
  PostMessageW(window, WM_USER + 1, 1, 0);
  const int descriptor = WatchMessageQueue();
  EXPECT_TRUE(Readable(descriptor)) << "messages already waiting wake the loop at once";
  EXPECT_EQ(DispatchPendingMessages(), std::nullopt);
  EXPECT_FALSE(Readable(descriptor));
  std::thread([&] { PostMessageW(window, WM_USER + 1, 2, 0); }).join();
  EXPECT_TRUE(Readable(descriptor));
  PostQuitMessage(3);
  EXPECT_EQ(DispatchPendingMessages(), 3);
  EXPECT_FALSE(Readable(descriptor));
  EXPECT_EQ(seen.size(), 4u);  // creation messages and the two posted
  DestroyWindow(window);
}

// A loop that sleeps on the descriptor while four threads post: it must neither sleep through a
// message nor wake to an empty queue.
TEST(WatchedQueue, EveryWakeUpFindsWorkAndNoneIsLost) {
  constexpr int kPosters = 4;
  constexpr long kEach = 5000;
  static std::atomic<long> received{0};
  const WNDCLASSW record{.style = 0,
                         .lpfnWndProc = [](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
                           if (message == WM_USER) ++received;
                           return kTrue;
                         },
                         .cbClsExtra = 0, .cbWndExtra = 0, .hInstance = nullptr, .hIcon = nullptr,
                         .hCursor = nullptr, .hbrBackground = nullptr, .lpszMenuName = nullptr,
                         .lpszClassName = u"WatchedQueueTestClass"};
  ASSERT_NE(RegisterClassW(&record), 0);
  std::promise<HWND> created;
  long emptyWakeUps = 0;
  bool slept = false;
  std::thread watcher([&] {
    const HWND window = CreateWindowExW(0, record.lpszClassName, u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    pollfd watched{.fd = WatchMessageQueue(), .events = POLLIN, .revents = 0};
    created.set_value(window);
    while (received < kPosters * kEach) {
      if (poll(&watched, 1, 5000) != 1) {
        slept = true;
        break;
      }
      const long before = received;
      DispatchPendingMessages();
      if (received == before) ++emptyWakeUps;
    }
    DestroyWindow(window);
  });
  const HWND window = created.get_future().get();
  std::vector<std::thread> posters;
  for (int i = 0; i < kPosters; ++i) {
    posters.emplace_back([window] {
      for (long n = 0; n < kEach; ++n) PostMessageW(window, WM_USER, 0, 0);
    });
  }
  for (std::thread& poster : posters) poster.join();
  watcher.join();
  EXPECT_FALSE(slept) << received << " of " << kPosters * kEach << " received";
  EXPECT_EQ(emptyWakeUps, 0);
  UnregisterClassW(record.lpszClassName, nullptr);
}

int OpenDescriptors() {
  int count = 0;
  DIR* folder = opendir("/proc/self/fd");
  while (readdir(folder) != nullptr) ++count;
  closedir(folder);
  return count;
}

// A thread's windows end with it: nothing keeps queueing for a thread that is gone, and its
// queue and wake-up descriptor are freed.
TEST_F(Windows, AThreadThatEndsTakesItsWindowsAndItsQueueWithIt) {
  const int descriptors = OpenDescriptors();
  HWND left = nullptr;
  std::thread([&] {
    left = Create();
    WatchMessageQueue();
    PostMessageW(left, WM_USER + 1, 0, 0);
  }).join();
  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_FALSE(PostMessageW(left, WM_USER + 1, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_TRUE(UnregisterClassW(kClass, instance)) << "no window of the class is left";
}
}  // namespace
}  // namespace kelvo
