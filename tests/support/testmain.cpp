// Runs the registered test classes: all of them, or the one named first on
// the command line (the rest of the arguments go to Qt Test). Binaries of
// tests below the widgets run without QtWidgets, on a QCoreApplication.
#include "testregistry.h"

#ifdef WEXEL_TESTS_WITH_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif
#include <QStringList>
#include <QTest>

#include <cstdio>
#include <cstring>

std::vector<RegisteredTest> &registeredTests()
{
    static std::vector<RegisteredTest> tests;
    return tests;
}

int main(int argc, char **argv)
{
    TestApplication app(argc, argv);
    QStringList args = app.arguments();
    QString only;
    if (args.size() > 1 && !args.at(1).startsWith(u'-')) {
        only = args.takeAt(1);
    }
    if (only == QStringLiteral("--list") || args.contains(QStringLiteral("--list-classes"))) {
        for (const auto &t : registeredTests())
            std::printf("%s\n", t.name);
        return 0;
    }
    int failures = 0;
    bool found = false;
    for (const auto &t : registeredTests()) {
        if (!only.isEmpty() && only != QLatin1String(t.name))
            continue;
        found = true;
        auto test = t.make();
        failures += QTest::qExec(test.get(), args);
    }
    if (!found) {
        std::fprintf(stderr, "no test class named %s\n", qPrintable(only));
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
