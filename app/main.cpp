// The program: the product settings (zemra.ini and the working folders), the active language
// and the language data module, then the six windows of the configuration tool and the event
// loop.  No command line is read.

#include "app/program_start.h"
#include "config_tool/ui/main_program.h"
#include "platform/environment.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vendaxo"));
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
    return app.exec();
}
