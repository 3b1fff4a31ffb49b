// The update sequence against an instrument on a pseudo-terminal: what the
// instrument receives, in what order and when, and how each end is reported.
#include "fakeinstrument.h"
#include "testregistry.h"
#include "testtimings.h"

#include "core/firmware/firmwareline.h"
#include "core/link/linktest.h"
#include "core/link/seriallink.h"
#include "core/update/runrecord.h"
#include "core/update/updatesequence.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Kind = UpdateSequence::Outcome::Kind;
using namespace Qt::Literals::StringLiterals;
Q_DECLARE_METATYPE(UpdateSequence::Outcome)

namespace {

const QByteArray kImage = QByteArrayLiteral("@F000\r\n"
                                            "31 40 00 24 B2 40\r\n"
                                            "80 5A 20 01\r\n"
                                            "  31 40 00  \r\n"
                                            "@10000\r\n"
                                            "AA BB\r\n"
                                            "q\r\n");

// An address line, then data lines that each carry their own number.
QByteArray numberedLines(int count)
{
    QByteArray data = "@10000\n";
    for (int i = 2; i <= count; ++i)
        data += QByteArray::number(i >> 8, 16).rightJustified(2, '0') + ' '
            + QByteArray::number(i & 0xFF, 16).rightJustified(2, '0') + '\n';
    return data;
}

} // namespace

class UpdateSequenceTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_fileNo = 0;

    QString writeFile(const QByteArray &content)
    {
        const QString name = m_dir.filePath(QStringLiteral("fw%1.txt").arg(++m_fileNo));
        QFile f(name);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot write the test image");
        return name;
    }

    struct Run
    {
        FakeInstrument instrument;
        SerialLink link;
        UpdateSequence update{&link};
        QSignalSpy finished{&update, &UpdateSequence::finished};
        QSignalSpy lineSent{&update, &UpdateSequence::lineSent};
        QSignalSpy eraseProgress{&update, &UpdateSequence::eraseProgress};
        QSignalSpy endReply{&update, &UpdateSequence::endLineReply};
        Run()
        {
            link.setReadTimeout(std::chrono::milliseconds(300));
            update.setTimings(fastTimings());
        }
        UpdateSequence::Outcome outcome() const { return finished.last().at(0).value<UpdateSequence::Outcome>(); }
    };

