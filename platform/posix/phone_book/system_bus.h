// Where the system bus is, known without GLib and without waiting: whether anything listens at
// its socket decides between the file book (nothing there) and NetworkManager.
#pragma once

#include <string>

namespace kelvo {

// The system bus's address as every D-Bus client finds it.
std::string SystemBusAddress();

enum class BusSocket {
  kNothingListens,  // no socket at the path, or nobody behind it: no bus on this machine
  kListens,         // something took the connection (or an address that is not one socket path)
  kRefuses,         // something is there but cannot take us (a full backlog, no permission)
};
// A connection attempt that never blocks: a hung bus with a full backlog is an answer too.
BusSocket LookAtSystemBus();

}  // namespace kelvo
