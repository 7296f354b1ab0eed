// Lookups run on a small pool of detached worker threads that call the blocking
// gethostbyname, so the name resolution a test installs there is what the workers use.
//
// One lock guards every task. A worker resolves without it, then takes it to write the host
// entry and post the completion; a cancellation takes it to withdraw the task. Whichever comes
// first wins, so once WSACancelAsyncRequest has succeeded nothing touches the caller's buffer
// or posts to its window. A stuck resolver holds only its worker: cancelling never waits for
// it, and the pool's state is never destroyed, so a worker still inside the resolver when the
// program exits touches nothing freed.
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <unordered_map>
#include <thread>
#include <vector>

#include "platform/async_resolver.h"

namespace kelvo {

namespace {

constexpr int kMaxWorkers = 4;

struct Task {
  UINT_PTR id = 0;
  HWND window = nullptr;
  UINT message = 0;
  std::string name;
  char* buffer = nullptr;
  int length = 0;
  bool withdrawn = false;
};

// What the blocking lookup found, copied out of its per-thread storage.
struct HostEntry {
  std::string name;
  std::vector<std::string> aliases;
  short type = 0;
  short addressLength = 0;
  std::vector<std::string> addresses;
};

HostEntry CopyHostEntry(const hostent& host) {
  HostEntry entry;
  entry.name = host.h_name != nullptr ? host.h_name : "";
  for (char** alias = host.h_aliases; alias != nullptr && *alias != nullptr; ++alias) {
    entry.aliases.emplace_back(*alias);
  }
  entry.type = host.h_addrtype;
  entry.addressLength = host.h_length;
  for (char** address = host.h_addr_list; address != nullptr && *address != nullptr; ++address) {
    entry.addresses.emplace_back(*address, static_cast<std::size_t>(host.h_length));
  }
  return entry;
}

// Lays the entry out in the caller's buffer in the platform's hostent layout, every pointer
// pointing inside the buffer. Returns the bytes it needs; writes nothing when they exceed length.
std::size_t PackHostEntry(const HostEntry& entry, char* buffer, std::size_t length) {
  const std::size_t pointers = (entry.aliases.size() + 1) + (entry.addresses.size() + 1);
  // The buffer may start at any address; the pointer lists after the record are aligned.
  const std::size_t offset = reinterpret_cast<std::uintptr_t>(buffer + sizeof(hostent)) % alignof(char*);
  const std::size_t padding = offset == 0 ? 0 : alignof(char*) - offset;
  std::size_t needed = sizeof(hostent) + padding + pointers * sizeof(char*);
  needed += entry.addresses.size() * static_cast<std::size_t>(entry.addressLength);
  needed += entry.name.size() + 1;
  for (const auto& alias : entry.aliases) needed += alias.size() + 1;
  if (needed > length) return needed;

  char** aliasList = reinterpret_cast<char**>(buffer + sizeof(hostent) + padding);
  char** addressList = aliasList + entry.aliases.size() + 1;
  char* data = reinterpret_cast<char*>(addressList + entry.addresses.size() + 1);
  auto place = [&data](const void* bytes, std::size_t size) {
    char* at = data;
    std::memcpy(at, bytes, size);
    data += size;
    return at;
  };
  for (std::size_t i = 0; i < entry.addresses.size(); ++i) {
    addressList[i] = place(entry.addresses[i].data(), entry.addresses[i].size());
  }
  addressList[entry.addresses.size()] = nullptr;
  for (std::size_t i = 0; i < entry.aliases.size(); ++i) {
    aliasList[i] = place(entry.aliases[i].c_str(), entry.aliases[i].size() + 1);
  }
  aliasList[entry.aliases.size()] = nullptr;

  hostent host{};
  host.h_name = place(entry.name.c_str(), entry.name.size() + 1);
  host.h_aliases = aliasList;
  host.h_addrtype = entry.type;
  host.h_length = entry.addressLength;
  host.h_addr_list = addressList;
  std::memcpy(buffer, &host, sizeof(host));
  return needed;
}

LPARAM CompletionParameter(std::size_t length, DWORD error) {
  const auto low = static_cast<LPARAM>(length > 0xFFFF ? 0xFFFF : length);
  return low | static_cast<LPARAM>((error & 0xFFFF) << 16);
}

class Resolver {
 public:
  HANDLE Start(HWND window, UINT message, const char* name, char* buffer, int length) {
    if (name == nullptr || buffer == nullptr || length <= 0) {
      SetLastError(WSAEFAULT);
      return nullptr;
    }
    auto task = std::make_shared<Task>();
    task->window = window;
    task->message = message;
    task->name = name;
    task->buffer = buffer;
    task->length = length;

    std::lock_guard lock(mutex_);
    // Idle workers that have not woken yet for earlier tasks do not count for this one. The
    // worker starts before the task is published: a lookup that cannot run is not started.
    if (queue_.size() >= static_cast<std::size_t>(idle_) && workers_ < kMaxWorkers) {
      try {
        std::thread([this] { Work(); }).detach();
      } catch (const std::system_error&) {
        SetLastError(WSAENOBUFS);
        return nullptr;
      }
      ++workers_;
    } else {
      wake_.notify_one();
    }
    task->id = ++lastId_;
    live_.emplace(task->id, task);
    queue_.push_back(task);
    return reinterpret_cast<HANDLE>(task->id);
  }

