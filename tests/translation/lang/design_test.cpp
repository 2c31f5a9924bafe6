// The component while its window is designed, and the list maintenance that keeps the lists in
// step with the window: removal, exclusions, invalid lines, extended translations, the owner's
// font, and the paths that apply only part of a language.

#include "tests/platform/temp_dir.h"
#include "tests/translation/lang/line_notation.h"
#include "tests/translation/lang/test_window.h"
#include "translation/lang/vx_comp.h"
#include "translation/lang/vxb.h"
#include "translation/lang/vxb_file.h"

#include <QCursor>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>

namespace translation {
namespace {

using test::Cp;
using test::L;

bool Has(const StringList& list, const std::string& line)
{
    return std::find(list.begin(), list.end(), line) != list.end();
}

bool HasKey(const StringList& list, const std::string& key)
{
    return std::any_of(list.begin(), list.end(), [&key](const std::string& l) {
        return l.compare(0, key.size() + 1, key + test::D) == 0;
    });
}

// A grid column of the kind whose data-binding properties are excluded by default.
class TColumn : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString Title READ Title WRITE SetTitle)
    Q_PROPERTY(QString FieldName READ FieldName WRITE SetFieldName)
    Q_PROPERTY(QString DisplayFormat READ DisplayFormat WRITE SetDisplayFormat)

public:
    QString Title() const { return title_; }
    void SetTitle(const QString& t) { title_ = t; }
    QString FieldName() const { return field_; }
    void SetFieldName(const QString& f) { field_ = f; }
    QString DisplayFormat() const { return format_; }
    void SetDisplayFormat(const QString& f) { format_ = f; }

private:
    QString title_, field_, format_;
};

class TColumns : public QObject, public VxCollection
{
    Q_OBJECT

public:
    int Count() const override { return 1; }
    QObject* Item(int) const override { return const_cast<TColumn*>(&column); }
    TColumn column;
};

class TGrid : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QObject* Columns READ Columns)

public:
    QObject* Columns() const { return const_cast<TColumns*>(&columns); }
    TColumns columns;
};

class Design : public ::testing::Test
{
protected:
    void SetUp() override
    {
        test::EnsureApplication();
        form = std::make_unique<test::TFormTest>();
        group = new QGroupBox("Group", form.get());
        group->setObjectName("Group");
        inner = new QPushButton("In", group);
        inner->setObjectName("Inner");
        lang = new TvxLang(form.get());
        lang->setObjectName("vxLang");
        lang->SetLangNames({"English", "Russian"});
    }
    // Lines as form data gives them, without the setters' side effects.
    void Load(const std::function<void()>& fill)
    {
        lang->BeginLoading();
        fill();
        lang->EndLoading();
    }
    std::unique_ptr<test::TFormTest> form;
    QGroupBox* group = nullptr;
    QPushButton* inner = nullptr;
    TvxLang* lang = nullptr;
};

TEST_F(Design, CollectingWritesTheActiveColumnOnlyWhileDesigning)
{
    lang->SetDesigning(true);
    lang->SetActiveLanguage(2); // collects under language 1 first
    EXPECT_TRUE(Has(lang->Captions(), L("Button1|OK||")));

    // An empty column of language 2 stays empty when the caption changes.
    form->button->setText("Cancel");
    lang->CollectValues();
    EXPECT_TRUE(Has(lang->Captions(), L("Button1|OK||")));

    // A filled one follows the caption.
    StringList captions = lang->Captions();
    for (std::string& line : captions)
        if (line == L("Button1|OK||"))
            line = L("Button1|OK|" + Cp("Да") + "|");
    lang->SetCaptions(captions);
    EXPECT_EQ(form->button->text(), "Да");
    form->button->setText("Нет");
    lang->CollectValues();
    EXPECT_TRUE(Has(lang->Captions(), L("Button1|OK|" + Cp("Нет") + "|")));

    // At run time collecting leaves existing lines alone.
    lang->SetDesigning(false);
    form->button->setText("Run");
    lang->CollectValues();
    EXPECT_TRUE(Has(lang->Captions(), L("Button1|OK|" + Cp("Нет") + "|")));
}

