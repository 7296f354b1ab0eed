// The echo service for real, on the loopback of a namespace the test makes, once over the
// raw ICMP socket and once over the unprivileged datagram socket.
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ping/icmp.h"
#include "platform/sockets.h"
#include "tests/ping/echo_capture.h"
#include "tests/ping/netns.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using test::Capture;
using test::Namespace;
using test::WirePacket;

const std::string kText = "Pinging from Korund code written by T. Varnel";

std::string Payload(int size) {
  std::string payload(static_cast<std::size_t>(size), ' ');
  payload.replace(0, std::min<std::size_t>(payload.size(), kText.size()), kText, 0, payload.size());
  return payload;
}

int OpenDescriptors() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (::readdir(dir) != nullptr) ++count;
  ::closedir(dir);
  return count;
}

class LoopbackTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!test::IsRoot()) GTEST_SKIP() << test::kNeedsRoot;
    ns_.emplace(GetParam());
  }
  // The body runs in the namespace; a TICMP made there uses the socket kind under test.
  void Within(const std::function<void()>& body) { ns_->Within(body); }
  const Namespace& Ns() const { return *ns_; }

 private:
  std::optional<Namespace> ns_;
};

TEST_P(LoopbackTest, EchoesEverySizeWithThePayloadExactlyOnTheWire) {
  Within([] {
    Capture capture;
    TICMP icmp;
    icmp.SetAddress(u"127.0.0.1");
    icmp.SetTimeout(2000);
    for (int size : {0, 1, 32, 56, 1401, 65000}) {  // odd sizes test the checksum's last byte
      icmp.SetSize(size);
      ASSERT_EQ(icmp.Ping(), 1) << size << ": " << ToUtf8(icmp.ErrorText());
      EXPECT_EQ(icmp.LastError(), 0u);
      EXPECT_EQ(icmp.Reply().Status, IP_SUCCESS);
      EXPECT_EQ(icmp.Reply().DataSize, size);
      EXPECT_EQ(icmp.Reply().Address, inet_addr("127.0.0.1"));
      EXPECT_EQ(icmp.Reply().Options.Ttl, 64);
      EXPECT_LT(icmp.Reply().RoundTripTime, 1000u);
      const auto wire = capture.Requests(Payload(size));
      ASSERT_EQ(wire.size(), 1u) << "one request per call, carrying exactly the payload";
      EXPECT_EQ(wire[0].headerSize, 20u) << "no IP options";
      EXPECT_EQ(wire[0].tos, 0);
    }
    EXPECT_EQ(icmp.ResolvedIP(), u"127.0.0.1");
  });
}

TEST_P(LoopbackTest, SendsTheLowByteOfTtlAndDontFragmentOnlyWhenAsked) {
  Within([] {
    Capture capture;
    TICMP icmp;
    icmp.SetAddress(u"127.0.0.1");
    icmp.SetSize(100);
    struct Case {
      int ttl, flags;
      std::uint8_t wireTtl;
      bool dontFragment;
    };
    for (const Case c : {Case{300, 0, 44, false}, Case{64, 2, 64, true}, Case{1, 0x102, 1, true},
                         Case{255, 0, 255, false}}) {
      icmp.SetTTL(c.ttl);
      icmp.SetFlags(c.flags);
      ASSERT_EQ(icmp.Ping(), 1);
      const auto wire = capture.Requests(Payload(100));
      ASSERT_EQ(wire.size(), 1u);
      EXPECT_EQ(wire[0].ttl, c.wireTtl) << c.ttl;
      EXPECT_EQ(wire[0].dontFragment, c.dontFragment) << c.flags;
    }
  });
}

