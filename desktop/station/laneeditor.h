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
        QString port;     // what the lane is bound to
        QString about;    // shown beside it: the device and adapter
        QString target;   // the device a stable path points at, else empty
    };

    explicit LaneEditor(QWidget *parent = nullptr);

    // Opens the editor for lane `index` (-1: a new lane), filled in.
    void edit(int index, const QString &name, const QString &port, const QList<Offer> &offers);
    int index() const { return m_index; }

    QLineEdit *nameEdit;
    QComboBox *portBox;
    QLabel *hintLabel;

signals:
    void laneAccepted(int index, const QString &name, const QString &port);

private:
    void handleAccepted();
    void showHint(const QString &port);

    QList<Offer> m_offers;
    int m_index = -1;
};
