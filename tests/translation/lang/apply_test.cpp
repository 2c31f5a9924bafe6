// Applying a language to a window of real widgets, collecting it back, and property paths.

#include "platform/text1251.h"
#include "tests/translation/lang/line_notation.h"
#include "tests/translation/lang/test_window.h"
#include "translation/lang/vx_comp.h"

#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

#include <map>

namespace translation {
namespace {

// A button of the application's own that takes its caption from an action, and one that
// declares properties but no action.
class TActionButton : public QPushButton
{
    Q_OBJECT
    Q_PROPERTY(QObject* Action READ Action WRITE SetAction)

public:
    QObject* Action() const { return action_; }
    void SetAction(QObject* a) { action_ = a; }

private:
    QObject* action_ = nullptr;
};

class TPlainButton : public QPushButton
{
    Q_OBJECT
    Q_PROPERTY(QString Note READ Note WRITE SetNote)

public:
    QString Note() const { return note_; }
    void SetNote(const QString& n) { note_ = n; }

private:
    QString note_;
};

using test::Cp;
using test::D;
using test::L;

// Every text the adaptor offers, and the edit's content, by component and property.
std::map<std::string, QString> Texts(test::TFormTest& form)
{
    std::map<std::string, QString> out;
    std::vector<QObject*> objects{&form};
    const ComponentIndex index(&form);
    for (QObject* o : index.All())
        if (qobject_cast<TvxCustomLang*>(o) == nullptr)
            objects.push_back(o);
    for (QObject* o : objects) {
        const RttiObject object = RttiObject::Of(o);
        for (const PropInfo& p : rtti::Properties(object, kStringKinds))
            out[o->objectName().toStdString() + "." + p.name.toStdString()] =
                rtti::ReadText(object, p).value_or("?");
    }
    out["Edit1.text"] = form.edit->text();
    out["Combo.items"] =
        rtti::StringsGet(RttiObject{RttiObject::Type::Strings, form.combo, {}}).join(",");
    out["Combo.current"] = QString::number(form.combo->currentIndex());
    for (int i = 0; i < form.holder->collection.Count(); ++i)
        out["Coll.Items" + std::to_string(i)] =
            static_cast<test::TTestItem*>(form.holder->collection.Item(i))->Title();
    out["Coll.Lines0"] =
        static_cast<test::TTestItem*>(form.holder->collection.Item(0))->Lines().join("/");
    out["Tabs.tab"] = form.tabs->tabText(0);
    out["ToolButton1.text"] = form.toolButton->text();
    return out;
}

class Window : public ::testing::Test
{
protected:
    void SetUp() override
    {
        test::EnsureApplication();
        form = std::make_unique<test::TFormTest>();
        lang = new TvxLang(form.get());
        lang->setObjectName("vxLang");
        lang->BeginLoading();
        lang->SetLangNames({"English", "Russian"});
        lang->SetCaptions({
            L("TFormTest|Test window|" + Cp("Тестовое окно") + "|"),
            L("Label1|Name|" + Cp("Имя") + "|"),
            L("Button1|OK|" + Cp("Да") + "|"),
            L("ToolButton1|Open|" + Cp("Открыть") + "|"),
            L("ActOpen|Open|" + Cp("Открыть") + "|"),
            L("PageMain|Main|" + Cp("Главная") + "|"),
            L("Gone|Old|" + Cp("Старый") + "|"),
        });
        lang->SetHints({L("Button1|Press|" + Cp("Нажмите") + "|"),
                        L("Label1|label hint|" + Cp("подсказка") + "|")});
        lang->SetSmartExcludeProps({"Label1.Hint"});
        lang->SetMultiLines({L("Combo.Items|Red,Green|" + Cp("Красный,Зелёный") + "|"),
                             L("Coll.Properties.Choices|x,y|" + Cp("икс,игрек") + "|")});
        lang->SetOtherStrings({L("Edit1.PlaceholderText|Enter code|" + Cp("Введите код") + "|"),
                               L("Edit1.Text|typed by operator|" + Cp("чужое") + "|"),
                               L("Edit1.StyleSheet|x|color: red|"),
                               L("Coll.Properties.Prompt|Choose|" + Cp("Выберите") + "|")});
        lang->SetCollections({L("Coll.Items[0].Title|First|" + Cp("Первый") + "|"),
                              L("Coll.Items[0].Lines|a\r\nb|" + Cp("а\r\nб") + "|"),
                              L("Coll.Items[5].Title|Fifth|" + Cp("Пятый") + "|"),
                              L("Coll.Items[x].Title|Bad|" + Cp("Плохо") + "|"),
                              L("Coll.Items[-1].Title|Neg|" + Cp("Минус") + "|")});
        lang->EndLoading();
        lang->OnChangeLanguage = [this](TvxCustomLang*) { ++applied; };
    }
    std::unique_ptr<test::TFormTest> form;
    TvxLang* lang = nullptr;
    int applied = 0;
};

TEST_F(Window, SecondLanguageChangesExactlyTheTranslatedTextsAndTheFirstRestoresThem)
{
    const std::map<std::string, QString> english = Texts(*form);
    lang->SetActiveLanguage(2);
    EXPECT_EQ(applied, 1);
    const std::map<std::string, QString> russian = Texts(*form);
    std::map<std::string, QString> changed;
    for (const auto& [key, value] : russian)
        if (english.at(key) != value)
            changed[key] = value;
    const std::map<std::string, QString> expected = {
        {"FormTest.Caption", "Тестовое окно"},
        {"Label1.Caption", "Имя"},
        {"Button1.Caption", "Да"},
        {"Button1.Hint", "Нажмите"},
        {"ActOpen.Caption", "Открыть"},
        // The action's tooltip and the bound button follow the action, not a line.
        {"ActOpen.Hint", "Открыть"},
        {"ToolButton1.Caption", "Открыть"},
        {"ToolButton1.Hint", "Открыть"},
        {"ToolButton1.text", "Открыть"},
        {"PageMain.Caption", "Главная"},
        {"Tabs.tab", "Главная"},
        {"Combo.items", "Красный,Зелёный"},
        {"Edit1.PlaceholderText", "Введите код"},
        {"Coll.Items0", "Первый"},
        {"Coll.Lines0", "а/б"},
    };
    EXPECT_EQ(changed, expected);
    EXPECT_EQ(form->combo->currentIndex(), 1);
    EXPECT_EQ(form->holder->properties.Prompt(), "Выберите");
    EXPECT_EQ(form->holder->properties.Choices(), (QStringList{"икс", "игрек"}));
    EXPECT_EQ(form->styleSheet(), "");

    // The bound button's line is gone; vanished components and items, and keys whose index is
    // no number, went to the scratch list.
    for (const std::string& line : lang->Captions())
        EXPECT_NE(line.rfind("ToolButton1", 0), 0u);
    ASSERT_NE(lang->Scratch(), nullptr);
    EXPECT_EQ(*lang->Scratch(), (StringList{L("Gone|Old|" + Cp("Старый") + "|"),
                                            L("Coll.Items[5].Title|Fifth|" + Cp("Пятый") + "|"),
                                            L("Coll.Items[x].Title|Bad|" + Cp("Плохо") + "|"),
                                            L("Coll.Items[-1].Title|Neg|" + Cp("Минус") + "|")}));
    EXPECT_EQ(lang->Language(), "Russian");

    lang->SetActiveLanguage(2);
    EXPECT_EQ(applied, 1); // the same language applies nothing
    lang->SetActiveLanguage(1);
    std::map<std::string, QString> restored = Texts(*form);
    EXPECT_EQ(restored, english);
    EXPECT_EQ(form->holder->properties.Prompt(), "Choose");
}

TEST_F(Window, HostileLinesNeitherRecurseNorStopTheWalk)
{
    lang->SetOtherStrings({
        L("vxLang.Language|English|Russian|"),
        L("vxLang.ActiveLanguage|1|2|"),
        L("Edit1.PlaceholderText|Enter code|" + Cp("Введите код") + "|"),
    });
    lang->SetMultiLines({L("vxLang.LangNames|a,b|c|"), L("Combo.Items|Red,Green|R,G|")});
    std::string deep = "Coll.Items[0]";
    for (int i = 0; i < 5000; ++i)
        deep += ".Items[0]";
    lang->SetCollections({L(deep + ".Title|x|y|"), L("Coll.Items[99999999999999999999].Title|x|y|"),
                          L("Coll.Items[0].Title|First|" + Cp("Первый") + "|")});
    lang->SetExtendedTranslations({{deep + ".Title", TypeKind::WString, L("x|y|")},
                                   {"vxLang.Language", TypeKind::WString, L("English|Russian|")},
                                   {"Coll.Items[-1].Title", TypeKind::WString, L("x|y|")}});
    applied = 0;
    lang->SetActiveLanguage(2);
    EXPECT_EQ(applied, 1);
    EXPECT_EQ(lang->ActiveLanguage(), 2);
    EXPECT_EQ(lang->LangNames(), (StringList{"English", "Russian"}));
    EXPECT_EQ(form->edit->placeholderText(), "Введите код");
    EXPECT_EQ(form->combo->itemText(0), "R");
    EXPECT_EQ(static_cast<test::TTestItem*>(form->holder->collection.Item(0))->Title(), "Первый");
    EXPECT_FALSE(lang->ResolvePropertyPath(deep + ".Title"));
}

TEST_F(Window, PropertyPathsReachComponentsOwnerAndCollectionItems)
{
    auto* item1 = static_cast<test::TTestItem*>(form->holder->collection.Item(1));
    struct Case
    {
        const char* path;
        QObject* expected;
    } cases[] = {
        {"Label1.Caption", form->label},   {"label1.caption", form->label},
        {"TFormTest.Caption", form.get()}, {"Coll.Items[1].Title", item1},
        {"Coll.Items[2].Title", nullptr},  {"Coll.Items[-1].Title", nullptr},
        {"Coll.Items[a].Title", nullptr},  {"Coll.Items[].Title", nullptr},
        {"Nobody.Caption", nullptr},       {"Label1", nullptr},
        {"vxLang.Language", nullptr}, // never the component itself
    };
    for (const Case& c : cases)
        EXPECT_EQ(lang->ResolvePropertyPath(c.path).object.data(), c.expected) << c.path;

    lang->SetPropertyText("Coll.Items[1].Serial", "9007199254740993"); // needs all 64 bits
    EXPECT_EQ(item1->Serial(), 9007199254740993LL);
    EXPECT_EQ(lang->GetPropertyText("Coll.Items[1].Serial"), "9007199254740993");
    lang->SetPropertyText("Coll.Items[1].Serial", "12x");
    EXPECT_EQ(item1->Serial(), 9007199254740993LL);

    form->combo->addItem("Blue");
    lang->SetPropertyText("Combo.Items", "one,\"two words\"");
    EXPECT_EQ(form->combo->count(), 2);
    EXPECT_EQ(form->combo->itemText(1), "two words");
    EXPECT_EQ(lang->GetPropertyText("Combo.Items"), "one,\"two words\"");
    EXPECT_EQ(lang->GetPropertyText("Label1.Caption"), "Name");
    EXPECT_EQ(lang->GetPropertyText("Label1.ParentFont"), "True");
}

TEST_F(Window, CharacterSetOfTheLanguageConvertsItsTexts)
{
    lang->SetCharSets({L("TFormTest|DEFAULT_CHARSET|GREEK_CHARSET|")});
    lang->SetCaptions({L("Label1|Name|\xCC\xE5\xED\xFC|")}); // in Windows-1253
    lang->SetActiveLanguage(2);
    EXPECT_EQ(lang->CurrentCharset(), 161);
    EXPECT_EQ(form->label->text(), "Μενό");
    lang->SetActiveLanguage(1);
    EXPECT_EQ(lang->CurrentCharset(), 1);
    EXPECT_EQ(form->label->text(), "Name");
}

TEST(ComponentIndex, FindsNamesWithoutLetterCaseAndTheFirstInTheWalkWins)
{
    QObject owner;
    auto named = [](QObject* parent, const QString& name) {
        auto* o = new QObject(parent);
        o->setObjectName(name);
        return o;
    };
    QObject* alpha = named(&owner, "Alpha");
    QObject* nested = named(alpha, "Dup"); // met before the later child of the same name
    QObject* later = named(&owner, "dup");
    named(&owner, "qt_internal");
    named(&owner, "");
    QObject* menu = named(&owner, QString::fromUtf8("Меню"));
    std::vector<QObject*> items;
    for (int i = 0; i < 3000; ++i) // enough names for the table to grow and collide
        items.push_back(named(&owner, "Item" + QString::number(i)));

    const ComponentIndex index(&owner);
    // In this order: names in the order of the walk, then back and forth; the later "dup" is
    // the very next component after the first one found, and still not the one answered.
    const struct
    {
        std::string name;
        QObject* expected;
    } cases[] = {
        {"Alpha", alpha},
        {"aLPHA", alpha},
        {"DUP", nested},
        {"dup", nested},
        {Cp("мЕНЮ"), menu},
        {"item0", items[0]},
        {"ITEM1234", items[1234]},
        {"item1235", items[1235]},
        {"Item7", items[7]},
        {"Item2999", items[2999]},
        {"Item3000", nullptr},
        {"Item", nullptr},
        {"qt_internal", nullptr},
        {"", nullptr},
        {"Alpha.Caption", nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(index.Find(c.name), c.expected) << c.name;

    // Every named component in the order of the walk, both of equal names included.
    const std::vector<QObject*>& all = index.All();
    ASSERT_EQ(all.size(), 3004u);
    EXPECT_EQ(std::vector<QObject*>(all.begin(), all.begin() + 5),
              (std::vector<QObject*>{alpha, nested, later, menu, items[0]}));
    EXPECT_EQ(ComponentIndex(nullptr).Find("Alpha"), nullptr);
}

TEST(ComponentIndex, ControlsBoundToAnActionAreKnownByTheirClass)
{
    test::EnsureApplication();
    QAction action(nullptr);
    QPushButton qtButton;
    QToolButton freeTool, boundTool;
    boundTool.setDefaultAction(&action);
    TActionButton freeOwn, boundOwn;
    boundOwn.SetAction(&action);
    TPlainButton plain;
    const struct
    {
        const char* what;
        const QObject* control;
        bool bound;
    } cases[] = {
        {"Qt's button", &qtButton, false},
        {"tool button alone", &freeTool, false},
        {"tool button with its action", &boundTool, true},
        {"own button alone", &freeOwn, false},
        {"own button with an action", &boundOwn, true},
        {"own button without the property", &plain, false},
        {"none", nullptr, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(rtti::IsActionBound(c.control), c.bound) << c.what;
}

TEST(Apply, FallbacksExclusionsFontsAndLocales)
{
    test::EnsureApplication();
    test::TFormTest form;
    form.button->setFont(QFont("Sans")); // its own font, no longer the parent's
    TvxLang lang(&form);
    lang.setObjectName("vxLang");
    lang.BeginLoading();
    lang.SetLangNames({"One", "Two", "Three"});
    lang.SetCaptions({L("Label1|Name|||"), L("Button1|OK|Two OK||"), L("PageMain|Main||Main 3|")});
    lang.SetFonts({L("Button1|Sans|Courier||"), L("Label1|Sans|Serif||")});
    lang.SetCharSets({L("button1|ANSI_CHARSET|russian_charset||")});
    lang.SetLocales({L("Date Separator|/|.||")});
    lang.EndLoading();
    const char dateSeparator = lang.Formats().dateSeparator;
    form.label->setText("zzz");

    struct Case
    {
        int language;
        int translateType;
        bool useDefault;
        int defaultLanguage;
        StringList doNotTranslate;
        bool changeLocales;
        const char* label;
        const char* button;
        const char* page;
        char dateSeparator;
    } cases[] = {
        {2, ttNoChange, false, 1, {}, false, "zzz", "Two OK", "Main", dateSeparator},
        {3, ttGetDefault, false, 1, {}, false, "Name", "OK", "Main 3", dateSeparator},
        {3, ttNoChange, true, 2, {"Button1"}, true, "zzz", "OK", "Main 3", '.'},
        {2, ttNoChange, true, 3, {}, true, "zzz", "Two OK", "Main 3", '.'},
    };
    for (const Case& c : cases) {
        lang.SetActiveLanguage(1);
        lang.SetTranslateType(c.translateType);
        lang.SetUseDefaultLanguage(c.useDefault);
        lang.SetDefaultLanguage(c.defaultLanguage);
        lang.SetDoNotTranslate(c.doNotTranslate);
        lang.SetChangeLocales(c.changeLocales);
        form.label->setText("zzz");
        lang.SetActiveLanguage(c.language);
        EXPECT_EQ(form.label->text().toStdString(), c.label) << c.language;
        EXPECT_EQ(form.button->text().toStdString(), c.button) << c.language;
        EXPECT_EQ(form.tabs->tabText(0).toStdString(), c.page) << c.language;
        EXPECT_EQ(lang.Formats().dateSeparator, c.dateSeparator) << c.language;
    }
    // A text the code page cannot read is skipped alone.
    lang.SetActiveLanguage(1);
    lang.SetCaptions({L("Label1|Name|bad \x98|"), L("Button1|OK|Two OK|")});
    form.label->setText("kept");
    lang.SetActiveLanguage(2);
    EXPECT_EQ(form.label->text(), "kept");
    EXPECT_EQ(form.button->text(), "Two OK");

    // A font of its own takes the line's name and, ignoring letter case, its character set; a
    // font taken from the parent stays.
    lang.SetDoNotTranslate({});
    lang.SetActiveLanguage(1);
    lang.SetActiveLanguage(2);
    EXPECT_EQ(form.button->font().family(), "Courier");
    EXPECT_EQ(form.button->property("vxCharset").toInt(), 204);
    EXPECT_FALSE(form.label->testAttribute(Qt::WA_SetFont));
}

TEST(Collect, ProducesEveryKeyForm)
{
    test::EnsureApplication();
    test::TFormTest form;
    form.setToolTip("Form hint");
    auto* greek = new QLabel(QString::fromUtf8("Ω"), &form); // not in the language's code page
    greek->setObjectName("Greek");
    TvxLang lang(&form);
    lang.setObjectName("vxLang");
    lang.SetLangNames({"English", "Russian"});
    lang.CollectValues();
    auto has = [](const StringList& list, const std::string& line) {
        return std::find(list.begin(), list.end(), line) != list.end();
    };
    const StringList captions = lang.Captions();
    ASSERT_FALSE(captions.empty());
    EXPECT_EQ(captions[0], L("TFormTest|Test window||"));
    for (const char* line :
         {"Label1|Name||", "Button1|OK||", "ActOpen|Open||", "PageMain|Main||", "MenuFile|File||"})
        EXPECT_TRUE(has(captions, L(line))) << line;
    for (const std::string& line : captions) {
        EXPECT_NE(line.rfind("Greek", 0), 0u); // left out alone
        EXPECT_NE(line.rfind("ToolButton1", 0), 0u);
        EXPECT_NE(line.rfind("vxLang", 0), 0u);
    }
    EXPECT_EQ(lang.Hints()[0], L("TFormTest|Form hint||"));
    EXPECT_TRUE(has(lang.Hints(), L("Button1|Press||")));
    EXPECT_TRUE(has(lang.MultiLines(), L("Combo.Items|Red,Green||")));
    EXPECT_TRUE(has(lang.MultiLines(), L("Coll.Properties.Choices|x,y||")));
    EXPECT_TRUE(has(lang.OtherStrings(), L("Edit1.PlaceholderText|Enter code||")));
    EXPECT_TRUE(has(lang.OtherStrings(), L("Coll.Properties.Prompt|Choose||")));
    for (const std::string& line : lang.OtherStrings())
        EXPECT_EQ(line.find(".Name"), std::string::npos) << line;
    EXPECT_TRUE(has(lang.Collections(), L("Coll.Items[0].Title|First||")));
    EXPECT_TRUE(has(lang.Collections(), L("Coll.Items[1].Title|Second||")));
    EXPECT_TRUE(has(lang.Collections(), L("Coll.Items[0].Lines|a\r\nb\r\n||")));
    for (const StringList& list : {lang.Captions(), lang.OtherStrings(), lang.MultiLines()})
        for (const std::string& line : list)
            EXPECT_EQ(line.find("typed by operator"), std::string::npos) << line;

    // A renamed component takes its old line's translations along.
    StringList c = lang.Captions();
    for (std::string& line : c)
        if (line == L("Label1|Name||"))
            line = L("Label1|Name|" + Cp("Имя") + "|");
    lang.SetCaptions(c);
    form.label->setObjectName("LabelRenamed");
    lang.CollectValues();
    EXPECT_TRUE(has(lang.Captions(), L("LabelRenamed|Name|" + Cp("Имя") + "|")));

    // Excluded and smart-excluded properties lose their lines.
    lang.SetSmartExcludeProps({"Button1.Hint"});
    EXPECT_FALSE(has(lang.Hints(), L("Button1|Press||")));
    lang.SetExcludedProperties({"PlaceholderText"});
    for (const std::string& line : lang.OtherStrings())
        EXPECT_EQ(line.find("PlaceholderText"), std::string::npos);
}

} // namespace
} // namespace translation

#include "apply_test.moc"
