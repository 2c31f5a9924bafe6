// The program: the product settings (zemra.ini and the working folders), then the six windows
// of the configuration tool and the event loop.  No command line is read.

#include "config_tool/ui/main_program.h"
#include "translation/settings/zemra_file_path.h"

#include <QApplication>

int main(int argc, char** argv)
{
    // Before any window: they read their settings from what this finds.  Declared first, so
    // the configuration object is freed after the windows.
    translation::ZemraFilePath settings;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vendaxo"));
    ui::MainProgram program;
    program.FormMain().show();
    return app.exec();
}
