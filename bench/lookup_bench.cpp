// A lookup of `localhost` as the ping panel makes it, through the ping component: the
// asynchronous resolver's worker, the completion posted to the hidden window, the message loop
// dispatching it to OnDnsLookupDone. Beside it the same answer from a direct getaddrinfo on the
// calling thread. Usage: lookup_bench [count, default 2000]; prints medians in microseconds.
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "ping/ping.h"

namespace {

using Clock = std::chrono::steady_clock;

double MedianMicroseconds(int count, const std::function<void()>& call) {
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    call();
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::nth_element(times.begin(), times.begin() + count / 2, times.end());
  return times[static_cast<std::size_t>(count / 2)];
}

}  // namespace

int main(int argc, char** argv) {
  const int count = std::clamp(argc > 1 ? std::atoi(argv[1]) : 2000, 1, 1000000);
  kelvo::TPing ping(nullptr);
  bool done = false;
  int failed = 0;
  ping.OnDnsLookupDone = [&](kelvo::TObject*, kelvo::WORD error) {
    done = true;
    failed += error != 0;
  };
  const auto component = [&] {
    done = false;
    ping.DnsLookup(u"localhost");
    kelvo::MSG message;
    while (!done && kelvo::GetMessageW(&message, nullptr, 0, 0) > 0) kelvo::DispatchMessageW(&message);
  };
  const auto direct = [&] {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    failed += ::getaddrinfo("localhost", nullptr, &hints, &found) != 0;
    if (found != nullptr) ::freeaddrinfo(found);
  };
  component();  // the first starts the resolver's worker
  direct();
  double ours[5], theirs[5];
  for (int round = 0; round < 5; ++round) {
    ours[round] = MedianMicroseconds(count, component);
    theirs[round] = MedianMicroseconds(count, direct);
  }
  std::sort(ours, ours + 5);
  std::sort(theirs, theirs + 5);
  std::printf("lookups of localhost: %d per round, 5 rounds, %d failed; medians\n", count, failed);
  std::printf("TPing::DnsLookup to OnDnsLookupDone  %.1f us\n", ours[2]);
  std::printf("getaddrinfo on the calling thread     %.1f us\n", theirs[2]);
  std::printf("difference %.1f us (goal <= 500 us), ratio %.2f\n", ours[2] - theirs[2], ours[2] / theirs[2]);
  return 0;
}
