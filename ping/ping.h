// TPing: the ping component. It owns one echo engine, publishes the engine's settings as its
// own properties, re-fires the engine's callbacks as its events, and adds an asynchronous
// host-name lookup whose completion arrives as a message on its hidden window.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ping/icmp.h"
#include "ping/msg_wnd.h"
#include "platform/sockets.h"

namespace kelvo {

using TPingDisplay = std::function<void(TObject* Sender, TObject* Icmp, const std::u16string& Msg)>;
using TPingRequest = std::function<void(TObject* Sender, TObject* Icmp)>;
using TPingReply = std::function<void(TObject* Sender, TObject* Icmp, int Status)>;
using TDnsLookupDone = std::function<void(TObject* Sender, WORD Error)>;

class TPing : public TMsgWndControl {
 public:
  // Room the platform's asynchronous lookup gets for its host entry.
  static constexpr int HostEntrySize = 2050;

  explicit TPing(TComponent* AOwner);
  // Cancels and reports a pending lookup first. An error raised by that cancellation or by an
  // OnDnsLookupDone handler does not stop the destruction: it goes to OnMessageError, as an
  // error raised while a message is handled would.
  ~TPing() override;

  std::u16string Address() const;
  void SetAddress(const std::u16string& value);
  int Size() const;
  void SetSize(int value);
  int Timeout() const;
  void SetTimeout(int value);
  int TTL() const;
  void SetTTL(int value);
  int Flags() const;
  void SetFlags(int value);

  TPingDisplay OnDisplay;
  TPingRequest OnEchoRequest;
  TPingReply OnEchoReply;
  TDnsLookupDone OnDnsLookupDone;

  // One synchronous echo; the number of replies, 0 on failure.
  int Ping();
  // The answer comes through OnDnsLookupDone and DnsResult: at once for a dotted address,
  // later from the message loop for a host name.
  void DnsLookup(const std::u16string& HostName);
  void CancelDnsLookup();
  const std::u16string& DnsResult() const { return dnsResult_; }
  ICMP_ECHO_REPLY Reply() const;
  std::u16string ErrorText() const;
  std::u16string ResolvedIP() const;
  UINT DnsLookupMessage() const { return msgDnsLookup_; }

  void WndProc(TMessage& Message) override;
  void HandleMessageError(const std::exception& E) override;
  int MessageCount() override;
  void RegisterMessages() override;
  void UnregisterMessages() override;

 protected:
  virtual void WMAsyncGetHostByName(TMessage& Message);

 private:
  // Inside a catch block.
  void ReportDestructionError() noexcept;

  std::unique_ptr<TICMP> icmp_;
  alignas(hostent) char hostEntry_[HostEntrySize];
  HANDLE dnsLookupHandle_ = nullptr;
  std::u16string dnsResult_;
  UINT msgDnsLookup_ = 0;
};

}  // namespace kelvo
