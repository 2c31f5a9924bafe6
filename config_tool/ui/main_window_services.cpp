#include "config_tool/ui/main_window_services.h"

#include "config_tool/ui/form_main.h"
#include "config_tool/ui/form_search.h"
#include "config_tool/ui/key_code.h"
#include "config_tool/ui/prompt.h"
#include "config_tool/ui/questions.h"
#include "platform/shell_open.h"

#include <QFile>
#include <QFileDialog>

namespace ui {
namespace {

QFileDialog* FileDialog(QWidget* parent, const char* name, QFileDialog::AcceptMode mode)
{
    auto* d = new QFileDialog(parent);
    d->setObjectName(QLatin1String(name));
    d->setAcceptMode(mode);
    d->setDefaultSuffix(QStringLiteral("kconf"));
    d->setNameFilter(QStringLiteral("Файлы конфигурации (*.kconf)"));
    // The window asks its own question about an existing file.
    d->setOption(QFileDialog::DontConfirmOverwrite, true);
    d->setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile
                                                   : QFileDialog::AnyFile);
    return d;
}

QString Choose(QFileDialog* dialog)
{
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return {};
    return dialog->selectedFiles().constFirst();
}

} // namespace

MainWindowServices::MainWindowServices(TFormMain& main, Prompt& prompt, TFormSearch& search,
                                       TfQuestions& questions, TfKeyCode& keyCode)
    : main_(main), prompt_(prompt), search_(search), questions_(questions), keyCode_(keyCode),
      open_(FileDialog(&main, "OpenDialogFile", QFileDialog::AcceptOpen)),
      save_(FileDialog(&main, "SaveDialogFile", QFileDialog::AcceptSave))
{
}

BoxAnswer MainWindowServices::MessageBox(BoxKind kind, BoxButtons buttons, const QString& text)
{
    return prompt_.Show(kind, buttons, text);
}

PickedUnit MainWindowServices::SearchDeviceDialog(int port)
{
    return search_.SearchDeviceDialog(port, &main_);
}

int MainWindowServices::AskNewModel()
{
    return questions_.AskNewModel(&main_);
}

QString MainWindowServices::OpenFileName()
{
    return Choose(open_);
}

QString MainWindowServices::SaveFileName()
{
    return Choose(save_);
}

QString MainWindowServices::ReadKeyCodeDialog(int)
{
    return keyCode_.ReadKeyCodeDialog(main_.CurrentPort(), main_.SourceAddress(), &main_);
}

void MainWindowServices::KeyCodePollStep()
{
    keyCode_.KeyCodePollStep();
}

void MainWindowServices::OpenHelp(const QString& path)
{
    // A missing help file or a desktop without an opener is not reported.
    platform::ShellOpen(QFile::encodeName(path).toStdString());
}

} // namespace ui
