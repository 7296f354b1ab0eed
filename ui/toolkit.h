// The GUI seam. Handlers are written against these small control classes; a toolkit backend
// (Qt on Linux, Win32 controls on Windows, the headless one in the tests) supplies a peer for each
// control and feeds user actions back through Click(), MouseDown(), PressEnter() and friends.
// Everything here is toolkit-neutral.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/component.h"
#include "platform/win_types.h"

namespace kelvo {

// Caption of every message box the program shows.
inline constexpr char16_t kApplicationTitle[] = u"Kelvo";

#ifndef _WIN32
// Indexes of the system colours the window definition uses (the platform's own on Windows).
inline constexpr int COLOR_WINDOWTEXT = 8;
inline constexpr int COLOR_3DLIGHT = 22;
#endif

// An RGB colour, or one of the system's colours that the backend resolves.
struct TColor {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  int systemIndex = -1;

  static constexpr TColor Rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) { return {r, g, b, -1}; }
  static constexpr TColor System(int index) { return {0, 0, 0, index}; }
  bool IsSystem() const { return systemIndex >= 0; }
  bool operator==(const TColor&) const = default;
};

inline constexpr TColor clWhite = TColor::Rgb(255, 255, 255);
inline constexpr TColor clBlue = TColor::Rgb(0, 0, 255);
inline constexpr TColor clRed = TColor::Rgb(255, 0, 0);
inline constexpr TColor clPurple = TColor::Rgb(128, 0, 128);
inline constexpr TColor clWindowText = TColor::System(COLOR_WINDOWTEXT);
inline constexpr TColor cl3DLight = TColor::System(COLOR_3DLIGHT);

struct TFont {
  std::u16string name = u"Tahoma";
  int pixelHeight = 11;
  bool underline = false;
  TColor color = clWindowText;
};

// ---- The window definition: data, read once when the form is created. ----

enum class TControlKind { Panel, Label, Button, Edit, Memo, Image };

