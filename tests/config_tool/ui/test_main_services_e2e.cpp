// The main window's real services against t4700-sim on a pseudo-terminal, offscreen: the real
// search dialog, message boxes and credential-code reader, driven as the operator would
// through the active modal window.  The unit sits on COM3; the settings start the window on
// COM2, a port with no device behind it.

#include "ui_test_support_main.h"
#include "ui_test_support_modal.h"

#include "config_tool/model/codecs.h"
#include "config_tool/model/text_tables.h"
#include "config_tool/ui/key_code.h"
#include "config_tool/ui/main_names.h"
#include "config_tool/ui/main_program.h"
#include "platform/registry.h"

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <string>

namespace {

using mainwin_test::ModalDriver;

QString Msg(int n)
{
    return ui::ToQString(model::Message(model::ConstantTables(model::Language::Russian), n));
}

constexpr int kEventsBefore = 40; // in the unit's log before the reader starts

TEST(RealServicesOnTheLine, SearchAndCredentialReaderUseTheChosenPortAndTheReadUnit)
{
    mainwin_test::EnsureApplication();
    mainwin_test::ProgramFolder folder;
    const std::string reg = folder.File("registry.reg");
    // A short answer time-out keeps the scan short.  COM2 is listed but has no device.
    mainwin_test::WriteLineRegistry(reg, 50,
                                    "\r\n[HKEY_LOCAL_MACHINE\\" +
                                        std::string(platform::kSerialCommKey) + "]\r\n\"" +
                                        folder.File("no-such-tty") + "\"=\"COM2\"\r\n");
    folder.WriteSettings("[Settings]\r\nCom=2\r\n");

    QStringList args{QStringLiteral("--registry"),    QString::fromStdString(reg),
                     QStringLiteral("--com"),         QStringLiteral("3"),
                     QStringLiteral("--baud"),        QStringLiteral("115200"),
                     QStringLiteral("--unit"),        QStringLiteral("5:44:223"),
                     QStringLiteral("--max-seconds"), QStringLiteral("300")};
    for (int n = 1; n <= kEventsBefore; ++n)
        args << QStringLiteral("--event")
             << QStringLiteral("5:0410%1").arg(n, 2, 16, QLatin1Char('0')) + QStringLiteral("00");
    QProcess simulator;
    ASSERT_TRUE(mainwin_test::StartSimulator(simulator, args));

    platform::RegistryFile registry(reg);
    ui::MainWindowSetup setup;
    setup.exeFolder = folder.Path();
    setup.registry = &registry;
    ModalDriver driver;
    auto program = std::make_unique<ui::MainProgram>(setup); // the real services
    ui::TFormMain& form = program->FormMain();
    form.show();
    ASSERT_EQ(form.CurrentPort(), 2);

    // The operator picks COM3 in the Com-port menu.
    auto* com3 = form.findChild<QAction*>(QStringLiteral("COM3"));
    ASSERT_NE(com3, nullptr);
    com3->trigger();
    ASSERT_EQ(form.CurrentPort(), 3);

    // Read: the scan finds the one unit and OK takes it without a click on its line.
    int lines = -1;
    driver.Window(QStringLiteral("FormSearch"), [&lines](QWidget* w) {
        w->findChild<QAbstractButton*>(QStringLiteral("BitBtn1"))->click(); // the whole scan
        lines = w->findChild<QListWidget*>(QStringLiteral("ListBox1"))->count();
        w->findChild<QAbstractButton*>(QStringLiteral("BitBtnOk"))->click();
        if (w->isVisible())
            w->findChild<QAbstractButton*>(QStringLiteral("BitBtnCancel"))->click();
    });
    form.BitBtnFindClick();
    ASSERT_EQ(form.SourceAddress(), 5) << driver.boxes.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(lines, 1);
    EXPECT_EQ(form.ReadPort(), 3);

    // The credential reader for slot 1: it starts at the read unit's address, drains the log
    // on COM3 with its wait label up, then polls until the unit reports a presented key.
    ui::TfKeyCode& keyCode = program->KeyCode();
    const model::KeyCode key{0x01, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x5C};
    int startAddress = 0;
    driver.Window(QStringLiteral("fKeyCode"), [&startAddress](QWidget* w) {
        startAddress = w->findChild<QSpinBox*>(QStringLiteral("udAdress"))->value();
        w->findChild<QAbstractButton*>(QStringLiteral("Button1"))->click();
    });
    driver.Box(QMessageBox::Yes); // message 33
    int drainSamples = 0;
    bool waitShown = true;
    int lastCount = 0;
    bool presented = false;
    QTimer probe;
    probe.setInterval(0);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (keyCode.Draining()) {
            ++drainSamples;
            waitShown =
                waitShown && keyCode.findChild<QLabel*>(QStringLiteral("LabelWait"))->isVisible();
            lastCount =
                keyCode.findChild<QLabel*>(QStringLiteral("LabelWaitCount"))->text().toInt();
        } else if (keyCode.KeyPollActive() && !presented) {
            presented = true;
            QString hex;
            for (uint8_t b : key)
                hex += QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
            simulator.write(
                (QStringLiteral("event 5:041601") + hex + QStringLiteral("\n")).toLatin1());
        }
    });
    probe.start();
    form.ButtonKeyClick(1);
    probe.stop();
    EXPECT_EQ(startAddress, 5);
    EXPECT_GT(drainSamples, 0) << "the window served no events while the log was drained";
    EXPECT_TRUE(waitShown);
    EXPECT_GE(lastCount, kEventsBefore / 2);
    EXPECT_TRUE(presented);
    EXPECT_EQ(form.Editor().Text("ParamKey1"), model::KeyBytesToText(key));
    EXPECT_EQ(driver.boxes, QStringList{Msg(33)});
    EXPECT_TRUE(driver.Done());
    EXPECT_TRUE(driver.stuck.isEmpty()) << driver.stuck.join(QLatin1Char(',')).toStdString();

    program.reset();
    simulator.terminate();
    ASSERT_TRUE(simulator.waitForFinished(10000));
}

} // namespace
