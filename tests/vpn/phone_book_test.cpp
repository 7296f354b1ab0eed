// The Linux file phone book, for real, in a temporary XDG_DATA_HOME.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "platform/posix/phone_book/ini_document.h"
#include "platform/posix/phone_book/phone_book_folder.h"
#include "platform/posix/phone_book/ras_record_text.h"
#include "platform/ras.h"
#include "platform/text.h"
#include "platform/version.h"
#include "tests/cannot_run.h"
#include "vpn/vpn_entry.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;

// The disk as a test wants it: while set, flushing a folder fails as on an I/O error. A flush of
// a folder that already holds the phone book under its name is counted.
std::atomic<bool> failFolderFlush{false};
std::atomic<int> flushesOfTheNamedBook{0};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

unsigned Mode(const fs::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

RASENTRYW Entry(const std::u16string& phoneNumber) {
  RASENTRYW entry;
  std::memset(&entry, 0, sizeof(entry));
  entry.dwSize = sizeof(entry);
  phoneNumber.copy(entry.szLocalPhoneNumber, phoneNumber.size());
  return entry;
}

DWORD SetEntry(const std::u16string& name, RASENTRYW entry) {
  return RasSetEntryPropertiesW(nullptr, name.c_str(), &entry, sizeof(entry), nullptr, 0);
}

std::optional<RASENTRYW> GetEntry(const std::u16string& name) {
  RASENTRYW entry = Entry(u"");
  DWORD size = sizeof(entry);
  if (RasGetEntryPropertiesW(nullptr, name.c_str(), &entry, &size, nullptr, nullptr) != 0) return std::nullopt;
  return entry;
}

// Runs a body in a child process, for what only a process of its own may do (a mount namespace,
// another account), with the test's own assertions: what failed there, or could not run, is
// reported here with its file and line once the child is waited for.
class ChildProcess {
 public:
  explicit ChildProcess(const std::function<void()>& body) {
    int results[2];
    if (::pipe2(results, O_CLOEXEC) != 0 || (pid_ = ::fork()) < 0) {
      ADD_FAILURE() << "no child process: " << std::strerror(errno);
      return;
    }
    if (pid_ == 0) {
      ::testing::TestPartResultArray parts;
      {
        ::testing::ScopedFakeTestPartResultReporter reporter(&parts);
        try {
          body();
        } catch (const std::exception& error) {
          ADD_FAILURE() << "exception: " << error.what();
        }
      }
      std::ostringstream fields;
      for (int i = 0; i < parts.size(); ++i) {
        const ::testing::TestPartResult& part = parts.GetTestPartResult(i);
        fields << part.type() << '\0' << (part.file_name() ? part.file_name() : "") << '\0' << part.line_number()
               << '\0' << part.message() << '\0';
      }
      const std::string text = fields.str();
      ::_exit(::write(results[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ::close(results[1]);
    results_ = results[0];
  }

  void Wait() {
    if (pid_ < 0) return;  // never started, as reported
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(results_, buffer, sizeof(buffer))) > 0;) text.append(buffer, got);
    ::close(results_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    std::istringstream fields(text);
    std::string type, file, line, message;
    while (std::getline(fields, type, '\0') && std::getline(fields, file, '\0') && std::getline(fields, line, '\0') &&
           std::getline(fields, message, '\0')) {
      GTEST_MESSAGE_AT_(file.c_str(), std::stoi(line), message.c_str(),
                        static_cast<::testing::TestPartResult::Type>(std::stoi(type)));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child ended with status " << status;
  }

 private:
  pid_t pid_ = -1;
  int results_ = -1;
};

// A mount namespace of this process's own, whose mounts reach no other.
bool PrivateMounts() {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

DWORD SetPassword(const std::u16string& name, const std::u16string& password, BOOL clear = 0) {
  RASCREDENTIALSW credentials;
  std::memset(&credentials, 0, sizeof(credentials));
  credentials.dwSize = sizeof(credentials);
  credentials.dwMask = RASCM_Password;
  password.copy(credentials.szPassword, std::min<std::size_t>(password.size(), PWLEN + 1));
  return RasSetCredentialsW(nullptr, name.c_str(), &credentials, clear);
}

class PhoneBookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/kelvo_phone_book_XXXXXX";
    ASSERT_NE(::mkdtemp(base), nullptr);
    base_ = base;
    folder_ = base_ / "data" / "kelvo";
    const char* old = std::getenv("XDG_DATA_HOME");
    if (old != nullptr) oldData_ = old;
    ::setenv("XDG_DATA_HOME", (base_ / "data").c_str(), 1);
    // No system bus: the file book, even on a desktop whose NetworkManager would answer.
    const char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (bus != nullptr) oldBus_ = bus;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (base_ / "no-bus").string()).c_str(), 1);
  }
  void TearDown() override {
    if (oldData_) ::setenv("XDG_DATA_HOME", oldData_->c_str(), 1); else ::unsetenv("XDG_DATA_HOME");
    if (oldBus_) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", oldBus_->c_str(), 1); else ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (fs::exists(folder_)) fs::permissions(folder_, fs::perms::owner_all);
    fs::remove_all(base_);
  }

  // The stored credential, decoded; nullopt when the key is absent.
  std::optional<std::u16string> Stored(const std::string& entry, const std::string& key) {
    const auto document = IniDocument::Parse(ReadFile(folder_ / "credentials.ini"));
    const IniSection* section = document ? document->Find(entry) : nullptr;
    const std::string* raw = section ? section->Raw(key) : nullptr;
    if (raw == nullptr) return std::nullopt;
    return FromUtf8(IniUnescape(*raw).value());
  }

  // Runs the body as an ordinary account, where what root may do regardless (read a file of mode
  // 0000) is refused: as itself when it is one; as root, in a child process that gives root up
  // for the nobody account, as setpriv would, with the test's folder handed over to it.
  void AsOrdinaryAccount(const std::function<void()>& body) {
    if (::geteuid() != 0) {
      body();
      return;
    }
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(::chown(base_.c_str(), kNobody, kNobody), 0);
    ChildProcess([&] {
      ASSERT_TRUE(::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
                  ::setresuid(kNobody, kNobody, kNobody) == 0 && ::prctl(PR_SET_DUMPABLE, 1) == 0);
      body();
    }).Wait();
  }

  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (const auto& file : fs::directory_iterator(folder_)) names.push_back(file.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path base_;
  fs::path folder_;
  std::optional<std::string> oldData_;
  std::optional<std::string> oldBus_;
};

TEST_F(PhoneBookTest, CreatingTwiceLeavesOneEntryWithTheSecondCredentials) {
  ASSERT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"first", u"one"), 0u);
  ASSERT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"second", u"two"), 0u);

  EXPECT_EQ(Mode(folder_), 0700u);
  EXPECT_EQ(Mode(folder_ / "credentials.ini"), 0600u);
  EXPECT_EQ(Files(), (std::vector<std::string>{"credentials.ini", "phonebook.ini"}));
  EXPECT_EQ(ReadFile(folder_ / "credentials.ini"), "[Kelvo]\nUserName=second\nPassword=two\n");
  const std::string book = ReadFile(folder_ / "phonebook.ini");
  EXPECT_EQ(book.find("[Kelvo]"), book.rfind("[Kelvo]"));
  EXPECT_NE(book.find("\ndwfOptions=0x05000D11\n"), std::string::npos) << book;

  const auto entry = GetEntry(u"Kelvo");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->dwfOptions, 0x05000D11u);
  EXPECT_EQ(std::u16string(entry->szLocalPhoneNumber), u"10.1.0.10");
  EXPECT_EQ(std::u16string(entry->szDeviceType), u"vpn");
  EXPECT_EQ(entry->dwType, 2u);
  EXPECT_EQ(entry->dwfOptions2, 0x104u);
  EXPECT_EQ(entry->dwRedialPause, 60u);
  EXPECT_EQ(entry->dwCountryID, 0u);
}

