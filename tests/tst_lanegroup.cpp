// Lanes run side by side: two of them never lead to the same device, also
// when their names differ, whether the other runs, waits for its turn to
// start or is started with it; the others start one per turn, in order.
#include "testregistry.h"

#include "core/update/lanegroup.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class LaneGroupTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_root; // the folder's canonical path: a device is named by its own

    QStringList expanded(const QStringList &ports) const
    {
        QStringList paths;
        for (const QString &port : ports)
            paths << QString(port).replace(u"%d"_s, m_root);
        return paths;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_root = QFileInfo(m_dir.path()).canonicalFilePath();
        for (const QString &name : {u"ttyUSB0"_s, u"ttyUSB1"_s}) {
            QFile node(m_root + u'/' + name);
            QVERIFY(node.open(QIODevice::WriteOnly));
        }
        QVERIFY(QFile::link(m_root + u"/ttyUSB0"_s, m_root + u"/usb-FTDI_A"_s));
    }

    void sameDevice_data()
    {
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QList<int>>("before"); // started first, still waiting for their turn
        QTest::addColumn<QList<int>>("starting");
        // "lane<other key" for each lane not started
        QTest::addColumn<QStringList>("clashes");

        const QList<int> none;
        QTest::newRow("two devices") << QStringList{u"%d/ttyUSB0"_s, u"%d/ttyUSB1"_s} << none << QList<int>{0, 1}
                                     << QStringList{};
        QTest::newRow("one path twice") << QStringList{u"%d/ttyUSB0"_s, u"%d/ttyUSB0"_s} << none << QList<int>{0, 1}
                                        << QStringList{u"1<0 %d/ttyUSB0"_s};
        QTest::newRow("a link and its target") << QStringList{u"%d/usb-FTDI_A"_s, u"%d/ttyUSB1"_s, u"%d/ttyUSB0"_s}
                                               << none << QList<int>{0, 1, 2} << QStringList{u"2<0 %d/ttyUSB0"_s};
        QTest::newRow("a port number and its device")
            << QStringList{u"COM 1"_s, u"/dev/ttyS0"_s} << none << QList<int>{0, 1} << QStringList{u"1<0 /dev/ttyS0"_s};
        QTest::newRow("the later of three") << QStringList{u"%d/ttyUSB1"_s, u"%d/usb-FTDI_A"_s, u"%d/ttyUSB1"_s} << none
                                            << QList<int>{2, 1, 0} << QStringList{u"0<2 %d/ttyUSB1"_s};
        QTest::newRow("on a lane started before") << QStringList{u"%d/ttyUSB0"_s, u"%d/usb-FTDI_A"_s} << QList<int>{0}
                                                  << QList<int>{1} << QStringList{u"1<0 %d/ttyUSB0"_s};
        QTest::newRow("beside a lane started before")
            << QStringList{u"%d/ttyUSB0"_s, u"%d/ttyUSB1"_s} << QList<int>{0} << QList<int>{1} << QStringList{};
    }

    void sameDevice()
    {
        QFETCH(QStringList, ports);
        QFETCH(QList<int>, before);
        QFETCH(QList<int>, starting);
        QFETCH(QStringList, clashes);

        LaneGroup group(LaneGroup::Starting::OnePerTurn);
        for (const QString &port : expanded(ports))
            group.add(port);
        const auto lanesAt = [&group](const QList<int> &indices) {
            QList<Lane *> lanes;
            for (int i : indices)
                lanes << &group.lane(i);
            return lanes;
        };
        QList<int> startedLanes;
        const auto starter = [&](Lane &lane) { startedLanes << group.indexOf(&lane); };
        QStringList told;
        connect(&group, &LaneGroup::notStarted, this, [&](const LaneGroup::Clash &clash) {
            told << u"%1<%2 %3"_s.arg(group.indexOf(clash.lane)).arg(group.indexOf(clash.other)).arg(clash.key);
        });
        QSignalSpy emptied(&group, &LaneGroup::queueEmpty);

        if (!before.isEmpty())
            QVERIFY(group.start(lanesAt(before), starter));
        QCOMPARE(group.clashes(lanesAt(starting)).size(), clashes.size());
        group.start(lanesAt(starting), starter);
        QCOMPARE(told, expanded(clashes));

        // The others start, in the order given, each on a turn of its own.
        QList<int> expected = before;
        for (int i : std::as_const(starting)) {
            if (std::none_of(clashes.begin(), clashes.end(),
                             [i](const QString &c) { return c.startsWith(QString::number(i) + u'<'); }))
                expected << i;
        }
        QVERIFY(startedLanes.isEmpty());
        QVERIFY(emptied.wait());
        QCOMPARE(startedLanes, expected);
        QVERIFY(!group.anyBusy());
    }
};

WEXEL_REGISTER_TEST(LaneGroupTest)

#include "tst_lanegroup.moc"