TEST_P(LoopbackTest, RefusesWhatCannotBeSentAndSendsNothing) {
  Within([] {
    Capture capture;
    const HANDLE handle = IcmpCreateFile();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::string request = Payload(65535);
    std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + request.size());
    IP_OPTION_INFORMATION options{};
    options.Ttl = 64;
    const IPAddr loopback = inet_addr("127.0.0.1");
    EXPECT_EQ(IcmpSendEcho(handle, loopback, request.data(), 32, &options, reply.data(),
                           sizeof(ICMP_ECHO_REPLY) + 31, 1000), 0u);
    EXPECT_EQ(GetLastError(), IP_BUF_TOO_SMALL);
    // Exactly as long as it claims, so that a write past it would be caught.
    std::vector<unsigned char> shortOfARecord(sizeof(ICMP_ECHO_REPLY) - 1);
    EXPECT_EQ(IcmpSendEcho(handle, loopback, nullptr, 0, &options, shortOfARecord.data(),
                           static_cast<DWORD>(shortOfARecord.size()), 1000), 0u);
    EXPECT_EQ(GetLastError(), IP_BUF_TOO_SMALL);
    EXPECT_EQ(IcmpSendEcho(handle, loopback, request.data(), 65508, &options, reply.data(),
                           static_cast<DWORD>(reply.size()), 1000), 0u);
    EXPECT_EQ(GetLastError(), IP_PACKET_TOO_BIG) << "more than an IPv4 datagram carries";
    options.Ttl = 0;
    EXPECT_EQ(IcmpSendEcho(handle, loopback, request.data(), 32, &options, reply.data(),
                           static_cast<DWORD>(reply.size()), 1000), 0u);
    EXPECT_EQ(GetLastError(), IP_BAD_OPTION);
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(capture.Requests(Payload(32)).empty());
    EXPECT_TRUE(capture.Requests(Payload(65508)).empty());

    options.Ttl = 64;
    ASSERT_EQ(IcmpSendEcho(handle, loopback, request.data(), 65507, &options, reply.data(),
                           static_cast<DWORD>(reply.size()), 1000), 1u);
    ICMP_ECHO_REPLY record;
    std::memcpy(&record, reply.data(), sizeof(record));
    EXPECT_EQ(record.Data, reply.data() + sizeof(ICMP_ECHO_REPLY)) << "data just after the record";
    EXPECT_EQ(std::memcmp(reply.data() + sizeof(ICMP_ECHO_REPLY), request.data(), 65507), 0);
    EXPECT_TRUE(IcmpCloseHandle(handle));
    EXPECT_FALSE(IcmpCloseHandle(handle));
    EXPECT_EQ(IcmpSendEcho(handle, loopback, request.data(), 32, &options, reply.data(),
                           static_cast<DWORD>(reply.size()), 1000), 0u);
  });
}

// Pins the calling thread to `cpu`; an idle thread runs there only when nothing else wants to.
void RunOn(int cpu, bool idle) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  ASSERT_EQ(::pthread_setaffinity_np(::pthread_self(), sizeof(set), &set), 0);
  const sched_param priority{};
  if (idle) {
    ASSERT_EQ(::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &priority), 0);
  }
}

// One 64-byte echo to 127.0.0.1, answered by `peer` on a thread of its own (the namespace's own
// echo replies are off). With `cpu` set, both threads run there and the engine's only when the
// peer's does not want to. Returns the engine's reply record.
ICMP_ECHO_REPLY PingAnsweredBy(const std::function<void(Capture&, const WirePacket&)>& peer, int cpu = -1) {
  const std::string payload = Payload(64);
  Capture wire;
  TICMP icmp;
  icmp.SetAddress(u"127.0.0.1");
  icmp.SetSize(64);
  icmp.SetTimeout(3000);
  std::thread answering([&] {
    if (cpu >= 0) RunOn(cpu, false);
    // Generous: an idle engine thread on a busy machine may be slow to send.
    const auto request = wire.NextRequest(payload, 10s);
    ASSERT_TRUE(request);
    peer(wire, *request);
  });
  if (cpu >= 0) RunOn(cpu, true);
  // A reply queued in time is taken even if the idle thread wakes after the time-out.
  EXPECT_EQ(icmp.Ping(), 1) << ToUtf8(icmp.ErrorText());
  answering.join();
  return icmp.Reply();
}

