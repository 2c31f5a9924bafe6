#pragma once
// The controls of the page PageSettings and their handlers: for the indication type chosen in
// NumberSettingsInd, the records of the 16 indicators with eight colour positions, a sound
// type, a priority and the bound events.  Every change is written into ConfigImage at once.
//
// The page builds its controls inside the page widget it is given, under their object names
// (NumberSettingsInd, ButtonIndSee, Ind01ParamColorPos1 .. Ind16ParamColorPos8 with their
// ..Image cells, IndNNParamSoundType, IndNNParamSoundPrioritet, IndNNParamListEvent,
// IndNNParamAddEvent / IndNNParamDelEvent for 01..15, sbSeeIndStateNN, the labels LabelSeeColor,
// LabelSeeSound, LabelSeeState, LabelSeeTypeNN, LabelSeePriorNN).  The lists' change handlers
// are tied to them through the editor binding (WidgetEditor::OnChange), so they run on the
// operator's choice or by name, never when an item is selected from code.
//
// Threads: the user-interface thread only.

#include "config_tool/ui/editor_context.h"

#include <QObject>

#include <array>
#include <string_view>

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QToolButton;
class QWidget;

namespace ui {

class IndicationPage : public QObject
{
    Q_OBJECT
public:
    static constexpr int kIndicators = 16;
    static constexpr int kPositions = 8;

    IndicationPage(QWidget* pageSettings, EditorContext& ctx, QObject* parent = nullptr);

    // The language switch's part for this page: the indication types, the colours and the
    // sounds from the current tables, and the fixed priority items.  Appends, so run it once.
    void FillLists();

    // The item of NumberSettingsInd, -1 when none is selected.
    int CurrentIndicationType() const;

    // The handler families, by indicator (1..16) and position (1..8).
    void ColorPosChange(int indicator, int position); // IndNNParamColorPosKChange
    void SoundTypeChange(int indicator);              // IndNNParamSoundTypeChange
    void SoundPrioritetChange(int indicator);         // IndNNParamSoundPrioritetChange
    void AddEventClick(int indicator);                // IndNNParamAddEventClick, 1..15
    void DelEventClick(int indicator);                // IndNNParamDelEventClick, 1..15
    void NumberSettingsIndChange();
    void ButtonIndSeeClick();
    void sbSeeIndStateClick(int indicator); // sbSeeIndStateNNClick

    // Gives all 128 colour cells the pictures of their lists' items.
    void RefreshColourCells();

private:
    void Build(QWidget* page);
    QComboBox* Colour(int indicator, int position) const;

    EditorContext& ctx_;
    QComboBox* numberSettingsInd_ = nullptr;
    std::array<std::array<QComboBox*, kPositions>, kIndicators> colour_{};
    std::array<std::array<QLabel*, kPositions>, kIndicators> cell_{};
    std::array<QComboBox*, kIndicators> soundType_{};
    std::array<QComboBox*, kIndicators> priority_{};
    std::array<QListWidget*, kIndicators> events_{};
    std::array<QPushButton*, kIndicators - 1> add_{};
    std::array<QPushButton*, kIndicators - 1> del_{};
};

} // namespace ui
