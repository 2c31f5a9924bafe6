#pragma once
// The main window's pictures: the two language pictures shown on the information page and the
// indicator cells of the indication and sound editors.  Drawn at start, no image files.

#include <QPixmap>

namespace ui {

struct MainPictures
{
    QPixmap imageRus;        // ImageRus
    QPixmap imageEng;        // ImageEng
    QPixmap imageIndGreen;   // ImageIndGreen
    QPixmap imageIndRed;     // ImageIndRed
    QPixmap imageIndYellow;  // ImageIndYellow
    QPixmap imageIndGreenNo; // ImageIndGreenNo: green blinking
    QPixmap imageIndNo;      // ImageIndNo: off
    QPixmap imageIndRedNo;   // ImageIndRedNo: red at half (sound position "1/2")

    // Needs a QGuiApplication.
    static MainPictures Draw();
    // The cell picture of a colour-position item: 1 green, 2 red, 3 yellow, 4 green blinking,
    // anything else off.
    const QPixmap& ColourCell(int item) const;
    // The cell picture of a sound-position item: 1 "+" red, 2 "1/2" half, anything else off.
    const QPixmap& SoundCell(int item) const;
};

} // namespace ui
