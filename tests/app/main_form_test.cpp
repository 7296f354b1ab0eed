#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "app/startup.h"
#include "platform/exception.h"
#include "ui/headless/headless_toolkit.h"
#include "platform/shell.h"

namespace kelvo {
namespace {

enum class Shown { Header, Ping, Vpn };

struct Size {
  int width;
  int height;
  bool operator==(const Size&) const = default;
};

class MainFormTest : public ::testing::Test {
 protected:
  // The visible content panel, after checking that each flag matches its panel and that the
  // window has the size of that state.
  Shown State() {
    EXPECT_EQ(form.pingShown, toolkit.Visible(u"Panel1"));
    EXPECT_EQ(form.vpnShown, toolkit.Visible(u"VPN"));
    EXPECT_TRUE(toolkit.Visible(u"Panel2"));
    EXPECT_FALSE(form.pingShown && form.vpnShown);
    const Shown shown = form.pingShown ? Shown::Ping : form.vpnShown ? Shown::Vpn : Shown::Header;
    const Size expected = shown == Shown::Ping ? Size{392, 312} : shown == Shown::Vpn ? Size{392, 321} : Size{392, 121};
    EXPECT_EQ((Size{toolkit.ClientWidth(), toolkit.ClientHeight()}), expected);
    EXPECT_EQ((Size{form.ClientWidth(), form.ClientHeight()}), expected);
    return shown;
  }

  // Reaches a state from the start with the fewest presses.
  void GoTo(Shown state) {
    if (state == Shown::Ping) toolkit.Click(u"Button2");
    if (state == Shown::Vpn) toolkit.Click(u"Button1");
    ASSERT_EQ(State(), state);
  }

  THeadlessToolkit toolkit;
  TForm1 form{toolkit};
};

TEST_F(MainFormTest, StartsWithTheHeaderOnly) {
  EXPECT_EQ(State(), Shown::Header);
  EXPECT_TRUE(toolkit.Showing(u"Image1"));
  EXPECT_FALSE(toolkit.Showing(u"Edit1"));
  EXPECT_EQ(toolkit.Text(u"Label1"), u"www.kelvo.net");
  EXPECT_TRUE(toolkit.Boxes().empty());
}

TEST(StartUp, ShowsTheWindowThenRunsTheLoopAndEndsWithItsStatus) {
  THeadlessToolkit toolkit;
  bool looped = false;
  const int status = RunMainWindow(toolkit, [&] {
    looped = true;
    EXPECT_TRUE(toolkit.WindowShown());
    EXPECT_EQ(toolkit.ClientHeight(), 121);
    EXPECT_EQ(toolkit.FontColor(u"Label1"), clBlue);
    return 7;
  });
  EXPECT_TRUE(looped);
  EXPECT_EQ(status, 7);
  EXPECT_TRUE(toolkit.Boxes().empty());
}

struct Transition {
  Shown from;
  const char16_t* button;
  Shown to;
};

void PrintTo(const Transition& transition, std::ostream* out) {
  const char* states[] = {"Header", "Ping", "Vpn"};
  *out << states[static_cast<int>(transition.from)] << "_Button" << static_cast<char>(transition.button[6]);
}

std::string TransitionName(const ::testing::TestParamInfo<Transition>& param) {
  return ::testing::PrintToString(param.param);
}

class PanelSwitchTest : public MainFormTest, public ::testing::WithParamInterface<Transition> {};

TEST_P(PanelSwitchTest, ButtonLeadsToItsState) {
  GoTo(GetParam().from);
  toolkit.Click(GetParam().button);
  EXPECT_EQ(State(), GetParam().to);
}

INSTANTIATE_TEST_SUITE_P(Table, PanelSwitchTest,
                         ::testing::Values(Transition{Shown::Header, u"Button1", Shown::Vpn},
                                           Transition{Shown::Header, u"Button2", Shown::Ping},
                                           Transition{Shown::Ping, u"Button1", Shown::Vpn},
                                           Transition{Shown::Ping, u"Button2", Shown::Header},
                                           Transition{Shown::Vpn, u"Button1", Shown::Header},
                                           Transition{Shown::Vpn, u"Button2", Shown::Ping}),
                         TransitionName);

TEST_F(MainFormTest, AnyResizeEndsAtTheAutoSizeResult) {
  toolkit.ResizeByUser(800, 600);
  EXPECT_EQ(State(), Shown::Header);
  GoTo(Shown::Ping);
  toolkit.ResizeByUser(100, 50);
  EXPECT_EQ(State(), Shown::Ping);
}

TEST_F(MainFormTest, LinkTurnsRedWhilePressedAndPurpleAfter) {
  EXPECT_EQ(toolkit.FontColor(u"Label1"), clBlue);
  toolkit.MouseDown(u"Label1");
  EXPECT_EQ(toolkit.FontColor(u"Label1"), clRed);
  EXPECT_EQ(form.Label1->FontColor(), clRed);
  toolkit.MouseUp(u"Label1");
  EXPECT_EQ(toolkit.FontColor(u"Label1"), clPurple);
  toolkit.MouseDown(u"Label1");
  toolkit.MouseUp(u"Label1");
  EXPECT_EQ(toolkit.FontColor(u"Label1"), clPurple);
}

TEST_F(MainFormTest, LinkClickOpensTheAddressOnceAndIgnoresTheResult) {
  struct Call {
    HWND parent;
    std::u16string verb;
    std::u16string file;
    bool noParameters;
    bool noDirectory;
    int show;
  };
  std::vector<Call> calls;
  ScopedOverride<ShellApi> shell;
  shell->ShellExecuteW = [&](HWND parent, WideText verb, WideText file, LPCWSTR parameters, LPCWSTR directory,
                             int show) {
    calls.push_back({parent, std::u16string(verb), std::u16string(file), parameters == nullptr, directory == nullptr, show});
    return HINSTANCE{};  // a failure: nobody is told
  };
  toolkit.Click(u"Label1");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].parent, form.Handle());
  EXPECT_NE(calls[0].parent, nullptr);
  EXPECT_EQ(calls[0].verb, u"open");
  EXPECT_EQ(calls[0].file, u"http://www.kelvo.net/");
  EXPECT_TRUE(calls[0].noParameters);
  EXPECT_TRUE(calls[0].noDirectory);
  EXPECT_EQ(calls[0].show, 5);
  EXPECT_TRUE(toolkit.Boxes().empty());
  EXPECT_EQ(toolkit.FontColor(u"Label1"), clBlue);
}

