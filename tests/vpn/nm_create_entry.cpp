// Another program creating the VPN entry, for nm_phone_book_test.cpp: exits 0 when the outcome is
// the one its argument names, "created" or "failed".
#include <string_view>

#include "vpn/vpn_entry.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const bool created = kelvo::CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"login", u"secret") == 0;
  return created == (std::string_view(argv[1]) == "created") ? 0 : 1;
}
