#pragma once

#include <QPointF>

class QWidget;

// Program-wide routines of the frame.
namespace Module1 {

// Where CenterForm puts a form, in twips: centred across the screen and
// 1750 twips above its vertical centre. Screen size in pixels, form size in
// twips. Each result is a single-precision number, as the frame has always
// computed it; negative results stand (on a small screen the frame starts
// above the top edge).
QPointF centerPosition(int screenWidthPx, int screenHeightPx, float twipsPerPixelX, float twipsPerPixelY,
                       float formWidth, float formHeight);

// Moves a top-level window to centerPosition() on its screen.
void CenterForm(QWidget *form);

} // namespace Module1
