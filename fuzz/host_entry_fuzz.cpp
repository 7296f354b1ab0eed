// A host entry as the asynchronous resolver packs it into the caller's buffer. The input
// describes the buffer (its offset from an aligned address and its length) and the entry the
// blocking lookup finds (name, aliases, addresses of any length, or a failure). Whatever the
// entry, the resolver writes nothing outside the buffer, nothing past the length it reports,
// nothing at all when it reports an error; and a complete entry reads back as it was found,
// every pointer pointing into the buffer.
#include <condition_variable>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/async_resolver.h"

namespace {

using namespace kelvo;

constexpr std::uint8_t kUntouched = 0xA5;
constexpr UINT kMessage = WM_USER + 7;

// Reads the input front to back; past its end everything reads as zero.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string Text() {
    std::string text;
    for (std::size_t n = Byte() % 64; n > 0 && at_ < size_; --n) {
      const auto c = static_cast<char>(Byte());
      text += c != '\0' ? c : '.';  // a C text ends at its first NUL
    }
    return text;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The entry the fake lookup answers, in the per-thread storage a real gethostbyname would use.
struct FoundEntry {
  std::string name;
  std::vector<std::string> aliases;
  std::vector<std::string> addresses;
  short type = 2;
  short length = 4;
  DWORD error = 0;  // non-zero: the lookup fails with it

  std::vector<char*> aliasList;
  std::vector<char*> addressList;
  hostent host{};
  hostent* Answer() {
    if (error != 0) return nullptr;
    aliasList.clear();
    addressList.clear();
    for (auto& alias : aliases) aliasList.push_back(alias.data());
    aliasList.push_back(nullptr);
    for (auto& address : addresses) addressList.push_back(address.data());
    addressList.push_back(nullptr);
    host = {name.data(), aliasList.data(), type, length, addressList.data()};
    return &host;
  }
};

struct Completion {
  std::mutex lock;
  std::condition_variable done;
  std::optional<LPARAM> result;
};

FoundEntry* found = nullptr;  // the one lookup of the current input
Completion completion;

void Install() {
  static bool installed = [] {
    ServiceTable<SocketsApi>().gethostbyname = [](const char*) -> hostent* {
      hostent* host = found->Answer();
      if (host == nullptr) SetLastError(found->error);
      return host;
    };
    ServiceTable<WindowMessagesApi>().PostMessageW = [](HWND, UINT message, WPARAM, LPARAM lParam) {
      FUZZ_CHECK(message == kMessage);
      std::lock_guard hold(completion.lock);
      FUZZ_CHECK(!completion.result);  // exactly one completion
      completion.result = lParam;
      completion.done.notify_all();
      return BOOL{1};
    };
    return true;
  }();
  (void)installed;
}

template <class T>
T LoadAt(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

bool Inside(const char* p, std::size_t size, const char* begin, const char* end) {
  return p >= begin && p <= end && size <= static_cast<std::size_t>(end - p);
}

// A NUL-terminated text inside [begin, end) equal to the expected one.
bool TextAt(const char* p, const std::string& expected, const char* begin, const char* end) {
  return Inside(p, expected.size() + 1, begin, end) && std::memcmp(p, expected.c_str(), expected.size() + 1) == 0;
}

void CheckEntry(const FoundEntry& entry, const char* begin, const char* end) {
  FUZZ_CHECK(Inside(begin, sizeof(hostent), begin, end));
  const auto host = LoadAt<hostent>(begin);
  FUZZ_CHECK(TextAt(host.h_name, entry.name, begin, end));
  FUZZ_CHECK(host.h_addrtype == entry.type && host.h_length == entry.length);
  for (std::size_t i = 0; i <= entry.aliases.size(); ++i) {
    FUZZ_CHECK(Inside(reinterpret_cast<const char*>(host.h_aliases + i), sizeof(char*), begin, end));
    const auto alias = LoadAt<const char*>(reinterpret_cast<const char*>(host.h_aliases + i));
    FUZZ_CHECK(i == entry.aliases.size() ? alias == nullptr : TextAt(alias, entry.aliases[i], begin, end));
  }
  for (std::size_t i = 0; i <= entry.addresses.size(); ++i) {
    FUZZ_CHECK(Inside(reinterpret_cast<const char*>(host.h_addr_list + i), sizeof(char*), begin, end));
    const auto address = LoadAt<const char*>(reinterpret_cast<const char*>(host.h_addr_list + i));
    if (i == entry.addresses.size()) {
      FUZZ_CHECK(address == nullptr);
    } else {
      const std::string& bytes = entry.addresses[i];
      FUZZ_CHECK(Inside(address, bytes.size(), begin, end) && std::memcmp(address, bytes.data(), bytes.size()) == 0);
    }
  }
}

bool Untouched(const char* from, const char* to) {
  for (; from < to; ++from) {
    if (static_cast<std::uint8_t>(*from) != kUntouched) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Install();
  Input input(data, size);
  const std::size_t offset = input.Byte() % 16;
  const std::size_t length = (input.Byte() << 8 | input.Byte()) % 2100 + 1;  // TPing's 2050 and a little more
  FoundEntry entry;
  const std::uint8_t shape = input.Byte();
  if (shape == 0xFF) entry.error = WSAHOST_NOT_FOUND;
  entry.length = static_cast<short>(shape % 20);
  entry.type = (shape & 0x80) ? 23 : 2;
  entry.name = input.Text();
  for (int n = input.Byte() % 8; n > 0; --n) entry.aliases.push_back(input.Text());
  for (int n = input.Byte() % 8; n > 0; --n) {
    std::string address;
    for (int i = 0; i < entry.length; ++i) address += static_cast<char>(input.Byte());
    entry.addresses.push_back(address);
  }

  // The buffer ends where its allocation ends, so a write past it is caught at once.
  const auto storage = std::make_unique<char[]>(offset + length);
  std::memset(storage.get(), kUntouched, offset + length);
  char* buffer = storage.get() + offset;
  found = &entry;
  {
    std::lock_guard hold(completion.lock);
    completion.result.reset();
  }
  const HANDLE task = WSAAsyncGetHostByName(reinterpret_cast<HWND>(1), kMessage, "fuzz.test", buffer,
                                            static_cast<int>(length));
  FUZZ_CHECK(task != nullptr);
  std::unique_lock hold(completion.lock);
  FUZZ_CHECK(completion.done.wait_for(hold, std::chrono::seconds(10), [] { return completion.result.has_value(); }));

  const WORD error = WSAGETASYNCERROR(*completion.result);
  const std::size_t reported = WSAGETASYNCBUFLEN(*completion.result);
  FUZZ_CHECK(Untouched(storage.get(), buffer));
  if (error != 0) {
    FUZZ_CHECK(error == (entry.error != 0 ? entry.error : WSAENOBUFS));
    FUZZ_CHECK(entry.error != 0 || reported > length);
    FUZZ_CHECK(Untouched(buffer, buffer + length));
    return 0;
  }
  FUZZ_CHECK(entry.error == 0 && reported <= length);
  FUZZ_CHECK(Untouched(buffer + reported, buffer + length));
  CheckEntry(entry, buffer, buffer + reported);
  return 0;
}