TEST_F(PhoneBookTest, OtherEntriesAndUnknownLinesSurviveEveryWrite) {
  fs::create_directories(folder_);
  const std::string other = "[Other]\r\n  Colour = blue  \r\ndwType=1\n; a note\n\n";
  WriteFile(folder_ / "phonebook.ini", "# hand-written\n" + other + "[Kelvo]\nszAreaCode=495\nMine=kept\n");
  WriteFile(folder_ / "credentials.ini", "[Other]\nPassword=keep\n");

  ASSERT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), 0u);
  const std::string book = ReadFile(folder_ / "phonebook.ini");
  EXPECT_EQ(book.rfind("# hand-written\n" + other + "[Kelvo]\nMine=kept\ndwfOptions=", 0), 0u) << book;
  EXPECT_EQ(book.find("szAreaCode"), std::string::npos) << "the new properties replace the old";
  EXPECT_EQ(ReadFile(folder_ / "credentials.ini"), "[Other]\nPassword=keep\n\n[Kelvo]\nUserName=u\nPassword=p\n");
}

TEST_F(PhoneBookTest, SizesNamesAndMissingEntriesAreChecked) {
  DWORD size = 0, infoSize = 7;
  EXPECT_EQ(RasGetEntryPropertiesW(nullptr, nullptr, nullptr, &size, nullptr, &infoSize), ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 5616u);
  EXPECT_EQ(infoSize, 0u);
  RASENTRYW entry = Entry(u"10.1.0.10");
  size = 5615;
  EXPECT_EQ(RasGetEntryPropertiesW(nullptr, u"Kelvo", &entry, &size, nullptr, nullptr), ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(GetEntry(u"Kelvo"), std::nullopt);
  entry.dwSize = 0;
  size = sizeof(entry);
  EXPECT_EQ(RasGetEntryPropertiesW(nullptr, u"Kelvo", &entry, &size, nullptr, nullptr), ERROR_INVALID_SIZE);
  EXPECT_EQ(RasSetEntryPropertiesW(nullptr, u"Kelvo", &entry, 0, nullptr, 0), ERROR_INVALID_SIZE);
  entry.dwSize = 5000;
  EXPECT_EQ(RasSetEntryPropertiesW(nullptr, u"Kelvo", &entry, 5616, nullptr, 0), ERROR_INVALID_SIZE);
  entry.dwSize = 5616;
  EXPECT_EQ(RasSetEntryPropertiesW(nullptr, u"Kelvo", &entry, 5000, nullptr, 0), ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(SetEntry(u"", entry), ERROR_INVALID_NAME);
  EXPECT_EQ(SetEntry(std::u16string(257, u'n'), entry), ERROR_INVALID_NAME);
  EXPECT_EQ(SetEntry(std::u16string(100000, u'n'), entry), ERROR_INVALID_NAME);
  EXPECT_EQ(SetPassword(u"Kelvo", u"p"), ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
  RASDIALPARAMSW params{};
  EXPECT_EQ(RasSetEntryDialParamsW(nullptr, &params, 0), ERROR_INVALID_SIZE);
  params.dwSize = sizeof(params);
  std::memcpy(params.szEntryName, u"Kelvo", 10);
  EXPECT_EQ(RasSetEntryDialParamsW(nullptr, &params, 0), ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
  EXPECT_FALSE(fs::exists(base_ / "data")) << "nothing refused creates anything";

  // A size query that reports nothing passes 0 on to the entry write, which refuses it.
  ScopedOverride<RasApi> ras;
  ras->RasGetEntryPropertiesW = [](LPCWSTR, LPCWSTR, RASENTRYW*, DWORD*, BYTE*, DWORD*) { return DWORD{1}; };
  EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), ERROR_INVALID_SIZE);
}

// Each damaged text is left exactly as it was, whichever call meets it.
TEST_F(PhoneBookTest, DamagedPhoneBookIsReportedAndNeverOverwritten) {
  fs::create_directories(folder_);
  const std::string unparsable[] = {"[Kelvo\n", "just words\n", "dwType=2\n[Kelvo]\n", "[A]\n[A]\n",
                                    "[A]\nx=1\nx=2\n", "[A\\q]\n", std::string("[A]\nx=\0\n", 8)};
  for (const auto& text : unparsable) {
    WriteFile(folder_ / "phonebook.ini", text);
    EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), ERROR_CORRUPT_PHONEBOOK) << text;
    EXPECT_EQ(GetEntry(u"A"), std::nullopt);
    EXPECT_EQ(ReadFile(folder_ / "phonebook.ini"), text);
  }
  const std::string unreadableValues[] = {"dwType=two", "dwType=4294967296", "dwType=-1", "ipaddr=1.2.3",
                                          "ipaddr=1.2.3.256", "guidId={1}", "szDeviceType=" + std::string(17, 'v'),
                                          "szDeviceType=a\\q", "szDeviceType=\xFF"};
  for (const auto& value : unreadableValues) {
    WriteFile(folder_ / "phonebook.ini", "[Kelvo]\n" + value + "\n");
    RASENTRYW entry = Entry(u"untouched");
    DWORD size = sizeof(entry);
    EXPECT_EQ(RasGetEntryPropertiesW(nullptr, u"Kelvo", &entry, &size, nullptr, nullptr), ERROR_CORRUPT_PHONEBOOK)
        << value;
    EXPECT_EQ(std::u16string(entry.szLocalPhoneNumber), u"untouched");
  }
  EXPECT_EQ(Files(), std::vector<std::string>{"phonebook.ini"});

  fs::remove(folder_ / "phonebook.ini");
  fs::create_directory(folder_ / "phonebook.ini");
  EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), ERROR_CANNOT_OPEN_PHONEBOOK);
  EXPECT_TRUE(fs::is_directory(folder_ / "phonebook.ini"));
}

