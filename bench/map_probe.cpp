// Starts a program on the current X display and reports when its first window is mapped, and
// the program's resident memory once it has settled, then ends it. One line:
//   mapped_ms <time from the start to the map> rss_kb <VmRSS half a second later> libs <shared
//   libraries mapped then>
// Usage: map_probe PROGRAM [ARGS...]. The display must hold no other programs' windows coming up.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace {

long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

// Distinct files mapped whose name says shared library (the program's own file aside).
int SharedLibraries(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::set<std::string> libraries;
  std::string line;
  while (std::getline(maps, line)) {
    const auto path = line.find('/');
    if (path != std::string::npos && line.find(".so", path) != std::string::npos) libraries.insert(line.substr(path));
  }
  return static_cast<int>(libraries.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PROGRAM [ARGS...]\n", argv[0]);
    return 2;
  }
  xcb_connection_t* display = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(display)) {
    std::fprintf(stderr, "no X display\n");
    return 1;
  }
  // Without a window manager every top-level window is a child of the root: its map shows up
  // as a MapNotify of the root's substructure.
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(display)).data->root;
  const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(display, root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(display);

  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::execvp(argv[1], argv + 1);
    ::_exit(127);
  }
  int status = 0;
  for (;;) {
    std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> event(xcb_wait_for_event(display), &std::free);
    if (!event) {
      std::fprintf(stderr, "lost the display\n");
      break;
    }
    if ((event->response_type & 0x7f) != XCB_MAP_NOTIFY) continue;
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("mapped_ms %.1f rss_kb %ld libs %d\n", ms, ResidentKb(child), SharedLibraries(child));
    break;
  }
  ::kill(child, SIGTERM);
  ::waitpid(child, &status, 0);
  xcb_disconnect(display);
  return 0;
}
