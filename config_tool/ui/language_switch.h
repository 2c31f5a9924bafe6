#pragma once
// The language switch: puts one language on the whole tool.  It copies the Russian or English
// constant tables into the current tables, shows the language's picture, sets the captions and
// hints of the six windows from the caption table and fills the drop-down lists of the editors.
//
// The lists are filled by appending, so the switch runs once per run, after all six windows
// exist.  A window or control that does not exist is passed over.
//
// Threads: the user-interface thread only.

#include "config_tool/model/text_tables.h"

#include <functional>

class QWidget;

namespace ui {

struct MainPictures;

// The six windows, in the order their captions are set.
struct LanguageWindows
{
    QWidget* main = nullptr;
    QWidget* addState = nullptr;  // TfAddState, the event chooser
    QWidget* keyCode = nullptr;   // TfKeyCode, the credential-code reader
    QWidget* search = nullptr;    // TFormSearch
    QWidget* seeInd = nullptr;    // TFormSeeInd, the preview window
    QWidget* questions = nullptr; // TfQuestions, the new-configuration question
};

// flag: 0 Russian, any other value English.  fillPageLists fills the lists of the indication
// and sound pages from the current tables, after the main window's own lists.
void SetLanguage(int flag, model::TextTables& current, const LanguageWindows& windows,
                 const MainPictures& pictures, const std::function<void()>& fillPageLists = {});

// Qt's own texts (the buttons of message boxes, the file dialogs) in the tool's language:
// Russian installs Qt's "qtbase_ru" translation from Qt's translations folder, English removes
// it.  False when that file is missing (its Debian package, qt6-translations-l10n, is not
// installed); Qt's texts then stay English.
bool UseQtTranslations(model::Language language);

} // namespace ui
