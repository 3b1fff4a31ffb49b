#include "report/filteroptions.h"

#include "core/common/printablebytes.h"
#include "history/historyoptions.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>

using namespace Qt::Literals::StringLiterals;

namespace {

QString utcText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

// "2026-12-09 08:30" reads as "2026-12-09T08:30": the blank is how people write it.
const QRegularExpression &dateShape()
{
    static const QRegularExpression shape(u"^\\d{4}-\\d{2}-\\d{2}$"_s);
    return shape;
}

const QRegularExpression &dateTimeShape()
{
    static const QRegularExpression shape(
        u"^\\d{4}-\\d{2}-\\d{2}[T ]\\d{2}:\\d{2}(:\\d{2}(\\.\\d{1,3})?)?(Z|[+-]\\d{2}:?\\d{2})?$"_s);
    return shape;
}

bool checkImage(const QString &text, QString *error)
{
    if (text.isEmpty()) {
        *error = u"--image is empty"_s;
        return false;
    }
    if (text.size() > FilterOptions::kMaxImage) {
        *error = u"--image is %1 characters long; at most %2"_s.arg(text.size()).arg(FilterOptions::kMaxImage);
        return false;
    }
    for (const QChar c : text) {
        if (!c.isPrint()) {
            *error = u"--image %1 holds a character that cannot be printed"_s.arg(quotedText(text));
            return false;
        }
    }
    return true;
}

} // namespace

FilterOptions::FilterOptions()
    : m_since(u"since"_s,
              u"Only attempts that ended at or after TIME: a date (2026-12-08, from the start of that day) or a "
              "date and time (2026-12-08T14:00 or \"2026-12-08 14:00:30\"), in local time."_s,
              u"TIME"_s)
    , m_until(u"until"_s,
              u"Only attempts that ended before TIME; a date means up to the end of that day "
              "(--until 2026-12-08 includes the 8th)."_s,
              u"TIME"_s)
    , m_station(u"station"_s, u"Only the attempts of the station ID, the name it keeps the history under."_s, u"ID"_s)
    , m_lane(u"lane"_s, u"Only the attempts at lane NAME."_s, u"NAME"_s)
    , m_image(u"image"_s, u"Only the attempts with the firmware image IMAGE: its path, its file name or its SHA-256."_s,
              u"IMAGE"_s)
{ }

QList<QCommandLineOption> FilterOptions::options() const
{
    return {m_since, m_until, m_station, m_lane, m_image};
}

bool FilterOptions::parseTime(const QString &option, const QString &text, Bound bound, QString *utc, QString *error)
{
    const QString shown = quotedText(text);
    QDateTime time;
    int year = 0; // as written
    if (dateShape().match(text).hasMatch()) {
        const QDate date = QDate::fromString(text, Qt::ISODate);
        if (date.isValid()) {
            // The start of the day, or of the next one, as the local clock has
            // it: a day that begins with a change of clock begins when it does.
            time = (bound == Bound::Until ? date.addDays(1) : date).startOfDay();
            year = date.year();
        }
    } else if (dateTimeShape().match(text).hasMatch()) {
        QString iso = text;
        iso[10] = u'T';
        time = QDateTime::fromString(iso, Qt::ISODate);
        year = time.date().year();
    } else {
        *error = u"%1 %2: not a date (2026-12-08) or a date and time (2026-12-08T14:00), in local time"_s.arg(option,
                                                                                                              shown);
        return false;
    }
    if (!time.isValid()) {
        *error = u"%1 %2: no such date or time"_s.arg(option, shown);
        return false;
    }
    const bool beyond = time.toUTC().date().year() > kLastYear;
    if (year < kFirstYear || year > kLastYear || (beyond && bound == Bound::Since)) {
        *error = u"%1 %2: out of range; the history holds times from %3 to %4"_s.arg(option, shown)
                     .arg(kFirstYear)
                     .arg(kLastYear);
        return false;
    }
    // Up to the end of the last day there is: no bound at all.
    if (beyond) {
        utc->clear();
        return true;
    }
    *utc = utcText(time);
    return true;
}

bool FilterOptions::read(const QCommandLineParser &parser, HistoryStore::Filter *filter, QString *error) const
{
    HistoryStore::Filter f = *filter;
    if (parser.isSet(m_since) && !parseTime(u"--since"_s, parser.value(m_since), Bound::Since, &f.since, error))
        return false;
    if (parser.isSet(m_until) && !parseTime(u"--until"_s, parser.value(m_until), Bound::Until, &f.until, error))
        return false;
    if (!f.since.isEmpty() && !f.until.isEmpty() && f.since >= f.until) {
        *error = u"--since %1 is not before --until %2: no attempt can lie between them"_s.arg(
            quotedText(parser.value(m_since)), quotedText(parser.value(m_until)));
        return false;
    }
    if (parser.isSet(m_station)) {
        f.station = parser.value(m_station);
        if (!HistoryOptions::checkText(u"--station"_s, f.station, error))
            return false;
    }
    if (parser.isSet(m_lane)) {
        f.lane = parser.value(m_lane);
        if (!HistoryOptions::checkText(u"--lane"_s, f.lane, error))
            return false;
    }
    if (parser.isSet(m_image)) {
        f.image = parser.value(m_image);
        if (!checkImage(f.image, error))
            return false;
    }
    *filter = f;
    return true;
}

QString FilterOptions::describe(const HistoryStore::Filter &filter)
{
    const auto local = [](const QString &utc) {
        return QDateTime::fromString(utc, Qt::ISODateWithMs).toLocalTime().toString(u"yyyy-MM-dd HH:mm"_s);
    };
    QStringList parts;
    if (!filter.since.isEmpty())
        parts << u"since %1"_s.arg(local(filter.since));
    if (!filter.until.isEmpty())
        parts << u"before %1"_s.arg(local(filter.until));
    if (!filter.station.isEmpty())
        parts << u"station %1"_s.arg(filter.station);
    if (!filter.lane.isEmpty())
        parts << u"lane %1"_s.arg(filter.lane);
    if (!filter.image.isEmpty())
        parts << u"image %1"_s.arg(filter.image);
    if (!filter.unitSerial.isEmpty())
        parts << u"unit %1"_s.arg(filter.unitSerial);
    return parts.isEmpty() ? u"all attempts"_s : parts.join(u", "_s);
}
