#include "translation/settings/config_file.h"

#include "platform/profile_ini.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace translation {
namespace {

using platform::test::ReadBytes;
using platform::test::TempDir;
using platform::test::WriteBytes;
namespace fs = std::filesystem;

TEST(ZemraConfigFile, ReadsAndWritesThroughTheProfileLayer)
{
    TempDir dir;
    const std::string path = dir.File("zemra.ini");
    CConfigFile ini(path, false);
    EXPECT_FALSE(ini.Existed());
    EXPECT_FALSE(ini.ReadOnly());
    // The defaults of the stored keys.
    EXPECT_EQ(ini.ConfLocation(), "");
    EXPECT_EQ(ini.ConfLocationType(), "default");
    EXPECT_EQ(ini.DataLocation(), ".\\Data\\");
    EXPECT_EQ(ini.TMPLocation(), ".\\TMP\\");
    EXPECT_EQ(ini.LangLocation(), ".\\Lang\\");
    EXPECT_EQ(ini.XMLLocationType(), "default");
    EXPECT_EQ(ini.BufDir(), "");

    ini.WriteValue("Path", "DataLocation", "D\\");
    ini.WriteIntValue("Lang", "Count", 0x1F);
    ini.WriteBoolValue("Lang", "On", true);
    EXPECT_TRUE(ini.Existed());
    EXPECT_EQ(ini.DataLocation(), "D\\");
    EXPECT_EQ(ini.ReadIntValue("lang", "count", 0), 31);
    EXPECT_TRUE(ini.ReadBoolValue("LANG", "on", false));

    std::vector<std::string> list;
    ini.ReadSectionNames(list);
    EXPECT_EQ(list, (std::vector<std::string>{"Path", "Lang"}));
    ini.ReadKeyNames("lang", list);
    EXPECT_EQ(list, (std::vector<std::string>{"Count", "On"}));
    ini.ReadValueList("Lang", list);
    EXPECT_EQ(list, (std::vector<std::string>{"31", "1"}));

    // Entries the file could not hold are refused and leave the object writable.
    const std::string before = ReadBytes(path);
    ini.WriteValue("Path", "a=b", "1");
    ini.WriteValue("Path", "k", "1\r\n[Other]");
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_FALSE(ini.ReadOnly());

    ini.RemoveKey("Lang", "count");
    EXPECT_EQ(ini.ReadValue("Lang", "Count", "gone"), "gone");
    ini.RemoveSection("path");
    EXPECT_EQ(ini.DataLocation(), ".\\Data\\");
    ini.WriteValue("Third", "x", "1");
    ini.EraseAll();
    ini.ReadSectionNames(list);
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(ini.ReadOnly());
}

TEST(ZemraConfigFile, ReadOnlyFilesAndFailedWritesTurnTheObjectReadOnly)
{
    TempDir dir;
    const std::string text = "[Path]\r\nDataLocation=x\\\r\n";
    struct Case
    {
        const char* what;
        bool force;
        bool markReadOnly;
    } cases[] = {{"forced", true, false}, {"marked read-only", false, true}};
    CConfigFile source(dir.File("source.ini"), false);
    source.WriteValue("S", "k", "v");
    for (const auto& c : cases) {
        const std::string path = dir.File(std::string(c.what) + ".ini");
        WriteBytes(path, text);
        if (c.markReadOnly)
            fs::permissions(path, fs::perms::owner_read | fs::perms::group_read);
        CConfigFile ini(path, c.force);
        EXPECT_TRUE(ini.Existed()) << c.what;
        EXPECT_TRUE(ini.ReadOnly()) << c.what;
        ini.WriteValue("Path", "DataLocation", "y");
        ini.RemoveSection("Path");
        ini.RemoveKey("Path", "DataLocation");
        ini.EraseAll();
        ini.Flush();
        EXPECT_FALSE(ini.CopyFrom(source)) << c.what;
        EXPECT_EQ(ReadBytes(path), text) << c.what;
        EXPECT_EQ(ini.DataLocation(), "x\\") << c.what;
    }

    // A write that fails (the folder is a file) turns the object read-only, silently.
    WriteBytes(dir.File("blocker"), "");
    CConfigFile lost(dir.File("blocker/zemra.ini"), false);
    EXPECT_FALSE(lost.ReadOnly());
    lost.WriteValue("S", "k", "v");
    EXPECT_TRUE(lost.ReadOnly());
    EXPECT_FALSE(lost.Existed());

    // A zemra.ini beyond the profile files' cap reads as the defaults, its first write turns
    // the object read-only, and the file stays as it was; nothing of it is copied on first run.
    const std::string big = dir.File("big.ini");
    std::string bigText = text + ";";
    bigText.resize(platform::kMaxProfileIniBytes + 1, 'x');
    WriteBytes(big, bigText);
    CConfigFile huge(big, false);
    EXPECT_FALSE(huge.ReadOnly());
    EXPECT_EQ(huge.DataLocation(), ".\\Data\\");
    huge.WriteValue("Path", "DataLocation", "y");
    EXPECT_TRUE(huge.ReadOnly());
    EXPECT_EQ(ReadBytes(big), bigText);
    CConfigFile fresh(dir.File("fresh.ini"), false);
    fresh.CopyFrom(huge);
    EXPECT_FALSE(fs::exists(dir.File("fresh.ini")));
}

// A first-run copy of a file in the writer's own layout is the file byte for byte, whatever its
// values hold (every byte from 0x20 to 0xFF, 0x98 among them); a lone CR ends a line for the
// copy as it does for the reader, so it never makes the copy fail.
TEST(ZemraConfigFile, CopyKeepsEveryByteOfTheValues)
{
    std::string all;
    for (int b = 0x20; b <= 0xFF; ++b)
        all += static_cast<char>(b);
    const std::string layout = "[Path]\r\nDataLocation=.\\Data\\\r\nAll=<" + all +
                               ">\r\n\r\n[\xDF\xE7\xFB\xEA]\r\n\xC8\xEC\xFF=" + all.substr(1) +
                               "\r\n";
    struct Case
    {
        const char* what;
        std::string source, copy;
    } cases[] = {
        {"every byte", layout, layout},
        {"a lone CR", "[S]\r\na=1\rb=2\r\n", "[S]\r\na=1\r\nb=2\r\n"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        WriteBytes(dir.File("default.ini"), c.source);
        const CConfigFile defaults(dir.File("default.ini"), true);
        CConfigFile copy(dir.File("zemra.ini"), false);
        EXPECT_TRUE(copy.CopyFrom(defaults)) << c.what;
        EXPECT_FALSE(copy.ReadOnly()) << c.what;
        EXPECT_EQ(ReadBytes(dir.File("zemra.ini")), c.copy) << c.what;
    }
}

TEST(ZemraConfigFile, CopyFromIsWholeOrNothing)
{
    TempDir dir;
    const std::string source = dir.File("default.ini");
    WriteBytes(source, "; installation defaults\r\n[Path]\r\nDataLocation = .\\Data\\ \r\n"
                       "LangLocation=\"..\\Lang\\\"\r\n[Language]\r\nLanguage=\xD0\xF3\xF1\r\n"
                       "[path]\r\nLogLocation=later block\r\n");
    const CConfigFile defaults(source, true);

    // Into a new file: every key of every section, in one file.
    CConfigFile copy(dir.File("new/zemra.ini"), false);
    EXPECT_TRUE(copy.CopyFrom(defaults));
    EXPECT_TRUE(copy.Existed());
    EXPECT_EQ(copy.DataLocation(), ".\\Data\\");
    EXPECT_EQ(copy.LangLocation(), "..\\Lang\\");
    EXPECT_EQ(copy.ReadValue("Language", "Language", ""), "Рус");
    EXPECT_EQ(ReadBytes(dir.File("new/zemra.ini")),
              "[Path]\r\nDataLocation=.\\Data\\\r\nLangLocation=..\\Lang\\\r\n\r\n"
              "[Language]\r\nLanguage=\xD0\xF3\xF1\r\n");

    // Into an existing file: its own keys stay, the source's win.
    const std::string merged = dir.File("merged.ini");
    WriteBytes(merged, "[Path]\r\nDataLocation=mine\r\nXMLLocation=x\r\n");
    CConfigFile into(merged, false);
    EXPECT_TRUE(into.CopyFrom(defaults));
    EXPECT_EQ(into.DataLocation(), ".\\Data\\");
    EXPECT_EQ(into.XMLLocation(), "x");

    // A copy that cannot be written leaves no file behind, not even part of one.
    WriteBytes(dir.File("blocker"), "");
    CConfigFile failed(dir.File("blocker/zemra.ini"), false);
    EXPECT_FALSE(failed.CopyFrom(defaults));
    EXPECT_TRUE(failed.ReadOnly());
    EXPECT_FALSE(fs::exists(dir.File("blocker/zemra.ini")));
}

} // namespace
} // namespace translation
