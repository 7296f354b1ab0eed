#include "ui/win32/win32_toolkit.h"

#include <commctrl.h>
#include <oleacc.h>

#include "platform/exception.h"
#include "platform/module.h"
#include "platform/text.h"
#include "ui/win32/resources.h"

namespace kelvo {

namespace {

constexpr wchar_t kFormClass[] = L"KelvoForm";
constexpr wchar_t kPanelClass[] = L"KelvoPanel";
// Posted to the main window after a resize the system did not keep to the auto-size result, so
// auto-size answers once it settled.
constexpr UINT kSettleSize = WM_APP + 1;

const wchar_t* Wide(const std::u16string& text) { return WideText(text.c_str()); }

std::u16string WindowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return std::u16string(WideText(text.c_str()));
}

// An edit control breaks its lines with "\r\n"; the program with "\n".
std::u16string ToEditText(const std::u16string& text) {
  std::u16string result;
  for (char16_t c : text) {
    if (c == u'\n') result += u'\r';
    result += c;
  }
  return result;
}

std::u16string FromEditText(const std::u16string& text) {
  std::u16string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')) result += text[i];
  }
  return result;
}

COLORREF ToColorRef(TColor color) {
  return color.IsSystem() ? GetSysColor(color.systemIndex) : RGB(color.red, color.green, color.blue);
}

// Newer than the system level the program is built for.
constexpr UINT kDpiChanged = 0x02E0;  // WM_DPICHANGED

// The resolution the window has now: its screen's where the system scales per monitor (Windows 10
// from 1607 on), else the system's, which a change of scaling alters without a new sign-in.
int WindowDpi(HWND window) {
  using GetDpiForWindowProc = UINT(WINAPI*)(HWND);
  if (const auto forWindow = reinterpret_cast<GetDpiForWindowProc>(
          kelvo::GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow"))) {
    return static_cast<int>(forWindow(window));
  }
  HDC screen = GetDC(nullptr);
  const int result = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return result;
}

[[noreturn]] void ThrowLastError(const std::u16string& what) {
  throw Exception(what + u" failed with error " + DecimalText(GetLastError()));
}

// What every window of the backend keeps in its GWLP_USERDATA slot: the colours it is painted
// with, and the answers to the notifications its parent receives on its behalf.
class TWin32Window {
 public:
  TWin32Window(const TWin32Window&) = delete;
  TWin32Window& operator=(const TWin32Window&) = delete;
  // Messages of the window's last moments find no object any more and take the defaults.
  virtual ~TWin32Window() {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }

  HWND Window() const { return window_; }

  static TWin32Window* Of(HWND window) {
    return reinterpret_cast<TWin32Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  }

  // WM_CTLCOLOR*: the text and background colours of the control.
  HBRUSH Colors(HDC dc) const {
    SetTextColor(dc, text_);
    SetBkColor(dc, ToColorRef(background_));
    return brush_;
  }
  void FillBackground(HDC dc) const {
    RECT client;
    GetClientRect(window_, &client);
    FillRect(dc, &client, brush_);
  }

  // WM_COMMAND from the control: a button was pressed.
  virtual void Notified(WORD) {}
  // The toolkit's resolution changed: place, size and font again.
  virtual void Rescale(TWin32Toolkit&) {}
  // Enter while the control has the focus.
  virtual void Enter() {}

 protected:
  TWin32Window(TWin32Toolkit& toolkit, TColor background, TColor text)
      : background_(background), text_(ToColorRef(text)), brush_(toolkit.Brush(background)) {}

  void Adopt(HWND window) {
    window_ = window;
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }

  HWND window_ = nullptr;
  TColor background_;
  COLORREF text_;
  HBRUSH brush_;
};

// The main window and the panels: they receive their children's notifications.
LRESULT ContainerMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (TWin32Window* child = lParam != 0 ? TWin32Window::Of(reinterpret_cast<HWND>(lParam)) : nullptr) {
        child->Notified(HIWORD(wParam));
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
      if (TWin32Window* child = TWin32Window::Of(reinterpret_cast<HWND>(lParam))) {
        return reinterpret_cast<LRESULT>(child->Colors(reinterpret_cast<HDC>(wParam)));
      }
      break;
    case WM_ERASEBKGND:
      if (TWin32Window* self = TWin32Window::Of(window)) {
        self->FillBackground(reinterpret_cast<HDC>(wParam));
        return 1;
      }
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// A multi-line edit asks its parent to close on Escape, as if the parent were a dialog; a panel
// stays.
LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) return 0;
  return ContainerMessage(window, message, wParam, lParam);
}

