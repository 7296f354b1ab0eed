#include "ui/qt/qt_toolkit.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTimer>
#include <qdrawutil.h>

#include <algorithm>
#include <limits>

namespace kelvo {

namespace {

QString ToQString(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string FromQString(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size()));
}

QColor ToQColor(TColor color) {
  switch (color.systemIndex) {
    case COLOR_WINDOWTEXT:
      return QApplication::palette().color(QPalette::WindowText);
    case COLOR_3DLIGHT:
      return QApplication::palette().color(QPalette::Midlight);
    default:
      return QColor(color.red, color.green, color.blue);
  }
}

QFont ToQFont(const TFont& font) {
  QFont result(ToQString(font.name));
  result.setPixelSize(font.pixelHeight);
  result.setUnderline(font.underline);
  return result;
}

void SetColors(QWidget& widget, TColor background, TColor text) {
  QPalette palette = widget.palette();
  palette.setColor(QPalette::Window, ToQColor(background));
  palette.setColor(QPalette::Base, ToQColor(background));  // the inside of an edit
  palette.setColor(QPalette::WindowText, ToQColor(text));
  widget.setPalette(palette);
  widget.setAutoFillBackground(true);
}

// Gives the focus to the first showing tab stop after `from` in the window's chain, which runs in
// definition order.
void FocusNextTabStop(QWidget* from) {
  QWidget* window = from->window();
  for (QWidget* widget = from->nextInFocusChain(); widget != from; widget = widget->nextInFocusChain()) {
    if ((widget->focusPolicy() & Qt::TabFocus) != 0 && widget->isVisibleTo(window) && widget->isEnabled()) {
      widget->setFocus(Qt::TabFocusReason);
      return;
    }
  }
}

// Every peer owns its widget. A parent widget deletes its children with it, so the pointer is
// guarded and the peer deletes only what is still alive.
class TWidgetHolder {
 public:
  virtual ~TWidgetHolder() { delete widget_.data(); }
  QWidget* Widget() const { return widget_.data(); }

 protected:
  explicit TWidgetHolder(QWidget* widget) : widget_(widget) {}
  QPointer<QWidget> widget_;
};

template <class Interface, class QtWidget>
class TQtPeer : public Interface, public TWidgetHolder {
 public:
  TQtPeer(QtWidget* widget, const TControlLook& look, QWidget* parent) : TWidgetHolder(widget), typed_(widget) {
    const TControlDefinition& definition = *look.definition;
    // Named as in the window definition, for tests and accessibility tools.
    widget->setObjectName(ToQString(definition.name));
    widget->setParent(parent);
    widget->setGeometry(definition.bounds.left, definition.bounds.top, definition.bounds.width,
                        definition.bounds.height);
    widget->setFont(ToQFont(look.font));
    SetColors(*widget, definition.color, look.font.color);
    widget->setFocusPolicy(IsTabStop(definition) ? Qt::StrongFocus : Qt::NoFocus);
    widget->setAccessibleName(ToQString(AccessibleName(definition)));
    widget->setVisible(definition.visible);
    // Later controls lie on top of earlier ones, as the definition lists them.
    widget->raise();
  }
  void SetVisible(bool visible) override {
    if (!widget_) return;
    widget_->setVisible(visible);
    // Qt moves the focus off a control it hides only while the window is active.
    QWidget* focus = widget_->window()->focusWidget();
    if (focus != nullptr && !focus->isVisibleTo(widget_->window())) FocusNextTabStop(focus);
  }

 protected:
  QtWidget* typed_;
};

template <class Interface, class QtWidget>
class TQtTextPeer : public TQtPeer<Interface, QtWidget> {
 public:
  TQtTextPeer(QtWidget* widget, const TControlLook& look, QWidget* parent)
      : TQtPeer<Interface, QtWidget>(widget, look, parent) {
    this->typed_->setText(ToQString(look.definition->caption));
  }
  std::u16string Text() const override { return FromQString(this->typed_->text()); }
  void SetText(const std::u16string& text) override { this->typed_->setText(ToQString(text)); }
};

// A label that reports the mouse: its presses and releases.
class TClickableLabel : public QLabel {
 public:
  TClickableLabel(TControl& control, bool link) : control_(control), link_(link) {}
  TControl& Control() const { return control_; }
  bool IsLink() const { return link_; }

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    control_.MouseDown(Button(*event), Point(*event).x(), Point(*event).y());
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    const QPoint at = Point(*event);
    control_.MouseReleased(Button(*event), at.x(), at.y(), rect().contains(at));
  }

