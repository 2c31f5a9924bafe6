#include "platform/profile_ini.h"

#include "platform/last_error.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

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
    // Lines the writes do not set keep their bytes and their own line ends.
    EXPECT_EQ(test::ReadBytes(ini),
              "; comment\n[SETTINGS]\nFORMLEFT=7\nOther=x\nCom=2\r\n\n[\xDF\xE7\xFB\xEA]\n"
              "\xDF\xE7\xFB\xEA=Rus\n[Tail]\nA=1\n");
}

// Letter case folds by the Windows-1251 table: every Cyrillic pair matches, and bytes that
// happen to form a UTF-8 sequence are still single letters (D0 91 is "Р‘", not "Б").
TEST(ProfileIni, NamesFoldByTheWindows1251Letters)
{
    test::TempDir dir;
    const std::string ini = dir.File("Settings.ini");
    test::WriteBytes(ini, "[\xC0\xC1\xC2\xA8\xA1\xB2]\r\n\xD0\x91=first\r\n\xD0\xB1=second\r\n");
    EXPECT_EQ(ReadProfileString(ini, "абвёўі", "р‘", "?"), "first");
    EXPECT_EQ(ReadProfileString(ini, "АБВЁЎІ", "Р±", "?"), "second");
    EXPECT_EQ(ReadProfileString(ini, "абвёўі", "Рб", "?"), "?");
}

// A foreign entry holding every byte from 0x20 to 0xFF, 0x98 among them, and lines ended by
// LF and by a lone CR: a write of another entry leaves all of them exactly as they were, and a
// lone CR ends a line for reads as it does for writes.
TEST(ProfileIni, BytesThatAreNotWrittenStayExactly)
{
    std::string all;
    for (int b = 0x20; b <= 0xFF; ++b)
        all += static_cast<char>(b);
    const std::string foreign = "[Other]\r\nAll=<" + all + ">\r\nLoneCr=1\rAfterCr=2\nLf=3\n";
    struct Case
    {
        const char* what;
        std::string before, after;
    } cases[] = {
        {"no line end at the end", foreign + "[Settings]\r\nCom=1",
         foreign + "[Settings]\r\nCom=5"},
        {"a new section after a last line without its end", foreign + "Tail=x",
         foreign + "Tail=x\r\n\r\n[Settings]\r\nCom=5\r\n"},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        const std::string ini = dir.File("Settings.ini");
        test::WriteBytes(ini, c.before);
        EXPECT_EQ(ReadProfileString(ini, "Other", "LoneCr", ""), "1") << c.what;
        EXPECT_EQ(ReadProfileString(ini, "Other", "AfterCr", ""), "2") << c.what;
        ASSERT_TRUE(WriteProfileString(ini, "Settings", "Com", "5")) << c.what;
        EXPECT_EQ(test::ReadBytes(ini), c.after) << c.what;
    }
    // The bytes themselves read back whole through the bytes interface.
    test::TempDir dir;
    const std::string ini = dir.File("zemra.ini");
    test::WriteBytes(ini, foreign);
    const auto entries = ReadProfileEntries1251(ini);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].value, "<" + all + ">");
    EXPECT_EQ(entries[1].name, "LoneCr");
    EXPECT_EQ(entries[2].name, "AfterCr");
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
    // The lines that stay keep their bytes and line ends.
    EXPECT_EQ(test::ReadBytes(ini), "; head\n[ \xDF\xE7\xFB\xEA ]\n\xDF\xE7\xFB\xEA=Rus\n"
                                    "[Tail]\nA=1\n");
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

// Many entries in one replace land as they would one after another: a name already there changes
// its first line in the first block of its section, a new name goes after that block's last
// non-blank line, a new section at the end after a blank line.
TEST(ProfileIni, ABatchLandsAsItsEntriesOneByOne)
{
    test::TempDir dir;
    const std::string fixture = "; head\n[A]\nx=1\nx=dup\n\n\n[B]\ny=2\n[a]\nz=later\n"
                                "[C]\n; only a comment\n[D]\nw=4";
    const std::vector<ProfileEntry> entries = {
        {"A", "new", "n1"}, {"b", "Y", "20"},   {"E", "e", "5"},   {"a", "z", "first block"},
        {"C", "c", "3"},    {"D", "v", "tail"}, {"E", "f", "6"},   {" A ", " new ", "n2"},
        {"F", "g", "7"},    {"B", "y2", "22"},  {"A", "x", "one"},
    };
    const std::string batch = dir.File("batch.ini");
    const std::string single = dir.File("single.ini");
    test::WriteBytes(batch, fixture);
    test::WriteBytes(single, fixture);
    ASSERT_TRUE(WriteProfileStrings(batch, entries));
    for (const ProfileEntry& e : entries)
        ASSERT_TRUE(WriteProfileString(single, e.section, e.name, e.value));
    EXPECT_EQ(test::ReadBytes(batch), test::ReadBytes(single));
    EXPECT_EQ(test::ReadBytes(batch),
              "; head\n[A]\nx=one\nx=dup\nnew=n2\r\nz=first block\r\n\n\n[B]\nY=20\ny2=22\r\n"
              "[a]\nz=later\n[C]\n; only a comment\nc=3\r\n[D]\nw=4\r\nv=tail\r\n\r\n"
              "[E]\r\ne=5\r\nf=6\r\n\r\n[F]\r\ng=7\r\n");
}

// A file one byte beyond the cap is refused by every reader and writer, with the last error
// saying why, and stays as it was; one at the cap is read and written.
TEST(ProfileIni, AFileBeyondTheCapIsRefusedAndKept)
{
    test::TempDir dir;
    const std::string ini = dir.File("Settings.ini");
    std::string text = "[Settings]\r\nCom=3\r\n;";
    text.resize(kMaxProfileIniBytes + 1, 'x'); // the rest is one long comment
    test::WriteBytes(ini, text);

    struct Case
    {
        const char* what;
        std::function<bool()> refused;
    };
    const Case cases[] = {
        {"read", [&] { return ReadProfileString(ini, "Settings", "Com", "def") == "def"; }},
        {"read an integer", [&] { return ReadProfileInt(ini, "Settings", "Com", 1) == 1; }},
        {"section names", [&] { return ReadProfileSectionNames(ini).empty(); }},
        {"key names", [&] { return ReadProfileKeyNames(ini, "Settings").empty(); }},
        {"entries", [&] { return ReadProfileEntries1251(ini).empty(); }},
        {"write", [&] { return !WriteProfileString(ini, "Settings", "Com", "4"); }},
        {"write many",
         [&] {
             return !WriteProfileStrings(ini, {{"S", "a", "1"}, {"T", "b", "2"}});
         }},
        {"remove a section", [&] { return !RemoveProfileSection(ini, "Settings"); }},
        {"remove a key", [&] { return !RemoveProfileKey(ini, "Settings", "Com"); }},
    };
    for (const Case& c : cases) {
        SetLastError(kErrorSuccess);
        EXPECT_TRUE(c.refused()) << c.what;
        EXPECT_EQ(LastError(), kErrorFileTooLarge) << c.what;
        EXPECT_EQ(test::ReadBytes(ini), text) << c.what;
    }

    text.pop_back();
    test::WriteBytes(ini, text);
    EXPECT_EQ(ReadProfileInt(ini, "Settings", "Com", 1), 3);
    ASSERT_TRUE(WriteProfileString(ini, "Settings", "Com", "4"));
    EXPECT_EQ(ReadProfileInt(ini, "Settings", "Com", 1), 4);
}

} // namespace
} // namespace platform
