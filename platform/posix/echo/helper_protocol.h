// What the program and its privileged echo helper (kelvo-echo) say to each other over the
// socket pair that is the helper's standard input: one message per request, one per answer,
// fixed little binary records whose multi-byte fields are in network order.
//
// Request: type (8, echo request: the only kind), TTL (0: the system's default), type of
// service, don't-fragment (0 or 1), destination (4 bytes, network order), time-out in ms (4),
// payload size (2), payload.
// Answer: replied (0 or 1), TTL, data size (2), status (4), sender (4, network order), round
// trip in ms (4), data.
// Once its socket is open and its privileges gone, the helper says kReady; then it answers every
// request, a malformed one with IP_BAD_REQ and nothing sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/posix/echo/echo_packet.h"
#include "platform/posix/echo/icmp_socket.h"

namespace kelvo::echo {

inline constexpr std::uint8_t kReady = 1;
inline constexpr std::size_t kRequestHeaderSize = 14;
inline constexpr std::size_t kAnswerHeaderSize = 16;
inline constexpr std::size_t kMaxRequestSize = kRequestHeaderSize + kMaxPayload;
inline constexpr std::size_t kMaxAnswerSize = kAnswerHeaderSize + kMaxPayload;
// The engine's time-out is a signed 32-bit count of milliseconds.
inline constexpr DWORD kMaxTimeout = 0x7fffffff;

struct HelperRequest {
  IPAddr destination = 0;
  EchoOptions options;
  DWORD timeout = 0;
  std::span<const std::uint8_t> payload;
};

std::vector<std::uint8_t> EncodeRequest(const HelperRequest& request);
// The request the bytes hold, or nothing when they are not exactly one valid request.
std::optional<HelperRequest> DecodeRequest(std::span<const std::uint8_t> bytes);

std::vector<std::uint8_t> EncodeAnswer(const EchoResult& answer);
std::optional<EchoResult> DecodeAnswer(std::span<const std::uint8_t> bytes);

}  // namespace kelvo::echo
