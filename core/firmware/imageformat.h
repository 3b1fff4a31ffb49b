#pragma once

#include <QByteArrayView>
#include <QObject>
#include <QString>

// The kinds of firmware file the tool reads, told apart by their content
// alone: a lab's file names say nothing one can rely on (Intel HEX saved as
// fw.txt, a text image named fw.hex), and the content always says which.
namespace ImageFormat {
Q_NAMESPACE

enum class Kind {
    Text, // address lines (@F000), data lines (31 40 00 24), the end line q
    IntelHex, // records ":LLAAAATT<data>CC", as compilers and linkers write them
    SRecord, // Motorola S-records, "S1nnAAAA<data>cc" and their kin
};
Q_ENUM_NS(Kind)

// A line of nothing but spaces, or none: it tells no format apart, and every
// format takes it.
bool isBlank(QByteArrayView line);

// The format of a file by its first line that is not blank, spaces around it
// left aside: ':' starts an Intel HEX record, 'S' and a digit an S-record.
// Anything else is read as text, whose check refuses what is no image.
Kind detect(QByteArrayView firstLine);

// The format's name for a person: "text", "Intel HEX", "Motorola S-record".
QString displayName(Kind kind);

} // namespace ImageFormat
