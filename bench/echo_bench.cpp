// Cost of one echo on loopback: TICMP::Ping to 127.0.0.1, timed call by call.
// Usage: echo_bench [count]; prints count, total, mean and median in microseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ping/icmp.h"
#include "platform/posix/echo/helper_client.h"

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  const int count = std::clamp(argc > 1 ? std::atoi(argv[1]) : 10000, 1, 1000000);
  kelvo::echo::UseHelperAt(KELVO_ECHO_HELPER);
  kelvo::TICMP icmp;
  icmp.SetAddress(u"127.0.0.1");
  icmp.SetSize(56);
  icmp.SetTimeout(1000);
  icmp.Ping();  // resolves the address once, as a ping run does

  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(count));
  int answered = 0;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto before = Clock::now();
    answered += icmp.Ping();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  const double total = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  std::nth_element(micros.begin(), micros.begin() + count / 2, micros.end());
  std::printf("count %d answered %d total_us %.0f mean_us %.2f median_us %.2f\n", count, answered, total,
              total / count, micros[static_cast<std::size_t>(count / 2)]);
  return 0;
}
