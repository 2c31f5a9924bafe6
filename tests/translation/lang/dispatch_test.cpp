// The dispatcher switching components together and feeding them from one file, the form
// storage through the registry file, and the test-mode alterations.

#include "platform/registry.h"
#include "tests/platform/temp_dir.h"
#include "tests/translation/lang/line_notation.h"
#include "tests/translation/lang/test_window.h"
#include "translation/lang/vx_dispatch.h"
#include "translation/lang/vxb_file.h"

#include <QCoreApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <fstream>

namespace translation {
namespace {

using test::L;

TEST(Dispatcher, SwitchesItsComponentsTogetherAndFeedsThemFromOneFile)
{
    test::EnsureApplication();
    RegisterTranslationClasses();
    TvxLangDispatcher fresh;
    fresh.SetNumOfLanguages(3);
    EXPECT_EQ(fresh.LangNames(), (StringList{"Language N1", "Language N2", "Language N3"}));
    EXPECT_THROW(fresh.SetLanguage("Klingon"), ELanguageError);

    platform::test::TempDir dir;
    TvxLang source(nullptr);
    source.SetLangNames({"Russian", "English"});
    source.SetStrings({L("Id|Да|Yes|")});
    const std::string file = dir.File("trans.Vxb");
    std::ofstream(file, std::ios::binary)
        << WriteVxb("", {{"TFormTest", SaveComponentData(source)}});

    TvxLangDispatcher dispatcher;
    dispatcher.SetFileName(file);
    int linked = 0;
    dispatcher.OnLinkToDispatcher = [&linked](TvxLangDispatcher*, TvxCustomLang*) { ++linked; };
    test::TFormTest form1, form2;
    auto one = std::make_unique<TvxLang>(&form1);
    TvxLang two(&form2);
    one->SetLangDispatcher(&dispatcher);
    TVXBFileManager* shared = dispatcher.VxbManagerIfAny();
    ASSERT_NE(shared, nullptr);
    two.SetLangDispatcher(&dispatcher);
    two.SetLangDispatcher(&dispatcher); // a second link is ignored
    EXPECT_EQ(dispatcher.VxbManagerIfAny(), shared) << "one manager for every component";
    EXPECT_EQ(dispatcher.Count(), 2);
    EXPECT_EQ(linked, 2);
    EXPECT_EQ(dispatcher.LangNames(), (StringList{"Russian", "English"}));
    EXPECT_EQ(two.GetText("Id"), "Да");

    dispatcher.SetLanguage("English");
    EXPECT_EQ(dispatcher.ActiveLanguage(), 2);
    EXPECT_EQ(one->ActiveLanguage(), 2);
    EXPECT_EQ(two.ActiveLanguage(), 2);
    EXPECT_EQ(one->GetText("Id"), "Yes");
    one.reset(); // a component that goes leaves the dispatcher
    EXPECT_EQ(dispatcher.Count(), 1);
    dispatcher.SetActiveLanguage(1);
    EXPECT_EQ(two.GetText("Id"), "Да");
}

using test::Cp;

// Three windows whose components follow one dispatcher.
struct Windows
{
    explicit Windows(TvxLangDispatcher& d)
    {
        for (int i = 0; i < 3; ++i) {
            forms[i] = std::make_unique<test::TFormTest>();
            langs[i] = new TvxLang(forms[i].get());
            langs[i]->SetCaptions({L("Label1|Name|" + Cp("Имя") + "|")});
            langs[i]->SetLangDispatcher(&d);
        }
    }
    std::unique_ptr<test::TFormTest> forms[3];
    TvxLang* langs[3] = {};
};

TEST(Dispatcher, RefusesALanguageOutsideItsRangeAndStaysAsItWas)
{
    test::EnsureApplication();
    TvxLangDispatcher bare;
    EXPECT_THROW(bare.SetActiveLanguage(0), ELanguageError);
    bare.SetLangNames({"A"}); // read the active language's name
    EXPECT_EQ(bare.Language(), "A");

    TvxLangDispatcher d;
    d.SetLangNames({"English", "Russian"});
    Windows w(d);
    for (int n : {0, -1, 3}) {
        try {
            d.SetActiveLanguage(n);
            ADD_FAILURE() << n << " taken";
        } catch (const ELanguageError& e) {
            EXPECT_EQ(e.what(), std::to_string(n) +
                                    " - is not a valid property value!\rValue must be within "
                                    "[1..2]!");
        }
        EXPECT_EQ(d.ActiveLanguage(), 1) << n;
        EXPECT_EQ(d.Language(), "English") << n;
        EXPECT_EQ(w.langs[0]->ActiveLanguage(), 1) << n;
    }
    d.SetLangNames({"English", "Russian"});
    d.SetLanguage("russian"); // names without regard to letter case
    EXPECT_EQ(d.ActiveLanguage(), 2);
    for (TvxLang* lang : w.langs)
        EXPECT_EQ(lang->ActiveLanguage(), 2);
}

// A change handler may delete a window or move a component while the dispatcher switches them:
// the others are switched all the same, and the gone ones are not touched.
TEST(Dispatcher, HandlersThatDeleteWindowsOrLeaveDoNotBreakTheSwitch)
{
    test::EnsureApplication();
    const struct
    {
        const char* what;
        std::function<void(Windows&, TvxLangDispatcher& other)> handler; // of the first window
        int linked;                                                      // afterwards
        bool secondSwitched;
    } cases[] = {
        {"deletes the last window", [](Windows& w, TvxLangDispatcher&) { w.forms[2].reset(); }, 2,
         true},
        {"leaves", [](Windows& w, TvxLangDispatcher&) { w.langs[0]->SetLangDispatcher(nullptr); },
         2, true},
        {"moves the second away",
         [](Windows& w, TvxLangDispatcher& other) { w.langs[1]->SetLangDispatcher(&other); }, 2,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TvxLangDispatcher d, other;
        d.SetLangNames({"English", "Russian"});
        other.SetLangNames({"English", "Russian"});
        Windows w(d);
        bool once = false;
        w.langs[0]->OnChangeLanguage = [&](TvxCustomLang*) {
            if (!once) {
                once = true;
                c.handler(w, other);
            }
        };
        d.SetActiveLanguage(2);
        EXPECT_EQ(d.Count(), c.linked);
        EXPECT_EQ(w.forms[1]->label->text(), c.secondSwitched ? "Имя" : "Name");
        if (w.forms[2]) {
            EXPECT_EQ(w.forms[2]->label->text(), "Имя");
        }
        for (int i = 0; i < d.Count(); ++i)
            EXPECT_EQ(d.Component(i)->ActiveLanguage(), 2);
    }
}

TEST(Dispatcher, LanguageCountAndDefaultsReachEveryComponent)
{
    test::EnsureApplication();
    TvxLangDispatcher d;
    d.SetLangNames({"English", "Russian"});
    Windows w(d);
    d.SetNumOfLanguages(3);
    d.SetDefaultLanguage(3);
    d.SetUseDefaultLanguage(true);
    for (TvxLang* lang : w.langs) {
        EXPECT_EQ(lang->NumOfLanguages(), 3);
        EXPECT_EQ(lang->LangNames().back(), "Language N3");
        EXPECT_EQ(lang->DefaultLanguage(), 3);
        EXPECT_TRUE(lang->UseDefaultLanguage());
    }
    d.SetUseDefaultLanguage(false);
    for (TvxLang* lang : w.langs)
        EXPECT_FALSE(lang->UseDefaultLanguage());
}

// Read from form data, a component takes the dispatcher's counts at once and registers when
// its own data is in; Qt's texts are redirected from then on too.
TEST(Dispatcher, AComponentReadFromFormDataRegistersWhenLoaded)
{
    test::EnsureApplication();
    TvxLangDispatcher d;
    d.SetLangNames({"English", "Russian", "Deutsch"});
    d.SetDefaultLanguage(2);
    d.SetUseDefaultLanguage(true);
    d.SetActiveLanguage(3);
    test::TFormTest form;
    TvxLang lang(&form);
    lang.BeginLoading();
    lang.SetLangDispatcher(&d);
    EXPECT_EQ(d.Count(), 0);
    EXPECT_EQ(lang.NumOfLanguages(), 3);
    EXPECT_EQ(lang.DefaultLanguage(), 2);
    EXPECT_TRUE(lang.UseDefaultLanguage());
    lang.SetCaptions({L("Label1|Name|" + Cp("Имя") + "||")});
    lang.SetStrings({L("Id1|&Yes|" + Cp("&Да") + "|&Ja|")});
    lang.SetHandleResourceStrings(true);
    lang.EndLoading();
    EXPECT_EQ(d.Count(), 1);
    EXPECT_EQ(lang.ActiveLanguage(), 3);
    EXPECT_EQ(form.label->text(), "Имя"); // the default language fills the gap
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), "&Ja");
    lang.SetHandleResourceStrings(false);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), "&Yes");
}

