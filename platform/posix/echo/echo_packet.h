// ICMP echo packets as the echo service builds and recognises them, kept apart from the
// sockets so that the matching rules are plain functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/win_types.h"

namespace kelvo::echo {

inline constexpr std::size_t kIcmpHeaderSize = 8;
inline constexpr std::size_t kIpHeaderSize = 20;
// The largest echo payload an IPv4 datagram carries: 65535 less the two headers.
inline constexpr std::size_t kMaxPayload = 65535 - kIpHeaderSize - kIcmpHeaderSize;

// The request this call sent; a reply counts if it carries its identifier and sequence, whatever
// data it echoes, as on the platform.
struct Request {
  std::uint16_t identifier;
  std::uint16_t sequence;
  std::span<const std::uint8_t> payload;
};

// What a received packet says about the request.
struct Answer {
  DWORD status;                  // IP_SUCCESS for an echo reply, else the error's status code
  std::span<const std::uint8_t> data;  // the data the reply echoes; empty for an error
};

std::uint16_t Checksum(std::span<const std::uint8_t> bytes);

// Echo request: header, then payload. The checksum is filled in; the datagram socket
// recomputes it anyway, because it rewrites the identifier.
std::vector<std::uint8_t> BuildRequest(const Request& request);

// The platform's status code for an ICMP error message.
DWORD StatusOfError(std::uint8_t type, std::uint8_t code);

// Does an ICMP message of this type say that an echo failed: destination unreachable, source
// quench, time exceeded, parameter problem? Others, such as a redirect, only advise the sender.
bool IsEchoError(std::uint8_t type);

// An ICMP message as the datagram socket delivers it (no IP header): an echo reply to
// `request`, or nothing.
std::optional<Answer> MatchReply(std::span<const std::uint8_t> icmp, const Request& request);

// A whole IPv4 packet as the raw socket delivers it: an echo reply to `request` or an ICMP
// error quoting it (sent to `destination`, network order), or nothing. `ttl` gets the
// packet's TTL.
std::optional<Answer> MatchRawPacket(std::span<const std::uint8_t> packet, const Request& request,
                                     std::uint32_t destination, std::uint8_t& ttl);

// Does this quoted ICMP header (and what is left of the payload) belong to `request`?
bool QuotesRequest(std::span<const std::uint8_t> quotedIcmp, const Request& request);

}  // namespace kelvo::echo
