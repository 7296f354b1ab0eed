// Start-up: the application, the main window, the event loop. A window that cannot be created
// (a service it needs is missing) is reported in the error box and the program ends.
#include <memory>

#include "app/main_form.h"
#include "platform/qt/qt_application.h"

int main(int argc, char** argv) {
  kelvo::TQtApplication application(argc, argv);
  std::unique_ptr<kelvo::TForm1> Form1;
  try {
    Form1 = std::make_unique<kelvo::TForm1>(application.Toolkit());
  } catch (...) {
    kelvo::ShowCurrentException(application.Toolkit());
    return 1;
  }
  Form1->Show();
  return application.Run();
}
