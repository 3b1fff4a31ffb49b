// The desktop program's command line where there is no display, as on a
// build machine making the manual page from --help: help, version and
// mistakes are answered without a window, and Qt's own options still reach
// QApplication.
#include "clitestsupport.h"
#include "eventwait.h"
#include "testregistry.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

using namespace CliTestSupport;
using namespace Qt::Literals::StringLiterals;

class DesktopCommandLineTest : public QObject
{
    Q_OBJECT

private slots:
    void withoutDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("outputHas");
        QTest::addColumn<QByteArray>("errorHas");

        const QString version = u"wexel-update " WEXEL_VERSION "\n"_s;
        QTest::newRow("help") << QStringList{u"--help"_s} << 0
                              << QStringList{u"Usage: wexel-update [options]\n"_s,
                                             u"-h, --help"_s,
                                             u"-v, --version"_s,
                                             u"--port <TEXT>"_s,
                                             u"--file <PATH>"_s,
                                             u"--erase-tick-ms <N>"_s,
                                             u"--erase-ticks <N>"_s,
                                             u"--hand-over-ms <N>"_s,
                                             u"--read-timeout-ms <N>"_s}
                              << QByteArray();
        QTest::newRow("version") << QStringList{u"--version"_s} << 0 << QStringList{version} << QByteArray();
        QTest::newRow("unknown option") << QStringList{u"--bogus"_s} << 1 << QStringList()
                                        << QByteArray("wexel-update: Unknown option 'bogus'.");
        QTest::newRow("missing value") << QStringList{u"--file"_s} << 1 << QStringList()
                                       << QByteArray("Missing value after '--file'");
        // The waits are read as the command line reads them, before any window.
        QTest::newRow("wait out of range")
            << QStringList{u"--erase-ticks"_s, u"0"_s} << 1 << QStringList()
            << QByteArray("wexel-update: --erase-ticks: not a number from 1 to 32767: 0\nTry 'wexel-update --help'.");
        // Qt's option is taken by QApplication, which starts without a display
        // on the platform it names.
        QTest::newRow("Qt's option") << QStringList{u"-platform"_s, u"offscreen"_s, u"--version"_s} << 0
                                     << QStringList{version} << QByteArray();
    }

    void withoutDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QStringList, outputHas);
        QFETCH(QByteArray, errorHas);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &name : {u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s, u"QT_QPA_PLATFORM"_s})
            env.remove(name);
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(programPath(u"desktop/wexel-update"_s), arguments);
        WEXEL_TRY_COMPARE_WITH_TIMEOUT(program.state(), QProcess::NotRunning, kProcessTimeoutMs);
        const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
        const QByteArray err = program.readAllStandardError();
        QVERIFY2(program.exitStatus() == QProcess::NormalExit, err.constData());
        QVERIFY2(program.exitCode() == exitCode, err.constData());
        for (const QString &text : outputHas)
            QVERIFY2(out.contains(text), qPrintable(out));
        QVERIFY2(err.contains(errorHas), err.constData());
    }
};

WEXEL_REGISTER_TEST(DesktopCommandLineTest)

#include "tst_desktopcommandline.moc"