TEST_F(Design, SwitchingLanguageWhileDesigningKeepsTheEditsOfTheOldOne)
{
    Load([&] { lang->SetCaptions({L("Label1|Name|" + Cp("Имя") + "|")}); });
    lang->SetDesigning(true);
    form->label->setText("Title");
    lang->SetActiveLanguage(2);
    EXPECT_TRUE(Has(lang->Captions(), L("Label1|Title|" + Cp("Имя") + "|")));
    EXPECT_EQ(form->label->text(), "Имя");
    lang->SetActiveLanguage(1);
    EXPECT_EQ(form->label->text(), "Title");
}

// Moving a widget inside the window is no removal; destroying one, at any depth, is.  While
// designing its lines go with it; at run time only its DoNotTranslate entry and its extended
// translations do.
TEST_F(Design, DestroyedComponentsAreRemovedAndMovedOnesStay)
{
    for (const bool designing : {true, false}) {
        SCOPED_TRACE(designing ? "designing" : "run time");
        SetUp();
        Load([&] {
            lang->SetCaptions({L("Inner|In|" + Cp("Вн") + "|"), L("Label1|Name|" + Cp("Имя") + "|"),
                               L("Button1|OK|" + Cp("Да") + "|"), L("PageMain|Main|Гл|")});
            lang->SetHints({L("Inner|tip|" + Cp("подсказка") + "|")});
            lang->SetSmartExcludeProps({"Inner.Hint", "Label1.Hint"});
            lang->SetDoNotTranslate({"Inner", "Label1", "Combo"});
            lang->SetExtendedTranslations({{"Inner.Caption", TypeKind::WString, L("a|b|")},
                                           {"Label1.Caption", TypeKind::WString, L("c|d|")},
                                           {"Button1.Caption", TypeKind::WString, L("e|f|")}});
        });
        lang->SetDesigning(designing);
        const StringList captions = lang->Captions();

        form->label->setParent(group);
        auto* layout = new QVBoxLayout(group);
        layout->addWidget(form->button);
        form->tabs->addTab(form->combo, "Colours");
        form->page->setParent(form.get()); // out of the tab widget, still in the window
        EXPECT_EQ(lang->Captions(), captions);
        EXPECT_EQ(lang->DoNotTranslate(), (StringList{"Inner", "Label1", "Combo"}));
        EXPECT_EQ(lang->ExtendedTranslations().size(), 3u);

        delete inner; // a grandchild of the window
        EXPECT_EQ(HasKey(lang->Captions(), "Inner"), !designing);
        EXPECT_EQ(HasKey(lang->Hints(), "Inner"), !designing);
        EXPECT_EQ(Has(lang->SmartExcludeProps(), "Inner.Hint"), !designing);
        EXPECT_TRUE(Has(lang->SmartExcludeProps(), "Label1.Hint"));
        EXPECT_EQ(lang->DoNotTranslate(), (StringList{"Label1", "Combo"}));
        ASSERT_EQ(lang->ExtendedTranslations().size(), 2u);
        EXPECT_EQ(lang->ExtendedTranslations()[0].Identifier, "Label1.Caption");
        EXPECT_TRUE(HasKey(lang->Captions(), "Label1"));
        EXPECT_TRUE(HasKey(lang->Captions(), "PageMain"));
    }
}

