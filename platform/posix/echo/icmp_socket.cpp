// The kernel answers the two kinds of ICMP socket differently: the unprivileged datagram socket
// hands over bare ICMP messages, rewrites the identifier to its local port and reports ICMP
// errors on its error queue; the raw socket hands over every ICMP packet of the host, IP header
// included, errors as ordinary packets.
#include "platform/posix/echo/icmp_socket.h"

#include <time.h>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace kelvo::echo {
namespace {

using Clock = std::chrono::steady_clock;

bool SetOption(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof(value)) == 0;
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

// The line shown names the address asked, so an echo reply from any other host must not count,
// though it carries our identifier and sequence: a router on the way could otherwise answer for a
// host that never does. Only a group address is answered by others. An error comes from a router
// by nature; it counts for quoting our request to the destination.
bool AnswersFor(IPAddr destination, IPAddr sender, DWORD status) {
  return status != IP_SUCCESS || sender == destination || IN_MULTICAST(ntohl(destination));
}

}  // namespace

timespec TimeLeft(Deadline deadline) {
  const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  return {static_cast<time_t>(seconds.count()), static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
}

IcmpSocket::~IcmpSocket() {
  if (fd_ >= 0) ::close(fd_);
}

int IcmpSocket::OpenDatagram() {
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
  fd_ = fd;
  datagram_ = true;
  identifier_ = ntohs(local.sin_port);
  return 0;
}

int IcmpSocket::OpenRaw() {
  fd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  return fd_ < 0 ? errno : 0;
}

// A raw socket gets a copy of every ICMP packet of the host. Echo replies to other
// programs, or to a second engine pinging as fast as it can, would fill its receive buffer
// while the caller is not scheduled, and the kernel would drop our own reply: so the kernel
// keeps only echo replies that carry our identifier, and the errors that may quote our
// request (their quote is matched later).
void IcmpSocket::Identify(std::uint16_t identifier) {
  identifier_ = identifier;
  icmp_filter types{~(1u << ICMP_ECHOREPLY | 1u << ICMP_DEST_UNREACH | 1u << ICMP_SOURCE_QUENCH |
                      1u << ICMP_TIME_EXCEEDED | 1u << ICMP_PARAMETERPROB)};
  ::setsockopt(fd_, SOL_RAW, ICMP_FILTER, &types, sizeof(types));
  sock_filter program[] = {
      BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),                   // x := IP header length
      BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),                    // ICMP type
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP_ECHOREPLY, 0, 2),  // not a reply: keep
      BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),                    // identifier
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xffff),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
  // Without the filters the matching still holds; only a busy host may cost a reply.
  ::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof(filter));
}

void IcmpSocket::Shutdown() {
  shut_ = true;
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

bool IcmpSocket::Configure(const EchoOptions& options) {
  const int pmtu = options.dontFragment ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
  if (options.ttl != ttl_) {
    if (!SetOption(fd_, IPPROTO_IP, IP_TTL, options.ttl)) return false;
    ttl_ = options.ttl;
  }
  if (pmtu != pmtuDiscovery_) {
    if (!SetOption(fd_, IPPROTO_IP, IP_MTU_DISCOVER, pmtu)) return false;
    pmtuDiscovery_ = pmtu;
  }
  if (options.tos != tos_) {
    if (!SetOption(fd_, IPPROTO_IP, IP_TOS, options.tos)) return false;
    tos_ = options.tos;
  }
  return true;
}

// What queued up since the last echo cannot answer this one: stale replies, other programs'
// traffic on a raw socket, errors. Left there, it could fill the receive buffer so that the
// kernel drops the very reply we wait for; and an error noted on the socket would fail the send.
void IcmpSocket::DiscardQueued() {
  int pending = 0;
  socklen_t length = sizeof(pending);
  ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &length);
  std::uint8_t sink;
  for (int flags : {int{MSG_ERRQUEUE}, 0}) {
    if (flags == MSG_ERRQUEUE && !datagram_) continue;
    // Bounded: a flood must not keep the caller from sending.
    for (int i = 0; i < 4096 && ::recv(fd_, &sink, 1, flags | MSG_DONTWAIT | MSG_TRUNC) >= 0; ++i) {
    }
  }
}

