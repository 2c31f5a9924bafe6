#pragma once
// The program's six windows in their creation order (TFormMain, TFormSearch, TFormSeeInd,
// TfKeyCode, TfAddState, TfQuestions) and what ties them together: the main window's timer
// for the credential-code reader, the preview window and the event chooser for the editors,
// and the dialogs behind the main window's commands.
//
// Threads: the user-interface thread only.

#include "config_tool/ui/form_main.h"

#include <memory>

namespace platform {
class TonePlayer;
}

namespace ui {

class MainWindowServices;
class QtPrompt;
class TFormSearch;
class TFormSeeInd;
class TfAddState;
class TfKeyCode;
class TfQuestions;

class MainProgram
{
public:
    // services: what the commands ask; nullptr gives the real dialogs, message boxes and file
    // dialogs.  It must outlive the program.
    explicit MainProgram(MainWindowSetup setup = {}, MainServices* services = nullptr);
    ~MainProgram(); // the dialogs first, the main window with its session last
    MainProgram(const MainProgram&) = delete;
    MainProgram& operator=(const MainProgram&) = delete;

    TFormMain& FormMain() { return *formMain_; }
    TFormSearch& FormSearch() { return *formSearch_; }
    TFormSeeInd& FormSeeInd() { return *formSeeInd_; }
    TfKeyCode& KeyCode() { return *keyCode_; }
    TfAddState& AddState() { return *addState_; }
    TfQuestions& Questions() { return *questions_; }

private:
    std::unique_ptr<TFormMain> formMain_;
    std::unique_ptr<QtPrompt> prompt_;
    std::unique_ptr<platform::TonePlayer> tones_;
    std::unique_ptr<TFormSearch> formSearch_;
    std::unique_ptr<TFormSeeInd> formSeeInd_;
    std::unique_ptr<TfKeyCode> keyCode_;
    std::unique_ptr<TfAddState> addState_;
    std::unique_ptr<TfQuestions> questions_;
    std::unique_ptr<MainWindowServices> services_;
};

} // namespace ui
