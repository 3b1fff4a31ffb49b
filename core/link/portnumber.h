#pragma once

#include <QString>

#include <optional>

// The rule that turns the port text of the port box into a port.

// The number after the first "COM" (any case) in the text: the rest is trimmed
// of spaces and read as a number the way the user would read it: blanks are
// skipped, then an optional sign, digits, a decimal point and an exponent;
// 0 when there is no "COM" or no number after it. A text longer than
// 32,767 characters, or a number too large for a double, is refused
// (nullopt), as the instrument tools always did.
std::optional<double> ParsePortNumber(const QString &text);

// True when the port text names a device directly (/dev/ttyUSB0,
// /dev/serial/by-id/..., a path relative to the current folder written as
// ./bench-com7 or ../ports/bench, \\.\COM12) instead of a "COM n" port.
bool isDevicePath(const QString &text);

// True when the text holds "COM" in any case, so that the port rule reads a
// number after it; any other text reads as port 0.
bool hasComNumber(const QString &text);

// The operating system's device for port number n: COMn on Windows,
// /dev/ttyS(n-1) elsewhere. Empty when n is not a whole number from 1 up.
QString deviceForPortNumber(double number);

// A port text that names an existing file of the current folder without
// "./" (bench-com7) gives that path (./bench-com7); one that reads like a
// device named without its folder (ttyUSB0, USB0, ACM0, dev/ttyS0) gives the
// device it most likely means (/dev/ttyUSB0) when that device exists; any
// other text, an absolute path among them, gives nothing.
// The port rule itself reads such a text by its "COM" (bench-com7 is COM 7,
// ttyUSB0 is port 0); this is only a hint for the person who typed it.
QString suggestedDevice(const QString &portText);
