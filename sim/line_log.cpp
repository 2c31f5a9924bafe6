#include "sim/line_log.h"

#include "platform/clock.h"
#include "platform/log_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

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
    const auto ms =
        static_cast<unsigned>(std::clamp((date - std::floor(date)) * day_ms, 0.0, day_ms - 1));
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u ", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000);
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

bool WakePipe::Open()
{
    Close();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    read_ = fds[0];
    write_ = fds[1];
    return true;
}

void WakePipe::Wake()
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(write_, &byte, 1);
}

void WakePipe::Close()
{
    for (int* fd : {&read_, &write_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

} // namespace sim
