#include "config_tool/ui/indication_page.h"

#include "config_tool/model/codecs.h"
#include "config_tool/model/editor.h"
#include "config_tool/model/event_binding.h"
#include "config_tool/ui/form_see_ind.h"
#include "config_tool/ui/main_names.h"
#include "config_tool/ui/pictures.h"

#include <QAbstractItemModel>
#include <QCollator>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

namespace ui {

namespace {

constexpr int kFirstSystemType = 12;
constexpr int kLastSystemType = 18;
constexpr int kMuteItem = 0;
constexpr int kLowestPriorityItem = 15; // "16 - Min"
constexpr int kWaitingRow = 40;         // "Waiting for a response from the controller..."

bool IsSystemType(int t)
{
    return t >= kFirstSystemType && t <= kLastSystemType;
}

size_t Slot(int n)
{
    return static_cast<size_t>(n - 1);
}

QComboBox* MakeList(QWidget* parent, const QString& name, int width)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->setFixedWidth(width);
    return box;
}

QLabel* MakeLabel(QWidget* parent, const QString& name, const QString& text)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

// Keeps a list box in the order an operator reads it: case-insensitive, by the collation of the
// language in use.  Lines may be appended by anyone (the editor binding, the event binding);
// each insertion re-sorts the list, equal lines keeping their order.
// `owner` ends the ordering when it goes, together with whatever `language` refers to.
void KeepEventListOrdered(QListWidget* list, QObject* owner,
                          std::function<model::Language()> language)
{
    struct State
    {
        bool busy = false;
        std::optional<model::Language> language;
        QCollator collator;
    };
    auto state = std::make_shared<State>();
    QObject::connect(
        list->model(), &QAbstractItemModel::rowsInserted, owner, [list, language, state] {
            if (state->busy || list->count() < 2)
                return;
            const model::Language now = language();
            if (state->language != now) {
                state->collator = QCollator(now == model::Language::Russian
                                                ? QLocale(QLocale::Russian, QLocale::Russia)
                                                : QLocale(QLocale::English, QLocale::UnitedStates));
                state->collator.setCaseSensitivity(Qt::CaseInsensitive);
                state->language = now;
            }
            state->busy = true;
            QList<QListWidgetItem*> items;
            while (list->count() > 0)
                items.append(list->takeItem(0));
            std::stable_sort(items.begin(), items.end(),
                             [&](QListWidgetItem* a, QListWidgetItem* b) {
                                 return state->collator.compare(a->text(), b->text()) < 0;
                             });
            for (QListWidgetItem* item : items)
                list->addItem(item);
            state->busy = false;
        });
}

} // namespace

IndicationPage::IndicationPage(QWidget* pageSettings, EditorContext& ctx, QObject* parent)
    : QObject(parent), ctx_(ctx)
{
    Build(pageSettings);
}

