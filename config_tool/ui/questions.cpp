#include "config_tool/ui/questions.h"

#include "config_tool/ui/prompt.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace ui {

TfQuestions::TfQuestions(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("fQuestions"));
    setWindowTitle(QStringLiteral("Создание"));
    setModal(true);
    label_ = new QLabel(QStringLiteral("Создать базовую конфигурацию прибора:"), this);
    label_->setObjectName(QStringLiteral("LabelQuestions"));
    type44_ = new QRadioButton(QStringLiteral("КЛВ"), this);
    type44_->setObjectName(QStringLiteral("rbType44"));
    type44_->setChecked(true);
    type10_ = new QRadioButton(QStringLiteral("ВД"), this);
    type10_->setObjectName(QStringLiteral("rbType10"));
    create_ = new QPushButton(QStringLiteral("Создать"), this);
    create_->setObjectName(QStringLiteral("Button1"));
    create_->setAutoDefault(false);
    cancel_ = new QPushButton(QStringLiteral("Отмена"), this);
    cancel_->setObjectName(QStringLiteral("Button2"));
    cancel_->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(create_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label_);
    layout->addWidget(type44_);
    layout->addWidget(type10_);
    layout->addLayout(buttons);

    connect(create_, &QPushButton::clicked, this, &TfQuestions::Button1Click);
    connect(cancel_, &QPushButton::clicked, this, &TfQuestions::Button2Click);
}

int TfQuestions::AskNewModel(const QWidget* main)
{
    CentreOnMain(this, main);
    result_ = 0;
    exec();
    return result_;
}

void TfQuestions::Button1Click()
{
    result_ = type44_->isChecked() ? 44 : 10;
    close();
}

void TfQuestions::Button2Click() { close(); }

} // namespace ui
