#include "config_tool/model/codecs.h"

#include "platform/crc8.h"

#include <algorithm>
#include <string>

namespace model {

uint8_t PartitionTypeCode(int item)
{
    if (item >= 0 && item <= 11)
        return static_cast<uint8_t>(item);
    if (item >= 12 && item <= 16)
        return static_cast<uint8_t>(item + 7);
    return 0;
}

int PartitionTypeItem(uint8_t code)
{
    if (code <= 11)
        return code;
    if (code >= 19 && code <= 23)
        return code - 7;
    return 0;
}

uint8_t ButtonModeCode(int item)
{
    return item >= 1 && item <= 3 ? static_cast<uint8_t>(item + 8) : 0;
}

int ButtonModeItem(uint8_t code)
{
    return code >= 9 && code <= 11 ? code - 8 : 0;
}

uint8_t SystemTypeCode(int item)
{
    return item >= 0 && item <= 6 ? static_cast<uint8_t>(item + 12) : 0;
}

int SystemTypeItem(uint8_t code)
{
    return code >= 13 && code <= 18 ? code - 12 : 0;
}

int SoundTypeItem(uint8_t code)
{
    return code <= kSounds ? code : 0;
}

int PriorityItem(uint8_t priority)
{
    // A byte outside 1..16 selects nothing rather than an item the list lacks.
    return priority >= 1 && priority <= 16 ? priority - 1 : -1;
}

uint8_t PriorityByte(int item)
{
    return static_cast<uint8_t>(item + 1);
}

int ColourItem(uint8_t redNibble, uint8_t greenNibble)
{
    if (redNibble != 0)
        return greenNibble != 0 ? kColourYellow : kColourRed;
    if (greenNibble == 0)
        return kColourOff;
    return greenNibble == 0x3 || greenNibble == 0xC ? kColourGreenBlink : kColourGreen;
}

int SoundItem(uint8_t nibble)
{
    if (nibble == 0)
        return kSoundOff;
    return nibble == 0x3 || nibble == 0xC ? kSoundHalf : kSoundOn;
}

namespace {

uint8_t RedNibble(int item)
{
    return item == kColourRed || item == kColourYellow ? 0xF : 0x0;
}

uint8_t GreenNibble(int item)
{
    if (item == kColourGreen || item == kColourYellow)
        return 0xF;
    return item == kColourGreenBlink ? 0xC : 0x0;
}

uint8_t SoundNibble(int item)
{
    if (item == kSoundOn)
        return 0xF;
    return item == kSoundHalf ? 0x3 : 0x0;
}

uint8_t Pair(uint8_t high, uint8_t low)
{
    return static_cast<uint8_t>(high << 4 | low);
}

} // namespace

void EncodeColourPair(Image& image, std::size_t offset, int first, int second)
{
    image.at(offset) = Pair(RedNibble(first), RedNibble(second));
    image.at(offset + 4) = Pair(GreenNibble(first), GreenNibble(second));
}

void EncodeSoundPair(Image& image, std::size_t offset, int first, int second)
{
    image.at(offset) = Pair(SoundNibble(first), SoundNibble(second));
}

int DecodeColourHigh(const Image& image, std::size_t offset)
{
    return ColourItem(image.at(offset) >> 4, image.at(offset + 4) >> 4);
}

int DecodeColourLow(const Image& image, std::size_t offset)
{
    return ColourItem(image.at(offset) & 0xF, image.at(offset + 4) & 0xF);
}

int DecodeSoundHigh(const Image& image, std::size_t offset)
{
    return SoundItem(image.at(offset) >> 4);
}

int DecodeSoundLow(const Image& image, std::size_t offset)
{
    return SoundItem(image.at(offset) & 0xF);
}

namespace {

constexpr std::size_t kPinDigitsMax = 12;

int DigitValue(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : 0;
}

} // namespace

std::string PinToText(std::span<const uint8_t, kPinSize> pin)
{
    if (pin[0] != 0xF0 || (pin[1] & 0xF) == 0xF)
        return {};
    // Nibbles from the last digit backwards: low then high of bytes 125..130.
    std::array<uint8_t, 12> digits{};
    std::size_t count = 0;
    for (; count < digits.size(); ++count) {
        const uint8_t byte = pin[1 + count / 2];
        const uint8_t nibble = count % 2 == 0 ? byte & 0xF : byte >> 4;
        if (nibble == 0xF)
            break;
        digits[count] = nibble;
    }
    std::string text;
    // A nibble A..E, which no edit can store, still shows as its decimal value.
    while (count-- > 0)
        text += std::to_string(digits[count]);
    return text;
}

PinBytes TextToPin(std::string_view text)
{
    PinBytes pin{};
    if (text.empty())
        return pin;
    text = text.substr(0, kPinDigitsMax);
    pin[0] = 0xF0;
    std::size_t left = text.size(); // digits not placed yet, taken from the end
    for (std::size_t k = 1; k <= 6; ++k) {
        if (left == 0) {
            pin[k] = 0xFF;
        } else if (left == 1) {
            pin[k] = static_cast<uint8_t>(0xF0 | DigitValue(text[0]));
            left = 0;
        } else {
            pin[k] = Pair(static_cast<uint8_t>(DigitValue(text[left - 2])),
                          static_cast<uint8_t>(DigitValue(text[left - 1])));
            left -= 2;
        }
    }
    pin[7] = platform::Crc8OneWire(std::span<const uint8_t>(pin.data(), 7));
    return pin;
}

std::string KeyBytesToText(const KeyCode& code)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(16);
    for (std::size_t k = code.size(); k-- > 0;) {
        text.push_back(kHex[code[k] >> 4]);
        text.push_back(kHex[code[k] & 0xF]);
    }
    return text;
}

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The edits hold UTF-8: a character is a lead byte with the continuation bytes after it.
bool StartsCharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

