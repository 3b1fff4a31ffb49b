// The desktop program: builds the frame window and runs it. With --port and
// --file the port box and the firmware file are filled in at start, so that
// a script can open the program ready to upload; without them it starts with
// nothing chosen.
#include "link/set_form.h"
#include "link/portlist.h"
#include "shell/main_form.h"
#include "shell/main_mdi.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("wexel-update"));
    QApplication::setApplicationVersion(QStringLiteral(WEXEL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Replaces the firmware of a test instrument over a serial port."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port text for the port box (\"COM 3\", /dev/ttyUSB0)."),
                                        QStringLiteral("TEXT"));
    const QCommandLineOption fileOption(QStringLiteral("file"), QStringLiteral("Firmware file to choose at start."),
                                        QStringLiteral("PATH"));
    const QCommandLineOption recordOption(
        QStringLiteral("record"),
        QStringLiteral("Append one JSON line per update to FILE (port, device, adapter, image and its SHA-256, "
                       "outcome, times). An update whose record file cannot be opened is not started."),
        QStringLiteral("FILE"));
    parser.addOption(portOption);
    parser.addOption(fileOption);
    parser.addOption(recordOption);
    parser.process(app);

    Main_MDI frame;
    if (parser.isSet(portOption))
        frame.setForm()->COM_PORT_LIST->setEditText(parser.value(portOption));
    if (parser.isSet(fileOption))
        frame.mainForm()->chooseFile(QFileInfo(parser.value(fileOption)).absoluteFilePath());
    if (parser.isSet(recordOption))
        frame.setRecordFile(QFileInfo(parser.value(recordOption)).absoluteFilePath());
    frame.show();
    return app.exec();
}
