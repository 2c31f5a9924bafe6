#include "config_tool/ui/form_search.h"

#include "config_tool/device/messages.h"
#include "config_tool/ui/main_names.h"
#include "config_tool/ui/prompt.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace ui {

namespace {

QPushButton* GlyphButton(QWidget* parent, const char* name, QStyle::StandardPixmap glyph, int hintSlot)
{
    auto* b = new QPushButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setIcon(parent->style()->standardIcon(glyph));
    const auto& russian = model::ConstantTables(model::Language::Russian);
    b->setToolTip(ToQString(russian.captions.at(static_cast<std::size_t>(hintSlot))));
    b->setAutoDefault(false);
    return b;
}

} // namespace

TFormSearch::TFormSearch(device::CommandChannel& channel, Prompt& prompt,
                         const model::TextTables& tables, QWidget* parent)
    : QDialog(parent), scan_(channel), prompt_(prompt), tables_(tables)
{
    setObjectName(QStringLiteral("FormSearch"));
    setWindowTitle(QStringLiteral("Поиск приборов"));
    setModal(true);

    ListBox1 = new QListWidget(this);
    ListBox1->setObjectName(QStringLiteral("ListBox1"));
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(1, 126);
    ProgressBar1->setValue(1);
    ProgressBar1->setTextVisible(false);
    BitBtn1 = GlyphButton(this, "BitBtn1", QStyle::SP_BrowserReload, 70);
    BitBtnOk = GlyphButton(this, "BitBtnOk", QStyle::SP_DialogOkButton, 71);
    BitBtnCancel = GlyphButton(this, "BitBtnCancel", QStyle::SP_DialogCancelButton, 72);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(BitBtn1);
    buttons->addStretch();
    buttons->addWidget(BitBtnOk);
    buttons->addWidget(BitBtnCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(ListBox1);
    layout->addWidget(ProgressBar1);
    layout->addLayout(buttons);
    resize(320, 300);

    connect(BitBtn1, &QPushButton::clicked, this, &TFormSearch::BitBtn1Click);
    connect(BitBtnOk, &QPushButton::clicked, this, &TFormSearch::BitBtnOkClick);
    connect(BitBtnCancel, &QPushButton::clicked, this, &TFormSearch::BitBtnCancelClick);
}

TFormSearch::~TFormSearch() { scan_.Stop(); }

QString TFormSearch::Msg(int number) const { return ToQString(model::Message(tables_, number)); }

PickedUnit TFormSearch::SearchDeviceDialog(int port, const QWidget* main)
{
    port_ = port;
    CentreOnMain(this, main);
    ProgressBar1->setValue(1);
    scan_.Clear();
    ListBox1->clear();
    closePending_ = false;
    chosen_ = {};
    exec();
    scan_.Clear();
    return chosen_;
}

void TFormSearch::BitBtn1Click()
{
    if (scan_.Scanning()) {
        scan_.Stop(); // the scan ends after the address in progress
        return;
    }
    BitBtnOk->setEnabled(false);
    BitBtnCancel->setEnabled(false);
    scan_.Clear();
    ListBox1->clear();
    ListBox1->setCurrentRow(-1);
    ListBox1->repaint();
    scan_.Run(port_, *this);
    setWindowTitle(Msg(device::kMsgSearchCaption));
    ProgressBar1->setValue(1);
    BitBtnOk->setEnabled(true);
    BitBtnCancel->setEnabled(true);
    if (closePending_) {
        closePending_ = false;
        QDialog::reject();
    }
}

void TFormSearch::AddressStarted(int address)
{
    if (address != 127)
        ProgressBar1->setValue(address);
    setWindowTitle(QString::number(address));
}

void TFormSearch::UnitListed(const device::FoundUnit& unit)
{
    QString line = Msg(device::kMsgAddress) + QString::number(unit.address);
    if (unit.klv_line)
        line += Msg(device::kMsgKlvOfVersion);
    else
        line += QStringLiteral(" : ") + ToQString(model::DeviceTypeName(tables_, unit.type)) +
                Msg(device::kMsgOfVersion);
    line += QString::fromStdString(device::VersionText(unit.version_word));
    ListBox1->addItem(line);
}

void TFormSearch::SelectFirstLine() { ListBox1->setCurrentRow(0); }

void TFormSearch::Serve() { QCoreApplication::processEvents(); }

void TFormSearch::BitBtnOkClick()
{
    const QList<QListWidgetItem*> selected = ListBox1->selectedItems();
    const int line = selected.isEmpty() ? -1 : ListBox1->row(selected.front());
    const device::AcceptedUnit unit = scan_.Accept(line);
    if (!unit.accepted) {
        prompt_.Tell(BoxKind::Information, Msg(device::kMsgUnsupportedUnit));
        return;
    }
    chosen_ = {unit.address, unit.model};
    accept();
}

void TFormSearch::BitBtnCancelClick() { QDialog::reject(); }

void TFormSearch::closeEvent(QCloseEvent* event)
{
    if (scan_.Scanning()) {
        closePending_ = true;
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TFormSearch::reject()
{
    if (scan_.Scanning()) {
        closePending_ = true;
        return;
    }
    QDialog::reject();
}

} // namespace ui
