// The socket library's Linux substitute: counted start-up, address text both ways, and the
// blocking lookup in the platform's host-entry layout. Only `localhost` is looked up, and of it
// only what the program relies on is asserted, not what one machine's hosts file says.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/sockets.h"

namespace kelvo {
namespace {

TEST(Sockets, StartupIsCountedAndCleanupBalancesIt) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
  EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
  EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &data), static_cast<int>(WSAVERNOTSUPPORTED));
  EXPECT_EQ(WSAStartup(MAKEWORD(1, 1), nullptr), static_cast<int>(WSAEFAULT));
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_NE(gethostbyname("127.0.0.1"), nullptr) << "one start-up still holds";
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSANOTINITIALISED));
  EXPECT_EQ(gethostbyname("127.0.0.1"), nullptr);
  EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSANOTINITIALISED));
}

TEST(Sockets, DottedAddressesBothWays) {
  EXPECT_EQ(inet_addr("127.0.0.1"), 0x0100007fu) << "network byte order";
  EXPECT_EQ(inet_addr("192.0.2.300"), INADDR_NONE);
  EXPECT_EQ(inet_addr("host.test"), INADDR_NONE);
  EXPECT_EQ(inet_addr(""), INADDR_NONE);
  EXPECT_EQ(inet_addr("255.255.255.255"), INADDR_NONE);
  // A host field holding more than an address must be looked up, and fail, as a name.
  EXPECT_EQ(inet_addr("127.0.0.1 junk"), INADDR_NONE);
  EXPECT_EQ(inet_addr("10.1.0.10\tx"), INADDR_NONE);
  EXPECT_EQ(inet_addr("127.0.0.1 "), INADDR_NONE);
  in_addr address{};
  address.S_un.S_addr = inet_addr("10.1.0.10");
  EXPECT_STREQ(inet_ntoa(address), "10.1.0.10");
  address.S_un.S_addr = 0xffffffff;
  EXPECT_STREQ(inet_ntoa(address), "255.255.255.255");
}

TEST(Sockets, LooksUpLocalhostInTheHostEntryLayout) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  const hostent* host = gethostbyname("localhost");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->h_addrtype, AF_INET);
  EXPECT_EQ(host->h_length, 4);
  ASSERT_NE(host->h_addr_list[0], nullptr);
  unsigned char first[4];
  std::memcpy(first, host->h_addr_list[0], 4);
  EXPECT_EQ(first[0], 127);
  ASSERT_NE(host->h_name, nullptr);
  // Aliases, such as Debian's ip6-localhost, may be there or not; their list ends.
  ASSERT_NE(host->h_aliases, nullptr);
  int aliases = 0;
  while (host->h_aliases[aliases] != nullptr && aliases < 64) EXPECT_GT(std::strlen(host->h_aliases[aliases++]), 0u);
  EXPECT_LT(aliases, 64);
  EXPECT_EQ(WSACleanup(), 0);
}

}  // namespace
}  // namespace kelvo
