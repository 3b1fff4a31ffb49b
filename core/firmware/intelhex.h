#pragma once

#include "core/firmware/recordreader.h"

// Reads Intel HEX as compilers and linkers write it: records
// ":LLAAAATT<data>CC", LL the count of data bytes, AAAA the address within
// the current 64 KiB segment, TT the type, CC the two's complement of the
// sum of all bytes before it. Types: 00 data; 01 end of file, required,
// nothing after it but blank lines; 02 extended segment address (the
// segment times 16) and 04 extended linear address (the upper 16 bits),
// which set the base of the data records after them: a data record that
// crosses a 64 KiB boundary runs on linearly after an 04 record or with no
// extended address at all, and wraps to its segment's start after an 02;
// 03 and 05 start address, kept for --check and not sent: the instrument
// starts from its reset vector. Every record's length and checksum are verified.
class IntelHexReader : public RecordReader
{
public:
    IntelHexReader();

protected:
    bool takeRecord(QByteArrayView record, qsizetype offset) override;
    bool finishRecords() override;

private:
    bool takeData(quint16 offset, QByteArrayView data);
    bool dataSize(qsizetype size, qsizetype wanted, const QString &what);

    quint64 m_base = 0;
    // Set by an 02 record, cleared by an 04: whether offsets wrap within 64 KiB.
    bool m_segmented = false;
};
