#pragma once
// Conversions between image bytes and editor values: list items and codes, colour and sound
// nibbles, the PIN and the credential codes, and the credential check before a save or write.

#include "config_tool/model/config_image.h"
#include "config_tool/model/text_tables.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace model {

// List items <-> image codes. Items outside a list map to code 0; unknown codes to item 0.
uint8_t PartitionTypeCode(int item); // items 0-11 -> 0-11, 12-16 -> 19-23
int PartitionTypeItem(uint8_t code);
uint8_t ButtonModeCode(int item); // 0 -> 0, 1 -> 9, 2 -> 10, 3 -> 11
int ButtonModeItem(uint8_t code);
uint8_t SystemTypeCode(int item);   // items 0-6 -> 12-18
int SystemTypeItem(uint8_t code);   // 13-18 -> 1-6, anything else (12 too) -> 0
int SoundTypeItem(uint8_t code);    // 0..30, above 30 -> 0
int PriorityItem(uint8_t priority); // priority - 1; -1 (no item) outside 1..16
uint8_t PriorityByte(int item);     // item + 1

// Colour position items.
inline constexpr int kColourOff = 0;
inline constexpr int kColourGreen = 1;
inline constexpr int kColourRed = 2;
inline constexpr int kColourYellow = 3;
inline constexpr int kColourGreenBlink = 4;
// Sound position items.
inline constexpr int kSoundOff = 0;
inline constexpr int kSoundOn = 1;
inline constexpr int kSoundHalf = 2;

int ColourItem(uint8_t redNibble, uint8_t greenNibble);
int SoundItem(uint8_t nibble);

// Offsets are of the red byte (its green byte is at offset + 4) or of the pattern byte; offsets
// outside the image throw std::out_of_range.
void EncodeColourPair(Image& image, std::size_t offset, int first, int second);
void EncodeSoundPair(Image& image, std::size_t offset, int first, int second);
int DecodeColourHigh(const Image& image, std::size_t offset);
int DecodeColourLow(const Image& image, std::size_t offset);
int DecodeSoundHigh(const Image& image, std::size_t offset);
int DecodeSoundLow(const Image& image, std::size_t offset);

// PIN bytes 124..131. TextToPin takes the first 12 digits; other characters count as 0.
using PinBytes = std::array<uint8_t, kPinSize>;
std::string PinToText(std::span<const uint8_t, kPinSize> pin);
PinBytes TextToPin(std::string_view text);

// Credential codes as 16 hexadecimal digits, byte 7 first.
std::string KeyBytesToText(const KeyCode& code);
KeyCode KeyTextToBytes(std::string_view text);
bool KeyCrcValid(const KeyCode& code);

// Result of CheckKeyCodes: 0 fine; 1..8 the check byte of that code is wrong; 9 codes `first`
// and `second` are equal; 10 code `first` is not 16 characters; 11 code `first` holds a
// character that is no hexadecimal digit. Unused numbers are 0.
struct KeyCheck
{
    int result = 0;
    int first = 0;
    int second = 0;
};
KeyCheck CheckKeyCodes(const std::array<std::string, 8>& texts);

// The warning text for a failed check (empty for result 0); `writing` picks the device write's
// ending of the duplicate message.
std::string KeyCheckMessage(const TextTables& tables, const KeyCheck& check, bool writing);

} // namespace model
