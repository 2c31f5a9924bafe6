#include "config_tool/ui/pictures.h"

#include "config_tool/ui/main_pictures.h"

#include <QLabel>
#include <QVariant>

namespace ui {

namespace {

QString NameOf(const MainPictures& p, const QPixmap& shown)
{
    const std::pair<const QPixmap*, const char*> names[] = {
        {&p.imageIndGreen, "ImageIndGreen"},   {&p.imageIndRed, "ImageIndRed"},
        {&p.imageIndYellow, "ImageIndYellow"}, {&p.imageIndGreenNo, "ImageIndGreenNo"},
        {&p.imageIndRedNo, "ImageIndRedNo"},   {&p.imageIndNo, "ImageIndNo"},
    };
    for (const auto& [pixmap, name] : names)
        if (pixmap == &shown)
            return QLatin1String(name);
    return {};
}

void Show(QLabel* cell, const MainPictures& pictures, const QPixmap& picture)
{
    if (!cell)
        return;
    cell->setPixmap(picture);
    cell->setProperty(kPictureIdProperty, NameOf(pictures, picture));
}

} // namespace

void SetColorCellPicture(QLabel* cell, const MainPictures& pictures, int item)
{
    Show(cell, pictures, pictures.ColourCell(item));
}

void SetSoundCellPicture(QLabel* cell, const MainPictures& pictures, int item)
{
    Show(cell, pictures, pictures.SoundCell(item));
}

void SetPreviewColourPicture(QLabel* cell, const MainPictures& pictures, int colour)
{
    // The preview has no blinking picture: it blinks by stepping.
    Show(cell, pictures, pictures.ColourCell(colour >= 1 && colour <= 3 ? colour : 0));
}

QString PictureId(const QLabel* cell)
{
    return cell ? cell->property(kPictureIdProperty).toString() : QString();
}

} // namespace ui
