// The Qt 6 Widgets backend of the GUI seam.
#pragma once

#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include "ui/toolkit.h"

namespace kelvo {

// A picture built into the program (":/kelvo/<name>"), read as the format its name ends in.
QPixmap BuiltInPicture(const QString& name);

class TQtToolkit : public TToolkit {
 public:
  TQtToolkit();
  ~TQtToolkit() override;
  TQtToolkit(const TQtToolkit&) = delete;
  TQtToolkit& operator=(const TQtToolkit&) = delete;

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

 private:
  QWidget* ParentWidget(TControlPeer* parent) const;
  // Chains the widget after the tab stop created before it.
  void AddTabStop(QWidget* widget);

  QPointer<QWidget> window_;
  QPointer<QWidget> lastTabStop_;
};

}  // namespace kelvo
