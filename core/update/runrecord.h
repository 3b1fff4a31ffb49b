#pragma once

#include "core/firmware/imageformat.h"
#include "core/link/portcatalog.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <utility>

struct ImageSummary;
struct UpdateOutcome;

// Somewhere else each record is kept, beside the file (the unit history). A
// record it cannot keep is lost as one the file cannot take is.
class RecordKeeper
{
public:
    virtual ~RecordKeeper() = default;
    // Keeps `record` for good before returning; false with *error set.
    virtual bool keep(const QJsonObject &record, QString *error) = 0;
};

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
        QByteArray imageSha256; // hexadecimal, empty when the file was not read
        qint64 linesToSend = 0;
        QDateTime started;
        QDateTime finished;
        ImageFormat::Kind imageFormat = ImageFormat::Kind::Text;
        QByteArray sentSha256; // of the lines sent, hexadecimal
        // What the caller adds: a station's lane name, the attempt number.
        QJsonObject extra;

        // The context of an update of the image `summary` describes.
        static Context of(const ImageSummary &summary, const QDateTime &started, const QDateTime &finished,
                          const QJsonObject &extra);
    };

    // The system's calls that put a record on the disk, replaceable so that
    // tests can see their order and make them fail. Each behaves as the
    // system's own: the bytes written or -1, 0 or -1, with errno set.
    struct FileSystem
    {
        std::function<qint64(int fd, const char *data, qint64 size)> write;
        // Returns once what was written to fd is on the disk.
        std::function<int(int fd)> sync;
    };
    static FileSystem systemFileSystem();

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
    // Also gives each record to `keeper` (not owned; null: none).
    void setKeeper(RecordKeeper *keeper);
    // Records are kept: in the file, by the keeper, or both.
    bool isActive() const { return isOpen() || m_keeper; }
    void setFileSystem(FileSystem fileSystem) { m_fileSystem = std::move(fileSystem); }
    QString path() const { return m_path; }
    QString error() const { return m_error; }

    // Appends one record, written whole and flushed, to the file the path
    // names now: a file moved or deleted since it was opened (log rotation
    // does both) is let go and the path opened anew, and notice() says so.
    // False with error() set, also when the path cannot be opened again.
    bool append(const QJsonObject &record);
    // What the last append() had to do beyond writing, for the person
    // watching: "record file was moved or deleted: reopened <path>". Empty
    // when it wrote to the file it had open.
    QString notice() const { return m_notice; }

    // The record of one instrument's update.
    QJsonObject entry(const UpdateOutcome &outcome, const Context &context) const;

    // Appends the record of `outcome` to the file when it is open and gives
    // it to the keeper, and notes on the outcome what became of it:
    // recordError when the record was lost (by either),
    // recordNotice when the file had to be opened anew. The outcome is
    // shown after this, so the person watching learns of a lost record
    // together with the result it belongs to.
    void appendOutcome(UpdateOutcome &outcome, const Context &context);

private:
    // Opens m_path for appending, refusing what is no place for records.
    bool openPath();

    FileSystem m_fileSystem = systemFileSystem();
    RecordKeeper *m_keeper = nullptr;
    QList<PortCatalog::Device> m_devices;
    QString m_path;
    QString m_imagePath;
    QString m_error;
    QString m_notice;
    int m_fd = -1;
    bool m_opened = false; // open() succeeded; m_fd may since have been let go
};
