// The translation component's defaults, setters, stored forms, text files and look-ups.

#include "platform/text1251.h"
#include "tests/translation/lang/line_notation.h"
#include "tests/translation/lang/test_window.h"
#include "translation/lang/vx_comp.h"

#include <QObject>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <limits>

namespace translation {
namespace {

using test::Cp;
using test::D;
using test::L;

class Component : public ::testing::Test
{
protected:
    void SetUp() override { test::EnsureApplication(); }
    QObject owner;
};

TEST_F(Component, NewComponentHasOneLanguageAndTheFirstDialogTexts)
{
    owner.setObjectName("DMLang");
    TvxLang lang(&owner);
    EXPECT_EQ(lang.NumOfLanguages(), 1);
    EXPECT_EQ(lang.LangNames(), StringList{"Language N1"});
    EXPECT_EQ(lang.Language(), "Language N1");
    EXPECT_EQ(lang.LangDelim(), 1);
    ASSERT_EQ(lang.DlgsCaptions().size(), 15u);
    EXPECT_EQ(lang.DlgsCaptions()[0], L("Warning|Warning|"));
    EXPECT_EQ(lang.DlgsCaptions()[12].substr(0, 10), "No To All" + std::string(1, D));
    EXPECT_EQ(lang.ExcludedProperties().size(), 20u);
    EXPECT_EQ(lang.StringsTypes(), (StringList{"TIB_STRINGLIST", "TSTRINGLIST"}));

    lang.SetNeedAllDlgs(true);
    EXPECT_EQ(lang.DlgsCaptions().size(), 82u); // every standard dialog element
    EXPECT_EQ(lang.DlgsCaptions()[28], "|Solid\x01|S&olid\x01");
    lang.SetNeedAllDlgs(false);
    EXPECT_EQ(lang.DlgsCaptions().size(), 15u);

    lang.SetVersionQ("1.0");
    EXPECT_EQ(lang.Version(), "6.2.2");
    EXPECT_THROW(TvxLangLinked second(&owner), std::runtime_error);
    EXPECT_EQ(owner.findChildren<TvxCustomLang*>().size(), 1);
}

TEST_F(Component, LanguageCountCutsAndPadsButNeverPastTheFieldRange)
{
    TvxLang lang(&owner);
    lang.SetLangNames({"A", "B", "C"});
    EXPECT_EQ(lang.NumOfLanguages(), 3);
    lang.BeginLoading(); // at run time lines of absent components would be moved away
    lang.SetCaptions({L("key|a|b|c|"), L("key2|a")});
    lang.EndLoading();
    lang.SetNumOfLanguages(2);
    EXPECT_EQ(lang.Captions(), (StringList{L("key|a|b|"), L("key2|a")}));
    lang.SetNumOfLanguages(4);
    EXPECT_EQ(lang.LangNames(), (StringList{"A", "B", "Language N3", "Language N4"}));
    EXPECT_EQ(lang.Captions(), (StringList{L("key|a|b|"), L("key2|a")}));

    struct Case
    {
        long long n;
        const char* message;
    } bad[] = {
        {0, "0 - is not a valid property value !\rValue must be more than ZERO !"},
        {-5, "-5 - is not a valid property value !\rValue must be more than ZERO !"},
        {std::numeric_limits<int>::max(),
         "2147483647 - is not a valid property value !\rValue must not be more than 255 !"},
    };
    for (const Case& c : bad) {
        try {
            lang.SetNumOfLanguages(static_cast<int>(c.n));
            ADD_FAILURE() << c.n;
        } catch (const ELanguageError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(lang.NumOfLanguages(), 4);
    }
    EXPECT_THROW(lang.SetActiveLanguage(5), ELanguageError);
    EXPECT_THROW(lang.SetLanguage("Klingon"), ELanguageError);
    lang.SetLanguage("B");
    EXPECT_EQ(lang.ActiveLanguage(), 2);
    EXPECT_THROW(lang.SetResourceLanguageIndex(9), ELanguageError);
}

TEST_F(Component, ReplaceTranslationChangesOneLineAndKeepsTheCacheRight)
{
    TvxLang lang(&owner);
    lang.SetLangNames({"A", "B"});
    StringList list = {L("K|a|b|"), L("k|other|")};
    lang.ReplaceTranslation(list, "new", 2, "k");
    EXPECT_EQ(list, (StringList{L("K|a|new|"), L("k|other|")}));

    lang.SetStrings({L("Hello|Hello|Hallo|")});
    lang.SetActiveLanguage(2);
    EXPECT_EQ(lang.GetText("hello"), "Hallo");
    lang.ReplaceTranslation(*lang.GetStringsByIndex(stStrings), "Servus", 2, "HELLO");
    EXPECT_EQ(lang.GetText("Hello"), "Servus"); // not "" until the next rebuild
}

TEST_F(Component, LoadingTurnsTabsIntoTheDelimiterAndAddsTheNameLists)
{
    TvxLang lang(&owner);
    lang.BeginLoading();
    lang.SetLangDelim(9);
    lang.SetLangNames({"A", "B"});
    lang.SetCaptions({"Label1\ta\tb\t"});
    lang.SetLocales(StringList(11, "Currency String\t$\t$\t"));
    lang.EndLoading();
    EXPECT_EQ(lang.LangDelim(), 1);
    EXPECT_EQ(lang.Captions(), StringList{L("Label1|a|b|")});
    ASSERT_EQ(lang.Locales().size(), 15u);
    EXPECT_EQ(lang.Locales()[11].rfind(L("Short Month Names|"), 0), 0u);
}

TEST_F(Component, RemovedComponentLeavesItsLinesAtRunTime)
{
    auto* button = new QObject(&owner);
    button->setObjectName("Button1");
    TvxLang lang(&owner);
    lang.SetDoNotTranslate({"Button1", "Other"});
    lang.SetExtendedTranslations({{"Button1.Caption", TypeKind::WString, L("a|")},
                                  {"Button10.Caption", TypeKind::WString, L("b|")}});
    lang.BeginLoading();
    lang.SetCaptions({L("Button1|a|")});
    lang.EndLoading();
    delete button;
    EXPECT_EQ(lang.DoNotTranslate(), StringList{"Other"});
    ASSERT_EQ(lang.ExtendedTranslations().size(), 1u);
    EXPECT_EQ(lang.ExtendedTranslations()[0].Identifier, "Button10.Caption");
    EXPECT_EQ(lang.Captions(), StringList{L("Button1|a|")});
}

TEST_F(Component, StoredFormRoundTripsTheComponent)
{
    owner.setObjectName("DMLang");
    TvxLang lang(&owner);
    lang.SetLangNames({"Russian", "English", Cp("Русский")});
    lang.SetActiveLanguage(2);
    lang.SetStrings({L("Id|a\r\nb|c|" + Cp("я") + "|")});
    lang.SetDoNotTranslate({"Secret"});
    lang.SetTranslateType(ttGetDefault);
    lang.SetChangingCursor(-11);
    lang.SetExtendedTranslations({{"DMLang.Tag", TypeKind::Integer, L("1|2|3|")}});
    const std::string data = SaveComponentData(lang);

    QObject owner2;
    owner2.setObjectName("DMLang");
    TvxLang back(&owner2);
    LoadComponentData(back, data);
    for (const char* name : {"NumOfLanguages", "ActiveLanguage", "Language", "LangNames", "Strings",
                             "DoNotTranslate", "TranslateType", "ChangingCursor", "DlgsCaptions"})
        EXPECT_EQ(back.property(name), lang.property(name)) << name;
    EXPECT_EQ(back.TranslationData(), lang.TranslationData());
    ASSERT_EQ(back.ExtendedTranslations().size(), 1u);
    EXPECT_EQ(back.ExtendedTranslations()[0].Values, L("1|2|3|"));
    EXPECT_EQ(back.GetText("id"), "c");

    for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{10}, data.size() - 1}) {
        QObject o;
        TvxLang damaged(&o);
        EXPECT_THROW(LoadComponentData(damaged, data.substr(0, cut)), ELanguageError) << cut;
        EXPECT_FALSE(damaged.IsLoading());
    }
}

TEST_F(Component, TextFilesRoundTripAndATranslatorsLanguageImports)
{
    test::TFormTest form;
    TvxLang lang(&form);
    lang.setObjectName("vxLang");
    lang.SetLangNames({"English", "Russian"});
    const std::string ya = Cp("я");
    lang.BeginLoading();
    lang.SetCaptions({L("TFormTest|Test|" + Cp("Тест") + "|"), L("Label1|Name|" + ya + "|")});
    lang.SetHints({L("Button1|two\r\nlines|" + Cp("две\r\nстроки") + "|")});
    lang.SetStrings({L("Msg|~!@ ~ @#|" + ya + "|")});
    lang.SetCollections({L("Coll.Items[1].Title|Second|" + Cp("Второй") + "|")});
    lang.SetExtendedTranslations(
        {{"Edit1.PlaceholderText", TypeKind::WString, L("a\r\nb|" + ya + "|")}});
    lang.EndLoading();

    std::string file;
    ASSERT_TRUE(lang.ExportAll(file, "~!@#"));

    test::TFormTest form2;
    TvxLang back(&form2);
    ASSERT_TRUE(back.ImportAll(file, true));
    // The file keeps keys in sorted order; the owner's line stays first.
    for (int kind : {stCaptions, stHints, stStrings, stCollections}) {
        StringList a = *back.GetStringsByIndex(kind);
        StringList b = *lang.GetStringsByIndex(kind);
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b) << kind;
    }
    EXPECT_EQ(back.Captions()[0], lang.Captions()[0]);
    EXPECT_EQ(back.LangNames(), lang.LangNames());
    ASSERT_EQ(back.ExtendedTranslations().size(), 1u);
    EXPECT_EQ(back.ExtendedTranslations()[0].Values, lang.ExtendedTranslations()[0].Values);
    back.SetActiveLanguage(2);
    EXPECT_EQ(form2.label->text(), "я");

