// Start-up of the Qt application: the application object, its icon and the event loop. Free of
// Qt headers so that the program's start-up stays toolkit-neutral.
#pragma once

#include <memory>

#include "ui/toolkit.h"

namespace kelvo {

class TQtApplication {
 public:
  TQtApplication(int& argc, char** argv);
  ~TQtApplication();
  TQtApplication(const TQtApplication&) = delete;
  TQtApplication& operator=(const TQtApplication&) = delete;

  TToolkit& Toolkit();
  // Runs the event loop until the last window is closed; the loop's exit status.
  int Run();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo
