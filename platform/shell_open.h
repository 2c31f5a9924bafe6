#pragma once
// The shell's "open" verb: hands a file to the desktop's opener (xdg-open), which starts the
// application the desktop associates with the file's type.  No shell is involved: the path
// reaches the opener as one argument, whatever characters it holds.
//
// The call returns as soon as the opener has been started; it never waits for the opener or
// the application it starts.  A thread of its own reaps the opener when it ends, so no zombie
// stays behind.
//
// Threads: any thread.

#include <string>

namespace platform {

// Opens path with xdg-open.  false, with LastError() set, when path names no existing file
// (kErrorFileNotFound; nothing is started) or the opener cannot be started (its errno mapped,
// kErrorFileNotFound when it is not installed).  true says the opener was started, not that
// an application accepted the file.
bool ShellOpen(const std::string& path);

// The same with another opener program (looked up on PATH when the name holds no '/').
bool ShellOpenWith(const std::string& opener, const std::string& path);

} // namespace platform
