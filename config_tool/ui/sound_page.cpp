#include "config_tool/ui/sound_page.h"

#include "config_tool/model/editor.h"
#include "config_tool/ui/form_see_ind.h"
#include "config_tool/ui/main_names.h"
#include "config_tool/ui/pictures.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace ui {

SoundPage::SoundPage(QWidget* pageSound, EditorContext& ctx, QObject* parent)
    : QObject(parent), ctx_(ctx)
{
    Build(pageSound);
}

void SoundPage::Build(QWidget* page)
{
    auto* pageLayout = qobject_cast<QVBoxLayout*>(page->layout());
    if (!pageLayout)
        pageLayout = new QVBoxLayout(page);

    numberSettingsSound_ = new QComboBox(page);
    numberSettingsSound_->setObjectName(QStringLiteral("NumberSettingsSound"));
    numberSettingsSound_->setFixedWidth(240);
    ctx_.editor.OnChange(numberSettingsSound_, [this] { NumberSettingsSoundChange(); });
    pageLayout->addWidget(numberSettingsSound_);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(4);
    for (int k = 1; k <= kPositions; ++k) {
        const QString name = QStringLiteral("SoundParamColorPos") + QString::number(k);
        auto* box = new QComboBox(page);
        box->setObjectName(name);
        box->setFixedWidth(52);
        // The same three texts in both languages.
        box->addItems({QStringLiteral("-"), QStringLiteral("+"), QStringLiteral("1/2")});
        box->setCurrentIndex(-1);
        ctx_.editor.OnChange(box, [this, k] { SoundParamColorPosChange(k); });
        auto* cell = new QLabel(page);
        cell->setObjectName(name + QStringLiteral("Image"));
        cell->setFixedSize(40, 40);
        SetSoundCellPicture(cell, ctx_.pictures, 0);
        position_.at(static_cast<size_t>(k - 1)) = box;
        cell_.at(static_cast<size_t>(k - 1)) = cell;
        grid->addWidget(box, 0, k - 1);
        grid->addWidget(cell, 1, k - 1, Qt::AlignHCenter);
    }
    pageLayout->addLayout(grid);

    auto* play = new QHBoxLayout;
    auto* button = new QPushButton(QStringLiteral("Проверка"), page);
    button->setObjectName(QStringLiteral("ButtonSoundSee"));
    connect(button, &QPushButton::clicked, this, [this] { ButtonSoundSeeClick(); });
    length_ = new QComboBox(page);
    length_->setObjectName(QStringLiteral("ComboBoxSoundSee"));
    length_->setEditable(true);
    length_->setInsertPolicy(QComboBox::NoInsert);
    length_->setFixedWidth(80);
    // Typed text stands for no item; the list itself never changes.
    connect(length_->lineEdit(), &QLineEdit::textEdited, this, [this](const QString& text) {
        if (length_->currentIndex() < 0)
            return;
        const QSignalBlocker quiet(length_);
        length_->setCurrentIndex(-1);
        length_->setEditText(text);
    });
    play->addWidget(button);
    play->addWidget(length_);
    play->addStretch(1);
    pageLayout->addLayout(play);
    pageLayout->addStretch(1);
}

void SoundPage::FillLists()
{
    const model::TextTables& t = ctx_.tables;
    for (size_t s = 1; s < t.sounds.size(); ++s)
        numberSettingsSound_->addItem(ToQString(t.sounds.at(s)));
    numberSettingsSound_->setCurrentIndex(numberSettingsSound_->count() > 0 ? 0 : -1);
    for (std::string_view text : t.previewLengths)
        length_->addItem(ToQString(text));
    length_->setCurrentIndex(length_->count() > 0 ? 0 : -1);
}

int SoundPage::CurrentSound() const
{
    const int item = numberSettingsSound_->currentIndex();
    return item >= 0 && item < model::kSounds ? item + 1 : 0;
}

int SoundPage::SoundLengthItem() const
{
    return length_->currentIndex();
}

void SoundPage::NumberSettingsSoundChange()
{
    const int s = CurrentSound();
    if (s == 0)
        return;
    // Runs the eight position handlers, which rewrite the pattern in the editors' own codes.
    model::ShowSoundPattern(ctx_.image, ctx_.editor, s);
    for (int k = 1; k <= kPositions; ++k)
        SetSoundCellPicture(cell_.at(static_cast<size_t>(k - 1)), ctx_.pictures,
                            position_.at(static_cast<size_t>(k - 1))->currentIndex());
}

void SoundPage::SoundParamColorPosChange(int position)
{
    const int s = CurrentSound();
    if (s == 0 || position < 1 || position > kPositions)
        return;
    model::ApplySoundPosition(ctx_.image, ctx_.editor, s, position);
    SetSoundCellPicture(cell_.at(static_cast<size_t>(position - 1)), ctx_.pictures,
                        position_.at(static_cast<size_t>(position - 1))->currentIndex());
}

void SoundPage::ButtonSoundSeeClick()
{
    const int s = CurrentSound();
    if (s != 0 && ctx_.seeInd)
        ctx_.seeInd->StartSoundPreview(s);
}

} // namespace ui
