// The echo service against hosts and routers that exist only in namespaces the test makes
// (TEST-NET 198.51.100.0/24): a peer that ignores echoes, an address nobody holds, a router that
// answers with ICMP errors. Once over the raw socket, once over the datagram socket.
#include <pthread.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "ping/icmp.h"
#include "platform/sockets.h"
#include "tests/cannot_run.h"
#include "tests/ping/netns.h"

namespace kelvo {
namespace {

using Clock = std::chrono::steady_clock;
using test::Namespace;

class NamespaceEchoTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!test::IsRoot()) KELVO_CANNOT_RUN() << test::kNeedsRoot;
  }
  bool Datagram() const { return GetParam(); }
};

TEST_P(NamespaceEchoTest, SilentPeerAndAbsentHostTimeOutOnTime) {
  Namespace here(Datagram());
  Namespace peer;
  ASSERT_TRUE(test::Link(here, "198.51.100.1/24", peer, "198.51.100.2/24"));
  ASSERT_TRUE(peer.Sysctl("net.ipv4.icmp_echo_ignore_all=1"));
  here.Within([] {
    // Signals keep interrupting the wait every 2 ms while it lasts (10 s at most); it must neither
    // end early nor start over (which would wait on until they stop). A busy machine gets a second.
    struct sigaction ignore{};
    ignore.sa_handler = [](int) {};
    struct sigaction saved{};
    ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &saved), 0);
    const pthread_t engineThread = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
      for (int i = 0; i < 5000 && !done; ++i) {
        ::pthread_kill(engineThread, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    TICMP icmp;
    icmp.SetTimeout(1000);
    for (const char16_t* target : {u"198.51.100.2", u"198.51.100.3"}) {
      icmp.SetAddress(target);
      const auto start = Clock::now();
      EXPECT_EQ(icmp.Ping(), 0);
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
      EXPECT_EQ(icmp.LastError(), IP_REQ_TIMED_OUT);
      EXPECT_EQ(icmp.ErrorText(), u"Request timed out");
      EXPECT_GE(waited.count(), 1000);
      EXPECT_LE(waited.count(), 2000) << "waited too long for " << ToUtf8(target);
    }
    done = true;
    interrupter.join();
    ::sigaction(SIGUSR1, &saved, nullptr);
  });
}

// here (198.51.100.1) -- (198.51.100.2) router (198.51.100.5) -- (198.51.100.6) far, MTU 1280 on the far link
TEST_P(NamespaceEchoTest, RouterErrorsAreCountedRepliesFromTheRouter) {
  Namespace here(Datagram());
  Namespace router;
  Namespace far;
  ASSERT_TRUE(test::Link(here, "198.51.100.1/30", router, "198.51.100.2/30"));
  ASSERT_TRUE(test::Link(router, "198.51.100.5/30", far, "198.51.100.6/30", 1280));
  ASSERT_TRUE(here.Ip("route add default via 198.51.100.2"));
  ASSERT_TRUE(far.Ip("route add default via 198.51.100.5"));
  ASSERT_TRUE(router.Sysctl("net.ipv4.ip_forward=1"));
  here.Within([] {
    TICMP icmp;
    icmp.SetTimeout(1000);
    icmp.SetAddress(u"198.51.100.6");
    if (icmp.Ping() != 1) KELVO_CANNOT_RUN() << "this sandbox does not forward between namespaces";
    const IPAddr routerAddress = inet_addr("198.51.100.2");

    struct Case {
      const char16_t* target;
      int ttl, size, flags;
      DWORD status;
      const char16_t* text;
    };
    for (const Case c : {Case{u"198.51.100.6", 1, 56, 0, IP_TTL_EXPIRED_TRANSIT, u"TTL expired in transit"},
                         Case{u"198.51.100.9", 64, 56, 0, IP_DEST_NET_UNREACHABLE, u"Destination network unreachable"},
                         Case{u"198.51.100.6", 64, 1400, IP_FLAG_DF, IP_PACKET_TOO_BIG, u"Packet too big"}}) {
      icmp.SetAddress(c.target);
      icmp.SetTTL(c.ttl);
      icmp.SetSize(c.size);
      icmp.SetFlags(c.flags);
      EXPECT_EQ(icmp.Ping(), 1) << ToUtf8(c.text) << ": " << ToUtf8(icmp.ErrorText());
      EXPECT_EQ(icmp.Reply().Status, c.status);
      EXPECT_EQ(icmp.Reply().Address, routerAddress);
      EXPECT_EQ(icmp.Reply().DataSize, 0);
      EXPECT_EQ(icmp.ErrorText(), c.text);
    }
    // The path's MTU is known now: the same echo fails before it leaves.
    EXPECT_EQ(icmp.Ping(), 0);
    EXPECT_EQ(icmp.ErrorText(), u"Packet too big");
    // Without don't-fragment the big echo is fragmented and answered.
    icmp.SetFlags(0);
    EXPECT_EQ(icmp.Ping(), 1);
    EXPECT_EQ(icmp.Reply().Status, IP_SUCCESS);
    EXPECT_EQ(icmp.Reply().DataSize, 1400);
  });
}

INSTANTIATE_TEST_SUITE_P(Echo, NamespaceEchoTest, ::testing::Values(false, true),
                         [](const auto& test) { return test.param ? "DatagramSocket" : "RawSocket"; });

}  // namespace
}  // namespace kelvo