// A reply counts by its identifier and sequence, whatever data it echoes, as on the platform.
TEST_P(LoopbackTest, TakesTheReplyToItsOwnRequestWhateverItEchoes) {
  ASSERT_TRUE(Ns().Sysctl("net.ipv4.icmp_echo_ignore_all=1"));
  Within([] {
    const ICMP_ECHO_REPLY reply = PingAnsweredBy([](Capture& wire, const WirePacket& request) {
      const std::string payload = Payload(64);
      const auto id = request.identifier;
      const auto seq = request.sequence;
      wire.SendReply(request.source, id + 1, seq, payload);
      wire.SendReply(request.source, id, seq + 1, payload);
      wire.SendReply(request.source, id, seq - 1, payload);
      wire.SendReply(request.source, id, seq, payload, true);
      std::this_thread::sleep_for(200ms);
      std::string shortened = payload.substr(0, 24);
      shortened[0] = 'Q';
      wire.SendReply(request.source, id, seq, shortened);
    });
    EXPECT_EQ(reply.Status, IP_SUCCESS);
    EXPECT_EQ(reply.DataSize, 24);
    EXPECT_GE(reply.RoundTripTime, 200u) << "a foreign reply was taken";
  });
}

// Only errors that say the echo failed end the wait; a redirect only advises another route.
TEST_P(LoopbackTest, ARedirectQuotingTheRequestIsNotTheAnswer) {
  ASSERT_TRUE(Ns().Sysctl("net.ipv4.icmp_echo_ignore_all=1"));
  Within([] {
    const ICMP_ECHO_REPLY reply = PingAnsweredBy([](Capture& wire, const WirePacket& request) {
      wire.SendRedirect(request);
      std::this_thread::sleep_for(300ms);
      wire.SendReply(request.source, request.identifier, request.sequence, Payload(64));
    });
    EXPECT_EQ(reply.Status, IP_SUCCESS);
    EXPECT_EQ(reply.DataSize, 64);
    EXPECT_GE(reply.RoundTripTime, 300u);
  });
}

TEST_P(LoopbackTest, OtherRepliesPilingUpWhileItCannotRunCostItNotItsOwn) {
  ASSERT_TRUE(Ns().Sysctl("net.ipv4.icmp_echo_ignore_all=1"));
  Within([] {
    const ICMP_ECHO_REPLY reply = PingAnsweredBy(
        [](Capture& wire, const WirePacket& request) {
          // Far more than a socket's receive buffer holds; its own reply comes last.
          for (int i = 0; i < 2000; ++i) {
            wire.SendReply(request.source, request.identifier + 1, request.sequence, Payload(64));
          }
          wire.SendReply(request.source, request.identifier, request.sequence, Payload(64));
        },
        ::sched_getcpu());
    EXPECT_EQ(reply.DataSize, 64);
  });
}

TEST_P(LoopbackTest, TwoEnginesAtOnceKeepTheirOwnReplies) {
  Within([] {
    auto run = [](int size) {
      TICMP icmp;
      icmp.SetAddress(u"127.0.0.1");
      icmp.SetSize(size);
      icmp.SetTimeout(2000);
      for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(icmp.Ping(), 1) << i << ": " << ToUtf8(icmp.ErrorText());
        ASSERT_EQ(icmp.Reply().DataSize, size);
      }
    };
    std::thread other([&] { run(40); });
    run(48);
    other.join();
  });
}

// Replies are told apart by identifier, so no two handles of the process may share one.
TEST_P(LoopbackTest, EveryHandleOfTheProcessSendsItsOwnIdentifier) {
  Within([] {
    Capture wire;
    const std::string data = "identifier";
    std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + data.size() + 8);
    std::vector<HANDLE> handles;
    std::set<std::uint16_t> identifiers;
    for (int i = 0; i < 1000; ++i) {
      handles.push_back(IcmpCreateFile());
      ASSERT_NE(handles.back(), INVALID_HANDLE_VALUE);
      ASSERT_EQ(IcmpSendEcho(handles.back(), inet_addr("127.0.0.1"), const_cast<char*>(data.data()),
                             static_cast<WORD>(data.size()), nullptr, reply.data(), static_cast<DWORD>(reply.size()),
                             1000), 1u);
      for (const WirePacket& request : wire.Requests(data)) identifiers.insert(request.identifier);
    }
    for (const HANDLE handle : handles) IcmpCloseHandle(handle);
    EXPECT_EQ(identifiers.size(), handles.size());
  });
}

