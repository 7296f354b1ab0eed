// The Windows program: the native window on the system's own message loop, which also delivers
// the hidden windows' messages (host-name lookups complete through it).
#include "app/startup.h"
#include "platform/module.h"
#include "ui/win32/win32_toolkit.h"

int main() {
  kelvo::RestrictLibrarySearch();
  kelvo::TWin32Toolkit toolkit(GetModuleHandleW(nullptr));
  return kelvo::RunMainWindow(toolkit, [&toolkit] { return toolkit.Run(); });
}
