#include "config_tool/ui/main_pictures.h"

#include <QPainter>

namespace ui {
namespace {

constexpr int kCell = 40;

QPixmap Lamp(const QColor& fill, bool dashed)
{
    QPixmap pm(kCell, kCell);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::darkGray, 2, dashed ? Qt::DashLine : Qt::SolidLine));
    p.setBrush(fill);
    p.drawEllipse(QRectF(4, 4, kCell - 8, kCell - 8));
    return pm;
}

QPixmap Flag(const QColor (&stripes)[3], const QString& text)
{
    QPixmap pm(96, 64);
    QPainter p(&pm);
    for (int i = 0; i < 3; ++i)
        p.fillRect(0, i * 64 / 3, 96, 64 / 3 + 1, stripes[i]);
    p.setPen(Qt::black);
    p.drawRect(0, 0, 95, 63);
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(22);
    p.setFont(f);
    p.setPen(QColor(20, 20, 20));
    p.drawText(QRect(0, 0, 96, 64), Qt::AlignCenter, text);
    return pm;
}

} // namespace

MainPictures MainPictures::Draw()
{
    MainPictures m;
    const QColor rus[3] = {Qt::white, QColor(0, 57, 166), QColor(213, 43, 30)};
    const QColor eng[3] = {QColor(200, 16, 46), Qt::white, QColor(1, 33, 105)};
    m.imageRus = Flag(rus, QStringLiteral("RU"));
    m.imageEng = Flag(eng, QStringLiteral("EN"));
    m.imageIndGreen = Lamp(QColor(0, 200, 0), false);
    m.imageIndRed = Lamp(QColor(230, 0, 0), false);
    m.imageIndYellow = Lamp(QColor(240, 200, 0), false);
    m.imageIndGreenNo = Lamp(QColor(0, 200, 0), true);
    m.imageIndNo = Lamp(QColor(60, 60, 60), false);
    m.imageIndRedNo = Lamp(QColor(120, 0, 0), true);
    return m;
}

const QPixmap& MainPictures::ColourCell(int item) const
{
    switch (item) {
    case 1:
        return imageIndGreen;
    case 2:
        return imageIndRed;
    case 3:
        return imageIndYellow;
    case 4:
        return imageIndGreenNo;
    default:
        return imageIndNo;
    }
}

const QPixmap& MainPictures::SoundCell(int item) const
{
    switch (item) {
    case 1:
        return imageIndRed;
    case 2:
        return imageIndRedNo;
    default:
        return imageIndNo;
    }
}

} // namespace ui
