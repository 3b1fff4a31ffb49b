#include "cli/lowlatencyreporter.h"

#include "cli/clioptions.h"
#include "cli/jsonreporter.h"
#include "cli/outputchannel.h"
#include "core/common/enumname.h"
#include "core/link/seriallink.h"

#include <QJsonObject>

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
        OutputChannel::standardError().write("low latency: " + result.describe().toLocal8Bit() + '\n');
    }
    if (m_json) {
        JsonReporter(OutputChannel::standardOutput())
            .writeEvent({{u"event"_s, u"low-latency"_s},
                         {u"device"_s, m_link->deviceName()},
                         {u"state"_s, enumName(result.state)},
                         {u"detail"_s, result.detail}});
    }
}
