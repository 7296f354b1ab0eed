// The ping component: lookups that answer at once or later from the message loop, their
// cancellation, the events of an echo, and the races between a lookup's completion and its
// cancellation or the component's destruction.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ping/ping.h"
#include "platform/async_resolver.h"
#include "platform/module.h"
#include "platform/text.h"
#ifndef _WIN32
#include "tests/cannot_run.h"
#include "tests/ping/netns.h"
#endif

namespace kelvo {
namespace {

using namespace std::chrono_literals;

// Dispatches this thread's messages until `done` holds or two seconds pass.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 2000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  MSG msg;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A name resolution the test controls for names ending in ".test": names in `held` wait until
// released, "unknown.test" fails, every other one is 127.0.0.7; other names resolve for real.
// It is installed once for the whole run and never taken away, because resolver workers may
// still be inside it when a test ends.
class FakeResolution {
 public:
  static FakeResolution& Get() {
    static FakeResolution* fake = new FakeResolution;
    return *fake;
  }

  void Hold(const std::string& name) {
    std::lock_guard lock(mutex_);
    held_.insert(name);
  }
  void ReleaseAll() {
    std::lock_guard lock(mutex_);
    held_.clear();
    released_.notify_all();
  }

 private:
  FakeResolution() {
    SocketsApi& sockets = ServiceTable<SocketsApi>();
    real_ = sockets.gethostbyname;
    sockets.gethostbyname = [this](const char* name) { return Resolve(name); };
#ifdef _WIN32
    // The system's asynchronous lookup never reaches this fake and would ask the network: a
    // ".test" name given to it fails the test instead of leaving the machine.
    AsyncResolverApi& resolver = ServiceTable<AsyncResolverApi>();
    resolver.WSAAsyncGetHostByName = [real = resolver.WSAAsyncGetHostByName](HWND window, UINT message,
                                                                             const char* name, char* buffer,
                                                                             int length) -> HANDLE {
      if (std::string_view(name).ends_with(".test")) {
        ADD_FAILURE() << "a name of the test's own reached the system's lookup: " << name;
        WSASetLastError(WSAENOBUFS);
        return nullptr;
      }
      return real(window, message, name, buffer, length);
    };
#endif
  }

  hostent* Resolve(const char* name) {
    const std::string text = name;
    if (!text.ends_with(".test")) return real_(name);
    {
      std::unique_lock lock(mutex_);
      released_.wait(lock, [&] { return held_.count(text) == 0; });
    }
    if (text == "unknown.test") {
      SetLastError(WSAHOST_NOT_FOUND);
      return nullptr;
    }
    thread_local char address[4] = {127, 0, 0, 7};
    thread_local char* addresses[] = {address, nullptr};
    thread_local char* aliases[] = {nullptr};
    thread_local char hostName[] = "fake.test";
    thread_local hostent host{hostName, aliases, 2, 4, addresses};
    return &host;
  }

  std::function<hostent*(const char*)> real_;
  std::mutex mutex_;
  std::condition_variable released_;
  std::set<std::string> held_;
};

// The message of the error of type E that `call` raises.
template <class E>
std::u16string MessageOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const E& e) {
    return e.Message();
  }
  return u"(nothing raised)";
}

void PumpFor(std::chrono::milliseconds span) { PumpUntil([] { return false; }, span); }

class PingComponent : public ::testing::Test {
 protected:
  void TearDown() override { resolution.ReleaseAll(); }
  FakeResolution& resolution = FakeResolution::Get();
};

struct Lookups {
  explicit Lookups(TPing& ping) {
    ping.OnDnsLookupDone = [this](TObject*, WORD error) { errors.push_back(error); };
  }
  std::vector<WORD> errors;
};

TEST_F(PingComponent, FreshWindowGivesReleaseAndLookupNumbers) {
  std::thread([] {
    TPing ping(nullptr);
    EXPECT_EQ(ping.ReleaseMessage(), 1025u);
    EXPECT_EQ(ping.DnsLookupMessage(), 1026u);
  }).join();
}

