#include "app/startup.h"

#include <memory>

#include "app/main_form.h"

namespace kelvo {

int RunMainWindow(TToolkit& toolkit, const std::function<int()>& runLoop) {
  std::unique_ptr<TForm1> Form1;
  try {
    Form1 = std::make_unique<TForm1>(toolkit);
  } catch (...) {
    ShowCurrentException(toolkit);
    return 1;
  }
  Form1->Show();
  return runLoop();
}

}  // namespace kelvo
