#pragma once
// Drives the real modal windows of a test: message boxes, file dialogs and the program's own
// dialogs, each answered by the next step of a script once it is the active modal widget.
// A step's action runs from a timer of its own, so a window it opens in turn (a nested modal
// loop) is driven as well.  Message boxes that no step expects are recorded and answered Yes
// (or their first button).

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>

class QFileDialog;

namespace mainwin_test {

class ModalDriver
{
public:
    ModalDriver();
    ~ModalDriver();

    // The next message box: its text is recorded, then `button` is clicked.
    void Box(QMessageBox::StandardButton button);
    // The next modal widget named objectName: action runs on it.
    void Window(const QString& objectName, std::function<void(QWidget*)> action);
    // The next file dialog: name typed into its file-name field (in folder), then accepted.
    void TypeFileName(const QString& objectName, const QString& folder, const QString& name);

    bool Done() const { return steps_.empty(); }
    // Every message box seen, in order, the unexpected ones with "unexpected: " before them.
    QStringList boxes;
    // Set when a modal window waited with no step for it for long; it was then rejected.
    QStringList stuck;

    // The text typed into a file dialog, as accept() sees it.
    static void TypeInto(QFileDialog* dialog, const QString& folder, const QString& name);

private:
    struct Step
    {
        std::function<bool(QWidget*)> matches;
        std::function<void(QWidget*)> action;
    };
    void Tick();

    QTimer timer_;
    std::deque<Step> steps_;
    int idleTicks_ = 0;
};

} // namespace mainwin_test