// Under the options a component's strings, dialog captions and locales come from the
// dispatcher's other components.
TEST(Dispatcher, CommonStringsComeFromTheOtherComponents)
{
    test::EnsureApplication();
    TvxLangDispatcher d;
    d.SetLangNames({"English", "Russian"});
    test::TFormTest formA, formB;
    TvxLang common(&formA);
    common.SetStrings({L("Id|Yes|" + Cp("Да") + "|")});
    common.SetDlgsCaptions({L("Warning|Warning|" + Cp("Внимание") + "|")});
    common.SetLangDispatcher(&d);
    TvxLang user(&formB);
    user.BeginLoading();
    user.SetLangNames({"English", "Russian"});
    user.SetOptions(loUseExtCommonStrings | loUseExtUDStrings);
    user.SetStrings({L("Id|own|" + Cp("своё") + "|")});
    user.EndLoading();
    EXPECT_EQ(user.GetText("Id"), "") << "no dispatcher: no text";
    EXPECT_EQ(user.GetTextFromList(stDlgsCaptions, "Warning", false), "");
    user.SetLangDispatcher(&d);
    d.SetActiveLanguage(2);
    EXPECT_EQ(user.GetText("Id"), Cp("Да"));
    EXPECT_EQ(user.GetTextFromList(stDlgsCaptions, "Warning", false), Cp("Внимание"));
    EXPECT_EQ(user.GetListText(stDlgsCaptions, 0, false), Cp("Внимание"));
    EXPECT_EQ(common.GetText("Id"), Cp("Да"));
}

