// Window classes and message windows in one process-wide registry. A window belongs to the
// thread that created it and holds that thread's queue, so a poster on any thread reaches it.
// Posting holds the registry shared while it queues, and destruction holds it exclusively while
// it drops the window's queued messages: a message can never outlive its window in a queue.
// Window procedures always run without a lock held; they may create, destroy and post freely.
// Only the owning thread destroys a window, so that thread finds its own windows in a list of
// its own, without the registry lock: dispatching never contends with posters for it. A thread
// that ends takes the windows it still has with it, as on the platform: posts to them fail
// instead of filling a queue nobody reads, and their classes can be unregistered.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/window_messages/message_queue.h"
#include "platform/window_messages.h"

namespace kelvo {

namespace {

constexpr DWORD ERROR_MOD_NOT_FOUND = 126;

// Class names compare without regard to ASCII case, as on the platform.
std::u16string ClassKey(LPCWSTR name) {
  std::u16string key(name);
  for (auto& c : key) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return key;
}

// A class may also be named by its atom, passed in place of the name pointer.
bool IsAtom(LPCWSTR name) { return reinterpret_cast<std::uintptr_t>(name) <= 0xFFFF; }

constexpr std::size_t kFirstClassAtom = 0xC000;
constexpr std::size_t kClassAtoms = 0x10000 - kFirstClassAtom;

struct WindowClass {
  WNDCLASSW record;
  std::u16string name;
  ATOM atom;
  int windows = 0;
};

struct Window {
  WindowClass* windowClass;
  WNDPROC procedure;
  DWORD threadId;
  std::shared_ptr<ThreadQueue> queue;
  // Pointer-sized words, read by the owner without the registry lock and written by anyone.
  std::vector<std::atomic<LONG_PTR>> extra;
  bool destroying = false;
};

// The calling thread's own windows. Their records stay put until this thread destroys them.
struct OwnWindows {
  OwnWindows() = default;
  ~OwnWindows();
  OwnWindows(const OwnWindows&) = delete;
  OwnWindows& operator=(const OwnWindows&) = delete;

  std::unordered_map<HWND, Window*> windows;
};
thread_local OwnWindows ownWindows;

Window* OwnWindow(HWND window) {
  const auto found = ownWindows.windows.find(window);
  return found == ownWindows.windows.end() ? nullptr : found->second;
}

struct Registry {
  std::shared_mutex mutex;
  std::map<std::pair<HINSTANCE, std::u16string>, WindowClass> classes;
  std::unordered_map<HWND, Window> windows;
  // One atom per class name for the life of the process, as in the platform's atom table, so
  // that registering and unregistering a class again and again never runs out of atoms.
  std::map<std::u16string, ATOM> atoms;
  // Handles are never reused, so a stale handle fails instead of reaching a newer window.
  std::uintptr_t nextHandle = 0x10000;

  WindowClass* FindClass(HINSTANCE instance, LPCWSTR name) {
    if (IsAtom(name)) {
      const auto atom = static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(name));
      for (auto& [key, windowClass] : classes) {
        if (key.first == instance && windowClass.atom == atom) return &windowClass;
      }
      return nullptr;
    }
    const auto found = classes.find({instance, ClassKey(name)});
    return found == classes.end() ? nullptr : &found->second;
  }

  Window* FindWindow(HWND window) {
    const auto found = windows.find(window);
    return found == windows.end() ? nullptr : &found->second;
  }

