#include "desktop/station/lanestore.h"

#include <QSettings>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr auto kGroup = "lanes"_L1;
constexpr auto kName = "name"_L1;
constexpr auto kPort = "port"_L1;
constexpr auto kSerialRequired = "serialRequired"_L1;
} // namespace

LaneStore::LaneStore(QSettings *settings)
    : m_settings(settings)
{ }

LaneStore::Entry LaneStore::bounded(const Entry &entry)
{
    Entry out;
    const QString port = entry.port.trimmed();
    if (port.isEmpty() || port.size() > kMaxPortLength)
        return out;
    out.port = port;
    out.name = entry.name.trimmed().left(kMaxNameLength);
    return out;
}

QList<LaneStore::Entry> LaneStore::load() const
{
    QList<Entry> lanes;
    if (!m_settings)
        return lanes;
    const int count = m_settings->beginReadArray(kGroup);
    for (int i = 0; i < count && lanes.size() < kMaxLanes; ++i) {
        m_settings->setArrayIndex(i);
        // A value of another type (a list, a number written by hand) reads
        // as no text, and the lane is left out.
        const QVariant name = m_settings->value(kName);
        const QVariant port = m_settings->value(kPort);
        if (port.typeId() != QMetaType::QString)
            continue;
        const Entry entry
            = bounded({name.typeId() == QMetaType::QString ? name.toString() : QString(), port.toString()});
        if (!entry.port.isEmpty())
            lanes.append(entry);
    }
    m_settings->endArray();
    return lanes;
}

void LaneStore::save(const QList<Entry> &lanes)
{
    if (!m_settings)
        return;
    m_settings->remove(kGroup);
    m_settings->beginWriteArray(kGroup, int(lanes.size()));
    for (int i = 0; i < lanes.size(); ++i) {
        m_settings->setArrayIndex(i);
        m_settings->setValue(kName, lanes.at(i).name);
        m_settings->setValue(kPort, lanes.at(i).port);
    }
    m_settings->endArray();
    m_settings->sync();
}

bool LaneStore::serialRequired() const
{
    if (!m_settings)
        return false;
    // Written by hand as anything else: only a plain "true" turns it on.
    const QVariant value = m_settings->value(kSerialRequired);
    return (value.typeId() == QMetaType::Bool && value.toBool())
        || (value.typeId() == QMetaType::QString && value.toString() == u"true"_s);
}

void LaneStore::setSerialRequired(bool required)
{
    if (!m_settings)
        return;
    m_settings->setValue(kSerialRequired, required);
    m_settings->sync();
}
