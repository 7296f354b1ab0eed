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
  const std::uint16_t sum = Checksum(icmp);
  icmp[2] = sum >> 8;
  icmp[3] = sum & 0xff;
  return icmp;
}

TEST(EchoPacket, TakesAnErrorOnlyWhenItQuotesOurRequest) {
  const Bytes quoted = IpPacket(kTarget, BuildRequest(kRequest));
  std::uint8_t ttl = 0;
  const auto answer = MatchRawPacket(IpPacket(0, Error(11, 0, quoted)), kRequest, kTarget, ttl);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, IP_TTL_EXPIRED_TRANSIT);
  EXPECT_TRUE(answer->data.empty());
  // Routers may quote only the first 8 bytes of the request.
  const Bytes brief(quoted.begin(), quoted.begin() + 28);
  EXPECT_TRUE(MatchRawPacket(IpPacket(0, Error(3, 1, brief)), kRequest, kTarget, ttl));
  EXPECT_FALSE(MatchRawPacket(IpPacket(0, Error(3, 1, IpPacket(kTarget + 1, BuildRequest(kRequest)))),
                              kRequest, kTarget, ttl));
  EXPECT_FALSE(MatchRawPacket(IpPacket(0, Error(3, 1, IpPacket(kTarget, BuildRequest({0x1234, 6, kPayload})))),
                              kRequest, kTarget, ttl));
  EXPECT_FALSE(MatchRawPacket(IpPacket(0, Error(5, 1, quoted)), kRequest, kTarget, ttl)) << "a redirect";
  Bytes spoilt = IpPacket(0, Error(11, 0, quoted));
  spoilt.back() ^= 1;
  EXPECT_FALSE(MatchRawPacket(spoilt, kRequest, kTarget, ttl)) << "bad checksum";
}

}  // namespace
}  // namespace kelvo::echo
