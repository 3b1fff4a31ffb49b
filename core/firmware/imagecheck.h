#pragma once

#include "core/firmware/imageformat.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QString>

// Why a file is not sent: nothing that is not a firmware image may reach an
// instrument that has just been erased.
struct ImageProblem
{
    Q_GADGET

public:
    enum class Kind {
        None,
        Missing, // no file at the path
        NotRegular, // a directory, device, pipe or socket
        TooLarge, // over the size limit, or grew past it while read
        CannotOpen,
        CannotRead,
        Empty, // no lines at all
        BadByte, // a byte no hexadecimal text holds
        BadLine, // a line that is no address, data, empty or end line
        TabInLine, // a tab in or around an address or data line
        BadAddress, // an address without four or more hexadecimal digits, or with anything else
        AddressPastLast, // an address line past FFFFF, the instrument's last address
        ByteNotTwoDigits, // a byte of other than two digits on a data line
        TwoBlanks, // two blanks in a row on a data line
        TooManyBytes, // more bytes on a data line than the instrument holds
        LineTooLong, // longer than any line the instrument takes
        PastLastAddress, // data past the instrument's last address
        DataBeforeAddress, // a data line before any address line
        NoData, // lines, but not one data line to write
        // Record files (Intel HEX, S-record):
        BadRecord, // a line that is no record of the file's format
        NotHex, // a character in a record that is no hexadecimal digit
        RecordLength, // a record shorter or longer than its count, or its type, says
        BadChecksum, // a record whose checksum does not match its bytes
        BadRecordType, // a record type the format does not have
        BadCount, // an S5 or S6 count other than the data records before it
        NoEndRecord, // Intel HEX without its end-of-file record: perhaps cut short
        DataAfterEnd, // a record after the end record
        Overlap, // an address that two records write
        OddPastLastAddress, // an odd count of bytes up to the last address: no room for the pad byte
    };
    Q_ENUM(Kind)

    Kind kind = Kind::None;
    ImageFormat::Kind format = ImageFormat::Kind::Text; // as told by the file's first lines
    QString detail; // NotRegular: what it is; CannotOpen: the system's words;
        // BadRecord, RecordLength, BadRecordType: what is wrong
    qint64 size = 0; // TooLarge: the size seen
    qint64 line = 0; // 1-based line of a refused line
    qint64 column = 0; // 1-based position of what is wrong in its line
    int byte = 0; // BadByte: its value
    QByteArray lineText; // that line, as read, or its start when it is longer than any line kept
    qint64 lineLength = 0; // that line's whole length
    quint64 address = 0; // PastLastAddress: where the line's data begins
    qint64 byteCount = 0; // PastLastAddress: the line's bytes
    quint64 expected = 0; // BadChecksum: the checksum the bytes make; BadCount: the data records
    quint64 found = 0; // BadChecksum: the record's checksum; BadCount: the record's count
    qint64 earlierLine = 0; // Overlap: the lines of the records that wrote the address first;
    qint64 earlierLastLine = 0; // DataAfterEnd: the end record's line

    bool refused() const { return kind != Kind::None; }
    // One line for a technician, naming the file.
    QString describe(const QString &fileName) const;
};

// What an update of an image would send, for a person to check beforehand.
struct ImageSummary
{
    // Stored bytes [start, end): where the data lines put their bytes.
    struct Range
    {
        quint64 start = 0;
        quint64 end = 0;
    };

    qint64 linesInFile = 0;
    qint64 linesToSend = 0; // up to and including the end line
    qint64 addressLines = 0;
    qint64 dataLines = 0;
    qint64 dataBytes = 0; // as prepared: odd lines with their pad byte
    bool endLine = false;
    QList<Range> ranges; // merged, in address order
    QByteArray sha256; // of the file's bytes, as hexadecimal text
    // Of the lines sent, each with its line feed: the bytes --check --output
    // writes, as hexadecimal text. For a record file, what was sent is these
    // lines, not the file.
    QByteArray sentSha256;
    ImageFormat::Kind format = ImageFormat::Kind::Text;
    // What a record file says beyond its data: shown by --check, sent nowhere.
    qint64 dataRecords = 0;
    QByteArray header; // the bytes of its first S0 record
    qint64 startAddress = -1; // of an Intel HEX 03 or 05 record or an S7, S8 or S9 record; -1: none
    qint64 startAddressLine = 0;
    // An S-record file need not end with S7, S8 or S9, so one cut short at a
    // record's end reads as whole: it is sent, with a warning. (Intel HEX
    // without its end record is refused; a text image has no end record.)
    bool endRecord = true;

    // "0F000-0F00C 10000-10001": first and last address of each range.
    QString rangesText() const;
    // An address as the instrument's five digits at least: "0F000".
    static QString addressText(quint64 address);
    // The warning about a record file without its end record, for every
    // front end and --check alike; empty when none is due.
    QString endRecordWarning() const;
};

// Looks at a firmware file's lines as they are read, before anything is
// sent. Every line up to the end line must be one the instrument takes
// (LineGrammar), hold no control character nor byte above 127, and no data
// may come before an address or run past the last address. What the
// instrument will store is read from the prepared lines. Lines after the end
// line are never sent and are not looked at.
class ImageCheck
{
public:
    // The next line of the file, as read and as prepared. `length` is the
    // line's whole length when `raw` holds only its start (LineReader's line
    // limit), otherwise -1. False once the file is refused; later lines are
    // then only counted.
    bool addLine(QByteArrayView raw, QByteArrayView prepared, qint64 length = -1);
    // After the last line: a file without a single data line is refused.
    void finish();

    const ImageProblem &problem() const { return m_problem; }
    const ImageSummary &summary() const { return m_summary; }

private:
    void refuse(ImageProblem::Kind kind, QByteArrayView raw, qint64 length, qsizetype position = -1);
    void addData(quint64 bytes);

    ImageProblem m_problem;
    ImageSummary m_summary;
    bool m_haveAddress = false;
    quint64 m_address = 0;
};
