#include "cli/checkcommand.h"

#include "cli/clioptions.h"
#include "cli/exitcode.h"
#include "cli/jsonreporter.h"
#include "cli/outputchannel.h"
#include "core/common/enumname.h"
#include "core/common/localpath.h"
#include "core/common/printablebytes.h"
#include "core/firmware/firmwarefile.h"
#include "core/firmware/firmwareimage.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::Literals::StringLiterals;

namespace CheckCommand {

namespace {

#ifdef Q_OS_UNIX
QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return u"a directory"_s;
    if (S_ISFIFO(mode))
        return u"a FIFO"_s;
    if (S_ISCHR(mode))
        return u"a character device"_s;
    if (S_ISBLK(mode))
        return u"a block device"_s;
    if (S_ISSOCK(mode))
        return u"a socket"_s;
    return u"not a regular file"_s;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Why --output could not be written; empty when it was, whole. Written
// beside its final name and renamed over it once complete: an archive never
// holds half an image, nor loses the one it had. The name is taken as its
// bytes, and only a regular file is ever replaced: the rename would turn a
// FIFO or a device node (a serial port's, run as root) into a text file.
QString writeOutput(const FirmwareImage &image, const QString &path)
{
    QByteArray target = LocalPath::toNative(path);
    struct stat existing
    { };
    const bool exists = ::stat(target.constData(), &existing) == 0;
    if (!exists && errno != ENOENT)
        return systemError();
    if (exists && !S_ISREG(existing.st_mode))
        return u"%1, not a regular file: only a regular file is replaced"_s.arg(kindOf(existing.st_mode));
    if (exists) {
        // A link keeps leading to the file, which is the one replaced.
        if (char *resolved = ::realpath(target.constData(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    QByteArray temporary = target + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return systemError();
    const auto fail = [&](const QString &error) {
        ::close(fd);
        ::unlink(temporary.constData());
        return error;
    };
    // The new file takes the old one's mode and owner, so that a read-only
    // archive stays read-only; a new one gets what the umask leaves.
    mode_t mode = 0;
    if (exists) {
        mode = existing.st_mode & 07777;
        // Only root may give a file to its old owner; anyone else's copy
        // stays theirs, as with any file they write.
        [[maybe_unused]] const int owned = ::fchown(fd, existing.st_uid, existing.st_gid);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    {
        QFile file;
        if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
            return fail(file.errorString());
        if (!image.writeText(&file) || !file.flush())
            return fail(file.errorString());
    }
    if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)
        return fail(systemError());
    if (::close(fd) != 0) {
        const QString error = systemError();
        ::unlink(temporary.constData());
        return error;
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const QString error = systemError();
        ::unlink(temporary.constData());
        return error;
    }
    return {};
}
#else
// Why --output could not be written; empty when it was, whole.
QString writeOutput(const FirmwareImage &image, const QString &path)
{
    // Written beside its final name and renamed over it once complete: an
    // archive never holds half an image, nor loses the one it had.
    QFileInfo existing(path);
    if (existing.exists() && !existing.isFile())
        return u"not a regular file: only a regular file is replaced"_s;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (!image.writeText(&file)) {
        const QString error = file.errorString();
        file.cancelWriting();
        return error;
    }
    if (!file.commit())
        return file.errorString();
    if (existing.exists())
        QFile::setPermissions(path, existing.permissions());
    return {};
}
#endif

QString startAddressText(const ImageSummary &summary)
{
    return u"%1 (line %2): not sent; the instrument starts from its reset vector"_s
        .arg(ImageSummary::addressText(quint64(summary.startAddress)))
        .arg(summary.startAddressLine);
}

QString humanReport(const QString &fileName, const ImageSummary &summary, const QString &output)
{
    const bool records = summary.format != ImageFormat::Kind::Text;
    QString text = u"%1: would be sent\n"_s.arg(printableText(fileName));
    const auto row = [&text](const QString &label, const QString &value) {
        text += u"  %1 %2\n"_s.arg(label + u':', -27).arg(value);
    };
    row(u"format"_s, u"%1 (told by its content)"_s.arg(ImageFormat::displayName(summary.format)));
    row(u"lines in the file"_s, QString::number(summary.linesInFile));
    if (records) {
        row(u"data records"_s, QString::number(summary.dataRecords));
        if (summary.format == ImageFormat::Kind::SRecord)
            row(u"header (S0)"_s, summary.header.isEmpty() ? u"none"_s : quotedBytes(summary.header));
        row(u"start address"_s, summary.startAddress < 0 ? u"none"_s : startAddressText(summary));
    }
    row(u"lines to send"_s,
        records ? u"%1 (made of the records: an address line a block, 16 bytes a data line, the end line)"_s.arg(
            summary.linesToSend)
                : u"%1 (up to and including the end line)"_s.arg(summary.linesToSend));
    row(u"address lines"_s, QString::number(summary.addressLines));
    row(u"data lines"_s, QString::number(summary.dataLines));
    row(u"data bytes"_s, u"%1 (odd lines with their pad byte FF)"_s.arg(summary.dataBytes));
    row(u"address map"_s,
        u"%1 %2, as the instrument stores them (pad bytes included)"_s.arg(summary.ranges.size())
            .arg(summary.ranges.size() == 1 ? u"block"_s : u"blocks"_s));
    for (const ImageSummary::Range &r : summary.ranges)
        text += u"    %1-%2 %3 bytes\n"_s.arg(ImageSummary::addressText(r.start), ImageSummary::addressText(r.end - 1))
                    .arg(r.end - r.start, 8);
    row(u"end line"_s, summary.endLine ? u"yes"_s : u"no: every line is sent"_s);
    if (records)
        row(u"end record"_s, summary.endRecord ? u"yes"_s : u"no: "_s + summary.endRecordWarning());
    row(u"SHA-256 of the file"_s, QString::fromLatin1(summary.sha256));
    row(u"SHA-256 of the lines sent"_s,
        u"%1 (each line with its line feed, as --output writes them)"_s.arg(QString::fromLatin1(summary.sentSha256)));
    if (!output.isEmpty())
        row(u"written to"_s, printableText(output));
    return text;
}

QJsonObject jsonReport(const QString &fileName, const ImageProblem &problem, const ImageSummary &summary,
                       const QString &output, int exitCode)
{
    QJsonObject event{{u"event"_s, u"check"_s},
                      {u"file"_s, fileName},
                      {u"ok"_s, !problem.refused()},
                      {u"exit"_s, exitCode}};
    if (problem.refused()) {
        event.insert(u"problem"_s, enumName(problem.kind));
        event.insert(u"cause"_s, problem.describe(fileName));
        event.insert(u"image_format"_s, enumName(problem.format));
        return event;
    }
    QJsonArray ranges;
    for (const QString &range : summary.rangesText().split(u' ', Qt::SkipEmptyParts))
        ranges.append(range);
    event.insert(u"image_format"_s, enumName(summary.format));
    event.insert(u"lines"_s, double(summary.linesInFile));
    event.insert(u"lines_to_send"_s, double(summary.linesToSend));
    event.insert(u"address_lines"_s, double(summary.addressLines));
    event.insert(u"data_lines"_s, double(summary.dataLines));
    event.insert(u"data_bytes"_s, double(summary.dataBytes));
    event.insert(u"address_ranges"_s, ranges);
    event.insert(u"end_line"_s, summary.endLine);
    event.insert(u"sha256"_s, QString::fromLatin1(summary.sha256));
    event.insert(u"sent_sha256"_s, QString::fromLatin1(summary.sentSha256));
    if (summary.format != ImageFormat::Kind::Text) {
        event.insert(u"data_records"_s, double(summary.dataRecords));
        event.insert(u"end_record"_s, summary.endRecord);
        if (!summary.endRecord)
            event.insert(u"warning"_s, summary.endRecordWarning());
        if (summary.format == ImageFormat::Kind::SRecord)
            event.insert(u"header"_s, shownBytes(summary.header, summary.header.size()));
        if (summary.startAddress >= 0) {
            event.insert(u"start_address"_s, ImageSummary::addressText(quint64(summary.startAddress)));
            event.insert(u"start_address_line"_s, double(summary.startAddressLine));
        }
    }
    if (!output.isEmpty())
        event.insert(u"output"_s, output);
    return event;
}

} // namespace

int run(const CliOptions &options)
{
    const QString &output = options.outputFile;
    if (!output.isEmpty() && FirmwareFile::sameFile(output, options.fileName)) {
        OutputChannel::standardError().write(
            u"wexel-update-cli: --output %1 is %2 itself: it would be written over the image it is made of\n"
            "Try 'wexel-update-cli --help'.\n"_s.arg(printableText(output), printableText(options.fileName))
                .toLocal8Bit());
        return ExitCode::kUsage;
    }
    ImageProblem problem;
    const FirmwareImage image = FirmwareImage::load(options.fileName, &problem);
    const ImageSummary &summary = image.summary();
    int exitCode = problem.refused() ? ExitCode::kUntouched : ExitCode::kSuccess;
    QString outputError;
    if (!problem.refused() && !output.isEmpty()) {
        outputError = writeOutput(image, output);
        if (!outputError.isEmpty())
            exitCode = ExitCode::kRecordLost;
    }
    const QString written = outputError.isEmpty() ? output : QString();
    if (options.json) {
        QJsonObject event = jsonReport(options.fileName, problem, summary, written, exitCode);
        if (!outputError.isEmpty())
            event.insert(u"output_error"_s, outputError);
        // The command's answer: waited for, however slow the reader.
        JsonReporter(OutputChannel::standardOutput()).writeEvent(event, OutputChannel::Delivery::Awaited);
    }
    if (problem.refused()) {
        const QString shown = printableText(options.fileName);
        OutputChannel::standardError().write(
            textWithCauses(u"%1: would be refused"_s.arg(shown), {problem.describe(shown)}).toLocal8Bit());
        return exitCode;
    }
    if (!options.json)
        OutputChannel::standardOutput().write(humanReport(options.fileName, summary, written).toLocal8Bit(),
                                              OutputChannel::Delivery::Awaited);
    if (!outputError.isEmpty())
        OutputChannel::standardError().write(
            u"wexel-update-cli: %1: not written: %2\n"_s.arg(printableText(output), outputError).toLocal8Bit());
    return exitCode;
}

} // namespace CheckCommand
