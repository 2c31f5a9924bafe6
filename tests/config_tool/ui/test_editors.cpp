// The indication and sound pages and the preview window on real widgets (offscreen): every
// operator action goes through the controls' own signals, and its effect is read back from
// ConfigImage, the controls and the preview's timers.

#include "config_tool/model/config_image.h"
#include "config_tool/model/text_tables.h"
#include "config_tool/ui/editor_context.h"
#include "config_tool/ui/form_see_ind.h"
#include "config_tool/ui/indication_page.h"
#include "config_tool/ui/main_pictures.h"
#include "config_tool/ui/pictures.h"
#include "config_tool/ui/sound_page.h"
#include "config_tool/ui/widget_editor.h"
#include "platform/tone_player.h"
#include "ui_test_support_main.h"

#include <QApplication>
#include <QCollator>
#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <set>

namespace {

QString Name(const char* prefix, int n, const char* suffix)
{
    return QStringLiteral("%1%2%3")
        .arg(QLatin1String(prefix))
        .arg(n, 2, 10, QLatin1Char('0'))
        .arg(QLatin1String(suffix));
}

std::string Utf8(const QString& s)
{
    return s.toStdString();
}

// A main window with the two pages, an event chooser standing in for TfAddState, and the
// preview window, all on one image.
struct WithApp
{
    WithApp() { mainwin_test::EnsureApplication(); }
};

class Editors : public testing::Test, private WithApp
{
protected:
    Editors()
    {
        main.setObjectName(QStringLiteral("FormMain"));
        pageSettings = new QWidget(&main);
        pageSettings->setObjectName(QStringLiteral("PageSettings"));
        pageSound = new QWidget(&main);
        pageSound->setObjectName(QStringLiteral("PageSound"));
        chooser = new QListWidget(&chooserWindow);
        chooser->setObjectName(QStringLiteral("IndAllListEvent"));
        editor.AddRoot(&main);
        editor.AddRoot(&chooserWindow);
        ctx.pickEvent = [this]() -> std::optional<std::string> {
            ++picks;
            if (!choice)
                return std::nullopt;
            const auto found =
                chooser->findItems(QString::fromStdString(*choice), Qt::MatchExactly);
            if (found.isEmpty())
                return std::nullopt;
            chooser->setCurrentItem(found.front());
            return chooser->currentItem()->text().toStdString();
        };
        ctx.language = [this] { return language; };
        indication = std::make_unique<ui::IndicationPage>(pageSettings, ctx);
        sound = std::make_unique<ui::SoundPage>(pageSound, ctx);
        seeInd = std::make_unique<ui::TFormSeeInd>(&main, ctx, &tones);
        ctx.seeInd = seeInd.get();
        indication->FillLists();
        sound->FillLists();
    }
    ~Editors() override { seeInd.reset(); }

    template <class W = QComboBox> W* Find(const QString& name)
    {
        W* w = main.findChild<W*>(name);
        if (!w)
            w = chooserWindow.findChild<W*>(name);
        EXPECT_NE(w, nullptr) << Utf8(name);
        return w;
    }
    // The operator picks an item.
    void Choose(const QString& list, int item)
    {
        QComboBox* box = Find(list);
        box->setCurrentIndex(item);
        emit box->activated(item);
    }
    // What the main window does on showing a configuration: item t, then its change handler.
    void ShowType(int t)
    {
        Find(QStringLiteral("NumberSettingsInd"))->setCurrentIndex(t);
        indication->NumberSettingsIndChange();
    }
    void ShowSound(int s)
    {
        Find(QStringLiteral("NumberSettingsSound"))->setCurrentIndex(s - 1);
        sound->NumberSettingsSoundChange();
    }
    QListWidget* Events(int n) { return Find<QListWidget>(Name("Ind", n, "ParamListEvent")); }
    QStringList Lines(QListWidget* list)
    {
        QStringList l;
        for (int i = 0; i < list->count(); ++i)
            l << list->item(i)->text();
        return l;
    }
    void Click(const QString& button) { Find<QPushButton>(button)->click(); }
    std::string Row(int row) { return std::string(model::EventClassRow(tables, row).name); }
    std::set<size_t> ChangedSince(const model::Image& before)
    {
        std::set<size_t> changed;
        for (size_t i = 0; i < image.size(); ++i)
            if (image[i] != before[i])
                changed.insert(i);
        return changed;
    }
    // Runs `inside` while the preview window is shown modally by `open`, then closes it with
    // `close` (its close button unless told otherwise).
    void WhileShown(const std::function<void()>& open, const std::function<void()>& inside,
                    std::function<void()> close = {})
    {
        bool ran = false;
        QTimer::singleShot(0, seeInd.get(), [&] {
            ran = true;
            inside();
            if (close)
                close();
            else
                seeInd->findChild<QPushButton*>(QStringLiteral("ButtonFormSeeClose"))->click();
        });
        open();
        EXPECT_TRUE(ran);
        EXPECT_FALSE(seeInd->isVisible());
    }

