// CreateVpnEntry against a recording phone book, a fake device list and a fake version query:
// what reaches the platform, in which order, and which result comes back.
#include "vpn/vpn_entry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ras.h"
#include "platform/version.h"

namespace kelvo {
namespace {

class CreateVpnEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ras_->RasGetEntryPropertiesW = [this](LPCWSTR book, LPCWSTR name, RASENTRYW* entry, DWORD* size, BYTE* info,
                                          DWORD* infoSize) {
      calls_.push_back("get");
      books_.push_back(Book(book));
      EXPECT_TRUE(name != nullptr && *name == 0 && entry == nullptr && info == nullptr);
      EXPECT_EQ(*size, 0u);
      EXPECT_EQ(*infoSize, 0u);
      *size = reportedSize_;
      return ERROR_BUFFER_TOO_SMALL;
    };
    ras_->RasSetEntryPropertiesW = [this](LPCWSTR book, WideText name, RASENTRYW* entry, DWORD size, BYTE* info,
                                          DWORD infoSize) {
      calls_.push_back("set entry");
      books_.push_back(Book(book));
      EXPECT_TRUE(info == nullptr && infoSize == 0);
      entryName_ = name;
      entry_ = *entry;  // the whole buffer, whatever size is passed
      entryByteCount_ = size;
      return entryResult_;
    };
    ras_->RasSetCredentialsW = [this](LPCWSTR book, WideText name, RASCREDENTIALSW* credentials, BOOL clear) {
      calls_.push_back("set credentials");
      books_.push_back(Book(book));
      EXPECT_TRUE(clear == 0 && std::u16string_view(name) == entryName_);
      credentials_ = *credentials;
      return DWORD{11};
    };
    ras_->RasSetEntryDialParamsW = [this](LPCWSTR book, RASDIALPARAMSW* params, BOOL removePassword) {
      calls_.push_back("set dial params");
      books_.push_back(Book(book));
      EXPECT_TRUE(removePassword == 0);
      params_ = *params;
      return DWORD{22};
    };
    // As documented: the size needed and the count when the buffer is missing or short; the
    // record's own size checked.
    ras_->RasEnumDevicesW = [this](RASDEVINFOW* devices, DWORD* bufferSize, DWORD* count) -> DWORD {
      if (onDeviceQuery_) onDeviceQuery_();
      const DWORD needed = static_cast<DWORD>(devices_.size() * sizeof(RASDEVINFOW));
      *count = static_cast<DWORD>(devices_.size());
      if (devices == nullptr || *bufferSize < needed) {
        *bufferSize = needed;
        return ERROR_BUFFER_TOO_SMALL;
      }
      if (devices->dwSize != sizeof(RASDEVINFOW)) return ERROR_INVALID_SIZE;
      for (const auto& [type, name] : devices_) {
        std::memset(devices, 0, sizeof(RASDEVINFOW));
        std::memcpy(devices->szDeviceType, type.c_str(), type.size() * 2);
        std::memcpy(devices->szDeviceName, name.c_str(), name.size() * 2);
        ++devices;
      }
      return 0;
    };
    UseVersion(VER_PLATFORM_WIN32_NT, 6, 1);
  }

  void UseVersion(DWORD platform, DWORD major, DWORD minor) {
    version_->GetVersionExA = [=](OSVERSIONINFOA* info) {
      EXPECT_EQ(info->dwOSVersionInfoSize, 148u);
      info->dwPlatformId = platform;
      info->dwMajorVersion = major;
      info->dwMinorVersion = minor;
      return BOOL{1};
    };
  }

  static std::u16string Book(LPCWSTR book) { return book == nullptr ? u"(default)" : std::u16string(WideText(book)); }

  ScopedOverride<RasApi> ras_;
  ScopedOverride<VersionApi> version_;
  std::vector<std::string> calls_;
  std::vector<std::u16string> books_;
  // Windows 10's list: the PPTP device is not the first "vpn" one.
  std::vector<std::pair<std::u16string, std::u16string>> devices_ = {
      {u"vpn", u"WAN Miniport (SSTP)"}, {u"vpn", u"WAN Miniport (IKEv2)"}, {u"vpn", u"WAN Miniport (L2TP)"},
      {u"vpn", u"WAN Miniport (PPTP)"}, {u"pppoe", u"WAN Miniport (PPPOE)"}};
  std::function<void()> onDeviceQuery_;
  DWORD reportedSize_ = sizeof(RASENTRYW);
  DWORD entryResult_ = 0;
  std::u16string entryName_;
  RASENTRYW entry_{};
  DWORD entryByteCount_ = 0;
  RASCREDENTIALSW credentials_{};
  RASDIALPARAMSW params_{};
};

