#include "report/yieldsummary.h"

#include <QDateTime>
#include <QFileInfo>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

// Enough of a SHA-256 to tell images apart by eye.
constexpr int kShaShown = 12;

std::string_view view(QByteArrayView bytes)
{
    return {bytes.data(), size_t(bytes.size())};
}

std::string utcText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs).toStdString();
}

QString text(QByteArrayView bytes)
{
    return QString::fromUtf8(bytes);
}

} // namespace

std::string_view YieldSummary::dayOf(std::string_view finished)
{
    if (m_dayFrom.empty() || finished < m_dayFrom || finished >= m_dayTo) {
        const QDateTime time
            = QDateTime::fromString(QString::fromUtf8(finished.data(), qsizetype(finished.size())), Qt::ISODateWithMs);
        if (!time.isValid())
            return "(no time)";
        const QDate day = time.toLocalTime().date();
        m_day = day.toString(Qt::ISODate).toStdString();
        m_dayFrom = utcText(day.startOfDay());
        m_dayTo = utcText(day.addDays(1).startOfDay());
    }
    return m_day;
}

int YieldSummary::groupOf(Dimension dimension, const HistoryStore::AttemptView &attempt)
{
    Groups &groups = m_groups[size_t(dimension)];
    std::string key;
    switch (dimension) {
    case Dimension::Day:
        key = dayOf(view(attempt.finished));
        break;
    case Dimension::Station:
        key = view(attempt.station);
        break;
    case Dimension::Lane:
        key.append(view(attempt.station)).append(1, '\n').append(view(attempt.lane));
        break;
    case Dimension::Image:
        // A file that was never read has no sum; its path is all there is.
        key = attempt.imageSha256.isEmpty() ? "path:" + std::string(view(attempt.image))
                                            : std::string(view(attempt.imageSha256));
        break;
    }
    const auto found = groups.index.find(key);
    if (found != groups.index.end())
        return found->second;
    const int at = int(groups.labels.size());
    QString label;
    switch (dimension) {
    case Dimension::Day:
        label = QString::fromStdString(key);
        break;
    case Dimension::Station:
        label = text(attempt.station);
        break;
    case Dimension::Lane:
        label = u"%1 / %2"_s.arg(text(attempt.station), attempt.lane.isEmpty() ? u"-"_s : text(attempt.lane));
        break;
    case Dimension::Image: {
        const QString path = text(attempt.image);
        const QString name = path.isEmpty() ? u"(no image)"_s : QFileInfo(path).fileName();
        label = attempt.imageSha256.isEmpty()
            ? name
            : u"%1 %2"_s.arg(
                name, text(attempt.imageSha256.first(std::min<qsizetype>(kShaShown, attempt.imageSha256.size()))));
        break;
    }
    }
    groups.index.emplace(std::move(key), at);
    groups.labels << label;
    return at;
}

namespace {

// The slot is chosen by the hash's low bits, the tag is its high ones.
quint32 tagOf(size_t hash)
{
    return quint32(quint64(hash) >> 32);
}

} // namespace

YieldSummary::Unit *YieldSummary::findUnit(std::string_view key, size_t hash)
{
    if (m_slots.empty())
        return nullptr;
    const size_t mask = m_slots.size() - 1;
    const quint32 tag = tagOf(hash);
    for (size_t i = hash & mask; m_slots[i].position != 0; i = (i + 1) & mask) {
        if (m_slots[i].tag != tag)
            continue;
        Unit &unit = m_units[m_slots[i].position - 1];
        if (unit.hash == hash && std::string_view(m_keys).substr(unit.keyAt, unit.keySize) == key)
            return &unit;
    }
    return nullptr;
}

void YieldSummary::indexUnit(size_t position)
{
    // At most half full, so that a look-up rarely walks far.
    if (m_units.size() * 2 > m_slots.size()) {
        m_slots.assign(std::max<size_t>(1024, m_slots.size() * 2), Slot());
        for (size_t i = 0; i + 1 < m_units.size(); ++i)
            indexUnit(i);
    }
    const size_t mask = m_slots.size() - 1;
    const size_t hash = m_units[position].hash;
    size_t i = hash & mask;
    while (m_slots[i].position != 0)
        i = (i + 1) & mask;
    m_slots[i] = {tagOf(hash), quint32(position + 1)};
}

void YieldSummary::add(const HistoryStore::AttemptView &attempt)
{
    const std::string_view key = view(attempt.unit);
    const size_t hash = std::hash<std::string_view>{}(key);
    if (Unit *unit = findUnit(key, hash)) {
        ++unit->attempts;
        unit->lastOk = attempt.ok;
        return;
    }
    Unit unit;
    for (int d = 0; d < kDimensions; ++d)
        unit.group[size_t(d)] = groupOf(Dimension(d), attempt);
    unit.attempts = 1;
    unit.firstOk = unit.lastOk = attempt.ok;
    unit.hash = hash;
    unit.keyAt = m_keys.size();
    unit.keySize = key.size();
    m_keys.append(key);
    m_units.push_back(unit);
    indexUnit(m_units.size() - 1);
}

namespace {

void count(YieldSummary::Figures &figures, int attempts, bool firstOk, bool lastOk)
{
    figures.attempts += attempts;
    ++figures.units;
    figures.firstPass += firstOk ? 1 : 0;
    figures.finalPass += lastOk ? 1 : 0;
}

} // namespace

YieldSummary::Figures YieldSummary::overall() const
{
    Figures figures;
    for (const Unit &unit : m_units)
        count(figures, unit.attempts, unit.firstOk, unit.lastOk);
    return figures;
}

QList<YieldSummary::Group> YieldSummary::groups(Dimension dimension) const
{
    const Groups &groups = m_groups[size_t(dimension)];
    QList<Group> out(groups.labels.size());
    for (qsizetype i = 0; i < groups.labels.size(); ++i)
        out[i].label = groups.labels.at(i);
    for (const Unit &unit : m_units)
        count(out[unit.group[size_t(dimension)]].figures, unit.attempts, unit.firstOk, unit.lastOk);
    // Days as ISO dates sort by their text too.
    std::stable_sort(out.begin(), out.end(), [](const Group &a, const Group &b) { return a.label < b.label; });
    return out;
}
