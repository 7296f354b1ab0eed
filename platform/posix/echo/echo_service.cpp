// The echo service on Linux, over an ICMP socket per handle: the unprivileged datagram socket
// where net.ipv4.ping_group_range admits the caller, else a raw socket. The kernel answers the
// two differently: the datagram socket hands over bare ICMP messages, rewrites the identifier
// to its local port and reports ICMP errors on its error queue; the raw socket hands over
// every ICMP packet of the host, IP header included, errors as ordinary packets.
#include "platform/icmp.h"

#include <time.h>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "platform/posix/echo/echo_packet.h"

namespace kelvo {
namespace {

using Clock = std::chrono::steady_clock;

struct EchoHandle {
  int fd = -1;  // -1: the process may open no ICMP socket
  bool datagram = false;
  std::uint16_t identifier = 0;
  // Set by IcmpCloseHandle; a call still running on the handle ends with a failure.
  std::atomic<bool> closed{false};
  // One call at a time: the sequence, the options and the buffer belong to the call, and so does
  // every reply that arrives on the socket meanwhile.
  std::mutex calls;
  std::uint16_t sequence = 0;
  // Socket options as last set, so that a run of equal echoes sets them once.
  int ttl = -2;
  int pmtuDiscovery = -1;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(65536);

  ~EchoHandle() {
    if (fd >= 0) ::close(fd);
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
          return held.second->fd >= 0 && held.second->identifier == candidate;
        })) {
      return candidate;
    }
  }
  throw std::length_error("every echo identifier is taken");
}

bool OutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

bool SetOption(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

// Each opener returns 0, or the reason the socket could not be had.
int OpenDatagram(EchoHandle& h) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return errno;
  // Binding picks the identifier the kernel will put into every request.
  sockaddr_in local{};
  local.sin_family = AF_INET;
  socklen_t length = sizeof(local);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      !SetOption(fd, IPPROTO_IP, IP_RECVERR, 1) || !SetOption(fd, IPPROTO_IP, IP_RECVTTL, 1)) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  h.fd = fd;
  h.datagram = true;
  h.identifier = ntohs(local.sin_port);
  return 0;
}

// A raw socket gets a copy of every ICMP packet of the host. Echo replies to other
// programs, or to a second engine pinging as fast as it can, would fill its receive buffer
// while the caller is not scheduled, and the kernel would drop our own reply: so the kernel
// keeps only echo replies that carry our identifier, and the errors that may quote our
// request (their quote is matched later).
void FilterRaw(const EchoHandle& h) {
  icmp_filter types{~(1u << ICMP_ECHOREPLY | 1u << ICMP_DEST_UNREACH | 1u << ICMP_SOURCE_QUENCH |
                      1u << ICMP_TIME_EXCEEDED | 1u << ICMP_PARAMETERPROB)};
  ::setsockopt(h.fd, SOL_RAW, ICMP_FILTER, &types, sizeof(types));
  sock_filter program[] = {
      BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),                   // x := IP header length
      BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),                    // ICMP type
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP_ECHOREPLY, 0, 2),  // not a reply: keep
      BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),                    // identifier
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, h.identifier, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xffff),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
  // Without the filters the matching still holds; only a busy host may cost a reply.
  ::setsockopt(h.fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof(filter));
}

int OpenRaw(EchoHandle& h) {
  h.fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  return h.fd < 0 ? errno : 0;
}

