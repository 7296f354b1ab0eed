// Built-in modules stand in for the platform's libraries: found by name as the platform finds
// them, counted, and useless once freed.
#include <gtest/gtest.h>

#include "platform/icmp.h"
#include "platform/module.h"

namespace kelvo {
namespace {

TEST(Modules, IcmpLibraryOffersTheEchoService) {
  const HMODULE module = LoadLibraryW(u"icmp.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(GetProcAddress(module, "IcmpCreateFile"), reinterpret_cast<FARPROC>(&IcmpCreateFile));
  EXPECT_EQ(GetProcAddress(module, "IcmpSendEcho"), reinterpret_cast<FARPROC>(&IcmpSendEcho));
  EXPECT_EQ(GetProcAddress(module, "IcmpCloseHandle"), reinterpret_cast<FARPROC>(&IcmpCloseHandle));
  EXPECT_EQ(GetProcAddress(module, "icmpsendecho"), nullptr) << "entry points are case-sensitive";
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(LoadLibraryW(u"ICMP"), module) << "case-insensitive, .dll implied";
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_NE(GetProcAddress(module, "IcmpSendEcho"), nullptr) << "still loaded once";
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetProcAddress(module, "IcmpSendEcho"), nullptr);
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Modules, UnknownLibraryIsNotFound) {
  EXPECT_EQ(LoadLibraryW(u"iphlpapi.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryW(u"icmp.dll.old"), nullptr);
}

}  // namespace
}  // namespace kelvo
