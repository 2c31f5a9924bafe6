// The credential-code reader's drain of a unit whose event log never empties, through the real
// session on a pty against t4700-sim at 9600 bit/s (the default line), in the dialog itself.
// A zero-interval timer posted to the dialog fires whenever the window serves its events; the
// longest time between two firings while the drain reads is the time the window goes without
// answering.  The drain is stopped by the operator's Button2 after kReads reads; the mean time
// of a read, and from it the time to the drain's bound, are printed for information.

#include "CoreComp/rssess/rs_session.h"
#include "config_tool/device/session_channel.h"
#include "config_tool/model/text_tables.h"
#include "config_tool/ui/key_code.h"
#include "config_tool/ui/prompt.h"
#include "platform/registry.h"

#include "tests/config_tool/device/sim_process.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kCom = 7;
constexpr uint8_t kAddress = 5;
constexpr int kReads = 150;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv)
{
    const auto sim_path = device::testing::SimulatorPath();
    if (!sim_path) {
        std::fprintf(stderr, "bench_key_drain: t4700-sim not found under $VENDAXO_BUILD_DIR/sim\n");
        return 1;
    }
    std::string tmpl = (fs::temp_directory_path() / "vendaxo-bench-drain-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        return 1;
    const fs::path dir(tmpl);
    setenv("VENDAXO_REGISTRY", (dir / "registry.reg").c_str(), 1);
    // Named mutexes are machine-wide; a "DRAVON" of another process would leave the line unused.
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    QApplication app(argc, argv);

    int status = 1;
    {
        device::testing::SimProcess sim;
        if (!sim.Start(*sim_path, {"--unit", "5:44:223", "--endless-events", "5", "--registry",
                                   platform::ProcessRegistry().Path(), "--com",
                                   std::to_string(kCom), "--max-seconds", "600"})) {
            std::fprintf(stderr, "bench_key_drain: t4700-sim did not start\n");
            fs::remove_all(dir);
            return 1;
        }
        TRSSession session;
        device::SessionChannel channel(session);
        ui::ScriptedPrompt prompt; // Yes to the warning before the drain
        const model::TextTables& tables = model::ConstantTables(model::Language::Russian);
        ui::TfKeyCode dialog(channel, prompt, tables);

        // The first exchange opens the port; keep that out of the figures.
        channel.SetComPort(kCom);
        channel.ReadRegistrySettings();
        channel.Exchange(device::EventReadRequest(kAddress));

        auto* count = dialog.findChild<QLabel*>(QStringLiteral("LabelWaitCount"));
        Clock::time_point last{}, first{}, end{};
        Clock::duration longest{};
        int reads = 0;
        QTimer probe(&dialog);
        probe.setInterval(0);
        QObject::connect(&probe, &QTimer::timeout, &dialog, [&] {
            if (!dialog.Draining())
                return;
            const Clock::time_point now = Clock::now();
            if (last != Clock::time_point{})
                longest = std::max(longest, now - last);
            else
                first = now;
            last = now;
            reads = count->text().toInt();
            if (reads >= kReads && end == Clock::time_point{}) {
                end = now;
                dialog.findChild<QPushButton*>(QStringLiteral("Button2"))->click();
            }
        });
        QTimer::singleShot(0, &dialog, [&] {
            probe.start();
            dialog.findChild<QPushButton*>(QStringLiteral("Button1"))->click();
        });
        dialog.ReadKeyCodeDialog(kCom, kAddress, nullptr);

        if (reads < kReads || end == Clock::time_point{}) {
            std::fprintf(stderr, "bench_key_drain: the drain stopped after %d reads (%zu boxes)\n",
                         reads, prompt.shown.size());
        } else {
            const double per_read = Ms(end - first) / (reads - 1);
            std::printf("key_drain.9600.longest_unserved: %.1f ms\n", Ms(longest));
            std::printf("key_drain.9600.longest_unserved.target: 100 ms\n");
            std::printf("key_drain.9600.read: %.1f ms\n", per_read);
            std::printf("key_drain.9600.to_bound: %.1f s\n",
                        per_read * device::kMaxDrainReads / 1000.0);
            status = 0;
        }
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    return status;
}
