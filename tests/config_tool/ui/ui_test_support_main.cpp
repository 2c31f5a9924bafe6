#include "ui_test_support_main.h"

#include "platform/registry.h"

#include <QApplication>
#include <QProcess>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace mainwin_test {

void EnsureApplication()
{
    // The port menu must list the test's registry only, not this machine's serial devices.
    setenv("VENDAXO_NO_DEVICE_SCAN", "1", 1);
    if (QApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "ui_test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

void WriteLineRegistry(const std::string& path, int answerTimeoutMs, const std::string& extra)
{
    {
        std::ofstream out(path, std::ios::binary);
        char timeout[16];
        std::snprintf(timeout, sizeof timeout, "%08x", answerTimeoutMs);
        out << "Windows Registry Editor Version 5.00\r\n\r\n"
            << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KAVEX\\ZEMRA\\RS]\r\n"
            << "\"CmdTimeoutConstant\"=dword:" << timeout << "\r\n"
            << "\"SpeedRSS\"=dword:0001c200\r\n"
            << extra;
    }
    setenv("VENDAXO_REGISTRY", path.c_str(), 1);
}

bool StartSimulator(QProcess& simulator, const QStringList& args)
{
    const char* build = std::getenv("VENDAXO_BUILD_DIR");
    simulator.start(QString::fromLocal8Bit(build ? build : ".") + QStringLiteral("/sim/t4700-sim"), args);
    return simulator.waitForStarted(5000) && simulator.waitForReadyRead(10000) &&
           simulator.readLine().startsWith("ready ");
}

ProgramFolder::ProgramFolder() = default;
ProgramFolder::~ProgramFolder() = default;

void ProgramFolder::WriteSettings(const std::string& text) const
{
    std::ofstream(File("Settings.ini"), std::ios::binary) << text;
}

std::string ProgramFolder::ReadSettings() const
{
    std::ifstream in(File("Settings.ini"), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

platform::RegistryFile& ProgramFolder::Registry(const std::vector<std::string>& serialcomm)
{
    std::ofstream out(File("registry.reg"), std::ios::binary);
    out << "Windows Registry Editor Version 5.00\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\" << platform::kSerialCommKey << "]\r\n";
    for (size_t i = 0; i < serialcomm.size(); ++i)
        out << "\"\\\\Device\\\\Serial" << i << "\"=\"" << serialcomm[i] << "\"\r\n";
    out.close();
    registry_ = std::make_unique<platform::RegistryFile>(File("registry.reg"));
    return *registry_;
}

ui::BoxAnswer ScriptedServices::MessageBox(ui::BoxKind kind, ui::BoxButtons buttons,
                                           const QString& text)
{
    boxes.push_back({kind, buttons, text});
    if (answers.empty())
        return buttons == ui::BoxButtons::Ok ? ui::BoxAnswer::Ok : defaultAnswer;
    const ui::BoxAnswer a = answers.front();
    answers.pop_front();
    return a;
}

ui::PickedUnit ScriptedServices::SearchDeviceDialog(int)
{
    ++searches;
    if (onSearch)
        onSearch();
    return unit;
}

QStringList ScriptedServices::Texts() const
{
    QStringList texts;
    for (const Box& b : boxes)
        texts << b.text;
    return texts;
}

device::Frame BusChannel::Exchange(const device::Frame& request)
{
    requests.push_back(request);
    if (onExchange)
        onExchange();
    if (failAt) {
        if (*failAt == 0) {
            failAt.reset();
            return {};
        }
        --*failAt;
    }
    // Each exchange comes well after the last one, so no stale bytes wait in the receiver.
    now_us_ += 1'000'000;
    const sim::LineActivity activity = bus_.Receive(sim::WithCrc(request), now_us_);
    if (activity.answers.empty())
        return {};
    device::Frame answer = activity.answers.front().bytes;
    if (acknowledgeEvents && answer.size() > 3 &&
        (answer[2] == 0x04 || answer[2] == 0x0C || answer[2] == 0x0E)) {
        now_us_ += 1'000'000;
        bus_.Receive(sim::WithCrc({answer[0], 0x06, 0x00, 0x03, 0x00, 0x01}), now_us_);
    }
    return answer;
}

std::vector<device::Frame> BusChannel::Requests(uint8_t command) const
{
    std::vector<device::Frame> out;
    for (const auto& r : requests)
        if (r.size() > 3 && r[3] == command)
            out.push_back(r);
    return out;
}

} // namespace mainwin_test
