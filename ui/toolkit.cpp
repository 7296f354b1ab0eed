#include "ui/toolkit.h"

#include <algorithm>

#include "platform/exception.h"
#include "platform/text.h"

namespace kelvo {

namespace {

std::u16string WithFullStop(std::u16string message) {
  if (message.empty() || message.back() > u'.') message += u'.';
  return message;
}

}  // namespace

void ShowMessage(TToolkit& toolkit, const std::u16string& text) {
  toolkit.MessageDialog(text, kApplicationTitle, TMessageIcon::None);
}

std::u16string ErrorBoxText(const std::exception& error) {
  if (const auto* own = dynamic_cast<const Exception*>(&error)) return WithFullStop(own->Message());
  return WithFullStop(FromUtf8(error.what()));
}

void ShowCurrentException(TToolkit& toolkit) {
  std::u16string text;
  try {
    throw;
  } catch (const std::exception& error) {
    text = ErrorBoxText(error);
  } catch (...) {
    // Not ours and not the library's; the program goes on all the same.
    text = WithFullStop(u"Unknown error");
  }
  toolkit.MessageDialog(text, kApplicationTitle, TMessageIcon::Error);
}

bool IsTabStop(const TControlDefinition& control) {
  return control.kind == TControlKind::Button || control.kind == TControlKind::Edit ||
         control.kind == TControlKind::Memo;
}

std::u16string AccessibleName(const TControlDefinition& control) {
  if (!control.accessibleName.empty()) return control.accessibleName;
  // An edit's caption is its text, not its name.
  if (control.kind == TControlKind::Button || control.kind == TControlKind::Label) return control.caption;
  return {};
}

// ---- TControl ----

TControl::TControl(TForm& owner, const TControlDefinition& definition)
    : owner_(owner), definition_(definition), visible_(definition.visible) {}

void TControl::SetVisible(bool visible) {
  visible_ = visible;
  Peer().SetVisible(visible);
  if (parent_ == nullptr) owner_.AutoSize();
}

void TControl::Click() {
  owner_.Dispatch([this] {
    if (OnClick) OnClick(this);
  });
}

void TControl::MouseDown(TMouseButton button, int x, int y) {
  owner_.Dispatch([&] {
    if (OnMouseDown) OnMouseDown(this, button, x, y);
  });
}

void TControl::MouseUp(TMouseButton button, int x, int y) {
  owner_.Dispatch([&] {
    if (OnMouseUp) OnMouseUp(this, button, x, y);
  });
}

void TControl::PressEnter() {
  if (definition_.kind == TControlKind::Button) {
    Click();
  } else if (!definition_.defaultButton.empty()) {
    owner_.FindControl(definition_.defaultButton)->Click();
  }
}

void TControl::MouseReleased(TMouseButton button, int x, int y, bool inside) {
  if (button == TMouseButton::Left && inside) Click();
  MouseUp(button, x, y);
}

TLabel::TLabel(TForm& owner, const TControlDefinition& definition)
    : TControl(owner, definition), fontColor_(definition.font ? definition.font->color : clWindowText) {}

void TLabel::SetFontColor(TColor color) {
  fontColor_ = color;
  peer_->SetFontColor(color);
}

// ---- TTimer ----

TTimer::TTimer(TForm& owner, std::u16string name)
    : owner_(owner), name_(std::move(name)), peer_(owner.Toolkit().CreateTimerPeer(*this)) {}

TTimer::~TTimer() = default;

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Restart();
}

void TTimer::SetInterval(unsigned interval) {
  if (interval == interval_) return;
  interval_ = interval;
  Restart();
}

void TTimer::Restart() {
  if (enabled_ && interval_ != 0) {
    peer_->Start(interval_);
  } else {
    peer_->Stop();
  }
}

void TTimer::Tick() {
  owner_.Dispatch([this] {
    if (OnTimer) OnTimer(this);
  });
}

// ---- TForm ----

TForm::TForm(TToolkit& toolkit, const TFormDefinition& definition)
    : toolkit_(toolkit), definition_(definition), window_(toolkit.CreateWindowPeer(*this, definition)) {
  for (const TControlDefinition& control : definition.controls) CreateControl(control);
  AutoSize();
}

TForm::~TForm() {
  // Children before their parents: a backend's parent widget may own its children's widgets.
  while (!controls_.empty()) controls_.pop_back();
}

void TForm::CreateControl(const TControlDefinition& definition) {
  TControl* parent = definition.parent.empty() ? nullptr : FindControl(definition.parent);
  TControlLook look{&definition, definition_.font, true};
  if (parent != nullptr) look.ctl3D = parent->definition_.ctl3D;
  // The nearest ancestor that has a font of its own gives it, else the form.
  for (const TControl* from = parent; from != nullptr && !definition.font; from = from->parent_) {
    if (from->definition_.font) {
      look.font = *from->definition_.font;
      break;
    }
  }
  if (definition.font) look.font = *definition.font;
  TControlPeer* parentPeer = parent != nullptr ? &parent->Peer() : nullptr;

  std::unique_ptr<TControl> control;
  switch (definition.kind) {
    case TControlKind::Panel:
      control = Build<TPanel>(definition, [&](TPanel& c) { return toolkit_.CreatePanelPeer(c, look, parentPeer); });
      break;
    case TControlKind::Image:
      control = Build<TImage>(definition, [&](TImage& c) { return toolkit_.CreateImagePeer(c, look, parentPeer); });
      break;
    case TControlKind::Label:
      control = Build<TLabel>(definition, [&](TLabel& c) { return toolkit_.CreateLabelPeer(c, look, parentPeer); });
      break;
    case TControlKind::Button:
      control = Build<TButton>(definition, [&](TButton& c) { return toolkit_.CreateButtonPeer(c, look, parentPeer); });
      break;
    case TControlKind::Edit:
      control = Build<TEdit>(definition, [&](TEdit& c) { return toolkit_.CreateEditPeer(c, look, parentPeer); });
      break;
    case TControlKind::Memo:
      control = Build<TMemo>(definition, [&](TMemo& c) { return toolkit_.CreateMemoPeer(c, look, parentPeer); });
      break;
  }
  control->parent_ = parent;
  controls_.push_back(std::move(control));
}

TControl* TForm::FindControl(const std::u16string& name) const {
  for (const auto& control : controls_) {
    if (control->Name() == name) return control.get();
  }
  throw Exception(u"Control " + name + u" not found");
}

void TForm::ThrowWrongKind(const std::u16string& name) {
  throw Exception(u"Control " + name + u" is of another kind");
}

void TForm::AutoSize() {
  int width = 0;
  int height = 0;
  for (const auto& control : controls_) {
    if (control->parent_ != nullptr || !control->visible_) continue;
    const TBounds& b = control->Bounds();
    width = std::max(width, b.left + b.width);
    height = std::max(height, b.top + b.height);
  }
  clientWidth_ = width;
  clientHeight_ = height;
  window_->SetClientSize(width, height);
}

void TForm::RequestSize(int, int) { AutoSize(); }

void TForm::RequestHeight(int) { AutoSize(); }

void TForm::Resized() {
  Dispatch([this] {
    if (OnResize) OnResize(this);
  });
  AutoSize();
}

void TForm::Dispatch(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    ShowCurrentException(toolkit_);
  }
}

}  // namespace kelvo