// The tab stop after `from` among the showing ones of the main window, wrapping around; the first
// one when `from` is null.
HWND NextTabStop(HWND root, HWND from) { return GetNextDlgTabItem(root, from, FALSE); }

LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure, HICON icon, HICON smallIcon) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = icon;
  windowClass.hIconSm = smallIcon;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = name;
  if (RegisterClassExW(&windowClass) == 0) ThrowLastError(u"RegisterClassExW");
}

HICON LoadIconSized(HINSTANCE instance, int size) {
  return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(KELVO_ICON), IMAGE_ICON, size, size, LR_SHARED));
}

bool OverlapsEarlierSibling(HWND window) {
  RECT own;
  GetWindowRect(window, &own);
  for (HWND sibling = GetWindow(window, GW_HWNDPREV); sibling != nullptr; sibling = GetWindow(sibling, GW_HWNDPREV)) {
    RECT other;
    RECT common;
    GetWindowRect(sibling, &other);
    if (IntersectRect(&common, &own, &other)) return true;
  }
  return false;
}

// A control of the window definition: a child window at its place, in its font and colours.
// Windows made in definition order keep it in the order of their siblings: the Tab order, and each
// edit's label right before it, where screen readers look for its name.
template <class Interface>
class TControlWindow : public Interface, public TWin32Window {
 public:
  ~TControlWindow() override {
    toolkit_.Unannotate(window_);
    if (systemProc_ != nullptr) SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(systemProc_));
  }
  TControlWindow(const TControlWindow&) = delete;
  TControlWindow& operator=(const TControlWindow&) = delete;

  // A hidden control cannot keep the focus: it goes on to the next showing tab stop.
  void SetVisible(bool visible) override {
    HWND focus = GetFocus();
    const bool hadFocus = !visible && focus != nullptr && (focus == window_ || IsChild(window_, focus));
    ShowWindow(window_, visible ? SW_SHOWNA : SW_HIDE);
    if (!hadFocus) return;
    if (HWND next = NextTabStop(GetAncestor(window_, GA_ROOT), window_)) SetFocus(next);
  }
  void Enter() override { control_.PressEnter(); }
  void Rescale(TWin32Toolkit& toolkit) override {
    SetWindowPos(window_, nullptr, toolkit.Scaled(bounds_.left), toolkit.Scaled(bounds_.top), toolkit.Scaled(bounds_.width),
                 toolkit.Scaled(bounds_.height), SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(toolkit.Font(font_)), TRUE);
  }

 protected:
  TControlWindow(TWin32Toolkit& toolkit, TControl& control, const TControlLook& look, HWND parent,
                 const wchar_t* windowClass, DWORD style, DWORD extendedStyle = 0)
      : TWin32Window(toolkit, look.definition->color, look.font.color),
        control_(control),
        bounds_(look.definition->bounds),
        font_(look.font),
        toolkit_(toolkit) {
    const TControlDefinition& definition = *look.definition;
    const TBounds& at = bounds_;
    style |= WS_CHILD | WS_CLIPSIBLINGS | (definition.visible ? WS_VISIBLE : 0) | (IsTabStop(definition) ? WS_TABSTOP : 0);
    HWND window = CreateWindowExW(extendedStyle, windowClass, Wide(ToEditText(definition.caption)), style,
                                  toolkit.Scaled(at.left), toolkit.Scaled(at.top), toolkit.Scaled(at.width),
                                  toolkit.Scaled(at.height), parent,
                                  reinterpret_cast<HMENU>(toolkit.NextControlId()), toolkit.Instance(), nullptr);
    if (window == nullptr) ThrowLastError(u"CreateWindowExW of " + definition.name);
    Adopt(window);
    SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(toolkit.Font(look.font)), FALSE);
    // A later window lies under the earlier ones; one that overlaps them (the link over the logo)
    // is raised. Tab stops overlap nothing, and panels that share a place are never shown together.
    if (!IsTabStop(definition) && definition.kind != TControlKind::Panel && OverlapsEarlierSibling(window_)) {
      SetWindowPos(window_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    toolkit.Annotate(window_, definition);
  }

  // The control's messages go to `procedure` first, which hands the rest to SystemMessage.
  void Subclass(WNDPROC procedure) {
    systemProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
  }
  LRESULT SystemMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
    return CallWindowProcW(systemProc_, window_, message, wParam, lParam);
  }

  TControl& control_;

 private:
  TBounds bounds_;
  TFont font_;
  TWin32Toolkit& toolkit_;
  WNDPROC systemProc_ = nullptr;
};

