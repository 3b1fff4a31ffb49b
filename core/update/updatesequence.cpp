#include "core/update/updatesequence.h"

#include "core/firmware/firmwareline.h"
#include "core/link/portholder.h"
#include "core/update/runrecord.h"

namespace {
const QByteArray kAcknowledgement = QByteArrayLiteral("*");
const QByteArray kEraseCommand = QByteArrayLiteral("KILL");
} // namespace

UpdateSequence::UpdateSequence(SerialLink *link, QObject *parent)
    : QObject(parent)
    , m_link(link)
{
    // Precise timers: Qt's coarse timers may fire up to 5% early, and the
    // instrument needs its full erase time before the acknowledgement is read
    // and before the first line arrives.
    Timer1.setTimerType(Qt::PreciseTimer);
    Timer2.setTimerType(Qt::PreciseTimer);
    Timer2.setSingleShot(true);
    connect(&Timer1, &QTimer::timeout, this, &UpdateSequence::handleEraseTick);
    connect(&Timer2, &QTimer::timeout, this, &UpdateSequence::handleHandOver);
    connect(m_link, &SerialLink::replyReceived, this, &UpdateSequence::handleReply);
    connect(m_link, &SerialLink::readFailed, this, &UpdateSequence::handleReadFailed);
    connect(m_link, &SerialLink::linkFailed, this, &UpdateSequence::handleLinkFailed);
    connect(m_link, &SerialLink::bytesDiscarded, this, &UpdateSequence::handleDiscarded);
    connect(&m_loader, &ImageLoader::loaded, this, &UpdateSequence::handleLoaded);
}

void UpdateSequence::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void UpdateSequence::start(const QString &fileName, const QString &portText)
{
    // The whole file is read and checked before the instrument is erased: a
    // file that vanished, cannot be read or is no firmware image must not
    // leave an erased instrument behind, and one with nothing to write would
    // erase it and then report success.
    if (!begin(fileName, portText))
        return;
    awaitImage(m_loader);
    m_loader.load(fileName);
}

void UpdateSequence::start(ImageLoader &loader, const QString &fileName, const QString &portText)
{
    if (begin(fileName, portText))
        awaitImage(loader);
}

void UpdateSequence::start(const FirmwareImage &image, const ImageProblem &problem, const QString &fileName,
                           const QString &portText)
{
    if (begin(fileName, portText))
        sendErase(image, problem);
}

void UpdateSequence::awaitImage(ImageLoader &loader)
{
    m_imageConnection = connect(&loader, &ImageLoader::loaded, this, &UpdateSequence::handleLoaded);
}

bool UpdateSequence::begin(const QString &fileName, const QString &portText)
{
    if (m_state != State::Ready)
        return false;
    m_startedAt = QDateTime::currentDateTimeUtc();
    EraseTicks = 0;
    m_count = 0;
    m_eraseSent = false;
    m_resolvedDevice.clear();
    m_awaitingEndReply = false;
    m_endReply = {};
    m_fileName = fileName;
    m_portText = portText;
    m_image = {};
    m_fileProblem = {};
    m_portProblem = {};
    m_discarded = 0;
    emit started();

    if (fileName.isEmpty()) {
        finish(Outcome::Kind::NoFile);
        return false;
    }
    if (portText.isEmpty()) {
        finish(Outcome::Kind::NoPort);
        return false;
    }
    // The image is read, or taken as read already; nothing has been sent.
    setState(State::Loading);
    return true;
}

void UpdateSequence::handleLoaded(const ImageLoader::Result &result)
{
    disconnect(m_imageConnection);
    if (m_state == State::Loading)
        sendErase(result.image, result.problem);
}

void UpdateSequence::sendErase(const FirmwareImage &image, const ImageProblem &problem)
{
    m_fileProblem = problem;
    if (m_fileProblem.refused())
        return finish(Outcome::Kind::FileError);
    m_image = image;
    // A slot may stop the update here (Ctrl-C seen while the file was read):
    // the last moment at which the instrument is still untouched.
    emit imageLoaded(int(std::max<qint64>(m_image.summary().linesInFile, m_image.lineCount())));
    if (m_state == State::Ready)
        return;

    if (!m_link->open(m_portText))
        return finish(Outcome::Kind::PortError);
    m_resolvedDevice = SerialLink::deviceForPortText(m_portText);
    // Another program on the port would take the instrument's answers, and
    // the update would fail half way with an erased instrument.
    const QString device = m_link->deviceName();
    if (const QString holder = otherProcessUsing(device); !holder.isEmpty()) {
        m_link->close();
        m_portProblem = {LinkError::Kind::Busy, device, tr("in use by %1").arg(holder)};
        return finish(Outcome::Kind::PortError);
    }
    if (!m_link->writeCommand(kEraseCommand))
        return finish(Outcome::Kind::PortError);

    m_eraseSent = true;
    emit eraseSent();
    setState(State::Erasing);
    Timer1.start(m_timings.eraseTickInterval);
}

void UpdateSequence::abort()
{
    if (m_state != State::Ready)
        finish(Outcome::Kind::Interrupted);
}

void UpdateSequence::handleDiscarded(const QByteArray &start, qint64 count)
{
    if (m_state == State::Ready || m_state == State::Loading)
        return;
    m_discarded += count;
    emit bytesDiscarded(m_state, int(m_count), start, count);
}

void UpdateSequence::handleEraseTick()
{
    if (m_state != State::Erasing)
        return;
    ++EraseTicks;
    emit eraseProgress(EraseTicks, int(qint64(EraseTicks) * 100 / m_timings.eraseTickCount));
    if (EraseTicks < m_timings.eraseTickCount)
        return;
    // The acknowledgement is read once, on the last tick; a '*' that came
    // earlier has waited in the receive buffer.
    Timer1.stop();
    m_link->read();
}

