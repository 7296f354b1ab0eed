#include "ping/msg_wnd.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "platform/sync.h"
#include "ui/toolkit_events.h"

namespace kelvo {

namespace {

constexpr UINT DefaultBaseMessage = WM_USER + 1;
constexpr UINT HighestBaseMessage = 0xFFFF - MsgWndSlotCount - 1;  // 65434: the range ends below 65535

// The pool lock lives as long as the process: a thread may still be waiting for it when the
// last window released after shutdown frees the pool.
CRITICAL_SECTION poolLock;
// Guards the class registration and liveWindows; always taken inside the pool lock.
CRITICAL_SECTION classLock;
int liveWindows = 0;
std::atomic<TMsgWndHandlerPool*> pool{nullptr};
std::atomic<bool> finalized{false};
std::atomic<UINT> baseMessage{DefaultBaseMessage};

// Frees the pool once shutdown has happened and nothing holds a window any more.
void FinalizeCheck() {
  CriticalSectionLock lock(&poolLock);
  TMsgWndHandlerPool* current = pool.load();
  if (current == nullptr || current->HoldsThreadLists()) return;
  pool.store(nullptr);
  delete current;
  DeleteCriticalSection(&classLock);
}

struct MsgWndUnit {
  MsgWndUnit() {
    InitializeCriticalSection(&poolLock);
    InitializeCriticalSection(&classLock);
    pool.store(new TMsgWndHandlerPool);
  }
  ~MsgWndUnit() { FinalizeMsgWndUnit(); }
};
const MsgWndUnit unit;

UINT TakeBaseMessage() {
  UINT value = baseMessage.load();
  if (value < DefaultBaseMessage || value > HighestBaseMessage) {
    value = DefaultBaseMessage;
    baseMessage.store(value);
  }
  return value;
}

std::u16string ErrorText(const char16_t* text, DWORD error) {
  return text + DecimalText(error) + u".";
}

}  // namespace

TMsgWndHandlerPool* MsgWndHandlerPool() { return pool.load(); }

// The library counts as shut down before the check runs, so that a window released at the same
// moment on another thread repeats the check instead of leaving the pool behind.
void FinalizeMsgWndUnit() {
  if (finalized.exchange(true)) return;
  FinalizeCheck();
}

UINT MsgWndBaseMessage() { return baseMessage.load(); }
void SetMsgWndBaseMessage(UINT value) { baseMessage.store(value); }

// ---- TMsgWndHandler ----

TMsgWndHandler::TMsgWndHandler(TMsgWndHandlerList* ownerList, UINT msgLow) : msgLow_(msgLow), ownerList_(ownerList) {}

TMsgWndHandler::~TMsgWndHandler() { DestroyHiddenWindow(); }

void TMsgWndHandler::CreateHiddenWindow() {
  if (handle_ != nullptr) return;
  CriticalSectionLock lock(&classLock);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW known{};
  if (!GetClassInfoW(instance, MsgWndClassName, &known)) {
    const WNDCLASSW windowClass{.style = 0,
                                .lpfnWndProc = HiddenWindowProc,
                                .cbClsExtra = 0,
                                .cbWndExtra = sizeof(TMsgWndHandler*),
                                .hInstance = instance,
                                .hIcon = nullptr,
                                .hCursor = nullptr,
                                .hbrBackground = nullptr,
                                .lpszMenuName = nullptr,
                                .lpszClassName = MsgWndClassName};
    if (RegisterClassW(&windowClass) == 0) {
      throw EMsgWndException(ErrorText(u"Unable to register TMsgWndControl hidden window class. Error #", GetLastError()));
    }
  }
  handle_ = CreateWindowExW(WS_EX_TOOLWINDOW, MsgWndClassName, u"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                            instance, nullptr);
  if (handle_ == nullptr) {
    throw EMsgWndException(ErrorText(u"Unable to create TMsgWndControl hidden window.  Error #", GetLastError()));
  }
  // A pointer-sized slot: a 32-bit window long would cut the pointer in a 64-bit build.
  SetWindowLongPtrW(handle_, 0, reinterpret_cast<LONG_PTR>(this));
  ++liveWindows;
}

void TMsgWndHandler::DestroyHiddenWindow() {
  if (handle_ == nullptr) return;
  slots_.fill(nullptr);
  boundCount_ = 0;
  SetWindowLongPtrW(handle_, 0, 0);
  DestroyWindow(handle_);
  handle_ = nullptr;
  CriticalSectionLock lock(&classLock);
  if (--liveWindows <= 0) UnregisterClassW(MsgWndClassName, GetModuleHandleW(nullptr));
}

UINT TMsgWndHandler::RegisterMessage(TMsgWndControl* object) {
  if (msgLow_ < WM_USER) throw EMsgWndException(u"MsgLow not defined");
  if (boundCount_ >= MsgWndSlotCount) throw EMsgWndException(u"No more free message");
  const auto free = std::find(slots_.begin(), slots_.end(), nullptr);
  *free = object;
  ++boundCount_;
  return msgLow_ + static_cast<UINT>(free - slots_.begin());
}

void TMsgWndHandler::UnregisterMessage(UINT& message) {
  if (message == 0) return;
  if (msgLow_ < WM_USER) throw EMsgWndException(u"MsgLow not defined");
  if (message < msgLow_ || message >= msgLow_ + MsgWndSlotCount) throw EMsgWndException(u"Msg value out of bound");
  TMsgWndControl*& slot = slots_[message - msgLow_];
  if (slot == nullptr) throw EMsgWndException(u"Msg not registered");
  slot = nullptr;
  --boundCount_;
  const UINT givenBack = message;
  message = 0;
  if (boundCount_ == 0) {
    DestroyHiddenWindow();
  } else {
    DropQueuedMessages(givenBack);
  }
}

// What is still queued for a number given back was meant for its old owner; the next object to
// take the number must not receive it (a late release message would destroy it). Only the
// window's own thread reaches its queue.
void TMsgWndHandler::DropQueuedMessages(UINT number) {
  if (handle_ == nullptr || ownerList_ == nullptr || ownerList_->ThreadId != GetCurrentThreadId()) return;
  MSG queued{};
  while (PeekMessageW(&queued, handle_, number, number, PM_REMOVE)) {
    if (queued.message == WM_QUIT) {  // taken whatever the filter, and it belongs to the loop
      PostQuitMessage(static_cast<int>(queued.wParam));
      return;
    }
  }
}

void TMsgWndHandler::UnregisterObject(const TMsgWndControl* object) {
  for (UINT number = msgLow_; number < msgLow_ + MsgWndSlotCount && boundCount_ > 0; ++number) {
    UINT bound = number;
    if (slots_[number - msgLow_] == object) UnregisterMessage(bound);
  }
}

// The bound control may destroy itself, this handler and the window while it handles the
// message: nothing here is touched after the call.
void TMsgWndHandler::WndProc(TMessage& message) {
  try {
    if (message.Msg >= msgLow_ && message.Msg < msgLow_ + MsgWndSlotCount) {
      if (TMsgWndControl* owner = slots_[message.Msg - msgLow_]) {
        owner->WndProc(message);
        return;
      }
    }
    message.Result = DefWindowProcW(handle_, message.Msg, message.WParam, message.LParam);
  } catch (...) {
    // Nothing may reach the platform's dispatcher.
  }
}

// The record lives here, on the stack, so that its result survives the handler.
LRESULT HiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* handler = reinterpret_cast<TMsgWndHandler*>(GetWindowLongPtrW(window, 0));
  if (handler == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  TMessage record{.Msg = message, .WParam = wParam, .LParam = lParam, .Result = 0};
  handler->WndProc(record);
  return record.Result;
}

// ---- TMsgWndHandlerPool ----

TMsgWndHandler* TMsgWndHandlerPool::AcquireHandler(int messageCount, DWORD threadId) {
  const auto found = std::find_if(lists_.rbegin(), lists_.rend(), [threadId](const auto& list) { return list->ThreadId == threadId; });
  TMsgWndHandlerList* list = nullptr;
  if (found != lists_.rend()) {
    list = found->get();
  } else {
    list = lists_.emplace_back(new TMsgWndHandlerList{.ThreadId = threadId, .Handlers = {}}).get();
  }
  for (const auto& handler : list->Handlers) {
    if (handler->FreeMessageCount() >= messageCount) return handler.get();
  }
  return list->Handlers.emplace_back(std::make_unique<TMsgWndHandler>(list, TakeBaseMessage())).get();
}

void TMsgWndHandlerPool::ReleaseHandler(TMsgWndHandler*& handler) {
  TMsgWndHandlerList* list = handler->OwnerList();
  const auto found = std::find_if(list->Handlers.begin(), list->Handlers.end(), [handler](const auto& held) { return held.get() == handler; });
  if (found == list->Handlers.end()) return;
  list->Handlers.erase(found);
  handler = nullptr;
  if (list->Handlers.empty()) std::erase_if(lists_, [list](const auto& held) { return held.get() == list; });
}

void TMsgWndHandlerPool::Lock() { EnterCriticalSection(&poolLock); }
void TMsgWndHandlerPool::Unlock() { LeaveCriticalSection(&poolLock); }

int TMsgWndHandlerPool::HandlerCount(DWORD threadId) const {
  CriticalSectionLock lock(&poolLock);
  const auto found = std::find_if(lists_.begin(), lists_.end(), [threadId](const auto& list) { return list->ThreadId == threadId; });
  return found == lists_.end() ? 0 : static_cast<int>((*found)->Handlers.size());
}

// ---- TMsgWndControl ----

// Tells a loop of the control whether a message it dispatched destroyed the control.
class DestructionWatch {
 public:
  explicit DestructionWatch(TMsgWndControl& control) : control_(control), outer_(control.destroyedWhileDispatching_) {
    control_.destroyedWhileDispatching_ = &destroyed_;
  }
  ~DestructionWatch() {
    if (!destroyed_) {
      control_.destroyedWhileDispatching_ = outer_;
    } else if (outer_ != nullptr) {
      *outer_ = true;
    }
  }
  DestructionWatch(const DestructionWatch&) = delete;
  DestructionWatch& operator=(const DestructionWatch&) = delete;

  bool Destroyed() const { return destroyed_; }

 private:
  TMsgWndControl& control_;
  bool* outer_;
  bool destroyed_ = false;
};

TMsgWndControl::TMsgWndControl(TComponent* AOwner) : TComponent(AOwner) {}

// A destructor cannot report: a failing release is dropped here.
TMsgWndControl::~TMsgWndControl() {
  if (destroyedWhileDispatching_ != nullptr) *destroyedWhileDispatching_ = true;
  try {
    ReleaseOnDestroy();
  } catch (...) {
  }
}

void TMsgWndControl::ReleaseOnDestroy() {
  if (releasedOnDestroy_) return;
  ReleaseWindow();
  releasedOnDestroy_ = true;
}

HWND TMsgWndControl::Handle() {
  if (handle_ == nullptr) AcquireWindow();
  return handle_;
}

void TMsgWndControl::AcquireWindow() {
  if (handle_ != nullptr) return;
  CriticalSectionLock lock(&poolLock);
  TMsgWndHandlerPool* current = pool.load();
  if (finalized.load() || current == nullptr) {
    throw EAssertionFailed(u"Unit is already finalized, check your threads!!!");
  }
  owningThreadId_ = GetCurrentThreadId();
  if (handler_ == nullptr) handler_ = current->AcquireHandler(MessageCount(), owningThreadId_);
  try {
    handler_->CreateHiddenWindow();
  } catch (...) {
    // A handler made for this control alone must not stay in the pool without a window.
    if (handler_->FreeMessageCount() == MsgWndSlotCount) current->ReleaseHandler(handler_);
    handler_ = nullptr;
    owningThreadId_ = 0;
    throw;
  }
  handle_ = handler_->Handle();
  RegisterMessages();
}

void TMsgWndControl::ReleaseWindow() {
  if (handle_ == nullptr) return;
  {
    CriticalSectionLock lock(&poolLock);
    UnregisterMessages();
    handler_->UnregisterObject(this);
    if (handler_->FreeMessageCount() == MsgWndSlotCount) pool.load()->ReleaseHandler(handler_);
    handle_ = nullptr;
    handler_ = nullptr;
    owningThreadId_ = 0;
  }
  if (finalized.load()) FinalizeCheck();
}

int TMsgWndControl::MessageCount() { return 1; }

void TMsgWndControl::RegisterMessages() { releaseMessage_ = handler_->RegisterMessage(this); }

void TMsgWndControl::UnregisterMessages() {
  if (handler_ != nullptr) handler_->UnregisterMessage(releaseMessage_);
}

// ReleaseReceived may destroy this control: nothing of it is touched after it.
void TMsgWndControl::WndProc(TMessage& Message) {
  try {
    if (Message.Msg == releaseMessage_) {
      ReleaseReceived();
      return;
    }
    Message.Result = DefWindowProcW(Handle(), Message.Msg, Message.WParam, Message.LParam);
  } catch (...) {
    HandleCurrentError();
  }
}

void TMsgWndControl::HandleCurrentError() {
  try {
    throw;
  } catch (const std::exception& E) {
    HandleMessageError(E);
  } catch (...) {
    // Not of the standard type, so without a text of its own: reported all the same.
    HandleMessageError(Exception(u"Unknown error"));
  }
}

void TMsgWndControl::HandleMessageError(const std::exception& E) {
  bool CanAbort = true;
  if (OnMessageError) {
    try {
      TriggerMessageError(E, CanAbort);
    } catch (...) {
    }
  }
  if (CanAbort) {
    try {
      AbortAfterError();
    } catch (...) {
    }
  }
}

void TMsgWndControl::TriggerMessageError(const std::exception& E, bool& CanAbort) {
  if (OnMessageError) OnMessageError(this, E, CanAbort);
}

void TMsgWndControl::ReleaseReceived() { delete this; }

void TMsgWndControl::AbortAfterError() {}

// The window first: acquiring it is what reserves the release number.
void TMsgWndControl::Release() {
  const HWND window = Handle();
  PostMessageW(window, releaseMessage_, 0, 0);
}

void TMsgWndControl::ThreadAttach() {
  if (handle_ != nullptr) throw EMsgWndException(u"Cannot attach when not detached");
  AcquireWindow();
}

void TMsgWndControl::ThreadDetach() {
  if (GetCurrentThreadId() != owningThreadId_) throw EMsgWndException(u"Cannot detach from another thread");
  ReleaseWindow();
}

// GetMessageW failing (-1) ends the loop as the quit message does: retrying would only spin.
// A message that destroys this control leaves the loop running for the thread until its quit.
void TMsgWndControl::MessageLoop() {
  DestructionWatch watch(*this);
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (!watch.Destroyed()) terminated_ = true;
}

bool TMsgWndControl::ProcessMessage() {
  MSG message{};
  if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) return false;
  if (message.message == WM_QUIT) {
    terminated_ = true;
    return true;
  }
  TranslateMessage(&message);
  DispatchMessageW(&message);
  return true;
}

void TMsgWndControl::ProcessMessages() {
  DestructionWatch watch(*this);
  while (ProcessMessage() && !watch.Destroyed()) {
  }
}

void TMsgWndControl::MessagePump() {
  if (multiThreaded_) {
    ProcessMessages();
  } else {
    ProcessPendingEvents();
  }
}

}  // namespace kelvo
