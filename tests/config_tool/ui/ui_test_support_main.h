#pragma once
// Helpers of the main window's offscreen tests: a temporary program folder with its
// "Settings.ini" and registry file, scripted answers for the window's dialogs and message
// boxes, and a command channel that talks to simulated units in-process.

#include "config_tool/device/command_channel.h"
#include "config_tool/ui/main_services.h"
#include "sim/bus.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QProcess;

namespace platform {
class RegistryFile;
}

namespace mainwin_test {

// The one QApplication of a test binary (gtest_main owns main()).
void EnsureApplication();

// A fast local line: writes the registry file `path` with the bus settings (the answer
// time-out in ms, 115200 bit/s) and `extra` lines after them, and makes it the process
// registry, through which the serial layer finds a port's device.
void WriteLineRegistry(const std::string& path, int answerTimeoutMs, const std::string& extra = {});
// Starts t4700-sim of the build with args and waits for its "ready" line.
bool StartSimulator(QProcess& simulator, const QStringList& args);

// A folder that plays the executable's folder, with a registry file of its own.
class ProgramFolder
{
public:
    ProgramFolder();
    ~ProgramFolder();
    QString Path() const { return dir_.path() + QStringLiteral("/"); }
    std::string File(const char* name) const
    {
        return (dir_.path() + QLatin1Char('/') + QLatin1String(name)).toStdString();
    }
    // Writes "Settings.ini" from raw lines.
    void WriteSettings(const std::string& text) const;
    std::string ReadSettings() const;
    // The registry, holding the given serialcomm texts (value names are made up).
    platform::RegistryFile& Registry(const std::vector<std::string>& serialcomm = {});

private:
    QTemporaryDir dir_;
    std::unique_ptr<platform::RegistryFile> registry_;
};

struct Box
{
    ui::BoxKind kind;
    ui::BoxButtons buttons;
    QString text;
};

// Answers every dialog from the fields below and records the message boxes.
class ScriptedServices : public ui::MainServices
{
public:
    // Answers for the message boxes in order; once used up, every box gets `defaultAnswer`.
    std::deque<ui::BoxAnswer> answers;
    ui::BoxAnswer defaultAnswer = ui::BoxAnswer::Yes;
    std::vector<Box> boxes;

    ui::PickedUnit unit; // what the search dialog picks
    int searches = 0;
    std::function<void()> onSearch; // runs as the search dialog closes
    int newModel = 44; // the new-configuration question's answer
    QString openName, saveName;
    QString keyCode; // what the credential-code reader gives
    int polls = 0;
    QStringList helpOpened;

    ui::BoxAnswer MessageBox(ui::BoxKind kind, ui::BoxButtons buttons,
                             const QString& text) override;
    ui::PickedUnit SearchDeviceDialog(int port) override;
    int AskNewModel() override { return newModel; }
    QString OpenFileName() override { return openName; }
    QString SaveFileName() override { return saveName; }
    QString ReadKeyCodeDialog(int) override { return keyCode; }
    void KeyCodePollStep() override { ++polls; }
    void OpenHelp(const QString& path) override { helpOpened << path; }

    QStringList Texts() const;
};

// A command channel straight onto a simulated bus: each request gets its bus CRC-8, goes into
// the bus receiver, and the first answer due comes back.  Records the requests.
class BusChannel : public device::CommandChannel
{
public:
    explicit BusChannel(sim::Bus& bus) : bus_(bus) {}

    void SetComPort(int port) override { ports.push_back(port); }
    void ReadRegistrySettings() override {}
    void SetRetryCount(int) override {}
    device::Frame Exchange(const device::Frame& request) override;

    std::vector<int> ports;
    std::vector<device::Frame> requests;
    // Requests of a command byte (request[3]).
    std::vector<device::Frame> Requests(uint8_t command) const;
    // When set, the exchange with this index (0-based, counted from now) gets no answer.
    std::optional<size_t> failAt;
    // Runs at the start of every exchange.
    std::function<void()> onExchange;
    // Acknowledge every event answer (4, 12, 14) to the unit, as the session does.
    bool acknowledgeEvents = false;

private:
    sim::Bus& bus_;
    int64_t now_us_ = 0;
};

} // namespace mainwin_test
