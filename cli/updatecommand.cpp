#include "cli/updatecommand.h"

#include "cli/clioptions.h"
#include "cli/exitcode.h"
#include "cli/jsonreporter.h"
#include "cli/lowlatencyreporter.h"
#include "cli/outputchannel.h"
#include "cli/progressreporter.h"
#include "core/common/signalwatcher.h"
#include "core/common/counted.h"
#include "core/common/enumname.h"
#include "core/link/portcatalog.h"
#include "core/link/portnumber.h"
#include "core/common/printablebytes.h"

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
        auto unit = std::make_unique<Unit>(port, m_lanes.add(port));
        unit->lane.setSettings(options.lane);
        new LowLatencyReporter(&unit->lane.link(), options, this);
        m_units.push_back(std::move(unit));
    }
    if (!options.quiet) {
        OutputChannel &err = OutputChannel::standardError();
        // Watching, lanes report arrivals and departures in lines of their
        // own: rows redrawn in place would be torn by them.
        const auto style = err.isTerminal() && !options.lane.watch ? ProgressReporter::Style::Terminal
                                                                   : ProgressReporter::Style::Log;
        m_progress = new ProgressReporter(err, style, this);
        for (const auto &unit : m_units)
            m_progress->attach(&unit->lane.update(), unit->port);
    }
    // Connected before the units are: the last look before any "KILL".
    connect(&m_loader, &ImageLoader::loaded, this, [this](const ImageLoader::Result &result) {
        // A signal that came while the file was read and is not handled yet.
        if (SignalWatcher::hasArrived())
            return interrupt();
        if (!result.problem.refused() && !result.image.summary().endLine)
            printError(u"warning: %1 has no end line (q): every line will be sent, and the update ends after "
                       "the last\n"_s.arg(printableText(m_options.fileName)));
        if (!result.problem.refused() && !result.image.summary().endRecord)
            printError(u"warning: %1: %2\n"_s.arg(printableText(m_options.fileName),
                                                  result.image.summary().endRecordWarning()));
        if (m_options.lane.watch)
            handleImageForWatching(result);
    });
    for (const auto &unit : m_units) {
        UpdateSequence *update = &unit->lane.update();
        if (options.json) {
            auto *json = new JsonReporter(OutputChannel::standardOutput(), this);
            // With several instruments every event names its port.
            json->attach(update, several() ? unit->port : QString());
            unit->json = json;
        }
        if (options.verbose) {
            connect(update, &UpdateSequence::bytesDiscarded, this,
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
        connect(&unit->lane, &Lane::attemptFinished, this,
                [this, u](const UpdateOutcome &outcome, int attempt, int of) {
                    reportAttempt(*u, outcome, attempt, of);
                });
        connect(&unit->lane, &Lane::attemptStarted, this,
                [this, u](int attempt, int of) { reportRetry(*u, attempt, of); });
        connect(&unit->lane, &Lane::unitFinished, this,
                [this, u](const UpdateOutcome &outcome) { handleFinished(*u, outcome); });
        if (options.lane.watch) {
            connect(&unit->lane, &Lane::stateChanged, this,
                    [this, u](Lane::State state) { reportLaneState(*u, state); });
            connect(&unit->lane, &Lane::busyChanged, this, [this, u](const QString &holder) {
                if (!m_options.quiet && u->lane.state() == Lane::State::Waiting)
                    printError(printableText(u->port) + u": "_s
                               + (holder.isEmpty() ? u"free again; waiting for a unit"_s
                                                   : u"busy, in use by %1"_s.arg(printableText(holder)))
                               + u'\n');
            });
        }
    }
    connect(&m_lanes, &LaneGroup::atRest, this, [this] {
        if (m_watching && m_interrupted)
            finishWatching();
    });
}

UpdateCommand::~UpdateCommand() = default;

bool UpdateCommand::portsAreDistinct()
{
    // Refused before anything is sent.
    QList<Lane *> lanes;
    for (const auto &unit : m_units)
        lanes << &unit->lane;
    const QList<LaneGroup::Clash> clashes = m_lanes.clashes(lanes);
    if (clashes.isEmpty())
        return true;
    const LaneGroup::Clash &clash = clashes.constFirst();
    printError(
        u"wexel-update-cli: --port %1 and --port %2 name the same device%3\n"
        "Try 'wexel-update-cli --help'.\n"_s.arg(clash.other->portText(), clash.lane->portText(),
                                                 clash.device.isEmpty() ? QString() : u" ("_s + clash.device + u')'));
    return false;
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
        reportRecordError(UpdateOutcome::Kind::RecordError, m_record.error());
        return;
    }
    if (m_options.history.enabled) {
        if (!m_history.open(m_options.history.path)) {
            reportRecordError(UpdateOutcome::Kind::HistoryError, m_history.error());
            return;
        }
        m_history.setKeeper(m_options.history.keeper);
        for (qsizetype i = 0; i < m_options.unitSerials.size(); ++i)
            m_history.setUnitSerial(m_options.portTexts.at(i), m_options.unitSerials.at(i));
        m_record.setKeeper(&m_history);
        if (!m_options.history.server.isEmpty()) {
            // On a thread of its own: the updates never wait for the network.
            m_forwarder = std::make_unique<HistoryForwarder>(m_options.history.path, m_options.history.server);
            m_forwarder->start();
        }
    }
    warnAboutPortTexts();
    for (const auto &unit : m_units) {
        if (m_record.isActive())
            unit->lane.setRecord(&m_record);
        unit->clock.start();
    }
    // Read and checked once, off the event loop, before any instrument is
    // touched. Watching, the lanes start once it has been read; otherwise
    // each may end at once (no port), so all are made before any starts.
    if (!m_options.lane.watch)
        m_lanes.startAll([this](Lane &lane) { lane.start(m_loader, m_options.fileName); });
    if (!m_options.fileName.isEmpty() && !m_finished)
        m_loader.load(m_options.fileName);
    // Interrupted before it began: every unit ends as interrupted, with its record.
    if (m_interrupted)
        interrupt();
}

