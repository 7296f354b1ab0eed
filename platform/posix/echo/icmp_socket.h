// One ICMP socket and one echo at a time over it: what the echo service does for a handle that
// has a socket of its own, and what the privileged helper does for a handle that has none.
#pragma once

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/icmp.h"
#include "platform/posix/echo/echo_packet.h"

namespace kelvo::echo {

struct EchoOptions {
  int ttl = -1;  // -1: the system's default
  std::uint8_t tos = 0;
  bool dontFragment = false;
};

// The outcome of one echo. An ICMP error that answers the request counts as a reply, as on the
// platform: `replied`, the error in `status`, its sender in `from`. Otherwise `status` says why
// nothing answered (a time-out, or a local failure).
struct EchoResult {
  bool replied = false;
  DWORD status = IP_GENERAL_FAILURE;
  IPAddr from = 0;
  std::uint8_t ttl = 0;
  std::uint32_t roundTripTime = 0;  // milliseconds
  std::span<const std::uint8_t> data;  // what the reply echoes; valid until the next echo
};

using Deadline = std::chrono::steady_clock::time_point;

// What is left until `deadline`, none once it passed, as ppoll takes it.
timespec TimeLeft(Deadline deadline);

class IcmpSocket {
 public:
  IcmpSocket() = default;
  ~IcmpSocket();
  IcmpSocket(const IcmpSocket&) = delete;
  IcmpSocket& operator=(const IcmpSocket&) = delete;

  // Each returns 0, or the reason (errno) the socket could not be had.
  int OpenDatagram();
  int OpenRaw();
  // A raw socket's replies are told apart by this identifier; the kernel keeps only ours.
  void Identify(std::uint16_t identifier);

  bool IsOpen() const { return fd_ >= 0; }
  bool IsRaw() const { return fd_ >= 0 && !datagram_; }
  std::uint16_t Identifier() const { return identifier_; }

  // Sends one echo request and waits for its answer up to `timeout` ms or until Shutdown. One
  // caller at a time.
  EchoResult Echo(IPAddr destination, std::span<const std::uint8_t> payload, const EchoOptions& options,
                  DWORD timeout);
  // From any thread: ends the echo under way and every later one.
  void Shutdown();

 private:
  enum class Outcome { kMatched, kOther, kEmpty, kFailed };
  bool Configure(const EchoOptions& options);
  void DiscardQueued();
  Outcome ReceiveQueuedError(const Request& request, EchoResult& out);
  Outcome ReceivePacket(const Request& request, IPAddr destination, EchoResult& out);
  Outcome Drain(const Request& request, IPAddr destination, Deadline deadline, EchoResult& out);
  bool WaitForAnswer(const Request& request, IPAddr destination, Deadline deadline, EchoResult& out);

  int fd_ = -1;
  bool datagram_ = false;
  std::uint16_t identifier_ = 0;
  std::uint16_t sequence_ = 0;
  std::atomic<bool> shut_{false};
  // Socket options as last set, so that a run of equal echoes sets them once.
  int ttl_ = -2;
  int pmtuDiscovery_ = -1;
  int tos_ = 0;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(65536);
};

}  // namespace kelvo::echo
