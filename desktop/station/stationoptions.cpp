#include "desktop/station/stationoptions.h"

#include "desktop/station/lanestore.h"
#include "desktop/station/sha256text.h"
#include "desktop/widgets/earlyanswer.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr auto kProgram = "wexel-station"_L1;

} // namespace

StationOptions::StationOptions()
    : m_help(m_parser.addHelpOption())
    , m_version(m_parser.addVersionOption())
    , m_port(u"port"_s,
             u"A lane on this port: \"COM 3\", /dev/ttyUSB0, or best a /dev/serial/by-id/... path, which stays "
             "with its adapter when the ttyUSB numbers change. Give it once per lane (at most %1). The lanes "
             "given are for this run only; without --port the window opens with the lanes kept from the last "
             "time."_s.arg(LaneStore::kMaxLanes),
             u"TEXT"_s)
    , m_file(u"file"_s, u"The firmware image for every lane, read and checked at start."_s, u"PATH"_s)
    , m_record(u"record"_s,
               u"Append one JSON line per attempt to FILE, as wexel-update-cli --record does, with the lane's "
               "name and the attempt number. Opened once, at the first start; no lane starts when it cannot "
               "be opened."_s,
               u"FILE"_s)
    , m_expectSha256(u"expect-sha256"_s,
                     u"Refuse any image whose SHA-256 is not HEX (64 hexadecimal digits, as sha256sum prints "
                     "it), before anything is sent. The window's \"Released SHA-256\" field starts with it."_s,
                     u"HEX"_s)
    , m_lane(u"Start with \"Watch\" on: each lane updates every unit that arrives on its port, once, until "
             "Stop."_s,
             u"Start with \"Retries\" at N: a lane updates a unit again, from the erase, up to N times when "
             "an attempt failed in a way another can mend (as wexel-update-cli --retries). Default 0."_s)
    , m_start(u"start"_s, u"Start every lane once the image has been read, as Return does."_s)
    , m_exitWhenDone(u"exit-when-done"_s,
                     u"For scripts and benchmarks: end the program once every lane has come to rest after a "
                     "start; exit status 0 when every lane's last unit passed, 1 otherwise. Messages go to "
                     "standard error instead of boxes, and a start that is refused (the image refused or not "
                     "the released one, the record file not opened) ends the program with 1 at once."_s)
    , m_stats(u"stats"_s,
              u"For benchmarks: at exit, write to FILE as JSON the longest time the event loop was kept from "
              "its work (a 5 ms timer's greatest lateness), since the window opened and while lanes ran; "
              "the time from the first start until every lane came to rest; and each lane's redraws, in all "
              "and the most within one second."_s,
              u"FILE"_s)
    , m_serialRequired(u"serial-required"_s,
                       u"Start with \"Serial required\" on: a lane starts only with its unit's serial in its "
                       "\"Unit serial\" field (a barcode scanner types it there and ends with Return), and a "
                       "watching lane updates a unit that arrives only once its serial has been entered. The "
                       "window's box is kept in the settings when changed there; unattended "
                       "(--exit-when-done) it is off."_s)
{
    m_parser.setApplicationDescription(
        u"The production station: one lane per serial port, each updating the firmware of the test "
        "instrument on it with the one image chosen for all, started together (Return), retried when they "
        "failed (Ctrl+R), stopped (Escape), or updating units as they arrive (Watch)."_s);
    m_parser.addOptions({m_port, m_file, m_record, m_expectSha256, m_start, m_exitWhenDone, m_stats});
    m_parser.addOptions(m_lane.options());
    m_parser.addOptions(m_historyOptions.options());
    m_parser.addOption(m_serialRequired);
}

std::optional<int> StationOptions::answerBeforeStart(int argc, const char *const *argv)
{
    if (const std::optional<int> status = ::answerBeforeStart(m_parser, kProgram, argc, argv, uR"(
Keys: Return starts every lane that is not running; Ctrl+R starts again the
lanes whose unit failed; Escape stops every lane where it stands; Ctrl+O
chooses the image; Ctrl+H shows the unit history. A lane's own button, or
its context menu, starts or stops it alone; double-click a lane to change
its name or port. Return in a lane's "Unit serial" field starts that lane
alone, its unit named by the serial in the history (a watching lane: the
next unit to arrive).

SIGTERM, SIGHUP or SIGINT stop every lane where it stands, record each
running update as interrupted and end the program with 128 + the signal.
)"_s))
        return status;
    return refuseBadOptions(
        m_parser, kProgram, [this] { return check(); }, m_error);
}

void StationOptions::process(int argc, const char *const *argv)
{
    processOrExit(
        m_parser, kProgram, argc, argv, [this] { return check(); }, m_error);
}

bool StationOptions::check()
{
    m_settings = {};
    m_history = {};
    if (!m_lane.read(m_parser, &m_settings, &m_error) || !m_historyOptions.read(m_parser, &m_history, &m_error))
        return false;
    if (m_parser.isSet(m_serialRequired) && !m_history.enabled) {
        m_error = u"--serial-required needs the unit history, which keeps the serials; --no-history keeps none"_s;
        return false;
    }
    if (m_parser.isSet(m_serialRequired) && m_parser.isSet(m_exitWhenDone)) {
        m_error = u"--serial-required needs someone to enter the serials; --exit-when-done runs unattended"_s;
        return false;
    }
    const QStringList ports = m_parser.values(m_port);
    if (ports.size() > LaneStore::kMaxLanes) {
        m_error = u"--port: at most %1 lanes, %2 given"_s.arg(LaneStore::kMaxLanes).arg(ports.size());
        return false;
    }
    for (const QString &port : ports) {
        if (LaneStore::bounded({{}, port}).port.isEmpty()) {
            m_error = u"--port: not a port text (empty, or longer than %1 characters)"_s.arg(LaneStore::kMaxPortLength);
            return false;
        }
    }
    if (m_parser.isSet(m_expectSha256) && !Sha256Text::isHash(Sha256Text::hashOf(m_parser.value(m_expectSha256)))) {
        m_error = u"--expect-sha256: not %1 hexadecimal digits"_s.arg(Sha256Text::kDigits);
        return false;
    }
    if (m_parser.isSet(m_exitWhenDone) && !m_parser.isSet(m_start)) {
        m_error = u"--exit-when-done goes with --start"_s;
        return false;
    }
    return true;
}

std::optional<QString> StationOptions::file() const
{
    return m_parser.isSet(m_file) ? std::optional(m_parser.value(m_file)) : std::nullopt;
}

std::optional<QString> StationOptions::record() const
{
    return m_parser.isSet(m_record) ? std::optional(m_parser.value(m_record)) : std::nullopt;
}

std::optional<QString> StationOptions::stats() const
{
    return m_parser.isSet(m_stats) ? std::optional(m_parser.value(m_stats)) : std::nullopt;
}
