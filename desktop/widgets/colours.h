#pragma once

#include <QColor>
#include <QtGlobal>

// Colours as the instrument tools store them: red in the low byte, then green, then blue.
constexpr quint32 platformColourValue(int red, int green, int blue)
{
    return quint32(red) | (quint32(green) << 8) | (quint32(blue) << 16);
}
inline QColor fromPlatformColour(quint32 value)
{
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

// The phase indicators: a phase not done yet, and a phase done.
constexpr quint32 PendingColour = platformColourValue(128, 128, 255); // 16744576
constexpr quint32 DoneColour = platformColourValue(64, 255, 64); // 4259648
static_assert(PendingColour == 16744576 && DoneColour == 4259648);
