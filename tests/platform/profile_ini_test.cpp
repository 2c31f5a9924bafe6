#include "platform/profile_ini.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(ProfileIni, MissingFileGivesDefaultsAndWriteCreatesIt)
{
    test::TempDir dir;
    const std::string ini = dir.File("Settings.ini");
    EXPECT_EQ(ReadProfileString(ini, "Language", "Language", "Rus"), "Rus");
    EXPECT_EQ(ReadProfileInt(ini, "Settings", "Com", 1), 1);

    ASSERT_TRUE(WriteProfileString(ini, "Settings", "Com", "3"));
    ASSERT_TRUE(WriteProfileString(ini, "Settings", "FormLeft", "-20"));
    ASSERT_TRUE(WriteProfileString(ini, "Language", "Language", "Рус"));
    EXPECT_EQ(ReadProfileInt(ini, "Settings", "Com", 1), 3);
    EXPECT_EQ(ReadProfileInt(ini, "Settings", "FormLeft", 100), -20);
    EXPECT_EQ(ReadProfileString(ini, "Language", "Language", ""), "Рус");
    EXPECT_EQ(test::ReadBytes(ini), "[Settings]\r\nCom=3\r\nFormLeft=-20\r\n\r\n[Language]\r\nLanguage=\xD0\xF3\xF1\r\n");
}

TEST(ProfileIni, NamesAreCaseInsensitiveAndOtherLinesAreKept)
{
    test::TempDir dir;
    const std::string ini = dir.File("Settings.ini");
    test::WriteBytes(ini, "; comment\n[SETTINGS]\nformleft = 250\nOther=x\n\n[\xDF\xE7\xFB\xEA]\n\xDF\xE7\xFB\xEA=Rus\n[Tail]\nA=1\n");
    EXPECT_EQ(ReadProfileInt(ini, "Settings", "FormLeft", 100), 250);
    EXPECT_EQ(ReadProfileString(ini, "язык", "ЯЗЫК", "?"), "Rus");
    EXPECT_EQ(ReadProfileString(ini, "Tail", "Other", "none"), "none"); // Other is in another section

    ASSERT_TRUE(WriteProfileString(ini, "settings", "FORMLEFT", "7"));
    ASSERT_TRUE(WriteProfileString(ini, "Settings", "Com", "2"));
    EXPECT_EQ(test::ReadBytes(ini),
              "; comment\r\n[SETTINGS]\r\nFORMLEFT=7\r\nOther=x\r\nCom=2\r\n\r\n[\xDF\xE7\xFB\xEA]\r\n"
              "\xDF\xE7\xFB\xEA=Rus\r\n[Tail]\r\nA=1\r\n");
}

TEST(ProfileIni, IntegersAndBadValues)
{
    test::TempDir dir;
    const std::string ini = dir.File("Settings.ini");
    test::WriteBytes(ini, "[S]\na=12\nb=+5\nc=abc\nd=\ne=3x\nf=99999999999\n");
    struct Case
    {
        const char* name;
        int expected;
    } cases[] = {{"a", 12}, {"b", 5}, {"c", -1}, {"d", -1}, {"e", -1}, {"f", -1}, {"missing", -1}};
    for (const auto& c : cases)
        EXPECT_EQ(ReadProfileInt(ini, "S", c.name, -1), c.expected) << c.name;
}

TEST(ProfileIni, WritesThatWouldBreakTheFileAreRefused)
{
    test::TempDir dir;
    const std::string ini = dir.File("Settings.ini");
    ASSERT_TRUE(WriteProfileString(ini, "S", "a", "1"));
    const std::string before = test::ReadBytes(ini);
    EXPECT_FALSE(WriteProfileString(ini, "S", "b", "1\r\n[X]"));
    EXPECT_FALSE(WriteProfileString(ini, "S", "b=c", "1"));
    EXPECT_FALSE(WriteProfileString(ini, "S]", "b", "1"));
    EXPECT_FALSE(WriteProfileString(ini, "S", "", "1"));
    EXPECT_EQ(test::ReadBytes(ini), before);
}

} // namespace
} // namespace platform
