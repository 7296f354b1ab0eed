#include "platform/posix/window_messages/message_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace kelvo {

ThreadQueue::~ThreadQueue() {
  if (wakeDescriptor_ >= 0) close(wakeDescriptor_);
}

// The descriptor is readable exactly while the queue holds something: signalled once when work
// arrives, cleared by the owner once it finds the queue empty. Both happen under the lock, so a
// wake-up is never lost and none is left over once the queue is drained; only a watched queue
// pays for the calls.
void ThreadQueue::SignalLocked() {
  if (!watched_ || signalled_) return;
  const std::uint64_t one = 1;
  signalled_ = write(wakeDescriptor_, &one, sizeof(one)) == sizeof(one);
}

void ThreadQueue::ClearSignalLocked() {
  if (!signalled_ || !taken_.empty() || !messages_.empty() || quitPending_) return;
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t taken = read(wakeDescriptor_, &count, sizeof(count));
  signalled_ = false;
}

void ThreadQueue::Post(const MSG& message) {
  bool wakeWaiter = false;
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
    SignalLocked();
    wakeWaiter = waiting_ > 0;
  }
  if (wakeWaiter) posted_.notify_one();
}

void ThreadQueue::PostQuit(int exitCode) {
  {
    std::lock_guard lock(mutex_);
    quitPending_ = true;
    quitCode_ = exitCode;
    SignalLocked();
  }
  posted_.notify_all();
}

bool ThreadQueue::Take(MSG* message, HWND window, UINT filterMin, UINT filterMax, bool remove, bool wait) {
  const bool anyNumber = filterMin == 0 && filterMax == 0;
  const auto passes = [&](const MSG& m) {
    return (window == nullptr || m.hwnd == window) &&
           (anyNumber || (m.message >= filterMin && m.message <= filterMax));
  };
  const auto takeFrom = [&](std::deque<MSG>::iterator first) {
    const auto found = std::find_if(first, taken_.end(), passes);
    if (found == taken_.end()) return false;
    *message = *found;
    if (!remove) return true;
    if (found == taken_.begin()) {
      taken_.pop_front();  // the usual case, and much cheaper than a general erase
    } else {
      taken_.erase(found);
    }
    return true;
  };
  if (takeFrom(taken_.begin())) return true;
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto searched = static_cast<std::ptrdiff_t>(taken_.size());
    if (taken_.empty()) {
      taken_.swap(messages_);
    } else {
      std::move(messages_.begin(), messages_.end(), std::back_inserter(taken_));
      messages_.clear();
    }
    if (takeFrom(taken_.begin() + searched)) return true;
    if (quitPending_) {
      *message = MSG{.hwnd = nullptr, .message = WM_QUIT, .wParam = static_cast<WPARAM>(quitCode_), .lParam = 0,
                     .time = 0, .pt = {}};
      if (remove) quitPending_ = false;
      ClearSignalLocked();
      return true;
    }
    ClearSignalLocked();
    if (!wait) return false;
    ++waiting_;
    posted_.wait(lock);
    --waiting_;
  }
}

void ThreadQueue::DropMessagesFor(HWND window) {
  const auto addressed = [window](const MSG& m) { return m.hwnd == window; };
  std::erase_if(taken_, addressed);
  std::lock_guard lock(mutex_);
  std::erase_if(messages_, addressed);
  ClearSignalLocked();
}

// Only a watched queue holds a descriptor: most threads with windows run loops of their own.
int ThreadQueue::Watch() {
  std::lock_guard lock(mutex_);
  if (watched_) return wakeDescriptor_;
  wakeDescriptor_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  watched_ = wakeDescriptor_ >= 0;
  if (!taken_.empty() || !messages_.empty() || quitPending_) SignalLocked();
  return wakeDescriptor_;
}

const std::shared_ptr<ThreadQueue>& CurrentThreadQueue() {
  thread_local const std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
  return queue;
}

}  // namespace kelvo