    QWidget main;
    QWidget* pageSettings = nullptr;
    QWidget* pageSound = nullptr;
    QWidget chooserWindow;
    QListWidget* chooser = nullptr;
    model::Image image = model::FactoryImage();
    model::TextTables tables = model::ConstantTables(model::Language::Russian);
    model::Language language = model::Language::Russian;
    ui::MainPictures pictures = ui::MainPictures::Draw();
    ui::WidgetEditor editor;
    platform::FakeClock clock;
    platform::RecordingTonePlayer tones{&clock};
    ui::EditorContext ctx{image, tables, editor, pictures};
    std::optional<std::string> choice;
    int picks = 0;
    std::unique_ptr<ui::IndicationPage> indication;
    std::unique_ptr<ui::SoundPage> sound;
    std::unique_ptr<ui::TFormSeeInd> seeInd;
};

TEST_F(Editors, ListsFilledByTheLanguageSwitch)
{
    struct Case
    {
        const char* list;
        int count;
        const char* first;
        int selected;
    } cases[] = {
        {"NumberSettingsInd", 24, "Индикация раздела типа \"0 Охранный\"", -1},
        {"Ind01ParamColorPos1", 5, "-", -1},
        {"Ind16ParamColorPos8", 5, "-", -1},
        {"Ind07ParamSoundType", 31, "0 - нет звука", -1},
        {"Ind07ParamSoundPrioritet", 16, "1 - Max", -1},
        {"NumberSettingsSound", 30, "1 - Пожар", 0},
        {"SoundParamColorPos8", 3, "-", -1},
        {"ComboBoxSoundSee", 4, "4 \u0441", 0}, // the Cyrillic letter
    };
    for (const Case& c : cases) {
        QComboBox* box = Find(QLatin1String(c.list));
        EXPECT_EQ(box->count(), c.count) << c.list;
        EXPECT_EQ(box->itemText(0), QString::fromUtf8(c.first)) << c.list;
        EXPECT_EQ(box->currentIndex(), c.selected) << c.list;
    }
    EXPECT_EQ(Find(QStringLiteral("Ind07ParamSoundPrioritet"))->itemText(15),
              QStringLiteral("16 - Min"));
    EXPECT_EQ(Find(QStringLiteral("SoundParamColorPos1"))->itemText(2), QStringLiteral("1/2"));
}

const char* const kColourIds[] = {"ImageIndNo", "ImageIndGreen", "ImageIndRed", "ImageIndYellow",
                                  "ImageIndGreenNo"};

TEST_F(Editors, ColourChangeRewritesExactlyThePairBytesAndSystemTypesShowRed)
{
    struct Case
    {
        int type, indicator, position, item;
        size_t red; // offset of the pair's red byte (green at +4)
        uint8_t redValue, greenValue;
        int shown; // the list's item afterwards
    } cases[] = {
        // Factory type 0, indicator 2: red at every even position.
        {0, 2, 3, 1, 665, 0x0F, 0xF0, 1},
        {0, 2, 4, 0, 665, 0x00, 0xF0, 0},
        {0, 2, 4, 4, 665, 0x00, 0xFC, 4},
        {5, 16, 8, 3, 2359, 0x0F, 0x0F, 3}, // indicator 16 is not editable, its handler works
        {14, 1, 3, 3, 4679, 0xF0, 0x00, 2}, // system types: yellow, green and blinking turn red
        {12, 5, 2, 4, 4174, 0x0F, 0x00, 2},
        {18, 3, 1, 1, 5866, 0xF0, 0x00, 2},
        {13, 1, 5, 0, 4392, 0x0F, 0x00, 0}, // "-" stays off
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " indicator " << c.indicator
                                        << " position " << c.position << " item " << c.item);
        ShowType(c.type);
        const model::Image before = image;
        const QString list =
            Name("Ind", c.indicator, "ParamColorPos") + QString::number(c.position);
        Choose(list, c.item);
        EXPECT_EQ(image.at(c.red), c.redValue);
        EXPECT_EQ(image.at(c.red + 4), c.greenValue);
        for (size_t changed : ChangedSince(before))
            EXPECT_TRUE(changed == c.red || changed == c.red + 4) << "byte " << changed;
        EXPECT_EQ(Find(list)->currentIndex(), c.shown);
        EXPECT_EQ(ui::PictureId(Find<QLabel>(list + QStringLiteral("Image"))), kColourIds[c.shown]);
    }
}

