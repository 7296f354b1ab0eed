// The seam's timer and memo through the headless backend, which the form's tests stand on; the
// Qt memo and timer are checked in qt_window_test.cpp, the native memo under Wine in
// win32_window_test.cpp.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "ui/headless/headless_toolkit.h"

namespace kelvo {
namespace {

TFormDefinition MemoForm() {
  TFormDefinition form;
  form.name = u"Form";
  TControlDefinition memo;
  memo.kind = TControlKind::Memo;
  memo.name = u"Memo";
  memo.bounds = {0, 0, 100, 50};
  form.controls.push_back(memo);
  return form;
}

class MemoForm1 : public TForm {
 public:
  using TForm::TForm;
  TMemo* Memo() const { return Find<TMemo>(u"Memo"); }
};

class SeamTest : public ::testing::Test {
 protected:
  THeadlessToolkit toolkit;
  TFormDefinition definition = MemoForm();
  MemoForm1 form{toolkit, definition};
  TTimer timer{form, u"timer"};
};

TEST_F(SeamTest, TimerRunsOnlyWhileEnabledAndReassigningChangesNothing) {
  EXPECT_FALSE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000u);
  EXPECT_FALSE(toolkit.TimerRunning(u"timer"));

  timer.SetEnabled(true);
  EXPECT_TRUE(toolkit.TimerRunning(u"timer"));
  EXPECT_EQ(toolkit.TimerInterval(u"timer"), 1000u);
  EXPECT_EQ(toolkit.TimerPeriodsStarted(u"timer"), 1);

  // The same values again: the running period goes on.
  timer.SetEnabled(true);
  timer.SetInterval(1000);
  EXPECT_EQ(toolkit.TimerPeriodsStarted(u"timer"), 1);

  // A new interval restarts the period.
  timer.SetInterval(250);
  EXPECT_EQ(toolkit.TimerInterval(u"timer"), 250u);
  EXPECT_EQ(toolkit.TimerPeriodsStarted(u"timer"), 2);

  timer.SetEnabled(false);
  EXPECT_FALSE(toolkit.TimerRunning(u"timer"));
  EXPECT_THROW(toolkit.FireTimer(u"timer"), std::exception);

  // Changed while stopped, used when enabled again.
  timer.SetInterval(500);
  EXPECT_FALSE(toolkit.TimerRunning(u"timer"));
  timer.SetEnabled(true);
  EXPECT_EQ(toolkit.TimerInterval(u"timer"), 500u);
  EXPECT_EQ(toolkit.TimerPeriodsStarted(u"timer"), 3);

  // No interval, no ticks.
  timer.SetInterval(0);
  EXPECT_FALSE(toolkit.TimerRunning(u"timer"));
}

TEST_F(SeamTest, TickRunsAsAGuiEventAndAnErrorLeavesTheTimerRunning) {
  int ticks = 0;
  timer.OnTimer = [&](TObject* sender) {
    EXPECT_EQ(sender, &timer);
    if (++ticks == 2) throw std::runtime_error("tick failed");
  };
  timer.SetEnabled(true);
  toolkit.FireTimer(u"timer");
  EXPECT_TRUE(toolkit.Boxes().empty());
  toolkit.FireTimer(u"timer");
  ASSERT_EQ(toolkit.Boxes().size(), 1u);
  EXPECT_EQ(toolkit.Boxes()[0].text, u"tick failed.");
  EXPECT_EQ(toolkit.Boxes()[0].icon, TMessageIcon::Error);
  EXPECT_TRUE(toolkit.TimerRunning(u"timer"));
  toolkit.FireTimer(u"timer");
  EXPECT_EQ(ticks, 3);
}

TEST_F(SeamTest, MemoLinesGoAfterWhatIsThereAndClearEmptiesIt) {
  TMemo* memo = form.Memo();
  memo->Lines().Add(u"first");
  memo->Lines().Add(u"");
  memo->Lines().Add(u"  third  ");
  EXPECT_EQ(toolkit.Lines(u"Memo"), (std::vector<std::u16string>{u"first", u"", u"  third  "}));

  memo->Lines().Clear();
  EXPECT_EQ(memo->Text(), u"");
  toolkit.Type(u"Memo", u"typed by the user");
  memo->Lines().Add(u"next");
  EXPECT_EQ(toolkit.Lines(u"Memo"), (std::vector<std::u16string>{u"typed by the user", u"next"}));
}

}  // namespace
}  // namespace kelvo
