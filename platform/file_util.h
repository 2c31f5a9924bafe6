#pragma once
// Whole-file reads and the one safe replace that every file the program rewrites goes through
// (".kconf" files, "Settings.ini", the registry file, zemra.ini, ...).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Replaces the whole content of `path`:
//  - a temporary file is created exclusively beside the target (unique name, O_EXCL,
//    O_NOFOLLOW), written, fsync'd, renamed over the target, and the folder is fsync'd, so a
//    crash leaves either the old or the new content under the name;
//  - a symbolic link at `path` stays a link: the file it points to is replaced;
//  - an existing target that the user may not write (no write permission bit, or access()
//    refuses) is refused with kErrorAccessDenied and stays as it was;
//  - the old file's permission bits carry over; a new file gets 0644 less the umask;
//  - a missing parent folder is created when `makeFolders` is true.
// On failure the temporary file is removed, the old file is untouched, the last error (see
// last_error.h) tells why, and false is returned.
bool ReplaceFile(const std::string& path, std::string_view contents, bool makeFolders = false);

// True when `path` exists and the user may not replace it (see ReplaceFile).
bool IsReadOnlyFile(const std::string& path);

} // namespace platform

namespace platform::detail {

// nullopt when the file cannot be read (errno tells why).  Only regular files are read: a
// FIFO, a device or a folder fails at once (errno EINVAL or EISDIR) instead of blocking.
// At most `limit` bytes are read; a reader of a fixed-size format takes no more than it needs.
std::optional<std::string> ReadWholeFile(const std::string& path,
                                         std::size_t limit = static_cast<std::size_t>(-1));
// Creates the directory and its parents; true when it exists afterwards.
bool MakeDirectories(const std::string& dir);

} // namespace platform::detail
