#pragma once

#include "cli/outputchannel.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

class UpdateSequence;
struct LinkTestOutcome;
struct UpdateOutcome;

// Writes each step of an update as one JSON object on one line, for the
// software of a production line: {"event":"line-sent","line":12,...}.
// Replies are bytes; they go out escaped ("reply") and as hexadecimal
// ("reply_hex"), so the JSON stays valid whatever the instrument sends.
class JsonReporter : public QObject
{
    Q_OBJECT

public:
    explicit JsonReporter(OutputChannel &out, QObject *parent = nullptr);
    ~JsonReporter() override;

    // Follows the update's signals from now on. With a port, every event
    // carries it, for a run that updates several instruments at once.
    void attach(UpdateSequence *update, const QString &port = {});
    // Writes one event and hands it to the reader at once; a result is
    // Kept, the run's last answer Awaited (see OutputChannel::Delivery).
    void writeEvent(const QJsonObject &event, OutputChannel::Delivery delivery = OutputChannel::Delivery::MayDrop);
    // Adds "<key>" (escaped text) and "<key>_hex" for the bytes.
    static void addBytes(QJsonObject &object, const QString &key, const QByteArray &bytes);
    // The "result" event of an update or a link test.
    static QJsonObject resultEvent(const UpdateOutcome &outcome, int exitCode);
    static QJsonObject resultEvent(const LinkTestOutcome &outcome, int exitCode);

private:
    void handleLineSent(int count, int total, double percent, const QByteArray &line);
    void handleLineAcknowledged(int count);
    void writeLine(const char *text, int size);
    void flushPending();

    OutputChannel &m_out;
    UpdateSequence *m_update = nullptr;
    QString m_port;
    QByteArray m_portField;
    // Line events are many; they are handed over a few times a second
    // rather than one write per event.
    QTimer m_flushTimer;
    QByteArray m_batch;
};
