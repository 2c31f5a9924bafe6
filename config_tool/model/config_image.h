#pragma once
// The unit's configuration memory as one 7,676-byte image, its read mask and the factory image,
// plus the eight credential codes the unit keeps apart from that memory.
//
// Layout (little-endian numbers):
//   0..119     partition number of position p (1..60) at 2(p-1), 0..9999
//   123        alarm sounding time in seconds
//   124..131   PIN (see PinToText in codecs.h)
//   132        option flags (bit 0 two power inputs, bit 1 button beep, bit 2 silencing)
//   256..315   partition type of position p at 255+p
//   316..322   system indicator type s (1..7) at 315+s
//   324..383   button mode of position p at 323+p
//   640..7551  24 indication types x 16 indicators, 18-byte records
//   7552..7675 31 sound patterns of 4 bytes, sound s (0..30) at 7552+4s
// Bytes 120-122, 133-255, 323 and 384-639 are not transferred and stay as loaded.

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace model {

inline constexpr std::size_t kImageSize = 7676;
using Image = std::array<uint8_t, kImageSize>;
using KeyCode = std::array<uint8_t, 8>;
using KeyCodes = std::array<KeyCode, 8>;

inline constexpr int kPositions = 60;
inline constexpr int kSystemIndicators = 7;
inline constexpr int kIndicationTypes = 24;
inline constexpr int kIndicators = 16;
inline constexpr int kSounds = 30; // editable sounds 1..30; sound 0 is silence

inline constexpr std::size_t kAlarmTimeOffset = 123;
inline constexpr std::size_t kPinOffset = 124;
inline constexpr std::size_t kPinSize = 8;
inline constexpr std::size_t kOptionsOffset = 132;
inline constexpr std::size_t kRecordsOffset = 640;
inline constexpr std::size_t kRecordSize = 18;
inline constexpr std::size_t kTypeStride = kRecordSize * kIndicators; // 288
inline constexpr std::size_t kSoundsOffset = 7552;
inline constexpr std::size_t kSoundSize = 4;

static_assert(kTypeStride == 288);
static_assert(kRecordsOffset + kIndicationTypes * kTypeStride == kSoundsOffset);
static_assert(kSoundsOffset + (kSounds + 1) * kSoundSize == kImageSize);

// Bytes within an indication record.
inline constexpr std::size_t kRecMask = 0; // 6 bytes; all 0xFF = no event bound
inline constexpr std::size_t kRecMaskSize = 6;
inline constexpr std::size_t kRecRed = 6;    // 4 bytes, 8 nibble positions
inline constexpr std::size_t kRecGreen = 10; // 4 bytes
inline constexpr std::size_t kRecPriority = 14;
inline constexpr std::size_t kRecSound = 15;

inline constexpr uint8_t kOptionTwoPower = 0x01; // MainParam2U
inline constexpr uint8_t kOptionBell = 0x02;     // MainParamBell
inline constexpr uint8_t kOptionReset = 0x04;    // MainParamReset

// Offsets of the numbered fields; arguments out of range throw std::out_of_range.
constexpr std::size_t PartitionNumberOffset(int position)
{
    if (position < 1 || position > kPositions)
        throw std::out_of_range("partition position");
    return 2 * static_cast<std::size_t>(position - 1);
}
constexpr std::size_t PartitionTypeOffset(int position)
{
    if (position < 1 || position > kPositions)
        throw std::out_of_range("partition position");
    return 255 + static_cast<std::size_t>(position);
}
constexpr std::size_t ButtonModeOffset(int position)
{
    if (position < 1 || position > kPositions)
        throw std::out_of_range("partition position");
    return 323 + static_cast<std::size_t>(position);
}
constexpr std::size_t SystemTypeOffset(int indicator)
{
    if (indicator < 1 || indicator > kSystemIndicators)
        throw std::out_of_range("system indicator");
    return 315 + static_cast<std::size_t>(indicator);
}
// Record of indicator i (1..16) in indication type t (0..23).
constexpr std::size_t RecordOffset(int type, int indicator)
{
    if (type < 0 || type >= kIndicationTypes || indicator < 1 || indicator > kIndicators)
        throw std::out_of_range("indication record");
    return kRecordsOffset + kTypeStride * static_cast<std::size_t>(type) +
           kRecordSize * static_cast<std::size_t>(indicator - 1);
}
// Pattern of sound s (0..30).
constexpr std::size_t SoundOffset(int sound)
{
    if (sound < 0 || sound > kSounds)
        throw std::out_of_range("sound pattern");
    return kSoundsOffset + kSoundSize * static_cast<std::size_t>(sound);
}

static_assert(RecordOffset(23, 16) + kRecordSize == kSoundsOffset);
static_assert(SoundOffset(30) + kSoundSize == kImageSize);

// 1 where the byte exists in the unit and is transferred (7,293 bytes), else 0.
const Image& ReadMask();
// The image the New command loads.
const Image& FactoryImage();

} // namespace model
