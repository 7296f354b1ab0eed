// A datagram as the echo service receives it. The first byte chooses the socket: even, the
// datagram socket's bare ICMP message, also read as an error from its error queue; odd, the raw
// socket's whole IPv4 packet (bit 1 set: the ICMP checksum is put right first, so that the search
// gets past it). Whatever the bytes, an answer is counted only when it is ours: an echo reply
// with our identifier and sequence, or an ICMP error quoting our request (on the raw socket, sent
// to our destination); its status is one the error's type allows, and its data lies inside the
// datagram.
#include <array>
#include <cstring>
#include <set>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/icmp.h"
#include "platform/posix/echo/echo_packet.h"

namespace {

namespace echo = kelvo::echo;

constexpr std::uint16_t kIdentifier = 0x4B45;
constexpr std::uint16_t kSequence = 0x0102;
constexpr std::uint8_t kDestination[4] = {198, 51, 100, 7};
constexpr char kPayload[] = "Pinging from Korund code written";  // the first 32 bytes the engine sends

std::uint16_t Read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// The Internet checksum, written out again here so that the matcher is not checked by itself.
std::uint16_t Sum(const std::uint8_t* p, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += i % 2 == 0 ? p[i] << 8 : p[i];
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

bool QuotesOurs(const std::uint8_t* icmp) {
  return icmp[0] == 8 && Read16(icmp + 4) == kIdentifier && Read16(icmp + 6) == kSequence;
}

// The statuses an ICMP error of this type may be reported as.
std::set<kelvo::DWORD> StatusesOf(std::uint8_t type) {
  switch (type) {
    case 3:
      return {kelvo::IP_DEST_NET_UNREACHABLE, kelvo::IP_DEST_HOST_UNREACHABLE, kelvo::IP_DEST_PROT_UNREACHABLE,
              kelvo::IP_DEST_PORT_UNREACHABLE, kelvo::IP_PACKET_TOO_BIG, kelvo::IP_BAD_ROUTE};
    case 4:
      return {kelvo::IP_SOURCE_QUENCH};
    case 11:
      return {kelvo::IP_TTL_EXPIRED_TRANSIT, kelvo::IP_TTL_EXPIRED_REASSEM};
    case 12:
      return {kelvo::IP_PARAM_PROBLEM};
    default:
      return {};  // a redirect, a request, anything else never ends the wait
  }
}

void CheckReply(const echo::Answer& answer, std::span<const std::uint8_t> icmp) {
  FUZZ_CHECK(icmp.size() >= 8 && icmp[0] == 0 && icmp[1] == 0);
  FUZZ_CHECK(Read16(&icmp[4]) == kIdentifier && Read16(&icmp[6]) == kSequence);
  FUZZ_CHECK(answer.status == kelvo::IP_SUCCESS);
  FUZZ_CHECK(answer.data.data() == icmp.data() + 8 && answer.data.size() == icmp.size() - 8);
}

void CheckRaw(const echo::Answer& answer, std::span<const std::uint8_t> packet, std::uint8_t ttl) {
  FUZZ_CHECK(packet.size() >= 20 && packet[0] >> 4 == 4);
  const std::size_t header = (packet[0] & 0x0f) * 4u;
  FUZZ_CHECK(header >= 20 && packet.size() >= header + 8);
  FUZZ_CHECK(ttl == packet[8]);
  const auto icmp = packet.subspan(header);
  FUZZ_CHECK(Sum(icmp.data(), icmp.size()) == 0);
  if (icmp[0] == 0) return CheckReply(answer, icmp);

  FUZZ_CHECK(StatusesOf(icmp[0]).contains(answer.status));
  FUZZ_CHECK(answer.data.empty());
  const auto quoted = icmp.subspan(8);
  FUZZ_CHECK(quoted.size() >= 20 && quoted[0] >> 4 == 4 && quoted[9] == 1);
  const std::size_t quotedHeader = (quoted[0] & 0x0f) * 4u;
  FUZZ_CHECK(quotedHeader >= 20 && quoted.size() >= quotedHeader + 8);
  FUZZ_CHECK(std::memcmp(&quoted[16], kDestination, 4) == 0);
  FUZZ_CHECK(QuotesOurs(&quoted[quotedHeader]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  std::vector<std::uint8_t> datagram(data + 1, data + size);
  const echo::Request request{kIdentifier, kSequence,
                              {reinterpret_cast<const std::uint8_t*>(kPayload), sizeof(kPayload) - 1}};

  if ((mode & 1) == 0) {
    if (const auto answer = echo::MatchReply(datagram, request)) CheckReply(*answer, datagram);
    // The same bytes as the datagram socket's error queue hands them over: the quoted request,
    // which must be ours, and the first two as the type and code that come with it.
    if (echo::QuotesRequest(datagram, request)) FUZZ_CHECK(QuotesOurs(datagram.data()));
    if (datagram.size() >= 2 && !StatusesOf(datagram[0]).empty()) {
      FUZZ_CHECK(StatusesOf(datagram[0]).contains(echo::StatusOfError(datagram[0], datagram[1])));
    }
    return 0;
  }
  if ((mode & 2) != 0 && datagram.size() >= 20) {
    const std::size_t header = (datagram[0] & 0x0f) * 4u;
    if (header >= 20 && datagram.size() >= header + 8) {
      datagram[header + 2] = datagram[header + 3] = 0;
      const std::uint16_t sum = Sum(&datagram[header], datagram.size() - header);
      datagram[header + 2] = sum >> 8;
      datagram[header + 3] = sum & 0xff;
    }
  }
  std::uint32_t destination;
  std::memcpy(&destination, kDestination, 4);
  std::uint8_t ttl = 0;
  if (const auto answer = echo::MatchRawPacket(datagram, request, destination, ttl)) CheckRaw(*answer, datagram, ttl);
  return 0;
}
