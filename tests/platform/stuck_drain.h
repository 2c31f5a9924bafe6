#pragma once
// Stand-ins for what a serial driver says once its output queue is empty, for the drain tests:
// a pseudo-terminal always says "sent" at once, a stuck adapter never does.

#include "platform/serial_port.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <poll.h>

namespace platform::test {

// When the stand-ins give up and say "sent", so that a drain without a deadline fails its
// test instead of hanging it.
inline std::chrono::steady_clock::time_point stuckDrainGivesUp;

inline int TransmitterNotTold(int)
{
    errno = ENOTTY;
    return -1;
}

// Blocks as tcdrain does on an adapter whose last bytes never leave: only a signal breaks it
// off.
inline int DrainNeverReturns(int)
{
    const auto left = stuckDrainGivesUp - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds::zero())
        return 0;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    return ::ppoll(nullptr, 0, &wait, nullptr) == 0 ? 0 : -1;
}

// Puts the driver's own calls back when it goes.
class DrainDriverGuard
{
public:
    DrainDriverGuard() : saved_(detail::DrainDriverCalls()) {}
    ~DrainDriverGuard() { detail::DrainDriverCalls() = saved_; }
    DrainDriverGuard(const DrainDriverGuard&) = delete;
    DrainDriverGuard& operator=(const DrainDriverGuard&) = delete;
    const detail::DrainDriver& Saved() const { return saved_; }

private:
    detail::DrainDriver saved_;
};

} // namespace platform::test
