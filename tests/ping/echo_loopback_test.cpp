// The echo service for real, on the loopback of a namespace the test makes: over the raw ICMP
// socket, over the unprivileged datagram socket, and as the unprivileged account nobody, where
// the kernel's default ping_group_range admits no group, through the privileged helper.
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ping/icmp.h"
#include "platform/posix/echo/helper_client.h"
#include "platform/posix/echo/helper_protocol.h"
#include "platform/sockets.h"
#include "tests/cannot_run.h"
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

// The test's account: nobody, in a group that no account holds (Debian reserves it), so that
// only root and this test reach the copies of the helper below.
constexpr gid_t kTestGroup = 65533;

// How the package installs the helper: the command run on a copy.
constexpr const char* kWithCapability = "setcap cap_net_raw+ep";
constexpr const char* kSetuidRoot = "chmod 4750";  // where no capability can be set

// A copy of the built helper, installed as told, which the echo service starts while it lasts.
// It belongs to root and the test's group: no other account may run a sanitized program with
// root's rights (its runtime obeys the caller's environment before main).
class HelperCopy {
 public:
  explicit HelperCopy(const char* install) {
    if (::mkdtemp(folder_) == nullptr) throw std::runtime_error("no folder for a copy of the helper");
    const std::string path = std::string(folder_) + "/kelvo-echo";
    const std::string command = "cp '" KELVO_ECHO_HELPER "' " + path + " && chgrp -R " + std::to_string(kTestGroup) +
                                " " + folder_ + " && chmod -R 750 " + folder_ + " && " + install + " " + path;
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot install a copy of the helper");
    echo::UseHelperAt(path);
  }
  ~HelperCopy() {
    echo::UseHelperAt(KELVO_ECHO_HELPER);
    std::system(("rm -r " + std::string(folder_)).c_str());
  }
  HelperCopy(const HelperCopy&) = delete;
  HelperCopy& operator=(const HelperCopy&) = delete;

 private:
  char folder_[32] = "/tmp/kelvo-echo-XXXXXX";
};

// The calling thread becomes the test's account, with no capability left; the rest of the
// process stays root. (The C library's calls would change every thread; these change one.)
void BecomeNobody() {
  ASSERT_EQ(::syscall(SYS_setgroups, 0, nullptr), 0);
  ASSERT_EQ(::syscall(SYS_setresgid, kTestGroup, kTestGroup, kTestGroup), 0);
  ASSERT_EQ(::syscall(SYS_setresuid, 65534, 65534, 65534), 0);
}

// Runs `body` in the namespace as nobody, who may open no ICMP socket there; a Capture made in it
// still sees the wire.
void AsNobody(const Namespace& ns, const std::function<void()>& body) {
  ns.Within([&] {
    test::KeepCaptureSocket();
    BecomeNobody();
    if (!::testing::Test::HasFatalFailure()) body();  // never as root in nobody's place
  });
}

enum class Path { kRaw, kDatagram, kHelper };

class LoopbackTest : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    if (!test::IsRoot()) KELVO_CANNOT_RUN() << test::kNeedsRoot;
    if (GetParam() == Path::kHelper) helper_.emplace(kWithCapability);
    ns_.emplace(GetParam() == Path::kDatagram);
  }
  // The body runs in the namespace; a TICMP made there uses the path under test.
  void Within(const std::function<void()>& body) {
    if (GetParam() == Path::kHelper) return AsNobody(*ns_, body);
    ns_->Within(body);
  }
  const Namespace& Ns() const { return *ns_; }
  // The helper sends no faster than one echo per 2 ms.
  int Many(int count) const { return GetParam() == Path::kHelper ? count / 10 : count; }

 private:
  std::optional<HelperCopy> helper_;
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

