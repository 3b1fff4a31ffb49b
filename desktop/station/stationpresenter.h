#pragma once

#include "core/firmware/firmwareimage.h"
#include "core/link/portcatalog.h"
#include "core/update/imageloader.h"
#include "core/update/lane.h"
#include "core/update/runrecord.h"
#include "desktop/station/lanestore.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

class LaneEditor;
class LaneWidget;
class MessagePresenter;
class StationWindow;

// Connects the station window to its lanes: makes a Lane per port, starts,
// retries and stops them on the window's buttons and keys, reads the image
// once off the event loop and refuses it when its SHA-256 is not the one
// expected, opens the record once, counts the units, keeps the lanes in the
// settings, and shows each lane's progress on its tile. Progress comes a
// line at a time, hundreds of lines a second on each of dozens of lanes: a
// lane's tile is redrawn from the lane at most every kRedrawInterval. Lanes
// started together start one per turn of the event loop: each start looks
// through the system's open files for another holder of its port, which
// for 32 lanes at once would hold the window up for a good part of a second.
class StationPresenter : public QObject
{
    Q_OBJECT

public:
    // At most ten redraws a second a lane: smooth to the eye, and 32 lanes
    // stay far from filling the event loop.
    static constexpr std::chrono::milliseconds kRedrawInterval{100};

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
    void editLane(int lane); // -1: a new one
    // Where the editor looks for the adapters' stable paths; tests give a folder of their own.
    void setStableLinkDirectory(const QString &directory) { m_stableLinkDirectory = directory; }
    void removeLane(int lane);

    bool anyRunning() const;
    int laneCount() const { return int(m_slots.size()); }
    Lane &lane(int index);
    const FirmwareImage &image() const { return m_image; }
    LaneEditor *editor();
    // Units passed and failed since the window opened, each by its last
    // attempt: a unit tried again with Ctrl+R counts once.
    int passed() const { return m_passed; }
    int failed() const { return m_failed; }
    // Every lane's last start ended with its unit passed (--exit-when-done):
    // a lane not started or stopped is not.
    bool allPassed() const;

    // How a start of a lane ended, for the unit on it.
    enum class UnitEnd {
        Passed,
        Failed,
        Stopped, // by the operator or a signal: no unit's failure
        NotStarted, // nothing reached the unit: no port, a port in use, refused
    };

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
    struct Slot;

    Slot &addSlot(const LaneStore::Entry &entry);
    void connectLane(Slot &slot);
    void saveLanes();
    bool readyToSend();
    bool setUpRecord();
    // sameUnits: the units on them were counted already (Ctrl+R).
    void startLanes(const QList<Slot *> &lanes, bool sameUnits);
    void startNextQueued();
    void listAdapters();
    // Started, or queued to start.
    static bool busy(const Slot &slot);
    static bool unitFailed(const Slot &slot);
    void setShown(Slot &slot, std::optional<UnitEnd> end);
    void countUnit(Slot &slot, bool passed);
    void tell(const UpdateOutcome &outcome);
    void stopEvery(UpdateOutcome::StoppedBy by);
    void handleImageLoaded(const ImageLoader::Result &result);
    void handleLaneAccepted(int index, const QString &name, const QString &port);
    void handleExpectedChanged();
    void markDirty(Slot &slot);
    void redraw();
    void refreshView(Slot &slot);
    void refreshDevice(Slot &slot);
    void stopLane(Slot &slot, UpdateOutcome::StoppedBy by);
    void reachedRest();
    void updateControls();
    void updateCounters();
    int indexOf(const LaneWidget *widget) const;

    StationWindow *m_window;
    MessagePresenter *m_messages;
    LaneStore *m_store;
    Lane::Settings m_laneSettings;
    std::vector<std::unique_ptr<Slot>> m_slots;
    bool m_keepLanes = true; // false for lanes from the command line
    LaneEditor *m_editor = nullptr;

    ImageLoader m_loader;
    enum class ImageState { None, Reading, Refused, Ready };
    ImageState m_imageState = ImageState::None;
    FirmwareImage m_image;
    ImageProblem m_imageProblem;
    QString m_imagePath;
    bool m_startWhenReady = false;

    QString m_recordPath;
    RunRecord m_record;
    QList<PortCatalog::Device> m_devices;
    QString m_stableLinkDirectory = QLatin1String(PortCatalog::kStableLinkDirectory);

    QTimer m_redrawTimer;
    QTimer m_startTimer; // one queued lane per turn of the event loop
    QList<Slot *> m_startQueue;
    Lane::Settings m_startSettings; // what the queued lanes start with
    bool m_countersDirty = false;
    int m_passed = 0;
    int m_failed = 0;
    int m_firstPass = 0; // units passed at their first attempt
    QElapsedTimer m_runClock;
    qint64 m_runStartMs = 0;
    qint64 m_runMs = -1;
    bool m_starting = false; // lanes are being started; none has come to rest for good
};
