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

#ifndef _WIN32
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

using ATOM = WORD;
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HMENU__;
using HMENU = HMENU__*;
using WNDPROC = LRESULT(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);

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

inline constexpr auto RegisterClassW = [](const WNDCLASSW* windowClass) -> ATOM {
  return ServiceTable<WindowMessagesApi>().RegisterClassW(windowClass);
};
inline constexpr auto GetClassInfoW = [](HINSTANCE instance, WideText className,
    WNDCLASSW* windowClass) -> BOOL {
  return ServiceTable<WindowMessagesApi>().GetClassInfoW(instance, className, windowClass);
};
inline constexpr auto UnregisterClassW = [](WideText className, HINSTANCE instance) -> BOOL {
  return ServiceTable<WindowMessagesApi>().UnregisterClassW(className, instance);
};
inline constexpr auto CreateWindowExW = [](DWORD exStyle, WideText className, WideText windowName,
    DWORD style, int x, int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
    void* param) -> HWND {
  return ServiceTable<WindowMessagesApi>().CreateWindowExW(exStyle, className, windowName, style, x, y,
                                                           width, height, parent, menu, instance, param);
};
inline constexpr auto DestroyWindow = [](HWND window) -> BOOL {
  return ServiceTable<WindowMessagesApi>().DestroyWindow(window);
};
inline constexpr auto SetWindowLongPtrW = [](HWND window, int index, LONG_PTR value) -> LONG_PTR {
  return ServiceTable<WindowMessagesApi>().SetWindowLongPtrW(window, index, value);
};
inline constexpr auto GetWindowLongPtrW = [](HWND window, int index) -> LONG_PTR {
  return ServiceTable<WindowMessagesApi>().GetWindowLongPtrW(window, index);
};
inline constexpr auto DefWindowProcW = [](HWND window, UINT message, WPARAM wParam,
    LPARAM lParam) -> LRESULT {
  return ServiceTable<WindowMessagesApi>().DefWindowProcW(window, message, wParam, lParam);
};
inline constexpr auto PostMessageW = [](HWND window, UINT message, WPARAM wParam, LPARAM lParam) -> BOOL {
  return ServiceTable<WindowMessagesApi>().PostMessageW(window, message, wParam, lParam);
};
inline constexpr auto GetMessageW = [](MSG* message, HWND window, UINT filterMin, UINT filterMax) -> BOOL {
  return ServiceTable<WindowMessagesApi>().GetMessageW(message, window, filterMin, filterMax);
};
inline constexpr auto PeekMessageW = [](MSG* message, HWND window, UINT filterMin, UINT filterMax,
    UINT removeFlags) -> BOOL {
  return ServiceTable<WindowMessagesApi>().PeekMessageW(message, window, filterMin, filterMax, removeFlags);
};
inline constexpr auto TranslateMessage = [](const MSG* message) -> BOOL {
  return ServiceTable<WindowMessagesApi>().TranslateMessage(message);
};
inline constexpr auto DispatchMessageW = [](const MSG* message) -> LRESULT {
  return ServiceTable<WindowMessagesApi>().DispatchMessageW(message);
};
inline constexpr auto PostQuitMessage = [](int exitCode) -> void {
  ServiceTable<WindowMessagesApi>().PostQuitMessage(exitCode);
};
inline constexpr auto GetCurrentThreadId = []() -> DWORD {
  return ServiceTable<WindowMessagesApi>().GetCurrentThreadId();
};
inline constexpr auto GetModuleHandleW = [](WideText moduleName) -> HMODULE {
  return ServiceTable<WindowMessagesApi>().GetModuleHandleW(moduleName);
};

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