// A window without character sets of its own takes those of another window's component.
TEST(Dispatcher, AWindowWithoutCharacterSetsTakesAnothersSet)
{
    test::EnsureApplication();
    TvxLangDispatcher d;
    d.SetLangNames({"English", "Greek"});
    test::TFormTest formA, formB;
    TvxLang holder(&formA);
    holder.SetCharSets({L("TFormTest|DEFAULT_CHARSET|GREEK_CHARSET|")});
    holder.SetLangDispatcher(&d);
    TvxLang lang(&formB);
    lang.SetCaptions({L("Label1|Name|\xCC\xE5\xED\xFC|")}); // in Windows-1253
    lang.SetLangDispatcher(&d);
    d.SetActiveLanguage(2);
    EXPECT_EQ(lang.CurrentCharset(), 161);
    EXPECT_EQ(formB.label->text(), "Μενό");
}

TEST(FormStorage, RefusesRootsTheRegistryFileDoesNotKeep)
{
    test::EnsureApplication();
    platform::test::TempDir dir;
    platform::RegistryFile registry(dir.File("registry.reg"));
    QWidget form;
    TvxFormStorage storage(&form, &registry);
    storage.SubKey = "Software\\Vendaxo\\Roots";
    for (TMyHKeyType root :
         {vxHKEY_CLASSES_ROOT, vxHKEY_USERS, vxHKEY_CURRENT_CONFIG, vxHKEY_DYN_DATA}) {
        EXPECT_THROW(storage.SetRegRootKey(root), ELanguageError) << root;
        EXPECT_EQ(storage.RegRootKey(), vxHKEY_CURRENT_USER);
    }
    storage.SetRegRootKey(vxHKEY_LOCAL_MACHINE);
    storage.Save();
    storage.Active = false;
    EXPECT_EQ(registry.ReadString(platform::Hive::LocalMachine, storage.SubKey, "State"), "Normal");
    EXPECT_EQ(registry.ReadString(platform::Hive::CurrentUser, storage.SubKey, "State"),
              std::nullopt);
}