// Calls on one handle take turns and each gets its own reply; closing the handle ends the call
// that waits on it.
TEST_P(LoopbackTest, OneHandleSharedByTwoThreadsAndClosedDuringACall) {
  Within([this] {
    const HANDLE handle = IcmpCreateFile();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    const auto echo = [handle](DWORD timeout) {
      std::string data = Payload(32);
      std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + data.size() + 8);
      return IcmpSendEcho(handle, inet_addr("127.0.0.1"), data.data(), static_cast<WORD>(data.size()), nullptr,
                          reply.data(), static_cast<DWORD>(reply.size()), timeout);
    };
    std::atomic<int> answered{0};
    const auto run = [&] {
      for (int i = 0; i < 200; ++i) answered += static_cast<int>(echo(1000));
    };
    std::thread other(run);
    run();
    other.join();
    EXPECT_EQ(answered, 400);

    ASSERT_TRUE(Ns().Sysctl("net.ipv4.icmp_echo_ignore_all=1"));
    std::thread closer([handle] {
      std::this_thread::sleep_for(200ms);
      EXPECT_TRUE(IcmpCloseHandle(handle));
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(echo(5000), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    closer.join();
  });
}

TEST_P(LoopbackTest, TenThousandEchoesLeaveNoDescriptorBehind) {
  Within([] {
    const int before = OpenDescriptors();
    {
      TICMP icmp;
      icmp.SetAddress(u"127.0.0.1");
      icmp.SetSize(32);
      const int opened = OpenDescriptors();
      int answered = 0;
      for (int i = 0; i < 10000; ++i) answered += icmp.Ping();
      EXPECT_EQ(answered, 10000);
      EXPECT_EQ(OpenDescriptors(), opened);
    }
    EXPECT_EQ(OpenDescriptors(), before);
  });
}

TEST_P(LoopbackTest, ResolvesLocalhost) {
  Within([] {
    TICMP icmp;
    icmp.SetAddress(u"localhost");
    EXPECT_EQ(icmp.Ping(), 1) << ToUtf8(icmp.ErrorText());
    EXPECT_EQ(icmp.ResolvedIP().substr(0, 4), u"127.");
  });
}

// Capabilities belong to the thread: this one gives up raw sockets for good.
void DropRawSockets() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  ASSERT_EQ(::syscall(SYS_capget, &header, data), 0);
  data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
  data[CAP_NET_RAW / 32].permitted &= ~(1u << (CAP_NET_RAW % 32));
  ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
}

TEST(EchoWithoutRights, StartsButEveryEchoIsAGeneralFailure) {
  if (!test::IsRoot()) GTEST_SKIP() << test::kNeedsRoot;
  Namespace ns(false);
  ns.Within([] {
    DropRawSockets();
    TICMP icmp;
    icmp.SetAddress(u"127.0.0.1");
    EXPECT_EQ(icmp.Ping(), 0);
    EXPECT_EQ(icmp.LastError(), IP_GENERAL_FAILURE);
    EXPECT_EQ(icmp.ErrorText(), u"General failure");
  });
}

TEST(EchoOutOfResources, NoDescriptorLeftMeansNoHandle) {
  if (!test::IsRoot()) GTEST_SKIP() << "only root gets as far as needing a descriptor";
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const HANDLE handle = IcmpCreateFile();
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
}

INSTANTIATE_TEST_SUITE_P(Echo, LoopbackTest, ::testing::Values(false, true),
                         [](const auto& test) { return test.param ? "DatagramSocket" : "RawSocket"; });

}  // namespace
}  // namespace kelvo