void IndicationPage::Build(QWidget* page)
{
    auto* pageLayout = qobject_cast<QVBoxLayout*>(page->layout());
    if (!pageLayout)
        pageLayout = new QVBoxLayout(page);

    auto* head = new QHBoxLayout;
    numberSettingsInd_ = MakeList(page, QStringLiteral("NumberSettingsInd"), 420);
    ctx_.editor.OnChange(numberSettingsInd_, [this] { NumberSettingsIndChange(); });
    auto* see = new QPushButton(QStringLiteral("Проверка"), page);
    see->setObjectName(QStringLiteral("ButtonIndSee"));
    connect(see, &QPushButton::clicked, this, [this] { ButtonIndSeeClick(); });
    head->addWidget(numberSettingsInd_);
    head->addWidget(see);
    head->addStretch(1);
    pageLayout->addLayout(head);

    auto* scroll = new QScrollArea(page);
    scroll->setWidgetResizable(true);
    auto* rows = new QWidget(scroll);
    auto* grid = new QGridLayout(rows);
    grid->setHorizontalSpacing(4);
    grid->addWidget(MakeLabel(rows, QStringLiteral("LabelSeeColor"), QStringLiteral("Цвет:")), 0,
                    2);
    grid->addWidget(MakeLabel(rows, QStringLiteral("LabelSeeSound"), QStringLiteral("Звук:")), 0,
                    4);
    grid->addWidget(
        MakeLabel(rows, QStringLiteral("LabelSeeState"), QStringLiteral("Состояние(-я):")), 0, 5);

    for (int n = 1; n <= kIndicators; ++n) {
        const int row = n;
        const bool editable = n < kIndicators; // indicator 16 is shown, not edited
        auto* number = new QLabel(QString::number(n), rows);
        auto* preview = new QToolButton(rows);
        preview->setObjectName(NumberedName("sbSeeIndState", n, ""));
        preview->setText(QStringLiteral("…"));
        connect(preview, &QToolButton::clicked, this, [this, n] { sbSeeIndStateClick(n); });
        grid->addWidget(number, row, 0);
        grid->addWidget(preview, row, 1);

        auto* colours = new QGridLayout;
        colours->setSpacing(2);
        colours->addWidget(
            MakeLabel(rows, NumberedName("LabelSeeType", n, ""), QStringLiteral("Тип:")), 0, 0);
        for (int k = 1; k <= kPositions; ++k) {
            const QString name = NumberedName("Ind", n, "ParamColorPos") + QString::number(k);
            QComboBox* box = MakeList(rows, name, 52);
            box->setEnabled(editable);
            ctx_.editor.OnChange(box, [this, n, k] { ColorPosChange(n, k); });
            auto* cell = new QLabel(rows);
            cell->setObjectName(name + QStringLiteral("Image"));
            cell->setFixedSize(40, 40);
            SetColorCellPicture(cell, ctx_.pictures, model::kColourOff);
            colour_.at(Slot(n)).at(Slot(k)) = box;
            cell_.at(Slot(n)).at(Slot(k)) = cell;
            colours->addWidget(box, 0, k);
            colours->addWidget(cell, 1, k, Qt::AlignHCenter);
        }
        grid->addLayout(colours, row, 2);

        auto* sound = new QVBoxLayout;
        QComboBox* priority = MakeList(rows, NumberedName("Ind", n, "ParamSoundPrioritet"), 90);
        priority->addItem(QStringLiteral("1 - Max"));
        for (int p = 2; p <= 15; ++p)
            priority->addItem(QString::number(p));
        priority->addItem(QStringLiteral("16 - Min"));
        priority->setCurrentIndex(-1);
        QComboBox* type = MakeList(rows, NumberedName("Ind", n, "ParamSoundType"), 150);
        for (QComboBox* box : {priority, type})
            box->setEnabled(editable);
        ctx_.editor.OnChange(type, [this, n] { SoundTypeChange(n); });
        ctx_.editor.OnChange(priority, [this, n] { SoundPrioritetChange(n); });
        soundType_.at(Slot(n)) = type;
        priority_.at(Slot(n)) = priority;
        sound->addWidget(
            MakeLabel(rows, NumberedName("LabelSeePrior", n, ""), QStringLiteral("Приоритет:")));
        sound->addWidget(priority);
        sound->addWidget(type);
        grid->addLayout(sound, row, 4);

        auto* list = new QListWidget(rows);
        list->setObjectName(NumberedName("Ind", n, "ParamListEvent"));
        list->setFixedSize(260, 65);
        list->setEnabled(editable);
        KeepEventListOrdered(list, this, [this] {
            return ctx_.language ? ctx_.language() : model::Language::Russian;
        });
        events_.at(Slot(n)) = list;
        grid->addWidget(list, row, 5);

        if (editable) {
            auto* buttons = new QVBoxLayout;
            auto* add = new QPushButton(QStringLiteral("+"), rows);
            add->setObjectName(NumberedName("Ind", n, "ParamAddEvent"));
            auto* del = new QPushButton(QStringLiteral("-"), rows);
            del->setObjectName(NumberedName("Ind", n, "ParamDelEvent"));
            for (QPushButton* b : {add, del})
                b->setFixedWidth(28);
            connect(add, &QPushButton::clicked, this, [this, n] { AddEventClick(n); });
            connect(del, &QPushButton::clicked, this, [this, n] { DelEventClick(n); });
            add_.at(Slot(n)) = add;
            del_.at(Slot(n)) = del;
            buttons->addWidget(add);
            buttons->addWidget(del);
            grid->addLayout(buttons, row, 6);
        }
    }
    scroll->setWidget(rows);
    pageLayout->addWidget(scroll, 1);
}

void IndicationPage::FillLists()
{
    const model::TextTables& t = ctx_.tables;
    for (std::string_view text : t.indicationTypes)
        numberSettingsInd_->addItem(ToQString(text));
    numberSettingsInd_->setCurrentIndex(-1);
    for (int n = 1; n <= kIndicators; ++n) {
        for (int k = 1; k <= kPositions; ++k) {
            QComboBox* box = Colour(n, k);
            for (std::string_view text : t.colours)
                box->addItem(ToQString(text));
            box->setCurrentIndex(-1);
        }
        QComboBox* type = soundType_.at(Slot(n));
        for (std::string_view text : t.sounds)
            type->addItem(ToQString(text));
        type->setCurrentIndex(-1);
    }
}

int IndicationPage::CurrentIndicationType() const
{
    return model::CurrentIndicationType(ctx_.editor);
}

QComboBox* IndicationPage::Colour(int indicator, int position) const
{
    return colour_.at(Slot(indicator)).at(Slot(position));
}

void IndicationPage::ColorPosChange(int indicator, int position)
{
    const int t = CurrentIndicationType();
    if (t < 0 || t >= model::kIndicationTypes)
        return;
    model::ApplyColourPosition(ctx_.image, ctx_.editor, t, indicator, position);
    SetColorCellPicture(cell_.at(Slot(indicator)).at(Slot(position)), ctx_.pictures,
                        Colour(indicator, position)->currentIndex());
}

