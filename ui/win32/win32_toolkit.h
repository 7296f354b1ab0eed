// The native Win32 backend of the GUI seam: the main window, its panels and every control are
// the system's own windows (STATIC, BUTTON, EDIT), so a Windows user gets the look, the keyboard
// and the accessibility of an ordinary Windows program. The GUI thread's message loop runs here
// too; it also delivers the messages of the hidden windows, such as finished host-name lookups.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "ui/toolkit.h"

struct IAccPropServices;

namespace kelvo {

class TWin32Toolkit : public TToolkit {
 public:
  // `instance` holds the resources: the icon and the pictures the window definition names.
  explicit TWin32Toolkit(HINSTANCE instance);
  ~TWin32Toolkit() override;
  TWin32Toolkit(const TWin32Toolkit&) = delete;
  TWin32Toolkit& operator=(const TWin32Toolkit&) = delete;

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
  void MessageDialog(const std::u16string& text, const std::u16string& caption, TMessageIcon icon) override;

  // Runs the GUI thread's message loop until the main window is closed; the loop's exit status.
  int Run();

  // The window definition is laid out at 96 dots per inch; the program is aware of the screen's
  // resolution, per monitor where the system offers it, and scales by it.
  int Scaled(int pixels) const;

  // Shared drawing objects, made once per resolution and freed with the toolkit (after every
  // window).
  HFONT Font(const TFont& font);
  HBRUSH Brush(TColor color);
  HBITMAP Picture(const std::u16string& name);
  HINSTANCE Instance() const { return instance_; }
  // Control identifiers from 100 up: none is taken for the dialog keyboard's IDOK or IDCANCEL.
  INT_PTR NextControlId();
  // What a screen reader is told of the control beyond its window text: the definition's accessible
  // name, a link's role. Unannotate before the window is destroyed.
  void Annotate(HWND window, const TControlDefinition& control);
  void Unannotate(HWND window);

 private:
  friend class TWin32WindowPeer;
  HWND ParentWindow(TControlPeer* parent) const;
  // The main window moved to a screen of another resolution: every control to its new place and
  // size, in new fonts and pictures.
  void ChangeDpi(int dpi);

  HINSTANCE instance_;
  HWND window_ = nullptr;
  int dpi_ = 96;  // the window definition's own, until the main window takes its screen's
  std::map<std::tuple<std::u16string, int, bool>, HFONT> fonts_;
  std::map<COLORREF, HBRUSH> brushes_;
  std::map<std::u16string, HBITMAP> pictures_;
  INT_PTR nextControlId_ = 100;
  bool comStarted_ = false;
  IAccPropServices* annotations_ = nullptr;
};

}  // namespace kelvo
