#pragma once
// The one clock of the program: tick counter, high-resolution counter, wall-clock date and
// sleep.  Everything that waits or measures goes through a Clock so that tests run the timing
// rules on FakeClock without real waiting.
//
// Threads: SystemClock() may be used from any thread.  A FakeClock is guarded by its own lock,
// so a test may advance it from one thread while another sleeps on it.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace platform {

class Clock
{
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps like the system tick counter.
    virtual uint32_t TickCount() = 0;
    // High-resolution counter and its frequency in counts per second (0 = no counter).
    virtual int64_t Counter() = 0;
    virtual int64_t CounterFrequency() = 0;
    // Local date and time as days since 30 December 1899, the fraction the time of day.
    virtual double Now() = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // Returns once Counter() has reached target.  The system clock sleeps to an absolute
    // monotonic deadline 150 µs before it, with a timer slack of 10 µs for the waiting thread,
    // and spins for the rest, so the wait is accurate without burning a core.
    virtual void WaitUntilCounter(int64_t target) = 0;
};

// The process's real clock (monotonic counter in nanoseconds, 1 ms sleeps).
Clock& SystemClock();

// A virtual clock: Sleep and WaitUntilCounter advance time instantly; the counter runs at
// 1 MHz.  Every sleep is recorded so tests can assert the pauses an operation made.
class FakeClock : public Clock
{
public:
    explicit FakeClock(double start_date = 46000.0);
    uint32_t TickCount() override;
    int64_t Counter() override;
    int64_t CounterFrequency() override;
    double Now() override;
    void Sleep(uint32_t ms) override;
    void WaitUntilCounter(int64_t target) override;

    void AdvanceMicroseconds(int64_t us);
    void AdvanceMilliseconds(int64_t ms) { AdvanceMicroseconds(ms * 1000); }
    int64_t NowMicroseconds() const;
    std::vector<uint32_t> Sleeps() const;
    void ClearSleeps();
    void SetCounterFrequency(int64_t f); // 0 simulates a machine without a counter

private:
    mutable std::mutex mutex_;
    int64_t now_us_ = 0;
    int64_t frequency_ = 1000000;
    double start_date_;
    std::vector<uint32_t> sleeps_;
};

} // namespace platform
