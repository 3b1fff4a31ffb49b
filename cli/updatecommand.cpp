#include "cli/updatecommand.h"

#include "cli/clioptions.h"
#include "cli/exitcode.h"
#include "cli/jsonreporter.h"
#include "cli/lowlatencyreporter.h"
#include "cli/progressreporter.h"
#include "link/enumname.h"
#include "link/portcatalog.h"

#include <QHash>
#include <QJsonArray>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

void printError(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
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
        const auto style = ::isatty(STDERR_FILENO) ? ProgressReporter::Style::Terminal : ProgressReporter::Style::Log;
        m_progress = new ProgressReporter(stderr, style, this);
        for (const auto &unit : m_units)
            m_progress->attach(&unit->update, unit->port);
    }
    for (const auto &unit : m_units) {
        if (options.json) {
            auto *json = new JsonReporter(stdout, this);
            // With several instruments every event names its port.
            json->attach(&unit->update, several() ? unit->port : QString());
            unit->json = json;
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

void UpdateCommand::start()
{
    if (m_started || m_finished)
        return;  // interrupted before it began
    m_started = true;
    if (!portsAreDistinct()) {
        m_finished = true;
        emit done(ExitCode::kUsage);
        return;
    }
    if (!m_options.recordFile.isEmpty() && !m_record.open(m_options.recordFile)) {
        reportRecordError();
        return;
    }

    // Read and checked once, before any instrument is touched.
    ImageProblem problem;
    FirmwareImage image;
    if (!m_options.fileName.isEmpty())
        image = FirmwareImage::load(m_options.fileName, &problem);
    if (!problem.refused() && !image.isEmpty() && !image.summary().endLine)
        printError(u"warning: %1 has no end line (q): every line will be sent, and the update ends after "
                   "the last\n"_s.arg(m_options.fileName));

    for (const auto &unit : m_units) {
        if (m_record.isOpen())
            unit->update.setRecord(&m_record);
        unit->clock.start();
    }
    // Each may end at once (a missing port): all are made before any starts.
    for (const auto &unit : m_units)
        unit->update.start(image, problem, m_options.fileName, unit->port);
}

void UpdateCommand::interrupt()
{
    if (m_finished)
        return;
    m_interrupted = true;
    if (!m_started) {
        m_started = true;
        UpdateOutcome outcome = UpdateSequence::outcomeFor(UpdateOutcome::Kind::Interrupted);
        outcome.fileName = m_options.fileName;
        for (const auto &unit : m_units) {
            outcome.portText = unit->port;
            handleFinished(*unit, outcome);
        }
        return;
    }
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
    if (unit.json)
        unit.json->writeEvent(JsonReporter::resultEvent(outcome, ExitCode::forOutcome(outcome.kind)));
    if (std::all_of(m_units.begin(), m_units.end(), [](const auto &u) { return u->outcome.has_value(); }))
        finishAll();
}

void UpdateCommand::finishAll()
{
    m_finished = true;
    if (!several()) {
        emit done(ExitCode::forOutcome(m_units.front()->outcome->kind));
        return;
    }
    if (m_progress)
        m_progress->finish();
    printSummary();
    QStringList failed;
    for (const auto &unit : m_units) {
        if (unit->outcome->succeeded())
            continue;
        failed << unit->port;
        printError(unit->port + u": "_s + textWithCauses(unit->outcome->message.prompt, unit->outcome->causes()));
    }
    const int exitCode = failed.isEmpty() ? ExitCode::kSuccess
        : m_interrupted                   ? ExitCode::kInterrupted
                                          : ExitCode::kSomeUnitsFailed;
    if (failed.isEmpty())
        printError(u"All %1 instruments updated\n"_s.arg(m_units.size()));
    else
        printError(u"Not updated: %1 of %2 (%3)\n"_s.arg(failed.size()).arg(m_units.size()).arg(failed.join(u", "_s)));
    if (m_options.json) {
        JsonReporter json(stdout);
        json.writeEvent({{u"event"_s, u"station-result"_s},
                         {u"ok"_s, failed.isEmpty()},
                         {u"exit"_s, exitCode},
                         {u"units"_s, int(m_units.size())},
                         {u"failed"_s, QJsonArray::fromStringList(failed)}});
    }
    emit done(exitCode);
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
        JsonReporter json(stdout);
        json.writeEvent(JsonReporter::resultEvent(outcome, exitCode));
    }
    emit done(exitCode);
}
