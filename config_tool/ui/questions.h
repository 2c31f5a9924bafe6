#pragma once
// TfQuestions: which model a new configuration is for, when no unit has been read.
//
// Threads: the user-interface thread only.

#include <QDialog>

class QLabel;
class QPushButton;
class QRadioButton;

namespace ui {

class TfQuestions : public QDialog
{
    Q_OBJECT
public:
    explicit TfQuestions(QWidget* parent = nullptr);

    // Shows the dialog modally, centred on main: 44 keypad model, 10 indicator model, 0 none.
    int AskNewModel(const QWidget* main);

    void Button1Click();
    void Button2Click();

private:
    QLabel* label_ = nullptr;
    QRadioButton* type44_ = nullptr;
    QRadioButton* type10_ = nullptr;
    QPushButton* create_ = nullptr;
    QPushButton* cancel_ = nullptr;
    int result_ = 0;
};

} // namespace ui