  // Removes a window and what is queued for it, on its own thread and with the lock held
  // exclusively, so that no poster holds the record meanwhile.
  void Forget(HWND window) {
    const auto found = windows.find(window);
    found->second.queue->DropMessagesFor(window);
    --found->second.windowClass->windows;
    windows.erase(found);
  }
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

DWORD CurrentThreadId() {
  thread_local const DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
  return id;
}

// The coarse clock has the platform's tick resolution and costs next to nothing per message.
DWORD TickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<DWORD>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

template <class T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

ATOM RegisterWindowClass(const WNDCLASSW* record) {
  if (record == nullptr || record->lpfnWndProc == nullptr || record->lpszClassName == nullptr ||
      IsAtom(record->lpszClassName) || record->cbWndExtra < 0 || record->cbClsExtra < 0) {
    return Fail<ATOM>(ERROR_INVALID_PARAMETER, 0);
  }
  Registry& registry = TheRegistry();
  std::unique_lock lock(registry.mutex);
  const std::u16string key = ClassKey(record->lpszClassName);
  if (registry.classes.contains({record->hInstance, key})) return Fail<ATOM>(ERROR_CLASS_ALREADY_EXISTS, 0);
  // Class atoms run from 0xC000 to 0xFFFF; a new name beyond them would get an atom that wraps.
  if (!registry.atoms.contains(key) && registry.atoms.size() >= kClassAtoms) {
    return Fail<ATOM>(ERROR_NOT_ENOUGH_MEMORY, 0);
  }
  WindowClass& windowClass = registry.classes[{record->hInstance, key}];
  windowClass.name = record->lpszClassName;
  windowClass.record = *record;
  windowClass.record.lpszClassName = windowClass.name.c_str();
  windowClass.atom = registry.atoms.try_emplace(key, static_cast<ATOM>(kFirstClassAtom + registry.atoms.size())).first->second;
  return windowClass.atom;
}

BOOL GetWindowClassInfo(HINSTANCE instance, LPCWSTR name, WNDCLASSW* record) {
  if (name == nullptr || record == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, kFalse);
  Registry& registry = TheRegistry();
  std::shared_lock lock(registry.mutex);
  const WindowClass* windowClass = registry.FindClass(instance, name);
  if (windowClass == nullptr) return Fail<BOOL>(ERROR_CLASS_DOES_NOT_EXIST, kFalse);
  *record = windowClass->record;
  record->lpszClassName = name;
  return windowClass->atom;
}

BOOL UnregisterWindowClass(LPCWSTR name, HINSTANCE instance) {
  if (name == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, kFalse);
  Registry& registry = TheRegistry();
  std::unique_lock lock(registry.mutex);
  const WindowClass* windowClass = registry.FindClass(instance, name);
  if (windowClass == nullptr) return Fail<BOOL>(ERROR_CLASS_DOES_NOT_EXIST, kFalse);
  if (windowClass->windows > 0) return Fail<BOOL>(ERROR_CLASS_HAS_WINDOWS, kFalse);
  std::erase_if(registry.classes, [windowClass](const auto& entry) { return &entry.second == windowClass; });
  return kTrue;
}

// Calls use(record), the record being null for an unknown window. The caller's own windows
// need no lock, as only this thread destroys them; another's is held by the shared lock.
template <class Use>
auto WithWindow(HWND window, Use use) {
  if (Window* own = OwnWindow(window)) return use(own);
  Registry& registry = TheRegistry();
  std::shared_lock lock(registry.mutex);
  return use(registry.FindWindow(window));
}

BOOL DestroyMessageWindow(HWND window);

// The procedure sees the window before CreateWindowExW returns (WM_NCCREATE, WM_CREATE), as on
// the platform, and may refuse it.
HWND CreateMessageWindow(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                         int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* param) {
  if (className == nullptr) return Fail<HWND>(ERROR_INVALID_PARAMETER, nullptr);
  Registry& registry = TheRegistry();
  HWND window = nullptr;
  WNDPROC procedure = nullptr;
  {
    std::unique_lock lock(registry.mutex);
    WindowClass* windowClass = registry.FindClass(instance, className);
    if (windowClass == nullptr) return Fail<HWND>(ERROR_CANNOT_FIND_WND_CLASS, nullptr);
    window = reinterpret_cast<HWND>(registry.nextHandle);
    registry.nextHandle += 4;
    procedure = windowClass->record.lpfnWndProc;
    const auto words = static_cast<std::size_t>(windowClass->record.cbWndExtra) / sizeof(LONG_PTR);
    const auto added = registry.windows.emplace(window, Window{.windowClass = windowClass,
                                                               .procedure = procedure,
                                                               .threadId = CurrentThreadId(),
                                                               .queue = CurrentThreadQueue(),
                                                               .extra = std::vector<std::atomic<LONG_PTR>>(words),
                                                               .destroying = false});
    ownWindows.windows.emplace(window, &added.first->second);
    ++windowClass->windows;
  }
  CREATESTRUCTW create{.lpCreateParams = param,
                       .hInstance = instance,
                       .hMenu = menu,
                       .hwndParent = parent,
                       .cy = height,
                       .cx = width,
                       .y = y,
                       .x = x,
                       .style = static_cast<LONG>(style),
                       .lpszName = windowName,
                       .lpszClass = className,
                       .dwExStyle = exStyle};
  const auto createParam = reinterpret_cast<LPARAM>(&create);
  if (procedure(window, WM_NCCREATE, 0, createParam) == 0 || procedure(window, WM_CREATE, 0, createParam) == -1) {
    DestroyMessageWindow(window);
    return nullptr;
  }
  return window;
}

BOOL DestroyMessageWindow(HWND window) {
  Registry& registry = TheRegistry();
  WNDPROC procedure = nullptr;
  {
    std::unique_lock lock(registry.mutex);
    Window* found = registry.FindWindow(window);
    if (found == nullptr || found->destroying) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, kFalse);
    if (found->threadId != CurrentThreadId()) return Fail<BOOL>(ERROR_ACCESS_DENIED, kFalse);
    found->destroying = true;
    procedure = found->procedure;
  }
  procedure(window, WM_DESTROY, 0, 0);
  procedure(window, WM_NCDESTROY, 0, 0);
  std::unique_lock lock(registry.mutex);
  ownWindows.windows.erase(window);
  registry.Forget(window);
  return kTrue;
}

// The procedures are not called here: whatever thread-local state they use may be gone already.
OwnWindows::~OwnWindows() {
  if (windows.empty()) return;
  Registry& registry = TheRegistry();
  std::unique_lock lock(registry.mutex);
  for (const auto& entry : windows) registry.Forget(entry.first);
}

// The extra bytes hold pointer-sized values at pointer-aligned offsets.
std::atomic<LONG_PTR>* ExtraWord(Window& window, int index) {
  if (index < 0 || index % sizeof(LONG_PTR) != 0) return nullptr;
  const auto word = static_cast<std::size_t>(index) / sizeof(LONG_PTR);
  return word < window.extra.size() ? &window.extra[word] : nullptr;
}

// Calls use(word) with the window's extra word, or fails with the platform's error.
template <class Use>
LONG_PTR WithExtraWord(HWND window, int index, Use use) {
  return WithWindow(window, [&](Window* found) -> LONG_PTR {
    if (found == nullptr) return Fail<LONG_PTR>(ERROR_INVALID_WINDOW_HANDLE, 0);
    std::atomic<LONG_PTR>* word = ExtraWord(*found, index);
    if (word == nullptr) return Fail<LONG_PTR>(ERROR_INVALID_INDEX, 0);
    return use(*word);
  });
}

LONG_PTR SetWindowExtra(HWND window, int index, LONG_PTR value) {
  return WithExtraWord(window, index, [value](std::atomic<LONG_PTR>& word) { return word.exchange(value); });
}

LONG_PTR GetWindowExtra(HWND window, int index) {
  return WithExtraWord(window, index, [](std::atomic<LONG_PTR>& word) { return word.load(); });
}

LRESULT DefaultProcedure(HWND, UINT message, WPARAM, LPARAM) { return message == WM_NCCREATE ? kTrue : 0; }

BOOL PostToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const MSG record{.hwnd = window, .message = message, .wParam = wParam, .lParam = lParam, .time = TickCount(), .pt = {}};
  if (window == nullptr) {
    CurrentThreadQueue()->Post(record);
    return kTrue;
  }
  return WithWindow(window, [&](const Window* found) {
    if (found == nullptr) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, kFalse);
    found->queue->Post(record);
    return kTrue;
  });
}