template <class Interface>
class TTextWindow : public TControlWindow<Interface> {
 public:
  std::u16string Text() const override { return FromEditText(WindowText(this->window_)); }
  void SetText(const std::u16string& text) override { SetWindowTextW(this->window_, Wide(ToEditText(text))); }

 protected:
  using TControlWindow<Interface>::TControlWindow;
};

// Tab walks into the panel's children.
class TPanelWindow : public TControlWindow<TControlPeer> {
 public:
  TPanelWindow(TWin32Toolkit& toolkit, TControl& control, const TControlLook& look, HWND parent)
      : TControlWindow(toolkit, control, look, parent, kPanelClass, WS_CLIPCHILDREN, WS_EX_CONTROLPARENT) {}
};

// The picture at its natural size in the top-left corner: a bitmap static sizes itself to it.
class TImageWindow : public TControlWindow<TControlPeer> {
 public:
  TImageWindow(TWin32Toolkit& toolkit, TControl& control, const TControlLook& look, HWND parent)
      : TControlWindow(toolkit, control, look, parent, L"STATIC", SS_BITMAP), picture_(look.definition->picture) {
    Show(toolkit);
  }
  void Rescale(TWin32Toolkit& toolkit) override {
    TControlWindow::Rescale(toolkit);
    Show(toolkit);
  }

 private:
  void Show(TWin32Toolkit& toolkit) {
    SendMessageW(window_, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(toolkit.Picture(picture_)));
  }

  std::u16string picture_;
};

class TButtonWindow : public TTextWindow<TTextPeer> {
 public:
  TButtonWindow(TWin32Toolkit& toolkit, TControl& control, const TControlLook& look, HWND parent)
      : TTextWindow(toolkit, control, look, parent, L"BUTTON", BS_PUSHBUTTON) {}
  // A click, and Space or Enter on the focused button.
  void Notified(WORD code) override {
    if (code == BN_CLICKED) control_.Click();
  }
};

// A label reports the mouse: its presses and releases.
class TLabelWindow : public TTextWindow<TLabelPeer> {
 public:
  TLabelWindow(TWin32Toolkit& toolkit, TLabel& control, const TControlLook& look, HWND parent)
      : TTextWindow(toolkit, control, look, parent, L"STATIC", SS_LEFT | SS_NOPREFIX | SS_NOTIFY) {
    Subclass(&TLabelWindow::Proc);
  }

