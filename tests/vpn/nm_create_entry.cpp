// Another program creating the VPN entry, for nm_phone_book_test.cpp: exits 0 when it created it.
#include "vpn/vpn_entry.h"

int main() { return kelvo::CreateVpnEntry(u"Kelvo", u"10.1.0.10", u"login", u"secret") == 0 ? 0 : 1; }
