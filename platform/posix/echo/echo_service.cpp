// The echo service on Linux. Each handle sends through the first of these it can have: an ICMP
// socket of its own, the unprivileged datagram one where net.ipv4.ping_group_range admits the
// caller or else a raw one where the process may open it; else the privileged helper
// (helper_client.h). Replies, time-outs and statuses are the same on all three.
#include "platform/icmp.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "platform/posix/echo/helper_client.h"
#include "platform/posix/echo/icmp_socket.h"

namespace kelvo {
namespace {

struct EchoHandle {
  echo::IcmpSocket socket;
  // Through the helper: readable once the handle is closed, -1 otherwise.
  int closedSignal = -1;
  // Set by IcmpCloseHandle; a call still running on the handle ends with a failure.
  std::atomic<bool> closed{false};
  // One call at a time: the options and the buffer belong to the call, and so does every reply
  // that arrives on the socket meanwhile.
  std::mutex calls;
  std::vector<std::uint8_t> helperAnswer;

  bool ThroughHelper() const { return closedSignal >= 0; }
  ~EchoHandle() {
    if (!ThroughHelper()) return;
    ::close(closedSignal);
    echo::ReleaseHelper();
  }
};

// A call holds its handle alive until it returns, even when the handle is closed meanwhile.
std::mutex handlesLock;
std::unordered_map<HANDLE, std::shared_ptr<EchoHandle>> handles;

std::shared_ptr<EchoHandle> Live(HANDLE handle) {
  std::lock_guard lock(handlesLock);
  const auto found = handles.find(handle);
  return found == handles.end() ? nullptr : found->second;
}

// Replies are told apart by identifier alone (the datagram socket's is its port, unique anyway):
// a raw handle takes the next one no live handle holds, from a random start, so that another
// process's engine is unlikely to share it either. With handlesLock held.
std::uint16_t FreeIdentifier() {
  static std::uint16_t next = static_cast<std::uint16_t>(std::random_device()());
  for (int tried = 0; tried <= 0xFFFF; ++tried) {
    const std::uint16_t candidate = next++;
    if (std::none_of(handles.begin(), handles.end(), [candidate](const auto& held) {
          return held.second->socket.IsRaw() && held.second->socket.Identifier() == candidate;
        })) {
      return candidate;
    }
  }
  throw std::length_error("every echo identifier is taken");
}

bool OutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM || error == EAGAIN;
}

// 0, or the reason the helper could not be had.
int UseHelper(EchoHandle& h) {
  const int signal = ::eventfd(0, EFD_CLOEXEC);
  if (signal < 0) return errno;
  if (const int error = echo::AcquireHelper(); error != 0) {
    ::close(signal);
    return error;
  }
  h.closedSignal = signal;
  return 0;
}

HANDLE Create() {
  try {
    // Shared only once it is whole: a failure here may be a lack of descriptors, and the
    // sanitizers' check of a shared pointer's control block needs one.
    auto h = std::make_unique<EchoHandle>();
    // Refused rights leave the handle without a way to send; only a lack of resources fails it.
    if (!OutOfResources(h->socket.OpenDatagram()) && (h->socket.IsOpen() || !OutOfResources(h->socket.OpenRaw())) &&
        (h->socket.IsOpen() || !OutOfResources(UseHelper(*h)))) {
      std::lock_guard lock(handlesLock);
      if (h->socket.IsRaw()) h->socket.Identify(FreeIdentifier());
      const HANDLE handle = h.get();
      handles.emplace(handle, std::move(h));
      return handle;
    }
  } catch (const std::exception&) {  // no memory, no randomness or no identifier left
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return INVALID_HANDLE_VALUE;
}

BOOL Close(HANDLE handle) {
  std::shared_ptr<EchoHandle> h;
  {
    std::lock_guard lock(handlesLock);
    const auto found = handles.find(handle);
    if (found == handles.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return kFalse;
    }
    h = std::move(found->second);
    handles.erase(found);
  }
  // Wakes a call waiting on the handle; the socket itself goes with the last call.
  h->closed = true;
  h->socket.Shutdown();
  if (h->ThroughHelper()) ::eventfd_write(h->closedSignal, 1);
  return kTrue;
}

DWORD Fail(DWORD status) {
  SetLastError(status);
  return 0;
}

DWORD SendEcho(HANDLE handle, IPAddr destination, void* requestData, WORD requestSize,
               IP_OPTION_INFORMATION* options, void* replyBuffer, DWORD replySize, DWORD timeout) {
  const std::shared_ptr<EchoHandle> h = Live(handle);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if ((requestData == nullptr && requestSize > 0) || replyBuffer == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (replySize < sizeof(ICMP_ECHO_REPLY) + requestSize) return Fail(IP_BUF_TOO_SMALL);
  if (requestSize > echo::kMaxPayload) return Fail(IP_PACKET_TOO_BIG);
  // IP options are not supported, and a TTL of 0 could not leave the host.
  if (options != nullptr && (options->OptionsSize != 0 || options->Ttl == 0)) return Fail(IP_BAD_OPTION);
  if (!h->socket.IsOpen() && !h->ThroughHelper()) return Fail(IP_GENERAL_FAILURE);
  std::lock_guard call(h->calls);
  if (h->closed) return Fail(ERROR_INVALID_HANDLE);

  // Without options the socket's defaults hold: the system's TTL, no don't-fragment.
  echo::EchoOptions chosen;
  if (options != nullptr) chosen = {options->Ttl, options->Tos, (options->Flags & IP_FLAG_DF) != 0};
  const std::span<const std::uint8_t> payload(static_cast<const std::uint8_t*>(requestData), requestSize);
  // A wait of more than 24 days is as good as forever; the helper takes no longer one.
  timeout = std::min(timeout, echo::kMaxTimeout);
  const echo::EchoResult result =
      h->ThroughHelper() ? echo::HelperEcho({destination, chosen, timeout, payload}, h->closedSignal, h->helperAnswer)
                         : h->socket.Echo(destination, payload, chosen, timeout);
  if (!result.replied) return Fail(h->closed ? ERROR_INVALID_HANDLE : result.status);

  auto* bytes = static_cast<std::uint8_t*>(replyBuffer);
  ICMP_ECHO_REPLY record{};
  record.Address = result.from;
  record.Status = result.status;
  record.RoundTripTime = result.roundTripTime;
  // A reply may echo more than was sent; the buffer keeps what fits.
  const std::size_t kept = std::min<std::size_t>(result.data.size(), replySize - sizeof(record));
  record.DataSize = static_cast<USHORT>(kept);
  record.Data = bytes + sizeof(record);
  record.Options.Ttl = result.ttl;
  std::memcpy(bytes, &record, sizeof(record));
  if (kept > 0) std::memcpy(bytes + sizeof(record), result.data.data(), kept);
  SetLastError(record.Status);
  return 1;
}

}  // namespace

HANDLE WINAPI IcmpCreateFile() { return Create(); }
BOOL WINAPI IcmpCloseHandle(HANDLE icmpHandle) { return Close(icmpHandle); }
DWORD WINAPI IcmpSendEcho(HANDLE icmpHandle, IPAddr destinationAddress, void* requestData,
                          WORD requestSize, IP_OPTION_INFORMATION* requestOptions,
                          void* replyBuffer, DWORD replySize, DWORD timeout) {
  return SendEcho(icmpHandle, destinationAddress, requestData, requestSize, requestOptions,
                  replyBuffer, replySize, timeout);
}

}  // namespace kelvo
