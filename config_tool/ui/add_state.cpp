#include "config_tool/ui/add_state.h"

#include "config_tool/ui/prompt.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace ui {

TfAddState::TfAddState(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("fAddState"));
    setModal(true);
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("IndAllListEvent"));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    ok_ = new QPushButton(QStringLiteral("Ок"), this);
    ok_->setObjectName(QStringLiteral("bGetStateOk"));
    ok_->setAutoDefault(false);
    cancel_ = new QPushButton(QStringLiteral("Отмена"), this);
    cancel_->setObjectName(QStringLiteral("bGetStateCancel"));
    cancel_->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addLayout(buttons);
    resize(300, 360);

    // Qt moves the selection to a neighbour of a removed line; the editors take a selected line
    // for the operator's choice, so none may be left behind.
    connect(list_->model(), &QAbstractItemModel::rowsRemoved, this, [this] {
        list_->clearSelection();
        list_->setCurrentRow(-1);
    });
    connect(ok_, &QPushButton::clicked, this, &TfAddState::bGetStateOkClick);
    connect(cancel_, &QPushButton::clicked, this, &TfAddState::bGetStateCancelClick);
}

int TfAddState::PickEvent(const QWidget* main)
{
    result_ = 0;
    CentreOnMain(this, main);
    exec();
    return result_;
}

QString TfAddState::SelectedEvent() const
{
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? QString() : selected.front()->text();
}

void TfAddState::bGetStateOkClick()
{
    result_ = list_->selectedItems().isEmpty() ? 0 : 1;
    close();
}

void TfAddState::bGetStateCancelClick() { close(); }

} // namespace ui
