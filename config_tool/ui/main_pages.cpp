#include "config_tool/ui/main_pages.h"

#include "config_tool/ui/main_filters.h"
#include "config_tool/ui/main_names.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QVBoxLayout>

#include <algorithm>

namespace ui {
namespace {

template <class W> W* Named(QWidget* parent, const QString& name)
{
    auto* w = new W(parent);
    w->setObjectName(name);
    if constexpr (!std::is_same_v<W, QLabel>)
        w->setAccessibleName(name);
    return w;
}

QLabel* Label(QWidget* parent, const QString& name, QWidget* buddy = nullptr)
{
    auto* label = Named<QLabel>(parent, name);
    if (buddy)
        label->setBuddy(buddy);
    return label;
}

// The language picture stands on the information page, which is disabled until a configuration
// is loaded; a disabled label would show the flag in grey, and its colours are what tells the
// two languages apart.
class PictureLabel : public QLabel
{
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override
    {
        const QPixmap picture = pixmap();
        if (picture.isNull())
            return;
        QPainter painter(this);
        style()->drawItemPixmap(&painter, contentsRect(), static_cast<int>(alignment()), picture);
    }
};

// Width of an edit that shows `chars` characters of the widest among `alphabet` in its own font,
// with the style's frame and the edit's own margins: a value of the edit's widest length is
// always seen whole.
void FitWidestValue(QLineEdit* edit, int chars, const QString& alphabet)
{
    const QFontMetrics fm(edit->font());
    // Advances may be fractional: the run of the widest character is measured whole.
    int widest = 0;
    for (const QChar c : alphabet)
        widest = std::max(widest, fm.horizontalAdvance(QString(chars, c)));
    constexpr int kEditInnerMargin = 2; // QLineEdit keeps this much space on each side of the text
    const QMargins text = edit->textMargins();
    const QSize contents(widest + 2 * kEditInnerMargin + text.left() + text.right() + 1,
                         fm.height());
    QStyleOptionFrame opt;
    opt.initFrom(edit);
    opt.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, edit);
    opt.midLineWidth = 0;
    opt.state |= QStyle::State_Sunken;
    opt.features = QStyleOptionFrame::None;
    const QSize outer = edit->style()->sizeFromContents(QStyle::CT_LineEdit, &opt, contents, edit);
    edit->setFixedWidth(outer.width());
}

const QString kDigits = QStringLiteral("0123456789");

} // namespace

void BuildInfoPage(QWidget* page)
{
    auto* box = new QVBoxLayout(page);
    auto* image = new PictureLabel(page);
    image->setObjectName(QStringLiteral("ImageShow"));
    image->setAccessibleName(QStringLiteral("ImageShow"));
    image->setAlignment(Qt::AlignCenter);
    auto* name = Label(page, QStringLiteral("LabelInfoName"));
    QFont big = name->font();
    big.setPointSizeF(big.pointSizeF() * 2);
    big.setBold(true);
    name->setFont(big);
    name->setAlignment(Qt::AlignCenter);
    auto* comment = Label(page, QStringLiteral("LabelInfoComment"));
    comment->setAlignment(Qt::AlignCenter);
    box->addStretch(1);
    box->addWidget(image);
    box->addWidget(name);
    box->addWidget(comment);
    box->addStretch(2);
}

void BuildObjectPage(QWidget* page)
{
    auto* outer = new QVBoxLayout(page);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(page);
    scroll->setObjectName(QStringLiteral("ScrollBoxObject"));
    scroll->setWidgetResizable(true);
    outer->addWidget(scroll);
    auto* rows = new QWidget;
    auto* grid = new QGridLayout(rows);
    grid->setHorizontalSpacing(3);
    grid->setVerticalSpacing(2);
    // Two columns of 30 rows; each row holds the 7 controls of one partition.
    constexpr int kRowsPerColumn = kPartitionRows / 2;
    constexpr int kCellsPerRow = 8;
    for (int n = 1; n <= kPartitionRows; ++n) {
        const int row = (n - 1) % kRowsPerColumn;
        const int col = ((n - 1) / kRowsPerColumn) * kCellsPerRow;
        auto* number = Named<QLineEdit>(rows, NumberedName("Obj", n, "ParamNumber"));
        InstallDigitFilter(number, &FilterPartitionNumber);
        FitWidestValue(number, 4, kDigits); // up to 9999
        auto* type = Named<QComboBox>(rows, NumberedName("Obj", n, "ParamType"));
        type->setMinimumContentsLength(14);
        type->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        auto* button = Named<QComboBox>(rows, NumberedName("Obj", n, "ParamButton"));
        button->setMinimumContentsLength(12);
        button->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        grid->addWidget(Label(rows, NumberedName("LabelObj", n, "Number")), row, col);
        grid->addWidget(Label(rows, NumberedName("LabelObj", n, "Label"), number), row, col + 1);
        grid->addWidget(number, row, col + 2);
        grid->addWidget(Label(rows, NumberedName("LabelObj", n, "Ind"), type), row, col + 3);
        grid->addWidget(type, row, col + 4);
        grid->addWidget(Label(rows, NumberedName("LabelObj", n, "But"), button), row, col + 5);
        grid->addWidget(button, row, col + 6);
    }
    grid->setColumnMinimumWidth(kCellsPerRow - 1, 18);
    grid->setRowStretch(kRowsPerColumn, 1);
    scroll->setWidget(rows);
}

