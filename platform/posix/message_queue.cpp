#include "platform/posix/message_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace kelvo {

ThreadQueue::ThreadQueue() : wakeDescriptor_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ThreadQueue::~ThreadQueue() {
  if (wakeDescriptor_ >= 0) close(wakeDescriptor_);
}

// Only a queue that an event loop watches pays for the system call, and only when it turns
// from empty to non-empty: the loop drains everything on each wake-up.
void ThreadQueue::WakeLoop() const {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(wakeDescriptor_, &one, sizeof(one));
}

void ThreadQueue::Post(const MSG& message) {
  bool wakeWaiter = false;
  bool wakeLoop = false;
  {
    std::lock_guard lock(mutex_);
    wakeLoop = watched_ && !PendingLocked();
    messages_.push_back(message);
    wakeWaiter = waiting_ > 0;
  }
  if (wakeWaiter) posted_.notify_one();
  if (wakeLoop) WakeLoop();
}

void ThreadQueue::PostQuit(int exitCode) {
  bool wakeLoop = false;
  {
    std::lock_guard lock(mutex_);
    wakeLoop = watched_ && !PendingLocked();
    quitPending_ = true;
    quitCode_ = exitCode;
  }
  posted_.notify_all();
  if (wakeLoop) WakeLoop();
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
      return true;
    }
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
}

int ThreadQueue::Watch() {
  bool wakeLoop = false;
  {
    std::lock_guard lock(mutex_);
    wakeLoop = !watched_ && (PendingLocked() || !taken_.empty());
    watched_ = true;
  }
  if (wakeLoop) WakeLoop();
  return wakeDescriptor_;
}

const std::shared_ptr<ThreadQueue>& CurrentThreadQueue() {
  thread_local const std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
  return queue;
}

}  // namespace kelvo
