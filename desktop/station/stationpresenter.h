#pragma once

#include "core/link/portcatalog.h"
#include "core/update/lane.h"
#include "core/update/lanegroup.h"
#include "core/update/runrecord.h"
#include "desktop/station/stationhistory.h"
#include "desktop/station/stationimage.h"
#include "desktop/station/lanestore.h"
#include "desktop/station/stationlanes.h"
#include "desktop/station/tileredraws.h"
#include "history/historyoptions.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <optional>

class LaneEditor;
class MessagePresenter;
class StationWindow;

// Connects the station window to its lanes: makes a Lane per port, starts,
// retries and stops them on what the window asks, refuses an image that is
// not the one expected (StationImage), opens the record and the unit history
// once, counts the units and keeps the lanes in the settings (StationLanes),
// and has each lane's progress redrawn on its tile (TileRedraws). Lanes
// started together start one per turn of the event loop, never two on one
// device (LaneGroup). With a history kept, each unit is named by the serial
// entered on its lane: checked, looked up, and a unit that passed with this
// image already is updated again only when the operator says so.
class StationPresenter : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kRedrawInterval = TileRedraws::kRedrawInterval;
    using UnitEnd = ::UnitEnd;

    // laneSettings: the timings every lane runs with; Watch and Retries
    // come from the window.
    StationPresenter(StationWindow *window, MessagePresenter *messages, LaneStore *store,
                     const Lane::Settings &laneSettings, QObject *parent = nullptr);
    ~StationPresenter() override;

    // The lanes at start: those kept in the settings, or these (from the
    // command line), which are then not kept.
    void loadLanes();
    void setLanes(const QList<LaneStore::Entry> &lanes);
    // Reads and checks the image, off the event loop.
    void chooseImage(const QString &path);
    // Every record goes to this file, opened once, at the first start.
    void setRecordFile(const QString &path) { m_recordPath = path; }
    // And to this unit history, unless it is disabled: opened at the first
    // need (a start, a serial, the History view), then kept open.
    void setHistory(const HistoryOptions::Settings &settings);
    // --start: every lane starts once the image has been read.
    void setStartWhenReady(bool start) { m_startWhenReady = start; }

    // Return: every lane that does not run and has a port.
    void startAll();
    // Ctrl+R: the lanes whose last unit failed, also a watching lane whose
    // failed unit has not gone yet.
    void retryFailed();
    // Escape, Stop, the window's close: every lane ends where it stands,
    // recorded as the operator's stop.
    void stopAll();
    // A signal to the process: as stopAll(), recorded as the signal's.
    void stopForSignal();
    void startOrStop(int lane);
    // Return in a lane's serial field: a lane at rest starts with it (alone);
    // a watching lane keeps it for the next unit to arrive.
    void enterSerial(int lane, const QString &text);
    // The History view, filled and shown.
    void showHistory();
    // The whole history as the report program's HTML page, made off the
    // window's thread, written beside the history and opened in the
    // desktop's browser (or its place told, where there is none).
    void writeReport();
    void editLane(int lane); // -1: a new one
    // Where the editor looks for the adapters' stable paths; tests give a folder of their own.
    void setStableLinkDirectory(const QString &directory) { m_stableLinkDirectory = directory; }
    void removeLane(int lane);

    bool anyRunning() const { return m_group.anyBusy(); }
    int laneCount() const { return m_lanes.size(); }
    Lane &lane(int index) { return m_group.lane(index); }
    const FirmwareImage &image() const { return m_image.image(); }
    LaneEditor *editor();
    // Units passed and failed since the window opened, each by its last
    // attempt: a unit tried again with Ctrl+R counts once.
    int passed() const { return m_lanes.passed(); }
    int failed() const { return m_lanes.failed(); }
    // Every lane's last start ended with its unit passed (--exit-when-done):
    // a lane not started or stopped is not.
    bool allPassed() const { return m_lanes.allPassed(); }

    // For --stats: what each lane's tile cost.
    struct LaneStats
    {
        QString name;
        int redraws = 0;
        int busiestSecond = 0; // the most redraws within any one second
    };
    QList<LaneStats> laneStats() const;
    // From the first start to the moment every lane had come to rest; -1 before.
    qint64 runMilliseconds() const { return m_runMs; }

signals:
    // Lanes start with none running before.
    void runStarted();
    // Every lane has come to rest after a start (--exit-when-done).
    void atRest();
    // The start asked for at start-up (--start) was refused: the image was
    // refused, or is not the released one, or the record cannot be opened.
    void startRefused();

private:
    // A lane to start, and the serial of its unit: typed, or held
    // (entered and checked already); empty: none.
    struct UnitStart
    {
        StationLane *lane;
        QString serial;
        bool held = false;
    };
    // A unit that passed with this image already: asked about first.
    struct Again
    {
        Lane *lane;
        QString serial;
        QString about;
    };

    StationLane &addLane(const LaneStore::Entry &entry);
    bool readyToSend();
    bool setUpRecord();
    UnitStart unitFor(StationLane &lane);
    // Checks each serial and looks the unit up; starts the lanes at rest
    // and gives the watching ones their next unit's serial, asking first
    // for units that passed with this image.
    void beginUnits(const QList<UnitStart> &units);
    void askAgain(const QList<Again> &again);
    // Its tile says why: NOT STARTED at rest, the serial's line while it runs.
    void refuseLane(StationLane &lane, const QString &why);
    void refreshHistory();
    // sameUnits: the units on them were counted already (Ctrl+R).
    // Lanes whose name a running or earlier one has are not started.
    void startLanes(const QList<StationLane *> &lanes, bool sameUnits);
    void listAdapters();
    void tell(const UpdateOutcome &outcome);
    void handleImageLoaded();
    void handleLaneAccepted(int index, const QString &name, const QString &port);
    void showComparison();
    void markDirty(StationLane *lane) { m_redraws.markDirty(*lane); }
    void drawLane(int index);
    void drawCounters();
    void refreshDevice(StationLane &lane);
    void reachedRest();
    void updateControls();

    StationWindow *m_window;
    MessagePresenter *m_messages;
    Lane::Settings m_laneSettings;
    LaneGroup m_group{LaneGroup::Starting::OnePerTurn};
    StationLanes m_lanes;
    LaneEditor *m_editor = nullptr;

    StationImage m_image;
    bool m_startWhenReady = false;

    QString m_recordPath;
    RunRecord m_record;
    StationHistory m_history;
    bool m_historyKeeps = false; // the record gives the history its records
    QTimer m_historyRefresh;
    bool m_reporting = false; // a report is being made
    QList<PortCatalog::Device> m_devices;
    QString m_stableLinkDirectory = QLatin1String(PortCatalog::kStableLinkDirectory);

    TileRedraws m_redraws;
    bool m_sameUnits = false; // what the lanes being queued are started for
    QElapsedTimer m_runClock;
    qint64 m_runStartMs = 0;
    qint64 m_runMs = -1;
};
