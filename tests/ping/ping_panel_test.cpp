// The ping panel through the headless toolkit. The echo service, the asynchronous resolver and
// the timer are fakes: nothing is sent, and a test decides when a lookup completes and when the
// timer's period ends.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "app/startup.h"
#include "platform/async_resolver.h"
#include "ui/headless/headless_toolkit.h"
#include "platform/module.h"
#include "platform/window_messages.h"

namespace kelvo {
namespace {

using Lines = std::vector<std::u16string>;

struct Echo {
  IPAddr address;
  WORD size;
  UCHAR ttl;
  DWORD timeout;
};

struct Lookup {
  HWND window;
  UINT message;
  std::string name;
  char* buffer;
  HANDLE handle;
};

// In network byte order, as the platform keeps addresses.
IPAddr Address(BYTE a, BYTE b, BYTE c, BYTE d) {
  in_addr address{};
  address.S_un.S_un_b = {a, b, c, d};
  return address.S_un.S_addr;
}

class PingPanelTest : public ::testing::Test {
 public:
  PingPanelTest() {
    current = this;
    modules->LoadLibraryW = [](LPCWSTR) { return kEchoModule; };
    modules->GetProcAddress = [](HMODULE, LPCSTR name) -> FARPROC {
      const std::string entry = name;
      if (entry == "IcmpCreateFile") return ToFarProc(&Create);
      if (entry == "IcmpCloseHandle") return ToFarProc(&Close);
      if (entry == "IcmpSendEcho") return ToFarProc(&Send);
      return nullptr;
    };
    modules->FreeLibrary = [](HMODULE) { return kTrue; };
    resolver->WSAAsyncGetHostByName = [this](HWND window, UINT message, const char* name, char* buffer, int) {
      lookups.push_back({window, message, name, buffer, reinterpret_cast<HANDLE>(++lastHandle)});
      return lookups.back().handle;
    };
    resolver->WSACancelAsyncRequest = [this](HANDLE) {
      ++cancels;
      if (cancelError == 0) return 0;
      SetLastError(cancelError);
      return SOCKET_ERROR;
    };
    form = std::make_unique<TForm1>(toolkit);
  }
  ~PingPanelTest() override {
    form.reset();
    current = nullptr;
  }

  static HANDLE WINAPI Create() { return kEchoHandle; }
  static BOOL WINAPI Close(HANDLE) { return kTrue; }
  static DWORD WINAPI Send(HANDLE, IPAddr address, void*, WORD size, IP_OPTION_INFORMATION* options, void* reply,
                           DWORD, DWORD timeout) {
    PingPanelTest& t = *current;
    t.echoes.push_back({address, size, options->Ttl, timeout});
    if (t.replies == 0) {
      SetLastError(IP_REQ_TIMED_OUT);
      return 0;
    }
    ICMP_ECHO_REPLY record{};
    record.Address = address;
    record.Status = t.replyStatus;
    record.RoundTripTime = 7;
    record.DataSize = size;
    std::memcpy(reply, &record, sizeof(record));
    return t.replies;
  }

  // The resolver answers the latest lookup; the message loop then delivers the answer.
  void Complete(WORD error, IPAddr address = 0) {
    const Lookup& lookup = lookups.back();
    if (error == 0) {
      auto* entry = reinterpret_cast<hostent*>(lookup.buffer);
      auto** list = reinterpret_cast<char**>(lookup.buffer + sizeof(hostent));
      char* first = reinterpret_cast<char*>(list + 2);
      std::memcpy(first, &address, sizeof(address));
      list[0] = first;
      list[1] = nullptr;
      *entry = hostent{nullptr, list + 1, AF_INET, 4, list};
    }
    const LPARAM lParam = static_cast<LPARAM>((static_cast<DWORD>(error) << 16) | (error == 0 ? 64 : 0));
    ASSERT_TRUE(PostMessageW(lookup.window, lookup.message, reinterpret_cast<WPARAM>(lookup.handle), lParam));
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }

  void Start(const std::u16string& host) {
    toolkit.Type(u"HostEdit", host);
    toolkit.Click(u"Button3");
  }
  Lines Output() const { return toolkit.Lines(u"DisplayMemo"); }
  bool Pinging() const { return toolkit.TimerRunning(u"timer"); }
  void Tick() { toolkit.FireTimer(u"timer"); }