TEST_F(Editors, SoundTypeAndPriorityStoreTheirBytes)
{
    struct Case
    {
        const char* list;
        int indicator, item;
        size_t byte;
        uint8_t value;
    } cases[] = {
        {"ParamSoundPrioritet", 3, 15, 14, 16},                                  // "16 - Min"
        {"ParamSoundPrioritet", 3, 0, 14, 1},                                    // "1 - Max"
        {"ParamSoundPrioritet", 15, 6, 14, 7},  {"ParamSoundType", 2, 0, 15, 0}, // "0 - нет звука"
        {"ParamSoundType", 9, 30, 15, 30},
    };
    ShowType(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        const model::Image before = image;
        Choose(Name("Ind", c.indicator, c.list), c.item);
        const size_t at = model::RecordOffset(1, c.indicator) + c.byte;
        EXPECT_EQ(image.at(at), c.value);
        EXPECT_LE(ChangedSince(before).size(), 1u);
    }
}

TEST_F(Editors, HandlersDoNothingWithoutAnIndicationType)
{
    ShowType(0);
    Find(QStringLiteral("NumberSettingsInd"))->setCurrentIndex(-1);
    const model::Image before = image;
    choice = Row(1);
    Choose(Name("Ind", 2, "ParamColorPos1"), 3);
    Choose(Name("Ind", 2, "ParamSoundType"), 7);
    Choose(Name("Ind", 2, "ParamSoundPrioritet"), 7);
    Click(Name("Ind", 2, "ParamAddEvent"));
    Events(2)->setCurrentRow(0);
    Click(Name("Ind", 2, "ParamDelEvent"));
    indication->NumberSettingsIndChange();
    Find<QPushButton>(QStringLiteral("ButtonIndSee"))->click();
    Find<QToolButton>(Name("sbSeeIndState", 2, ""))->click();
    EXPECT_TRUE(ChangedSince(before).empty());
    EXPECT_EQ(picks, 0);
    EXPECT_FALSE(seeInd->isVisible());
}

TEST_F(Editors, AddingAnEventBindsItAndCancellingChangesNothing)
{
    ShowType(5); // factory type 5 has no events bound
    const size_t r = model::RecordOffset(5, 3);
    const model::Image before = image;
    const int pool = chooser->count();

    for (std::optional<std::string> cancelled :
         {std::optional<std::string>{}, std::optional<std::string>{"нет такого"}}) {
        choice = cancelled;
        Click(Name("Ind", 3, "ParamAddEvent"));
        EXPECT_TRUE(ChangedSince(before).empty());
        EXPECT_EQ(Events(3)->count(), 0);
        EXPECT_EQ(chooser->count(), pool);
    }

    choice = Row(1); // "Тушение": group 1, bit 1
    Click(Name("Ind", 3, "ParamAddEvent"));
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + r, image.begin() + r + 6),
              (std::vector<uint8_t>{0x01, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Lines(Events(3)), QStringList{QString::fromStdString(Row(1))});
    EXPECT_EQ(chooser->count(), pool - 1);

    // Deleting needs a selected line; the last one removed restores "no event".
    Click(Name("Ind", 3, "ParamDelEvent"));
    EXPECT_EQ(Events(3)->count(), 1);
    Events(3)->setCurrentRow(0);
    Click(Name("Ind", 3, "ParamDelEvent"));
    EXPECT_EQ(Events(3)->count(), 0);
    EXPECT_EQ(chooser->count(), pool);
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + r, image.begin() + r + 6),
              std::vector<uint8_t>(6, 0xFF));
    EXPECT_TRUE(ChangedSince(before).empty());
}