  void SetFontColor(TColor color) override {
    text_ = ToColorRef(color);
    InvalidateRect(window_, nullptr, TRUE);
  }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<TLabelWindow*>(TWin32Window::Of(window));
    const int x = static_cast<short>(LOWORD(lParam));
    const int y = static_cast<short>(HIWORD(lParam));
    switch (message) {
      case WM_LBUTTONDOWN:
      case WM_LBUTTONDBLCLK:
        return self->Down(TMouseButton::Left, x, y);
      case WM_RBUTTONDOWN:
      case WM_RBUTTONDBLCLK:
        return self->Down(TMouseButton::Right, x, y);
      case WM_MBUTTONDOWN:
      case WM_MBUTTONDBLCLK:
        return self->Down(TMouseButton::Middle, x, y);
      case WM_LBUTTONUP:
        return self->Up(TMouseButton::Left, x, y);
      case WM_RBUTTONUP:
        return self->Up(TMouseButton::Right, x, y);
      case WM_MBUTTONUP:
        return self->Up(TMouseButton::Middle, x, y);
    }
    return self->SystemMessage(message, wParam, lParam);
  }
  LRESULT Down(TMouseButton button, int x, int y) {
    SetCapture(window_);
    control_.MouseDown(button, x, y);
    return 0;
  }
  LRESULT Up(TMouseButton button, int x, int y) {
    ReleaseCapture();
    RECT client;
    GetClientRect(window_, &client);
    control_.MouseReleased(button, x, y, PtInRect(&client, POINT{x, y}) != FALSE);
    return 0;
  }
};

// Flat borders are a thin line, 3-D ones the sunken edge.
DWORD EditExtendedStyle(const TControlLook& look) { return look.ctl3D ? WS_EX_CLIENTEDGE : 0; }
DWORD EditBorder(const TControlLook& look) { return look.ctl3D ? 0 : WS_BORDER; }

class TEditWindow : public TTextWindow<TTextPeer> {
 public:
  TEditWindow(TWin32Toolkit& toolkit, TControl& control, const TControlLook& look, HWND parent)
      : TTextWindow(toolkit, control, look, parent, L"EDIT", ES_AUTOHSCROLL | EditBorder(look),
                    EditExtendedStyle(look)) {
    // The system's default would cut a text at 30000 characters; the program sets no limit.
    SendMessageW(window_, EM_SETLIMITTEXT, 0, 0);
  }
};

// A multi-line edit wants every key; Tab, Enter and Escape are left to the dialog keyboard, so
// Tab moves on, and Enter and Escape do nothing here.
class TMemoWindow : public TTextWindow<TMemoPeer> {
 public:
  TMemoWindow(TWin32Toolkit& toolkit, TControl& control, const TControlLook& look, HWND parent)
      : TTextWindow(toolkit, control, look, parent, L"EDIT", ES_MULTILINE | ES_AUTOVSCROLL | EditBorder(look),
                    EditExtendedStyle(look)) {
    SendMessageW(window_, EM_SETLIMITTEXT, 0, 0);
    Subclass(&TMemoWindow::Proc);
  }
  // The line goes in at the end and is scrolled into view; what the user has selected stays
  // selected, so a copy of the output is not spoilt by the next line of a run.
  void AppendLine(const std::u16string& line) override {
    DWORD selectionStart = 0;
    DWORD selectionEnd = 0;
    SendMessageW(window_, EM_GETSEL, reinterpret_cast<WPARAM>(&selectionStart),
                 reinterpret_cast<LPARAM>(&selectionEnd));
    const int end = GetWindowTextLengthW(window_);
    SendMessageW(window_, EM_SETSEL, static_cast<WPARAM>(end), end);
    const std::u16string text = (end > 0 ? u"\r\n" : u"") + ToEditText(line);
    SendMessageW(window_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(Wide(text)));
    SendMessageW(window_, EM_SETSEL, selectionStart, static_cast<LPARAM>(selectionEnd));
    SendMessageW(window_, WM_VSCROLL, SB_BOTTOM, 0);
  }
  void Clear() override { SetWindowTextW(window_, L""); }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<TMemoWindow*>(TWin32Window::Of(window));
    LRESULT result = self->SystemMessage(message, wParam, lParam);
    const auto* key = reinterpret_cast<const MSG*>(lParam);
    if (message == WM_GETDLGCODE && key != nullptr && key->message == WM_KEYDOWN &&
        (key->wParam == VK_TAB || key->wParam == VK_RETURN || key->wParam == VK_ESCAPE)) {
      result &= ~(DLGC_WANTALLKEYS | DLGC_WANTTAB | DLGC_WANTMESSAGE);
    }
    return result;
  }
};

