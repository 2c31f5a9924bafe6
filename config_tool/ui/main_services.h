#pragma once
// What the main window's commands ask of the operator and of the other windows: the message
// boxes, the search dialog, the new-configuration question, the file dialogs, the credential-
// code reader and the help file.  The program's implementation (main_window_services.h) shows
// the real windows; the offscreen tests answer from a script.
//
// Threads: the user-interface thread only.

#include <QString>

#include <cstdint>
#include <string>

namespace ui {

enum class BoxKind { Warning, Error, Information, Confirmation };
enum class BoxButtons { YesCancel, YesNo, Ok };
enum class BoxAnswer { Yes, No, Cancel, Ok };

// The unit the operator picked in the search dialog; address 0 when none.
struct PickedUnit
{
    uint8_t address = 0;
    std::string model; // "КЛВ" or "ВД"
};

class MainServices
{
public:
    virtual ~MainServices() = default;

    virtual BoxAnswer MessageBox(BoxKind kind, BoxButtons buttons, const QString& text) = 0;
    // The search dialog on the given port.
    virtual PickedUnit SearchDeviceDialog(int port) = 0;
    // 44 keypad model, 10 indicator model, 0 cancelled.
    virtual int AskNewModel() = 0;
    // OpenDialogFile / SaveDialogFile; an empty name when none was chosen.  The save dialog
    // asks nothing about an existing file: the window asks that itself.
    virtual QString OpenFileName() = 0;
    virtual QString SaveFileName() = 0;
    // The credential-code reader for slot 1..8; the code's 16 digits, or empty for none.
    virtual QString ReadKeyCodeDialog(int slot) = 0;
    // One tick of Timer1.
    virtual void KeyCodePollStep() = 0;
    // Asks the desktop to open the help file; a failure is not reported.
    virtual void OpenHelp(const QString& path) = 0;
};

} // namespace ui
