// The Qt backend on Qt's offscreen platform: what the headless tests cannot see.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

#include "app/form_definition.h"
#include "app/main_form.h"
#include "ui/qt/qt_application.h"
#include "platform/shell.h"

namespace kelvo {
namespace {

TQtApplication& Application() {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static int argc = 1;
  static char name[] = "kelvo";
  static char* argv[] = {name, nullptr};
  // Lives to the end of the process: Qt must not be torn down among the static destructors.
  static TQtApplication* application = new TQtApplication(argc, argv);
  return *application;
}

class QtWindowTest : public ::testing::Test {
 protected:
  QtWindowTest() : form(Application().Toolkit()) { form.Show(); }

  QWidget* Window() const {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->windowTitle() == QStringLiteral("Kelvo") && widget->isVisible()) return widget;
    }
    return nullptr;
  }
  template <class T>
  T* Child(const QString& text) const {
    for (T* child : Window()->findChildren<T*>()) {
      if (child->text() == text) return child;
    }
    return nullptr;
  }
  static void Settle() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
  }
  QString Focused() const { return Window()->focusWidget() ? Window()->focusWidget()->objectName() : QString(); }
  // A key pressed and released on the control with the focus, with the text a keyboard gives it;
  // held, it repeats its press as often as asked.
  void Press(Qt::Key key, int repeats = 0) const {
    const QString text = key == Qt::Key_Backtab ? QString()
                         : key == Qt::Key_Tab     ? QStringLiteral("\t")
                         : key == Qt::Key_Space  ? QStringLiteral(" ")
                         : key == Qt::Key_Escape ? QStringLiteral("\x1b")
                                                 : QStringLiteral("\r");
    QWidget* target = Window()->focusWidget();
    const Qt::KeyboardModifiers modifiers = key == Qt::Key_Backtab ? Qt::ShiftModifier : Qt::NoModifier;
    for (int i = 0; i <= repeats; ++i) {
      QKeyEvent press(QEvent::KeyPress, key, modifiers, text, i > 0);
      QApplication::sendEvent(target, &press);
    }
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(target, &release);
  }
  // The controls Tab visits from the one with the focus until it comes back to it.
  QStringList TabCycle() const {
    QStringList visited;
    const QString start = Focused();
    do {
      Press(Qt::Key_Tab);
      visited << Focused();
    } while (visited.back() != start && visited.size() < 20);
    return visited;
  }

  TForm1 form;
};

TEST_F(QtWindowTest, ClientAreaFollowsTheVisiblePanelAndSnapsBackAfterAResize) {
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Window()->size(), QSize(392, 121));
  Child<QPushButton>(QStringLiteral("Пинг"))->click();
  EXPECT_EQ(Window()->size(), QSize(392, 312));
  Child<QPushButton>(QStringLiteral("Создать Соединение"))->click();
  EXPECT_EQ(Window()->size(), QSize(392, 321));

  Window()->resize(600, 200);
  Settle();
  EXPECT_EQ(Window()->size(), QSize(392, 321));
}

TEST_F(QtWindowTest, EveryControlHasItsPlaceFontAndVisibility) {
  struct Expected {
    const char* name;
    QRect place;  // in its panel, or in the window for the panels
    int pixelHeight;
    bool hidden;
  };
  // As the window is drawn: the window's own font is 11 pixels, the rest say their own.
  const Expected controls[] = {
      {"Panel2", {0, 0, 392, 121}, 11, false},      {"Image1", {4, 8, 241, 113}, 11, false},
      {"Label1", {126, 25, 95, 16}, 13, false},     {"Button1", {251, 18, 138, 33}, 13, false},
      {"Button2", {251, 73, 138, 33}, 13, false},   {"Panel1", {0, 127, 392, 185}, 11, true},
      {"Label4", {24, 0, 55, 19}, 16, false},       {"HostEdit", {24, 21, 161, 25}, 16, false},
      {"DisplayMemo", {5, 52, 381, 125}, 11, false}, {"Button3", {216, 4, 81, 42}, 13, false},
      {"Button4", {303, 4, 82, 42}, 13, false},     {"VPN", {0, 127, 392, 194}, 11, true},
      {"Label2", {21, 10, 56, 19}, 16, false},      {"Label3", {208, 10, 65, 19}, 16, false},
      {"Edit1", {13, 35, 164, 21}, 11, false},      {"Edit2", {200, 35, 164, 21}, 11, false},
      {"Button5", {119, 94, 153, 59}, 16, false}};
  int widgets = 0;
  for (const Expected& expected : controls) {
    const QWidget* widget = Window()->findChild<QWidget*>(QString::fromLatin1(expected.name));
    ASSERT_NE(widget, nullptr) << expected.name;
    ++widgets;
    EXPECT_EQ(widget->geometry(), expected.place) << expected.name;
    EXPECT_EQ(widget->isHidden(), expected.hidden) << expected.name;
    EXPECT_EQ(widget->font().family(), QStringLiteral("Tahoma")) << expected.name;
    EXPECT_EQ(widget->font().pixelSize(), expected.pixelHeight) << expected.name;
    EXPECT_EQ(widget->font().underline(), std::string_view(expected.name) == "Label1") << expected.name;
  }
  EXPECT_EQ(widgets, static_cast<int>(MainFormDefinition().controls.size())) << "a control of no place";
}

