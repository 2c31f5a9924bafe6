// Translation files of many owners: what our writer makes reads back, damaged files change
// nothing, and the fuzz corpus goes through a real component.

#include "tests/translation/lang/line_notation.h"
#include "tests/translation/lang/test_window.h"
#include "translation/lang/text_files.h"
#include "translation/lang/vxb_file.h"

#include <QCoreApplication>
#include <QObject>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace translation {
namespace {

using test::L;

class Vxb : public ::testing::Test
{
protected:
    void SetUp() override
    {
        test::EnsureApplication();
        RegisterTranslationClasses();
        path = (std::filesystem::temp_directory_path() /
                ("vxb_test_" + std::to_string(::getpid()) + ".vxb"))
                   .string();
    }
    void TearDown() override { std::filesystem::remove(path); }
    void Put(const std::string& bytes) const { std::ofstream(path, std::ios::binary) << bytes; }
    // A component of a source owner holding `captions` and two languages.
    static std::string Stream(const StringList& captions, const StringList& names,
                              std::vector<TvxExtendedItem> extended = {})
    {
        TvxLang lang(nullptr); // without an owner nothing is applied or cleaned
        lang.SetLangNames(names);
        lang.SetCaptions(captions);
        lang.SetStrings({L("Id|" + names[0] + "|")});
        lang.SetExtendedTranslations(extended);
        return SaveComponentData(lang);
    }
    std::string path;
};

TEST_F(Vxb, WrittenFileReadsBackTheOwnersFirstEntry)
{
    const StringList names{"Russian", "English"};
    // The owner's line stored third; the owner's entry stored after an entry that differs only
    // in letter case and before a second entry of the same name; streams laid out backwards.
    const std::string mine =
        Stream({L("Button1|Да|Yes|"), L("Label1|Нет|No|"), L("TFormTest|Окно|Window|")}, names,
               {{"Button1.Tag", TypeKind::Integer, L("1|2|")}});
    const std::string other = Stream({L("Other|x|y|")}, {"A", "B"});
    const std::string file =
        WriteVxb("English\r\nRussian",
                 {{"TFORMTEST", other}, {"TFormTest", mine}, {"TFormTest", other}}, {2, 1, 0});
    Put(file);

    test::TFormTest form;
    TvxLang lang(&form);
    lang.LoadFromVXB(path);
    EXPECT_EQ(lang.LangNames(), names);
    EXPECT_EQ(lang.NumOfLanguages(), 2);
    EXPECT_EQ(lang.Captions(),
              (StringList{L("TFormTest|Окно|Window|"), L("Button1|Да|Yes|"), L("Label1|Нет|No|")}));
    ASSERT_EQ(lang.ExtendedTranslations().size(), 1u);
    EXPECT_EQ(lang.ExtendedTranslations()[0].Identifier, "Button1.Tag");
    EXPECT_EQ(lang.ExtendedTranslations()[0].PropertyType, TypeKind::Integer);
    EXPECT_EQ(lang.GetText("Id"), "Russian");

    TVXBFileManager manager;
    QObject other2;
    TvxLang none(&other2);
    manager.ReadVXB(none, "TNobody", file);
    EXPECT_EQ(manager.FixedLanguages(), (StringList{"English", "Russian"}));
    EXPECT_EQ(none.LangNames(), StringList{"Language N1"}) << "no entry: nothing changes";

    // The smallest file: no entries and no fixed languages.
    manager.ReadVXB(none, "TNobody", WriteVxb("", {}));
    EXPECT_TRUE(manager.FixedLanguages().empty());
    EXPECT_EQ(WriteVxb("", {}).size(), 46u);
}

TEST_F(Vxb, ADifferentDelimiterIsConvertedWhileCopying)
{
    TvxLang lang(nullptr);
    lang.SetLangNames({"Russian", "English"});
    lang.SetCaptions({L("Button1|a|b|")});
    lang.SetExtendedTranslations({{"Button1.Tag", TypeKind::Integer, L("1|2|")}});
    lang.SetLangDelim('~');
    Put(WriteVxb("", {{"TFormTest", SaveComponentData(lang)}}));

    test::TFormTest form;
    TvxLang back(&form);
    back.LoadFromVXB(path);
    EXPECT_EQ(back.Captions(), StringList{L("Button1|a|b|")});
    EXPECT_EQ(back.ExtendedTranslations().at(0).Values, L("1|2|"));
}

TEST_F(Vxb, ManagerCopiesAndWritesItsComponents)
{
    TvxLang lang(nullptr);
    lang.SetLangNames({"Russian", "English"});
    lang.SetCaptions({L("Button1|a|b|")});
    TVXBFileManager first;
    first.Hold("TFormTest", lang);
    first.SetFixedLanguages({"Russian", "English", "Russian"});
    TVXBFileManager second;
    second.Hold("TOther", lang);
    first.CopyTo(second);
    EXPECT_EQ(second.OwnerNames(), StringList{"TFormTest"});
    EXPECT_EQ(second.FixedLanguages(), (StringList{"English", "Russian"}));
    EXPECT_EQ(second.Signature().size(), 42u);
    ASSERT_EQ(second.ComponentCount(), 1);
    EXPECT_EQ(second.Component(0).Captions(), lang.Captions());
    EXPECT_EQ(second.WriteVXB(), first.WriteVXB());
}

// Damage anywhere: ELanguageError, and the component and the manager are as they were.
TEST_F(Vxb, DamagedFilesChangeNothing)
{
    const std::string good = Stream({L("TFormTest|a|b|")}, {"Russian", "English"});
    const std::string file = WriteVxb("Russian", {{"TFormTest", good}});
    const std::size_t streamAt = file.size() - good.size();
    auto with = [&file](std::size_t at, std::string bytes) {
        std::string f = file;
        f.replace(at, bytes.size(), bytes);
        return f;
    };
    auto stream = [](StreamComponent c) {
        return WriteVxb("", {{"TFormTest", WriteStreamComponent(c)}});
    };
    auto nested = [] {
        std::string s = "TPF0";
        s += static_cast<char>(7);
        s += "TvxLang";
        s += '\0';
        s += static_cast<char>(4);
        s += "Deep";
        std::string value;
        // A writer would refuse this depth; build the bytes by hand.
        for (int i = 0; i < kMostStreamDepth + 3; ++i)
            value += '\x01';
        for (int i = 0; i < kMostStreamDepth + 3; ++i)
            value += '\0';
        return WriteVxb("", {{"TFormTest", s + value + '\0'}});
    };
    const struct
    {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"signature only, cut", file.substr(0, 41)},
        {"signature without its zero byte", with(41, "x")},
        {"signature text differs", with(0, "vXB")},
        {"entry count beyond the file", with(42, "\xFF\xFF")},
        {"fixed-languages text beyond the file", with(44, "\xFF\xFF")},
        {"name length beyond the file", with(46 + 7, "\xFF\xFF")},
        {"offset inside the directory", with(46 + 7 + 2 + 9, std::string("\x2E\0\0\0", 4))},
        {"offset beyond the end", with(46 + 7 + 2 + 9, "\xFF\xFF\xFF\x7F")},
        {"stream cut short", file.substr(0, file.size() - 1)},
        {"stream signature wrong", with(streamAt, "TPF1")},
        {"text length beyond the stream",
         with(streamAt + 4 + 1 + 7 + 1 + 1 + 7 + 1, "\xFF\xFF\xFF\x7F")},
        {"no languages", stream({"TvxLang", "", {{"NumOfLanguages", StreamValue::Int(0)}}})},
        {"256 languages", stream({"TvxLang", "", {{"NumOfLanguages", StreamValue::Int(256)}}})},
        {"empty LangNames", stream({"TvxLang", "", {{"LangNames", StreamValue::Strings({})}}})},
        {"number of the wrong kind",
         stream({"TvxLang", "", {{"NumOfLanguages", StreamValue::String("2")}}})},
        {"nesting too deep", nested()},
        {"larger than the cap", file + std::string(kMostVxbBytes, '\0')},
    };
    for (const auto& c : cases) {
        test::TFormTest form;
        TvxLang lang(&form);
        lang.SetLangNames({"One", "Two", "Three"});
        lang.SetCaptions({L("TFormTest|1|2|3|")});
        const std::string before = SaveComponentData(lang);
        Put(c.bytes);
        EXPECT_THROW(lang.LoadFromVXB(path), ELanguageError) << c.what;
        EXPECT_EQ(SaveComponentData(lang), before) << c.what;
        EXPECT_FALSE(lang.IsLoading()) << c.what;
    }
    test::TFormTest form;
    TvxLang lang(&form);
    EXPECT_THROW(lang.LoadFromVXB(path + ".missing"), ELanguageError);
}

