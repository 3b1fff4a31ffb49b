#pragma once

#include "core/firmware/firmwareimage.h"
#include "core/link/deviceidentity.h"
#include "core/link/linktest.h"
#include "core/link/seriallink.h"
#include "core/update/updatesequence.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class ImageLoader;

// One port of a production station: the instrument on it is updated, again
// from the erase when it failed in a way another attempt can mend, up to a
// number of retries. In watch mode the lane goes round without a click per
// unit: it waits for a unit to arrive (its port exists, opens and answers
// the link test), updates it once, shows the result, waits for the unit to
// go (its port hangs up or vanishes, leads to another device, or the link
// test stays unanswered), and waits for the next one. A lane's failure is
// its own: lanes know nothing of each other.
//
// Each unit is bound to the device its port led to when it arrived or its
// first attempt began (DeviceIdentity). The port is held open from then on,
// so that a hang-up is seen when it happens; before each further attempt the
// device must still be the same one and answer the link test. A port name
// that now leads elsewhere ends the unit: it is never continued on whatever
// took the name.
class Lane : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Idle, // not started, or stopped
        Waiting, // watch mode: for a unit to arrive
        Updating, // an attempt runs: update().state() tells its phase
        Retrying, // an attempt failed in a way another can mend: the next begins shortly
        Passed, // the unit was updated (watch mode: until it goes)
        Failed, // the unit was not (watch mode: until it goes)
    };
    Q_ENUM(State)

    struct Settings
    {
        // Attempts after the first, for failures another attempt can mend.
        int retries = 0;
        bool watch = false;
        // The link test that tells whether a unit is there goes out no more
        // often than this, per lane.
        std::chrono::milliseconds probeInterval{1000};
        // A unit whose link test stays unanswered this long has gone.
        std::chrono::milliseconds goneAfter{3000};
        // A hang-up is retried when the port is back within this: a unit
        // that reset itself, not one that was unplugged.
        std::chrono::milliseconds portBackWithin{3000};
        // The update's wait for each answer; the link test that looks for a
        // unit waits no longer than probeInterval.
        std::chrono::milliseconds readTimeout = SerialLink::kDefaultReadTimeout;
        UpdateSequence::Timings timings;
    };

    explicit Lane(const QString &portText, QObject *parent = nullptr);

    QString portText() const { return m_portText; }
    // The lane's name where a station gives one ("Bay 3"); records carry it.
    void setName(const QString &name);
    QString name() const { return m_name; }
    void setSettings(const Settings &settings);
    const Settings &settings() const { return m_settings; }
    void setRecord(RunRecord *record)
    {
        m_record = record;
        m_update.setRecord(record);
    }
    // Watch mode: a unit that arrives is updated only once `mayBegin`
    // allows it (a station that needs each unit's serial first); until
    // then the lane keeps waiting, and looks again at its next probe.
    // None: every unit that arrives is updated.
    void setArrivalCheck(std::function<bool()> mayBegin) { m_mayBegin = std::move(mayBegin); }

    // One unit, with the file read by a loader the caller shares and starts.
    void start(ImageLoader &loader, const QString &fileName);
    // One unit, or in watch mode every unit that comes, with an image read
    // and checked already.
    void start(const FirmwareImage &image, const QString &fileName);
    // Stop (Ctrl-C, or the operator): a running attempt ends where it
    // stands, as interrupted by `by` and recorded; watching ends. The last
    // result stays.
    void stop(UpdateOutcome::StoppedBy by = UpdateOutcome::StoppedBy::Signal);
    // An attempt runs or waits to, or the lane watches for units.
    bool isRunning() const { return m_watching || m_state == State::Updating || m_state == State::Retrying; }

    State state() const { return m_state; }
    int attempt() const { return m_attempt; }
    int attempts() const { return m_settings.retries + 1; }
    // Units this lane has updated and failed to update since it was made.
    int passed() const { return m_passed; }
    int failed() const { return m_failed; }
    const std::optional<UpdateOutcome> &lastOutcome() const { return m_lastOutcome; }
    // Watch mode: the program that holds the port while the lane waits for
    // a unit, empty when none does.
    QString busyHolder() const { return m_busyHolder; }
    QDateTime lastFinished() const { return m_lastFinished; }

    SerialLink &link() { return m_link; }
    UpdateSequence &update() { return m_update; }

    // Whether another attempt can mend a failure of this kind: no answer,
    // a refused or unanswered line, a garbled answer, a hang-up (when the
    // port comes back). A refused image, a missing or busy port, a refused
    // erase or Stop are never retried.
    static bool mayRetry(const UpdateOutcome &outcome);

signals:
    void stateChanged(Lane::State state);
    // Attempt `attempt` of `of` begins ("KILL" is next).
    void attemptStarted(int attempt, int of);
    // Every attempt's end, each with its own record.
    void attemptFinished(const UpdateOutcome &outcome, int attempt, int of);
    // A unit's end, after its last attempt: passed or failed.
    void unitFinished(const UpdateOutcome &outcome);
    // The lane has come to rest: its one unit is done, or Stop.
    void finished();
    // Watch mode: another program has taken the port, or let it go
    // (`holder` empty); the lane does not look for a unit meanwhile.
    void busyChanged(const QString &holder);

private:
    void setState(State state);
    void prepareAttempt();
    void beginAttempt();
    void handleAttemptFinished(const UpdateOutcome &outcome);
    void awaitPortBack();
    void checkBeforeRetry(bool wentAway);
    void handleRetryProbe(const LinkTestOutcome &outcome);
    // An attempt that is not made; recorded and the unit's end.
    void endWithoutAttempt(UpdateOutcome outcome);
    UpdateOutcome attemptNotMade(UpdateOutcome::Kind kind) const;
    void refuseAttempt(UpdateOutcome::DeviceCheck check, const DeviceIdentity &now);
    QJsonObject recordExtra() const;
    void noteDevice(const DeviceIdentity &identity);
    void handleLinkFailed();
    void endUnit(const UpdateOutcome &outcome);
    void unitGone();
    void probe();
    void handleProbe(const LinkTestOutcome &outcome);
    void scheduleProbe();
    void setBusy(const QString &holder);

    QString m_portText;
    QString m_name;
    Settings m_settings;
    SerialLink m_link;
    UpdateSequence m_update{&m_link};
    LinkTest m_linkTest{&m_link};
    // The image every attempt sends, once it has been read.
    FirmwareImage m_image;
    QString m_fileName;
    bool m_haveImage = false;
    bool m_watching = false;
    bool m_stopping = false;
    bool m_portAwaited = false; // a hang-up is retried once the port is back
    RunRecord *m_record = nullptr;
    std::function<bool()> m_mayBegin;
    // The device the unit is bound to, and whether it went away since
    // (a hang-up, its node missing): then only a provable one is the same.
    DeviceIdentity m_device;
    bool m_wentAway = false;
    QString m_busyHolder;
    std::optional<UpdateOutcome> m_lastAttempt;
    State m_state = State::Idle;
    int m_attempt = 0;
    int m_passed = 0;
    int m_failed = 0;
    std::optional<UpdateOutcome> m_lastOutcome;
    QDateTime m_lastFinished;
    QTimer m_probeTimer;
    QTimer m_retryTimer;
    // Since the unit last answered the link test (waiting for it to go),
    // or since the port hung up (waiting for it to come back).
    QElapsedTimer m_since;
};
