// The four small dialogs offscreen: the search dialog, the credential-code reader, the event
// chooser and the new-configuration question, on the fake command channel with scripted boxes.

#include "config_tool/model/codecs.h"
#include "config_tool/model/text_tables.h"
#include "config_tool/ui/add_state.h"
#include "config_tool/ui/form_search.h"
#include "config_tool/ui/key_code.h"
#include "config_tool/ui/main_names.h"
#include "config_tool/ui/prompt.h"
#include "config_tool/ui/questions.h"
#include "tests/config_tool/device/fake_channel.h"
#include "ui_test_support_main.h"

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <map>

// fontconfig keeps its first allocations for the life of the process (a widget's first layout
// loads it); the leak checker is told so, and only about that library.  Weak, so a helper that
// says the same for every widget test takes precedence without a clash.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig\n";
}

namespace ui {
namespace {

using device::Frame;
using device::testing::FakeChannel;
using device::testing::WithCrc;
using ::testing::ElementsAre;

void EnsureApplication()
{
    if (QApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "test_dialogs";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

const model::TextTables& Russian() { return model::ConstantTables(model::Language::Russian); }
QString Msg(int n) { return ToQString(model::Message(Russian(), n)); }

// Runs body once the dialog's modal loop is up.
void WhenShown(std::function<void()> body) { QTimer::singleShot(0, std::move(body)); }

struct DialogTest : ::testing::Test
{
    DialogTest() { EnsureApplication(); }
    ScriptedPrompt prompt;
    model::TextTables tables = Russian();
};

// ---- search dialog

struct SearchTest : DialogTest
{
    SearchTest()
        : channel([this](const Frame& r) { return Answer(r); })
    {
    }
    void Add(uint8_t a, uint8_t type, uint16_t version)
    {
        units[a] = {type, version};
    }
    Frame Answer(const Frame& r)
    {
        if (onRequest)
            onRequest(r);
        auto it = units.find(r.at(0));
        if (it == units.end())
            return {};
        const auto [type, v] = it->second;
        const uint8_t a = r[0];
        if (r.at(3) == 0x0D)
            return WithCrc({a, 0x07, 0x00, type, uint8_t(v & 0xFF), uint8_t(v >> 8)});
        return WithCrc({a, 0x08, 0x3E, 0x29, uint8_t(v & 0xFF), uint8_t(v >> 8), 0});
    }
    QStringList Lines()
    {
        QStringList out;
        auto* list = dialog.findChild<QListWidget*>(QStringLiteral("ListBox1"));
        for (int i = 0; i < list->count(); ++i)
            out << list->item(i)->text();
        return out;
    }
    void Select(int row) { dialog.findChild<QListWidget*>(QStringLiteral("ListBox1"))->setCurrentRow(row); }

    std::map<int, std::pair<uint8_t, uint16_t>> units;
    std::function<void(const Frame&)> onRequest;
    FakeChannel channel;
    TFormSearch dialog{channel, prompt, tables};
};

TEST_F(SearchTest, ListsTheUnitsAndReturnsTheAcceptedOne)
{
    Add(127, 44, 223);
    Add(2, 10, 221);
    Add(3, 10, 223);
    Add(9, 10, 222);
    struct Pick
    {
        int row;
        uint8_t address;
        std::string model;
    };
    const Pick picks[] = {{0, 127, "КЛВ"}, {2, 3, "ВД"}, {3, 9, "КЛВ"}};
    for (const Pick& p : picks) {
        SCOPED_TRACE(p.row);
        QStringList lines;
        WhenShown([&] {
            dialog.findChild<QPushButton*>(QStringLiteral("BitBtn1"))->click();
            lines = Lines();
            Select(p.row);
            dialog.findChild<QPushButton*>(QStringLiteral("BitBtnOk"))->click();
        });
        const PickedUnit unit = dialog.SearchDeviceDialog(4, nullptr);
        EXPECT_EQ(unit.address, p.address);
        EXPECT_EQ(unit.model, p.model);
        const QString klv = ToQString(model::DeviceTypeName(Russian(), 44));
        EXPECT_EQ(lines, (QStringList{Msg(25) + "127 : " + klv + Msg(27) + "2.23",
                                      Msg(25) + "2" + Msg(26) + "2.21",
                                      Msg(25) + "3 : " + ToQString(model::DeviceTypeName(Russian(), 10)) + Msg(27) + "2.23",
                                      Msg(25) + "9" + Msg(26) + "2.22"}));
        EXPECT_EQ(dialog.windowTitle(), Msg(28));
        EXPECT_TRUE(prompt.shown.empty());
    }
    EXPECT_EQ(channel.ports, std::vector<int>(3, 4));
}

TEST_F(SearchTest, RefusedOrMissingChoiceShowsMessage24AndStaysOpen)
{
    Add(2, 10, 221);
    bool openAfterNoLine = false, openAfterRefusal = false;
    WhenShown([&] {
        dialog.BitBtnOkClick(); // nothing scanned, no line
        openAfterNoLine = dialog.isVisible();
        dialog.BitBtn1Click();
        Select(0);
        dialog.BitBtnOkClick();
        openAfterRefusal = dialog.isVisible();
        dialog.BitBtnCancelClick();
    });
    EXPECT_EQ(dialog.SearchDeviceDialog(1, nullptr).address, 0);
    EXPECT_TRUE(openAfterNoLine);
    EXPECT_TRUE(openAfterRefusal);
    ASSERT_EQ(prompt.shown.size(), 2u);
    for (const auto& box : prompt.shown) {
        EXPECT_EQ(box.kind, BoxKind::Information);
        EXPECT_EQ(box.buttons, BoxButtons::Ok);
        EXPECT_EQ(box.text, Msg(24));
    }
}

TEST_F(SearchTest, ButtonsAndProgressDuringTheScan)
{
    std::vector<int> progress;
    bool okEnabled = true, cancelEnabled = true;
    onRequest = [&](const Frame& r) {
        progress.push_back(dialog.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"))->value());
        if (r.at(0) == 50) {
            okEnabled = dialog.findChild<QPushButton*>(QStringLiteral("BitBtnOk"))->isEnabled();
            cancelEnabled = dialog.findChild<QPushButton*>(QStringLiteral("BitBtnCancel"))->isEnabled();
            EXPECT_EQ(dialog.windowTitle(), "50");
        }
    };
    dialog.show();
    dialog.BitBtn1Click();
    EXPECT_FALSE(okEnabled);
    EXPECT_FALSE(cancelEnabled);
    ASSERT_EQ(progress.size(), 126u);
    EXPECT_EQ(progress[0], 1) << "address 127 leaves the bar alone";
    EXPECT_EQ(progress[1], 1);
    EXPECT_EQ(progress[125], 125);
    EXPECT_EQ(dialog.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"))->value(), 1);
    EXPECT_TRUE(dialog.findChild<QPushButton*>(QStringLiteral("BitBtnOk"))->isEnabled());
    dialog.hide();
}

TEST_F(SearchTest, StopButtonEndsTheScanAfterTheCurrentAddress)
{
    onRequest = [&](const Frame& r) {
        if (r.at(0) == 3) // a click that waits in the event queue
            QMetaObject::invokeMethod(dialog.findChild<QPushButton*>(QStringLiteral("BitBtn1")),
                                      "click", Qt::QueuedConnection);
    };
    dialog.show();
    dialog.BitBtn1Click();
    std::vector<int> asked;
    for (const Frame& r : channel.requests)
        asked.push_back(r.at(0));
    EXPECT_THAT(asked, ElementsAre(127, 1, 2, 3));
    EXPECT_FALSE(dialog.Scanning());
    dialog.hide();
}

TEST_F(SearchTest, CloseDuringAScanTakesEffectWhenItEnds)
{
    Add(7, 44, 223);
    bool closedDuringScan = true;
    onRequest = [&](const Frame& r) {
        if (r.at(0) == 5)
            QTimer::singleShot(0, &dialog, [&] { dialog.close(); });
        if (r.at(0) == 100)
            closedDuringScan = !dialog.isVisible();
    };
    WhenShown([&] { dialog.BitBtn1Click(); });
    EXPECT_EQ(dialog.SearchDeviceDialog(1, nullptr).address, 0);
    EXPECT_FALSE(closedDuringScan);
    EXPECT_EQ(channel.requests.size(), 127u) << "every address and the one unit's version query";
    EXPECT_FALSE(dialog.isVisible());
}

// ---- credential-code reader

constexpr uint8_t kUnit = 12;

struct KeyCodeTest : DialogTest
{
    KeyCodeTest() : channel([this](const Frame& r) { return Answer(r); })
    {
        connect();
    }
    void connect()
    {
        QObject::connect(&timer, &QTimer::timeout, &dialog, [this] {
            ++ticks;
            dialog.KeyCodePollStep();
        });
        dialog.SetTimerControl([this](int ms) {
            intervals.push_back(ms);
            if (ms == 0)
                timer.stop();
            else
                timer.start(ms);
        });
    }
    Frame Answer(const Frame& r)
    {
        if (r.at(3) != 0x01)
            return WithCrc({r[0], 0x05, 0x2C, 0x00, 0x00});
        if (log.empty())
            return WithCrc({r[0], 0x05, 0x02, 0x00, 0x00});
        Frame f = log.front();
        log.pop_front();
        return f;
    }
    QString Run(int sourceAddress = kUnit)
    {
        WhenShown([this] { dialog.findChild<QPushButton*>(QStringLiteral("Button1"))->click(); });
        QString code = dialog.ReadKeyCodeDialog(6, sourceAddress, nullptr);
        timer.stop();
        return code;
    }
    int EventReads() const
    {
        return static_cast<int>(std::count_if(channel.requests.begin(), channel.requests.end(),
                                              [](const Frame& r) { return r.at(3) == 0x01; }));
    }

    std::deque<Frame> log;
    FakeChannel channel;
    TfKeyCode dialog{channel, prompt, tables};
    QTimer timer;
    std::vector<int> intervals;
    int ticks = 0;
};

const Frame kEvent = WithCrc({kUnit, 0x07, 0x04, 0x01, 0x11, 0x00, 0x00});
const Frame kKeyEvent = WithCrc({kUnit, 0x0D, 0x04, 22, 0x6B, 0x01, 2, 3, 4, 5, 6, 7, 0x88});

TEST_F(KeyCodeTest, DrainsThenPollsUntilACodeArrives)
{
    log = {kEvent, kEvent, WithCrc({kUnit, 0x05, 0x02, 0x00, 0x00}), kEvent, kKeyEvent};
    const QString code = Run();
    EXPECT_EQ(code, QString::fromStdString(model::KeyBytesToText({0x01, 2, 3, 4, 5, 6, 7, 0x88})));
    ASSERT_EQ(prompt.shown.size(), 1u);
    EXPECT_EQ(prompt.shown[0].text, Msg(33));
    EXPECT_EQ(prompt.shown[0].kind, BoxKind::Warning);
    EXPECT_EQ(prompt.shown[0].buttons, BoxButtons::YesNo);
    EXPECT_THAT(intervals, ElementsAre(0, 100));
    EXPECT_EQ(EventReads(), 5);
    EXPECT_EQ(channel.requests.back(), (Frame{kUnit, 0x06, 0x00, 0x2B, 0x03, 0x6B}));
    EXPECT_EQ(channel.requests.front().at(0), kUnit);
    EXPECT_EQ(channel.ports, std::vector<int>{6});
    EXPECT_FALSE(dialog.KeyPollActive());
}

TEST_F(KeyCodeTest, NoAnswerWhilePollingShowsMessage34WithPollingEnded)
{
    log = {WithCrc({kUnit, 0x05, 0x02, 0x00, 0x00}), kEvent, Frame{}};
    std::size_t sentWhileBoxOpen = 0;
    bool activeWhileBoxOpen = true;
    prompt.onShow = [&](const ScriptedPrompt::Box& box) {
        if (box.text != Msg(34))
            return;
        activeWhileBoxOpen = dialog.KeyPollActive();
        const std::size_t before = channel.requests.size();
        dialog.KeyCodePollStep(); // a tick that lands while the box is open
        sentWhileBoxOpen = channel.requests.size() - before;
    };
    EXPECT_EQ(Run(), QString());
    ASSERT_EQ(prompt.shown.size(), 2u);
    EXPECT_EQ(prompt.shown[1].kind, BoxKind::Error);
    EXPECT_FALSE(activeWhileBoxOpen);
    EXPECT_EQ(sentWhileBoxOpen, 0u);
    EXPECT_FALSE(dialog.isVisible());
}

// A silent unit is "not responding"; a unit that answers every read but whose log never ends
// is told as such.  Either way polling never starts.
TEST_F(KeyCodeTest, SilentOrEndlessLogEndsBeforePolling)
{
    struct Case
    {
        const char* name;
        std::function<Frame(const Frame&)> answer;
        int reads;
        QString message;
    };
    int numbered = 0;
    const Case cases[] = {
        {"silent", [](const Frame&) { return Frame{}; }, 1, Msg(34)},
        {"the same event whatever the acknowledgement", [](const Frame&) { return kEvent; },
         device::kDrainSameAnswers, ToQString(tables.eventLogNotEmptied)},
        {"new events without end",
         [&numbered](const Frame&) {
             ++numbered;
             return WithCrc({kUnit, 0x08, 0x04, 16, uint8_t(numbered & 0xFF), uint8_t(numbered >> 8), 0, 0});
         },
         device::kMaxDrainReads, ToQString(tables.eventLogNotEmptied)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        channel.requests.clear();
        channel.SetResponder(c.answer);
        prompt.shown.clear();
        intervals.clear();
        EXPECT_EQ(Run(), QString());
        EXPECT_EQ(EventReads(), c.reads);
        ASSERT_EQ(prompt.shown.size(), 2u);
        EXPECT_EQ(prompt.shown[1].text, c.message);
        EXPECT_EQ(prompt.shown[1].kind, BoxKind::Error);
        EXPECT_EQ(prompt.shown[1].buttons, BoxButtons::Ok);
        EXPECT_THAT(intervals, ElementsAre(0)) << "polling never started";
        EXPECT_FALSE(dialog.KeyPollActive());
        EXPECT_FALSE(dialog.isVisible());
    }
    EXPECT_FALSE(tables.eventLogNotEmptied.empty());
    EXPECT_NE(Msg(34), ToQString(tables.eventLogNotEmptied));
}

// The drain against a unit whose log never empties: the dialog keeps serving its event queue
// (a timer posted to it fires between the reads), shows the wait label with a count that
// grows, and ends at the drain's bound with its own text.
struct EndlessUnitTest : DialogTest
{
    EndlessUnitTest()
    {
        bus.AddUnit(kUnit, 44, 223);
        bus.SetEndlessEvents(kUnit, true);
        channel.acknowledgeEvents = true;
        dialog.SetTimerControl([this](int ms) { intervals.push_back(ms); });
    }
    int EventReads() const { return static_cast<int>(channel.Requests(0x01).size()); }
    // Runs the read with a zero-interval timer posted to the dialog; onTick sees each firing.
    QString Run(std::function<void(int tick)> onTick)
    {
        QTimer probe(&dialog);
        probe.setInterval(0);
        QObject::connect(&probe, &QTimer::timeout, &dialog, [&] {
            if (!dialog.Draining())
                return;
            ++ticks;
            auto* wait = dialog.findChild<QLabel*>(QStringLiteral("LabelWait"));
            auto* count = dialog.findChild<QLabel*>(QStringLiteral("LabelWaitCount"));
            waitShown = waitShown && wait->isVisible() && count->isVisible();
            counts.push_back(count->text().toInt());
            if (onTick)
                onTick(ticks);
        });
        WhenShown([this, &probe] {
            probe.start();
            dialog.findChild<QPushButton*>(QStringLiteral("Button1"))->click();
        });
        return dialog.ReadKeyCodeDialog(6, kUnit, nullptr);
    }

    sim::Bus bus;
    mainwin_test::BusChannel channel{bus};
    TfKeyCode dialog{channel, prompt, tables};
    std::vector<int> intervals;
    int ticks = 0;
    bool waitShown = true;
    std::vector<int> counts;
};

TEST_F(EndlessUnitTest, WindowKeepsAnsweringAndTheDrainEndsAtItsBound)
{
    EXPECT_EQ(Run(nullptr), QString());
    EXPECT_EQ(EventReads(), device::kMaxDrainReads);
    // The queue is served after every read but the last; a zero timer fires on most passes.
    EXPECT_GE(ticks, device::kMaxDrainReads / 2);
    EXPECT_TRUE(waitShown);
    ASSERT_FALSE(counts.empty());
    EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
    EXPECT_LE(counts.front(), 2);
    EXPECT_GE(counts.back(), device::kMaxDrainReads / 2);
    EXPECT_LE(counts.back(), device::kMaxDrainReads);
    ASSERT_EQ(prompt.shown.size(), 2u);
    EXPECT_EQ(prompt.shown[1].text, ToQString(tables.eventLogNotEmptied));
    EXPECT_EQ(prompt.shown[1].kind, BoxKind::Error);
    EXPECT_THAT(intervals, ElementsAre(0)) << "polling never started";
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_FALSE(dialog.findChild<QLabel*>(QStringLiteral("LabelWait"))->isVisible());
}

// While the drain runs, a second start and a timer tick do nothing; the operator's stop, by
// Button2 or by closing the dialog, ends the drain without a message and without polling.
TEST_F(EndlessUnitTest, DrainIsNotReenteredAndTheOperatorCanStopIt)
{
    const std::vector<std::pair<const char*, std::function<void(TfKeyCode&)>>> stops = {
        {"Button2",
         [](TfKeyCode& d) { d.findChild<QPushButton*>(QStringLiteral("Button2"))->click(); }},
        {"close box", [](TfKeyCode& d) { d.close(); }},
    };
    for (const auto& [name, stop] : stops) {
        SCOPED_TRACE(name);
        ticks = 0;
        channel.requests.clear();
        prompt.shown.clear();
        intervals.clear();
        bool visibleAfterTick = false;
        EXPECT_EQ(Run([&, stop = stop](int tick) {
                      if (tick == 3)
                          dialog.Button1Click();
                      if (tick == 4)
                          dialog.KeyCodePollStep();
                      if (tick == 5)
                          visibleAfterTick = dialog.isVisible();
                      if (tick == 10)
                          stop(dialog);
                  }),
                  QString());
        EXPECT_EQ(prompt.shown.size(), 1u) << "only the warning before the drain";
        EXPECT_GE(EventReads(), 10); // the stop comes with the tenth firing
        EXPECT_LE(EventReads(), 40);
        EXPECT_TRUE(visibleAfterTick);
        EXPECT_THAT(intervals, ElementsAre(0));
        EXPECT_FALSE(dialog.KeyPollActive());
        EXPECT_FALSE(dialog.isVisible());
    }
}

// Each tick moves the reader's bar by 5; past 99 it starts again at 0.
TEST_F(KeyCodeTest, EveryTickMovesTheBarByFiveAndItWrapsAboveNinetyNine)
{
    dialog.SetTimerControl([](int) {}); // the test makes the ticks itself
    auto* bar = dialog.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    std::vector<int> values;
    bool shownWhilePolling = false;
    WhenShown([&] {
        dialog.findChild<QPushButton*>(QStringLiteral("Button1"))->click();
        shownWhilePolling = bar->isVisible() && bar->value() == 0;
        for (int tick = 0; tick < 22; ++tick) {
            dialog.KeyCodePollStep();
            values.push_back(bar->value());
        }
        dialog.findChild<QPushButton*>(QStringLiteral("Button2"))->click();
        dialog.KeyCodePollStep();
    });
    EXPECT_EQ(dialog.ReadKeyCodeDialog(6, kUnit, nullptr), QString());
    std::vector<int> expected;
    for (int v = 5; v <= 95; v += 5)
        expected.push_back(v);
    expected.insert(expected.end(), {0, 5, 10});
    EXPECT_EQ(values, expected);
    EXPECT_TRUE(shownWhilePolling);
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(KeyCodeTest, EndOfPollGivesNoCode)
{
    log = {WithCrc({kUnit, 0x05, 0x02, 0x00, 0x00}), WithCrc({kUnit, 0x05, 0x0A, 0x00, 0x00})};
    EXPECT_EQ(Run(), QString());
    EXPECT_EQ(prompt.shown.size(), 1u);
    EXPECT_EQ(EventReads(), 2);
}

TEST_F(KeyCodeTest, OperatorStopsLeaveNoCodeAndPollingEnded)
{
    struct Case
    {
        const char* name;
        std::function<void(TfKeyCode&)> stop;
    };
    const Case cases[] = {
        {"Button2", [](TfKeyCode& d) { d.findChild<QPushButton*>(QStringLiteral("Button2"))->click(); }},
        {"close box", [](TfKeyCode& d) { d.close(); }},
        {"Escape", [](TfKeyCode& d) { d.reject(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ticks = 0;
        // The unit keeps answering "no event"; the operator stops after a few ticks.
        QObject::disconnect(&timer, nullptr, &dialog, nullptr);
        QObject::connect(&timer, &QTimer::timeout, &dialog, [&] {
            if (++ticks == 3)
                c.stop(dialog);
            dialog.KeyCodePollStep();
        });
        EXPECT_EQ(Run(), QString());
        EXPECT_FALSE(dialog.KeyPollActive());
        EXPECT_FALSE(dialog.isVisible());
        const int reads = EventReads();
        dialog.KeyCodePollStep(); // a later tick of the main window's timer
        EXPECT_EQ(EventReads(), reads);
        channel.requests.clear();
    }
}

TEST_F(KeyCodeTest, DeclinedWarningSendsNothing)
{
    prompt.answers = {BoxAnswer::No};
    bool button1Enabled = false;
    WhenShown([&] {
        dialog.findChild<QPushButton*>(QStringLiteral("Button1"))->click();
        button1Enabled = dialog.findChild<QPushButton*>(QStringLiteral("Button1"))->isEnabled();
        dialog.findChild<QPushButton*>(QStringLiteral("Button2"))->click();
    });
    EXPECT_EQ(dialog.ReadKeyCodeDialog(1, 0, nullptr), QString());
    EXPECT_TRUE(channel.requests.empty());
    EXPECT_TRUE(button1Enabled);
    EXPECT_EQ(dialog.findChild<QSpinBox*>(QStringLiteral("udAdress"))->value(), 1);
}

// ---- event chooser and new-configuration question

struct AddStateTest : DialogTest
{
    AddStateTest()
    {
        for (const char* e : {"Тревога", "Пожар", "Норма"})
            list()->addItem(QString::fromUtf8(e));
    }
    QListWidget* list() { return dialog.IndAllListEvent(); }
    int Pick(const char* button)
    {
        WhenShown([this, button] { dialog.findChild<QPushButton*>(QLatin1String(button))->click(); });
        return dialog.PickEvent(nullptr);
    }
    TfAddState dialog;
};

TEST_F(AddStateTest, OkCountsOnlyWithALineSelected)
{
    EXPECT_EQ(Pick("bGetStateOk"), 0);
    list()->setCurrentRow(1);
    EXPECT_EQ(Pick("bGetStateCancel"), 0);
    EXPECT_EQ(Pick("bGetStateOk"), 1);
    EXPECT_EQ(dialog.SelectedEvent(), QString::fromUtf8("Пожар"));
    list()->clear();
    EXPECT_EQ(Pick("bGetStateOk"), 0);
}

TEST_F(AddStateTest, RemovedLineLeavesNoSelection)
{
    for (int row : {0, 1, 2}) {
        SCOPED_TRACE(row);
        list()->setCurrentRow(row);
        delete list()->takeItem(row);
        EXPECT_TRUE(list()->selectedItems().isEmpty());
        EXPECT_EQ(Pick("bGetStateOk"), 0);
        list()->insertItem(row, QStringLiteral("back"));
    }
}

TEST_F(DialogTest, NewModelQuestion)
{
    TfQuestions dialog;
    auto ask = [&](std::function<void()> body) {
        WhenShown(std::move(body));
        return dialog.AskNewModel(nullptr);
    };
    auto button = [&](const char* name) { return dialog.findChild<QPushButton*>(QLatin1String(name)); };
    EXPECT_EQ(ask([&] { button("Button1")->click(); }), 44) << "keypad model unless changed";
    EXPECT_EQ(ask([&] {
                  dialog.findChild<QRadioButton*>(QStringLiteral("rbType10"))->click();
                  button("Button1")->click();
              }),
              10);
    EXPECT_EQ(ask([&] { button("Button2")->click(); }), 0);
    EXPECT_EQ(ask([&] { dialog.close(); }), 0);
}

TEST_F(DialogTest, DialogsCentreOnTheMainWindow)
{
    QWidget main;
    main.setGeometry(100, 50, 801, 600);
    TfQuestions dialog;
    dialog.resize(300, 201);
    CentreOnMain(&dialog, &main);
    EXPECT_EQ(dialog.geometry().topLeft(), QPoint(100 + 251, 50 + 200));
}

// A dialog built a moment ago and opened through its own entry point appears centred on the
// main window: it is placed at the size it shows with, not at Qt's default size.
TEST_F(DialogTest, FreshDialogsOpenCentredOnTheMainWindow)
{
    QWidget main;
    main.setGeometry(100, 50, 801, 600);
    auto expectCentred = [&main](QWidget& dialog) {
        const QRect m = main.geometry();
        EXPECT_NEAR(dialog.x(), m.x() + (m.width() - dialog.width()) / 2.0, 1.0)
            << dialog.objectName().toStdString() << " " << dialog.width();
        EXPECT_NEAR(dialog.y(), m.y() + (m.height() - dialog.height()) / 2.0, 1.0)
            << dialog.objectName().toStdString() << " " << dialog.height();
    };
    {
        TfQuestions questions;
        bool shown = false;
        WhenShown([&] {
            shown = true;
            expectCentred(questions);
            questions.findChild<QPushButton*>(QStringLiteral("Button2"))->click();
        });
        EXPECT_EQ(questions.AskNewModel(&main), 0);
        EXPECT_TRUE(shown);
    }
    {
        FakeChannel channel([](const Frame&) { return Frame{}; });
        TfKeyCode keyCode(channel, prompt, tables);
        bool shown = false;
        WhenShown([&] {
            shown = true;
            expectCentred(keyCode);
            keyCode.findChild<QPushButton*>(QStringLiteral("Button2"))->click();
        });
        EXPECT_TRUE(keyCode.ReadKeyCodeDialog(1, 0, &main).isEmpty());
        EXPECT_TRUE(shown);
    }
}

} // namespace
} // namespace ui
