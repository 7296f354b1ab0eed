// kelvo-echo: the one part of the program with a privilege. Where neither the unprivileged ICMP
// socket (ping_group_range) nor a raw one is open to the user, the program starts this helper,
// installed with cap_net_raw (else setuid root). It opens its raw ICMP socket, gives up every
// capability and any borrowed identity for good, confines itself to the system calls of its loop,
// and only then reads a request: one echo per request from its standard input (a socket pair,
// helper_protocol.h), paced as the system's ping paces an unprivileged user, until the input
// closes. It reads no environment and no argument.
#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <random>
#include <vector>

#include "platform/posix/echo/helper_protocol.h"
#include "platform/posix/echo/icmp_socket.h"

#ifndef KELVO_ECHO_UNFILTERED
#include <seccomp.h>
#endif

namespace {

using namespace kelvo;

// The shortest interval the system's ping allows an unprivileged user.
constexpr long kIntervalNanoseconds = 2'000'000;

// A setuid-root helper becomes its caller again; then no capability is left in any set and none
// can come back through an exec.
bool DropPrivileges() {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) return false;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[2]{};
  if (::syscall(SYS_capset, &header, none) != 0) return false;
  // Nobody may look into the helper or borrow its socket, though it is the user's again.
  return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

// From here on any system call but those of the loop below ends the helper: whatever a request
// could make it do, it can do nothing else. The memory calls are malloc's for the packets, close
// the socket's at the end; clock_gettime is made where the kernel offers no fast way around it,
// restart_syscall where a stopped helper goes on sleeping or waiting. The last line holds the names
// 32-bit systems give the same calls; elsewhere libseccomp adds nothing for them.
bool ConfineToTheLoop() {
#ifdef KELVO_ECHO_UNFILTERED
  return true;
#else
  const scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_KILL_PROCESS);
  if (filter == nullptr) return false;
  bool confined = true;
  for (const int call : {SCMP_SYS(recvfrom), SCMP_SYS(sendto), SCMP_SYS(recvmsg), SCMP_SYS(ppoll),
                         SCMP_SYS(getsockopt), SCMP_SYS(setsockopt), SCMP_SYS(clock_gettime),
                         SCMP_SYS(clock_nanosleep), SCMP_SYS(restart_syscall), SCMP_SYS(brk),
                         SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(close), SCMP_SYS(exit_group),
                         SCMP_SYS(ppoll_time64), SCMP_SYS(clock_gettime64), SCMP_SYS(clock_nanosleep_time64),
                         SCMP_SYS(mmap2)}) {
    confined = confined && ::seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
  }
  confined = confined && ::seccomp_load(filter) == 0;
  ::seccomp_release(filter);
  return confined;
#endif
}

// Waits until `interval` has passed since the previous send.
void Pace(timespec& next) {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  if (now.tv_sec < next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec < next.tv_nsec)) {
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
    now = next;
  }
  next = now;
  next.tv_nsec += kIntervalNanoseconds;
  if (next.tv_nsec >= 1'000'000'000) {
    next.tv_nsec -= 1'000'000'000;
    ++next.tv_sec;
  }
}

bool Say(std::span<const std::uint8_t> message) {
  ssize_t sent;
  do {
    sent = ::send(STDIN_FILENO, message.data(), message.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(message.size());
}

}  // namespace

int main() {
  // Whatever the caller left open or set is not ours to use.
  ::close_range(3, ~0u, 0);
  ::clearenv();

  // Setuid root, the helper still opens its socket as its caller, whose socket it then is: rules
  // that match the owner of the traffic (a firewall's) hold for these echoes too. The capability
  // alone opens it; the drop below makes these ids the caller's for good.
  ::setfsgid(::getgid());
  ::setfsuid(::getuid());
  echo::IcmpSocket socket;
  const int error = socket.OpenRaw();
  if (!DropPrivileges()) {
    std::fputs("kelvo-echo: cannot give up its privileges\n", stderr);
    return 1;
  }
  if (error != 0) {
    std::fprintf(stderr, "kelvo-echo: no raw ICMP socket: %s\n", std::strerror(error));
    return 1;
  }
  socket.Identify(static_cast<std::uint16_t>(std::random_device()()));
  if (!ConfineToTheLoop()) {
    std::fputs("kelvo-echo: cannot confine itself\n", stderr);
    return 1;
  }
  if (!Say(std::span(&echo::kReady, 1))) return 1;

  std::vector<std::uint8_t> buffer(echo::kMaxRequestSize);
  timespec next{};
  for (;;) {
    // MSG_TRUNC: the length of the whole message, so that an oversized one is told apart.
    const ssize_t n = ::recv(STDIN_FILENO, buffer.data(), buffer.size(), MSG_TRUNC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 ? 0 : 1;  // input closed, or not the socket pair at all
    const auto request = static_cast<std::size_t>(n) <= buffer.size()
                             ? echo::DecodeRequest(std::span(buffer.data(), static_cast<std::size_t>(n)))
                             : std::nullopt;
    echo::EchoResult answer;
    if (request) {
      Pace(next);
      answer = socket.Echo(request->destination, request->payload, request->options, request->timeout);
    } else {
      answer.status = IP_BAD_REQ;
    }
    if (!Say(echo::EncodeAnswer(answer))) return 1;
  }
}
