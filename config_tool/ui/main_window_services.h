#pragma once
// The program's answers to the main window's questions: the real dialogs, the message boxes
// of the prompt interface, the file dialogs OpenDialogFile and SaveDialogFile and the desktop
// for the help file.
//
// Threads: the user-interface thread only.

#include "config_tool/ui/main_services.h"

class QFileDialog;

namespace ui {

class Prompt;
class TFormMain;
class TFormSearch;
class TfKeyCode;
class TfQuestions;

class MainWindowServices : public MainServices
{
public:
    MainWindowServices(TFormMain& main, Prompt& prompt, TFormSearch& search, TfQuestions& questions,
                       TfKeyCode& keyCode);

    BoxAnswer MessageBox(BoxKind kind, BoxButtons buttons, const QString& text) override;
    PickedUnit SearchDeviceDialog(int port) override;
    int AskNewModel() override;
    QString OpenFileName() override;
    QString SaveFileName() override;
    QString ReadKeyCodeDialog(int slot) override;
    void KeyCodePollStep() override;
    void OpenHelp(const QString& path) override;

private:
    TFormMain& main_;
    Prompt& prompt_;
    TFormSearch& search_;
    TfQuestions& questions_;
    TfKeyCode& keyCode_;
    QFileDialog* open_;
    QFileDialog* save_;
};

} // namespace ui
