// The update sequence against an instrument on a pseudo-terminal: what the
// instrument receives, in what order and when, and how each end is reported.
#include "eventwait.h"
#include "fakeinstrument.h"
#include "matrixsupport.h"
#include "testfiles.h"
#include "testregistry.h"
#include "testtimings.h"

#include "core/firmware/firmwareline.h"
#include "core/link/linktest.h"
#include "core/link/portholder.h"
#include "core/link/seriallink.h"
#include "core/update/runrecord.h"
#include "core/update/updatesequence.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <functional>

#include <sys/stat.h>

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

// A file of 21 lines, the end line last, as every front end's faults use it.
const QByteArray kFile = MatrixSupport::lines(20) + "q\n";
// More bytes than any answer, and no '*' among them.
const QByteArray kFlood(100000, 'x');

// What each kind of end tells the user, worded as the instrument's makers did.
Message messageOf(Kind kind)
{
    switch (kind) {
    case Kind::Success:
        return {u"Update OK"_s, u"Update OK"_s, Message::Icon::Information};
    case Kind::NoFile:
        return {u"No open file."_s, u"Code Download error"_s, Message::Icon::Critical};
    case Kind::NoPort:
        return {u"Please setting COM PORT"_s, u"COM PORT ERROR"_s, Message::Icon::Critical};
    case Kind::EraseRefused:
    case Kind::EraseFailed:
        return {u"Erese is error"_s, u"Error"_s, Message::Icon::Critical};
    default:
        return {u"Code Downloading is error."_s, u"Code Download error"_s, Message::Icon::Critical};
    }
}

// One fault of the port, the instrument or the file, and all the update
// makes of it. Each front end shows these outcomes; here they are decided.
struct Fault
{
    const char *name = nullptr;
    QByteArray file = kFile;
    std::function<void(FakeInstrument &)> instrument = [](FakeInstrument &) {};
    // Empty: the instrument's device. "<empty>" (no port text), "<missing>",
    // "<regular>" (a regular file), "<held>" (open in a link of another
    // program), "<cat>" (read by a program that takes no lock), or a port
    // text as it stands.
    QString port = {};
    // "<none>" (no file chosen), "<missing>", "<dir>" (a directory at the path).
    QString fileAs = {};
    // Done to the file once "KILL" has gone out.
    std::function<void(const QString &)> whileErasing = {};
    Kind kind = Kind::Success;
    // The file's first lines, as prepared, that the instrument got after
    // "KILL", and nothing else; -1: not a byte reached it; -2: as the
    // pseudo-terminal delivers.
    int sent = 21;
    int failedLine = 0;
    int acknowledged = -1; // -1: every line sent
    QByteArray reply = {};
    QByteArray endReply = {}; // null: the end line got no answer, or was not sent
    int outOfStepAfter = 0; // -1: as the pseudo-terminal delivers
    qint64 discarded = 0; // -1: as the pseudo-terminal delivers
    LinkError::Kind linkError = LinkError::Kind::None;
    QString cause = {}; // part of the causes told
    // False: the erase wait ends before its last tick (the line went dead).
    bool eraseWaitRuns = true;
    int readTimeoutMs = 300;
    int handOverMs = 0; // when not the fast one
};