// Replies are told apart by identifier, so no two handles of the process may share one (nor an
// identifier and sequence, through the one helper).
TEST_P(LoopbackTest, EveryHandleOfTheProcessSendsItsOwnIdentifier) {
  Within([] {
    Capture wire;
    const std::string data = "identifier";
    std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + data.size() + 8);
    std::vector<HANDLE> handles;
    std::set<std::pair<std::uint16_t, std::uint16_t>> identifiers;
    for (int i = 0; i < 1000; ++i) {
      handles.push_back(IcmpCreateFile());
      ASSERT_NE(handles.back(), INVALID_HANDLE_VALUE);
      ASSERT_EQ(IcmpSendEcho(handles.back(), inet_addr("127.0.0.1"), const_cast<char*>(data.data()),
                             static_cast<WORD>(data.size()), nullptr, reply.data(), static_cast<DWORD>(reply.size()),
                             1000), 1u);
      for (const WirePacket& request : wire.Requests(data)) {
        identifiers.emplace(request.identifier, request.sequence);
      }
    }
    for (const HANDLE handle : handles) IcmpCloseHandle(handle);
    EXPECT_EQ(identifiers.size(), handles.size());
  });
}

DWORD EchoOn(HANDLE handle, DWORD timeout) {
  std::string data = Payload(32);
  std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + data.size() + 8);
  return IcmpSendEcho(handle, inet_addr("127.0.0.1"), data.data(), static_cast<WORD>(data.size()), nullptr,
                      reply.data(), static_cast<DWORD>(reply.size()), timeout);
}

// Calls on one handle take turns and each gets its own reply.
TEST_P(LoopbackTest, OneHandleSharedByTwoThreads) {
  Within([] {
    const HANDLE handle = IcmpCreateFile();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::atomic<int> answered{0};
    const auto run = [&] {
      for (int i = 0; i < 200; ++i) answered += static_cast<int>(EchoOn(handle, 1000));
    };
    std::thread other(run);
    run();
    other.join();
    EXPECT_EQ(answered, 400);
    EXPECT_TRUE(IcmpCloseHandle(handle));
  });
}

TEST_P(LoopbackTest, ClosingTheHandleEndsTheCallWaitingOnIt) {
  ASSERT_TRUE(Ns().Sysctl("net.ipv4.icmp_echo_ignore_all=1"));
  Within([] {
    Capture wire;
    const HANDLE handle = IcmpCreateFile();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::chrono::steady_clock::time_point closed;
    std::thread closer([&] {
      // Closed once its request is out: a call that had ended by then would tell another error.
      EXPECT_TRUE(wire.NextRequest(Payload(32), 10s));
      closed = std::chrono::steady_clock::now();
      EXPECT_TRUE(IcmpCloseHandle(handle));
    });
    EXPECT_EQ(EchoOn(handle, 5000), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - closed, 2s) << "ended by its time-out";
  });
}

