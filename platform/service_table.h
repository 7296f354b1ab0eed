// Every platform service the program calls goes through a table of std::function members, one
// table per service, named by the platform's functions. The program uses the default table
// (the platform's own functions on Windows, our substitutes on Linux); a test replaces single
// entries for the length of a scope and the rest keeps working for real.
//
// The program calls a service through a function object of the platform function's name in
// namespace kelvo (`inline constexpr auto PeekMessageW = [](...) {...}`), not a function: on
// Windows the system's function of the same name takes the same records (MSG, HWND, ...), and an
// object found by name lookup keeps argument-dependent lookup from adding it as a rival.
#pragma once

namespace kelvo {

// The live table of a service. Each service header declares the specialisation and its
// source file defines it with the default entries.
template <class Api>
Api& ServiceTable();

template <class Api>
class ScopedOverride {
 public:
  ScopedOverride() : saved_(ServiceTable<Api>()) {}
  ~ScopedOverride() { ServiceTable<Api>() = saved_; }
  ScopedOverride(const ScopedOverride&) = delete;
  ScopedOverride& operator=(const ScopedOverride&) = delete;

  Api* operator->() { return &ServiceTable<Api>(); }
  // The table as it was before this override: for fakes that pass some calls through.
  const Api& Original() const { return saved_; }

 private:
  Api saved_;
};

}  // namespace kelvo