QList<Fault> faultCatalogue()
{
    using L = LinkError::Kind;
    const QByteArray tooLong = "bytes without \"*\", beginning \"xxxx";
    QByteArray longLines = "@F000\n";
    for (int i = 0; i < 3; ++i)
        longLines += QByteArray(100000, "ABC"[i]) + "\n";
    longLines += "q\n";
    return {
        {.name = "every line answered", .endReply = "END*", .cause = u"21 of 21 lines written"_s},
        // Nothing chosen, nothing given: nothing is sent.
        {.name = "no file chosen",
         .fileAs = u"<none>"_s,
         .kind = Kind::NoFile,
         .sent = -1,
         .cause = u"no firmware file was given"_s},
        {.name = "port text empty",
         .port = u"<empty>"_s,
         .kind = Kind::NoPort,
         .sent = -1,
         .cause = u"the port text is empty"_s},
        // The port.
        {.name = "port missing",
         .port = u"<missing>"_s,
         .kind = Kind::PortError,
         .sent = -1,
         .linkError = L::NoSuchPort,
         .cause = u"no-such-port: no such port"_s},
        // Only the link test has a limit: the update looks for port 300.
        {.name = "COM 300 has no limit for the update",
         .port = u"COM 300"_s,
         .kind = Kind::PortError,
         .sent = -1,
         .linkError = L::NoSuchPort,
         .cause = u"/dev/ttyS299: no such port"_s},
        {.name = "port is a regular file",
         .port = u"<regular>"_s,
         .kind = Kind::PortError,
         .sent = -1,
         .linkError = L::OpenFailed,
         .cause = u"cannot be used as a serial port"_s},
        {.name = "port held by another program",
         .port = u"<held>"_s,
         .kind = Kind::PortError,
         .sent = -1,
         .linkError = L::Busy,
         .cause = u"the port is busy"_s},
        // It would take the instrument's answers: refused before "KILL", named.
        {.name = "port read by a program that takes no lock",
         .port = u"<cat>"_s,
         .kind = Kind::PortError,
         .sent = -1,
         .linkError = L::Busy,
         .cause = u"the port is busy, in use by cat (process"_s},
        // The file: read whole and checked before "KILL".
        {.name = "file missing",
         .fileAs = u"<missing>"_s,
         .kind = Kind::FileError,
         .sent = -1,
         .cause = u"fw.txt: no such file"_s},
        {.name = "file is a directory",
         .fileAs = u"<dir>"_s,
         .kind = Kind::FileError,
         .sent = -1,
         .cause = u"is a directory, not a firmware file"_s},
        {.name = "empty file", .file = {}, .kind = Kind::FileError, .sent = -1, .cause = u"the file is empty"_s},
        // Longer than any line the instrument takes.
        {.name = "lines of 100,000 characters",
         .file = longLines,
         .kind = Kind::FileError,
         .sent = -1,
         .cause = u"line 2: "_s},
        // A change while the instrument erases does not change what is sent.
        {.name = "file replaced while erasing",
         .whileErasing =
             [](const QString &f) {
                 if (!TestFiles::writeFile(f, "@1F000\n11 22\nQ\n"))
                     qFatal("cannot replace the file");
             },
         .endReply = "END*"},
        {.name = "file deleted while erasing",
         .whileErasing = [](const QString &f) { QFile::remove(f); },
         .endReply = "END*"},
        {.name = "end line in the middle",
         .file = "@F000\n31 40\nq\n32 41\n33 42\n",
         .sent = 3,
         .endReply = "END*",
         .cause = u"3 of 3 lines written"_s},
        {.name = "no end line",
         .file = MatrixSupport::lines(8),
         .sent = 8,
         .cause = u"the file has no end line (q): every line was sent"_s},
        // The erase, answered on the last tick of its wait.
        {.name = "erase refused",
         .instrument = [](FakeInstrument &i) { i.erase = FakeInstrument::Erase::Refuse; },
         .kind = Kind::EraseRefused,
         .sent = 0,
         .reply = "NG*",
         .cause = u"answered the erase command \"KILL\" with \"NG*\" instead of \"*\""_s},
        {.name = "erase refusal in pieces, the read waiting",
         .instrument =
             [](FakeInstrument &i) {
                 i.eraseDelayMs = 30;
                 i.eraseReplyPieces = {"N", "G", "*"};
             },
         .kind = Kind::EraseRefused,
         .sent = 0,
         .reply = "NG*"},
        // The instrument erased; the update cannot know, and refuses the answer.
        {.name = "extra bytes before the erase acknowledgement",
         .instrument =
             [](FakeInstrument &i) {
                 i.eraseReplyPieces = {"x", "*"};
             },
         .kind = Kind::EraseRefused,
         .sent = 0,
         .reply = "x*",
         .cause = u"with \"x*\" instead of \"*\""_s},
        {.name = "erase silent",
         .instrument = [](FakeInstrument &i) { i.erase = FakeInstrument::Erase::Silent; },
         .kind = Kind::EraseFailed,
         .sent = 0,
         .linkError = L::Timeout,
         .cause = u"no answer to the erase command \"KILL\": "_s},
        {.name = "erase hang-up",
         .instrument = [](FakeInstrument &i) { i.erase = FakeInstrument::Erase::HangUp; },
         .kind = Kind::EraseFailed,
         .sent = 0,
         .linkError = L::HangUp,
         .cause = u"hung up"_s,
         .eraseWaitRuns = false},
        {.name = "erase answered with a flood and no '*'",
         .instrument = [](FakeInstrument &i) { i.eraseReplyPieces = {kFlood}; },
         .kind = Kind::EraseFailed,
         .sent = 0,
         .linkError = L::ReplyTooLong,
         .cause = QString::fromLatin1(tooLong)},
        // Read once, on the last tick, where the early '*' has waited.
        {.name = "erase acknowledged early",
         .instrument = [](FakeInstrument &i) { i.eraseDelayMs = 0; },
         .endReply = "END*"},
        {.name = "erase acknowledged after the last tick, within the read time-out",
         .instrument = [](FakeInstrument &i) { i.eraseDelayMs = 60; },
         .endReply = "END*"},
        // The write phase.
        {.name = "refused at the first line",
         .instrument = [](FakeInstrument &i) { i.refuseLine = 1; },
         .kind = Kind::WriteRefused,
         .sent = 1,
         .failedLine = 1,
         .acknowledged = 0,
         .reply = "NG*",
         .cause = u"line 1 of 21 (\"@0F000\") was refused"_s},
        {.name = "refused at the tenth line",
         .instrument = [](FakeInstrument &i) { i.refuseLine = 10; },
         .kind = Kind::WriteRefused,
         .sent = 10,
         .failedLine = 10,
         .acknowledged = 9,
         .reply = "NG*",
         .cause = u"9 lines were acknowledged before it"_s},
        {.name = "refused at the last line of a file without end line",
         .file = MatrixSupport::lines(20),
         .instrument = [](FakeInstrument &i) { i.refuseLine = 20; },
         .kind = Kind::WriteRefused,
         .sent = 20,
         .failedLine = 20,
         .acknowledged = 19,
         .reply = "NG*",
         .cause = u"19 lines were acknowledged before it"_s},
        // "NG*" to the end line refuses the image.
        {.name = "end line refused",
         .instrument = [](FakeInstrument &i) { i.refuseLine = 21; },
         .kind = Kind::WriteRefused,
         .sent = 21,
         .failedLine = 21,
         .acknowledged = 20,
         .reply = "NG*",
         .endReply = "NG*",
         .cause = u"line 21 of 21 (\"q\") was refused"_s},
        {.name = "silent at line 5",
         .instrument = [](FakeInstrument &i) { i.silentLine = 5; },
         .kind = Kind::WriteFailed,
         .sent = 5,
         .failedLine = 5,
         .acknowledged = 4,
         .linkError = L::Timeout,
         .cause = u"got no acknowledgement: "_s},
        {.name = "garbage at line 7",
         .instrument = [](FakeInstrument &i) { i.garbageLine = 7; },
         .kind = Kind::WriteRefused,
         .sent = 7,
         .failedLine = 7,
         .acknowledged = 6,
         .reply = "\x15?#",
         .cause = u"answered \"\\x15?#\" instead of \"*\""_s},
        {.name = "line 3 answered with a flood and no '*'",
         .instrument = [](FakeInstrument &i) { i.lineReplies[3] = kFlood; },
         .kind = Kind::WriteFailed,
         .sent = 3,
         .failedLine = 3,
         .acknowledged = 2,
         .linkError = L::ReplyTooLong,
         .cause = QString::fromLatin1(tooLong)},
        {.name = "hang-up mid-update",
         .instrument = [](FakeInstrument &i) { i.hangUpAtLine = 12; },
         .kind = Kind::WriteFailed,
         .sent = 12,
         .failedLine = 12,
         .acknowledged = 11,
         .linkError = L::HangUp,
         .cause = u"hung up"_s},
        {.name = "every line answered late, within the read time-out",
         .instrument = [](FakeInstrument &i) { i.ackDelayMs = 60; },
         .endReply = "END*"},
        // A reply answers the command just sent, and each command gets one: a
        // spare '*' puts every later answer in doubt, and nothing more is
        // sent. Bytes without one are noise, discarded.
        {.name = "two acknowledgements in one read",
         .instrument = [](FakeInstrument &i) { i.lineReplies[3] = "**"; },
         .kind = Kind::OutOfStep,
         .sent = 3,
         .acknowledged = 3,
         .reply = "*",
         .outOfStepAfter = 3,
         .discarded = 1,
         .cause = u"fell out of step after line 3 of 21"_s},
        {.name = "acknowledgement followed by noise",
         .instrument = [](FakeInstrument &i) { i.lineReplies[3] = "*xy"; },
         .endReply = "END*",
         .discarded = 2,
         .cause = u"2 bytes from the instrument answered no command"_s},
        {.name = "spare '*' on the erase",
         .instrument = [](FakeInstrument &i) { i.eraseReplyPieces = {"**"}; },
         .kind = Kind::OutOfStep,
         .sent = 0,
         .reply = "*",
         .discarded = 1,
         .cause = u"fell out of step after the erase command"_s},
        // Noise that comes while the hand-over waits answers nothing, and is
        // no answer to the first line.
        {.name = "noise in the hand-over",
         .instrument =
             [](FakeInstrument &i) {
                 i.eraseDelayMs = 60;
                 // Pieces go 5 ms apart: "zz" 50 ms after the '*', apart from it.
                 i.eraseReplyPieces = QList<QByteArray>(10, QByteArray()) << "zz";
                 i.eraseReplyPieces.first() = "*";
             },
         .endReply = "END*",
         .discarded = 2,
         .cause = u"2 bytes from the instrument answered no command"_s,
         .handOverMs = 200},
        // Answered after the last tick, a second '*' 50 ms later: it arrives
        // while the hand-over waits.
        {.name = "spare '*' in the hand-over",
         .instrument =
             [](FakeInstrument &i) {
                 i.eraseDelayMs = 60;
                 i.spareAfterLine[0] = 50;
             },
         .kind = Kind::OutOfStep,
         .sent = 0,
         .discarded = 1,
         .cause = u"fell out of step after the erase command"_s,
         .handOverMs = 200},
        {.name = "spare '*' after the end line's answer",
         .instrument = [](FakeInstrument &i) { i.spareAfterLine[21] = 4; },
         .kind = Kind::OutOfStep,
         .sent = 21,
         .acknowledged = 20,
         .reply = "*",
         .endReply = "END*",
         .outOfStepAfter = 20,
         .cause = u"fell out of step after line 20 of 21"_s},
        // Each answer takes the instrument 40 ms, and a spare '*' 20 ms after
        // line 19's is taken for line 20's: its refusal then comes when the
        // end line awaits an answer, and the end line's own answer after
        // that, within the product's settle time.
        {.name = "late spare '*', then the last data line refused",
         .instrument =
             [](FakeInstrument &i) {
                 i.ackDelayMs = 40;
                 i.spareAfterLine[19] = 20;
                 i.refuseLine = 20;
             },
         .kind = Kind::OutOfStep,
         .sent = -2,
         .acknowledged = -2,
         .reply = "?",
         .endReply = "?",
         .outOfStepAfter = -1,
         .discarded = -1,
         .cause = u"fell out of step after line"_s,
         .readTimeoutMs = 3000},
    };
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
        if (!TestFiles::writeFile(name, content))
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
        WEXEL_TRY_COMPARE(r.finished.size(), 1);
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
        WEXEL_TRY_COMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::Success);
        QList<double> percents;
        for (const auto &args : std::as_const(r.lineSent))
            percents << args.at(2).toDouble();
        QCOMPARE(percents, (QList<double>{25, 50, 75, 100}));
    }

    void faults_data()
    {
        QTest::addColumn<int>("row");
        const QList<Fault> all = faultCatalogue();
        for (int i = 0; i < all.size(); ++i)
            QTest::newRow(all.at(i).name) << i;
    }

    void faults()
    {
        QFETCH(int, row);
        const Fault f = faultCatalogue().at(row);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QString file = dir.filePath(u"fw.txt"_s);
        if (f.fileAs == u"<dir>")
            QVERIFY(QDir().mkdir(file));
        else if (f.fileAs == u"<none>")
            file.clear();
        else if (f.fileAs != u"<missing>")
            QVERIFY(TestFiles::writeFile(file, f.file));
        const QStringList descriptorsBefore = MatrixSupport::openDescriptors();
        {
            Run r;
            QVERIFY(r.instrument.isValid());
            f.instrument(r.instrument);
            r.link.setReadTimeout(std::chrono::milliseconds(f.readTimeoutMs));
            if (f.handOverMs > 0) {
                UpdateSequence::Timings timings = fastTimings();
                timings.handOverDelay = std::chrono::milliseconds(f.handOverMs);
                r.update.setTimings(timings);
            }
            SerialLink holder; // another program's link, for a port in use
            QProcess reader; // a program that takes no lock
            QString port = f.port.isEmpty() ? r.instrument.slavePath() : f.port;
            if (port == u"<empty>") {
                port.clear();
            } else if (port == u"<missing>") {
                port = dir.filePath(u"no-such-port"_s);
            } else if (port == u"<regular>") {
                port = dir.filePath(u"not-a-port"_s);
                QVERIFY(TestFiles::writeFile(port, "not a port"));
            } else if (port == u"<held>") {
                port = r.instrument.slavePath();
                holder.setDevicePath(port);
                QVERIFY(holder.configure());
            } else if (port == u"<cat>") {
                port = r.instrument.slavePath();
                reader.start(u"cat"_s, {port});
                QVERIFY(reader.waitForStarted());
                WEXEL_TRY_VERIFY(!otherProcessUsing(port).isEmpty());
            }
            // The answer to the erase is judged on its wait's last tick, and
            // not before: the ticks counted when it was.
            int ticksWhenJudged = -1;
            const auto judged = [&] {
                if (ticksWhenJudged < 0)
                    ticksWhenJudged = int(r.eraseProgress.size());
            };
            connect(&r.update, &UpdateSequence::eraseAcknowledged, this, judged);
            connect(&r.update, &UpdateSequence::finished, this, judged);
            if (f.whileErasing)
                connect(&r.update, &UpdateSequence::eraseSent, this, [&] { f.whileErasing(file); });

            r.update.start(file, port);
            WEXEL_TRY_VERIFY_WITH_TIMEOUT(r.finished.size() == 1, 10000);
            EventWait::forMs(30);
            QCOMPARE(r.finished.size(), 1); // reported once
            QCOMPARE(r.update.state(), UpdateSequence::State::Ready);
            reader.kill();
            reader.waitForFinished();

            const auto outcome = r.outcome();
            const QString causes = outcome.causes().join(u'\n');
            QVERIFY2(outcome.kind == f.kind, qPrintable(causes));
            QCOMPARE(outcome.message, messageOf(f.kind));
            QCOMPARE(outcome.eraseSent, f.sent != -1);
            QCOMPARE(outcome.failedLine, f.failedLine);
            if (f.acknowledged >= -1)
                QCOMPARE(outcome.linesAcknowledged, f.acknowledged == -1 ? std::max(f.sent, 0) : f.acknowledged);
            if (f.reply != "?")
                QCOMPARE(outcome.reply, f.reply);
            if (f.endReply != "?") {
                QCOMPARE(outcome.endReply, f.endReply);
                QCOMPARE(r.endReply.size(), f.endReply.isNull() ? 0 : 1);
            }
            if (f.kind == Kind::OutOfStep && f.outOfStepAfter >= 0)
                QCOMPARE(outcome.outOfStepAfter, f.outOfStepAfter);
            if (f.discarded >= 0)
                QCOMPARE(outcome.bytesDiscarded, f.discarded);
            if (f.kind == Kind::PortError || f.kind == Kind::EraseFailed || f.kind == Kind::WriteFailed)
                QCOMPARE(outcome.linkError.kind, f.linkError);

            // The causes name the fault, whatever the instrument sent stays
            // readable, and a failure says whether the instrument was touched.
            QVERIFY2(causes.contains(f.cause), qPrintable(causes));
            QVERIFY2(causes.size() < 2048, qPrintable(causes.left(4096)));
            if (f.kind != Kind::Success) {
                const QString touched
                    = f.sent == -1 ? u"the instrument was not touched"_s : u"the instrument may be erased"_s;
                QVERIFY2(causes.contains(touched), qPrintable(causes));
            }

            // What reached the instrument: "KILL" once, then the file's lines
            // as prepared, in order, up to the one the update ended on.
            if (f.sent == -1) {
                QCOMPARE(r.instrument.received(), QByteArray());
                QCOMPARE(r.eraseProgress.size(), 0);
            } else {
                QCOMPARE(r.instrument.commands().first().bytes, QByteArray("KILL"));
                QCOMPARE(r.instrument.killCount(), 1);
                if (f.eraseWaitRuns)
                    QCOMPARE(ticksWhenJudged, fastTimings().eraseTickCount);
            }
            if (f.sent >= 0) {
                const QByteArrayList expected = MatrixSupport::sentLines(f.file).mid(0, f.sent);
                QCOMPARE(expected.size(), f.sent);
                QCOMPARE(r.instrument.linesAfterKill(), expected);
                QCOMPARE(r.lineSent.size(), f.sent);
            }
        }
        // The port and the file are closed again, whatever happened.
        QCOMPARE(MatrixSupport::openDescriptors(), descriptorsBefore);
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
        WEXEL_TRY_COMPARE(tested.size(), 1);
        QCOMPARE(tested.first().at(0).value<LinkTestOutcome>().kind, LinkTestOutcome::Kind::Failed);
        r.update.start(writeFile(kImage), r.instrument.slavePath());
        WEXEL_TRY_COMPARE(r.finished.size(), 1);
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
        WEXEL_TRY_COMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::WriteRefused);
        r.instrument.refuseLine = 0;
        r.instrument.clearReceived();
        r.update.start(file, r.instrument.slavePath());
        WEXEL_TRY_COMPARE(r.finished.size(), 2);
        QCOMPARE(r.outcome().kind, Kind::Success);
        QCOMPARE(r.instrument.commands().first().bytes, QByteArray("KILL"));
        QCOMPARE(r.instrument.linesAfterKill().size(), 13);
    }

    void splitEndReplyIsJoined()
    {
        Run r;
        r.instrument.endReply = QByteArrayLiteral("DO");
        r.update.start(writeFile("@F000\n31 40\nq\n"), r.instrument.slavePath());
        WEXEL_TRY_COMPARE(r.lineSent.size(), 3);
        EventWait::forMs(20);
        r.instrument.send("NE*");
        WEXEL_TRY_COMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::Success);
        QCOMPARE(r.endReply.first().at(0).toByteArray(), QByteArray("DONE*"));
    }

    void bytesGoOutUnchanged()
    {
        Run r;
        // Lower case is the file's own: no byte is turned into another.
        const QByteArray line = "a0 b1 c2 d3 e4 f5 "; // a trailing space is trimmed
        r.update.start(writeFile("@f000\n" + line + "\nq\n"), r.instrument.slavePath());
        WEXEL_TRY_COMPARE(r.finished.size(), 1);
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
        WEXEL_TRY_COMPARE(r.update.state(), at);
        r.update.abort();
        QCOMPARE(r.finished.size(), 1);
        QCOMPARE(r.outcome().kind, Kind::Interrupted);
        QCOMPARE(r.outcome().eraseSent, at != UpdateSequence::State::Loading);
        EventWait::forMs(50);
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

    void recordOnDisk_data()
    {
        QTest::addColumn<int>("syncError"); // errno of a failing sync, 0 when it succeeds
        QTest::addColumn<bool>("cutShort"); // the first write takes half, the next fails for want of space
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QByteArray>("kept");
        QTest::addColumn<int>("error"); // errno append() reports, 0 when it succeeds

        const QByteArray both = "{\"unit\":1}\n{\"unit\":2}\n";
        QTest::newRow("written whole, then synced")
            << 0 << false << QStringList{u"write 11"_s, u"sync at 22 bytes"_s} << both << 0;
        QTest::newRow("sync fails") << EIO << false << QStringList{u"write 11"_s, u"sync at 22 bytes"_s} << both << EIO;
        QTest::newRow("cut short: taken back, never synced")
            << 0 << true << QStringList{u"write 11"_s, u"write 6"_s} << QByteArray("{\"unit\":1}\n") << ENOSPC;
    }

    // A record is on the disk before its outcome is reported: a power cut
    // after the result was shown must not lose it. A record that cannot be
    // put there is lost aloud, on the outcome it belongs to.
    void recordOnDisk()
    {
        QFETCH(int, syncError);
        QFETCH(bool, cutShort);
        QFETCH(QStringList, calls);
        QFETCH(QByteArray, kept);
        QFETCH(int, error);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(u"records.jsonl"_s);
        RunRecord record;
        QVERIFY(record.open(path));
        QVERIFY(record.append({{u"unit"_s, 1}}));

        const RunRecord::FileSystem system = RunRecord::systemFileSystem();
        QStringList seen;
        bool wasCut = false;
        record.setFileSystem({[&](int fd, const char *data, qint64 size) -> qint64 {
                                  seen << u"write %1"_s.arg(size);
                                  if (cutShort && wasCut) {
                                      wasCut = false;
                                      errno = ENOSPC;
                                      return -1;
                                  }
                                  wasCut = cutShort;
                                  return system.write(fd, data, cutShort ? size / 2 : size);
                              },
                              [&](int fd) {
                                  struct stat info
                                  { };
                                  seen << u"sync at %1 bytes"_s.arg(::fstat(fd, &info) == 0 ? qint64(info.st_size)
                                                                                            : -1);
                                  if (syncError != 0) {
                                      errno = syncError;
                                      return -1;
                                  }
                                  return system.sync(fd);
                              }});
        QCOMPARE(record.append({{u"unit"_s, 2}}), error == 0);
        QCOMPARE(seen, calls);
        if (error != 0)
            QCOMPARE(record.error(), u"%1: %2"_s.arg(path, QString::fromLocal8Bit(std::strerror(error))));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), kept);

        UpdateOutcome outcome;
        record.appendOutcome(outcome, {});
        QCOMPARE(outcome.recordError, error == 0 ? QString() : record.error());
    }

    // The history is kept beside the record file: each gets the same
    // record, and a record either loses is lost on the outcome, with its reason.
    void recordsGoToTheKeeperToo_data()
    {
        QTest::addColumn<QString>("file"); // none, kept, lost
        QTest::addColumn<bool>("keeperKeeps");
        QTest::addColumn<QString>("recordError");

        const QString full = QString::fromLocal8Bit(std::strerror(ENOSPC));
        QTest::newRow("the history alone, kept") << u"none"_s << true << QString();
        QTest::newRow("the history alone, lost") << u"none"_s << false << u"history full"_s;
        QTest::newRow("both, the history's lost") << u"kept"_s << false << u"history full"_s;
        QTest::newRow("both, the file's lost") << u"lost"_s << true << u"FILE: "_s + full;
        QTest::newRow("both lost") << u"lost"_s << false << u"FILE: "_s + full + u"; history full"_s;
    }

    void recordsGoToTheKeeperToo()
    {
        QFETCH(QString, file);
        QFETCH(bool, keeperKeeps);
        QFETCH(QString, recordError);

        struct Keeper : RecordKeeper
        {
            bool keeps = true;
            QList<QJsonObject> given;
            bool keep(const QJsonObject &record, QString *error) override
            {
                given << record;
                if (!keeps)
                    *error = u"history full"_s;
                return keeps;
            }
        } keeper;
        keeper.keeps = keeperKeeps;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(u"records.jsonl"_s);
        RunRecord record;
        if (file != u"none"_s)
            QVERIFY(record.open(path));
        if (file == u"lost"_s)
            record.setFileSystem({[](int, const char *, qint64) -> qint64 {
                                      errno = ENOSPC;
                                      return -1;
                                  },
                                  [](int) { return 0; }});
        record.setKeeper(&keeper);
        QVERIFY(record.isActive());

        UpdateOutcome outcome = UpdateSequence::outcomeFor(UpdateOutcome::Kind::Success);
        outcome.portText = u"COM 3"_s;
        record.appendOutcome(outcome, {});
        QCOMPARE(outcome.recordError, QString(recordError).replace(u"FILE"_s, path));
        QCOMPARE(keeper.given.size(), 1);
        QCOMPARE(keeper.given.first().value(u"port"_s).toString(), u"COM 3"_s);
        if (file == u"kept"_s) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(QJsonDocument::fromJson(f.readAll()).object(), keeper.given.first());
        }
    }
};

WEXEL_REGISTER_TEST(UpdateSequenceTest)
#include "tst_update.moc"
