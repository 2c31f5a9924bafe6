#include "sim/line_log.h"

#include "platform/clock.h"
#include "platform/log_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sim {

int64_t ClockMicroseconds(platform::Clock& clock)
{
    const int64_t frequency = clock.CounterFrequency();
    if (frequency <= 0)
        return static_cast<int64_t>(clock.TickCount()) * 1000;
    return static_cast<int64_t>(static_cast<long double>(clock.Counter()) * 1000000.0L / frequency);
}

void AppendLineLog(const std::string& path, platform::Clock& clock, const std::string& text)
{
    const double date = clock.Now();
    const double day_ms = 86400000.0;
    const auto ms = static_cast<unsigned>(std::clamp((date - std::floor(date)) * day_ms, 0.0, day_ms - 1));
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u ", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                  ms % 1000);
    platform::AppendLogLine(path, stamp + text);
}

std::string HexBytes(const Bytes& bytes)
{
    std::string text;
    char hex[4];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, " %02X", b);
        text += hex;
    }
    return text;
}

} // namespace sim
