#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The instrument's replies shown to a person or put into JSON: printable
// ASCII stays as it is, a backslash becomes "\\" and every other byte
// "\xHH", so a reply of control characters or stray high bytes can neither
// upset a terminal nor make the JSON invalid, and can still be read back.
QByteArray printableBytes(QByteArrayView bytes);
