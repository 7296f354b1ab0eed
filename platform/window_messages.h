// Window classes, invisible windows that only receive messages, and one message queue per
// thread. On Linux the default table is our own substitute (posix/window_messages.cpp): windows
// never appear on screen, they exist so that other threads and services can post messages to
// a thread's queue and have them dispatched to a window procedure on that thread.
#pragma once

#include <functional>
#include <optional>

#include "platform/errors.h"
#include "platform/service_table.h"
#include "platform/win_types.h"

namespace kelvo {

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_CREATE = 0x0001;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_NCCREATE = 0x0081;
inline constexpr UINT WM_NCDESTROY = 0x0082;
inline constexpr UINT WM_USER = 0x0400;

inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;

inline constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080;
inline constexpr DWORD WS_POPUP = 0x80000000;

inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
inline constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
inline constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
inline constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
inline constexpr DWORD ERROR_INVALID_INDEX = 1413;

#ifndef _WIN32
using ATOM = WORD;
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HMENU__;
using HMENU = HMENU__*;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
  LONG x;
  LONG y;
};

struct WNDCLASSW {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

// What WM_NCCREATE and WM_CREATE carry in their second parameter.
struct CREATESTRUCTW {
  void* lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCWSTR lpszName;
  LPCWSTR lpszClass;
  DWORD dwExStyle;
};
#endif
static_assert(sizeof(WNDCLASSW) == (sizeof(void*) == 4 ? 40 : 72));
static_assert(sizeof(MSG) == (sizeof(void*) == 4 ? 28 : 48));
static_assert(sizeof(CREATESTRUCTW) == (sizeof(void*) == 4 ? 48 : 80));

struct WindowMessagesApi {
  std::function<ATOM(const WNDCLASSW* windowClass)> RegisterClassW;
  std::function<BOOL(HINSTANCE instance, LPCWSTR className, WNDCLASSW* windowClass)> GetClassInfoW;
  std::function<BOOL(LPCWSTR className, HINSTANCE instance)> UnregisterClassW;
  std::function<HWND(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* param)>
      CreateWindowExW;
  std::function<BOOL(HWND window)> DestroyWindow;
  std::function<LONG_PTR(HWND window, int index, LONG_PTR value)> SetWindowLongPtrW;
  std::function<LONG_PTR(HWND window, int index)> GetWindowLongPtrW;
  std::function<LRESULT(HWND window, UINT message, WPARAM wParam, LPARAM lParam)> DefWindowProcW;
  std::function<BOOL(HWND window, UINT message, WPARAM wParam, LPARAM lParam)> PostMessageW;
  std::function<BOOL(MSG* message, HWND window, UINT filterMin, UINT filterMax)> GetMessageW;
  std::function<BOOL(MSG* message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags)>
      PeekMessageW;
  std::function<BOOL(const MSG* message)> TranslateMessage;
  std::function<LRESULT(const MSG* message)> DispatchMessageW;
  std::function<void(int exitCode)> PostQuitMessage;
  std::function<DWORD()> GetCurrentThreadId;
  std::function<HMODULE(LPCWSTR moduleName)> GetModuleHandleW;
};

template <>
WindowMessagesApi& ServiceTable<WindowMessagesApi>();

inline ATOM RegisterClassW(const WNDCLASSW* windowClass) {
  return ServiceTable<WindowMessagesApi>().RegisterClassW(windowClass);
}
inline BOOL GetClassInfoW(HINSTANCE instance, LPCWSTR className, WNDCLASSW* windowClass) {
  return ServiceTable<WindowMessagesApi>().GetClassInfoW(instance, className, windowClass);
}
inline BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance) {
  return ServiceTable<WindowMessagesApi>().UnregisterClassW(className, instance);
}
inline HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                            void* param) {
  return ServiceTable<WindowMessagesApi>().CreateWindowExW(exStyle, className, windowName, style, x, y,
                                                           width, height, parent, menu, instance, param);
}
inline BOOL DestroyWindow(HWND window) { return ServiceTable<WindowMessagesApi>().DestroyWindow(window); }
inline LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
  return ServiceTable<WindowMessagesApi>().SetWindowLongPtrW(window, index, value);
}
inline LONG_PTR GetWindowLongPtrW(HWND window, int index) {
  return ServiceTable<WindowMessagesApi>().GetWindowLongPtrW(window, index);
}
inline LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return ServiceTable<WindowMessagesApi>().DefWindowProcW(window, message, wParam, lParam);
}
inline BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return ServiceTable<WindowMessagesApi>().PostMessageW(window, message, wParam, lParam);
}
inline BOOL GetMessageW(MSG* message, HWND window, UINT filterMin, UINT filterMax) {
  return ServiceTable<WindowMessagesApi>().GetMessageW(message, window, filterMin, filterMax);
}
inline BOOL PeekMessageW(MSG* message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
  return ServiceTable<WindowMessagesApi>().PeekMessageW(message, window, filterMin, filterMax, removeFlags);
}
inline BOOL TranslateMessage(const MSG* message) {
  return ServiceTable<WindowMessagesApi>().TranslateMessage(message);
}
inline LRESULT DispatchMessageW(const MSG* message) {
  return ServiceTable<WindowMessagesApi>().DispatchMessageW(message);
}
inline void PostQuitMessage(int exitCode) { ServiceTable<WindowMessagesApi>().PostQuitMessage(exitCode); }
inline DWORD GetCurrentThreadId() { return ServiceTable<WindowMessagesApi>().GetCurrentThreadId(); }
inline HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  return ServiceTable<WindowMessagesApi>().GetModuleHandleW(moduleName);
}

// Takes and dispatches every message waiting in the calling thread's queue. A quit message ends
// the run undispatched; its exit code is returned so that the caller can end its own loop.
std::optional<int> DispatchPendingMessages();

#ifndef _WIN32
// The calling thread's wake-up descriptor, for an event loop that watches the queue instead of
// blocking in it: from the first call on, readable exactly while messages (or the quit message)
// wait. The watcher only polls it; a peek or get that finds the queue empty clears it. -1 when
// the process is out of descriptors.
int WatchMessageQueue();
#endif

}  // namespace kelvo