 private:
  static QPoint Point(const QMouseEvent& event) { return event.position().toPoint(); }
  static TMouseButton Button(const QMouseEvent& event) {
    if (event.button() == Qt::RightButton) return TMouseButton::Right;
    if (event.button() == Qt::MiddleButton) return TMouseButton::Middle;
    return TMouseButton::Left;
  }
  TControl& control_;
  bool link_;
};

// A link label as a screen reader meets it: a link, named by its caption, that its press action
// clicks as the mouse would.
class TAccessibleLink : public QAccessibleWidget {
 public:
  explicit TAccessibleLink(TClickableLabel* label) : QAccessibleWidget(label, QAccessible::Link), label_(*label) {}
  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.linked = true;
    return state;
  }
  QStringList actionNames() const override { return {pressAction()}; }
  void doAction(const QString& action) override {
    if (action == pressAction()) label_.Control().Click();
  }

 private:
  TClickableLabel& label_;
};

// Enter on a focused button presses it, as Space does; Qt leaves Enter to dialogs' default buttons.
class TButtonWidget : public QPushButton {
 public:
  explicit TButtonWidget(TControl& control) : control_(control) {}

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      control_.PressEnter();
    } else {
      QPushButton::keyPressEvent(event);
    }
  }
  // Where the face that stands in for Tahoma is wider than it (DejaVu Sans, all a stock Debian 12
  // may have), a caption longer than its button is drawn smaller, whole inside the frame.
  void paintEvent(QPaintEvent* event) override {
    constexpr int kMargin = 4;
    const int room = width() - 2 * kMargin;
    const int needed = fontMetrics().horizontalAdvance(text());
    if (needed <= room || font().pixelSize() <= 1) {
      QPushButton::paintEvent(event);
      return;
    }
    QFont smaller = font();
    smaller.setPixelSize(std::max(1, font().pixelSize() * room / needed));
    QStyleOptionButton option;
    initStyleOption(&option);
    option.fontMetrics = QFontMetrics(smaller);
    QStylePainter painter(this);
    painter.setFont(smaller);
    painter.drawControl(QStyle::CE_PushButton, option);
  }

 private:
  TControl& control_;
};

// A held key repeats its press. A held Space presses a button once; a held Enter on a button or
// in an edit must too, or it would create the entry again and again.
class THeldEnterFilter : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    return key->isAutoRepeat() && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter);
  }
};

void IgnoreHeldEnter(QWidget* widget) { widget->installEventFilter(new THeldEnterFilter(widget)); }

class TQtLabelPeer : public TQtTextPeer<TLabelPeer, TClickableLabel> {
 public:
  using TQtTextPeer::TQtTextPeer;
  void SetFontColor(TColor color) override {
    QPalette palette = typed_->palette();
    palette.setColor(QPalette::WindowText, ToQColor(color));
    typed_->setPalette(palette);
  }
};

// The main window. Auto-size owns its size: a resize from outside is reported to the form, which
// answers with the auto-size result once the resize has settled.
class TMainWindow : public QWidget {
 public:
  TMainWindow(TForm& form, const TFormDefinition& definition) : form_(form) {
    setWindowTitle(ToQString(definition.caption));
    setFont(ToQFont(definition.font));
    SetColors(*this, definition.color, definition.font.color);
  }

  void SetClientSize(int width, int height) {
    wanted_ = QSize(width, height);
    resize(wanted_);
  }
  void Show() {
    show();
    QRect frame = frameGeometry();
    frame.moveCenter(screen()->availableGeometry().center());
    move(frame.topLeft());
    FocusNextTabStop(this);  // the user starts at the first tab stop
  }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QWidget::resizeEvent(event);
    if (size() == wanted_ || settling_) return;
    settling_ = true;
    QTimer::singleShot(0, this, [this] {
      settling_ = false;
      form_.Resized();
    });
  }

 private:
  TForm& form_;
  QSize wanted_;
  bool settling_ = false;
};

