// The program's private files (helper programs, modules loaded at run time) live beside the
// executable in the build tree and in <prefix>/lib/kelvo once installed (/usr/bin/kelvo beside
// /usr/lib/kelvo/). Found from the executable's own location, never from the environment or the
// working directory, so nobody can slip another file in by setting a variable.
#pragma once

#include <string>
#include <string_view>

namespace kelvo {

// "<directory of /proc/self/exe>/<name>" when that exists, else
// "<directory of /proc/self/exe>/../lib/kelvo/<name>"; "" when the executable's path is unknown.
std::string PrivateFilePath(std::string_view name);

}  // namespace kelvo
