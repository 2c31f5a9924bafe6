#pragma once
// Replacing a file's whole content without ever leaving a half-written file under its name.

#include <cstdint>
#include <span>
#include <string>

namespace model {

// Writes `data` to a temporary file in the folder of `path` and renames it over `path` only when
// every byte was written; the replaced file's permissions carry over. On failure the temporary
// file is removed, any old file stays as it was, and false is returned. A symbolic link is
// followed, so the link stays and its target is replaced.
bool ReplaceFile(const std::string& path, std::span<const uint8_t> data);

} // namespace model