  static inline PingPanelTest* current = nullptr;
  static inline const HMODULE kEchoModule = reinterpret_cast<HMODULE>(0x1c);
  static inline const HANDLE kEchoHandle = reinterpret_cast<HANDLE>(0xec);

  ScopedOverride<ModuleApi> modules;
  ScopedOverride<AsyncResolverApi> resolver;
  THeadlessToolkit toolkit;
  std::unique_ptr<TForm1> form;

  std::vector<Lookup> lookups;
  std::vector<Echo> echoes;
  std::uintptr_t lastHandle = 0;
  int cancels = 0;
  DWORD cancelError = 0;
  DWORD replies = 1;
  ULONG replyStatus = IP_SUCCESS;
};

const Lines kRunOn7 = {u"Обмен с: '192.0.2.7'", u"хост '192.0.2.7' адрес 192.0.2.7"};

TEST_F(PingPanelTest, PanelControlsAndPing1AreSetUpAsDefined) {
  toolkit.Click(u"Button2");
  EXPECT_EQ(toolkit.Text(u"HostEdit"), u"10.1.0.10");
  EXPECT_EQ(toolkit.Text(u"Label4"), u"Адрес :");
  EXPECT_EQ(toolkit.Text(u"Button3"), u"Старт");
  EXPECT_EQ(toolkit.Text(u"Button4"), u"Стоп");
  EXPECT_TRUE(Output().empty());
  EXPECT_EQ(toolkit.Look(u"HostEdit").font.pixelHeight, 16);
  EXPECT_EQ(toolkit.Look(u"HostEdit").definition->color, cl3DLight);
  EXPECT_EQ(toolkit.Look(u"DisplayMemo").font.pixelHeight, 11);
  EXPECT_EQ(toolkit.Look(u"Button3").font.pixelHeight, 13);
  EXPECT_FALSE(toolkit.Look(u"Button4").ctl3D);
  EXPECT_EQ(form->Ping1->Size(), 32);
  EXPECT_EQ(form->Ping1->Timeout(), 1000);
  EXPECT_EQ(form->Ping1->TTL(), 64);
  EXPECT_EQ(form->Ping1->Flags(), 0);
  EXPECT_FALSE(Pinging());
  EXPECT_EQ(form->timer->Interval(), 1000u);
}

TEST_F(PingPanelTest, DottedAddressResolvesAtOnceThenEachTickWritesOneLine) {
  toolkit.Click(u"Button2");
  Start(u"192.0.2.7");
  EXPECT_EQ(Output(), kRunOn7);
  EXPECT_TRUE(lookups.empty());
  ASSERT_TRUE(Pinging());
  EXPECT_EQ(toolkit.TimerInterval(u"timer"), 1000u);
  EXPECT_TRUE(echoes.empty());

  Tick();
  replies = 0;
  Tick();
  ASSERT_EQ(echoes.size(), 2u);
  EXPECT_EQ(echoes[0].address, Address(192, 0, 2, 7));
  EXPECT_EQ(echoes[0].size, 32);
  EXPECT_EQ(echoes[0].ttl, 64);
  EXPECT_EQ(echoes[0].timeout, 1000u);
  Lines expected = kRunOn7;
  expected.push_back(u"Ответ от: 192.0.2.7     байт= 32       ВРЕМЯ:  7  мсек");
  expected.push_back(u"Пинг невозможен: Request timed out");
  EXPECT_EQ(Output(), expected);
  EXPECT_TRUE(toolkit.Boxes().empty());
}

TEST_F(PingPanelTest, CountedReplyCarryingAnErrorIsAFailure) {
  toolkit.Click(u"Button2");
  Start(u"192.0.2.7");
  replyStatus = IP_DEST_HOST_UNREACHABLE;
  Tick();
  EXPECT_EQ(Output().back(), u"Пинг невозможен: Destination host unreachable");
  replyStatus = 11999;  // a code the table does not know
  Tick();
  EXPECT_EQ(Output().back(), u"Пинг невозможен: ICMP error #11999");
}

TEST_F(PingPanelTest, HostNameResolvesLaterThroughTheMessageLoop) {
  toolkit.Click(u"Button2");
  Start(u"echo.test");
  EXPECT_EQ(Output(), Lines{u"Обмен с: 'echo.test'"});
  ASSERT_EQ(lookups.size(), 1u);
  EXPECT_EQ(lookups[0].name, "echo.test");
  EXPECT_FALSE(Pinging());
  Complete(0, Address(192, 0, 2, 9));
  EXPECT_EQ(Output(), (Lines{u"Обмен с: 'echo.test'", u"хост 'echo.test' адрес 192.0.2.9"}));
  EXPECT_EQ(form->Ping1->Address(), u"192.0.2.9");
  EXPECT_TRUE(Pinging());

  // A failed lookup writes its line and starts nothing; the host text is read when written.
  form->timer->SetEnabled(false);
  Start(u"nowhere.test");
  toolkit.Type(u"HostEdit", u"edited meanwhile");
  Complete(static_cast<WORD>(WSAHOST_NOT_FOUND));
  EXPECT_EQ(Output(), (Lines{u"Обмен с: 'nowhere.test'", u"неизвестный хост 'edited meanwhile'"}));
  EXPECT_FALSE(Pinging());
}

TEST_F(PingPanelTest, NewStartClearsAndKeepsPingingTheOldAddressUntilResolved) {
  toolkit.Click(u"Button2");
  Start(u"192.0.2.7");
  Start(u"192.0.2.7");
  EXPECT_EQ(Output(), kRunOn7);
  EXPECT_EQ(toolkit.TimerPeriodsStarted(u"timer"), 1);

  Start(u"echo.test");
  EXPECT_EQ(Output(), Lines{u"Обмен с: 'echo.test'"});
  Tick();
  Complete(0, Address(192, 0, 2, 9));
  Tick();
  ASSERT_EQ(echoes.size(), 2u);
  EXPECT_EQ(echoes[0].address, Address(192, 0, 2, 7));
  EXPECT_EQ(echoes[1].address, Address(192, 0, 2, 9));
  // The period of the earlier run went on undisturbed.
  EXPECT_EQ(toolkit.TimerPeriodsStarted(u"timer"), 1);
}

TEST_F(PingPanelTest, StopReportsAPendingLookupAndElseWritesNothing) {
  toolkit.Click(u"Button2");
  Start(u"192.0.2.7");
  toolkit.Click(u"Button4");
  EXPECT_FALSE(Pinging());
  EXPECT_EQ(Output(), kRunOn7);
  EXPECT_EQ(cancels, 0);

  Start(u"echo.test");
  toolkit.Click(u"Button4");
  EXPECT_EQ(cancels, 1);
  EXPECT_EQ(Output(), (Lines{u"Обмен с: 'echo.test'", u"неизвестный хост 'echo.test'"}));
  EXPECT_EQ(toolkit.Text(u"HostEdit"), u"echo.test");
}

TEST_F(PingPanelTest, HidingWithPingStopsTheRunAndHidingWithTheVpnButtonDoesNot) {
  toolkit.Click(u"Button2");
  Start(u"192.0.2.7");
  toolkit.Click(u"Button1");  // "Создать Соединение"
  EXPECT_FALSE(toolkit.Showing(u"DisplayMemo"));
  ASSERT_TRUE(Pinging());
  Tick();
  toolkit.Click(u"Button2");
  EXPECT_TRUE(toolkit.Showing(u"DisplayMemo"));
  ASSERT_EQ(Output().size(), 3u);
  EXPECT_EQ(Output().back(), u"Ответ от: 192.0.2.7     байт= 32       ВРЕМЯ:  7  мсек");

  Start(u"echo.test");
  toolkit.Click(u"Button2");  // "Пинг" hides the panel: the lookup is cancelled, the timer stops
  EXPECT_FALSE(form->pingShown);
  EXPECT_FALSE(Pinging());
  EXPECT_EQ(Output().back(), u"неизвестный хост 'echo.test'");
}

// The engine's own notices are lines too: a lookup that answers the all-ones address gives the
// engine a target it cannot use.
TEST_F(PingPanelTest, EngineNoticesAreWrittenAsTheyCome) {
  ScopedOverride<SocketsApi> sockets;
  sockets->gethostbyname = [](const char*) -> hostent* {
    SetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
  };
  toolkit.Click(u"Button2");
  Start(u"ones.test");
  Complete(0, Address(255, 255, 255, 255));
  Tick();
  EXPECT_EQ(Output(), (Lines{u"Обмен с: 'ones.test'", u"хост 'ones.test' адрес 255.255.255.255",
                             u"Unable to resolve 255.255.255.255", u"Invalid host address"}));
  EXPECT_TRUE(echoes.empty());
}

TEST_F(PingPanelTest, LookupThatCannotStartShowsTheErrorBoxAndTheRunningTimerGoesOn) {
  toolkit.Click(u"Button2");
  Start(u"192.0.2.7");
  resolver->WSAAsyncGetHostByName = [](HWND, UINT, const char*, char*, int) -> HANDLE {
    SetLastError(WSAENOBUFS);
    return nullptr;
  };
  Start(u"busy.test");
  ASSERT_EQ(toolkit.Boxes().size(), 1u);
  EXPECT_EQ(toolkit.Boxes()[0].text, u"busy.test: can't start DNS lookup, error #10055.");
  EXPECT_EQ(toolkit.Boxes()[0].icon, TMessageIcon::Error);
  EXPECT_EQ(Output(), Lines{u"Обмен с: 'busy.test'"});
  EXPECT_TRUE(Pinging());
  EXPECT_EQ(toolkit.TimerPeriodsStarted(u"timer"), 1);
  Tick();
  ASSERT_EQ(echoes.size(), 1u);
  EXPECT_EQ(echoes[0].address, Address(192, 0, 2, 7));
}

TEST_F(PingPanelTest, RefusedCancellationLeavesTheTimerRunningAndShowsTheErrorBox) {
  toolkit.Click(u"Button2");
  Start(u"192.0.2.7");
  Start(u"echo.test");
  cancelError = WSAENETDOWN;
  toolkit.Click(u"Button2");
  EXPECT_FALSE(toolkit.Visible(u"Panel1"));
  EXPECT_FALSE(form->pingShown);
  EXPECT_TRUE(Pinging());
  ASSERT_EQ(toolkit.Boxes().size(), 1u);
  EXPECT_EQ(toolkit.Boxes()[0].text, u"WSACancelAsyncRequest failed, error #10050.");
  EXPECT_EQ(toolkit.Boxes()[0].icon, TMessageIcon::Error);
  EXPECT_EQ(Output(), Lines{u"Обмен с: 'echo.test'"});

  // The same refusal from "Стоп".
  toolkit.Click(u"Button2");
  toolkit.Click(u"Button4");
  EXPECT_TRUE(Pinging());
  EXPECT_EQ(toolkit.Boxes().size(), 2u);

  // The lookup finished meanwhile: Windows may say so with WSAEINVAL, which refuses nothing.
  cancelError = WSAEINVAL;
  toolkit.Click(u"Button4");
  EXPECT_FALSE(Pinging());
  EXPECT_EQ(toolkit.Boxes().size(), 2u);
  cancelError = 0;
}

TEST_F(PingPanelTest, ClosingTheWindowWithALookupPendingCancelsIt) {
  toolkit.Click(u"Button2");
  Start(u"echo.test");
  form.reset();  // under AddressSanitizer a touch of a destroyed control fails here
  EXPECT_EQ(cancels, 1);
  EXPECT_TRUE(toolkit.Boxes().empty());
}

TEST_F(PingPanelTest, MissingEchoServiceIsReportedBeforeTheProgramEnds) {
  form.reset();
  modules->GetProcAddress = [](HMODULE, LPCSTR) -> FARPROC { return nullptr; };
  bool looped = false;
  const int status = RunMainWindow(toolkit, [&] {
    looped = true;
    return 0;
  });
  EXPECT_NE(status, 0);
  EXPECT_FALSE(looped);
  ASSERT_EQ(toolkit.Boxes().size(), 1u);
  EXPECT_EQ(toolkit.Boxes()[0].icon, TMessageIcon::Error);
  EXPECT_EQ(toolkit.Boxes()[0].text, u"Error loading dll functions.");
}

}  // namespace
}  // namespace kelvo
