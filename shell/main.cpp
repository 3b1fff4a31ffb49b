// The desktop program: builds the frame window and runs it.
#include "shell/main_mdi.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("wexel-update"));
    QApplication::setApplicationVersion(QStringLiteral(WEXEL_VERSION));
    Main_MDI frame;
    frame.show();
    return app.exec();
}
