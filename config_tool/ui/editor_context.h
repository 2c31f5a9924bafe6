#pragma once
// What the indication and sound pages need from the main window.  The main window owns one
// EditorContext for the whole run and hands it to IndicationPage and SoundPage; every
// reference must outlive the pages.
//
// Threads: the user-interface thread only.

#include "config_tool/model/config_image.h"
#include "config_tool/model/text_tables.h"
#include "config_tool/ui/widget_editor.h"

#include <functional>
#include <optional>
#include <string>

namespace ui {

struct MainPictures;
class TFormSeeInd;

struct EditorContext
{
    EditorContext(model::Image& image_, const model::TextTables& tables_, WidgetEditor& editor_,
                  const MainPictures& pictures_)
        : image(image_), tables(tables_), editor(editor_), pictures(pictures_)
    {
    }

    model::Image& image;             // ConfigImage: every edit is written here at once
    const model::TextTables& tables; // the current tables, filled by the language switch
    WidgetEditor& editor;            // the controls by name, and their change handlers
    const MainPictures& pictures;    // the cell pictures ImageIndGreen .. ImageIndNo

    // The event chooser: shows TfAddState modally (PickEvent) and gives the selected line of
    // IndAllListEvent when the operator confirmed with a line selected, nothing otherwise.
    std::function<std::optional<std::string>()> pickEvent;
    // The preview window; without it the preview buttons do nothing.
    TFormSeeInd* seeInd = nullptr;
    // The language in use, for the order of the indicators' event lists (Russian when unset).
    std::function<model::Language()> language;
};

} // namespace ui
