#pragma once
// The controls of the page PageSound and their handlers: the sound chosen in
// NumberSettingsSound (sounds 1..30), its eight positions SoundParamColorPos1 .. 8 ("-", "+",
// "1/2") with the picture cells SoundParamColorPos1Image .. 8Image, and the play button
// ButtonSoundSee with the length list ComboBoxSoundSee.  Every change is written into
// ConfigImage at once.  The lists' change handlers are tied to them through the editor binding
// (WidgetEditor::OnChange): they run on the operator's choice or by name only.
//
// ComboBoxSoundSee is editable: typed text selects no item (which plays the shortest length)
// and never becomes an item.
//
// Threads: the user-interface thread only.

#include "config_tool/ui/editor_context.h"

#include <QObject>

#include <array>
#include <string_view>

class QComboBox;
class QLabel;
class QPushButton;
class QWidget;

namespace ui {

class SoundPage : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPositions = 8;

    SoundPage(QWidget* pageSound, EditorContext& ctx, QObject* parent = nullptr);

    // The language switch's part for this page: the sounds 1..30 and the preview lengths from
    // the current tables, item 0 selected in both.  Appends, so run it once.
    void FillLists();

    // The edited sound 1..30, 0 when NumberSettingsSound has no selection.
    int CurrentSound() const;
    // The item of ComboBoxSoundSee; -1 while the operator's typed text stands in it.
    int SoundLengthItem() const;

    void NumberSettingsSoundChange();
    void SoundParamColorPosChange(int position); // SoundParamColorPosKChange, 1..8
    void ButtonSoundSeeClick();

private:
    void Build(QWidget* page);

    EditorContext& ctx_;
    QComboBox* numberSettingsSound_ = nullptr;
    std::array<QComboBox*, kPositions> position_{};
    std::array<QLabel*, kPositions> cell_{};
    QComboBox* length_ = nullptr;
};

} // namespace ui