// Thread timers of the GUI thread, found again by the identifier the system gave them.
class TThreadTimer : public TTimerPeer {
 public:
  explicit TThreadTimer(TTimer& timer) : timer_(timer) {}
  ~TThreadTimer() override { Stop(); }
  TThreadTimer(const TThreadTimer&) = delete;
  TThreadTimer& operator=(const TThreadTimer&) = delete;

  void Start(unsigned interval) override {
    Stop();
    id_ = SetTimer(nullptr, 0, interval, &TThreadTimer::Elapsed);
    if (id_ == 0) ThrowLastError(u"SetTimer");
    Running()[id_] = this;
  }
  void Stop() override {
    if (id_ == 0) return;
    KillTimer(nullptr, id_);
    Running().erase(id_);
    id_ = 0;
  }

 private:
  static std::map<UINT_PTR, TThreadTimer*>& Running() {
    static std::map<UINT_PTR, TThreadTimer*> running;
    return running;
  }
  // A tick already queued when its timer stopped finds nothing and is dropped.
  static void CALLBACK Elapsed(HWND, UINT, UINT_PTR id, DWORD) {
    const auto found = Running().find(id);
    if (found != Running().end()) found->second->timer_.Tick();
  }

  TTimer& timer_;
  UINT_PTR id_ = 0;
};

}  // namespace

// The main window. Auto-size owns its size: the system keeps every resize (dragging the frame,
// maximizing, another program's) to the auto-size result, so the window never jumps. A size it
// did not keep (an X server without a window manager under Wine resizes without asking) is
// reported to the form, which answers with the auto-size result once the resize has settled.
// Closing it ends the loop; the windows are destroyed with their peers, children first.
class TWin32WindowPeer : public TWindowPeer, public TWin32Window {
 public:
  TWin32WindowPeer(TWin32Toolkit& toolkit, TForm& form, const TFormDefinition& definition)
      : TWin32Window(toolkit, definition.color, definition.font.color), toolkit_(toolkit), form_(form) {
    HWND window = CreateWindowExW(kExtendedStyle, kFormClass, Wide(definition.caption), kStyle, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                  toolkit.Instance(), nullptr);
    if (window == nullptr) ThrowLastError(u"CreateWindowExW of " + definition.name);
    Adopt(window);
    toolkit_.window_ = window_;
    // Opened on a screen of another resolution than the system's, the window is told of no change:
    // its controls take the resolution it has.
    toolkit_.ChangeDpi(WindowDpi(window_));
  }
  ~TWin32WindowPeer() override { toolkit_.window_ = nullptr; }

