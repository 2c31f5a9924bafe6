#include "config_tool/model/codecs.h"

#include "platform/crc8.h"

#include <gtest/gtest.h>

#include <string>

namespace model {
namespace {

TEST(ItemCodes, ListItemsAndImageCodes)
{
    struct Case
    {
        int code;
        int partition, button, system; // item read from the code
    };
    const Case cases[] = {
        {0, 0, 0, 0},   {1, 1, 0, 0},   {5, 5, 0, 0},  {9, 9, 1, 0},   {10, 10, 2, 0},
        {11, 11, 3, 0}, {12, 0, 0, 0},  {13, 0, 0, 1}, {18, 0, 0, 6},  {19, 12, 0, 0},
        {21, 14, 0, 0}, {23, 16, 0, 0}, {24, 0, 0, 0}, {255, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const auto code = static_cast<uint8_t>(c.code);
        EXPECT_EQ(PartitionTypeItem(code), c.partition) << c.code;
        EXPECT_EQ(ButtonModeItem(code), c.button) << c.code;
        EXPECT_EQ(SystemTypeItem(code), c.system) << c.code;
    }
    for (int item = 0; item < 17; ++item)
        EXPECT_EQ(PartitionTypeItem(PartitionTypeCode(item)), item);
    EXPECT_EQ(PartitionTypeCode(14), 21);
    EXPECT_EQ(PartitionTypeCode(17), 0);
    EXPECT_EQ(PartitionTypeCode(-1), 0);
    EXPECT_EQ(ButtonModeCode(0), 0);
    EXPECT_EQ(ButtonModeCode(3), 11);
    EXPECT_EQ(ButtonModeCode(4), 0);
    EXPECT_EQ(SystemTypeCode(0), 12);
    EXPECT_EQ(SystemTypeCode(6), 18);
    EXPECT_EQ(SystemTypeCode(7), 0);
    EXPECT_EQ(SystemTypeCode(-1), 0);
    EXPECT_EQ(SoundTypeItem(30), 30);
    EXPECT_EQ(SoundTypeItem(31), 0);
    EXPECT_EQ(PriorityItem(1), 0);
    EXPECT_EQ(PriorityItem(16), 15);
    EXPECT_EQ(PriorityItem(0), -1);
    EXPECT_EQ(PriorityItem(17), -1);
    EXPECT_EQ(PriorityByte(15), 16);
}

TEST(ColourCodec, NibblesToItems)
{
    struct Case
    {
        uint8_t red, green;
        int item;
    };
    const Case cases[] = {
        {0, 0, kColourOff},        {0, 0xF, kColourGreen},      {0, 1, kColourGreen},
        {0, 3, kColourGreenBlink}, {0, 0xC, kColourGreenBlink}, {0xF, 0, kColourRed},
        {1, 0, kColourRed},        {0xF, 0xF, kColourYellow},   {1, 3, kColourYellow},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ColourItem(c.red, c.green), c.item) << int(c.red) << "/" << int(c.green);
    EXPECT_EQ(SoundItem(0), kSoundOff);
    EXPECT_EQ(SoundItem(3), kSoundHalf);
    EXPECT_EQ(SoundItem(0xC), kSoundHalf);
    EXPECT_EQ(SoundItem(1), kSoundOn);
    EXPECT_EQ(SoundItem(0xF), kSoundOn);
}

TEST(ColourCodec, PairRewritesBothPlanesWhole)
{
    Image image{};
    image.fill(0x5A);
    const std::size_t red = RecordOffset(0, 2) + kRecRed + 1; // positions 3 and 4 of indicator 2
    ASSERT_EQ(red, 665u);
    EncodeColourPair(image, red, kColourGreenBlink, kColourYellow);
    EXPECT_EQ(image[665], 0x0F);
    EXPECT_EQ(image[669], 0xCF);
    EXPECT_EQ(DecodeColourHigh(image, red), kColourGreenBlink);
    EXPECT_EQ(DecodeColourLow(image, red), kColourYellow);
    EncodeColourPair(image, red, kColourRed, kColourGreen);
    EXPECT_EQ(image[665], 0xF0);
    EXPECT_EQ(image[669], 0x0F);
    Image untouched{};
    untouched.fill(0x5A);
    untouched[665] = image[665];
    untouched[669] = image[669];
    EXPECT_EQ(image, untouched);
    // A green nibble of 3 reads as blinking and is written back as C.
    image[669] = 0x30;
    image[665] = 0x00;
    EncodeColourPair(image, red, DecodeColourHigh(image, red), DecodeColourLow(image, red));
    EXPECT_EQ(image[669], 0xC0);
    EXPECT_THROW(EncodeColourPair(image, kImageSize - 4, 0, 0), std::out_of_range);
}

TEST(SoundCodec, PairWritesOnePatternByte)
{
    Image image{};
    const std::size_t at = SoundOffset(1);
    EncodeSoundPair(image, at, kSoundOn, kSoundOff);
    EXPECT_EQ(image[7556], 0xF0);
    EncodeSoundPair(image, at, kSoundOn, kSoundHalf);
    EXPECT_EQ(image[7556], 0xF3);
    EXPECT_EQ(DecodeSoundHigh(image, at), kSoundOn);
    EXPECT_EQ(DecodeSoundLow(image, at), kSoundHalf);
    EncodeSoundPair(image, SoundOffset(30) + 3, kSoundHalf, kSoundOn);
    EXPECT_EQ(image[kImageSize - 1], 0x3F);
    EXPECT_THROW(EncodeSoundPair(image, kImageSize, 0, 0), std::out_of_range);
}

PinBytes Pin(std::initializer_list<uint8_t> bytes)
{
    PinBytes pin{};
    std::copy(bytes.begin(), bytes.end(), pin.begin());
    return pin;
}

TEST(PinCodec, StoredForms)
{
    struct Case
    {
        std::string text;
        PinBytes bytes;
    };
    const Case cases[] = {
        {"", Pin({0, 0, 0, 0, 0, 0, 0, 0})},
        {"1234", Pin({0xF0, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x07})},
        {"5", Pin({0xF0, 0xF5, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x99})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TextToPin(c.text), c.bytes) << c.text;
        EXPECT_EQ(PinToText(c.bytes), c.text) << c.text;
    }
    for (const std::string text : {"0", "00", "907", "123456789012", "12345678901"}) {
        const PinBytes pin = TextToPin(text);
        EXPECT_EQ(PinToText(pin), text);
        EXPECT_EQ(pin[0], 0xF0);
    }
    // The edit holds at most twelve digits; more are cut, never shifted into the check byte.
    EXPECT_EQ(TextToPin("1234567890123"), TextToPin("123456789012"));
}

TEST(PinCodec, NoMarkerOrNoLastDigitReadsEmpty)
{
    EXPECT_EQ(PinToText(Pin({0xF1, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x07})), "");
    EXPECT_EQ(PinToText(Pin({0x00, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x07})), "");
    EXPECT_EQ(PinToText(Pin({0xF0, 0x3F, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x07})), "");
    // The check byte is not tested on reading.
    EXPECT_EQ(PinToText(Pin({0xF0, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x00})), "1234");
    // All twelve nibbles in use: no F ends the digits.
    EXPECT_EQ(PinToText(Pin({0xF0, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0x00})), "210987654321");
}

TEST(KeyCodec, TextAndBytes)
{
    const KeyCode code = {0x01, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0x3D};
    EXPECT_EQ(KeyBytesToText(code), "3DBC9A7856341201");
    EXPECT_EQ(KeyTextToBytes("3DBC9A7856341201"), code);
    EXPECT_EQ(KeyTextToBytes("3dbc9a7856341201"), code);
    EXPECT_TRUE(KeyCrcValid(code));
    EXPECT_TRUE(KeyCrcValid(KeyCode{}));
    EXPECT_EQ(KeyBytesToText(KeyCode{}), "0000000000000000");
    KeyCode bad = code;
    bad[7] ^= 1;
    EXPECT_FALSE(KeyCrcValid(bad));
    // Characters that are no digit count as 0; short texts leave the rest zero.
    EXPECT_EQ(KeyTextToBytes("3DBC9A78563412x1"), code);
    EXPECT_EQ(KeyTextToBytes("3DBC9A78563412Ж1"), code) << "a letter of two bytes is one character";
    EXPECT_EQ(KeyTextToBytes("3D"), (KeyCode{0, 0, 0, 0, 0, 0, 0, 0x3D}));
    EXPECT_EQ(KeyTextToBytes("3DBC9A7856341201FF"), code);
}

std::array<std::string, 8> EmptySlots()
{
    std::array<std::string, 8> texts;
    texts.fill("0000000000000000");
    return texts;
}

TEST(CheckKeyCodes, FirstFailingRuleDecides)
{
    const std::string valid = "3DBC9A7856341201";
    struct Case
    {
        const char* what;
        std::array<std::string, 8> texts;
        KeyCheck expected;
    };
    auto with = [](std::initializer_list<std::pair<int, std::string>> slots) {
        auto texts = EmptySlots();
        for (const auto& [n, text] : slots)
            texts.at(static_cast<std::size_t>(n - 1)) = text;
        return texts;
    };
    KeyCode second = {0x01, 0, 0, 0, 0, 0, 0x01, 0};
    second[7] = platform::Crc8OneWire(std::span<const uint8_t>(second.data(), 7));
    const std::string otherValid = KeyBytesToText(second);
    const Case cases[] = {
        {"all empty", EmptySlots(), {0, 0, 0}},
        {"valid codes", with({{1, valid}, {8, otherValid}}), {0, 0, 0}},
        {"length before check byte",
         with({{1, "3DBC9A7856341200"}, {4, "000000000000000"}}),
         {10, 4, 0}},
        {"first short code", with({{2, ""}, {4, "00000000000000000"}}), {10, 2, 0}},
        {"bad check byte",
         with({{2, valid}, {5, "3DBC9A7856341200"}, {6, "3DBC9A7856341202"}}),
         {5, 0, 0}},
        {"duplicate", with({{3, valid}, {7, valid}, {8, valid}}), {9, 3, 7}},
        {"duplicate in other case",
         with({{2, otherValid}, {6, "3dbc9a7856341201"}, {7, valid}}),
         {9, 6, 7}},
        {"bad character", with({{2, "3DBC9A78563412x1"}}), {11, 2, 0}},
        {"duplicate before bad character",
         with({{1, "00000000000000g0"}, {3, valid}, {4, valid}}),
         {9, 3, 4}},
        {"empty-looking bad character", with({{5, "00000000000000g0"}}), {11, 5, 0}},
        // Sixteen characters, one of them a letter the edit takes but no hex digit: it counts
        // as one character and as 0 in the check byte test.
        {"non-ASCII character", with({{4, "3DBC9A78563412Ж1"}}), {11, 4, 0}},
        {"non-ASCII character breaking the check byte", with({{6, "3DBC9A78563412Ж2"}}),
         {6, 0, 0}},
        {"seventeen characters with a non-ASCII one", with({{3, "3DBC9A78563412Ж01"}}),
         {10, 3, 0}},
    };
    for (const Case& c : cases) {
        const KeyCheck got = CheckKeyCodes(c.texts);
        EXPECT_EQ(got.result, c.expected.result) << c.what;
        EXPECT_EQ(got.first, c.expected.first) << c.what;
        EXPECT_EQ(got.second, c.expected.second) << c.what;
    }
}

TEST(CheckKeyCodes, MessagesJoinTheirParts)
{
    const TextTables& en = ConstantTables(Language::English);
    const TextTables& ru = ConstantTables(Language::Russian);
    EXPECT_EQ(KeyCheckMessage(en, {3, 0, 0}, false),
              "The operation will NOT be done: a checksum error has detected in the code of the "
              "credential №3!");
    EXPECT_EQ(
        KeyCheckMessage(ru, {3, 0, 0}, false),
        "Операция не будет выполнена, так как в коде идентификатора №3ошибка контрольной суммы!");
    EXPECT_EQ(
        KeyCheckMessage(en, {9, 3, 7}, false),
        "The operation will NOT be done: the code of the credential №3 is the same as the code of "
        "the credential №7!");
    EXPECT_EQ(KeyCheckMessage(en, {9, 3, 7}, true)
                  .substr(KeyCheckMessage(en, {9, 3, 7}, true).size() - 3),
              "7 !");
    EXPECT_EQ(KeyCheckMessage(en, {10, 4, 0}, true),
              "The operation will NOT be done: the code of the credential №4 must consist of 16 "
              "characters!");
    EXPECT_EQ(KeyCheckMessage(en, {11, 2, 0}, true),
              "The operation will NOT be done: the  code of the credential №2 contains incorrect "
              "characters!");
    EXPECT_EQ(KeyCheckMessage(en, {0, 0, 0}, true), "");
}

} // namespace
} // namespace model
