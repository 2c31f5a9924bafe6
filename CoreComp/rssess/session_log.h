#pragma once
// The session's text logs.  Every line is appended on its own (the file opened and closed each
// time) with CR LF; a failed write is ignored, as a log must never change an exchange.
//
// Where the files go: relative names are resolved against $VENDAXO_LOG_DIR when it is set, else
// they stay relative to the process's working folder.  Lines are Windows-1251 bytes.
//
// Threads: any; each line is one write.

#include "platform/clock.h"

#include <string>
#include <string_view>
#include <vector>

namespace corecomp {

struct CivilTime
{
    int year, month, day, hour, minute, second, ms;
};
// A date value (days since 30 December 1899, the fraction the time of day) split up.
CivilTime SplitDate(double date);

// "dd.mm.yyyy" and "hh:mm:ss" of a date value (days since 30 December 1899).
std::string FormatLogDate(double date);
std::string FormatLogTime(double date);
// The milliseconds of the second, 0..999.
int LogMilliseconds(double date);

// name as given when absolute, else under $VENDAXO_LOG_DIR (when set).
std::string LogPath(const std::string& name);

class TLogFile
{
public:
    // Appends line (already Windows-1251).  A name containing "comm_read_write_port" gets the
    // date, time and ":" milliseconds in front; one containing "events_log" starts afresh once
    // it holds more than 20 MiB.  An empty line writes nothing.
    static void AppendLogLine(const std::string& fileName, std::string_view line,
                              platform::Clock& clock = platform::SystemClock());
};

class TSaveTextToFile
{
public:
    // Appends line to "buf.log".
    static void SaveTextLine(std::string_view line);
};

// Appends (or with rewrite, writes anew) "date time" + two blanks + text.
void AppendDebugLine(const std::string& fileName, std::string_view text, bool rewrite,
                     platform::Clock& clock = platform::SystemClock());

// The diagnostic copy of a credential-code report: its bytes in decimal, each after a blank,
// appended by AppendDebugLine to "debug_rdr_out.txt" while "debug_rdr_in.txt" exists.  (The
// copy to a debugger's output has no counterpart here.)
void CopyCodeCardReport(const std::vector<uint8_t>& report,
                        platform::Clock& clock = platform::SystemClock());

inline constexpr uintmax_t kEventsLogLimit = 20971520;

} // namespace corecomp
