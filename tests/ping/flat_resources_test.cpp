// A few seconds of the soak in bench/: echoes to 127.0.0.1 and lookups of a name the test
// answers itself, every other one cancelled. Descriptors and threads end where they began and
// the heap does not keep growing; a handle, a worker or a buffer kept per echo or per lookup
// would show here.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>

#include "bench/resource_soak.h"
#include "platform/sockets.h"
#include "tests/cannot_run.h"
#include "tests/ping/netns.h"

namespace kelvo {
namespace {

constexpr long kMainAndWorkers = 1 + 4;

TEST(FlatResources, EchoesAndLookupsLeaveNothingBehind) {
  ScopedOverride<SocketsApi> sockets;
  sockets->gethostbyname = [](const char* name) -> hostent* {
    // The warm-up's burst must find the workers busy, or it starts fewer than the resolver may
    // have and the count below would take the rest for a leak.
    static std::atomic<int> calls{0};
    if (calls++ < 16) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    static char address[4] = {127, 0, 0, 1};
    static char* addresses[] = {address, nullptr};
    static char* aliases[] = {nullptr};
    static char hostName[] = "soak.test";
    static hostent host{hostName, aliases, AF_INET, 4, addresses};
    return std::strcmp(name, "soak.test") == 0 ? &host : nullptr;
  };
  const soak::Figures figures = soak::Run(3000, 1000, 20, u"soak.test");
  std::cout << soak::Report(figures);
  EXPECT_EQ(figures.echoes, 3000);
  EXPECT_GT(figures.cancelled, 0);
  EXPECT_EQ(figures.last.descriptors, figures.first.descriptors);
  // The resolver starts its workers as lookups pile up, four at most, and keeps them.
  EXPECT_LE(figures.last.threads, std::max(figures.first.threads, kMainAndWorkers));
  // The heap, not the resident size: the sanitizers keep freed memory resident for a while. Less
  // than 8 bytes a step, so that even a small record kept per echo or per lookup fails.
  EXPECT_LE(figures.last.heapBytes - figures.first.heapBytes, 32 * 1024);
  if (!test::IcmpSocketOpens()) KELVO_CANNOT_RUN() << test::kNoIcmpRights << ": every echo failed, the rest ran";
  EXPECT_EQ(figures.answered, figures.echoes) << "every echo to loopback is answered";
}

}  // namespace
}  // namespace kelvo