TEST_F(PhoneBookTest, UnreadablePhoneBookIsReportedAndLeftAsItIs) {
  AsOrdinaryAccount([this] {
    fs::create_directories(folder_);
    WriteFile(folder_ / "phonebook.ini", "[Kelvo]\nszLocalPhoneNumber=10.1.0.11\n");
    fs::permissions(folder_ / "phonebook.ini", fs::perms::none);
    EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), ERROR_CANNOT_OPEN_PHONEBOOK);
    fs::permissions(folder_ / "phonebook.ini", fs::perms::owner_read);
    EXPECT_EQ(ReadFile(folder_ / "phonebook.ini"), "[Kelvo]\nszLocalPhoneNumber=10.1.0.11\n");
    EXPECT_EQ(Files(), std::vector<std::string>{"phonebook.ini"});
  });
}

TEST_F(PhoneBookTest, WiderModesAreNarrowedWhateverTheUmask) {
  const mode_t oldMask = ::umask(0);
  fs::create_directories(folder_);
  ::chmod(folder_.c_str(), 0777);
  WriteFile(folder_ / "phonebook.ini", "");
  WriteFile(folder_ / "credentials.ini", "");
  ::chmod((folder_ / "credentials.ini").c_str(), 0666);
  const DWORD created = CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p");
  ::setenv("XDG_DATA_HOME", (base_ / "fresh").c_str(), 1);
  const DWORD fresh = CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p");
  ::umask(oldMask);
  EXPECT_EQ(created, 0u);
  EXPECT_EQ(fresh, 0u);
  for (const fs::path& folder : {folder_, base_ / "fresh" / "kelvo"}) {
    EXPECT_EQ(Mode(folder), 0700u) << folder;
    EXPECT_EQ(Mode(folder / "phonebook.ini"), 0600u) << folder;
    EXPECT_EQ(Mode(folder / "credentials.ini"), 0600u) << folder;
  }
}

