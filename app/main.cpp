// The program: the six windows of the configuration tool, created in this order, then the
// event loop.  No command line is read.

#include "config_tool/ui/add_state.h"
#include "config_tool/ui/form_main.h"
#include "config_tool/ui/form_search.h"
#include "config_tool/ui/form_see_ind.h"
#include "config_tool/ui/key_code.h"
#include "config_tool/ui/main_window_services.h"
#include "config_tool/ui/prompt.h"
#include "config_tool/ui/questions.h"
#include "platform/clock.h"
#include "platform/tone_player.h"

#include <QApplication>

#include <optional>
#include <string>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vendaxo"));

    // Destroyed in reverse order: the dialogs first, the main window with its session last.
    ui::TFormMain formMain;
    ui::QtPrompt prompt(&formMain);
    ui::TFormSearch formSearch(formMain.Channel(), prompt, formMain.Tables());
    platform::DeviceTonePlayer tones(platform::SystemClock());
    ui::TFormSeeInd formSeeInd(&formMain, formMain.Editors(), &tones);
    ui::TfKeyCode fKeyCode(formMain.Channel(), prompt, formMain.Tables());
    ui::TfAddState fAddState;
    ui::TfQuestions fQuestions;

    fKeyCode.SetTimerControl([&formMain](int ms) { formMain.SetTimerInterval(ms); });
    formMain.Editors().seeInd = &formSeeInd;
    formMain.Editors().pickEvent = [&]() -> std::optional<std::string> {
        if (fAddState.PickEvent(&formMain) == 0)
            return std::nullopt;
        const QString line = fAddState.SelectedEvent();
        if (line.isEmpty())
            return std::nullopt;
        return line.toStdString();
    };
    ui::MainWindowServices services(formMain, prompt, formSearch, fQuestions, fKeyCode);
    formMain.AttachServices(&services, {&formMain, &fAddState, &fKeyCode, &formSearch, &formSeeInd, &fQuestions});

    formMain.show();
    return app.exec();
}
