// The window from the keyboard, through the headless toolkit: the tab order that the definition
// gives every backend, and which button Enter in a field presses. The backends' own part (Tab,
// Shift+Tab, Enter, Space and Escape as a user presses them) is asserted on Qt in
// qt_window_test.cpp and under Wine in win32_window_test.cpp and wine_e2e.sh.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/form_definition.h"
#include "app/main_form.h"
#include "ui/headless/headless_toolkit.h"

namespace kelvo {
namespace {

using Key = THeadlessToolkit::Key;
using Names = std::vector<std::u16string>;

class KeyboardTest : public ::testing::Test {
 protected:
  KeyboardTest() { form.Show(); }

  // The controls Tab visits from the one with the focus until it comes back to it.
  Names TabCycle() {
    Names visited;
    const std::u16string start = toolkit.Focused();
    do {
      toolkit.Press(Key::Tab);
      visited.push_back(toolkit.Focused());
    } while (visited.back() != start && visited.size() < 20);
    return visited;
  }

  THeadlessToolkit toolkit;
  TForm1 form{toolkit};
};

TEST_F(KeyboardTest, TabVisitsTheShowingControlsInReadingOrder) {
  EXPECT_EQ(toolkit.Focused(), u"Button1");
  EXPECT_EQ(TabCycle(), (Names{u"Button2", u"Button1"}));

  toolkit.Click(u"Button2");
  EXPECT_EQ(TabCycle(), (Names{u"HostEdit", u"Button3", u"Button4", u"DisplayMemo", u"Button1", u"Button2"}));
  toolkit.Press(Key::ShiftTab);
  EXPECT_EQ(toolkit.Focused(), u"Button1");
  toolkit.Press(Key::ShiftTab);
  EXPECT_EQ(toolkit.Focused(), u"DisplayMemo");

  toolkit.Click(u"Button1");
  EXPECT_EQ(TabCycle(), (Names{u"Button2", u"Edit1", u"Edit2", u"Button5", u"Button1"}));
}

TEST_F(KeyboardTest, FocusLeavesAPanelThatCloses) {
  toolkit.Click(u"Button1");
  for (int i = 0; i < 4; ++i) toolkit.Press(Key::Tab);
  ASSERT_EQ(toolkit.Focused(), u"Button5");
  // What a created connection does to the panel.
  form.VPN->SetVisible(false);
  EXPECT_EQ(toolkit.Focused(), u"Button1");
}

// From the start to a ping run and to "Создать" without the mouse.
TEST_F(KeyboardTest, EnterInAFieldPressesItsPanelsButtonAndEnterOrSpaceAFocusedButton) {
  Names pressed;
  form.Button3->OnClick = [&](TObject*) { pressed.push_back(u"Старт"); };
  form.Button5->OnClick = [&](TObject*) { pressed.push_back(u"Создать"); };

  toolkit.Press(Key::Tab);
  toolkit.Press(Key::Space);  // "Пинг"
  ASSERT_TRUE(form.pingShown);
  toolkit.Press(Key::Tab);
  ASSERT_EQ(toolkit.Focused(), u"HostEdit");
  toolkit.Press(Key::Enter);
  EXPECT_EQ(pressed, (Names{u"Старт"}));
  toolkit.Press(Key::Escape);
  for (int i = 0; i < 3; ++i) toolkit.Press(Key::Tab);
  ASSERT_EQ(toolkit.Focused(), u"DisplayMemo");
  toolkit.Press(Key::Enter);
  toolkit.Press(Key::Escape);
  EXPECT_EQ(pressed.size(), 1u);
  EXPECT_TRUE(form.pingShown);
  EXPECT_EQ(toolkit.Text(u"HostEdit"), u"10.1.0.10");

  toolkit.Press(Key::Tab);
  toolkit.Press(Key::Enter);  // "Создать Соединение"
  ASSERT_TRUE(form.vpnShown);
  toolkit.Press(Key::Tab);
  toolkit.Press(Key::Tab);
  ASSERT_EQ(toolkit.Focused(), u"Edit1");
  toolkit.Press(Key::Enter);
  toolkit.Press(Key::Tab);
  ASSERT_EQ(toolkit.Focused(), u"Edit2");
  toolkit.Press(Key::Enter);
  toolkit.Press(Key::Tab);
  ASSERT_EQ(toolkit.Focused(), u"Button5");
  toolkit.Press(Key::Enter);
  toolkit.Press(Key::Space);
  EXPECT_EQ(pressed, (Names{u"Старт", u"Создать", u"Создать", u"Создать", u"Создать"}));
  EXPECT_TRUE(toolkit.Boxes().empty());
}

// Windows' screen readers name an edit after the label just before it in the tab order.
TEST(FormDefinition, EachEditComesRightAfterItsLabel) {
  const auto& controls = MainFormDefinition().controls;
  int edits = 0;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    if (controls[i].kind != TControlKind::Edit) continue;
    ++edits;
    ASSERT_GT(i, 0u);
    const TControlDefinition& label = controls[i - 1];
    EXPECT_EQ(label.kind, TControlKind::Label) << i;
    EXPECT_EQ(label.parent, controls[i].parent) << i;
    EXPECT_EQ(label.caption, controls[i].accessibleName + u" :") << i;
  }
  EXPECT_EQ(edits, 3);
}

}  // namespace
}  // namespace kelvo