void UpdateCommand::handleImageForWatching(const ImageLoader::Result &result)
{
    if (m_finished || m_interrupted)
        return;
    if (result.problem.refused()) {
        // No unit has been touched: the image is refused for all of them.
        m_finished = true;
        UpdateOutcome outcome = UpdateSequence::outcomeFor(UpdateOutcome::Kind::FileError);
        outcome.fileProblem = result.problem;
        outcome.fileName = m_options.fileName;
        printError(textWithCauses(outcome.message.prompt, outcome.causes()));
        emit done(ExitCode::forOutcome(outcome));
        return;
    }
    m_watching = true;
    m_lanes.startAll([this, &result](Lane &lane) { lane.start(result.image, m_options.fileName); });
}

void UpdateCommand::interrupt()
{
    if (m_finished)
        return;
    m_interrupted = true;
    if (!m_started)
        return; // start() comes from the event loop and sees it
    m_loader.cancel();
    if (m_options.lane.watch && !m_watching) {
        // Stopped while the image was read: no unit was touched.
        m_finished = true;
        printError(u"Watching stopped before the image was read: no unit was touched\n"_s);
        emit done(ExitCode::kInterrupted);
        return;
    }
    // A running attempt ends through unitFinished(); watching ends once
    // every lane has come to rest.
    m_lanes.stopAll(UpdateOutcome::StoppedBy::Signal);
}

void UpdateCommand::reportAttempt(Unit &unit, const UpdateOutcome &outcome, int attempt, int of)
{
    if (m_forwarder)
        m_forwarder->forwardSoon();
    // Every attempt is recorded; watching, a unit's lost record must count
    // however many units follow it on the lane.
    if (!outcome.recordError.isEmpty())
        m_lastRecordError = outcome.recordError;
    if (m_watching && !outcome.recordError.isEmpty()) {
        const QString name = u"unit %1"_s.arg(unit.lane.passed() + unit.lane.failed() + 1);
        if (!unit.recordsLost.contains(name))
            unit.recordsLost << name;
    }
    // The last attempt is the unit's result, reported by handleFinished().
    unit.failedAttempt.reset();
    if (outcome.succeeded() || attempt >= of || m_interrupted || !Lane::mayRetry(outcome))
        return;
    unit.failedAttempt = outcome;
}