// A link is the user's own arrangement and a FIFO nobody writes to would block the window: both
// are reported, neither is replaced nor followed for a write.
TEST_F(PhoneBookTest, LinksAndFifosInPlaceOfAFileAreLeftAlone) {
  fs::create_directories(folder_);
  WriteFile(base_ / "elsewhere.ini", "[Other]\n");
  for (const char* file : {"phonebook.ini", "credentials.ini"}) {
    fs::create_symlink(base_ / "elsewhere.ini", folder_ / file);
    EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), ERROR_CANNOT_OPEN_PHONEBOOK) << file;
    EXPECT_TRUE(fs::is_symlink(folder_ / file));
    EXPECT_EQ(ReadFile(base_ / "elsewhere.ini"), "[Other]\n");
    fs::remove(folder_ / file);
  }
  fs::remove(folder_ / "phonebook.ini");
  ASSERT_EQ(::mkfifo((folder_ / "phonebook.ini").c_str(), 0600), 0);
  EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), ERROR_CANNOT_OPEN_PHONEBOOK);
  EXPECT_EQ(GetEntry(u"Kelvo"), std::nullopt);
  EXPECT_TRUE(fs::is_fifo(folder_ / "phonebook.ini"));

  // The folder itself a link to a shared folder: that folder is neither narrowed nor written.
  fs::remove_all(folder_);
  fs::create_directory(base_ / "shared");
  ::chmod((base_ / "shared").c_str(), 0777);
  fs::create_directory_symlink(base_ / "shared", folder_);
  EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), ERROR_CANNOT_OPEN_PHONEBOOK);
  EXPECT_EQ(Mode(base_ / "shared"), 0777u);
  EXPECT_TRUE(fs::is_empty(base_ / "shared"));
}

TEST_F(PhoneBookTest, FolderOfAnotherAccountIsNeitherNarrowedNorWritten) {
  if (::geteuid() != 0) KELVO_CANNOT_RUN() << "only root can give the test a folder of another account";
  fs::create_directories(folder_);
  ASSERT_EQ(::chown(folder_.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(folder_.c_str(), 0755), 0);
  EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), ERROR_CANNOT_OPEN_PHONEBOOK);
  EXPECT_EQ(Mode(folder_), 0755u);
  EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(PhoneBookTest, FailedWriteChangesNothingAndLeavesNoTemporary) {
  fs::create_directories(folder_);
  WriteFile(folder_ / ".credentials.ini.k1LLed", "[Kelvo]\nPassword=from a write cut short\n");
  WriteFile(folder_ / ".credentials.ini.keep", "not one of ours");
  ASSERT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), 0u);
  EXPECT_FALSE(fs::exists(folder_ / ".credentials.ini.k1LLed"));
  EXPECT_TRUE(fs::remove(folder_ / ".credentials.ini.keep")) << "not a temporary of ours";
  const std::string book = ReadFile(folder_ / "phonebook.ini");
  const std::string credentials = ReadFile(folder_ / "credentials.ini");

  // The disk fills up in the middle of the temporary file.
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 16;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const DWORD entry = SetEntry(u"Second", Entry(u"10.1.0.11"));
  const DWORD password = SetPassword(u"Kelvo", u"a longer password than sixteen bytes");
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(entry, ERROR_CANNOT_WRITE_PHONEBOOK);
  EXPECT_EQ(password, ERROR_CANNOT_WRITE_PHONEBOOK);

  // A folder that cannot be written: by mode, or for root a read-only mount in a child process.
  if (::geteuid() != 0) {
    fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(SetEntry(u"Second", Entry(u"10.1.0.11")), ERROR_CANNOT_WRITE_PHONEBOOK);
    fs::permissions(folder_, fs::perms::owner_all);
  } else {
    ChildProcess([this] {
      if (!PrivateMounts() || ::mount(folder_.c_str(), folder_.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
          ::mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        KELVO_CANNOT_RUN() << "no mount namespace here: the read-only folder was not tried";
      }
      EXPECT_EQ(SetEntry(u"Second", Entry(u"10.1.0.11")), ERROR_CANNOT_WRITE_PHONEBOOK);
      EXPECT_EQ(SetPassword(u"Kelvo", u"new"), ERROR_CANNOT_WRITE_PHONEBOOK);
    }).Wait();
  }
  EXPECT_EQ(ReadFile(folder_ / "phonebook.ini"), book);
  EXPECT_EQ(ReadFile(folder_ / "credentials.ini"), credentials);
  EXPECT_EQ(Files(), (std::vector<std::string>{"credentials.ini", "phonebook.ini"}));
}

