// Start-up, toolkit-neutral: the main window is made, shown and run by the loop; a window that
// cannot be made (the echo engine is missing a service) is reported in the error box before the
// program ends with a failure status.
#pragma once

#include <functional>

#include "ui/toolkit.h"

namespace kelvo {

// The loop's exit status, or 1 when the main window could not be made.
int RunMainWindow(TToolkit& toolkit, const std::function<int()>& runLoop);

}  // namespace kelvo
