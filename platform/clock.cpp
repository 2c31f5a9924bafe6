#include "platform/clock.h"

#include <cerrno>
#include <ctime>
#include <sys/prctl.h>

namespace platform {

namespace {

int64_t MonotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepNs(int64_t ns)
{
    if (ns <= 0)
        return;
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

// Days from 30 December 1899 to 1 January 1970.
constexpr double kUnixEpochDate = 25569.0;

class RealClock : public Clock
{
public:
    uint32_t TickCount() override { return static_cast<uint32_t>(MonotonicNs() / 1000000); }
    int64_t Counter() override { return MonotonicNs(); }
    int64_t CounterFrequency() override { return 1000000000; }
    double Now() override
    {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        tm local{};
        localtime_r(&ts.tv_sec, &local);
        const double seconds = static_cast<double>(ts.tv_sec + local.tm_gmtoff) + ts.tv_nsec / 1e9;
        return kUnixEpochDate + seconds / 86400.0;
    }
    void Sleep(uint32_t ms) override { SleepNs(static_cast<int64_t>(ms) * 1000000); }
    void WaitUntilCounter(int64_t target) override
    {
        // Sleeping to an absolute deadline cannot drift by the time spent getting there, and
        // with a small timer slack the kernel wakes us close to it: only the last stretch is
        // spun, so the wait is accurate to microseconds at a small cost in CPU.
        SmallTimerSlack();
        const int64_t wake = target - kSpinNs;
        if (wake > MonotonicNs()) {
            const timespec at{static_cast<time_t>(wake / 1000000000),
                              static_cast<long>(wake % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
        }
        while (MonotonicNs() < target) {
        }
    }

private:
    static constexpr int64_t kSpinNs = 150000;
    static constexpr unsigned long kTimerSlackNs = 10000;

    // The slack is a property of the calling thread: set once in each thread that waits.
    static void SmallTimerSlack()
    {
        thread_local bool set = false;
        if (!set) {
            prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
            set = true;
        }
    }
};

} // namespace

Clock& SystemClock()
{
    static RealClock clock;
    return clock;
}

FakeClock::FakeClock(double start_date) : start_date_(start_date) {}

uint32_t FakeClock::TickCount()
{
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(now_us_ / 1000);
}

int64_t FakeClock::Counter()
{
    std::lock_guard lock(mutex_);
    if (frequency_ == 0)
        return 0;
    // Split so that long runs cannot overflow the product.
    return (now_us_ / 1000000) * frequency_ + (now_us_ % 1000000) * frequency_ / 1000000;
}

int64_t FakeClock::CounterFrequency()
{
    std::lock_guard lock(mutex_);
    return frequency_;
}

double FakeClock::Now()
{
    std::lock_guard lock(mutex_);
    return start_date_ + static_cast<double>(now_us_) / 86400e6;
}

void FakeClock::Sleep(uint32_t ms)
{
    std::lock_guard lock(mutex_);
    sleeps_.push_back(ms);
    now_us_ += static_cast<int64_t>(ms) * 1000;
}

void FakeClock::WaitUntilCounter(int64_t target)
{
    std::lock_guard lock(mutex_);
    if (frequency_ <= 0)
        return;
    // The first microsecond at which the counter reads at least target.
    const int64_t whole = target / frequency_;
    const int64_t rest = target % frequency_;
    const int64_t us = whole * 1000000 + (rest * 1000000 + frequency_ - 1) / frequency_;
    if (us > now_us_)
        now_us_ = us;
}

void FakeClock::AdvanceMicroseconds(int64_t us)
{
    std::lock_guard lock(mutex_);
    now_us_ += us;
}

int64_t FakeClock::NowMicroseconds() const
{
    std::lock_guard lock(mutex_);
    return now_us_;
}

std::vector<uint32_t> FakeClock::Sleeps() const
{
    std::lock_guard lock(mutex_);
    return sleeps_;
}

void FakeClock::ClearSleeps()
{
    std::lock_guard lock(mutex_);
    sleeps_.clear();
}

void FakeClock::SetCounterFrequency(int64_t f)
{
    std::lock_guard lock(mutex_);
    frequency_ = f;
}

} // namespace platform
