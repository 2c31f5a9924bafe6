// The preview engine on a virtual clock: every tick and tone is asserted at its exact time.

#include "config_tool/model/config_image.h"
#include "config_tool/ui/preview_engine.h"
#include "platform/tone_player.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

namespace {

using platform::RecordedTone;
using ui::PreviewColour;

} // namespace

namespace platform {
void PrintTo(const RecordedTone& t, std::ostream* os)
{
    *os << "{" << t.frequency_hz << " Hz, " << t.duration_ms << " ms at " << t.start_us / 1000
        << " ms}";
}
} // namespace platform

namespace {

struct VirtualTimer : ui::StepTimer
{
    explicit VirtualTimer(platform::FakeClock& c) : clock(c) {}
    void SetInterval(int ms) override
    {
        due_us = ms == 0 ? -1 : clock.NowMicroseconds() + int64_t{ms} * 1000;
    }
    platform::FakeClock& clock;
    int64_t due_us = -1;
};

struct Shown
{
    int64_t at_ms;
    int colour;
    bool operator==(const Shown&) const = default;
};

void PrintTo(const Shown& s, std::ostream* os)
{
    *os << "{" << s.at_ms << " ms, colour " << s.colour << "}";
}

struct ColourLog : ui::ColourSink
{
    explicit ColourLog(platform::FakeClock& c) : clock(c) {}
    void ShowColour(PreviewColour c) override
    {
        shown.push_back({clock.NowMicroseconds() / 1000, static_cast<int>(c)});
    }
    platform::FakeClock& clock;
    std::vector<Shown> shown;
};

// One engine with virtual timers: Run() delivers the pending ticks in time order.
struct Rig
{
    platform::FakeClock clock;
    VirtualTimer ind{clock};
    VirtualTimer sound{clock};
    platform::RecordingTonePlayer tones{&clock};
    ColourLog colours{clock};
    ui::PreviewEngine engine{ind, sound, tones, colours};
    model::Image image = model::FactoryImage();
    int64_t last_sound_tick_ms = -1;