void IndicationPage::SoundTypeChange(int indicator)
{
    const int t = CurrentIndicationType();
    const int item = soundType_.at(Slot(indicator))->currentIndex();
    if (t < 0 || t >= model::kIndicationTypes || item < 0)
        return;
    ctx_.image.at(model::RecordOffset(t, indicator) + model::kRecSound) =
        static_cast<uint8_t>(item);
}

void IndicationPage::SoundPrioritetChange(int indicator)
{
    const int t = CurrentIndicationType();
    const int item = priority_.at(Slot(indicator))->currentIndex();
    if (t < 0 || t >= model::kIndicationTypes || item < 0)
        return;
    ctx_.image.at(model::RecordOffset(t, indicator) + model::kRecPriority) =
        model::PriorityByte(item);
}

void IndicationPage::AddEventClick(int indicator)
{
    if (indicator < 1 || indicator >= kIndicators)
        return;
    const int t = CurrentIndicationType();
    if (t < 0 || t >= model::kIndicationTypes)
        return;
    const size_t r = model::RecordOffset(t, indicator);
    const std::optional<std::string> chosen = ctx_.pickEvent ? ctx_.pickEvent() : std::nullopt;
    const int row = chosen ? model::EventClassIndex(ctx_.tables, *chosen) : 0;
    if (row == 0)
        return;
    QListWidget* list = events_.at(Slot(indicator));
    // An indicator that shows only the waiting state takes no further event.
    const std::string_view waiting = model::EventClassRow(ctx_.tables, kWaitingRow).name;
    if (list->count() == 1 && list->item(0)->text().toStdString() == waiting)
        return;
    const model::EventClass& ev = model::EventClassRow(ctx_.tables, row);
    model::BindEvent(ctx_.image, ctx_.tables, ctx_.editor.List("IndAllListEvent"),
                     ctx_.editor.List(list->objectName().toStdString()), ev.group, ev.bit, r);
}

void IndicationPage::DelEventClick(int indicator)
{
    if (indicator < 1 || indicator >= kIndicators)
        return;
    QListWidget* list = events_.at(Slot(indicator));
    const QList<QListWidgetItem*> selected = list->selectedItems();
    const int t = CurrentIndicationType();
    if (selected.isEmpty() || t < 0 || t >= model::kIndicationTypes)
        return;
    const size_t r = model::RecordOffset(t, indicator);
    const int row = model::EventClassIndex(ctx_.tables, selected.front()->text().toStdString());
    if (row == 0)
        return;
    const model::EventClass& ev = model::EventClassRow(ctx_.tables, row);
    model::UnbindEvent(ctx_.image, ctx_.tables, ctx_.editor.List("IndAllListEvent"),
                       ctx_.editor.List(list->objectName().toStdString()), ev.group, ev.bit, r);
    // The next delete needs a new choice, as after the operator's first one.
    list->clearSelection();
    list->setCurrentRow(-1);
}

void IndicationPage::NumberSettingsIndChange()
{
    const int t = CurrentIndicationType();
    if (t < 0 || t >= model::kIndicationTypes)
        return;
    model::ShowIndicationType(ctx_.image, ctx_.tables, ctx_.editor, t);
    RefreshColourCells();
    const bool system = IsSystemType(t);
    // System types have no sound of their own: the lists show mute and the lowest priority,
    // while the records keep their stored bytes.
    for (int n = 1; n < kIndicators; ++n) {
        QComboBox* type = soundType_.at(Slot(n));
        QComboBox* priority = priority_.at(Slot(n));
        if (system) {
            type->setCurrentIndex(kMuteItem);
            priority->setCurrentIndex(kLowestPriorityItem);
        }
        type->setEnabled(!system);
        priority->setEnabled(!system);
    }
}

void IndicationPage::RefreshColourCells()
{
    for (int n = 1; n <= kIndicators; ++n)
        for (int k = 1; k <= kPositions; ++k)
            SetColorCellPicture(cell_.at(Slot(n)).at(Slot(k)), ctx_.pictures,
                                Colour(n, k)->currentIndex());
}

void IndicationPage::ButtonIndSeeClick()
{
    const int t = CurrentIndicationType();
    if (ctx_.seeInd && t >= 0 && t < model::kIndicationTypes)
        ctx_.seeInd->ShowAllIndicatorsPreview();
}

void IndicationPage::sbSeeIndStateClick(int indicator)
{
    const int t = CurrentIndicationType();
    if (ctx_.seeInd && t >= 0 && t < model::kIndicationTypes && indicator >= 1 &&
        indicator <= kIndicators)
        ctx_.seeInd->ShowOneIndicatorPreview(indicator);
}

} // namespace ui