// An echo service that sends nothing and records what it was asked for.
struct SentEcho {
  IPAddr address;
  WORD size;
  UCHAR ttl;
  UCHAR flags;
  DWORD timeout;
};
SentEcho sentEcho;
DWORD WINAPI RecordEcho(HANDLE, IPAddr address, void*, WORD size, IP_OPTION_INFORMATION* options, void*, DWORD,
                        DWORD timeout) {
  sentEcho = {address, size, options->Ttl, options->Flags, timeout};
  SetLastError(IP_REQ_TIMED_OUT);
  return 0;
}

TEST_F(PingComponent, PropertiesReachTheEchoService) {
  ScopedOverride<ModuleApi> modules;
  modules->GetProcAddress = [&modules](HMODULE module, LPCSTR name) -> FARPROC {
    if (std::string_view(name) == "IcmpSendEcho") return ToFarProc(&RecordEcho);
    return modules.Original().GetProcAddress(module, name);
  };
  TPing ping(nullptr);
  EXPECT_EQ(ping.Size(), 56);
  EXPECT_EQ(ping.Timeout(), 4000);
  EXPECT_EQ(ping.TTL(), 64);
  EXPECT_EQ(ping.Flags(), 0);
  ping.SetSize(32);
  ping.SetTimeout(1000);
  ping.SetTTL(5);
  ping.SetFlags(2);
  ping.SetAddress(u"127.0.0.9");
  EXPECT_EQ(ping.Address(), u"127.0.0.9");
  EXPECT_EQ(ping.Ping(), 0);
  EXPECT_EQ(sentEcho.address, inet_addr("127.0.0.9"));
  EXPECT_EQ(sentEcho.size, 32);
  EXPECT_EQ(sentEcho.ttl, 5);
  EXPECT_EQ(sentEcho.flags, 2);
  EXPECT_EQ(sentEcho.timeout, 1000u);
  EXPECT_EQ(ping.ErrorText(), u"Request timed out");
}

TEST_F(PingComponent, DottedAddressIsAnsweredBeforeDnsLookupReturns) {
  TPing ping(nullptr);
  Lookups lookups(ping);
  ping.DnsLookup(u"127.0.0.5");
  EXPECT_THAT(lookups.errors, ::testing::ElementsAre(0));
  EXPECT_EQ(ping.DnsResult(), u"127.0.0.5");
}

#ifdef _WIN32
// Full-width letters have no form in the code page: not looked up as `localhost`, not found.
TEST_F(PingComponent, NameWithoutAnAnsiFormIsNotFound) {
  TPing ping(nullptr);
  Lookups lookups(ping);
  ping.DnsLookup(u"\uFF4C\uFF4F\uFF43\uFF41\uFF4C\uFF48\uFF4F\uFF53\uFF54");
  EXPECT_THAT(lookups.errors, ::testing::ElementsAre(WSAHOST_NOT_FOUND));
}
#endif

// On Windows the system's own lookup answers, and of this machine's names only `localhost`, of
// which the program relies on nothing but an address of this machine; here our resolver answers
// the test's own name.
#ifdef _WIN32
constexpr char16_t kAnsweredName[] = u"localhost";
#else
constexpr char16_t kAnsweredName[] = u"answered.test";
#endif

TEST_F(PingComponent, HostNameIsAnsweredLaterFromTheMessageLoop) {
  TPing ping(nullptr);
  Lookups lookups(ping);
  ping.DnsLookup(kAnsweredName);
  EXPECT_TRUE(lookups.errors.empty());
  EXPECT_EQ(ping.DnsResult(), u"");
  ASSERT_TRUE(PumpUntil([&] { return !lookups.errors.empty(); }));
  EXPECT_THAT(lookups.errors, ::testing::ElementsAre(0));
  EXPECT_TRUE(ping.DnsResult().starts_with(u"127.")) << ToUtf8(ping.DnsResult());
}