template <class Record>
bool SameBytes(const Record& a, const Record& b) {
  return std::memcmp(&a, &b, sizeof(Record)) == 0;
}

TEST_F(CreateVpnEntryTest, PassesTheEntryAndCredentialsRecordsByteForByte) {
  EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"ivanov", u"секрет"), 11u);
  EXPECT_EQ(calls_, (std::vector<std::string>{"get", "set entry", "set credentials"}));
  EXPECT_EQ(entryName_, u"Kelvo");
  EXPECT_EQ(entryByteCount_, 5616u);

  RASENTRYW entry;
  std::memset(&entry, 0, sizeof(entry));
  entry.dwSize = 5616;
  entry.dwfOptions = 0x05000D11;
  std::memcpy(entry.szLocalPhoneNumber, u"10.1.0.10", 20);
  entry.dwfNetProtocols = 4;
  entry.dwFramingProtocol = 1;
  std::memcpy(entry.szDeviceType, u"vpn", 8);
  std::memcpy(entry.szDeviceName, u"WAN Miniport (PPTP)", 38);
  entry.dwDialMode = 1;
  entry.dwType = 2;
  entry.dwVpnStrategy = 1;
  entry.dwfOptions2 = 0x104;
  entry.dwRedialCount = 3;
  entry.dwRedialPause = 60;
  EXPECT_TRUE(SameBytes(entry_, entry));
  const BYTE options[] = {0x11, 0x0D, 0x00, 0x05};  // little-endian, right behind dwSize
  EXPECT_EQ(std::memcmp(reinterpret_cast<BYTE*>(&entry_) + 4, options, 4), 0);

  RASCREDENTIALSW credentials;
  std::memset(&credentials, 0, sizeof(credentials));
  credentials.dwSize = 1068;
  credentials.dwMask = 3;
  std::memcpy(credentials.szUserName, u"ivanov", 12);
  std::memcpy(credentials.szPassword, u"секрет", 12);
  EXPECT_TRUE(SameBytes(credentials_, credentials));
}

// The device list may grow between the size query and the read; without a PPTP "vpn" device the
// name stays empty.
TEST_F(CreateVpnEntryTest, TheDeviceIsTheSystemsPptpOne) {
  const auto deviceName = [this] {
    entry_ = {};
    EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), 11u);
    return std::u16string(WideText(entry_.szDeviceName));
  };
  int queries = 0;
  onDeviceQuery_ = [&] {
    if (++queries == 2) devices_.insert(devices_.begin(), {u"modem", u"PPTP over a modem"});
  };
  EXPECT_EQ(deviceName(), u"WAN Miniport (PPTP)");
  onDeviceQuery_ = nullptr;

  devices_ = {{u"vpn", u"WAN Miniport (L2TP)"}, {u"modem", u"PPTP over a modem"}};
  EXPECT_EQ(deviceName(), u"");
  devices_.clear();
  EXPECT_EQ(deviceName(), u"");
  ras_->RasEnumDevicesW = [](RASDEVINFOW*, DWORD*, DWORD*) { return DWORD{ERROR_INVALID_PARAMETER}; };
  EXPECT_EQ(deviceName(), u"");
}

// On Windows the user's own book, made when missing and kept when present: the default one is
// the all-users book, which takes administrator rights. Linux gives none, as its default is the
// user's own.
TEST_F(CreateVpnEntryTest, EveryCallGoesToTheUsersOwnPhoneBook) {
#ifdef _WIN32
  const std::filesystem::path appData = _wgetenv(L"APPDATA");
  std::filesystem::remove_all(appData / "Microsoft" / "Network");
  const std::filesystem::path book = appData / "Microsoft" / "Network" / "Connections" / "Pbk" / "rasphone.pbk";
  const std::u16string expected = book.u16string();
#else
  const std::u16string expected = u"(default)";
#endif
  CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p");
#ifdef _WIN32
  EXPECT_TRUE(std::filesystem::is_regular_file(book));
  EXPECT_EQ(std::filesystem::file_size(book), 0u);
  std::ofstream(book, std::ios::binary) << "[Other]\n";
#endif
  UseVersion(VER_PLATFORM_WIN32_NT, 6, 0);
  CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p");
  EXPECT_EQ(calls_, (std::vector<std::string>{"get", "set entry", "set credentials", "get", "set entry",
                                              "set dial params"}));
  EXPECT_EQ(books_, std::vector<std::u16string>(6, expected));
#ifdef _WIN32
  EXPECT_EQ(std::filesystem::file_size(book), 8u) << "an existing book is left as it is";
#endif
}

