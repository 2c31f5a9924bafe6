#include "CoreComp/rssess/session_log.h"

#include "platform/log_file.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace corecomp {

CivilTime SplitDate(double date)
{
    if (!std::isfinite(date) || date < 0)
        date = 0;
    const int64_t totalMs = std::llround(date * 86400000.0);
    const int64_t days = totalMs / 86400000;
    int64_t msOfDay = totalMs % 86400000;
    // Days since 1899-12-30 to a civil date (days-from-civil inverse, era based).
    int64_t z = days - 25569 + 719468; // to days since 0000-03-01 via the Unix epoch
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    CivilTime c{};
    c.year = static_cast<int>(y);
    c.month = static_cast<int>(m);
    c.day = static_cast<int>(d);
    c.hour = static_cast<int>(msOfDay / 3600000);
    msOfDay %= 3600000;
    c.minute = static_cast<int>(msOfDay / 60000);
    msOfDay %= 60000;
    c.second = static_cast<int>(msOfDay / 1000);
    c.ms = static_cast<int>(msOfDay % 1000);
    return c;
}

std::string FormatLogDate(double date)
{
    const CivilTime c = SplitDate(date);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", c.day, c.month, c.year);
    return buf;
}

std::string FormatLogTime(double date)
{
    const CivilTime c = SplitDate(date);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", c.hour, c.minute, c.second);
    return buf;
}

int LogMilliseconds(double date)
{
    return SplitDate(date).ms;
}

std::string LogPath(const std::string& name)
{
    return platform::LogFilePath(name);
}

void TLogFile::AppendLogLine(const std::string& fileName, std::string_view line,
                             platform::Clock& clock)
{
    std::string text;
    if (fileName.find("comm_read_write_port") != std::string::npos) {
        const double now = clock.Now();
        text = FormatLogDate(now) + " " + FormatLogTime(now) + ":" +
               std::to_string(LogMilliseconds(now));
    }
    text.append(line);
    if (line.empty())
        return;
    const bool restarts = fileName.find("events_log") != std::string::npos;
    platform::AppendLogLine(fileName, text, restarts ? kEventsLogLimit : platform::kLogNoRestart);
}

void TSaveTextToFile::SaveTextLine(std::string_view line)
{
    // Unlike the logs, an empty line still ends a line here.
    std::string text(line);
    platform::AppendLogLine(LogPath("buf.log"), text);
}

void AppendDebugLine(const std::string& fileName, std::string_view text, bool rewrite,
                     platform::Clock& clock)
{
    const double now = clock.Now();
    platform::AppendLogLine(fileName,
                            FormatLogDate(now) + " " + FormatLogTime(now) + "  " + std::string(text),
                            rewrite ? 0 : platform::kLogNoRestart);
}

void CopyCodeCardReport(const std::vector<uint8_t>& report, platform::Clock& clock)
{
    std::error_code ec;
    if (!std::filesystem::exists(LogPath("debug_rdr_in.txt"), ec))
        return;
    std::string text;
    for (uint8_t b : report) {
        text += ' ';
        text += std::to_string(b);
    }
    AppendDebugLine(LogPath("debug_rdr_out.txt"), text, false, clock);
}

} // namespace corecomp
