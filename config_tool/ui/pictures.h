#pragma once
// Giving picture cells their pictures.  Every cell gets one of the main window's drawn
// pictures and carries that picture's name ("ImageIndGreen", "ImageIndRed", "ImageIndYellow",
// "ImageIndGreenNo", "ImageIndRedNo", "ImageIndNo") in the property kPictureIdProperty, so that
// what a cell shows can be read back without comparing pixels.
//
// Threads: the user-interface thread only.

#include <QString>

class QLabel;

namespace ui {

struct MainPictures;

inline constexpr char kPictureIdProperty[] = "pictureId";

// Colour-position cell: item 1 green, 2 red, 3 yellow, 4 green blinking, anything else off.
void SetColorCellPicture(QLabel* cell, const MainPictures& pictures, int item);
// Sound-position cell: item 1 ("+") red, 2 ("1/2") the half picture, anything else off.
void SetSoundCellPicture(QLabel* cell, const MainPictures& pictures, int item);
// The preview's colour picture: 1 green, 2 red, 3 yellow, anything else off.
void SetPreviewColourPicture(QLabel* cell, const MainPictures& pictures, int colour);

// The name of the picture a cell shows; empty when none was given.
QString PictureId(const QLabel* cell);

} // namespace ui
