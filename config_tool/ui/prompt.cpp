#include "config_tool/ui/prompt.h"

#include <QMessageBox>
#include <QWidget>

#include <cmath>

namespace ui {

BoxAnswer QtPrompt::Show(BoxKind kind, BoxButtons buttons, const QString& text)
{
    QMessageBox::Icon icon = QMessageBox::Information;
    switch (kind) {
    case BoxKind::Warning: icon = QMessageBox::Warning; break;
    case BoxKind::Error: icon = QMessageBox::Critical; break;
    case BoxKind::Information: icon = QMessageBox::Information; break;
    case BoxKind::Confirmation: icon = QMessageBox::Question; break;
    }
    QMessageBox::StandardButtons set = QMessageBox::Ok;
    QMessageBox::StandardButton escape = QMessageBox::Ok;
    switch (buttons) {
    case BoxButtons::Ok: break;
    case BoxButtons::YesCancel:
        set = QMessageBox::Yes | QMessageBox::Cancel;
        escape = QMessageBox::Cancel;
        break;
    case BoxButtons::YesNo:
        set = QMessageBox::Yes | QMessageBox::No;
        escape = QMessageBox::No;
        break;
    }
    QMessageBox box(icon, QString(), text, set, parent_);
    box.setEscapeButton(escape);
    switch (box.exec()) {
    case QMessageBox::Yes: return BoxAnswer::Yes;
    case QMessageBox::No: return BoxAnswer::No;
    case QMessageBox::Cancel: return BoxAnswer::Cancel;
    case QMessageBox::Ok: return BoxAnswer::Ok;
    default: return buttons == BoxButtons::Ok ? BoxAnswer::Ok : (buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Cancel);
    }
}

BoxAnswer ScriptedPrompt::Show(BoxKind kind, BoxButtons buttons, const QString& text)
{
    shown.push_back({kind, buttons, text});
    if (onShow) {
        const Box box = shown.back(); // onShow may raise further boxes
        onShow(box);
    }
    if (!answers.empty()) {
        const BoxAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    return buttons == BoxButtons::Ok ? BoxAnswer::Ok : BoxAnswer::Yes;
}

void CentreOnMain(QWidget* dialog, const QWidget* main)
{
    if (!dialog || !main)
        return;
    // A dialog never shown (nor sized) still has Qt's default size; it takes the size its
    // showing would give it first, so that it is centred as it will appear.
    if (!dialog->testAttribute(Qt::WA_Resized))
        dialog->adjustSize();
    const QRect m = main->geometry();
    const int left = m.left() + static_cast<int>(std::lround((m.width() - dialog->width()) / 2.0));
    const int top = m.top() + static_cast<int>(std::lround((m.height() - dialog->height()) / 2.0));
    dialog->move(left, top);
}

} // namespace ui
