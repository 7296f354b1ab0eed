// TICMP against a fake echo service and fake socket library: what it asks the platform for,
// in which order, and what it makes of the answers. Nothing here touches the network.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "ping/icmp.h"
#include "platform/module.h"
#include "platform/sockets.h"

namespace kelvo {
namespace {

using Log = std::vector<std::string>;

class EngineTest : public ::testing::Test {
 public:
  EngineTest() {
    current = this;
    modules->LoadLibraryW = [this](WideText name) {
      log.push_back("LoadLibraryW " + ToUtf8(name));
      return loadResult;
    };
    modules->GetProcAddress = [this](HMODULE module, LPCSTR name) -> FARPROC {
      EXPECT_EQ(module, fakeModule);
      log.push_back(std::string("GetProcAddress ") + name);
      if (missingEntry == name) return nullptr;
      if (std::string(name) == "IcmpCreateFile") return ToFarProc(&Create);
      if (std::string(name) == "IcmpCloseHandle") return ToFarProc(&Close);
      if (std::string(name) == "IcmpSendEcho") return ToFarProc(&Send);
      return nullptr;
    };
    modules->FreeLibrary = [this](HMODULE module) {
      EXPECT_EQ(module, fakeModule);
      log.push_back("FreeLibrary");
      return kTrue;
    };
    sockets->WSAStartup = [this](WORD version, WSADATA*) {
      log.push_back("WSAStartup " + std::to_string(version));
      return startupResult;
    };
    sockets->WSACleanup = [this] {
      log.push_back("WSACleanup");
      return 0;
    };
    sockets->gethostbyname = [this](const char* name) -> hostent* {
      lookups.push_back(name);
      if (hostAddress == INADDR_NONE) {
        SetLastError(WSAHOST_NOT_FOUND);
        return nullptr;
      }
      return &host;
    };
  }
  ~EngineTest() override { current = nullptr; }

  static HANDLE WINAPI Create() {
    current->log.push_back("IcmpCreateFile");
    return current->echoHandle;
  }
  static BOOL WINAPI Close(HANDLE handle) {
    EXPECT_EQ(handle, current->echoHandle);
    current->log.push_back("IcmpCloseHandle");
    return kTrue;
  }
  static DWORD WINAPI Send(HANDLE handle, IPAddr address, void* request, WORD size,
                           IP_OPTION_INFORMATION* options, void* reply, DWORD replySize, DWORD timeout) {
    EngineTest& t = *current;
    EXPECT_EQ(handle, t.echoHandle);
    t.sent.push_back({address, std::string(static_cast<char*>(request), size), *options, replySize, timeout});
    // A whole reply record as the service would write it: the caller must read it whole.
    ICMP_ECHO_REPLY record{};
    record.Address = address;
    record.Status = t.status;
    record.RoundTripTime = 7;
    record.DataSize = size;
    record.Data = static_cast<char*>(reply) + sizeof(record);
    record.Options.Ttl = 61;
    if (t.replies > 0) {
      std::memcpy(reply, &record, sizeof(record));
      std::memcpy(static_cast<char*>(reply) + sizeof(record), request, size);
    }
    SetLastError(t.status);
    return t.replies;
  }

  struct Sent {
    IPAddr address;
    std::string payload;
    IP_OPTION_INFORMATION options;
    DWORD replySize;
    DWORD timeout;
  };

  static inline EngineTest* current = nullptr;
  ScopedOverride<ModuleApi> modules;
  ScopedOverride<SocketsApi> sockets;
  HMODULE fakeModule = reinterpret_cast<HMODULE>(0x1000);
  HMODULE loadResult = fakeModule;
  std::string missingEntry;
  int startupResult = 0;
  HANDLE echoHandle = reinterpret_cast<HANDLE>(0x2000);
  DWORD replies = 1;
  DWORD status = IP_SUCCESS;
  Log log;
  std::vector<Sent> sent;
  std::vector<std::string> lookups;

