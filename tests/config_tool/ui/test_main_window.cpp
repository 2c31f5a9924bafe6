// The main window offscreen: start-up from "Settings.ini" and the registry, the Com-port menu,
// the input filters, the language switch and the seven commands against simulated units.

#include "ui_test_support_main.h"

#include "config_tool/model/config_file.h"
#include "config_tool/model/editor.h"
#include "config_tool/ui/add_state.h"
#include "config_tool/ui/form_main.h"
#include "config_tool/ui/form_search.h"
#include "config_tool/ui/form_see_ind.h"
#include "config_tool/ui/key_code.h"
#include "config_tool/ui/main_com_ports.h"
#include "config_tool/ui/main_filters.h"
#include "config_tool/ui/main_names.h"
#include "config_tool/ui/main_program.h"
#include "config_tool/ui/prompt.h"
#include "config_tool/ui/questions.h"
#include "platform/profile_ini.h"
#include "platform/tone_player.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace {

using mainwin_test::ProgramFolder;
using mainwin_test::ScriptedServices;
using ui::BoxAnswer;
using ui::BoxButtons;
using ui::BoxKind;
using ui::TFormMain;

QString U(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

struct ApplicationFirst
{
    ApplicationFirst() { mainwin_test::EnsureApplication(); }
};

struct Window : ApplicationFirst
{
    explicit Window(ProgramFolder& folder, const std::vector<std::string>& ports = {"COM1"},
                    device::CommandChannel* channel = nullptr)
    {
        ui::MainWindowSetup setup;
        setup.exeFolder = folder.Path();
        setup.registry = &folder.Registry(ports);
        setup.channel = channel ? channel : &idle;
        form = std::make_unique<TFormMain>(setup);
        form->AttachServices(&services, {form.get(), &addState});
    }
    template <class W> W* Find(const QString& name) const { return form->findChild<W*>(name); }
    QStringList ComItems() const
    {
        QStringList captions;
        for (QAction* a : Find<QMenu>(QStringLiteral("NComPort"))->actions())
            captions << a->text();
        return captions;
    }
    QString CheckedPort() const
    {
        for (QAction* a : Find<QMenu>(QStringLiteral("NComPort"))->actions())
            if (a->isChecked())
                return a->objectName();
        return {};
    }

    sim::Bus idleBus;
    mainwin_test::BusChannel idle{idleBus};
    ScriptedServices services;
    ui::TfAddState addState; // holds the event chooser's list the indication page fills
    std::unique_ptr<TFormMain> form;
};

// --- start-up -------------------------------------------------------------------------------

TEST(MainWindowStart, LanguageSettingIsExactAndCaseSensitive)
{
    const struct
    {
        const char* settings;
        int flag;
        const char* caption;
    } cases[] = {
        {"", 0, "Т4700-КЛВ 2.22-2.23, Т4700-ВД 2.23"},
        {"[Language]\r\nLanguage=Rus\r\n", 0, "Т4700-КЛВ 2.22-2.23, Т4700-ВД 2.23"},
        {"[Language]\r\nLanguage=rus\r\n", 1, "T4700-KLV 2.22-2.23, T4700-VD 2.23"},
        {"[Language]\r\nLanguage=Eng\r\n", 1, "T4700-KLV 2.22-2.23, T4700-VD 2.23"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        ProgramFolder folder;
        folder.WriteSettings(c.settings);
        Window w(folder);
        EXPECT_EQ(w.form->LanguageFlag(), c.flag);
        w.form->show();
        EXPECT_EQ(w.form->windowTitle(), U(c.caption));
    }
}

TEST(MainWindowStart, ComPortMenuFromTheRegistry)
{
    const struct
    {
        std::vector<std::string> registry;
        const char* settings;
        QStringList items;
        int port;
    } cases[] = {
        {{}, "[Language]\r\nLanguage=Eng\r\n", {U("COM1 (not found)")}, 1},
        {{}, "", {U("COM1 (не найден)")}, 1},
        {{"COM5", "COM3"}, "[Settings]\r\nCom=7\r\n", {"COM3", "COM5", U("COM1 (не найден)")}, 3},
        {{"COM5", "COM3"}, "[Settings]\r\nCom=5\r\n", {"COM3", "COM5"}, 5},
        {{"COM10", "COM100"}, "[Settings]\r\nCom=10\r\n", {"COM10"}, 10},
        // Texts that are not COM and a number name no port and do not stop the start.
        {{"COM", "COMX", "COM0", "XYZ4", "COM2"}, "[Settings]\r\nCom=2\r\n", {"COM2"}, 2},
        {{"COM4", "COM4"}, "[Settings]\r\nCom=1\r\n", {"COM4", "COM4", U("COM1 (не найден)")}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.items.join(QLatin1Char(',')).toStdString());
        ProgramFolder folder;
        folder.WriteSettings(c.settings);
        Window w(folder, c.registry);
        EXPECT_EQ(w.ComItems(), c.items);
        EXPECT_EQ(w.form->CurrentPort(), c.port);
        EXPECT_EQ(w.CheckedPort(), QStringLiteral("COM%1").arg(c.port));
    }
}

TEST(MainWindowStart, PortNumbersOfRegistryTexts)
{
    const struct
    {
        const char* text;
        int port;
    } cases[] = {{"COM1", 1},  {"COM9", 9},  {"COM10", 10}, {"COM99", 99}, {"com7", 7},
                 {"COM", 0},   {"COMX", 0},  {"COM0", 0},   {"COM00", 0},  {"COM100", 0},
                 {"COM1X", 0}, {"COM-1", 0}, {"", 0},       {"LPT1", 0},   {"COM 1", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(ui::ComPortNumber(c.text), c.port) << c.text;
}

TEST(MainWindowStart, ChoosingAPortChecksItAndSetsTheSession)
{
    ProgramFolder folder;
    sim::Bus bus;
    mainwin_test::BusChannel channel(bus);
    Window w(folder, {"COM3", "COM5"}, &channel);
    EXPECT_EQ(channel.ports, std::vector<int>{3});
    w.Find<QAction>(QStringLiteral("COM5"))->trigger();
    EXPECT_EQ(w.form->CurrentPort(), 5);
    EXPECT_EQ(w.CheckedPort(), QStringLiteral("COM5"));
    EXPECT_EQ(channel.ports.back(), 5);
}

TEST(MainWindowStart, SavedPositionIsKeptOnScreenAndWrittenAtClose)
{
    mainwin_test::EnsureApplication();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const struct
    {
        int left, top;
        QPoint expected;
    } cases[] = {
        {screen.left() + 150, screen.top() + 120, {screen.left() + 150, screen.top() + 120}},
        {-5000, -5000, screen.topLeft()},
        {screen.right() + 4000, screen.top() + 10, screen.topLeft()},
    };
    for (const auto& c : cases) {
        ProgramFolder folder;
        folder.WriteSettings("[Settings]\r\nFormLeft=" + std::to_string(c.left) +
                             "\r\nFormTop=" + std::to_string(c.top) + "\r\n");
        Window w(folder, {"COM2", "COM6"});
        EXPECT_EQ(w.form->pos(), c.expected);
        w.Find<QAction>(QStringLiteral("COM6"))->trigger();
        w.form->close();
        const std::string ini = folder.File("Settings.ini");
        EXPECT_EQ(platform::ReadProfileInt(ini, "Settings", "Com", 0), 6);
        EXPECT_EQ(platform::ReadProfileInt(ini, "Settings", "FormLeft", 0), w.form->x());
        EXPECT_EQ(platform::ReadProfileInt(ini, "Settings", "FormTop", 0), w.form->y());
    }
}

// "Settings.ini" is shared: another program's entry, holding every byte from 0x20 to 0xFF
// (0x98 among them), is the same byte for byte after the window has written its own.
TEST(MainWindowStart, ClosingKeepsOtherProgramsEntriesByteForByte)
{
    std::string all;
    for (int b = 0x20; b <= 0xFF; ++b)
        all += static_cast<char>(b);
    const std::string foreign = "[Other program]\r\nAll=<" + all + ">\r\n\r\n";
    ProgramFolder folder;
    folder.WriteSettings(foreign + "[Settings]\r\nCom=1\r\nFormLeft=0\r\nFormTop=0\r\n");
    {
        Window w(folder, {"COM1"});
        w.form->close();
    }
    QFile file(QString::fromStdString(folder.File("Settings.ini")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_EQ(bytes.left(static_cast<qsizetype>(foreign.size())).toStdString(), foreign);
}

TEST(MainWindowStart, TimerIntervalZeroMeansStopped)
{
    ProgramFolder folder;
    Window w(folder);
    EXPECT_EQ(w.form->TimerInterval(), 1000);
    w.form->SetTimerInterval(0);
    EXPECT_EQ(w.form->TimerInterval(), 0);
    w.form->SetTimerInterval(100);
    EXPECT_EQ(w.form->TimerInterval(), 100);
}

// --- filters --------------------------------------------------------------------------------

TEST(MainWindowFilters, RulesAfterEachChange)
{
    const struct
    {
        ui::TextFilter rule;
        const char* in;
        const char* out;
    } cases[] = {
        {&ui::FilterPartitionNumber, "12345", "9999"},
        {&ui::FilterPartitionNumber, "", "0"},
        {&ui::FilterPartitionNumber, "9999", "9999"},
        {&ui::FilterPartitionNumber, "0042", "0042"},
        {&ui::FilterAlarmTime, "", "0"},
        {&ui::FilterAlarmTime, "300", "255"},
        {&ui::FilterAlarmTime, "99", "99"},
        {&ui::FilterAlarmTime, "255", "255"},
        {&ui::FilterAlarmTime, "0255", "0255"},
        {&ui::FilterAlarmTime, "256", "255"},
        {&ui::FilterAlarmTime, "99999999999999999999999", "255"},
        {&ui::FilterPin, "1234567890123", "123456789012"},
        {&ui::FilterPin, "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.rule(QString::fromLatin1(c.in)), QString::fromLatin1(c.out)) << c.in;
}

TEST(MainWindowFilters, EditsTakeDigitsOnlyAndFilterTextSetFromCode)
{
    ProgramFolder folder;
    Window w(folder);
    for (const char* name :
         {"Obj01ParamNumber", "Obj60ParamNumber", "MainParamTime", "MainParamPin"}) {
        SCOPED_TRACE(name);
        auto* edit = w.Find<QLineEdit>(QLatin1String(name));
        ASSERT_NE(edit, nullptr);
        edit->setText(QStringLiteral("12"));
        edit->insert(QStringLiteral("3x")); // pasted text with a letter is refused whole
        EXPECT_EQ(edit->text(), QStringLiteral("12"));
        edit->insert(QStringLiteral("-1"));
        EXPECT_EQ(edit->text(), QStringLiteral("12"));
    }
    ui::WidgetEditor& editor = w.form->Editor();
    editor.SetText("Obj07ParamNumber", "12345");
    EXPECT_EQ(editor.Text("Obj07ParamNumber"), "9999");
    editor.SetText("MainParamTime", "");
    EXPECT_EQ(editor.Text("MainParamTime"), "0");
    editor.SetText("MainParamTime", "300");
    EXPECT_EQ(editor.Text("MainParamTime"), "255");
}

// --- language switch ------------------------------------------------------------------------

struct LanguageCase
{
    const char* settings;
    model::Language language;
};

class MainWindowLanguage : public ::testing::TestWithParam<LanguageCase>
{
};

TEST_P(MainWindowLanguage, CaptionsListsAndSelections)
{
    ProgramFolder folder;
    folder.WriteSettings(GetParam().settings);
    Window w(folder);
    const model::TextTables& t = model::ConstantTables(GetParam().language);
    auto cap = [&](int slot) { return ui::ToQString(t.captions.at(static_cast<size_t>(slot))); };
    const model::Image before = w.form->ConfigImage();
    w.form->show();
    EXPECT_EQ(w.form->ConfigImage(), before);

    EXPECT_EQ(w.form->windowTitle(), cap(0));
    EXPECT_EQ(w.Find<QMenu>(QStringLiteral("NFile"))->title(), cap(1));
    EXPECT_EQ(w.Find<QMenu>(QStringLiteral("NComPort"))->title(), cap(9));
    const char* commands[][2] = {{"NFileFind", "BitBtnFind"},   {"NFileCreat", "BitBtnCreat"},
                                 {"NFileLoad", "BitBtnLoad"},   {"NFileSave", "BitBtnSave"},
                                 {"NFileWrite", "BitBtnWrite"}, {"NFileHelp", "BitBtnHelp"},
                                 {"NFileClose", "BitBtnClose"}};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(w.Find<QAction>(QLatin1String(commands[i][0]))->text(), cap(2 + i));
        auto* button = w.Find<QToolButton>(QLatin1String(commands[i][1]));
        EXPECT_EQ(button->toolTip(), cap(2 + i));
        EXPECT_EQ(button->accessibleName(), cap(2 + i));
    }
    auto* pages = w.Find<QTabWidget>(QStringLiteral("PageControl"));
    const std::pair<const char*, int> pageSlots[] = {{"PageInfo", 10},     {"PageObject", 13},
                                                     {"PageMain", 18},     {"PageKey", 40},
                                                     {"PageSettings", 31}, {"PageSound", 38}};
    for (const auto& [page, slot] : pageSlots)
        EXPECT_EQ(pages->tabText(pages->indexOf(w.Find<QWidget>(QLatin1String(page)))), cap(slot))
            << page;
    const std::pair<const char*, int> labels[] = {
        {"LabelInfoName", 11},    {"LabelInfoComment", 12}, {"LabelObj01Label", 15},
        {"LabelObj60Label", 15},  {"LabelObj33Ind", 16},    {"LabelObj60But", 17},
        {"LabelMainPin", 19},     {"LabelMainTime", 20},    {"LabelMain2U", 21},
        {"LabelMainSpeeker", 22}, {"LabelMainMute", 23},    {"LabelMainSys01", 24},
        {"LabelMainSys07", 30}};
    for (const auto& [label, slot] : labels)
        EXPECT_EQ(w.Find<QLabel>(QLatin1String(label))->text(), cap(slot)) << label;
    EXPECT_EQ(w.Find<QLabel>(QStringLiteral("LabelObj01Number"))->text(),
              cap(14) + QStringLiteral(" 1"));
    EXPECT_EQ(w.Find<QLabel>(QStringLiteral("LabelObj60Number"))->text(),
              cap(14) + QStringLiteral(" 60"));
    const QPixmap& picture = GetParam().language == model::Language::Russian
                                 ? w.form->Pictures().imageRus
                                 : w.form->Pictures().imageEng;
    EXPECT_EQ(w.Find<QLabel>(QStringLiteral("ImageShow"))->pixmap().toImage(), picture.toImage());
    // The pages are disabled until a configuration is loaded; the flag is drawn in its colours
    // all the same (a stripe's colour is found as it is on screen).
    ASSERT_FALSE(w.Find<QTabWidget>(QStringLiteral("PageControl"))->isEnabled());
    QCoreApplication::sendPostedEvents(); // the page's layout makes room for the picture
    const QImage drawn = w.Find<QLabel>(QStringLiteral("ImageShow"))
                             ->grab()
                             .toImage()
                             .convertToFormat(QImage::Format_RGB32);
    // The most coloured of the three stripes: white stays white in grey.
    QRgb stripe = 0;
    for (int k = 1; k <= 5; k += 2) {
        const QRgb c = picture.toImage().pixel(5, picture.height() * k / 6);
        if (QColor(c).hsvSaturation() > QColor(stripe).hsvSaturation())
            stripe = c;
    }
    int stripePixels = 0;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            stripePixels += drawn.pixel(x, y) == stripe ? 1 : 0;
    EXPECT_GT(stripePixels, 100);

    const struct
    {
        const char* prefix;
        int count;
        const char* suffix;
        int items;
        std::string_view first;
    } lists[] = {{"Obj", 60, "ParamType", 17, t.partitionTypes[0]},
                 {"Obj", 60, "ParamButton", 4, t.buttonModes[0]},
                 {"System", 7, "ParamType", 7, t.systemLedTypes[0]}};
    for (const auto& l : lists)
        for (int n = 1; n <= l.count; ++n) {
            auto* box = w.Find<QComboBox>(ui::NumberedName(l.prefix, n, l.suffix));
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->count(), l.items);
            EXPECT_EQ(box->itemText(0), ui::ToQString(l.first));
            EXPECT_EQ(box->currentIndex(), -1);
        }
    if (auto* ind = w.Find<QComboBox>(QStringLiteral("NumberSettingsInd"))) {
        EXPECT_EQ(ind->count(), 24);
        EXPECT_EQ(ind->currentIndex(), -1);
    }
    if (auto* sound = w.Find<QComboBox>(QStringLiteral("NumberSettingsSound"))) {
        EXPECT_EQ(sound->count(), 30);
        EXPECT_EQ(sound->currentIndex(), 0);
        EXPECT_EQ(sound->itemText(0), ui::ToQString(t.sounds[1]));
    }

    // A second show (a restore from minimised) must not fill the lists again.
    w.form->hide();
    w.form->show();
    EXPECT_EQ(w.Find<QComboBox>(QStringLiteral("Obj01ParamType"))->count(), 17);
    EXPECT_EQ(w.form->ConfigImage(), before);
}

// The other five windows as the program creates them, reached by the same switch.
TEST_P(MainWindowLanguage, CaptionsOfAllSixWindowsAndTheEditorLists)
{
    ProgramFolder folder;
    folder.WriteSettings(GetParam().settings);
    Window w(folder);
    ui::ScriptedPrompt prompt;
    ui::TFormSearch search(w.form->Channel(), prompt, w.form->Tables());
    platform::RecordingTonePlayer tones;
    ui::TFormSeeInd seeInd(w.form.get(), w.form->Editors(), &tones);
    ui::TfKeyCode keyCode(w.form->Channel(), prompt, w.form->Tables());
    ui::TfQuestions questions;
    w.form->AttachServices(&w.services,
                           {w.form.get(), &w.addState, &keyCode, &search, &seeInd, &questions});
    w.form->show();

    const model::TextTables& t = model::ConstantTables(GetParam().language);
    auto cap = [&](int slot) { return ui::ToQString(t.captions.at(static_cast<size_t>(slot))); };
    auto text = [](QWidget* window, const char* name) {
        QObject* o = window->findChild<QObject*>(QLatin1String(name));
        return o ? o->property("text").toString()
                 : QStringLiteral("<missing %1>").arg(QLatin1String(name));
    };
    auto hint = [](QWidget* window, const char* name) {
        auto* o = window->findChild<QWidget*>(QLatin1String(name));
        return o ? o->toolTip() : QStringLiteral("<missing %1>").arg(QLatin1String(name));
    };
    const struct
    {
        QWidget* window;
        const char* name; // empty: the window's caption
        int slot;
        bool isHint;
    } captionSlots[] = {
        {w.form.get(), "ButtonIndSee", 32, false},
        {w.form.get(), "LabelSeeColor", 33, false},
        {w.form.get(), "LabelSeeSound", 34, false},
        {w.form.get(), "LabelSeeState", 35, false},
        {w.form.get(), "LabelSeeType01", 36, false},
        {w.form.get(), "LabelSeeType16", 36, false},
        {w.form.get(), "LabelSeePrior01", 37, false},
        {w.form.get(), "LabelSeePrior16", 37, false},
        {w.form.get(), "ButtonSoundSee", 39, false},
        {&w.addState, "bGetStateOk", 59, false},
        {&w.addState, "bGetStateCancel", 60, false},
        {&keyCode, "Label1", 64, false},
        {&keyCode, "LabelWait", 65, false},
        {&keyCode, "Button1", 66, false},
        {&keyCode, "Button2", 67, false},
        {&search, "", 69, false},
        {&search, "BitBtn1", 70, true},
        {&search, "BitBtnOk", 71, true},
        {&search, "BitBtnCancel", 72, true},
        {&seeInd, "", 74, false},
        {&seeInd, "ButtonFormSeeClose", 75, false},
        {&questions, "", 79, false},
        {&questions, "LabelQuestions", 80, false},
        {&questions, "rbType44", 81, false},
        {&questions, "rbType10", 82, false},
        {&questions, "Button1", 83, false},
        {&questions, "Button2", 84, false},
    };
    for (const auto& c : captionSlots) {
        const QString shown = *c.name == 0
                                  ? c.window->windowTitle()
                                  : (c.isHint ? hint(c.window, c.name) : text(c.window, c.name));
        EXPECT_EQ(shown, cap(c.slot)) << "slot " << c.slot << " " << c.name;
    }
    // The event chooser and the credential-code reader keep an empty caption.
    EXPECT_TRUE(w.addState.windowTitle().isEmpty());
    EXPECT_TRUE(keyCode.windowTitle().isEmpty());

    const struct
    {
        const char* name;
        int count;
        int selected;
    } lists[] = {{"NumberSettingsInd", 24, -1},  {"NumberSettingsSound", 30, 0},
                 {"ComboBoxSoundSee", 4, 0},     {"Ind01ParamColorPos1", 5, -1},
                 {"Ind16ParamColorPos8", 5, -1}, {"Ind01ParamSoundType", 31, -1},
                 {"Ind16ParamSoundType", 31, -1}};
    for (const auto& l : lists) {
        auto* box = w.Find<QComboBox>(QLatin1String(l.name));
        ASSERT_NE(box, nullptr) << l.name;
        EXPECT_EQ(box->count(), l.count) << l.name;
        EXPECT_EQ(box->currentIndex(), l.selected) << l.name;
    }
    EXPECT_EQ(w.Find<QComboBox>(QStringLiteral("NumberSettingsSound"))->itemText(0),
              ui::ToQString(t.sounds[1]));
    EXPECT_EQ(w.Find<QComboBox>(QStringLiteral("ComboBoxSoundSee"))->currentText(),
              ui::ToQString(t.previewLengths[0]));
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, MainWindowLanguage,
                         ::testing::Values(LanguageCase{"", model::Language::Russian},
                                           LanguageCase{"[Language]\r\nLanguage=Eng\r\n",
                                                        model::Language::English}));

// Every control and timer the windows are specified with, under its own name and of the
// kind the editors and the other windows take it for, as the program builds them.
TEST(MainWindowStart, EveryNamedControlExistsInTheProgramsWindows)
{
    ProgramFolder folder;
    mainwin_test::EnsureApplication();
    sim::Bus bus;
    mainwin_test::BusChannel channel(bus);
    ui::MainWindowSetup setup;
    setup.exeFolder = folder.Path();
    setup.registry = &folder.Registry({"COM1"});
    setup.channel = &channel;
    ui::MainProgram program(setup);
    QWidget* main = &program.FormMain();
    QWidget* seeInd = &program.FormSeeInd();
    const struct
    {
        QWidget* window;
        const char* prefix;
        int count; // 0: the name alone; else prefix + NN + suffix for NN = 01..count
        const char* suffix;
        const char* kind;
    } names[] = {
        {main, "BitBtnFind", 0, "", "QToolButton"},
        {main, "BitBtnCreat", 0, "", "QToolButton"},
        {main, "BitBtnLoad", 0, "", "QToolButton"},
        {main, "BitBtnSave", 0, "", "QToolButton"},
        {main, "BitBtnWrite", 0, "", "QToolButton"},
        {main, "BitBtnHelp", 0, "", "QToolButton"},
        {main, "BitBtnClose", 0, "", "QToolButton"},
        {main, "NFile", 0, "", "QMenu"},
        {main, "NFileFind", 0, "", "QAction"},
        {main, "NFileCreat", 0, "", "QAction"},
        {main, "NFileLoad", 0, "", "QAction"},
        {main, "NFileSave", 0, "", "QAction"},
        {main, "NFileWrite", 0, "", "QAction"},
        {main, "NFileHelp", 0, "", "QAction"},
        {main, "NFileClose", 0, "", "QAction"},
        {main, "NComPort", 0, "", "QMenu"},
        {main, "ProgressBarOperation", 0, "", "QProgressBar"},
        {main, "PageControl", 0, "", "QTabWidget"},
        {main, "PageInfo", 0, "", "QWidget"},
        {main, "PageObject", 0, "", "QWidget"},
        {main, "PageMain", 0, "", "QWidget"},
        {main, "PageKey", 0, "", "QWidget"},
        {main, "PageSettings", 0, "", "QWidget"},
        {main, "PageSound", 0, "", "QWidget"},
        {main, "ImageShow", 0, "", "QLabel"},
        {main, "OpenDialogFile", 0, "", "QFileDialog"},
        {main, "SaveDialogFile", 0, "", "QFileDialog"},
        {main, "Timer1", 0, "", "QTimer"},
        {main, "Obj", 60, "ParamNumber", "QLineEdit"},
        {main, "Obj", 60, "ParamType", "QComboBox"},
        {main, "Obj", 60, "ParamButton", "QComboBox"},
        {main, "LabelObj", 60, "Number", "QLabel"},
        {main, "MainParamPin", 0, "", "QLineEdit"},
        {main, "MainParamTime", 0, "", "QLineEdit"},
        {main, "MainParam2U", 0, "", "QCheckBox"},
        {main, "MainParamBell", 0, "", "QCheckBox"},
        {main, "MainParamReset", 0, "", "QCheckBox"},
        {main, "System", 7, "ParamType", "QComboBox"},
        {main, "NumberSettingsInd", 0, "", "QComboBox"},
        {main, "ButtonIndSee", 0, "", "QPushButton"},
        {main, "Ind", 16, "ParamColorPos1", "QComboBox"},
        {main, "Ind", 16, "ParamColorPos8", "QComboBox"},
        {main, "Ind", 16, "ParamColorPos1Image", "QLabel"},
        {main, "Ind", 16, "ParamColorPos8Image", "QLabel"},
        {main, "Ind", 16, "ParamSoundType", "QComboBox"},
        {main, "Ind", 16, "ParamSoundPrioritet", "QComboBox"},
        {main, "Ind", 16, "ParamListEvent", "QListWidget"},
        {main, "Ind", 15, "ParamAddEvent", "QPushButton"},
        {main, "Ind", 15, "ParamDelEvent", "QPushButton"},
        {main, "sbSeeIndState", 16, "", "QAbstractButton"},
        {main, "NumberSettingsSound", 0, "", "QComboBox"},
        {main, "SoundParamColorPos1", 0, "", "QComboBox"},
        {main, "SoundParamColorPos8", 0, "", "QComboBox"},
        {main, "SoundParamColorPos1Image", 0, "", "QLabel"},
        {main, "SoundParamColorPos8Image", 0, "", "QLabel"},
        {main, "ButtonSoundSee", 0, "", "QPushButton"},
        {main, "ComboBoxSoundSee", 0, "", "QComboBox"},
        {main, "ParamKey1", 0, "", "QLineEdit"},
        {main, "ParamKey8", 0, "", "QLineEdit"},
        {main, "ButtonKey1", 0, "", "QAbstractButton"},
        {main, "ButtonKey8", 0, "", "QAbstractButton"},
        {seeInd, "Panel1", 0, "", "QWidget"},
        {seeInd, "SeeColor", 0, "", "QLabel"},
        {seeInd, "ButtonFormSeeClose", 0, "", "QPushButton"},
        {seeInd, "ScrollBox1", 0, "", "QScrollArea"},
        {seeInd, "SeeCheck", 16, "", "QRadioButton"},
        {seeInd, "SeeList", 16, "", "QListWidget"},
        {seeInd, "TimerInd", 0, "", "QTimer"},
        {seeInd, "TimerSound", 0, "", "QTimer"},
        {&program.AddState(), "IndAllListEvent", 0, "", "QListWidget"},
    };
    for (const auto& n : names) {
        QStringList wanted;
        if (n.count == 0)
            wanted << QLatin1String(n.prefix);
        for (int i = 1; i <= n.count; ++i)
            wanted << ui::NumberedName(n.prefix, i, n.suffix);
        for (const QString& name : wanted) {
            const QList<QObject*> found = n.window->findChildren<QObject*>(name);
            ASSERT_FALSE(found.isEmpty()) << name.toStdString();
            EXPECT_TRUE(std::any_of(found.begin(), found.end(),
                                    [&](QObject* o) { return o->inherits(n.kind); }))
                << name.toStdString() << " is no " << n.kind;
        }
    }
    // Indicator 16 is shown, not edited: no add and delete buttons.
    EXPECT_EQ(main->findChild<QObject*>(QStringLiteral("Ind16ParamAddEvent")), nullptr);
    EXPECT_EQ(main->findChild<QObject*>(QStringLiteral("Ind16ParamDelEvent")), nullptr);
    // The preview's timers start stopped.
    for (QTimer* t : {program.FormSeeInd().TimerInd(), program.FormSeeInd().TimerSound()})
        EXPECT_FALSE(t->isActive()) << t->objectName().toStdString();
}

TEST(MainWindowAccessibility, EveryControlHasAName)
{
    ProgramFolder folder;
    Window w(folder);
    w.form->show();
    int checked = 0;
    for (QWidget* widget : w.form->findChildren<QWidget*>()) {
        if (!qobject_cast<QLineEdit*>(widget) && !qobject_cast<QComboBox*>(widget) &&
            !qobject_cast<QAbstractButton*>(widget))
            continue;
        if (widget->objectName().isEmpty() || widget->objectName().startsWith(QLatin1String("qt_")))
            continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(a, nullptr);
        EXPECT_FALSE(a->text(QAccessible::Name).isEmpty()) << widget->objectName().toStdString();
        ++checked;
    }
    EXPECT_GT(checked, 60 * 3 + 7 + 16);
}

TEST(MainWindowEditorBinding, UnknownControlsAndBadIndexesAreClearErrors)
{
    ProgramFolder folder;
    Window w(folder);
    w.form->show();
    ui::WidgetEditor& editor = w.form->Editor();
    EXPECT_THROW(editor.Text("Obj61ParamNumber"), std::invalid_argument);
    EXPECT_THROW(editor.SetItemIndex("Obj01ParamNumber", 0),
                 std::invalid_argument); // an edit, not a list
    EXPECT_THROW(editor.Checked("MainParamPin"), std::invalid_argument);
    EXPECT_THROW(editor.RunChangeHandler("NoSuchControl"), std::invalid_argument);
    // An item outside the list selects nothing.
    editor.SetItemIndex("Obj01ParamType", 3);
    EXPECT_EQ(editor.ItemIndex("Obj01ParamType"), 3);
    editor.SetItemIndex("Obj01ParamType", 17);
    EXPECT_EQ(editor.ItemIndex("Obj01ParamType"), -1);
    // The chooser's list lives on the event chooser window.
    model::ItemList& chooser = editor.List("IndAllListEvent");
    chooser.Clear();
    chooser.Append("one");
    EXPECT_EQ(chooser.Count(), 1);
    EXPECT_EQ(chooser.Line(0), "one");
    EXPECT_THROW(chooser.Line(1), std::out_of_range);
    EXPECT_THROW(chooser.Delete(-1), std::out_of_range);
}

// A change handler runs on the operator's choice and by name, once each, and never when a value
// is set from code; a control without a handler runs nothing and raises none of its signals.
TEST(MainWindowEditorBinding, OneWayAChangeHandlerRuns)
{
    ProgramFolder folder;
    Window w(folder);
    w.form->show();
    w.services.newModel = 44;
    w.form->BitBtnCreatClick();
    ui::WidgetEditor& editor = w.form->Editor();
    model::Image& image = w.form->ConfigImage();
    const size_t sound3 = model::RecordOffset(0, 3) + model::kRecSound;

    auto* type = w.Find<QComboBox>(QStringLiteral("Ind03ParamSoundType"));
    int activations = 0;
    QObject::connect(type, &QComboBox::activated, [&] { ++activations; });
    // From code: no handler, no signal.
    editor.SetItemIndex("Ind03ParamSoundType", 9);
    type->setCurrentIndex(9);
    EXPECT_NE(image[sound3], 9);
    EXPECT_EQ(activations, 0);
    // By name: the handler, without raising the operator's signal.
    editor.RunChangeHandler("Ind03ParamSoundType");
    EXPECT_EQ(image[sound3], 9);
    EXPECT_EQ(activations, 0);
    // The operator's choice.
    type->setCurrentIndex(11);
    emit type->activated(11);
    EXPECT_EQ(image[sound3], 11);

    // Controls without a handler: nothing runs and none of their signals is raised.
    int raised = 0;
    auto* edit = w.Find<QLineEdit>(QStringLiteral("Obj01ParamNumber"));
    auto* check = w.Find<QCheckBox>(QStringLiteral("MainParam2U"));
    auto* list = w.Find<QComboBox>(QStringLiteral("Obj01ParamType"));
    QObject::connect(edit, &QLineEdit::textEdited, [&] { ++raised; });
    QObject::connect(check, &QCheckBox::clicked, [&] { ++raised; });
    QObject::connect(list, &QComboBox::activated, [&] { ++raised; });
    const model::Image before = image;
    for (const char* name : {"Obj01ParamNumber", "MainParam2U", "Obj01ParamType", "ParamKey1"})
        editor.RunChangeHandler(name);
    EXPECT_EQ(raised, 0);
    EXPECT_EQ(image, before);

    // A list takes one handler.
    EXPECT_THROW(editor.OnChange(type, [] {}), std::invalid_argument);
}

// --- every value can be read -----------------------------------------------------------------

// Each value edit shows its widest value whole: the text area left inside the frame and the
// edit's margins holds it in the edit's own font.
TEST(MainWindowLayout, EveryValueEditShowsItsWidestValue)
{
    ProgramFolder folder;
    Window w(folder);
    w.form->show();
    w.services.newModel = 44;
    w.form->BitBtnCreatClick();
    auto* pages = w.Find<QTabWidget>(QStringLiteral("PageControl"));
    std::vector<std::pair<QString, const char*>> edits; // name, widest value
    for (int n = 1; n <= 60; ++n)
        edits.emplace_back(ui::NumberedName("Obj", n, "ParamNumber"), "9999");
    edits.emplace_back(QStringLiteral("MainParamTime"), "255");
    edits.emplace_back(QStringLiteral("MainParamPin"), "999999999999");
    for (int n = 1; n <= 8; ++n)
        edits.emplace_back(QStringLiteral("ParamKey%1").arg(n), "DDDDDDDDDDDDDDDD");
    int checked = 0;
    for (const auto& [name, widest] : edits) {
        auto* edit = w.Find<QLineEdit>(name);
        ASSERT_NE(edit, nullptr) << name.toStdString();
        for (int p = 0; p < pages->count(); ++p)
            if (pages->widget(p)->isAncestorOf(edit))
                pages->setCurrentIndex(p);
        QCoreApplication::processEvents();
        QStyleOptionFrame opt;
        opt.initFrom(edit);
        opt.rect = edit->rect();
        opt.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, edit);
        QRect text = edit->style()->subElementRect(QStyle::SE_LineEditContents, &opt, edit);
        text = text.marginsRemoved(edit->textMargins());
        const int visible = text.width() - 2 * 2; // the edit's own inner margins
        EXPECT_GE(visible, QFontMetrics(edit->font()).horizontalAdvance(QLatin1String(widest)))
            << name.toStdString() << " is " << edit->width() << " px wide";
        ++checked;
    }
    EXPECT_EQ(checked, 70);
    // At the window's own size no page hides a column behind a horizontal scroll bar.
    for (int p = 0; p < pages->count(); ++p) {
        pages->setCurrentIndex(p);
        QCoreApplication::processEvents();
        for (QScrollArea* area : pages->widget(p)->findChildren<QScrollArea*>())
            EXPECT_FALSE(area->horizontalScrollBar()->isVisible())
                << pages->widget(p)->objectName().toStdString();
    }
}

// --- one language on screen --------------------------------------------------------------------

// Qt's own texts follow the tool's language: in Russian the message boxes' buttons are Russian.
TEST(MainWindowLanguageOfQt, MessageBoxButtonsSpeakTheWindowsLanguage)
{
    if (!QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) +
                           QStringLiteral("/qtbase_ru.qm")))
        GTEST_SKIP() << "Qt's Russian translation (qt6-translations-l10n) is not installed";
    const struct
    {
        const char* settings;
        bool russian;
    } cases[] = {{"", true}, {"[Language]\r\nLanguage=Eng\r\n", false}, {"", true}};
    for (const auto& c : cases) {
        ProgramFolder folder;
        folder.WriteSettings(c.settings);
        Window w(folder);
        w.form->show();
        QMessageBox box(QMessageBox::Question, QString(), QString(),
                        QMessageBox::Yes | QMessageBox::Cancel);
        for (QMessageBox::StandardButton b : {QMessageBox::Yes, QMessageBox::Cancel}) {
            const QString text = box.button(b)->text();
            const bool cyrillic = std::any_of(text.begin(), text.end(), [](QChar ch) {
                return ch.unicode() >= 0x0400 && ch.unicode() <= 0x04FF;
            });
            EXPECT_EQ(cyrillic, c.russian) << text.toStdString();
        }
    }
}

// --- the mouse wheel ------------------------------------------------------------------------

// A wheel turned over any list of any page, the way the window system delivers it (to the
// widget under the pointer), scrolls the page and changes no value: neither ConfigImage nor
// what the next save would take from the pages.
TEST(MainWindowWheel, ScrollingOverListsEditsNothing)
{
    ProgramFolder folder;
    Window w(folder);
    TFormMain& form = *w.form;
    form.resize(1120, 760);
    form.show();
    w.services.newModel = 44;
    form.BitBtnCreatClick();
    QCoreApplication::processEvents();

    auto pageValues = [&] {
        model::Image image = form.ConfigImage();
        model::KeyCodes codes{};
        model::FormToImage(form.Editor(), image, codes);
        return image;
    };
    auto selections = [&] {
        std::map<std::string, int> items;
        for (QComboBox* box : form.findChildren<QComboBox*>())
            items[box->objectName().toStdString()] = box->currentIndex();
        return items;
    };
    const model::Image image = form.ConfigImage();
    const model::Image fromPages = pageValues();
    const std::map<std::string, int> selected = selections();

    auto* pages = w.Find<QTabWidget>(QStringLiteral("PageControl"));
    int wheeled = 0, scrolled = 0;
    for (int p = 0; p < pages->count(); ++p) {
        pages->setCurrentIndex(p);
        QCoreApplication::processEvents();
        QWidget* page = pages->widget(p);
        for (QWidget* control : page->findChildren<QWidget*>()) {
            if (!qobject_cast<QComboBox*>(control) && !qobject_cast<QListWidget*>(control))
                continue;
            if (!control->isVisible())
                continue;
            const std::string name = control->objectName().toStdString();
            QScrollArea* area = nullptr;
            for (QWidget* up = control->parentWidget(); up && !area; up = up->parentWidget())
                area = qobject_cast<QScrollArea*>(up);
            if (area) {
                area->ensureWidgetVisible(control);
                QCoreApplication::processEvents();
            }
            const QPoint at = control->mapTo(&form, control->rect().center());
            QWidget* target = form.childAt(at);
            ASSERT_TRUE(target == control || control->isAncestorOf(target)) << name;
            const int before = area ? area->verticalScrollBar()->value() : 0;
            const QPointF local = target->mapFrom(&form, at);
            QWheelEvent wheel(local, target->mapToGlobal(local), QPoint(), QPoint(0, -120),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(target, &wheel);
            ++wheeled;
            if (area && before < area->verticalScrollBar()->maximum()) {
                EXPECT_GT(area->verticalScrollBar()->value(), before) << name;
                ++scrolled;
            }
        }
    }
    EXPECT_GT(wheeled, 60 * 2 + 7 + 16 * 11 + 8);
    EXPECT_GT(scrolled, 0);
    EXPECT_EQ(form.ConfigImage(), image);
    EXPECT_EQ(pageValues(), fromPages);
    EXPECT_EQ(selections(), selected);
}

// --- commands -------------------------------------------------------------------------------

class MainWindowCommands : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bus.AddUnit(5, 44, 223);
        model::Image image = model::FactoryImage();
        image[model::PartitionNumberOffset(1)] = 42; // partition 1 is number 42 in the unit
        image[model::PartitionNumberOffset(2)] = 0x39;
        image[model::PartitionNumberOffset(2) + 1] = 0x30; // 12345
        bus.SetImage(5, image);
        w = std::make_unique<Window>(folder, std::vector<std::string>{"COM1", "COM2"}, &channel);
        w->services.unit = {5, std::string(model::kModelKlv)};
        w->form->show();
    }
    TFormMain& Form() { return *w->form; }
    ScriptedServices& Services() { return w->services; }
    QString Msg(int n) { return ui::ToQString(model::Message(Form().Tables(), n)); }
    QTabWidget* Pages() const { return w->Find<QTabWidget>(QStringLiteral("PageControl")); }
    void Read()
    {
        Form().BitBtnFindClick();
        ASSERT_EQ(Form().SourceAddress(), 5);
        Services().boxes.clear();
    }

    ProgramFolder folder;
    sim::Bus bus;
    mainwin_test::BusChannel channel{bus};
    std::unique_ptr<Window> w;
};

TEST_F(MainWindowCommands, ReadShowsTheUnitsConfiguration)
{
    Form().BitBtnFindClick();
    EXPECT_EQ(Form().SourceAddress(), 5);
    EXPECT_EQ(Form().ReadPort(), 1);
    EXPECT_TRUE(Form().ConfigPresent());
    EXPECT_EQ(Form().ModelName(), "КЛВ");
    EXPECT_TRUE(Pages()->isEnabled());
    EXPECT_EQ(w->Find<QWidget>(QStringLiteral("PageInfo")), nullptr);
    EXPECT_EQ(Form().windowTitle(), Msg(3) + QStringLiteral("5"));
    EXPECT_EQ(Form().Editor().Text("Obj01ParamNumber"), "42");
    EXPECT_EQ(Form().Editor().Text("Obj02ParamNumber"), "9999");
    EXPECT_TRUE(Services().boxes.empty());
    // A second read asks first; Cancel keeps everything.
    Services().answers = {BoxAnswer::Cancel};
    Form().BitBtnFindClick();
    ASSERT_EQ(Services().boxes.size(), 1u);
    EXPECT_EQ(Services().boxes[0].text, Msg(1));
    EXPECT_EQ(Services().boxes[0].kind, BoxKind::Warning);
    EXPECT_EQ(Form().SourceAddress(), 5);
    EXPECT_EQ(Services().searches, 1);
}

// The search dialog closes, then the read holds the event queue: the window must have been
// painted in between, or the dialog's picture stays on it for the whole read.
TEST_F(MainWindowCommands, WindowIsRepaintedBeforeTheReadStarts)
{
    struct PaintCounter : QObject
    {
        QWidget* window = nullptr;
        int paints = 0;
        bool eventFilter(QObject* o, QEvent* e) override
        {
            auto* widget = qobject_cast<QWidget*>(o);
            if (e->type() == QEvent::Paint && widget &&
                (widget == window || window->isAncestorOf(widget)))
                ++paints;
            return false;
        }
    } counter;
    counter.window = &Form();
    QCoreApplication::processEvents(); // the first show's painting
    qApp->installEventFilter(&counter);
    std::optional<int> paintsAtFirstExchange;
    Services().onSearch = [&] { counter.paints = 0; };
    channel.onExchange = [&] {
        if (!paintsAtFirstExchange)
            paintsAtFirstExchange = counter.paints;
    };
    Form().BitBtnFindClick();
    qApp->removeEventFilter(&counter);
    ASSERT_TRUE(paintsAtFirstExchange.has_value());
    EXPECT_GT(*paintsAtFirstExchange, 0);
    EXPECT_EQ(Form().SourceAddress(), 5);
}

TEST_F(MainWindowCommands, FailedReadLeavesThePagesDisabled)
{
    Read();
    // The unit now holds other bytes: a read that fails halfway must not leave some of them in
    // the working image beside the old ones.
    const model::Image before = Form().ConfigImage();
    model::Image changed = *bus.Image(5);
    for (size_t i = 0; i < 600; ++i)
        changed[i] = static_cast<uint8_t>(changed[i] ^ 0x5A);
    bus.SetImage(5, changed);
    channel.failAt = 100; // well inside the image read
    Form().BitBtnFindClick();
    EXPECT_EQ(Services().Texts(), (QStringList{Msg(1), Msg(4)}));
    EXPECT_EQ(Form().ConfigImage(), before);
    EXPECT_EQ(Services().boxes.back().kind, BoxKind::Error);
    EXPECT_EQ(Form().SourceAddress(), 0);
    EXPECT_FALSE(Form().ConfigPresent());
    EXPECT_FALSE(Pages()->isEnabled());
    EXPECT_EQ(Form().windowTitle(), Msg(5));
    // A cancelled search too.
    Services().unit = {};
    Form().BitBtnFindClick();
    EXPECT_FALSE(Pages()->isEnabled());
}

TEST_F(MainWindowCommands, ReadThenNewThenWriteSendsEveryDifferingByte)
{
    Read();
    Form().BitBtnCreatClick();
    EXPECT_EQ(Services().Texts(), QStringList{Msg(6)});
    EXPECT_EQ(Form().SourceAddress(), 5);
    EXPECT_EQ(Form().ModelName(), "КЛВ");
    EXPECT_EQ(Form().Editor().Text("Obj01ParamNumber"), std::to_string(model::FactoryImage()[0]));
    channel.requests.clear();
    Form().BitBtnWriteClick();
    EXPECT_EQ(Services().Texts(), (QStringList{Msg(6), Msg(21)}));
    // The working image is the factory image as the pages show it (showing the bound events
    // also sets the partner bit of a coupled pair).
    const model::Image unit = *bus.Image(5);
    const model::Image& mask = model::ReadMask();
    for (size_t i = 0; i < unit.size(); ++i)
        if (mask[i]) {
            ASSERT_EQ(unit[i], Form().ConfigImage()[i]) << "byte " << i;
        }
    EXPECT_EQ(unit[0], model::FactoryImage()[0]);
    EXPECT_EQ(Form().ImageCopy(), Form().ConfigImage());
    EXPECT_FALSE(channel.Requests(0x41).empty());
}

TEST_F(MainWindowCommands, NewWithoutAUnitAsksTheModelAndCannotWrite)
{
    Services().newModel = 10;
    Form().BitBtnCreatClick();
    EXPECT_TRUE(Form().ConfigPresent());
    EXPECT_EQ(Form().ModelName(), "ВД");
    EXPECT_FALSE(w->Find<QComboBox>(QStringLiteral("Obj01ParamButton"))->isEnabled());
    EXPECT_FALSE(w->Find<QLineEdit>(QStringLiteral("MainParamPin"))->isEnabled());
    EXPECT_FALSE(w->Find<QCheckBox>(QStringLiteral("MainParamBell"))->isEnabled());
    EXPECT_TRUE(w->Find<QCheckBox>(QStringLiteral("MainParam2U"))->isEnabled());
    channel.requests.clear();
    Form().BitBtnWriteClick();
    EXPECT_TRUE(channel.requests.empty());
    EXPECT_TRUE(Services().boxes.empty());
    Services().newModel = 0; // a cancelled question keeps the model
    Form().BitBtnCreatClick();
    EXPECT_EQ(Form().ModelName(), "ВД");
}

TEST_F(MainWindowCommands, ExitAsksOnlyAfterARead)
{
    Services().newModel = 44;
    Form().BitBtnCreatClick();
    Form().BitBtnCloseClick();
    EXPECT_TRUE(Services().boxes.empty());
    EXPECT_FALSE(Form().isVisible());

    Form().show();
    Read();
    Services().answers = {BoxAnswer::No};
    Form().BitBtnCloseClick();
    ASSERT_EQ(Services().boxes.size(), 1u);
    EXPECT_EQ(Services().boxes[0].text, Msg(23));
    EXPECT_EQ(Services().boxes[0].buttons, BoxButtons::YesNo);
    EXPECT_TRUE(Form().isVisible());
    Services().answers = {BoxAnswer::Yes};
    Form().BitBtnCloseClick();
    EXPECT_FALSE(Form().isVisible());

    // The window's own close box asks nothing, also with a unit read.
    Form().show();
    Services().boxes.clear();
    Form().close();
    EXPECT_TRUE(Services().boxes.empty());
    EXPECT_FALSE(Form().isVisible());
}

TEST_F(MainWindowCommands, SaveAsksInOrderAndWritesTheFile)
{
    Read();
    const std::string path = folder.File("unit.kconf");
    Services().saveName = QString::fromStdString(path);
    ui::WidgetEditor& editor = Form().Editor();

    // A bad credential code stops the save before any question.
    editor.SetText("ParamKey3", "123");
    Form().BitBtnSaveClick();
    ASSERT_EQ(Services().boxes.size(), 1u);
    EXPECT_EQ(Services().boxes[0].kind, BoxKind::Warning);
    EXPECT_TRUE(Services().boxes[0].text.startsWith(Msg(14)));
    editor.SetText("ParamKey3", "0000000000000000");

    // Cancel at the question writes nothing.
    Services().boxes.clear();
    Services().answers = {BoxAnswer::Cancel};
    Form().BitBtnSaveClick();
    EXPECT_EQ(Services().Texts(), QStringList{Msg(18)});
    EXPECT_FALSE(QFileInfo::exists(Services().saveName));

    // A new file: no replace question; the edits reach the file.
    Services().boxes.clear();
    editor.SetText("Obj01ParamNumber", "777");
    Form().BitBtnSaveClick();
    EXPECT_EQ(Services().Texts(), QStringList{Msg(18)});
    model::LoadedConfig saved = model::LoadConfigFile(path, std::nullopt);
    ASSERT_EQ(saved.status, model::LoadStatus::Ok);
    EXPECT_EQ(saved.image, Form().ConfigImage());
    EXPECT_EQ(saved.image[0] + 256 * saved.image[1], 777);

    // An existing file: message 19; Cancel keeps the old file.
    Services().boxes.clear();
    Services().answers = {BoxAnswer::Yes, BoxAnswer::Cancel};
    editor.SetText("Obj01ParamNumber", "888");
    Form().BitBtnSaveClick();
    EXPECT_EQ(Services().Texts(), (QStringList{Msg(18), Msg(19)}));
    saved = model::LoadConfigFile(path, std::nullopt);
    EXPECT_EQ(saved.image[0] + 256 * saved.image[1], 777);

    // A file that cannot be written: message 20.
    Services().boxes.clear();
    Services().saveName = QString::fromStdString(folder.File("missing/unit.kconf"));
    Form().BitBtnSaveClick();
    EXPECT_EQ(Services().Texts(), (QStringList{Msg(18), Msg(20)}));
    EXPECT_EQ(Services().boxes.back().kind, BoxKind::Error);

    // A read-only file is not replaced, even when the operator agrees to: message 20, and the
    // file keeps its content.
    Services().boxes.clear();
    Services().saveName = QString::fromStdString(path);
    Services().answers = {BoxAnswer::Yes, BoxAnswer::Yes};
    QFile::setPermissions(Services().saveName, QFileDevice::ReadOwner | QFileDevice::ReadGroup);
    Form().BitBtnSaveClick();
    EXPECT_EQ(Services().Texts(), (QStringList{Msg(18), Msg(19), Msg(20)}));
    saved = model::LoadConfigFile(path, std::nullopt);
    EXPECT_EQ(saved.image[0] + 256 * saved.image[1], 777);
    QFile::setPermissions(Services().saveName, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

TEST_F(MainWindowCommands, OpenAsksByStateAndReportsABadFile)
{
    Services().boxes.clear();
    Services().openName = QString::fromStdString(folder.File("none.kconf"));
    Form().BitBtnLoadClick();
    EXPECT_EQ(Services().Texts(), (QStringList{Msg(8), Msg(9)}));
    EXPECT_FALSE(Form().ConfigPresent());

    model::Image image = model::FactoryImage();
    image[model::PartitionNumberOffset(60)] = 60;
    ASSERT_TRUE(model::SaveConfigFile(folder.File("vd.kconf"), "ВД", image, {}));
    Services().boxes.clear();
    Services().openName = QString::fromStdString(folder.File("vd.kconf"));
    Form().BitBtnLoadClick();
    EXPECT_TRUE(Form().ConfigPresent());
    EXPECT_EQ(Form().ModelName(), "ВД");
    EXPECT_EQ(Form().Editor().Text("Obj60ParamNumber"), "60");

    // With a КЛВ unit read, a ВД file is refused and nothing changes.
    Read();
    Form().BitBtnLoadClick();
    EXPECT_EQ(Services().Texts(), (QStringList{Msg(7), Msg(32), Msg(9)}));
    EXPECT_EQ(Form().ModelName(), "КЛВ");
    EXPECT_EQ(Form().Editor().Text("Obj01ParamNumber"), "42");
}

TEST_F(MainWindowCommands, WriteOutcomesAndTheirMessages)
{
    Read();
    Form().Editor().SetText("Obj01ParamNumber", "43");

    // The unit read on COM1 while COM2 is chosen: cancelling the port question stops the write
    // without message 22.
    w->Find<QAction>(QStringLiteral("COM2"))->trigger();
    Services().answers = {BoxAnswer::Yes, BoxAnswer::Cancel};
    Form().BitBtnWriteClick();
    EXPECT_EQ(Services().Texts(), (QStringList{Msg(21), Msg(29)}));
    EXPECT_EQ((*bus.Image(5))[0], 42);

    // A failed exchange in the middle: message 22.
    w->Find<QAction>(QStringLiteral("COM1"))->trigger();
    Services().boxes.clear();
    channel.failAt = 3;
    Form().BitBtnWriteClick();
    EXPECT_EQ(Services().Texts(), (QStringList{Msg(21), Msg(22)}));

    // Written: no message after the question, and the unit holds the edit.
    Services().boxes.clear();
    Form().BitBtnWriteClick();
    EXPECT_EQ(Services().Texts(), QStringList{Msg(21)});
    EXPECT_EQ((*bus.Image(5))[0], 43);
}

TEST_F(MainWindowCommands, ToolbarAndMenuAreSeparate)
{
    Form().DisableToolbar();
    EXPECT_FALSE(w->Find<QToolButton>(QStringLiteral("BitBtnSave"))->isEnabled());
    EXPECT_TRUE(w->Find<QAction>(QStringLiteral("NFileSave"))->isEnabled());
    Form().EnableToolbar();
    EXPECT_TRUE(w->Find<QToolButton>(QStringLiteral("BitBtnSave"))->isEnabled());
    // Both run the same command.
    w->Find<QAction>(QStringLiteral("NFileHelp"))->trigger();
    w->Find<QToolButton>(QStringLiteral("BitBtnHelp"))->click();
    EXPECT_EQ(Services().helpOpened, QStringList(2, folder.Path() + QStringLiteral("Vendaxo.chm")));
}

TEST_F(MainWindowCommands, CredentialButtonsFillTheirSlot)
{
    Read();
    Services().keyCode = QStringLiteral("2D000001B2C3D401");
    w->Find<QAbstractButton>(QStringLiteral("ButtonKey7"))->click();
    EXPECT_EQ(Form().Editor().Text("ParamKey7"), "2D000001B2C3D401");
    Services().keyCode.clear();
    w->Find<QAbstractButton>(QStringLiteral("ButtonKey7"))->click();
    EXPECT_EQ(Form().Editor().Text("ParamKey7"), "2D000001B2C3D401");
}

// The operation bar is on screen while a transfer runs and gone after it, whichever way the
// transfer ends.
TEST_F(MainWindowCommands, OperationBarIsShownOnlyWhileATransferRuns)
{
    auto* bar = w->Find<QProgressBar>(QStringLiteral("ProgressBarOperation"));
    ASSERT_NE(bar, nullptr);
    EXPECT_FALSE(bar->isVisible()) << "before any transfer";
    int edits = 0;
    auto read = [&] { Form().BitBtnFindClick(); };
    auto write = [&] {
        Form().Editor().SetText("Obj01ParamNumber", std::to_string(100 + ++edits));
        Form().BitBtnWriteClick();
    };
    const struct
    {
        const char* name;
        std::function<void()> run;
        std::optional<size_t> failAt;
        int message; // the box after the transfer, -1 = none
    } cases[] = {
        {"read failing in the image", read, 100, 4},
        {"read failing in the credential codes", read, 963, 4},
        {"read", read, std::nullopt, -1},
        {"write", write, std::nullopt, -1},
        {"write failing", write, 2, 22},
        {"write to a unit that does not answer the identity check", write, 0, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Services().boxes.clear();
        int exchanges = 0, shown = 0;
        channel.onExchange = [&] {
            ++exchanges;
            shown += bar->isVisible() ? 1 : 0;
        };
        channel.failAt = c.failAt;
        c.run();
        channel.onExchange = nullptr;
        EXPECT_GT(exchanges, 0);
        EXPECT_EQ(shown, exchanges) << "the bar is up for every exchange of a transfer";
        EXPECT_FALSE(bar->isVisible());
        EXPECT_EQ(bar->value(), 0);
        EXPECT_TRUE(w->Find<QToolButton>(QStringLiteral("BitBtnFind"))->isEnabled());
        if (c.message >= 0) {
            ASSERT_FALSE(Services().boxes.empty());
            EXPECT_EQ(Services().boxes.back().text, Msg(c.message));
        }
    }
}

// The image comes whole, then the credential read fails: nothing of that read is kept, and the
// window is left as after any failed read.
TEST_F(MainWindowCommands, ReadWhoseCredentialReadFailsKeepsNothingOfIt)
{
    Read();
    const model::Image image = Form().ConfigImage(), imageCopy = Form().ImageCopy();
    const model::KeyCodes codes = Form().KeyCodes(), codesCopy = Form().KeyCodesCopy();
    const std::string key1 = Form().Editor().Text("ParamKey1");
    // The unit now holds other bytes and other codes.
    model::Image changed = *bus.Image(5);
    for (size_t i = 0; i < changed.size(); ++i)
        changed[i] = static_cast<uint8_t>(changed[i] ^ 0x5A);
    bus.SetImage(5, changed);
    model::KeyCodes keys{};
    for (auto& k : keys)
        k = {0x01, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
    bus.SetKeyCodes(5, keys);
    const struct
    {
        const char* name;
        size_t failAt; // 960 image steps come first
        size_t keyReads;
    } cases[] = {{"first slot", 960, 1}, {"fourth slot", 963, 4}, {"last slot", 967, 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Services().boxes.clear();
        channel.requests.clear();
        channel.failAt = c.failAt;
        Form().BitBtnFindClick();
        EXPECT_EQ(channel.Requests(0x43).size(), 960u) << "the image read succeeded";
        EXPECT_EQ(channel.Requests(0x1D).size(), c.keyReads);
        ASSERT_FALSE(Services().boxes.empty());
        EXPECT_EQ(Services().boxes.back().text, Msg(4));
        EXPECT_EQ(Services().boxes.back().kind, BoxKind::Error);
        EXPECT_EQ(Form().ConfigImage(), image);
        EXPECT_EQ(Form().KeyCodes(), codes);
        EXPECT_EQ(Form().ImageCopy(), imageCopy);
        EXPECT_EQ(Form().KeyCodesCopy(), codesCopy);
        EXPECT_EQ(Form().Editor().Text("ParamKey1"), key1);
        EXPECT_EQ(Form().SourceAddress(), 0);
        EXPECT_FALSE(Form().ConfigPresent());
        EXPECT_FALSE(Pages()->isEnabled());
        EXPECT_EQ(Form().windowTitle(), Msg(5));
    }
}

// Every message box of the seven commands by number, kind and buttons.  English, where the two
// "exit without saving" texts differ.
TEST(MainWindowMessages, EveryCommandsBoxHasItsKindAndButtons)
{
    using K = BoxKind;
    using B = BoxButtons;
    struct Expected
    {
        int message;
        BoxKind kind;
        BoxButtons buttons;
    };
    struct Context
    {
        ProgramFolder& folder;
        sim::Bus& bus;
        mainwin_test::BusChannel& channel;
        Window& w;
        TFormMain& form;
        ScriptedServices& services;
        void Read()
        {
            form.BitBtnFindClick();
            ASSERT_EQ(form.SourceAddress(), 5);
        }
    };
    auto foreignFile = [](Context& c) {
        const std::string path = c.folder.File("foreign.kconf");
        ASSERT_TRUE(model::SaveConfigFile(path, "КЛВ", model::FactoryImage(), {}));
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(3);
        f.put('\1');
        c.services.openName = QString::fromStdString(path);
    };
    const struct
    {
        const char* name;
        std::function<void(Context&)> setup; // boxes shown here are not looked at
        std::vector<BoxAnswer> answers;
        std::function<void(TFormMain&)> command;
        std::vector<Expected> boxes;
    } cases[] = {
        {"read over a unit read", [](Context& c) { c.Read(); }, {BoxAnswer::Cancel},
         [](TFormMain& f) { f.BitBtnFindClick(); }, {{1, K::Warning, B::YesCancel}}},
        {"read that fails", [](Context& c) { c.channel.failAt = 0; }, {},
         [](TFormMain& f) { f.BitBtnFindClick(); }, {{4, K::Error, B::Ok}}},
        {"new over a unit read", [](Context& c) { c.Read(); }, {BoxAnswer::Cancel},
         [](TFormMain& f) { f.BitBtnCreatClick(); }, {{6, K::Confirmation, B::YesCancel}}},
        {"open over a unit read", [](Context& c) { c.Read(); }, {BoxAnswer::Cancel},
         [](TFormMain& f) { f.BitBtnLoadClick(); }, {{7, K::Confirmation, B::YesCancel}}},
        {"open of a missing file",
         [](Context& c) { c.services.openName = QString::fromStdString(c.folder.File("none.kconf")); },
         {}, [](TFormMain& f) { f.BitBtnLoadClick(); },
         {{8, K::Confirmation, B::YesCancel}, {9, K::Error, B::Ok}}},
        {"open of a file with a foreign header", foreignFile, {},
         [](TFormMain& f) { f.BitBtnLoadClick(); },
         {{8, K::Confirmation, B::YesCancel}, {31, K::Error, B::Ok}, {9, K::Error, B::Ok}}},
        {"open of the other model's file over a unit read",
         [](Context& c) {
             const std::string path = c.folder.File("vd.kconf");
             ASSERT_TRUE(model::SaveConfigFile(path, "ВД", model::FactoryImage(), {}));
             c.services.openName = QString::fromStdString(path);
             c.Read();
         },
         {}, [](TFormMain& f) { f.BitBtnLoadClick(); },
         {{7, K::Confirmation, B::YesCancel}, {32, K::Error, B::Ok}, {9, K::Error, B::Ok}}},
        {"save with a credential code too short",
         [](Context& c) {
             c.Read();
             c.form.Editor().SetText("ParamKey3", "123");
         },
         {}, [](TFormMain& f) { f.BitBtnSaveClick(); }, {{14, K::Warning, B::Ok}}},
        {"save over an existing file",
         [](Context& c) {
             c.Read();
             const std::string path = c.folder.File("old.kconf");
             ASSERT_TRUE(model::SaveConfigFile(path, "КЛВ", model::FactoryImage(), {}));
             c.services.saveName = QString::fromStdString(path);
         },
         {BoxAnswer::Yes, BoxAnswer::Cancel}, [](TFormMain& f) { f.BitBtnSaveClick(); },
         {{18, K::Confirmation, B::YesCancel}, {19, K::Confirmation, B::YesCancel}}},
        {"save that cannot be written",
         [](Context& c) {
             c.Read();
             c.services.saveName = QString::fromStdString(c.folder.File("missing/unit.kconf"));
         },
         {}, [](TFormMain& f) { f.BitBtnSaveClick(); },
         {{18, K::Confirmation, B::YesCancel}, {20, K::Error, B::Ok}}},
        {"write, cancelled", [](Context& c) { c.Read(); }, {BoxAnswer::Cancel},
         [](TFormMain& f) { f.BitBtnWriteClick(); }, {{21, K::Confirmation, B::YesCancel}}},
        {"write that fails",
         [](Context& c) {
             c.Read();
             c.form.Editor().SetText("Obj01ParamNumber", "43");
             c.channel.failAt = 2; // the first image write
         },
         {}, [](TFormMain& f) { f.BitBtnWriteClick(); },
         {{21, K::Confirmation, B::YesCancel}, {22, K::Error, B::Ok}}},
        {"write with another port chosen",
         [](Context& c) {
             c.Read();
             c.w.Find<QAction>(QStringLiteral("COM2"))->trigger();
         },
         {BoxAnswer::Yes, BoxAnswer::Cancel}, [](TFormMain& f) { f.BitBtnWriteClick(); },
         {{21, K::Confirmation, B::YesCancel}, {29, K::Confirmation, B::YesCancel}}},
        {"write to a unit that does not answer the identity check",
         [](Context& c) {
             c.Read();
             c.channel.failAt = 0;
         },
         {}, [](TFormMain& f) { f.BitBtnWriteClick(); },
         {{21, K::Confirmation, B::YesCancel}, {30, K::Error, B::Ok}}},
        {"exit over a unit read", [](Context& c) { c.Read(); }, {BoxAnswer::No},
         [](TFormMain& f) { f.BitBtnCloseClick(); }, {{23, K::Warning, B::YesNo}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramFolder folder;
        folder.WriteSettings("[Language]\r\nLanguage=Eng\r\n");
        sim::Bus bus;
        bus.AddUnit(5, 44, 223);
        mainwin_test::BusChannel channel{bus};
        Window w(folder, {"COM1", "COM2"}, &channel);
        w.services.unit = {5, std::string(model::kModelKlv)};
        w.form->show();
        Context context{folder, bus, channel, w, *w.form, w.services};
        c.setup(context);
        if (::testing::Test::HasFatalFailure())
            return;
        w.services.boxes.clear();
        w.services.answers.assign(c.answers.begin(), c.answers.end());
        c.command(*w.form);
        ASSERT_EQ(w.services.boxes.size(), c.boxes.size());
        for (size_t i = 0; i < c.boxes.size(); ++i) {
            SCOPED_TRACE(c.boxes[i].message);
            const auto& box = w.services.boxes[i];
            // The credential-code messages carry the slot numbers after their first part.
            EXPECT_TRUE(box.text.startsWith(
                ui::ToQString(model::Message(w.form->Tables(), c.boxes[i].message))))
                << box.text.toStdString();
            EXPECT_EQ(box.kind, c.boxes[i].kind);
            EXPECT_EQ(box.buttons, c.boxes[i].buttons);
        }
    }
}

} // namespace
