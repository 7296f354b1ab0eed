#include "platform/posix/echo/helper_client.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>

#include "platform/posix/system/private_file.h"

namespace kelvo::echo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: a helper built with the sanitizers takes a while to start.
constexpr auto kStartTime = 10s;
// How long past an echo's own time-out its answer may be late before the helper counts as hung.
constexpr auto kGrace = 2s;

struct Helper {
  std::mutex lock;
  std::string path;  // empty: the one among the program's private files
  pid_t pid = -1;
  int fd = -1;
  int users = 0;
  // Answers still to come for echoes whose callers gave up on them, and when the last is due.
  int owed = 0;
  Clock::time_point busyUntil;
};

Helper helper;

enum class Ready { kAnswer, kWake, kTimeOut };

Ready WaitFor(int fd, int wake, Deadline deadline) {
  for (;;) {
    pollfd watch[2]{{wake, POLLIN, 0}, {fd, POLLIN, 0}};
    const timespec wait = TimeLeft(deadline);
    const int ready = ::ppoll(watch, 2, &wait, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (watch[0].revents != 0) return Ready::kWake;
    if (watch[1].revents != 0) return Ready::kAnswer;
    if (ready == 0 || ready < 0) return Ready::kTimeOut;
  }
}

// With `kill`, for a helper that may be busy or hung; an idle one ends when its input closes.
void Stop(bool kill) {
  ::close(helper.fd);
  helper.fd = -1;
  if (kill) ::kill(helper.pid, SIGKILL);
  while (::waitpid(helper.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  helper.pid = -1;
}

int Start() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return errno;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
  ::posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  const std::string path = helper.path.empty() ? PrivateFilePath("kelvo-echo") : helper.path;
  char name[] = "kelvo-echo";
  char* arguments[] = {name, nullptr};
  char* environment[] = {nullptr};
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, arguments, environment);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  if (error != 0) {
    ::close(ends[0]);
    return error;
  }
  helper.pid = pid;
  helper.fd = ends[0];
  helper.owed = 0;
  helper.busyUntil = Clock::now();
  std::uint8_t ready = 0;
  if (WaitFor(helper.fd, -1, Clock::now() + kStartTime) != Ready::kAnswer ||
      ::recv(helper.fd, &ready, 1, MSG_DONTWAIT) != 1 || ready != kReady) {
    Stop(true);  // no raw socket for it either, or no helper at all
    return ENOENT;
  }
  return 0;
}

bool Send(std::span<const std::uint8_t> bytes) {
  ssize_t sent;
  do {
    sent = ::send(helper.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(bytes.size());
}

}  // namespace

int AcquireHelper() {
  std::lock_guard lock(helper.lock);
  if (helper.pid < 0) {
    if (const int error = Start(); error != 0) return error;
  }
  ++helper.users;
  return 0;
}

void ReleaseHelper() {
  std::lock_guard lock(helper.lock);
  if (--helper.users == 0 && helper.pid >= 0) Stop(helper.owed > 0);
}

EchoResult HelperEcho(const HelperRequest& request, int wake, std::vector<std::uint8_t>& data) {
  EchoResult failed;
  EchoResult closed;
  closed.status = ERROR_INVALID_HANDLE;
  std::lock_guard lock(helper.lock);
  if (WaitFor(-1, wake, Clock::now()) == Ready::kWake) return closed;
  const std::vector<std::uint8_t> bytes = EncodeRequest(request);
  // A helper that died while idle is replaced; the request never reached it.
  if (helper.pid < 0 || !Send(bytes)) {
    if (helper.pid >= 0) Stop(true);
    if (Start() != 0) return failed;
    if (!Send(bytes)) {
      Stop(true);
      return failed;
    }
  }
  const auto due = std::max(Clock::now(), helper.busyUntil) + std::chrono::milliseconds(request.timeout);
  for (;;) {
    const Ready ready = WaitFor(helper.fd, wake, due + kGrace);
    if (ready == Ready::kWake) {
      ++helper.owed;
      helper.busyUntil = due;
      return closed;
    }
    if (ready == Ready::kTimeOut) {
      Stop(true);
      return failed;
    }
    data.resize(kMaxAnswerSize);
    const ssize_t n = ::recv(helper.fd, data.data(), data.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    const auto answer = n > 0 && static_cast<std::size_t>(n) <= data.size()
                            ? DecodeAnswer(std::span(data.data(), static_cast<std::size_t>(n)))
                            : std::nullopt;
    if (!answer) {  // died during the echo, or speaks no sense
      Stop(true);
      return failed;
    }
    if (helper.owed > 0) {
      --helper.owed;
      continue;
    }
    return *answer;
  }
}

void UseHelperAt(std::string path) {
  std::lock_guard lock(helper.lock);
  helper.path = std::move(path);
}

}  // namespace kelvo::echo