TEST_F(PhoneBookTest, FolderSwappedForALinkAfterOpeningIsNeitherReadNorWritten) {
  PhoneBookFolder folder;
  ASSERT_EQ(folder.Open(true), ERROR_SUCCESS);
  const fs::path opened = base_ / "opened";
  const fs::path elsewhere = base_ / "elsewhere";
  fs::rename(folder_, opened);
  fs::create_directory(elsewhere);
  fs::create_directory_symlink(elsewhere, folder_);
  WriteFile(elsewhere / "phonebook.ini", "[Other]\n");
  WriteFile(elsewhere / ".phonebook.ini.abcdef", "not in our folder");

  IniDocument book;
  ASSERT_EQ(folder.Load(kPhoneBookFile, book), ERROR_SUCCESS);
  EXPECT_EQ(book.Find("Other"), nullptr);
  book.FindOrAdd("Kelvo").Set("szLocalPhoneNumber", "10.1.0.10");
  ASSERT_EQ(folder.Store(kPhoneBookFile, book), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(opened / "phonebook.ini"), "[Kelvo]\nszLocalPhoneNumber=10.1.0.10\n");
  EXPECT_EQ(ReadFile(elsewhere / "phonebook.ini"), "[Other]\n");
  EXPECT_TRUE(fs::exists(elsewhere / ".phonebook.ini.abcdef"));
}

// Once the new file has its name the write is done: the folder's flush, tried after the
// replacement, only hastens it to disk.
TEST_F(PhoneBookTest, ReplacedFileWhoseFolderCannotBeFlushedIsWritten) {
  flushesOfTheNamedBook = 0;
  failFolderFlush = true;
  const DWORD created = CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"user", u"secret");
  failFolderFlush = false;
  EXPECT_EQ(created, 0u);
  EXPECT_GE(flushesOfTheNamedBook, 1) << "the folder was not flushed once the book had its name";
  EXPECT_EQ(Stored("Kelvo", "Password"), u"secret");
}

// A second program holding the folder's lock: a writer that lets go is waited for, one that
// keeps it (stopped, say) is reported after kFolderLockWait instead of freezing the window.
TEST_F(PhoneBookTest, LockKeptByAnotherProgramIsWaitedForAFewSecondsOnly) {
  ASSERT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), 0u);
  const auto holdLock = [this](std::chrono::milliseconds hold) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
      const int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY);
      if (folder < 0 || ::flock(folder, LOCK_EX) != 0 || ::write(ready[1], "L", 1) != 1) ::_exit(1);
      std::this_thread::sleep_for(hold);
      ::_exit(0);
    }
    char locked = 0;
    EXPECT_EQ(::read(ready[0], &locked, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    return holder;
  };
  const auto finish = [](pid_t holder) {
    int status = 0;
    ::waitpid(holder, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  };

  pid_t holder = holdLock(std::chrono::milliseconds(300));
  EXPECT_EQ(SetEntry(u"Kelvo", Entry(u"10.1.0.11")), 0u);
  finish(holder);

  holder = holdLock(kFolderLockWait * 4);
  const auto start = std::chrono::steady_clock::now();
  const DWORD refused = SetEntry(u"Kelvo", Entry(u"10.1.0.12"));
  const auto waited = std::chrono::steady_clock::now() - start;
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_EQ(refused, ERROR_CANNOT_OPEN_PHONEBOOK);
  EXPECT_GE(waited, kFolderLockWait);
  EXPECT_LT(waited, 2 * kFolderLockWait);
  EXPECT_EQ(std::u16string(GetEntry(u"Kelvo")->szLocalPhoneNumber), u"10.1.0.11");
}

// A file system that keeps no modes answers chmod with success and shows every file readable by
// all, as FAT mounted "quiet" does; here bindfs is told to do the same, in a mount namespace of
// a child's own. Nothing is stored there: the password would be readable by every account.
TEST_F(PhoneBookTest, FileSystemThatKeepsNoModesGetsNoPassword) {
  if (::geteuid() != 0) KELVO_CANNOT_RUN() << "mounting a file system needs root";
  if (std::system("command -v bindfs >/dev/null") != 0) {
    KELVO_CANNOT_RUN() << "no bindfs here (scripts/install-deps.sh installs it)";
  }
  const fs::path backing = base_ / "backing";
  const fs::path data = base_ / "data";
  fs::create_directories(backing);
  fs::create_directories(data);
  ChildProcess([&] {
    if (!PrivateMounts()) KELVO_CANNOT_RUN() << "no mount namespace here";
    const pid_t bindfs = ::fork();
    if (bindfs == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::execlp("bindfs", "bindfs", "-f", "--chmod-ignore", "--perms=a+r", backing.c_str(), data.c_str(), nullptr);
      ::_exit(127);
    }
    constexpr long kFuseMagic = 0x65735546;
    struct statfs mounted {};
    for (int i = 0; i < 1000 && (::statfs(data.c_str(), &mounted) != 0 || mounted.f_type != kFuseMagic); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (mounted.f_type != kFuseMagic) KELVO_CANNOT_RUN() << "bindfs could not mount here (no FUSE?)";
    EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"secret"), ERROR_CANNOT_WRITE_PHONEBOOK);
    EXPECT_EQ(Files(), std::vector<std::string>{}) << "nothing is stored";
    ::umount2(data.c_str(), MNT_DETACH);
    ::kill(bindfs, SIGTERM);
    ::waitpid(bindfs, nullptr, 0);
  }).Wait();
}

