#include "cli/updatecommand.h"

#include "cli/clioptions.h"
#include "cli/jsonreporter.h"
#include "cli/lowlatencyreporter.h"
#include "cli/outcomereport.h"
#include "cli/progressreporter.h"

#include <cstdio>
#include <unistd.h>

UpdateCommand::UpdateCommand(const CliOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    m_link.setReadTimeout(options.readTimeout);
    new LowLatencyReporter(&m_link, options, this);
    m_update.setTimings(options.timings);
    connect(&m_update, &UpdateSequence::finished, this, &UpdateCommand::handleFinished);
    connect(&m_update, &UpdateSequence::endLineReply, this, [this](const QByteArray &reply) { m_endReply = reply; });
    if (!options.quiet) {
        const auto style = ::isatty(STDERR_FILENO) ? ProgressReporter::Style::Terminal : ProgressReporter::Style::Log;
        m_progress = new ProgressReporter(stderr, style, this);
        m_progress->attach(&m_update);
    }
    if (options.json) {
        m_json = new JsonReporter(stdout, this);
        m_json->attach(&m_update);
    }
}

void UpdateCommand::start()
{
    if (m_finished)
        return;  // interrupted before it began
    m_update.start(m_options.fileName, m_options.portText);
}

void UpdateCommand::interrupt()
{
    if (m_finished)
        return;
    if (m_update.isRunning()) {
        m_update.abort();  // ends through finished()
        return;
    }
    handleFinished(UpdateSequence::outcomeFor(UpdateSequence::Outcome::Kind::Interrupted));
}

void UpdateCommand::handleFinished(const UpdateSequence::Outcome &outcome)
{
    m_finished = true;
    if (m_progress)
        m_progress->finish();

    OutcomeReport::Context context;
    context.fileName = m_options.fileName;
    context.portText = m_options.portText;
    context.device = m_link.deviceName();
    const FirmwareImage &image = m_update.image();
    context.totalLines = int(image.lineCount());
    if (outcome.failedLine > 0 && outcome.failedLine <= image.lineCount())
        context.failedLineText = image.line(outcome.failedLine - 1).toByteArray();
    context.endReply = m_endReply;
    const OutcomeReport report(outcome, context);

    const QByteArray text = report.text();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    if (m_json)
        m_json->writeEvent(report.toJson());
    emit done(report.exitCode());
}