std::size_t CharacterCount(std::string_view text)
{
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), StartsCharacter));
}

} // namespace

KeyCode KeyTextToBytes(std::string_view text)
{
    KeyCode code{};
    std::size_t n = 0;
    for (std::size_t i = 0; n < 16 && i < text.size(); ++i) {
        if (!StartsCharacter(text[i]))
            continue;
        const int v = HexValue(text[i]);
        const uint8_t nibble = static_cast<uint8_t>(v < 0 ? 0 : v);
        uint8_t& byte = code[7 - n / 2];
        byte = n % 2 == 0 ? static_cast<uint8_t>(nibble << 4 | (byte & 0xF))
                          : static_cast<uint8_t>((byte & 0xF0) | nibble);
        ++n;
    }
    return code;
}

bool KeyCrcValid(const KeyCode& code)
{
    return platform::Crc8OneWire(std::span<const uint8_t>(code.data(), 7)) == code[7];
}

namespace {

bool IsEmptyCode(const KeyCode& code)
{
    for (uint8_t b : code)
        if (b != 0)
            return false;
    return true;
}

} // namespace

KeyCheck CheckKeyCodes(const std::array<std::string, 8>& texts)
{
    for (int n = 1; n <= 8; ++n)
        if (CharacterCount(texts.at(n - 1)) != 16)
            return {10, n, 0};
    std::array<KeyCode, 8> codes{};
    for (int n = 1; n <= 8; ++n) {
        codes.at(n - 1) = KeyTextToBytes(texts.at(n - 1));
        if (!KeyCrcValid(codes.at(n - 1)))
            return {n, 0, 0};
    }
    // Compared as bytes, so the same code typed in upper and in lower case is a duplicate.
    for (int i = 1; i <= 8; ++i)
        for (int j = i + 1; j <= 8; ++j)
            if (!IsEmptyCode(codes.at(i - 1)) && codes.at(i - 1) == codes.at(j - 1))
                return {9, i, j};
    for (int n = 1; n <= 8; ++n)
        for (char c : texts.at(n - 1))
            if (HexValue(c) < 0)
                return {11, n, 0};
    return {};
}

std::string KeyCheckMessage(const TextTables& tables, const KeyCheck& check, bool writing)
{
    std::string text;
    auto add = [&](int message, int number) {
        text += Message(tables, message);
        text += std::to_string(number);
    };
    if (check.result >= 1 && check.result <= 8) {
        add(10, check.result);
        text += Message(tables, 11);
    } else if (check.result == 9) {
        add(12, check.first);
        add(13, check.second);
        text += writing ? " !" : "!";
    } else if (check.result == 10) {
        add(14, check.first);
        text += Message(tables, 15);
    } else if (check.result == 11) {
        add(16, check.first);
        text += Message(tables, 17);
    }
    return text;
}

} // namespace model
