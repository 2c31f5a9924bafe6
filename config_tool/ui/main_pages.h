#pragma once
// The fixed controls of the main window's pages PageInfo, PageObject, PageMain and PageKey,
// created under their object names.  Captions and list items come later, from the language
// switch; edits and lists without a caption of their own carry their object name as their
// accessible name.

class QWidget;

namespace ui {

void BuildInfoPage(QWidget* page);
void BuildObjectPage(QWidget* page);
void BuildMainPage(QWidget* page);
void BuildKeyPage(QWidget* page);

// Every named control under root that screen readers would find without a name (no caption,
// no label, no accessible name) gets its object name as its accessible name.
void NameUnlabelledControls(QWidget* root);

} // namespace ui
