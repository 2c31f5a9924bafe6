#include "platform/clock.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <thread>

namespace platform {
namespace {

TEST(FakeClock, SleepsAdvanceTimeAndAreRecorded)
{
    FakeClock clock(46000.5);
    EXPECT_EQ(clock.TickCount(), 0u);
    EXPECT_DOUBLE_EQ(clock.Now(), 46000.5);
    clock.Sleep(10);
    clock.Sleep(0);
    clock.AdvanceMicroseconds(1500);
    EXPECT_EQ(clock.TickCount(), 11u);
    EXPECT_EQ(clock.Counter(), 11500);
    EXPECT_EQ(clock.NowMicroseconds(), 11500);
    EXPECT_EQ(clock.Sleeps(), (std::vector<uint32_t>{10, 0}));
    clock.ClearSleeps();
    EXPECT_TRUE(clock.Sleeps().empty());
    clock.AdvanceMilliseconds(43200 * 1000);
    EXPECT_NEAR(clock.Now(), 46001.0, 1e-6);
}

TEST(FakeClock, WaitUntilCounterReachesTheTargetAtAnyFrequency)
{
    FakeClock clock;
    clock.WaitUntilCounter(2500);
    EXPECT_EQ(clock.Counter(), 2500);
    clock.WaitUntilCounter(100); // in the past: no change
    EXPECT_EQ(clock.Counter(), 2500);
    EXPECT_TRUE(clock.Sleeps().empty());

    clock.SetCounterFrequency(3579545);
    const int64_t target = clock.Counter() + 7;
    clock.WaitUntilCounter(target);
    EXPECT_GE(clock.Counter(), target);
    EXPECT_LT(clock.Counter(), target + 4);

    clock.SetCounterFrequency(0);
    EXPECT_EQ(clock.CounterFrequency(), 0);
    EXPECT_EQ(clock.Counter(), 0);
    clock.WaitUntilCounter(1000); // returns at once without a counter
}

TEST(FakeClock, TickCountWrapsLikeTheSystemCounter)
{
    FakeClock clock;
    clock.AdvanceMilliseconds(int64_t{0xFFFFFFFF} + 6);
    EXPECT_EQ(clock.TickCount(), 5u);
}

TEST(FakeClock, AdvancedFromAnotherThread)
{
    FakeClock clock;
    std::thread t([&] {
        for (int i = 0; i < 1000; ++i)
            clock.AdvanceMicroseconds(1);
    });
    for (int i = 0; i < 1000; ++i)
        clock.Sleep(1);
    t.join();
    EXPECT_EQ(clock.NowMicroseconds(), 1001000);
}

TEST(SystemClock, WaitUntilCounterIsNotEarly)
{
    Clock& clock = SystemClock();
    ASSERT_EQ(clock.CounterFrequency(), 1000000000);
    const int64_t target = clock.Counter() + 3 * 1000000;
    clock.WaitUntilCounter(target);
    EXPECT_GE(clock.Counter(), target);

    const uint32_t t0 = clock.TickCount();
    clock.Sleep(20);
    EXPECT_GE(static_cast<uint32_t>(clock.TickCount() - t0), 19u);
    // Any date after 2020 and before 2100.
    EXPECT_GT(clock.Now(), 43831.0);
    EXPECT_LT(clock.Now(), 73051.0);
}

TEST(SystemClock, WaitingThreadGetsASmallTimerSlack)
{
    // The wait sleeps to a deadline just before its target: the kernel's default slack of
    // 50 µs would wake it late.  Each waiting thread sets its own small slack.
    long slack = -1;
    bool reached = false;
    std::thread waiter([&] {
        Clock& clock = SystemClock();
        const int64_t target = clock.Counter() + 2 * 1000000;
        clock.WaitUntilCounter(target);
        reached = clock.Counter() >= target;
        slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    });
    waiter.join();
    EXPECT_TRUE(reached);
    EXPECT_GT(slack, 0);
    EXPECT_LE(slack, 10000);
}

} // namespace
} // namespace platform
