#include "translation/settings/mem_ini_file.h"

#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

namespace translation {
namespace {

using platform::test::ReadBytes;
using platform::test::TempDir;
using platform::test::WriteBytes;

TEST(MemIniFile, ParsesTheTextAsItStands)
{
    struct Case
    {
        const char* what;
        const char* text;
        const char* section;
        const char* key;
        const char* expected; // "<none>": the default
    } cases[] = {
        {"a repeated header in other case is dropped with its lines", "[A]\nk=1\n[a]\nk=2\nj=3\n",
         "A", "k", "1"},
        {"lines under a repeated header never land", "[A]\nk=1\n[a]\nk=2\nj=3\n", "a", "j",
         "<none>"},
        {"the duplicate read last answers", "[S]\nk=1\nk=2\n", "S", "k", "2"},
        {"a value keeps later =", "[S]\nx=a=b\n", "S", "x", "a=b"},
        {"a line without = is a key with an empty value", "[S]\nlonely\n", "S", "lonely", ""},
        {"a header that begins with a blank is a key line", "[S]\n [T]\n", "S", " [T]", ""},
        {"blanks inside the brackets are the name's", "[ T ]\nk=v\n", " T ", "k", "v"},
        {"blanks around a key are kept", "[S]\n k = v \n", "S", " k ", " v "},
        {"the trimmed key is another key", "[S]\n k = v \n", "S", "k", "<none>"},
        {"a comment is skipped", "[S]\n;k=v\n", "S", ";k", "<none>"},
        {"lines before the first header are dropped", "k=v\n[S]\n", "S", "k", "<none>"},
        // Names are Windows-1251: "[Язык]", "Имя=Рус", looked up as "ЯЗЫК" and "имя".
        {"names compare without case, Cyrillic too",
         "[\xDF\xE7\xFB\xEA]\n\xC8\xEC\xFF=\xD0\xF3\xF1\n", "\xDF\xC7\xDB\xCA", "\xE8\xEC\xFF",
         "\xD0\xF3\xF1"},
        {"Ё, Ў and Ґ fold too", "[\xA8\xA1\xA5]\nk=v\n", "\xB8\xA2\xB4", "k", "v"},
        // D0 91 and D0 B1 are "Р‘" and "Р±", two different names, though as UTF-8 they would be
        // "Б" and "б".
        {"bytes fold one by one, not as UTF-8", "[S]\n\xD0\x91=1\n", "S", "\xD0\xB1", "<none>"},
        {"a Cyrillic byte pair folds as two letters", "[S]\n\xD0\xC1=1\n", "S", "\xF0\xE1", "1"},
        {"CR alone ends a line", "[S]\rk=v\r\rj=w", "S", "j", "w"},
        {"CR LF ends a line", "[S]\r\nk=v\r\n", "S", "k", "v"},
        {"a lone [ is a key", "[S]\n[\n", "S", "[", ""},
        {"the empty section name", "[]\nk=v\n", "", "k", "v"},
    };
    for (const auto& c : cases) {
        TMemIniFile ini;
        ini.SetText(c.text);
        EXPECT_EQ(ini.ReadValue(c.section, c.key, "<none>"), c.expected) << c.what;
        EXPECT_TRUE(ini.Modified()) << c.what;
    }
}

TEST(MemIniFile, WritesSortedSectionsAndKeysWithDuplicatesAsRead)
{
    TMemIniFile ini;
    ini.SetText("junk\n[zeta]\nb=2\nA=1\nb=3\n\n[Alpha]\nk=v\n[empty]\n[ALPHA]\nlost=1\n");
    EXPECT_EQ(ini.GetText(), "[Alpha]\r\nk=v\r\n\r\n"
                             "[empty]\r\n\r\n"
                             "[zeta]\r\nA=1\r\nb=2\r\nb=3\r\n\r\n");
    std::vector<std::string> list;
    ini.ReadSectionNames(list);
    EXPECT_EQ(list, (std::vector<std::string>{"Alpha", "empty", "zeta"}));
    ini.ReadKeyNames("ZETA", list);
    EXPECT_EQ(list, (std::vector<std::string>{"A", "b", "b"}));
    ini.ReadValueList("zeta", list);
    EXPECT_EQ(list, (std::vector<std::string>{"1", "3", "2"}));
    ini.ReadValueList("missing", list);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(ini.HasSection("alpha"));
    EXPECT_FALSE(ini.HasSection("empty")); // a section without keys
    EXPECT_FALSE(ini.HasSection("missing"));
}

TEST(MemIniFile, ChangesTouchOneDuplicateAtATime)
{
    TMemIniFile ini;
    ini.SetText("[S]\nk=1\nK=2\nother=x\n");
    ini.WriteValue("s", "k", "3"); // replaces K=2, the newest
    EXPECT_EQ(ini.GetText(), "[S]\r\nk=1\r\nk=3\r\nother=x\r\n\r\n");
    EXPECT_EQ(ini.ReadValue("S", "K", ""), "3");
    ini.RemoveKey("S", "K");
    EXPECT_EQ(ini.ReadValue("S", "k", ""), "1");
    ini.RemoveKey("S", "k");
    EXPECT_EQ(ini.ReadValue("S", "k", "gone"), "gone");
    ini.RemoveKey("S", "k"); // nothing left to remove
    ini.RemoveKey("None", "k");

    ini.WriteValue("New", "[a", "b"); // "[a=b" and "[c]=" are no headers
    ini.WriteValue("New", "[c]", "");
    EXPECT_EQ(ini.ReadValue("New", "[A", ""), "b");
    EXPECT_EQ(ini.ReadValue("New", "[C]", "?"), "");
    ini.RemoveKey("New", "[a");
    ini.RemoveKey("New", "[c]");
    ini.WriteValue("New", "a", "");
    ini.WriteValue("New", "", "value only");
    EXPECT_EQ(ini.ReadValue("new", "", "?"), "value only");
    EXPECT_TRUE(ini.HasSection("NEW"));
    ini.RemoveSection("new");
    EXPECT_FALSE(ini.HasSection("New"));
    EXPECT_EQ(ini.ReadValue("New", "a", "gone"), "gone");
    EXPECT_EQ(ini.GetText(), "[S]\r\nother=x\r\n\r\n");
}

TEST(MemIniFile, RefusesKeysAndValuesThatWouldReadBackAsOtherLines)
{
    struct Case
    {
        std::string section, key, value;
    } cases[] = {
        {"S", "a=b", "v"},      // would split at the key's "="
        {"S", "k", "v\r\n[X]"}, // would add a section
        {"S", "k\nj", "v"},     // would add a key
        {"S\r", "k", "v"},      // would break the header
        {"S", ";k", "v"},       // would read back as a comment
        {"S", "[k", "v]"},      // would read back as a header
        {"", "[k", "]"},        // the same in the empty section
    };
    for (const auto& c : cases) {
        TMemIniFile ini;
        ini.SetText("[S]\nk=old\n");
        const std::string before = ini.GetText();
        EXPECT_THROW(ini.WriteValue(c.section, c.key, c.value), IniValueError) << c.key;
        EXPECT_EQ(ini.GetText(), before) << c.key;
    }
}

TEST(MemIniFile, TypedValues)
{
    TMemIniFile ini;
    ini.SetText("[S]\nhex=0x1F\nHEX=0X1f\nbare=0x\ndollar=$1F\nneg=-12\nplus=+7\nbad=12a\n"
                "big=99999999999\nall=$FFFFFFFF\nmin=-2147483648\nover=2147483648\nempty=\n"
                "blank= 5\nlong=$123456789\n");
    struct IntCase
    {
        const char* key;
        int expected;
    } ints[] = {{"hex", 31},   {"bare", -1},    {"dollar", 31}, {"neg", -12},       {"plus", 7},
                {"bad", -1},   {"big", -1},     {"all", -1},    {"min", INT32_MIN}, {"over", -1},
                {"empty", -1}, {"missing", -1}, {"blank", -1},  {"long", -1}};
    for (const auto& c : ints)
        EXPECT_EQ(ini.ReadIntValue("S", c.key, -1), c.expected) << c.key;
    ini.SetText("[S]\nhex=0x1F\nall=$FFFFFFFF\n");
    EXPECT_EQ(ini.ReadIntValue("S", "all", 5), -1); // all bits set is -1, not the default
    EXPECT_EQ(ini.ReadIntValue("S", "hex", 0), 31);

    ini.WriteBoolValue("B", "yes", true);
    ini.WriteBoolValue("B", "no", false);
    ini.WriteValue("B", "text", "abc");
    ini.WriteIntValue("B", "two", 2);
    EXPECT_EQ(ini.ReadValue("B", "yes", ""), "1");
    EXPECT_TRUE(ini.ReadBoolValue("B", "yes", false));
    EXPECT_FALSE(ini.ReadBoolValue("B", "no", true));
    EXPECT_TRUE(ini.ReadBoolValue("B", "two", false));
    EXPECT_TRUE(ini.ReadBoolValue("B", "text", true)); // no number: the default
    EXPECT_FALSE(ini.ReadBoolValue("B", "missing", false));

    using namespace std::chrono;
    const IniDate date = sys_days{year{2026} / 12 / 10};
    const IniDateTime stamp = sys_days{year{1999} / 2 / 28} + hours{23} + minutes{5} + seconds{9};
    const IniTime time = hours{7} + minutes{30};
    ini.WriteDateValue("D", "date", date);
    ini.WriteDateTimeValue("D", "stamp", stamp);
    ini.WriteTimeValue("D", "time", time);
    ini.WriteFloatValue("D", "float", -0.1);
    EXPECT_EQ(ini.ReadValue("D", "stamp", ""), "1999-02-28 23:05:09");
    EXPECT_EQ(ini.ReadDateValue("D", "date", IniDate{}), date);
    EXPECT_EQ(ini.ReadDateTimeValue("D", "stamp", IniDateTime{}), stamp);
    EXPECT_EQ(ini.ReadTimeValue("D", "time", IniTime{}), time);
    EXPECT_EQ(ini.ReadFloatValue("D", "float", 0), -0.1);
    EXPECT_EQ(ini.ReadDateTimeValue("D", "date", IniDateTime{}), IniDateTime{date});

    ini.SetText("[D]\ndate=2026-02-30\nstamp=1999-02-28T23:05\ntime=24:00\nfloat=1,5\nnan=nan\n");
    EXPECT_EQ(ini.ReadDateValue("D", "date", date), date);
    EXPECT_EQ(ini.ReadDateTimeValue("D", "stamp", stamp), stamp);
    EXPECT_EQ(ini.ReadTimeValue("D", "time", time), time);
    EXPECT_EQ(ini.ReadFloatValue("D", "float", 2.5), 2.5);
    EXPECT_EQ(ini.ReadFloatValue("D", "nan", 2.5), 2.5);
}

TEST(MemIniFile, FlushAndReloadKeepEverything)
{
    TempDir dir;
    const std::string path = dir.File("texts.ini");
    const std::string text = "[Words]\nk=1\nk=2\nK=3\n b = blank \nx=a=b\nnovalue\n"
                             "[\xD1\xEB\xEE\xE2\xE0]\n\xCA\xEB\xFE\xF7=\xC7\xED\xE0\xF7\n"
                             "[Empty]\n[words]\nlost=1\n"; // [Слова] Ключ=Знач in Windows-1251
    WriteBytes(path, text);
    TMemIniFile first(path);
    EXPECT_EQ(first.FileName(), path);
    first.Flush();
    EXPECT_FALSE(first.Modified());
    const std::string written = ReadBytes(path);

    TMemIniFile second(path);
    EXPECT_EQ(second.GetText(), written);
    EXPECT_EQ(second.ReadValue("WORDS", "k", ""), "3");
    EXPECT_EQ(second.ReadValue("words", " b ", ""), " blank ");
    EXPECT_EQ(second.ReadValue("\xF1\xEB\xEE\xE2\xE0", "\xEA\xEB\xFE\xF7", ""), "\xC7\xED\xE0\xF7");
    std::vector<std::string> values;
    second.ReadValueList("Words", values);
    EXPECT_EQ(values, (std::vector<std::string>{" blank ", "3", "2", "1", "", "a=b"}));
    std::vector<std::string> sections;
    second.ReadSectionNames(sections);
    EXPECT_EQ(sections.size(), 3u);

    // Changes land on disk only with Flush.
    second.WriteValue("Words", "new", "1");
    EXPECT_EQ(ReadBytes(path), written);
    second.Flush();
    EXPECT_EQ(TMemIniFile(path).ReadValue("words", "NEW", ""), "1");
}

TEST(MemIniFile, FilesThatCannotBeReadOrWritten)
{
    TempDir dir;
    // Missing or unnamed: empty, no error.
    EXPECT_EQ(TMemIniFile(dir.File("missing.ini")).GetText(), "");
    EXPECT_EQ(TMemIniFile("").GetText(), "");
    // There but not a readable file.
    std::filesystem::create_directory(dir.File("folder.ini"));
    EXPECT_THROW(TMemIniFile(dir.File("folder.ini")), IniFileError);

    // A file that may not be written stays as it was.
    const std::string locked = dir.File("locked.ini");
    WriteBytes(locked, "[S]\nk=v\n");
    std::filesystem::permissions(locked, std::filesystem::perms::owner_read);
    TMemIniFile ini(locked);
    ini.WriteValue("S", "k", "changed");
    EXPECT_THROW(ini.Flush(), IniFileError);
    EXPECT_EQ(ReadBytes(locked), "[S]\nk=v\n");
    EXPECT_TRUE(ini.Modified());

    TMemIniFile unnamed;
    EXPECT_THROW(unnamed.Flush(), IniFileError);

    // The largest file that loads, and one byte more.
    const std::string big = dir.File("big.ini");
    WriteBytes(big, "[S]\nk=v\n;");
    std::filesystem::resize_file(big, kMaxIniFileBytes); // the rest is one long comment
    EXPECT_EQ(TMemIniFile(big).ReadValue("S", "k", ""), "v");
    std::filesystem::resize_file(big, kMaxIniFileBytes + 1);
    EXPECT_THROW(TMemIniFile{big}, IniFileError);
}

TEST(MemIniEntry, LinesAndIndexes)
{
    TMemIniEntry entry;
    entry.CopyFrom({"b=2", "a", "B=3", "c=x=y"});
    ASSERT_EQ(entry.Count(), 4);
    EXPECT_EQ(entry.Line(0), "a=");
    EXPECT_EQ(entry.Line(1), "B=3");
    EXPECT_EQ(entry.Key(2), "b");
    EXPECT_EQ(entry.Value(3), "x=y");
    EXPECT_EQ(entry.FindKey("b"), 1);
    EXPECT_EQ(entry.FindKey("z"), -1);
    EXPECT_THROW(entry.Key(4), std::out_of_range);
    EXPECT_THROW(entry.Delete(-1), std::out_of_range);
    entry.Delete(1);
    EXPECT_EQ(entry.Line(1), "b=2");
    entry.CopyFrom({"z=1"}); // replaces what was there
    EXPECT_EQ(entry.Count(), 1);
    entry.Clear();
    EXPECT_EQ(entry.Count(), 0);
}

TEST(TextHelpers, ExtractField)
{
    struct Case
    {
        std::string text;
        char delimiter;
        int n;
        std::string expected;
    } cases[] = {
        {"one\ttwo\tthree", '\t', 0, "one"},
        {"one\ttwo\tthree", '\t', 1, "two"},
        {"one\ttwo\tthree", '\t', 2, "three"},
        {"one\ttwo\tthree", '\t', 3, ""},
        {"one\t\tthree", '\t', 1, ""},
        {"one\t\tthree", '\t', 2, "three"},
        {"key\1Рус\1Eng\1", '\1', 1, "Рус"},
        {"key\1Рус\1Eng\1", '\1', 2, "Eng"},
        {"key\1Рус\1Eng\1", '\1', 3, ""},
        {"", '\t', 0, ""},
        {"\tx\ty", '\t', 0, "\tx"}, // the first character always belongs to field 0
        {"\tx\ty", '\t', 1, "x"},
        {"a\tb", '\t', -1, ""},
        {"a\tb", '\t', 256, ""}, // a count past 255 does not wrap round to field 0
        {"a\tb", '\t', 257, ""},
        {"no delimiter", '\t', 0, "no delimiter"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExtractField(c.text, c.delimiter, c.n), c.expected) << c.text << " #" << c.n;
    std::string many;
    for (int i = 0; i <= 300; ++i)
        many += std::to_string(i) + ";";
    EXPECT_EQ(ExtractField(many, ';', 256), "256");
    EXPECT_EQ(ExtractField(many, ';', 300), "300");
}

TEST(TextHelpers, FindPattern)
{
    struct Case
    {
        std::string pattern, text;
        size_t expected;
    } cases[] = {
        {"ab", "xxab", 3},
        {"", "xyz", 1},
        {"", "", 1},
        {"abc", "ab", 0},
        {"a", "a", 1},
        {"aab", "aaaab", 3},
        {"Рус", "Язык: Рус", 11},
        {"\xFF\x80", "\x80\xFF\xFF\x80", 3},
        {"x\xFF", "\xFFx\xFFx", 2},
        {"AB", "ab", 0}, // case-sensitive
    };
    for (const auto& c : cases)
        EXPECT_EQ(FindPattern(c.pattern, c.text), c.expected) << c.pattern << " in " << c.text;

    // Against the library's search, over an alphabet of low and high bytes.
    std::mt19937 rng(7);
    const std::string alphabet = "ab\x80\xFF";
    auto random = [&](size_t max) {
        std::string s(rng() % (max + 1), ' ');
        for (char& ch : s)
            ch = alphabet[rng() % alphabet.size()];
        return s;
    };
    for (int i = 0; i < 20000; ++i) {
        const std::string pattern = random(4), text = random(24);
        const size_t at = text.find(pattern);
        const size_t expected = at == std::string::npos ? 0 : at + 1;
        ASSERT_EQ(FindPattern(pattern, text), expected) << i;
    }
}

} // namespace
} // namespace translation