    // A translator returns a third language.
    const std::string path = ::testing::TempDir() + "translation_third.txt";
    {
        std::ofstream out(path, std::ios::binary);
        out << "[OPTIONS]\r\nDELIMITER=##\r\n"
               "[Language names - for internal use only!]\r\nLanguage_1=English\r\n"
               "Language_2=Russian\r\nLanguage_3=Deutsch\r\n"
               "[Captions]\r\nTFormTest.Label1=Name##x##Name DE\r\nTFormTest.Button1=OK##y##Gut\r\n"
               "[Extended]\r\nTFormTest.Edit1.PlaceholderText=a##b##Eingabe\r\n";
    }
    back.ImportLanguage(path, "Deutsch");
    EXPECT_EQ(back.NumOfLanguages(), 3);
    EXPECT_EQ(back.LangNames().back(), "Deutsch");
    EXPECT_EQ(back.FindField(back.Captions(), "Label1", 3), "Name DE");
    EXPECT_EQ(back.FindField(back.Captions(), "Label1", 2), ya);
    EXPECT_EQ(back.FindField(back.Captions(), "Button1", 3), "Gut");
    back.SetActiveLanguage(3);
    EXPECT_EQ(form2.label->text(), "Name DE");
    EXPECT_EQ(form2.button->text(), "Gut");
    EXPECT_EQ(form2.edit->placeholderText(), "Eingabe");
    back.ImportLanguage(path, "Français"); // not in the file: nothing happens
    EXPECT_EQ(back.NumOfLanguages(), 3);
    back.SetDoRaiseExceptions(true);
    EXPECT_THROW(back.ImportLanguage(path, "Français"), ELanguageError);
    std::remove(path.c_str());
}

