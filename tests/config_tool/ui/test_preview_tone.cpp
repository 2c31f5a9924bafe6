// The tone layer: the silent fallback keeps the tone's time, the device player falls back to it
// once when no device opens, and the rendered wave is a clean square with ramped ends.

#include "platform/tone_player.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(SilentTonePlayer, SleepsTheToneLengthAndSkipsInaudibleTones)
{
    platform::FakeClock clock;
    platform::SilentTonePlayer player(clock);
    player.PlayTone(3000, 250);
    player.PlayTone(18, 500); // at or below 18 Hz nothing sounds
    player.PlayTone(1000, 0);
    player.PlayTone(1000, -5);
    player.PlayTone(1000, 2000);
    EXPECT_EQ(clock.Sleeps(), (std::vector<uint32_t>{250, 2000}));
}

TEST(DeviceTonePlayer, FallsBackOnceToSilenceWhenNoDeviceOpens)
{
    platform::FakeClock clock;
    platform::DeviceTonePlayer player(clock, "vendaxo-no-such-sound-device");
    EXPECT_FALSE(player.Silent());
    player.PlayTone(3000, 125);
    EXPECT_TRUE(player.Silent());
    player.PlayTone(3000, 250);
    player.PlayTone(10, 250);
    EXPECT_EQ(clock.Sleeps(), (std::vector<uint32_t>{125, 250}));
}

TEST(DeviceTonePlayer, PlaysToneAfterToneThroughAnOpenDevice)
{
#ifdef VENDAXO_HAVE_ALSA
    // The sound library's "null" device takes the samples without a sound card.
    platform::FakeClock clock;
    platform::DeviceTonePlayer player(clock, "null");
    for (int i = 0; i < 3; ++i)
        player.PlayTone(3000, 125);
    player.PlayTone(1000, 2000);
    EXPECT_FALSE(player.Silent());
    EXPECT_TRUE(clock.Sleeps().empty());
#else
    GTEST_SKIP() << "built without the sound library";
#endif
}

TEST(RenderSquareTone, SquareWaveWithRampedEnds)
{
    const auto s = platform::RenderSquareTone(1000, 250);
    ASSERT_EQ(s.size(), static_cast<size_t>(platform::kToneSampleRate / 4));
    // No click: the wave starts and ends at silence and rises gradually.
    EXPECT_EQ(s.front(), 0);
    EXPECT_LE(std::abs(s.back()), 100);
    EXPECT_LT(std::abs(s[10]), std::abs(s[100]));
    // Full level in the middle, both polarities, one full period per millisecond.
    int peak = 0;
    int crossings = 0;
    for (size_t i = 1000; i < s.size() - 1000; ++i) {
        peak = std::max(peak, std::abs(static_cast<int>(s[i])));
        if ((s[i] > 0) != (s[i - 1] > 0))
            ++crossings;
    }
    EXPECT_GT(peak, 4000);
    EXPECT_LT(peak, 32767);
    const int span_ms = static_cast<int>(s.size() - 2000) * 1000 / platform::kToneSampleRate;
    EXPECT_NEAR(crossings, 2 * span_ms, 2);

    EXPECT_TRUE(platform::RenderSquareTone(10, 250).empty());
    EXPECT_TRUE(platform::RenderSquareTone(1000, 0).empty());
}

TEST(RecordingTonePlayer, RecordsEveryRequestWithItsVirtualTimeAndNeverSleeps)
{
    platform::FakeClock clock;
    platform::RecordingTonePlayer player(&clock);
    player.PlayTone(3000, 250);
    clock.AdvanceMilliseconds(500);
    player.PlayTone(1000, 2000);
    EXPECT_EQ(player.Tones(),
              (std::vector<platform::RecordedTone>{{3000, 250, 0}, {1000, 2000, 500000}}));
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(clock.NowMicroseconds(), 500000);
}

} // namespace