TEST_F(Editors, AnIndicatorShowingOnlyTheWaitingStateTakesNoFurtherEvent)
{
    ShowType(0); // factory indicator 1 shows the waiting pair (group 6 bits 5 and 6) alone
    ASSERT_EQ(Lines(Events(1)), QStringList{QString::fromStdString(Row(40))});
    const model::Image before = image;
    choice = Row(1);
    Click(Name("Ind", 1, "ParamAddEvent"));
    EXPECT_TRUE(ChangedSince(before).empty());
    EXPECT_EQ(Events(1)->count(), 1);

    // Indicator 7 has several events: adding works, the waiting state included.
    const int had = Events(7)->count();
    ASSERT_GE(had, 2);
    choice = Row(30); // group 5 bit 1, bound nowhere in type 0
    Click(Name("Ind", 7, "ParamAddEvent"));
    EXPECT_EQ(Events(7)->count(), had + 1);
    EXPECT_EQ(image.at(model::RecordOffset(0, 7) + 4), 0x01);
}

TEST_F(Editors, DeletingTheCoupledPairClearsBothBits)
{
    for (int t : {0, 3}) {
        SCOPED_TRACE(t);
        ShowType(t);
        const size_t r = model::RecordOffset(t, 1);
        ASSERT_EQ(image.at(r + 5), 0x30);
        Events(1)->setCurrentRow(0);
        Click(Name("Ind", 1, "ParamDelEvent"));
        EXPECT_EQ(std::vector<uint8_t>(image.begin() + r, image.begin() + r + 6),
                  std::vector<uint8_t>(6, 0xFF));
        // Showing the type again brings nothing back.
        ShowType(t);
        EXPECT_EQ(Events(1)->count(), 0);
        EXPECT_EQ(chooser->findItems(QString::fromStdString(Row(40)), Qt::MatchExactly).size(), 1);
    }
}

TEST_F(Editors, EventListsAreInTheLanguagesCaseInsensitiveOrder)
{
    ShowType(9);
    for (int row : {7, 30, 3}) { // "ПУСК АСПТ..", "Повышение температуры", "ПОЖАР, Сброс.."
        choice = Row(row);
        Click(Name("Ind", 4, "ParamAddEvent"));
    }
    EXPECT_EQ(Lines(Events(4)),
              (QStringList{QString::fromStdString(Row(30)), QString::fromStdString(Row(3)),
                           QString::fromStdString(Row(7))}));

    // The whole factory type 0, as shown from the image, is in order too.
    ShowType(0);
    QCollator order(QLocale(QLocale::Russian, QLocale::Russia));
    order.setCaseSensitivity(Qt::CaseInsensitive);
    for (int n = 1; n <= 16; ++n) {
        const QStringList l = Lines(Events(n));
        for (int i = 1; i < l.size(); ++i)
            EXPECT_LE(order.compare(l[i - 1], l[i]), 0) << n << ": " << Utf8(l[i]);
    }
}

TEST_F(Editors, SystemTypesLockSoundAndPriorityWithoutWritingTheImage)
{
    auto soundBytes = [this](int t) {
        std::vector<uint8_t> v;
        for (int n = 1; n <= 16; ++n)
            for (size_t b : {model::kRecPriority, model::kRecSound})
                v.push_back(image.at(model::RecordOffset(t, n) + b));
        return v;
    };
    ShowType(0);
    const std::vector<uint8_t> type0 = soundBytes(0);
    const std::vector<uint8_t> type12 = soundBytes(12);
    EXPECT_EQ(Find(Name("Ind", 2, "ParamSoundType"))->currentIndex(), 1);
    EXPECT_EQ(Find(Name("Ind", 2, "ParamSoundPrioritet"))->currentIndex(), 0);

    ShowType(12);
    for (int n = 1; n <= 15; ++n) {
        EXPECT_EQ(Find(Name("Ind", n, "ParamSoundType"))->currentIndex(), 0) << n;
        EXPECT_EQ(Find(Name("Ind", n, "ParamSoundPrioritet"))->currentIndex(), 15) << n;
        EXPECT_FALSE(Find(Name("Ind", n, "ParamSoundType"))->isEnabled()) << n;
        EXPECT_FALSE(Find(Name("Ind", n, "ParamSoundPrioritet"))->isEnabled()) << n;
    }
    EXPECT_EQ(soundBytes(12), type12);

    ShowType(0);
    for (int n = 1; n <= 15; ++n) {
        EXPECT_TRUE(Find(Name("Ind", n, "ParamSoundType"))->isEnabled()) << n;
        EXPECT_TRUE(Find(Name("Ind", n, "ParamSoundPrioritet"))->isEnabled()) << n;
    }
    EXPECT_EQ(Find(Name("Ind", 2, "ParamSoundType"))->currentIndex(), 1);
    EXPECT_EQ(Find(Name("Ind", 2, "ParamSoundPrioritet"))->currentIndex(), 0);
    EXPECT_EQ(soundBytes(0), type0);
    EXPECT_EQ(soundBytes(12), type12);
    // Indicator 16 is never editable.
    for (const char* list :
         {"ParamSoundType", "ParamSoundPrioritet", "ParamColorPos1", "ParamListEvent"})
        EXPECT_FALSE(main.findChild<QWidget*>(Name("Ind", 16, list))->isEnabled()) << list;
}

