// The main window's real services with their file dialogs, offscreen: what the operator types
// into the save and open dialogs and which questions come with it.  The dialogs are driven as
// the operator would, through the active modal window.

#include "ui_test_support_main.h"
#include "ui_test_support_modal.h"

#include "config_tool/model/config_file.h"
#include "config_tool/model/text_tables.h"
#include "config_tool/ui/main_names.h"
#include "config_tool/ui/main_program.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>

namespace {

using mainwin_test::ModalDriver;

std::vector<uint8_t> FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

QString Msg(int n)
{
    return ui::ToQString(model::Message(model::ConstantTables(model::Language::Russian), n));
}

struct RealServicesFiles : ::testing::Test
{
    RealServicesFiles()
    {
        mainwin_test::EnsureApplication();
        setup.exeFolder = folder.Path();
        setup.registry = &folder.Registry({"COM1"});
        program = std::make_unique<ui::MainProgram>(setup);
        Form().show();
        // A new keypad-model configuration, through the real question.
        driver.Window(QStringLiteral("fQuestions"), [](QWidget* w) {
            w->findChild<QAbstractButton*>(QStringLiteral("Button1"))->click();
        });
        Form().BitBtnCreatClick();
    }
    ~RealServicesFiles() override { program.reset(); }
    ui::TFormMain& Form() { return program->FormMain(); }
    // Saves with the name typed into the save dialog; replace answers message 19 when given.
    void Save(const QString& typed,
              std::optional<QMessageBox::StandardButton> replace = std::nullopt)
    {
        driver.boxes.clear();
        driver.Box(QMessageBox::Yes); // message 18
        driver.TypeFileName(QStringLiteral("SaveDialogFile"), folder.Path(), typed);
        if (replace)
            driver.Box(*replace);
        Form().BitBtnSaveClick();
    }

    mainwin_test::ProgramFolder folder;
    ui::MainWindowSetup setup;
    ModalDriver driver;
    std::unique_ptr<ui::MainProgram> program;
};

TEST_F(RealServicesFiles, NameWithoutExtensionIsSavedAsKconfAndOverwritingAsksOnce)
{
    ASSERT_TRUE(Form().ConfigPresent());
    Form().Editor().SetText("Obj03ParamNumber", "77");
    Save(QStringLiteral("unit5"));
    const std::string saved = folder.File("unit5.kconf");
    EXPECT_EQ(FileBytes(saved).size(), model::kFileSize);
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(folder.File("unit5"))));
    EXPECT_EQ(driver.boxes, QStringList{Msg(18)});

    // Over the same file: the window's own question, and no other.
    Form().Editor().SetText("Obj03ParamNumber", "78");
    Save(QStringLiteral("unit5"), QMessageBox::Yes);
    EXPECT_EQ(driver.boxes, (QStringList{Msg(18), Msg(19)}));
    EXPECT_EQ(FileBytes(saved).at(model::kFileRecordSize + 4), 78);

    // Cancel on that question leaves the file as it was.
    Form().Editor().SetText("Obj03ParamNumber", "79");
    Save(QStringLiteral("unit5.kconf"), QMessageBox::Cancel);
    EXPECT_EQ(driver.boxes, (QStringList{Msg(18), Msg(19)}));
    EXPECT_EQ(FileBytes(saved).at(model::kFileRecordSize + 4), 78);
    EXPECT_TRUE(driver.Done());
    EXPECT_TRUE(driver.stuck.isEmpty()) << driver.stuck.join(QLatin1Char(',')).toStdString();
}

TEST_F(RealServicesFiles, OpenTakesOnlyAFileThatExists)
{
    Form().Editor().SetText("Obj03ParamNumber", "77");
    Save(QStringLiteral("kept.kconf"));
    Form().Editor().SetText("Obj03ParamNumber", "5");

    driver.boxes.clear();
    bool stillOpen = false;
    driver.Box(QMessageBox::Yes); // message 8
    driver.Window(QStringLiteral("OpenDialogFile"), [this, &stillOpen](QWidget* w) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        ModalDriver::TypeInto(dialog, folder.Path(), QStringLiteral("missing.kconf"));
        // QFileDialog's own accept, which checks the name: refused, the dialog says so and stays
        static_cast<QDialog*>(dialog)->accept();
        stillOpen = dialog->isVisible();
        ModalDriver::TypeInto(dialog, folder.Path(), QStringLiteral("kept.kconf"));
        static_cast<QDialog*>(dialog)->accept();
    });
    Form().BitBtnLoadClick();
    EXPECT_TRUE(stillOpen);
    ASSERT_GE(driver.boxes.size(), 1);
    EXPECT_EQ(driver.boxes[0], Msg(8));
    EXPECT_FALSE(driver.boxes.contains(Msg(9)))
        << driver.boxes.join(QLatin1Char('|')).toStdString();
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(folder.File("missing.kconf"))));
    EXPECT_EQ(Form().Editor().Text("Obj03ParamNumber"), "77");
    EXPECT_TRUE(driver.Done());
    EXPECT_TRUE(driver.stuck.isEmpty()) << driver.stuck.join(QLatin1Char(',')).toStdString();
}

} // namespace