TEST_F(Vxb, OneListLoadsAlone)
{
    const std::string file = WriteVxb(
        "",
        {{"TFormTest", Stream({L("Label1|a|b|"), L("TFormTest|c|d|")}, {"Russian", "English"})}});
    Put(file);
    test::TFormTest form;
    TvxLang lang(&form);
    lang.SetHints({L("Kept|h|")});
    lang.LoadListFromVXB(stCaptions, path);
    EXPECT_EQ(lang.Captions(), (StringList{L("TFormTest|c|d|"), L("Label1|a|b|")}));
    EXPECT_EQ(lang.Hints(), StringList{L("Kept|h|")});
    EXPECT_EQ(lang.LangNames(), StringList{"Language N1"});
}

TEST_F(Vxb, AnEntryBeyondTheEndIsRefusedByTheDirectory)
{
    const std::string good = Stream({L("TFormTest|a|b|")}, {"Russian", "English"});
    std::string file = WriteVxb("", {{"TFormTest", good}});
    EXPECT_NO_THROW(ReadVxbDirectory(file));
    // The entry's position, just after the 9-byte class name: beyond the end, where a
    // subtraction from the file's size would wrap round.
    file.replace(46 + 2 + 9, 4, "\xFF\xFF\xFF\xFF");
    EXPECT_THROW(ReadVxbDirectory(file), ELanguageError);
}

