// The bounded soak: 100 000 echoes to 127.0.0.1 and 10 000 lookups of `localhost` (every other
// one cancelled) through the ping component; prints descriptors, threads and resident memory,
// first, peak and last. Usage: soak [echoes] [lookups]. Needs rights to ICMP sockets for the echoes.
#include <cstdio>
#include <cstdlib>

#include "bench/resource_soak.h"

int main(int argc, char** argv) {
  const int echoes = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int lookups = argc > 2 ? std::atoi(argv[2]) : 10000;
  std::fputs(kelvo::soak::Report(kelvo::soak::Run(echoes, lookups, 100, u"localhost")).c_str(), stdout);
  return 0;
}
