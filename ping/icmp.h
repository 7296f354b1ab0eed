// TICMP: one ICMP echo request at a time to an IPv4 host through the platform's echo
// service, loaded at run time from icmp.dll. Everything runs on, and blocks, the caller's
// thread.
#pragma once

#include <functional>
#include <string>

#include "ui/component.h"
#include "platform/exception.h"
#include "platform/icmp.h"
#include "platform/win_types.h"

namespace kelvo {

class TICMPException : public Exception {
 public:
  using Exception::Exception;
};

// The words for an echo status or error code (IP_REQ_TIMED_OUT is "Request timed out"), or
// "ICMP error #" and the number for a code without words.
std::u16string IcmpStatusText(DWORD status);

class TICMP;
using TICMPDisplay = std::function<void(TICMP* Sender, const std::u16string& Msg)>;
using TICMPEchoRequest = std::function<void(TICMP* Sender)>;
using TICMPEchoReply = std::function<void(TICMP* Sender, int Status)>;

class TICMP : public TObject {
 public:
  // Starts the socket library, loads icmp.dll and opens an echo handle; throws
  // TICMPException, having undone what it did, when any of that fails.
  TICMP();
  ~TICMP() override;
  TICMP(const TICMP&) = delete;
  TICMP& operator=(const TICMP&) = delete;

  const std::u16string& Address() const { return address_; }
  // An equal text keeps the earlier resolution; any other makes the next Ping resolve again.
  void SetAddress(const std::u16string& address);
  int Size() const { return size_; }
  void SetSize(int size) { size_ = size; }
  int Timeout() const { return timeout_; }
  void SetTimeout(int timeout) { timeout_ = timeout; }
  int TTL() const { return ttl_; }
  void SetTTL(int ttl) { ttl_ = ttl; }
  int Flags() const { return flags_; }
  void SetFlags(int flags) { flags_ = flags; }

  ICMP_ECHO_REPLY Reply() const { return reply_; }
  DWORD LastError() const { return lastError_; }
  const std::u16string& ResolvedIP() const { return resolvedIP_; }
  DWORD IPAddress() const { return ipAddress_; }
  bool AddressResolved() const { return addressResolved_; }

  // Parses Address as a dotted address, else looks it up by name.
  void ResolveAddress();
  // Sends one echo request; the number of replies, 0 on failure (LastError says why).
  int Ping();
  std::u16string ErrorText() const;

  TICMPDisplay OnDisplay;
  TICMPEchoRequest OnEchoRequest;
  TICMPEchoReply OnEchoReply;

 private:
  void Release();
  void Display(const std::u16string& message);

  HMODULE icmpLibrary_ = nullptr;
  IcmpCreateFileProc IcmpCreateFile_ = nullptr;
  IcmpCloseHandleProc IcmpCloseHandle_ = nullptr;
  IcmpSendEchoProc IcmpSendEcho_ = nullptr;
  HANDLE echoHandle_ = INVALID_HANDLE_VALUE;
  ICMP_ECHO_REPLY reply_{};
  std::u16string address_;
  std::u16string resolvedIP_;
  DWORD ipAddress_ = 0xffffffff;
  int size_ = 56;
  int timeout_ = 4000;
  int ttl_ = 64;
  int flags_ = 0;
  DWORD lastError_ = 0;
  bool addressResolved_ = false;
};

}  // namespace kelvo
