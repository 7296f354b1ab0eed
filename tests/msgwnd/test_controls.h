// Controls for the tests: a component that reserves extra message numbers, as the ping
// component does with its lookup number, and reports what reaches it.
#pragma once

#include <functional>
#include <vector>

#include "ping/msg_wnd.h"

namespace kelvo::testing {

class TNumbersControl : public TMsgWndControl {
 public:
  // extra: how many numbers beyond the base's release number it reserves.
  explicit TNumbersControl(TComponent* AOwner = nullptr, int extra = 1) : TMsgWndControl(AOwner), numbers(extra, 0) {}
  ~TNumbersControl() override {
    ReleaseOnDestroy();
    if (destroyed != nullptr) *destroyed = true;
  }

  int MessageCount() override { return TMsgWndControl::MessageCount() + static_cast<int>(numbers.size()); }
  void RegisterMessages() override {
    TMsgWndControl::RegisterMessages();
    for (UINT& number : numbers) number = Handler()->RegisterMessage(this);
  }
  void UnregisterMessages() override {
    if (Handler() != nullptr) {
      for (UINT& number : numbers) Handler()->UnregisterMessage(number);
    }
    TMsgWndControl::UnregisterMessages();
  }
  void WndProc(TMessage& Message) override {
    if (numbers.empty() || Message.Msg != numbers[0]) return TMsgWndControl::WndProc(Message);
    try {
      if (record) {
        received.push_back(Message.WParam);
        receivedOn.push_back(GetCurrentThreadId());
      }
      Message.Result = static_cast<LRESULT>(Message.WParam) + 1;
      if (onMessage) onMessage(Message);
    } catch (const std::exception& E) {
      HandleMessageError(E);
    }
  }
  void AbortAfterError() override {
    ++aborts;
    if (abortThrows) throw Exception(u"abort failed");
  }

  UINT Lookup() const { return numbers.at(0); }

  std::vector<UINT> numbers;
  std::vector<WPARAM> received;
  std::vector<DWORD> receivedOn;
  bool record = true;  // off where only onMessage matters, such as in the benchmark
  std::function<void(TMessage&)> onMessage;
  int aborts = 0;
  bool abortThrows = false;
  bool* destroyed = nullptr;
};

}  // namespace kelvo::testing
