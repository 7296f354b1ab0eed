#include "ui/headless/headless_toolkit.h"

#include <algorithm>

#include "platform/exception.h"

namespace kelvo {

// One kind of peer serves every control; each control uses only its own part of it.
class THeadlessToolkit::Peer : public TLabelPeer {
 public:
  Peer(THeadlessToolkit& toolkit, TControl& control, const TControlLook& look, Peer* parent)
      : toolkit_(toolkit),
        control_(control),
        look_(look),
        parent_(parent),
        text_(look.definition->caption),
        visible_(look.definition->visible),
        fontColor_(look.font.color) {
    toolkit_.peers_[control.Name()] = this;
    toolkit_.order_.push_back(this);
  }
  ~Peer() override {
    toolkit_.peers_.erase(control_.Name());
    std::erase(toolkit_.order_, this);
    if (toolkit_.focused_ == this) toolkit_.focused_ = nullptr;
  }

  void SetVisible(bool visible) override {
    visible_ = visible;
    if (toolkit_.focused_ != nullptr && !toolkit_.focused_->Showing()) toolkit_.MoveFocus(true);
  }
  std::u16string Text() const override { return text_; }
  void SetText(const std::u16string& text) override { text_ = text; }
  void SetFontColor(TColor color) override { fontColor_ = color; }

  bool Showing() const { return visible_ && (parent_ == nullptr || parent_->Showing()); }

  THeadlessToolkit& toolkit_;
  TControl& control_;
  TControlLook look_;
  Peer* parent_;
  std::u16string text_;
  bool visible_;
  TColor fontColor_;
};

// A memo keeps its text in an ordinary peer, so that tests and the user reach it by name.
class THeadlessToolkit::MemoPeer : public TMemoPeer {
 public:
  explicit MemoPeer(std::unique_ptr<Peer> peer) : peer_(std::move(peer)) {}

  void SetVisible(bool visible) override { peer_->SetVisible(visible); }
  std::u16string Text() const override { return peer_->text_; }
  void SetText(const std::u16string& text) override { peer_->text_ = text; }
  void AppendLine(const std::u16string& line) override {
    if (!peer_->text_.empty()) peer_->text_ += u'\n';
    peer_->text_ += line;
  }
  void Clear() override { peer_->text_.clear(); }

 private:
  std::unique_ptr<Peer> peer_;
};

class THeadlessToolkit::TimerPeer : public TTimerPeer {
 public:
  TimerPeer(THeadlessToolkit& toolkit, TTimer& timer) : toolkit_(toolkit), timer_(timer) {
    toolkit_.timers_[timer.Name()] = this;
  }
  ~TimerPeer() override { toolkit_.timers_.erase(timer_.Name()); }

  void Start(unsigned interval) override {
    running_ = true;
    interval_ = interval;
    ++periods_;
  }
  void Stop() override { running_ = false; }

  THeadlessToolkit& toolkit_;
  TTimer& timer_;
  bool running_ = false;
  unsigned interval_ = 0;
  int periods_ = 0;
};

class THeadlessToolkit::Window : public TWindowPeer {
 public:
  Window(THeadlessToolkit& toolkit, TForm& form) : toolkit_(toolkit), form_(form) { toolkit_.window_ = this; }
  ~Window() override { toolkit_.window_ = nullptr; }

  void SetClientSize(int width, int height) override {
    width_ = width;
    height_ = height;
  }
  void Show() override {
    shown_ = true;
    toolkit_.focused_ = nullptr;
    toolkit_.MoveFocus(true);
  }
  // Any distinct non-null value: tests check that it is handed on.
  HWND Handle() const override { return reinterpret_cast<HWND>(const_cast<Window*>(this)); }

