// What the echo service puts on the wire, seen from a raw ICMP socket of the test, and a
// peer that answers echo requests with packets of the test's choosing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvo::test {

// An ICMP packet as received, IP header decoded.
struct WirePacket {
  std::uint32_t source;  // network order
  std::uint32_t destination;
  std::uint8_t ttl;
  std::uint8_t tos;
  bool dontFragment;
  std::size_t headerSize;
  std::uint8_t type;
  std::uint16_t identifier;
  std::uint16_t sequence;
  std::string payload;
};

// For a thread about to give up its rights: opens a raw ICMP socket in its namespace now, for
// the next Capture it makes.
void KeepCaptureSocket();

class Capture {
 public:
  // Opens a raw ICMP socket in the calling thread's namespace, or takes the one it kept.
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // The echo requests queued so far that carry `payload`.
  std::vector<WirePacket> Requests(const std::string& payload);
  // Waits up to `wait` for an echo request carrying `payload`.
  std::optional<WirePacket> NextRequest(const std::string& payload, std::chrono::milliseconds wait);
  // Sends an ICMP echo reply to `destination` (network order); `checksumError` spoils it.
  void SendReply(std::uint32_t destination, std::uint16_t identifier, std::uint16_t sequence,
                 const std::string& payload, bool checksumError = false);
  // Sends the request's source an ICMP redirect that quotes the request.
  void SendRedirect(const WirePacket& request);

 private:
  std::optional<WirePacket> Receive();
  // Fills in the checksum of `icmp` (spoilt with `checksumError`) and sends it.
  void Send(std::uint32_t destination, std::vector<std::uint8_t> icmp, bool checksumError = false);
  int fd_;
};

}  // namespace kelvo::test
