#pragma once

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
        Missing,            // no file at the path
        NotRegular,         // a directory, device, pipe or socket
        TooLarge,           // over the size limit, or grew past it while read
        CannotOpen,
        CannotRead,
        Empty,              // no lines at all
        BadByte,            // a byte no hexadecimal text holds
        BadLine,            // a line that is no address, data, empty or end line
        TabInLine,          // a tab in or around an address or data line
        BadAddress,         // an address without four or five hexadecimal digits, or with more
        ByteNotTwoDigits,   // a byte of other than two digits on a data line
        TwoBlanks,          // two blanks in a row on a data line
        TooManyBytes,       // more bytes on a data line than the instrument holds
        LineTooLong,        // longer than any line the instrument takes
        PastLastAddress,    // data past the instrument's last address
        DataBeforeAddress,  // a data line before any address line
        NoData,             // lines, but not one data line to write
    };
    Q_ENUM(Kind)

    Kind kind = Kind::None;
    QString detail;        // NotRegular: what it is; CannotOpen: the system's words
    qint64 size = 0;       // TooLarge: the size seen
    qint64 line = 0;       // 1-based line of a refused line
    qint64 column = 0;     // 1-based position of what is wrong in its line
    int byte = 0;          // BadByte: its value
    QByteArray lineText;   // that line, as read, or its start when it is longer than any line kept
    qint64 lineLength = 0; // that line's whole length
    quint64 address = 0;   // PastLastAddress: where the line's data begins
    qint64 byteCount = 0;  // PastLastAddress: the line's bytes


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
    qint64 linesToSend = 0;  // up to and including the end line
    qint64 addressLines = 0;
    qint64 dataLines = 0;
    qint64 dataBytes = 0;    // as prepared: odd lines with their pad byte
    bool endLine = false;
    QList<Range> ranges;     // merged, in address order
    QByteArray sha256;       // of the file's bytes, as hexadecimal text

    // "0F000-0F00C 10000-10001": first and last address of each range.
    QString rangesText() const;
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
