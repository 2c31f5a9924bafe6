#pragma once
// Path helpers (unit PathUtils): splitting a path into its parts and resolving a relative path
// against a base, for either delimiter.  Stored settings write paths with '\'; this system's
// own paths use '/'.

#include <string>
#include <string_view>
#include <vector>

namespace translation {

inline constexpr char kPathDelimiter = '/';

// The non-empty parts between delimiters, in order.
std::vector<std::string> SplitPath(std::string_view path, char delimiter = kPathDelimiter);

// A path is absolute here when it is longer than one character and begins with a drive
// ("C:") or with two delimiters (a network path); one leading delimiter is not enough.
bool IsAbsolutePath(std::string_view path, char delimiter = kPathDelimiter);

// relative resolved against base: "." parts are skipped, ".." climbs but never past an
// absolute base's drive or server part, a trailing delimiter on relative is kept, and a base's
// one or two leading delimiters are kept.  An empty relative gives base; an absolute relative
// gives itself.
std::string ResolvePath(std::string_view base, std::string_view relative,
                        char delimiter = kPathDelimiter);

// A path value as stored in the settings, resolved for this system against base: every '\'
// becomes '/'; a leading '/' is absolute here; an empty value gives base; a drive ("C:...")
// or network ("\\server\share") form names nothing on this system and gives fallback.
std::string ResolveSettingPath(std::string_view base, std::string_view value,
                               std::string_view fallback);

} // namespace translation