bool KnownWindow(HWND window) {
  return WithWindow(window, [](const Window* found) { return found != nullptr; });
}

// -1 when the filter names a window that does not exist, 0 for the quit message.
BOOL GetQueuedMessage(MSG* message, HWND window, UINT filterMin, UINT filterMax) {
  if (message == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, -1);
  if (window != nullptr && !KnownWindow(window)) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, -1);
  CurrentThreadQueue()->Take(message, window, filterMin, filterMax, true, true);
  return message->message == WM_QUIT ? kFalse : kTrue;
}

BOOL PeekQueuedMessage(MSG* message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
  if (message == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, kFalse);
  if (window != nullptr && !KnownWindow(window)) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, kFalse);
  return CurrentThreadQueue()->Take(message, window, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0, false)
             ? kTrue
             : kFalse;
}

// A procedure runs on its window's thread only: the state it keeps is that thread's alone.
LRESULT DispatchToWindow(const MSG* message) {
  if (message == nullptr || message->hwnd == nullptr) return 0;
  const Window* own = OwnWindow(message->hwnd);
  if (own == nullptr) {
    return Fail<LRESULT>(KnownWindow(message->hwnd) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE, 0);
  }
  const WNDPROC procedure = own->procedure;
  return procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

// The program's own module; other modules are not known here.
HMODULE ModuleHandle(LPCWSTR moduleName) {
  static char programModule;
  if (moduleName != nullptr) return Fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  return reinterpret_cast<HMODULE>(&programModule);
}

}  // namespace

template <>
WindowMessagesApi& ServiceTable<WindowMessagesApi>() {
  static WindowMessagesApi api{
      .RegisterClassW = RegisterWindowClass,
      .GetClassInfoW = GetWindowClassInfo,
      .UnregisterClassW = UnregisterWindowClass,
      .CreateWindowExW = CreateMessageWindow,
      .DestroyWindow = DestroyMessageWindow,
      .SetWindowLongPtrW = SetWindowExtra,
      .GetWindowLongPtrW = GetWindowExtra,
      .DefWindowProcW = DefaultProcedure,
      .PostMessageW = PostToWindow,
      .GetMessageW = GetQueuedMessage,
      .PeekMessageW = PeekQueuedMessage,
      .TranslateMessage = [](const MSG*) -> BOOL { return kFalse; },  // no keyboard, nothing to translate
      .DispatchMessageW = DispatchToWindow,
      .PostQuitMessage = [](int exitCode) { CurrentThreadQueue()->PostQuit(exitCode); },
      .GetCurrentThreadId = CurrentThreadId,
      .GetModuleHandleW = ModuleHandle,
  };
  return api;
}

int WatchMessageQueue() { return CurrentThreadQueue()->Watch(); }

}  // namespace kelvo
