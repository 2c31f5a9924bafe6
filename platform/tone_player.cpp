#include "platform/tone_player.h"

#include <algorithm>
#include <cmath>
#include <vector>

#ifdef VENDAXO_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

namespace platform {

namespace {

constexpr int kSampleRate = kToneSampleRate;
constexpr int kRampMs = 4;          // rise and fall time; a hard edge clicks
constexpr double kAmplitude = 0.25; // of full scale: loud enough, never clipping
constexpr int kChunkFrames = 1024;

// Sample n of a square wave of frequency f lasting frames samples, with linear ramps.
int16_t SquareSample(int64_t n, int64_t frames, int frequency_hz)
{
    const int64_t half_period_x2 = static_cast<int64_t>(frequency_hz) * 2;
    // Which half period sample n falls in, without accumulating phase error.
    const bool high = ((n * half_period_x2) / kSampleRate) % 2 == 0;
    const int64_t ramp = static_cast<int64_t>(kSampleRate) * kRampMs / 1000;
    double gain = 1.0;
    const int64_t edge = std::min(n, frames - 1 - n);
    if (ramp > 0 && edge < ramp)
        gain = static_cast<double>(edge) / static_cast<double>(ramp);
    const double v = (high ? 1.0 : -1.0) * kAmplitude * gain * 32767.0;
    return static_cast<int16_t>(std::lround(v));
}

#ifdef VENDAXO_HAVE_ALSA
// The library reports open failures on stderr as well as by result; we report by result.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}
#endif

} // namespace

std::vector<int16_t> RenderSquareTone(int frequency_hz, int duration_ms)
{
    std::vector<int16_t> samples;
    if (!IsAudibleTone(frequency_hz, duration_ms))
        return samples;
    const int64_t frames = static_cast<int64_t>(kSampleRate) * duration_ms / 1000;
    samples.reserve(static_cast<size_t>(frames));
    for (int64_t n = 0; n < frames; ++n)
        samples.push_back(SquareSample(n, frames, frequency_hz));
    return samples;
}

bool IsAudibleTone(int frequency_hz, int duration_ms)
{
    return frequency_hz > 18 && duration_ms > 0;
}

void SilentTonePlayer::PlayTone(int frequency_hz, int duration_ms)
{
    if (!IsAudibleTone(frequency_hz, duration_ms))
        return;
    clock_.Sleep(static_cast<uint32_t>(duration_ms));
}

DeviceTonePlayer::DeviceTonePlayer(Clock& clock, std::string device)
    : fallback_(clock), device_(std::move(device))
{
}

DeviceTonePlayer::~DeviceTonePlayer()
{
    Close();
}

void DeviceTonePlayer::PlayTone(int frequency_hz, int duration_ms)
{
    if (!IsAudibleTone(frequency_hz, duration_ms))
        return;
    if (!silent_ && (pcm_ != nullptr || Open()) && Play(frequency_hz, duration_ms))
        return;
    if (!silent_) {
        silent_ = true;
        Close();
    }
    fallback_.PlayTone(frequency_hz, duration_ms);
}

#ifdef VENDAXO_HAVE_ALSA

bool DeviceTonePlayer::Open()
{
    snd_lib_error_set_handler(QuietAlsaErrors);
    snd_pcm_t* pcm = nullptr;
    // A blocking open waits for as long as another program holds the device, which would
    // freeze the caller's thread; only the writes below are meant to block.
    if (snd_pcm_open(&pcm, device_.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0)
        return false;
    if (snd_pcm_nonblock(pcm, 0) < 0) {
        snd_pcm_close(pcm);
        return false;
    }
    if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kSampleRate,
                           1, 50000) < 0) {
        snd_pcm_close(pcm);
        return false;
    }
    pcm_ = pcm;
    return true;
}

bool DeviceTonePlayer::Play(int frequency_hz, int duration_ms)
{
    auto* pcm = static_cast<snd_pcm_t*>(pcm_);
    const int64_t frames = static_cast<int64_t>(kSampleRate) * duration_ms / 1000;
    std::vector<int16_t> chunk(kChunkFrames);
    int64_t n = 0;
    while (n < frames) {
        const int64_t count = std::min<int64_t>(kChunkFrames, frames - n);
        for (int64_t i = 0; i < count; ++i)
            chunk[static_cast<size_t>(i)] = SquareSample(n + i, frames, frequency_hz);
        int64_t done = 0;
        while (done < count) {
            snd_pcm_sframes_t w = snd_pcm_writei(pcm, chunk.data() + done,
                                                 static_cast<snd_pcm_uframes_t>(count - done));
            if (w < 0)
                w = snd_pcm_recover(pcm, static_cast<int>(w), 1);
            if (w < 0)
                return false;
            done += w;
        }
        n += count;
    }
    // Returns when the last sample has left the device: the tone has ended.
    if (snd_pcm_drain(pcm) < 0)
        return false;
    return snd_pcm_prepare(pcm) >= 0;
}

void DeviceTonePlayer::Close()
{
    if (pcm_ != nullptr)
        snd_pcm_close(static_cast<snd_pcm_t*>(pcm_));
    pcm_ = nullptr;
}

#else // no sound library: every tone is silent

bool DeviceTonePlayer::Open()
{
    return false;
}

bool DeviceTonePlayer::Play(int frequency_hz, int duration_ms)
{
    (void)frequency_hz;
    (void)duration_ms;
    return false;
}

void DeviceTonePlayer::Close()
{
    pcm_ = nullptr;
}

#endif

void RecordingTonePlayer::PlayTone(int frequency_hz, int duration_ms)
{
    tones_.push_back({frequency_hz, duration_ms, clock_ ? clock_->NowMicroseconds() : 0});
}

} // namespace platform
