// Whole-file reads and crash-safe replacement for the small files of the phone book. Every file
// is named relative to an open folder, so that what happens to the folder's path meanwhile (a
// symbolic link put in its place) changes nothing.
#pragma once

#include <string>
#include <string_view>

namespace kelvo {

enum class FileRead { kRead, kAbsent, kFailed };

// kFailed also for anything that is not a regular file: a folder, a FIFO or a symbolic link in
// its place.
FileRead ReadWholeFile(int folder, const std::string& name, std::string& text);

// Writes a temporary file (mode 0600) in the folder, flushes it to disk and renames it over the
// old one, then flushes the folder: a crash leaves the old file or the new one, never a mix. A
// file system that cannot keep the file at mode 0600 is refused.
// On failure the old file is untouched and no temporary is left behind. Once renamed, the new
// file is in place: the folder's flush is attempted but cannot fail the replacement.
bool ReplaceFile(int folder, const std::string& name, std::string_view text);

// Removes the temporaries of ReplaceFile calls that a crash or a kill cut short: they may hold a
// password, and nothing else would ever remove them. Only while nobody else replaces the file.
void RemoveStaleTemporaries(int folder, const std::string& name);

}  // namespace kelvo