TEST_F(QtWindowTest, EditsShowLongTextsInClear) {
  const QString login(40000, QLatin1Char('x'));
  for (QLineEdit* edit : Window()->findChildren<QLineEdit*>()) {
    edit->setText(login);
    EXPECT_EQ(edit->text().size(), login.size());
    EXPECT_EQ(edit->echoMode(), QLineEdit::Normal);
  }
}

// Both pictures are built in; the logo needs Qt's GIF reader.
TEST_F(QtWindowTest, LogoAndIconAreThere) {
  const auto* logo = Window()->findChild<QLabel*>(QStringLiteral("Image1"));
  ASSERT_NE(logo, nullptr);
  EXPECT_EQ(logo->pixmap().size(), QSize(237, 110));
  EXPECT_TRUE(QApplication::windowIcon().availableSizes().contains(QSize(32, 32)));
}

TEST_F(QtWindowTest, LinkLiesOpaqueOverTheLogoAndReactsToTheMouse) {
  QLabel* link = Child<QLabel>(QStringLiteral("www.kelvo.net"));
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->geometry(), QRect(126, 25, 95, 16));
  EXPECT_EQ(link->parentWidget()->childAt(link->geometry().center()), link);
  EXPECT_TRUE(link->autoFillBackground());
  EXPECT_EQ(link->palette().color(QPalette::Window), QColor(255, 255, 255));
  EXPECT_EQ(link->font().pixelSize(), 13);
  EXPECT_TRUE(link->font().underline());
  EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));

  int opened = 0;
  ScopedOverride<ShellApi> shell;
  shell->ShellExecuteW = [&](HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, int) {
    ++opened;
    return reinterpret_cast<HINSTANCE>(42);
  };
  const QPointF at(5, 5);
  QMouseEvent press(QEvent::MouseButtonPress, at, link->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(link, &press);
  EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(opened, 0);
  QMouseEvent release(QEvent::MouseButtonRelease, at, link->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(link, &release);
  EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(128, 0, 128));
  EXPECT_EQ(opened, 1);
}

// As drawn: the inside in the system's light 3-D colour, the ping panel's border flat (one colour
// all round), the VPN panel's sunken (darker above than below).
TEST_F(QtWindowTest, EditsHaveTheLightBackgroundAndTheirPanelsBorders) {
  const QColor light = QApplication::palette().color(QPalette::Midlight);
  for (const char* name : {"HostEdit", "Edit1", "Edit2"}) {
    QWidget* edit = Window()->findChild<QLineEdit*>(QString::fromLatin1(name));
    ASSERT_NE(edit, nullptr) << name;
    const QImage image = edit->grab().toImage();
    const int width = image.width();
    const int height = image.height();
    const QColor inside = image.pixelColor(width - 6, height / 2);
    EXPECT_LE(std::abs(inside.red() - light.red()) + std::abs(inside.green() - light.green()) +
                  std::abs(inside.blue() - light.blue()),
              6)
        << name << ": " << inside.name().toStdString() << " inside, not " << light.name().toStdString();
    const QColor top = image.pixelColor(width / 2, 0);
    const QColor bottom = image.pixelColor(width / 2, height - 1);
    EXPECT_NE(top, light) << name;
    if (std::string_view(name) == "HostEdit") {
      EXPECT_EQ(top, bottom) << name;
      EXPECT_EQ(image.pixelColor(0, height / 2), image.pixelColor(width - 1, height / 2)) << name;
    } else {
      EXPECT_LT(top.lightness(), bottom.lightness()) << name;
    }
  }
}