// One message of the datagram socket's error queue: an ICMP error that quotes our request?
IcmpSocket::Outcome IcmpSocket::ReceiveQueuedError(const Request& request, EchoResult& out) {
  alignas(cmsghdr) char control[256];
  iovec data{buffer_.data(), buffer_.size()};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  const ssize_t n = ::recvmsg(fd_, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Outcome::kEmpty : Outcome::kFailed;
  const sock_extended_err* error = nullptr;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) {
      error = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
    }
  }
  if (error == nullptr || error->ee_origin != SO_EE_ORIGIN_ICMP || !IsEchoError(error->ee_type) ||
      !QuotesRequest({buffer_.data(), static_cast<std::size_t>(n)}, request)) {
    return Outcome::kOther;
  }
  sockaddr_in offender;
  std::memcpy(&offender, SO_EE_OFFENDER(error), sizeof(offender));
  out.from = offender.sin_addr.s_addr;
  out.ttl = TtlOf(message);
  out.status = StatusOfError(error->ee_type, error->ee_code);
  out.data = {};
  return Outcome::kMatched;
}

IcmpSocket::Outcome IcmpSocket::ReceivePacket(const Request& request, IPAddr destination, EchoResult& out) {
  alignas(cmsghdr) char control[64];
  iovec data{buffer_.data(), buffer_.size()};
  sockaddr_in from{};
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof(from);
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  const ssize_t n = ::recvmsg(fd_, &message, MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Outcome::kEmpty : Outcome::kFailed;
  // A datagram longer than the buffer cannot be a whole answer to our request.
  if (message.msg_flags & MSG_TRUNC) return Outcome::kOther;
  const std::span<const std::uint8_t> bytes(buffer_.data(), static_cast<std::size_t>(n));
  std::uint8_t rawTtl = 0;
  const std::optional<Answer> answer =
      datagram_ ? MatchReply(bytes, request) : MatchRawPacket(bytes, request, destination, rawTtl);
  if (!answer || !AnswersFor(destination, from.sin_addr.s_addr, answer->status)) return Outcome::kOther;
  out.from = from.sin_addr.s_addr;
  out.ttl = datagram_ ? TtlOf(message) : rawTtl;
  out.status = answer->status;
  out.data = answer->data;
  return Outcome::kMatched;
}

// Reads what is queued until the answer turns up or the queue is empty. An error on the
// receive is an ICMP error the kernel noted on the socket; it is read again as a message.
IcmpSocket::Outcome IcmpSocket::Drain(const Request& request, IPAddr destination, Deadline deadline,
                                      EchoResult& out) {
  for (;;) {
    Outcome outcome = datagram_ ? ReceiveQueuedError(request, out) : Outcome::kEmpty;
    if (outcome == Outcome::kEmpty || outcome == Outcome::kFailed) {
      outcome = ReceivePacket(request, destination, out);
    }
    if (outcome != Outcome::kOther || Clock::now() >= deadline) return outcome;
  }
}

// False on the time-out, or after Shutdown.
bool IcmpSocket::WaitForAnswer(const Request& request, IPAddr destination, Deadline deadline, EchoResult& out) {
  for (;;) {
    if (shut_) return false;
    if (Drain(request, destination, deadline, out) == Outcome::kMatched) return true;
    if (Clock::now() >= deadline) return false;
    const timespec wait = TimeLeft(deadline);
    pollfd watch{fd_, POLLIN, 0};
    ::ppoll(&watch, 1, &wait, nullptr);
  }
}

EchoResult IcmpSocket::Echo(IPAddr destination, std::span<const std::uint8_t> payload,
                            const EchoOptions& options, DWORD timeout) {
  EchoResult result;
  if (shut_ || !Configure(options)) return result;
  DiscardQueued();

  const Request request{identifier_, ++sequence_, payload};
  const std::vector<std::uint8_t> packet = BuildRequest(request);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = destination;
  const auto start = Clock::now();
  ssize_t sent;
  do {
    sent = ::sendto(fd_, packet.data(), packet.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    result.status = StatusOfSendError(errno);
    return result;
  }
  if (!WaitForAnswer(request, destination, start + std::chrono::milliseconds(timeout), result)) {
    result.status = IP_REQ_TIMED_OUT;
    return result;
  }
  result.replied = true;
  result.roundTripTime =
      static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  return result;
}

}  // namespace kelvo::echo