  void SetClientSize(int width, int height) override {
    clientWidth_ = width;
    clientHeight_ = height;
    wanted_ = {0, 0, toolkit_.Scaled(width), toolkit_.Scaled(height)};
    const SIZE outer = OuterSize();
    SetWindowPos(window_, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // In the middle of the work area of the screen it opens on, the frame included.
  void Show() override {
    MONITORINFO screen{};
    screen.cbSize = sizeof screen;
    GetMonitorInfoW(MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST), &screen);
    const RECT& work = screen.rcWork;
    RECT frame;
    GetWindowRect(window_, &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    SetWindowPos(window_, nullptr, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(window_, SW_SHOWDEFAULT);
    UpdateWindow(window_);
    RestoreFocus();
  }
  HWND Handle() const override { return window_; }

  LRESULT Message(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case WM_GETMINMAXINFO:
        if (wanted_.right > 0) {
          const SIZE outer = OuterSize();
          const POINT size{outer.cx, outer.cy};
          auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
          limits->ptMinTrackSize = size;
          limits->ptMaxTrackSize = size;
          limits->ptMaxSize = size;
          return 0;
        }
        break;
      case WM_WINDOWPOSCHANGING: {
        const auto* position = reinterpret_cast<const WINDOWPOS*>(lParam);
        if (!(position->flags & SWP_NOSIZE) && !settling_ && wanted_.right > 0 && !IsIconic(window_)) {
          const SIZE outer = OuterSize();
          if (position->cx != outer.cx || position->cy != outer.cy) {
            settling_ = PostMessageW(window_, kSettleSize, 0, 0) != FALSE;
          }
        }
        break;
      }
      case kSettleSize:
        settling_ = false;
        if (IsZoomed(window_)) ShowWindow(window_, SW_RESTORE);
        form_.Resized();
        return 0;
      // Moved to a screen of another resolution: the controls scale, the window takes the place the
      // system suggests, where its frame takes the new resolution, and then the auto-size result.
      case kDpiChanged: {
        toolkit_.ChangeDpi(HIWORD(wParam));
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        wanted_ = {0, 0, toolkit_.Scaled(clientWidth_), toolkit_.Scaled(clientHeight_)};
        SetWindowPos(window_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        SetClientSize(clientWidth_, clientHeight_);
        return 0;
      }
      case WM_COMMAND:
        // Enter, from the dialog keyboard of the loop, goes to the control with the focus. Escape
        // (IDCANCEL) is left to the default: nothing.
        if (LOWORD(wParam) == IDOK && lParam == 0) {
          HWND focus = GetFocus();
          if (focus != nullptr && IsChild(window_, focus)) {
            if (TWin32Window* control = TWin32Window::Of(focus)) control->Enter();
          }
          return 0;
        }
        break;
      // As a dialog: the focus leaves with the window and comes back to the same control, e.g.
      // after a message box, else to the first tab stop.
      case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
          HWND focus = GetFocus();
          if (focus != nullptr && IsChild(window_, focus)) focus_ = focus;
        } else if (HIWORD(wParam) == 0) {
          RestoreFocus();
        }
        return 0;
      case WM_SETFOCUS:
        RestoreFocus();
        return 0;
      case WM_CLOSE:
        ShowWindow(window_, SW_HIDE);
        PostQuitMessage(0);
        return 0;
    }
    return ContainerMessage(window_, message, wParam, lParam);
  }

  static constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  static constexpr DWORD kExtendedStyle = WS_EX_CONTROLPARENT | WS_EX_APPWINDOW;

 private:
  // The window's size, the frame included, for the auto-size result: the frame the window has (at
  // its screen's resolution), or as the system reckons it while the window is minimized.
  SIZE OuterSize() const {
    RECT frame;
    RECT client;
    if (!IsIconic(window_) && GetWindowRect(window_, &frame) && GetClientRect(window_, &client)) {
      return {wanted_.right + (frame.right - frame.left) - client.right,
              wanted_.bottom + (frame.bottom - frame.top) - client.bottom};
    }
    RECT outer = wanted_;
    AdjustWindowRectEx(&outer, kStyle, FALSE, kExtendedStyle);
    return {outer.right - outer.left, outer.bottom - outer.top};
  }
  void RestoreFocus() {
    if (focus_ == nullptr || !IsChild(window_, focus_) || !IsWindowVisible(focus_)) focus_ = NextTabStop(window_, nullptr);
    if (focus_ != nullptr) SetFocus(focus_);
  }

  TWin32Toolkit& toolkit_;
  TForm& form_;
  int clientWidth_ = 0;  // the auto-size result, at 96 dots per inch
  int clientHeight_ = 0;
  RECT wanted_{};  // the same, scaled
  bool settling_ = false;
  HWND focus_ = nullptr;  // the control that had the focus when the window was last active
};

namespace {

// Messages that arrive before the window is adopted (WM_CREATE and friends) take the defaults.
LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (auto* form = dynamic_cast<TWin32WindowPeer*>(TWin32Window::Of(window))) {
    return form->Message(message, wParam, lParam);
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

TWin32Toolkit::TWin32Toolkit(HINSTANCE instance) : instance_(instance) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  HICON icon = LoadIconSized(instance_, GetSystemMetrics(SM_CXICON));
  HICON smallIcon = LoadIconSized(instance_, GetSystemMetrics(SM_CXSMICON));
  RegisterWindowClass(instance_, kFormClass, &FormProc, icon, smallIcon);
  RegisterWindowClass(instance_, kPanelClass, &PanelProc, nullptr, nullptr);
  // The exact accessible names go through the system's annotation service; without it (an old
  // system, Wine) the controls keep the names the system gives them: their texts and labels.
  comStarted_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
  if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                              reinterpret_cast<void**>(&annotations_)))) {
    annotations_ = nullptr;
  }
}

