#include "config_tool/ui/language_switch.h"

#include "config_tool/ui/main_names.h"
#include "config_tool/ui/main_pictures.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenu>
#include <QPointer>
#include <QTabWidget>
#include <QTranslator>

#include <memory>

namespace ui {
namespace {

enum class Window { Main, AddState, KeyCode, Search, SeeInd, Questions };
enum class Kind {
    Title, // the window's own caption
    Menu,  // a menu's title
    Item,  // a menu item's text
    Hint,  // a button's hint, which is also its accessible name
    Page,  // a page's tab caption
    Text,  // a label's or button's caption
};

// One caption slot's target.  With count > 0 the target is the family name + NN + suffix,
// NN = 01..count.
struct Slot
{
    int slot;
    Window window;
    Kind kind;
    const char* name;
    int count = 0;
    const char* suffix = "";
};

// In slot order, window by window.  Slot 14 (the partition row numbers) is set apart below.
constexpr Slot kSlots[] = {
    {0, Window::Main, Kind::Title, ""},
    {1, Window::Main, Kind::Menu, "NFile"},
    {2, Window::Main, Kind::Item, "NFileFind"},
    {2, Window::Main, Kind::Hint, "BitBtnFind"},
    {3, Window::Main, Kind::Item, "NFileCreat"},
    {3, Window::Main, Kind::Hint, "BitBtnCreat"},
    {4, Window::Main, Kind::Item, "NFileLoad"},
    {4, Window::Main, Kind::Hint, "BitBtnLoad"},
    {5, Window::Main, Kind::Item, "NFileSave"},
    {5, Window::Main, Kind::Hint, "BitBtnSave"},
    {6, Window::Main, Kind::Item, "NFileWrite"},
    {6, Window::Main, Kind::Hint, "BitBtnWrite"},
    {7, Window::Main, Kind::Item, "NFileHelp"},
    {7, Window::Main, Kind::Hint, "BitBtnHelp"},
    {8, Window::Main, Kind::Item, "NFileClose"},
    {8, Window::Main, Kind::Hint, "BitBtnClose"},
    {9, Window::Main, Kind::Menu, "NComPort"},
    {10, Window::Main, Kind::Page, "PageInfo"},
    {11, Window::Main, Kind::Text, "LabelInfoName"},
    {12, Window::Main, Kind::Text, "LabelInfoComment"},
    {13, Window::Main, Kind::Page, "PageObject"},
    {15, Window::Main, Kind::Text, "LabelObj", kPartitionRows, "Label"},
    {16, Window::Main, Kind::Text, "LabelObj", kPartitionRows, "Ind"},
    {17, Window::Main, Kind::Text, "LabelObj", kPartitionRows, "But"},
    {18, Window::Main, Kind::Page, "PageMain"},
    {19, Window::Main, Kind::Text, "LabelMainPin"},
    {20, Window::Main, Kind::Text, "LabelMainTime"},
    {21, Window::Main, Kind::Text, "LabelMain2U"},
    {22, Window::Main, Kind::Text, "LabelMainSpeeker"},
    {23, Window::Main, Kind::Text, "LabelMainMute"},
    {24, Window::Main, Kind::Text, "LabelMainSys01"},
    {25, Window::Main, Kind::Text, "LabelMainSys02"},
    {26, Window::Main, Kind::Text, "LabelMainSys03"},
    {27, Window::Main, Kind::Text, "LabelMainSys04"},
    {28, Window::Main, Kind::Text, "LabelMainSys05"},
    {29, Window::Main, Kind::Text, "LabelMainSys06"},
    {30, Window::Main, Kind::Text, "LabelMainSys07"},
    {31, Window::Main, Kind::Page, "PageSettings"},
    {32, Window::Main, Kind::Text, "ButtonIndSee"},
    {33, Window::Main, Kind::Text, "LabelSeeColor"},
    {34, Window::Main, Kind::Text, "LabelSeeSound"},
    {35, Window::Main, Kind::Text, "LabelSeeState"},
    {36, Window::Main, Kind::Text, "LabelSeeType", 16},
    {37, Window::Main, Kind::Text, "LabelSeePrior", 16},
    {38, Window::Main, Kind::Page, "PageSound"},
    {39, Window::Main, Kind::Text, "ButtonSoundSee"},
    {40, Window::Main, Kind::Page, "PageKey"},
    {59, Window::AddState, Kind::Text, "bGetStateOk"},
    {60, Window::AddState, Kind::Text, "bGetStateCancel"},
    {64, Window::KeyCode, Kind::Text, "Label1"},
    {65, Window::KeyCode, Kind::Text, "LabelWait"},
    {66, Window::KeyCode, Kind::Text, "Button1"},
    {67, Window::KeyCode, Kind::Text, "Button2"},
    {69, Window::Search, Kind::Title, ""},
    {70, Window::Search, Kind::Hint, "BitBtn1"},
    {71, Window::Search, Kind::Hint, "BitBtnOk"},
    {72, Window::Search, Kind::Hint, "BitBtnCancel"},
    {74, Window::SeeInd, Kind::Title, ""},
    {75, Window::SeeInd, Kind::Text, "ButtonFormSeeClose"},
    {79, Window::Questions, Kind::Title, ""},
    {80, Window::Questions, Kind::Text, "LabelQuestions"},
    {81, Window::Questions, Kind::Text, "rbType44"},
    {82, Window::Questions, Kind::Text, "rbType10"},
    {83, Window::Questions, Kind::Text, "Button1"},
    {84, Window::Questions, Kind::Text, "Button2"},
};

QWidget* WindowOf(const LanguageWindows& w, Window which)
{
    switch (which) {
    case Window::Main:
        return w.main;
    case Window::AddState:
        return w.addState;
    case Window::KeyCode:
        return w.keyCode;
    case Window::Search:
        return w.search;
    case Window::SeeInd:
        return w.seeInd;
    case Window::Questions:
        return w.questions;
    }
    return nullptr;
}

void SetCaption(QWidget* window, Kind kind, const QString& name, const QString& text)
{
    switch (kind) {
    case Kind::Title:
        window->setWindowTitle(text);
        return;
    case Kind::Menu:
        if (auto* menu = window->findChild<QMenu*>(name))
            menu->setTitle(text);
        return;
    case Kind::Item:
        if (auto* item = window->findChild<QAction*>(name))
            item->setText(text);
        return;
    case Kind::Hint:
        if (auto* w = window->findChild<QWidget*>(name)) {
            w->setToolTip(text);
            w->setAccessibleName(text);
        }
        return;
    case Kind::Page:
        if (auto* page = window->findChild<QWidget*>(name))
            for (QWidget* up = page->parentWidget(); up; up = up->parentWidget())
                if (auto* tabs = qobject_cast<QTabWidget*>(up)) {
                    tabs->setTabText(tabs->indexOf(page), text);
                    return;
                }
        return;
    case Kind::Text:
        if (auto* label = window->findChild<QLabel*>(name))
            label->setText(text);
        else if (auto* button = window->findChild<QAbstractButton*>(name))
            button->setText(text);
        return;
    }
}

template <std::size_t N> QStringList Rows(const std::array<std::string_view, N>& table)
{
    QStringList rows;
    for (std::size_t i = 0; i < N; ++i)
        rows << ToQString(table[i]);
    return rows;
}

// The window definitions leave the lists empty and unselected; appending to an empty Qt list
// selects its first row, which is undone here.
void Fill(QWidget* window, const QString& name, const QStringList& rows)
{
    if (auto* box = window->findChild<QComboBox*>(name)) {
        box->addItems(rows);
        box->setCurrentIndex(-1);
    }
}

void FillFamily(QWidget* window, const char* prefix, int count, const char* suffix,
                const QStringList& rows)
{
    for (int n = 1; n <= count; ++n)
        Fill(window, NumberedName(prefix, n, suffix), rows);
}

void FillLists(QWidget* main, const model::TextTables& t)
{
    FillFamily(main, "Obj", kPartitionRows, "ParamType", Rows(t.partitionTypes));
    FillFamily(main, "Obj", kPartitionRows, "ParamButton", Rows(t.buttonModes));
    FillFamily(main, "System", kSystemIndicators, "ParamType", Rows(t.systemLedTypes));
}

} // namespace

void SetLanguage(int flag, model::TextTables& current, const LanguageWindows& windows,
                 const MainPictures& pictures, const std::function<void()>& fillPageLists)
{
    const model::Language language = model::LanguageFromFlag(static_cast<uint8_t>(flag != 0));
    current = model::ConstantTables(language);
    if (windows.main)
        if (auto* image = windows.main->findChild<QLabel*>(QStringLiteral("ImageShow")))
            image->setPixmap(language == model::Language::Russian ? pictures.imageRus
                                                                  : pictures.imageEng);

    for (const Slot& s : kSlots) {
        QWidget* window = WindowOf(windows, s.window);
        if (!window)
            continue;
        const QString text = ToQString(current.captions.at(static_cast<std::size_t>(s.slot)));
        if (s.count == 0) {
            SetCaption(window, s.kind, QLatin1String(s.name), text);
        } else {
            for (int n = 1; n <= s.count; ++n)
                SetCaption(window, s.kind, NumberedName(s.name, n, s.suffix), text);
        }
        if (s.slot == 13) {
            const QString led = ToQString(current.captions.at(14));
            for (int n = 1; n <= kPartitionRows; ++n)
                SetCaption(window, Kind::Text, NumberedName("LabelObj", n, "Number"),
                           led + QLatin1Char(' ') + QString::number(n));
        }
    }
    if (windows.main)
        FillLists(windows.main, current);
    if (fillPageLists)
        fillPageLists();
    UseQtTranslations(language);
}

bool UseQtTranslations(model::Language language)
{
    auto* app = QCoreApplication::instance();
    if (!app)
        return false;
    // One translator for the process, owned by the application.
    static QPointer<QTranslator> installed;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
        installed = nullptr;
    }
    if (language != model::Language::Russian)
        return true;
    auto translator = std::make_unique<QTranslator>(app);
    if (!translator->load(QStringLiteral("qtbase_ru"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    QCoreApplication::installTranslator(translator.get());
    installed = translator.release();
    return true;
}

} // namespace ui