void BuildMainPage(QWidget* page)
{
    auto* grid = new QGridLayout(page);
    int row = 0;
    auto* pin = Named<QLineEdit>(page, QStringLiteral("MainParamPin"));
    InstallDigitFilter(pin, &FilterPin);
    FitWidestValue(pin, 12, kDigits);
    grid->addWidget(Label(page, QStringLiteral("LabelMainPin"), pin), row, 0);
    grid->addWidget(pin, row++, 1);
    auto* time = Named<QLineEdit>(page, QStringLiteral("MainParamTime"));
    InstallDigitFilter(time, &FilterAlarmTime);
    FitWidestValue(time, 3, kDigits); // up to 255
    grid->addWidget(Label(page, QStringLiteral("LabelMainTime"), time), row, 0);
    grid->addWidget(time, row++, 1);
    const struct
    {
        const char* box;
        const char* label;
    } checks[] = {{"MainParam2U", "LabelMain2U"},
                  {"MainParamBell", "LabelMainSpeeker"},
                  {"MainParamReset", "LabelMainMute"}};
    for (const auto& c : checks) {
        auto* box = Named<QCheckBox>(page, QLatin1String(c.box));
        grid->addWidget(Label(page, QLatin1String(c.label), box), row, 0);
        grid->addWidget(box, row++, 1);
    }
    for (int n = 1; n <= kSystemIndicators; ++n) {
        auto* type = Named<QComboBox>(page, NumberedName("System", n, "ParamType"));
        type->setMinimumContentsLength(22);
        type->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        grid->addWidget(Label(page, NumberedName("LabelMainSys", n, ""), type), row, 0);
        grid->addWidget(type, row++, 1);
    }
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(row, 1);
}

void BuildKeyPage(QWidget* page)
{
    auto* grid = new QGridLayout(page);
    for (int n = 1; n <= kKeySlots; ++n) {
        auto* edit = Named<QLineEdit>(page, QStringLiteral("ParamKey%1").arg(n));
        QFont mono(QStringLiteral("Monospace"));
        mono.setStyleHint(QFont::TypeWriter);
        edit->setFont(mono);
        FitWidestValue(edit, 16, kDigits + QStringLiteral("ABCDEF")); // 16 hexadecimal digits
        auto* button = Named<QPushButton>(page, QStringLiteral("ButtonKey%1").arg(n));
        button->setText(QStringLiteral("..."));
        button->setMaximumWidth(40);
        auto* number = new QLabel(QString::number(n), page);
        number->setBuddy(edit);
        grid->addWidget(number, n - 1, 0);
        grid->addWidget(edit, n - 1, 1);
        grid->addWidget(button, n - 1, 2);
    }
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(kKeySlots, 1);
}

void NameUnlabelledControls(QWidget* root)
{
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (w->objectName().isEmpty() || w->objectName().startsWith(QLatin1String("qt_")) ||
            !w->accessibleName().isEmpty())
            continue;
        if (!qobject_cast<QLineEdit*>(w) && !qobject_cast<QComboBox*>(w) &&
            !qobject_cast<QAbstractButton*>(w) && !qobject_cast<QAbstractItemView*>(w))
            continue;
        if (QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            a && a->text(QAccessible::Name).isEmpty())
            w->setAccessibleName(w->objectName());
    }
}

} // namespace ui