    // Delivers the ticks due up to until_ms, then lets the clock reach until_ms.
    void Run(int64_t until_ms)
    {
        for (;;) {
            VirtualTimer* next = nullptr;
            for (VirtualTimer* t : {&ind, &sound})
                if (t->due_us >= 0 && (!next || t->due_us < next->due_us))
                    next = t;
            if (!next || next->due_us > until_ms * 1000) {
                if (clock.NowMicroseconds() < until_ms * 1000)
                    clock.AdvanceMicroseconds(until_ms * 1000 - clock.NowMicroseconds());
                return;
            }
            clock.AdvanceMicroseconds(next->due_us - clock.NowMicroseconds());
            next->due_us = -1;
            if (next == &ind) {
                engine.OnIndicationTimer();
            } else {
                last_sound_tick_ms = clock.NowMicroseconds() / 1000;
                engine.OnSoundTimer();
            }
        }
    }
    void SetSound(int s, uint32_t pattern)
    {
        for (size_t k = 0; k < 4; ++k)
            image.at(model::SoundOffset(s) + k) = static_cast<uint8_t>(pattern >> (24 - 8 * k));
    }
    void SetColours(int type, int indicator, uint32_t red, uint32_t green)
    {
        const size_t r = model::RecordOffset(type, indicator);
        for (size_t k = 0; k < 4; ++k) {
            image.at(r + model::kRecRed + k) = static_cast<uint8_t>(red >> (24 - 8 * k));
            image.at(r + model::kRecGreen + k) = static_cast<uint8_t>(green >> (24 - 8 * k));
        }
    }
};

std::vector<RecordedTone> Tones(int hz, int ms, int first_ms, int every_ms, int count)
{
    std::vector<RecordedTone> v;
    for (int i = 0; i < count; ++i)
        v.push_back({hz, ms, int64_t{first_ms + i * every_ms} * 1000});
    return v;
}

TEST(PreviewDecode, ColourPositionsFromRedAndGreenNibbles)
{
    struct Case
    {
        uint8_t red, green, first, second;
    } cases[] = {
        {0xF, 0xF, 3, 3}, {0x1, 0x8, 3, 3}, {0xF, 0x0, 2, 2}, {0x3, 0x0, 2, 2}, {0x0, 0x3, 1, 0},
        {0x0, 0xC, 1, 0}, {0x0, 0xF, 1, 1}, {0x0, 0x5, 1, 1}, {0x0, 0x0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "red " << int{c.red} << " green " << int{c.green});
        model::Image image{};
        // Position 4 of indicator 5 in type 7: the low nibbles of the second plane bytes.
        const size_t r = model::RecordOffset(7, 5);
        image.at(r + model::kRecRed + 1) = c.red;
        image.at(r + model::kRecGreen + 1) = c.green;
        ui::PreviewSteps want{};
        want[6] = c.first;
        want[7] = c.second;
        EXPECT_EQ(ui::DecodeIndicatorSteps(image, 7, 5), want);
        EXPECT_EQ(ui::DecodeIndicatorSteps(image, 7, 4), ui::PreviewSteps{});
    }
}

TEST(PreviewDecode, SoundNibblesAndOutOfRangeArguments)
{
    model::Image image{};
    image.at(model::SoundOffset(30)) = 0xF3;
    image.at(model::SoundOffset(30) + 3) = 0xC7;
    EXPECT_EQ(ui::DecodeSoundSteps(image, 30),
              (ui::PreviewSteps{1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0}));
    const ui::PreviewSteps off{};
    image.fill(0xFF);
    for (int s : {0, 31, -1, 255})
        EXPECT_EQ(ui::DecodeSoundSteps(image, s), off) << s;
    for (auto [t, i] : {std::pair{-1, 1}, {24, 1}, {0, 0}, {0, 17}})
        EXPECT_EQ(ui::DecodeIndicatorSteps(image, t, i), off) << t << " " << i;
    // A short image never reads past its end.
    const std::vector<uint8_t> tiny(700, 0xFF);
    EXPECT_EQ(ui::DecodeIndicatorSteps(tiny, 23, 16), off);
    EXPECT_EQ(ui::DecodeSoundSteps(tiny, 30), off);
}

TEST(SoundPreview, LengthItemsGiveCycles)
{
    const std::pair<int, int> cases[] = {{0, 2}, {1, 4}, {2, 8}, {3, 16}, {-1, 2}, {4, 2}};
    for (auto [item, cycles] : cases)
        EXPECT_EQ(ui::SoundCyclesForLength(item), cycles) << item;
}

TEST(SoundPreview, OnOffPatternPlaysEightTonesAndEndsAtFourSeconds)
{
    Rig rig;
    rig.SetSound(9, 0xF0F0F0F0);
    rig.engine.StartSoundPreview(rig.image, 9, 0);
    rig.Run(100000);
    EXPECT_EQ(rig.tones.Tones(), Tones(3000, 250, 0, 500, 8));
    EXPECT_EQ(rig.last_sound_tick_ms, 4000);
    EXPECT_FALSE(rig.engine.SoundPlaying());
    EXPECT_EQ(rig.sound.due_us, -1);
}

TEST(SoundPreview, ThirtyTwoSecondsIsSixteenCycles)
{
    Rig rig;
    rig.SetSound(9, 0xF0F0F0F0);
    rig.engine.StartSoundPreview(rig.image, 9, 3);
    rig.Run(100000);
    EXPECT_EQ(rig.tones.Tones(), Tones(3000, 250, 0, 500, 64));
    EXPECT_EQ(rig.last_sound_tick_ms, 32000);
}

TEST(SoundPreview, HalfPositionsPlaySixteenShortTones)
{
    Rig rig;
    rig.SetSound(5, 0x33333333);
    rig.engine.StartSoundPreview(rig.image, 5, 0);
    rig.Run(100000);
    EXPECT_EQ(rig.tones.Tones(), Tones(3000, 125, 0, 250, 16));
    EXPECT_EQ(rig.last_sound_tick_ms, 4000);
}

TEST(SoundPreview, AllOnIsOneSteadyToneWhateverTheLength)
{
    Rig rig;
    rig.SetSound(30, 0xFFFFFFFF);
    rig.engine.StartSoundPreview(rig.image, 30, 3);
    EXPECT_EQ(rig.sound.due_us, -1);
    rig.Run(100000);
    EXPECT_EQ(rig.tones.Tones(), (std::vector<RecordedTone>{{1000, 2000, 0}}));
    EXPECT_FALSE(rig.engine.SoundPlaying());
}

TEST(SoundPreview, FactorySoundOnePlaysTheRunAcrossTheCycleEndWhole)
{
    Rig rig; // FF 0F FF 0F: steps 1-4 on, 5-6 off, 7-12 on, 13-14 off, 15-16 on
    rig.engine.StartSoundPreview(rig.image, 1, 0);
    rig.Run(100000);
    EXPECT_EQ(rig.tones.Tones(), (std::vector<RecordedTone>{{3000, 500, 0},
                                                            {3000, 750, 750000},
                                                            {3000, 750, 1750000},
                                                            {3000, 750, 2750000},
                                                            {3000, 750, 3750000}}));
    EXPECT_EQ(rig.last_sound_tick_ms, 4500);
}

TEST(SoundPreview, SilentPatternAndBadSoundPlayNothing)
{
    Rig rig;
    rig.SetSound(20, 0);
    for (int s : {20, 0, 31, -3}) {
        rig.engine.StartSoundPreview(rig.image, s, 0);
        EXPECT_FALSE(rig.engine.SoundPlaying()) << s;
        EXPECT_EQ(rig.sound.due_us, -1) << s;
    }
    EXPECT_TRUE(rig.tones.Tones().empty());
}

TEST(SoundPreview, StartingAnotherReplacesThePlayingOne)
{
    Rig rig;
    rig.SetSound(9, 0xF0F0F0F0);
    rig.SetSound(10, 0x33333333);
    rig.engine.StartSoundPreview(rig.image, 9, 3);
    rig.Run(600);
    rig.engine.StartSoundPreview(rig.image, 10, 0);
    rig.Run(100000);
    auto want = Tones(3000, 250, 0, 500, 2);
    for (const RecordedTone& t : Tones(3000, 125, 600, 250, 16))
        want.push_back(t);
    EXPECT_EQ(rig.tones.Tones(), want);
    EXPECT_EQ(rig.last_sound_tick_ms, 4600);
}

TEST(SoundPreview, StopAllLeavesNoTickAndNoTone)
{
    Rig rig;
    rig.SetSound(9, 0xF0F0F0F0);
    rig.engine.StartSoundPreview(rig.image, 9, 3);
    rig.engine.ShowIndicatorPreview(1); // factory type 0 is not loaded: all off, steady
    rig.engine.LoadIndicators(rig.image, 0);
    rig.engine.ShowIndicatorPreview(1);
    rig.Run(1100);
    rig.engine.StopAll();
    EXPECT_EQ(rig.sound.due_us, -1);
    EXPECT_EQ(rig.ind.due_us, -1);
    const size_t tones = rig.tones.Tones().size();
    const size_t shown = rig.colours.shown.size();
    rig.Run(100000);
    EXPECT_EQ(rig.tones.Tones().size(), tones);
    EXPECT_EQ(rig.colours.shown.size(), shown);
    EXPECT_FALSE(rig.engine.SoundPlaying());
    EXPECT_FALSE(rig.engine.IndicationRunning());
}

TEST(IndicationPreview, FactoryTypeZeroSteadyBlinkingAndSinglePosition)
{
    Rig rig;
    rig.engine.LoadIndicators(rig.image, 0);

    // Indicator 10 is green throughout: one picture, no timer.
    rig.engine.ShowIndicatorPreview(10);
    EXPECT_EQ(rig.colours.shown, (std::vector<Shown>{{0, 1}}));
    EXPECT_EQ(rig.ind.due_us, -1);
    EXPECT_FALSE(rig.engine.IndicationRunning());

    // Indicator 1 blinks green (green nibbles C): 125 ms on, 125 ms off.
    rig.colours.shown.clear();
    rig.engine.ShowIndicatorPreview(1);
    rig.Run(1000);
    std::vector<Shown> want;
    for (int k = 0; k <= 8; ++k)
        want.push_back({k * 125, k % 2 == 0 ? 1 : 0});
    EXPECT_EQ(rig.colours.shown, want);

    // Indicator 7 is yellow at position 2 only; the off run crosses the cycle end.
    rig.colours.shown.clear();
    const int64_t t0 = 1000;
    rig.engine.ShowIndicatorPreview(7);
    rig.Run(t0 + 4300);
    EXPECT_EQ(rig.colours.shown, (std::vector<Shown>{{t0, 0},
                                                     {t0 + 250, 3},
                                                     {t0 + 500, 0},
                                                     {t0 + 2250, 3},
                                                     {t0 + 2500, 0},
                                                     {t0 + 4250, 3}}));
}

TEST(IndicationPreview, SteadyColoursNeedNoTimer)
{
    const std::pair<uint32_t, uint32_t> planes[] = {
        {0, 0}, {0, 0xFFFFFFFF}, {0xFFFFFFFF, 0}, {0xFFFFFFFF, 0xFFFFFFFF}};
    int expected = 0;
    for (int want : {0, 1, 2, 3}) {
        Rig rig;
        rig.SetColours(5, 3, planes[expected].first, planes[expected].second);
        ++expected;
        rig.engine.LoadIndicators(rig.image, 5);
        rig.engine.ShowIndicatorPreview(3);
        EXPECT_EQ(rig.colours.shown, (std::vector<Shown>{{0, want}}));
        EXPECT_EQ(rig.ind.due_us, -1);
    }
}

TEST(IndicationPreview, AlternatingPositionsChangeEvery250msAndAnotherPickRestarts)
{
    Rig rig;
    rig.SetColours(5, 2, 0, 0xF0F0F0F0); // green, "-", green, "-", ...
    rig.SetColours(5, 3, 0xFF000000, 0); // red at positions 1 and 2
    rig.engine.LoadIndicators(rig.image, 5);
    rig.engine.ShowIndicatorPreview(2);
    rig.Run(800);
    EXPECT_EQ(rig.colours.shown, (std::vector<Shown>{{0, 1}, {250, 0}, {500, 1}, {750, 0}}));
    rig.colours.shown.clear();
    rig.engine.ShowIndicatorPreview(3);
    EXPECT_EQ(rig.engine.ShownIndicator(), 3);
    rig.Run(2900);
    EXPECT_EQ(rig.colours.shown, (std::vector<Shown>{{800, 2}, {1300, 0}, {2800, 2}}));
}

TEST(IndicationPreview, IndicatorOutsideTheRowsShowsTheLastRow)
{
    Rig rig;
    rig.SetColours(4, 16, 0xF0000000, 0);
    rig.engine.LoadIndicators(rig.image, 4);
    for (int n : {0, 17, 255, -1}) {
        rig.colours.shown.clear();
        rig.engine.ShowIndicatorPreview(n);
        EXPECT_EQ(rig.engine.ShownIndicator(), 16) << n;
        ASSERT_FALSE(rig.colours.shown.empty());
        EXPECT_EQ(rig.colours.shown.front().colour, 2) << n;
    }
}

} // namespace
