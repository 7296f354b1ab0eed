// The program's side of the NetworkManager writer: whether anything listens at the system bus is
// known here, without the module; the module (nm_writer.h) is loaded the first time a call needs
// the daemon, and kept for the rest of the run.
#include "platform/posix/phone_book/nm_phone_book.h"

#include <dlfcn.h>

#include <mutex>
#include <vector>

#include "platform/posix/phone_book/nm_writer.h"
#include "platform/posix/phone_book/system_bus.h"
#include "platform/posix/system/private_file.h"

namespace kelvo {

namespace {

std::int64_t Nanoseconds(Deadline deadline) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
}

// The module of this program's version; null when it is missing, cannot be loaded (libnm not
// installed) or is of another version. A failed load is tried again at the next call.
const KelvoNmWriter* Writer() {
  static std::mutex loading;
  static const KelvoNmWriter* writer = nullptr;
  const std::lock_guard lock(loading);
  if (writer != nullptr) return writer;
  void* module = ::dlopen(PrivateFilePath(kNmWriterModule).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return nullptr;
  const auto entryPoint = reinterpret_cast<KelvoNmWriterEntryPoint>(::dlsym(module, kNmWriterEntryPoint));
  const KelvoNmWriter* found = entryPoint != nullptr ? entryPoint(kNmWriterVersion) : nullptr;
  if (found == nullptr || found->version != kNmWriterVersion) {
    ::dlclose(module);
    return nullptr;
  }
  writer = found;
  return writer;
}

}  // namespace

// Without a module, NetworkManager cannot be asked: where something listens at the bus that is a
// failure, as any other trouble with it.
NetworkManagerPresence FindNetworkManager(Deadline deadline) {
  switch (LookAtSystemBus()) {
    case BusSocket::kNothingListens:
      return NetworkManagerPresence::kAbsent;
    case BusSocket::kRefuses:
      return NetworkManagerPresence::kFails;
    case BusSocket::kListens:
      break;
  }
  const KelvoNmWriter* writer = Writer();
  if (writer == nullptr) return NetworkManagerPresence::kFails;
  return static_cast<NetworkManagerPresence>(writer->FindNetworkManager(Nanoseconds(deadline)));
}

DWORD NmSetEntryProperties(const std::string& name, const RASENTRYW& entry, Deadline deadline) {
  const KelvoNmWriter* writer = Writer();
  if (writer == nullptr) return ERROR_CANNOT_OPEN_PHONEBOOK;
  return writer->SetEntryProperties(name.c_str(), &entry, Nanoseconds(deadline));
}

DWORD NmGetEntryProperties(const std::string& name, RASENTRYW& entry, Deadline deadline) {
  const KelvoNmWriter* writer = Writer();
  if (writer == nullptr) return ERROR_CANNOT_OPEN_PHONEBOOK;
  return writer->GetEntryProperties(name.c_str(), &entry, Nanoseconds(deadline));
}

DWORD NmStoreCredentials(const std::string& name, const FieldValues& values, Deadline deadline) {
  const KelvoNmWriter* writer = Writer();
  if (writer == nullptr) return ERROR_CANNOT_OPEN_PHONEBOOK;
  std::vector<std::string> keys;
  std::vector<const char*> keyTexts;
  std::vector<const char*> valueTexts;
  for (const auto& [key, value] : values) keys.emplace_back(key);
  for (std::size_t i = 0; i < values.size(); ++i) {
    keyTexts.push_back(keys[i].c_str());
    valueTexts.push_back(values[i].second.c_str());
  }
  return writer->StoreCredentials(name.c_str(), keyTexts.data(), valueTexts.data(), values.size(), Nanoseconds(deadline));
}

}  // namespace kelvo