TEST_F(Design, CollectingDeletesLinesWhosePropertyIsGoneOrOfAnotherKind)
{
    Load([&] {
        lang->SetOtherStrings({L("Label1.NoSuchText|a|b|"), L("Label1.Font|a|b|"),
                               L("Edit1.PlaceholderText|Enter code|" + Cp("Введите") + "|")});
        lang->SetMultiLines({L("Label1.Caption|a|b|"), L("Combo.Items|Red,Green|R,G|")});
        lang->SetCollections({L("Coll.NoSuchItems[0].Title|a|b|"),
                              L("Coll.Items[0].Title|First|" + Cp("Первый") + "|")});
    });
    lang->CollectValues();
    const struct
    {
        int kind;
        const char* key;
        bool kept;
    } cases[] = {
        {stOtherStrings, "Label1.NoSuchText", false},
        {stOtherStrings, "Label1.Font", false},
        {stOtherStrings, "Edit1.PlaceholderText", true},
        {stMultiLines, "Label1.Caption", false},
        {stMultiLines, "Combo.Items", true},
        {stCollections, "Coll.NoSuchItems[0].Title", false},
        {stCollections, "Coll.Items[0].Title", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HasKey(*lang->GetStringsByIndex(c.kind), c.key), c.kept) << c.key;
    EXPECT_TRUE(
        Has(lang->OtherStrings(), L("Edit1.PlaceholderText|Enter code|" + Cp("Введите") + "|")));
}

TEST_F(Design, AutoSkipEmptiesDropsEmptyLinesAndCollectsNoEmptyText)
{
    for (const bool skip : {true, false}) {
        SCOPED_TRACE(skip ? "on" : "off");
        SetUp();
        auto* blank = new QLabel(form.get());
        blank->setObjectName("Blank");
        Load([&] {
            lang->SetCaptions({L("Button1|||"), L("Label1|Name|" + Cp("Имя") + "|")});
            lang->SetAutoSkipEmpties(skip);
        });
        lang->SetActiveLanguage(2);
        EXPECT_EQ(HasKey(lang->Captions(), "Button1"), !skip);
        EXPECT_EQ(form->label->text(), "Имя");
        lang->CollectValues();
        EXPECT_EQ(HasKey(lang->Captions(), "Blank"), !skip);
    }
}

// Switching it on collects at once.
TEST_F(Design, AutoSkipEmptiesSwitchedOnCollects)
{
    lang->SetAutoSkipEmpties(true);
    EXPECT_TRUE(HasKey(lang->Captions(), "Label1"));
    EXPECT_FALSE(HasKey(lang->Captions(), "Edit1"));
}

TEST_F(Design, ItemPropertiesFollowTheExclusions)
{
    auto* grid = new TGrid;
    grid->setParent(form.get());
    grid->setObjectName("Grid");
    grid->columns.column.SetTitle("Amount");
    grid->columns.column.SetFieldName("AMT");
    grid->columns.column.SetDisplayFormat("0.00");

    lang->CollectValues();
    EXPECT_TRUE(Has(lang->Collections(), L("Grid.Columns[0].Title|Amount||")));
    EXPECT_FALSE(HasKey(lang->Collections(), "Grid.Columns[0].FieldName"));
    EXPECT_FALSE(HasKey(lang->Collections(), "Grid.Columns[0].DisplayFormat"));

    // Lines that a file brought are not applied, and collecting drops them.
    lang->SetCollections({L("Grid.Columns[0].Title|Amount|" + Cp("Сумма") + "|"),
                          L("Grid.Columns[0].FieldName|AMT|SUMMA|"),
                          L("Grid.Columns[0].DisplayFormat|0.00|0,00|")});
    lang->SetActiveLanguage(2);
    EXPECT_EQ(grid->columns.column.Title(), "Сумма");
    EXPECT_EQ(grid->columns.column.FieldName(), "AMT");
    EXPECT_EQ(grid->columns.column.DisplayFormat(), "0.00");
    lang->SetSmartExcludeProps({"Grid.Title"}); // collects
    for (const char* key :
         {"Grid.Columns[0].Title", "Grid.Columns[0].FieldName", "Grid.Columns[0].DisplayFormat"})
        EXPECT_FALSE(HasKey(lang->Collections(), key)) << key;
    EXPECT_TRUE(HasKey(lang->Collections(), "Coll.Items[0].Title"));
    lang->SetCollections({L("Grid.Columns[0].Title|Amount|Total|")});
    EXPECT_EQ(grid->columns.column.Title(), "Сумма");
}

// A component's name is never written, whichever list or extended translation names it: a
// renamed component would lose every line it has.
TEST_F(Design, NameIsNeverTranslated)
{
    const struct
    {
        const char* what;
        int kind; // -1: an extended translation
        const char* key;
    } cases[] = {
        {"other strings", stOtherStrings, "Label1.Name"},
        {"object property", stOtherStrings, "Coll.Properties.Name"},
        {"collection item", stCollections, "Coll.Items[0].Name"},
        {"extended", -1, "Label1.Name"},
        {"extended item", -1, "Coll.Items[0].Name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        Load([&] {
            lang->SetCaptions({L("Label1|Name|" + Cp("Имя") + "|")});
            if (c.kind == stOtherStrings)
                lang->SetOtherStrings({L(std::string(c.key) + "|x|Renamed|")});
            else if (c.kind == stCollections)
                lang->SetCollections({L(std::string(c.key) + "|x|Renamed|")});
            else
                lang->SetExtendedTranslations({{c.key, TypeKind::WString, L("x|Renamed|")}});
        });
        lang->SetActiveLanguage(2);
        EXPECT_EQ(form->label->objectName(), "Label1");
        EXPECT_EQ(form->holder->properties.objectName(), "");
        EXPECT_EQ(form->holder->collection.Item(0)->objectName(), "");
        EXPECT_EQ(form->label->text(), "Имя");
        lang->SetActiveLanguage(1);
        EXPECT_EQ(form->label->text(), "Name");
    }
}