TEST_F(Editors, ShowingATypeRefreshesEveryColourCell)
{
    for (int t : {0, 10, 12, 2, 0}) {
        SCOPED_TRACE(t);
        ShowType(t);
        for (int n = 1; n <= 16; ++n)
            for (int k = 1; k <= 8; ++k) {
                const QString list = Name("Ind", n, "ParamColorPos") + QString::number(k);
                const int item = Find(list)->currentIndex();
                ASSERT_GE(item, 0);
                ASSERT_EQ(ui::PictureId(Find<QLabel>(list + QStringLiteral("Image"))),
                          kColourIds[item])
                    << Utf8(list);
            }
    }
}

TEST_F(Editors, SoundPositionsWriteTheirPairByte)
{
    ShowSound(1); // factory FF 0F FF 0F
    Choose(QStringLiteral("SoundParamColorPos2"), 0);
    Choose(QStringLiteral("SoundParamColorPos1"), 1);
    EXPECT_EQ(image.at(7556), 0xF0);
    Choose(QStringLiteral("SoundParamColorPos2"), 2);
    EXPECT_EQ(image.at(7556), 0xF3);
    EXPECT_EQ(ui::PictureId(Find<QLabel>(QStringLiteral("SoundParamColorPos1Image"))),
              "ImageIndRed");
    EXPECT_EQ(ui::PictureId(Find<QLabel>(QStringLiteral("SoundParamColorPos2Image"))),
              "ImageIndRedNo");

    ShowSound(30);
    const model::Image before = image;
    Choose(QStringLiteral("SoundParamColorPos8"), 1);
    EXPECT_EQ(image.at(7675), 0x0F);
    EXPECT_EQ(ChangedSince(before), std::set<size_t>{7675});
    EXPECT_EQ(ui::PictureId(Find<QLabel>(QStringLiteral("SoundParamColorPos7Image"))),
              "ImageIndNo");
}

TEST_F(Editors, ViewingASoundWritesItInTheEditorsCodes)
{
    const size_t at = model::SoundOffset(7);
    image.at(at) = 0xC7;
    image.at(at + 3) = 0x30;
    const model::Image before = image;
    ShowSound(7);
    EXPECT_EQ(image.at(at), 0x3F);
    EXPECT_EQ(image.at(at + 3), 0x30);
    EXPECT_EQ(ChangedSince(before), std::set<size_t>{at});
    const int want[8] = {2, 1, 0, 0, 0, 0, 2, 0};
    for (int k = 1; k <= 8; ++k) {
        const QString list = QStringLiteral("SoundParamColorPos") + QString::number(k);
        EXPECT_EQ(Find(list)->currentIndex(), want[k - 1]) << k;
        EXPECT_EQ(ui::PictureId(Find<QLabel>(list + QStringLiteral("Image"))),
                  want[k - 1] == 1   ? "ImageIndRed"
                  : want[k - 1] == 2 ? "ImageIndRedNo"
                                     : "ImageIndNo");
    }
}

