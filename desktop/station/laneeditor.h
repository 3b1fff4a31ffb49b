#pragma once

#include <QDialog>
#include <QList>
#include <QString>

class QComboBox;
class QLabel;
class QLineEdit;

// Adds a lane or changes one: its name and its port. The port list offers
// the adapters' stable paths (/dev/serial/by-id/...) first, with the device
// each points at now, then the devices found and the COM texts; a device
// that has a stable path is pointed out, since its number may change at
// the next replug and the lane would then update another bay's unit. Shown
// with open(): it never holds up the lanes that run.
class LaneEditor : public QDialog
{
    Q_OBJECT

public:
    // One entry of the port list.
    struct Offer
    {
        QString port; // what the lane is bound to
        QString about; // shown beside it: the device and adapter
        QString target; // the device a stable path points at, else empty
    };

    // Another lane of the station, whose device this one may not take.
    struct OtherLane
    {
        QString name;
        QString port;
    };

    explicit LaneEditor(QWidget *parent = nullptr);

    // Opens the editor for lane `index` (-1: a new lane), filled in, with
    // the focus on the name.
    void edit(int index, const QString &name, const QString &port, const QList<Offer> &offers,
              const QList<OtherLane> &others = {});
    int index() const { return m_index; }

    // Refused, with the other lane named, when the port leads to the device
    // of another lane (links followed): two lanes would interleave their
    // lines on one instrument.
    void accept() override;

    QLineEdit *nameEdit;
    QComboBox *portBox;
    QLabel *hintLabel;

signals:
    void laneAccepted(int index, const QString &name, const QString &port);

protected:
    bool event(QEvent *event) override;

private:
    void handleAccepted();
    // The name's text selected, so that what the operator types replaces it.
    void focusName();
    void showHint(const QString &port);
    // The other lane on the device `port` leads to, if any.
    const OtherLane *laneOnSameDevice(const QString &port) const;

    QList<Offer> m_offers;
    QList<OtherLane> m_others;
    int m_index = -1;
    bool m_focusNameOnActivation = false;
};