// A stock Debian 12 has no Tahoma, and DejaVu Sans is what it draws instead: every caption still
// fits inside its button, the ink of its letters clear of the frame.
TEST_F(QtWindowTest, CaptionsFitTheirButtonsInTheFontOfAStockMachine) {
  const auto buttons = Window()->findChildren<QPushButton*>();
  ASSERT_EQ(buttons.size(), 5);
  for (QPushButton* button : buttons) {
    const std::string name = button->objectName().toStdString();
    QFont stock = button->font();
    stock.setFamilies({QStringLiteral("DejaVu Sans")});
    button->setFont(stock);
    ASSERT_EQ(QFontInfo(button->font()).family(), QStringLiteral("DejaVu Sans"));
    const QString caption = button->text();
    const QImage drawn = button->grab().toImage();
    button->setText(QString());
    const QImage blank = button->grab().toImage();
    button->setText(caption);
    QRect ink;
    for (int y = 0; y < drawn.height(); ++y) {
      for (int x = 0; x < drawn.width(); ++x) {
        if (drawn.pixel(x, y) != blank.pixel(x, y)) ink |= QRect(x, y, 1, 1);
      }
    }
    ASSERT_FALSE(ink.isEmpty()) << name;
    const QRect inside = button->rect().adjusted(3, 3, -3, -3);
    EXPECT_TRUE(inside.contains(ink)) << name << ": the caption's ink spans x " << ink.left() << ".." << ink.right()
                                      << ", y " << ink.top() << ".." << ink.bottom() << " of " << button->width()
                                      << " x " << button->height();
  }
}

TEST_F(QtWindowTest, MemoWrapsHasNoScrollBarsAndTakesTyping) {
  const auto memos = Window()->findChildren<QPlainTextEdit*>();
  ASSERT_EQ(memos.size(), 1);
  QPlainTextEdit* memo = memos.front();
  EXPECT_EQ(memo->geometry(), QRect(5, 52, 381, 125));
  EXPECT_EQ(memo->font().pixelSize(), 11);
  EXPECT_EQ(memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_FALSE(memo->isReadOnly());
  EXPECT_EQ(memo->maximumBlockCount(), 0);
  form.DisplayMemo->Lines().Add(u"one");
  form.DisplayMemo->Lines().Add(u"");
  form.DisplayMemo->Lines().Add(u"two  spaced");
  EXPECT_EQ(memo->toPlainText(), QStringLiteral("one\n\ntwo  spaced"));
  form.DisplayMemo->Lines().Clear();
  EXPECT_EQ(form.DisplayMemo->Text(), u"");
  // A line goes after what the user typed, on a line of its own.
  form.Button2->Click();
  memo->setFocus();
  memo->insertPlainText(QStringLiteral("typed"));
  form.DisplayMemo->Lines().Add(u"next");
  EXPECT_EQ(memo->toPlainText(), QStringLiteral("typed\nnext"));
}

// Ten periods on the monotonic clock: no tick comes before its time, and though the handler takes
// three quarters of each period the ticks keep step with the clock, where waiting a whole interval
// after each handler would take 1.75 s; a busy machine has half a second beyond the ten periods.
TEST_F(QtWindowTest, TimerTicksThroughTheLoopOnTime) {
  using Clock = std::chrono::steady_clock;
  constexpr std::chrono::milliseconds kInterval{100};
  constexpr int kPeriods = 10;
  std::vector<Clock::duration> ticks;
  const Clock::time_point started = Clock::now();
  TTimer timer(form, u"probe");
  timer.OnTimer = [&](TObject*) {
    ticks.push_back(Clock::now() - started);
    std::this_thread::sleep_for(kInterval * 3 / 4);
  };
  timer.SetInterval(kInterval.count());
  timer.SetEnabled(true);
  while (std::ssize(ticks) < kPeriods && Clock::now() - started < kPeriods * kInterval * 3 / 2) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  timer.SetEnabled(false);
  ASSERT_GE(std::ssize(ticks), kPeriods) << "ticks within " << (kPeriods * kInterval * 3 / 2).count() << " ms";
  for (int tick = 1; tick <= kPeriods; ++tick) {
    ASSERT_GE(ticks[tick - 1], tick * kInterval - std::chrono::milliseconds(1)) << "tick " << tick;
  }
}

TEST_F(QtWindowTest, ErrorBoxHasTheTitleTheIconAndOneButton) {
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  qsizetype buttons = 0;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    buttons = box->buttons().size();
    box->accept();
  });
  form.Button1->OnClick = [](TObject*) { throw std::runtime_error("broken"); };
  Child<QPushButton>(QStringLiteral("Создать Соединение"))->click();
  EXPECT_EQ(title, QStringLiteral("Kelvo"));
  EXPECT_EQ(text, QStringLiteral("broken."));
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_EQ(buttons, 1);
}

