#include "config_tool/ui/main_filters.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

namespace ui {

QString FilterPartitionNumber(const QString& text)
{
    if (text.isEmpty())
        return QStringLiteral("0");
    if (text.size() > 4)
        return QStringLiteral("9999");
    return text;
}

QString FilterPin(const QString& text)
{
    return text.size() > 12 ? text.left(12) : text;
}

QString FilterAlarmTime(const QString& text)
{
    if (text.isEmpty())
        return QStringLiteral("0");
    if (text.size() > 2) {
        bool ok = false;
        const qulonglong value = text.toULongLong(&ok);
        // A run of digits too long for any integer is certainly above 255.
        if (!ok || value >= 256)
            return QStringLiteral("255");
    }
    return text;
}

void InstallDigitFilter(QLineEdit* edit, TextFilter rule)
{
    static const QRegularExpression digits(QStringLiteral("[0-9]*"));
    edit->setValidator(new QRegularExpressionValidator(digits, edit));
    QObject::connect(edit, &QLineEdit::textChanged, edit, [edit, rule](const QString& text) {
        const QString filtered = rule(text);
        if (filtered != text)
            edit->setText(filtered);
    });
}

} // namespace ui
