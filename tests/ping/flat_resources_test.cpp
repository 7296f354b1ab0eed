// A few seconds of the soak in bench/: echoes to 127.0.0.1 and lookups of `localhost`, every
// other one cancelled. Descriptors and threads end where they began and the heap does not keep
// growing; a handle, a worker or a buffer kept per echo or per lookup would show here.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

#include "bench/resource_soak.h"

namespace kelvo {
namespace {

constexpr long kMainAndWorkers = 1 + 4;

TEST(FlatResources, EchoesAndLookupsLeaveNothingBehind) {
  const soak::Figures figures = soak::Run(3000, 1000, 20);
  std::cout << soak::Report(figures);
  if (figures.answered == 0) std::cout << "no rights to ICMP sockets: the echoes failed, the loop ran\n";
  EXPECT_EQ(figures.resolved + figures.cancelled, 1000);
  EXPECT_GT(figures.cancelled, 0);
  EXPECT_EQ(figures.last.descriptors, figures.first.descriptors);
  // The resolver starts its workers as lookups pile up, four at most, and keeps them.
  EXPECT_LE(figures.last.threads, std::max(figures.first.threads, kMainAndWorkers));
  // The heap, not the resident size: the sanitizers keep freed memory resident for a while. Less
  // than 8 bytes a step, so that even a small record kept per echo or per lookup fails.
  EXPECT_LE(figures.last.heapBytes - figures.first.heapBytes, 32 * 1024);
}

}  // namespace
}  // namespace kelvo
