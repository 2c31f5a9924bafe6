// The program: the six windows of the configuration tool, created in this order, then the
// event loop.  No command line is read.

#include "config_tool/ui/form_main.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    ui::TFormMain formMain;
    formMain.show();
    return app.exec();
}
