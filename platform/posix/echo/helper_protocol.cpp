#include "platform/posix/echo/helper_protocol.h"

#include <algorithm>
#include <cstring>

namespace kelvo::echo {
namespace {

constexpr std::uint8_t kEchoRequestType = 8;

void Put16(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value >> 8);
  p[1] = static_cast<std::uint8_t>(value);
}
void Put32(std::uint8_t* p, std::uint32_t value) {
  Put16(p, value >> 16);
  Put16(p + 2, value & 0xffff);
}
std::uint32_t Get16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0] << 8 | p[1]); }
std::uint32_t Get32(const std::uint8_t* p) { return Get16(p) << 16 | Get16(p + 2); }

}  // namespace

std::vector<std::uint8_t> EncodeRequest(const HelperRequest& request) {
  std::vector<std::uint8_t> bytes(kRequestHeaderSize + request.payload.size());
  bytes[0] = kEchoRequestType;
  bytes[1] = request.options.ttl < 0 ? 0 : static_cast<std::uint8_t>(request.options.ttl);
  bytes[2] = request.options.tos;
  bytes[3] = request.options.dontFragment ? 1 : 0;
  std::memcpy(&bytes[4], &request.destination, 4);
  Put32(&bytes[8], request.timeout);
  Put16(&bytes[12], static_cast<std::uint32_t>(request.payload.size()));
  std::copy(request.payload.begin(), request.payload.end(), bytes.begin() + kRequestHeaderSize);
  return bytes;
}

std::optional<HelperRequest> DecodeRequest(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kRequestHeaderSize || bytes.size() > kMaxRequestSize) return std::nullopt;
  if (bytes[0] != kEchoRequestType || bytes[3] > 1) return std::nullopt;
  const std::size_t size = Get16(&bytes[12]);
  if (size != bytes.size() - kRequestHeaderSize) return std::nullopt;
  HelperRequest request;
  request.options.ttl = bytes[1] == 0 ? -1 : bytes[1];
  request.options.tos = bytes[2];
  request.options.dontFragment = bytes[3] == 1;
  std::memcpy(&request.destination, &bytes[4], 4);
  request.timeout = Get32(&bytes[8]);
  if (request.timeout > kMaxTimeout) return std::nullopt;
  request.payload = bytes.subspan(kRequestHeaderSize);
  return request;
}

std::vector<std::uint8_t> EncodeAnswer(const EchoResult& answer) {
  const std::size_t size = std::min(answer.data.size(), kMaxPayload);
  std::vector<std::uint8_t> bytes(kAnswerHeaderSize + size);
  bytes[0] = answer.replied ? 1 : 0;
  bytes[1] = answer.ttl;
  Put16(&bytes[2], static_cast<std::uint32_t>(size));
  Put32(&bytes[4], answer.status);
  std::memcpy(&bytes[8], &answer.from, 4);
  Put32(&bytes[12], answer.roundTripTime);
  std::copy_n(answer.data.begin(), size, bytes.begin() + kAnswerHeaderSize);
  return bytes;
}

std::optional<EchoResult> DecodeAnswer(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kAnswerHeaderSize || bytes.size() > kMaxAnswerSize || bytes[0] > 1) return std::nullopt;
  if (Get16(&bytes[2]) != bytes.size() - kAnswerHeaderSize) return std::nullopt;
  EchoResult answer;
  answer.replied = bytes[0] == 1;
  answer.ttl = bytes[1];
  answer.status = Get32(&bytes[4]);
  std::memcpy(&answer.from, &bytes[8], 4);
  answer.roundTripTime = Get32(&bytes[12]);
  answer.data = bytes.subspan(kAnswerHeaderSize);
  return answer;
}

}  // namespace kelvo::echo
