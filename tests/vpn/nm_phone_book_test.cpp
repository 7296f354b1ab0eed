// The VPN panel against a real NetworkManager of the test's own (private_network_manager.sh):
// what nmcli and the keyfile show after the handler ran. No profile is ever activated.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/main_form.h"
#include "ui/headless/headless_toolkit.h"
#include "platform/posix/phone_book/nm_writer.h"
#include "platform/posix/system/private_file.h"
#include "platform/ras.h"
#include "platform/version.h"
#include "vpn/vpn_entry.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;

constexpr char16_t kCreated[] = u"Соединение создано";
constexpr char16_t kFailed[] = u"Не удалось создать соединения";
// One press of "Создать" waits this long in all; counted from before the click, a press may take a
// third more, for a loaded machine to hand its verdict back.
constexpr auto kPressLimit = std::chrono::milliseconds(5000);
constexpr auto kPressBound = kPressLimit + kPressLimit / 3;

std::string Output(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0;) output.append(chunk, n);
  ::pclose(pipe);
  return output;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Alive(pid_t pid) { return ::kill(pid, 0) == 0; }

std::size_t OpenSockets() {
  std::size_t count = 0;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    count += fs::read_symlink(fd.path(), error).string().starts_with("socket:");
  }
  return count;
}

sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  return address;
}

int Listen(const std::string& path, int backlog) {
  const sockaddr_un address = UnixAddress(path);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  EXPECT_EQ(::listen(fd, backlog), 0);
  return fd;
}

// A system bus of the test's own that is no bus: one that closes every connection at once, one
// that takes connections and never says a word, one whose backlog is full. The program is pointed
// at it for the object's life.
class FakeBus {
 public:
  enum Kind { kClosesAtOnce, kSilent, kFull };

  explicit FakeBus(Kind kind) : bus_(std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
    char folder[] = "/tmp/kelvo_fake_bus_XXXXXX";
    folder_ = ::mkdtemp(folder);
    const std::string path = folder_ / "bus";
    const sockaddr_un address = UnixAddress(path);
    listener_ = Listen(path, kind == kFull ? 0 : 16);
    for (int i = 0; kind == kFull && i < 64; ++i) {
      const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        break;
      }
      waiting_.push_back(fd);
    }
    if (kind == kClosesAtOnce) {
      closer_ = std::thread([this] {
        pollfd incoming{listener_, POLLIN, 0};
        while (!stop_) {
          if (::poll(&incoming, 1, 50) == 1) ::close(::accept(listener_, nullptr, nullptr));
        }
      });
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
  }

  ~FakeBus() {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.c_str(), 1);
    stop_ = true;
    if (closer_.joinable()) closer_.join();
    for (const int fd : waiting_) ::close(fd);
    ::close(listener_);
    fs::remove_all(folder_);
  }

  FakeBus(const FakeBus&) = delete;
  FakeBus& operator=(const FakeBus&) = delete;

 private:
  std::string bus_;
  fs::path folder_;
  int listener_ = -1;
  std::vector<int> waiting_;
  std::atomic<bool> stop_{false};
  std::thread closer_;
};