  THeadlessToolkit& toolkit_;
  TForm& form_;
  int width_ = 0;
  int height_ = 0;
  bool shown_ = false;
};

THeadlessToolkit::THeadlessToolkit() = default;
THeadlessToolkit::~THeadlessToolkit() = default;

std::unique_ptr<TWindowPeer> THeadlessToolkit::CreateWindowPeer(TForm& form, const TFormDefinition&) {
  return std::make_unique<Window>(*this, form);
}

std::unique_ptr<THeadlessToolkit::Peer> THeadlessToolkit::Make(TControl& control, const TControlLook& look,
                                                               TControlPeer* parent) {
  return std::make_unique<Peer>(*this, control, look, static_cast<Peer*>(parent));
}

std::unique_ptr<TControlPeer> THeadlessToolkit::CreatePanelPeer(TControl& control, const TControlLook& look,
                                                                TControlPeer* parent) {
  return Make(control, look, parent);
}

std::unique_ptr<TControlPeer> THeadlessToolkit::CreateImagePeer(TControl& control, const TControlLook& look,
                                                                TControlPeer* parent) {
  return Make(control, look, parent);
}

std::unique_ptr<TLabelPeer> THeadlessToolkit::CreateLabelPeer(TLabel& control, const TControlLook& look,
                                                              TControlPeer* parent) {
  return Make(control, look, parent);
}

std::unique_ptr<TTextPeer> THeadlessToolkit::CreateButtonPeer(TControl& control, const TControlLook& look,
                                                              TControlPeer* parent) {
  return Make(control, look, parent);
}

std::unique_ptr<TTextPeer> THeadlessToolkit::CreateEditPeer(TControl& control, const TControlLook& look,
                                                            TControlPeer* parent) {
  return Make(control, look, parent);
}

std::unique_ptr<TMemoPeer> THeadlessToolkit::CreateMemoPeer(TMemo& control, const TControlLook& look,
                                                            TControlPeer* parent) {
  return std::make_unique<MemoPeer>(Make(control, look, parent));
}

std::unique_ptr<TTimerPeer> THeadlessToolkit::CreateTimerPeer(TTimer& timer) {
  return std::make_unique<TimerPeer>(*this, timer);
}

void THeadlessToolkit::MessageDialog(const std::u16string& text, const std::u16string& caption, TMessageIcon icon) {
  boxes_.push_back({text, caption, icon});
  if (OnMessageBox) OnMessageBox(boxes_.back());
}

THeadlessToolkit::Peer& THeadlessToolkit::Find(const std::u16string& name) const {
  const auto found = peers_.find(name);
  if (found == peers_.end()) throw Exception(u"No control " + name);
  return *found->second;
}

bool THeadlessToolkit::Visible(const std::u16string& name) const { return Find(name).visible_; }
bool THeadlessToolkit::Showing(const std::u16string& name) const { return Find(name).Showing(); }
std::u16string THeadlessToolkit::Text(const std::u16string& name) const { return Find(name).text_; }
TColor THeadlessToolkit::FontColor(const std::u16string& name) const { return Find(name).fontColor_; }
const TControlLook& THeadlessToolkit::Look(const std::u16string& name) const { return Find(name).look_; }

std::vector<std::u16string> THeadlessToolkit::Lines(const std::u16string& name) const {
  std::vector<std::u16string> lines;
  const std::u16string& text = Find(name).text_;
  if (text.empty()) return lines;
  std::size_t from = 0;
  for (std::size_t end; (end = text.find(u'\n', from)) != std::u16string::npos; from = end + 1) {
    lines.push_back(text.substr(from, end - from));
  }
  lines.push_back(text.substr(from));
  return lines;
}

THeadlessToolkit::TimerPeer& THeadlessToolkit::FindTimer(const std::u16string& name) const {
  const auto found = timers_.find(name);
  if (found == timers_.end()) throw Exception(u"No timer " + name);
  return *found->second;
}

bool THeadlessToolkit::TimerRunning(const std::u16string& name) const { return FindTimer(name).running_; }
unsigned THeadlessToolkit::TimerInterval(const std::u16string& name) const { return FindTimer(name).interval_; }
int THeadlessToolkit::TimerPeriodsStarted(const std::u16string& name) const { return FindTimer(name).periods_; }

void THeadlessToolkit::FireTimer(const std::u16string& name) {
  TimerPeer& timer = FindTimer(name);
  if (!timer.running_) throw Exception(u"The timer " + name + u" is not running");
  timer.timer_.Tick();
}

THeadlessToolkit::Peer& THeadlessToolkit::Reachable(const std::u16string& name) const {
  Peer& peer = Find(name);
  if (!peer.Showing()) throw Exception(u"A user cannot reach the hidden control " + name);
  return peer;
}

void THeadlessToolkit::Type(const std::u16string& name, const std::u16string& text) { Reachable(name).text_ = text; }
void THeadlessToolkit::Click(const std::u16string& name) {
  Peer& peer = Reachable(name);
  // A click gives a tab stop the focus, as on the platforms.
  if (IsTabStop(*peer.look_.definition)) focused_ = &peer;
  peer.control_.Click();
}
void THeadlessToolkit::MouseDown(const std::u16string& name) {
  Reachable(name).control_.MouseDown(TMouseButton::Left, 1, 1);
}
void THeadlessToolkit::MouseUp(const std::u16string& name) {
  Reachable(name).control_.MouseUp(TMouseButton::Left, 1, 1);
}

void THeadlessToolkit::MoveFocus(bool forward) {
  const auto count = static_cast<std::ptrdiff_t>(order_.size());
  const auto at = std::find(order_.begin(), order_.end(), focused_) - order_.begin();
  // With nothing focused, forward starts at the first control and backward at the last.
  const std::ptrdiff_t start = focused_ != nullptr ? at : forward ? -1 : count;
  for (std::ptrdiff_t step = 1; step <= count; ++step) {
    const std::ptrdiff_t next = ((start + (forward ? step : -step)) % count + count) % count;
    Peer* peer = order_[static_cast<std::size_t>(next)];
    if (IsTabStop(*peer->look_.definition) && peer->Showing()) {
      focused_ = peer;
      return;
    }
  }
}

std::u16string THeadlessToolkit::Focused() const { return focused_ != nullptr ? focused_->control_.Name() : u""; }

void THeadlessToolkit::Press(Key key) {
  if (focused_ == nullptr) return;
  switch (key) {
    case Key::Tab:
      MoveFocus(true);
      break;
    case Key::ShiftTab:
      MoveFocus(false);
      break;
    case Key::Enter:
      focused_->control_.PressEnter();
      break;
    case Key::Space:
      if (focused_->look_.definition->kind == TControlKind::Button) focused_->control_.Click();
      break;
    case Key::Escape:
      break;
  }
}

void THeadlessToolkit::ResizeByUser(int clientWidth, int clientHeight) {
  window_->SetClientSize(clientWidth, clientHeight);
  window_->form_.Resized();
}

int THeadlessToolkit::ClientWidth() const { return window_->width_; }
int THeadlessToolkit::ClientHeight() const { return window_->height_; }
bool THeadlessToolkit::WindowShown() const { return window_->shown_; }

}  // namespace kelvo