// The processor time of this thread, which a busy machine's other work does not lengthen.
std::chrono::nanoseconds ThreadTime() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// The same lines take the same time in either order: one section of many keys, and as many
// sections of one key each, before it or after it. A parse that paid, in each section, for the
// keys of the longest section before (a set of keys cleared at the cost of every bucket it ever
// had) is quadratic after the long section only. Both texts are of one size, so the build type,
// the caches and the memory they need weigh alike; the size is one where the quadratic part
// outweighs the rest under the sanitizers too, and the fastest of interleaved runs and a bound
// of twice keep a busy machine from failing it.
TEST(IniDocument, ParsingTakesTimeInProportionToTheText) {
  constexpr int kNames = 100000;
  std::string longSection = "[Kelvo]\n";
  std::string shortSections;
  for (int i = 0; i < kNames; ++i) {
    const std::string number = std::to_string(i);
    longSection.append("k").append(number).append("=v\n");
    shortSections.append("[s").append(number).append("]\nk=v\n");
  }
  const std::string longFirst = longSection + shortSections;
  const std::string longLast = shortSections + longSection;
  const auto parse = [](const std::string& text, std::chrono::nanoseconds& fastest) {
    const auto start = ThreadTime();
    const auto document = IniDocument::Parse(text);
    fastest = std::min(fastest, ThreadTime() - start);
    EXPECT_TRUE(document && document->Find("Kelvo") && *document->Find("Kelvo")->Raw("k0") == "v");
  };
  auto fastestLongFirst = std::chrono::nanoseconds::max();
  auto fastestLongLast = fastestLongFirst;
  for (int run = 0; run < 2; ++run) {
    parse(longFirst, fastestLongFirst);
    parse(longLast, fastestLongLast);
  }
  std::cout << "the long section first: " << std::chrono::duration<double, std::milli>(fastestLongFirst).count()
            << " ms, last: " << std::chrono::duration<double, std::milli>(fastestLongLast).count() << " ms\n";
  EXPECT_LT(fastestLongFirst, 2 * fastestLongLast);
}

TEST_F(PhoneBookTest, AnyTypedTextRoundTripsOrIsRefused) {
  const std::u16string texts[] = {u"Соединение", u"a\nb", u"=[x];#y", u" lead", u"trail ", u"\t", u"\\x41",
                                  u"\x01\x1f\x7f", u"\r\n", u"😀", u"[Kelvo]", u"a=b", u"\\", u"  ",
                                  u"ab\u202Edc", u"\u009B2J", u"\u200Bx\uFEFF", u"\u00A0ё"};
  for (const auto& text : texts) {
    ASSERT_EQ(SetEntry(text, Entry(text)), 0u);
    ASSERT_EQ(SetPassword(text, text), 0u);
  }
  for (const auto& text : texts) {
    const auto entry = GetEntry(text);
    ASSERT_TRUE(entry);
    EXPECT_EQ(std::u16string(entry->szLocalPhoneNumber), text);
    EXPECT_EQ(Stored(ToUtf8(text), "Password"), text);
  }

  const std::string book = ReadFile(folder_ / "phonebook.ini");
  const std::string credentials = ReadFile(folder_ / "credentials.ini");
  for (const std::string hidden : {"\xE2\x80\xAE", "\xC2\x9B", "\xE2\x80\x8B", "\xEF\xBB\xBF"}) {
    EXPECT_EQ(credentials.find(hidden), std::string::npos) << "shows under cat as something else";
  }
  EXPECT_NE(credentials.find("\nPassword=ab\\xE2\\x80\\xAEdc\n"), std::string::npos) << credentials;
  EXPECT_NE(credentials.find("\nPassword=\xC2\xA0ё\n"), std::string::npos) << "printable as it is";
  EXPECT_EQ(SetEntry(u"half \xD800", Entry(u"x")), ERROR_INVALID_NAME);
  EXPECT_EQ(SetEntry(u"Kelvo", Entry(u"half \xDC00")), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetPassword(u"Соединение", u"half \xD800"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetPassword(u"Соединение", std::u16string(PWLEN + 1, u'p')), ERROR_INVALID_PARAMETER)
      << "a password without its terminator";
  EXPECT_EQ(ReadFile(folder_ / "phonebook.ini"), book);
  EXPECT_EQ(ReadFile(folder_ / "credentials.ini"), credentials);
}

TEST_F(PhoneBookTest, DialParametersStoreAndClearTheCredentials) {
  ScopedOverride<VersionApi> version;
  version->GetVersionExA = [](OSVERSIONINFOA* info) {
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->dwMajorVersion = 6;
    return BOOL{1};
  };
  ASSERT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"иванов", u"пароль"), 0u);
  EXPECT_EQ(Stored("Kelvo", "UserName"), u"иванов");
  EXPECT_EQ(Stored("Kelvo", "Password"), u"пароль");

  RASDIALPARAMSW params{};
  params.dwSize = sizeof(params);
  std::memcpy(params.szEntryName, u"Kelvo", 10);
  std::memcpy(params.szUserName, u"петров", 12);
  std::memcpy(params.szPassword, u"ignored", 14);
  ASSERT_EQ(RasSetEntryDialParamsW(nullptr, &params, 1), 0u);
  EXPECT_EQ(Stored("Kelvo", "UserName"), u"петров");
  EXPECT_EQ(Stored("Kelvo", "Password"), std::nullopt);

  ASSERT_EQ(SetPassword(u"Kelvo", u"new"), 0u);
  EXPECT_EQ(Stored("Kelvo", "Password"), u"new");
  ASSERT_EQ(SetPassword(u"Kelvo", u"", 1), 0u);
  EXPECT_EQ(Stored("Kelvo", "Password"), std::nullopt);
  EXPECT_EQ(Stored("Kelvo", "UserName"), u"петров") << "only the masked credential is cleared";
}

