// Every platform service the program calls goes through a table of std::function members, one
// table per service, named by the platform's functions. The program uses the default table
// (the platform's own functions on Windows, our substitutes on Linux); a test replaces single
// entries for the length of a scope and the rest keeps working for real.
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