TEST_F(PingComponent, LookupThatCannotStartRaisesAndLeavesNothingPending) {
  ScopedOverride<AsyncResolverApi> resolver;
  std::vector<HANDLE> cancelled;
  resolver->WSAAsyncGetHostByName = [](HWND, UINT, const char* name, char*, int) -> HANDLE {
    if (std::string_view(name) == "pending.test") return reinterpret_cast<HANDLE>(0x5e);
    SetLastError(WSAENOBUFS);
    return nullptr;
  };
  resolver->WSACancelAsyncRequest = [&](HANDLE task) {
    cancelled.push_back(task);
    return 0;
  };
  TPing ping(nullptr);
  Lookups lookups(ping);
  ping.DnsLookup(u"pending.test");
  EXPECT_EQ(MessageOf<Exception>([&] { ping.DnsLookup(u"host.test"); }),
            u"host.test: can't start DNS lookup, error #10055");
  // The pending lookup was withdrawn silently, and the one that failed to start is not pending.
  ping.CancelDnsLookup();
  EXPECT_THAT(cancelled, ::testing::ElementsAre(reinterpret_cast<HANDLE>(0x5e)));
  EXPECT_TRUE(lookups.errors.empty());
  EXPECT_EQ(ping.DnsResult(), u"");
}

// The event fires inside the call, after the lookup state is already idle.
TEST_F(PingComponent, ErrorOfAHandlerFiredByDnsLookupOrCancelReachesTheCallerWithNothingPending) {
  ScopedOverride<AsyncResolverApi> resolver;
  int cancels = 0;
  resolver->WSAAsyncGetHostByName = [](HWND, UINT, const char*, char*, int) { return reinterpret_cast<HANDLE>(0x5e); };
  resolver->WSACancelAsyncRequest = [&](HANDLE) {
    ++cancels;
    return 0;
  };
  TPing ping(nullptr);
  ping.OnDnsLookupDone = [](TObject*, WORD error) { throw Exception(u"handler " + DecimalText(error)); };
  EXPECT_EQ(MessageOf<Exception>([&] { ping.DnsLookup(u"127.0.0.5"); }), u"handler 0");
  EXPECT_EQ(ping.DnsResult(), u"127.0.0.5");
  ping.CancelDnsLookup();
  EXPECT_EQ(cancels, 0);

  ping.DnsLookup(u"pending.test");
  EXPECT_EQ(MessageOf<Exception>([&] { ping.CancelDnsLookup(); }), u"handler 10004");
  ping.CancelDnsLookup();
  EXPECT_EQ(cancels, 1);
  ping.OnDnsLookupDone = nullptr;
}

// A component whose engine cannot be made gives back what it took: beside a component that keeps
// the thread's hidden window alive, the next one gets the same two numbers again.
TEST_F(PingComponent, FailedConstructionGivesBackTheWindowAndBothNumbers) {
  std::thread([] {
    {
      TPing holder(nullptr);
      ASSERT_EQ(holder.ReleaseMessage(), 1025u);
      {
        ScopedOverride<ModuleApi> modules;
        modules->LoadLibraryW = [](LPCWSTR) -> HMODULE {
          SetLastError(ERROR_MOD_NOT_FOUND);
          return nullptr;
        };
        EXPECT_EQ(MessageOf<TICMPException>([] { TPing failed(nullptr); }), u"Unable to register icmp.dll");
      }
      TPing next(nullptr);
      EXPECT_EQ(next.ReleaseMessage(), 1027u);
      EXPECT_EQ(next.DnsLookupMessage(), 1028u);
    }
    // With no component left the window is gone, and one that cannot be made is an error.
    ScopedOverride<WindowMessagesApi> windows;
    windows->CreateWindowExW = [](auto...) -> HWND {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    };
    EXPECT_EQ(MessageOf<EMsgWndException>([] { TPing failed(nullptr); }),
              u"Unable to create TMsgWndControl hidden window.  Error #8.");
    windows->CreateWindowExW = windows.Original().CreateWindowExW;
    TPing after(nullptr);
    EXPECT_EQ(after.DnsLookupMessage(), 1026u);
  }).join();
}

