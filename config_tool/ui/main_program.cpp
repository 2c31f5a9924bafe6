#include "config_tool/ui/main_program.h"

#include "config_tool/ui/add_state.h"
#include "config_tool/ui/form_search.h"
#include "config_tool/ui/form_see_ind.h"
#include "config_tool/ui/key_code.h"
#include "config_tool/ui/main_window_services.h"
#include "config_tool/ui/prompt.h"
#include "config_tool/ui/questions.h"
#include "platform/clock.h"
#include "platform/tone_player.h"

#include <optional>
#include <string>

namespace ui {

MainProgram::MainProgram(MainWindowSetup setup, MainServices* services)
{
    formMain_ = std::make_unique<TFormMain>(std::move(setup));
    TFormMain& main = *formMain_;
    prompt_ = std::make_unique<QtPrompt>(&main);
    tones_ = std::make_unique<platform::DeviceTonePlayer>(platform::SystemClock());
    formSearch_ = std::make_unique<TFormSearch>(main.Channel(), *prompt_, main.Tables());
    formSeeInd_ = std::make_unique<TFormSeeInd>(&main, main.Editors(), tones_.get());
    keyCode_ = std::make_unique<TfKeyCode>(main.Channel(), *prompt_, main.Tables());
    addState_ = std::make_unique<TfAddState>();
    questions_ = std::make_unique<TfQuestions>();

    keyCode_->SetTimerControl([&main](int ms) { main.SetTimerInterval(ms); });
    main.Editors().seeInd = formSeeInd_.get();
    main.Editors().pickEvent = [this]() -> std::optional<std::string> {
        if (addState_->PickEvent(formMain_.get()) == 0)
            return std::nullopt;
        const QString line = addState_->SelectedEvent();
        if (line.isEmpty())
            return std::nullopt;
        return line.toStdString();
    };
    if (!services) {
        services_ = std::make_unique<MainWindowServices>(main, *prompt_, *formSearch_, *questions_,
                                                         *keyCode_);
        services = services_.get();
    }
    main.AttachServices(services, {&main, addState_.get(), keyCode_.get(), formSearch_.get(),
                                   formSeeInd_.get(), questions_.get()});
}

MainProgram::~MainProgram()
{
    services_.reset();
    questions_.reset();
    addState_.reset();
    keyCode_.reset();
    formSeeInd_.reset();
    formSearch_.reset();
    tones_.reset();
    prompt_.reset();
    formMain_.reset();
}

} // namespace ui
