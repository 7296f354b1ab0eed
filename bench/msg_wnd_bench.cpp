// Messages per second posted from one thread and dispatched to a control's window procedure on
// another, beside a bare mutex-and-condition-variable queue handing as many items between two
// threads the same way. Prints the median of several runs of each and their ratio.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "ping/msg_wnd.h"
#include "tests/msgwnd/test_controls.h"

namespace {

using namespace kelvo;
using Clock = std::chrono::steady_clock;

constexpr int kItems = 200000;
constexpr int kRuns = 7;

double PerSecond(Clock::time_point start) {
  return kItems / std::chrono::duration<double>(Clock::now() - start).count();
}

double MessageWindowRate() {
  std::promise<std::pair<HWND, UINT>> offered;
  std::thread consumer([&] {
    testing::TNumbersControl control;
    int received = 0;
    control.record = false;
    control.onMessage = [&](TMessage&) {
      if (++received == kItems) PostQuitMessage(0);
    };
    control.AcquireWindow();
    offered.set_value({control.Handle(), control.Lookup()});
    control.MessageLoop();
  });
  const auto [window, number] = offered.get_future().get();
  const auto start = Clock::now();
  for (int i = 0; i < kItems; ++i) PostMessageW(window, number, static_cast<WPARAM>(i), 0);
  consumer.join();
  return PerSecond(start);
}

double BareQueueRate() {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<MSG> queue;
  std::promise<void> ready;
  std::thread consumer([&] {
    ready.set_value();
    for (int received = 0; received < kItems; ++received) {
      std::unique_lock lock(mutex);
      posted.wait(lock, [&] { return !queue.empty(); });
      queue.pop_front();
    }
  });
  ready.get_future().wait();
  const auto start = Clock::now();
  for (int i = 0; i < kItems; ++i) {
    {
      std::lock_guard lock(mutex);
      queue.push_back(MSG{.hwnd = nullptr, .message = WM_USER, .wParam = static_cast<WPARAM>(i), .lParam = 0, .time = 0, .pt = {}});
    }
    posted.notify_one();
  }
  consumer.join();
  return PerSecond(start);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  std::vector<double> windowRates;
  std::vector<double> queueRates;
  for (int run = 0; run < kRuns; ++run) {
    windowRates.push_back(MessageWindowRate());
    queueRates.push_back(BareQueueRate());
  }
  const double window = Median(windowRates);
  const double queue = Median(queueRates);
  std::printf("%d messages between two threads, median of %d runs\n", kItems, kRuns);
  std::printf("  hidden message window: %12.0f messages/s\n", window);
  std::printf("  bare mutex+condvar:    %12.0f items/s\n", queue);
  std::printf("  ratio:                 %12.2f (goal: at least 0.50)\n", window / queue);
  return 0;
}