TEST_F(PingComponent, ErrorOfALookupHandlerStaysInsideTheComponent) {
  // A lookup that fails at once, its completion posted as a resolver posts it.
  ScopedOverride<AsyncResolverApi> resolver;
  resolver->WSAAsyncGetHostByName = [](HWND window, UINT message, const char*, char*, int) {
    const HANDLE task = reinterpret_cast<HANDLE>(0x5e);
    PostMessageW(window, message, reinterpret_cast<WPARAM>(task), static_cast<LPARAM>(WSAHOST_NOT_FOUND) << 16);
    return task;
  };
  TPing ping(nullptr);
  int reported = 0;
  ping.OnMessageError = [&](TObject*, const std::exception&, bool&) { ++reported; };
  ping.OnDnsLookupDone = [](TObject*, WORD) { throw Exception(u"handler failed"); };
  ping.DnsLookup(u"failing.test");
  ASSERT_TRUE(PumpUntil([&] { return reported == 1; }));
}

TEST_F(PingComponent, EchoFiresRequestThenReplyAndKeepsTheReply) {
#ifndef _WIN32
  if (!test::IcmpSocketOpens()) KELVO_CANNOT_RUN() << test::kNoIcmpRights;
#endif
  TPing ping(nullptr);
  ping.SetSize(32);
  ping.SetTimeout(1000);
  ping.SetAddress(u"127.0.0.1");
  std::vector<std::string> events;
  ping.OnEchoRequest = [&](TObject* sender, TObject* icmp) {
    EXPECT_EQ(sender, &ping);
    EXPECT_NE(icmp, nullptr);
    events.push_back("request");
  };
  ping.OnEchoReply = [&](TObject*, TObject*, int status) { events.push_back("reply " + std::to_string(status)); };
  EXPECT_EQ(ping.Ping(), 1);
  EXPECT_THAT(events, ::testing::ElementsAre("request", "reply 1"));
  EXPECT_EQ(ping.Reply().DataSize, 32);
  EXPECT_EQ(ping.ResolvedIP(), u"127.0.0.1");
}

TEST_F(PingComponent, UnresolvableTargetOnlyDisplaysNotices) {
  TPing ping(nullptr);
  ping.SetAddress(u"unknown.test");
  std::vector<std::u16string> notices;
  int echoEvents = 0;
  ping.OnDisplay = [&](TObject*, TObject*, const std::u16string& msg) { notices.push_back(msg); };
  ping.OnEchoRequest = [&](TObject*, TObject*) { ++echoEvents; };
  ping.OnEchoReply = [&](TObject*, TObject*, int) { ++echoEvents; };
  EXPECT_EQ(ping.Ping(), 0);
  EXPECT_THAT(notices, ::testing::ElementsAre(u"Unable to resolve unknown.test", u"Invalid host address"));
  EXPECT_EQ(echoEvents, 0);
  EXPECT_EQ(ping.ErrorText(), u"Bad Destination");
}

// "Стоп" after the lookup completed and before its message is handled: the resolver answers
// WSAEALREADY (Windows documents it, ours the same; Wine accepts), and the lookup ends as cancelled.
TEST_F(PingComponent, CancelAfterTheCompletionWasPostedIsACancellation) {
  std::vector<int> answers;
  ScopedOverride<AsyncResolverApi> recorder;
  recorder->WSACancelAsyncRequest = [&](HANDLE task) {
    const int result = recorder.Original().WSACancelAsyncRequest(task);
    answers.push_back(result == 0 ? 0 : WSAGetLastError());
    return result;
  };
  TPing ping(nullptr);
  Lookups lookups(ping);
#ifdef _WIN32
  ping.DnsLookup(u"localhost");
#else
  ping.DnsLookup(u"posted.test");
#endif
  const auto end = std::chrono::steady_clock::now() + 2s;
  MSG queued;
  while (!PeekMessageW(&queued, ping.Handle(), ping.DnsLookupMessage(), ping.DnsLookupMessage(), PM_NOREMOVE)) {
    ASSERT_LT(std::chrono::steady_clock::now(), end) << "no completion";
    std::this_thread::sleep_for(1ms);
  }
  ping.CancelDnsLookup();
  EXPECT_THAT(lookups.errors, ::testing::ElementsAre(WSAEINTR));
  PumpFor(100ms);
  EXPECT_THAT(lookups.errors, ::testing::ElementsAre(WSAEINTR)) << "the completion is ignored";
  EXPECT_EQ(ping.DnsResult(), u"");
#ifdef _WIN32
  EXPECT_THAT(answers, ::testing::ElementsAre(::testing::AnyOf(0, static_cast<int>(WSAEALREADY))));
#else
  EXPECT_THAT(answers, ::testing::ElementsAre(static_cast<int>(WSAEALREADY)));
#endif
}

