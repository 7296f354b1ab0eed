// The desktop's "open" is xdg-open. It is started through a shell that puts it in the
// background and exits at once, so we reap our only child right away and never leave a zombie
// or wait for the browser. The shell first makes sure there is an xdg-open at all, so that a
// desktop without one is told apart from a started one.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/shell.h"
#include "platform/text.h"

extern char** environ;

namespace kelvo {

namespace {

constexpr std::uintptr_t kShellSuccess = 42;  // any value above 32 means success
constexpr std::uintptr_t kShellNoAssociation = 31;
constexpr std::uintptr_t kShellFailure = 0;

HINSTANCE ShellResult(std::uintptr_t code) { return reinterpret_cast<HINSTANCE>(code); }

// The platform's shell takes "www.example.net/" for a web address; xdg-open would look for a
// file of that name, so such an address gets its scheme here.
std::string DesktopTarget(LPCWSTR file) {
  std::string target = ToUtf8(file);
  if (target.starts_with("www.") && target.find("://") == std::string::npos) target.insert(0, "http://");
  return target;
}

HINSTANCE OpenWithDesktop(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR, LPCWSTR, int) {
  if (file == nullptr || (verb != nullptr && std::u16string_view(verb) != u"open")) {
    return ShellResult(kShellNoAssociation);
  }
  const std::string target = DesktopTarget(file);
  char sh[] = "/bin/sh";
  char dashC[] = "-c";
  char script[] = "command -v xdg-open >/dev/null || exit 127; xdg-open \"$1\" >/dev/null 2>&1 </dev/null &";
  char name[] = "kelvo-open";
  char* argv[] = {sh, dashC, script, name, const_cast<char*>(target.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, sh, nullptr, nullptr, argv, environ) != 0) return ShellResult(kShellFailure);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return ShellResult(kShellNoAssociation);
  return ShellResult(kShellSuccess);
}

}  // namespace

template <>
ShellApi& ServiceTable<ShellApi>() {
  static ShellApi api{.ShellExecuteW = OpenWithDesktop};
  return api;
}

}  // namespace kelvo
