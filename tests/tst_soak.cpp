// Many updates in one process, as a production line runs them: every outcome
// right, and neither memory nor open descriptors growing from one update to
// the next. 50 by default, enough for each of the five faults once;
// WEXEL_SOAK_UPDATES=200 (a multiple of 10) runs the long soak.
#include "eventwait.h"
#include "fakeinstrument.h"
#include "matrixsupport.h"
#include "testregistry.h"

#include "core/link/seriallink.h"
#include "core/update/updatesequence.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

qint64 residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

} // namespace

class SoakTest : public QObject
{
    Q_OBJECT

    static constexpr int kDefaultUpdates = 50;

private slots:
    void updatesWithAFaultEveryTenth()
    {
        const int kUpdates = qEnvironmentVariableIsSet("WEXEL_SOAK_UPDATES")
            ? qEnvironmentVariableIntValue("WEXEL_SOAK_UPDATES")
            : kDefaultUpdates;
        QVERIFY2(kUpdates >= kDefaultUpdates && kUpdates % 10 == 0,
                 "WEXEL_SOAK_UPDATES: a multiple of 10, at least 50, so that every fault comes");
        constexpr int kLines = 2000;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("soak.txt"));
        {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("@F000\n");
            for (int i = 0; i < kLines - 2; ++i)
                f.write("31 40 00 24 B2 40 80 5A 20 01 41 42 43 44 45 46\n");
            f.write("q\n");
        }

        SerialLink link;
        link.setReadTimeout(std::chrono::milliseconds(500));
        UpdateSequence update(&link);
        UpdateSequence::Timings timings;
        timings.eraseTickInterval = std::chrono::milliseconds(1);
        timings.eraseTickCount = 5;
        timings.handOverDelay = std::chrono::milliseconds(1);
        update.setTimings(timings);
        qRegisterMetaType<UpdateSequence::Outcome>();

        using Kind = UpdateSequence::Outcome::Kind;
        qint64 firstRss = 0;
        int firstFds = 0;
        QMap<int, int> outcomes;
        for (int i = 1; i <= kUpdates; ++i) {
            Kind expected = Kind::Success;
            {
                FakeInstrument instrument;
                QVERIFY(instrument.isValid());
                if (i % 10 == 0) {
                    switch ((i / 10) % 5) {
                    case 0:
                        instrument.refuseLine = 1 + (i * 37) % kLines;
                        expected = Kind::WriteRefused;
                        break;
                    case 1:
                        instrument.silentLine = 1 + (i * 53) % kLines;
                        expected = Kind::WriteFailed;
                        break;
                    case 2:
                        instrument.hangUpAtLine = 1 + (i * 71) % kLines;
                        expected = Kind::WriteFailed;
                        break;
                    case 3:
                        instrument.erase = FakeInstrument::Erase::Refuse;
                        expected = Kind::EraseRefused;
                        break;
                    case 4:
                        instrument.garbageLine = kLines - 1;
                        expected = Kind::WriteRefused;
                        break;
                    }
                }
                QSignalSpy finished(&update, &UpdateSequence::finished);
                update.start(file, instrument.slavePath());
                WEXEL_TRY_VERIFY_WITH_TIMEOUT(finished.size() == 1, 20000);
                const auto outcome = finished.first().at(0).value<UpdateSequence::Outcome>();
                QVERIFY2(outcome.kind == expected,
                         qPrintable(
                             QStringLiteral("update %1: %2 at line %3, reply %4, %5")
                                 .arg(i)
                                 .arg(outcome.message.prompt)
                                 .arg(outcome.failedLine)
                                 .arg(QString::fromLatin1(outcome.reply.toHex()), outcome.linkError.describe())));
                if (expected == Kind::Success)
                    QCOMPARE(instrument.linesAfterKill().size(), kLines);
                ++outcomes[int(outcome.kind)];
            }
            // The link keeps the last port open between updates, as the
            // program does; close it so the count compares like with like.
            link.close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            if (i == 1) {
                firstRss = residentKiB();
                firstFds = int(MatrixSupport::openDescriptors().size());
            }
        }
        const qint64 lastRss = residentKiB();
        const int lastFds = int(MatrixSupport::openDescriptors().size());
        qInfo("soak: %d updates of %d lines; resident memory %lld KiB after the first, %lld KiB after the last; "
              "open descriptors %d and %d",
              kUpdates, kLines, firstRss, lastRss, firstFds, lastFds);
        QCOMPARE(outcomes.value(int(Kind::Success)), kUpdates - kUpdates / 10);
        QCOMPARE(outcomes.size(), 4);
        QCOMPARE(lastFds, firstFds);
#if defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer keeps freed memory in quarantine, so resident memory
        // says nothing there; LeakSanitizer checks for leaks instead.
        return;
#endif
        // Flat: keeping one image (about 100 KiB) per update would add some
        // 5 MiB over the default 50.
        QVERIFY2(lastRss - firstRss < 2048, qPrintable(QStringLiteral("grew by %1 KiB").arg(lastRss - firstRss)));
    }
};

WEXEL_REGISTER_TEST(SoakTest)
#include "tst_soak.moc"