TEST_F(QtWindowTest, TabFollowsReadingOrderPastTheOutputAndSkipsHiddenPanels) {
  EXPECT_EQ(Focused(), QStringLiteral("Button1"));
  EXPECT_EQ(TabCycle(), QStringList({"Button2", "Button1"}));

  form.Button2->Click();
  EXPECT_EQ(TabCycle(), QStringList({"Button2", "HostEdit", "Button3", "Button4", "DisplayMemo", "Button1"}));
  EXPECT_EQ(form.DisplayMemo->Text(), u"");
  Press(Qt::Key_Backtab);
  EXPECT_EQ(Focused(), QStringLiteral("DisplayMemo"));
  Press(Qt::Key_Backtab);
  EXPECT_EQ(Focused(), QStringLiteral("Button4"));
  Press(Qt::Key_Tab);
  Press(Qt::Key_Tab);
  ASSERT_EQ(Focused(), QStringLiteral("Button1"));

  form.Button1->Click();
  EXPECT_EQ(TabCycle(), QStringList({"Button2", "Edit1", "Edit2", "Button5", "Button1"}));
  Press(Qt::Key_Tab);
  Press(Qt::Key_Tab);
  ASSERT_EQ(Focused(), QStringLiteral("Edit1"));
  form.VPN->SetVisible(false);
  EXPECT_EQ(Focused(), QStringLiteral("Button1"));
}

TEST_F(QtWindowTest, EnterInAFieldPressesItsPanelsButtonEnterOrSpaceAFocusedButtonEscapeNothing) {
  QStringList pressed;
  form.Button3->OnClick = [&](TObject*) { pressed << QStringLiteral("Старт"); };
  form.Button5->OnClick = [&](TObject*) { pressed << QStringLiteral("Создать"); };

  Press(Qt::Key_Tab);
  Press(Qt::Key_Space);  // "Пинг"
  ASSERT_TRUE(form.pingShown);
  Press(Qt::Key_Tab);
  ASSERT_EQ(Focused(), QStringLiteral("HostEdit"));
  Press(Qt::Key_Return);
  EXPECT_EQ(pressed, QStringList({"Старт"}));
  Press(Qt::Key_Escape);
  EXPECT_TRUE(form.pingShown);
  EXPECT_EQ(form.HostEdit->Text(), u"10.1.0.10");

  for (int i = 0; i < 4; ++i) Press(Qt::Key_Tab);
  ASSERT_EQ(Focused(), QStringLiteral("Button1"));
  Press(Qt::Key_Enter);  // "Создать Соединение", from the keypad
  ASSERT_TRUE(form.vpnShown);
  Press(Qt::Key_Tab);
  Press(Qt::Key_Tab);
  Press(Qt::Key_Return);  // in the login
  Press(Qt::Key_Tab);
  Press(Qt::Key_Return);  // in the password
  Press(Qt::Key_Tab);
  ASSERT_EQ(Focused(), QStringLiteral("Button5"));
  Press(Qt::Key_Return);
  Press(Qt::Key_Space);
  Press(Qt::Key_Escape);
  EXPECT_EQ(pressed, QStringList({"Старт", "Создать", "Создать", "Создать", "Создать"}));
  EXPECT_TRUE(form.vpnShown);
  EXPECT_TRUE(Window()->isVisible());
}

TEST_F(QtWindowTest, HeldEnterPressesOnceAsAHeldSpaceDoes) {
  int created = 0;
  form.Button5->OnClick = [&](TObject*) { ++created; };
  Press(Qt::Key_Return, 5);  // "Создать Соединение"
  ASSERT_TRUE(form.vpnShown);
  for (int i = 0; i < 3; ++i) Press(Qt::Key_Tab);
  ASSERT_EQ(Focused(), QStringLiteral("Edit2"));
  Press(Qt::Key_Return, 5);
  EXPECT_EQ(created, 1);
  Press(Qt::Key_Tab);
  ASSERT_EQ(Focused(), QStringLiteral("Button5"));
  Press(Qt::Key_Enter, 5);
  EXPECT_EQ(created, 2);
  Press(Qt::Key_Space, 5);
  EXPECT_EQ(created, 3);
}

// The roles and names a screen reader hears are read from the accessibility bus by a11y_e2e.sh.
TEST_F(QtWindowTest, AScreenReaderPressingTheLinkOpensTheSite) {
  int opened = 0;
  ScopedOverride<ShellApi> shell;
  shell->ShellExecuteW = [&](HWND, LPCWSTR, LPCWSTR file, LPCWSTR, LPCWSTR, int) {
    opened += std::u16string_view(file) == u"http://www.kelvo.net/";
    return reinterpret_cast<HINSTANCE>(42);
  };
  QAccessibleInterface* link = QAccessible::queryAccessibleInterface(Window()->findChild<QWidget*>("Label1"));
  EXPECT_TRUE(link->state().linked);
  ASSERT_NE(link->actionInterface(), nullptr);
  link->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_EQ(opened, 1);
}

}  // namespace
}  // namespace kelvo
