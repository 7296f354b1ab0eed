// An ICMP error reaches a raw socket for whatever request of the host it concerns; the echo
// service takes only one that quotes its own request to its own target.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/icmp.h"
#include "platform/posix/echo/echo_packet.h"

namespace kelvo::echo {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kPayload = {'a', 'b', 'c', 'd', 'e', 'f'};
const Request kRequest{0x1234, 7, kPayload};
const std::uint32_t kTarget = 0x0602000c;
// The request on the wire: type 8, code 0, checksum, identifier, sequence, payload.
const Bytes kRequestBytes = {8, 0, 0xbb, 0x97, 0x12, 0x34, 0, 7, 'a', 'b', 'c', 'd', 'e', 'f'};

// The Internet checksum, written out again here so that the module is not checked by itself.
std::uint16_t Sum(const Bytes& bytes) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) sum += i % 2 == 0 ? bytes[i] << 8 : bytes[i];
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

Bytes IpPacket(std::uint32_t destination, const Bytes& icmp) {
  Bytes packet(20 + icmp.size(), 0);
  packet[0] = 0x45;
  packet[8] = 57;
  packet[9] = 1;
  std::memcpy(&packet[16], &destination, 4);
  std::copy(icmp.begin(), icmp.end(), packet.begin() + 20);
  return packet;
}

Bytes Error(std::uint8_t type, std::uint8_t code, const Bytes& quoted) {
  Bytes icmp(8 + quoted.size(), 0);
  icmp[0] = type;
  icmp[1] = code;
  std::copy(quoted.begin(), quoted.end(), icmp.begin() + 8);
  const std::uint16_t sum = Sum(icmp);
  icmp[2] = sum >> 8;
  icmp[3] = sum & 0xff;
  return icmp;
}

TEST(EchoPacket, TakesAnErrorOnlyWhenItQuotesOurRequest) {
  ASSERT_EQ(BuildRequest(kRequest), kRequestBytes);
  const Bytes quoted = IpPacket(kTarget, kRequestBytes);
  std::uint8_t ttl = 0;
  const auto answer = MatchRawPacket(IpPacket(0, Error(11, 0, quoted)), kRequest, kTarget, ttl);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, IP_TTL_EXPIRED_TRANSIT);
  EXPECT_TRUE(answer->data.empty());
  // Routers may quote only the first 8 bytes of the request.
  const Bytes brief(quoted.begin(), quoted.begin() + 28);
  EXPECT_TRUE(MatchRawPacket(IpPacket(0, Error(3, 1, brief)), kRequest, kTarget, ttl));
  EXPECT_FALSE(MatchRawPacket(IpPacket(0, Error(3, 1, IpPacket(kTarget + 1, kRequestBytes))),
                              kRequest, kTarget, ttl));
  Bytes otherSequence = kRequestBytes;
  otherSequence[7] = 6;
  otherSequence[3] += 1;
  EXPECT_FALSE(MatchRawPacket(IpPacket(0, Error(3, 1, IpPacket(kTarget, otherSequence))), kRequest, kTarget, ttl));
  EXPECT_FALSE(MatchRawPacket(IpPacket(0, Error(5, 1, quoted)), kRequest, kTarget, ttl)) << "a redirect";
  Bytes spoilt = IpPacket(0, Error(11, 0, quoted));
  spoilt.back() ^= 1;
  EXPECT_FALSE(MatchRawPacket(spoilt, kRequest, kTarget, ttl)) << "bad checksum";
}

}  // namespace
}  // namespace kelvo::echo