void UpdateCommand::reportRetry(Unit &unit, int attempt, int of)
{
    // Only now is it sure that the next attempt goes to the same unit.
    if (attempt < 2 || !unit.failedAttempt)
        return;
    const UpdateOutcome outcome = *std::exchange(unit.failedAttempt, std::nullopt);
    const QString port = several() || m_options.lane.watch ? printableText(unit.port) + u": "_s : QString();
    printError(port + u"attempt %1 of %2 failed, trying again from the erase: "_s.arg(attempt - 1).arg(of)
               + textWithCauses(outcome.message.prompt, outcome.causes()));
    if (unit.json) {
        QJsonObject event = JsonReporter::resultEvent(outcome, ExitCode::forOutcome(outcome));
        event.insert(u"event"_s, u"retry"_s);
        event.insert(u"attempt"_s, attempt - 1);
        event.insert(u"of"_s, of);
        unit.json->writeEvent(event);
    }
}

void UpdateCommand::reportLaneState(Unit &unit, Lane::State state)
{
    QString text;
    switch (state) {
    case Lane::State::Waiting:
        text = unit.lane.lastOutcome() ? u"unit gone; waiting for the next"_s : u"waiting for a unit"_s;
        if (!unit.lane.busyHolder().isEmpty())
            text = u"busy, in use by %1"_s.arg(printableText(unit.lane.busyHolder()));
        break;
    case Lane::State::Updating:
        if (unit.lane.attempt() > 1)
            return;
        text = u"unit arrived: updating"_s;
        break;
    case Lane::State::Passed:
        // Behind an adapter that stays, the next unit answers as this one
        // did: it is told apart only by this one's absence.
        text = u"PASS - remove the unit"_s;
        break;
    case Lane::State::Failed:
        text = u"FAIL"_s;
        break;
    case Lane::State::Idle:
    case Lane::State::Retrying:
        return;
    }
    if (!m_options.quiet)
        printError(printableText(unit.port) + u": "_s + text + u'\n');
    if (unit.json)
        unit.json->writeEvent({{u"event"_s, u"lane"_s}, {u"state"_s, enumName(state)}});
}

void UpdateCommand::handleFinished(Unit &unit, const UpdateOutcome &outcome)
{
    if (m_watching) {
        // One unit of many that come: its result now, the lane goes on.
        if (!m_options.quiet || !outcome.succeeded())
            printError(printableText(unit.port) + u": "_s + textWithCauses(outcome.message.prompt, outcome.causes()));
        else if (!outcome.recordNotice.isEmpty())
            printError(printableText(unit.port) + u": "_s + outcome.recordNotice + u'\n');
        if (unit.json) {
            const int code = ExitCode::forOutcome(outcome);
            unit.json->writeEvent(JsonReporter::resultEvent(outcome,
                                                            code == ExitCode::kSuccess && !outcome.recordError.isEmpty()
                                                                ? ExitCode::kRecordLost
                                                                : code),
                                  OutputChannel::Delivery::Kept);
        }
        return;
    }
    if (unit.outcome)
        return;
    unit.outcome = outcome;
    unit.milliseconds = unit.clock.isValid() ? unit.clock.elapsed() : 0;
    if (!several()) {
        if (m_progress)
            m_progress->finish();
        printError(textWithCauses(outcome.message.prompt, outcome.causes()));
    } else if (outcome.succeeded() && !outcome.recordNotice.isEmpty()) {
        // A failed unit's causes, told at the end, carry it; a passed unit's are not told.
        printError(printableText(unit.port) + u": "_s + outcome.recordNotice + u'\n');
    }
    if (unit.json) {
        const int code = ExitCode::forOutcome(outcome);
        // A lone instrument's result is the run's answer, waited for once
        // the instrument is done; with several, the station's result is.
        unit.json->writeEvent(JsonReporter::resultEvent(outcome,
                                                        code == ExitCode::kSuccess && !outcome.recordError.isEmpty()
                                                            ? ExitCode::kRecordLost
                                                            : code),
                              several() ? OutputChannel::Delivery::Kept : OutputChannel::Delivery::Awaited);
    }
    if (std::all_of(m_units.begin(), m_units.end(), [](const auto &u) { return u->outcome.has_value(); }))
        finishAll();
}

