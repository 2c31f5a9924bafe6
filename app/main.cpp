// The program: the six windows of the configuration tool, then the event loop.  No command
// line is read.

#include "config_tool/ui/main_program.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vendaxo"));
    ui::MainProgram program;
    program.FormMain().show();
    return app.exec();
}
