#pragma once
// The one way the windows raise a message box: a Prompt.  QtPrompt shows a modal QMessageBox;
// ScriptedPrompt records every box and answers from a script, so the offscreen tests can run
// the dialogs' questions.  Also the placement rule the small dialogs share.
//
// Threads: the user-interface thread only.

#include "config_tool/ui/main_services.h"

#include <QString>

#include <deque>
#include <functional>
#include <vector>

class QWidget;

namespace ui {

class Prompt
{
public:
    virtual ~Prompt() = default;
    virtual BoxAnswer Show(BoxKind kind, BoxButtons buttons, const QString& text) = 0;

    bool AskYes(BoxKind kind, BoxButtons buttons, const QString& text)
    {
        return Show(kind, buttons, text) == BoxAnswer::Yes;
    }
    void Tell(BoxKind kind, const QString& text) { Show(kind, BoxButtons::Ok, text); }
};

class QtPrompt : public Prompt
{
public:
    explicit QtPrompt(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    BoxAnswer Show(BoxKind kind, BoxButtons buttons, const QString& text) override;

private:
    QWidget* parent_;
};

class ScriptedPrompt : public Prompt
{
public:
    struct Box
    {
        BoxKind kind;
        BoxButtons buttons;
        QString text;
    };

    // Records the box, runs onShow (the box is "open" meanwhile), then gives the next scripted
    // answer, or Yes (OK for an OK box) when the script is empty.
    BoxAnswer Show(BoxKind kind, BoxButtons buttons, const QString& text) override;

    std::vector<Box> shown;
    std::deque<BoxAnswer> answers;
    std::function<void(const Box&)> onShow;
};

// Places a dialog centred on the main window: left = main left + (main width - dialog width) / 2,
// top likewise, rounded.  No main window: the dialog stays where it is.
void CentreOnMain(QWidget* dialog, const QWidget* main);

} // namespace ui
