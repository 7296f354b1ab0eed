#include "ping/icmp.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/module.h"
#include "platform/sockets.h"

namespace kelvo {
namespace {

constexpr char kPayloadText[] = "Pinging from Korund code written by T. Varnel";
constexpr int kMaxRequestSize = 0xffff;
constexpr std::size_t kIcmpErrorRoom = 8;

struct StatusText {
  DWORD code;
  const char16_t* text;
};

constexpr StatusText kStatusTexts[] = {
    {IP_SUCCESS, u"No error"},
    {IP_BUF_TOO_SMALL, u"Buffer too small"},
    {IP_DEST_NET_UNREACHABLE, u"Destination network unreachable"},
    {IP_DEST_HOST_UNREACHABLE, u"Destination host unreachable"},
    {IP_DEST_PROT_UNREACHABLE, u"Destination protocol unreachable"},
    {IP_DEST_PORT_UNREACHABLE, u"Destination port unreachable"},
    {IP_NO_RESOURCES, u"No resources"},
    {IP_BAD_OPTION, u"Bad option"},
    {IP_HW_ERROR, u"Hardware error"},
    {IP_PACKET_TOO_BIG, u"Packet too big"},
    {IP_REQ_TIMED_OUT, u"Request timed out"},
    {IP_BAD_REQ, u"Bad request"},
    {IP_BAD_ROUTE, u"Bad route"},
    {IP_TTL_EXPIRED_TRANSIT, u"TTL expired in transit"},
    {IP_TTL_EXPIRED_REASSEM, u"TTL expired in reassembly"},
    {IP_PARAM_PROBLEM, u"Parameter problem"},
    {IP_SOURCE_QUENCH, u"Source quench"},
    {IP_OPTION_TOO_BIG, u"Option too big"},
    {IP_BAD_DESTINATION, u"Bad Destination"},
    {IP_ADDR_DELETED, u"Address deleted"},
    {IP_SPEC_MTU_CHANGE, u"Spec MTU change"},
    {IP_MTU_CHANGE, u"MTU change"},
    {IP_GENERAL_FAILURE, u"General failure"},
    {IP_PENDING, u"Pending"},
};

template <class Proc>
Proc EntryPoint(HMODULE library, const char* name) {
  return reinterpret_cast<Proc>(GetProcAddress(library, name));
}

}  // namespace

TICMP::TICMP() {
  try {
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) throw TICMPException(u"Error initialising Winsock");
    icmpLibrary_ = LoadLibraryW(u"icmp.dll");
    if (icmpLibrary_ == nullptr) throw TICMPException(u"Unable to register icmp.dll");
    IcmpCreateFile_ = EntryPoint<IcmpCreateFileProc>(icmpLibrary_, "IcmpCreateFile");
    IcmpCloseHandle_ = EntryPoint<IcmpCloseHandleProc>(icmpLibrary_, "IcmpCloseHandle");
    IcmpSendEcho_ = EntryPoint<IcmpSendEchoProc>(icmpLibrary_, "IcmpSendEcho");
    if (IcmpCreateFile_ == nullptr || IcmpCloseHandle_ == nullptr || IcmpSendEcho_ == nullptr) {
      throw TICMPException(u"Error loading dll functions");
    }
    echoHandle_ = IcmpCreateFile_();
    if (echoHandle_ == INVALID_HANDLE_VALUE) throw TICMPException(u"Unable to get ping handle");
  } catch (...) {
    Release();
    throw;
  }
}

TICMP::~TICMP() { Release(); }

// Also undoes a construction that stopped half-way. WSACleanup runs even when WSAStartup
// failed: with no other user of the library that is a harmless error; with one it would take
// that user's start-up, which cannot happen here because the Linux library refuses only a
// missing record or a version below 1.0.
void TICMP::Release() {
  if (echoHandle_ != INVALID_HANDLE_VALUE) IcmpCloseHandle_(echoHandle_);
  if (icmpLibrary_ != nullptr) FreeLibrary(icmpLibrary_);
  WSACleanup();
}

void TICMP::SetAddress(const std::u16string& address) {
  if (address == address_) return;
  address_ = address;
  addressResolved_ = false;
}

void TICMP::Display(const std::u16string& message) {
  if (OnDisplay) OnDisplay(this, message);
}

void TICMP::ResolveAddress() {
  // A name the code page cannot carry is not looked up as some other name: it is not found.
  const std::optional<std::string> target = ToAnsi(address_);
  ipAddress_ = target ? inet_addr(target->c_str()) : INADDR_NONE;
  if (ipAddress_ == INADDR_NONE) {
    const hostent* host = target ? gethostbyname(target->c_str()) : nullptr;
    if (host == nullptr || host->h_length != 4 || host->h_addr_list == nullptr ||
        host->h_addr_list[0] == nullptr) {
      lastError_ = !target ? WSAHOST_NOT_FOUND : host == nullptr ? GetLastError() : WSANO_DATA;
      Display(u"Unable to resolve " + address_);
      return;
    }
    std::memcpy(&ipAddress_, host->h_addr_list[0], sizeof(ipAddress_));
  }
  in_addr address{};
  address.S_un.S_addr = ipAddress_;
  resolvedIP_ = FromAnsi(inet_ntoa(address));
  addressResolved_ = true;
}

int TICMP::Ping() {
  int result = 0;
  lastError_ = 0;
  if (!addressResolved_) ResolveAddress();
  if (ipAddress_ == INADDR_NONE) {
    lastError_ = IP_BAD_DESTINATION;
    Display(u"Invalid host address");
    return 0;
  }
  // A size the 16-bit request length cannot carry is refused here, before any buffer is
  // sized from it: the echo is reported as failed with "Bad request", the events as usual.
  const bool sizeFits = size_ >= 0 && size_ <= kMaxRequestSize;
  const std::size_t size = sizeFits ? static_cast<std::size_t>(size_) : 0;
  // The service wants room for an ICMP error message (8 bytes) beyond the record and the data.
  const std::size_t replySize = sizeof(ICMP_ECHO_REPLY) + size + kIcmpErrorRoom;
  const auto request = std::make_unique<unsigned char[]>(std::max<std::size_t>(size, 1));
  const auto replyBuffer = std::make_unique<unsigned char[]>(replySize);
  std::memset(request.get(), ' ', size);
  std::memcpy(request.get(), kPayloadText, std::min(size, sizeof(kPayloadText) - 1));
  std::memset(replyBuffer.get(), 0, sizeof(ICMP_ECHO_REPLY));
  if (OnEchoRequest) OnEchoRequest(this);
  if (sizeFits) {
    IP_OPTION_INFORMATION options{};
    options.Ttl = static_cast<UCHAR>(ttl_ & 0xff);
    options.Flags = static_cast<UCHAR>(flags_ & 0xff);
    result = static_cast<int>(IcmpSendEcho_(echoHandle_, ipAddress_, request.get(), static_cast<WORD>(size),
                                            &options, replyBuffer.get(), static_cast<DWORD>(replySize),
                                            static_cast<DWORD>(timeout_)));
    lastError_ = GetLastError();
  } else {
    lastError_ = IP_BAD_REQ;
  }
  std::memcpy(&reply_, replyBuffer.get(), sizeof(reply_));
  if (OnEchoReply) OnEchoReply(this, result);
  return result;
}

std::u16string IcmpStatusText(DWORD status) {
  for (const StatusText& s : kStatusTexts) {
    if (s.code == status) return s.text;
  }
  return u"ICMP error #" + DecimalText(status);
}

std::u16string TICMP::ErrorText() const { return IcmpStatusText(lastError_); }

}  // namespace kelvo
