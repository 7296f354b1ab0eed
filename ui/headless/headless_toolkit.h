// A toolkit without a display, for the tests: it remembers what the program showed and lets a
// test act as the user, addressing controls by their names in the window definition.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ui/toolkit.h"

namespace kelvo {

class THeadlessToolkit : public TToolkit {
 public:
  struct Box {
    std::u16string text;
    std::u16string caption;
    TMessageIcon icon;
  };

  THeadlessToolkit();
  ~THeadlessToolkit() override;

  std::unique_ptr<TWindowPeer> CreateWindowPeer(TForm& form, const TFormDefinition& definition) override;
  std::unique_ptr<TControlPeer> CreatePanelPeer(TControl& control, const TControlLook& look,
                                                TControlPeer* parent) override;
  std::unique_ptr<TControlPeer> CreateImagePeer(TControl& control, const TControlLook& look,
                                                TControlPeer* parent) override;
  std::unique_ptr<TLabelPeer> CreateLabelPeer(TLabel& control, const TControlLook& look,
                                              TControlPeer* parent) override;
  std::unique_ptr<TTextPeer> CreateButtonPeer(TControl& control, const TControlLook& look,
                                              TControlPeer* parent) override;
  std::unique_ptr<TTextPeer> CreateEditPeer(TControl& control, const TControlLook& look,
                                            TControlPeer* parent) override;
  std::unique_ptr<TMemoPeer> CreateMemoPeer(TMemo& control, const TControlLook& look,
                                            TControlPeer* parent) override;
  std::unique_ptr<TTimerPeer> CreateTimerPeer(TTimer& timer) override;
  // Records the box and closes it at once; OnMessageBox runs while it is "open".
  void MessageDialog(const std::u16string& text, const std::u16string& caption, TMessageIcon icon) override;

  std::function<void(const Box&)> OnMessageBox;
  const std::vector<Box>& Boxes() const { return boxes_; }

  // What the program set on a control; Showing() also needs every parent visible.
  bool Visible(const std::u16string& name) const;
  bool Showing(const std::u16string& name) const;
  std::u16string Text(const std::u16string& name) const;
  TColor FontColor(const std::u16string& name) const;
  const TControlLook& Look(const std::u16string& name) const;
  // A memo's text split at its line breaks.
  std::vector<std::u16string> Lines(const std::u16string& name) const;

  // Timers, by name: whether a period runs, its length, how many fresh periods were started;
  // FireTimer ends the running period as if its time had passed.
  bool TimerRunning(const std::u16string& name) const;
  unsigned TimerInterval(const std::u16string& name) const;
  int TimerPeriodsStarted(const std::u16string& name) const;
  void FireTimer(const std::u16string& name);

  // The user's actions, on controls that are showing; a click focuses a tab stop.
  void Type(const std::u16string& name, const std::u16string& text);
  void Click(const std::u16string& name);
  void MouseDown(const std::u16string& name);
  void MouseUp(const std::u16string& name);
  void ResizeByUser(int clientWidth, int clientHeight);

  // The keyboard, as the backends realise it (see toolkit.h): keys go to the control with the
  // focus, named by Focused() (empty before the window is shown).
  enum class Key { Tab, ShiftTab, Enter, Space, Escape };
  void Press(Key key);
  std::u16string Focused() const;

  int ClientWidth() const;
  int ClientHeight() const;
  bool WindowShown() const;

 private:
  class Peer;
  class MemoPeer;
  class TimerPeer;
  class Window;
  Peer& Find(const std::u16string& name) const;
  TimerPeer& FindTimer(const std::u16string& name) const;
  // Only what is on screen can be typed into or clicked.
  Peer& Reachable(const std::u16string& name) const;
  std::unique_ptr<Peer> Make(TControl& control, const TControlLook& look, TControlPeer* parent);
  // To the next (or previous) showing tab stop in definition order, wrapping around.
  void MoveFocus(bool forward);

  std::map<std::u16string, Peer*> peers_;
  std::vector<Peer*> order_;  // as created: definition order
  Peer* focused_ = nullptr;
  std::map<std::u16string, TimerPeer*> timers_;
  Window* window_ = nullptr;
  std::vector<Box> boxes_;
};

}  // namespace kelvo