HANDLE Create() {
  try {
    // Shared only once it is whole: a failure here may be a lack of descriptors, and the
    // sanitizers' check of a shared pointer's control block needs one.
    auto h = std::make_unique<EchoHandle>();
    // Refused rights leave the handle without a socket; only a lack of resources fails it.
    if (!OutOfResources(OpenDatagram(*h)) && (h->fd >= 0 || !OutOfResources(OpenRaw(*h)))) {
      std::lock_guard lock(handlesLock);
      if (h->fd >= 0 && !h->datagram) {
        h->identifier = FreeIdentifier();
        FilterRaw(*h);
      }
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
  // Wakes a call waiting on the socket; the socket itself goes with the last call.
  h->closed = true;
  if (h->fd >= 0) ::shutdown(h->fd, SHUT_RDWR);
  return kTrue;
}

DWORD StatusOfSendError(int error) {
  switch (error) {
    case ENETUNREACH:
      return IP_DEST_NET_UNREACHABLE;
    case EHOSTUNREACH:
      return IP_DEST_HOST_UNREACHABLE;
    case EMSGSIZE:
      return IP_PACKET_TOO_BIG;
    case ENOBUFS:
    case ENOMEM:
      return IP_NO_RESOURCES;
    default:
      return IP_GENERAL_FAILURE;
  }
}

bool Configure(EchoHandle& h, const IP_OPTION_INFORMATION* options) {
  // Without options the socket's defaults hold: the system's TTL, no don't-fragment.
  const int ttl = options != nullptr ? options->Ttl : -1;
  const int pmtu = options != nullptr && (options->Flags & IP_FLAG_DF) ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
  if (ttl != h.ttl) {
    if (!SetOption(h.fd, IPPROTO_IP, IP_TTL, ttl)) return false;
    h.ttl = ttl;
  }
  if (pmtu != h.pmtuDiscovery) {
    if (!SetOption(h.fd, IPPROTO_IP, IP_MTU_DISCOVER, pmtu)) return false;
    h.pmtuDiscovery = pmtu;
  }
  return true;
}

// What queued up since the last echo cannot answer this one: stale replies, other programs'
// traffic on a raw socket, errors. Left there, it could fill the receive buffer so that the
// kernel drops the very reply we wait for; and an error noted on the socket would fail the send.
void DiscardQueued(EchoHandle& h) {
  int pending = 0;
  socklen_t length = sizeof(pending);
  ::getsockopt(h.fd, SOL_SOCKET, SO_ERROR, &pending, &length);
  std::uint8_t sink;
  for (int flags : {int{MSG_ERRQUEUE}, 0}) {
    if (flags == MSG_ERRQUEUE && !h.datagram) continue;
    // Bounded: a flood must not keep the caller from sending.
    for (int i = 0; i < 4096 && ::recv(h.fd, &sink, 1, flags | MSG_DONTWAIT | MSG_TRUNC) >= 0; ++i) {
    }
  }
}

struct Received {
  IPAddr from = 0;
  std::uint8_t ttl = 0;
  echo::Answer answer{};
};

enum class Outcome { kMatched, kOther, kEmpty, kFailed };

// The TTL the kernel reports with a received message (IP_RECVTTL), 0 if it reports none.
std::uint8_t TtlOf(msghdr& message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_TTL) continue;
    int ttl = 0;
    std::memcpy(&ttl, CMSG_DATA(c), sizeof(ttl));
    return static_cast<std::uint8_t>(ttl);
  }
  return 0;
}

// One message of the datagram socket's error queue: an ICMP error that quotes our request?
Outcome ReceiveQueuedError(EchoHandle& h, const echo::Request& request, Received& out) {
  alignas(cmsghdr) char control[256];
  iovec data{h.buffer.data(), h.buffer.size()};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  const ssize_t n = ::recvmsg(h.fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Outcome::kEmpty : Outcome::kFailed;
  const sock_extended_err* error = nullptr;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) {
      error = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
    }
  }
  if (error == nullptr || error->ee_origin != SO_EE_ORIGIN_ICMP || !echo::IsEchoError(error->ee_type) ||
      !echo::QuotesRequest({h.buffer.data(), static_cast<std::size_t>(n)}, request)) {
    return Outcome::kOther;
  }
  sockaddr_in offender;
  std::memcpy(&offender, SO_EE_OFFENDER(error), sizeof(offender));
  out.from = offender.sin_addr.s_addr;
  out.ttl = TtlOf(message);
  out.answer = {echo::StatusOfError(error->ee_type, error->ee_code), {}};
  return Outcome::kMatched;
}

