#pragma once
// TFormSeeInd: the preview window.  It shows, modally, how the indicators of the indication type
// being edited light (all 16 with their event lists, or one indicator in the top panel only),
// and it plays sound patterns through its sound timer without being shown.  Both previews read
// ConfigImage when they start, so they always show the current edits.
//
// Closing the window in any way (its close button, Escape, the window manager) stops both
// previews at once: no timer keeps ticking and no tone plays behind it.
//
// Threads: the user-interface thread only.  A tone blocks that thread for its length.

#include "config_tool/ui/preview_engine.h"

#include <QDialog>

#include <array>
#include <memory>

class QLabel;
class QListWidget;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QTimer;

namespace platform {
class TonePlayer;
}

namespace ui {

struct EditorContext;

class TFormSeeInd : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kAllWidth = 580;
    static constexpr int kAllHeight = 686;
    static constexpr int kOneWidth = 291;
    static constexpr int kOneHeight = 85;

    // mainWindow: the window the preview is centred over.  The context gives the image, the
    // pictures and the main window's lists (IndNNParamListEvent, NumberSettingsInd,
    // ComboBoxSoundSee) through its editor binding.
    // tones: the player of the sound preview; without one the window opens the sound device
    // (silent when there is none).
    TFormSeeInd(QWidget* mainWindow, EditorContext& ctx, platform::TonePlayer* tones = nullptr);
    ~TFormSeeInd() override;

    // Shows all 16 indicators (580 x 686, indicator 1 picked), modally.
    void ShowAllIndicatorsPreview();
    // Shows indicator n (1..16; any other value shows 16) in the top panel only (291 x 85).
    void ShowOneIndicatorPreview(int n);
    // Plays sound pattern s (1..30) for the length chosen in ComboBoxSoundSee, replacing a
    // preview that still plays; returns once the first step has started.
    void StartSoundPreview(int s);

    // Handlers.
    void SeeCheckClick(int n); // SeeCheckNNClick
    void ButtonFormSeeCloseClick();

    // For the owner and the tests.
    PreviewEngine& Engine() { return *engine_; }
    QTimer* TimerInd() const { return timerInd_; }
    QTimer* TimerSound() const { return timerSound_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void reject() override;

private:
    class QtStepTimer;
    class PictureSink;

    void Build();
    void FormShow();
    void Open(int width, int height, int indicator, bool rows);

    QWidget* mainWindow_;
    EditorContext& ctx_;
    std::unique_ptr<platform::TonePlayer> ownTones_;
    std::unique_ptr<QtStepTimer> indStep_;
    std::unique_ptr<QtStepTimer> soundStep_;
    std::unique_ptr<PictureSink> sink_;
    std::unique_ptr<PreviewEngine> engine_;

    QTimer* timerInd_ = nullptr;
    QTimer* timerSound_ = nullptr;
    QLabel* seeColor_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    QScrollArea* scrollBox_ = nullptr;
    std::array<QRadioButton*, kPreviewIndicators> seeCheck_{};
    std::array<QListWidget*, kPreviewIndicators> seeList_{};

    int requestedWidth_ = kAllWidth;
    int requestedHeight_ = kAllHeight;
    int requestedIndicator_ = 1;
    bool showRows_ = true;
};

} // namespace ui
