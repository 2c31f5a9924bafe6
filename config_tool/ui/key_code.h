#pragma once
// TfKeyCode: the credential-code reader.  Button1 drains the unit's event log and starts
// polling; the main window's timer then runs KeyCodePollStep on every tick until an event
// carries a credential code, the unit ends the poll or stops answering, or the operator stops.
// Every way the dialog closes clears KeyPollActive.  While the log is drained the dialog serves
// its event queue after every read and shows LabelWait with the number of events read;
// closing the dialog (Button2 closes it then) stops the drain, and nothing starts a second one.
//
// Threads: the user-interface thread only.

#include "config_tool/device/key_reader.h"
#include "config_tool/model/text_tables.h"

#include <QDialog>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace ui {

class Prompt;

class TfKeyCode : public QDialog, private device::DrainObserver
{
    Q_OBJECT
public:
    // tables: the current text tables (the main window's); they must outlive the dialog.
    TfKeyCode(device::CommandChannel& channel, Prompt& prompt, const model::TextTables& tables,
              QWidget* parent = nullptr);

    // Sets the interval of the main window's timer (0 stops it).
    void SetTimerControl(std::function<void(int ms)> setInterval) { setInterval_ = std::move(setInterval); }

    // Shows the dialog modally, centred on main; returns the code's 16 digits or empty.
    // sourceAddress (0 = none) is put into udAdress.
    QString ReadKeyCodeDialog(int port, int sourceAddress, const QWidget* main);

    void Button1Click();
    void Button2Click();
    // One tick of the main window's timer.
    void KeyCodePollStep();
    bool KeyPollActive() const { return reader_.Active(); }
    bool Draining() const { return draining_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void done(int result) override;

private:
    void SetTimer(int ms);
    void EndWithError(const QString& text);
    QString Msg(int number) const;
    bool EventRead(int reads) override;

    device::KeyCodeReader reader_;
    Prompt& prompt_;
    const model::TextTables& tables_;
    std::function<void(int)> setInterval_;
    int port_ = 1;
    bool inStep_ = false;
    bool draining_ = false;
    bool stopDrain_ = false;
    QString result_;

    QSpinBox* udAdress = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* LabelWait = nullptr;
    QLabel* LabelWaitCount = nullptr; // events read so far, beside LabelWait
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
};

} // namespace ui
