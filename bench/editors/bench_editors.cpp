// How long the indication page takes to show another indication type: the handler of
// NumberSettingsInd on the real widgets (offscreen), the 128 colour cells' pictures included.

#include "config_tool/model/config_image.h"
#include "config_tool/model/text_tables.h"
#include "config_tool/ui/editor_context.h"
#include "config_tool/ui/indication_page.h"
#include "config_tool/ui/main_pictures.h"
#include "config_tool/ui/widget_editor.h"

#include <QApplication>
#include <QComboBox>
#include <QListWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QWidget main;
    auto* page = new QWidget(&main);
    QWidget chooserWindow;
    auto* chooser = new QListWidget(&chooserWindow);
    chooser->setObjectName(QStringLiteral("IndAllListEvent"));
    ui::WidgetEditor editor({&main, &chooserWindow});
    model::Image image = model::FactoryImage();
    const model::TextTables tables = model::ConstantTables(model::Language::Russian);
    const ui::MainPictures pictures = ui::MainPictures::Draw();
    ui::EditorContext ctx(image, tables, editor, pictures);
    ui::IndicationPage indication(page, ctx);
    indication.FillLists();
    auto* types = main.findChild<QComboBox*>(QStringLiteral("NumberSettingsInd"));

    // Partition and system types alternate, so every switch changes lists, cells and locks.
    const int order[] = {0, 12, 2, 18, 11, 4, 14, 1};
    auto show = [&](int t) {
        types->setCurrentIndex(t);
        indication.NumberSettingsIndChange();
    };
    for (int t : order)
        show(t);

    std::vector<double> ms;
    for (int round = 0; round < 25; ++round)
        for (int t : order) {
            const auto start = std::chrono::steady_clock::now();
            show(t);
            const auto end = std::chrono::steady_clock::now();
            ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
    std::sort(ms.begin(), ms.end());
    std::printf("indication_type_switch: %.3f ms\n", ms[ms.size() / 2]);
    std::printf("indication_type_switch.target: 10 ms\n");
    std::printf("indication_type_switch_worst: %.3f ms\n", ms.back());
    return 0;
}