namespace {

// The process's resident memory and its peak since the last reset, in KiB (-1 when unknown).
long StatusKib(const char* field)
{
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::string(field).size()));
    return -1;
}

} // namespace

// One list of one-byte values filling the whole 16 MiB: the reader refuses it (or reads it)
// without taking more than a small multiple of the file's size.
TEST_F(Vxb, AFileOfTinyValuesCannotBlowUpMemory)
{
    std::string stream = "TPF0";
    stream += static_cast<char>(7);
    stream += "TvxLang";
    stream += '\0';
    stream += static_cast<char>(9);
    stream += "LangNames";
    stream += '\x01';
    const std::string head = WriteVxb("", {{"TFormTest", stream}});
    std::string file = head;
    file.resize(kMostVxbBytes - 3, '\x08'); // 16.7 million values of "false"
    file += std::string(3, '\0');           // the list's, the properties' and nothing's end
    ASSERT_EQ(file.size(), kMostVxbBytes);
    Put(file);
    file = std::string();

    {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5"; // the peak starts again from here
    }
    const long before = StatusKib("VmRSS:");
    test::TFormTest form;
    TvxLang lang(&form);
    try {
        lang.LoadFromVXB(path);
    } catch (const ELanguageError&) {
    }
    const long peak = StatusKib("VmHWM:");
    ASSERT_GT(before, 0);
    ASSERT_GT(peak, 0);
    EXPECT_LT(peak - before, 200L * 1024) << "grew by " << (peak - before) / 1024 << " MiB";
}

// Every seed of the fuzz target through a real component: it loads, or it fails once with
// ELanguageError and changes nothing.
TEST_F(Vxb, FuzzCorpusGoesThroughARealComponent)
{
    int files = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(VENDAXO_SOURCE_DIR "/fuzz/corpus/fuzz_vxb")) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Put(bytes);
        test::TFormTest form;
        TvxLang lang(&form);
        lang.SetCaptions({L("TFormTest|x|")});
        const std::string before = SaveComponentData(lang);
        try {
            lang.LoadFromVXB(path);
        } catch (const ELanguageError&) {
            EXPECT_EQ(SaveComponentData(lang), before) << entry.path();
        }
        ++files;
    }
    EXPECT_GE(files, 3);
}

} // namespace
} // namespace translation

