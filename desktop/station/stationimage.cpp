#include "desktop/station/stationimage.h"

#include "core/common/counted.h"
#include "core/common/localpath.h"
#include "core/common/printablebytes.h"
#include "core/update/updatesequence.h"
#include "desktop/station/sha256text.h"

#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

StationImage::StationImage(QObject *parent)
    : QObject(parent)
{
    connect(&m_loader, &ImageLoader::loaded, this, &StationImage::handleLoaded);
}

void StationImage::choose(const QString &path)
{
    m_path = LocalPath::absolute(path);
    m_image = FirmwareImage();
    m_state = State::Reading;
    m_loader.load(m_path);
}

void StationImage::handleLoaded(const ImageLoader::Result &result)
{
    if (result.problem.refused()) {
        m_state = State::Refused;
        m_problem = result.problem;
    } else {
        m_state = State::Ready;
        m_image = result.image;
    }
    emit loaded();
}

QString StationImage::nameText() const
{
    return printableText(QFileInfo(m_path).fileName());
}

QString StationImage::pathText() const
{
    return printableText(m_path);
}

QString StationImage::summaryText() const
{
    switch (m_state) {
    case State::None:
        return {};
    case State::Reading:
        return tr("Reading and checking the image...");
    case State::Refused:
        return tr("Refused: %1").arg(m_problem.describe(printableText(m_path)));
    case State::Ready:
        break;
    }
    const ImageSummary &summary = m_image.summary();
    QString text = tr("%1 to send, %2 at %3")
                       .arg(counted(summary.linesToSend, u"line"), counted(summary.dataBytes, u"data byte"),
                            summary.rangesText());
    if (!summary.endLine)
        text += tr("; no end line (q): the instrument is not told that the image is complete");
    if (!summary.endRecord)
        text += u"; "_s + summary.endRecordWarning();
    return text;
}

QString StationImage::sha256Text() const
{
    return m_state == State::Ready ? QString::fromLatin1(m_image.summary().sha256) : QString();
}

QString StationImage::actualHash() const
{
    return QString::fromLatin1(m_image.summary().sha256).toLower();
}

StationImage::Comparison StationImage::comparison() const
{
    const QString expected = Sha256Text::hashOf(m_expected);
    if (expected.isEmpty())
        return {tr("(none given: any image that passes the check is sent)"), {}};
    if (!Sha256Text::isHash(expected))
        return {tr("not a SHA-256: 64 hexadecimal digits"), u"color: #c0221b; font-weight: bold;"_s};
    if (m_state != State::Ready)
        return {tr("compared once the image has been read"), {}};
    if (expected == actualHash())
        return {tr("matches the image"), u"color: #1b7f2a; font-weight: bold;"_s};
    return {tr("DIFFERS from the image: no lane starts with it"), u"color: #c0221b; font-weight: bold;"_s};
}

std::optional<UpdateOutcome> StationImage::refusal() const
{
    switch (m_state) {
    case State::None:
        return UpdateSequence::outcomeFor(UpdateOutcome::Kind::NoFile);
    case State::Refused: {
        UpdateOutcome outcome = UpdateSequence::outcomeFor(UpdateOutcome::Kind::FileError);
        outcome.fileProblem = m_problem;
        outcome.fileName = m_path;
        return outcome;
    }
    case State::Reading:
    case State::Ready:
        break;
    }
    return std::nullopt;
}

std::optional<StationImage::Mismatch> StationImage::mismatch() const
{
    const QString expected = Sha256Text::hashOf(m_expected);
    const QString actual = actualHash();
    if (m_state != State::Ready || expected.isEmpty() || expected == actual)
        return std::nullopt;
    return Mismatch{{Sha256Text::isHash(expected) ? tr("The image is not the released one: no lane was started.")
                                                  : tr("The released SHA-256 is not 64 hexadecimal digits: no lane "
                                                       "was started."),
                     tr("Wrong image"), Message::Icon::Critical},
                    {tr("%1 has SHA-256 %2").arg(printableText(m_path), actual),
                     tr("the released image has %1").arg(printableText(expected.left(Sha256Text::kDigits * 2)))}};
}