// A property whose text the code page cannot hold keeps its stored translations, whichever
// setter collects.
TEST_F(Design, ExtendedTranslationsKeepTextsThatTheCodePageCannotHold)
{
    const struct
    {
        const char* what;
        std::function<void(TvxLang&)> set;
    } cases[] = {
        {"ExcludedProperties", [](TvxLang& l) { l.SetExcludedProperties({"HelpKeyword"}); }},
        {"SmartExcludeProps", [](TvxLang& l) { l.SetSmartExcludeProps({"Edit1.Hint"}); }},
        {"StringsTypes", [](TvxLang& l) { l.SetStringsTypes({"TSTRINGLIST"}); }},
        {"AutoSkipEmpties", [](TvxLang& l) { l.SetAutoSkipEmpties(true); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        auto* greek = new QLabel(QString::fromUtf8("Ω"), form.get());
        greek->setObjectName("Greek");
        lang->SetExtendedTranslations(
            {{"Greek.Caption", TypeKind::WString, L("Omega|" + Cp("Омега") + "|")},
             {"Label1.Caption", TypeKind::WString, L("Old|" + Cp("Имя") + "|")}});
        c.set(*lang);
        ASSERT_EQ(lang->ExtendedTranslations().size(), 2u);
        EXPECT_EQ(lang->ExtendedTranslations()[0].Values, L("Omega|" + Cp("Омега") + "|"));
        // A text that converts is taken up as the active language's.
        EXPECT_EQ(lang->ExtendedTranslations()[1].Values, L("Name|" + Cp("Имя") + "|"));
    }
}

TEST_F(Design, OwnerFontAndCharacterSetAreAppliedAndCollected)
{
    Load([&] {
        lang->SetFonts({L("TFormTest|Arial|Courier|")});
        lang->SetCharSets({L("TFormTest|DEFAULT_CHARSET|RUSSIAN_CHARSET|")});
    });
    lang->SetActiveLanguage(2);
    EXPECT_EQ(form->font().family(), "Courier");
    EXPECT_EQ(form->property("vxCharset").toInt(), 204);
    lang->SetActiveLanguage(1);
    EXPECT_EQ(form->font().family(), "Arial");
    EXPECT_EQ(form->property("vxCharset").toInt(), 1);

    test::TFormTest other;
    QFont font = other.font();
    font.setFamily("Verdana");
    other.setFont(font);
    TvxLang collected(&other);
    collected.SetLangNames({"English", "Russian"});
    collected.CollectValues();
    ASSERT_FALSE(collected.Fonts().empty());
    EXPECT_EQ(collected.Fonts()[0], L("TFormTest|Verdana||"));
    ASSERT_FALSE(collected.CharSets().empty());
    EXPECT_EQ(collected.CharSets()[0], L("TFormTest|DEFAULT_CHARSET||"));
    collected.SetSmartExcludeProps({"TFormTest.Charset"});
    EXPECT_FALSE(HasKey(collected.CharSets(), "TFormTest"));
    EXPECT_TRUE(HasKey(collected.Fonts(), "TFormTest"));
}

// The extended translations run after the lists unless TranslateExtendedFirst, and not at all
// when only one list was assigned.
TEST_F(Design, ExtendedTranslationsRunAfterTheListsOnlyForAWholeLanguage)
{
    for (const bool first : {false, true}) {
        SCOPED_TRACE(first ? "extended first" : "extended last");
        SetUp();
        Load([&] {
            lang->SetCaptions({L("Label1|Name|" + Cp("Имя") + "|")});
            lang->SetExtendedTranslations(
                {{"Label1.Caption", TypeKind::WString, L("Ext1|Ext2|")},
                 {"Edit1.PlaceholderText", TypeKind::WString, L("Enter|" + Cp("Введите") + "|")}});
            lang->SetTranslateExtendedFirst(first);
        });
        lang->SetActiveLanguage(2);
        EXPECT_EQ(form->label->text(), first ? "Имя" : "Ext2");
        EXPECT_EQ(form->edit->placeholderText(), "Введите");
        form->label->setText("manual");
        lang->SetHints({L("Button1|Press|" + Cp("Нажмите") + "|")});
        EXPECT_EQ(form->button->toolTip(), "Нажмите");
        EXPECT_EQ(form->label->text(), "manual");
    }
}

TEST_F(Design, DoNotTranslateEntriesRemoveTheirLinesWhileDesigning)
{
    const struct
    {
        const char* entry;
        bool labelKept, buttonKept;
    } cases[] = {
        {"!QLabel", false, true},
        {"!qpushbutton", true, false},
        {"Button1", true, false},
        {"!", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        SetUp();
        Load([&] { lang->SetCaptions({L("Label1|Name|a|"), L("Button1|OK|b|")}); });
        lang->SetDesigning(true);
        lang->SetDoNotTranslate({c.entry});
        EXPECT_EQ(HasKey(lang->Captions(), "Label1"), c.labelKept);
        EXPECT_EQ(HasKey(lang->Captions(), "Button1"), c.buttonKept);
    }
}

TEST_F(Design, ErrorsNameTheValueAndTheRule)
{
    platform::test::TempDir dir;
    const std::string file = dir.File("lang.txt");
    std::ofstream(file, std::ios::binary)
        << "[Language names - for internal use only!]\r\nLanguage_1=English\r\n"
           "[Captions]\r\nTFormTest.Label1=Name\r\n";
    const struct
    {
        const char* what;
        std::function<void()> act;
        std::string message;
    } cases[] = {
        {"resource language", [&] { lang->SetResourceLanguageIndex(3); },
         "3 - is not a valid property value!\rValue must be within [1..2]!"},
        {"active language", [&] { lang->SetActiveLanguage(0); },
         "0 - is not a valid property value!\rValue must be within [1..2]!"},
        {"language", [&] { lang->SetLanguage("Klingon"); },
         "Language name shall be included in LangNames property!"},
        {"file language", [&] { lang->ImportLanguageList(stCaptions, file, "Russian"); },
         "Russian not found in " + file},
        {"string", [&] { lang->GetText("Nobody"); }, "String identifier \"Nobody\" not found!"},
    };
    lang->SetDoRaiseExceptions(true);
    for (const auto& c : cases) {
        try {
            c.act();
            ADD_FAILURE() << c.what << ": no error";
        } catch (const ELanguageError& e) {
            EXPECT_EQ(e.what(), c.message) << c.what;
        }
    }
    EXPECT_EQ(lang->ResourceLanguageIndex(), 1);
    EXPECT_EQ(lang->ActiveLanguage(), 1);
    EXPECT_EQ(lang->Language(), "English");
}

// A merge shows its texts in the window at once.
TEST_F(Design, MergedTextsAreApplied)
{
    platform::test::TempDir dir;
    const std::string file = dir.File("captions.txt");
    {
        test::TFormTest source;
        TvxLang translator(&source);
        translator.SetLangNames({"English", "Russian"});
        translator.SetCaptions(
            {L("Label1|Name|" + Cp("Заголовок") + "|"), L("Button1|OK|" + Cp("Годится") + "|")});
        ASSERT_EQ(translator.SaveListToFile(stCaptions, file, "~!@#"), 2);
    }
    const struct
    {
        const char* what;
        std::function<bool(TvxLang&)> merge;
    } cases[] = {
        {"one list", [&](TvxLang& l) { return l.MergeListFromFile(stCaptions, file); }},
        {"all and apply",
         [&](TvxLang& l) {
             l.MergeAllFromFileAndApply(file); // the file holds one list of the twelve
             return true;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        Load([&] { lang->SetCaptions({L("Label1|Name|" + Cp("Имя") + "|")}); });
        lang->SetActiveLanguage(2);
        EXPECT_EQ(form->label->text(), "Имя");
        EXPECT_TRUE(c.merge(*lang));
        EXPECT_EQ(form->label->text(), "Заголовок");
        EXPECT_EQ(form->button->text(), "Годится");
    }
}

TEST_F(Design, TheChosenCursorIsShownWhileALanguageIsApplied)
{
    const struct
    {
        int chosen;
        int shown; // -1: no cursor of ours
    } cases[] = {
        {-1, -1},
        {Qt::PointingHandCursor, Qt::PointingHandCursor},
        {Qt::BusyCursor, Qt::BusyCursor},
        {999, Qt::WaitCursor}, // names no shape
    };
    for (const auto& c : cases) {
        SetUp();
        lang->SetChangingCursor(c.chosen);
        int seen = -2;
        lang->OnChangeLanguage = [&seen](TvxCustomLang*) {
            const QCursor* cursor = QGuiApplication::overrideCursor();
            seen = cursor == nullptr ? -1 : cursor->shape();
        };
        lang->SetActiveLanguage(2);
        EXPECT_EQ(seen, c.shown) << c.chosen;
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << c.chosen;
    }
}

TEST_F(Design, ExtendedTranslationsAloneGoToAFileAndBack)
{
    platform::test::TempDir dir;
    const std::string file = dir.File("extended.txt");
    std::ofstream(file, std::ios::binary) << "[Captions]\r\nTFormTest.Label1=Name~!@#x\r\n";
    lang->SetExtendedTranslations(
        {{"Edit1.PlaceholderText", TypeKind::WString, L("Enter|" + Cp("Введите") + "|")}});
    lang->SaveExtendedToFile(file, "~!@#");
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("[Captions]"), std::string::npos) << "other sections stay";
    EXPECT_NE(text.find("TFormTest.Edit1.PlaceholderText=Enter~!@#" + Cp("Введите")),
              std::string::npos)
        << text;

    test::TFormTest form2;
    TvxLang back(&form2);
    back.SetLangNames({"English", "Russian"});
    EXPECT_FALSE(back.LoadExtendedFromFile(dir.File("missing.txt"), true));
    EXPECT_TRUE(back.ExtendedTranslations().empty());
    EXPECT_TRUE(back.LoadExtendedFromFile(file, true));
    ASSERT_EQ(back.ExtendedTranslations().size(), 1u);
    EXPECT_EQ(back.ExtendedTranslations()[0].Identifier, "Edit1.PlaceholderText");
    EXPECT_EQ(back.ExtendedTranslations()[0].Values, L("Enter|" + Cp("Введите") + "|"));
}

TEST_F(Design, LanguageNamesAreReadWithoutLoadingTheFile)
{
    RegisterTranslationClasses();
    platform::test::TempDir dir;
    const std::string text = dir.File("names.txt");
    lang->SaveListToFile(stCaptions, text, "~!@#");
    TvxLang source(nullptr);
    source.SetLangNames({Cp("Русский"), "English", "Deutsch"});
    const std::string vxb = dir.File("names.VXB");
    std::ofstream(vxb, std::ios::binary)
        << WriteVxb("", {{"TFormTest", SaveComponentData(source)}});
    std::ofstream(dir.File("bad.vxb"), std::ios::binary) << "not a translation file";

    const struct
    {
        std::string file;
        bool read;
        StringList names;
    } cases[] = {
        {text, true, {"English", "Russian"}},
        {vxb, true, {Cp("Русский"), "English", "Deutsch"}},
        {dir.File("missing.vxb"), false, {"before"}},
        {dir.File("bad.vxb"), false, {"before"}},
    };
    for (const auto& c : cases) {
        StringList names{"before"};
        EXPECT_EQ(lang->ReadLanguageNames(c.file, names), c.read) << c.file;
        EXPECT_EQ(names, c.names) << c.file;
    }
    EXPECT_EQ(lang->LangNames(), (StringList{"English", "Russian"}));
}

} // namespace
} // namespace translation

#include "design_test.moc"
