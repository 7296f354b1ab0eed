// Basic types of the platform's published interfaces. On Windows they are the system's own;
// on Linux they are declared here with the same names, widths and signedness, so that the
// records built on them keep the platform's layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#ifdef _WIN32
#include "platform/windows_sdk.h"
namespace kelvo {
using ::BOOL;
using ::BYTE;
using ::DWORD;
using ::FARPROC;
using ::GUID;
using ::HANDLE;
using ::HINSTANCE;
using ::HMODULE;
using ::HWND;
using ::LONG;
using ::LONG_PTR;
using ::LPARAM;
using ::LPCSTR;
using ::LPCWSTR;
using ::LPWSTR;
using ::LRESULT;
using ::UINT;
using ::UINT_PTR;
using ::ULONG;
using ::WCHAR;
using ::WORD;
using ::WPARAM;
}  // namespace kelvo
#else
// Calling conventions exist only on Windows (and matter on x86 there).
#define WINAPI
#define CALLBACK

namespace kelvo {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPCSTR = const char*;
using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
using FARPROC = void (*)();

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};

// The all-bits-set handle the platform uses for "no handle".
inline HANDLE InvalidHandleValue() { return reinterpret_cast<HANDLE>(~std::uintptr_t{0}); }
#define INVALID_HANDLE_VALUE (::kelvo::InvalidHandleValue())

}  // namespace kelvo
#endif

namespace kelvo {

inline constexpr BOOL kTrue = 1;
inline constexpr BOOL kFalse = 0;

// A UTF-16 text as the platform's W calls and records take it. The program's texts are char16_t;
// the platform's WCHAR is char16_t in our Linux declarations and wchar_t in the SDK, the same
// 16-bit UTF-16 code units. This is the one place where a pointer to one becomes a pointer to the
// other. The platform calls take it, so callers pass u"" texts as they are; a record's text field
// reads back as program text through it.
class WideText {
 public:
  constexpr WideText(std::nullptr_t = nullptr) {}
  constexpr WideText(const char16_t* text) : text_(text) {}
#ifdef _WIN32
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  WideText(const wchar_t* text) : text_(reinterpret_cast<const char16_t*>(text)) {}
  operator const wchar_t*() const { return reinterpret_cast<const wchar_t*>(text_); }
#endif
  constexpr operator const char16_t*() const { return text_; }
  // The text up to its terminator; empty for no text.
  constexpr operator std::u16string_view() const { return text_ == nullptr ? std::u16string_view() : text_; }

 private:
  const char16_t* text_ = nullptr;
};

}  // namespace kelvo