TEST_F(CreateVpnEntryTest, OlderVersionsStoreThePasswordAsDialParameters) {
  UseVersion(VER_PLATFORM_WIN32_NT, 6, 0);
  EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"ivanov", u"pw"), 22u);
  EXPECT_EQ(calls_, (std::vector<std::string>{"get", "set entry", "set dial params"}));

  RASDIALPARAMSW params;
  std::memset(&params, 0, sizeof(params));
  params.dwSize = sizeof(RASDIALPARAMSW);
  std::memcpy(params.szEntryName, u"Kelvo", 10);
  std::memcpy(params.szUserName, u"ivanov", 12);
  std::memcpy(params.szPassword, u"pw", 4);
  EXPECT_TRUE(SameBytes(params_, params));
}

TEST_F(CreateVpnEntryTest, VersionDecidesHowCredentialsAreStored) {
  const struct {
    DWORD platform, major, minor;
    bool credentials;
  } cases[] = {{2, 5, 1, true}, {2, 5, 2, true}, {2, 6, 1, true}, {2, 5, 0, false},
               {2, 6, 0, false}, {1, 5, 1, false}, {0, 0, 0, false}};
  for (const auto& c : cases) {
    UseVersion(c.platform, c.major, c.minor);
    EXPECT_EQ(SupportsRasCredentials(), c.credentials) << c.platform << " " << c.major << "." << c.minor;
  }
  version_->GetVersionExA = [](OSVERSIONINFOA*) { return BOOL{0}; };
  EXPECT_FALSE(SupportsRasCredentials());
}

TEST_F(CreateVpnEntryTest, ReportedSizeBoundsTheSizePassed) {
  const struct {
    DWORD reported, passed;
  } cases[] = {{5616, 5616}, {9000, 5616}, {0x7FFFFFFF, 5616}, {5000, 5000}, {0, 0}};
  for (const auto& c : cases) {
    reportedSize_ = c.reported;
    entry_ = {};
    CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p");
    EXPECT_EQ(entryByteCount_, c.passed);
    EXPECT_EQ(entry_.dwSize, c.passed);
    EXPECT_EQ(entry_.dwRedialPause, 60u) << "the full record is filled whatever the size";
  }
  calls_.clear();
  reportedSize_ = 0x80000000;
  EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), ERROR_INVALID_SIZE);
  EXPECT_EQ(calls_, std::vector<std::string>{"get"}) << "nothing is written";
}

TEST_F(CreateVpnEntryTest, FailedEntryWriteReturnsItsCodeAndStoresNoCredentials) {
  reportedSize_ = 0;
  entryResult_ = ERROR_INVALID_SIZE;
  EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", u"p"), ERROR_INVALID_SIZE);
  EXPECT_EQ(calls_, (std::vector<std::string>{"get", "set entry"}));
}

TEST_F(CreateVpnEntryTest, TextsLongerThanTheRecordsAreRefusedBeforeAnyCall) {
  const std::u16string name(256, u'n'), server(128, u's'), user(256, u'u'), password(256, u'p');
  const std::u16string longer = u"x";
  EXPECT_EQ(CreateVpnEntry(name + longer, server, user, password), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateVpnEntry(name, server + longer, user, password), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateVpnEntry(name, server, user + longer, password), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateVpnEntry(name, server, user, password + longer), ERROR_INVALID_PARAMETER);
  const std::u16string withNul(u"pass\0word", 9);
  EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"u", withNul), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateVpnEntry(u"Kelvo", u"10.1.0.10", withNul, u"p"), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(calls_.empty());

  EXPECT_EQ(CreateVpnEntry(name, server, user, password), 11u);
  EXPECT_EQ(entryName_, name);
  EXPECT_EQ(std::u16string(WideText(entry_.szLocalPhoneNumber)), server);
  EXPECT_EQ(std::u16string(WideText(credentials_.szUserName)), user);
  EXPECT_EQ(std::u16string(WideText(credentials_.szPassword)), password);
}

}  // namespace
}  // namespace kelvo