TEST_F(Component, FailedImportChangesNothing)
{
    TvxLang lang(&owner);
    lang.SetLangNames({"A", "B"});
    lang.SetStrings({L("Id|a|b|")});
    std::string names = "[Language names - for internal use only!]\r\n";
    for (int n = 1; n <= 300; ++n)
        names += "Language_" + std::to_string(n) + "=L" + std::to_string(n) + "\r\n";
    names += "[Strings]\r\nQObject.New=x\r\n";
    EXPECT_EQ(lang.ImportList(stStrings, names, true), -1);
    EXPECT_FALSE(lang.ImportAll(names, true));
    EXPECT_FALSE(lang.MergeList(stStrings, names));
    EXPECT_EQ(lang.Strings(), StringList{L("Id|a|b|")});
    EXPECT_EQ(lang.LangNames(), (StringList{"A", "B"}));
    EXPECT_EQ(lang.GetText("Id"), "a");

    // Merging keeps the old lines the file lacks.
    EXPECT_TRUE(lang.MergeList(stStrings, "[Strings]\r\nQObject.New=x~!@#y~!@#\r\n"));
    EXPECT_EQ(lang.Strings(), (StringList{L("New|x|y|"), L("Id|a|b|")}));
}

TEST_F(Component, LookUpsAnswerByKeyWithTheirFallbacks)
{
    for (const char* name : {"A", "Label"})
        (new QObject(&owner))->setObjectName(name);
    TvxLang lang(&owner);
    lang.SetLangNames({"A", "B", "C"});
    lang.BeginLoading();
    lang.SetStrings({L("Hello|Hello|Hallo|Salut|"), L("Half|Only one|||"), L("Mid|one|two||"),
                     L("Ya|" + Cp("я") + "|" + Cp("я") + "|" + Cp("я") + "|")});
    lang.SetCaptions({L("A|x\r\nB|y|z|"), L("Label|L1|L2||")});
    lang.EndLoading();
    struct Case
    {
        int active;
        int translateType;
        bool useDefault;
        int defaultLanguage;
        int kind;
        const char* key;
        std::string expected;
    } cases[] = {
        {2, ttNoChange, false, 1, stStrings, "HELLO", "Hallo"},
        {2, ttNoChange, false, 1, stStrings, "Half", ""},
        {2, ttGetDefault, false, 1, stStrings, "Half", "Only one"},
        {3, ttNoChange, true, 2, stStrings, "Mid", "two"},
        {3, ttNoChange, false, 1, stStrings, "Ya", Cp("я")},
        {1, ttNoChange, false, 1, stStrings, "Missing", ""},
        {3, ttGetDefault, false, 1, stCaptions, "label", "L1"},
        {2, ttNoChange, false, 1, stCaptions, "B", ""}, // only whole keys match
        {2, ttNoChange, false, 1, stCaptions, "A", "y"},
    };
    for (const Case& c : cases) {
        lang.SetActiveLanguage(c.active);
        lang.SetTranslateType(c.translateType);
        lang.SetUseDefaultLanguage(c.useDefault);
        lang.SetDefaultLanguage(c.defaultLanguage);
        const std::string got =
            c.kind == stStrings
                ? (c.useDefault ? lang.GetTextWithFallback(c.key) : lang.GetText(c.key))
                : lang.GetTextFromList(c.kind, c.key, c.translateType == ttGetDefault);
        EXPECT_EQ(got, c.expected) << c.key << " in " << c.active;
        EXPECT_EQ(lang.ActiveLanguage(), c.active);
    }
    lang.SetUseDefaultLanguage(false);
    lang.SetTranslateType(ttNoChange);
    EXPECT_EQ(lang.GetTextOrDefault("Missing"), std::nullopt);
    lang.SetDoRaiseExceptions(true);
    try {
        lang.GetText("Missing");
        ADD_FAILURE();
    } catch (const ELanguageError& e) {
        EXPECT_STREQ(e.what(), "String identifier \"Missing\" not found!");
    }
    EXPECT_THROW(lang.GetTextFromList(stCaptions, "B", false), ELanguageError);
    EXPECT_EQ(lang.GetListText(stCaptions, 1, false), "L2");
    EXPECT_EQ(lang.GetListText(stCaptions, 7, false), "");
}

} // namespace
} // namespace translation