namespace translation {
namespace {

using test::L;

class Merge : public Vxb
{
};

// The translators' file names English, Russian; the component Russian, English: the columns of
// every merged line swap and a line only the component had stays, at the end.  The same from a
// translation file.
TEST_F(Merge, ListFromAFilePlacesColumnsByLanguageName)
{
    TvxLang source(nullptr);
    source.SetLangNames({"English", "Russian"});
    source.SetCaptions({L("Button1|Yes|Да|")});
    const std::string textFile = path + ".txt";
    for (const std::string& file : {textFile, path}) {
        std::filesystem::remove(file);
        if (file == path) {
            Put(WriteVxb("", {{"TFormTest", SaveComponentData(source)}}));
        } else {
            test::TFormTest sourceForm;
            TvxLang owned(&sourceForm);
            owned.SetLangNames({"English", "Russian"});
            owned.SetCaptions({L("Button1|Yes|Да|")});
            ASSERT_GE(owned.SaveListToFile(stCaptions, file, "~!@#"), 0);
        }
        test::TFormTest form;
        TvxLang lang(&form);
        lang.SetLangNames({"Russian", "English"});
        lang.SetCaptions({L("Button1|old|old|"), L("Label1|Метка|Label|")});
        EXPECT_TRUE(lang.MergeListFromFile(stCaptions, file)) << file;
        EXPECT_EQ(lang.Captions(), (StringList{L("Button1|Да|Yes|"), L("Label1|Метка|Label|")}))
            << file;
        EXPECT_EQ(lang.LangNames(), (StringList{"Russian", "English"}));
        EXPECT_FALSE(lang.MergeListFromFile(stCaptions, file + ".missing"));
    }
    std::filesystem::remove(textFile);

    // A damaged translation file: false, and the list as it was.
    Put(WriteVxb("", {{"TFormTest", "TPF0"}}));
    test::TFormTest form;
    TvxLang lang(&form);
    lang.SetCaptions({L("Button1|x|")});
    EXPECT_FALSE(lang.MergeListFromFile(stCaptions, path));
    EXPECT_EQ(lang.Captions(), StringList{L("Button1|x|")});
}

// The file has Russian and English, the component German as well: the file's columns are placed
// and the German texts stay as they were, from a text file as from a translation file.
TEST_F(Merge, LanguagesTheFileLacksKeepTheirTexts)
{
    const std::string textFile = path + ".txt";
    {
        test::TFormTest sourceForm;
        TvxLang owned(&sourceForm);
        owned.SetLangNames({"English", "Russian"});
        owned.SetCaptions({L("Button1|Yes|Da|"), L("Edit1|n|N|")});
        ASSERT_GE(owned.SaveListToFile(stCaptions, textFile, "~!@#"), 0);
        Put(WriteVxb("", {{"TFormTest", SaveComponentData(owned)}}));
    }
    for (const std::string& file : {textFile, path}) {
        test::TFormTest form;
        TvxLang lang(&form);
        lang.SetLangNames({"Russian", "English", "German"});
        lang.SetCaptions({L("Button1|old|old|Ja|"), L("Label1|Metka|Label|Marke|")});
        EXPECT_TRUE(lang.MergeListFromFile(stCaptions, file)) << file;
        EXPECT_EQ(lang.Captions(), (StringList{L("Button1|Da|Yes|Ja|"), L("Edit1|N|n||"),
                                               L("Label1|Metka|Label|Marke|")}))
            << file;
    }
    std::filesystem::remove(textFile);
}

// A translators' file one byte beyond the cap is refused by every operation that reads it: an
// error that says so where the operation raises, and the component and the file as they were.
// One at the cap loads.
TEST_F(Merge, ATextFileBeyondTheCapIsRefusedAndKept)
{
    const std::string file = path + ".txt";
    std::string text = "[Captions]\r\nTFormTest.Button1=One~!@#Odin\r\n;";
    text.resize(kMaxTextFileBytes + 1, 'x'); // the rest is one long comment
    std::ofstream(file, std::ios::binary) << text;
    const auto fileBytes = [&] {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    test::TFormTest form;
    TvxLang lang(&form);
    lang.SetLangNames({"English", "Russian"});
    lang.SetCaptions({L("Button1|a|b|")});
    lang.SetDoRaiseExceptions(true);
    const std::string before = SaveComponentData(lang);

    struct Case
    {
        const char* what;
        std::function<bool()> refused; // false, -1, or an error that names the cap
    };
    const auto raisesTooLarge = [&](const std::function<void()>& run) {
        try {
            run();
        } catch (const ELanguageError& e) {
            const std::string what = e.what();
            return what.find(file) != std::string::npos &&
                   what.find("larger than") != std::string::npos;
        }
        return false;
    };
    const Case cases[] = {
        {"load a list", [&] { return lang.LoadListFromFile(stCaptions, file, true) == -1; }},
        {"merge a list", [&] { return !lang.MergeListFromFile(stCaptions, file); }},
        {"merge all", [&] { return !lang.MergeAllFromFile(file); }},
        {"load the extended", [&] { return !lang.LoadExtendedFromFile(file, true); }},
        {"language names",
         [&] {
             StringList names{"kept"};
             return !lang.ReadLanguageNames(file, names) && names == StringList{"kept"};
         }},
        {"save a list",
         [&] { return raisesTooLarge([&] { lang.SaveListToFile(stCaptions, file, "~!@#"); }); }},
        {"load all", [&] { return raisesTooLarge([&] { lang.LoadAllFromFile(file, true); }); }},
        {"save all", [&] { return raisesTooLarge([&] { lang.SaveAllToFile(file, "~!@#"); }); }},
        {"reload all", [&] { return raisesTooLarge([&] { lang.ReloadAllFromFile(file, true); }); }},
        {"save the extended",
         [&] { return raisesTooLarge([&] { lang.SaveExtendedToFile(file, "~!@#"); }); }},
        {"import a language",
         [&] { return raisesTooLarge([&] { lang.ImportLanguage(file, "English"); }); }},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(c.refused()) << c.what;
        EXPECT_EQ(SaveComponentData(lang), before) << c.what;
        EXPECT_EQ(fileBytes(), text) << c.what;
    }

    text.pop_back();
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    EXPECT_EQ(lang.LoadListFromFile(stCaptions, file, true), 1);
    EXPECT_EQ(lang.Captions(), StringList{L("Button1|One|Odin|")});
    std::filesystem::remove(file);
}

// File operations that fail say so, with the file's name, and leave the component able to merge
// and apply; a reload applies the language.
TEST_F(Merge, FailedFileOperationsAreNeverSilent)
{
    test::TFormTest form;
    TvxLang lang(&form);
    lang.SetLangNames({"English", "Russian"});
    lang.SetCaptions({L("Button1|a~|b|")});

    // The export cannot tell "a~" from the delimiter "~~": nothing written, an error raised.
    const std::string saved = path + ".txt";
    try {
        lang.SaveAllToFile(saved, "~~");
        ADD_FAILURE() << "no error";
    } catch (const ELanguageError& e) {
        EXPECT_NE(std::string(e.what()).find(saved), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(saved));

    // A file naming more languages than a component can hold: the import fails, nothing changes.
    std::string names = "[Language names - for internal use only!]\r\n";
    for (int n = 1; n <= 300; ++n)
        names += "Language_" + std::to_string(n) + "=L" + std::to_string(n) + "\r\n";
    Put(names);
    const std::string before = SaveComponentData(lang);
    EXPECT_THROW(lang.LoadAllFromFile(path, true), ELanguageError);
    EXPECT_EQ(SaveComponentData(lang), before);

    // A file beyond the cap cannot be read: the reload raises with its name ...
    Put(std::string(kMostVxbBytes + 1, ';'));
    try {
        lang.ReloadAllFromFile(path, true);
        ADD_FAILURE() << "no error";
    } catch (const ELanguageError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    // ... and a merge afterwards still applies the language.
    lang.SetCaptions({L("Button1|a|b|")});
    lang.SetActiveLanguage(2);
    const std::string text = path + ".ini";
    std::ofstream(text, std::ios::binary) << "[Captions]\r\nTFormTest.Button1=One~!@#Odin\r\n";
    ASSERT_TRUE(lang.MergeListFromFile(stCaptions, text));
    EXPECT_EQ(form.button->text(), "Odin");

    // A reload applies the language it loaded.
    std::ofstream(text, std::ios::binary) << "[Captions]\r\nTFormTest.Button1=Two~!@#Dva\r\n";
    lang.ReloadAllFromFile(text, true);
    EXPECT_EQ(form.button->text(), "Dva");
    std::filesystem::remove(saved);
    std::filesystem::remove(text);
}

// Qt's own texts are translated while the resource language differs from the active one.
TEST_F(Merge, QtTextsFollowTheActiveLanguage)
{
    test::TFormTest form;
    TvxLang lang(&form);
    lang.SetLangNames({"English", "Russian"});
    lang.SetStrings({L("Id1|&Yes|" + test::Cp("&Да") + "|")});
    lang.SetHandleResourceStrings(true);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), "&Yes");
    lang.SetActiveLanguage(2);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), QString::fromUtf8("&Да"));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Other"), "Other");
    lang.SetHandleResourceStrings(false);
}

} // namespace
} // namespace translation
