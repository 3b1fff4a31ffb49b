#include "cli/jsonreporter.h"

#include "cli/outputchannel.h"
#include "core/common/enumname.h"
#include "core/link/linktest.h"
#include "core/common/printablebytes.h"
#include "core/update/updatesequence.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

JsonReporter::JsonReporter(OutputChannel &out, QObject *parent)
    : QObject(parent)
    , m_out(out)
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(100ms);
    connect(&m_flushTimer, &QTimer::timeout, this, &JsonReporter::flushPending);
}

JsonReporter::~JsonReporter()
{
    flushPending();
}

void JsonReporter::attach(UpdateSequence *update, const QString &port)
{
    m_update = update;
    m_port = port;
    if (!port.isEmpty()) {
        // ,"port":"..." with the port escaped as JSON wants it.
        const QByteArray array = QJsonDocument(QJsonArray{port}).toJson(QJsonDocument::Compact);
        m_portField = ",\"port\":" + array.mid(1, array.size() - 2);
    }
    connect(update, &UpdateSequence::imageLoaded, this, [this](int) {
        const ImageSummary &summary = m_update->image().summary();
        writeEvent({{u"event"_s, u"image-loaded"_s},
                    {u"lines"_s, double(summary.linesInFile)},
                    {u"lines_to_send"_s, double(summary.linesToSend)},
                    {u"bytes"_s, double(m_update->image().byteCount())},
                    {u"end_line"_s, summary.endLine},
                    {u"image_format"_s, enumName(summary.format)},
                    {u"sha256"_s, QString::fromLatin1(summary.sha256)},
                    {u"sent_sha256"_s, QString::fromLatin1(summary.sentSha256)}});
    });
    connect(update, &UpdateSequence::eraseSent, this, [this] { writeEvent({{u"event"_s, u"erase-sent"_s}}); });
    connect(update, &UpdateSequence::eraseProgress, this, [this](int tick, int) {
        writeEvent({{u"event"_s, u"erase-tick"_s}, {u"tick"_s, tick}, {u"of"_s, m_update->timings().eraseTickCount}});
    });
    connect(update, &UpdateSequence::eraseAcknowledged, this, [this] {
        writeEvent({{u"event"_s, u"erase-acknowledged"_s}});
    });
    connect(update, &UpdateSequence::lineSent, this, &JsonReporter::handleLineSent);
    connect(update, &UpdateSequence::lineAcknowledged, this, &JsonReporter::handleLineAcknowledged);
    connect(update, &UpdateSequence::endLineReply, this, [this](const QByteArray &reply) {
        QJsonObject event{{u"event"_s, u"end-reply"_s}};
        addBytes(event, u"reply"_s, reply);
        writeEvent(event);
    });
    connect(update, &UpdateSequence::bytesDiscarded, this,
            [this](UpdateSequence::State phase, int afterLine, const QByteArray &start, qint64 count) {
                QJsonObject event{{u"event"_s, u"bytes-discarded"_s},
                                  {u"phase"_s, enumName(phase)},
                                  {u"line"_s, afterLine},
                                  {u"count"_s, double(count)}};
                addBytes(event, u"bytes"_s, start);
                writeEvent(event);
            });
}

void JsonReporter::addBytes(QJsonObject &object, const QString &key, const QByteArray &bytes)
{
    // A reply is bounded by the link, yet a reader wants a readable start:
    // the first bytes, and the full length when there were more.
    const QByteArray start = bytes.left(kShownLength);
    object.insert(key, QString::fromLatin1(printableBytes(start)));
    object.insert(key + u"_hex"_s, QString::fromLatin1(start.toHex()));
    if (bytes.size() > start.size())
        object.insert(key + u"_length"_s, double(bytes.size()));
}

namespace {

void addLinkError(QJsonObject &result, const LinkError &error)
{
    if (error.kind == LinkError::Kind::None)
        return;
    result.insert(u"port_error"_s, enumName(error.kind));
    result.insert(u"port_error_text"_s, error.describe());
}

} // namespace

