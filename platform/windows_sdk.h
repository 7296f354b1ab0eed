// The one door to the Windows SDK: every platform header that takes the system's declarations
// includes this instead of a system header of its own, so that the headers come in the order
// they need (winsock2.h before windows.h, windows.h before the service headers) and are read
// with the macros checked below.
#pragma once

#ifdef _WIN32

// The macros come from the build (kelvo_platform's compile definitions), because any standard
// header may already have read them through the compiler's own headers; here they are checked.
// WIN32_LEAN_AND_MEAN keeps winsock.h out of windows.h, NOMINMAX keeps std::min and std::max
// usable, UNICODE makes the SDK's TEXT() texts wide.
#if !defined(WIN32_LEAN_AND_MEAN) || !defined(NOMINMAX) || !defined(UNICODE)
#error "build with WIN32_LEAN_AND_MEAN, NOMINMAX and UNICODE defined (see platform/CMakeLists.txt)"
#endif
// The 5.1-level platform: its RASENTRYW is the 5616-byte record the entry builder writes and its
// RASDIALPARAMSW is 2104 bytes on x86 (2108 on x64: the phone-book records are 4-byte packed).
// A later level appends fields to the phone-book records, and every later system still takes
// these sizes.
#if _WIN32_WINNT != 0x0501 || WINVER != 0x0501
#error "build with _WIN32_WINNT and WINVER 0x0501 (see platform/CMakeLists.txt)"
#endif

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <lmcons.h>
#include <ras.h>
#include <raserror.h>
#include <ipexport.h>
#include <icmpapi.h>
#include <shellapi.h>
// clang-format on

#endif
