#pragma once
// Append-only text logs: each call opens the file, appends the line with CR LF in one write()
// and closes it.  Failures are ignored, as a log must never stop the bus.
//
// Every log file of the program is opened through OpenLogFile, so that a log never blocks and
// never writes where it was not meant to:
//  - a symbolic link at the log's path is refused (O_NOFOLLOW): the link's target is untouched;
//  - a FIFO, a device, a socket or a folder there is refused at once (O_NONBLOCK for the open,
//    then fstat), instead of blocking the writer's thread for ever;
//  - a read-only file (no write permission bit, or one the open refuses) is refused;
//  - a new file is created with mode 0644 (less the umask), and the descriptor is closed on exec.
// A line that cannot be written is dropped.

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The descriptor of the log file at path, open for appending, or -1 (errno tells why: ELOOP
// for a link, ENXIO for a FIFO nobody reads, EISDIR for a folder, EACCES for a read-only file,
// EINVAL for anything else that is not a regular file).  The caller closes it.
int OpenLogFile(const std::string& path);

inline constexpr std::uintmax_t kLogNoRestart = UINTMAX_MAX;

// line is written as given (callers pass Windows-1251 bytes).  When the file already holds more
// than restartAbove bytes it is emptied first, so that it then holds only this line
// (restartAbove 0: the file always starts afresh).
void AppendLogLine(const std::string& path, std::string_view line,
                   std::uintmax_t restartAbove = kLogNoRestart);

// name as given when empty or absolute, else under $VENDAXO_LOG_DIR when that is set, else relative to
// the working folder.
std::string LogFilePath(const std::string& name);

} // namespace platform
