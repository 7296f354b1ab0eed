// How the echo service recognises the answer to its request among raw ICMP packets, and which
// status an ICMP error becomes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/icmp.h"
#include "platform/posix/echo_packet.h"

namespace kelvo::echo {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kPayload = {'a', 'b', 'c', 'd', 'e', 'f'};
const Request kRequest{0x1234, 7, kPayload};
const std::uint32_t kTarget = 0x0602000c;  // network order bytes 12.0.2.6

Bytes IpPacket(std::uint32_t destination, const Bytes& icmp) {
  Bytes packet(20, 0);
  packet[0] = 0x45;
  packet[8] = 57;
  packet[9] = 1;
  std::memcpy(&packet[16], &destination, 4);
  packet.insert(packet.end(), icmp.begin(), icmp.end());
  return packet;
}

Bytes Reply(const Request& request) {
  Bytes icmp = BuildRequest(request);
  icmp[0] = 0;
  icmp[2] = icmp[3] = 0;
  const std::uint16_t sum = Checksum(icmp);
  icmp[2] = sum >> 8;
  icmp[3] = sum & 0xff;
  return icmp;
}

Bytes Error(std::uint8_t type, std::uint8_t code, const Bytes& quoted) {
  Bytes icmp = {type, code, 0, 0, 0, 0, 0, 0};
  icmp.insert(icmp.end(), quoted.begin(), quoted.end());
  const std::uint16_t sum = Checksum(icmp);
  icmp[2] = sum >> 8;
  icmp[3] = sum & 0xff;
  return icmp;
}

TEST(EchoPacket, ChecksumOfARequestVerifiesToZero) {
  EXPECT_EQ(Checksum(BuildRequest(kRequest)), 0);
  const Bytes odd = {0x01, 0x02, 0x03};
  EXPECT_EQ(Checksum(odd), static_cast<std::uint16_t>(~(0x0102 + 0x0300)));
}

TEST(EchoPacket, TakesOnlyTheExactReply) {
  std::uint8_t ttl = 0;
  const Bytes reply = IpPacket(0, Reply(kRequest));
  const auto answer = MatchRawPacket(reply, kRequest, kTarget, ttl);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, IP_SUCCESS);
  EXPECT_EQ(Bytes(answer->data.begin(), answer->data.end()), kPayload);
  EXPECT_EQ(ttl, 57);

  Bytes spoilt = IpPacket(0, Reply(kRequest));
  spoilt.back() ^= 1;
  EXPECT_FALSE(MatchRawPacket(spoilt, kRequest, kTarget, ttl)) << "bad checksum";
  const Bytes shorter(kPayload.begin(), kPayload.end() - 1);
  EXPECT_FALSE(MatchRawPacket(IpPacket(0, Reply({0x1234, 7, shorter})), kRequest, kTarget, ttl));
  EXPECT_FALSE(MatchRawPacket(IpPacket(0, Reply({0x1235, 7, kPayload})), kRequest, kTarget, ttl));
  EXPECT_FALSE(MatchRawPacket(IpPacket(0, Reply({0x1234, 8, kPayload})), kRequest, kTarget, ttl));
  EXPECT_FALSE(MatchRawPacket(IpPacket(0, BuildRequest(kRequest)), kRequest, kTarget, ttl)) << "our own request";
  EXPECT_FALSE(MatchRawPacket({reply.data(), 26}, kRequest, kTarget, ttl));
}

TEST(EchoPacket, TakesAnErrorOnlyWhenItQuotesOurRequestToOurTarget) {
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
}

TEST(EchoPacket, ErrorsBecomeThePlatformsStatusCodes) {
  EXPECT_EQ(StatusOfError(3, 0), IP_DEST_NET_UNREACHABLE);
  EXPECT_EQ(StatusOfError(3, 1), IP_DEST_HOST_UNREACHABLE);
  EXPECT_EQ(StatusOfError(3, 2), IP_DEST_PROT_UNREACHABLE);
  EXPECT_EQ(StatusOfError(3, 3), IP_DEST_PORT_UNREACHABLE);
  EXPECT_EQ(StatusOfError(3, 4), IP_PACKET_TOO_BIG);
  EXPECT_EQ(StatusOfError(3, 5), IP_BAD_ROUTE);
  EXPECT_EQ(StatusOfError(3, 6), IP_DEST_NET_UNREACHABLE);
  EXPECT_EQ(StatusOfError(3, 13), IP_DEST_HOST_UNREACHABLE);
  EXPECT_EQ(StatusOfError(4, 0), IP_SOURCE_QUENCH);
  EXPECT_EQ(StatusOfError(11, 0), IP_TTL_EXPIRED_TRANSIT);
  EXPECT_EQ(StatusOfError(11, 1), IP_TTL_EXPIRED_REASSEM);
  EXPECT_EQ(StatusOfError(12, 0), IP_PARAM_PROBLEM);
}

}  // namespace
}  // namespace kelvo::echo
