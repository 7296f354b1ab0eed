#include "platform/posix/echo/echo_packet.h"

#include <algorithm>
#include <cstring>

#include "platform/icmp.h"

namespace kelvo::echo {
namespace {

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestinationUnreachable = 3;
constexpr std::uint8_t kSourceQuench = 4;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::uint8_t kParameterProblem = 12;
constexpr std::uint8_t kProtocolIcmp = 1;

std::uint16_t Read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

bool IsEchoError(std::uint8_t type) {
  return type == kDestinationUnreachable || type == kSourceQuench || type == kTimeExceeded ||
         type == kParameterProblem;
}

std::uint16_t Checksum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) sum += Read16(&bytes[i]);
  if (i < bytes.size()) sum += static_cast<std::uint32_t>(bytes[i]) << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

std::vector<std::uint8_t> BuildRequest(const Request& request) {
  std::vector<std::uint8_t> packet(kIcmpHeaderSize + request.payload.size());
  packet[0] = kEchoRequest;
  packet[4] = request.identifier >> 8;
  packet[5] = request.identifier & 0xff;
  packet[6] = request.sequence >> 8;
  packet[7] = request.sequence & 0xff;
  std::copy(request.payload.begin(), request.payload.end(), packet.begin() + kIcmpHeaderSize);
  const std::uint16_t sum = Checksum(packet);
  packet[2] = sum >> 8;
  packet[3] = sum & 0xff;
  return packet;
}

DWORD StatusOfError(std::uint8_t type, std::uint8_t code) {
  switch (type) {
    case kDestinationUnreachable:
      switch (code) {
        case 0:   // network
        case 6:   // network unknown
        case 9:   // network administratively prohibited
        case 11:  // network for this type of service
          return IP_DEST_NET_UNREACHABLE;
        case 2:
          return IP_DEST_PROT_UNREACHABLE;
        case 3:
          return IP_DEST_PORT_UNREACHABLE;
        case 4:
          return IP_PACKET_TOO_BIG;
        case 5:
          return IP_BAD_ROUTE;
        default:  // the host itself, or the way to it, refuses
          return IP_DEST_HOST_UNREACHABLE;
      }
    case kSourceQuench:
      return IP_SOURCE_QUENCH;
    case kTimeExceeded:
      return code == 1 ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case kParameterProblem:
      return IP_PARAM_PROBLEM;
    default:
      return IP_GENERAL_FAILURE;
  }
}

bool QuotesRequest(std::span<const std::uint8_t> quotedIcmp, const Request& request) {
  // A router quotes at least the first 8 bytes; whatever more of the payload it quotes must
  // be ours too.
  if (quotedIcmp.size() < kIcmpHeaderSize || quotedIcmp[0] != kEchoRequest) return false;
  if (Read16(&quotedIcmp[4]) != request.identifier || Read16(&quotedIcmp[6]) != request.sequence) {
    return false;
  }
  const auto quoted = quotedIcmp.subspan(kIcmpHeaderSize);
  const std::size_t n = std::min(quoted.size(), request.payload.size());
  return std::equal(quoted.begin(), quoted.begin() + static_cast<std::ptrdiff_t>(n),
                    request.payload.begin());
}

std::optional<Answer> MatchReply(std::span<const std::uint8_t> icmp, const Request& request) {
  if (icmp.size() < kIcmpHeaderSize || icmp[0] != kEchoReply || icmp[1] != 0) return std::nullopt;
  if (Read16(&icmp[4]) != request.identifier || Read16(&icmp[6]) != request.sequence) {
    return std::nullopt;
  }
  return Answer{IP_SUCCESS, icmp.subspan(kIcmpHeaderSize)};
}

std::optional<Answer> MatchRawPacket(std::span<const std::uint8_t> packet, const Request& request,
                                     std::uint32_t destination, std::uint8_t& ttl) {
  if (packet.size() < kIpHeaderSize || packet[0] >> 4 != 4) return std::nullopt;
  const std::size_t headerSize = (packet[0] & 0x0f) * 4u;
  if (headerSize < kIpHeaderSize || packet.size() < headerSize + kIcmpHeaderSize) return std::nullopt;
  const auto icmp = packet.subspan(headerSize);
  // The raw socket sees packets before the kernel checks them.
  if (Checksum(icmp) != 0) return std::nullopt;
  ttl = packet[8];
  if (!IsEchoError(icmp[0])) return MatchReply(icmp, request);

  const auto quoted = icmp.subspan(kIcmpHeaderSize);
  if (quoted.size() < kIpHeaderSize || quoted[0] >> 4 != 4 || quoted[9] != kProtocolIcmp) {
    return std::nullopt;
  }
  const std::size_t quotedHeaderSize = (quoted[0] & 0x0f) * 4u;
  if (quotedHeaderSize < kIpHeaderSize || quoted.size() < quotedHeaderSize) return std::nullopt;
  if (std::memcmp(&quoted[16], &destination, 4) != 0) return std::nullopt;
  if (!QuotesRequest(quoted.subspan(quotedHeaderSize), request)) return std::nullopt;
  return Answer{StatusOfError(icmp[0], icmp[1]), {}};
}

}  // namespace kelvo::echo
