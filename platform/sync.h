// Critical sections: recursive locks, taken again by the thread that holds them without
// blocking. On Linux a recursive mutex built in place by InitializeCriticalSection.
#pragma once

#ifdef _WIN32
#include "platform/windows_sdk.h"
namespace kelvo {
using ::CRITICAL_SECTION;
using ::DeleteCriticalSection;
using ::EnterCriticalSection;
using ::InitializeCriticalSection;
using ::LeaveCriticalSection;
}  // namespace kelvo
#else
#include <memory>
#include <mutex>
#include <new>

namespace kelvo {

struct CRITICAL_SECTION {
  alignas(std::recursive_mutex) unsigned char storage[sizeof(std::recursive_mutex)];
};

inline std::recursive_mutex& CriticalSectionMutex(CRITICAL_SECTION* section) {
  return *std::launder(reinterpret_cast<std::recursive_mutex*>(section->storage));
}
inline void InitializeCriticalSection(CRITICAL_SECTION* section) { new (section->storage) std::recursive_mutex; }
inline void DeleteCriticalSection(CRITICAL_SECTION* section) { std::destroy_at(&CriticalSectionMutex(section)); }
inline void EnterCriticalSection(CRITICAL_SECTION* section) { CriticalSectionMutex(section).lock(); }
inline void LeaveCriticalSection(CRITICAL_SECTION* section) { CriticalSectionMutex(section).unlock(); }

}  // namespace kelvo
#endif

namespace kelvo {

// Holds a critical section for the length of a scope, on every path out of it.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
  ~CriticalSectionLock() { LeaveCriticalSection(section_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

}  // namespace kelvo
