#pragma once
// What the simulator's line servers share: their time base and their traffic log lines.

#include "sim/bus.h"

#include <cstdint>
#include <string>

namespace platform {
class Clock;
}

namespace sim {

// The clock's high-resolution counter in microseconds (its tick count when it has none).
int64_t ClockMicroseconds(platform::Clock& clock);
// Appends "HH:MM:SS.mmm <text>" (local time of the clock, CR LF) to the log file.
void AppendLineLog(const std::string& path, platform::Clock& clock, const std::string& text);
// " XX XX ..." in upper-case hexadecimal.
std::string HexBytes(const Bytes& bytes);

// The pipe that wakes a line server's thread from its poll() to stop it.
class WakePipe
{
public:
    WakePipe() = default;
    ~WakePipe() { Close(); }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;
    bool Open(); // non-blocking, close-on-exec
    int ReadFd() const { return read_; }
    void Wake();
    void Close();

private:
    int read_ = -1;
    int write_ = -1;
};

} // namespace sim
