#include "report/rowexport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

using namespace Qt::Literals::StringLiterals;

namespace {

// The columns' values in the order of columns(); texts as QString, the
// rest as numbers and a truth.
QList<QJsonValue> values(const HistoryRow &r)
{
    return {r.uuid,     r.started,    r.finished, r.station,     r.operatorName, r.unitSerial, r.unitRun,
            r.lane,     r.port,       r.image,    r.imageSha256, r.outcome,      r.ok,         r.attempt,
            r.attempts, r.failedLine, r.message,  r.cause,       r.tool,         r.toolVersion};
}

} // namespace

namespace RowExport {

QStringList columns()
{
    return {u"uuid"_s,         u"started"_s,  u"finished"_s, u"station"_s, u"operator"_s,
            u"unit_serial"_s,  u"unit_run"_s, u"lane"_s,     u"port"_s,    u"image"_s,
            u"image_sha256"_s, u"outcome"_s,  u"ok"_s,       u"attempt"_s, u"attempts"_s,
            u"failed_line"_s,  u"message"_s,  u"cause"_s,    u"tool"_s,    u"tool_version"_s};
}

QByteArray csvField(const QString &text, bool excel)
{
    QString field = text;
    if (excel && !field.isEmpty()) {
        const QChar first = field.front();
        if (first == u'=' || first == u'+' || first == u'-' || first == u'@' || first == u'\t' || first == u'\r')
            field.prepend(u'\'');
    }
    const bool quote = field.contains(u',') || field.contains(u'"') || field.contains(u'\r') || field.contains(u'\n');
    if (quote)
        field = u'"' + QString(field).replace(u'"', u"\"\""_s) + u'"';
    return field.toUtf8();
}

QByteArray csvHeader()
{
    QByteArray line;
    for (const QString &name : columns())
        line += (line.isEmpty() ? "" : ",") + name.toUtf8();
    return line + "\r\n";
}

QByteArray csvLine(const HistoryRow &row, bool excel)
{
    QByteArray line;
    bool first = true;
    for (const QJsonValue &value : values(row)) {
        if (!first)
            line += ',';
        first = false;
        if (value.isString())
            line += csvField(value.toString(), excel);
        else if (value.isBool())
            line += value.toBool() ? "1" : "0";
        else
            line += QByteArray::number(value.toInteger());
    }
    return line + "\r\n";
}

QByteArray jsonLine(const HistoryRow &row)
{
    QJsonObject object;
    const QStringList names = columns();
    const QList<QJsonValue> all = values(row);
    for (qsizetype i = 0; i < names.size(); ++i)
        object.insert(names.at(i), all.at(i));
    const QJsonDocument record = QJsonDocument::fromJson(row.record.toUtf8());
    object.insert(u"record"_s, record.isObject() ? QJsonValue(record.object()) : QJsonValue(row.record));
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace RowExport