// Lookups of names this test answers itself reach its fake through our Linux resolver, which
// calls the overridable gethostbyname; the system's asynchronous lookup on Windows would ask the
// network for them. A silent peer needs a network namespace.
#ifndef _WIN32

TEST_F(PingComponent, FailedLookupReportsTheSocketErrorAndNoResult) {
  TPing ping(nullptr);
  Lookups lookups(ping);
  ping.DnsLookup(u"unknown.test");
  ASSERT_TRUE(PumpUntil([&] { return !lookups.errors.empty(); }));
  EXPECT_THAT(lookups.errors, ::testing::ElementsAre(WSAHOST_NOT_FOUND));
  EXPECT_EQ(ping.DnsResult(), u"");
}

TEST_F(PingComponent, SecondLookupSilentlyReplacesTheFirst) {
  resolution.Hold("slow.test");
  std::vector<HANDLE> handles;
  ScopedOverride<AsyncResolverApi> recorder;
  recorder->WSAAsyncGetHostByName = [&](HWND w, UINT m, const char* n, char* b, int l) {
    handles.push_back(recorder.Original().WSAAsyncGetHostByName(w, m, n, b, l));
    return handles.back();
  };
  TPing ping(nullptr);
  Lookups lookups(ping);
  ping.DnsLookup(u"slow.test");
  ping.DnsLookup(u"fast.test");
  ASSERT_TRUE(PumpUntil([&] { return !lookups.errors.empty(); }));
  resolution.ReleaseAll();
  // A late completion of the first lookup is stale and changes nothing.
  PostMessageW(ping.Handle(), ping.DnsLookupMessage(), reinterpret_cast<WPARAM>(handles.at(0)), 0);
  PumpFor(100ms);
  EXPECT_THAT(lookups.errors, ::testing::ElementsAre(0));
  EXPECT_EQ(ping.DnsResult(), u"127.0.0.7");
}

TEST_F(PingComponent, StuckLookupsHoldUpNoOtherLookup) {
  resolution.Hold("slow.test");
  std::vector<std::unique_ptr<TPing>> stuck;
  for (int i = 0; i < 3; ++i) {
    stuck.push_back(std::make_unique<TPing>(nullptr));
    stuck.back()->DnsLookup(u"slow.test");
  }
  TPing ping(nullptr);
  Lookups lookups(ping);
  ping.DnsLookup(u"fast.test");
  ASSERT_TRUE(PumpUntil([&] { return !lookups.errors.empty(); }));
  EXPECT_EQ(ping.DnsResult(), u"127.0.0.7");
}

TEST_F(PingComponent, DottedAddressAfterAHostNameLeavesNothingPending) {
  resolution.Hold("slow.test");
  TPing ping(nullptr);
  Lookups lookups(ping);
  ping.DnsLookup(u"slow.test");
  ping.DnsLookup(u"127.0.0.5");
  ping.CancelDnsLookup();
  resolution.ReleaseAll();
  PumpFor(100ms);
  EXPECT_THAT(lookups.errors, ::testing::ElementsAre(0));
  EXPECT_EQ(ping.DnsResult(), u"127.0.0.5");
}

TEST_F(PingComponent, CancelReportsInterruptedOnlyWhenALookupIsPending) {
  resolution.Hold("slow.test");
  TPing ping(nullptr);
  Lookups lookups(ping);
  ping.CancelDnsLookup();
  EXPECT_TRUE(lookups.errors.empty());
  ping.DnsLookup(u"slow.test");
  ping.CancelDnsLookup();
  EXPECT_THAT(lookups.errors, ::testing::ElementsAre(WSAEINTR));
  EXPECT_EQ(ping.DnsResult(), u"");
  resolution.ReleaseAll();
  PumpFor(100ms);
  EXPECT_EQ(lookups.errors.size(), 1u);
}

