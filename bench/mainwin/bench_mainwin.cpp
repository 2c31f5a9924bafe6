// The main window's figures: the time from the program's start (the product settings, then its
// six windows as the program makes them) to the first shown window, the settings' share of it, the
// common show step (ImageToForm and the two list change handlers) on the real widgets, and the
// resident memory after a read of a simulated unit.

#include "config_tool/model/config_image.h"
#include "config_tool/ui/main_program.h"
#include "sim/bus.h"
#include "translation/settings/zemra_file_path.h"

#include <QApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// The device operations straight onto an in-process simulated line.
class SimChannel : public device::CommandChannel
{
public:
    explicit SimChannel(sim::Bus& bus) : bus_(bus) {}
    void SetComPort(int) override {}
    void ReadRegistrySettings() override {}
    void SetRetryCount(int) override {}
    device::Frame Exchange(const device::Frame& request) override
    {
        now_us_ += 1'000'000;
        const auto activity = bus_.Receive(sim::WithCrc(request), now_us_);
        return activity.answers.empty() ? device::Frame{} : activity.answers.front().bytes;
    }

private:
    sim::Bus& bus_;
    int64_t now_us_ = 0;
};

// Picks unit 5 and answers every question with Yes.
class Answers : public ui::MainServices
{
public:
    ui::BoxAnswer MessageBox(ui::BoxKind, ui::BoxButtons, const QString&) override
    {
        return ui::BoxAnswer::Yes;
    }
    ui::PickedUnit SearchDeviceDialog(int) override { return {5, "КЛВ"}; }
    int AskNewModel() override { return 44; }
    QString OpenFileName() override { return {}; }
    QString SaveFileName() override { return {}; }
    QString ReadKeyCodeDialog(int) override { return {}; }
    void KeyCodePollStep() override {}
    void OpenHelp(const QString&) override {}
};

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    const auto start = Clock::now();
    setenv("VENDAXO_NO_DEVICE_SCAN", "1", 1);
    QApplication app(argc, argv);
    QTemporaryDir folder;
    const std::string registry = (folder.path() + QStringLiteral("/registry.reg")).toStdString();
    std::ofstream(registry) << "Windows Registry Editor Version 5.00\r\n\r\n";
    setenv("VENDAXO_REGISTRY", registry.c_str(), 1);
    // --screenshot FILE [--language Rus|Eng]: saves the window after the read and stops.
    QString screenshot;
    std::string language = "Rus";
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--screenshot")
            screenshot = QString::fromLocal8Bit(argv[i + 1]);
        if (std::string(argv[i]) == "--language")
            language = argv[i + 1];
    }
    std::ofstream((folder.path() + QStringLiteral("/Settings.ini")).toStdString())
        << "[Language]\r\nLanguage=" << language << "\r\n";

    // The settings as the program finds them at start, beside a temporary executable folder.
    const auto resolverStart = Clock::now();
    translation::ResolverInputs inputs = translation::ProcessResolverInputs();
    inputs.exeFolder = folder.path().toStdString() + "/";
    const translation::ZemraFilePath settings(inputs);
    const double resolverMs = Seconds(resolverStart, Clock::now()) * 1000.0;

    sim::Bus bus;
    bus.AddUnit(5, 44, 223);
    SimChannel channel(bus);
    Answers answers;
    ui::MainWindowSetup setup;
    setup.exeFolder = folder.path();
    setup.channel = &channel;
    ui::MainProgram program(setup, &answers);
    ui::TFormMain& form = program.FormMain();
    form.show();
    QApplication::processEvents();
    const double startToShow = Seconds(start, Clock::now());
    std::printf("mainwin.start_to_show: %.3f s\nmainwin.start_to_show.target: 0.5 s\n",
                startToShow);
    std::printf("mainwin.resolver: %.2f ms\n", resolverMs);

    form.BitBtnFindClick();
    QApplication::processEvents();
    if (form.SourceAddress() != 5) {
        std::fprintf(stderr, "bench_mainwin: the read failed\n");
        return 1;
    }
    if (!screenshot.isEmpty()) {
        for (int i = 0; i < 20; ++i)
            QApplication::processEvents();
        return form.grab().save(screenshot) ? 0 : 1;
    }
    std::vector<double> ms;
    for (int i = 0; i < 30; ++i) {
        const auto t0 = Clock::now();
        form.ShowConfiguration();
        ms.push_back(Seconds(t0, Clock::now()) * 1000.0);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("mainwin.show_step: %.2f ms\nmainwin.show_step.target: 20 ms\n",
                ms.at(ms.size() / 2));

    std::printf("mainwin.rss_after_read: %.1f MB\nmainwin.rss_after_read.target: 80 MB\n",
                static_cast<double>(ResidentKiB()) / 1024.0);
    form.close();
    return 0;
}
