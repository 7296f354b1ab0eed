// The Qt backend on Qt's offscreen platform: what the headless tests cannot see.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
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
  // A key pressed and released on the control with the focus, with the text a keyboard gives it.
  void Press(Qt::Key key) const {
    const QString text = key == Qt::Key_Tab     ? QStringLiteral("\t")
                         : key == Qt::Key_Space  ? QStringLiteral(" ")
                         : key == Qt::Key_Escape ? QStringLiteral("\x1b")
                                                 : QStringLiteral("\r");
    QWidget* target = Window()->focusWidget();
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
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
    int pixelHeight;
  };
  // The window's own font is 11 pixels; the rest say their own.
  const Expected fonts[] = {{"Label1", 13},  {"Button1", 13},     {"Button2", 13}, {"Label4", 16},
                            {"HostEdit", 16}, {"DisplayMemo", 11}, {"Button3", 13}, {"Button4", 13},
                            {"Label2", 16},  {"Label3", 16},      {"Edit1", 11},   {"Edit2", 11},
                            {"Button5", 16}};
  for (const Expected& expected : fonts) {
    const QWidget* widget = Window()->findChild<QWidget*>(QString::fromLatin1(expected.name));
    ASSERT_NE(widget, nullptr) << expected.name;
    EXPECT_EQ(widget->font().family(), QStringLiteral("Tahoma")) << expected.name;
    EXPECT_EQ(widget->font().pixelSize(), expected.pixelHeight) << expected.name;
    EXPECT_EQ(widget->font().underline(), std::string_view(expected.name) == "Label1") << expected.name;
  }
  for (const TControlDefinition& control : MainFormDefinition().controls) {
    const QString name = QString::fromUtf16(control.name.data(), static_cast<qsizetype>(control.name.size()));
    const QWidget* widget = Window()->findChild<QWidget*>(name);
    ASSERT_NE(widget, nullptr) << name.toStdString();
    const TBounds& b = control.bounds;
    EXPECT_EQ(widget->geometry(), QRect(b.left, b.top, b.width, b.height)) << name.toStdString();
    EXPECT_EQ(widget->isHidden(), !control.visible) << name.toStdString();
  }
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

TEST_F(QtWindowTest, EditsHaveTheLightBackgroundAndTheirPanelsBorders) {
  const auto edits = Window()->findChildren<QLineEdit*>();
  ASSERT_EQ(edits.size(), 3);
  for (QLineEdit* edit : edits) {
    const bool host = edit->text() == QStringLiteral("10.1.0.10");
    // The ping panel has flat control borders, the VPN panel 3-D ones.
    EXPECT_TRUE(edit->styleSheet().contains(host ? QStringLiteral("solid") : QStringLiteral("inset")));
    EXPECT_TRUE(edit->styleSheet().contains(QApplication::palette().color(QPalette::Midlight).name()));
    EXPECT_EQ(edit->font().pixelSize(), host ? 16 : 11);
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
  form.DisplayMemo->Lines().Add(u"two  spaced");
  EXPECT_EQ(memo->toPlainText(), QStringLiteral("one\ntwo  spaced"));
  form.DisplayMemo->Lines().Clear();
  EXPECT_EQ(form.DisplayMemo->Text(), u"");
}

TEST_F(QtWindowTest, TimerTicksThroughTheLoopOnTime) {
  using Clock = std::chrono::steady_clock;
  std::vector<Clock::time_point> ticks;
  TTimer timer(form, u"probe");
  timer.OnTimer = [&](TObject*) {
    ticks.push_back(Clock::now());
    if (ticks.size() == 5) timer.SetEnabled(false);
  };
  timer.SetInterval(40);
  const Clock::time_point started = Clock::now();
  timer.SetEnabled(true);
  while (timer.Enabled() && Clock::now() - started < std::chrono::seconds(5)) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  ASSERT_EQ(ticks.size(), 5u);
  // A precise timer keeps to its schedule: five periods take five intervals, give or take.
  const auto total = std::chrono::duration_cast<std::chrono::milliseconds>(ticks.back() - started).count();
  EXPECT_GE(total, 199);
  EXPECT_LT(total, 260);
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

TEST_F(QtWindowTest, ScreenReadersHearTheLabelsNamesAndTheLink) {
  struct Expected {
    const char* control;
    QAccessible::Role role;
    const char* name;
  };
  const Expected expected[] = {
      {"Label1", QAccessible::Link, "www.kelvo.net"},
      {"Button1", QAccessible::Button, "Создать Соединение"},
      {"Button2", QAccessible::Button, "Пинг"},
      {"HostEdit", QAccessible::EditableText, "Адрес"},
      {"Button3", QAccessible::Button, "Старт"},
      {"Button4", QAccessible::Button, "Стоп"},
      {"DisplayMemo", QAccessible::EditableText, "Результаты пинга"},
      {"Edit1", QAccessible::EditableText, "Логин"},
      {"Edit2", QAccessible::EditableText, "Пароль"},
      {"Button5", QAccessible::Button, "Создать"},
  };
  for (const Expected& control : expected) {
    QWidget* widget = Window()->findChild<QWidget*>(QString::fromLatin1(control.control));
    ASSERT_NE(widget, nullptr) << control.control;
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    ASSERT_NE(accessible, nullptr) << control.control;
    EXPECT_EQ(accessible->role(), control.role) << control.control;
    EXPECT_EQ(accessible->text(QAccessible::Name), QString::fromUtf8(control.name)) << control.control;
  }

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
