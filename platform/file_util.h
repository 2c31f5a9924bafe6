#pragma once
// Whole-file reads and replace-by-rename writes, shared by the registry and profile files.

#include <optional>
#include <string>

namespace platform::detail {

// nullopt when the file cannot be read (errno tells why).
std::optional<std::string> ReadWholeFile(const std::string& path);
// Writes a temporary file beside path and renames it over path, so a reader sees either the
// old or the new contents.  Creates the parent directory when missing.  false on failure, the
// old file then untouched.
bool ReplaceFile(const std::string& path, const std::string& contents);
// Creates the directory and its parents; true when it exists afterwards.
bool MakeDirectories(const std::string& dir);

} // namespace platform::detail
