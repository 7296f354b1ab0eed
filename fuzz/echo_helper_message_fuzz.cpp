// A message between the program and its echo helper. The first byte chooses the reader: even,
// the helper's reader of requests (what any local user may send it), odd, the program's reader
// of answers. A message is taken only when it is exactly one well-formed record: an echo request
// whose payload fits an IPv4 datagram and whose time-out the engine could ask for, or an answer
// whose data is all the bytes after its header; and writing the record back gives the same bytes.
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/posix/echo/helper_protocol.h"

namespace echo = kelvo::echo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> message(data + 1, size - 1);
  if ((data[0] & 1) == 0) {
    const auto request = echo::DecodeRequest(message);
    if (!request) return 0;
    FUZZ_CHECK(message[0] == 8);
    FUZZ_CHECK(request->payload.size() <= echo::kMaxPayload);
    FUZZ_CHECK(request->timeout <= echo::kMaxTimeout);
    FUZZ_CHECK(request->options.ttl == -1 || (request->options.ttl >= 1 && request->options.ttl <= 255));
    const std::vector<std::uint8_t> again = echo::EncodeRequest(*request);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), message.begin(), message.end()));
    return 0;
  }
  const auto answer = echo::DecodeAnswer(message);
  if (!answer) return 0;
  const std::vector<std::uint8_t> again = echo::EncodeAnswer(*answer);
  FUZZ_CHECK(std::equal(again.begin(), again.end(), message.begin(), message.end()));
  return 0;
}