struct TBounds {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

struct TControlDefinition {
  TControlKind kind = TControlKind::Panel;
  std::u16string name;
  std::u16string parent;  // empty: the form itself
  TBounds bounds;
  std::u16string caption;  // a label's or button's caption, an edit's text
  std::optional<TFont> font;  // none: the parent's font
  TColor color = clWhite;  // background
  bool visible = true;
  // Panels only: flat (false) or 3-D (true) borders of the controls on them.
  bool ctl3D = true;
  std::u16string picture;  // images only: the asset drawn at natural size in the top-left corner
  // Edits, memos and images: what a screen reader calls them (the text of the label beside an edit
  // or a memo, what an image shows).
  std::u16string accessibleName;
  // Edits only: the name of the button that Enter in the edit presses.
  std::u16string defaultButton;
  // Labels only: a link, announced as one and pressed by a click.
  bool link = false;
};

struct TFormDefinition {
  std::u16string name;
  std::u16string caption;
  TColor color = clWhite;
  TFont font;
  // Parents before their children, in reading order: the order is also the tab order, each edit
  // comes right after its label, and siblings that overlap come back to front.
  std::vector<TControlDefinition> controls;
};

// ---- The keyboard and screen readers ----
//
// What every backend realises, from the definition alone:
// - Tab stops are the buttons, edits and memos (IsTabStop). Tab and Shift+Tab visit the showing
//   ones in definition order, wrapping around; hidden controls and controls on hidden panels are
//   never reached; Tab in a memo moves on instead of typing. When the window is first shown the
//   focus is on the first showing tab stop. When the control with the focus is hidden, the focus
//   goes on to the next showing tab stop.
// - Enter on any control with the focus and Space on a button are handed to TControl::PressEnter
//   and TControl::Click: Enter clicks a button or an edit's default button, and does nothing
//   elsewhere (a memo may take it as a line break). Escape does nothing.
// - Every control is announced with AccessibleName, in the role of its kind; a link label as a link
//   whose press action clicks it. The window is announced as a window, named by its caption.
// Qt realises this with focus policies, setTabOrder, setAccessibleName and key handling; Win32
// controls with WS_TABSTOP in creation (= definition) order, WS_EX_CONTROLPARENT panels and
// IsDialogMessageW in the message loop, their window texts and each edit's label created just
// before it.

// Whether the control takes the keyboard focus: buttons, edits and memos.
bool IsTabStop(const TControlDefinition& control);
// What a screen reader calls the control: its accessible name, else a button's or a label's
// caption; empty for panels and for images without one.
std::u16string AccessibleName(const TControlDefinition& control);

// The settled look of one control: the definition with the inherited values filled in.
struct TControlLook {
  const TControlDefinition* definition = nullptr;
  TFont font;
  bool ctl3D = true;  // of the control's own borders
};

// ---- Peers: what a backend implements for each control. ----

class TControlPeer {
 public:
  virtual ~TControlPeer() = default;
  virtual void SetVisible(bool visible) = 0;
};

class TTextPeer : public TControlPeer {
 public:
  virtual std::u16string Text() const = 0;
  virtual void SetText(const std::u16string& text) = 0;
};

class TLabelPeer : public TTextPeer {
 public:
  virtual void SetFontColor(TColor color) = 0;
};

// A multi-line edit: the user may type into it too; lines are separated by "\n".
class TMemoPeer : public TTextPeer {
 public:
  // Adds one line after the last one.
  virtual void AppendLine(const std::u16string& line) = 0;
  virtual void Clear() = 0;
};

// A periodic timer: Start begins a fresh period of `interval` milliseconds, replacing any running
// one; every period's end is reported through TTimer::Tick().
class TTimerPeer {
 public:
  virtual ~TTimerPeer() = default;
  virtual void Start(unsigned interval) = 0;
  virtual void Stop() = 0;
};

class TWindowPeer {
 public:
  virtual ~TWindowPeer() = default;
  virtual void SetClientSize(int width, int height) = 0;
  // Shows the window with the focus on the first showing tab stop.
  virtual void Show() = 0;
  // The platform's window handle where there is one, else null.
  virtual HWND Handle() const = 0;
};

enum class TMessageIcon { None, Error };

class TControl;
class TLabel;
class TMemo;
class TTimer;
class TForm;

class TToolkit {
 public:
  virtual ~TToolkit() = default;
  virtual std::unique_ptr<TWindowPeer> CreateWindowPeer(TForm& form, const TFormDefinition& definition) = 0;
  // `parent` is the peer of the control's parent panel, or null for a control on the form.
  virtual std::unique_ptr<TControlPeer> CreatePanelPeer(TControl& control, const TControlLook& look,
                                                        TControlPeer* parent) = 0;
  virtual std::unique_ptr<TControlPeer> CreateImagePeer(TControl& control, const TControlLook& look,
                                                        TControlPeer* parent) = 0;
  virtual std::unique_ptr<TLabelPeer> CreateLabelPeer(TLabel& control, const TControlLook& look,
                                                      TControlPeer* parent) = 0;
  virtual std::unique_ptr<TTextPeer> CreateButtonPeer(TControl& control, const TControlLook& look,
                                                      TControlPeer* parent) = 0;
  virtual std::unique_ptr<TTextPeer> CreateEditPeer(TControl& control, const TControlLook& look,
                                                    TControlPeer* parent) = 0;
  virtual std::unique_ptr<TMemoPeer> CreateMemoPeer(TMemo& control, const TControlLook& look,
                                                    TControlPeer* parent) = 0;
  virtual std::unique_ptr<TTimerPeer> CreateTimerPeer(TTimer& timer) = 0;
  // Modal: returns when the user has closed the box. One OK button.
  virtual void MessageDialog(const std::u16string& text, const std::u16string& caption, TMessageIcon icon) = 0;
};

// The plain message box of the handlers: the text, no icon, the application's title.
void ShowMessage(TToolkit& toolkit, const std::u16string& text);

// The text the error box shows for an error: its message, with a "." added unless it already
// ends in "." or a character below it.
std::u16string ErrorBoxText(const std::exception& error);
// Shows the error box for the exception being handled (call inside a catch block).
void ShowCurrentException(TToolkit& toolkit);

// ---- Controls ----

enum class TMouseButton { Left, Right, Middle };

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TMouseEvent = std::function<void(TObject* Sender, TMouseButton Button, int X, int Y)>;

class TControl : public TObject {
 public:
  TControl(TForm& owner, const TControlDefinition& definition);

  const std::u16string& Name() const { return definition_.name; }
  const TBounds& Bounds() const { return definition_.bounds; }
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);

  // Called by the backend for the user's actions; a handler's error goes to the error box.
  void Click();
  void MouseDown(TMouseButton button, int x, int y);
  void MouseUp(TMouseButton button, int x, int y);
  // Enter while the control has the focus: a button clicks itself, an edit its default button.
  void PressEnter();
  // The release of a button pressed on a control that reports the mouse (a label): a left
  // release inside the control clicks it first, then the release is reported.
  void MouseReleased(TMouseButton button, int x, int y, bool inside);

  TNotifyEvent OnClick;
  TMouseEvent OnMouseDown;
  TMouseEvent OnMouseUp;

 protected:
  TForm& owner_;

 private:
  friend class TForm;
  virtual TControlPeer& Peer() const = 0;

  const TControlDefinition& definition_;
  TControl* parent_ = nullptr;
  bool visible_;
};

// A control with a plain peer: panels and images.
class TPlainControl : public TControl {
 public:
  using TControl::TControl;

 private:
  friend class TForm;
  TControlPeer& Peer() const override { return *peer_; }
  std::unique_ptr<TControlPeer> peer_;
};

class TPanel : public TPlainControl {
 public:
  using TPlainControl::TPlainControl;
};

