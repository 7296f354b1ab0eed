#include "tests/ping/echo_capture.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/posix/echo/echo_packet.h"

namespace kelvo::test {

namespace {

int OpenRaw() { return ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP); }

struct KeptSocket {
  int fd = -1;
  ~KeptSocket() {
    if (fd >= 0) ::close(fd);
  }
};
thread_local KeptSocket kept;

}  // namespace

void KeepCaptureSocket() {
  if (kept.fd < 0) kept.fd = OpenRaw();
}

Capture::Capture() : fd_(kept.fd >= 0 ? std::exchange(kept.fd, -1) : OpenRaw()) {
  if (fd_ < 0) throw std::runtime_error("cannot open a raw ICMP socket");
}

Capture::~Capture() { ::close(fd_); }

std::optional<WirePacket> Capture::Receive() {
  std::vector<std::uint8_t> buffer(65536);
  const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  WirePacket p{};
  p.headerSize = (buffer[0] & 0x0f) * 4u;
  // IP options make the header longer than 20 bytes: the ICMP header must still be whole.
  if (static_cast<std::size_t>(n) < std::max<std::size_t>(p.headerSize, 20) + 8) return std::nullopt;
  std::memcpy(&p.source, &buffer[12], 4);
  p.ttl = buffer[8];
  p.tos = buffer[1];
  p.dontFragment = (buffer[6] & 0x40) != 0;
  const std::uint8_t* icmp = &buffer[p.headerSize];
  p.type = icmp[0];
  p.identifier = static_cast<std::uint16_t>(icmp[4] << 8 | icmp[5]);
  p.sequence = static_cast<std::uint16_t>(icmp[6] << 8 | icmp[7]);
  p.payload.assign(reinterpret_cast<const char*>(icmp + 8), static_cast<std::size_t>(n) - p.headerSize - 8);
  return p;
}

std::vector<WirePacket> Capture::Requests(const std::string& payload) {
  std::vector<WirePacket> found;
  for (int i = 0; i < 100000; ++i) {
    pollfd watch{fd_, POLLIN, 0};
    if (::poll(&watch, 1, 0) <= 0) break;
    if (auto p = Receive(); p && p->type == 8 && p->payload == payload) found.push_back(*p);
  }
  return found;
}

std::optional<WirePacket> Capture::NextRequest(const std::string& payload, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd watch{fd_, POLLIN, 0};
    if (::poll(&watch, 1, 10) <= 0) continue;
    if (auto p = Receive(); p && p->type == 8 && p->payload == payload) return p;
  }
  return std::nullopt;
}

void Capture::SendReply(std::uint32_t destination, std::uint16_t identifier, std::uint16_t sequence,
                        const std::string& payload, bool checksumError) {
  const std::vector<std::uint8_t> bytes(payload.begin(), payload.end());
  std::vector<std::uint8_t> packet = echo::BuildRequest({identifier, sequence, bytes});
  // An echo reply differs from the request only in its type and so in its checksum.
  packet[0] = 0;
  Send(destination, std::move(packet), checksumError);
}

void Capture::SendRedirect(const WirePacket& request) {
  std::vector<std::uint8_t> icmp(8 + 20 + 8 + request.payload.size());
  icmp[0] = 5;  // redirect
  icmp[1] = 1;  // for the host
  std::memcpy(&icmp[4], &request.destination, 4);  // the better gateway
  std::uint8_t* quoted = &icmp[8];
  const std::size_t quotedSize = icmp.size() - 8;
  quoted[0] = 0x45;
  quoted[2] = static_cast<std::uint8_t>(quotedSize >> 8);
  quoted[3] = static_cast<std::uint8_t>(quotedSize & 0xff);
  quoted[8] = request.ttl;
  quoted[9] = 1;  // ICMP
  std::memcpy(&quoted[12], &request.source, 4);
  std::memcpy(&quoted[16], &request.destination, 4);
  const std::vector<std::uint8_t> payload(request.payload.begin(), request.payload.end());
  const std::vector<std::uint8_t> echoRequest = echo::BuildRequest({request.identifier, request.sequence, payload});
  std::copy(echoRequest.begin(), echoRequest.end(), quoted + 20);
  Send(request.source, std::move(icmp));
}

void Capture::Send(std::uint32_t destination, std::vector<std::uint8_t> icmp, bool checksumError) {
  icmp[2] = icmp[3] = 0;
  const std::uint16_t sum = echo::Checksum(icmp) ^ (checksumError ? 0x0101 : 0);
  icmp[2] = sum >> 8;
  icmp[3] = sum & 0xff;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = destination;
  ::sendto(fd_, icmp.data(), icmp.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
}

}  // namespace kelvo::test
