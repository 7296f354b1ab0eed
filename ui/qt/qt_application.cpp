#include "ui/qt/qt_application.h"

#include <QApplication>
#include <QFont>
#include <QIcon>

#include "ui/qt/qt_toolkit.h"

namespace kelvo {

struct TQtApplication::Impl {
  Impl(int& argc, char** argv) : application(argc, argv) {}
  QApplication application;
  TQtToolkit toolkit;
};

TQtApplication::TQtApplication(int& argc, char** argv) : impl_(std::make_unique<Impl>(argc, argv)) {
  QApplication::setApplicationName(QStringLiteral("kelvo"));
  // Ties the window to kelvo.desktop: its taskbar entry and icon.
  QApplication::setDesktopFileName(QStringLiteral("kelvo"));
  QApplication::setWindowIcon(QIcon(BuiltInPicture(QStringLiteral("kelvo.png"))));
  // Where Tahoma is missing, a face as narrow as it keeps the captions inside their buttons.
  QFont::insertSubstitutions(QStringLiteral("Tahoma"),
                             {QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Nimbus Sans Narrow"),
                              QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Nimbus Sans")});
}

TQtApplication::~TQtApplication() = default;

TToolkit& TQtApplication::Toolkit() { return impl_->toolkit; }

int TQtApplication::Run() { return QApplication::exec(); }

}  // namespace kelvo
