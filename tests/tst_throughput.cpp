// A file of 200,000 lines through each front end: every line reaches the
// instrument as prepared, in order, and is answered. Long, so run apart from
// the fault tables (label "throughput").
#include "clitestsupport.h"
#include "eventwait.h"
#include "fakeinstrument.h"
#include "matrixsupport.h"
#include "recordingpresenter.h"
#include "testfiles.h"
#include "testregistry.h"
#include "testtimings.h"

#include "desktop/main_mdi.h"
#include "desktop/panels/main_form.h"
#include "desktop/panels/portlist.h"
#include "desktop/panels/set_form.h"
#include "desktop/updatepresenter.h"
#include "sim/memoryimage.h"

#include <QFile>
#include <QJsonObject>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace CliTestSupport;
using namespace MatrixSupport;
using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kLines = 200000;
// Generous: a line takes well under a millisecond even on a loaded machine.
constexpr int kTimeoutMs = 120000;

QByteArray bigFile()
{
    return lines(kLines, "\r\n") + "q\r\n";
}

} // namespace

class ThroughputTest : public QObject
{
    Q_OBJECT

private slots:
    void desktop()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(u"fw.txt"_s);
        const QByteArray content = bigFile();
        QVERIFY(TestFiles::writeFile(file, content));
        RecordingPresenter messages;
        FakeInstrument instrument;
        Main_MDI frame(&messages, fastTimings());
        Main_Form *main = frame.mainForm();
        main->CWSerial->setReadTimeout(std::chrono::milliseconds(3000));
        main->chooseFile(file);
        frame.setForm()->COM_PORT_LIST->setEditText(instrument.slavePath());
        QSignalSpy finished(main->update(), &UpdateSequence::finished);
        QSignalSpy acknowledged(main->update(), &UpdateSequence::lineAcknowledged);
        main->Doownload_BUTT->click();
        WEXEL_TRY_VERIFY_WITH_TIMEOUT(finished.size() == 1, kTimeoutMs);

        QCOMPARE(messages.messages.size(), 1);
        QCOMPARE(messages.messages.last().prompt, u"Update OK"_s);
        const QByteArrayList sent = sentLines(content);
        QCOMPARE(sent.size(), kLines + 1);
        QCOMPARE(instrument.killCount(), 1);
        QCOMPARE(instrument.linesAfterKill(), sent);
        QCOMPARE(acknowledged.size(), sent.size());
        QCOMPARE(main->Download_Bar->value(), 100);
        QCOMPARE(main->Code_line->text(), QString::number(kLines + 1));
    }

    void cli()
    {
        QVERIFY2(QFileInfo(cliPath()).isExecutable(), qPrintable(cliPath()));
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(u"fw.txt"_s);
        const QByteArray content = bigFile();
        QVERIFY(TestFiles::writeFile(file, content));
        Simulator sim;
        QVERIFY(sim.start());
        QProcess process;
        process.start(cliPath(),
                      fastCliTimings(3000) + QStringList{file, u"--quiet"_s, u"--json"_s, u"--port"_s, sim.device()});
        QByteArray out;
        connect(&process, &QProcess::readyReadStandardOutput, this, [&] { out += process.readAllStandardOutput(); });
        QVERIFY(EventWait::until([&] { return process.state() == QProcess::NotRunning; }, kTimeoutMs));
        out += process.readAllStandardOutput();
        const QByteArray err = process.readAllStandardError();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QVERIFY2(process.exitCode() == 0, err.constData());
        QVERIFY2(err.startsWith("Update OK\n"), err.constData());
        QVERIFY2(err.contains("200001 of 200001 lines written"), err.constData());

        // What the instrument holds is what the file says, line for line.
        const QByteArrayList sent = sentLines(content);
        MemoryImage expected;
        for (const QByteArray &line : sent)
            expected.addLine(line.toStdString());
        const QJsonObject summary = sim.summary();
        QCOMPARE(summary.value(u"erase_count"_s).toInt(), 1);
        QCOMPARE(summary.value(u"lines_received"_s).toInt(), kLines + 1);
        QCOMPARE(summary.value(u"checksum"_s).toString(), checksumText(expected.checksum()));
        QCOMPARE(summary.value(u"data_bytes"_s).toInteger(), qint64(expected.dataBytes()));
        QCOMPARE(summary.value(u"end_line_seen"_s).toBool(), true);
    }
};

WEXEL_REGISTER_TEST(ThroughputTest)
#include "tst_throughput.moc"