TWin32Toolkit::~TWin32Toolkit() {
  if (annotations_ != nullptr) annotations_->Release();
  if (comStarted_) CoUninitialize();
  UnregisterClassW(kPanelClass, instance_);
  UnregisterClassW(kFormClass, instance_);
  for (const auto& [key, font] : fonts_) DeleteObject(font);
  for (const auto& [color, brush] : brushes_) DeleteObject(brush);
  for (const auto& [name, picture] : pictures_) DeleteObject(picture);
}

int TWin32Toolkit::Scaled(int pixels) const { return MulDiv(pixels, dpi_, 96); }

namespace {
BOOL CALLBACK RescaleChild(HWND child, LPARAM toolkit) {
  if (TWin32Window* control = TWin32Window::Of(child)) control->Rescale(*reinterpret_cast<TWin32Toolkit*>(toolkit));
  return TRUE;
}
}  // namespace

// The fonts and pictures of the old resolution go once no control uses them.
void TWin32Toolkit::ChangeDpi(int dpi) {
  if (dpi <= 0 || dpi == dpi_) return;
  dpi_ = dpi;
  const auto fonts = std::exchange(fonts_, {});
  const auto pictures = std::exchange(pictures_, {});
  EnumChildWindows(window_, &RescaleChild, reinterpret_cast<LPARAM>(this));
  for (const auto& [key, font] : fonts) DeleteObject(font);
  for (const auto& [name, picture] : pictures) DeleteObject(picture);
}

HFONT TWin32Toolkit::Font(const TFont& font) {
  HFONT& made = fonts_[{font.name, font.pixelHeight, font.underline}];
  if (made == nullptr) {
    // A negative height is the character height without the leading: the pixels of the definition.
    made = CreateFontW(-Scaled(font.pixelHeight), 0, 0, 0, FW_NORMAL, FALSE, font.underline ? TRUE : FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, Wide(font.name));
    if (made == nullptr) ThrowLastError(u"CreateFontW of " + font.name);
  }
  return made;
}

HBRUSH TWin32Toolkit::Brush(TColor color) {
  const COLORREF value = ToColorRef(color);
  HBRUSH& made = brushes_[value];
  if (made == nullptr) {
    made = CreateSolidBrush(value);
    if (made == nullptr) ThrowLastError(u"CreateSolidBrush");
  }
  return made;
}

