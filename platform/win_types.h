// Basic types of the platform's published interfaces. On Windows they are the system's own;
// on Linux they are declared here with the same names, widths and signedness, so that the
// records built on them keep the platform's layout.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
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

inline constexpr BOOL kTrue = 1;
inline constexpr BOOL kFalse = 0;

// The all-bits-set handle the platform uses for "no handle".
inline HANDLE InvalidHandleValue() { return reinterpret_cast<HANDLE>(~std::uintptr_t{0}); }
#define INVALID_HANDLE_VALUE (::kelvo::InvalidHandleValue())

}  // namespace kelvo
#endif
