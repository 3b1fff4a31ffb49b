#include "cli/linktestcommand.h"

#include "cli/clioptions.h"
#include "cli/exitcode.h"
#include "cli/jsonreporter.h"
#include "cli/lowlatencyreporter.h"
#include "cli/outputchannel.h"
#include "core/common/printablebytes.h"

#include <QJsonObject>

using namespace Qt::Literals::StringLiterals;

LinkTestCommand::LinkTestCommand(const CliOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    m_link.setReadTimeout(options.lane.readTimeout);
    new LowLatencyReporter(&m_link, options, this);
    connect(&m_test, &LinkTest::finished, this, &LinkTestCommand::handleFinished);
}

void LinkTestCommand::start()
{
    if (m_finished || m_started)
        return;
    m_started = true;
    m_test.start(m_options.portTexts.constFirst());
}

void LinkTestCommand::interrupt()
{
    if (m_finished)
        return;
    if (m_test.isRunning()) {
        m_test.abort(); // ends through finished()
        return;
    }
    LinkTestOutcome outcome;
    outcome.kind = LinkTestOutcome::Kind::Interrupted;
    handleFinished(outcome);
}

void LinkTestCommand::handleFinished(const LinkTestOutcome &outcome)
{
    if (m_finished)
        return;
    m_finished = true;
    int exitCode = ExitCode::kSuccess;
    if (outcome.succeeded()) {
        // The reply is the data a script asked for: on standard output, escaped.
        if (!m_options.json) {
            OutputChannel::standardOutput().write(printableBytes(outcome.reply) + '\n',
                                                  OutputChannel::Delivery::Awaited);
        }
    } else {
        exitCode
            = outcome.kind == LinkTestOutcome::Kind::Interrupted ? ExitCode::kInterrupted : ExitCode::kLinkTestFailed;
        OutputChannel::standardError().write(textWithCauses(outcome.message().prompt, outcome.causes()).toLocal8Bit());
    }
    if (m_options.json) {
        JsonReporter json(OutputChannel::standardOutput());
        if (outcome.succeeded()) {
            QJsonObject event{{u"event"_s, u"link-reply"_s}, {u"device"_s, outcome.device}};
            JsonReporter::addBytes(event, u"reply"_s, outcome.reply);
            json.writeEvent(event);
        }
        json.writeEvent(JsonReporter::resultEvent(outcome, exitCode), OutputChannel::Delivery::Awaited);
    }
    emit done(exitCode);
}
