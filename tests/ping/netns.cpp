#include "tests/ping/netns.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace kelvo::test {
namespace {

std::atomic<int> counter{0};

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

bool IsRoot() { return ::geteuid() == 0; }

bool IcmpSocketOpens() {
  for (const int type : {SOCK_DGRAM, SOCK_RAW}) {
    const int socket = ::socket(AF_INET, type, IPPROTO_ICMP);
    if (socket >= 0) {
      ::close(socket);
      return true;
    }
  }
  return false;
}

Namespace::Namespace(bool datagramPing)
    : name_("kelvo-" + std::to_string(::getpid()) + "-" + std::to_string(++counter)) {
  if (!Run("ip netns add " + name_)) throw std::runtime_error("cannot create namespace " + name_);
  if (!Ip("link set lo up") ||
      (datagramPing && !Sysctl("net.ipv4.ping_group_range='0 2147483647'"))) {
    Run("ip netns delete " + name_);
    throw std::runtime_error("cannot set up namespace " + name_);
  }
}

Namespace::~Namespace() { Run("ip netns delete " + name_); }

bool Namespace::Ip(const std::string& arguments) const { return Run("ip -n " + name_ + " " + arguments); }

bool Namespace::Sysctl(const std::string& setting) const {
  return Run("ip netns exec " + name_ + " sysctl -qw " + setting);
}

void Namespace::Within(const std::function<void()>& body) const {
  std::thread worker([&] {
    const int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) std::abort();
    ::close(fd);
    body();
  });
  worker.join();
}

bool Link(const Namespace& a, const std::string& addressA, const Namespace& b,
          const std::string& addressB, int mtu) {
  // This machine's own network may be 192.0.2.0/24: a namespace holding one of its addresses
  // could answer in its place, so the tests keep to a range of their own.
  if (!addressA.starts_with(kTestNet) || !addressB.starts_with(kTestNet)) return false;
  static std::atomic<int> links{0};
  const std::string end = "kv" + std::to_string(::getpid() % 100000) + "x" + std::to_string(++links);
  const std::string size = mtu > 0 ? " mtu " + std::to_string(mtu) : "";
  return Run("ip link add " + end + "a netns " + a.Name() + size + " type veth peer name " + end + "b netns " +
             b.Name() + size) &&
         a.Ip("addr add " + addressA + " dev " + end + "a") && a.Ip("link set " + end + "a up") &&
         b.Ip("addr add " + addressB + " dev " + end + "b") && b.Ip("link set " + end + "b up");
}

}  // namespace kelvo::test
