#include "cli/updatecommand.h"

#include "cli/clioptions.h"
#include "cli/exitcode.h"
#include "cli/jsonreporter.h"
#include "cli/lowlatencyreporter.h"
#include "cli/outputchannel.h"
#include "cli/progressreporter.h"
#include "core/common/signalwatcher.h"
#include "core/common/enumname.h"
#include "core/link/portcatalog.h"
#include "core/link/portnumber.h"
#include "core/common/printablebytes.h"

#include <QHash>
#include <QJsonArray>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

void printError(const QString &text)
{
    OutputChannel::standardError().write(text.toLocal8Bit());
}

} // namespace

UpdateCommand::UpdateCommand(const CliOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    for (const QString &port : options.portTexts) {
        auto unit = std::make_unique<Unit>();
        unit->port = port;
        unit->link.setReadTimeout(options.readTimeout);
        new LowLatencyReporter(&unit->link, options, this);
        unit->update.setTimings(options.timings);
        m_units.push_back(std::move(unit));
    }
    if (!options.quiet) {
        OutputChannel &err = OutputChannel::standardError();
        const auto style = err.isTerminal() ? ProgressReporter::Style::Terminal : ProgressReporter::Style::Log;
        m_progress = new ProgressReporter(err, style, this);
        for (const auto &unit : m_units)
            m_progress->attach(&unit->update, unit->port);
    }
    // Connected before the units are: the last look before any "KILL".
    connect(&m_loader, &ImageLoader::loaded, this, [this](const ImageLoader::Result &result) {
        // A signal that came while the file was read and is not handled yet.
        if (SignalWatcher::hasArrived())
            return interrupt();
        if (!result.problem.refused() && !result.image.summary().endLine)
            printError(u"warning: %1 has no end line (q): every line will be sent, and the update ends after "
                       "the last\n"_s.arg(printableText(m_options.fileName)));
    });
    for (const auto &unit : m_units) {
        if (options.json) {
            auto *json = new JsonReporter(OutputChannel::standardOutput(), this);
            // With several instruments every event names its port.
            json->attach(&unit->update, several() ? unit->port : QString());
            unit->json = json;
        }
        if (options.verbose) {
            connect(&unit->update, &UpdateSequence::bytesDiscarded, this,
                    [this, port = unit->port](UpdateSequence::State phase, int afterLine, const QByteArray &bytes,
                                              qint64 count) {
                        printError(u"%1discarded %2 bytes that answered no command (%3, after the answer to "
                                   "line %4): %5\n"_s.arg(several() ? printableText(port) + u": "_s : QString())
                                       .arg(count)
                                       .arg(enumName(phase))
                                       .arg(afterLine)
                                       .arg(quotedBytes(bytes)));
                    });
        }
        Unit *u = unit.get();
        connect(&unit->update, &UpdateSequence::finished, this,
                [this, u](const UpdateOutcome &outcome) { handleFinished(*u, outcome); });
    }
}

UpdateCommand::~UpdateCommand() = default;

bool UpdateCommand::portsAreDistinct()
{
    // Two updates on one device would interleave their lines: refused
    // before anything is sent, also when the names differ (a symlink and its
    // target, "COM 1" and /dev/ttyS0).
    QHash<QString, QString> seen;
    for (const auto &unit : m_units) {
        const QString device = SerialLink::deviceForPortText(unit->port);
        const QString key = device.isEmpty() ? unit->port : device;
        if (const auto it = seen.constFind(key); it != seen.constEnd()) {
            printError(u"wexel-update-cli: --port %1 and --port %2 name the same device%3\n"
                       "Try 'wexel-update-cli --help'.\n"_s.arg(*it, unit->port,
                                                                 device.isEmpty() ? QString() : u" ("_s + device + u')'));
            return false;
        }
        seen.insert(key, unit->port);
    }
    return true;
}

void UpdateCommand::warnAboutPortTexts()
{
    // "bench-com7" reads as COM 7: the update may reach a port nobody meant.
    for (const auto &unit : m_units) {
        const QString suggested = suggestedDevice(unit->port);
        if (suggested.startsWith(u"./"_s))
            printError(u"warning: %1 is read as COM %2 (%3); did you mean %4?\n"_s.arg(
                quotedText(unit->port), QString::number(ParsePortNumber(unit->port).value_or(0)),
                SerialLink::deviceForPortText(unit->port), printableText(suggested)));
    }
}

void UpdateCommand::start()
{
    if (m_started || m_finished)
        return;
    m_started = true;
    if (!portsAreDistinct()) {
        m_finished = true;
        emit done(ExitCode::kUsage);
        return;
    }
    if (!m_options.recordFile.isEmpty() && !m_record.open(m_options.recordFile, m_options.fileName)) {
        reportRecordError();
        return;
    }
    warnAboutPortTexts();
    for (const auto &unit : m_units) {
        if (m_record.isOpen())
            unit->update.setRecord(&m_record);
        unit->clock.start();
    }
    // Read and checked once, off the event loop, before any instrument is
    // touched; each may end at once (no port), so all are made before any starts.
    for (const auto &unit : m_units)
        unit->update.start(m_loader, m_options.fileName, unit->port);
    if (!m_options.fileName.isEmpty() && !m_finished)
        m_loader.load(m_options.fileName);
    // Interrupted before it began: every unit ends as interrupted, with its record.
    if (m_interrupted)
        interrupt();
}

void UpdateCommand::interrupt()
{
    if (m_finished)
        return;
    m_interrupted = true;
    if (!m_started)
        return;  // start() comes from the event loop and sees it
    m_loader.cancel();
    for (const auto &unit : m_units) {
        if (unit->update.isRunning())
            unit->update.abort();  // ends through finished()
    }
}