void UpdateCommand::finishWatching()
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_progress)
        m_progress->finish();
    const int passed = m_lanes.passed();
    const int failed = m_lanes.failed();
    QString table = u"port  updated  not updated\n"_s;
    QStringList recordsLost;
    for (const auto &unit : m_units) {
        table += u"%1  %2  %3\n"_s.arg(printableText(unit->port)).arg(unit->lane.passed()).arg(unit->lane.failed());
        for (const QString &lost : unit->recordsLost)
            recordsLost << printableText(unit->port) + u' ' + lost;
    }
    printError(table
               + u"Watched %1: %2 updated, %3 not updated\n"_s.arg(counted(qsizetype(m_units.size()), u"port"_s))
                     .arg(counted(passed, u"unit"_s))
                     .arg(failed));
    if (!recordsLost.isEmpty())
        printError(u"Records not written: %1 (%2): %3\n"_s.arg(counted(recordsLost.size(), u"unit"_s),
                                                               recordsLost.join(u", "_s), m_lastRecordError));
    const int code = failed > 0  ? ExitCode::kSomeUnitsFailed
        : !recordsLost.isEmpty() ? ExitCode::kRecordLost
                                 : ExitCode::kSuccess;
    forwardWaiting();
    if (m_options.json) {
        JsonReporter json(OutputChannel::standardOutput());
        json.writeEvent({{u"event"_s, u"watch-result"_s},
                         {u"ok"_s, code == ExitCode::kSuccess},
                         {u"exit"_s, code},
                         {u"passed"_s, passed},
                         {u"failed"_s, failed},
                         {u"records_lost"_s, QJsonArray::fromStringList(recordsLost)}},
                        OutputChannel::Delivery::Awaited);
    }
    emit done(code);
}

int UpdateCommand::exitCode() const
{
    const auto recordLost = [](const auto &u) { return !u->outcome->recordError.isEmpty(); };
    if (!several()) {
        const int code = ExitCode::forOutcome(*m_units.front()->outcome);
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
        forwardWaiting();
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
                       .arg(printableText(recordsLost.join(u", "_s)), m_lastRecordError));
    forwardWaiting();
    if (m_options.json) {
        JsonReporter json(OutputChannel::standardOutput());
        json.writeEvent({{u"event"_s, u"station-result"_s},
                         {u"ok"_s, code == ExitCode::kSuccess},
                         {u"exit"_s, code},
                         {u"units"_s, int(m_units.size())},
                         {u"failed"_s, QJsonArray::fromStringList(failed)},
                         {u"records_lost"_s, QJsonArray::fromStringList(recordsLost)}},
                        OutputChannel::Delivery::Awaited);
    }
    emit done(code);
}

void UpdateCommand::forwardWaiting()
{
    if (!m_forwarder)
        return;
    const HistoryForwarder::Result result = m_forwarder->pushNow(m_options.history.serverTimeout);
    if (result.waiting < 0)
        printError(result.error + u'\n');
    else if (result.waiting > 0)
        printError(counted(result.waiting, u"record"_s) + u" waiting for the server"_s
                   + (result.error.isEmpty() ? QString() : u": "_s + result.error) + u'\n');
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
        const std::optional<PortCatalog::Device> adapter
            = PortCatalog::find(devices, SerialLink::deviceForPortText(unit->port));
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

void UpdateCommand::reportRecordError(UpdateOutcome::Kind kind, const QString &error)
{
    m_finished = true;
    UpdateOutcome outcome = UpdateSequence::outcomeFor(kind);
    outcome.recordError = error;
    outcome.fileName = m_options.fileName;
    outcome.portText = m_options.portTexts.join(u", "_s);
    printError(textWithCauses(outcome.message.prompt, outcome.causes()));
    const int exitCode = ExitCode::forOutcome(outcome);
    if (m_options.json) {
        JsonReporter json(OutputChannel::standardOutput());
        json.writeEvent(JsonReporter::resultEvent(outcome, exitCode), OutputChannel::Delivery::Awaited);
    }
    emit done(exitCode);
}
