#pragma once
// TFormSearch: the modal search dialog.  The scan runs inside BitBtn1's click handler and serves
// the event queue between addresses, so the same button stops it and the list repaints.  Only a
// supported unit is accepted.  Closing the window during a scan takes effect when the scan ends.
//
// Threads: the user-interface thread only.

#include "config_tool/device/bus_search.h"
#include "config_tool/model/text_tables.h"
#include "config_tool/ui/main_services.h"

#include <QDialog>

class QListWidget;
class QProgressBar;
class QPushButton;

namespace ui {

class Prompt;

class TFormSearch : public QDialog, private device::ScanObserver
{
    Q_OBJECT
public:
    // tables: the current text tables (the main window's); they must outlive the dialog.
    TFormSearch(device::CommandChannel& channel, Prompt& prompt, const model::TextTables& tables,
                QWidget* parent = nullptr);
    ~TFormSearch() override;

    // Shows the dialog modally, centred on main, for a scan of the given port.
    PickedUnit SearchDeviceDialog(int port, const QWidget* main);

    void BitBtn1Click();
    void BitBtnOkClick();
    void BitBtnCancelClick();

    bool Scanning() const { return scan_.Scanning(); }
    const device::BusScan& Scan() const { return scan_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void AddressStarted(int address) override;
    void UnitListed(const device::FoundUnit& unit) override;
    void SelectFirstLine() override;
    void Serve() override;
    QString Msg(int number) const;

    device::BusScan scan_;
    Prompt& prompt_;
    const model::TextTables& tables_;
    int port_ = 1;
    bool closePending_ = false;
    PickedUnit chosen_;

    QListWidget* ListBox1 = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QPushButton* BitBtnOk = nullptr;
    QPushButton* BitBtnCancel = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
};

} // namespace ui
