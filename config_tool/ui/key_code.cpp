#include "config_tool/ui/key_code.h"

#include "config_tool/device/messages.h"
#include "config_tool/model/codecs.h"
#include "config_tool/ui/main_names.h"
#include "config_tool/ui/prompt.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>

namespace ui {

TfKeyCode::TfKeyCode(device::CommandChannel& channel, Prompt& prompt,
                     const model::TextTables& tables, QWidget* parent)
    : QDialog(parent), reader_(channel), prompt_(prompt), tables_(tables)
{
    setObjectName(QStringLiteral("fKeyCode"));
    setModal(true);

    Label1 = new QLabel(QStringLiteral("Адрес прибора:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    udAdress = new QSpinBox(this);
    udAdress->setObjectName(QStringLiteral("udAdress"));
    udAdress->setRange(1, 127);
    udAdress->setValue(1);
    if (auto* edit = udAdress->findChild<QLineEdit*>())
        edit->setObjectName(QStringLiteral("meAdress"));
    LabelWait = new QLabel(QStringLiteral("Вычитывание событий..."), this);
    LabelWait->setObjectName(QStringLiteral("LabelWait"));
    LabelWait->hide();
    LabelWaitCount = new QLabel(this);
    LabelWaitCount->setObjectName(QStringLiteral("LabelWaitCount"));
    LabelWaitCount->hide();
    Button1 = new QPushButton(QStringLiteral("Считать"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setAutoDefault(false);
    Button2 = new QPushButton(QStringLiteral("Отменить"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setAutoDefault(false);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->hide();

    auto* layout = new QGridLayout(this);
    layout->addWidget(Label1, 0, 0);
    layout->addWidget(udAdress, 0, 1);
    layout->addWidget(LabelWait, 1, 0);
    layout->addWidget(LabelWaitCount, 1, 1);
    layout->addWidget(ProgressBar1, 2, 0, 1, 2);
    layout->addWidget(Button1, 3, 0);
    layout->addWidget(Button2, 3, 1);

    connect(Button1, &QPushButton::clicked, this, &TfKeyCode::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TfKeyCode::Button2Click);
}

QString TfKeyCode::Msg(int number) const { return ToQString(model::Message(tables_, number)); }

void TfKeyCode::SetTimer(int ms)
{
    if (setInterval_)
        setInterval_(ms);
}

QString TfKeyCode::ReadKeyCodeDialog(int port, int sourceAddress, const QWidget* main)
{
    port_ = port;
    CentreOnMain(this, main);
    SetTimer(0); // no ticks while the operator chooses
    udAdress->setEnabled(true);
    Button1->setEnabled(true);
    LabelWait->hide();
    LabelWaitCount->hide();
    ProgressBar1->hide();
    result_.clear();
    if (sourceAddress != 0)
        udAdress->setValue(sourceAddress);
    exec();
    return result_;
}

void TfKeyCode::Button1Click()
{
    if (draining_ || reader_.Active())
        return;
    if (!prompt_.AskYes(BoxKind::Warning, BoxButtons::YesNo, Msg(device::kMsgDrainWarning)))
        return;
    udAdress->setEnabled(false);
    Button1->setEnabled(false);
    LabelWait->show();
    LabelWaitCount->clear();
    LabelWaitCount->show();
    LabelWait->repaint();
    draining_ = true;
    stopDrain_ = false;
    const device::KeyStartResult start =
        reader_.Start(static_cast<uint8_t>(udAdress->value()), port_, this);
    draining_ = false;
    LabelWait->hide();
    LabelWaitCount->hide();
    if (start == device::KeyStartResult::Stopped) {
        close();
        return;
    }
    if (start != device::KeyStartResult::Polling) {
        EndWithError(start == device::KeyStartResult::NoAnswer
                         ? Msg(device::kMsgNoAnswer)
                         : ToQString(tables_.eventLogNotEmptied));
        return;
    }
    ProgressBar1->setValue(0);
    ProgressBar1->show();
    SetTimer(100);
}

bool TfKeyCode::EventRead(int reads)
{
    LabelWaitCount->setText(QString::number(reads));
    QCoreApplication::processEvents();
    return !stopDrain_;
}

void TfKeyCode::EndWithError(const QString& text)
{
    prompt_.Tell(BoxKind::Error, text);
    close();
}

void TfKeyCode::KeyCodePollStep()
{
    if (inStep_ || draining_)
        return;
    inStep_ = true;
    struct Leave
    {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{inStep_};

    const int next = ProgressBar1->value() + 5;
    ProgressBar1->setValue(next > 99 ? 0 : next);
    QCoreApplication::processEvents();
    if (!reader_.Active()) {
        if (isVisible())
            close();
        return;
    }
    switch (reader_.PollStep()) {
    case device::KeyPollResult::KeepPolling:
        return;
    case device::KeyPollResult::CodeFound:
        result_ = QString::fromStdString(model::KeyBytesToText(reader_.Code()));
        close();
        return;
    case device::KeyPollResult::NoAnswer:
        EndWithError(Msg(device::kMsgNoAnswer));
        return;
    case device::KeyPollResult::EndNoCode:
    case device::KeyPollResult::Stopped:
        close();
        return;
    }
}

void TfKeyCode::Button2Click()
{
    if (reader_.Active())
        reader_.Stop(); // the next tick closes the dialog
    else
        close();
}

void TfKeyCode::closeEvent(QCloseEvent* event)
{
    reader_.Stop();
    stopDrain_ = true;
    QDialog::closeEvent(event);
}

void TfKeyCode::done(int result)
{
    reader_.Stop();
    stopDrain_ = true;
    QDialog::done(result);
}

} // namespace ui
