#include "config_tool/ui/preview_engine.h"

#include <algorithm>

#include "config_tool/model/config_image.h"
#include "platform/tone_player.h"

namespace ui {

namespace {

static_assert(kPreviewIndicators == model::kIndicators && kPreviewSounds == model::kSounds &&
              kPreviewTypes == model::kIndicationTypes);

// The two steps of one colour position from its red and green nibbles.
void DecodeColourPosition(uint8_t r, uint8_t g, uint8_t* step)
{
    if (r != 0 && g != 0) {
        step[0] = step[1] = kPreviewYellow;
    } else if (r != 0) {
        step[0] = step[1] = kPreviewRed;
    } else if (g == 0x3 || g == 0xC) {
        step[0] = kPreviewGreen; // blinking green: lit for the first step only
        step[1] = kPreviewOff;
    } else if (g != 0) {
        step[0] = step[1] = kPreviewGreen;
    } else {
        step[0] = step[1] = kPreviewOff;
    }
}

// Length of the run of steps equal to steps[position] from position (1..16), continuing from
// step 16 to step 1.  A run never exceeds one cycle.
int RunLength(const PreviewSteps& steps, int position)
{
    const uint8_t c = steps.at(static_cast<size_t>(position - 1));
    int a = 0;
    int p = position;
    while (a < kPreviewSteps && steps.at(static_cast<size_t>(p - 1)) == c) {
        ++a;
        p = p == kPreviewSteps ? 1 : p + 1;
    }
    return a;
}

bool AllSame(const PreviewSteps& steps)
{
    return std::all_of(steps.begin(), steps.end(), [&](uint8_t v) { return v == steps[0]; });
}

} // namespace

PreviewSteps DecodeIndicatorSteps(std::span<const uint8_t> image, int type, int indicator)
{
    PreviewSteps steps{};
    if (type < 0 || type >= kPreviewTypes || indicator < 1 || indicator > kPreviewIndicators)
        return steps;
    const size_t record = model::RecordOffset(type, indicator);
    if (record + model::kRecordSize > image.size())
        return steps;
    for (size_t b = 0; b < 4; ++b) {
        const uint8_t red = image[record + model::kRecRed + b];
        const uint8_t green = image[record + model::kRecGreen + b];
        DecodeColourPosition(red >> 4, green >> 4, &steps.at(4 * b));
        DecodeColourPosition(red & 0x0F, green & 0x0F, &steps.at(4 * b + 2));
    }
    return steps;
}

PreviewSteps DecodeSoundSteps(std::span<const uint8_t> image, int sound)
{
    PreviewSteps steps{};
    if (sound < 1 || sound > kPreviewSounds)
        return steps;
    const size_t offset = model::SoundOffset(sound);
    if (offset + model::kSoundSize > image.size())
        return steps;
    for (size_t b = 0; b < model::kSoundSize; ++b) {
        const uint8_t nibbles[2] = {static_cast<uint8_t>(image[offset + b] >> 4),
                                    static_cast<uint8_t>(image[offset + b] & 0x0F)};
        for (size_t h = 0; h < 2; ++h) {
            // Any non-zero nibble sounds the first step; only a full one (F) sounds both.
            steps.at(4 * b + 2 * h) = nibbles[h] != 0 ? 1 : 0;
            steps.at(4 * b + 2 * h + 1) = nibbles[h] == 0xF ? 1 : 0;
        }
    }
    return steps;
}

int SoundCyclesForLength(int length_item)
{
    switch (length_item) {
    case 1:
        return 4;
    case 2:
        return 8;
    case 3:
        return 16;
    default:
        return 2;
    }
}

PreviewEngine::PreviewEngine(StepTimer& indication_timer, StepTimer& sound_timer,
                             platform::TonePlayer& tones, ColourSink& colour)
    : indication_timer_(indication_timer), sound_timer_(sound_timer), tones_(tones), colour_(colour)
{
}

int PreviewEngine::ClampIndicator(int n)
{
    return n >= 1 && n <= kPreviewIndicators ? n : kPreviewIndicators;
}

const PreviewSteps& PreviewEngine::IndicatorSteps(int n) const
{
    return indicator_steps_.at(static_cast<size_t>(ClampIndicator(n) - 1));
}

void PreviewEngine::LoadIndicators(std::span<const uint8_t> image, int type)
{
    for (int n = 1; n <= kPreviewIndicators; ++n)
        indicator_steps_.at(static_cast<size_t>(n - 1)) = DecodeIndicatorSteps(image, type, n);
}

void PreviewEngine::ShowIndicatorPreview(int n)
{
    n = ClampIndicator(n);
    indication_running_ = false;
    indication_timer_.SetInterval(0);
    const PreviewSteps& steps = IndicatorSteps(n);
    if (AllSame(steps)) {
        colour_.ShowColour(static_cast<PreviewColour>(steps[0]));
        return;
    }
    shown_indicator_ = n;
    indication_position_ = 1;
    indication_running_ = true;
    StartIndicationStep();
}

void PreviewEngine::OnIndicationTimer()
{
    StartIndicationStep();
}

void PreviewEngine::StartIndicationStep()
{
    indication_timer_.SetInterval(0);
    if (!indication_running_)
        return;
    const PreviewSteps& steps = IndicatorSteps(shown_indicator_);
    const uint8_t c = steps.at(static_cast<size_t>(indication_position_ - 1));
    const int a = RunLength(steps, indication_position_);
    indication_position_ += a;
    if (indication_position_ > kPreviewSteps)
        indication_position_ -= kPreviewSteps;
    indication_timer_.SetInterval(a * kPreviewStepMs);
    colour_.ShowColour(c <= kPreviewYellow ? static_cast<PreviewColour>(c) : kPreviewOff);
}

void PreviewEngine::StartSoundPreview(std::span<const uint8_t> image, int sound, int length_item)
{
    sound_cycles_left_ = 0;
    sound_timer_.SetInterval(0);
    if (sound < 1 || sound > kPreviewSounds)
        return;
    sound_steps_ = DecodeSoundSteps(image, sound);
    sound_position_ = 1;
    sound_cycles_left_ = SoundCyclesForLength(length_item);
    if (std::any_of(sound_steps_.begin(), sound_steps_.end(), [](uint8_t v) { return v != 0; }))
        PlaySoundStep();
    else
        sound_cycles_left_ = 0;
}

void PreviewEngine::OnSoundTimer()
{
    PlaySoundStep();
}

void PreviewEngine::PlaySoundStep()
{
    sound_timer_.SetInterval(0);
    if (sound_cycles_left_ == 0)
        return;
    if (std::all_of(sound_steps_.begin(), sound_steps_.end(), [](uint8_t v) { return v != 0; })) {
        // A pattern that is on throughout is one steady tone, whatever the length chosen.
        sound_cycles_left_ = 0;
        tones_.PlayTone(kSteadyToneHz, kSteadyToneMs);
        return;
    }
    const uint8_t c = sound_steps_.at(static_cast<size_t>(sound_position_ - 1));
    const int a = RunLength(sound_steps_, sound_position_);
    sound_position_ += a;
    if (sound_position_ > kPreviewSteps) {
        sound_position_ -= kPreviewSteps;
        --sound_cycles_left_;
    }
    // The timer runs while the tone blocks, so the next step is due when the tone ends.
    sound_timer_.SetInterval(a * kPreviewStepMs);
    if (c != 0)
        tones_.PlayTone(kSoundToneHz, a * kPreviewStepMs);
}

void PreviewEngine::StopAll()
{
    sound_cycles_left_ = 0;
    indication_running_ = false;
    sound_timer_.SetInterval(0);
    indication_timer_.SetInterval(0);
}

} // namespace ui