TEST(FormStorage, StateAndBoundsRoundTripThroughTheRegistryFile)
{
    test::EnsureApplication();
    platform::test::TempDir dir;
    platform::RegistryFile registry(dir.File("registry.reg"));
    const std::string key = "Software\\Vendaxo\\Form";
    {
        QWidget form;
        form.setGeometry(40, 50, 300, 200);
        TvxFormStorage storage(&form, &registry);
        storage.SubKey = key;
    } // saved as the storage goes
    EXPECT_EQ(registry.ReadString(platform::Hive::CurrentUser, key, "State"), "Normal");
    EXPECT_EQ(registry.ReadDword(platform::Hive::CurrentUser, key, "Width"), 300);

    const struct
    {
        const char* state;
        Qt::WindowStates expected;
    } cases[] = {
        {"Normal", Qt::WindowNoState},
        {"Maximized", Qt::WindowMaximized},
        {"Minimized", Qt::WindowMinimized},
        {"Mi", Qt::WindowNoState}, // short or unknown: the state stays
        {"x", Qt::WindowNoState},
    };
    for (const auto& c : cases) {
        registry.WriteString(platform::Hive::CurrentUser, key, "State", c.state);
        QWidget form;
        form.setGeometry(0, 0, 100, 100);
        TvxFormStorage storage(&form, &registry);
        storage.Active = false; // no save on the way out
        storage.SubKey = key;
        storage.Active = true;
        storage.Restore();
        storage.Active = false;
        EXPECT_EQ(form.windowState(), c.expected) << c.state;
        EXPECT_EQ(form.geometry().size(), QSize(300, 200)) << c.state;
    }
    // Bounds off every screen land on the primary screen.
    registry.WriteString(platform::Hive::CurrentUser, key, "State", "Normal");
    registry.WriteDword(platform::Hive::CurrentUser, key, "Left", 100000);
    QWidget form;
    TvxFormStorage storage(&form, &registry);
    storage.SubKey = key;
    storage.Restore();
    storage.Active = false;
    EXPECT_LT(form.geometry().left(), 10000);
}

TEST(TestMode, AlterationsAndPaddingThatAddsNoWidth)
{
    test::EnsureApplication();
    auto chars = [](std::string_view t) { return static_cast<int>(t.size()); };
    auto noStars = [](std::string_view t) {
        return static_cast<int>(std::count_if(t.begin(), t.end(), [](char c) { return c != '*'; }));
    };
    const struct
    {
        TTestModeKind kind;
        const char* text;
        std::function<int(std::string_view)> width;
        const char* expected;
    } cases[] = {
        {tmkFlipCase, "Open File", chars, "oPEN fILE"},
        {tmkExpandWidth, "abcd", chars, "*AB*CD**"}, // from the end, two left each time
        {tmkExpandWidth, "abcd", noStars, "ABCD*"},  // stops: the padding adds no width
        {tmkExpandWidth, "", chars, ""},
    };
    for (const auto& c : cases) {
        TTestModeInfo info;
        info.Kind = c.kind;
        EXPECT_EQ(info.Transform(c.text, c.width), c.expected) << c.text;
    }
    TTestModeInfo screen; // Tahoma 8 on the screen: wider than before, and it ends
    EXPECT_GT(screen.Transform("Configuration").size(), std::string("Configuration").size());
}

