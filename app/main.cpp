// The program: the product settings (zemra.ini and the working folders), the active language
// and the language data module, then the six windows of the configuration tool and the event
// loop.
//
// One switch: `--start-check` starts as usual and, once the main window is shown, prints
//   vendaxo started: shown=1 language=N windows=N reports=N texts=T1|T2|...|T17|
// (the main window shown, the language data module's language, the windows' language flag from
// Settings.ini, the windows on screen besides the main one, the product texts) and quits; when
// everything is freed it prints
//   vendaxo ended: status=S threads=N
// An installation can be checked with it, and the start test runs the program this way.

#include "app/program_start.h"
#include "config_tool/ui/main_program.h"
#include "platform/environment.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>

namespace {

// Every window on screen besides the main one: a report, or anything else that opened.
int ReportsShown(const QWidget& main)
{
    int shown = 0;
    for (const QWidget* w : QApplication::topLevelWidgets())
        if (w != &main && w->isVisible())
            ++shown;
    return shown;
}

} // namespace

int main(int argc, char** argv)
{
    bool startCheck = false;
    int status = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Vendaxo"));
        startCheck = QApplication::arguments().contains(QStringLiteral("--start-check"));
        // Before any window, and freed after them (declared before them).
        app::ProgramStart units(translation::ProcessResolverInputs(), platform::ExecutableFolder());
        ui::MainProgram program;
        program.FormMain().show();
        if (!units.Report().empty()) {
            // Once, in the window's language, without holding up the start.
            auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Vendaxo"),
                                        units.ReportMessage(program.FormMain().LanguageFlag() == 1),
                                        QMessageBox::Ok, &program.FormMain());
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
        }
        if (startCheck)
            QTimer::singleShot(0, &app, [&units, &program] {
                const std::string line = units.StartSummary(program.FormMain().LanguageFlag(),
                                                            ReportsShown(program.FormMain()));
                std::printf("vendaxo started: shown=%d %s\n",
                            program.FormMain().isVisible() ? 1 : 0, line.c_str());
                std::fflush(stdout);
                QApplication::quit();
            });
        status = app.exec();
    }
    if (startCheck) {
        std::printf("vendaxo ended: status=%d threads=%d\n", status, app::ThreadCount());
        std::fflush(stdout);
    }
    return status;
}