TEST_F(PingComponent, DestructionCancelsAndReportsAPendingLookup) {
  resolution.Hold("slow.test");
  std::vector<WORD> errors;
  {
    TPing ping(nullptr);
    ping.OnDnsLookupDone = [&](TObject*, WORD error) { errors.push_back(error); };
    ping.DnsLookup(u"slow.test");
  }
  EXPECT_THAT(errors, ::testing::ElementsAre(WSAEINTR));
}

TEST_F(PingComponent, RefusedCancellationRaisesKeepsTheLookupAndDestructionStillCompletes) {
  resolution.Hold("slow.test");
  auto ping = std::make_unique<TPing>(nullptr);
  Lookups lookups(*ping);
  std::vector<std::string> reported;
  ping->OnMessageError = [&](TObject*, const std::exception& e, bool&) { reported.push_back(e.what()); };
  ping->DnsLookup(u"slow.test");
  {
    ScopedOverride<AsyncResolverApi> resolver;
    // Refused; the lookup is withdrawn all the same, so that nothing writes into the buffer later.
    resolver->WSACancelAsyncRequest = [&resolver](HANDLE task) {
      resolver.Original().WSACancelAsyncRequest(task);
      SetLastError(WSAENETDOWN);
      return SOCKET_ERROR;
    };
    try {
      ping->CancelDnsLookup();
      FAIL() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), u"WSACancelAsyncRequest failed, error #10050");
    }
    EXPECT_TRUE(lookups.errors.empty());
    ping.reset();  // the refused cancellation is reported, the component is gone all the same
  }
  EXPECT_THAT(reported, ::testing::ElementsAre("WSACancelAsyncRequest failed, error #10050"));
  resolution.ReleaseAll();
  PumpFor(100ms);
}

TEST_F(PingComponent, ErrorOfAnyTypeIsReportedInHandlingAndInDestruction) {
  resolution.Hold("slow.test");
  std::vector<std::string> reported;
  {
    TPing ping(nullptr);
    ping.OnMessageError = [&](TObject*, const std::exception& E, bool&) { reported.push_back(E.what()); };
    ping.OnDnsLookupDone = [](TObject*, WORD) { throw 42; };
    ping.DnsLookup(u"fast.test");
    ASSERT_TRUE(PumpUntil([&] { return reported.size() == 1; }));
    ping.DnsLookup(u"slow.test");
  }  // cancelled by the destruction, whose report throws again
  EXPECT_THAT(reported, ::testing::ElementsAre("Unknown error", "Unknown error"));
}

TEST_F(PingComponent, SilentPeerTimesOut) {
  if (!test::IsRoot()) KELVO_CANNOT_RUN() << test::kNeedsRoot;
  test::Namespace here;
  test::Namespace peer;
  ASSERT_TRUE(test::Link(here, "198.51.100.1/24", peer, "198.51.100.2/24"));
  ASSERT_TRUE(peer.Sysctl("net.ipv4.icmp_echo_ignore_all=1"));
  here.Within([] {
    TPing ping(nullptr);
    ping.SetTimeout(1000);
    ping.SetAddress(u"198.51.100.2");
    int status = -1;
    ping.OnEchoReply = [&](TObject*, TObject*, int s) { status = s; };
    EXPECT_EQ(ping.Ping(), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ping.ErrorText(), u"Request timed out");
  });
}

// Cancelled before or after the lookup completes, each lookup ends exactly once, as cancelled
// (10004); a completion that was already on its way is ignored.
TEST_F(PingComponent, CancellationRacingCompletionEndsEachLookupOnce) {
  TPing ping(nullptr);
  Lookups lookups(ping);
  constexpr int kRounds = 2000;
  for (int i = 0; i < kRounds; ++i) {
    ping.DnsLookup(u"race.test");
    if (i % 3 != 0) std::this_thread::yield();
    ping.CancelDnsLookup();
  }
  PumpFor(50ms);
  EXPECT_EQ(lookups.errors, std::vector<WORD>(kRounds, static_cast<WORD>(WSAEINTR)));
}