TEST_F(Editors, PlayButtonPlaysTheImageForTheChosenLength)
{
    ShowSound(2);                                     // factory 0F 0F 00 00
    Choose(QStringLiteral("SoundParamColorPos1"), 2); // "1/2" now starts the pattern
    auto* length = Find(QStringLiteral("ComboBoxSoundSee"));
    struct Case
    {
        int item;
        const char* typed; // typed text instead of an item
        int cycles;
    } cases[] = {{0, nullptr, 2}, {3, nullptr, 16}, {1, nullptr, 4}, {2, "7 c", 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        tones.Clear();
        length->setCurrentIndex(c.item);
        if (c.typed) {
            length->lineEdit()->selectAll();
            for (QChar ch : QString::fromUtf8(c.typed)) {
                QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
                QApplication::sendEvent(length->lineEdit(), &press);
            }
        }
        Click(QStringLiteral("ButtonSoundSee"));
        EXPECT_EQ(seeInd->Engine().SoundCyclesLeft(), c.cycles);
        EXPECT_TRUE(seeInd->TimerSound()->isActive());
        EXPECT_EQ(tones.Tones(), (std::vector<platform::RecordedTone>{{3000, 125, 0}}));
        EXPECT_EQ(length->count(), 4);
    }
    EXPECT_EQ(length->currentIndex(), -1);
    EXPECT_EQ(length->currentText(), QStringLiteral("7 c"));
    // Confirming the typed text does not make it an item.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(length->lineEdit(), &enter);
    EXPECT_EQ(length->count(), 4);
    EXPECT_EQ(length->currentIndex(), -1);

    // Without a sound chosen nothing plays.
    seeInd->Engine().StopAll();
    tones.Clear();
    Find(QStringLiteral("NumberSettingsSound"))->setCurrentIndex(-1);
    Click(QStringLiteral("ButtonSoundSee"));
    EXPECT_TRUE(tones.Tones().empty());
    EXPECT_FALSE(seeInd->TimerSound()->isActive());
}

TEST_F(Editors, PreviewWindowSizesAndCentresOverTheMainWindow)
{
    main.setGeometry(100, 50, 1000, 800);
    ShowType(0);
    const QRect m = main.frameGeometry();
    // Centred, halves rounded away from zero: (1000 - 291) / 2 = 354.5 gives 355.
    auto centred = [&](int w, int h) {
        return QPoint(m.x() + static_cast<int>(std::lround((m.width() - w) / 2.0)),
                      m.y() + static_cast<int>(std::lround((m.height() - h) / 2.0)));
    };
    WhileShown([this] { Find<QPushButton>(QStringLiteral("ButtonIndSee"))->click(); },
               [&] {
                   EXPECT_EQ(seeInd->size(), QSize(580, 686));
                   EXPECT_EQ(seeInd->pos(), centred(580, 686));
                   EXPECT_TRUE(
                       seeInd->findChild<QRadioButton*>(QStringLiteral("SeeCheck01"))->isChecked());
                   EXPECT_TRUE(
                       seeInd->findChild<QWidget*>(QStringLiteral("ScrollBox1"))->isVisible());
                   EXPECT_TRUE(seeInd->TimerInd()->isActive()); // factory indicator 1 blinks
               });
    WhileShown([this] { Find<QToolButton>(Name("sbSeeIndState", 10, ""))->click(); },
               [&] {
                   EXPECT_EQ(seeInd->size(), QSize(291, 85));
                   EXPECT_EQ(seeInd->pos(), centred(291, 85));
                   EXPECT_EQ(seeInd->pos(), QPoint(m.x() + 355, m.y() + 358));
                   EXPECT_TRUE(
                       seeInd->findChild<QRadioButton*>(QStringLiteral("SeeCheck10"))->isChecked());
                   EXPECT_FALSE(
                       seeInd->findChild<QWidget*>(QStringLiteral("ScrollBox1"))->isVisible());
                   // Indicator 10 is green throughout: a steady picture, no timer.
                   EXPECT_EQ(ui::PictureId(seeInd->findChild<QLabel*>(QStringLiteral("SeeColor"))),
                             "ImageIndGreen");
                   EXPECT_FALSE(seeInd->TimerInd()->isActive());
               });
    // Any other indicator is shown as the last row.
    WhileShown([this] { seeInd->ShowOneIndicatorPreview(200); },
               [&] {
                   EXPECT_TRUE(
                       seeInd->findChild<QRadioButton*>(QStringLiteral("SeeCheck16"))->isChecked());
                   EXPECT_EQ(seeInd->Engine().ShownIndicator(),
                             1); // indicator 16 is steady: nothing runs
                   EXPECT_FALSE(seeInd->TimerInd()->isActive());
               });
}

// Event names run longer than any list is wide, in both languages: every line of the
// indicators' lists, the chooser's pool and the preview's lists carries its whole name as its
// tooltip, and the preview's rows fit its window without a horizontal scroll bar.
TEST_F(Editors, EveryEventNameCanBeReadWhole)
{
    main.setGeometry(100, 50, 1000, 800);
    for (const model::Language l : {model::Language::Russian, model::Language::English}) {
        tables = model::ConstantTables(l);
        language = l;
        ShowType(11); // a type with events on six indicators
        std::vector<QListWidget*> lists{chooser};
        for (int n = 1; n <= 16; ++n)
            lists.push_back(Events(n));
        int lines = 0;
        auto expectTooltips = [&lines](QListWidget* list) {
            for (int i = 0; i < list->count(); ++i, ++lines)
                EXPECT_EQ(list->item(i)->toolTip(), list->item(i)->text())
                    << Utf8(list->objectName()) << " " << Utf8(list->item(i)->text());
        };
        for (QListWidget* list : lists)
            expectTooltips(list);
        EXPECT_GT(lines, 30); // every event class is in one of them
        WhileShown([this] { indication->ButtonIndSeeClick(); },
                   [&] {
                       auto* box = seeInd->findChild<QScrollArea*>(QStringLiteral("ScrollBox1"));
                       QCoreApplication::processEvents();
                       EXPECT_FALSE(box->horizontalScrollBar()->isVisible());
                       for (int n = 1; n <= 16; ++n) {
                           auto* see = seeInd->findChild<QListWidget*>(Name("SeeList", n, ""));
                           expectTooltips(see);
                           EXPECT_LE(see->mapTo(box->viewport(), see->rect().topRight()).x(),
                                     box->viewport()->width())
                               << n;
                       }
                   });
    }
}

TEST_F(Editors, PreviewWindowCopiesTheEventListsAndTheCurrentEdits)
{
    ShowType(0);
    auto copied = [this] {
        for (int n = 1; n <= 16; ++n)
            EXPECT_EQ(Lines(seeInd->findChild<QListWidget*>(Name("SeeList", n, ""))),
                      Lines(Events(n)))
                << n;
    };
    WhileShown([this] { indication->ButtonIndSeeClick(); }, copied);
    choice = Row(1);
    Click(Name("Ind", 10, "ParamAddEvent"));
    // Indicator 10 made to blink: the second showing reads the image again.
    Choose(Name("Ind", 10, "ParamColorPos1"), 0);
    WhileShown([this] { indication->ButtonIndSeeClick(); },
               [&] {
                   copied();
                   seeInd->findChild<QRadioButton*>(QStringLiteral("SeeCheck10"))->click();
                   EXPECT_EQ(seeInd->Engine().ShownIndicator(), 10);
                   EXPECT_TRUE(seeInd->TimerInd()->isActive());
                   EXPECT_EQ(ui::PictureId(seeInd->findChild<QLabel*>(QStringLiteral("SeeColor"))),
                             "ImageIndNo");
               });
}

TEST_F(Editors, ClosingThePreviewInAnyWayStopsBothTimersAndTheSound)
{
    ShowType(0);
    ShowSound(1);
    const std::vector<std::pair<const char*, std::function<void()>>> closes = {
        {"close button",
         [this] {
             seeInd->findChild<QPushButton*>(QStringLiteral("ButtonFormSeeClose"))->click();
         }},
        {"Escape",
         [this] {
             QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
             QApplication::sendEvent(seeInd.get(), &esc);
         }},
        {"window manager", [this] { seeInd->close(); }},
    };
    for (const auto& [how, close] : closes) {
        SCOPED_TRACE(how);
        WhileShown([this] { indication->ButtonIndSeeClick(); },
                   [&] {
                       Click(QStringLiteral("ButtonSoundSee"));
                       EXPECT_TRUE(seeInd->TimerSound()->isActive());
                       EXPECT_TRUE(seeInd->TimerInd()->isActive());
                   },
                   close);
        EXPECT_FALSE(seeInd->TimerSound()->isActive());
        EXPECT_FALSE(seeInd->TimerInd()->isActive());
        EXPECT_FALSE(seeInd->Engine().SoundPlaying());
        EXPECT_FALSE(seeInd->Engine().IndicationRunning());
    }
    // The sound preview itself runs without the window.
    Click(QStringLiteral("ButtonSoundSee"));
    EXPECT_TRUE(seeInd->TimerSound()->isActive());
    EXPECT_FALSE(seeInd->isVisible());
}

} // namespace