QJsonObject JsonReporter::resultEvent(const UpdateOutcome &outcome, int exitCode)
{
    QJsonObject result{
        {u"event"_s, u"result"_s},
        {u"ok"_s, outcome.succeeded()},
        {u"message"_s, outcome.message.prompt},
        {u"title"_s, outcome.message.title},
        {u"kind"_s, enumName(outcome.kind)},
        {u"exit"_s, exitCode},
        {u"erase_sent"_s, outcome.eraseSent},
        {u"lines_total"_s, outcome.linesTotal},
        {u"lines_acknowledged"_s, outcome.linesAcknowledged},
        {u"failed_line"_s, outcome.failedLine},
        {u"bytes_discarded"_s, double(outcome.bytesDiscarded)},
        {u"cause"_s, QJsonArray::fromStringList(outcome.causes())},
    };
    if (!outcome.device.isEmpty())
        result.insert(u"device"_s, outcome.device);
    if (!outcome.reply.isNull())
        addBytes(result, u"reply"_s, outcome.reply);
    if (!outcome.endReply.isNull())
        addBytes(result, u"end_reply"_s, outcome.endReply);
    if (!outcome.recordError.isEmpty())
        result.insert(u"record_error"_s, outcome.recordError);
    if (!outcome.recordNotice.isEmpty())
        result.insert(u"record_notice"_s, outcome.recordNotice);
    addLinkError(result, outcome.linkError);
    return result;
}

QJsonObject JsonReporter::resultEvent(const LinkTestOutcome &outcome, int exitCode)
{
    const Message message = outcome.message();
    QJsonObject result{{u"event"_s, u"result"_s},
                       {u"ok"_s, outcome.succeeded()},
                       {u"message"_s,
                        outcome.succeeded() ? QString::fromLatin1(printableBytes(outcome.reply)) : message.prompt},
                       {u"exit"_s, exitCode},
                       {u"cause"_s, QJsonArray::fromStringList(outcome.causes())}};
    if (!message.title.isEmpty())
        result.insert(u"title"_s, message.title);
    addLinkError(result, outcome.linkError);
    return result;
}

void JsonReporter::writeEvent(const QJsonObject &event, OutputChannel::Delivery delivery)
{
    // "event" first, as in the line events, so that a reader's eye and a
    // simple line filter find it at once; QJsonObject would sort it in.
    QJsonObject rest = event;
    const QByteArray name = rest.take(u"event"_s).toString().toLatin1();
    if (!m_port.isEmpty())
        rest.insert(u"port"_s, m_port);
    const QByteArray body = QJsonDocument(rest).toJson(QJsonDocument::Compact);
    const QByteArray text
        = "{\"event\":\"" + name + '"' + (rest.isEmpty() ? QByteArray("}") : ',' + body.mid(1)) + '\n';
    // In order after the line events waiting for their turn.
    flushPending();
    m_out.write(text, delivery);
}

void JsonReporter::handleLineSent(int count, int total, double percent, const QByteArray &)
{
    // Formatted by hand: the two events of every line are the bulk of the
    // output, and building a JSON document for each would cost more than the line.
    char text[128];
    const int size = std::snprintf(text, sizeof text, "{\"event\":\"line-sent\",\"line\":%d,\"of\":%d,\"percent\":%.6g",
                                   count, total, percent);
    writeLine(text, size);
}

void JsonReporter::handleLineAcknowledged(int count)
{
    char text[64];
    const int size = std::snprintf(text, sizeof text, "{\"event\":\"line-acknowledged\",\"line\":%d", count);
    writeLine(text, size);
}

void JsonReporter::writeLine(const char *text, int size)
{
    // The event's own fields, then the port's where there are several, then the end.
    m_batch.append(text, size);
    m_batch.append(m_portField);
    m_batch.append("}\n", 2);
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void JsonReporter::flushPending()
{
    m_flushTimer.stop();
    if (m_batch.isEmpty())
        return;
    m_out.write(m_batch);
    m_batch.clear();
}
