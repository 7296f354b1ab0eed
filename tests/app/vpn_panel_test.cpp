#include <gtest/gtest.h>

#include <stdexcept>

#include "app/main_form.h"
#include "ui/headless/headless_toolkit.h"
#include "platform/ras.h"
#include "platform/version.h"

namespace kelvo {
namespace {

constexpr char16_t kCreated[] = u"Соединение создано";
constexpr char16_t kFailed[] = u"Не удалось создать соединения";

// A phone book of fakes: what reached it, and what it answers.
class VpnPanelTest : public ::testing::Test {
 protected:
  VpnPanelTest() {
    version->GetVersionExA = [](OSVERSIONINFOA* info) {
      info->dwPlatformId = VER_PLATFORM_WIN32_NT;
      info->dwMajorVersion = 6;
      info->dwMinorVersion = 1;
      return BOOL{1};
    };
    ras->RasGetEntryPropertiesW = [](LPCWSTR, LPCWSTR, RASENTRYW*, DWORD* size, BYTE*, DWORD* deviceSize) {
      *size = sizeof(RASENTRYW);
      *deviceSize = 0;
      return ERROR_BUFFER_TOO_SMALL;
    };
    ras->RasSetEntryPropertiesW = [this](LPCWSTR, WideText name, RASENTRYW* entry, DWORD, BYTE*, DWORD) {
      ++writes;
      entryName = name;
      server = WideText(entry->szLocalPhoneNumber);
      if (throwOnWrite) throw std::runtime_error("phone book gone");
      return writeResult;
    };
    ras->RasSetCredentialsW = [this](LPCWSTR, LPCWSTR, RASCREDENTIALSW* credentials, BOOL) {
      user = WideText(credentials->szUserName);
      password = WideText(credentials->szPassword);
      return DWORD{0};
    };
    toolkit.Click(u"Button1");
  }

  void Create(const std::u16string& login, const std::u16string& pass) {
    toolkit.Type(u"Edit1", login);
    toolkit.Type(u"Edit2", pass);
    toolkit.Click(u"Button5");
  }

  void ExpectPanelOpenWith(const std::u16string& login, const std::u16string& pass) {
    EXPECT_TRUE(form.vpnShown);
    EXPECT_TRUE(toolkit.Showing(u"Edit1"));
    EXPECT_EQ(toolkit.ClientHeight(), 321);
    EXPECT_EQ(form.Edit1->Text(), login);
    EXPECT_EQ(form.Edit2->Text(), pass);
  }

  ScopedOverride<RasApi> ras;
  ScopedOverride<VersionApi> version;
  THeadlessToolkit toolkit;
  TForm1 form{toolkit};

  int writes = 0;
  DWORD writeResult = 0;
  bool throwOnWrite = false;
  std::u16string entryName, server, user, password;
};

TEST_F(VpnPanelTest, SuccessStoresTheTextsAsTypedAndClosesThePanelAfterTheBox) {
  bool panelShownDuringBox = false;
  toolkit.OnMessageBox = [&](const THeadlessToolkit::Box&) { panelShownDuringBox = toolkit.Showing(u"Edit1"); };
  Create(u"  Ivan.Petrov ", u" Pa ss ");

  EXPECT_EQ(entryName, u"Kelvo");
  EXPECT_EQ(server, u"10.1.0.10");
  EXPECT_EQ(user, u"  Ivan.Petrov ");
  EXPECT_EQ(password, u" Pa ss ");
  ASSERT_EQ(toolkit.Boxes().size(), 1u);
  EXPECT_EQ(toolkit.Boxes()[0].text, kCreated);
  EXPECT_EQ(toolkit.Boxes()[0].caption, u"Kelvo");
  EXPECT_EQ(toolkit.Boxes()[0].icon, TMessageIcon::None);
  EXPECT_TRUE(panelShownDuringBox);

  EXPECT_FALSE(form.vpnShown);
  EXPECT_FALSE(toolkit.Visible(u"VPN"));
  EXPECT_EQ(toolkit.ClientHeight(), 121);

  // One press shows the panel again with the same texts.
  toolkit.Click(u"Button1");
  ExpectPanelOpenWith(u"  Ivan.Petrov ", u" Pa ss ");
}

// A failure code and a raised error look the same to the subscriber: the plain failure box,
// never the error box, and the panel stays as it was.
TEST_F(VpnPanelTest, FailureKeepsThePanelAndTheTexts) {
  writeResult = ERROR_CANNOT_WRITE_PHONEBOOK;
  Create(u"ivan", u"secret");
  throwOnWrite = true;
  Create(u"ivan", u"secret");
  ASSERT_EQ(toolkit.Boxes().size(), 2u);
  for (const THeadlessToolkit::Box& box : toolkit.Boxes()) {
    EXPECT_EQ(box.text, kFailed);
    EXPECT_EQ(box.icon, TMessageIcon::None);
  }
  EXPECT_EQ(writes, 2);
  ExpectPanelOpenWith(u"ivan", u"secret");
}

TEST_F(VpnPanelTest, AnEmptyFieldDoesNothing) {
  Create(u"ivan", u"");
  Create(u"", u"secret");
  Create(u"", u"");
  EXPECT_EQ(writes, 0);
  EXPECT_TRUE(toolkit.Boxes().empty());
  ExpectPanelOpenWith(u"", u"");
}

}  // namespace
}  // namespace kelvo
