#include "cli/checkcommand.h"

#include "cli/clioptions.h"
#include "cli/exitcode.h"
#include "cli/jsonreporter.h"
#include "cli/outputchannel.h"
#include "core/firmware/firmwareimage.h"
#include "core/common/enumname.h"
#include "core/common/printablebytes.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace CheckCommand {

int run(const CliOptions &options)
{
    ImageProblem problem;
    const FirmwareImage image = FirmwareImage::load(options.fileName, &problem);
    const ImageSummary &summary = image.summary();
    const int exitCode = problem.refused() ? ExitCode::kUntouched : ExitCode::kSuccess;
    if (options.json) {
        QJsonArray ranges;
        for (const QString &range : summary.rangesText().split(u' ', Qt::SkipEmptyParts))
            ranges.append(range);
        QJsonObject event{{u"event"_s, u"check"_s},
                          {u"file"_s, options.fileName},
                          {u"ok"_s, !problem.refused()},
                          {u"exit"_s, exitCode}};
        if (problem.refused()) {
            event.insert(u"problem"_s, enumName(problem.kind));
            event.insert(u"cause"_s, problem.describe(options.fileName));
        } else {
            event.insert(u"lines"_s, double(summary.linesInFile));
            event.insert(u"lines_to_send"_s, double(summary.linesToSend));
            event.insert(u"address_lines"_s, double(summary.addressLines));
            event.insert(u"data_lines"_s, double(summary.dataLines));
            event.insert(u"data_bytes"_s, double(summary.dataBytes));
            event.insert(u"address_ranges"_s, ranges);
            event.insert(u"end_line"_s, summary.endLine);
            event.insert(u"sha256"_s, QString::fromLatin1(summary.sha256));
        }
        JsonReporter(OutputChannel::standardOutput()).writeEvent(event);
    }
    if (problem.refused()) {
        const QString shown = printableText(options.fileName);
        OutputChannel::standardError().write(
            textWithCauses(u"%1: would be refused"_s.arg(shown), {problem.describe(shown)}).toLocal8Bit());
        return exitCode;
    }
    if (!options.json) {
        const QString text = uR"(%1: would be sent
  lines in the file:  %2
  lines to send:      %3 (up to and including the end line)
  address lines:      %4
  data lines:         %5
  data bytes:         %6 (odd lines with their pad byte FF)
  address ranges:     %7
  end line:           %8
  SHA-256:            %9
)"_s.arg(printableText(options.fileName))
                                 .arg(summary.linesInFile)
                                 .arg(summary.linesToSend)
                                 .arg(summary.addressLines)
                                 .arg(summary.dataLines)
                                 .arg(summary.dataBytes)
                                 .arg(summary.rangesText())
                                 .arg(summary.endLine ? u"yes"_s : u"no: every line is sent"_s)
                                 .arg(QString::fromLatin1(summary.sha256));
        OutputChannel::standardOutput().write(text.toLocal8Bit());
    }
    return exitCode;
}

} // namespace CheckCommand
