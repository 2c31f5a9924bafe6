// The main window end to end: its own session on a pseudo-terminal served by t4700-sim, the
// real search dialog, a partition number and a credential code edited, saved and written, and
// the unit's memory as the simulator dumps it at exit.

#include "ui_test_support_main.h"

#include "config_tool/model/codecs.h"
#include "config_tool/model/config_file.h"
#include "config_tool/ui/form_search.h"
#include "config_tool/ui/main_program.h"
#include "platform/crc8.h"
#include "platform/registry.h"

#include <QAbstractButton>
#include <QDir>
#include <QListWidget>
#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

std::vector<uint8_t> FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The search dialog's scan runs inside its start button's handler; once it is over, the only
// unit found is picked.
void PickFirstUnitWhenShown(ui::TFormSearch& search)
{
    QTimer::singleShot(0, &search, [&search] {
        search.findChild<QAbstractButton*>(QStringLiteral("BitBtn1"))->click();
        auto* list = search.findChild<QListWidget*>(QStringLiteral("ListBox1"));
        if (list->count() > 0)
            list->setCurrentRow(0);
        search.findChild<QAbstractButton*>(QStringLiteral("BitBtnOk"))->click();
        if (search.isVisible())
            search.findChild<QAbstractButton*>(QStringLiteral("BitBtnCancel"))->click();
    });
}

TEST(MainWindowEndToEnd, ReadEditSaveWriteAgainstTheSimulator)
{
    mainwin_test::EnsureApplication();
    mainwin_test::ProgramFolder folder;
    const std::string reg = folder.File("registry.reg");
    // A fast local line: a short answer time-out keeps the scan short.
    mainwin_test::WriteLineRegistry(reg, 100);
    const std::string dump = folder.File("dump");
    QDir().mkpath(QString::fromStdString(dump));
    QProcess simulator;
    ASSERT_TRUE(mainwin_test::StartSimulator(
        simulator, {QStringLiteral("--registry"), QString::fromStdString(reg), QStringLiteral("--com"),
                    QStringLiteral("1"), QStringLiteral("--baud"), QStringLiteral("115200"),
                    QStringLiteral("--unit"), QStringLiteral("5:44:223"), QStringLiteral("--dump"),
                    QString::fromStdString(dump), QStringLiteral("--max-seconds"), QStringLiteral("300")}));

    platform::RegistryFile registry(reg);
    ui::MainWindowSetup setup;
    setup.exeFolder = folder.Path();
    setup.registry = &registry;
    // The six windows as the program makes them; the search goes through the real dialog,
    // everything else through the script.
    struct Services : mainwin_test::ScriptedServices
    {
        ui::MainProgram* program = nullptr;
        ui::PickedUnit SearchDeviceDialog(int port) override
        {
            PickFirstUnitWhenShown(program->FormSearch());
            return program->FormSearch().SearchDeviceDialog(port, &program->FormMain());
        }
    } script;
    auto program = std::make_unique<ui::MainProgram>(setup, &script);
    script.program = program.get();
    ui::TFormMain* form = &program->FormMain();
    form->show();
    ASSERT_EQ(form->CurrentPort(), 1);

    // Read.
    form->BitBtnFindClick();
    ASSERT_EQ(form->SourceAddress(), 5) << script.Texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(form->ModelName(), "КЛВ");
    EXPECT_TRUE(script.boxes.empty());
    const model::Image original = form->ImageCopy();
    // What showing the configuration itself changed (partner bits of coupled events).
    std::vector<size_t> shownChanges;
    for (size_t i = 0; i < original.size(); ++i)
        if (model::ReadMask()[i] && form->ConfigImage()[i] != original[i])
            shownChanges.push_back(i);

    // Edit partition 3 and credential 2.
    ui::WidgetEditor& editor = form->Editor();
    editor.SetText("Obj03ParamNumber", "321");
    model::KeyCode key{0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0};
    key[7] = platform::Crc8OneWire(std::span<const uint8_t>(key.data(), 7));
    const std::string keyText = model::KeyBytesToText(key);
    editor.SetText("ParamKey2", keyText);

    // Save.
    const std::string saved = folder.File("unit5.kconf");
    script.saveName = QString::fromStdString(saved);
    form->BitBtnSaveClick();
    const std::vector<uint8_t> file = FileBytes(saved);
    ASSERT_EQ(file.size(), model::kFileSize);
    EXPECT_EQ(file[model::kFileRecordSize + 4], 321 % 256);
    EXPECT_EQ(file[model::kFileRecordSize + 5], 321 / 256);
    EXPECT_TRUE(std::equal(form->ConfigImage().begin(), form->ConfigImage().end(),
                           file.begin() + model::kFileRecordSize));
    EXPECT_TRUE(std::equal(key.begin(), key.end(), file.begin() + model::kFileCodesOffset + 8));

    // Write.
    script.boxes.clear();
    form->BitBtnWriteClick();
    EXPECT_EQ(script.boxes.size(), 1u); // the question only, no error
    EXPECT_EQ(form->ImageCopy(), form->ConfigImage());

    program.reset();
    simulator.terminate();
    ASSERT_TRUE(simulator.waitForFinished(10000));
    const model::LoadedConfig unit = model::LoadConfigFile(dump + "/unit-5.kconf", std::nullopt);
    ASSERT_EQ(unit.status, model::LoadStatus::Ok);
    std::vector<size_t> changed;
    for (size_t i = 0; i < original.size(); ++i)
        if (model::ReadMask()[i] && unit.image[i] != original[i])
            changed.push_back(i);
    std::vector<size_t> expected = shownChanges;
    expected.insert(expected.begin(), {4, 5});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(changed, expected);
    EXPECT_EQ(unit.codes[1], key);
    for (size_t n : {0u, 2u, 3u, 4u, 5u, 6u, 7u})
        EXPECT_EQ(unit.codes[n], model::KeyCode{}) << "slot " << n + 1;
}

} // namespace
