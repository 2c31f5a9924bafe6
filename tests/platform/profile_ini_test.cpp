#include "platform/profile_ini.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

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
    EXPECT_EQ(test::ReadBytes(ini),
              "[Settings]\r\nCom=3\r\nFormLeft=-20\r\n\r\n[Language]\r\nLanguage=\xD0\xF3\xF1\r\n");
}

TEST(ProfileIni, NamesAreCaseInsensitiveAndOtherLinesAreKept)
{
    test::TempDir dir;
    const std::string ini = dir.File("Settings.ini");
    test::WriteBytes(ini,
                     "; comment\n[SETTINGS]\nformleft = "
                     "250\nOther=x\n\n[\xDF\xE7\xFB\xEA]\n\xDF\xE7\xFB\xEA=Rus\n[Tail]\nA=1\n");
    EXPECT_EQ(ReadProfileInt(ini, "Settings", "FormLeft", 100), 250);
    EXPECT_EQ(ReadProfileString(ini, "язык", "ЯЗЫК", "?"), "Rus");
    EXPECT_EQ(ReadProfileString(ini, "Tail", "Other", "none"),
              "none"); // Other is in another section

    ASSERT_TRUE(WriteProfileString(ini, "settings", "FORMLEFT", "7"));
    ASSERT_TRUE(WriteProfileString(ini, "Settings", "Com", "2"));
    EXPECT_EQ(
        test::ReadBytes(ini),
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

TEST(ProfileIni, NamesAndRemovals)
{
    test::TempDir dir;
    const std::string ini = dir.File("zemra.ini");
    EXPECT_TRUE(ReadProfileSectionNames(ini).empty());
    EXPECT_TRUE(ReadProfileKeyNames(ini, "Path").empty());
    EXPECT_TRUE(RemoveProfileSection(ini, "Path")); // nothing to remove, nothing written
    EXPECT_TRUE(RemoveProfileKey(ini, "Path", "x"));
    EXPECT_FALSE(std::filesystem::exists(ini));

    test::WriteBytes(ini, "; head\n[Path]\n DataLocation = D \nLangLocation=L\n=nameless\n"
                          "dataLOCATION=dup\n\n[ \xDF\xE7\xFB\xEA "
                          "]\n\xDF\xE7\xFB\xEA=Rus\n[PATH]\nLogLocation=later\n[Tail]\nA=1\n");
    EXPECT_EQ(ReadProfileSectionNames(ini), (std::vector<std::string>{"Path", "Язык", "Tail"}));
    EXPECT_EQ(ReadProfileKeyNames(ini, "path"),
              (std::vector<std::string>{"DataLocation", "LangLocation"}));
    EXPECT_EQ(ReadProfileKeyNames(ini, "язык"), (std::vector<std::string>{"Язык"}));
    EXPECT_TRUE(ReadProfileKeyNames(ini, "missing").empty());

    ASSERT_TRUE(RemoveProfileKey(ini, "PATH", "datalocation"));
    EXPECT_EQ(ReadProfileString(ini, "Path", "DataLocation", "gone"), "gone");
    EXPECT_EQ(ReadProfileString(ini, "Path", "LangLocation", ""), "L");
    ASSERT_TRUE(RemoveProfileSection(ini, "path"));
    EXPECT_EQ(test::ReadBytes(ini), "; head\r\n[ \xDF\xE7\xFB\xEA ]\r\n\xDF\xE7\xFB\xEA=Rus\r\n"
                                    "[Tail]\r\nA=1\r\n");
}

TEST(ProfileIni, ReadOnlyFilesAndLinksAreKept)
{
    test::TempDir dir;
    const std::string text = "[S]\r\na=1\r\n";
    const std::string locked = dir.File("locked.ini");
    test::WriteBytes(locked, text);
    std::filesystem::permissions(locked, std::filesystem::perms::owner_read);
    EXPECT_FALSE(WriteProfileString(locked, "S", "a", "2"));
    EXPECT_FALSE(WriteProfileStrings(locked, {{"S", "b", "1"}, {"T", "c", "2"}}));
    EXPECT_FALSE(RemoveProfileKey(locked, "S", "a"));
    EXPECT_FALSE(RemoveProfileSection(locked, "S"));
    EXPECT_EQ(test::ReadBytes(locked), text);

    // A link stays a link, and the file it names gets the change.
    const std::string target = dir.File("real.ini");
    const std::string link = dir.File("link.ini");
    test::WriteBytes(target, text);
    std::filesystem::create_symlink(target, link);
    ASSERT_TRUE(WriteProfileString(link, "S", "b", "2"));
    ASSERT_TRUE(RemoveProfileKey(link, "S", "a"));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(test::ReadBytes(target), "[S]\r\nb=2\r\n");

    // A batch lands whole or not at all: one bad entry refuses all.
    const std::string batch = dir.File("batch.ini");
    EXPECT_FALSE(WriteProfileStrings(batch, {{"S", "a", "1"}, {"S", "b=c", "2"}}));
    EXPECT_FALSE(std::filesystem::exists(batch));
    ASSERT_TRUE(WriteProfileStrings(batch, {{"S", "a", "1"}, {"T", "c", "2"}, {"s", "A", "3"}}));
    EXPECT_EQ(test::ReadBytes(batch), "[S]\r\nA=3\r\n\r\n[T]\r\nc=2\r\n");
}

} // namespace
} // namespace platform
