#include "bench/resource_soak.h"

#include <dirent.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>

#include "ping/ping.h"
#include "platform/exception.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's own count (GCC ships the runtime but not this header).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace kelvo::soak {

namespace {

long StatusField(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(name + ":")) return std::stol(line.substr(name.size() + 1));
  }
  return -1;
}

long OpenDescriptors() {
  DIR* listing = ::opendir("/proc/self/fd");
  if (listing == nullptr) return -1;
  long count = 0;
  while (const dirent* item = ::readdir(listing)) count += item->d_name[0] != '.';
  ::closedir(listing);
  return count - 1;  // the listing's own
}

long HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
  return static_cast<long>(::mallinfo2().uordblks);
#endif
}

// Dispatches this thread's messages until the condition holds; the completion always comes.
void PumpUntil(const std::function<bool()>& done) {
  MSG message;
  while (!done() && GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

class Sampler {
 public:
  explicit Sampler(Figures& figures) : figures_(figures) {}
  void Take() {
    const Resources now = Sample();
    if (!started_) figures_.first = figures_.peak = now;
    started_ = true;
    figures_.peak.descriptors = std::max(figures_.peak.descriptors, now.descriptors);
    figures_.peak.threads = std::max(figures_.peak.threads, now.threads);
    figures_.peak.rssKb = std::max(figures_.peak.rssKb, now.rssKb);
    figures_.peak.heapBytes = std::max(figures_.peak.heapBytes, now.heapBytes);
    figures_.last = now;
  }

 private:
  Figures& figures_;
  bool started_ = false;
};

}  // namespace

Resources Sample() { return {OpenDescriptors(), StatusField("Threads"), StatusField("VmRSS"), HeapInUse()}; }

Figures Run(int echoes, int lookups, int samples, const std::u16string& name) {
  Figures figures;
  Sampler sampler(figures);
  TPing ping(nullptr);
  ping.SetAddress(u"127.0.0.1");
  ping.SetTimeout(1000);
  bool done = false;
  ping.OnDnsLookupDone = [&](TObject*, WORD) { done = true; };

  // One lookup, cancelled at once when asked; one that finished first cannot be cancelled and
  // is taken from the message loop instead.
  const auto lookup = [&](bool cancel) {
    done = false;
    ping.DnsLookup(name);
    if (cancel) {
      try {
        ping.CancelDnsLookup();
        return true;
      } catch (const Exception&) {
      }
    }
    PumpUntil([&] { return done; });
    return false;
  };

  // Warm-up: the socket and the window, and a burst of lookups, each withdrawing the one before,
  // that starts every worker the resolver will ever have.
  ping.Ping();
  for (int i = 0; i < 16; ++i) ping.DnsLookup(name);
  lookup(false);
  sampler.Take();
  const int echoEvery = std::max(1, echoes / std::max(1, samples));
  for (int i = 0; i < echoes; ++i) {
    figures.answered += ping.Ping();
    ++figures.echoes;
    if (i % echoEvery == 0) sampler.Take();
  }
  const int lookupEvery = std::max(1, lookups / std::max(1, samples));
  for (int i = 0; i < lookups; ++i) {
    ++(lookup(i % 2 == 1) ? figures.cancelled : figures.resolved);
    ++figures.lookups;
    if (i % lookupEvery == 0) sampler.Take();
  }
  lookup(false);  // the last one waits for every worker to be idle again
  sampler.Take();
  return figures;
}

std::string Report(const Figures& f) {
  char text[640];
  std::snprintf(text, sizeof(text),
                "echoes %d (answered %d), lookups %d (resolved %d, cancelled %d)\n"
                "descriptors  first %ld  peak %ld  last %ld\n"
                "threads      first %ld  peak %ld  last %ld\n"
                "rss_kb       first %ld  peak %ld  last %ld\n"
                "heap_bytes   first %ld  peak %ld  last %ld\n",
                f.echoes, f.answered, f.lookups, f.resolved, f.cancelled, f.first.descriptors, f.peak.descriptors,
                f.last.descriptors, f.first.threads, f.peak.threads, f.last.threads, f.first.rssKb, f.peak.rssKb,
                f.last.rssKb, f.first.heapBytes, f.peak.heapBytes, f.last.heapBytes);
  return text;
}

}  // namespace kelvo::soak