class TImage : public TPlainControl {
 public:
  using TPlainControl::TPlainControl;
};

// A control with a text peer: a button's caption, an edit's text.
class TTextControl : public TControl {
 public:
  using TControl::TControl;

 protected:
  std::u16string PeerText() const { return peer_->Text(); }
  void SetPeerText(const std::u16string& text) { peer_->SetText(text); }

 private:
  friend class TForm;
  TControlPeer& Peer() const override { return *peer_; }
  std::unique_ptr<TTextPeer> peer_;
};

class TButton : public TTextControl {
 public:
  using TTextControl::TTextControl;
};

class TEdit : public TTextControl {
 public:
  using TTextControl::TTextControl;
  std::u16string Text() const { return PeerText(); }
  void SetText(const std::u16string& text) { SetPeerText(text); }
};

class TLabel : public TControl {
 public:
  TLabel(TForm& owner, const TControlDefinition& definition);
  TColor FontColor() const { return fontColor_; }
  void SetFontColor(TColor color);

 private:
  friend class TForm;
  TControlPeer& Peer() const override { return *peer_; }
  std::unique_ptr<TLabelPeer> peer_;
  TColor fontColor_;
};

// A multi-line edit. Lines().Add appends one line at the end; the toolkit wraps long lines at
// the control's width and scrolls as it sees fit.
class TMemo : public TControl {
 public:
  class TLines {
   public:
    void Add(const std::u16string& line) { peer_.AppendLine(line); }
    void Clear() { peer_.Clear(); }

   private:
    friend class TMemo;
    explicit TLines(TMemoPeer& peer) : peer_(peer) {}
    TMemoPeer& peer_;
  };

  using TControl::TControl;
  std::u16string Text() const { return peer_->Text(); }
  TLines Lines() const { return TLines(*peer_); }

 private:
  friend class TForm;
  TControlPeer& Peer() const override { return *peer_; }
  std::unique_ptr<TMemoPeer> peer_;
};

// A non-visual periodic timer of a form; OnTimer runs as a GUI event of the form. Assigning the
// value a property already has leaves a running timer alone; enabling starts a fresh period and
// a new interval restarts the period of a running timer. Starts disabled, at 1000 milliseconds.
class TTimer : public TObject {
 public:
  TTimer(TForm& owner, std::u16string name);
  ~TTimer() override;
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  const std::u16string& Name() const { return name_; }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  unsigned Interval() const { return interval_; }
  void SetInterval(unsigned interval);

  // Called by the backend at the end of each period.
  void Tick();

  TNotifyEvent OnTimer;

 private:
  // Runs while enabled with a non-zero interval.
  void Restart();

  TForm& owner_;
  std::u16string name_;
  bool enabled_ = false;
  unsigned interval_ = 1000;
  std::unique_ptr<TTimerPeer> peer_;
};

// The auto-sizing main window: its client area is always the bounding box of its visible
// top-level panels. A derived form finds its controls with Find<T>(name) and binds its handlers.
class TForm : public TObject {
 public:
  TForm(TToolkit& toolkit, const TFormDefinition& definition);
  ~TForm() override;
  TForm(const TForm&) = delete;
  TForm& operator=(const TForm&) = delete;

  TToolkit& Toolkit() const { return toolkit_; }
  HWND Handle() const { return window_->Handle(); }
  int ClientWidth() const { return clientWidth_; }
  int ClientHeight() const { return clientHeight_; }
  void Show() { window_->Show(); }

  // Asks for an outer size; auto-size has the last word, so the client area stays the bounding
  // box of the visible panels.
  void RequestSize(int outerWidth, int outerHeight);
  void RequestHeight(int outerHeight);

  // Called by the backend when the user or the window manager resized the window.
  void Resized();
  TNotifyEvent OnResize;

  // Runs a handler as a GUI event: an error escaping it is shown in the error box.
  void Dispatch(const std::function<void()>& handler);

 protected:
  template <class T>
  T* Find(const std::u16string& name) const {
    T* control = dynamic_cast<T*>(FindControl(name));
    if (control == nullptr) ThrowWrongKind(name);
    return control;
  }

 private:
  friend class TControl;
  TControl* FindControl(const std::u16string& name) const;
  [[noreturn]] static void ThrowWrongKind(const std::u16string& name);
  void CreateControl(const TControlDefinition& definition);
  template <class T, class MakePeer>
  std::unique_ptr<TControl> Build(const TControlDefinition& definition, MakePeer makePeer) {
    auto control = std::make_unique<T>(*this, definition);
    control->peer_ = makePeer(*control);
    return control;
  }
  void AutoSize();

  TToolkit& toolkit_;
  const TFormDefinition& definition_;
  std::unique_ptr<TWindowPeer> window_;
  std::vector<std::unique_ptr<TControl>> controls_;
  int clientWidth_ = 0;
  int clientHeight_ = 0;
};

}  // namespace kelvo
