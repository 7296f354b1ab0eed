// Hidden message windows shared between components. A component that needs window messages
// (asynchronous completions posted by the platform) derives from TMsgWndControl and reserves a
// few message numbers on an invisible window of its thread; the window routes each number to the
// component that reserved it. One window serves up to 100 numbers, so most threads need one.
#pragma once

#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "ui/component.h"
#include "platform/exception.h"
#include "platform/window_messages.h"

namespace kelvo {

class EMsgWndException : public Exception {
 public:
  using Exception::Exception;
};

// A broken assumption about the program's own state, such as using the library after its
// shutdown.
class EAssertionFailed : public Exception {
 public:
  using Exception::Exception;
};

struct TMessage {
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};

inline constexpr int MsgWndSlotCount = 100;
inline constexpr WideText MsgWndClassName = u"MsgWndControlWindowClass";

class TMsgWndControl;
struct TMsgWndHandlerList;

// One hidden window and the table of message numbers MsgLow .. MsgLow + 99 reserved on it.
class TMsgWndHandler {
 public:
  TMsgWndHandler(TMsgWndHandlerList* ownerList, UINT msgLow);
  ~TMsgWndHandler();
  TMsgWndHandler(const TMsgWndHandler&) = delete;
  TMsgWndHandler& operator=(const TMsgWndHandler&) = delete;

  void CreateHiddenWindow();
  void DestroyHiddenWindow();
  UINT RegisterMessage(TMsgWndControl* object);
  // Sets message to 0 once it is given back; the last number given back destroys the window.
  void UnregisterMessage(UINT& message);
  // Gives back whatever numbers the object still holds.
  void UnregisterObject(const TMsgWndControl* object);
  int FreeMessageCount() const { return MsgWndSlotCount - boundCount_; }
  void WndProc(TMessage& message);

  HWND Handle() const { return handle_; }
  UINT MsgLow() const { return msgLow_; }
  TMsgWndHandlerList* OwnerList() const { return ownerList_; }

 private:
  void DropQueuedMessages(UINT number);

  HWND handle_ = nullptr;
  std::array<TMsgWndControl*, MsgWndSlotCount> slots_{};
  UINT msgLow_;
  int boundCount_ = 0;
  TMsgWndHandlerList* ownerList_;
};

// The handlers of one thread, in creation order.
struct TMsgWndHandlerList {
  DWORD ThreadId;
  std::vector<std::unique_ptr<TMsgWndHandler>> Handlers;
};

// The process's hidden windows, one list per thread that has any.
class TMsgWndHandlerPool {
 public:
  // Both called with the pool locked.
  TMsgWndHandler* AcquireHandler(int messageCount, DWORD threadId);
  // Destroys the handler (and its thread's list once empty) and clears the reference, but only
  // a handler that its list really holds.
  void ReleaseHandler(TMsgWndHandler*& handler);

  void Lock();
  void Unlock();

  bool HoldsThreadLists() const { return !lists_.empty(); }
  // Takes the lock itself: for callers outside the pool.
  int HandlerCount(DWORD threadId) const;

 private:
  std::vector<std::unique_ptr<TMsgWndHandlerList>> lists_;
};

// The pool, or null once the library has been shut down and the last window released.
TMsgWndHandlerPool* MsgWndHandlerPool();

// Library shutdown: runs once at program exit. Windows still held are released normally later,
// and the last of them frees the pool.
void FinalizeMsgWndUnit();

// The first message number of new windows: 1025 unless set; a value outside 1025..65434
// reverts to 1025 when the next window takes it.
UINT MsgWndBaseMessage();
void SetMsgWndBaseMessage(UINT value);

// The window procedure of the hidden window class: routes to the window's handler.
LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The base of components that receive window messages. A subclass that reserves numbers of its
// own overrides MessageCount, RegisterMessages and UnregisterMessages, and calls
// ReleaseOnDestroy first in its own destructor, while its overrides still run. (Should it not,
// the base still gives back every number bound to the object: no window keeps routing to a
// destroyed control.)
class TMsgWndControl : public TComponent {
 public:
  using TMsgWndErrorEvent = std::function<void(TObject* Sender, const std::exception& E, bool& CanAbort)>;

  explicit TMsgWndControl(TComponent* AOwner);
  ~TMsgWndControl() override;

  // Acquires the window on first use.
  HWND Handle();
  UINT ReleaseMessage() const { return releaseMessage_; }
  DWORD OwningThreadId() const { return owningThreadId_; }
  bool Terminated() const { return terminated_; }
  bool MultiThreaded() const { return multiThreaded_; }
  void SetMultiThreaded(bool value) { multiThreaded_ = value; }

  TMsgWndErrorEvent OnMessageError;

  virtual void ReleaseOnDestroy();
  // Errors raised while a message is handled end in HandleMessageError, never in the caller.
  virtual void WndProc(TMessage& Message);
  virtual void HandleMessageError(const std::exception& E);
  virtual void TriggerMessageError(const std::exception& E, bool& CanAbort);
  // Destroys the control: nothing of it may be touched once this returns.
  virtual void ReleaseReceived();
  virtual void AcquireWindow();
  virtual void ReleaseWindow();
  virtual int MessageCount();
  virtual void RegisterMessages();
  virtual void UnregisterMessages();
  virtual void AbortAfterError();
  // Destroys the control later, when its thread dispatches the message this posts. For controls
  // made with new.
  virtual void Release();
  virtual void ThreadAttach();
  virtual void ThreadDetach();
  virtual void MessageLoop();
  virtual bool ProcessMessage();
  virtual void ProcessMessages();
  virtual void MessagePump();

 protected:
  TMsgWndHandler* Handler() const { return handler_; }
  // Passes the error being handled, of whatever type, to HandleMessageError. Inside a catch block.
  void HandleCurrentError();

 private:
  friend class DestructionWatch;

  bool releasedOnDestroy_ = false;
  HWND handle_ = nullptr;
  DWORD owningThreadId_ = 0;
  bool terminated_ = false;
  bool multiThreaded_ = false;
  TMsgWndHandler* handler_ = nullptr;
  UINT releaseMessage_ = 0;
  // Set while a loop of this control dispatches, to learn whether a message destroyed it.
  bool* destroyedWhileDispatching_ = nullptr;
};

}  // namespace kelvo