  ULONG hostAddress = INADDR_NONE;
  char* hostList[2] = {reinterpret_cast<char*>(&hostAddress), nullptr};
  hostent host{nullptr, nullptr, AF_INET, 4, hostList};
};

const Log kOpened = {"WSAStartup 257", "LoadLibraryW icmp.dll", "GetProcAddress IcmpCreateFile",
                     "GetProcAddress IcmpCloseHandle", "GetProcAddress IcmpSendEcho", "IcmpCreateFile"};

TEST_F(EngineTest, OpensInOrderWithDefaultsAndClosesInReverse) {
  {
    TICMP icmp;
    EXPECT_EQ(log, kOpened);
    EXPECT_EQ(icmp.Size(), 56);
    EXPECT_EQ(icmp.Timeout(), 4000);
    EXPECT_EQ(icmp.TTL(), 64);
    EXPECT_EQ(icmp.Flags(), 0);
    EXPECT_EQ(icmp.Address(), u"");
    EXPECT_FALSE(icmp.AddressResolved());
    EXPECT_EQ(icmp.LastError(), 0u);
    const ICMP_ECHO_REPLY zero{};
    const ICMP_ECHO_REPLY reply = icmp.Reply();
    EXPECT_EQ(std::memcmp(&reply, &zero, sizeof(zero)), 0);
    log.clear();
  }
  EXPECT_EQ(log, (Log{"IcmpCloseHandle", "FreeLibrary", "WSACleanup"}));
}

struct ConstructionFailure {
  const char* name;
  void (*arrange)(EngineTest&);
  const char16_t* message;
  Log log;
};

class ConstructionFailureTest : public EngineTest,
                                public ::testing::WithParamInterface<ConstructionFailure> {};

TEST_P(ConstructionFailureTest, NamesTheFailureAndUndoesOnlyWhatWasDone) {
  GetParam().arrange(*this);
  try {
    TICMP icmp;
    FAIL() << "construction succeeded";
  } catch (const TICMPException& e) {
    EXPECT_EQ(e.Message(), GetParam().message);
  }
  EXPECT_EQ(log, GetParam().log);
}

Log Opened(std::size_t steps, Log then) {
  Log log(kOpened.begin(), kOpened.begin() + static_cast<std::ptrdiff_t>(steps));
  log.insert(log.end(), then.begin(), then.end());
  return log;
}

INSTANTIATE_TEST_SUITE_P(
    Engine, ConstructionFailureTest,
    ::testing::Values(
        ConstructionFailure{"SocketsFail", [](EngineTest& engine) { engine.startupResult = 10091; },
                            u"Error initialising Winsock", Opened(1, {"WSACleanup"})},
        ConstructionFailure{"NoLibrary", [](EngineTest& engine) { engine.loadResult = nullptr; },
                            u"Unable to register icmp.dll", Opened(2, {"WSACleanup"})},
        ConstructionFailure{"NoCreate", [](EngineTest& engine) { engine.missingEntry = "IcmpCreateFile"; },
                            u"Error loading dll functions", Opened(5, {"FreeLibrary", "WSACleanup"})},
        ConstructionFailure{"NoClose", [](EngineTest& engine) { engine.missingEntry = "IcmpCloseHandle"; },
                            u"Error loading dll functions", Opened(5, {"FreeLibrary", "WSACleanup"})},
        ConstructionFailure{"NoSend", [](EngineTest& engine) { engine.missingEntry = "IcmpSendEcho"; },
                            u"Error loading dll functions", Opened(5, {"FreeLibrary", "WSACleanup"})},
        ConstructionFailure{"InvalidHandle", [](EngineTest& engine) { engine.echoHandle = INVALID_HANDLE_VALUE; },
                            u"Unable to get ping handle", Opened(6, {"FreeLibrary", "WSACleanup"})}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(EngineTest, SendsThePayloadCutOrPaddedWithLowBytesOfTtlAndFlags) {
  TICMP icmp;
  icmp.SetAddress(u"127.0.0.1");
  icmp.SetTTL(300);
  icmp.SetFlags(0x102);
  icmp.SetTimeout(1234);
  for (int size : {32, 56, 0}) {
    icmp.SetSize(size);
    EXPECT_EQ(icmp.Ping(), 1);
  }
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].payload, "Pinging from Korund code written");
  EXPECT_EQ(sent[0].replySize, sizeof(ICMP_ECHO_REPLY) + 32 + 8);
  EXPECT_EQ(sent[1].payload, "Pinging from Korund code written by T. Varnel" + std::string(11, ' '));
  EXPECT_EQ(sent[2].payload, "");
  EXPECT_EQ(sent[2].replySize, sizeof(ICMP_ECHO_REPLY) + 8);
  EXPECT_EQ(sent[2].address, inet_addr("127.0.0.1"));
  EXPECT_EQ(sent[2].timeout, 1234u);
  const IP_OPTION_INFORMATION& options = sent[2].options;
  EXPECT_EQ(options.Ttl, 44);
  EXPECT_EQ(options.Flags, 2);
  EXPECT_EQ(options.Tos + options.OptionsSize, 0);
  EXPECT_EQ(options.OptionsData, nullptr);
}

TEST_F(EngineTest, KeepsTheReplyAndTheStatusAndFiresRequestThenReply) {
  TICMP icmp;
  icmp.SetAddress(u"127.0.0.1");
  icmp.SetSize(32);
  std::vector<std::string> events;
  icmp.OnEchoRequest = [&](TICMP* sender) {
    EXPECT_EQ(sender, &icmp);
    EXPECT_EQ(sent.size(), events.size() / 2) << "fired before the request goes out";
    events.push_back("request");
  };
  icmp.OnEchoReply = [&](TICMP* sender, int count) {
    EXPECT_EQ(sender, &icmp);
    events.push_back("reply " + std::to_string(count));
  };
  EXPECT_EQ(icmp.Ping(), 1);
  EXPECT_EQ(icmp.Reply().RoundTripTime, 7u);
  EXPECT_EQ(icmp.Reply().DataSize, 32);
  EXPECT_EQ(icmp.Reply().Options.Ttl, 61);
  EXPECT_EQ(icmp.ErrorText(), u"No error");

  replies = 0;
  status = IP_REQ_TIMED_OUT;
  EXPECT_EQ(icmp.Ping(), 0);
  EXPECT_EQ(icmp.LastError(), IP_REQ_TIMED_OUT);
  EXPECT_EQ(icmp.ErrorText(), u"Request timed out");
  EXPECT_EQ(icmp.Reply().RoundTripTime, 0u) << "nothing written: the record reads all zeros";
  EXPECT_EQ(events, (std::vector<std::string>{"request", "reply 1", "request", "reply 0"}));
}

TEST_F(EngineTest, RefusesSizesTheRequestLengthCannotCarry) {
  TICMP icmp;
  icmp.SetAddress(u"127.0.0.1");
  int replyEvents = 0;
  icmp.OnEchoReply = [&](TICMP*, int count) {
    EXPECT_EQ(count, 0);
    ++replyEvents;
  };
  for (int size : {-1, 65536, INT_MAX, INT_MIN}) {
    icmp.SetSize(size);
    EXPECT_EQ(icmp.Ping(), 0) << size;
    EXPECT_EQ(icmp.ErrorText(), u"Bad request") << size;
  }
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(replyEvents, 4);
  icmp.OnEchoReply = nullptr;
  icmp.SetSize(65535);
  icmp.Ping();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].payload.size(), 65535u);
}

