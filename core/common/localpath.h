#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

// File names as the system gives them, kept exact. On Linux a name is any
// bytes, and Qt reads the command line and file names as UTF-8, turning every
// byte that is not UTF-8 into U+FFFD: "fw\xff.txt" would then open another
// file, or none. Here such a byte is kept as a lone surrogate (U+DC80 to
// U+DCFF, which valid UTF-8 never yields) and given back as the same byte,
// so a name read from the command line opens exactly the file named. On
// Windows names are UTF-16 already and Qt's own reading is kept.
namespace LocalPath {

// The name of these bytes, every byte kept.
QString fromNative(QByteArrayView bytes);
// The bytes of a name made by fromNative() (or typed as text), as given.
QByteArray toNative(const QString &path);
// The path made absolute against the current folder, every byte kept
// (QFileInfo's absolute path goes through the lossy reading).
QString absolute(const QString &path);
// The program's arguments, the program name first, each kept exactly.
QStringList arguments(int argc, const char *const *argv);

} // namespace LocalPath