// The component and its host-entry buffer go while the lookup completes; nothing may write
// into the freed buffer or route the message to the freed component.
TEST_F(PingComponent, DestructionRacingCompletionTouchesNothingFreed) {
  for (int i = 0; i < 500; ++i) {
    auto ping = std::make_unique<TPing>(nullptr);
    ping->OnMessageError = [](TObject*, const std::exception&, bool&) {};
    ping->DnsLookup(u"race.test");
    if (i % 2 != 0) std::this_thread::yield();
    ping.reset();
  }
  PumpFor(50ms);
}

// A message number no control handles: the resolver's completions are taken from the queue.
constexpr UINT kResolved = WM_USER + 0x3000;

std::optional<MSG> TakeCompletion(HWND window) {
  MSG msg;
  const bool taken = PumpUntil([&] { return PeekMessageW(&msg, window, kResolved, kResolved, PM_REMOVE) != 0; });
  return taken ? std::optional<MSG>(msg) : std::nullopt;
}

TEST_F(PingComponent, HostEntryInABufferAtAnOddAddressKeepsItsPointersAligned) {
  TPing window(nullptr);
  alignas(hostent) char storage[MAXGETHOSTSTRUCT + 1];
  char* buffer = storage + 1;
  ASSERT_NE(WSAAsyncGetHostByName(window.Handle(), kResolved, "aligned.test", buffer, MAXGETHOSTSTRUCT), nullptr);
  const auto completion = TakeCompletion(window.Handle());
  ASSERT_TRUE(completion);
  ASSERT_EQ(WSAGETASYNCERROR(completion->lParam), 0);
  hostent host;
  std::memcpy(&host, buffer, sizeof(host));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(host.h_aliases) % alignof(char*), 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(host.h_addr_list) % alignof(char*), 0u);
  EXPECT_EQ(host.h_aliases[0], nullptr);
  ASSERT_NE(host.h_addr_list[0], nullptr);
  EXPECT_EQ(std::memcmp(host.h_addr_list[0], "\x7f\0\0\x07", 4), 0);
  EXPECT_STREQ(host.h_name, "fake.test");
  EXPECT_EQ(buffer + WSAGETASYNCBUFLEN(completion->lParam), host.h_name + sizeof("fake.test"))
      << "the reported length counts the padding";
}

// The resolver starts its first worker here, in a process of its own, while no thread can start.
TEST(PingComponentDeathTest, LookupWhoseWorkerCannotStartIsRefusedAndLaterOnesRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const auto check = [] {
          FakeResolution::Get();
          TPing window(nullptr);
          char buffer[MAXGETHOSTSTRUCT];
          pthread_attr_t saved;
          pthread_getattr_default_np(&saved);
          pthread_attr_t huge;
          pthread_attr_init(&huge);
          pthread_attr_setstacksize(&huge, std::size_t{1} << 46);  // more than there is to map
          pthread_setattr_default_np(&huge);
          bool refused = true;
          for (int i = 0; i < 5; ++i) {
            refused = refused && WSAAsyncGetHostByName(window.Handle(), kResolved, "fast.test", buffer,
                                                       sizeof(buffer)) == nullptr &&
                      WSAGetLastError() == static_cast<int>(WSAENOBUFS);
          }
          pthread_setattr_default_np(&saved);
          pthread_attr_destroy(&huge);
          pthread_attr_destroy(&saved);
          const HANDLE later = WSAAsyncGetHostByName(window.Handle(), kResolved, "fast.test", buffer, sizeof(buffer));
          const auto completion = TakeCompletion(window.Handle());
          return refused && later != nullptr && completion && completion->wParam == reinterpret_cast<WPARAM>(later) &&
                 WSAGETASYNCERROR(completion->lParam) == 0;
        };
        std::exit(check() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(PingComponentDeathTest, ProgramExitsWithLookupsStuckInTheResolver) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ScopedOverride<SocketsApi> sockets;
        sockets->gethostbyname = [](const char*) -> hostent* {
          std::this_thread::sleep_for(std::chrono::hours(1));
          return nullptr;
        };
        TPing ping(nullptr);
        ping.DnsLookup(u"stuck.test");
        TPing other(nullptr);
        other.DnsLookup(u"stuck.test");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace kelvo
