#pragma once
// Tones for the sound preview.  PlayTone blocks the calling thread until the tone has ended,
// so a caller that steps a pattern by timers sees its next tick as soon as the tone is over.
//
// Threads: a player is used from one thread at a time (the preview runs in the user-interface
// thread).  RecordingTonePlayer may be read by the test thread once playing has finished.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace platform {

class TonePlayer
{
public:
    virtual ~TonePlayer() = default;
    // Sounds frequency_hz for duration_ms and returns when the tone has ended.  A frequency of
    // 18 Hz or less, or a duration of 0 or less, sounds nothing and returns at once.
    virtual void PlayTone(int frequency_hz, int duration_ms) = 0;
};

// True when PlayTone(frequency_hz, duration_ms) sounds anything at all.
bool IsAudibleTone(int frequency_hz, int duration_ms);

// The samples (mono, signed 16 bit, kToneSampleRate per second) that the device player sends
// for one tone: a square wave whose first and last few milliseconds ramp from and to silence.
constexpr int kToneSampleRate = 48000;
std::vector<int16_t> RenderSquareTone(int frequency_hz, int duration_ms);

// Sounds nothing but takes the tone's time on its clock, so callers keep their timing.
class SilentTonePlayer : public TonePlayer
{
public:
    explicit SilentTonePlayer(Clock& clock) : clock_(clock) {}
    void PlayTone(int frequency_hz, int duration_ms) override;

private:
    Clock& clock_;
};

// The player of the program: a square wave through the sound device, with short ramps at both
// ends against clicks.  The device is opened on the first tone; when it cannot be opened (or
// fails while playing) the player falls back, once and for the rest of its life, to a silent
// player on the given clock.
class DeviceTonePlayer : public TonePlayer
{
public:
    // device: the sound device name ("default" is the user's output).
    explicit DeviceTonePlayer(Clock& clock, std::string device = "default");
    ~DeviceTonePlayer() override;
    DeviceTonePlayer(const DeviceTonePlayer&) = delete;
    DeviceTonePlayer& operator=(const DeviceTonePlayer&) = delete;

    void PlayTone(int frequency_hz, int duration_ms) override;
    // True once the player has given up on the device and plays silently.
    bool Silent() const { return silent_; }

private:
    bool Open();
    bool Play(int frequency_hz, int duration_ms);
    void Close();

    SilentTonePlayer fallback_;
    std::string device_;
    void* pcm_ = nullptr; // the open device, when there is one
    bool silent_ = false;
};

// One tone as a RecordingTonePlayer saw it.
struct RecordedTone
{
    int frequency_hz = 0;
    int duration_ms = 0;
    int64_t start_us = 0; // the clock's time when the tone began (0 without a clock)

    bool operator==(const RecordedTone&) const = default;
};

// For tests: records every tone and returns at once, never sleeping.  With a FakeClock the
// tones carry the virtual time at which they were asked for.
class RecordingTonePlayer : public TonePlayer
{
public:
    explicit RecordingTonePlayer(FakeClock* clock = nullptr) : clock_(clock) {}
    void PlayTone(int frequency_hz, int duration_ms) override;
    const std::vector<RecordedTone>& Tones() const { return tones_; }
    void Clear() { tones_.clear(); }

private:
    FakeClock* clock_;
    std::vector<RecordedTone> tones_;
};

} // namespace platform
