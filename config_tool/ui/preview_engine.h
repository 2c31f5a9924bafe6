#pragma once
// The indicator and sound preview without widgets.  Two animations step in 125 ms steps: the
// indication preview follows one indicator's eight colour positions until it is stopped, the
// sound preview plays one sound pattern for a number of 2 s cycles.  Each position lasts two
// steps, so one cycle of 16 steps is 2 s.
//
// The engine reaches the outside only through its seams: two step timers, a tone player and a
// colour sink.  The window drives it with real timers; tests drive it on a virtual clock.
//
// Threads: everything runs in one thread (the user-interface thread).  Timer ticks must come
// from the same thread; PlayTone blocks it for the length of the tone.

#include <array>
#include <cstdint>
#include <span>

namespace platform {
class TonePlayer;
}

namespace ui {

constexpr int kPreviewStepMs = 125;
constexpr int kPreviewSteps = 16;
constexpr int kPreviewIndicators = 16;
constexpr int kPreviewSounds = 30;
constexpr int kPreviewTypes = 24;
constexpr int kSoundToneHz = 3000;
constexpr int kSteadyToneHz = 1000;
constexpr int kSteadyToneMs = 2000;

// Colours of one indication step.
enum PreviewColour : uint8_t {
    kPreviewOff = 0,
    kPreviewGreen = 1,
    kPreviewRed = 2,
    kPreviewYellow = 3
};

using PreviewSteps = std::array<uint8_t, kPreviewSteps>;

// A timer that is started only by setting an interval and stopped by the interval 0.  At most one
// tick is pending; the engine sets the next interval itself on every tick.
class StepTimer
{
public:
    virtual ~StepTimer() = default;
    virtual void SetInterval(int ms) = 0;
};

// Where the indication preview shows its current colour.
class ColourSink
{
public:
    virtual ~ColourSink() = default;
    virtual void ShowColour(PreviewColour colour) = 0;
};

// The 16 colour steps of indicator (1..16) in indication type (0..23) of a configuration image.
// A record that lies outside the image, or an indicator or type out of range, gives all off.
PreviewSteps DecodeIndicatorSteps(std::span<const uint8_t> image, int type, int indicator);
// The 16 on/off steps (1 on) of sound pattern (1..30); out of range gives all off.
PreviewSteps DecodeSoundSteps(std::span<const uint8_t> image, int sound);
// Cycles of 2 s for the preview length item (0 "4 s" .. 3 "32 s"); any other item (-1 when the
// operator typed into the list) gives the shortest length.
int SoundCyclesForLength(int length_item);

class PreviewEngine
{
public:
    PreviewEngine(StepTimer& indication_timer, StepTimer& sound_timer, platform::TonePlayer& tones,
                  ColourSink& colour);

    // Decodes the 16 indicator records of indication type (0..23) for the indication preview.
    void LoadIndicators(std::span<const uint8_t> image, int type);
    // Restarts the indication preview at step 1 of indicator n.  An indicator outside 1..16 is
    // shown as indicator 16, the last row of the window.
    void ShowIndicatorPreview(int n);
    // Tick of the indication timer.
    void OnIndicationTimer();

    // Replaces any running sound preview by pattern sound (1..30) of the image for the length
    // item; a sound outside 1..30 only stops what was playing.
    void StartSoundPreview(std::span<const uint8_t> image, int sound, int length_item);
    // Tick of the sound timer.
    void OnSoundTimer();

    // Ends both previews at once: no tick stays pending and no further tone is played.
    void StopAll();

    bool IndicationRunning() const { return indication_running_; }
    bool SoundPlaying() const { return sound_cycles_left_ != 0; }
    int SoundCyclesLeft() const { return sound_cycles_left_; }
    int ShownIndicator() const { return shown_indicator_; }
    const PreviewSteps& IndicatorSteps(int n) const; // n 1..16, anything else gives 16

private:
    void StartIndicationStep();
    void PlaySoundStep();
    static int ClampIndicator(int n);

    StepTimer& indication_timer_;
    StepTimer& sound_timer_;
    platform::TonePlayer& tones_;
    ColourSink& colour_;

    PreviewSteps sound_steps_{};
    int sound_position_ = 1;
    int sound_cycles_left_ = 0;
    std::array<PreviewSteps, kPreviewIndicators> indicator_steps_{};
    int shown_indicator_ = 1;
    int indication_position_ = 1;
    bool indication_running_ = false;
};

} // namespace ui
