#include "config_tool/ui/form_see_ind.h"

#include "config_tool/model/editor.h"
#include "config_tool/ui/editor_context.h"
#include "config_tool/ui/main_names.h"
#include "config_tool/ui/pictures.h"
#include "config_tool/ui/wheel_guard.h"
#include "platform/tone_player.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace ui {

class TFormSeeInd::QtStepTimer : public StepTimer
{
public:
    explicit QtStepTimer(QTimer* timer) : timer_(timer) {}
    void SetInterval(int ms) override
    {
        if (ms <= 0)
            timer_->stop();
        else
            timer_->start(ms);
    }

private:
    QTimer* timer_;
};

class TFormSeeInd::PictureSink : public ColourSink
{
public:
    PictureSink(QLabel*& label, const MainPictures& pictures) : label_(label), pictures_(pictures)
    {
    }
    void ShowColour(PreviewColour colour) override
    {
        SetPreviewColourPicture(label_, pictures_, colour);
    }

private:
    QLabel*& label_;
    const MainPictures& pictures_;
};

namespace {

QTimer* MakeStepTimer(QObject* owner, const char* name)
{
    auto* t = new QTimer(owner);
    t->setObjectName(QLatin1String(name));
    t->setSingleShot(true); // every step sets the next interval itself
    return t;
}

} // namespace

TFormSeeInd::TFormSeeInd(QWidget* mainWindow, EditorContext& ctx, platform::TonePlayer* tones)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      mainWindow_(mainWindow), ctx_(ctx)
{
    if (!tones) {
        ownTones_ = std::make_unique<platform::DeviceTonePlayer>(platform::SystemClock());
        tones = ownTones_.get();
    }
    timerInd_ = MakeStepTimer(this, "TimerInd");
    timerSound_ = MakeStepTimer(this, "TimerSound");
    indStep_ = std::make_unique<QtStepTimer>(timerInd_);
    soundStep_ = std::make_unique<QtStepTimer>(timerSound_);
    sink_ = std::make_unique<PictureSink>(seeColor_, ctx_.pictures);
    engine_ = std::make_unique<PreviewEngine>(*indStep_, *soundStep_, *tones, *sink_);
    connect(timerInd_, &QTimer::timeout, this, [this] { engine_->OnIndicationTimer(); });
    connect(timerSound_, &QTimer::timeout, this, [this] { engine_->OnSoundTimer(); });
    Build();
}

TFormSeeInd::~TFormSeeInd()
{
    engine_->StopAll();
}

void TFormSeeInd::Build()
{
    setObjectName(QStringLiteral("FormSeeInd"));
    setWindowTitle(QStringLiteral("Проверка"));
    setModal(true);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    // The one-indicator preview is only the top panel high.
    outer->setSizeConstraint(QLayout::SetNoConstraint);

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setFixedHeight(53);
    auto* top = new QHBoxLayout(panel);
    top->setContentsMargins(8, 6, 8, 6);
    seeColor_ = new QLabel(panel);
    seeColor_->setObjectName(QStringLiteral("SeeColor"));
    seeColor_->setFixedSize(40, 40);
    SetPreviewColourPicture(seeColor_, ctx_.pictures, kPreviewOff);
    closeButton_ = new QPushButton(QStringLiteral("Закрыть"), panel);
    closeButton_->setObjectName(QStringLiteral("ButtonFormSeeClose"));
    closeButton_->setAutoDefault(false);
    connect(closeButton_, &QPushButton::clicked, this, [this] { ButtonFormSeeCloseClick(); });
    top->addWidget(seeColor_);
    top->addStretch(1);
    top->addWidget(closeButton_);
    outer->addWidget(panel);

    scrollBox_ = new QScrollArea(this);
    scrollBox_->setObjectName(QStringLiteral("ScrollBox1"));
    scrollBox_->setMinimumHeight(0);
    scrollBox_->setWidgetResizable(true);
    auto* rows = new QWidget(scrollBox_);
    auto* grid = new QGridLayout(rows);
    for (int n = 1; n <= kPreviewIndicators; ++n) {
        auto* number = new QLabel(QString::number(n), rows);
        auto* check = new QRadioButton(rows);
        check->setObjectName(NumberedName("SeeCheck", n, ""));
        auto* list = new QListWidget(rows);
        list->setObjectName(NumberedName("SeeList", n, ""));
        // The list takes the row's remaining width, so the rows fit the window without a
        // horizontal scroll bar; long event names show whole in their tooltips.
        list->setFixedHeight(65);
        list->setMinimumWidth(0);
        list->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        connect(check, &QRadioButton::clicked, this, [this, n] { SeeCheckClick(n); });
        seeCheck_.at(static_cast<size_t>(n - 1)) = check;
        seeList_.at(static_cast<size_t>(n - 1)) = list;
        grid->addWidget(number, n - 1, 0);
        grid->addWidget(check, n - 1, 1);
        grid->addWidget(list, n - 1, 2);
    }
    scrollBox_->setWidget(rows);
    outer->addWidget(scrollBox_, 1);
    setMinimumSize(0, 0);
    PassWheelToPage(this);
}