Outcome ReceivePacket(EchoHandle& h, const echo::Request& request, IPAddr destination,
                      Received& out) {
  alignas(cmsghdr) char control[64];
  iovec data{h.buffer.data(), h.buffer.size()};
  sockaddr_in from{};
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof(from);
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  const ssize_t n = ::recvmsg(h.fd, &message, MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Outcome::kEmpty : Outcome::kFailed;
  // A datagram longer than the buffer cannot be a whole answer to our request.
  if (message.msg_flags & MSG_TRUNC) return Outcome::kOther;
  const std::span<const std::uint8_t> bytes(h.buffer.data(), static_cast<std::size_t>(n));
  std::uint8_t rawTtl = 0;
  const std::optional<echo::Answer> answer = h.datagram
                                                 ? echo::MatchReply(bytes, request)
                                                 : echo::MatchRawPacket(bytes, request, destination, rawTtl);
  if (!answer) return Outcome::kOther;
  out.from = from.sin_addr.s_addr;
  out.ttl = h.datagram ? TtlOf(message) : rawTtl;
  out.answer = *answer;
  return Outcome::kMatched;
}

// Reads what is queued until the answer turns up or the queue is empty. An error on the
// receive is an ICMP error the kernel noted on the socket; it is read again as a message.
Outcome Drain(EchoHandle& h, const echo::Request& request, IPAddr destination,
              Clock::time_point deadline, Received& out) {
  for (;;) {
    Outcome outcome = h.datagram ? ReceiveQueuedError(h, request, out) : Outcome::kEmpty;
    if (outcome == Outcome::kEmpty || outcome == Outcome::kFailed) {
      outcome = ReceivePacket(h, request, destination, out);
    }
    if (outcome != Outcome::kOther || Clock::now() >= deadline) return outcome;
  }
}

// False on the time-out, or when the handle is closed meanwhile.
bool WaitForAnswer(EchoHandle& h, const echo::Request& request, IPAddr destination,
                   Clock::time_point deadline, Received& out) {
  for (;;) {
    if (h.closed) return false;
    if (Drain(h, request, destination, deadline, out) == Outcome::kMatched) return true;
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec wait{static_cast<time_t>(seconds.count()),
                        static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
    pollfd watch{h.fd, POLLIN, 0};
    ::ppoll(&watch, 1, &wait, nullptr);
  }
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
  if (h->fd < 0) return Fail(IP_GENERAL_FAILURE);
  std::lock_guard call(h->calls);
  if (h->closed) return Fail(ERROR_INVALID_HANDLE);
  if (!Configure(*h, options)) return Fail(IP_GENERAL_FAILURE);
  DiscardQueued(*h);

  const echo::Request request{h->identifier, ++h->sequence,
                              {static_cast<const std::uint8_t*>(requestData), requestSize}};
  const std::vector<std::uint8_t> packet = echo::BuildRequest(request);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = destination;
  const auto start = Clock::now();
  ssize_t sent;
  do {
    sent = ::sendto(h->fd, packet.data(), packet.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return Fail(StatusOfSendError(errno));

  Received received;
  if (!WaitForAnswer(*h, request, destination, start + std::chrono::milliseconds(timeout), received)) {
    return Fail(h->closed ? ERROR_INVALID_HANDLE : IP_REQ_TIMED_OUT);
  }
  // An ICMP error that answers the request counts as a reply, as on the platform: result 1,
  // the error in Status, its sender in Address. Only a time-out or a local failure gives 0.
  auto* bytes = static_cast<std::uint8_t*>(replyBuffer);
  ICMP_ECHO_REPLY record{};
  record.Address = received.from;
  record.Status = received.answer.status;
  record.RoundTripTime = static_cast<ULONG>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  // A reply may echo more than was sent; the buffer keeps what fits.
  const std::size_t kept = std::min<std::size_t>(received.answer.data.size(), replySize - sizeof(record));
  record.DataSize = static_cast<USHORT>(kept);
  record.Data = bytes + sizeof(record);
  record.Options.Ttl = received.ttl;
  std::memcpy(bytes, &record, sizeof(record));
  if (kept > 0) std::memcpy(bytes + sizeof(record), received.answer.data.data(), kept);
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
