#include "cli/updatecommand.h"

#include "cli/clioptions.h"
#include "cli/jsonreporter.h"
#include "cli/exitcode.h"
#include "cli/progressreporter.h"

#include <cstdio>
#include <unistd.h>

UpdateCommand::UpdateCommand(const CliOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    m_link.setReadTimeout(options.readTimeout);
    m_update.setTimings(options.timings);
    connect(&m_update, &UpdateSequence::finished, this, &UpdateCommand::handleFinished);
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
    UpdateSequence::Outcome outcome = UpdateSequence::outcomeFor(UpdateSequence::Outcome::Kind::Interrupted);
    outcome.fileName = m_options.fileName;
    outcome.portText = m_options.portText;
    handleFinished(outcome);
}

void UpdateCommand::handleFinished(const UpdateSequence::Outcome &outcome)
{
    m_finished = true;
    if (m_progress)
        m_progress->finish();
    const int exitCode = ExitCode::forOutcome(outcome.kind);
    const QByteArray text = textWithCauses(outcome.message.prompt, outcome.causes()).toLocal8Bit();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    if (m_json)
        m_json->writeEvent(JsonReporter::resultEvent(outcome, exitCode));
    emit done(exitCode);
}