// The real bus behind a relay of the test's own whose answers lag: once the program asked for a
// profile to be added, nothing reaches it from the bus until it asks for that profile by its uuid.
class LaggingBus {
 public:
  LaggingBus() : bus_(std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
    char folder[] = "/tmp/kelvo_lagging_bus_XXXXXX";
    folder_ = ::mkdtemp(folder);
    listener_ = Listen(folder_ / "bus", 16);
    relay_ = std::thread([this] { Relay(); });
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (folder_ / "bus").string()).c_str(), 1);
  }
  ~LaggingBus() {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.c_str(), 1);
    stop_ = true;
    relay_.join();
    ::close(listener_);
    fs::remove_all(folder_);
  }
  LaggingBus(const LaggingBus&) = delete;
  LaggingBus& operator=(const LaggingBus&) = delete;

 private:
  struct Link {
    int program;
    int bus;
    bool lagging = false;
    std::string held;
  };

  void Relay() {
    std::vector<Link> links;
    const sockaddr_un real = UnixAddress(bus_.substr(std::string_view("unix:path=").size()));
    while (!stop_) {
      std::vector<pollfd> watched{{listener_, POLLIN, 0}};
      for (const Link& link : links) {
        watched.push_back({link.program, POLLIN, 0});
        watched.push_back({link.bus, POLLIN, 0});
      }
      ::poll(watched.data(), watched.size(), 20);
      for (std::size_t i = 0; i < links.size(); ++i) {
        Link& link = links[i];
        char chunk[65536];
        if (watched[1 + 2 * i].revents != 0) {
          const ssize_t n = ::read(link.program, chunk, sizeof(chunk));
          if (n > 0) {
            const std::string_view asked(chunk, n);
            if (asked.find("AddConnection2") != std::string_view::npos) link.lagging = true;
            if (asked.find("GetConnectionByUuid") != std::string_view::npos) link.lagging = false;
            ::write(link.bus, chunk, n);
          }
        }
        if (watched[2 + 2 * i].revents != 0) {
          const ssize_t n = ::read(link.bus, chunk, sizeof(chunk));
          if (n > 0) link.held.append(chunk, n);
        }
        if (!link.lagging && !link.held.empty()) {
          ::write(link.program, link.held.data(), link.held.size());
          link.held.clear();
        }
      }
      if (watched[0].revents != 0) {
        Link link{::accept(listener_, nullptr, nullptr), ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), false, {}};
        ::connect(link.bus, reinterpret_cast<const sockaddr*>(&real), sizeof(real));
        links.push_back(link);
      }
    }
    for (const Link& link : links) {
      ::close(link.program);
      ::close(link.bus);
    }
  }

  std::string bus_;
  fs::path folder_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::thread relay_;
};

// The daemon stopped for a while, from now on.
class Pause {
 public:
  explicit Pause(pid_t pid, std::chrono::milliseconds length) : pid_(pid) {
    ::kill(pid_, SIGSTOP);
    resume_ = std::thread([this, length] {
      std::this_thread::sleep_for(length);
      ::kill(pid_, SIGCONT);
    });
  }
  ~Pause() { resume_.join(); }
  Pause(const Pause&) = delete;
  Pause& operator=(const Pause&) = delete;

 private:
  pid_t pid_;
  std::thread resume_;
};

// The private daemon: the one the script started, or the one a test before started again.
pid_t daemonPid = 0;

class NmPhoneBookTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::getenv("KELVO_TEST_NM_PID") != nullptr) daemonPid = std::atoi(std::getenv("KELVO_TEST_NM_PID"));
  }

  static void TearDownTestSuite() {
    if (daemonPid != 0 && std::to_string(daemonPid) != std::getenv("KELVO_TEST_NM_PID")) StopDaemon();
  }

  void SetUp() override {
    ::setenv("XDG_DATA_HOME", ::mkdtemp(dataHome_.data()), 1);
    if (daemonPid == 0) GTEST_SKIP() << "runs only under tests/vpn/private_network_manager.sh";
    profiles_ = std::getenv("KELVO_TEST_NM_PROFILES");
    if (!Alive(daemonPid)) StartDaemon();
    Output("nmcli -g UUID connection show | xargs -r nmcli connection delete >/dev/null");
    toolkit_.Click(u"Button1");  // "Создать Соединение"
  }

  // NetworkManager answers or fails us in every case here: nothing ever goes into the file book.
  void TearDown() override {
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_TRUE(fs::is_empty(dataHome_));
    fs::remove_all(dataHome_);
  }

  static void StartDaemon() {
    daemonPid = ::fork();
    if (daemonPid == 0) {
      const std::string config = std::string("--config=") + std::getenv("KELVO_TEST_NM_CONFIG");
      ::execlp("NetworkManager", "NetworkManager", "--no-daemon", config.c_str(), nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 100 && Output("nmcli -t -f RUNNING general 2>/dev/null") != "running\n"; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  static void StopDaemon() {
    ::kill(daemonPid, SIGTERM);
    ::waitpid(daemonPid, nullptr, 0);  // not ours when the script started it: then wait below
    while (Alive(daemonPid)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  std::u16string Create(const std::u16string& login, const std::u16string& password) {
    toolkit_.Type(u"Edit1", login);
    toolkit_.Type(u"Edit2", password);
    toolkit_.Click(u"Button5");
    return toolkit_.Boxes().empty() ? u"" : toolkit_.Boxes().back().text;
  }

  // "field:value" lines, secrets included.
  static std::string Show(const std::string& name, const std::string& fields) {
    return Output("nmcli -s -t -f " + fields + " connection show '" + name + "' 2>&1");
  }
  // Asked again for up to five seconds while it differs: on a loaded machine nmcli now and then
  // prints a profile's secrets empty that the keyfile and the next ask show stored.
  static void ExpectShown(const std::string& name, const std::string& fields, const std::string& expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string shown = Show(name, fields);
    while (shown != expected && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      shown = Show(name, fields);
    }
    EXPECT_EQ(shown, expected) << name;
  }

  std::string Keyfile(const std::string& name) { return ReadFile(profiles_ / (name + ".nmconnection")); }

  fs::path profiles_;
  std::string dataHome_ = "/tmp/kelvo_nm_data_XXXXXX";
  THeadlessToolkit toolkit_;
  TForm1 form_{toolkit_};
};

TEST_F(NmPhoneBookTest, ThePanelMakesAUserOwnedPptpProfileWithTheSecret) {
  ASSERT_EQ(Create(u"  Ivan Petrov ", u"pa ss=word"), kCreated);

  const std::string expected =
            "connection.id:Kelvo\n"
            "connection.type:vpn\n"
            "connection.autoconnect:no\n"
            "connection.permissions:user:root\n"
            "vpn.service-type:org.freedesktop.NetworkManager.pptp\n"
            "vpn.data:gateway = 10.1.0.10, password-flags = 0, refuse-chap = yes, refuse-eap = yes, "
            "refuse-pap = yes, user = \\  Ivan Petrov\\ \n"  // nmcli marks the outer spaces
            "vpn.secrets:password = pa ss=word\n"
            "vpn.persistent:yes\n"
            "ipv4.never-default:no\n";
  const std::string fields = "connection.id,connection.type,connection.autoconnect,connection.permissions,vpn.service-type,"
                 "vpn.data,vpn.secrets,vpn.persistent,ipv4.never-default";
  ExpectShown("Kelvo", fields, expected);

  const fs::path keyfile = profiles_ / "Kelvo.nmconnection";
  struct stat info {};
  ASSERT_EQ(::stat(keyfile.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  const std::string text = ReadFile(keyfile);
  EXPECT_NE(text.find("\n[vpn-secrets]\npassword=pa ss=word\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nuser=\\s\\sIvan Petrov \n"), std::string::npos) << text;
  // What a daemon started afresh reads back from the keyfile.
  StopDaemon();
  StartDaemon();
  ExpectShown("Kelvo", fields, expected);

  RASENTRYW entry{};
  entry.dwSize = sizeof(entry);
  DWORD size = sizeof(entry);
  ASSERT_EQ(RasGetEntryPropertiesW(nullptr, u"Kelvo", &entry, &size, nullptr, nullptr), 0u);
  EXPECT_EQ(std::u16string(entry.szLocalPhoneNumber), u"10.1.0.10");
  EXPECT_EQ(entry.dwfOptions, RASEO_RemoteDefaultGateway | RASEO_RequireEncryptedPw | RASEO_RequireMsEncryptedPw);
  EXPECT_EQ(entry.dwfOptions2, RASEO2_DontNegotiateMultilink | RASEO2_ReconnectIfDropped);
}

TEST_F(NmPhoneBookTest, CreatingAgainUpdatesTheOneProfileAndLeavesOthersAlone) {
  Output("nmcli connection add type dummy ifname other0 con-name Other autoconnect no >/dev/null");
  const std::string other = Keyfile("Other");
  ASSERT_FALSE(other.empty());

  ASSERT_EQ(Create(u"first", u"one"), kCreated);
  const std::string uuid = Show("Kelvo", "connection.uuid");
  toolkit_.Click(u"Button1");
  ASSERT_EQ(Create(u"second", u"two"), kCreated);
  {
    ScopedOverride<VersionApi> version;  // 6.0: the dial-parameters path
    version->GetVersionExA = [](OSVERSIONINFOA* info) {
      info->dwPlatformId = VER_PLATFORM_WIN32_NT;
      info->dwMajorVersion = 6;
      return BOOL{1};
    };
    ASSERT_EQ(CreateVpnEntry(u"Kelvo 2", u"10.1.0.10", u"third", u"three"), 0u);
  }

  EXPECT_EQ(Output("nmcli -t -f NAME connection show | sort"), "Kelvo\nKelvo 2\nOther\n");
  EXPECT_EQ(Show("Kelvo", "connection.uuid"), uuid);
  EXPECT_NE(Keyfile("Kelvo").find("\nuser=second\n"), std::string::npos);
  ExpectShown("Kelvo", "vpn.secrets", "vpn.secrets:password = two\n");
  ExpectShown("Kelvo 2", "vpn.secrets", "vpn.secrets:password = three\n");
  EXPECT_NE(Keyfile("Kelvo 2").find("\nuser=third\n"), std::string::npos);
  EXPECT_NE(Keyfile("Kelvo 2").find("\n[vpn-secrets]\npassword=three\n"), std::string::npos);
  EXPECT_EQ(Keyfile("Other"), other);
  EXPECT_EQ(std::distance(fs::directory_iterator(profiles_), fs::directory_iterator()), 3);
}

// The daemon answers the entry write and is gone before the password: a failure the window
// shows, and nothing half-made when the daemon is back: the profile that was there keeps its
// password, a new one is not there at all. Nothing goes into the file book instead.
TEST_F(NmPhoneBookTest, ADaemonGoneBeforeTheCredentialsLeavesNothingHalfMade) {
  ASSERT_EQ(Create(u"old", u"old"), kCreated);
  toolkit_.Click(u"Button1");
  ScopedOverride<RasApi> ras;
  ras->RasSetCredentialsW = [&](LPCWSTR book, LPCWSTR name, RASCREDENTIALSW* credentials, BOOL clear) {
    StopDaemon();
    return ras.Original().RasSetCredentialsW(book, name, credentials, clear);
  };

  EXPECT_EQ(Create(u"new", u"new"), kFailed);
  EXPECT_TRUE(form_.vpnShown);
  StartDaemon();
  EXPECT_NE(CreateVpnEntry(u"Kelvo 2", u"10.1.0.10", u"new", u"new"), 0u);
  StartDaemon();

  EXPECT_EQ(Output("nmcli -t -f NAME connection show"), "Kelvo\n");
  ExpectShown("Kelvo", "vpn.secrets", "vpn.secrets:password = old\n");
  EXPECT_NE(Keyfile("Kelvo").find("\nuser=old\n"), std::string::npos);
}

// A daemon that owns its name but does not answer: a failure within the press's few seconds, and
// the conversation lets go of its bus connection once the daemon is back.
TEST_F(NmPhoneBookTest, ADaemonThatDoesNotAnswerIsAFailureNotAHang) {
  const std::size_t sockets = OpenSockets();
  ::kill(daemonPid, SIGSTOP);
  const auto start = std::chrono::steady_clock::now();
  const DWORD result = CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"login", u"secret");
  const auto took = std::chrono::steady_clock::now() - start;
  ::kill(daemonPid, SIGCONT);

  EXPECT_NE(result, 0u);
  EXPECT_LT(took, kPressBound);
  for (int i = 0; i < 100 && OpenSockets() > sockets; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(OpenSockets(), sockets);
  EXPECT_TRUE(fs::is_empty(profiles_));
}

// Slow at every step, the daemon still gets one limit for the whole press, counted from the click.
TEST_F(NmPhoneBookTest, OnePressWaitsFiveSecondsInAll) {
  ScopedOverride<RasApi> ras;
  std::optional<Pause> first, second;
  ras->RasSetEntryPropertiesW = [&](LPCWSTR book, LPCWSTR name, RASENTRYW* entry, DWORD size, BYTE* info, DWORD infoSize) {
    first.emplace(daemonPid, std::chrono::seconds(3));
    return ras.Original().RasSetEntryPropertiesW(book, name, entry, size, info, infoSize);
  };
  ras->RasSetCredentialsW = [&](LPCWSTR book, LPCWSTR name, RASCREDENTIALSW* credentials, BOOL clear) {
    second.emplace(daemonPid, std::chrono::seconds(3));
    return ras.Original().RasSetCredentialsW(book, name, credentials, clear);
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Create(u"login", u"secret"), kFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kPressBound);
}

// The daemon stored the profile, but its answer came after the add's time was over: the profile
// and its password are there, so the press succeeded.
TEST_F(NmPhoneBookTest, AnAddAnsweredLateIsLookedForBeforeItCountsAsFailed) {
  {
    const LaggingBus bus;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Create(u"login", u"secret"), kCreated);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kPressBound);
  }
  ExpectShown("Kelvo", "vpn.secrets", "vpn.secrets:password = secret\n");
}

// Bus trouble other than nothing listening is a failure: the password never lands in the file
// book while the desktop shows nothing, and no bus makes the window wait past the press's limit.
TEST_F(NmPhoneBookTest, ABusThatFailsUsIsAFailureWithinThePressesLimit) {
  for (const auto kind : {FakeBus::kClosesAtOnce, FakeBus::kSilent, FakeBus::kFull}) {
    FakeBus bus(kind);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"login", u"secret"), 0u) << kind;
    EXPECT_LT(std::chrono::steady_clock::now() - start, kPressBound) << kind;
  }
}

// A profile of our entry's name that is not ours (a Wi-Fi network for everyone, a PPTP VPN of
// another account) stays as it is; ours goes beside them, and is the one read back.
TEST_F(NmPhoneBookTest, AProfileOfThatNameThatIsNotOursIsLeftAlone) {
  Output("nmcli connection add type wifi ifname '*' con-name Kelvo ssid Home wifi-sec.key-mgmt wpa-psk "
         "wifi-sec.psk home-secret autoconnect no >/dev/null");
  Output("nmcli connection add type vpn vpn-type pptp con-name Kelvo connection.permissions user:nobody "
         "vpn.data gateway=198.51.100.7 autoconnect no >/dev/null 2>&1");
  std::map<fs::path, std::string> before;
  for (const auto& file : fs::directory_iterator(profiles_)) before[file.path()] = ReadFile(file.path());
  ASSERT_EQ(before.size(), 2u);

  ASSERT_EQ(Create(u"login", u"secret"), kCreated);

  for (const auto& [path, text] : before) EXPECT_EQ(ReadFile(path), text) << path;
  EXPECT_EQ(Output("nmcli -t -f NAME,TYPE connection show | sort"), "Kelvo:802-11-wireless\nKelvo:vpn\nKelvo:vpn\n");
  RASENTRYW entry{};
  entry.dwSize = sizeof(entry);
  DWORD size = sizeof(entry);
  ASSERT_EQ(RasGetEntryPropertiesW(nullptr, u"Kelvo", &entry, &size, nullptr, nullptr), 0u);
  EXPECT_EQ(std::u16string(entry.szLocalPhoneNumber), u"10.1.0.10");
}

// An account name NetworkManager cannot hold as an owner would leave the profile (and its
// password) to every local account: the write is refused.
TEST_F(NmPhoneBookTest, AnOwnerNetworkManagerCannotHoldRefusesTheWrite) {
  // A name of 100 bytes for this account, in this test's own mount namespace.
  const fs::path passwd = fs::temp_directory_path() / "kelvo_passwd";
  std::ofstream(passwd) << std::string(100, 'r') << ":x:0:0:root:/root:/bin/bash\n" << ReadFile("/etc/passwd");
  ASSERT_EQ(Output("mount --bind " + passwd.string() + " /etc/passwd && echo ok"), "ok\n");
  const std::u16string result = Create(u"login", u"secret");
  Output("umount /etc/passwd");
  fs::remove(passwd);

  EXPECT_EQ(result, kFailed);
  EXPECT_TRUE(fs::is_empty(profiles_));
}

// Programs creating the entry (nm_create_entry.cpp): how many of them created it. Several are
// all under way (their NetworkManager module loaded) before the daemon answers any.
int Created(int count) {
  std::string program = PrivateFilePath("vpn_nm_create_entry");
  char* argv[] = {program.data(), nullptr};
  std::vector<pid_t> writers(count);
  ::kill(daemonPid, SIGSTOP);
  for (pid_t& writer : writers) {
    if (::posix_spawn(&writer, argv[0], nullptr, nullptr, argv, environ) != 0) writer = -1;
  }
  const auto loaded = [](pid_t writer) {
    return ReadFile("/proc/" + std::to_string(writer) + "/maps").find(kNmWriterModule) != std::string::npos;
  };
  for (int i = 0; count > 1 && i < 100 && !std::all_of(writers.begin(), writers.end(), loaded); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(daemonPid, SIGCONT);
  int created = 0;
  for (const pid_t writer : writers) {
    int status = -1;
    if (writer > 0) ::waitpid(writer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << status;  // 1: not created
    created += status == 0;
  }
  return created;
}

// Two programs creating the entry at the same moment make one profile.
TEST_F(NmPhoneBookTest, TwoProgramsAtOnceMakeOneProfile) {
  EXPECT_EQ(Created(2), 2);
  EXPECT_EQ(Output("nmcli -t -f NAME connection show"), "Kelvo\n");
}

// A program without its NetworkManager module, where NetworkManager is there: the failure, and
// nothing in the file book either.
TEST_F(NmPhoneBookTest, WithoutItsModuleTheProgramReportsTheFailure) {
  const std::string module = PrivateFilePath(kNmWriterModule);
  ASSERT_EQ(::rename(module.c_str(), (module + ".away").c_str()), 0);
  const int created = Created(1);
  ::rename((module + ".away").c_str(), module.c_str());

  EXPECT_EQ(created, 0);
  EXPECT_TRUE(fs::is_empty(profiles_));
}

// The program takes the module only of its own version.
TEST(NmWriterModule, HandsOutItsCallsOnlyForItsOwnVersion) {
  void* module = ::dlopen(PrivateFilePath(kNmWriterModule).c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << ::dlerror();
  const auto entryPoint = reinterpret_cast<KelvoNmWriterEntryPoint>(::dlsym(module, kNmWriterEntryPoint));
  ASSERT_NE(entryPoint, nullptr);
  EXPECT_EQ(entryPoint(kNmWriterVersion + 1), nullptr);
  ASSERT_NE(entryPoint(kNmWriterVersion), nullptr);
  EXPECT_EQ(entryPoint(kNmWriterVersion)->version, kNmWriterVersion);
  ::dlclose(module);
}

}  // namespace
}  // namespace kelvo