void UpdateCommand::handleFinished(Unit &unit, const UpdateOutcome &outcome)
{
    if (unit.outcome)
        return;
    unit.outcome = outcome;
    unit.milliseconds = unit.clock.isValid() ? unit.clock.elapsed() : 0;
    if (!several()) {
        if (m_progress)
            m_progress->finish();
        printError(textWithCauses(outcome.message.prompt, outcome.causes()));
    }
    if (unit.json) {
        const int code = ExitCode::forOutcome(outcome.kind);
        unit.json->writeEvent(JsonReporter::resultEvent(
            outcome, code == ExitCode::kSuccess && !outcome.recordError.isEmpty() ? ExitCode::kRecordLost : code));
    }
    if (std::all_of(m_units.begin(), m_units.end(), [](const auto &u) { return u->outcome.has_value(); }))
        finishAll();
}

int UpdateCommand::exitCode() const
{
    const auto recordLost = [](const auto &u) { return !u->outcome->recordError.isEmpty(); };
    if (!several()) {
        const int code = ExitCode::forOutcome(m_units.front()->outcome->kind);
        // The instrument is updated; the line's software lost its proof of it.
        return code == ExitCode::kSuccess && recordLost(m_units.front()) ? ExitCode::kRecordLost : code;
    }
    if (std::any_of(m_units.begin(), m_units.end(), [](const auto &u) { return !u->outcome->succeeded(); }))
        return m_interrupted ? ExitCode::kInterrupted : ExitCode::kSomeUnitsFailed;
    return std::any_of(m_units.begin(), m_units.end(), recordLost) ? ExitCode::kRecordLost : ExitCode::kSuccess;
}

void UpdateCommand::finishAll()
{
    m_finished = true;
    if (!several()) {
        emit done(exitCode());
        return;
    }
    if (m_progress)
        m_progress->finish();
    printSummary();
    QStringList failed;
    QStringList recordsLost;
    for (const auto &unit : m_units) {
        if (!unit->outcome->recordError.isEmpty())
            recordsLost << unit->port;
        if (unit->outcome->succeeded())
            continue;
        failed << unit->port;
        printError(printableText(unit->port) + u": "_s
                   + textWithCauses(unit->outcome->message.prompt, unit->outcome->causes()));
    }
    const int code = exitCode();
    if (failed.isEmpty())
        printError(u"All %1 instruments updated\n"_s.arg(m_units.size()));
    else
        printError(u"Not updated: %1 of %2 (%3)\n"_s.arg(failed.size())
                       .arg(m_units.size())
                       .arg(printableText(failed.join(u", "_s))));
    if (!recordsLost.isEmpty())
        printError(u"Records not written: %1 of %2 (%3): %4\n"_s.arg(recordsLost.size())
                       .arg(m_units.size())
                       .arg(printableText(recordsLost.join(u", "_s)), m_record.error()));
    if (m_options.json) {
        JsonReporter json(OutputChannel::standardOutput());
        json.writeEvent({{u"event"_s, u"station-result"_s},
                         {u"ok"_s, code == ExitCode::kSuccess},
                         {u"exit"_s, code},
                         {u"units"_s, int(m_units.size())},
                         {u"failed"_s, QJsonArray::fromStringList(failed)},
                         {u"records_lost"_s, QJsonArray::fromStringList(recordsLost)}});
    }
    emit done(code);
}

void UpdateCommand::printSummary() const
{
    struct Row
    {
        QString port, serial, outcome, lines, time;
    };
    QList<Row> rows{{u"port"_s, u"serial number"_s, u"outcome"_s, u"lines"_s, u"time"_s}};
    // Listed once for the whole table: each listing reads the device tree.
    const QList<PortCatalog::Device> devices = PortCatalog::devices();
    for (const auto &unit : m_units) {
        const UpdateOutcome &o = *unit->outcome;
        const std::optional<PortCatalog::Device> adapter =
            PortCatalog::find(devices, SerialLink::deviceForPortText(unit->port));
        rows.append({unit->port, adapter && !adapter->serialNumber.isEmpty() ? adapter->serialNumber : u"-"_s,
                     enumName(o.kind), u"%1/%2"_s.arg(o.linesAcknowledged).arg(o.linesTotal),
                     u"%1 s"_s.arg(double(unit->milliseconds) / 1000.0, 0, 'f', 1)});
    }
    qsizetype widths[4] = {};
    for (const Row &r : rows) {
        widths[0] = std::max(widths[0], r.port.size());
        widths[1] = std::max(widths[1], r.serial.size());
        widths[2] = std::max(widths[2], r.outcome.size());
        widths[3] = std::max(widths[3], r.lines.size());
    }
    QString table;
    for (const Row &r : rows)
        table += r.port.leftJustified(widths[0]) + u"  "_s + r.serial.leftJustified(widths[1]) + u"  "_s
            + r.outcome.leftJustified(widths[2]) + u"  "_s + r.lines.rightJustified(widths[3]) + u"  "_s + r.time
            + u'\n';
    printError(table);
}

void UpdateCommand::reportRecordError()
{
    m_finished = true;
    UpdateOutcome outcome = UpdateSequence::outcomeFor(UpdateOutcome::Kind::RecordError);
    outcome.recordError = m_record.error();
    outcome.fileName = m_options.fileName;
    outcome.portText = m_options.portTexts.join(u", "_s);
    printError(textWithCauses(outcome.message.prompt, outcome.causes()));
    const int exitCode = ExitCode::forOutcome(outcome.kind);
    if (m_options.json) {
        JsonReporter json(OutputChannel::standardOutput());
        json.writeEvent(JsonReporter::resultEvent(outcome, exitCode));
    }
    emit done(exitCode);
}