// Where Qt's own accessibility falls short: a link label is a link; the main window is a window,
// which the bus shows as a frame named by its title, and a screen reader lists among the windows.
// Qt gives every plain QWidget, top-level or not, the role of a client area: a filler on the bus.
QAccessibleInterface* Accessibility(const QString&, QObject* object) {
  if (auto* label = dynamic_cast<TClickableLabel*>(object); label != nullptr && label->IsLink()) {
    return new TAccessibleLink(label);
  }
  if (auto* window = dynamic_cast<TMainWindow*>(object)) return new QAccessibleWidget(window, QAccessible::Window);
  return nullptr;
}

class TQtWindowPeer : public TWindowPeer {
 public:
  explicit TQtWindowPeer(TMainWindow* window) : window_(window) {}
  ~TQtWindowPeer() override { delete window_; }
  void SetClientSize(int width, int height) override { window_->SetClientSize(width, height); }
  void Show() override { window_->Show(); }
  // Qt's window ids are not the platform's window handles.
  HWND Handle() const override { return nullptr; }

 private:
  TMainWindow* window_;
};

// An edit's border as the system draws it: sunken in two pixels on a panel with 3-D borders, one
// flat line on a panel without. Drawn by hand, as a style sheet per edit would cost every start
// about a twentieth of its time.
class TEditBorder {
 public:
  explicit TEditBorder(bool sunken) : sunken_(sunken) {}
  int Width() const { return sunken_ ? 2 : 1; }
  void Draw(QWidget& edit) const {
    QPainter painter(&edit);
    if (sunken_) {
      qDrawWinPanel(&painter, edit.rect(), edit.palette(), true);
    } else {
      qDrawPlainRect(&painter, edit.rect(), QColor(0x7a, 0x7a, 0x7a));
    }
  }

 private:
  bool sunken_;
};

// The text keeps a pixel of room from the border on either side.
class TLineEditWidget : public QLineEdit {
 public:
  explicit TLineEditWidget(bool sunken) : border_(sunken) {
    setFrame(false);
    const int width = border_.Width();
    setTextMargins(width + 1, width, width + 1, width);
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QLineEdit::paintEvent(event);
    border_.Draw(*this);
  }

 private:
  TEditBorder border_;
};

class TMemoWidget : public QPlainTextEdit {
 public:
  explicit TMemoWidget(bool sunken) : border_(sunken) {
    setFrameShape(QFrame::NoFrame);
    const int width = border_.Width();
    setViewportMargins(width + 1, width, width + 1, width);
  }

 protected:
  // The scroll area paints its own frame, around the text's viewport, in its event().
  bool event(QEvent* event) override {
    const bool handled = QPlainTextEdit::event(event);
    if (event->type() == QEvent::Paint) border_.Draw(*this);
    return handled;
  }

 private:
  TEditBorder border_;
};

class TQtMemoPeer : public TQtPeer<TMemoPeer, QPlainTextEdit> {
 public:
  TQtMemoPeer(QPlainTextEdit* memo, const TControlLook& look, QWidget* parent) : TQtPeer(memo, look, parent) {
    typed_->setPlainText(ToQString(look.definition->caption));
  }
  std::u16string Text() const override { return FromQString(typed_->toPlainText()); }
  void SetText(const std::u16string& text) override { typed_->setPlainText(ToQString(text)); }
  void AppendLine(const std::u16string& line) override { typed_->appendPlainText(ToQString(line)); }
  void Clear() override { typed_->clear(); }
};

// A precise timer keeps the ticks on the millisecond; a coarse one would let them wander by up
// to 5 % of the interval.
class TQtTimerPeer : public TTimerPeer {
 public:
  explicit TQtTimerPeer(TTimer& timer) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [&timer] { timer.Tick(); });
  }
  void Start(unsigned interval) override { timer_.start(static_cast<int>(interval)); }
  void Stop() override { timer_.stop(); }

 private:
  QTimer timer_;
};

}  // namespace

TQtToolkit::TQtToolkit() { QAccessible::installFactory(&Accessibility); }

TQtToolkit::~TQtToolkit() { QAccessible::removeFactory(&Accessibility); }

void TQtToolkit::AddTabStop(QWidget* widget) {
  if (lastTabStop_) QWidget::setTabOrder(lastTabStop_.data(), widget);
  lastTabStop_ = widget;
}

