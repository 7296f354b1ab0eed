// Network namespaces made by a test, so that time-outs, routers and unreachable hosts exist
// only there. Every namespace is deleted when its object goes, whatever the test's outcome.
#pragma once

#include <functional>
#include <string>

namespace kelvo::test {

// Namespaces need root; the tests that use them cannot run without it, for this reason.
bool IsRoot();
inline constexpr const char* kNeedsRoot = "needs root for network namespaces and raw sockets";
// Can this process open an ICMP socket of either kind the echo service uses? Without one its
// echoes go through the helper, which has its capability only once installed.
bool IcmpSocketOpens();
inline constexpr const char* kNoIcmpRights = "no rights to ICMP sockets";

class Namespace {
 public:
  // A fresh namespace with its loopback up. `datagramPing` admits every group to the
  // unprivileged ICMP socket there; otherwise the echo service must take a raw socket.
  explicit Namespace(bool datagramPing = false);
  ~Namespace();
  Namespace(const Namespace&) = delete;
  Namespace& operator=(const Namespace&) = delete;

  const std::string& Name() const { return name_; }
  // Runs "ip <arguments>" inside the namespace; true on success.
  bool Ip(const std::string& arguments) const;
  bool Sysctl(const std::string& setting) const;
  // Runs `body` on a thread that has entered the namespace, and waits for it.
  void Within(const std::function<void()>& body) const;

 private:
  std::string name_;
};

// The addresses of the test namespaces: 198.51.100.0/24 and nothing else.
inline constexpr const char* kTestNet = "198.51.100.";

// Joins two namespaces with a veth pair and gives each end an address ("198.51.100.1/24"),
// false for one outside kTestNet; `mtu` 0 keeps the default.
bool Link(const Namespace& a, const std::string& addressA, const Namespace& b,
          const std::string& addressB, int mtu = 0);

}  // namespace kelvo::test
