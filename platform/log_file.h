#pragma once
// Append-only text logs: each call opens the file, appends the line with CR LF in one write()
// and closes it.  Failures are ignored, as a log must never stop the bus.

#include <string>
#include <string_view>

namespace platform {

// line is written as given (callers pass Windows-1251 bytes).
void AppendLogLine(const std::string& path, std::string_view line);

} // namespace platform