TEST_P(LoopbackTest, TenThousandEchoesLeaveNoDescriptorBehind) {
  const int count = Many(10000);
  Within([count] {
    const int before = OpenDescriptors();
    {
      TICMP icmp;
      icmp.SetAddress(u"127.0.0.1");
      icmp.SetSize(32);
      const int opened = OpenDescriptors();
      int answered = 0;
      for (int i = 0; i < count; ++i) answered += icmp.Ping();
      EXPECT_EQ(answered, count);
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

// No helper, or one installed without its capability.
TEST(EchoWithoutRights, StartsButEveryEchoIsAGeneralFailure) {
  if (!test::IsRoot()) KELVO_CANNOT_RUN() << test::kNeedsRoot;
  Namespace ns(false);
  for (const char* install : {"rm", "true"}) {
    const HelperCopy helper(install);
    AsNobody(ns, [&] {
      TICMP icmp;
      icmp.SetAddress(u"127.0.0.1");
      EXPECT_EQ(icmp.Ping(), 0) << install;
      EXPECT_EQ(icmp.LastError(), IP_GENERAL_FAILURE);
      EXPECT_EQ(icmp.ErrorText(), u"General failure");
    });
  }
}

TEST(EchoOutOfResources, NoDescriptorLeftMeansNoHandle) {
  if (!test::IsRoot()) KELVO_CANNOT_RUN() << "only root gets as far as needing a descriptor";
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const HANDLE handle = IcmpCreateFile();
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
}

std::string Read(const std::string& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Child {
  pid_t pid;
  char state;
};

// The helpers this process started, zombies included.
std::vector<Child> Helpers() {
  std::vector<Child> found;
  DIR* dir = ::opendir("/proc");
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const std::string stat = Read(std::string("/proc/") + entry->d_name + "/stat");
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');  // the name may hold anything, the fields after it not
    if (open == std::string::npos || close == std::string::npos || close + 2 > stat.size()) continue;
    char state = 0;
    int parent = 0;
    std::istringstream(stat.substr(close + 2)) >> state >> parent;
    if (stat.substr(open + 1, close - open - 1) == "kelvo-echo" && parent == ::getpid()) {
      found.push_back({std::atoi(entry->d_name), state});
    }
  }
  ::closedir(dir);
  return found;
}

// Installed as the package installs it: with the capability, else setuid root.
TEST(EchoHelper, HoldsNoCapabilityOnceStarted) {
  if (!test::IsRoot()) KELVO_CANNOT_RUN() << test::kNeedsRoot;
  Namespace ns;
  for (const char* install : {kWithCapability, kSetuidRoot}) {
    const HelperCopy helper(install);
    SCOPED_TRACE(install);
    AsNobody(ns, [] {
      TICMP icmp;
      const std::vector<Child> helpers = Helpers();
      ASSERT_EQ(helpers.size(), 1u);
      const std::string status = Read("/proc/" + std::to_string(helpers[0].pid) + "/status");
      for (const char* held : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
        EXPECT_NE(status.find(std::string(held) + ":\t0000000000000000\n"), std::string::npos) << status;
      }
      EXPECT_NE(status.find("NoNewPrivs:\t1\n"), std::string::npos) << status;
      EXPECT_NE(status.find("Uid:\t65534\t65534\t65534\t65534\n"), std::string::npos) << status;
      const std::string sockets = Read("/proc/thread-self/net/raw");
      EXPECT_NE(sockets.find(" 65534 "), std::string::npos) << "its raw socket is not nobody's:\n" << sockets;
      icmp.SetAddress(u"127.0.0.1");
      EXPECT_EQ(icmp.Ping(), 1) << "through the socket it opened before: " << ToUtf8(icmp.ErrorText());
    });
  }
}

// Killed while idle, the helper is replaced for the next echo; killed during an echo, that echo
// fails at once. Either way nothing is left of it.
TEST(EchoHelper, ADeadHelperIsReplacedAndLeavesNothingBehind) {
  if (!test::IsRoot()) KELVO_CANNOT_RUN() << test::kNeedsRoot;
  const HelperCopy helper(kWithCapability);
  Namespace ns;
  AsNobody(ns, [] {
    TICMP icmp;
    icmp.SetAddress(u"127.0.0.1");
    icmp.SetTimeout(5000);
    ASSERT_EQ(icmp.Ping(), 1);
    const int descriptors = OpenDescriptors();
    const pid_t first = Helpers().at(0).pid;
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    for (int i = 0; i < 100 && Helpers().at(0).state != 'Z'; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(icmp.Ping(), 1) << ToUtf8(icmp.ErrorText());

    const std::vector<Child> replaced = Helpers();
    ASSERT_EQ(replaced.size(), 1u) << "the dead one reaped";
    EXPECT_NE(replaced[0].pid, first);
    ASSERT_EQ(::kill(replaced[0].pid, SIGSTOP), 0);
    std::thread killer([pid = replaced[0].pid] {
      std::this_thread::sleep_for(300ms);
      ::kill(pid, SIGKILL);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(icmp.Ping(), 0);
    EXPECT_EQ(icmp.LastError(), IP_GENERAL_FAILURE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "waited for its time-out";
    killer.join();
    EXPECT_EQ(icmp.Ping(), 1) << ToUtf8(icmp.ErrorText());
    EXPECT_EQ(Helpers().size(), 1u);
    EXPECT_EQ(OpenDescriptors(), descriptors);
  });
  EXPECT_TRUE(Helpers().empty()) << "the helper outlived the last handle";
}

// The helper on its own, as root: it trusts nothing it reads.
TEST(EchoHelper, RefusesMalformedRequestsPacesTheRestAndEndsWithItsInput) {
  if (!test::IsRoot()) KELVO_CANNOT_RUN() << test::kNeedsRoot;
  Namespace ns;
  ns.Within([] {
    Capture wire;
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
    char name[] = "kelvo-echo";
    char* arguments[] = {name, nullptr};
    char* environment[] = {nullptr};
    pid_t pid;
    ASSERT_EQ(::posix_spawn(&pid, KELVO_ECHO_HELPER, &actions, nullptr, arguments, environment), 0);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    const int helper = ends[0];
    std::vector<std::uint8_t> buffer(echo::kMaxAnswerSize);
    const auto ask = [&](const std::vector<std::uint8_t>& request) {
      EXPECT_EQ(::send(helper, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
      const ssize_t n = ::recv(helper, buffer.data(), buffer.size(), 0);
      return echo::DecodeAnswer({buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(n, 0))});
    };
    ASSERT_EQ(::recv(helper, buffer.data(), buffer.size(), 0), 1);
    ASSERT_EQ(buffer[0], echo::kReady);

    const std::string text = "malformed";
    const std::string big(echo::kMaxPayload + 1, 'm');
    const auto request = [](const std::string& payload) {
      return echo::EncodeRequest({inet_addr("127.0.0.1"), {64, 0, false}, 1000,
                                  {reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()}});
    };
    const std::vector<std::uint8_t> good = request(text);
    std::vector<std::vector<std::uint8_t>> malformed{request(big), {good.begin(), good.begin() + 13}};
    const auto spoil = [&](std::size_t at, int value) {
      malformed.push_back(good);
      malformed.back()[at] = static_cast<std::uint8_t>(value);
    };
    spoil(0, 0);               // an echo reply, not a request
    spoil(0, 13);              // a timestamp request
    spoil(3, 2);               // don't-fragment neither 0 nor 1
    spoil(8, 0x80);            // a time-out longer than the engine's
    spoil(13, good[13] + 1);   // more payload declared than carried
    spoil(13, good[13] - 1);   // less
    for (const auto& bad : malformed) {
      const auto answer = ask(bad);
      ASSERT_TRUE(answer);
      EXPECT_FALSE(answer->replied);
      EXPECT_EQ(answer->status, IP_BAD_REQ);
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(wire.Requests(text).empty());
    EXPECT_TRUE(wire.Requests(big).empty());

    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {
      const auto answer = ask(good);
      ASSERT_TRUE(answer);
      EXPECT_TRUE(answer->replied);
      EXPECT_EQ(answer->status, IP_SUCCESS);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 49 * 2ms) << "faster than one echo per 2 ms";
    EXPECT_EQ(wire.Requests(text).size(), 50u);

    ::close(helper);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  });
}

// The peer holds 198.51.100.77 and leaves its echoes to a responder that answers each from its own
// address 198.51.100.2, with the request's identifier, sequence and data.
TEST_P(LoopbackTest, AReplyFromAnotherHostIsNotTheTargets) {
  Namespace peer;
  ASSERT_TRUE(test::Link(Ns(), "198.51.100.1/24", peer, "198.51.100.2/24"));
  ASSERT_TRUE(Ns().Ip("route add 198.51.100.77/32 via 198.51.100.2"));
  ASSERT_TRUE(peer.Ip("address add 198.51.100.77/32 dev lo"));
  ASSERT_TRUE(peer.Sysctl("net.ipv4.icmp_echo_ignore_all=1"));
  std::atomic<bool> listening{false}, done{false};
  std::atomic<int> answered{0};
  std::thread responder([&] {
    peer.Within([&] {
      Capture wire;
      listening = true;
      for (int i = 0; i < 50 && !done; ++i) {
        if (const auto request = wire.NextRequest(Payload(32), 100ms)) {
          wire.SendReply(request->source, request->identifier, request->sequence, request->payload);
          ++answered;
        }
      }
    });
  });
  for (int i = 0; i < 500 && !listening; ++i) std::this_thread::sleep_for(1ms);
  Within([] {
    TICMP icmp;
    icmp.SetSize(32);
    icmp.SetTimeout(500);
    icmp.SetAddress(u"198.51.100.77");
    EXPECT_EQ(icmp.Ping(), 0) << "198.51.100.2 answered for it";
    EXPECT_EQ(icmp.ErrorText(), u"Request timed out");
  });
  done = true;
  responder.join();
  EXPECT_EQ(answered, 1);
}

INSTANTIATE_TEST_SUITE_P(Echo, LoopbackTest, ::testing::Values(Path::kRaw, Path::kDatagram, Path::kHelper),
                         [](const auto& test) {
                           return test.param == Path::kRaw ? "RawSocket"
                                  : test.param == Path::kDatagram ? "DatagramSocket" : "Helper";
                         });

}  // namespace
}  // namespace kelvo
