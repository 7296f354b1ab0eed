// Between the program and its NetworkManager writer, kelvo-nm.so: the program loads the module
// the first time a phone-book call needs NetworkManager, so that it starts without libnm, GIO and
// GObject. The one entry point hands out the writer's calls for the version the caller was built
// against; a module of another version hands out nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ras.h"

extern "C" {

inline constexpr unsigned kNmWriterVersion = 1;
inline constexpr char kNmWriterModule[] = "kelvo-nm.so";
inline constexpr char kNmWriterEntryPoint[] = "kelvo_nm_writer";

// Deadlines are points of std::chrono::steady_clock in nanoseconds; texts are UTF-8. Every call
// ends by its deadline (see nm_phone_book.h for what each does).
struct KelvoNmWriter {
  unsigned version;
  int (*FindNetworkManager)(std::int64_t deadline);  // a NetworkManagerPresence
  kelvo::DWORD (*SetEntryProperties)(const char* name, const kelvo::RASENTRYW* entry, std::int64_t deadline);
  kelvo::DWORD (*GetEntryProperties)(const char* name, kelvo::RASENTRYW* entry, std::int64_t deadline);
  // count pairs of "UserName", "Password" or "Domain" and their values.
  kelvo::DWORD (*StoreCredentials)(const char* name, const char* const* keys, const char* const* values,
                                   std::size_t count, std::int64_t deadline);
};

// The writer's calls, or null when the module is not of that version.
using KelvoNmWriterEntryPoint = const KelvoNmWriter* (*)(unsigned version);
const KelvoNmWriter* kelvo_nm_writer(unsigned version);
}