  int Cancel(HANDLE handle) {
    const auto id = reinterpret_cast<UINT_PTR>(handle);
    std::lock_guard lock(mutex_);
    const auto found = live_.find(id);
    if (found == live_.end()) {
      SetLastError(id != 0 && id <= lastId_ ? WSAEALREADY : WSAEINVAL);
      return SOCKET_ERROR;
    }
    found->second->withdrawn = true;
    live_.erase(found);
    return 0;
  }

 private:
  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      wake_.wait(lock, [this] { return !queue_.empty(); });
      --idle_;
      const std::shared_ptr<Task> task = queue_.front();
      queue_.pop_front();
      if (task->withdrawn) continue;

      lock.unlock();
      HostEntry entry;
      DWORD error = 0;
      if (const hostent* host = gethostbyname(task->name.c_str())) {
        entry = CopyHostEntry(*host);
      } else {
        error = static_cast<DWORD>(WSAGetLastError());
      }
      lock.lock();

      if (task->withdrawn) continue;
      live_.erase(task->id);
      std::size_t length = 0;
      if (error == 0) {
        length = PackHostEntry(entry, task->buffer, static_cast<std::size_t>(task->length));
        if (length > static_cast<std::size_t>(task->length)) error = WSAENOBUFS;
      }
      // Posted under the lock, so a cancellation either came first or finds nothing to cancel.
      PostMessageW(task->window, task->message, static_cast<WPARAM>(task->id),
                   CompletionParameter(length, error));
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Task>> queue_;
  std::unordered_map<UINT_PTR, std::shared_ptr<Task>> live_;  // started, neither done nor withdrawn
  UINT_PTR lastId_ = 0;
  int workers_ = 0;
  int idle_ = 0;
};

Resolver& TheResolver() {
  static Resolver* resolver = new Resolver;  // never destroyed: detached workers may outlive exit
  return *resolver;
}

}  // namespace

template <>
AsyncResolverApi& ServiceTable<AsyncResolverApi>() {
  static AsyncResolverApi api{
      .WSAAsyncGetHostByName =
          [](HWND window, UINT message, const char* name, char* buffer, int length) {
            return TheResolver().Start(window, message, name, buffer, length);
          },
      .WSACancelAsyncRequest = [](HANDLE task) { return TheResolver().Cancel(task); },
  };
  return api;
}

}  // namespace kelvo
