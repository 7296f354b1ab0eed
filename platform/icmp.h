// The ICMP echo service: its records, its IP status codes and its three entry points. The
// program reaches the entry points only through the loaded "icmp.dll" (platform/module.h); on
// Linux they are implemented in posix/echo_service.cpp.
#pragma once

#include "platform/errors.h"
#include "platform/win_types.h"

namespace kelvo {

#ifndef _WIN32
using IPAddr = ULONG;
using UCHAR = unsigned char;
using USHORT = unsigned short;

struct IP_OPTION_INFORMATION {
  UCHAR Ttl;
  UCHAR Tos;
  UCHAR Flags;
  UCHAR OptionsSize;
  UCHAR* OptionsData;
};

struct ICMP_ECHO_REPLY {
  IPAddr Address;
  ULONG Status;
  ULONG RoundTripTime;
  USHORT DataSize;
  USHORT Reserved;
  void* Data;
  IP_OPTION_INFORMATION Options;
};

inline constexpr UCHAR IP_FLAG_DF = 0x02;

inline constexpr DWORD IP_SUCCESS = 0;
inline constexpr DWORD IP_STATUS_BASE = 11000;
inline constexpr DWORD IP_BUF_TOO_SMALL = IP_STATUS_BASE + 1;
inline constexpr DWORD IP_DEST_NET_UNREACHABLE = IP_STATUS_BASE + 2;
inline constexpr DWORD IP_DEST_HOST_UNREACHABLE = IP_STATUS_BASE + 3;
inline constexpr DWORD IP_DEST_PROT_UNREACHABLE = IP_STATUS_BASE + 4;
inline constexpr DWORD IP_DEST_PORT_UNREACHABLE = IP_STATUS_BASE + 5;
inline constexpr DWORD IP_NO_RESOURCES = IP_STATUS_BASE + 6;
inline constexpr DWORD IP_BAD_OPTION = IP_STATUS_BASE + 7;
inline constexpr DWORD IP_HW_ERROR = IP_STATUS_BASE + 8;
inline constexpr DWORD IP_PACKET_TOO_BIG = IP_STATUS_BASE + 9;
inline constexpr DWORD IP_REQ_TIMED_OUT = IP_STATUS_BASE + 10;
inline constexpr DWORD IP_BAD_REQ = IP_STATUS_BASE + 11;
inline constexpr DWORD IP_BAD_ROUTE = IP_STATUS_BASE + 12;
inline constexpr DWORD IP_TTL_EXPIRED_TRANSIT = IP_STATUS_BASE + 13;
inline constexpr DWORD IP_TTL_EXPIRED_REASSEM = IP_STATUS_BASE + 14;
inline constexpr DWORD IP_PARAM_PROBLEM = IP_STATUS_BASE + 15;
inline constexpr DWORD IP_SOURCE_QUENCH = IP_STATUS_BASE + 16;
inline constexpr DWORD IP_OPTION_TOO_BIG = IP_STATUS_BASE + 17;
inline constexpr DWORD IP_BAD_DESTINATION = IP_STATUS_BASE + 18;
inline constexpr DWORD IP_ADDR_DELETED = IP_STATUS_BASE + 19;
inline constexpr DWORD IP_SPEC_MTU_CHANGE = IP_STATUS_BASE + 20;
inline constexpr DWORD IP_MTU_CHANGE = IP_STATUS_BASE + 21;
inline constexpr DWORD IP_GENERAL_FAILURE = IP_STATUS_BASE + 50;
inline constexpr DWORD IP_PENDING = IP_STATUS_BASE + 255;

// Returns INVALID_HANDLE_VALUE only when the process is out of resources. A process that may
// open no ICMP socket at all still gets a handle, and each echo on it fails with
// IP_GENERAL_FAILURE, so that the program around it keeps working.
HANDLE WINAPI IcmpCreateFile();
BOOL WINAPI IcmpCloseHandle(HANDLE icmpHandle);
// Sends one echo request and waits up to `timeout` ms for the answer to it. Returns the number
// of ICMP_ECHO_REPLY records at the start of `replyBuffer` (0 or 1); the thread's last error
// is the reply's status, or on 0 the reason.
DWORD WINAPI IcmpSendEcho(HANDLE icmpHandle, IPAddr destinationAddress, void* requestData,
                          WORD requestSize, IP_OPTION_INFORMATION* requestOptions,
                          void* replyBuffer, DWORD replySize, DWORD timeout);
#endif
static_assert(sizeof(IP_OPTION_INFORMATION) == (sizeof(void*) == 8 ? 16 : 8));
static_assert(sizeof(ICMP_ECHO_REPLY) == (sizeof(void*) == 8 ? 40 : 28));

using IcmpCreateFileProc = HANDLE(WINAPI*)();
using IcmpCloseHandleProc = BOOL(WINAPI*)(HANDLE);
using IcmpSendEchoProc = DWORD(WINAPI*)(HANDLE, IPAddr, void*, WORD, IP_OPTION_INFORMATION*,
                                        void*, DWORD, DWORD);

}  // namespace kelvo
