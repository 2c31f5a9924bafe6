#pragma once
// Input filters of the main window's numeric edits.  Each edit takes digits only (typed or
// pasted); after every change, whether typed or set from code, its text is passed through the
// rule below and replaced when the rule changes it.

#include <QString>

class QLineEdit;

namespace ui {

// Partition number: empty -> "0", more than 4 characters -> "9999".
QString FilterPartitionNumber(const QString& text);
// PIN: cut to the first 12 characters.
QString FilterPin(const QString& text);
// Alarm time: empty -> "0", more than 2 characters with a value of 256 or more -> "255".
QString FilterAlarmTime(const QString& text);

using TextFilter = QString (*)(const QString&);
// Digits-only validator plus the after-change rule.
void InstallDigitFilter(QLineEdit* edit, TextFilter rule);

} // namespace ui