private slots:
    void initTestCase()
    {
        qRegisterMetaType<UpdateSequence::Outcome>();
        QVERIFY(m_dir.isValid());
    }

    void successSendsEveryPreparedLineInOrder()
    {
        Run r;
        QVERIFY(r.instrument.isValid());
        r.update.start(writeFile(kImage + "AFTER END\r\n"), r.instrument.slavePath());
        // The file is read off the event loop's thread first.
        QCOMPARE(r.update.state(), UpdateSequence::State::Loading);
        QTRY_COMPARE(r.finished.size(), 1);
        const auto outcome = r.outcome();
        QCOMPARE(outcome.kind, Kind::Success);
        QCOMPARE(outcome.message.prompt, QStringLiteral("Update OK"));
        QCOMPARE(outcome.message.title, QStringLiteral("Update OK"));
        QCOMPARE(outcome.message.icon, Message::Icon::Information);

        const QList<QByteArray> expected{"@0F000", "31 40 00 24 B2 40", "80 5A 20 01", "31 40 00 FF", "@10000", "AA BB",
                                         "q"};
        QCOMPARE(r.instrument.killCount(), 1);
        QCOMPARE(r.instrument.commands().first().bytes, QByteArray("KILL"));
        QCOMPARE(r.instrument.linesAfterKill(), expected);
        QCOMPARE(r.instrument.received().count('\n'), expected.size() + 1);

        // Every tick counted once, in order.
        QCOMPARE(r.eraseProgress.size(), 10);
        for (int i = 0; i < 10; ++i)
            QCOMPARE(r.eraseProgress.at(i).at(0).toInt(), i + 1);
        // The bar is measured against the file's lines, those after the end
        // line too, as the line count shows; only the lines up to it are sent.
        QCOMPARE(r.lineSent.size(), expected.size());
        QCOMPARE(r.lineSent.last().at(0).toInt(), 7);
        QCOMPARE(r.lineSent.last().at(1).toInt(), 8);
        QCOMPARE(r.endReply.size(), 1);
        QCOMPARE(r.endReply.first().at(0).toByteArray(), QByteArray("END*"));
        QCOMPARE(r.update.state(), UpdateSequence::State::Ready);
    }

    void barReachesExactlyHundredOnTheLastLine()
    {
        Run r;
        r.update.start(writeFile(numberedLines(3) + "q\n"), r.instrument.slavePath());
        QTRY_COMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::Success);
        QList<double> percents;
        for (const auto &args : std::as_const(r.lineSent))
            percents << args.at(2).toDouble();
        QCOMPARE(percents, (QList<double>{25, 50, 75, 100}));
    }

    void fileWithoutEndLineIsSentToItsLastLine()
    {
        Run r;
        r.update.start(writeFile(numberedLines(5)), r.instrument.slavePath());
        QTRY_COMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::Success);
        QCOMPARE(r.instrument.linesAfterKill().size(), 5);
        QCOMPARE(r.endReply.size(), 0);
        QCOMPARE(r.lineSent.last().at(2).toDouble(), 100.0);
    }

    void endLineInTheMiddleStopsTheWrite()
    {
        Run r;
        r.update.start(writeFile("@F000\n31 40\nQ\n32 41\n"), r.instrument.slavePath());
        QTRY_COMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::Success);
        QCOMPARE(r.instrument.linesAfterKill(), (QList<QByteArray>{"@0F000", "31 40", "Q"}));
    }

    void eraseFailures_data()
    {
        QTest::addColumn<int>("erase");
        QTest::addColumn<int>("kind");
        QTest::newRow("refused NG*") << int(FakeInstrument::Erase::Refuse) << int(Kind::EraseRefused);
        QTest::newRow("silent") << int(FakeInstrument::Erase::Silent) << int(Kind::EraseFailed);
        QTest::newRow("hang-up") << int(FakeInstrument::Erase::HangUp) << int(Kind::EraseFailed);
    }
    void eraseFailures()
    {
        QFETCH(int, erase);
        QFETCH(int, kind);
        Run r;
        r.instrument.erase = FakeInstrument::Erase(erase);
        r.update.start(writeFile(kImage), r.instrument.slavePath());
        QTRY_COMPARE(r.finished.size(), 1);
        QTest::qWait(50);
        QCOMPARE(r.finished.size(), 1); // reported once
        const auto outcome = r.outcome();
        QCOMPARE(int(outcome.kind), kind);
        QCOMPARE(outcome.message.prompt, QStringLiteral("Erese is error"));
        QCOMPARE(outcome.message.title, QStringLiteral("Error"));
        QCOMPARE(outcome.message.icon, Message::Icon::Critical);
        QVERIFY(outcome.eraseSent);
        QCOMPARE(r.lineSent.size(), 0);
        if (r.instrument.isValid())
            QCOMPARE(r.instrument.linesAfterKill(), QList<QByteArray>{});
        if (erase == int(FakeInstrument::Erase::Refuse)) {
            QCOMPARE(outcome.reply, QByteArray("NG*"));
            QCOMPARE(r.eraseProgress.size(), 10); // the bar is full when the answer is judged
        }
        if (erase == int(FakeInstrument::Erase::HangUp)) {
            QCOMPARE(outcome.linkError.kind, SerialLink::Error::Kind::HangUp);
            QVERIFY(!r.link.isOpen());
        }
    }

    void earlyAcknowledgementIsReadOnTheLastTick()
    {
        Run r;
        QSignalSpy acknowledged(&r.update, &UpdateSequence::eraseAcknowledged);
        r.instrument.eraseDelayMs = 0; // '*' arrives long before the last tick
        r.update.start(writeFile(kImage), r.instrument.slavePath());
        QTRY_COMPARE(acknowledged.size(), 1);
        QCOMPARE(r.eraseProgress.size(), 10);
        QTRY_COMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::Success);
    }

    void lateAcknowledgementWithinTheReadTimeout()
    {
        Run r;
        r.instrument.eraseDelayMs = 150; // after the last tick, within the read time-out
        r.update.start(writeFile(kImage), r.instrument.slavePath());
        QTRY_COMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::Success);
    }

    void writeFailures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("refused at line 1") << "refuse" << 1 << int(Kind::WriteRefused) << QByteArray("NG*");
        QTest::newRow("refused at line 10") << "refuse" << 10 << int(Kind::WriteRefused) << QByteArray("NG*");
        QTest::newRow("refused at the last line") << "refuse" << 20 << int(Kind::WriteRefused) << QByteArray("NG*");
        QTest::newRow("silent at line 4") << "silent" << 4 << int(Kind::WriteFailed) << QByteArray();
        QTest::newRow("garbage at line 6") << "garbage" << 6 << int(Kind::WriteRefused) << QByteArray("\x15?#");
        QTest::newRow("hang-up at line 7") << "hangup" << 7 << int(Kind::WriteFailed) << QByteArray();
    }
    void writeFailures()
    {
        QFETCH(QString, fault);
        QFETCH(int, line);
        QFETCH(int, kind);
        QFETCH(QByteArray, reply);
        Run r;
        if (fault == u"refuse")
            r.instrument.refuseLine = line;
        else if (fault == u"silent")
            r.instrument.silentLine = line;
        else if (fault == u"garbage")
            r.instrument.garbageLine = line;
        else
            r.instrument.hangUpAtLine = line;
        r.update.start(writeFile(numberedLines(20)), r.instrument.slavePath());
        QTRY_COMPARE(r.finished.size(), 1);
        QTest::qWait(50);
        QCOMPARE(r.finished.size(), 1);
        const auto outcome = r.outcome();
        QCOMPARE(int(outcome.kind), kind);
        QCOMPARE(outcome.message.prompt, QStringLiteral("Code Downloading is error."));
        QCOMPARE(outcome.message.title, QStringLiteral("Code Download error"));
        QCOMPARE(outcome.failedLine, line);
        QCOMPARE(outcome.linesAcknowledged, line - 1);
        QCOMPARE(outcome.reply, reply);
        QCOMPARE(r.lineSent.size(), line);
        if (r.instrument.isValid())
            QCOMPARE(r.instrument.linesAfterKill().size(), line); // nothing after the failed line
        if (fault == u"hangup") {
            QVERIFY(!r.link.isOpen());
            QCOMPARE(outcome.linkError.kind, SerialLink::Error::Kind::HangUp);
        }
    }

    // A reply answers the command just sent, and each command gets one. Line
    // 21 is the end line. -1: either value, as the pseudo-terminal delivers.
    void repliesInStep_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("outOfStepAfter");
        QTest::addColumn<int>("failedLine");
        QTest::addColumn<int>("discarded");
        QTest::addColumn<int>("received"); // lines the instrument got after KILL
        QTest::newRow("late spare '*', then the last data line refused")
            << "late spare before refusal" << int(Kind::OutOfStep) << -1 << 0 << -1 << -1;
        QTest::newRow("spare '*' after the end line's answer")
            << "spare after end" << int(Kind::OutOfStep) << 20 << 0 << 0 << 21;
        QTest::newRow("two acknowledgements in one read") << "double ack" << int(Kind::OutOfStep) << 3 << 0 << 1 << 3;
        QTest::newRow("two acknowledgements of the erase")
            << "double erase ack" << int(Kind::OutOfStep) << 0 << 0 << 1 << 0;
        QTest::newRow("end line refused") << "end refused" << int(Kind::WriteRefused) << 0 << 21 << 0 << 21;
        QTest::newRow("noise without '*' after an answer") << "noise" << int(Kind::Success) << 0 << 0 << 2 << 21;
    }
    void repliesInStep()
    {
        QFETCH(QString, fault);
        QFETCH(int, kind);
        QFETCH(int, outOfStepAfter);
        QFETCH(int, failedLine);
        QFETCH(int, discarded);
        QFETCH(int, received);
        Run r;
        if (fault == u"late spare before refusal") {
            // Each answer takes the instrument 40 ms, and a spare '*' 20 ms
            // after line 19's is taken for line 20's: its refusal then comes
            // when the end line awaits an answer, and the end line's own
            // answer after that, within the product's settle time.
            r.link.setReadTimeout(SerialLink::kDefaultReadTimeout);
            r.instrument.ackDelayMs = 40;
            r.instrument.spareAfterLine[19] = 20;
            r.instrument.refuseLine = 20;
        } else if (fault == u"spare after end") {
            r.instrument.spareAfterLine[21] = 4;
        } else if (fault == u"double ack") {
            r.instrument.lineReplies[3] = "**";
        } else if (fault == u"double erase ack") {
            r.instrument.eraseReplyPieces = {"**"};
        } else if (fault == u"end refused") {
            r.instrument.refuseLine = 21;
        } else {
            r.instrument.lineReplies[3] = "*xy";
        }
        r.update.start(writeFile(numberedLines(20) + "q\n"), r.instrument.slavePath());
        QTRY_COMPARE(r.finished.size(), 1);
        const auto outcome = r.outcome();
        QCOMPARE(int(outcome.kind), kind);
        if (discarded >= 0)
            QCOMPARE(outcome.bytesDiscarded, qint64(discarded));
        QCOMPARE(outcome.failedLine, failedLine);
        // Nothing is sent once the doubt has arisen.
        if (received >= 0)
            QCOMPARE(r.instrument.linesAfterKill().size(), received);
        const QString causes = outcome.causes().join(u'\n');
        if (kind == int(Kind::Success))
            return;
        QCOMPARE(outcome.message.prompt, QStringLiteral("Code Downloading is error."));
        QVERIFY2(causes.contains(QStringLiteral("the instrument may be erased")), qPrintable(causes));
        if (kind == int(Kind::OutOfStep) && outOfStepAfter < 0) {
            QVERIFY2(causes.contains(QStringLiteral("fell out of step after line")), qPrintable(causes));
        } else if (kind == int(Kind::OutOfStep)) {
            QCOMPARE(outcome.outOfStepAfter, outOfStepAfter);
            const QString after = outOfStepAfter > 0 ? QStringLiteral("after line %1 of 21").arg(outOfStepAfter)
                                                     : QStringLiteral("after the erase command");
            QVERIFY2(causes.contains(QStringLiteral("fell out of step ") + after), qPrintable(causes));
        } else {
            QCOMPARE(outcome.reply, QByteArray("NG*"));
            QCOMPARE(outcome.linesAcknowledged, 20);
        }
    }

    // A link test that timed out a moment before: its answer comes after
    // the upload began, and would be read as the erase's (or a line's).
    void lateAnswerToALinkTestIsDrainedBeforeTheErase()
    {
        Run r;
        LinkTest test(&r.link);
        QSignalSpy tested(&test, &LinkTest::finished);
        r.instrument.arcDelayMs = 450; // the link test waits 300 ms
        r.instrument.eraseDelayMs = 200; // the late answer comes first
        test.start(r.instrument.slavePath());
        QTRY_COMPARE(tested.size(), 1);
        QCOMPARE(tested.first().at(0).value<LinkTestOutcome>().kind, LinkTestOutcome::Kind::Failed);
        r.update.start(writeFile(kImage), r.instrument.slavePath());
        QTRY_COMPARE(r.finished.size(), 1);
        const auto outcome = r.outcome();
        // The erase was answered "*", not "SIM-1*", which was dropped.
        QCOMPARE(outcome.kind, Kind::Success);
        QCOMPARE(outcome.bytesDiscarded, qint64(QByteArray("SIM-1*").size()));
        QCOMPARE(r.instrument.killCount(), 1);
    }

    void nextStartBeginsWithTheEraseAgain()
    {
        Run r;
        r.instrument.refuseLine = 10;
        const QString file = writeFile(numberedLines(12) + "q\n");
        r.update.start(file, r.instrument.slavePath());
        QTRY_COMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::WriteRefused);
        r.instrument.refuseLine = 0;
        r.instrument.clearReceived();
        r.update.start(file, r.instrument.slavePath());
        QTRY_COMPARE(r.finished.size(), 2);
        QCOMPARE(r.outcome().kind, Kind::Success);
        QCOMPARE(r.instrument.commands().first().bytes, QByteArray("KILL"));
        QCOMPARE(r.instrument.linesAfterKill().size(), 13);
    }

    void refusedBeforeTheErase_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("title");
        const QString image = QStringLiteral("<image>");
        const QString pty = QStringLiteral("<pty>");
        QTest::newRow("no file") << QString() << pty << int(Kind::NoFile) << "No open file."
                                 << "Code Download error";
        QTest::newRow("no port text") << image << QString() << int(Kind::NoPort) << "Please setting COM PORT"
                                      << "COM PORT ERROR";
        QTest::newRow("file deleted") << QStringLiteral("<deleted>") << pty << int(Kind::FileError)
                                      << "Code Downloading is error."
                                      << "Code Download error";
        QTest::newRow("empty file") << QStringLiteral("<empty>") << pty << int(Kind::FileError)
                                    << "Code Downloading is error."
                                    << "Code Download error";
        QTest::newRow("file is a directory")
            << QStringLiteral("<dir>") << pty << int(Kind::FileError) << "Code Downloading is error."
            << "Code Download error";
        QTest::newRow("port missing") << image << QStringLiteral("/dev/ttyWEXELMISSING") << int(Kind::PortError)
                                      << "Code Downloading is error."
                                      << "Code Download error";
        QTest::newRow("port is a regular file")
            << image << QStringLiteral("<regular>") << int(Kind::PortError) << "Code Downloading is error."
            << "Code Download error";
        QTest::newRow("port held by another program")
            << image << QStringLiteral("<busy>") << int(Kind::PortError) << "Code Downloading is error."
            << "Code Download error";
    }
    void refusedBeforeTheErase()
    {
        QFETCH(QString, file);
        QFETCH(QString, port);
        QFETCH(int, kind);
        QFETCH(QString, prompt);
        QFETCH(QString, title);
        Run r;
        SerialLink holder; // another program holding the port
        if (file == u"<image>")
            file = writeFile(kImage);
        else if (file == u"<deleted>") {
            file = writeFile(kImage);
            QVERIFY(QFile::remove(file));
        } else if (file == u"<empty>")
            file = writeFile({});
        else if (file == u"<dir>")
            file = m_dir.path();
        if (port == u"<pty>")
            port = r.instrument.slavePath();
        else if (port == u"<regular>")
            port = writeFile("not a port");
        else if (port == u"<busy>") {
            port = r.instrument.slavePath();
            holder.setDevicePath(port);
            QVERIFY(holder.configure());
        }
        r.update.start(file, port);
        QTRY_COMPARE(r.finished.size(), 1);
        const auto outcome = r.outcome();
        QCOMPARE(int(outcome.kind), kind);
        QCOMPARE(outcome.message.prompt, prompt);
        QCOMPARE(outcome.message.title, title);
        QVERIFY(!outcome.eraseSent);
        QTest::qWait(30);
        QCOMPARE(r.instrument.received(), QByteArray());
        QCOMPARE(r.update.state(), UpdateSequence::State::Ready);
    }

    void splitEndReplyIsJoined()
    {
        Run r;
        r.instrument.endReply = QByteArrayLiteral("DO");
        r.update.start(writeFile("@F000\n31 40\nq\n"), r.instrument.slavePath());
        QTRY_COMPARE(r.lineSent.size(), 3);
        QTest::qWait(20);
        r.instrument.send("NE*");
        QTRY_COMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::Success);
        QCOMPARE(r.endReply.first().at(0).toByteArray(), QByteArray("DONE*"));
    }

    void bytesGoOutUnchanged()
    {
        Run r;
        // Lower case is the file's own: no byte is turned into another.
        const QByteArray line = "a0 b1 c2 d3 e4 f5 "; // a trailing space is trimmed
        r.update.start(writeFile("@f000\n" + line + "\nq\n"), r.instrument.slavePath());
        QTRY_COMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::Success);
        QCOMPARE(r.instrument.linesAfterKill().at(1), PrepareLine(line));
    }

    void abortStopsAtOnce_data()
    {
        QTest::addColumn<UpdateSequence::State>("at");
        // Ctrl-C while a file is read: "KILL" never goes out.
        QTest::newRow("while the file is read") << UpdateSequence::State::Loading;
        QTest::newRow("while erasing") << UpdateSequence::State::Erasing;
    }

    void abortStopsAtOnce()
    {
        QFETCH(UpdateSequence::State, at);
        Run r;
        r.update.start(writeFile(kImage), r.instrument.slavePath());
        QTRY_COMPARE(r.update.state(), at);
        r.update.abort();
        QCOMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::Interrupted);
        QCOMPARE(r.outcome().eraseSent, at != UpdateSequence::State::Loading);
        QTest::qWait(50);
        QCOMPARE(r.eraseProgress.size() < 10, true);
        QCOMPARE(r.instrument.killCount(), at == UpdateSequence::State::Loading ? 0 : 1);
        QCOMPARE(r.instrument.linesAfterKill(), QList<QByteArray>{});
    }

    // The product's timings: 100 ticks of 50 ms, then 1 s, so the first line
    // leaves no earlier than 6 s after "KILL" (the instrument needs its full
    // erase time). Told by what the sequence sets and the order of its
    // events, not by a clock: the erase ticks on a precise timer at the
    // configured interval, the acknowledgement is read on the last tick only,
    // and no line goes out before the hand-over's precise timer, started with
    // the configured delay, has run out.
    void realTimingsHoldTheInstrumentsEraseTime()
    {
        {
            FakeInstrument instrument;
            SerialLink link;
            UpdateSequence update(&link);
            QCOMPARE(update.timings().eraseTickInterval, std::chrono::milliseconds(50));
            QCOMPARE(update.timings().eraseTickCount, 100);
            QCOMPARE(update.timings().handOverDelay, std::chrono::milliseconds(1000));
            QSignalSpy eraseSent(&update, &UpdateSequence::eraseSent);
            update.start(writeFile("@F000\n31 40\nq\n"), instrument.slavePath());
            QVERIFY(eraseSent.wait());
            QVERIFY(update.eraseTimer().isActive());
            QCOMPARE(update.eraseTimer().intervalAsDuration(), std::chrono::milliseconds(50));
            QCOMPARE(update.eraseTimer().timerType(), Qt::PreciseTimer);
            update.abort();
        }

        FakeInstrument instrument;
        SerialLink link;
        UpdateSequence update(&link);
        const UpdateSequence::Timings timings{std::chrono::milliseconds(2), 7, std::chrono::milliseconds(30)};
        update.setTimings(timings);
        QSignalSpy finished(&update, &UpdateSequence::finished);
        QStringList events;
        connect(&update, &UpdateSequence::eraseProgress, this, [&](int tick) { events << u"tick %1"_s.arg(tick); });
        connect(&update, &UpdateSequence::eraseAcknowledged, this, [&] { events << u"acknowledged"_s; });
        // Writing begins where the hand-over's timer, set to the configured
        // delay, has run out, and nowhere else.
        connect(&update, &UpdateSequence::stateChanged, this, [&](UpdateSequence::State state) {
            if (state != UpdateSequence::State::Writing)
                return;
            QVERIFY(!update.handOverTimer().isActive());
            QVERIFY(update.handOverTimer().isSingleShot());
            QCOMPARE(update.handOverTimer().intervalAsDuration(), timings.handOverDelay);
            QCOMPARE(update.handOverTimer().timerType(), Qt::PreciseTimer);
            events << u"handed over"_s;
        });
        connect(&update, &UpdateSequence::lineSent, this, [&](int count) { events << u"line %1"_s.arg(count); });
        update.start(writeFile("@F000\n31 40\nq\n"), instrument.slavePath());
        QVERIFY(finished.wait());
        QCOMPARE(finished.first().at(0).value<UpdateSequence::Outcome>().kind, Kind::Success);
        QCOMPARE(events,
                 QStringList({u"tick 1"_s, u"tick 2"_s, u"tick 3"_s, u"tick 4"_s, u"tick 5"_s, u"tick 6"_s, u"tick 7"_s,
                              u"acknowledged"_s, u"handed over"_s, u"line 1"_s, u"line 2"_s, u"line 3"_s}));
        QCOMPARE(instrument.commands().size(), 4);
        QCOMPARE(instrument.commands().at(0).bytes, QByteArray("KILL"));
    }

    void recordFileRotated_data()
    {
        QTest::addColumn<QString>("rotation");
        QTest::addColumn<bool>("reopened");

        QTest::newRow("left in place") << u"none"_s << false;
        QTest::newRow("renamed") << u"rename"_s << true;
        QTest::newRow("deleted") << u"delete"_s << true;
        QTest::newRow("replaced by another file") << u"replace"_s << true;
        QTest::newRow("a directory in its place, then gone") << u"directory"_s << true;
    }

    // Log rotation moves or deletes the record file while the program runs:
    // the next record goes to the file the path names, whole, and says so.
    // One that cannot be written there is lost aloud, and the next tries again.
    void recordFileRotated()
    {
        QFETCH(QString, rotation);
        QFETCH(bool, reopened);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(u"records.jsonl"_s);
        const QString moved = path + u".1"_s;
        const auto lines = [](const QString &file) {
            QFile f(file);
            return f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>{"unreadable"};
        };
        RunRecord record;
        QVERIFY(record.open(path));
        QVERIFY(record.append({{u"unit"_s, 1}}));
        QVERIFY(record.notice().isEmpty());

        if (rotation == u"rename"_s || rotation == u"replace"_s)
            QVERIFY(QFile::rename(path, moved));
        if (rotation == u"delete"_s || rotation == u"directory"_s)
            QVERIFY(QFile::remove(path));
        QByteArray other;
        if (rotation == u"replace"_s) {
            other = "{\"other\":1}\n";
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(other) == other.size());
        }
        if (rotation == u"directory"_s) {
            QVERIFY(QDir().mkdir(path));
            QVERIFY(!record.append({{u"unit"_s, 2}}));
            QVERIFY2(record.error().contains(u"moved or deleted"_s), qPrintable(record.error()));
            QVERIFY(QDir().rmdir(path));
        }
        QVERIFY2(record.append({{u"unit"_s, 3}}), qPrintable(record.error()));
        QCOMPARE(record.notice().isEmpty(), !reopened);
        if (reopened)
            QVERIFY2(record.notice().contains(path), qPrintable(record.notice()));
        QVERIFY(record.append({{u"unit"_s, 4}}));
        QVERIFY(record.notice().isEmpty());

        const QByteArray kept
            = reopened ? other + "{\"unit\":3}\n{\"unit\":4}\n" : "{\"unit\":1}\n{\"unit\":3}\n{\"unit\":4}\n";
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), kept);
        if (QFile::exists(moved))
            QCOMPARE(lines(moved), (QList<QByteArray>{"{\"unit\":1}", ""}));
    }
};

WEXEL_REGISTER_TEST(UpdateSequenceTest)
#include "tst_update.moc"