// Two writers at once, as two Kelvo windows would be: neither loses the other's entry.
TEST_F(PhoneBookTest, ConcurrentWritersKeepEachOthersEntries) {
  auto writer = [](std::u16string name) {
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(SetEntry(name, Entry(name)), 0u);
      ASSERT_EQ(SetPassword(name, std::u16string(i + 1, u'p')), 0u);
    }
  };
  std::thread a(writer, u"A"), b(writer, u"B");
  a.join();
  b.join();
  EXPECT_TRUE(GetEntry(u"A") && GetEntry(u"B"));
  EXPECT_EQ(Stored("A", "Password"), std::u16string(20, u'p'));
  EXPECT_EQ(Stored("B", "Password"), std::u16string(20, u'p'));
}

// A book of 50 entries with their credentials, every field of an entry and both credentials
// carrying the number of the rewrite that wrote them, so that a reader tells old, new and torn.
class KilledWriterTest : public PhoneBookTest {
 protected:
  static constexpr int kEntries = 50;

  static std::u16string Name(int i) { return u"Entry " + DecimalText(i); }

  static DWORD Write(int i, int generation) {
    const std::u16string g = DecimalText(generation);
    RASENTRYW entry = Entry(u"gen " + g);
    g.copy(entry.szAreaCode, g.size());
    entry.dwRedialCount = static_cast<DWORD>(generation);
    if (const DWORD error = SetEntry(Name(i), entry)) return error;
    RASCREDENTIALSW credentials;
    std::memset(&credentials, 0, sizeof(credentials));
    credentials.dwSize = sizeof(credentials);
    credentials.dwMask = RASCM_UserName | RASCM_Password;
    (u"user " + g).copy(credentials.szUserName, UNLEN);
    (u"password " + g).copy(credentials.szPassword, PWLEN);
    return RasSetCredentialsW(nullptr, Name(i).c_str(), &credentials, 0);
  }

  // Rewrites the whole book again and again from `generation` on, until killed.
  [[noreturn]] static void RewriteForever(int generation) {
    for (;; ++generation) {
      for (int i = 0; i < kEntries; ++i) {
        if (Write(i, generation) != 0) ::_exit(1);
      }
    }
  }

  // Both files as the next reader finds them, each read and parsed once for all 50 entries.
  struct Book {
    IniDocument entries;
    IniDocument credentials;
  };
  Book Read() {
    auto entries = IniDocument::Parse(ReadFile(folder_ / "phonebook.ini"));
    auto credentials = IniDocument::Parse(ReadFile(folder_ / "credentials.ini"));
    EXPECT_TRUE(entries && credentials) << "a torn file";
    return {entries.value_or(IniDocument()), credentials.value_or(IniDocument())};
  }

  // The rewrite entry i was last written by; fails the test when the entry is lost or torn, or
  // its credentials belong to neither its own rewrite nor the one before.
  static int Generation(const Book& book, int i) {
    const std::string name = ToUtf8(Name(i));
    const IniSection* section = book.entries.Find(name);
    RASENTRYW entry = Entry(u"");
    EXPECT_TRUE(section != nullptr && ReadEntryFields(*section, entry)) << "entry " << i << " lost or unreadable";
    const auto g = static_cast<int>(entry.dwRedialCount);
    const std::u16string text = DecimalText(g);
    EXPECT_EQ(std::u16string(entry.szLocalPhoneNumber), u"gen " + text) << "torn entry " << i;
    EXPECT_EQ(std::u16string(entry.szAreaCode), text) << "torn entry " << i;
    const auto credential = [&](const char* key) {
      const IniSection* stored = book.credentials.Find(name);
      const std::string* raw = stored != nullptr ? stored->Raw(key) : nullptr;
      return raw != nullptr ? FromUtf8(IniUnescape(*raw).value_or("?")) : u"-";
    };
    const std::u16string user = credential("UserName");
    const std::u16string password = credential("Password");
    const bool current = user == u"user " + text && password == u"password " + text;
    const bool previous = user == u"user " + DecimalText(g - 1) && password == u"password " + DecimalText(g - 1);
    EXPECT_TRUE(current || previous) << "entry " << i << " of rewrite " << g << " has credentials "
                                     << ToUtf8(user) << " / " << ToUtf8(password);
    return g;
  }

  std::vector<std::string> Temporaries() {
    std::vector<std::string> names = Files();
    std::erase_if(names, [](const std::string& name) { return !name.starts_with("."); });
    return names;
  }
};

