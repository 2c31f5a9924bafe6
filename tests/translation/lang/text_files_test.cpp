// The translators' text files: export and import of the lists and the extended translations.

#include "platform/text1251.h"
#include "translation/lang/text_files.h"
#include "translation/settings/mem_ini_file.h"

#include "tests/translation/lang/line_notation.h"

#include <gtest/gtest.h>

namespace translation {
namespace {

using test::D;
using test::L;

struct Component
{
    ListSet lists;
    KindMask has{};
    StringList langNames{"English", "Russian"};
    std::string ownerClass = "TFormMain";
    std::string ownerName = "FormMain";
    StringList doNotTranslate;
    std::vector<TvxExtendedItem> extended;

    Component() { has.fill(true); }
    ExportSource Source() const
    {
        return ExportSource{lists, has, langNames, 2, D, ownerClass, ownerName, extended};
    }
    ImportTarget Target() const
    {
        return ImportTarget{has, D, ownerClass, ownerName, doNotTranslate};
    }
};

TEST(TextFiles, ExportThenImportRoundTripsEveryListAndExtendedItem)
{
    Component c;
    const std::string ya = platform::Utf8ToCp1251("я");
    c.lists[stCaptions] = {L("TFormMain|Main|Главная|"), L("Button1|OK|" + ya + "|")};
    c.lists[stHints] = {L("Button1|line 1\r\nline 2|строка\r\n|")};
    c.lists[stMultiLines] = {L("Combo.Items|\"a b\",c|x,y|")};
    c.lists[stStrings] = {L("Msg1|~!@ almost|~!|"), L("Empty||" + ya + "|")};
    c.lists[stCollections] = {L("Coll.Items[0].Title|First|Первый|"),
                              L("Coll.Items[12].Title|x|y|")};
    c.lists[stListView_TreeView_Items] = {L("Tree.Items[1]|n|m|")};
    c.lists[stLocales] = {L("Date Separator|.|/|")};
    c.extended = {{"Button1.Font.Name", TypeKind::WString, L("Arial\r\nx|Tahoma|")},
                  {"TFormMain.Tag", TypeKind::Integer, L("1|2|")}};

    const std::optional<std::string> file = ExportAllText("", c.Source(), kDefaultFileDelimiter);
    ASSERT_TRUE(file);
    EXPECT_NE(file->find("[Collections]\r\nTFormMain.Coll.Items-0+.Title=First~!@#"),
              std::string::npos);
    EXPECT_NE(file->find("Language_2=Russian"), std::string::npos);
    EXPECT_NE(file->find("TFormMain.Button1.Font.Name_TypeKind=tkWString"), std::string::npos);
    EXPECT_EQ(file->find('\n', file->find("line 1")), file->find("\r\n", file->find("line 1")) + 1);

    Component back;
    for (int kind = 0; kind < kListKinds; ++kind) {
        const std::optional<ImportedList> imported = ImportListText(*file, back.Target(), kind, {});
        ASSERT_TRUE(imported) << kind;
        ASSERT_TRUE(imported->names);
        EXPECT_EQ(imported->names->langNames, c.langNames);
        StringList expected = c.lists[static_cast<size_t>(kind)];
        StringList got = imported->lines;
        std::sort(expected.begin(), expected.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, expected) << SectionName(kind);
    }
    const auto extended = ImportExtendedText(*file, back.Target(), {});
    ASSERT_TRUE(extended);
    ASSERT_EQ(extended->size(), 2u);
    for (const TvxExtendedItem& item : c.extended) {
        auto it =
            std::find_if(extended->begin(), extended->end(), [&item](const TvxExtendedItem& e) {
                return e.Identifier == item.Identifier;
            });
        ASSERT_NE(it, extended->end()) << item.Identifier;
        EXPECT_EQ(it->Values, item.Values);
        EXPECT_EQ(it->PropertyType, item.PropertyType);
    }
}

TEST(TextFiles, ImportBuildsLinesFromTheFileForm)
{
    Component c;
    c.doNotTranslate = {"Secret"};
    const std::string file = "[OPTIONS]\r\nDELIMITER=##\r\n"
                             "[Captions]\r\n"
                             "TFormMain.Single=only\r\n" // one text stands for two
                             "TFormMain.Pair=a##b\r\n"
                             "FormMain.ByName=n##m##\r\n"           // the owner's name as prefix
                             "Other.Button=x##y\r\n"                // another owner's line
                             "TFormMain.Secret=s##t\r\n"            // not to be translated
                             "TFormMain.TFormMain=title##Titel\r\n" // the owner's line goes first
                             "TFormMain.Ya=\xFF\r\n";
    const std::optional<ImportedList> imported =
        ImportListText(file, c.Target(), stCaptions, {L("Old|o|")});
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->keys, 7);
    EXPECT_FALSE(imported->names);
    EXPECT_EQ(imported->lines,
              (StringList{L("TFormMain|title|Titel|"), L("Old|o|"), L("ByName|n|m|"),
                          L("Pair|a|b|"), L("Single|only|only|"), L("Ya|\xFF|\xFF|")}));
}

TEST(TextFiles, BadFilesAndTextsChangeNothing)
{
    Component c;
    std::string names = "[Language names - for internal use only!]\r\n";
    for (int n = 1; n <= 300; ++n)
        names += "Language_" + std::to_string(n) + "=L" + std::to_string(n) + "\r\n";
    EXPECT_FALSE(ImportListText(names, c.Target(), stCaptions, {}));
    KindMask none{};
    const ImportTarget lacking{none, D, c.ownerClass, c.ownerName, c.doNotTranslate};
    EXPECT_FALSE(ImportListText("[Captions]\r\nTFormMain.A=b\r\n", lacking, stCaptions, {}));

    // A text holding the file's delimiter, or a key an ini file cannot hold, is refused.
    c.lists[stStrings] = {L("Id|one~!@#two|")};
    EXPECT_FALSE(ExportListText("", c.Source(), stStrings, kDefaultFileDelimiter));
    EXPECT_TRUE(ExportListText("", c.Source(), stStrings, "^^"));
    c.lists[stStrings] = {L("a=b|x|")};
    EXPECT_FALSE(ExportListText("", c.Source(), stStrings, kDefaultFileDelimiter));
}

TEST(TextFiles, ExportKeepsOtherSectionsAndDropsOldOwnerNameLines)
{
    Component c;
    c.lists[stCaptions] = {L("Label1|A|\xC1|")};
    const std::string before = "[Mine]\r\nkeep=1\r\n[Captions]\r\nFormMain.Label1=old\r\n";
    const std::optional<std::string> out = ExportListText(before, c.Source(), stCaptions, "~");
    ASSERT_TRUE(out);
    EXPECT_NE(out->find("[Mine]\r\nkeep=1\r\n"), std::string::npos);
    EXPECT_EQ(out->find("FormMain.Label1=old"), std::string::npos);
    EXPECT_NE(out->find("TFormMain.Label1=A~\xC1~"), std::string::npos);
    EXPECT_EQ(FileLanguageNames(*out), (StringList{"English", "Russian"}));
}

// Every delimiter, overlapping ones included: a line exports only when it imports back as it
// was, and a text that would be split otherwise (one holding the delimiter, or ending in the
// start of one that overlaps itself) refuses the export.
TEST(TextFiles, ExportedTextsImportBackWithAnyDelimiter)
{
    const char* delimiters[] = {"~!@#", "~~", "~~~", "abab", "aa", "#", "^^"};
    const char* texts[][2] = {
        {"a~", "b"}, {"~a", "b"}, {"a", "~"},   {"~", "~"},  {"ab", "ab"},
        {"a", "ba"}, {"x#", "y"}, {"a^", "^b"}, {"", "end"}, {"plain", "text"},
    };
    int refused = 0;
    for (const char* d : delimiters) {
        for (const auto& t : texts) {
            SCOPED_TRACE(std::string(d) + ": " + t[0] + " / " + t[1]);
            Component c;
            const std::string line = L(std::string("Id|") + t[0] + "|" + t[1] + "|");
            c.lists[stStrings] = {line};
            c.extended = {{"Id.Tag", TypeKind::WString, L(std::string(t[0]) + "|" + t[1] + "|")}};
            const std::optional<std::string> file = ExportListText("", c.Source(), stStrings, d);
            const auto extended = ExportExtendedText("", c.Source(), d);
            // Both ways agree on whether the texts can be told from the delimiter.
            EXPECT_EQ(file.has_value(), extended.has_value());
            if (!file) {
                ++refused;
                continue;
            }
            const auto back = ImportListText(*file, c.Target(), stStrings, {});
            ASSERT_TRUE(back);
            EXPECT_EQ(back->lines, StringList{line});
            const auto items = ImportExtendedText(*extended, c.Target(), {});
            ASSERT_TRUE(items);
            ASSERT_EQ(items->size(), 1u);
            EXPECT_EQ(items->front().Values, c.extended.front().Values);
        }
    }
    // "a~" before "~~" would read as "a" and "~b".
    Component c;
    c.lists[stStrings] = {L("Id|a~|b|")};
    EXPECT_FALSE(ExportListText("", c.Source(), stStrings, "~~"));
    EXPECT_TRUE(ExportListText("", c.Source(), stStrings, "~!@#"));
    EXPECT_GT(refused, 0);
}

// A 16 MiB file whose every line is the owner's own, each of which goes to the top of the list:
// all of them land, the one read last first.
TEST(TextFiles, AFileFullOfOwnerLinesImportsWhole)
{
    Component c;
    std::string file = "[OPTIONS]\r\nDELIMITER=~!@#\r\n[Captions]\r\n";
    const std::string byClass = "TFormMain.TFormMain=Main~!@#Glavnoe\r\n";
    const std::string byName = "TFormMain.FormMain=Window~!@#Okno\r\n";
    int lines = 0;
    for (;; ++lines) {
        const std::string& line = lines % 2 == 0 ? byClass : byName;
        if (file.size() + line.size() > kMaxIniFileBytes)
            break;
        file += line;
    }
    ASSERT_GT(lines, 400000);
    const std::optional<ImportedList> imported =
        ImportListText(file, c.Target(), stCaptions, {L("Label1|a|b|")});
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->keys, lines);
    ASSERT_EQ(imported->lines.size(), static_cast<std::size_t>(lines) + 1);
    // Keys come in sorted order, so the class-keyed lines, taken last, stand first.
    const std::size_t byClassLines = (static_cast<std::size_t>(lines) + 1) / 2;
    EXPECT_EQ(imported->lines.front(), L("TFormMain|Main|Glavnoe|"));
    EXPECT_EQ(imported->lines[byClassLines - 1], L("TFormMain|Main|Glavnoe|"));
    EXPECT_EQ(imported->lines[byClassLines], L("FormMain|Window|Okno|"));
    EXPECT_EQ(imported->lines[static_cast<std::size_t>(lines) - 1], L("FormMain|Window|Okno|"));
    EXPECT_EQ(imported->lines.back(), L("Label1|a|b|"));
}

} // namespace
} // namespace translation