void UpdateSequence::handleHandOver()
{
    if (m_state != State::HandingOver)
        return;
    // Whatever came during the hand-over answers nothing; dropped now, it is
    // told as the hand-over's.
    m_link->discardPending();
    setState(State::Writing);
    m_count = 0;
    sendNextLine();
}

void UpdateSequence::sendNextLine()
{
    const qsizetype total = m_image.lineCount();
    if (m_count == total)
        return finish(Outcome::Kind::Success);  // the file had no end line

    // Told as following the answer to the line before.
    m_link->discardPending();
    const QByteArray line = m_image.line(m_count);
    ++m_count;
    if (!m_link->writeCommand(line)) {
        if (m_state == State::Writing)  // a link failure may have ended the update already
            finish(Outcome::Kind::WriteFailed);
        return;
    }
    // The write bar shows the share of the file's lines, those after the end
    // line included. Its value has always been stored in single precision;
    // front ends that show it with decimals show that value.
    const qint64 lines = std::max<qint64>(m_image.summary().linesInFile, total);
    const double percent = double(m_count) / double(lines) * 100.0;
    emit lineSent(int(m_count), int(lines), double(float(percent)), line);
    m_awaitingEndReply = IsEndLine(line);
    m_link->read();
}

void UpdateSequence::handleReply(const QByteArray &reply)
{
    switch (m_state) {
    case State::Erasing:
        if (reply != kAcknowledgement)
            return finish(Outcome::Kind::EraseRefused, reply);
        emit eraseAcknowledged();
        setState(State::HandingOver);
        Timer2.start(m_timings.handOverDelay);
        return;
    case State::Writing:
        if (m_awaitingEndReply) {
            // The end line's answer is shown, not judged: whatever it says,
            // it answers the end line, which then counts as acknowledged.
            m_endReply = reply;
            emit endLineReply(reply);
            emit lineAcknowledged(int(m_count));
            return finish(Outcome::Kind::Success);
        }
        if (reply != kAcknowledgement)
            return finish(Outcome::Kind::WriteRefused, reply);
        emit lineAcknowledged(int(m_count));
        sendNextLine();
        return;
    case State::Ready:
    case State::Loading:
    case State::HandingOver:
        return;  // a reply nobody asked for (the link test's, or a stray one)
    }
}

void UpdateSequence::handleReadFailed()
{
    if (m_state == State::Erasing)
        finish(Outcome::Kind::EraseFailed);
    else if (m_state == State::Writing)
        finish(Outcome::Kind::WriteFailed);
}

void UpdateSequence::handleLinkFailed()
{
    // Reported once: finish() returns to Ready, and the read failure that
    // follows a link failure then finds nothing running.
    if (m_state == State::Erasing)
        finish(Outcome::Kind::EraseFailed);
    else if (m_state == State::HandingOver || m_state == State::Writing)
        finish(Outcome::Kind::WriteFailed);
}

void UpdateSequence::finish(Outcome::Kind kind, const QByteArray &reply)
{
    Timer1.stop();
    Timer2.stop();
    if (m_state != State::Ready)
        m_link->cancelRead();
    if (m_state == State::Loading) {
        // A shared loader's reading goes on for the others.
        disconnect(m_imageConnection);
        m_loader.cancel();
    }

    Outcome outcome = outcomeFor(kind);
    outcome.eraseSent = m_eraseSent;
    outcome.reply = reply;
    outcome.endReply = m_endReply;
    outcome.fileName = m_fileName;
    outcome.portText = m_portText;
    outcome.device = m_link->deviceName();
    outcome.resolvedDevice = m_resolvedDevice;
    outcome.linesTotal = int(m_image.lineCount());
    outcome.bytesDiscarded = m_discarded;
    outcome.earlier = m_earlier;
    if (kind == Outcome::Kind::FileError)
        outcome.fileProblem = m_fileProblem;
    const bool lineFailed = kind == Outcome::Kind::WriteRefused || kind == Outcome::Kind::WriteFailed
        || (kind == Outcome::Kind::Interrupted && m_state == State::Writing);
    if (m_state == State::Writing) {
        outcome.linesAcknowledged = int(lineFailed ? m_count - 1 : m_count);
        outcome.failedLine = lineFailed ? int(m_count) : 0;
        if (outcome.failedLine > 0)
            outcome.failedLineText = m_image.line(m_count - 1);
    }
    if (kind == Outcome::Kind::PortError || kind == Outcome::Kind::EraseFailed || kind == Outcome::Kind::WriteFailed)
        outcome.linkError = m_portProblem.kind != LinkError::Kind::None ? m_portProblem : m_link->error();
    // Remembered for the next update on this link: it may stop before
    // "KILL" and must not then call the instrument untouched.
    if (outcome.succeeded())
        m_earlier = {};
    else if (m_eraseSent)
        m_earlier = {true, outcome.linesAcknowledged, m_state == State::Writing ? outcome.linesTotal : 0};
    if (m_record && m_record->isOpen()) {
        const RunRecord::Context context{m_image.summary().sha256, m_image.summary().linesToSend, m_startedAt,
                                         QDateTime::currentDateTimeUtc(), m_image.summary().format,
                                         m_image.summary().sentSha256, m_recordExtra};
        if (!m_record->append(m_record->entry(outcome, context)))
            outcome.recordError = m_record->error();
    }
    setState(State::Ready);
    emit finished(outcome);
}

UpdateSequence::Outcome UpdateSequence::outcomeFor(Outcome::Kind kind)
{
    Outcome o;
    o.kind = kind;
    o.message = Outcome::messageFor(kind);
    return o;
}
