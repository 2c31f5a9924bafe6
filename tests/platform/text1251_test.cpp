#include "platform/text1251.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Text1251, EveryAssignedByteRoundTripsThroughUtf8)
{
    for (int b = 0x00; b <= 0xFF; ++b) {
        const std::string one(1, static_cast<char>(b));
        if (b == 0x98) {
            EXPECT_EQ(Cp1251ToCodePoint(0x98), 0u);
            continue;
        }
        const std::string utf8 = Cp1251ToUtf8(one);
        bool lossless = false;
        EXPECT_EQ(Utf8ToCp1251(utf8, &lossless), one) << "byte " << b;
        EXPECT_TRUE(lossless) << "byte " << b;
        EXPECT_EQ(CodePointToCp1251(Cp1251ToCodePoint(static_cast<unsigned char>(b))), b);
    }
}

TEST(Text1251, KnownCharacters)
{
    struct Case
    {
        const char* utf8;
        const char* cp1251;
    } cases[] = {
        {"№", "\xB9"},
        {"Т4700-КЛВ", "\xD2" "4700-\xCA\xCB\xC2"},
        {"Ёё", "\xA8\xB8"},
        {"Аа Яя", "\xC0\xE0 \xDF\xFF"},
        {"€…—", "\x88\x85\x97"},
        {"Ґґ Її Єє Іі", "\xA5\xB4 \xAF\xBF \xAA\xBA \xB2\xB3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToCp1251(c.utf8), c.cp1251) << c.utf8;
        EXPECT_EQ(Cp1251ToUtf8(c.cp1251), c.utf8) << c.utf8;
    }
}

TEST(Text1251, CharactersOutsideTheCodePageBecomeQuestionMarks)
{
    struct Case
    {
        std::string utf8;
        std::string cp1251;
    } cases[] = {
        {"a\xE4\xB8\xAD" "b", "a?b"},       // CJK character
        {"\xF0\x9F\x98\x80", "?"},          // outside the BMP
        {"x\xFFy", "x?y"},                  // not UTF-8 at all
        {"\xC3", "?"},                      // truncated sequence
        {"\xC0\xAF", "??"},                 // overlong encoding of '/'
        {"\xED\xA0\x80", "???"},            // a surrogate
    };
    for (const auto& c : cases) {
        bool lossless = true;
        EXPECT_EQ(Utf8ToCp1251(c.utf8, &lossless), c.cp1251);
        EXPECT_FALSE(lossless);
    }
    EXPECT_EQ(Cp1251ToUtf8("\x98"), "\xEF\xBF\xBD");
    EXPECT_EQ(Cp1251ToUtf8(std::string(1, '\0')), std::string(1, '\0'));
}

TEST(Text1251, FoldCaseCoversLatinAndCyrillic)
{
    EXPECT_EQ(FoldCaseUtf8("HardWare\\DeviceMap"), "hardware\\devicemap");
    EXPECT_EQ(FoldCaseUtf8("ЯЗЫК Ёж ЇҐ"), "язык ёж їґ");
    EXPECT_EQ(FoldCaseUtf8("x\xFFy"), "x\xFFy");
}

} // namespace
} // namespace platform
