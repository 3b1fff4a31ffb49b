#pragma once

#include <QCommandLineParser>
#include <QLatin1StringView>
#include <QString>

#include <functional>
#include <optional>

// What a window program answers before QApplication exists, with the
// arguments as main() got them: QApplication cannot start without a
// display, and the manual pages are made from --help on build machines
// that have none. Reads the arguments into the parser (which already has
// the help and version options); prints the help (with helpTail after the
// options), the version or what is wrong, and gives the exit status. Gives
// nothing when the window is to open, or when only QApplication can tell:
// --help-all lists Qt's own options, and a mistake that may be one of Qt's
// one-dash options (-platform, -style ...) is left to it.
std::optional<int> answerBeforeStart(QCommandLineParser &parser, QLatin1StringView program, int argc,
                                     const char *const *argv, const QString &helpTail = {});

// The program's own check of its options, after answerBeforeStart gave
// nothing: `check` reads them and sets `error` when they are wrong. A
// mistake is said with the pointer to --help and gives the exit status;
// --help-all is left to QApplication unchecked.
std::optional<int> refuseBadOptions(const QCommandLineParser &parser, QLatin1StringView program,
                                    const std::function<bool()> &check, const QString &error);

// The arguments read for the window, once QApplication took its own: a
// mistake still found then ends the program.
void processOrExit(QCommandLineParser &parser, QLatin1StringView program, int argc, const char *const *argv,
                   const std::function<bool()> &check, const QString &error);