void TFormSeeInd::Open(int width, int height, int indicator, bool rows)
{
    requestedWidth_ = width;
    requestedHeight_ = height;
    requestedIndicator_ = indicator;
    showRows_ = rows;
    exec();
}

void TFormSeeInd::ShowAllIndicatorsPreview()
{
    Open(kAllWidth, kAllHeight, 1, true);
}

void TFormSeeInd::ShowOneIndicatorPreview(int n)
{
    // Only the top panel with the colour picture and the close button.
    Open(kOneWidth, kOneHeight, n, false);
}

void TFormSeeInd::StartSoundPreview(int s)
{
    engine_->StartSoundPreview(ctx_.image, s, ctx_.editor.ItemIndex("ComboBoxSoundSee"));
}

void TFormSeeInd::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFormSeeInd::FormShow()
{
    scrollBox_->setVisible(showRows_);
    resize(requestedWidth_, requestedHeight_);
    if (mainWindow_) {
        const QRect main = mainWindow_->frameGeometry();
        const int left =
            main.x() + static_cast<int>(std::lround((main.width() - requestedWidth_) / 2.0));
        const int top =
            main.y() + static_cast<int>(std::lround((main.height() - requestedHeight_) / 2.0));
        move(left, top);
    }
    for (int n = 1; n <= kPreviewIndicators; ++n) {
        QListWidget* see = seeList_.at(static_cast<size_t>(n - 1));
        see->clear();
        const model::ItemList& list =
            ctx_.editor.List(NumberedName("Ind", n, "ParamListEvent").toStdString());
        for (int k = 0; k < list.Count(); ++k) {
            auto* item = new QListWidgetItem(QString::fromStdString(list.Line(k)), see);
            item->setToolTip(item->text());
        }
    }
    engine_->LoadIndicators(ctx_.image, model::CurrentIndicationType(ctx_.editor));
    const int n = requestedIndicator_ >= 1 && requestedIndicator_ < kPreviewIndicators
                      ? requestedIndicator_
                      : kPreviewIndicators;
    seeCheck_.at(static_cast<size_t>(n - 1))->setChecked(true);
    engine_->ShowIndicatorPreview(n);
}

void TFormSeeInd::SeeCheckClick(int n)
{
    engine_->ShowIndicatorPreview(n);
}

void TFormSeeInd::ButtonFormSeeCloseClick()
{
    engine_->StopAll();
    QDialog::reject();
}

void TFormSeeInd::reject()
{
    // Escape and the window manager's close come here too.
    ButtonFormSeeCloseClick();
}

void TFormSeeInd::closeEvent(QCloseEvent* event)
{
    engine_->StopAll();
    QDialog::closeEvent(event);
}

void TFormSeeInd::hideEvent(QHideEvent* event)
{
    // Hidden by the program; a minimised main window only hides it for a while.
    if (!event->spontaneous())
        engine_->StopAll();
    QDialog::hideEvent(event);
}

} // namespace ui
