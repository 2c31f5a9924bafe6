// Translation lines, their stored form, the string collection and the code-page layer.

#include "platform/code_page.h"
#include "platform/text1251.h"
#include "translation/lang/lines.h"
#include "translation/lang/string_collection.h"

#include "tests/translation/lang/line_notation.h"

#include <gtest/gtest.h>

namespace translation {
namespace {

using test::Cp;
using test::D;
using test::L;

TEST(TranslationLine, ReplaceLanguageReachesTheColumnOrLeavesTheLine)
{
    struct Case
    {
        const char* line;
        int language;
        const char* expected;
        bool changed;
    } cases[] = {
        {"K|a|b|", 2, "K|a|new|", true},
        {"K|a", 2, "K|a|new", true}, // one delimiter short still reaches column 2
        {"K", 2, "K", false},        // two short cannot
        {"K", 1, "K|new", true},
        {"K|a|b|c|", 1, "K|new|b|c|", true},
        {"K|a|b|", 3, "K|a|b|new", true},
        {"K|a|", 0, "K|a|", false},
    };
    for (const Case& c : cases) {
        std::string line = L(c.line);
        EXPECT_EQ(ReplaceLanguage(line, D, c.language, "new"), c.changed) << c.line;
        EXPECT_EQ(line, L(c.expected)) << c.line << " language " << c.language;
    }
}

TEST(TranslationLine, CutPadAndValues)
{
    EXPECT_EQ(CutLanguages(L("key|a|b|c|"), D, 2), L("key|a|b|"));
    EXPECT_EQ(CutLanguages(L("key|a"), D, 2), L("key|a"));
    StringList list = {L("k"), L("k|a"), L("k|a|b|"), L("k|a|b|c|")};
    PadLines(list, D, 2);
    EXPECT_EQ(list, (StringList{L("k|||"), L("k|a||"), L("k|a|b|"), L("k|a|b|c|")}));
    EXPECT_EQ(MakeValues("t", 2, 3, D), L("|t||"));
    EXPECT_TRUE(AllTextsEmpty(L("Key|||"), 2));
    EXPECT_FALSE(AllTextsEmpty(L("Key|a||"), 2));
}

TEST(TranslationLine, SplitJoinKeyAndMerge)
{
    EXPECT_EQ(SplitBy("a~~b~~~~c~~", "~~"), (StringList{"a", "b", "", "c"}));
    EXPECT_EQ(SplitBy("", "~~"), StringList{});
    EXPECT_EQ(JoinList({"a", "", "b"}, ",", true), "a,b");
    EXPECT_EQ(JoinList({"a", "", "b"}, ",", false), "a,,b");
    EXPECT_EQ(KeyIndex({L("One|x|"), L("two|y|")}, L("TWO|z|"), std::string(1, D)), 1);
    EXPECT_EQ(KeyIndex({L("One|x|")}, L("Three|z|"), std::string(1, D)), -1);
    // The old key stays; non-empty new texts win; the new line's extra texts are added.
    EXPECT_EQ(MergeLines(L("K|a|b"), L("k||B|C"), std::string(1, D)), L("K|a|B|C|"));
}

TEST(TranslationLine, CommaTextRoundTripsAndParsesLikeTheLibrary)
{
    const StringList lists[] = {
        {}, {""}, {"a", "b"}, {"with space", "quote\"d", "comma,", "", "tab\t"}, {"", "a", ""},
    };
    for (const StringList& list : lists)
        EXPECT_EQ(ParseCommaText(CommaText(list)), list) << CommaText(list);
    EXPECT_EQ(CommaText({"a b", "c"}), "\"a b\",c");
    EXPECT_EQ(ParseCommaText("a b,c"), (StringList{"a", "b", "c"}));
    EXPECT_EQ(ParseCommaText("  \"x\"\"y\" , z"), (StringList{"x\"y", "z"}));
}

TEST(TranslationLine, TestModeTransforms)
{
    EXPECT_EQ(FlipCase("aB1"), "Ab1");
    EXPECT_EQ(FlipCase(Cp("Привет, ёЁ")), Cp("пРИВЕТ, Ёё"));
    struct Case
    {
        const char* text;
        int percent;
        const char* expected;
    } cases[] = {
        {"abcd", 100, "a_b_c_d_"}, {"abcd", 150, "a_b_c__d__"}, // 6 spread as 1, 1, 2, 2
        {"abcd", 0, "abcd"},       {"abcd", -50, "abcd"},       {"", 100, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExpandChars(c.text, '_', c.percent), c.expected) << c.text << " " << c.percent;
    EXPECT_EQ(ExpandChars("ab", '_', 1 << 30).size(), 2u + 20u); // stretched at most ten times
}

TEST(TranslationData, RoundTripsEveryListWithLineBreaks)
{
    ListSet lists;
    KindMask has{};
    has.fill(true);
    has[stListView_TreeView_Items] = false;
    lists[stCaptions] = {L("TForm1|Caption|Заголовок|"), L("Button1|a\r\nb|c\nd\re|")};
    lists[stStrings] = {L("Id|я|")};
    const std::string data = EncodeTranslationData(lists, has);
    EXPECT_NE(data.find("Button1\x01"
                        "a\x19\x1A"
                        "b"),
              std::string::npos);
    EXPECT_EQ(data.find("stListView_TreeView_Items"), std::string::npos);
    EXPECT_NE(data.find("stHints\r\nstDisplayLabels\r\n"), std::string::npos); // name only

    ListSet back;
    back[stHints] = {"stale"};
    back[stListView_TreeView_Items] = {"kept"};
    DecodeTranslationData(data, back, has, "TForm1", D);
    for (int kind = 0; kind < stListView_TreeView_Items; ++kind)
        EXPECT_EQ(back[static_cast<size_t>(kind)], lists[static_cast<size_t>(kind)]) << kind;
    EXPECT_EQ(back[stListView_TreeView_Items], StringList{"kept"});
}

TEST(TranslationData, DecoderOrdersOwnerLineFirstAndSkipsForeignLists)
{
    ListSet lists;
    KindMask has{};
    has[stCaptions] = true; // the component lacks every other list
    const std::string data = "junk before\r\nstCaptions\r\nB\x01x\x01\r\nTForm1\x01t\x01\r\n"
                             "stLocales\r\nLocaleLine\x01\r\nstCaptions\r\nC\x01y\x01\r\n";
    DecodeTranslationData(data, lists, has, "TForm1", D);
    // A second section of the same list starts it afresh.
    EXPECT_EQ(lists[stCaptions], StringList{L("C|y|")});
    DecodeTranslationData("stCaptions\nB\x01x\x01\nTForm1\x01t\x01", lists, has, "TForm1", D);
    EXPECT_EQ(lists[stCaptions], (StringList{L("TForm1|t|"), L("B|x|")}));
    EXPECT_TRUE(lists[stLocales].empty());
}

TEST(StringsCollection, LooksUpByIdentifierAndByText)
{
    TvxStringsCollection c;
    EXPECT_EQ(c.TextById("x", 1), "");
    c.Rebuild(
        {L("beta|B|" + Cp("Б") + "|"), L("Alpha|A||"), L("ya|" + Cp("я") + "|" + Cp("я") + "|")}, D,
        2, 0);
    struct Case
    {
        const char* id;
        int language;
        std::optional<std::string> expected;
    } cases[] = {
        {"ALPHA", 1, "A"},          {"alpha", 2, ""}, {"Beta", 2, Cp("Б")},
        {"ya", 2, Cp("я")}, // a one-letter text of 255 is a text like any other
        {"gamma", 1, std::nullopt}, {"beta", 3, ""},
    };
    for (const Case& k : cases)
        EXPECT_EQ(c.Find(k.id, k.language), k.expected) << k.id << " " << k.language;
    EXPECT_EQ(c.IndexOfIdentifier("BETA"), 1);
    EXPECT_TRUE(c.Update("alpha", 2, "AA"));
    EXPECT_EQ(c.TextById("Alpha", 2), "AA");
    EXPECT_FALSE(c.Update("gamma", 1, "x"));

    c.Sort(2);
    EXPECT_EQ(c.TextByText(Cp("Б"), 1), "B");
    EXPECT_EQ(c.TextByText("none", 1), "none");
}

TEST(CodePage, ConvertsExactlyOrNotAtAll)
{
    struct Case
    {
        int codePage;
        std::string bytes;
        const char* utf8;
    } cases[] = {
        {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
        {1251, "\xFF", "я"},
        {1253, "\xE1\xE2\xE3", "αβγ"},
        {1252, "caf\xE9", "café"},
        {866, "\x8F\xE0\xA8", "При"},
        {932, "\x82\xA0", "あ"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::CodePageToUtf8(c.bytes, c.codePage), std::optional<std::string>(c.utf8))
            << c.codePage;
        EXPECT_EQ(platform::Utf8ToCodePage(c.utf8, c.codePage), std::optional<std::string>(c.bytes))
            << c.codePage;
    }
    EXPECT_EQ(platform::Utf8ToCodePage("Ω", 1251), std::nullopt);
    EXPECT_EQ(platform::Utf8ToCodePage("я", 1252), std::nullopt);
    EXPECT_EQ(platform::CodePageToUtf8("\x98", 1251), std::nullopt);
    EXPECT_EQ(platform::CodePageToUtf8("\x81", 1252), std::nullopt);
    EXPECT_EQ(platform::Utf8ToCodePage("\xC3", 1253), std::nullopt); // broken UTF-8
    EXPECT_EQ(platform::CodePageToUtf8("x", 12345), std::nullopt);
    const std::string big(100000, '\xE9');
    EXPECT_EQ(platform::CodePageToUtf8(big, 1252)->size(), 200000u);
}

} // namespace
} // namespace translation
