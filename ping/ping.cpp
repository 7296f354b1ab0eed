#include "ping/ping.h"

#include <cstring>
#include <optional>
#include <string>

#include "platform/async_resolver.h"
#include "platform/text.h"

namespace kelvo {

namespace {

std::u16string DottedText(ULONG address) {
  in_addr value{};
  value.S_un.S_addr = address;
  return FromAnsi(inet_ntoa(value));
}

}  // namespace

TPing::TPing(TComponent* AOwner) : TMsgWndControl(AOwner) {
  try {
    AcquireWindow();
    icmp_ = std::make_unique<TICMP>();
  } catch (...) {
    // Released here, while our own overrides still run to give the lookup number back.
    ReleaseOnDestroy();
    throw;
  }
  icmp_->OnDisplay = [this](TICMP* icmp, const std::u16string& msg) {
    if (OnDisplay) OnDisplay(this, icmp, msg);
  };
  icmp_->OnEchoRequest = [this](TICMP* icmp) {
    if (OnEchoRequest) OnEchoRequest(this, icmp);
  };
  icmp_->OnEchoReply = [this](TICMP* icmp, int status) {
    if (OnEchoReply) OnEchoReply(this, icmp, status);
  };
}

TPing::~TPing() {
  try {
    CancelDnsLookup();
  } catch (...) {
    ReportDestructionError();
  }
  icmp_.reset();
  ReleaseOnDestroy();
}

void TPing::ReportDestructionError() noexcept {
  try {
    HandleCurrentError();
  } catch (...) {
    // HandleMessageError lets nothing through; a destructor must not either.
  }
}

std::u16string TPing::Address() const { return icmp_ ? icmp_->Address() : std::u16string(); }
void TPing::SetAddress(const std::u16string& value) {
  if (icmp_) icmp_->SetAddress(value);
}
int TPing::Size() const { return icmp_ ? icmp_->Size() : 0; }
void TPing::SetSize(int value) {
  if (icmp_) icmp_->SetSize(value);
}
int TPing::Timeout() const { return icmp_ ? icmp_->Timeout() : 0; }
void TPing::SetTimeout(int value) {
  if (icmp_) icmp_->SetTimeout(value);
}
int TPing::TTL() const { return icmp_ ? icmp_->TTL() : 0; }
void TPing::SetTTL(int value) {
  if (icmp_) icmp_->SetTTL(value);
}
int TPing::Flags() const { return icmp_ ? icmp_->Flags() : 0; }
void TPing::SetFlags(int value) {
  if (icmp_) icmp_->SetFlags(value);
}

int TPing::Ping() { return icmp_ ? icmp_->Ping() : 0; }

ICMP_ECHO_REPLY TPing::Reply() const { return icmp_ ? icmp_->Reply() : ICMP_ECHO_REPLY{}; }

std::u16string TPing::ErrorText() const { return icmp_ ? icmp_->ErrorText() : std::u16string(); }

std::u16string TPing::ResolvedIP() const { return icmp_ ? icmp_->ResolvedIP() : std::u16string(); }

void TPing::DnsLookup(const std::u16string& HostName) {
  if (dnsLookupHandle_ != nullptr) {
    WSACancelAsyncRequest(dnsLookupHandle_);
    dnsLookupHandle_ = nullptr;
  }
  dnsResult_.clear();

  // A name the code page cannot carry is not looked up as some other name: it is not found.
  const std::optional<std::string> name = ToAnsi(HostName);
  if (!name) {
    if (OnDnsLookupDone) OnDnsLookupDone(this, static_cast<WORD>(WSAHOST_NOT_FOUND));
    return;
  }
  const ULONG address = inet_addr(name->c_str());
  if (address != INADDR_NONE) {
    dnsResult_ = DottedText(address);
    if (OnDnsLookupDone) OnDnsLookupDone(this, 0);
    return;
  }

  dnsLookupHandle_ =
      WSAAsyncGetHostByName(Handle(), msgDnsLookup_, name->c_str(), hostEntry_, HostEntrySize);
  if (dnsLookupHandle_ == nullptr) {
    throw Exception(HostName + u": can't start DNS lookup, error #" + DecimalText(WSAGetLastError()));
  }
}

void TPing::CancelDnsLookup() {
  if (dnsLookupHandle_ == nullptr) return;
  // A lookup that completed a moment ago has its message still on the way; with nothing pending
  // that message is ignored, so for the caller it is cancelled like any other. Windows says
  // "nothing pending" with either of two codes.
  if (WSACancelAsyncRequest(dnsLookupHandle_) != 0) {
    const int error = WSAGetLastError();
    if (error != static_cast<int>(WSAEALREADY) && error != static_cast<int>(WSAEINVAL)) {
      throw Exception(u"WSACancelAsyncRequest failed, error #" + DecimalText(error));
    }
  }
  dnsLookupHandle_ = nullptr;
  if (OnDnsLookupDone) OnDnsLookupDone(this, static_cast<WORD>(WSAEINTR));
}

void TPing::WMAsyncGetHostByName(TMessage& Message) {
  // With nothing pending every completion is stale, whatever handle it carries.
  if (dnsLookupHandle_ == nullptr || reinterpret_cast<HANDLE>(Message.WParam) != dnsLookupHandle_) {
    return;
  }
  dnsLookupHandle_ = nullptr;
  WORD error = WSAGETASYNCERROR(Message.LParam);
  if (error == 0) {
    const auto* host = reinterpret_cast<const hostent*>(hostEntry_);
    if (host->h_addr_list != nullptr && host->h_addr_list[0] != nullptr) {
      ULONG address = 0;
      std::memcpy(&address, host->h_addr_list[0], sizeof(address));
      dnsResult_ = DottedText(address);
    } else {
      // A host entry without an address cannot be pinged: report it as a lookup that found
      // no data rather than read past the list.
      error = static_cast<WORD>(WSANO_DATA);
    }
  }
  if (OnDnsLookupDone) OnDnsLookupDone(this, error);
}

void TPing::WndProc(TMessage& Message) {
  try {
    if (Message.Msg == msgDnsLookup_ && msgDnsLookup_ != 0) {
      WMAsyncGetHostByName(Message);
    } else {
      TMsgWndControl::WndProc(Message);
    }
  } catch (...) {
    HandleCurrentError();
  }
}

void TPing::HandleMessageError(const std::exception& E) {
  bool canAbort = true;
  if (OnMessageError) {
    try {
      OnMessageError(this, E, canAbort);
    } catch (...) {
    }
  }
  if (canAbort) {
    try {
      AbortAfterError();
    } catch (...) {
    }
  }
}

int TPing::MessageCount() { return TMsgWndControl::MessageCount() + 1; }

void TPing::RegisterMessages() {
  TMsgWndControl::RegisterMessages();
  msgDnsLookup_ = Handler()->RegisterMessage(this);
}

void TPing::UnregisterMessages() {
  if (Handler() != nullptr) Handler()->UnregisterMessage(msgDnsLookup_);
  TMsgWndControl::UnregisterMessages();
}

}  // namespace kelvo