std::unique_ptr<TWindowPeer> TQtToolkit::CreateWindowPeer(TForm& form, const TFormDefinition& definition) {
  auto* window = new TMainWindow(form, definition);
  window_ = window;
  lastTabStop_ = nullptr;
  return std::make_unique<TQtWindowPeer>(window);
}

QPixmap BuiltInPicture(const QString& name) {
  // Told the format and not to guess, Qt loads at most the one plugin that reads it; left to guess,
  // it loads every image format plugin, and the JPEG library with them, to ask them: some 2 ms of
  // every start.
  QImageReader reader(QStringLiteral(":/kelvo/") + name, QFileInfo(name).suffix().toLatin1());
  reader.setAutoDetectImageFormat(false);
  return QPixmap::fromImage(reader.read());
}

QWidget* TQtToolkit::ParentWidget(TControlPeer* parent) const {
  if (parent == nullptr) return window_.data();
  return dynamic_cast<TWidgetHolder&>(*parent).Widget();
}

std::unique_ptr<TControlPeer> TQtToolkit::CreatePanelPeer(TControl&, const TControlLook& look, TControlPeer* parent) {
  return std::make_unique<TQtPeer<TControlPeer, QWidget>>(new QWidget, look, ParentWidget(parent));
}

std::unique_ptr<TControlPeer> TQtToolkit::CreateImagePeer(TControl&, const TControlLook& look, TControlPeer* parent) {
  auto* image = new QLabel;
  image->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  image->setPixmap(BuiltInPicture(ToQString(look.definition->picture)));
  return std::make_unique<TQtPeer<TControlPeer, QLabel>>(image, look, ParentWidget(parent));
}

std::unique_ptr<TLabelPeer> TQtToolkit::CreateLabelPeer(TLabel& control, const TControlLook& look,
                                                        TControlPeer* parent) {
  return std::make_unique<TQtLabelPeer>(new TClickableLabel(control, look.definition->link), look,
                                        ParentWidget(parent));
}

std::unique_ptr<TTextPeer> TQtToolkit::CreateButtonPeer(TControl& control, const TControlLook& look,
                                                        TControlPeer* parent) {
  auto* button = new TButtonWidget(control);
  QObject::connect(button, &QPushButton::clicked, [&control] { control.Click(); });
  IgnoreHeldEnter(button);
  auto peer = std::make_unique<TQtTextPeer<TTextPeer, QPushButton>>(button, look, ParentWidget(parent));
  AddTabStop(button);
  return peer;
}

std::unique_ptr<TTextPeer> TQtToolkit::CreateEditPeer(TControl& control, const TControlLook& look,
                                                      TControlPeer* parent) {
  auto* edit = new TLineEditWidget(look.ctl3D);
  // Qt's default would cut a text at 32767 characters; the program sets no limit of its own.
  edit->setMaxLength(std::numeric_limits<int>::max());
  QObject::connect(edit, &QLineEdit::returnPressed, [&control] { control.PressEnter(); });
  IgnoreHeldEnter(edit);
  auto peer = std::make_unique<TQtTextPeer<TTextPeer, QLineEdit>>(edit, look, ParentWidget(parent));
  AddTabStop(edit);
  return peer;
}

std::unique_ptr<TMemoPeer> TQtToolkit::CreateMemoPeer(TMemo&, const TControlLook& look, TControlPeer* parent) {
  auto* memo = new TMemoWidget(look.ctl3D);
  memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memo->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // Tab leaves the output for the next control instead of typing into it.
  memo->setTabChangesFocus(true);
  auto peer = std::make_unique<TQtMemoPeer>(memo, look, ParentWidget(parent));
  AddTabStop(memo);
  return peer;
}

std::unique_ptr<TTimerPeer> TQtToolkit::CreateTimerPeer(TTimer& timer) { return std::make_unique<TQtTimerPeer>(timer); }

void TQtToolkit::MessageDialog(const std::u16string& text, const std::u16string& caption, TMessageIcon icon) {
  QMessageBox box(icon == TMessageIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon, ToQString(caption),
                  ToQString(text), QMessageBox::Ok, window_.data());
  box.exec();
}

}  // namespace kelvo