// While the dispatcher's test mode is on, a missing translation shows as the altered text of
// language 1 wherever a component applies or looks up a text; an existing translation, a font
// name and language 1 itself stay as they are.
TEST(TestMode, MarksMissingTextsOfTheComponentsThatFollowTheDispatcher)
{
    test::EnsureApplication();
    RegisterTranslationClasses();
    const struct
    {
        const char* what;
        bool active;
        TTestModeKind kind;
        int language;
        const char* label;       // applied list line, missing in language 2
        const char* text;        // GetText of a string, missing in language 2
        const char* dialog;      // a dialog caption looked up by key, missing in language 2
        const char* placeholder; // extended translation, missing in language 2
        const char* qtText;      // Qt's own text through the resource strings
    } cases[] = {
        {"off", false, tmkFlipCase, 2, "Name", "", "", "Enter code", "&No"},
        {"flip case", true, tmkFlipCase, 2, "nAME", "sAVE", "wARNING", "tYPE CODE", "&nO"},
        {"expand chars", true, tmkExpandChars, 2, "N*a*m*e*", "S*a*v*e*", "W*a*r*n*i*n*g*",
         "T*y*p*e* *c*o*d*e*", "&*N*o*"},
        {"language 1", true, tmkFlipCase, 1, "Name", "Save", "Warning", "Enter code", "&No"},
    };
    for (const auto& c : cases) {
        TvxLangDispatcher dispatcher;
        dispatcher.SetLangNames({"English", "Russian"});
        dispatcher.TestMode().Active = c.active;
        dispatcher.TestMode().Kind = c.kind;
        test::TFormTest form;
        const QString family = form.label->font().family();
        TvxLang lang(&form);
        lang.SetCaptions({L("Label1|Name||"), L("Button1|OK|Okay|")});
        lang.SetFonts({L("Label1|Arial||")});
        lang.SetStrings({L("Save|Save||"), L("QtNo|&No||")});
        lang.SetDlgsCaptions({L("Warn|Warning||")});
        lang.SetExtendedTranslations(
            {{"Edit1.PlaceholderText", TypeKind::WString, L("Type code||")}});
        lang.SetHandleResourceStrings(true);
        lang.SetLangDispatcher(&dispatcher);
        dispatcher.SetActiveLanguage(c.language);

        EXPECT_EQ(form.label->text().toStdString(), c.label) << c.what;
        EXPECT_EQ(form.button->text().toStdString(), c.language == 2 ? "Okay" : "OK") << c.what;
        EXPECT_EQ(form.label->font().family(), family) << c.what << ": font names are not marked";
        EXPECT_EQ(lang.GetText("Save"), c.text) << c.what;
        EXPECT_EQ(lang.GetTextFromList(stDlgsCaptions, "Warn", false), c.dialog) << c.what;
        EXPECT_EQ(form.edit->placeholderText().toStdString(), c.placeholder) << c.what;
        EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&No").toStdString(), c.qtText)
            << c.what;
        lang.SetHandleResourceStrings(false);
    }
}

} // namespace
} // namespace translation

namespace translation {
namespace {

// A linked component takes the container's dialog captions and locales in its own delimiter;
// the container going clears the link.
TEST(LinkedComponent, TakesTheContainersDialogsInItsOwnDelimiter)
{
    test::EnsureApplication();
    test::TFormTest common, form;
    auto container = std::make_unique<TvxLang>(&common);
    container->SetLangNames({"Russian", "English"});
    container->SetDlgsCaptions({"Warning~Warn~Achtung~"});
    container->SetLangDelim('~');
    TvxLangLinked linked(&form);
    linked.SetCommonContainer(&linked); // itself: ignored
    EXPECT_EQ(linked.CommonContainer(), nullptr);
    linked.SetCommonContainer(container.get());
    ASSERT_FALSE(linked.ListLines(stDlgsCaptions).empty());
    EXPECT_EQ(linked.ListLines(stDlgsCaptions)[0], L("Warning|Warn|Achtung|"));
    container.reset();
    EXPECT_EQ(linked.CommonContainer(), nullptr);
}

} // namespace
} // namespace translation