// Killed at random points of 300 rewrites, the writer leaves every entry old or new: the entries
// it had rewritten carry the new rewrite, the rest the one before, and nothing goes back.
TEST_F(KilledWriterTest, EveryEntrySurvivesAKillOldOrNew) {
  for (int i = 0; i < kEntries; ++i) ASSERT_EQ(Write(i, 1), 0u);
  std::vector<int> last(kEntries, 1);
  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMicroseconds(0, 30000);
  int leftTemporaries = 0;
  for (int kill = 0; kill < 300; ++kill) {
    // A rewrite the kill cut short is taken up again from the first entry.
    const int next = last.back() < last.front() ? last.front() : last.front() + 1;
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) RewriteForever(next);
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
    ::kill(writer, SIGKILL);
    int status = 0;
    ::waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed before the kill, status " << status;

    const Book book = Read();
    std::vector<int> now(kEntries);
    for (int i = 0; i < kEntries; ++i) now[i] = Generation(book, i);
    for (int i = 0; i < kEntries; ++i) {
      ASSERT_GE(now[i], last[i]) << "entry " << i << " went back, kill " << kill << ", seed " << seed;
      ASSERT_GE(now[i], now.front() - 1) << "entry " << i << ", kill " << kill << ", seed " << seed;
      if (i > 0) {
        ASSERT_LE(now[i], now[i - 1]) << "entry " << i << ", kill " << kill << ", seed " << seed;
      }
    }
    ASSERT_FALSE(HasFailure()) << "kill " << kill << ", seed " << seed;
    last = now;

    // The next write clears what the kill left: the folder holds the two files and nothing else.
    leftTemporaries += static_cast<int>(Temporaries().size());
    ASSERT_EQ(Write(kEntries - 1, now.back()), 0u);
    ASSERT_EQ(Temporaries(), std::vector<std::string>{});
  }
  std::cout << "300 kills; the kills left " << leftTemporaries << " temporaries, all removed by the next write\n";
}

// Two processes each rewriting an entry of their own at the same moment: both entries and both
// sets of credentials end as their last writes left them.
TEST_F(KilledWriterTest, TwoProcessesWritingAtOnceLoseNeither) {
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  const auto writer = [&start](int w) {
    char go;
    ::close(start[1]);
    ASSERT_EQ(::read(start[0], &go, 1), 0);  // both start when the pipe closes
    for (int g = 1; g <= 40; ++g) ASSERT_EQ(Write(w, g), 0u);
  };
  ChildProcess first([&] { writer(0); }), second([&] { writer(1); });
  ::close(start[0]);
  ::close(start[1]);
  first.Wait();
  second.Wait();
  const Book book = Read();
  EXPECT_EQ(Generation(book, 0), 40);
  EXPECT_EQ(Generation(book, 1), 40);
  EXPECT_EQ(Stored(ToUtf8(Name(0)), "Password"), u"password 40");
  EXPECT_EQ(Stored(ToUtf8(Name(1)), "Password"), u"password 40");
}

// The book on a small file system that fills up: the rewrite is refused, the old book stays as
// it was and no temporary is left; once there is room again the rewrite goes through.
TEST_F(KilledWriterTest, AFullDiskRefusesTheRewriteAndKeepsTheOldBook) {
  if (::geteuid() != 0) KELVO_CANNOT_RUN() << "mounting a small file system needs root";
  ChildProcess([this] {
    const fs::path data = base_ / "data";
    fs::create_directories(data);
    if (!PrivateMounts() || ::mount("kelvo-full", data.c_str(), "tmpfs", 0, "size=256k,mode=0700") != 0) {
      KELVO_CANNOT_RUN() << "no mount namespace here";
    }
    for (int i = 0; i < kEntries; ++i) ASSERT_EQ(Write(i, 1), 0u) << "the first book";
    const std::string book = ReadFile(folder_ / "phonebook.ini");
    const std::string credentials = ReadFile(folder_ / "credentials.ini");
    const int filler = ::open((data / "filler").c_str(), O_WRONLY | O_CREAT, 0600);
    const std::string block(4096, 'f');
    while (::write(filler, block.data(), block.size()) > 0) {
    }
    while (::write(filler, "f", 1) > 0) {
    }
    ::close(filler);

    // Longer texts than before, so the new book cannot fit where the old one was.
    for (int i = 0; i < kEntries; ++i) ASSERT_EQ(Write(i, 1000000 + i), ERROR_CANNOT_WRITE_PHONEBOOK) << i;
    EXPECT_TRUE(ReadFile(folder_ / "phonebook.ini") == book && ReadFile(folder_ / "credentials.ini") == credentials)
        << "the old book changed";
    EXPECT_EQ(Files(), (std::vector<std::string>{"credentials.ini", "phonebook.ini"})) << "a temporary left";
    fs::remove(data / "filler");
    ASSERT_EQ(Write(0, 1000000), 0u) << "no write after room was made";
    EXPECT_EQ(GetEntry(Name(0)).value_or(Entry(u"")).dwRedialCount, 1000000u);
  }).Wait();
}

}  // namespace
}  // namespace kelvo

// Every flush of the code under test comes here (the C library's is bypassed).
extern "C" int fsync(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    if (::faccessat(fd, "phonebook.ini", F_OK, 0) == 0) ++kelvo::flushesOfTheNamedBook;
    if (kelvo::failFolderFlush) {
      errno = EIO;
      return -1;
    }
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}
