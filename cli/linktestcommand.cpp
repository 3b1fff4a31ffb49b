#include "cli/linktestcommand.h"

#include "cli/clioptions.h"
#include "cli/exitcode.h"
#include "cli/jsonreporter.h"
#include "cli/lowlatencyreporter.h"
#include "cli/outcomereport.h"
#include "cli/printablebytes.h"
#include "link/portnumber.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

LinkTestCommand::LinkTestCommand(const CliOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    m_link.setReadTimeout(options.readTimeout);
    new LowLatencyReporter(&m_link, options, this);
    connect(&m_test, &LinkTest::finished, this, &LinkTestCommand::handleFinished);
}

void LinkTestCommand::start()
{
    if (!m_finished)
        m_test.start(m_options.portText);
}

void LinkTestCommand::interrupt()
{
    if (m_finished)
        return;
    m_link.close();
    report(false, u"Link test interrupted"_s, u"Fail"_s, {u"the instrument was not touched"_s},
           ExitCode::kInterrupted);
}

void LinkTestCommand::handleFinished(LinkTest::Result result, const QByteArray &reply)
{
    if (m_finished)
        return;
    switch (result) {
    case LinkTest::Result::Reply:
        report(true, QString::fromLatin1(printableBytes(reply)), {},
               {u"%1 answered \"ARC*\""_s.arg(m_link.deviceName())}, ExitCode::kSuccess, reply);
        return;
    case LinkTest::Result::PortAboveLimit: {
        const double port = ParsePortNumber(m_options.portText).value_or(0);
        report(false, u"COM PORT > 255"_s, u"COM PORT Setting error."_s,
               {u"COM %1 is above the link test's limit of COM %2; the port was not opened"_s.arg(port).arg(
                   LinkTest::kMaxPortNumber)},
               ExitCode::kLinkTestFailed);
        return;
    }
    case LinkTest::Result::Failed:
    case LinkTest::Result::Cancelled: {
        const SerialLink::Error &error = m_link.error();
        const QString cause = error.kind == SerialLink::Error::Kind::None
            ? u"the port text \"%1\" names no port"_s.arg(m_options.portText.left(40))
            : error.describe();
        report(false, u"TEST ERROR!!"_s, u"Fail"_s, {cause}, ExitCode::kLinkTestFailed);
        return;
    }
    }
}

void LinkTestCommand::report(bool ok, const QString &message, const QString &title, const QStringList &causes,
                             int exitCode, const QByteArray &reply)
{
    m_finished = true;
    if (ok) {
        // The reply is the data a script asked for: on standard output, escaped.
        if (!m_options.json) {
            const QByteArray line = printableBytes(reply) + '\n';
            std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        }
    } else {
        QByteArray text = message.toLocal8Bit() + '\n';
        for (const QString &cause : causes)
            text += "  " + cause.toLocal8Bit() + '\n';
        std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    }
    if (m_options.json) {
        JsonReporter json(stdout);
        if (ok) {
            QJsonObject event{{u"event"_s, u"link-reply"_s}, {u"device"_s, m_link.deviceName()}};
            JsonReporter::addBytes(event, u"reply"_s, reply);
            json.writeEvent(event);
        }
        QJsonObject result{{u"event"_s, u"result"_s},
                           {u"ok"_s, ok},
                           {u"message"_s, message},
                           {u"exit"_s, exitCode},
                           {u"cause"_s, QJsonArray::fromStringList(causes)}};
        if (!title.isEmpty())
            result.insert(u"title"_s, title);
        if (const SerialLink::Error &error = m_link.error(); !ok && error.kind != SerialLink::Error::Kind::None) {
            result.insert(u"port_error"_s, OutcomeReport::linkErrorName(error.kind));
            result.insert(u"port_error_text"_s, error.describe());
        }
        json.writeEvent(result);
    }
    emit done(exitCode);
}
