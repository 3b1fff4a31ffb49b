#include "core/common/localpath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <cstdlib>
#include <unistd.h>
#endif

namespace LocalPath {

namespace {

// Where a byte that is not part of valid UTF-8 is kept: 0xDC00 + the byte.
constexpr char16_t kEscapeBase = 0xDC00;

// The length of the valid UTF-8 sequence at the start of bytes, 0 if none.
qsizetype validSequence(QByteArrayView bytes)
{
    const auto b = [&bytes](qsizetype i) { return quint8(bytes.at(i)); };
    const quint8 lead = b(0);
    if (lead < 0x80)
        return 1;
    qsizetype length = 0;
    char32_t min = 0;
    char32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
        code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
        code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (bytes.size() < length)
        return 0;
    for (qsizetype i = 1; i < length; ++i) {
        if ((b(i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (b(i) & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not UTF-8.
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

QString fromNative(QByteArrayView bytes)
{
#ifdef Q_OS_WIN
    return QFile::decodeName(bytes.toByteArray());
#else
    QString path;
    path.reserve(bytes.size());
    qsizetype i = 0;
    while (i < bytes.size()) {
        const qsizetype length = validSequence(bytes.sliced(i));
        if (length == 0) {
            path += QChar(char16_t(kEscapeBase + quint8(bytes.at(i))));
            ++i;
            continue;
        }
        path += QString::fromUtf8(bytes.sliced(i, length));
        i += length;
    }
    return path;
#endif
}

QByteArray toNative(const QString &path)
{
#ifdef Q_OS_WIN
    return QFile::encodeName(path);
#else
    QByteArray bytes;
    bytes.reserve(path.size());
    qsizetype runStart = 0;
    const auto flushRun = [&](qsizetype end) {
        if (end > runStart)
            bytes += QStringView(path).sliced(runStart, end - runStart).toUtf8();
    };
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t c = path.at(i).unicode();
        // A lone low surrogate in the byte range: a byte fromNative() kept.
        const bool paired = i > 0 && QChar::isHighSurrogate(path.at(i - 1).unicode());
        if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF && !paired) {
            flushRun(i);
            bytes += char(c - kEscapeBase);
            runStart = i + 1;
        }
    }
    flushRun(path.size());
    return bytes;
#endif
}

QString absolute(const QString &path)
{
#ifdef Q_OS_WIN
    return QFileInfo(path).absoluteFilePath();
#else
    if (path.isEmpty() || path.startsWith(u'/'))
        return path;
    QString folder;
    if (char *cwd = ::getcwd(nullptr, 0)) {
        folder = fromNative(QByteArrayView(cwd));
        std::free(cwd);
    } else {
        folder = QDir::currentPath();
    }
    return QDir::cleanPath(folder + u'/' + path);
#endif
}

QStringList arguments(int argc, const char *const *argv)
{
#ifdef Q_OS_WIN
    // The application reads the command line as UTF-16; before it is made,
    // the code page's reading is all there is.
    if (QCoreApplication::instance())
        return QCoreApplication::arguments();
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list += QString::fromLocal8Bit(argv[i]);
    return list;
#else
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list += fromNative(QByteArrayView(argv[i]));
    return list;
#endif
}

} // namespace LocalPath
