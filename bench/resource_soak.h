// A long run of the ping component's two loops, echoes to 127.0.0.1 and lookups of one name
// with every other one cancelled, sampling what the process holds: descriptors, threads and
// resident memory must stay flat however long it runs. Loopback only.
#pragma once

#include <string>

namespace kelvo::soak {

struct Resources {
  long descriptors = 0;
  long threads = 0;
  long rssKb = 0;
  long heapBytes = 0;  // allocated and not yet freed; under a sanitizer, without its quarantine
};

// What this process holds now.
Resources Sample();

struct Figures {
  Resources first;  // after a short warm-up, which starts the resolver's workers
  Resources peak;   // each figure's own largest sample
  Resources last;   // after the last step
  int echoes = 0;
  int answered = 0;
  int lookups = 0;
  int resolved = 0;
  int cancelled = 0;
};

// `echoes` echoes through one TPing, then `lookups` lookups of `name` through it, the odd ones
// cancelled at once; about `samples` samples in each of the two loops.
Figures Run(int echoes, int lookups, int samples, const std::u16string& name);

// The three lines of first, peak and last, as the benchmark prints them.
std::string Report(const Figures& figures);

}  // namespace kelvo::soak