TEST_F(MainFormTest, ErrorEscapingAHandlerIsShownAndTheProgramGoesOn) {
  ScopedOverride<ShellApi> shell;
  shell->ShellExecuteW = [](HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, int) -> HINSTANCE {
    throw Exception(u"Нет оболочки");
  };
  toolkit.Click(u"Label1");
  ASSERT_EQ(toolkit.Boxes().size(), 1u);
  EXPECT_EQ(toolkit.Boxes()[0].text, u"Нет оболочки.");
  EXPECT_EQ(toolkit.Boxes()[0].caption, u"Kelvo");
  EXPECT_EQ(toolkit.Boxes()[0].icon, TMessageIcon::Error);

  form.Button1->OnClick = [](TObject*) { throw std::runtime_error("\xD0\xA1\xD0\xB1\xD0\xBE\xD0\xB9!"); };
  toolkit.Click(u"Button1");
  ASSERT_EQ(toolkit.Boxes().size(), 2u);
  EXPECT_EQ(toolkit.Boxes()[1].text, u"Сбой!");

  form.Button1->OnClick = [](TObject*) { throw 42; };
  toolkit.Click(u"Button1");
  ASSERT_EQ(toolkit.Boxes().size(), 3u);
  EXPECT_EQ(toolkit.Boxes()[2].text, u"Unknown error.");

  toolkit.Click(u"Button2");
  EXPECT_EQ(State(), Shown::Ping);
}

TEST(ErrorBoxText, AddsAFullStopOnlyAfterCharactersAboveIt) {
  EXPECT_EQ(ErrorBoxText(Exception(u"Request failed")), u"Request failed.");
  EXPECT_EQ(ErrorBoxText(Exception(u"Done.")), u"Done.");
  EXPECT_EQ(ErrorBoxText(Exception(u"Really!")), u"Really!");         // '!' is below '.'
  EXPECT_EQ(ErrorBoxText(Exception(u"Error (10004)")), u"Error (10004)");  // ')' too
  EXPECT_EQ(ErrorBoxText(Exception(u"Trailing space ")), u"Trailing space ");
  EXPECT_EQ(ErrorBoxText(Exception(u"Code 7")), u"Code 7.");            // digits are above it
  EXPECT_EQ(ErrorBoxText(Exception(u"path/")), u"path/.");
  EXPECT_EQ(ErrorBoxText(Exception(u"Ошибка")), u"Ошибка.");
  EXPECT_EQ(ErrorBoxText(std::runtime_error("plain")), u"plain.");
}

TEST_F(MainFormTest, ControlsInheritFontsAndBordersFromTheirParents) {
  // Edits without a font of their own take the window's; borders follow the panel.
  EXPECT_EQ(toolkit.Look(u"Edit1").font.pixelHeight, 11);
  EXPECT_EQ(toolkit.Look(u"Edit1").font.name, u"Tahoma");
  EXPECT_TRUE(toolkit.Look(u"Edit1").ctl3D);
  EXPECT_FALSE(toolkit.Look(u"Button1").ctl3D);
  EXPECT_TRUE(toolkit.Look(u"Label1").font.underline);
  EXPECT_EQ(toolkit.Look(u"Label1").font.pixelHeight, 13);
  EXPECT_EQ(toolkit.Look(u"Label2").font.pixelHeight, 16);
}

}  // namespace
}  // namespace kelvo
