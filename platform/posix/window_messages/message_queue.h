// One thread's message queue: posted messages in order, the pending quit request, and a
// wake-up descriptor for an event loop that watches the queue instead of blocking in it.
// Posters append under the lock; the owning thread takes everything posted so far in one go
// and then serves its reads from that batch without the lock, so a busy queue costs the two
// threads one lock round per batch rather than per message.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/window_messages.h"

namespace kelvo {

class ThreadQueue {
 public:
  ThreadQueue() = default;
  ~ThreadQueue();
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  void Post(const MSG& message);
  void PostQuit(int exitCode);

  // Takes the first message that passes the filter (window 0 = any; range 0..0 = any) into
  // *message. The quit request comes only after every posted message. Returns false when
  // nothing is there and wait is false.
  bool Take(MSG* message, HWND window, UINT filterMin, UINT filterMax, bool remove, bool wait);

  // Forgets every message still queued for a window that is going away.
  void DropMessagesFor(HWND window);

  // The wake-up descriptor, made on the first call; -1 (errno set) when none can be made.
  int Watch();

  // Take, DropMessagesFor and Watch run on the owning thread only; Post and PostQuit anywhere.

 private:
  void SignalLocked();
  void ClearSignalLocked();

  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<MSG> messages_;
  std::deque<MSG> taken_;  // the owning thread's batch, older than anything in messages_
  bool quitPending_ = false;
  int quitCode_ = 0;
  int waiting_ = 0;
  bool watched_ = false;
  bool signalled_ = false;  // the wake-up descriptor is readable
  int wakeDescriptor_ = -1;
};

// The calling thread's queue, created on first use; windows keep theirs alive for posters.
const std::shared_ptr<ThreadQueue>& CurrentThreadQueue();

}  // namespace kelvo
