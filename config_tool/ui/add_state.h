#pragma once
// TfAddState: the event chooser.  IndAllListEvent holds the event classes not yet bound in the
// indication type on screen; the indication editors keep it up to date and read the selected
// line after PickEvent.  A line removed from the list leaves no line selected.
//
// Threads: the user-interface thread only.

#include <QDialog>

class QListWidget;
class QPushButton;

namespace ui {

class TfAddState : public QDialog
{
    Q_OBJECT
public:
    explicit TfAddState(QWidget* parent = nullptr);

    // Shows the dialog modally, centred on main: 1 when a line was chosen, else 0.  The chosen
    // line stays selected.
    int PickEvent(const QWidget* main);

    QListWidget* IndAllListEvent() const { return list_; }
    // The selected line's text, empty when none is selected.
    QString SelectedEvent() const;

    void bGetStateOkClick();
    void bGetStateCancelClick();

private:
    QListWidget* list_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    int result_ = 0;
};

} // namespace ui
