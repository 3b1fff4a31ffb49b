#pragma once

#include "core/firmware/imageformat.h"
#include "core/link/portcatalog.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

struct UpdateOutcome;

// The record of updates a production line keeps: one JSON object per
// instrument updated, one per line, appended to a file (JSON Lines). Each
// record goes out under the file's lock to a file opened for appending and
// is then flushed to the disk, so records written at the same time by
// several runs never mix; a record that cannot be written whole (a full
// disk) is taken back, so no half record is left for the next to join.
class RunRecord
{
public:
    // What the record says beyond the outcome.
    struct Context
    {
        QByteArray imageSha256;  // hexadecimal, empty when the file was not read
        qint64 linesToSend = 0;
        QDateTime started;
        QDateTime finished;
        ImageFormat::Kind imageFormat = ImageFormat::Kind::Text;
        QByteArray sentSha256;   // of the lines sent, hexadecimal
        // What the caller adds: a station's lane name, the attempt number.
        QJsonObject extra;
    };

    RunRecord() = default;
    ~RunRecord();
    RunRecord(const RunRecord &) = delete;
    RunRecord &operator=(const RunRecord &) = delete;

    // Opens (creating) the file for appending, and notes the serial devices
    // present, whose adapters the records name. False with error() set when
    // it cannot be opened, or when it is no place for records (a file of
    // /proc or /sys, the firmware image `imagePath` itself); an update must
    // then not start.
    bool open(const QString &path, const QString &imagePath = {});
    bool isOpen() const;
    QString path() const { return m_path; }
    QString error() const { return m_error; }

    // Appends one record, written whole and flushed. False with error() set.
    bool append(const QJsonObject &record);

    // The record of one instrument's update.
    QJsonObject entry(const UpdateOutcome &outcome, const Context &context) const;

private:
    QList<PortCatalog::Device> m_devices;
    QString m_path;
    QString m_error;
    int m_fd = -1;
};