TEST_F(EngineTest, AnErrorFromACallbackReachesTheCaller) {
  TICMP icmp;
  icmp.SetAddress(u"127.0.0.1");
  icmp.OnEchoRequest = [](TICMP*) { throw std::runtime_error("request handler"); };
  EXPECT_THROW(icmp.Ping(), std::runtime_error);
  EXPECT_TRUE(sent.empty());
  icmp.OnEchoRequest = nullptr;
  icmp.OnEchoReply = [](TICMP*, int) { throw std::runtime_error("reply handler"); };
  EXPECT_THROW(icmp.Ping(), std::runtime_error);
  EXPECT_EQ(sent.size(), 1u);
}

TEST_F(EngineTest, UnresolvableNameIsReportedAndTriedAgain) {
  TICMP icmp;
  icmp.SetAddress(u"127.0.0.1");
  icmp.Ping();
  const ICMP_ECHO_REPLY before = icmp.Reply();
  std::vector<std::u16string> notices;
  icmp.OnDisplay = [&](TICMP* sender, const std::u16string& text) {
    EXPECT_EQ(sender, &icmp);
    notices.push_back(text);
  };
  bool echoEvent = false;
  icmp.OnEchoRequest = [&](TICMP*) { echoEvent = true; };
  icmp.OnEchoReply = [&](TICMP*, int) { echoEvent = true; };
  icmp.SetAddress(u"nohost.test");
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(icmp.Ping(), 0);
    EXPECT_EQ(icmp.ErrorText(), u"Bad Destination");
  }
  EXPECT_EQ(notices, (std::vector<std::u16string>{u"Unable to resolve nohost.test", u"Invalid host address",
                                                  u"Unable to resolve nohost.test", u"Invalid host address"}));
  EXPECT_EQ(lookups, (std::vector<std::string>{"nohost.test", "nohost.test"}));
  EXPECT_FALSE(echoEvent);
  EXPECT_EQ(sent.size(), 1u);
  const ICMP_ECHO_REPLY after = icmp.Reply();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof(before)), 0);
}