// A picture is a bitmap resource named as the asset ("logo.gif"), made from it when building; it is
// drawn at the scaled size, like everything else.
HBITMAP TWin32Toolkit::Picture(const std::u16string& name) {
  HBITMAP& made = pictures_[name];
  if (made == nullptr) {
    HBITMAP natural = static_cast<HBITMAP>(LoadImageW(instance_, Wide(name), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (natural == nullptr) ThrowLastError(u"LoadImageW of " + name);
    BITMAP size{};
    GetObjectW(natural, sizeof size, &size);
    // The original goes with a successful copy.
    made = static_cast<HBITMAP>(CopyImage(natural, IMAGE_BITMAP, Scaled(size.bmWidth), Scaled(size.bmHeight),
                                          LR_CREATEDIBSECTION | LR_COPYDELETEORG));
    if (made == nullptr) {
      const DWORD error = GetLastError();
      DeleteObject(natural);
      SetLastError(error);
      ThrowLastError(u"CopyImage of " + name);
    }
  }
  return made;
}

namespace {
const MSAAPROPID kAnnotatedProperties[] = {PROPID_ACC_NAME, PROPID_ACC_ROLE, PROPID_ACC_STATE};
}  // namespace

INT_PTR TWin32Toolkit::NextControlId() { return nextControlId_++; }

// A failed annotation leaves the system's own name and role: nothing to report.
void TWin32Toolkit::Annotate(HWND window, const TControlDefinition& control) {
  if (annotations_ == nullptr) return;
  if (!control.accessibleName.empty()) {
    annotations_->SetHwndPropStr(window, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME, Wide(control.accessibleName));
  }
  if (control.link) {
    VARIANT value{};
    value.vt = VT_I4;
    value.lVal = ROLE_SYSTEM_LINK;
    annotations_->SetHwndProp(window, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_ROLE, value);
    value.lVal = STATE_SYSTEM_LINKED;
    annotations_->SetHwndProp(window, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_STATE, value);
  }
}

void TWin32Toolkit::Unannotate(HWND window) {
  if (annotations_ == nullptr) return;
  annotations_->ClearHwndProps(window, OBJID_CLIENT, CHILDID_SELF, kAnnotatedProperties,
                               static_cast<int>(std::size(kAnnotatedProperties)));
}

HWND TWin32Toolkit::ParentWindow(TControlPeer* parent) const {
  if (parent == nullptr) return window_;
  return dynamic_cast<TWin32Window&>(*parent).Window();
}

std::unique_ptr<TWindowPeer> TWin32Toolkit::CreateWindowPeer(TForm& form, const TFormDefinition& definition) {
  return std::make_unique<TWin32WindowPeer>(*this, form, definition);
}

std::unique_ptr<TControlPeer> TWin32Toolkit::CreatePanelPeer(TControl& control, const TControlLook& look,
                                                             TControlPeer* parent) {
  return std::make_unique<TPanelWindow>(*this, control, look, ParentWindow(parent));
}

std::unique_ptr<TControlPeer> TWin32Toolkit::CreateImagePeer(TControl& control, const TControlLook& look,
                                                             TControlPeer* parent) {
  return std::make_unique<TImageWindow>(*this, control, look, ParentWindow(parent));
}

std::unique_ptr<TLabelPeer> TWin32Toolkit::CreateLabelPeer(TLabel& control, const TControlLook& look,
                                                           TControlPeer* parent) {
  return std::make_unique<TLabelWindow>(*this, control, look, ParentWindow(parent));
}

std::unique_ptr<TTextPeer> TWin32Toolkit::CreateButtonPeer(TControl& control, const TControlLook& look,
                                                           TControlPeer* parent) {
  return std::make_unique<TButtonWindow>(*this, control, look, ParentWindow(parent));
}

std::unique_ptr<TTextPeer> TWin32Toolkit::CreateEditPeer(TControl& control, const TControlLook& look,
                                                         TControlPeer* parent) {
  return std::make_unique<TEditWindow>(*this, control, look, ParentWindow(parent));
}

std::unique_ptr<TMemoPeer> TWin32Toolkit::CreateMemoPeer(TMemo& control, const TControlLook& look,
                                                         TControlPeer* parent) {
  return std::make_unique<TMemoWindow>(*this, control, look, ParentWindow(parent));
}

std::unique_ptr<TTimerPeer> TWin32Toolkit::CreateTimerPeer(TTimer& timer) {
  return std::make_unique<TThreadTimer>(timer);
}

void TWin32Toolkit::MessageDialog(const std::u16string& text, const std::u16string& caption, TMessageIcon icon) {
  MessageBoxW(window_, Wide(text), Wide(caption), MB_OK | (icon == TMessageIcon::Error ? MB_ICONERROR : 0));
}

int TWin32Toolkit::Run() {
  MSG message;
  for (;;) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(message.wParam);
    if (got == -1) return 1;
    // The dialog keyboard: Tab and Shift+Tab move the focus, Space presses the focused button,
    // Enter goes to the control with the focus (WM_COMMAND IDOK).
    if (window_ != nullptr && IsDialogMessageW(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace kelvo
