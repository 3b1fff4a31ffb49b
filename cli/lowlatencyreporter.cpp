#include "cli/lowlatencyreporter.h"

#include "cli/clioptions.h"
#include "cli/jsonreporter.h"
#include "link/enumname.h"
#include "link/seriallink.h"

#include <QJsonObject>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;


LowLatencyReporter::LowLatencyReporter(SerialLink *link, const CliOptions &options, QObject *parent)
    : QObject(parent)
    , m_link(link)
    , m_verbose(options.verbose)
    , m_json(options.json)
{
    link->lowLatency().setWanted(options.lowLatency);
    connect(link, &SerialLink::lowLatencyDecided, this, &LowLatencyReporter::report);
}

void LowLatencyReporter::report()
{
    const LowLatency::Result &result = m_link->lowLatency().result();
    if (m_verbose) {
        const QByteArray line = "low latency: " + result.describe().toLocal8Bit() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    }
    if (m_json) {
        JsonReporter(stdout).writeEvent({{u"event"_s, u"low-latency"_s},
                                         {u"device"_s, m_link->deviceName()},
                                         {u"state"_s, enumName(result.state)},
                                         {u"detail"_s, result.detail}});
    }
}