TEST_F(EngineTest, ResolvesOncePerAddressText) {
  hostAddress = inet_addr("192.0.2.7");
  TICMP icmp;
  icmp.SetAddress(u"host.test");
  icmp.Ping();
  icmp.SetAddress(u"host.test");
  icmp.Ping();
  EXPECT_EQ(lookups.size(), 1u);
  EXPECT_EQ(icmp.ResolvedIP(), u"192.0.2.7");
  icmp.SetAddress(u"HOST.test");
  icmp.Ping();
  EXPECT_EQ(lookups.size(), 2u);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2].address, hostAddress);
}

TEST_F(EngineTest, LiteralAddressNeedsNoLookupButAllOnesDoes) {
  TICMP icmp;
  icmp.SetAddress(u"10.1.0.10");
  icmp.ResolveAddress();
  EXPECT_TRUE(lookups.empty());
  EXPECT_TRUE(icmp.AddressResolved());
  EXPECT_EQ(icmp.ResolvedIP(), u"10.1.0.10");
  icmp.SetAddress(u"255.255.255.255");
  EXPECT_EQ(icmp.Ping(), 0);
  EXPECT_EQ(lookups, (std::vector<std::string>{"255.255.255.255"}));
  EXPECT_TRUE(sent.empty());
}

TEST_F(EngineTest, ErrorTextNamesEveryStatus) {
  TICMP icmp;
  icmp.SetAddress(u"127.0.0.1");
  replies = 0;
  const std::pair<DWORD, std::u16string> table[] = {
      {0, u"No error"},
      {11001, u"Buffer too small"},
      {11002, u"Destination network unreachable"},
      {11003, u"Destination host unreachable"},
      {11004, u"Destination protocol unreachable"},
      {11005, u"Destination port unreachable"},
      {11006, u"No resources"},
      {11007, u"Bad option"},
      {11008, u"Hardware error"},
      {11009, u"Packet too big"},
      {11010, u"Request timed out"},
      {11011, u"Bad request"},
      {11012, u"Bad route"},
      {11013, u"TTL expired in transit"},
      {11014, u"TTL expired in reassembly"},
      {11015, u"Parameter problem"},
      {11016, u"Source quench"},
      {11017, u"Option too big"},
      {11018, u"Bad Destination"},
      {11019, u"Address deleted"},
      {11020, u"Spec MTU change"},
      {11021, u"MTU change"},
      {11050, u"General failure"},
      {11255, u"Pending"},
      {12345, u"ICMP error #12345"},
      {11022, u"ICMP error #11022"},
      {4294967295u, u"ICMP error #4294967295"},
  };
  for (const auto& [code, text] : table) {
    status = code;
    icmp.Ping();
    EXPECT_EQ(icmp.LastError(), code);
    EXPECT_EQ(icmp.ErrorText(), text) << code;
  }
}

}  // namespace
}  // namespace kelvo
